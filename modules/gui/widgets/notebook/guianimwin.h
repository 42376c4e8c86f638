// The animation window: plays a list of bitmaps over a background bitmap, one frame per period of
// its GUI timer, and sets the screen's palette when shown.
#pragma once

#include <cstdint>

#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_ANIMATION_WINDOW = 157 };
inline constexpr uint16_t GUI_ANIMWIN_TIMER = 1;

class GuiAnimationWindow : public GuiWindow {
public:
    // palette: 256 entries of red, green and blue bytes, or none.
    GuiAnimationWindow(const GuiRect& rect, GuiBitmap* background, GuiBitmap** frames, unsigned char count,
                       int offsetX, int offsetY, const unsigned char* palette, unsigned int style);
    ~GuiAnimationWindow() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Run(unsigned int period, unsigned char start);
    void Stop();
    void SetFrame(unsigned char n);
    void SetBkgBitmap(GuiBitmap* bitmap) { mpBackground = bitmap; }
    void SetFrameOffset(int x, int y);
    void SetAnimationList(GuiBitmap** frames) { mppFrames = frames; }
    void DrawAnimationFrame();

    uint8_t muCurrentFrame = 0;
    uint8_t muFrameCount = 0;
    const unsigned char* mpPalette = nullptr;
    int16_t miOffsetX = 0;
    int16_t miOffsetY = 0;
    GuiBitmap* mpBackground = nullptr;
    GuiBitmap** mppFrames = nullptr;
};
