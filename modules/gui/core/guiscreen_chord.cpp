// Chords and pies of axis-aligned ellipses: the segment cut off by a straight line through two
// points, and the sector between the rays from the centre towards two points. Both start from the
// span table of the filled ellipse, cut it down to the segment or sector, fill that as a polygon in
// the background colour, and outline it in the foreground with rings shrinking inwards.
//
// Choices made here:
// - Chord side: with the first point not above the second (its y not smaller) the part right of the
//   line is kept, else the part left of it; travelling from the first point to the second, the
//   segment lies on the right, which for points on the ellipse is the arc from the first point
//   counter-clockwise to the second, as for pies.
// - Chord border: a ring point is kept when it lies on the kept side of the line through the two
//   crossings or on it (the sign of one cross product, taken with the line running downwards).
// - Pie boundary (PieLine): both rays are traced outwards from the centre to the edge of the
//   rectangle; the crossing is the last ray point strictly inside its row's span. The boundary
//   points (each row's right and left ends) are ordered by their exact direction from the centre
//   (half-turn and cross-product comparison in 64 bits) and those strictly between the directions
//   towards the two points, counter-clockwise, are kept. This covers crossings in one quadrant,
//   sectors above half a turn and rays leaving the rectangle without a case analysis, and two rays
//   that differ less than a pixel still give a thin sector and its complement.
// - Pie border: a ring point is kept when its direction from the centre lies in the closed sector
//   from the first direction counter-clockwise to the second, by the same comparison (from a pie,
//   the directions towards its two points; called alone, those towards the two crossings).
// - A pie point on the centre gives no direction: nothing is drawn.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "gui/core/guiscreen.h"
#include "gui/core/guishape.h"

namespace {

// Integer line from (x1, y1) to (x2, y2), both ends included; visit(x, y) returns false to stop.
template <class F> void Bresenham(int x1, int y1, int x2, int y2, F&& visit) {
    const int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    const int sx = x2 >= x1 ? 1 : -1, sy = y2 >= y1 ? 1 : -1;
    int x = x1, y = y1;
    if (dx >= dy) {
        int error = dx / 2;
        for (int i = 0; i <= dx; ++i) {
            if (!visit(x, y)) return;
            error -= dy;
            if (error < 0) {
                y += sy;
                error += dx;
            }
            x += sx;
        }
    } else {
        int error = dy / 2;
        for (int i = 0; i <= dy; ++i) {
            if (!visit(x, y)) return;
            error -= dx;
            if (error < 0) {
                x += sx;
                error += dy;
            }
            y += sy;
        }
    }
}

bool SameSpot(GuiPoint a, GuiPoint b) {
    return a.x == b.x && a.y == b.y;
}

GuiPoint Pt(int x, int y) {
    return GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
}

// The centre that pie directions are taken from.
GuiPoint PieCentre(const GuiRect& r) {
    return Pt(r.left + (r.right - r.left + 1) / 2, r.top + (r.bottom - r.top + 1) / 2);
}

guishape::Dir DirFrom(GuiPoint c, int x, int y) {
    return guishape::Dir{x - c.x, c.y - y};
}

bool ShapeArgsOk(const GuiRect& rect) {
    return ((rect.right - rect.left) >> 1) > 1 && ((rect.bottom - rect.top) >> 1) > 1;
}

} // namespace

void GuiScreen::Chord(GuiThing* thing, GuiRect& rect, GuiPoint p1, GuiPoint p2, GuiColor colour, int width) {
    if (!thing || !ShapeArgsOk(rect)) return;
    GuiRect clip = rect;
    if (!GateAndClip(thing, clip)) return;
    guishape::SpanTable spans(mpSpanTable, miSpanRows, rect.Height());
    if (!spans) return;
    PlotEllipsePoints(rect);
    const int side = p1.y >= p2.y ? 1 : 0;
    GuiPoint first{}, last{};
    if (!ChordLine(p1.x, p1.y, p2.x, p2.y, rect, side, &first, &last)) return;
    // The segment's outline: left ends from top to bottom, then right ends from bottom to top.
    const int rows = rect.Height();
    std::unique_ptr<GuiPoint[]> pts(new (std::nothrow) GuiPoint[2 * static_cast<size_t>(rows)]);
    if (!pts) return;
    int n = 0;
    for (int i = 0; i < rows; ++i)
        if (spans[i].left <= spans[i].right) pts[n++] = Pt(spans[i].left, rect.top + i);
    for (int i = rows - 1; i >= 0; --i)
        if (spans[i].left <= spans[i].right) pts[n++] = Pt(spans[i].right, rect.top + i);
    if (n <= 2) return;
    Polygon(thing, pts.get(), n, colour, 0);
    DrawChordBorder(thing, rect, first, last, side, colour, width);
}

