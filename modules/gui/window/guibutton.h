// The button family of the widget library: GuiButton, the pushable base with its 3-D frame,
// pressed state, pointer capture while pressed, auto-repeat on a timer and the click signal
// (signal 4) to the parent, and the derived buttons that differ in what they show and how they
// toggle. A button keeps its whole state in the style word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/core/guitextthing.h"

// Style bits of the button family.
inline constexpr uint16_t GUI_BTN_NOFRAME = 0x0001;
inline constexpr uint16_t GUI_BTN_REPEAT = 0x0002;
inline constexpr uint16_t GUI_BTN_PRESSED = 0x0004; // radio button: selected; check box: checked
inline constexpr uint16_t GUI_BTN_ON_PRESS = 0x0008;
inline constexpr uint16_t GUI_BTN_FRAME_VARIANT = 0x0010;
inline constexpr uint16_t GUI_BTN_BMP_ABOVE = 0x0100; // decorated button: where the bitmap sits
inline constexpr uint16_t GUI_BTN_BMP_BELOW = 0x0200;
inline constexpr uint16_t GUI_BTN_BMP_RIGHT = 0x0300;
inline constexpr uint16_t GUI_BTN_BMP_MASK = 0x0300;
inline constexpr uint16_t GUI_BTN_ENABLED = 0x8000;

enum : uint8_t {
    GUI_TYPE_BUTTON = 5,
    GUI_TYPE_TEXT_BUTTON = 11,
    GUI_TYPE_BITMAP_BUTTON = 12,
    GUI_TYPE_RADIO_BUTTON = 14,
    GUI_TYPE_CHECK_BOX = 15,
    GUI_TYPE_ML_TEXT_BUTTON = 26,
    GUI_TYPE_DECORATED_BUTTON = 29,
};
// Signals of the family, and the timer of auto-repeat.
inline constexpr unsigned GUI_SIGNAL_CLICK = 4;
inline constexpr unsigned GUI_SIGNAL_CHECKED = 8;
inline constexpr unsigned GUI_SIGNAL_UNCHECKED = 9;
inline constexpr unsigned GUI_SIGNAL_SELECTED = 10;
inline constexpr unsigned GUI_SIGNAL_UNSELECTED = 11;
inline constexpr uint16_t GUI_BTN_REPEAT_TIMER = 1;
// Text of a disabled button.
inline constexpr uint32_t GUI_DISABLED_TEXT = 0x808080;

// Radio buttons 12 x 12 (transparent, index 255), check boxes 13 x 13 (opaque).
extern GuiBitmap gbRadioOnBitmap, gbRadioOnDisabledBitmap, gbRadioOffBitmap, gbRadioOffDisabledBitmap;
extern GuiBitmap gbCheckBoxOnBitmap, gbCheckBoxOnDisabledBitmap, gbCheckBoxOffBitmap,
    gbCheckBoxOffDisabledBitmap;

class GuiButton : public GuiTextThing {
public:
    GuiButton(const GuiRect& rect, unsigned short id, unsigned short style, const char* text, int fontEntry);
    // Leaves the rectangle empty.
    GuiButton(unsigned short id, unsigned short style, const char* text, int fontEntry);
    ~GuiButton() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    unsigned short Style() override { return mwStyleFlags; }
    void Style(unsigned short style) override;
    virtual void Initialize(unsigned short style);

    void Enable();
    void Disable();
    bool Pressed() const { return mwStyleFlags & GUI_BTN_PRESSED; }

protected:
    // Sends signal n when the button has a parent, an id and mask bit n, and the parent is visible.
    void Signal(unsigned n);
    void SetPressed(bool pressed); // changes the look: invalidates and draws
    void StopRepeat();
    // The position forms: all three rectangles become r.
    void Place(const GuiRect& r);
    // Text colour of the text-bearing buttons: slot 2 (3 highlighted), grey when disabled.
    uint32_t TextColour();
    void DrawLabel(int x, int y, const char* text, uint32_t colour);
    int TextW(const char* text) const;
    int LineH() const;
};

