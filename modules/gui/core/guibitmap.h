// The data formats everything visible is made of: colours, bitmaps, fonts and captured screen
// areas.
#pragma once

#include <cstdint>

#include "gui/core/guirect.h"

// Colours are 0x00RRGGBB words.
enum : uint8_t {
    GUI_COLOR_FILL = 0x01,    // fill the inside with the background colour
    GUI_COLOR_PATTERN = 0x08, // fill with the pattern bitmap
};

struct GuiColor {
    uint32_t foreground;
    uint32_t background;
    uint8_t flags;
};

// Bitmap flags.
enum : uint8_t {
    GUI_BMP_RLE = 0x01,
    GUI_BMP_DRAWABLE = 0x02, // made by the device screen for drawing into (32 bits per pixel)
    GUI_BMP_TURNED = 0x04,
    GUI_BMP_GREY = 0x08,
    GUI_BMP_TRANSPARENT = 0x10,
    GUI_BMP_RGB_ORDER = 0x40,
    GUI_BMP_ALPHA = 0x80,
};

// Pixel data, rows top to bottom:
// - 8 bits: one palette index per pixel;
// - 24 bits: red, green, blue bytes;
// - 32 bits: one frame-buffer word 0x00RRGGBB, or with GUI_BMP_ALPHA 0xRRGGBBAA (alpha low byte).
// RLE rows: control byte c; bit 7 set: (c & 0x7F) + 1 literal pixels follow; else one pixel
// repeated c + 1 times. A pixel is one byte (8 bits) or one 32-bit word 0xRRGGBBAA (all others).
struct GuiBitmap {
    uint8_t flags;
    uint8_t bitsPerPixel;
    uint16_t width;
    uint16_t height;
    uint32_t transparentColor; // not drawn when GUI_BMP_TRANSPARENT is set
    uint8_t* data;
};

// Font types.
enum : uint8_t {
    GUI_FONT_VARIABLE = 0x01, // offset table
    GUI_FONT_ALIASED = 0x04,  // 4 bits per pixel, always with an offset table
};

// One record of a font chain, covering firstChar..lastChar. The glyph strip is height rows of
// bytesPerLine bytes: 1 bit per pixel, most significant bit first, or for anti-aliased fonts 4 bits
// per pixel, high nibble first (coverage 0..15).
struct GuiFont {
    uint8_t type;
    uint8_t ascent;
    uint8_t descent;
    uint8_t height;
    uint16_t bytesPerLine;
    uint16_t firstChar;
    uint16_t lastChar;
    union {
        const uint16_t* offsets; // variable width: lastChar - firstChar + 2 pixel offsets
        uintptr_t charWidth;     // fixed width
    };
    const GuiFont* next;
    const uint8_t* data;
};

// A saved screen area: the rectangle and its pixels (32 bits per pixel).
struct GuiCapture {
    GuiRect rect{};
    GuiBitmap bitmap{};
    long bufferSize = 0; // bytes allocated for bitmap.data
    int valid = 0;

    GuiCapture() = default;
    ~GuiCapture();
    GuiCapture(const GuiCapture&) = delete;
    GuiCapture& operator=(const GuiCapture&) = delete;

    GuiPoint Point() const { return GuiPoint{rect.left, rect.top}; }
    void MoveTo(int x, int y) { rect.MoveTo(x, y); }
    // Replaces the buffer by one of n bytes when n exceeds the current size (contents not kept).
    // False when the memory cannot be had; the old buffer is then kept.
    bool Realloc(long n);
    void Free();
};

// Where a character's glyph lies: the font record that covers it, its first pixel column in the
// record's strip and its width. False (nothing drawn, width 0) when no record covers it.
struct GuiGlyph {
    const GuiFont* record;
    int offset;
    int width;
};
bool GuiFindGlyph(const GuiFont* font, unsigned char c, GuiGlyph* glyph);
