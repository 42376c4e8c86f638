// The device screen: a GuiScreen over the 32-bit frame buffer of the display controller (1024 x
// 480 pixels, the left 640 x 480 shown). It writes the pixels of every primitive, renders bitmaps
// and text, keeps the 256-entry palette of 8-bit bitmaps and hands finished frames to the
// kernel-side display driver through the screen-driver client. It shows no pointer. Raw bitmaps
// are drawn by their depth: packed indices of 1, 2 and 4 bits and 8-bit indices through the
// palette, 16-bit 5-6-5 words, 24-bit bytes, 32-bit words, and alpha words at 24 and 32 bits.
#pragma once

#include <cstdint>

#include "gui/core/guiscreen.h"

// The frame buffer (the device's physical address 0x3FA00000).
extern uint32_t* gbVMemory;
// Palette entries 0 to 247: 16 base colours, the 6 x 6 x 6 colour cube, a 16-step grey ramp.
extern const unsigned char DefPalette256[248][3];

class L24logi : public GuiScreen {
public:
    explicit L24logi(const GuiRect& rect);
    ~L24logi() override;

    void BeginDraw(GuiThing* thing) override;
    void EndDraw() override;
    void BeginDraw(GuiThing* thing, GuiBitmap* bitmap) override;
    void EndDraw(GuiBitmap* bitmap) override;

    void SetPointerType(unsigned char) override {}
    void SetPointer(GuiPoint) override {}
    void HidePointer() override {}
    void ResetPalette() override {}
    int Capture(GuiCapture* capture, GuiRect& area) override;
    void SetPalette(int first, int count, const unsigned char* rgb) override;
    unsigned char* GetPalette(unsigned long* count) override;
    unsigned long GetBitmapPixel(int x, int y, GuiBitmap* bitmap) override;
    void PutBitmapPixel(int x, int y, GuiBitmap* bitmap, unsigned long colour) override;
    GuiBitmap* CreateBitmap(int width, int height, int transparent) override;
    void FlushScreen() override;
    void WaitFlushFinish() override;

    void DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                      GuiRect& view) override;
    void DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                            int count, GuiRect& view) override;
    void LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) override;
    void BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) override;
    void RectMoveView(GuiThing* thing, const GuiRect& source, int dx, int dy) override;
    void HorizontalLine(int x1, int x2, int y, unsigned long colour, int width) override;
    void VerticalLine(int y1, int y2, int x, unsigned long colour, int width) override;
    void HorizontalLineXOR(int x1, int x2, int y) override;
    void VerticalLineXOR(int y1, int y2, int x) override;
    unsigned long GetPixelView(int x, int y) override;

    uint32_t* GetVideoAddress() const { return gbVMemory; }
    void ConfigureController() {}
    // The colour word of a palette entry.
    uint32_t PaletteWord(int index) const;

private:
    void RenderText(GuiPoint where, const char* text, const GuiColor& colour, const GuiFont* font, int count,
                    const GuiRect& view, int scale);
    void DrawRleBitmap(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view);
    void DrawTrueColorAlphaBitmap(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view);
    void DrawTrueColorBitmap(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view);
    void DrawPaletteBitmap(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view);
    void DrawPackedBitmap(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view);
    GuiRect SurfaceRect() const;

    unsigned char mPalette[256][3]{};
    GuiBitmap* mpTargetBitmap = nullptr; // bitmap being drawn into
};

// Makes the one device screen over (0, 0, 1023, 479); null when it cannot be allocated.
GuiScreen* CreateGuiScreen();
