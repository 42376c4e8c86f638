// Polygons (outlined, solid-filled and pattern-filled) and dashed lines of the screen.
//
// The fill is a scan-line fill with an edge table and an active list by the even-odd rule: on each
// scan line y0 <= y < y1 an edge crosses at x0 + ceil((y - y0) dx / dy); the crossings, sorted and
// taken in pairs (xa, xb), fill xa .. xb - 1. The right crossing and an edge's lower end line are not
// drawn, so polygons that share an edge do not overlap.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "gui/core/guiscreen.h"
#include "gui/core/guishape.h"

namespace {

// One non-horizontal polygon edge, followed scan line by scan line.
struct Edge {
    int32_t x;         // x on the current scan line
    int32_t y;         // first scan line (upper end)
    int32_t step;      // whole pixels x moves per line
    int32_t sign;      // +1 when dx > 0, else -1
    int32_t error;     // error term
    int32_t increment; // added to the error each line
    int32_t dy;        // subtracted from the error on overflow: the edge's height
    int32_t lines;     // scan lines left

    Edge() = default;
    Edge(int x0, int y0, int dx, int height)
        : x(x0), y(y0), sign(dx > 0 ? 1 : -1), error(dx < 0 ? 1 - height : 0), dy(height), lines(height) {
        const int adx = std::abs(dx);
        if (adx > height) {
            step = sign * (adx / height);
            increment = adx - (adx / height) * height;
        } else {
            step = 0;
            increment = adx;
        }
    }
};

// The active edges field by field: one line's step of all of them is then one loop that the
// compiler turns into vector instructions. An edge is drawn on the lines up to `last`; `least` is
// the least its x moves in one line (a falling edge may move one pixel more than its step).
struct ActiveEdges {
    int32_t *x, *step, *least, *sign, *error, *increment, *dy, *last;
    int n = 0;

    static constexpr int kFields = 8;
    // Lays the fields over `room`, which has kFields * (capacity + 1) words: each field has room
    // for one more, the sentinel behind the last edge.
    ActiveEdges(int32_t* room, int capacity)
        : x(room), step(x + capacity + 1), least(step + capacity + 1), sign(least + capacity + 1),
          error(sign + capacity + 1), increment(error + capacity + 1), dy(increment + capacity + 1),
          last(dy + capacity + 1) {}
    // Behind the last edge: an x that no edge passes.
    void SetSentinel() {
        x[n] = INT32_MAX / 2;
        least[n] = 0;
    }
    void Set(int i, const Edge& e) {
        x[i] = e.x;
        step[i] = e.step;
        least[i] = e.step + (e.sign >> 1);
        sign[i] = e.sign;
        error[i] = e.error;
        increment[i] = e.increment;
        dy[i] = e.dy;
        last[i] = e.y + e.lines - 1;
    }
    void Move(int to, int from) {
        x[to] = x[from];
        step[to] = step[from];
        least[to] = least[from];
        sign[to] = sign[from];
        error[to] = error[from];
        increment[to] = increment[from];
        dy[to] = dy[from];
        last[to] = last[from];
    }
    void Swap(int i, int j) {
        std::swap(x[i], x[j]);
        std::swap(step[i], step[j]);
        std::swap(least[i], least[j]);
        std::swap(sign[i], sign[j]);
        std::swap(error[i], error[j]);
        std::swap(increment[i], increment[j]);
        std::swap(dy[i], dy[j]);
        std::swap(last[i], last[j]);
    }
};

// One line's step of n active edges (the fields of ActiveEdges, which never overlap), in x order.
// The increment is below dy, so the error overflows at most once per line; no branch decides it,
// as whether it overflows changes from edge to edge without a pattern. Returns whether an edge may
// have passed its right neighbour: its new x lies beyond the least that the neighbour's x can be
// after its step (the neighbour's fields at index i + 1 are read before it steps; index n holds a
// sentinel far to the right).
[[gnu::always_inline]] inline bool
StepOneLine(int n, int32_t* __restrict x, int32_t* __restrict error, const int32_t* __restrict step,
            const int32_t* __restrict least, const int32_t* __restrict sign,
            const int32_t* __restrict increment, const int32_t* __restrict dy) {
    int mayCross = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t bound = x[i + 1] + least[i + 1];
        const int32_t e = error[i] + increment[i];
        const int32_t over = -static_cast<int32_t>(e > 0); // all ones on overflow
        const int32_t nx = x[i] + step[i] + (sign[i] & over);
        mayCross |= nx > bound;
        x[i] = nx;
        error[i] = e - (dy[i] & over);
    }
    return mayCross != 0;
}

