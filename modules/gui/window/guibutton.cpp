#include "gui/window/guibutton.h"

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"

GuiButton::GuiButton(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                     int fontEntry)
    : GuiTextThing(rect, id, style, text, fontEntry) {
    Initialize(style);
}

GuiButton::GuiButton(unsigned short id, unsigned short style, const char* text, int fontEntry)
    : GuiTextThing(id, style, text, fontEntry) {
    Initialize(style);
}

void GuiButton::Initialize(unsigned short style) {
    mColors[0] = GUI_LIGHT_GREY;
    mColors[1] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_BLACK;
    muThingType = GUI_TYPE_BUTTON;
    AddStatus(0x0018);
    mwSignals = 1u << GUI_SIGNAL_CLICK;
    if (style & GUI_BTN_ENABLED)
        AddStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    else
        RemoveStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
}

void GuiButton::Style(unsigned short style) {
    mwStyleFlags = style;
    if (style & GUI_BTN_ENABLED)
        AddStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    else
        RemoveStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
}

void GuiButton::Enable() {
    mwStyleFlags |= GUI_BTN_ENABLED;
    AddStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiButton::Disable() {
    mwStyleFlags &= static_cast<uint16_t>(~GUI_BTN_ENABLED);
    RemoveStatus(GUI_ST_WINDOW | GUI_ST_SELECTABLE);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiButton::Signal(unsigned n) {
    if (mpParentThing && mwThingId && (mwSignals & (1u << n)) && mpParentThing->IsVisible())
        SendSignal(static_cast<unsigned char>(n));
}

void GuiButton::SetPressed(bool pressed) {
    if (pressed)
        mwStyleFlags |= GUI_BTN_PRESSED;
    else
        mwStyleFlags &= static_cast<uint16_t>(~GUI_BTN_PRESSED);
    if (mpScreen && IsVisible()) {
        mpScreen->Invalidate(mClipRect);
        Draw();
    }
}

void GuiButton::Place(const GuiRect& r) {
    mRealRect = mClientRect = mClipRect = r;
}

int GuiButton::TextW(const char* text) const {
    return GuiFontTextWidth(text, mpTextFont);
}

int GuiButton::LineH() const {
    return GuiFontHeight(mpTextFont);
}

uint32_t GuiButton::TextColour() {
    if (Style() < GUI_BTN_ENABLED) return GUI_DISABLED_TEXT;
    return mColors[(mwStyleFlags & GUI_STYLE_HIGHLIGHT) ? 3 : 2];
}

void GuiButton::DrawLabel(int x, int y, const char* text, uint32_t colour) {
    if (!text || !mpTextFont) return;
    GuiColor c{colour, colour, 0};
    mpScreen->DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, text, c, mpTextFont,
                       -1, 0);
}

void GuiButton::StopRepeat() {
    if ((mwStyleFlags & GUI_BTN_REPEAT) && mpMessageQueue)
        mpMessageQueue->KillTimer(this, GUI_BTN_REPEAT_TIMER);
}

int GuiButton::Message(const GuiMessage& msg) {
    const bool captured = mwStatusFlags & GUI_ST_CAPTURED;
    switch (msg.Type) {
    case GM_HIDE:
        StopRepeat();
        if (mwStyleFlags & GUI_BTN_ON_PRESS) mwStyleFlags &= static_cast<uint16_t>(~GUI_BTN_PRESSED);
        return GuiThing::Message(msg);
    case GM_POINTER_MOVE: {
        const bool inside = mRealRect.Contains(msg.DataPoint());
        if (Pressed() && !inside)
            SetPressed(false);
        else if (!Pressed() && captured && inside)
            SetPressed(true);
        return 0;
    }
    case GM_BUTTON_DOWN:
        if (Pressed()) return 0;
        SetPressed(true);
        if (mwStyleFlags & GUI_BTN_ON_PRESS)
            Signal(GUI_SIGNAL_CLICK);
        else
            GuiThing::CapturePointer();
        // 1 s, then every 250 ms at the 50 ms tick.
        if ((mwStyleFlags & GUI_BTN_REPEAT) && mpMessageQueue)
            mpMessageQueue->SetTimer(this, GUI_BTN_REPEAT_TIMER, 20, 5);
        return 0;
    case GM_BUTTON_UP:
        if (captured) GuiThing::ReleasePointer();
        StopRepeat();
        if (Pressed()) {
            SetPressed(false);
            if (!(mwStyleFlags & GUI_BTN_ON_PRESS) && mRealRect.Contains(msg.DataPoint()))
                Signal(GUI_SIGNAL_CLICK);
        }
        return 0;
    case GM_NOT_CURRENT:
        GuiThing::Message(msg);
        if (mwStatusFlags & GUI_ST_CAPTURED) {
            if (Pressed()) SetPressed(false);
            GuiThing::ReleasePointer();
            StopRepeat();
        }
        return 0;
    case GM_POINTER_ENTER:
        return 0;
    case GM_POINTER_EXIT:
        if (Pressed()) SetPressed(false);
        StopRepeat();
        return 0;
    case GM_TIMER:
        if ((mwStyleFlags & GUI_BTN_REPEAT) && Pressed()) Signal(GUI_SIGNAL_CLICK);
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiButton::Draw() {
    if (!mpScreen || (mwStyleFlags & GUI_STYLE_TRANSPARENT)) return;
    if (!(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const uint32_t fill = mColors[(mwStyleFlags & GUI_STYLE_HIGHLIGHT) ? 1 : 0];
    s.Rectangle(this, mRealRect, GuiColor{fill, fill, GUI_COLOR_FILL}, 0);
    mClientRect = mRealRect;
    if (!(Style() & GUI_BTN_NOFRAME)) {
        const GuiRect r = mRealRect;
        const int l = r.left, t = r.top, R = r.right, B = r.bottom;
        auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
            s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
        };
        GuiRect& c = mClientRect;
        --c;
        uint32_t outer;
        if (Pressed()) {
            line(l + 1, t + 1, R - 1, t + 1, GUI_DARK_GREY);
            line(l + 1, t + 2, l + 1, B - 1, GUI_DARK_GREY);
            ++c.left;
            ++c.top;
            outer = GUI_BLACK;
        } else {
            line(R - 1, t + 1, R - 1, B - 1, GUI_DARK_GREY);
            line(l + 1, B - 1, R - 2, B - 1, GUI_DARK_GREY);
            --c.right;
            --c.bottom;
            outer = GUI_WHITE;
        }
        if (mwStyleFlags & GUI_BTN_FRAME_VARIANT) {
            line(l + 1, t + 1, l + 1, B, outer);
            line(l + 1, t + 1, R - 1, t + 1, outer);
            ++c.left;
            ++c.top;
        } else {
            line(l, t, l, B, outer);
            line(l, t, R, t, outer);
        }
        const uint32_t edge = Pressed() ? GUI_WHITE : GUI_BLACK;
        line(l, B, R, B, edge);
        line(R, t, R, B, edge);
    }
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiTextButton

GuiTextButton::GuiTextButton(const GuiRect& rect, const char* text, unsigned short id, unsigned short style)
    : GuiButton(rect, id, style, text, 3) {
    init();
}

GuiTextButton::GuiTextButton(int x, int y, int width, const char* text, unsigned short id,
                             unsigned short style)
    : GuiButton(id, style, text, 3) {
    init();
    const bool any = mpTextData != nullptr;
    Place(MakeGuiRect(x, y, x + width - 1, any ? y + LineH() + 3 : y + 3));
}

GuiTextButton::GuiTextButton(int x, int y, const char* text, unsigned short id, unsigned short style)
    : GuiButton(id, style, text, 3) {
    init();
    if (mpTextData)
        Place(MakeGuiRect(x, y, x + TextW(mpTextData) + 6, y + LineH() + 3));
    else
        Place(MakeGuiRect(x, y, x + 3, y + 3));
}

void GuiTextButton::init() {
    muThingType = GUI_TYPE_TEXT_BUTTON;
}

void GuiTextButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    GuiButton::Draw();
    if (mpTextData) {
        const GuiRect& c = mClientRect;
        const int w = TextW(mpTextData), h = LineH();
        int x;
        if (mwStyleFlags & GUI_STYLE_LEFT)
            x = c.left + 3;
        else if (mwStyleFlags & GUI_STYLE_RIGHT)
            x = c.right - w - 3;
        else
            x = c.left + (c.Width() - w) / 2;
        const int y = h <= c.Height() ? c.top + (c.Height() - h) / 2 : c.top;
        DrawLabel(x, y, mpTextData, TextColour());
    }
    if (mpFirstChild) DrawChildren();
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiBitmapButton and GuiSystemButton

namespace {

GuiRect BitmapButtonRect(int x, int y, const GuiBitmap* bitmap, unsigned short style) {
    const int margin = (style & GUI_BTN_NOFRAME) ? 0 : 4;
    const int w = bitmap ? bitmap->width + margin : 4;
    const int h = bitmap ? bitmap->height + margin : 4;
    return MakeGuiRect(x, y, x + w - 1, y + h - 1);
}

} // namespace

GuiBitmapButton::GuiBitmapButton(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id,
                                 unsigned short style)
    : GuiButton(rect, id, style, nullptr, 0), mpBitmap(bitmap) {
    muThingType = GUI_TYPE_BITMAP_BUTTON;
}

GuiBitmapButton::GuiBitmapButton(int x, int y, GuiBitmap* bitmap, unsigned short id, unsigned short style)
    : GuiButton(BitmapButtonRect(x, y, bitmap, style), id, style, nullptr, 0), mpBitmap(bitmap) {
    muThingType = GUI_TYPE_BITMAP_BUTTON;
}

void GuiBitmapButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    GuiButton::Draw();
    if (mpBitmap) {
        const GuiRect saved = mClipRect;
        mClipRect &= mClientRect;
        const GuiRect& c = mClientRect;
        const int x = c.left + (c.Width() - mpBitmap->width) / 2;
        const int y = c.top + (c.Height() - mpBitmap->height) / 2;
        s.Bitmap(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, mpBitmap, 0);
        mClipRect = saved;
    }
    if (mpFirstChild) DrawChildren();
    s.EndDraw();
}

GuiSystemButton::GuiSystemButton(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id)
    : GuiBitmapButton(rect, bitmap, id, GUI_BTN_ENABLED) {}

int GuiSystemButton::Message(const GuiMessage& msg) {
    if (msg.Type != GM_BUTTON_DOWN) return GuiButton::Message(msg);
    Signal(GUI_SIGNAL_CLICK);
    return 0;
}
