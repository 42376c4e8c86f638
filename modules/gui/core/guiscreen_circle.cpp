// Circles and axis-aligned ellipses of the screen: outlined, filled, or outlined and filled.
//
// Circles follow a midpoint circle on a doubled grid; discs are drawn as spans, rings as runs of
// pixels from the circle towards the centre (the outline grows inwards). Ellipse outlines are rings
// shrinking inwards; ellipse fills go through a span table with one entry per row. Each figure has a
// View form that clips every span or pixel to one view and a Fast form without clip tests, which the
// entry routine takes exactly when the whole figure lies inside the clip.
#include <algorithm>
#include <memory>
#include <new>

#include "gui/core/guiscreen.h"
#include "gui/core/guishape.h"

namespace {

// The four spans of one even step of a filled circle.
template <class Span> void DiscWalk(int cx, int cy, int radius, Span&& span) {
    if (radius < 0) return;
    int X = 2 * radius, Y = 0, error = -2 * radius;
    while (Y <= X) {
        if (!(Y & 1)) {
            const int x = X / 2, y = Y / 2;
            span(cy + x, cx - y, cx + y);
            span(cy - x, cx - y, cx + y);
            span(cy + y, cx - x, cx + x);
            span(cy - y, cx - x, cx + x);
        }
        error += 2 * Y + 1;
        ++Y;
        if (error >= 0) {
            error -= 2 * X - 1;
            --X;
        }
    }
}

// The eight runs of one step of a ring, each from a point of the circle towards the centre:
// column(x, from, to) and row(y, from, to) with from the pixel on the circle. A run never passes
// the centre: with a width above radius + 1 the ring is the whole disc and nothing beyond it.
template <class Column, class Row>
void RingWalk(int cx, int cy, int radius, int width, Column&& column, Row&& row) {
    if (radius < 0 || width < 1) return;
    const int w = std::min(width, radius + 1) - 1;
    int X = 2 * radius, Y = 0, error = -2 * radius;
    while (Y <= X) {
        const int x = X / 2, y = Y / 2;
        column(cx + y, cy + x - w, cy + x);
        column(cx - y, cy + x - w, cy + x);
        column(cx + y, cy - x, cy - x + w);
        column(cx - y, cy - x, cy - x + w);
        row(cy + y, cx + x - w, cx + x);
        row(cy - y, cx + x - w, cx + x);
        row(cy + y, cx - x, cx - x + w);
        row(cy - y, cx - x, cx - x + w);
        error += Y;
        ++Y;
        if (error >= 0) {
            error -= X;
            --X;
        }
    }
}

bool CircleArgsOk(int cx, int cy, int radius) {
    return guishape::InCoordRange(cx) && guishape::InCoordRange(cy) && guishape::InExtentRange(radius);
}

} // namespace

void GuiScreen::Circle(GuiThing* thing, int cx, int cy, int radius, GuiColor& colour, int width) {
    if (!thing || radius < 1 || !CircleArgsOk(cx, cy, radius)) return;
    const long l = cx - radius, t = cy - radius, r = cx + radius, b = cy + radius;
    ForEachView(thing, guishape::FigureRect(l, t, r, b), [&](GuiRect& piece) {
        if (guishape::Covers(piece, l, t, r, b))
            CircleFast(cx, cy, radius, colour, width);
        else
            Circle(piece, cx, cy, radius, colour, width);
    });
}

void GuiScreen::Circle(const GuiRect& view, int cx, int cy, int radius, GuiColor& colour, int width) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    if (!(colour.flags & GUI_COLOR_FILL)) {
        OutlineCircle(view, cx, cy, radius, colour.foreground, width);
    } else if (width > 0 && colour.foreground != colour.background) {
        // A ring over a disc: the foreground disc, then the inside painted over.
        FillCircle(view, cx, cy, radius, colour.foreground);
        if (radius - width >= 1) FillCircle(view, cx, cy, radius - width, colour.background);
    } else {
        FillCircle(view, cx, cy, radius, colour.background);
    }
}