// The dash mask moved on by n steps: one step turns bit 0 into bit 31, any other bit moves right.
uint32_t RotateMask(uint32_t mask, long n) {
    const unsigned k = static_cast<unsigned>(n % 32);
    return k ? (mask >> k) | (mask << (32 - k)) : mask;
}

} // namespace

template <class F>
void GuiScreen::ScanPolygon(const GuiRect& view, const GuiPoint* points, int count, F&& span) {
    if (count < 1 || !points) return;
    // The edge table and the active list come from one pool each per fill; nothing is allocated
    // per scan line.
    const size_t cap = static_cast<size_t>(count);
    std::unique_ptr<Edge[]> table(new (std::nothrow) Edge[cap]);
    std::unique_ptr<int32_t[]> room(new (std::nothrow) int32_t[ActiveEdges::kFields * (cap + 1)]);
    if (!table || !room) return;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        GuiPoint a = points[i == 0 ? count - 1 : i - 1], b = points[i];
        if (a.y == b.y) continue;
        if (a.y > b.y) std::swap(a, b);
        table[n++] = Edge(a.x, a.y, b.x - a.x, b.y - a.y);
    }
    if (n == 0) return;
    // The edge table: sorted by upper end, then by x.
    std::sort(table.get(), table.get() + n,
              [](const Edge& p, const Edge& q) { return p.y != q.y ? p.y < q.y : p.x < q.x; });
    ActiveEdges active(room.get(), count);
    bool checkOrder = false;  // whether the last step may have brought the list out of x order
    int next = 0;             // the first edge of the table not yet active
    int lastLine = INT32_MAX; // the first line after which an active edge ends
    int y = table[0].y;
    while (next < n || active.n > 0) {
        // Edges that crossed on the step to this line change places: an insertion sort restores
        // the x order (only the order of the x values decides what is drawn).
        if (checkOrder) {
            bool unsorted = false;
            for (int i = 0; i + 1 < active.n && !unsorted; ++i) unsorted = active.x[i] > active.x[i + 1];
            if (unsorted)
                for (int i = 1; i < active.n; ++i)
                    for (int j = i; j > 0 && active.x[j - 1] > active.x[j]; --j) active.Swap(j, j - 1);
        }
        // Edges starting on this line join the active list in x order, each in front of the first
        // active edge whose x is not smaller.
        while (next < n && table[next].y == y) {
            const Edge& e = table[next++];
            int i = active.n++;
            for (; i > 0 && active.x[i - 1] >= e.x; --i) active.Move(i, i - 1);
            active.Set(i, e);
            lastLine = std::min(lastLine, active.last[i]);
        }
        if (y > view.bottom) break; // nothing further is drawn
        const int m = active.n;
        const int32_t* x = active.x;
        int k = 1;
        if (y >= view.top) {
            for (int i = 0; i + 1 < m; i += 2) {
                const int x0 = std::max<int>(view.left, x[i]);
                const int x1 = std::min<int>(view.right, x[i + 1] - 1);
                if (x0 <= x1) span(x0, x1, y);
            }
        } else {
            // Above the view nothing is drawn: jump to the view, the next edge or the next edge end.
            k = view.top - y;
            if (next < n) k = std::min(k, table[next].y - y);
            k = std::min(k, lastLine - y + 1);
        }
        // Advance k lines: the edges step along, x moving by the whole steps and once per overflow
        // of the error; an edge leaves after its last line.
        if (k == 1) {
            active.SetSentinel();
            checkOrder = StepOneLine(m, active.x, active.error, active.step, active.least, active.sign,
                                     active.increment, active.dy);
        } else {
            checkOrder = true;
            for (int i = 0; i < m; ++i) {
                const int64_t error = active.error[i] + static_cast<int64_t>(k) * active.increment[i];
                const int64_t overflows = error > 0 ? (error + active.dy[i] - 1) / active.dy[i] : 0;
                active.x[i] += k * active.step[i] + static_cast<int32_t>(overflows) * active.sign[i];
                active.error[i] = static_cast<int32_t>(error - overflows * active.dy[i]);
            }
        }
        y += k;
        if (y > lastLine) {
            int kept = 0;
            lastLine = INT32_MAX;
            for (int i = 0; i < m; ++i) {
                if (active.last[i] < y) continue;
                active.Move(kept++, i);
                lastLine = std::min(lastLine, active.last[i]);
            }
            active.n = kept;
            checkOrder = true;
        }
        if (active.n == 0 && next < n) y = table[next].y; // a gap between parts of the polygon
    }
}

