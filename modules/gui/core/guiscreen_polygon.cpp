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

// One non-horizontal polygon edge. Its x is held in fixed point with 32 fraction bits: the exact
// x0 + (y - y0) dx / dy approached from below by a step rounded down, plus 1 - 2^-32, so that the
// whole part is x0 + ceil((y - y0) dx / dy). It is exactly that on every line of the edge: the
// exact value lies on a whole pixel or at least 1 / dy above one, and the error stays below
// dy / 2^32, less than 1 / dy as dy < 2^16. Edges sorted by the fixed-point x have their crossings
// in order, and each x moves linearly from line to line.
struct Edge {
    int64_t x;    // on the current scan line
    int64_t step; // added per line
    int32_t y;    // first scan line (upper end)
    int32_t last; // last scan line (lower end - 1)

    Edge() = default;
    Edge(int x0, int y0, int dx, int dy)
        : x(static_cast<int64_t>(x0) * kOne + (kOne - 1)),
          step(FloorDiv(static_cast<int64_t>(dx) * kOne, dy)), y(y0), last(y0 + dy - 1) {}
    int32_t Whole() const { return static_cast<int32_t>(x >> 32); }
    // Whether this edge lies right of e: by x, on a tie by the step, so that edges leaving one
    // point stay in order on the lines below it.
    bool RightOf(const Edge& e) const { return x > e.x || (x == e.x && step > e.step); }

    static constexpr int64_t kOne = int64_t{1} << 32;
    static int64_t FloorDiv(int64_t n, int64_t d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }
};

// Insertion sort of the active edges: a few compares when they are in order already.
void SortActive(Edge* active, int n) {
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && active[j - 1].RightOf(active[j]); --j) std::swap(active[j - 1], active[j]);
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
    // The edge table and the active list come from one pool per fill; nothing is allocated per
    // scan line.
    const size_t cap = static_cast<size_t>(count);
    std::unique_ptr<Edge[]> pool(new (std::nothrow) Edge[2 * cap]);
    if (!pool) return;
    Edge* const table = pool.get();
    Edge* const active = table + cap;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        GuiPoint a = points[i == 0 ? count - 1 : i - 1], b = points[i];
        if (a.y == b.y) continue;
        if (a.y > b.y) std::swap(a, b);
        table[n++] = Edge(a.x, a.y, b.x - a.x, b.y - a.y);
    }
    if (n == 0) return;
    // The edge table: sorted by upper end.
    std::sort(table, table + n, [](const Edge& p, const Edge& q) { return p.y < q.y; });
    // The clip and the span function's captures as locals, which stay in registers across the
    // spans (a star draws several short spans per line).
    const int left = view.left, right = view.right;
    auto draw = span;
    int m = 0;                // active edges, in x order
    int next = 0;             // the first edge of the table not yet active
    int lastLine = INT32_MAX; // the first line after which an active edge ends
    int y = table[0].y;
    while (next < n || m > 0) {
        // Edges that crossed take their places in x order again (only the order of the x values
        // decides what is drawn); edges starting on this line join in x order.
        SortActive(active, m);
        while (next < n && table[next].y == y) {
            const Edge& e = table[next++];
            int i = m++;
            for (; i > 0 && active[i - 1].RightOf(e); --i) active[i] = active[i - 1];
            active[i] = e;
            lastLine = std::min(lastLine, e.last);
        }
        if (y > view.bottom) break; // nothing further is drawn
        // Up to `end` no edge joins or leaves.
        int end = std::min(lastLine + 1, view.bottom + 1);
        if (next < n) end = std::min(end, table[next].y);
        if (y < view.top) {
            // Above the view nothing is drawn: jump to the view or to the end of this stretch.
            const int k = std::min<int>(end, view.top) - y;
            for (int i = 0; i < m; ++i) active[i].x += k * active[i].step;
            y += k;
        } else {
            // The x order holds on the first line, and every x moves linearly: if the order holds
            // on the last line too, it holds on all of them, and they are drawn without checking it.
            const int64_t after = end - y - 1;
            bool ordered = true;
            for (int i = 1; i < m; ++i)
                ordered &=
                    active[i - 1].x + after * active[i - 1].step <= active[i].x + after * active[i].step;
            for (; y < end; ++y) {
                // One pass draws the line's spans and steps the edges to the next line.
                int i = 0;
                for (; i + 1 < m; i += 2) {
                    Edge& a = active[i];
                    Edge& b = active[i + 1];
                    const int x0 = std::max(left, a.Whole());
                    const int x1 = std::min(right, b.Whole() - 1);
                    if (x0 <= x1) draw(x0, x1, y);
                    a.x += a.step;
                    b.x += b.step;
                }
                if (i < m) active[i].x += active[i].step;
                if (!ordered) SortActive(active, m);
            }
        }
        if (y > lastLine) {
            // Edges leave after their last line.
            int kept = 0;
            lastLine = INT32_MAX;
            for (int i = 0; i < m; ++i) {
                if (active[i].last < y) continue;
                active[kept++] = active[i];
                lastLine = std::min(lastLine, active[i].last);
            }
            m = kept;
        }
        if (m == 0 && next < n) y = table[next].y; // a gap between parts of the polygon
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
    ScanPolygon(view, points, count, [rows, c](int x0, int x1, int y) {
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
