// Radio buttons and check boxes: a bitmap showing the state and a text beside it, no frame and no
// fill of their own. A radio button is selected on release and unselects its radio siblings; a
// check box toggles on each release inside it.
#include <algorithm>
#include <array>

#include "gui/core/guiart.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guibutton.h"

namespace {

using guiart::Art;

// The inside is opaque in every state, so that a new state covers the old one.
constexpr char kRadioOn[12][13] = {
    "....GGGG....", "..GGKKKKGG..", ".GKKWWWWKKW.", ".GKWWWWWWLW.", "GKWWWKKWWWLW", "GKWWKKKKWWLW",
    "GKWWKKKKWWLW", "GKWWWKKWWWLW", ".GKWWWWWWLW.", ".GLLWWWWLLW.", "..WWLLLLWW..", "....WWWW....",
};
constexpr char kRadioOnDisabled[12][13] = {
    "....GGGG....", "..GGKKKKGG..", ".GKKLLLLKKW.", ".GKLLLLLLLW.", "GKLLLGGLLLLW", "GKLLGGGGLLLW",
    "GKLLGGGGLLLW", "GKLLLGGLLLLW", ".GKLLLLLLLW.", ".GLLLLLLLLW.", "..WWLLLLWW..", "....WWWW....",
};
constexpr char kRadioOff[12][13] = {
    "....GGGG....", "..GGKKKKGG..", ".GKKWWWWKKW.", ".GKWWWWWWLW.", "GKWWWWWWWWLW", "GKWWWWWWWWLW",
    "GKWWWWWWWWLW", "GKWWWWWWWWLW", ".GKWWWWWWLW.", ".GLLWWWWLLW.", "..WWLLLLWW..", "....WWWW....",
};
constexpr char kRadioOffDisabled[12][13] = {
    "....GGGG....", "..GGKKKKGG..", ".GKKLLLLKKW.", ".GKLLLLLLLW.", "GKLLLLLLLLLW", "GKLLLLLLLLLW",
    "GKLLLLLLLLLW", "GKLLLLLLLLLW", ".GKLLLLLLLW.", ".GLLLLLLLLW.", "..WWLLLLWW..", "....WWWW....",
};
constexpr char kCheckOn[13][14] = {
    "GGGGGGGGGGGGW", "GKKKKKKKKKKLW", "GKWWWWWWWWWLW", "GKWWWWWWKWWLW", "GKWWWWWKKWWLW",
    "GKWKWWKKKWWLW", "GKWKKKKKWWWLW", "GKWKKKKWWWWLW", "GKWWKKWWWWWLW", "GKWWWKWWWWWLW",
    "GKWWWWWWWWWLW", "GLLLLLLLLLLLW", "WWWWWWWWWWWWW",
};
constexpr char kCheckOnDisabled[13][14] = {
    "GGGGGGGGGGGGW", "GKKKKKKKKKKLW", "GKLLLLLLLLLLW", "GKLLLLLLGLLLW", "GKLLLLLGGLLLW",
    "GKLGLLGGGLLLW", "GKLGGGGGLLLLW", "GKLGGGGLLLLLW", "GKLLGGLLLLLLW", "GKLLLGLLLLLLW",
    "GKLLLLLLLLLLW", "GLLLLLLLLLLLW", "WWWWWWWWWWWWW",
};
constexpr char kCheckOff[13][14] = {
    "GGGGGGGGGGGGW", "GKKKKKKKKKKLW", "GKWWWWWWWWWLW", "GKWWWWWWWWWLW", "GKWWWWWWWWWLW",
    "GKWWWWWWWWWLW", "GKWWWWWWWWWLW", "GKWWWWWWWWWLW", "GKWWWWWWWWWLW", "GKWWWWWWWWWLW",
    "GKWWWWWWWWWLW", "GLLLLLLLLLLLW", "WWWWWWWWWWWWW",
};
constexpr char kCheckOffDisabled[13][14] = {
    "GGGGGGGGGGGGW", "GKKKKKKKKKKLW", "GKLLLLLLLLLLW", "GKLLLLLLLLLLW", "GKLLLLLLLLLLW",
    "GKLLLLLLLLLLW", "GKLLLLLLLLLLW", "GKLLLLLLLLLLW", "GKLLLLLLLLLLW", "GKLLLLLLLLLLW",
    "GKLLLLLLLLLLW", "GLLLLLLLLLLLW", "WWWWWWWWWWWWW",
};

constinit std::array<uint8_t, 144> gRadioOn = Art<12, 12>(kRadioOn);
constinit std::array<uint8_t, 144> gRadioOnDisabled = Art<12, 12>(kRadioOnDisabled);
constinit std::array<uint8_t, 144> gRadioOff = Art<12, 12>(kRadioOff);
constinit std::array<uint8_t, 144> gRadioOffDisabled = Art<12, 12>(kRadioOffDisabled);
constinit std::array<uint8_t, 169> gCheckOn = Art<13, 13>(kCheckOn);
constinit std::array<uint8_t, 169> gCheckOnDisabled = Art<13, 13>(kCheckOnDisabled);
constinit std::array<uint8_t, 169> gCheckOff = Art<13, 13>(kCheckOff);
constinit std::array<uint8_t, 169> gCheckOffDisabled = Art<13, 13>(kCheckOffDisabled);

// Size of the position forms: the bitmap, a gap and the text; without text a small square.
GuiRect SelectRect(int x, int y, int textWidth, bool text, int lineHeight, const GuiBitmap& on, bool check) {
    const int bottom = y + 4 + std::max<int>(on.height, lineHeight);
    if (text) return MakeGuiRect(x, y, x + textWidth + 12 + on.width, bottom);
    return MakeGuiRect(x, y, x + 3, check ? y + 3 : bottom);
}

} // namespace