void GuiScreen::Polygon(GuiThing* thing, GuiPoint* points, int count, const GuiColor& colour, int width) {
    // Nothing is read before the count and the array are known to be there.
    if (!thing || !points || count < 1) return;
    if (!mbDrawToBitmap && !thing->IsVisible()) return;
    GuiPoint* pts = points;
    std::unique_ptr<GuiPoint[]> closed;
    const GuiPoint first = points[0], last = points[count - 1];
    if (first.x != last.x || first.y != last.y) {
        // An open polygon is closed on a copy; the caller's array stays as it is.
        if (count == INT32_MAX) return;
        closed.reset(new (std::nothrow) GuiPoint[static_cast<size_t>(count) + 1]);
        if (!closed) return;
        std::copy(points, points + count, closed.get());
        closed[count] = first;
        pts = closed.get();
        ++count;
    }
    int l = mwHRes, t = mwVRes, r = 0, b = 0;
    for (int i = 0; i < count; ++i) {
        l = std::min<int>(l, pts[i].x);
        t = std::min<int>(t, pts[i].y);
        r = std::max<int>(r, pts[i].x);
        b = std::max<int>(b, pts[i].y);
    }
    GuiRect bounds = guishape::FigureRect(l, t, r, b);
    bool outline = true;
    if (colour.flags & GUI_COLOR_FILL) {
        FillPolygon(thing, bounds, pts, count, colour.background);
        outline = width != 0 && colour.foreground != colour.background;
    } else if (colour.flags & GUI_COLOR_PATTERN) {
        PatternFillPolygon(thing, bounds, pts, count, colour.background);
        outline = width != 0;
    }
    if (!outline) return;
    for (int i = 0; i + 1 < count; ++i)
        Line(thing, pts[i].x, pts[i].y, pts[i + 1].x, pts[i + 1].y, colour, width);
}

void GuiScreen::FillPolygon(GuiThing* thing, GuiRect& bounds, GuiPoint* points, int count,
                            unsigned long colour) {
    if (!GateAndClip(thing, bounds)) return;
    ForEachPiece(thing, bounds, [&](GuiRect& piece) { FillPolygonView(piece, points, count, colour); });
}

void GuiScreen::FillPolygonView(const GuiRect& view, GuiPoint* points, int count, unsigned long colour) {
    // Spans are written through the row table as the device's HorizontalLine writes them, without
    // a call per span: a figure of many short spans (a star) would spend more on the calls than on
    // the pixels.
    const uint32_t c = static_cast<uint32_t>(colour);
    uint32_t** rows = mpRowPointers;
    ScanPolygon(view, points, count, [&](int x0, int x1, int y) {
        guishape::FillPixels(rows[y] + x0, static_cast<size_t>(x1 - x0) + 1, c);
    });
}

void GuiScreen::PatternFillPolygon(GuiThing* thing, GuiRect& bounds, GuiPoint* points, int count,
                                   unsigned long) {
    if (!GateAndClip(thing, bounds)) return;
    ForEachPiece(thing, bounds, [&](GuiRect& piece) { PatternFillPolygonView(piece, points, count); });
}