int GuiScreen::ChordLine(int x1, int y1, int x2, int y2, GuiRect& rect, int side, GuiPoint* first,
                         GuiPoint* last) {
    const int rows = rect.Height();
    if (!mpSpanTable || rows > miSpanRows) return 0;
    // Crossings are found on the ellipse as it was before the cut.
    std::vector<GuiSpan> ellipse(mpSpanTable, mpSpanTable + rows);
    if (x1 > x2) std::swap(x1, x2), std::swap(y1, y2);
    bool found = false;
    Bresenham(x1, y1, x2, y2, [&](int x, int y) {
        if (y < rect.top || y > rect.bottom) return true;
        const GuiSpan e = ellipse[y - rect.top];
        if (e.left <= x && x <= e.right) {
            if (!found) *first = Pt(x, y);
            *last = Pt(x, y);
            found = true;
        }
        // Cut the row at the line; a row wholly on the dropped side is emptied.
        GuiSpan& s = mpSpanTable[y - rect.top];
        if (side == 0) {
            if (x < s.left)
                s = GUI_SPAN_EMPTY;
            else
                s.right = std::min(s.right, x);
        } else {
            if (x > s.right)
                s = GUI_SPAN_EMPTY;
            else
                s.left = std::max(s.left, x);
        }
        return true;
    });
    // Rows past the line's ends on the dropped side, end rows included.
    const bool down = y2 >= y1;
    int from, to;
    if (side == 0)
        from = down ? rect.top : y1, to = down ? y1 : rect.bottom;
    else
        from = down ? y2 : rect.top, to = down ? rect.bottom : y2;
    for (int y = std::max<int>(from, rect.top); y <= std::min<int>(to, rect.bottom); ++y)
        mpSpanTable[y - rect.top] = GUI_SPAN_EMPTY;
    return found ? 1 : 0;
}

void GuiScreen::DrawChordBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, int side,
                                GuiColor colour, int width) {
    if (!thing || width < 1 || !ShapeArgsOk(rect)) return;
    // The line through the crossings, running downwards (left to right when level).
    GuiPoint t = first, b = last;
    if (t.y > b.y || (t.y == b.y && t.x > b.x)) std::swap(t, b);
    const int64_t ldx = b.x - t.x, ldy = b.y - t.y;
    const bool line = ldx != 0 || ldy != 0;
    auto kept = [&](int x, int y) {
        const int64_t c = ldx * (y - t.y) - ldy * (x - t.x);
        return line && (side == 0 ? c >= 0 : c <= 0);
    };
    const uint32_t fg = colour.foreground;
    ForEachView(thing, rect, [&](GuiRect& view) {
        guishape::EllipseRings(rect, width, view, [&](int x, int y) {
            if (view.Contains(x, y) && kept(x, y)) mpRowPointers[y][x] = fg;
        });
    });
    // After each ring the chord, moved one pixel further towards the kept side: vertically when the
    // chord is flatter than 45 degrees, else horizontally.
    const int a = (rect.right - rect.left) >> 1, bb = (rect.bottom - rect.top) >> 1;
    const int rings = std::min({width, a, bb});
    const int sgn = ldx > 0 ? 1 : -1;
    const bool flat = std::abs(ldy) < std::abs(ldx);
    const int ox = flat ? 0 : (side == 0 ? -1 : 1);
    const int oy = flat ? (side == 0 ? sgn : -sgn) : 0;
    for (int k = 0; k < rings; ++k)
        Line(thing, first.x + ox * k, first.y + oy * k, last.x + ox * k, last.y + oy * k, colour, 1);
}

void GuiScreen::Pie(GuiThing* thing, GuiRect& rect, GuiPoint p1, GuiPoint p2, GuiColor colour, int width) {
    if (!thing || !ShapeArgsOk(rect)) return;
    GuiRect clip = rect;
    if (!GateAndClip(thing, clip)) return;
    guishape::SpanTable spans(mpSpanTable, miSpanRows, rect.Height());
    if (!spans) return;
    PlotEllipsePoints(rect);
    int n = 0;
    GuiPoint first{}, last{};
    std::unique_ptr<GuiPoint[]> pts(PieLine(p1.x, p1.y, p2.x, p2.y, rect, &n, &first, &last));
    if (!pts) return;
    if (n > 2) Polygon(thing, pts.get(), n, colour, 0);
    DrawPieBorder(thing, rect, first, last, p1, p2, colour, width);
}

