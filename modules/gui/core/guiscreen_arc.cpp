// Circular arcs of the screen: the outline between two angles, and the pie sector between them
// filled in the background colour.
//
// Angles are whole degrees, 0 to the right of the centre and growing counter-clockwise on the
// screen. Points of the midpoint circle are sorted into octants (angle / 45); an eight-entry state
// table tells per octant whether none, all, or which part of its points belong to the arc, the part
// decided by comparing one coordinate of the point with that of the start and end points.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "gui/core/guiscreen.h"
#include "gui/core/guishape.h"

int minrow = 0;
int maxrow = 0;

namespace {

// Octant states.
enum : int {
    OCT_NONE = 0,
    OCT_FROM_START = 1, // drawn from the start angle on
    OCT_ALL = 2,
    OCT_TO_END = 3,  // drawn up to the end angle
    OCT_BETWEEN = 4, // start and end here, start first: drawn between them
    OCT_OUTSIDE = 5, // start and end here, end first: drawn except between end and start
};

void OctantStates(int start, int end, int states[8]) {
    std::fill(states, states + 8, OCT_NONE);
    const int so = start / 45, eo = end / 45;
    if (so != eo) {
        states[so] = OCT_FROM_START;
        states[eo] = OCT_TO_END;
        for (int o = (so + 1) % 8; o != eo; o = (o + 1) % 8) states[o] = OCT_ALL;
    } else if (end < start) {
        std::fill(states, states + 8, OCT_ALL);
        states[so] = OCT_OUTSIDE;
    } else {
        states[so] = OCT_BETWEEN;
    }
}

bool StateAllows(int state, int value, int lower, int upper) {
    switch (state) {
    case OCT_FROM_START:
        return value >= lower;
    case OCT_ALL:
        return true;
    case OCT_TO_END:
        return value <= upper;
    case OCT_BETWEEN:
        return value >= lower && value <= upper;
    case OCT_OUTSIDE:
        return value >= lower || value <= upper;
    default:
        return false;
    }
}

// The point at an angle on a circle: (cx + cos r / 1024, cy + sign sin r / 1024).
void AnglePoint(int cx, int cy, int radius, int angle, int ySign, int& x, int& y) {
    int s = 0, c = 0;
    GuiLookupSinCos(angle, &s, &c);
    x = cx + c * radius / 1024;
    y = cy + ySign * (s * radius / 1024);
}

// The doubled-grid midpoint circle: visit(x, y, Y) per step with x = Y >> 1, y = X >> 1, for the
// steps whose counter Y lies in [from, to]. On every step the walk takes, X is the largest value
// with Y^2 + X^2 < 4 r^2 + 2 r and the error is Y^2 + X^2 - (4 r^2 + 2 r), so a walk can start at
// any step without taking the ones before.
template <class F> void CircleSteps(int radius, F&& visit, int64_t from = 0, int64_t to = INT64_MAX) {
    int64_t X = 2 * static_cast<int64_t>(radius), Y = 0, error = -X;
    if (radius > 0 && from > 0) {
        if (from > X) return;
        const int64_t r = radius, t = 4 * r * r + 2 * r;
        Y = from;
        X = guishape::ISqrt(t - 1 - Y * Y);
        error = Y * Y + X * X - t;
    }
    while (Y <= X && Y <= to) {
        if (Y >= from) visit(static_cast<int>(Y >> 1), static_cast<int>(X >> 1), static_cast<int>(Y));
        error += 2 * Y + 1;
        ++Y;
        if (error >= 0) {
            error -= 2 * X - 1;
            --X;
        }
    }
}

// How far a view lies from a centre: along each axis the nearest offset (0 when the view spans
// the centre) and the farthest.
struct ViewReach {
    int64_t nx, ny, fx, fy;
};

ViewReach ReachOf(int cx, int cy, const GuiRect& view) {
    return {std::abs(std::max<int64_t>(std::min<int64_t>(cx, view.right), view.left) - cx),
            std::abs(std::max<int64_t>(std::min<int64_t>(cy, view.bottom), view.top) - cy),
            std::max<int64_t>(std::abs(view.left - cx), std::abs(view.right - cx)),
            std::max<int64_t>(std::abs(view.top - cy), std::abs(view.bottom - cy))};
}

// A ring of this radius has no point in the view: the view lies wholly inside or wholly outside
// the ring, with a margin for the rounding of the midpoint circle.
bool RingMisses(const ViewReach& v, int radius) {
    auto sq = [](int64_t n) { return n * n; };
    const int64_t r = radius;
    return sq(v.nx) + sq(v.ny) > sq(r + 3) || sq(v.fx) + sq(v.fy) < sq(std::max<int64_t>(r - 3, 0));
}

// The steps of a ring whose points can lie in the view. Each of the eight points of a step lies
// x = Y >> 1 from the centre along one axis, so only the steps with x between the view's nearest and
// farthest offset on that axis matter: a bounded stretch of the ring, however large it is.
template <class F> void RingStepsInView(int radius, const ViewReach& v, F&& visit) {
    int64_t lo1 = 2 * v.ny, hi1 = 2 * v.fy + 1, lo2 = 2 * v.nx, hi2 = 2 * v.fx + 1;
    if (lo2 < lo1) std::swap(lo1, lo2), std::swap(hi1, hi2);
    if (lo2 <= hi1 + 1) {
        CircleSteps(radius, visit, lo1, std::max(hi1, hi2));
    } else {
        CircleSteps(radius, visit, lo1, hi1);
        CircleSteps(radius, visit, lo2, hi2);
    }
}

bool ArcArgsOk(int cx, int cy, int radius, int width) {
    using namespace guishape;
    return InCoordRange(cx) && InCoordRange(cy) && InExtentRange(radius) && InExtentRange(width);
}

} // namespace