GuiBitmap gbRadioOnBitmap = {GUI_BMP_TRANSPARENT, 8, 12, 12, 255, gRadioOn.data()};
GuiBitmap gbRadioOnDisabledBitmap = {GUI_BMP_TRANSPARENT, 8, 12, 12, 255, gRadioOnDisabled.data()};
GuiBitmap gbRadioOffBitmap = {GUI_BMP_TRANSPARENT, 8, 12, 12, 255, gRadioOff.data()};
GuiBitmap gbRadioOffDisabledBitmap = {GUI_BMP_TRANSPARENT, 8, 12, 12, 255, gRadioOffDisabled.data()};
GuiBitmap gbCheckBoxOnBitmap = {0, 8, 13, 13, 0, gCheckOn.data()};
GuiBitmap gbCheckBoxOnDisabledBitmap = {0, 8, 13, 13, 0, gCheckOnDisabled.data()};
GuiBitmap gbCheckBoxOffBitmap = {0, 8, 13, 13, 0, gCheckOff.data()};
GuiBitmap gbCheckBoxOffDisabledBitmap = {0, 8, 13, 13, 0, gCheckOffDisabled.data()};

namespace {

// The common part of both classes: capture on press, act on release inside, the bitmap and text.
template <class B> int SelectMessage(B* b, const GuiMessage& msg, void (*act)(B*)) {
    switch (msg.Type) {
    case GM_POINTER_MOVE:
    case GM_POINTER_EXIT:
        return 0;
    case GM_BUTTON_DOWN:
        if (b->Style() & GUI_BTN_ENABLED) b->GuiThing::CapturePointer();
        return 0;
    case GM_BUTTON_UP:
        if (b->Status() & GUI_ST_CAPTURED) {
            if (b->mRealRect.Contains(msg.DataPoint())) act(b);
            b->GuiThing::ReleasePointer();
        }
        return 0;
    default:
        return b->GuiButton::Message(msg);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiRadioButton

GuiRadioButton::GuiRadioButton(const GuiRect& rect, const char* text, unsigned short id, unsigned short style)
    : GuiButton(rect, id, style, text, 4) {
    muThingType = GUI_TYPE_RADIO_BUTTON;
    mwSignals = 1u << GUI_SIGNAL_SELECTED;
}

GuiRadioButton::GuiRadioButton(int x, int y, const char* text, unsigned short id, unsigned short style)
    : GuiButton(id, style, text, 4) {
    muThingType = GUI_TYPE_RADIO_BUTTON;
    mwSignals = 1u << GUI_SIGNAL_SELECTED;
    Place(SelectRect(x, y, TextW(mpTextData), mpTextData != nullptr, LineH(), gbRadioOnBitmap, false));
}

int GuiRadioButton::Message(const GuiMessage& msg) {
    return SelectMessage<GuiRadioButton>(this, msg, [](GuiRadioButton* b) { b->SetSelected(1); });
}

void GuiRadioButton::UnselectSiblings() {
    if (!mpParentThing) return;
    for (GuiThing* c = mpParentThing->FirstChild(); c; c = c->NextSibling())
        if (c->muThingType == GUI_TYPE_RADIO_BUTTON) static_cast<GuiRadioButton*>(c)->SetSelected(0);
}

void GuiRadioButton::SetSelected(int on) {
    if (on && !Pressed()) {
        UnselectSiblings();
        mwStyleFlags |= GUI_BTN_PRESSED;
    } else if (!on && Pressed()) {
        mwStyleFlags &= static_cast<uint16_t>(~GUI_BTN_PRESSED);
    } else {
        return;
    }
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mClipRect);
    Draw();
    Signal(on ? GUI_SIGNAL_SELECTED : GUI_SIGNAL_UNSELECTED);
}

// ---------------------------------------------------------------------------------------------
// GuiCheckBox

GuiCheckBox::GuiCheckBox(const GuiRect& rect, const char* text, unsigned short id, unsigned short style)
    : GuiButton(rect, id, style, text, 5) {
    muThingType = GUI_TYPE_CHECK_BOX;
    mwSignals = (1u << GUI_SIGNAL_CHECKED) | (1u << GUI_SIGNAL_UNCHECKED);
}

GuiCheckBox::GuiCheckBox(int x, int y, const char* text, unsigned short id, unsigned short style)
    : GuiButton(id, style, text, 5) {
    muThingType = GUI_TYPE_CHECK_BOX;
    mwSignals = (1u << GUI_SIGNAL_CHECKED) | (1u << GUI_SIGNAL_UNCHECKED);
    Place(SelectRect(x, y, TextW(mpTextData), mpTextData != nullptr, LineH(), gbCheckBoxOnBitmap, true));
}

int GuiCheckBox::Message(const GuiMessage& msg) {
    return SelectMessage<GuiCheckBox>(this, msg, [](GuiCheckBox* b) { b->SetSelected(!b->Pressed()); });
}

void GuiCheckBox::SetSelected(int on) {
    if (on && !Pressed())
        mwStyleFlags |= GUI_BTN_PRESSED;
    else if (!on && Pressed())
        mwStyleFlags &= static_cast<uint16_t>(~GUI_BTN_PRESSED);
    else
        return;
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mClipRect);
    Draw();
    Signal(on ? GUI_SIGNAL_CHECKED : GUI_SIGNAL_UNCHECKED);
}

// ---------------------------------------------------------------------------------------------
// Drawing of both

namespace {

void DrawSelect(GuiButton* b, GuiBitmap* on, GuiBitmap* off, GuiBitmap* onDisabled, GuiBitmap* offDisabled,
                uint32_t textColour, int lineHeight) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || !(b->IsVisible() || s->IsDrawingToBitmap())) return;
    const bool enabled = b->Style() & GUI_BTN_ENABLED, selected = b->Pressed();
    GuiBitmap* bmp = enabled ? (selected ? on : off) : (selected ? onDisabled : offDisabled);
    const GuiRect& r = b->mRealRect;
    const int middle = (r.top + r.bottom) / 2;
    s->BeginDraw(b);
    s->Bitmap(b, GuiPoint{static_cast<int16_t>(r.left + 3), static_cast<int16_t>(middle - bmp->height / 2)},
              bmp, 0);
    if (b->Text() && b->Font()) {
        GuiColor c{textColour, textColour, 0};
        s->DrawText(b,
                    GuiPoint{static_cast<int16_t>(r.left + bmp->width + 10),
                             static_cast<int16_t>(middle - lineHeight / 2)},
                    b->Text(), c, b->Font(), -1, 0);
    }
    s->EndDraw();
}

} // namespace

void GuiRadioButton::Draw() {
    DrawSelect(this, &gbRadioOnBitmap, &gbRadioOffBitmap, &gbRadioOnDisabledBitmap, &gbRadioOffDisabledBitmap,
               TextColour(), LineH());
}

void GuiCheckBox::Draw() {
    DrawSelect(this, &gbCheckBoxOnBitmap, &gbCheckBoxOffBitmap, &gbCheckBoxOnDisabledBitmap,
               &gbCheckBoxOffDisabledBitmap, TextColour(), LineH());
}