GuiPoint* GuiScreen::PieLine(int x1, int y1, int x2, int y2, GuiRect& rect, int* count, GuiPoint* first,
                             GuiPoint* last) {
    using namespace guishape;
    *count = 0;
    const int rows = rect.Height();
    if (!mpSpanTable || rows > miSpanRows) return nullptr;
    const GuiPoint c = PieCentre(rect);
    if ((x1 == c.x && y1 == c.y) || (x2 == c.x && y2 == c.y)) return nullptr;
    // The last point of the ray from the centre through (x, y) that lies strictly inside its row.
    auto crossing = [&](int x, int y) {
        const int dx = x - c.x, dy = y - c.y;
        const int m = std::max(std::abs(dx), std::abs(dy));
        const int k = (std::max(rect.Width(), rows) + 2) / m + 2; // far enough to leave the rectangle
        GuiPoint out = c;
        Bresenham(c.x, c.y, c.x + k * dx, c.y + k * dy, [&](int px, int py) {
            if (!rect.Contains(px, py)) return false;
            const GuiSpan s = mpSpanTable[py - rect.top];
            if (s.left < px && px < s.right) out = Pt(px, py);
            return true;
        });
        return out;
    };
    *first = crossing(x1, y1);
    *last = crossing(x2, y2);
    // The sector's directions are those of the given points: two crossings can fall on one pixel
    // while the rays still differ.
    const Dir v1 = DirFrom(c, x1, y1), v2 = DirFrom(c, x2, y2);
    // Boundary points strictly inside the sector, counter-clockwise from the first direction.
    std::vector<GuiPoint> boundary;
    for (int i = 0; i < rows; ++i) {
        const GuiSpan s = mpSpanTable[i];
        if (s.left > s.right) continue;
        for (const int x : {s.right, s.left}) {
            const Dir u = DirFrom(c, x, rect.top + i);
            if (!AngleZero(v1, u) && AngleLess(v1, u, v2)) boundary.push_back(Pt(x, rect.top + i));
            if (s.left == s.right) break;
        }
    }
    std::sort(boundary.begin(), boundary.end(), [&](GuiPoint p, GuiPoint q) {
        return AngleLess(v1, DirFrom(c, p.x, p.y), DirFrom(c, q.x, q.y));
    });
    auto* pts = new (std::nothrow) GuiPoint[boundary.size() + 4];
    if (!pts) return nullptr;
    int n = 0;
    pts[n++] = c;
    pts[n++] = *first;
    for (const GuiPoint p : boundary) pts[n++] = p;
    pts[n++] = *last;
    pts[n++] = c;
    *count = n;
    return pts;
}

void GuiScreen::DrawPieBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, GuiColor colour,
                              int width) {
    DrawPieBorder(thing, rect, first, last, first, last, colour, width);
}

void GuiScreen::DrawPieBorder(GuiThing* thing, GuiRect& rect, GuiPoint first, GuiPoint last, GuiPoint dir1,
                              GuiPoint dir2, GuiColor colour, int width) {
    using namespace guishape;
    if (!thing || !ShapeArgsOk(rect)) return;
    const GuiPoint c = PieCentre(rect);
    if (SameSpot(dir1, c) || SameSpot(dir2, c)) return;
    const Dir v1 = DirFrom(c, dir1.x, dir1.y), v2 = DirFrom(c, dir2.x, dir2.y);
    auto kept = [&](int x, int y) {
        const Dir u = DirFrom(c, x, y);
        return (u.x == 0 && u.y == 0) || !AngleLess(v1, v2, u);
    };
    const uint32_t fg = colour.foreground;
    if (width >= 1) {
        ForEachView(thing, rect, [&](GuiRect& view) {
            EllipseRings(rect, width, view, [&](int x, int y) {
                if (view.Contains(x, y) && kept(x, y)) mpRowPointers[y][x] = fg;
            });
        });
    }
    Line(thing, first.x, first.y, c.x, c.y, colour, width);
    Line(thing, last.x, last.y, c.x, c.y, colour, width);
}