void GuiScreen::CircleFast(int cx, int cy, int radius, GuiColor& colour, int width) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    if (!(colour.flags & GUI_COLOR_FILL)) {
        OutlineCircleFast(cx, cy, radius, colour.foreground, width);
    } else if (width > 0 && colour.foreground != colour.background) {
        FillCircleFast(cx, cy, radius, colour.foreground);
        if (radius - width >= 1) FillCircleFast(cx, cy, radius - width, colour.background);
    } else {
        FillCircleFast(cx, cy, radius, colour.background);
    }
}

void GuiScreen::FillCircle(const GuiRect& view, int cx, int cy, int radius, unsigned long colour) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    DiscWalk(cx, cy, radius, [&](int y, int x0, int x1) {
        if (y < view.top || y > view.bottom) return;
        x0 = std::max<int>(x0, view.left);
        x1 = std::min<int>(x1, view.right);
        if (x0 <= x1) HorizontalLine(x0, x1, y, colour, 1);
    });
}

void GuiScreen::FillCircleFast(int cx, int cy, int radius, unsigned long colour) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    DiscWalk(cx, cy, radius, [&](int y, int x0, int x1) { HorizontalLine(x0, x1, y, colour, 1); });
}

void GuiScreen::OutlineCircle(const GuiRect& view, int cx, int cy, int radius, unsigned long colour,
                              int width) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    const uint32_t c = static_cast<uint32_t>(colour);
    RingWalk(
        cx, cy, radius, width,
        [&](int x, int y0, int y1) {
            if (x < view.left || x > view.right) return;
            for (int y = std::max<int>(y0, view.top), e = std::min<int>(y1, view.bottom); y <= e; ++y)
                mpRowPointers[y][x] = c;
        },
        [&](int y, int x0, int x1) {
            if (y < view.top || y > view.bottom) return;
            for (int x = std::max<int>(x0, view.left), e = std::min<int>(x1, view.right); x <= e; ++x)
                mpRowPointers[y][x] = c;
        });
}

void GuiScreen::OutlineCircleFast(int cx, int cy, int radius, unsigned long colour, int width) {
    if (!CircleArgsOk(cx, cy, radius)) return;
    const uint32_t c = static_cast<uint32_t>(colour);
    RingWalk(
        cx, cy, radius, width,
        [&](int x, int y0, int y1) {
            for (int y = y0; y <= y1; ++y) mpRowPointers[y][x] = c;
        },
        [&](int y, int x0, int x1) { std::fill(mpRowPointers[y] + x0, mpRowPointers[y] + x1 + 1, c); });
}

void GuiScreen::Ellipse(GuiThing* thing, const GuiRect& rect, GuiColor colour, int width) {
    if (!thing) return;
    ForEachView(thing, rect, [&](GuiRect& piece) {
        if (piece.Contains(rect))
            EllipseFast(rect, colour, width);
        else
            EllipseToView(rect, colour, width, piece);
    });
}

namespace {

// The filled area of an ellipse: its rectangle shrunk by the outline width, never inverted.
GuiRect FilledArea(const GuiRect& rect, int width) {
    const int w = std::max(width, 0);
    int l = rect.left + w, t = rect.top + w, r = rect.right - w, b = rect.bottom - w;
    if (l > r) r = l;
    if (b < t) b = t;
    return guishape::FigureRect(l, t, r, b);
}

} // namespace

