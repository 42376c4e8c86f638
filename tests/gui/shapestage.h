// A stage for the shape tests: every figure is drawn once in an uncovered window, once in a window
// covered in its middle by another one in front (four viewports), and once into a bitmap, each time
// with its origin at the same place relative to the surface's window.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "guiharness.h"

namespace shapetest {

// Colour of every pixel that is not 0, keyed by (x, y).
using PixelMap = std::map<std::pair<int, int>, uint32_t>;
// Draws a figure on behalf of thing with its origin at (ox, oy).
using Figure = std::function<void(GuiThing* thing, int ox, int oy)>;

class Stage {
public:
    static constexpr int kW = 300, kH = 240;   // window and bitmap size
    static constexpr int kOx = 150, kOy = 120; // figure origin inside them
    static constexpr int kCoveredLeft = 400;   // left edge of the covered window on the screen

    // The cover's rectangle relative to the origin.
    explicit Stage(GuiRect coverRel = MakeGuiRect(2, 2, 6, 5));
    ~Stage();
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    // The pixels each way, relative to the origin; the covered map holds every pixel of the covered
    // window's rectangle, the cover included.
    PixelMap Open(const Figure& f);
    PixelMap Covered(const Figure& f);
    PixelMap Bitmap(const Figure& f);
    // Open, then checks that the covered window shows the same outside the cover and the bitmap the
    // same everywhere.
    PixelMap Everywhere(const Figure& f);

    guitest::Harness h;
    guitest::Panel* open = nullptr;
    guitest::Panel* covered = nullptr;
    guitest::Panel* cover = nullptr;
    GuiRect coverRel;
};

// Only the pixels of one colour; all pixels of the box.
PixelMap OfColour(const PixelMap& m, uint32_t colour);
guitest::PixelSet Keys(const PixelMap& m);
// The screen pixels of area as a map relative to (ox, oy).
PixelMap ScreenPixels(const GuiRect& area, int ox, int oy);
// The pixels of a 32-bit bitmap that are not 0, relative to (ox, oy).
PixelMap BitmapPixels(const GuiBitmap& b, int ox, int oy);
// A drawable bitmap of w x h pixels, all 0, destroyed with the pointer.
void FreeBitmap(GuiBitmap* b);
using BitmapPtr = std::unique_ptr<GuiBitmap, decltype(&FreeBitmap)>;
BitmapPtr ClearBitmap(int w, int h);

} // namespace shapetest