void GuiScreen::Arc(GuiThing* thing, int cx, int cy, int radius, int start, int end, GuiColor colour,
                    int width) {
    if (!thing || !ArcArgsOk(cx, cy, radius, width)) return;
    const long ext = static_cast<long>(radius) + width;
    GuiRect clip = guishape::FigureRect(cx - ext, cy - ext, cx + ext, cy + ext);
    if (!GateAndClip(thing, clip)) return;
    if (start > end) std::swap(start, end);
    start = guishape::Norm360(start);
    end = guishape::Norm360(end);
    if (radius - (width >> 1) < 1) radius = 1;
    const bool fill = colour.flags & GUI_COLOR_FILL;
    // The sector fill keeps one span per row of the surface: every row a view can reach.
    guishape::SpanTable spans(mpSpanTable, miSpanRows, fill ? SurfaceRows() : 0);
    if (fill && !spans) return;
    auto draw = [&](GuiRect& view) {
        if (fill) ArcFill(cx, cy, radius, start, end, colour, view);
        if (!fill || width != 0) ArcToView(cx, cy, radius, start, end, colour, width, view);
    };
    // A thing that stays in front of its siblings draws in its clip (here narrowed to what may be
    // drawn, so nothing lands outside the invalid area or the surface).
    if (mbDrawToBitmap || (thing->mwStatusFlags & GUI_ST_FRONT))
        draw(clip);
    else
        ForEachPiece(thing, clip, draw);
}

