// The strip chart: sample rings per line, the sweep and scroll modes, and drawing only the columns
// that a new sample changes.
#include "gui/widgets/chart/guistripchart.h"

#include <algorithm>
#include <new>

#include "gui/core/guiscreen.h"

namespace {

constexpr uint16_t kStripStyle = 0x83C8; // y labels, leader, history, sweep, y ticks and 0x0080

} // namespace

GuiStripChartLine::GuiStripChartLine(GuiStripChart* chart, unsigned char id, unsigned long colour,
                                     unsigned long aged, unsigned long fill)
    : mId(id), mLineColor(static_cast<uint32_t>(colour)), mAgedColor(static_cast<uint32_t>(aged)),
      mFillColor(static_cast<uint32_t>(fill)), mpChart(chart) {
    // A chart of 0 samples still gets a ring of 1.
    muSampleCount = chart->miMaxX > 0 ? static_cast<uint32_t>(chart->miMaxX) : 1u;
    muTail = muSampleCount > 1 ? 1 : 0;
    mpRing.reset(new (std::nothrow) int32_t[muSampleCount]());
}

int GuiStripChartLine::AddData(long value) {
    if (!mpRing) return 0;
    if (++muHead >= muSampleCount) {
        muHead = 0;
        mbWrapped = 1;
    }
    mpRing[muHead] = static_cast<int32_t>(value);
    muTail = muHead == muSampleCount - 1 ? 0 : muHead + 1;
    return 1;
}

long GuiStripChartLine::GetData(unsigned int index) const {
    return mpRing && index < muSampleCount ? mpRing[index] : 0;
}

GuiStripChart::GuiStripChart(const GuiRect& rect, unsigned int samples, long minY, long maxY,
                             unsigned int xTicks, unsigned int yTicks)
    : GuiChart(rect, 0, static_cast<long>(samples), minY, maxY, xTicks, yTicks, kStripStyle) {
    mColors[0] = GUI_BLACK;
    muThingType = GUI_TYPE_STRIP_CHART;
    RecalcLayout(0);
}

GuiStripChart::~GuiStripChart() {
    while (GuiStripChartLine* l = mpFirstLine) {
        mpFirstLine = l->mpNext;
        delete l;
    }
}

unsigned char GuiStripChart::AddLine(unsigned long colour, unsigned long aged, unsigned long fill) {
    const unsigned char id = GuiTakeChartId(mIdMap);
    if (!id) return 0;
    auto* line = new GuiStripChartLine(this, id, colour, aged, fill);
    if (!line->Valid()) {
        delete line;
        GuiFreeChartId(mIdMap, id);
        return 0;
    }
    GuiAppendChartLine(mpFirstLine, line);
    return id;
}

int GuiStripChart::RemoveLine(unsigned char id) {
    return GuiRemoveChartLine(mpFirstLine, mIdMap, id);
}

GuiStripChartLine* GuiStripChart::GetLineByID(unsigned char id) {
    return GuiFindChartLine(mpFirstLine, id);
}

int GuiStripChart::AddData(unsigned char id, long value, int redraw) {
    GuiStripChartLine* l = GetLineByID(id);
    if (!l) return 0;
    l->AddData(value);
    if (IsVisible() && redraw) DrawNewLineData(l);
    return 1;
}

unsigned long GuiStripChart::GetLineColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mLineColor : 0xFFFFFFFFul;
}

unsigned long GuiStripChart::GetLineAgedColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mAgedColor : 0xFFFFFFFFul;
}

unsigned long GuiStripChart::GetLineFillColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mFillColor : 0xFFFFFFFFul;
}

unsigned long GuiStripChart::GetLineLeaderColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mLeaderColor : 0xFFFFFFFFul;
}

void GuiStripChart::SetLineColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mLineColor = static_cast<uint32_t>(colour);
}

void GuiStripChart::SetLineAgedColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mAgedColor = static_cast<uint32_t>(colour);
}

void GuiStripChart::SetLineFillColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mFillColor = static_cast<uint32_t>(colour);
}

void GuiStripChart::SetLineLeaderColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mLeaderColor = static_cast<uint32_t>(colour);
}

