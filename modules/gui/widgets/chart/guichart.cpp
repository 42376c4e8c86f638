// The chart base: layout of the data area, mapping between data and pixels, axes, ticks, grid lines
// and labels.
#include "gui/widgets/chart/guichart.h"

#include <algorithm>

#include "gui/core/guifonts.h"
#include "gui/core/guiltoa.h"
#include "gui/core/guiscreen.h"

namespace {

int16_t Clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

int32_t Clamp32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Marks (ticks, grid lines, labels) denser than this cannot be told apart on any screen: ticks
// and grid lines are then drawn as one solid band, labels not at all. It also bounds the work of a
// spacing of 1 over a range of 2^32.
constexpr int64_t kMaxMarks = 4096;

// Calls f(v) for v = from, from + spacing, ... while v <= to; false, without any call, when there
// would be more than kMaxMarks of them. last gets the last value reached.
template <class F> bool ForEachMark(int64_t from, int64_t to, uint32_t spacing, int64_t& last, F&& f) {
    if (!spacing || to < from) return true;
    const int64_t n = (to - from) / spacing;
    last = from + n * spacing;
    if (n >= kMaxMarks) return false;
    for (int64_t v = from; v <= to; v += spacing) f(v);
    return true;
}

} // namespace

GuiChart::GuiChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xMajor,
                   unsigned int yMajor, unsigned short chartStyle)
    : GuiThing(rect, 0, GUI_BORDER_NONE), miMinX(static_cast<int32_t>(minX)),
      miMaxX(static_cast<int32_t>(maxX)), miMinY(static_cast<int32_t>(minY)),
      miMaxY(static_cast<int32_t>(maxY)), muXMajor(xMajor), muYMajor(yMajor), muXLabelInterval(xMajor),
      muYLabelInterval(yMajor), mwChartStyle(chartStyle), mpLabelFont(&MenuFont), mDataArea(mClientRect) {
    mColors[0] = GUI_BLACK;
    mColors[2] = GUI_DARK_GREY;
    mColors[3] = GUI_WHITE;
    AddStatus(GUI_ST_VIEWPORTS);
    // Axes and labels asked for at construction take their room before the first point is mapped.
    if (chartStyle) RecalcLayout(0);
}

int GuiChart::fontHeight() const {
    return mpScreen ? mpScreen->TextHeight("", mpLabelFont) : 0;
}

int GuiChart::textWidth(const char* text) const {
    return mpScreen ? mpScreen->TextWidth(text, mpLabelFont, -1) : 0;
}

GuiPoint GuiChart::PixelOf(int64_t x, int64_t y) {
    const GuiRect& a = mDataArea;
    // 8-bit fractions of the ranges, in 64 bits: ranges of 2^23 and more map right.
    int64_t fx = (x - miMinX) * 256;
    if (miMaxX != miMinX) fx /= int64_t{miMaxX} - miMinX;
    int64_t fy = (y - miMinY) * 256;
    if (miMaxY > miMinY) fy /= int64_t{miMaxY} - miMinY;
    const int64_t px = a.left + (((int64_t{a.right} - a.left - 1) * fx) >> 8);
    const int64_t py = a.bottom - (((int64_t{a.bottom} - a.top - 1) * fy) >> 8);
    return GuiPoint{Clamp16(px), Clamp16(py)};
}

void GuiChart::MapDataToPoint(GuiChartPoint* point) {
    if (point) point->pixel = PixelOf(point->x, point->y);
}

void GuiChart::MapPointToData(GuiChartPoint* point) {
    if (!point) return;
    const GuiRect& a = mDataArea;
    int64_t fx = (int64_t{point->pixel.x} - a.left) * 256;
    if (a.right > a.left) fx /= int64_t{a.right} - a.left + 1;
    int64_t fy = (int64_t{a.bottom} - point->pixel.y) * 256;
    if (a.bottom > a.top) fy /= int64_t{a.bottom} - a.top + 1;
    // Offsets from the minima.
    point->x = Clamp32(((int64_t{miMaxX} - miMinX) * fx) >> 8);
    point->y = Clamp32(((int64_t{miMaxY} - miMinY) * fy) >> 8);
}