void GuiScreen::ArcToView(int cx, int cy, int radius, int start, int end, GuiColor colour, int width,
                          GuiRect& view) {
    if (width < 1 || view.IsEmpty() || !ArcArgsOk(cx, cy, radius, width)) return;
    start = guishape::Norm360(start);
    end = guishape::Norm360(end);
    int st[8];
    OctantStates(start, end, st);
    // Start and end points mirrored about the centre row, as the compare values below expect.
    int sx, sy, ex, ey;
    AnglePoint(cx, cy, radius, start, 1, sx, sy);
    AnglePoint(cx, cy, radius, end, 1, ex, ey);
    const uint32_t fg = colour.foreground;
    const ViewReach reach = ReachOf(cx, cy, view);
    // The outline grows outwards from the radius.
    for (int r = radius; r < radius + width; ++r) {
        if (RingMisses(reach, r)) continue;
        // ArcPlot is asked only about points inside the view; it would refuse the others.
        auto plot = [&](int px, int py, int value, int state, int lower, int upper) {
            if (view.Contains(px, py)) ArcPlot(px, py, value, state, fg, lower, upper, view);
        };
        RingStepsInView(r, reach, [&](int x, int y, int) {
            plot(cx + y, cy - x, cy + x, st[0], sy, ey);
            plot(cx + x, cy - y, -(cx + x), st[1], -sx, -ex);
            plot(cx - x, cy - y, -(cx - x), st[2], -sx, -ex);
            plot(cx - y, cy - x, -(cy + x), st[3], -sy, -ey);
            plot(cx - y, cy + x, -(cy - x), st[4], -sy, -ey);
            plot(cx - x, cy + y, cx - x, st[5], sx, ex);
            plot(cx + x, cy + y, cx + x, st[6], sx, ex);
            plot(cx + y, cy + x, cy - x, st[7], sy, ey);
        });
    }
}

void GuiScreen::ArcPlot(int x, int y, int value, int state, unsigned long colour, int lower, int upper,
                        GuiRect& view) {
    if (view.Contains(x, y) && StateAllows(state, value, lower, upper))
        mpRowPointers[y][x] = static_cast<uint32_t>(colour);
}

void GuiScreen::ArcFill(int cx, int cy, int radius, int start, int end, GuiColor colour, GuiRect& view) {
    if (!mpSpanTable || !ArcArgsOk(cx, cy, radius, 0)) return;
    start = guishape::Norm360(start);
    end = guishape::Norm360(end);
    int sweep = end - start;
    if (sweep < 0) sweep += 360;
    if (radius < 1) radius = 1;
    // Each pass fills a sector of at most half a turn, which is convex: one span per row holds it.
    if (sweep > 180) {
        int middle = start + 180;
        if (middle >= 360) middle -= 360;
        ArcFillPass(cx, cy, radius, start, middle, colour.background, view);
        ArcFillPass(cx, cy, radius, middle, end, colour.background, view);
    } else {
        ArcFillPass(cx, cy, radius, start, end, colour.background, view);
    }
}

void GuiScreen::ArcFillPass(int cx, int cy, int radius, int start, int end, unsigned long colour,
                            GuiRect& view) {
    const int rows = miSpanRows;
    minrow = rows;
    maxrow = 0;
    std::fill(mpSpanTable, mpSpanTable + rows, GUI_SPAN_EMPTY);
    int st[8];
    OctantStates(start, end, st);
    // Start and end points on the screen, moved onto the drawn circle.
    int sx, sy, ex, ey;
    AnglePoint(cx, cy, radius, start, -1, sx, sy);
    AnglePoint(cx, cy, radius, end, -1, ex, ey);
    ArcFixup(cx, cy, radius, sx, sy);
    ArcFixup(cx, cy, radius, ex, ey);
    // The boundary on every second step (whole pixels); y compare values in true screen rows.
    // CheckArcPoint is asked only about rows of the surface; it would ignore the others.
    auto check = [&](int px, int py, int value, int state, int lower, int upper) {
        if (py >= 0 && py < rows) CheckArcPoint(px, py, value, state, lower, upper, view);
    };
    CircleSteps(radius, [&](int x, int y, int Y) {
        if (Y & 1) return;
        check(cx + y, cy - x, -(cy - x), st[0], -sy, -ey);
        check(cx + x, cy - y, -(cx + x), st[1], -sx, -ex);
        check(cx - x, cy - y, -(cx - x), st[2], -sx, -ex);
        check(cx - y, cy - x, cy - x, st[3], sy, ey);
        check(cx - y, cy + x, cy + x, st[4], sy, ey);
        check(cx - x, cy + y, cx - x, st[5], sx, ex);
        check(cx + x, cy + y, cx + x, st[6], sx, ex);
        check(cx + y, cy + x, -(cy + x), st[7], -sy, -ey);
    });
    // The two radii.
    ArcLine(cx, cy, sx, sy, view);
    ArcLine(cx, cy, ex, ey, view);
    if (minrow > maxrow) return;
    // A single-pixel row between two others takes the mean of its neighbours. This runs over the
    // whole figure, not only the view, so that the result does not depend on how the figure is cut
    // into views.
    for (int row = minrow + 1; row < maxrow; ++row) {
        GuiSpan& s = mpSpanTable[row];
        const GuiSpan up = mpSpanTable[row - 1], down = mpSpanTable[row + 1];
        if (s.left != s.right || up.left > up.right || down.left > down.right) continue;
        s.left = static_cast<int32_t>((static_cast<int64_t>(up.left) + down.left) / 2);
        s.right = static_cast<int32_t>((static_cast<int64_t>(up.right) + down.right) / 2);
    }
    const int first = std::max<int>(minrow, view.top), last = std::min<int>(maxrow, view.bottom);
    for (int row = first; row <= last; ++row) {
        const GuiSpan s = mpSpanTable[row];
        const int x0 = std::max<int>(s.left, view.left), x1 = std::min<int>(s.right, view.right);
        if (x0 <= x1) HorizontalLine(x0, x1, row, colour, 1);
    }
}