int GuiStripChart::ValToPointY(long value) {
    return PixelOf(miMinX, value).y;
}

int GuiStripChart::IndexToPointX(unsigned int index) {
    return PixelOf(index, 0).x;
}

void GuiStripChart::segment(const GuiStripChartLine& line, int32_t a, int32_t b, int64_t pa, bool aged,
                            int xl, int xr) {
    const int x1 = PixelOf(pa, 0).x, x2 = PixelOf(pa + 1, 0).x;
    if (std::max(x1, x2) < xl || std::min(x1, x2) > xr) return;
    const int y1 = PixelOf(miMinX, a).y, y2 = PixelOf(miMinX, b).y;
    if (mwChartStyle & GUI_CHART_FILL) {
        const int16_t zero = PixelOf(miMinX, 0).y;
        GuiPoint area[4] = {{static_cast<int16_t>(x1), static_cast<int16_t>(y1)},
                            {static_cast<int16_t>(x2), static_cast<int16_t>(y2)},
                            {static_cast<int16_t>(x2), zero},
                            {static_cast<int16_t>(x1), zero}};
        mpScreen->Polygon(this, area, 4, GuiColor{line.mFillColor, line.mFillColor, GUI_COLOR_FILL}, 0);
    }
    mpScreen->Line(this, x1, y1, x2, y2,
                   GuiColor{aged ? line.mAgedColor : line.mLineColor, GUI_LIGHT_GREY, 0}, 1);
}

void GuiStripChart::DrawLine(GuiStripChartLine* line) {
    if (!mpScreen || !line || !line->Valid()) return;
    const bool scroll = mwChartStyle & GUI_CHART_SCROLL;
    if (!sweep() && !scroll) return;
    const GuiRect saved = mClipRect;
    mClipRect &= mDataArea;
    if (!mpScreen->IsDrawingToBitmap()) mClipRect &= mpScreen->InvalidRect();
    const int xl = mClipRect.left, xr = mClipRect.right;
    const int32_t* ring = line->mpRing.get();
    const uint32_t n = line->muSampleCount, head = line->muHead;
    if (!mClipRect.IsEmpty()) {
        if (sweep() || !line->mbWrapped) {
            for (uint32_t i = 0; i < head; ++i) segment(*line, ring[i], ring[i + 1], i, false, xl, xr);
            if (sweep() && (mwChartStyle & GUI_CHART_LEADER)) {
                const int x = PixelOf(head, 0).x;
                const uint32_t c = line->mLeaderColor ? line->mLeaderColor : line->mLineColor;
                mpScreen->Line(this, x, mDataArea.top + 1, x, mDataArea.bottom - 1,
                               GuiColor{c, GUI_LIGHT_GREY, 0}, 1);
            }
        } else {
            // Oldest sample at position 0.
            int64_t pos = 0;
            for (uint32_t i = line->muTail; i + 1 < n; ++i, ++pos)
                segment(*line, ring[i], ring[i + 1], pos, false, xl, xr);
            if (head != n - 1) segment(*line, ring[n - 1], ring[0], pos++, false, xl, xr);
            for (uint32_t i = 0; i < head && pos < int64_t{n} - 1; ++i, ++pos)
                segment(*line, ring[i], ring[i + 1], pos, false, xl, xr);
        }
    }
    mClipRect = saved;
}

void GuiStripChart::DrawLineHistory(GuiStripChartLine* line) {
    if (!mpScreen || !line || !line->Valid()) return;
    const uint32_t n = line->muSampleCount;
    // With the newest sample at the last position every position holds current data.
    if (line->muTail <= line->muHead) return;
    mpScreen->BeginDraw(this);
    const bool all = mpScreen->IsDrawingToBitmap();
    const GuiRect& inv = mpScreen->InvalidRect();
    const int32_t* ring = line->mpRing.get();
    for (uint32_t i = line->muTail + 1; i + 1 < n; ++i) {
        if (!all) {
            const GuiPoint a = PixelOf(i, ring[i]), b = PixelOf(int64_t{i} + 1, ring[i + 1]);
            if (!inv.Contains(a) && !inv.Contains(b)) continue;
        }
        segment(*line, ring[i], ring[i + 1], i, true, INT16_MIN, INT16_MAX);
    }
    mpScreen->EndDraw();
}