class GuiTextButton : public GuiButton {
public:
    GuiTextButton(const GuiRect& rect, const char* text, unsigned short id, unsigned short style);
    GuiTextButton(int x, int y, int width, const char* text, unsigned short id, unsigned short style);
    GuiTextButton(int x, int y, const char* text, unsigned short id, unsigned short style);
    ~GuiTextButton() override = default;

    void Draw() override;

private:
    void init();
};

class GuiBitmapButton : public GuiButton {
public:
    GuiBitmapButton(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id, unsigned short style);
    GuiBitmapButton(int x, int y, GuiBitmap* bitmap, unsigned short id, unsigned short style);
    ~GuiBitmapButton() override = default;

    void Draw() override;
    virtual void SetBitmap(GuiBitmap* bitmap) { mpBitmap = bitmap; }
    GuiBitmap* Bitmap() const { return mpBitmap; }

    GuiBitmap* mpBitmap = nullptr; // not owned
};

// A bitmap button that signals on the press itself, without a pressed look or capture.
class GuiSystemButton : public GuiBitmapButton {
public:
    GuiSystemButton(const GuiRect& rect, GuiBitmap* bitmap, unsigned short id);
    ~GuiSystemButton() override = default;

    int Message(const GuiMessage& msg) override;
};

class GuiRadioButton : public GuiButton {
public:
    GuiRadioButton(const GuiRect& rect, const char* text, unsigned short id, unsigned short style);
    GuiRadioButton(int x, int y, const char* text, unsigned short id, unsigned short style);
    ~GuiRadioButton() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    virtual void SetSelected(int on);
    virtual int IsSelected() { return Pressed() ? 1 : 0; }
    // Unselects every radio button among the parent's children, this one included.
    void UnselectSiblings();
};

class GuiCheckBox : public GuiButton {
public:
    GuiCheckBox(const GuiRect& rect, const char* text, unsigned short id, unsigned short style);
    GuiCheckBox(int x, int y, const char* text, unsigned short id, unsigned short style);
    ~GuiCheckBox() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    virtual void SetSelected(int on);
    virtual int IsChecked() { return Pressed() ? 1 : 0; }
};

// A button with a text and a bitmap beside, above or below it; with roll-over it looks flat until
// the pointer is over it.
class GuiDecoratedButton : public GuiButton {
public:
    GuiDecoratedButton(const GuiRect& rect, const char* text, GuiBitmap* bitmap, unsigned short id,
                       unsigned short style, int rollOver);
    GuiDecoratedButton(int x, int y, int width, const char* text, GuiBitmap* bitmap, unsigned short id,
                       unsigned short style, int rollOver);
    GuiDecoratedButton(int x, int y, const char* text, GuiBitmap* bitmap, unsigned short id,
                       unsigned short style, int rollOver);
    ~GuiDecoratedButton() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    virtual void SetBitmap(GuiBitmap* bitmap) { mpBitmap = bitmap; }

    GuiBitmap* mpBitmap = nullptr; // not owned
    int32_t mbRollOver = 0;
    int32_t mbPointerOver = 0;

private:
    void init();
    // Size of the position forms.
    void size(int x, int y, int width, bool withWidth);
};

// A button whose text is split into lines at a separator character.
class GuiMLTextButton : public GuiButton {
public:
    GuiMLTextButton(const GuiRect& rect, const char* text, char separator, unsigned short id,
                    unsigned short style);
    GuiMLTextButton(int x, int y, int width, const char* text, char separator, unsigned short id,
                    unsigned short style);
    GuiMLTextButton(int x, int y, const char* text, char separator, unsigned short id, unsigned short style);
    ~GuiMLTextButton() override = default;

    void Draw() override;
    void DataSet(const char* text) override;
    void SetFont(const GuiFont* font) override;
    // Splits the text into lines; returns the widest line's width.
    int ParseButtonText(const char* text);

    int LineCount() const { return miLineCount; }
    // Line i, or null for an empty stretch.
    const char* Line(int i) const;
    int LineWidth(int i) const { return mLineWidths[static_cast<size_t>(i)]; }

private:
    void init(char separator);

    std::vector<std::string> mLines; // an empty string stands for an empty stretch
    std::vector<int32_t> mLineWidths;
    int32_t miLineCount = 0;
    char mSeparator = 0;
};
