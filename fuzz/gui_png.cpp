// Fuzz target: the PNG decoder over arbitrary bytes. The first byte chooses how the converter is
// set up, the rest is the image: output depth (24-bit as the display uses it, 8-bit through a
// palette, 4-bit, 16-bit), dithering, remapping, resizing to 7 x 5, alpha kept or turned into
// transparency, and run-length coding and a turn of the result. A decoded bitmap must hold the
// bytes its size and depth promise; the sanitizers watch every access.
//
// The seed corpus holds the conformance images of PngSuite (Willem van Schaik, free use) behind a
// set-up byte of 0 and a few other set-ups.
#include <cstdint>
#include <cstring>
#include <vector>

#include "gui/device/l24logi.h"
#include "gui/image/guipngconvert.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

unsigned char gPalette[256 * 3];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const bool init = [] {
        std::memcpy(gPalette, DefPalette256, sizeof DefPalette256);
        return true;
    }();
    (void)init;
    const uint8_t setup = data[0];
    static constexpr unsigned kColours[4] = {1600, 256, 16, 650};
    const unsigned colours = kColours[setup & 3];
    GuiPngConvert c(0);
    c.SetSystemPalette(colours == 1600 || colours == 650 ? nullptr : gPalette, colours);
    unsigned mode = 0;
    if (setup & 0x04) mode |= GuiImageConvert::MODE_DITHER;
    if (setup & 0x08) mode |= GuiImageConvert::MODE_REMAP;
    if (setup & 0x10) {
        mode |= GuiImageConvert::MODE_RESIZE;
        c.SetTargetSize(7, 5);
    }
    c.SetMode(mode);
    c.SetAlphaOutput(setup & 0x20);
    // The input in a buffer of its own size, so that any read past it is seen.
    std::vector<unsigned char> png(data + 1, data + size);
    c.SetInputBuffer(png.data(), png.size());
    if (c.ReadImage(1) != 1) {
        Check(c.GetBitmapPointer(0) == nullptr);
        return 0;
    }
    const GuiBitmap* b = c.GetBitmapPointer(0);
    Check(b && b->data && b->width && b->height);
    const bool alpha = b->flags & GUI_BMP_ALPHA;
    Check(c.GetDataSize(0) >= GuiImageConvert::GetStride(b->width, b->bitsPerPixel, alpha) * b->height);
    volatile uint8_t sink = 0;
    for (unsigned long i = 0; i < c.GetDataSize(0); ++i) sink = sink + b->data[i];
    c.GetULCColor();
    if (setup & 0x40) c.RleEncode(1);
    if (setup & 0x80) c.RotateImages(90, 1, 1);
    return 0;
}
