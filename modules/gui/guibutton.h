// The pushable button of the widget library and its bitmap variant: a 3-D frame that shows the
// pressed state, pointer capture while pressed, auto-repeat on a timer and the click signal
// (signal 4) to the parent. The whole state lives in the style word.
#pragma once

#include <cstdint>

#include "gui/guitextthing.h"

// Style bits of the button family.
inline constexpr uint16_t GUI_BTN_NOFRAME = 0x0001;
inline constexpr uint16_t GUI_BTN_REPEAT = 0x0002;
inline constexpr uint16_t GUI_BTN_PRESSED = 0x0004;
inline constexpr uint16_t GUI_BTN_ON_PRESS = 0x0008;
inline constexpr uint16_t GUI_BTN_FRAME_VARIANT = 0x0010;
inline constexpr uint16_t GUI_BTN_ENABLED = 0x8000;

enum : uint8_t { GUI_TYPE_BUTTON = 5, GUI_TYPE_BITMAP_BUTTON = 12 };
// Signal of a click, and the timer of auto-repeat.
inline constexpr unsigned GUI_SIGNAL_CLICK = 4;
inline constexpr uint16_t GUI_BTN_REPEAT_TIMER = 1;

class GuiButton : public GuiTextThing {
public:
    GuiButton(const GuiRect& rect, unsigned short id, unsigned short style, const char* text, int fontEntry);
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
