// Straight gauges. A vertical scale's travel runs along y, a horizontal one's along x; the needle
// stands across the travel on the needle side. Values are 32-bit; differences and products of them
// are formed in 64 bits.
#include "gui/widgets/scale/guiscale.h"

#include <algorithm>

#include "gui/core/guirange.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

namespace {

int16_t Coord(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

GuiRect Empty() {
    return MakeGuiRect(0, 0, -1, -1);
}

// A line along or across the travel: (a1..a2 across, b along) on a vertical scale is the
// horizontal line from (a1, b) to (a2, b); on a horizontal scale the axes are exchanged.
void Across(GuiThing* t, bool vertical, int a1, int a2, int b, uint32_t c) {
    const GuiColor colour{c, c, 0};
    if (vertical)
        GuiThing::mpScreen->Line(t, a1, b, a2, b, colour, 1);
    else
        GuiThing::mpScreen->Line(t, b, a1, b, a2, colour, 1);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiScale

GuiScale::GuiScale(const GuiRect& rect, int32_t min, int32_t max, unsigned int style)
    : GuiThing(rect, 0, static_cast<unsigned short>(style)), miValue(min), miMin(min), miMax(max) {
    init();
}

GuiScale::GuiScale(int x, int y, int32_t min, int32_t max, unsigned int style)
    : GuiThing(MakeGuiRect(x, y, x + 100, y + 150), 0, static_cast<unsigned short>(style)), miValue(min),
      miMin(min), miMax(max) {
    init();
}

void GuiScale::init() {
    AddStatus(GUI_ST_VIEWPORTS);
    mColors[0] = GUI_LIGHT_GREY;
    if (!(mwStyleFlags & GUI_BORDER_MASK)) mwStyleFlags |= GUI_BORDER_NONE;
    InitClient();
    ValToPoint(miValue, mNeedlePoint);
}

uint32_t GuiScale::FillColour() {
    if ((mwStyleFlags & GUI_STYLE_TRANSPARENT) && mpParentThing)
        return static_cast<uint32_t>(mpParentThing->GetColor(0));
    return mColors[0];
}

void GuiScale::SetTravelPoints() {
    const GuiRect& c = mClientRect;
    if (Vertical()) {
        miTravelStart = c.bottom - (c.Height() >> 4);
        miTravelEnd = c.top + (c.Height() >> 4);
    } else {
        miTravelStart = c.left + (c.Width() >> 4);
        miTravelEnd = c.right - (c.Width() >> 4);
    }
}

void GuiScale::ValToPoint(int32_t value, GuiPoint& point) {
    SetTravelPoints();
    // The divisor is the range less one; a range of one value divides by 1.
    int64_t div = int64_t{miMax} - miMin - 1;
    if (div == 0) div = 1;
    const bool fromStart = mwStyleFlags & GUI_SCALE_MIN_AT_START;
    const int64_t d = int64_t{value} - miMin;
    if (Vertical()) {
        const int64_t step = (int64_t{miTravelStart} - miTravelEnd) * 256 / div;
        const int64_t off = (d * step) >> 8;
        point = GuiPoint{0, Coord(fromStart ? miTravelStart - off : miTravelEnd + off)};
    } else {
        const int64_t step = (int64_t{miTravelEnd} - miTravelStart) * 256 / div;
        const int64_t off = (d * step) >> 8;
        point = GuiPoint{Coord(fromStart ? miTravelStart + off : miTravelEnd - off), 0};
    }
}

int GuiScale::NeedleAt() {
    GuiPoint p = mNeedlePoint;
    if (!mbNeedleOnly) ValToPoint(miValue, p);
    return Vertical() ? p.y : p.x;
}

void GuiScale::CalcNeedleRect(const GuiPoint& point, GuiRect& rect) {
    const bool v = Vertical();
    const GuiRect& c = mClientRect;
    const int across = v ? c.Width() : c.Height(), along = v ? c.Height() : c.Width();
    int half;
    if (mwStyleFlags & GUI_SCALE_NEEDLE_ARROW)
        half = (along >> 4) + 2;
    else if (mwStyleFlags & (GUI_SCALE_NEEDLE_LINE | GUI_SCALE_NEEDLE_FIVE))
        half = 3;
    else
        return;
    const int len = across / 2 + across / 4 - across / 8;
    const int lo = v ? c.left : c.top, hi = v ? c.right : c.bottom;
    const int a1 = (mwStyleFlags & GUI_SCALE_NEAR_SIDE) ? lo + across / 4 : hi - across / 4 - len;
    const int at = v ? point.y : point.x;
    if (v)
        rect = MakeGuiRect(a1, at - half, a1 + len, at + half);
    else
        rect = MakeGuiRect(at - half, a1, at + half, a1 + len);
}

void GuiScale::DrawNeedle() {
    const bool v = Vertical();
    const GuiRect& c = mClientRect;
    const int across = v ? c.Width() : c.Height(), along = v ? c.Height() : c.Width();
    const bool nearSide = mwStyleFlags & GUI_SCALE_NEAR_SIDE;
    const int dir = nearSide ? 1 : -1;
    const int a1 = nearSide ? (v ? c.left : c.top) + across / 4 : (v ? c.right : c.bottom) - across / 4;
    const int len = across / 2 + across / 4 - across / 8;
    const int at = NeedleAt();
    if (mwStyleFlags & GUI_SCALE_NEEDLE_ARROW) {
        const int apex = a1 + dir * (across / 8);
        Across(this, v, a1, apex, at, GUI_BLACK);
        const int base = a1 + dir * (across / 2 + across / 8);
        const int b1 = at - along / 16, b2 = b1 + along / 8;
        auto P = [v](int a, int b) {
            return v ? GuiPoint{Coord(a), Coord(b)} : GuiPoint{Coord(b), Coord(a)};
        };
        GuiPoint pts[4] = {P(apex, at), P(base, b1), P(base, b2), P(apex, at)};
        mpScreen->Polygon(this, pts, 4, GuiColor{GUI_BLACK, mNeedleColor, GUI_COLOR_FILL}, 1);
    } else if (mwStyleFlags & GUI_SCALE_NEEDLE_FIVE) {
        const int a2 = a1 + dir * len;
        for (int k = -1; k <= 1; ++k) Across(this, v, a1, a2, at + k, mNeedleColor);
        const int inner = a1 + dir * (across / 16);
        Across(this, v, inner, a2, at - 2, mNeedleColor);
        Across(this, v, inner, a2, at + 2, mNeedleColor);
    } else if (mwStyleFlags & GUI_SCALE_NEEDLE_LINE) {
        Across(this, v, a1, a1 + dir * len, at, mNeedleColor);
    }
}

void GuiScale::CalcClipAndDraw() {
    GuiRect before = Empty(), after = Empty();
    CalcNeedleRect(mNeedlePoint, before);
    GuiPoint p;
    ValToPoint(miValue, p);
    if (p.x == mNeedlePoint.x && p.y == mNeedlePoint.y) return;
    CalcNeedleRect(p, after);
    mNeedlePoint = p;
    GuiRect clip = before;
    if (clip.IsEmpty())
        clip = after;
    else if (!after.IsEmpty())
        clip |= after;
    const GuiRect saved = mClipRect;
    // Never beyond what the scale may draw anyway; a scale without a needle shows no change.
    clip &= saved;
    if (clip.IsEmpty() || !mpScreen) return;
    mClipRect = clip;
    mbNeedleOnly = 1;
    mpScreen->Invalidate(clip);
    Draw();
    mbNeedleOnly = 0;
    mClipRect = saved;
}

void GuiScale::SetValue(int32_t value, int redraw) {
    if (GuiGaugeValue(miValue, miMin, miMax, value, &miValue) && IsVisible() && redraw) CalcClipAndDraw();
}

int32_t GuiScale::IncrementValue(int32_t delta, int redraw) {
    if (GuiGaugeValue(miValue, miMin, miMax, int64_t{miValue} + delta, &miValue) && IsVisible() && redraw)
        CalcClipAndDraw();
    return miValue;
}

void GuiScale::SetMinValue(int32_t v, int redraw) {
    if (v == miMin) return;
    miMin = v;
    if (IsVisible() && redraw) CalcClipAndDraw();
}

void GuiScale::SetMaxValue(int32_t v, int redraw) {
    if (v == miMax) return;
    miMax = v;
    if (IsVisible() && redraw) CalcClipAndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiLinearScale

GuiLinearScale::GuiLinearScale(const GuiRect& rect, int32_t min, int32_t max, int32_t tickStep,
                               unsigned int style)
    : GuiScale(rect, min, max, style), miTickStep(tickStep) {
    muThingType = GUI_TYPE_LINEAR_SCALE;
}

GuiLinearScale::GuiLinearScale(int x, int y, int32_t min, int32_t max, int32_t tickStep, unsigned int style)
    : GuiScale(x, y, min, max, style), miTickStep(tickStep) {
    muThingType = GUI_TYPE_LINEAR_SCALE;
}

void GuiLinearScale::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    SetTravelPoints();
    DrawScale();
    if (mwStyleFlags & GUI_SCALE_TICKS) DrawTicMarks();
    DrawChildren();
    DrawNeedle();
    mpScreen->EndDraw();
}

void GuiLinearScale::DrawScale() {
    StandardBorder(FillColour());
    const bool v = Vertical();
    const GuiRect& c = mClientRect;
    const int across = v ? c.Width() : c.Height();
    const int g =
        (v ? c.left : c.top) + across / 4 - 1 + ((mwStyleFlags & GUI_SCALE_NEAR_SIDE) ? across / 2 : 0);
    const uint32_t colours[3] = {GUI_DARK_GREY, GUI_BLACK, GUI_WHITE};
    for (int k = 0; k < 3; ++k) {
        const GuiColor colour{colours[k], colours[k], 0};
        if (v)
            mpScreen->Line(this, g + k, miTravelEnd, g + k, miTravelStart, colour, 1);
        else
            mpScreen->Line(this, miTravelEnd, g + k, miTravelStart, g + k, colour, 1);
    }
}

void GuiLinearScale::DrawTicMarks() {
    if (!miTickStep) return;
    const int64_t n = (int64_t{miMax} - miMin) / miTickStep + 1;
    if (n < 1) return;
    const bool v = Vertical();
    const GuiRect& c = mClientRect;
    const int across = v ? c.Width() : c.Height();
    const int edge = (mwStyleFlags & GUI_SCALE_NEAR_SIDE) ? (v ? c.left : c.top) : (v ? c.right : c.bottom);
    const int inner = (mwStyleFlags & GUI_SCALE_NEAR_SIDE) ? edge + across / 4 : edge - across / 4;
    auto tick = [&](int at) { Across(this, v, edge, inner, at, GUI_BLACK); };
    auto at = [&](int64_t k) {
        GuiPoint p;
        ValToPoint(static_cast<int32_t>(miMin + k * miTickStep), p);
        return v ? p.y : p.x;
    };
    // Ticks that lie at most a pixel apart cover every pixel from the first to the last.
    int64_t div = int64_t{miMax} - miMin - 1;
    if (div == 0) div = 1;
    const int64_t travel = v ? int64_t{miTravelStart} - miTravelEnd : int64_t{miTravelEnd} - miTravelStart;
    const int64_t perTick = travel * 256 / div * miTickStep;
    if (perTick >= -256 && perTick <= 256) {
        const int first = at(0), last = at(n - 1);
        for (int p = std::min(first, last); p <= std::max(first, last); ++p) tick(p);
        return;
    }
    for (int64_t k = 0; k < n; ++k) tick(at(k));
}

// ---------------------------------------------------------------------------------------------
// GuiLinearBitmapScale

namespace {

GuiRect SizeOf(int x, int y, const GuiBitmap* b) {
    return b ? MakeGuiRect(x, y, x + b->width - 1, y + b->height - 1) : MakeGuiRect(x, y, x + 100, y + 150);
}

constexpr unsigned kForced = GUI_SCALE_OFFSETS | GUI_BORDER_NONE;

} // namespace

GuiLinearBitmapScale::GuiLinearBitmapScale(const GuiRect& rect, int32_t min, int32_t max, int startOffset,
                                           int endOffset, GuiBitmap* background, GuiBitmap* needle,
                                           unsigned int style)
    : GuiScale(rect, min, max, style | kForced), miStartOffset(startOffset), miEndOffset(endOffset) {
    init(background, needle);
}

GuiLinearBitmapScale::GuiLinearBitmapScale(int x, int y, int32_t min, int32_t max, int startOffset,
                                           int endOffset, GuiBitmap* background, GuiBitmap* needle,
                                           unsigned int style)
    : GuiScale(SizeOf(x, y, background), min, max, style | kForced), miStartOffset(startOffset),
      miEndOffset(endOffset) {
    init(background, needle);
}

GuiLinearBitmapScale::~GuiLinearBitmapScale() {
    if (mpComposite && mpScreen) mpScreen->DestroyBitmap(mpComposite);
}

void GuiLinearBitmapScale::init(GuiBitmap* background, GuiBitmap* needle) {
    muThingType = GUI_TYPE_LINEAR_BITMAP_SCALE;
    mpBackground = background;
    mpNeedle = needle;
    ValToPoint(miValue, mNeedlePoint); // along the travel of the offsets
}

void GuiLinearBitmapScale::SetTravelPoints() {
    if (!(mwStyleFlags & GUI_SCALE_OFFSETS)) {
        GuiScale::SetTravelPoints();
        return;
    }
    const int base = Vertical() ? mClientRect.top : mClientRect.left;
    miTravelStart =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{base} + miStartOffset, INT16_MIN, INT16_MAX));
    miTravelEnd =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{base} + miEndOffset, INT16_MIN, INT16_MAX));
}

