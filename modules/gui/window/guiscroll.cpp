// Scroll bars. GuiVScroll and GuiHScroll are one bar along two axes: every position below is taken
// along the bar's axis (y, top, bottom, height for the vertical bar; x, left, right, width for the
// horizontal one).
#include "gui/window/guiscroll.h"

#include <algorithm>
#include <new>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"

namespace {

constexpr uint8_t T = 255; // transparent
uint8_t kUp[7 * 4] = {T, T, T, 0, T, T, T, T, T, 0, 0, 0, T, T, T, 0, 0, 0, 0, 0, T, 0, 0, 0, 0, 0, 0, 0};
uint8_t kDown[7 * 4] = {0, 0, 0, 0, 0, 0, 0, T, 0, 0, 0, 0, 0, T, T, T, 0, 0, 0, T, T, T, T, T, 0, T, T, T};
uint8_t kLeft[4 * 7] = {T, T, T, 0, T, T, 0, 0, T, 0, 0, 0, 0, 0, 0, 0, T, 0, 0, 0, T, T, 0, 0, T, T, T, 0};
uint8_t kRight[4 * 7] = {0, T, T, T, 0, 0, T, T, 0, 0, 0, T, 0, 0, 0, 0, 0, 0, 0, T, 0, 0, T, T, 0, T, T, T};
uint8_t kMix[16 * 4] = {
    15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  7,  15, 7,  15, 7,  15,
    7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,
    15, 7,  15, 7,  7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15, 7,  15,
};

constexpr uint16_t kArrowStyle = 0x801A; // enabled, auto-repeat, act on release, frame variant
constexpr int S = GUI_SCROLLBAR_SIZE;

// Information values are 32-bit; sums and products of them are formed in 64 bits and brought back
// into the 32-bit range.
int32_t Sat32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

} // namespace

GuiBitmap gbUpArrowBitmap = {GUI_BMP_TRANSPARENT, 8, 7, 4, 255, kUp};
GuiBitmap gbDownArrowBitmap = {GUI_BMP_TRANSPARENT, 8, 7, 4, 255, kDown};
GuiBitmap gbLeftArrowBitmap = {GUI_BMP_TRANSPARENT, 8, 4, 7, 255, kLeft};
GuiBitmap gbMoreBitmap = {GUI_BMP_TRANSPARENT, 8, 4, 7, 255, kRight};
GuiBitmap gbMixPatternBitmap = {0, 8, 16, 4, 0, kMix};

// ---------------------------------------------------------------------------------------------
// The thumb

GuiScrollButton::GuiScrollButton(bool vertical)
    : GuiThing(0, GUI_BORDER_RAISED), mbVerticalThumb(vertical ? 1 : 0) {
    mColors[0] = mColors[1] = GUI_LIGHT_GREY;
    RemoveStatus(GUI_ST_FOCUS);
}

GuiScroll* GuiScrollButton::bar() const {
    return dynamic_cast<GuiScroll*>(mpParentThing);
}

void GuiScrollButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    mpScreen->EndDraw();
}

