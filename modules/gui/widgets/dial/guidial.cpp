// The dial base, finite and circular dials. Values are 32-bit; their differences and the products
// that turn them into angles are formed wide enough never to overflow, and an angle too large for
// 32 bits is taken modulo a whole turn (the needle points the same way).
#include "gui/widgets/dial/guidial.h"

#include <algorithm>
#include <bitset>

#include "gui/core/guirange.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

namespace {

__extension__ typedef __int128 Wide;

// Tick angles repeat after at most this many ticks: 360 degrees in 1/256 degree.
constexpr int64_t kTickPeriod = 92160;

int AngleOf(Wide a) {
    if (a >= INT32_MIN && a <= INT32_MAX) return static_cast<int>(a);
    return static_cast<int>(((a % 360) + 360) % 360);
}

int16_t Coord(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

GuiRect Box(GuiPoint a, GuiPoint b) {
    return MakeGuiRect(std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y));
}

void DrawLine(GuiThing* t, GuiPoint a, GuiPoint b, uint32_t c, int width) {
    GuiThing::mpScreen->Line(t, a.x, a.y, b.x, b.y, GuiColor{c, c, 0}, width);
}

void DrawCircle(GuiThing* t, GuiPoint c, int r, uint32_t fg, uint32_t bg, uint8_t flags, int width) {
    GuiColor colour{fg, bg, flags};
    GuiThing::mpScreen->Circle(t, c.x, c.y, r, colour, width);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiDial

GuiDial::GuiDial(const GuiRect& rect, unsigned int style)
    : GuiThing(rect, 0, static_cast<unsigned short>(style)), miTickLength(10) {
    init(style);
}

GuiDial::GuiDial(int x, int y, unsigned int style)
    : GuiThing(MakeGuiRect(x, y, x + 100, y + 100), 0, static_cast<unsigned short>(style)), miTickLength(0) {
    init(style);
}

void GuiDial::init(unsigned int style) {
    mColors[0] = GUI_LIGHT_GREY;
    if (!(style & GUI_STYLE_TRANSPARENT)) AddStatus(GUI_ST_VIEWPORTS);
    if (!(mwStyleFlags & GUI_BORDER_MASK)) mwStyleFlags |= GUI_BORDER_NONE;
    InitClient();
}

int GuiDial::Radius(GuiPoint* centre) const {
    const GuiRect& c = mClientRect;
    const int hw = (c.right - c.left + 1) >> 1, hh = (c.bottom - c.top + 1) >> 1;
    if (centre) *centre = GuiPoint{static_cast<int16_t>(c.left + hw), static_cast<int16_t>(c.top + hh)};
    return hw <= hh ? hw : hh;
}

GuiPoint GuiDial::PointAt(GuiPoint centre, int angle, int64_t d) {
    int s = 0, c = 0;
    GuiLookupSinCos(angle, &s, &c);
    return GuiPoint{Coord(centre.x + ((d * c) >> 10)), Coord(centre.y - ((d * s) >> 10))};
}

void GuiDial::PlaceNeedle(GuiPoint centre, int64_t length) {
    mNeedleCenter = centre;
    mNeedleTip = PointAt(centre, miNeedleAngle, length);
}

void GuiDial::PlainNeedle() {
    GuiPoint c;
    const int r = Radius(&c);
    PlaceNeedle(c, int64_t{miNeedleLength} * r / 100);
}

uint32_t GuiDial::BorderColour() {
    if ((mwStyleFlags & GUI_STYLE_TRANSPARENT) && mpParentThing)
        return static_cast<uint32_t>(mpParentThing->GetColor(0));
    return mColors[0];
}

void GuiDial::SetValue(int32_t value, int redraw) {
    if (GuiGaugeValue(miValue, miMin, miMax, value, &miValue) && IsVisible() && redraw) CalcClipAndDraw();
}

int32_t GuiDial::IncrementValue(int32_t delta, int redraw) {
    if (GuiGaugeValue(miValue, miMin, miMax, int64_t{miValue} + delta, &miValue) && IsVisible() && redraw)
        CalcClipAndDraw();
    return miValue;
}

void GuiDial::CalcClipAndDraw() {
    const GuiRect saved = mClipRect;
    const GuiRect before = Box(mNeedleTip, mNeedleCenter);
    CalcNeedlePos();
    const GuiRect after = Box(mNeedleTip, mNeedleCenter);
    if (before == after) return;
    GuiRect clip = before;
    clip |= after;
    clip += (mwStyleFlags & GUI_DIAL_NEEDLE_WIDE) ? 3 : (mwStyleFlags & GUI_DIAL_NEEDLE_POLYGON) ? 10 : 2;
    // Never beyond what the dial may draw anyway.
    clip &= saved;
    mClipRect = clip;
    mbNeedleOnly = 1;
    if (mpScreen) {
        mpScreen->Invalidate(clip);
        Draw();
    }
    mbNeedleOnly = 0;
    mClipRect = saved;
}

void GuiDial::DrawDial() {
    GuiPoint c;
    const int r = Radius(&c);
    DrawCircle(this, c, r, GUI_BLACK, GUI_BLACK, 0, 1);
    DrawCircle(this, c, r - 1, GUI_WHITE, GUI_WHITE, 0, 1);
    DrawCircle(this, c, r - 2, GUI_WHITE, GUI_WHITE, 0, 1);
    DrawCircle(this, c, r - 3, GUI_DARK_GREY, mFaceColor, GUI_COLOR_FILL, 1);
}

void GuiDial::DrawNeedle() {
    if (mwStyleFlags & GUI_DIAL_NEEDLE_LINE) {
        DrawLine(this, mNeedleTip, mNeedleCenter, mNeedleColor, 1);
    } else if (mwStyleFlags & GUI_DIAL_NEEDLE_WIDE) {
        DrawLine(this, mNeedleTip, mNeedleCenter, mNeedleColor, 3);
    } else if (mwStyleFlags & GUI_DIAL_NEEDLE_POLYGON) {
        const int64_t R = (mwStyleFlags & GUI_DIAL_TRUE_COR)
                              ? Radius(nullptr)
                              : std::max(mClientRect.Width(), mClientRect.Height());
        const int64_t s = int64_t{miNeedleLength} * R / 100 / 3;
        const GuiPoint c = mNeedleCenter;
        // The angles either side, taken within a turn so that they cannot overflow.
        const int a = miNeedleAngle % 360;
        GuiPoint pts[5] = {c, PointAt(c, a - 15, s), mNeedleTip, PointAt(c, a + 15, s), c};
        mpScreen->Polygon(this, pts, 5, GuiColor{GUI_BLACK, mNeedleColor, GUI_COLOR_FILL}, 1);
    }
}

void GuiDial::DrawAnchor() {
    DrawCircle(this, mNeedleCenter, miAnchorRadius, mAnchorColor, mAnchorColor, GUI_COLOR_FILL, 0);
}

void GuiDial::EraseNeedle() {
    if (!mpScreen) return;
    mpScreen->BeginDraw(this);
    if (mwStyleFlags & (GUI_DIAL_NEEDLE_LINE | GUI_DIAL_NEEDLE_WIDE))
        DrawLine(this, mNeedleTip, mNeedleCenter, mFaceColor, (mwStyleFlags & GUI_DIAL_NEEDLE_LINE) ? 1 : 3);
    DrawAnchor();
    mpScreen->EndDraw();
}

void GuiDial::CalcTicPos(int32_t value, GuiPoint& outer, GuiPoint& inner) {
    if (value < miMin || value > miMax) return;
    GuiPoint c;
    const int64_t r = Radius(&c) - 4;
    const int a = ValToAngle(value);
    outer = PointAt(c, a, r);
    inner = PointAt(c, a, r - int64_t{miTickLength} * r / 100);
}

bool GuiDial::ClipInsideFace() {
    GuiPoint c;
    const int64_t r = Radius(&c) - 6; // inside the face's inner disc, with a pixel to spare
    if (r < 1 || mClipRect.IsEmpty()) return false;
    for (int x : {mClipRect.left, mClipRect.right})
        for (int y : {mClipRect.top, mClipRect.bottom}) {
            const int64_t dx = x - c.x, dy = y - c.y;
            if (dx * dx + dy * dy > r * r) return false;
        }
    return true;
}

void GuiDial::DrawGauge(bool border) {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    // A needle-only redraw inside the face's inner disc: the border, the rings and the face's rim
    // would all be painted over by the face there, so only the face is drawn.
    const bool inside = mbNeedleOnly && ClipInsideFace();
    if (border && !inside) StandardBorder(BorderColour());
    if (!mbNeedleOnly) CalcNeedlePos();
    if (inside) {
        GuiPoint c;
        const int r = Radius(&c);
        DrawCircle(this, c, r - 4, mFaceColor, mFaceColor, GUI_COLOR_FILL, 0);
    } else {
        DrawDial();
    }
    if (mwStyleFlags & GUI_DIAL_TICKS) DrawTicMarks();
    DrawChildren();
    DrawNeedle();
    DrawAnchor();
    mpScreen->EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiFiniteDial

GuiFiniteDial::GuiFiniteDial(const GuiRect& rect, int startAngle, int endAngle, int32_t min, int32_t max,
                             unsigned int style)
    : GuiDial(rect, style) {
    muThingType = GUI_TYPE_FINITE_DIAL;
    SetLimits(startAngle, endAngle, min, max);
}

GuiFiniteDial::GuiFiniteDial(int x, int y, int startAngle, int endAngle, int32_t min, int32_t max,
                             unsigned int style)
    : GuiDial(x, y, style) {
    muThingType = GUI_TYPE_FINITE_DIAL;
    SetLimits(startAngle, endAngle, min, max);
}

void GuiFiniteDial::SetLimits(int startAngle, int endAngle, int32_t min, int32_t max) {
    miValue = min;
    miStartAngle = startAngle;
    // The needle always sweeps clockwise from the start to the end.
    miEndAngle = endAngle > startAngle ? AngleOf(Wide{endAngle} - 360) : endAngle;
    miMin = min;
    miMax = max;
    CalcNeedlePos();
}

int GuiFiniteDial::ValToAngle(int32_t value) {
    // The divisor is the range less one; a range of one value divides by 1.
    int64_t div = int64_t{miMax} - miMin - 1;
    if (div == 0) div = 1;
    const int64_t q = (int64_t{miStartAngle} - miEndAngle) * 256 / div;
    const Wide d = Wide{int64_t{value} - miMin} * q;
    return AngleOf(Wide{miStartAngle} - (d >> 8));
}

int GuiFiniteDial::NeedleAngle() {
    if (miValue <= miMin) return miStartAngle;
    if (miValue < miMax) return ValToAngle(miValue);
    return miEndAngle;
}

void GuiFiniteDial::CalcNeedlePos() {
    miNeedleAngle = NeedleAngle();
    PlainNeedle();
}

void GuiDial::DrawTickRun(int64_t firstK, int64_t n) {
    // Tick angles repeat after a whole number of turns, and a tick at an angle already drawn draws
    // the same line again: each angle is drawn once. A tick beyond the range would draw the last
    // tick's line again.
    std::bitset<360> drawn;
    GuiPoint outer{}, inner{};
    for (int64_t k = firstK; k < std::min(n, firstK + kTickPeriod); ++k) {
        const int64_t v = int64_t{miMin} + k * miTickStep;
        if (v > miMax) break;
        const int a = ((ValToAngle(static_cast<int32_t>(v)) % 360) + 360) % 360;
        if (drawn[static_cast<size_t>(a)]) continue;
        drawn[static_cast<size_t>(a)] = true;
        CalcTicPos(static_cast<int32_t>(v), outer, inner);
        DrawLine(this, outer, inner, GUI_BLACK, 1);
    }
}

void GuiFiniteDial::DrawTicMarks() {
    if (miTickStep < 1 || miMax < miMin) return;
    DrawTickRun(0, (int64_t{miMax} - miMin) / miTickStep + 1);
}

void GuiFiniteDial::Draw() {
    DrawGauge(true);
}

// ---------------------------------------------------------------------------------------------
// GuiCircularDial

GuiCircularDial::GuiCircularDial(const GuiRect& rect, int refAngle, int32_t valuesPerTurn, int32_t min,
                                 int32_t max, unsigned int style)
    : GuiDial(rect, style) {
    muThingType = GUI_TYPE_CIRCULAR_DIAL;
    SetLimits(refAngle, valuesPerTurn, min, max);
}

GuiCircularDial::GuiCircularDial(int x, int y, int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max,
                                 unsigned int style)
    : GuiDial(x, y, style) {
    muThingType = GUI_TYPE_CIRCULAR_DIAL;
    SetLimits(refAngle, valuesPerTurn, min, max);
}

void GuiCircularDial::SetLimits(int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max) {
    miRefAngle = refAngle;
    // Fewer than two values cannot make a turn.
    miValuesPerTurn = std::max<int32_t>(valuesPerTurn, 2);
    miMin = min;
    miMax = max;
    miValue = min;
    CalcNeedlePos();
}

int GuiCircularDial::ValToAngle(int32_t value) {
    const int64_t q = 92160 / (int64_t{miValuesPerTurn} - 1);
    const int64_t d = (int64_t{value} - miMin) * q;
    return AngleOf(Wide{miRefAngle} - (d >> 8));
}

int GuiCircularDial::NeedleAngle() {
    int64_t v = miValue;
    // Whole turns above the minimum are taken off.
    if (v >= int64_t{miMin} + miValuesPerTurn) v = miMin + (v - miMin) % miValuesPerTurn;
    return ValToAngle(static_cast<int32_t>(v));
}

void GuiCircularDial::CalcNeedlePos() {
    miNeedleAngle = NeedleAngle();
    PlainNeedle();
}

void GuiCircularDial::DrawTicMarks() {
    if (miTickStep < 1) return;
    GuiPoint outer{}, inner{};
    Radius(&outer);
    inner = outer;
    CalcTicPos(miMin, outer, inner);
    DrawLine(this, outer, inner, GUI_BLACK, 3);
    DrawTickRun(1, int64_t{miValuesPerTurn} / miTickStep + 1);
}

void GuiCircularDial::Draw() {
    DrawGauge(!(mwStyleFlags & GUI_BORDER_NONE));
}