void GuiScreen::PatternFillPolygonView(const GuiRect& view, GuiPoint* points, int count) {
    const GuiBitmap* pattern = mpFillPattern;
    if (!pattern || !pattern->data || !pattern->width || !pattern->height || !points || count < 1) return;
    const int pw = pattern->width, ph = pattern->height;
    // Tiles are aligned to the top-left corner of the polygon's bounding box, not to the view: the
    // pattern then runs on unbroken across the pieces a window is cut into, and a polygon drawn whole
    // in one view (its box then being the view) is tiled from the view's corner.
    int ax = points[0].x, ay = points[0].y;
    for (int i = 1; i < count; ++i) ax = std::min<int>(ax, points[i].x), ay = std::min<int>(ay, points[i].y);
    auto floorDiv = [](int v, int d) { return v >= 0 ? v / d : -((-v + d - 1) / d); };
    ScanPolygon(view, points, count, [&](int x0, int x1, int y) {
        const int tileTop = ay + floorDiv(y - ay, ph) * ph;
        for (int tileLeft = ax + floorDiv(x0 - ax, pw) * pw; tileLeft <= x1; tileLeft += pw) {
            const GuiRect run = MakeGuiRect(std::max(x0, tileLeft), y, std::min(x1, tileLeft + pw - 1), y);
            BitmapView(GuiPoint{static_cast<int16_t>(tileLeft), static_cast<int16_t>(tileTop)}, pattern, run);
        }
    });
}

void GuiScreen::PatternLine(GuiThing* thing, int x1, int y1, int x2, int y2, GuiColor& colour, int width,
                            unsigned long pattern, int restart) {
    using namespace guishape;
    if (restart) mPatternMask = 1;
    if (!InCoordRange(x1) || !InCoordRange(y1) || !InCoordRange(x2) || !InCoordRange(y2) ||
        !InExtentRange(width))
        return;
    const int adx = std::abs(x2 - x1), ady = std::abs(y2 - y1);
    // Every visible piece starts from the same dash position, and the mask ends where one pass over
    // the whole line leaves it whatever is visible: the dashes do not depend on the clip, and the
    // next segment of a dashed polyline continues the phase.
    const uint32_t start = mPatternMask;
    const uint32_t after = RotateMask(start, std::max(adx, ady) + 1L);
    if (thing) {
        long l = std::min(x1, x2), t = std::min(y1, y2), r = std::max(x1, x2), b = std::max(y1, y2);
        // Widened across the line on the axis its runs take (vertical runs when x is the major axis).
        const int h = width >> 1;
        if (h > 0) {
            if (adx >= ady)
                t -= h, b += h;
            else
                l -= h, r += h;
        }
        ForEachView(
            thing, FigureRect(l, t, r, b),
            [&](GuiRect& piece) {
                mPatternMask = start;
                PatternLine(x1, y1, x2, y2, piece, colour, width, pattern);
            },
            GUI_GATE_HIDDEN);
    }
    mPatternMask = after;
}

void GuiScreen::PatternLine(int x1, int y1, int x2, int y2, GuiRect& view, const GuiColor& colour, int width,
                            unsigned long pattern) {
    const int adx = std::abs(x2 - x1), ady = std::abs(y2 - y1);
    const int sx = (x2 > x1) - (x2 < x1), sy = (y2 > y1) - (y2 < y1);
    const int half = width / 2;
    const uint32_t fg = colour.foreground;
    // A run of 2 * half + 1 pixels across the line, clipped to the view.
    auto run = [&](int x, int y, bool vertical) {
        if (vertical) {
            if (x < view.left || x > view.right) return;
            const int y0 = std::max<int>(y - half, view.top), y1v = std::min<int>(y + half, view.bottom);
            for (int yy = y0; yy <= y1v; ++yy) mpRowPointers[yy][x] = fg;
        } else {
            if (y < view.top || y > view.bottom) return;
            const int x0 = std::max<int>(x - half, view.left), x1v = std::min<int>(x + half, view.right);
            for (int xx = x0; xx <= x1v; ++xx) mpRowPointers[y][xx] = fg;
        }
    };
    int x = x1, y = y1;
    if (adx < ady) {
        int error = ady >> 1;
        for (int i = 0; i <= ady; ++i) {
            mPatternMask = RotateMask(mPatternMask, 1);
            if (error >= ady) {
                x += sx;
                error -= ady;
            }
            if (pattern & mPatternMask) run(x, y, false);
            y += sy;
            error += adx;
        }
    } else {
        int error = adx >> 1;
        for (int i = 0; i <= adx; ++i) {
            mPatternMask = RotateMask(mPatternMask, 1);
            if (error >= adx) {
                y += sy;
                error -= adx;
            }
            if (pattern & mPatternMask) run(x, y, true);
            x += sx;
            error += ady;
        }
    }
}
