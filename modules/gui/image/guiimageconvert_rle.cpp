// Whole-image steps of the converter: run-length coding, mirroring, flipping and turning, and the
// colour of the first image's upper-left pixel.
#include <cstring>
#include <new>
#include <vector>

#include "gui/image/guiimageconvert.h"

namespace {

// How one bitmap's pixels are coded in runs: the bytes of one pixel and the width of the counts.
struct RunForm {
    unsigned rawBytes;   // bytes of a raw pixel, 0 for packed depths
    unsigned codedBytes; // bytes of a coded pixel
    bool wideCounts;     // 16-bit counts (16-bit pixels), else one byte
    unsigned maxRun;
};

RunForm FormOf(const GuiBitmap& b, unsigned rawBytes) {
    const bool alpha = b.flags & GUI_BMP_ALPHA;
    if (b.bitsPerPixel == 16) return {rawBytes, alpha ? 4u : 2u, true, 32000};
    return {rawBytes, rawBytes ? rawBytes : 1u, false, 128};
}

void PutCount(std::vector<uint8_t>& out, const RunForm& f, unsigned value) {
    out.push_back(static_cast<uint8_t>(value));
    if (f.wideCounts) out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutPixel(std::vector<uint8_t>& out, const RunForm& f, uint32_t value) {
    for (unsigned i = 0; i < f.codedBytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

int GuiImageConvert::RleEncode(int force) {
    int ok = 1;
    for (unsigned n = 0; n < ImageCount(); ++n) {
        GuiBitmap* b = GetBitmapPointer(n);
        if (!b || !b->data || (b->flags & GUI_BMP_RLE)) continue;
        const bool alpha = b->flags & GUI_BMP_ALPHA;
        // An index with its own alpha has no coded form the screens read: it stays raw.
        if (b->bitsPerPixel == 8 && alpha) continue;
        const unsigned bits = b->bitsPerPixel;
        const unsigned raw = PixelBytes(bits, alpha);
        const unsigned long stride = GetStride(b->width, bits, alpha);
        const RunForm f = FormOf(*b, raw);
        std::vector<uint8_t> out;
        try {
            for (unsigned y = 0; y < b->height; ++y) {
                const uint8_t* row = b->data + static_cast<size_t>(y) * stride;
                auto px = [&](unsigned x) { return GetPix(row, x, raw, bits); };
                auto runAt = [&](unsigned x) {
                    unsigned r = 1;
                    while (x + r < b->width && r < f.maxRun && px(x + r) == px(x)) ++r;
                    return r;
                };
                for (unsigned x = 0; x < b->width;) {
                    const unsigned r = runAt(x);
                    if (r >= 3) {
                        PutCount(out, f, r - 1);
                        PutPixel(out, f, px(x));
                        x += r;
                        continue;
                    }
                    unsigned end = x;
                    while (end < b->width && end - x < f.maxRun && (end == x || runAt(end) < 3)) ++end;
                    PutCount(out, f, (end - x - 1) | (f.wideCounts ? 0x8000u : 0x80u));
                    for (unsigned i = x; i < end; ++i) PutPixel(out, f, px(i));
                    x = end;
                }
                if (out.size() > MAX_IMAGE_BYTES) throw std::bad_alloc();
            }
        } catch (const std::bad_alloc&) {
            ok = 0;
            continue;
        }
        if (!force && out.size() >= static_cast<uint64_t>(stride) * b->height) continue;
        auto* data = new (std::nothrow) uint8_t[out.size() ? out.size() : 1];
        if (!data) {
            ok = 0;
            continue;
        }
        if (!out.empty()) std::memcpy(data, out.data(), out.size());
        delete[] b->data;
        b->data = data;
        b->flags |= GUI_BMP_RLE;
        if (bits < 8) b->bitsPerPixel = 8; // every coded index is one byte
        SetImageDataSize(n, static_cast<unsigned long>(out.size()));
    }
    return ok;
}

void GuiImageConvert::RotateImages(int angle, int mirror, int flip) {
    if (angle != 0 && angle != 90 && angle != 270) return;
    for (unsigned n = 0; n < ImageCount(); ++n) {
        GuiBitmap* b = GetBitmapPointer(n);
        if (!b || !b->data || (b->flags & (GUI_BMP_RLE | GUI_BMP_TURNED))) continue;
        const bool alpha = b->flags & GUI_BMP_ALPHA;
        const unsigned bits = b->bitsPerPixel, bytes = PixelBytes(bits, alpha);
        const unsigned w = b->width, h = b->height;
        const unsigned long stride = GetStride(w, bits, alpha);
        auto at = [&](unsigned x, unsigned y) { return GetPix(b->data + y * stride, x, bytes, bits); };
        auto put = [&](unsigned x, unsigned y, uint32_t v) {
            PutPix(b->data + y * stride, x, bytes, bits, v);
        };
        if (mirror) {
            for (unsigned y = 0; y < h; ++y)
                for (unsigned x = 0; x < w / 2; ++x) {
                    const uint32_t a = at(x, y);
                    put(x, y, at(w - 1 - x, y));
                    put(w - 1 - x, y, a);
                }
        }
        if (flip) {
            for (unsigned y = 0; y < h / 2; ++y)
                for (unsigned x = 0; x < w; ++x) {
                    const uint32_t a = at(x, y);
                    put(x, y, at(x, h - 1 - y));
                    put(x, h - 1 - y, a);
                }
        }
        if (angle == 0) continue; // mirrored and flipped only
        // Turned: width rows of height pixels each.
        const unsigned long turnedStride = GetStride(h, bits, alpha);
        const uint64_t size = static_cast<uint64_t>(turnedStride) * w;
        auto* data = new (std::nothrow) uint8_t[size ? size : 1]();
        if (!data) continue;
        for (unsigned y = 0; y < h; ++y)
            for (unsigned x = 0; x < w; ++x) {
                const unsigned row = angle == 90 ? w - 1 - x : x;
                const unsigned pos = angle == 90 ? y : h - 1 - y;
                PutPix(data + static_cast<size_t>(row) * turnedStride, pos, bytes, bits, at(x, y));
            }
        delete[] b->data;
        b->data = data;
        b->flags |= GUI_BMP_TURNED;
        SetImageDataSize(n, static_cast<unsigned long>(size));
    }
}

GuiPixel GuiImageConvert::GetULCColor() {
    const GuiBitmap* b = GetBitmapPointer(0);
    if (!b || !b->data || (b->flags & GUI_BMP_RLE)) return GuiPixel();
    const bool alpha = b->flags & GUI_BMP_ALPHA;
    const uint32_t v = GetPix(b->data, 0, PixelBytes(b->bitsPerPixel, alpha), b->bitsPerPixel);
    switch (b->bitsPerPixel) {
    case 16:
        return GuiPixel((v >> 8) & 0xF8, (v >> 3) & 0xFC, (v << 3) & 0xF8);
    case 24:
        if (alpha) return GuiPixel((v >> 24) & 0xFF, (v >> 16) & 0xFF, (v >> 8) & 0xFF);
        if (b->flags & GUI_BMP_RGB_ORDER) return GuiPixel(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
        return GuiPixel((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    case 32:
        return alpha ? GuiPixel((v >> 24) & 0xFF, (v >> 16) & 0xFF, (v >> 8) & 0xFF)
                     : GuiPixel((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    default: {
        const uint32_t i = v & 0xFF;
        if (mpSystemPalette && i < muSystemColors)
            return GuiPixel(mpSystemPalette[3 * i], mpSystemPalette[3 * i + 1], mpSystemPalette[3 * i + 2]);
        return GuiPixel(mOwnPalette[i][0], mOwnPalette[i][1], mOwnPalette[i][2]);
    }
    }
}