void GuiStripChart::invalidateColumns(int64_t from, int64_t to) {
    const int l = PixelOf(from, 0).x, r = PixelOf(to, 0).x;
    mpScreen->Invalidate(MakeGuiRect(std::min(l, r), mDataArea.top, std::max(l, r), mDataArea.bottom));
}

void GuiStripChart::DrawNewLineData(GuiStripChartLine* line) {
    if (!mpScreen || !line || !line->Valid()) return;
    const int64_t head = line->muHead, tail = line->muTail, n = line->muSampleCount;
    if (sweep()) {
        if (head != 0) {
            // The newest sample at the last position has nothing behind it to clear.
            invalidateColumns(head - 1, tail > head ? tail : head);
            mpScreen->BeginDraw(this);
            DrawInvalidChartRegion();
            mpScreen->EndDraw();
        } else {
            // Just wrapped: the whole last round turns into older data.
            mpScreen->Invalidate(mDataArea);
            DrawLineHistory(line);
            if (mwChartStyle & GUI_CHART_LEADER) {
                invalidateColumns(n - 2, n);
                mpScreen->BeginDraw(this);
                DrawInvalidChartRegion();
                mpScreen->EndDraw();
            }
        }
    } else if (mwChartStyle & GUI_CHART_SCROLL) {
        if (line->mbWrapped) {
            mpScreen->Invalidate(mDataArea); // every sample moves
            Draw();
        } else if (head != 0) {
            invalidateColumns(head - 1, head);
            Draw();
        }
    }
}

void GuiStripChart::DrawInvalidChartRegion() {
    if (!mpScreen || (!mpScreen->HasInvalid() && !mpScreen->IsDrawingToBitmap())) return;
    const GuiRect inv = mpScreen->InvalidRect();
    const GuiRect& a = mDataArea;
    const uint16_t st = mwChartStyle;
    const bool xs = muXMajor || muXMinor, ys = muYMajor || muYMinor;
    const GuiColor axis{mColors[3], mColors[3], 0};
    mpScreen->Rectangle(this, inv, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 1);
    if (inv.left <= a.left && (st & GUI_CHART_Y_TICKS) && ys)
        mpScreen->Line(this, a.left, PixelOf(miMinX, miMaxY).y, a.left, a.bottom, axis, 1);
    if ((st & GUI_CHART_X_GRID) && xs) DrawXGrid();
    if ((st & GUI_CHART_Y_GRID) && ys) DrawYGrid();
    if ((st & GUI_CHART_X_TICKS) && xs) {
        if (st & GUI_CHART_X_AXIS_AT_ZERO) {
            DrawXTics();
            if ((st & GUI_CHART_X_LABELS) && muXLabelInterval) DrawXLabels();
        } else {
            mpScreen->Line(this, inv.left, a.bottom, inv.right, a.bottom, axis, 1);
        }
    }
    if ((st & GUI_CHART_HISTORY) && mpFirstLine && mpFirstLine->mpNext)
        for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext)
            if (l->mbWrapped) DrawLineHistory(l);
    for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext) DrawLine(l);
}

void GuiStripChart::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    const uint16_t st = mwChartStyle;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    if (st & GUI_CHART_X_GRID) DrawXGrid();
    if (st & GUI_CHART_Y_GRID) DrawYGrid();
    for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext) {
        DrawLine(l);
        if (sweep() && l->mbWrapped) DrawLineHistory(l);
    }
    if (st & GUI_CHART_X_TICKS) DrawXTics();
    if (st & GUI_CHART_Y_TICKS) DrawYTics();
    if (st & GUI_CHART_X_LABELS) DrawXLabels();
    if (st & GUI_CHART_Y_LABELS) DrawYLabels();
    DrawChildren();
    mpScreen->EndDraw();
}

int GuiStripChart::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_RESIZE:
    case 5:
        RecalcLayout(1);
        return GuiChart::Message(msg);
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        GuiThing::Message(msg);
        if (mwChartStyle & GUI_CHART_FIT_PARENT) parentFit();
        return 0;
    default:
        return GuiChart::Message(msg);
    }
}

void GuiStripChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
}

void GuiStripChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw && IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}