GuiPoint GuiLinearBitmapScale::NeedleCorner(int at, GuiPoint origin) const {
    const GuiRect& c = mClientRect;
    const bool nearSide = mwStyleFlags & GUI_SCALE_NEAR_SIDE;
    int x, y;
    if (mwStyleFlags & GUI_SCALE_VERTICAL) {
        x = nearSide ? c.right - mpNeedle->width + 1 : c.left;
        y = static_cast<int>(std::clamp<int64_t>(
            int64_t{at} - (int64_t{miNeedleOffset} + mpNeedle->height / 2), INT16_MIN, INT16_MAX));
    } else {
        y = nearSide ? c.bottom - mpNeedle->height + 1 : c.top;
        x = static_cast<int>(std::clamp<int64_t>(
            int64_t{at} - (int64_t{miNeedleOffset} + mpNeedle->width / 2), INT16_MIN, INT16_MAX));
    }
    return GuiPoint{Coord(x - origin.x), Coord(y - origin.y)};
}

void GuiLinearBitmapScale::CalcNeedleRect(const GuiPoint& point, GuiRect& rect) {
    if (!mpNeedle) {
        GuiScale::CalcNeedleRect(point, rect);
        return;
    }
    const GuiPoint p = NeedleCorner(Vertical() ? point.y : point.x, GuiPoint{0, 0});
    rect = MakeGuiRect(p.x, p.y, p.x + mpNeedle->width - 1, p.y + mpNeedle->height - 1);
}