void GuiChart::RecalcLayout(int redraw) {
    const GuiRect& c = mClientRect;
    int l = c.left, t = c.top, r = c.right, b = c.bottom;
    const int major = miMajorTickLength, fh = fontHeight();
    char lo[36], hi[36];
    if (mwChartStyle & GUI_CHART_X_TICKS) b -= major;
    if (mwChartStyle & GUI_CHART_Y_TICKS) {
        l += major;
        if (mwChartStyle & GUI_CHART_RIGHT_TICKS) r -= major;
    }
    if (mwChartStyle & GUI_CHART_Y_LABELS) {
        const int h = (fh + 1) >> 1;
        t += h;
        if (!(mwChartStyle & GUI_CHART_X_LABELS)) b -= h;
        const int w = miYLabelWidth
                          ? miYLabelWidth
                          : 2 + std::max(textWidth(_ltoa(miMinY, lo, 10)), textWidth(_ltoa(miMaxY, hi, 10)));
        l += w;
        if (mwChartStyle & GUI_CHART_RIGHT_LABELS) r -= w + 2;
    }
    if (mwChartStyle & GUI_CHART_X_LABELS) {
        r -= (textWidth(_ltoa(miMaxX, hi, 10)) + 1) >> 1;
        if (!(mwChartStyle & GUI_CHART_Y_LABELS)) l += (textWidth(_ltoa(miMinX, lo, 10)) + 1) >> 1;
        if (!(mwChartStyle & GUI_CHART_X_AXIS_AT_ZERO)) b -= miXLabelHeight ? miXLabelHeight : fh;
    }
    mDataArea = MakeGuiRect(l, t, r, b);
    if (redraw && IsVisible() && mpScreen) {
        mpScreen->Invalidate(mClientRect);
        Draw();
    }
}

void GuiChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    RecalcLayout(redraw);
}

void GuiChart::ParentShift(int dx, int dy) {
    GuiThing::ParentShift(dx, dy);
    mDataArea.Shift(dx, dy);
}

void GuiChart::parentFit() {
    if (mpParentThing) RecalcSize(mpParentThing->mClientRect, 0);
}

int GuiChart::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_RESIZE:
    case 5:
        GuiThing::Message(msg);
        RecalcLayout(1);
        return 0;
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        GuiThing::Message(msg);
        if (mwChartStyle & GUI_CHART_FIT_PARENT) parentFit();
        return 0;
    case GM_VSCROLL:
    case GM_HSCROLL:
        if (!(mwChartStyle & GUI_CHART_FIT_PARENT)) parentFit();
        return GuiThing::Message(msg);
    default:
        return GuiThing::Message(msg);
    }
}

int GuiChart::axisRow() {
    return (mwChartStyle & GUI_CHART_X_AXIS_AT_ZERO) ? PixelOf(miMinX, 0).y : mDataArea.bottom;
}

void GuiChart::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    const uint16_t st = mwChartStyle;
    const bool xs = muXMajor || muXMinor, ys = muYMajor || muYMinor;
    if ((st & GUI_CHART_X_GRID) && xs) DrawXGrid();
    if ((st & GUI_CHART_Y_GRID) && ys) DrawYGrid();
    if ((st & GUI_CHART_X_TICKS) && xs) DrawXTics();
    if ((st & GUI_CHART_Y_TICKS) && ys) DrawYTics();
    if ((st & GUI_CHART_X_LABELS) && muXLabelInterval) DrawXLabels();
    if ((st & GUI_CHART_Y_LABELS) && muYLabelInterval) DrawYLabels();
    DrawChildren();
    mpScreen->EndDraw();
}

namespace {

// Whether an area can show anything of what is drawn now.
bool Shows(GuiScreen* s, const GuiRect& r) {
    return s->IsDrawingToBitmap() || (s->HasInvalid() && r.Overlap(s->InvalidRect()));
}

} // namespace

void GuiChart::DrawXTics() {
    if (!mpScreen) return;
    const int row = axisRow();
    const GuiColor c{mColors[3], mColors[3], 0};
    int64_t last = miMinX;
    auto pass = [&](uint32_t spacing, int length) {
        const bool each = ForEachMark(miMinX, miMaxX, spacing, last, [&](int64_t x) {
            const int px = PixelOf(x, 0).x;
            mpScreen->Line(this, px, row, px, row + length, c, 1);
        });
        if (!each)
            mpScreen->Rectangle(this,
                                MakeGuiRect(PixelOf(miMinX, 0).x, row, PixelOf(last, 0).x, row + length),
                                GuiColor{c.foreground, c.foreground, GUI_COLOR_FILL}, 0);
    };
    pass(muXMinor, miMinorTickLength);
    pass(muXMajor, miMajorTickLength);
    mpScreen->Line(this, mDataArea.left, row, PixelOf(last, 0).x, row, c, 1);
}