void GuiScreen::CheckArcPoint(int x, int y, int value, int state, int lower, int upper, GuiRect&) {
    if (y < 0 || y >= miSpanRows || !mpSpanTable) return;
    if (!StateAllows(state, value, lower, upper)) return;
    GuiSpan& s = mpSpanTable[y];
    s.left = std::min(s.left, x);
    s.right = std::max(s.right, x);
    minrow = std::min(minrow, y);
    maxrow = std::max(maxrow, y);
}

void GuiScreen::ArcLine(int x1, int y1, int x2, int y2, GuiRect&) {
    if (!mpSpanTable) return;
    // Every row of the surface is widened, inside the view or not, so that the figure's spans (and
    // the smoothing that reads them) are the same whatever the view.
    auto widen = [&](int x, int y) {
        if (y < 0 || y >= miSpanRows) return;
        GuiSpan& s = mpSpanTable[y];
        s.left = std::min(s.left, x);
        s.right = std::max(s.right, x);
        minrow = std::min(minrow, y);
        maxrow = std::max(maxrow, y);
    };
    if (x1 > x2) std::swap(x1, x2), std::swap(y1, y2);
    const int dx = x2 - x1, dy = std::abs(y2 - y1), dir = y2 > y1 ? 1 : -1;
    int error = 0;
    if (dx <= dy) {
        int x = x1;
        for (int y = y1; y != y2; y += dir) {
            widen(x, y);
            error += dx;
            if (error >= dy) {
                ++x;
                error -= dy;
            }
        }
    } else {
        int y = y1;
        for (int x = x1; x <= x2; ++x) {
            widen(x, y);
            error += dy;
            if (error >= dx) {
                y += dir;
                error -= dx;
            }
        }
    }
}

void GuiScreen::ArcFixup(int cx, int cy, int radius, int& x, int& y) {
    const int dx = x - cx, dy = y - cy;
    const bool xMajor = std::abs(dx) >= std::abs(dy);
    const int major = xMajor ? dx : dy, minor = std::abs(xMajor ? dy : dx);
    int X = 2 * radius, Y = 0, error = -2 * radius;
    while (Y <= X) {
        if (!(Y & 1) && Y / 2 == minor) break;
        error += 2 * Y + 1;
        ++Y;
        if (error >= 0) {
            error -= 2 * X - 1;
            --X;
        }
    }
    const int onCircle = X >> 1;
    if (std::abs(major) == onCircle) return;
    const int moved = major < 0 ? -onCircle : onCircle;
    if (xMajor)
        x = cx + moved;
    else
        y = cy + moved;
}