void GuiLinearBitmapScale::SetBkgBitmap(GuiBitmap* background) {
    mpBackground = background;
    if (mpComposite && mpScreen) mpScreen->DestroyBitmap(mpComposite);
    mpComposite = nullptr;
    if (!background || !mpScreen) return;
    mpComposite = mpScreen->CreateBitmap(background->width, background->height, 1);
    if (mRealRect.Width() != background->width || mRealRect.Height() != background->height)
        Resize(MakeGuiRect(mRealRect.left, mRealRect.top, mRealRect.left + background->width - 1,
                           mRealRect.top + background->height - 1));
}

void GuiLinearBitmapScale::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    SetTravelPoints();
    const int at = NeedleAt();
    const GuiPoint corner{mRealRect.left, mRealRect.top};
    if (mpBackground) {
        if (!mpComposite) mpComposite = s.CreateBitmap(mpBackground->width, mpBackground->height, 1);
        if (mpComposite) {
            if (mpBackground->flags & GUI_BMP_TRANSPARENT) {
                // What the background does not cover starts clear again, without the last needle.
                auto* w = reinterpret_cast<uint32_t*>(mpComposite->data);
                std::fill_n(w, static_cast<size_t>(mpComposite->width) * mpComposite->height, 1u);
            }
            s.BeginDraw(this, mpComposite);
            s.Bitmap(this, GuiPoint{0, 0}, mpBackground, 0);
            if (mpNeedle) s.Bitmap(this, NeedleCorner(at, corner), mpNeedle, 0);
            s.EndDraw(mpComposite);
            s.Bitmap(this, corner, mpComposite, 0);
        }
    } else {
        const uint32_t fill = FillColour();
        s.Rectangle(this, mRealRect, GuiColor{fill, fill, GUI_COLOR_FILL}, 0);
        if (mpNeedle) s.Bitmap(this, NeedleCorner(at, GuiPoint{0, 0}), mpNeedle, 0);
    }
    if (!mpNeedle) DrawNeedle();
    DrawChildren();
    s.EndDraw();
}