int GuiScrollButton::Message(const GuiMessage& msg) {
    GuiScroll* b = bar();
    const GuiPoint p = msg.DataPoint();
    const int pos = mbVerticalThumb ? p.y : p.x;
    auto report = [&] {
        GuiMessage m =
            GuiMakeMessage(b->WindowMessage(), b, this,
                           static_cast<int16_t>(mbVerticalThumb ? mRealRect.Height() : mRealRect.Width()));
        m.SetDataWord(0, mbVerticalThumb ? mRealRect.top : mRealRect.left);
        b->Message(m);
    };
    switch (msg.Type) {
    case GM_BUTTON_DOWN:
        if (b && IsVisible() && b->IsVisible()) {
            GuiThing::CapturePointer();
            mPressRect = mRealRect;
            mbDragging = 1;
            miAnchorPos = miLastPos = pos;
        }
        return 0;
    case GM_POINTER_MOVE:
        if (mbDragging && b && pos != miLastPos) {
            miLastPos = pos;
            const bool moved = MoveDraw(pos);
            if (moved && b->mpParentThing && (b->mpParentThing->mwStatusFlags & GUI_ST_SCROLL_LIVE)) report();
        }
        return 0;
    case GM_BUTTON_UP:
        if (mbDragging && b) {
            mbDragging = 0;
            GuiThing::ReleasePointer();
            report();
        }
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

int GuiScrollButton::MoveDraw(int pos) {
    GuiScroll* b = bar();
    if (!b) return 0;
    const bool v = mbVerticalThumb;
    const GuiRect& c = b->mClientRect;
    const int lo = v ? c.top : c.left, hi = v ? c.bottom : c.right;
    GuiRect r = mPressRect;
    const int len = v ? r.Height() : r.Width();
    int start = (v ? r.top : r.left) + pos - miAnchorPos;
    // An end past the track is set to its edge and the other end follows; a thumb longer than the
    // track keeps its start at the track's start.
    if (start + len - 1 > hi) start = hi - len + 1;
    if (start < lo) start = lo;
    if (v) {
        r.top = static_cast<int16_t>(start);
        r.bottom = static_cast<int16_t>(start + len - 1);
    } else {
        r.left = static_cast<int16_t>(start);
        r.right = static_cast<int16_t>(start + len - 1);
    }
    if (r == mRealRect) return 0;
    const int oldStart = v ? mRealRect.top : mRealRect.left;
    // The trough the thumb uncovers: before its new start when it moved on, else behind its end.
    GuiRect strip = c;
    if (start >= oldStart) {
        if (v)
            strip.bottom = static_cast<int16_t>(start - 1);
        else
            strip.right = static_cast<int16_t>(start - 1);
    } else if (v) {
        strip.top = static_cast<int16_t>(start + len);
    } else {
        strip.left = static_cast<int16_t>(start + len);
    }
    Resize(r);
    if (!mpScreen) return 1;
    mpScreen->Invalidate(mRealRect);
    mpScreen->BeginDraw(b);
    const GuiRect savedClip = b->mClipRect;
    b->mClipRect &= strip;
    if (!strip.IsEmpty()) {
        mpScreen->Invalidate(strip);
        mpScreen->BitmapFill(b, c, &gbMixPatternBitmap);
    }
    b->mClipRect = savedClip;
    Draw();
    mpScreen->EndDraw();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The bar

GuiScroll::GuiScroll(bool vertical)
    : GuiThing(MakeGuiRect(0, 0, S - 1, S - 1), 0, GUI_BORDER_NONE), mVertical(vertical) {
    AddStatus(GUI_ST_MOVABLE | GUI_ST_NONCLIENT);
    RemoveStatus(GUI_ST_FOCUS);
    const GuiRect square = MakeGuiRect(0, 0, S - 1, S - 1);
    makeParts(square, square, kArrowStyle);
    if (mVertical) {
        mClientRect.top = static_cast<int16_t>(mClientRect.top + S);
        mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom - S);
    } else {
        mClientRect.left = static_cast<int16_t>(mClientRect.left + S);
        mClientRect.right = static_cast<int16_t>(mClientRect.right - S);
    }
}

GuiScroll::GuiScroll(bool vertical, const GuiRect& rect, const GuiScrollInfo* info, unsigned int id)
    : GuiThing(rect, static_cast<unsigned short>(id), GUI_BORDER_NONE), mVertical(vertical) {
    AddStatus(GUI_ST_MOVABLE);
    RemoveStatus(GUI_ST_FOCUS);
    if (info) mInfo = *info;
    const int l = rect.left, t = rect.top, r = rect.right, b = rect.bottom;
    if (mVertical) {
        makeParts(MakeGuiRect(l, t, l + S, t + S), MakeGuiRect(l, b - S, l + S, b), kArrowStyle);
        mClientRect = MakeGuiRect(l, t + S, r, b - S);
    } else {
        makeParts(MakeGuiRect(l, t, l + S, t + S), MakeGuiRect(r - S, t, r, t + S), kArrowStyle);
        mClientRect = MakeGuiRect(l + S, t, r - S, b);
    }
}

void GuiScroll::makeParts(const GuiRect& first, const GuiRect& second, uint16_t style) {
    mpArrowButton1 = new (std::nothrow)
        GuiBitmapButton(first, mVertical ? &gbUpArrowBitmap : &gbLeftArrowBitmap, GUI_ID_CLOSE, style);
    mpArrowButton2 = new (std::nothrow)
        GuiBitmapButton(second, mVertical ? &gbDownArrowBitmap : &gbMoreBitmap, GUI_ID_SYSTEM, style);
    mpThumb = new (std::nothrow) GuiScrollButton(mVertical);
    // The arrows lie outside the bar's client area (the trough): non-client, or they would be
    // clipped away.
    for (GuiButton* b : {mpArrowButton1, mpArrowButton2}) {
        if (!b) continue;
        b->AddStatus(GUI_ST_NONCLIENT);
        b->RemoveStatus(GUI_ST_FOCUS);
        Add(b, 0);
    }
    if (mpThumb) Add(mpThumb, 0);
}

GuiVScroll::GuiVScroll() : GuiScroll(true) {
    muThingType = GUI_TYPE_VSCROLL;
}

GuiVScroll::GuiVScroll(const GuiRect& rect, GuiScrollInfo* info, unsigned int id)
    : GuiScroll(true, rect, info, id) {
    muThingType = GUI_TYPE_VSCROLL;
}

GuiHScroll::GuiHScroll() : GuiScroll(false) {
    muThingType = GUI_TYPE_HSCROLL;
}

GuiHScroll::GuiHScroll(const GuiRect& rect, GuiScrollInfo* info, unsigned int id)
    : GuiScroll(false, rect, info, id) {
    muThingType = GUI_TYPE_HSCROLL;
}

uint16_t GuiScroll::WindowMessage() const {
    return mVertical ? GM_VSCROLL : GM_HSCROLL;
}

void GuiScroll::StopArrows() {
    if (!mpMessageQueue) return;
    for (GuiButton* b : {mpArrowButton1, mpArrowButton2})
        if (b) mpMessageQueue->KillTimer(b, GUI_BTN_REPEAT_TIMER);
}

void GuiScroll::Reset() {
    mInfo = GuiScrollInfo{0, 0, 0, 1, 0};
    ReadParentScrollInfo();
    SetScrollButtonPos();
}

void GuiScroll::Reset(GuiScrollInfo* info) {
    if (info) mInfo = *info;
    SetScrollButtonPos();
}

void GuiScroll::CheckScrollLimits() {
    if (mInfo.current < mInfo.minimum) mInfo.current = mInfo.minimum;
    const int64_t last = int64_t{mInfo.maximum} - mInfo.visible + 1;
    if (mInfo.current > last)
        mInfo.current = last < mInfo.minimum ? mInfo.minimum : static_cast<int32_t>(last);
}

void GuiScroll::readParent() {
    auto* w = dynamic_cast<GuiWindow*>(mpParentThing);
    if (!w) return;
    if (mVertical)
        w->GetVScrollInfo(&mInfo);
    else
        w->GetHScrollInfo(&mInfo);
    if (mInfo.current == mInfo.minimum || int64_t{mInfo.current} - 1 + mInfo.visible <= mInfo.maximum) return;
    // The view reaches past the content's end: the content scrolls back.
    const int old = mInfo.current;
    mInfo.current = Sat32(std::max<int64_t>(int64_t{mInfo.maximum} - mInfo.visible + 1, mInfo.minimum));
    GuiMessage m = GuiMakeMessage(WindowMessage(), w, this, static_cast<int16_t>(old));
    m.SetDataWord(0, mInfo.current);
    w->Message(m);
}

GuiRect GuiScroll::trough() const {
    GuiRect t = mRealRect;
    if (mVertical) {
        t.top = static_cast<int16_t>(t.top + S);
        t.bottom = static_cast<int16_t>(t.bottom - S);
    } else {
        t.left = static_cast<int16_t>(t.left + S);
        t.right = static_cast<int16_t>(t.right - S);
    }
    return t;
}

void GuiScroll::placeThumb() {
    if (!mpThumb) return;
    const GuiRect& c = mClientRect;
    const int64_t L = hi(c) - lo(c) + 1;
    const int64_t range = int64_t{mInfo.maximum} - mInfo.minimum + 1;
    int64_t start = lo(c), end = hi(c);
    if (range - 1 >= mInfo.visible) {
        int64_t len = range ? mInfo.visible * L / range : L;
        if (len < 16) len = 16;
        // range - visible is at least 1 here. A track shorter than the thumb leaves no room to move.
        const int64_t room = std::max<int64_t>(L - len, 0);
        const int64_t offset = (int64_t{mInfo.current} - mInfo.minimum) * room / (range - mInfo.visible);
        start = lo(c) + std::clamp<int64_t>(offset, INT16_MIN, INT16_MAX);
        end = start + len;
    }
    const int s16 = static_cast<int>(std::clamp<int64_t>(start, INT16_MIN, INT16_MAX));
    const int e16 = static_cast<int>(std::clamp<int64_t>(end, INT16_MIN, INT16_MAX));
    const GuiRect span =
        mVertical ? MakeGuiRect(c.left, s16, c.right, e16) : MakeGuiRect(s16, c.top, e16, c.bottom);
    mpThumb->Resize(span);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

void GuiScroll::notify(int old) {
    if (!mpParentThing) return;
    uint16_t type;
    if (mwStatusFlags & GUI_ST_NONCLIENT)
        type = WindowMessage();
    else if (mwThingId)
        type = GuiSignalType(mwThingId, GUI_SIGNAL_SCROLLED);
    else
        return;
    // A signal carries the old value in Param too, in place of the sender's id.
    GuiMessage m = GuiMakeMessage(type, mpParentThing, this, static_cast<int16_t>(old));
    m.SetDataWord(0, mInfo.current);
    mpParentThing->Message(m);
}

void GuiScroll::redraw() {
    // SetScrollButtonPos has invalidated the track.
    if (mpScreen && IsVisible()) Draw();
}

int GuiScroll::Message(const GuiMessage& msg) {
    const uint16_t up = GuiSignalType(GUI_ID_CLOSE, GUI_SIGNAL_CLICK);
    const uint16_t down = GuiSignalType(GUI_ID_SYSTEM, GUI_SIGNAL_CLICK);
    if (msg.Type == up || msg.Type == down) {
        const int old = mInfo.current;
        mInfo.current = Sat32(int64_t{mInfo.current} + (msg.Type == up ? -int64_t{mInfo.step} : mInfo.step));
        CheckScrollLimits();
        if (mInfo.current != old) notify(old);
        SetScrollButtonPos();
        redraw();
        return 0;
    }
    switch (msg.Type) {
    case GM_BUTTON_DOWN: {
        if (!mpThumb) return 0;
        const GuiPoint p = msg.DataPoint();
        const int pos = mVertical ? p.y : p.x;
        const int old = mInfo.current;
        mInfo.current = Sat32(int64_t{mInfo.current} +
                              (pos < lo(mpThumb->mRealRect) ? -int64_t{mInfo.visible} : mInfo.visible));
        CheckScrollLimits();
        notify(old); // also when the value stayed
        SetScrollButtonPos();
        redraw();
        return 0;
    }
    case GM_VSCROLL:
    case GM_HSCROLL: {
        if (msg.Source != mpThumb || !mpThumb) return 0;
        const int64_t L = hi(mClientRect) - lo(mClientRect) + 1;
        const int64_t d = int64_t{msg.DataWord(0)} - lo(mClientRect);
        // Where the thumb fills (or overfills) the track there is nothing to divide by.
        const int64_t free = L - msg.Param;
        const int64_t span = int64_t{mInfo.maximum} - mInfo.minimum - mInfo.visible + 1;
        const int32_t fresh = Sat32(free > 0 ? d * span / free + mInfo.minimum : mInfo.minimum);
        if (fresh == mInfo.current) return 0;
        const int old = mInfo.current;
        mInfo.current = fresh;
        CheckScrollLimits();
        if (mInfo.current != old) notify(old);
        return 0;
    }
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        GuiThing::Message(msg);
        if (!(mwStatusFlags & GUI_ST_NONCLIENT)) {
            SetScrollButtonPos();
        } else if (mpParentThing) {
            ReadParentScrollInfo();
            const GuiRect& c = mpParentThing->mClientRect;
            GuiMessage m = GuiMakeMessage(GM_RESIZE, this);
            m.SetDataRect(mVertical ? MakeGuiRect(c.right + 1, c.top, c.right + S, c.bottom)
                                    : MakeGuiRect(c.left, c.bottom + 1, c.right, c.bottom + S));
            Message(m);
        }
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiScroll::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    if (mpArrowButton2) {
        const GuiRect& r = mRealRect;
        mpArrowButton2->Resize(mVertical ? MakeGuiRect(r.left, r.bottom - (S - 1), r.right, r.bottom)
                                         : MakeGuiRect(r.right - (S - 1), r.top, r.right, r.bottom));
    }
    SetScrollButtonPos();
}

void GuiScroll::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    mpScreen->BitmapFill(this, trough(), &gbMixPatternBitmap);
    DrawChildren();
    mpScreen->EndDraw();
}