void GuiChart::DrawYTics() {
    if (!mpScreen) return;
    const GuiRect& a = mDataArea;
    const bool right = mwChartStyle & GUI_CHART_RIGHT_TICKS;
    const GuiColor c{mColors[3], mColors[3], 0};
    const GuiColor band{c.foreground, c.foreground, GUI_COLOR_FILL};
    int64_t last = miMinY;
    auto pass = [&](uint32_t spacing, int length) {
        const bool each = ForEachMark(miMinY, miMaxY, spacing, last, [&](int64_t y) {
            const int py = PixelOf(miMinX, y).y;
            mpScreen->Line(this, a.left - length, py, a.left, py, c, 1);
            if (right) mpScreen->Line(this, a.right, py, a.right + length, py, c, 1);
        });
        if (!each) {
            const int top = PixelOf(miMinX, last).y, bottom = PixelOf(miMinX, miMinY).y;
            mpScreen->Rectangle(this, MakeGuiRect(a.left - length, top, a.left, bottom), band, 0);
            if (right)
                mpScreen->Rectangle(this, MakeGuiRect(a.right, top, a.right + length, bottom), band, 0);
        }
    };
    pass(muYMinor, miMinorTickLength);
    pass(muYMajor, miMajorTickLength);
    const int top = PixelOf(miMinX, last).y;
    mpScreen->Line(this, a.left, top, a.left, a.bottom, c, 1);
    if (right) mpScreen->Line(this, a.right, top, a.right, a.bottom, c, 1);
}

void GuiChart::DrawXGrid() {
    if (!mpScreen) return;
    const int top = PixelOf(miMinX, miMaxY).y, bottom = mDataArea.bottom;
    const GuiColor g{mColors[2], mColors[2], 0};
    // The first line would lie on the y axis.
    const bool skipFirst = muYMajor || muYMinor;
    for (uint32_t spacing : {muXMinor, muXMajor}) {
        if (!spacing) continue;
        const int64_t from = int64_t{miMinX} + (skipFirst ? spacing : 0);
        int64_t last = from;
        const bool each = ForEachMark(from, miMaxX, spacing, last, [&](int64_t x) {
            const int px = PixelOf(x, 0).x;
            if (Shows(mpScreen, MakeGuiRect(px, top, px, bottom)))
                mpScreen->Line(this, px, top, px, bottom, g, 1);
        });
        if (!each)
            mpScreen->Rectangle(this, MakeGuiRect(PixelOf(from, 0).x, top, PixelOf(last, 0).x, bottom),
                                GuiColor{g.foreground, g.foreground, GUI_COLOR_FILL}, 0);
    }
}

void GuiChart::DrawYGrid() {
    if (!mpScreen) return;
    const int left = mDataArea.left, right = PixelOf(miMaxX, 0).x;
    const GuiColor g{mColors[2], mColors[2], 0};
    const bool skipFirst = muXMajor || (muXMinor && !(mwChartStyle & GUI_CHART_X_AXIS_AT_ZERO));
    for (uint32_t spacing : {muYMinor, muYMajor}) {
        if (!spacing) continue;
        const int64_t from = int64_t{miMinY} + (skipFirst ? spacing : 0);
        int64_t last = from;
        const bool each = ForEachMark(from, miMaxY, spacing, last, [&](int64_t y) {
            const int py = PixelOf(miMinX, y).y;
            if (Shows(mpScreen, MakeGuiRect(left, py, right, py)))
                mpScreen->Line(this, left, py, right, py, g, 1);
        });
        if (!each)
            mpScreen->Rectangle(this,
                                MakeGuiRect(left, PixelOf(miMinX, last).y, right, PixelOf(miMinX, from).y),
                                GuiColor{g.foreground, g.foreground, GUI_COLOR_FILL}, 0);
    }
}