void GuiScreen::EllipseToView(const GuiRect& rect, GuiColor& colour, int width, GuiRect view) {
    if (((rect.right - rect.left) >> 1) < 2 || ((rect.bottom - rect.top) >> 1) < 2) return;
    const uint32_t fg = colour.foreground;
    const bool filled = guishape::EllipseRings(rect, width, view, [&](int x, int y) {
        if (view.Contains(x, y)) mpRowPointers[y][x] = fg;
    });
    if (!filled || !(colour.flags & GUI_COLOR_FILL)) return;
    GuiRect area = FilledArea(rect, width);
    const GuiRect v = view & area;
    if (v.IsEmpty()) return;
    guishape::SpanTable spans(mpSpanTable, miSpanRows, area.Height());
    if (!spans) return;
    PlotEllipsePoints(area);
    for (int y = v.top; y <= v.bottom; ++y) {
        const GuiSpan s = spans[y - area.top];
        const int x0 = std::max<int>(s.left, v.left), x1 = std::min<int>(s.right, v.right);
        if (x0 <= x1) HorizontalLine(x0, x1, y, colour.background, 1);
    }
}

void GuiScreen::EllipseFast(const GuiRect& rect, GuiColor& colour, int width) {
    if (((rect.right - rect.left) >> 1) < 2 || ((rect.bottom - rect.top) >> 1) < 2) return;
    const uint32_t fg = colour.foreground;
    // The whole figure lies in the clip: its rectangle is the view.
    const bool filled =
        guishape::EllipseRings(rect, width, rect, [&](int x, int y) { mpRowPointers[y][x] = fg; });
    if (!filled || !(colour.flags & GUI_COLOR_FILL)) return;
    GuiRect area = FilledArea(rect, width);
    guishape::SpanTable spans(mpSpanTable, miSpanRows, area.Height());
    if (!spans) return;
    PlotEllipsePoints(area);
    for (int y = area.top; y <= area.bottom; ++y) {
        const GuiSpan s = spans[y - area.top];
        if (s.left <= s.right) HorizontalLine(s.left, s.right, y, colour.background, 1);
    }
}

void GuiScreen::PlotEllipsePoints(GuiRect& rect) {
    const int h = rect.bottom - rect.top;
    if (!mpSpanTable || h < 0 || h >= miSpanRows) return;
    std::fill(mpSpanTable, mpSpanTable + h + 1, GUI_SPAN_EMPTY);
    const int64_t a = (rect.right - rect.left) >> 1;
    if (h < 4 || a < 2) return;
    const int64_t b = h >> 1, a2 = a * a, b2 = b * b;
    const int cx = (rect.left + rect.right) >> 1, cy = (rect.top + rect.bottom) >> 1;
    const int cy2 = cy + (h & 1); // an odd height has two middle rows
    auto widen = [&](int64_t x, int64_t y) {
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        for (const int row : {cy - yi, cy2 + yi}) {
            if (row < rect.top || row > rect.bottom) continue;
            // The walk of a flat ellipse can step past its semi-axis: spans stay inside the rectangle.
            GuiSpan& s = mpSpanTable[row - rect.top];
            s.left = std::min<int32_t>(s.left, std::max<int>(cx - xi, rect.left));
            s.right = std::max<int32_t>(s.right, std::min<int>(cx + xi, rect.right));
        }
    };
    // Region 1, from the top row. The error carries the midpoint bias -a^2 Y, which follows Y as it
    // steps down: with the bias of the first row kept throughout, Y lags by many steps towards the
    // sides of a flat ellipse, and its fill bulges out past its outline and its rectangle.
    int64_t X = 0, Y = h & ~1, t = 0, error = -a2 * Y;
    while (Y * a2 >= t) {
        widen(X >> 1, (Y + 1) >> 1);
        error += 2 * t + b2;
        t += b2;
        ++X;
        if (error > 0) {
            error -= Y * a2;
            --Y;
            error -= Y * a2;
            error += a2;
        }
    }
    // Region 2, from the middle row.
    error = -b2 * X;
    X = (rect.right - rect.left) & ~1, Y = 0, t = 0;
    while (X * b2 >= t) {
        widen(X >> 1, (Y + 1) >> 1);
        error += 2 * t + a2;
        t += a2;
        ++Y;
        if (error > 0) {
            error -= X * b2;
            --X;
            error -= X * b2;
        }
    }
}
