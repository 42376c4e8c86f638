// The slider and its thumb. Every position is taken along the slider's axis: y, top and bottom on
// a vertical slider (client narrower than high), x, left and right on a horizontal one. Values are
// 32-bit; their differences and products are formed in 64 bits.
#include "gui/widgets/slider/guislider.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "gui/core/guiscreen.h"

namespace {

int32_t Sat32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

void DrawLine(GuiThing* t, int x1, int y1, int x2, int y2, uint32_t c, int width = 1) {
    GuiThing::mpScreen->Line(t, x1, y1, x2, y2, GuiColor{c, c, 0}, width);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The thumb

GuiSlideButton::GuiSlideButton(int min, int max, int scale, unsigned int style)
    : GuiThing(0, static_cast<unsigned short>(style)), miMin(min), miMax(max), miScale(scale),
      miCurrent(min) {
    AddStatus(GUI_ST_SELECTABLE);
}

bool GuiSlideButton::Vertical() const {
    if (!mpParentThing) return false;
    const GuiRect& c = mpParentThing->mClientRect;
    return c.Width() < c.Height();
}

void GuiSlideButton::SetDragLimits() {
    if (!mpParentThing) return;
    const GuiRect& c = mpParentThing->mClientRect;
    if (Vertical()) {
        miTravelStart = c.top - 3 + (c.Height() >> 4);
        miTravelEnd = c.bottom + 3 - (c.Height() >> 4);
    } else {
        miTravelStart = c.left - 3 + (c.Width() >> 4);
        miTravelEnd = c.right + 3 - (c.Width() >> 4);
    }
}

void GuiSlideButton::SetSize() {
    if (!mpParentThing) return;
    SetDragLimits();
    const GuiRect& c = mpParentThing->mClientRect;
    const int W = c.Width(), H = c.Height();
    GuiRect r;
    if (Vertical()) {
        const int top = miTravelStart + (H >> 4);
        r = MakeGuiRect(c.left + W / 6 + 3, top, c.right - 2, top + 7);
    } else {
        r = MakeGuiRect(miTravelStart, c.top + 2, miTravelStart + 7, c.bottom - H / 6 - 2);
    }
    mRealRect = mClientRect = r;
    mClipRect = r & mpParentThing->mClipRect;
    RecalcCurrentPos(0);
}

void GuiSlideButton::ParentShift(int, int) {
    SetSize();
}

void GuiSlideButton::RecalcCurrentPos(int redraw) {
    const int64_t range = int64_t{miMax} - miMin;
    int64_t fraction = (int64_t{miCurrent} - miMin) * 256;
    if (range) fraction /= range;
    const int64_t pos = miTravelStart + ((int64_t{miTravelEnd} - miTravelStart - 7) * fraction >> 8);
    const bool v = Vertical();
    const int64_t delta = pos - (v ? mRealRect.top : mRealRect.left);
    const int d = static_cast<int>(std::clamp<int64_t>(delta, INT16_MIN * 4, INT16_MAX * 4));
    if (v)
        UpdateVertPos(d, redraw);
    else
        UpdateHorzPos(d, redraw);
}

namespace {

// The move along one axis: clamped so that the leading edge stays at or after the travel start
// and the trailing edge at or before its end.
int64_t ClampMove(int64_t delta, int lead, int trail, int start, int end) {
    if (delta < 1) {
        if (lead + delta < start) delta = int64_t{start} - lead;
    } else if (trail + delta > end) {
        delta = int64_t{end} - trail;
    }
    return delta;
}

} // namespace

void GuiSlideButton::UpdateVertPos(int delta, int redraw) {
    const int64_t d = ClampMove(delta, mRealRect.top, mRealRect.bottom, miTravelStart, miTravelEnd);
    if (d == 0) return;
    GuiRect r = mRealRect;
    r.Shift(0, static_cast<int>(d));
    if (redraw) {
        Resize(r);
        if (mpParentThing) {
            GuiThing* p = mpParentThing;
            if ((p->mwStyleFlags & GUI_STYLE_TRANSPARENT) && p->Parent()) p = p->Parent();
            p->Draw();
        }
        return;
    }
    mRealRect = r;
    mClientRect.Shift(0, static_cast<int>(d));
    mClipRect = mpParentThing ? (mRealRect & mpParentThing->mClipRect) : mRealRect;
}

void GuiSlideButton::UpdateHorzPos(int delta, int redraw) {
    const int64_t d = ClampMove(delta, mRealRect.left, mRealRect.right, miTravelStart, miTravelEnd);
    if (d == 0) return;
    GuiRect r = mRealRect;
    r.Shift(static_cast<int>(d), 0);
    if (redraw) {
        Resize(r);
        if (mpParentThing) {
            GuiThing* p = mpParentThing;
            if ((p->mwStyleFlags & GUI_STYLE_TRANSPARENT) && p->Parent()) p = p->Parent();
            p->Draw();
        }
        return;
    }
    mRealRect = r;
    mClientRect.Shift(static_cast<int>(d), 0);
    mClipRect = mpParentThing ? (mRealRect & mpParentThing->mClipRect) : mRealRect;
}

bool GuiSlideButton::valueAtEdge(int64_t edge, int64_t* value) const {
    // A track too short for the thumb has no positions to tell apart.
    const int64_t den = int64_t{miTravelEnd} - miTravelStart - 7;
    if (den <= 0) return false;
    *value = (edge - miTravelStart) * (int64_t{miMax} - miMin) / den;
    return true;
}

void GuiSlideButton::UpdatePosition(GuiPoint point) {
    const bool v = Vertical();
    if (mwStyleFlags & GUI_SLIDER_SNAP) {
        CheckSnap(point, v);
        return;
    }
    const int before = v ? mRealRect.top : mRealRect.left;
    if (v)
        UpdateVertPos(point.y - miLastY, 1);
    else
        UpdateHorzPos(point.x - miLastX, 1);
    const int after = v ? mRealRect.top : mRealRect.left;
    int64_t offset;
    if (after != before && valueAtEdge(after, &offset)) miCurrent = Sat32(miMin + offset);
    miLastX = point.x;
    miLastY = point.y;
}

void GuiSlideButton::CheckSnap(GuiPoint point, int vertical) {
    const int64_t range = int64_t{miMax} - miMin;
    // Without a step or a range there is nothing to snap to.
    if (miScale == 0 || range == 0) return;
    const int lead = vertical ? mRealRect.top : mRealRect.left;
    const int trail = vertical ? mRealRect.bottom : mRealRect.right;
    const int64_t at = vertical ? point.y : point.x;
    const int64_t movedLead = lead + (at - ((lead + trail) >> 1));
    const int64_t den = int64_t{miTravelEnd} - miTravelStart - 7;
    if (den <= 0) return;
    const int64_t steps = std::llabs(range) / miScale;
    const int64_t step = steps ? range / steps : range;
    const int64_t raw = (movedLead - miTravelStart) * range / den;
    int64_t value = ((raw + miMin + std::llabs(step / 2)) / step) * step;
    value = std::clamp<int64_t>(value, std::min(miMin, miMax), std::max(miMin, miMax));
    if (value == miCurrent) return;
    miCurrent = static_cast<int32_t>(value);
    RecalcCurrentPos(1);
}

void GuiSlideButton::SetMinValue(int v) {
    miMin = v;
    RecalcCurrentPos(0);
}

void GuiSlideButton::SetMaxValue(int v) {
    miMax = v;
    RecalcCurrentPos(0);
}

void GuiSlideButton::SetCurrentValue(int v, int redraw) {
    miCurrent = v;
    RecalcCurrentPos(redraw);
}

void GuiSlideButton::Reset(int min, int max, int current) {
    miMin = min;
    miMax = max;
    miCurrent = current;
    RecalcCurrentPos(0);
}

int GuiSlideButton::Message(const GuiMessage& msg) {
    const GuiPoint p = msg.DataPoint();
    switch (msg.Type) {
    case GM_SHOW:
    case GM_HIDE:
        if (msg.Type == GM_SHOW) SetSize();
        GuiThing::Message(msg);
        mbDragging = 0;
        return 0;
    case GM_BUTTON_DOWN:
        if (!mbDragging) {
            GuiThing::CapturePointer();
            SetDragLimits();
            mbDragging = 1;
            miLastX = p.x;
            miLastY = p.y;
        }
        return 0;
    case GM_POINTER_MOVE:
        if (mbDragging) {
            const int32_t old = miCurrent;
            UpdatePosition(p);
            if (miCurrent != old && mpParentThing) {
                GuiMessage m = GuiMakeMessage(GM_SLIDER_VALUE, mpParentThing, this);
                m.SetDataWord(0, miCurrent);
                mpParentThing->Message(m);
            }
        }
        return 0;
    case GM_BUTTON_UP:
        if (mbDragging) {
            GuiThing::ReleasePointer();
            mbDragging = 0;
        }
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiSlideButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const GuiRect& r = mRealRect;
    s.Rectangle(this, r, GuiColor{GUI_BLACK, GUI_BLACK, 0}, 1);
    if (Vertical()) {
        const int l = r.left + 1, R = r.right - 1;
        DrawLine(this, l, r.top + 1, R, r.top + 1, GUI_DARK_GREY);
        DrawLine(this, l, r.bottom - 1, R, r.bottom - 1, GUI_DARK_GREY);
        DrawLine(this, l, r.top + 2, R, r.top + 2, GUI_LIGHT_GREY);
        DrawLine(this, l, r.bottom - 2, R, r.bottom - 2, GUI_LIGHT_GREY);
        DrawLine(this, l, r.top + 3, R, r.top + 3, GUI_WHITE, 2);
    } else {
        const int t = r.top + 1, B = r.bottom - 1;
        DrawLine(this, r.left + 1, t, r.left + 1, B, GUI_DARK_GREY);
        DrawLine(this, r.right - 1, t, r.right - 1, B, GUI_DARK_GREY);
        DrawLine(this, r.left + 2, t, r.left + 2, B, GUI_LIGHT_GREY);
        DrawLine(this, r.right - 2, t, r.right - 2, B, GUI_LIGHT_GREY);
        DrawLine(this, r.left + 3, t, r.left + 3, B, GUI_WHITE, 2);
    }
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// The slider

GuiSlider::GuiSlider(const GuiRect& rect, int min, int max, unsigned int id, unsigned int style, int scale)
    : GuiThing(rect, static_cast<unsigned short>(id), static_cast<unsigned short>(style)), miMin(min),
      miMax(max), miScale(scale) {
    muThingType = GUI_TYPE_SLIDER;
    AddStatus(GUI_ST_WINDOW | GUI_ST_MOVABLE);
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mwSignals = 1u << GUI_SIGNAL_SLIDER;
    InitClient();
}

GuiSlideButton* GuiSlider::thumb() {
    if (!mpThumb) {
        mpThumb = new (std::nothrow) GuiSlideButton(miMin, miMax, miScale, mwStyleFlags);
        if (mpThumb) Add(mpThumb, 0);
    }
    return mpThumb;
}

void GuiSlider::changed() {
    if (mpThumb) {
        mpThumb->miMin = miMin;
        mpThumb->miMax = miMax;
        mpThumb->RecalcCurrentPos(0);
    }
    if (IsVisible() && mpScreen) {
        mpScreen->Invalidate(mClientRect);
        Draw();
    }
}

void GuiSlider::SetMinValue(int v) {
    miMin = v;
    changed();
}

void GuiSlider::SetMaxValue(int v) {
    miMax = v;
    changed();
}

void GuiSlider::Reset(int min, int max, int current) {
    miMin = min;
    miMax = max;
    if (mpThumb) mpThumb->miCurrent = current;
    changed();
}

void GuiSlider::SetCurrentValue(int value, int redraw) {
    if (GuiSlideButton* t = thumb()) t->SetCurrentValue(value, redraw);
}

int GuiSlider::GetCurrentValue() {
    GuiSlideButton* t = thumb();
    return t ? t->GetCurrentValue() : miMin;
}

void GuiSlider::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    if (mpThumb) mpThumb->ParentShift(0, 0);
}

int GuiSlider::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
        thumb();
        return GuiThing::Message(msg);
    case GM_BUTTON_DOWN:
        if (mpThumb) {
            // The thumb starts a drag from its own corner and jumps (or snaps) to the point.
            GuiMessage press = msg;
            press.SetDataPoint(GuiPoint{mpThumb->mRealRect.left, mpThumb->mRealRect.top});
            mpThumb->Message(press);
            GuiMessage move = msg;
            move.Type = GM_POINTER_MOVE;
            mpThumb->Message(move);
        }
        return 0;
    case GM_SLIDER_VALUE:
        if (mwThingId && (mwSignals & (1u << GUI_SIGNAL_SLIDER)) && mpParentThing) {
            GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, GUI_SIGNAL_SLIDER), mpParentThing, this,
                                          static_cast<int16_t>(mwThingId));
            m.SetDataWord(0, msg.DataWord(0));
            mpParentThing->Message(m);
        }
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiSlider::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    if (miScale != -1) DrawScale();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiSlider::DrawScale() {
    const GuiRect& c = mClientRect;
    const int W = c.Width(), H = c.Height();
    const bool v = W < H;
    const int64_t n = miScale ? std::llabs(int64_t{miMax} - miMin) / miScale + 1 : 0;
    // Tick positions in eighths of a pixel along the axis.
    const int extent = v ? H : W;
    const int64_t first8 = 8 * int64_t{v ? c.top : c.left} + extent / 2;
    const int64_t spacing8 = n >= 2 ? (8 * int64_t{extent} - 2 * (extent / 2)) / (n - 1) : 0;
    const int64_t firstPx = first8 >> 3;
    const int64_t lastPx =
        n >= 2 ? (first8 + (n - 1) * spacing8) >> 3 : (v ? c.bottom : c.right) - extent / 16;
    const uint32_t tick = mColors[2];
    auto drawTick = [&](int64_t at) {
        const int p = static_cast<int>(at);
        if (v)
            DrawLine(this, c.left, p, c.left + W / 6, p, tick);
        else
            DrawLine(this, p, c.bottom - H / 6, p, c.bottom, tick);
    };
    if (n >= 2) {
        if (spacing8 <= 8) {
            // Ticks at most a pixel apart: every pixel from the first to the last has one.
            for (int64_t p = firstPx; p <= lastPx; ++p) drawTick(p);
        } else {
            for (int64_t k = 0; k < n; ++k) drawTick((first8 + k * spacing8) >> 3);
        }
    }
    const int from = static_cast<int>(firstPx - 3), to = static_cast<int>(lastPx + 3);
    if (v) {
        const int xc = (c.left + W / 6 + c.right) / 2;
        DrawLine(this, xc - 1, from, xc - 1, to, GUI_DARK_GREY);
        DrawLine(this, xc, from, xc, to, GUI_BLACK);
        DrawLine(this, xc + 1, from, xc + 1, to, GUI_WHITE);
    } else {
        const int yc = (c.bottom - H / 6 + c.top) / 2;
        DrawLine(this, from, yc - 1, to, yc - 1, GUI_DARK_GREY);
        DrawLine(this, from, yc, to, yc, GUI_BLACK);
        DrawLine(this, from, yc + 1, to, yc + 1, GUI_WHITE);
    }
}