void GuiChart::DrawXLabels() {
    if (!mpScreen || !muXLabelInterval) return;
    const GuiRect& a = mDataArea;
    const int fh = fontHeight();
    const int top = axisRow() + 2 + miMajorTickLength;
    if (!Shows(mpScreen, MakeGuiRect(a.left + 1, top, mRealRect.right, top + fh - 1))) return;
    int64_t count = (int64_t{miMaxX} - miMinX) / muXLabelInterval + 1;
    if (count <= 0 || count > kMaxMarks) return;
    const int64_t step = count > 1 ? ((int64_t{a.right} - a.left + 1) * 8) / (count - 1) : 0;
    int64_t pos = int64_t{a.left} * 8;
    int64_t k = 0;
    if ((mwChartStyle & GUI_CHART_X_AXIS_AT_ZERO) && (mwChartStyle & GUI_CHART_Y_TICKS)) {
        // The first label would sit on the y axis.
        pos += step;
        --count;
        k = 1;
    }
    GuiColor colour{mColors[3], mColors[0], GUI_COLOR_FILL};
    for (const int64_t end = k + count; k < end; ++k, pos += step) {
        char text[36];
        _ltoa(Clamp32(miMinX + k * muXLabelInterval), text, 10);
        int w = textWidth(text);
        w += w & 1;
        int64_t x = pos / 8 - w / 2;
        if (x < mRealRect.left + 1)
            x = mRealRect.left + 1;
        else if (x + w - 1 > mRealRect.right)
            x = mRealRect.right - w - 1;
        const GuiPoint at{Clamp16(x), Clamp16(top)};
        if (Shows(mpScreen, MakeGuiRect(at.x, at.y, at.x + w - 1, at.y + fh - 1)))
            mpScreen->DrawText(this, at, text, colour, mpLabelFont, -1, 0);
    }
}

void GuiChart::DrawYLabels() {
    if (!mpScreen || !muYLabelInterval) return;
    const GuiRect& a = mDataArea;
    const GuiRect& c = mClientRect;
    const int fh = fontHeight(), major = miMajorTickLength;
    const bool right = mwChartStyle & GUI_CHART_RIGHT_LABELS;
    const GuiRect leftBand = MakeGuiRect(c.left, c.top, a.left - major - 1, a.bottom);
    const GuiRect rightBand = MakeGuiRect(a.right + major + 1, c.top, c.right, c.bottom);
    if (!Shows(mpScreen, leftBand) && !(right && Shows(mpScreen, rightBand))) return;
    const GuiColor fill{mColors[0], mColors[0], GUI_COLOR_FILL};
    mpScreen->Rectangle(this, leftBand, fill, 0);
    if (right) mpScreen->Rectangle(this, rightBand, fill, 0);
    const int64_t n = (int64_t{miMaxY} - miMinY) / muYLabelInterval;
    if (n < 0 || n + 1 > kMaxMarks) return;
    const int64_t step = n > 0 ? ((int64_t{a.bottom} - a.top + 1) * 8) / n : 0;
    int64_t pos = int64_t{a.bottom} * 8;
    GuiColor colour{mColors[3], mColors[0], GUI_COLOR_FILL};
    for (int64_t k = 0; k <= n; ++k, pos -= step) {
        char text[36];
        _ltoa(Clamp32(miMinY + k * muYLabelInterval), text, 10);
        const int w = textWidth(text);
        int64_t y = pos / 8 - fh / 2;
        if (y > mRealRect.bottom - fh - 1) y = mRealRect.bottom - fh - 1;
        if (y < mRealRect.top + 1) y = mRealRect.top + 1;
        const int64_t xs[2] = {int64_t{a.left} - major - w - 2, int64_t{a.right} + major + 2};
        for (int side = 0; side < (right ? 2 : 1); ++side) {
            const GuiPoint at{Clamp16(xs[side]), Clamp16(y)};
            if (Shows(mpScreen, MakeGuiRect(at.x, at.y, at.x + w - 1, at.y + fh - 1)))
                mpScreen->DrawText(this, at, text, colour, mpLabelFont, -1, 0);
        }
    }
}

unsigned char GuiTakeChartId(uint32_t (&map)[8]) {
    for (int w = 0; w < 8; ++w)
        for (int b = 0; b < 32; ++b)
            if (!((map[w] >> b) & 1u)) {
                map[w] |= 1u << b;
                return static_cast<unsigned char>(w * 32 + b);
            }
    return 0;
}

void GuiFreeChartId(uint32_t (&map)[8], unsigned char id) {
    if (id) map[id / 32] &= ~(1u << (id % 32));
}
