// Rows into the output format: remapping (pixel by pixel, with transparency), Floyd-Steinberg
// dithering on serpentine rows, horizontal resampling, and the same for whole images of the list.
#include <cstdlib>
#include <cstring>
#include <new>

#include "gui/image/guiimageconvert.h"

namespace {

// Errors are kept scaled by 1024; smaller ones are not spread.
constexpr long kErrorScale = 1024;
constexpr long kErrorThreshold = 401;

long Clamp255(long v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

} // namespace

bool GuiImageConvert::IsTransparentPixel(const uint8_t* row, unsigned int x, const GuiPixel& p) const {
    if (muMode & MODE_TRANS_INDEX) return GetRawPix(row, x) == muTransIndex;
    if (muMode & MODE_TRANS_COLOR) return p == mTransColor;
    return (muMode & MODE_SRC_ALPHA) && !AlphaOut() && p.alpha < 128;
}

void GuiImageConvert::RemapBitmapRow(const uint8_t* in, uint8_t* out, unsigned int width) {
    const bool rgb24 = muOutputDepth == 24 && (muMode & MODE_RGB) && !AlphaOut() && !mbInternalAlpha;
    // The common cases of the display's 24-bit output without a per-pixel dispatch.
    if (rgb24 && muInternalDepth == 24) {
        if (!(muMode & MODE_TRANSPARENCY)) {
            std::memcpy(out, in, 3 * static_cast<size_t>(width));
        } else {
            for (unsigned x = 0; x < width; ++x) {
                const uint8_t* p = in + 3 * static_cast<size_t>(x);
                uint8_t* q = out + 3 * static_cast<size_t>(x);
                if ((muMode & MODE_TRANS_COLOR) && p[0] == mTransColor.red && p[1] == mTransColor.green &&
                    p[2] == mTransColor.blue) {
                    q[0] = q[1] = 0;
                    q[2] = 1;
                } else {
                    std::memcpy(q, p, 3);
                }
            }
        }
        mLastMatch = GuiPixel();
        return;
    }
    if (rgb24 && muInternalDepth <= 8 && !(muMode & MODE_TRANS_COLOR)) {
        const bool byIndex = muMode & MODE_TRANS_INDEX;
        for (unsigned x = 0; x < width; ++x) {
            const uint32_t i = GetRawPix(in, x);
            uint8_t* q = out + 3 * static_cast<size_t>(x);
            if (byIndex && i == muTransIndex) {
                q[0] = q[1] = 0;
                q[2] = 1;
            } else {
                std::memcpy(q, mOwnPalette[i], 3);
            }
        }
        mLastMatch = GuiPixel();
        return;
    }
    for (unsigned x = 0; x < width; ++x) {
        const GuiPixel p = ReadPixel(in, x);
        if (IsTransparentPixel(in, x, p))
            WriteTrans(out, x);
        else
            WritePixel(out, x, p);
    }
}

int GuiImageConvert::InitDither(unsigned int width) {
    EndDither();
    try {
        for (auto& row : mDither) row.assign(static_cast<size_t>(width) + 2, 0);
    } catch (const std::bad_alloc&) {
        EndDither();
        return 0;
    }
    muDitherWidth = width;
    mbDitherBackward = false;
    mbDithering = true;
    return 1;
}

void GuiImageConvert::EndDither() {
    for (auto& row : mDither) std::vector<long>().swap(row);
    muDitherWidth = 0;
    mbDithering = false;
}

void GuiImageConvert::DitherPixel(const uint8_t* in, uint8_t* out, unsigned int x, int step) {
    // Rows 0-2: this row's errors of red, green, blue; 3-5: the next row's. Cell x + 1 is pixel x.
    const size_t c = static_cast<size_t>(x) + 1;
    GuiPixel p = ReadPixel(in, x);
    if (IsTransparentPixel(in, x, p)) {
        WriteTrans(out, x);
        return;
    }
    if (mbGrey) {
        const long grey = (77 * p.red + 150 * p.green + 37 * p.blue) >> 8;
        p.red = p.green = p.blue = grey;
    }
    long* channel[3] = {&p.red, &p.green, &p.blue};
    for (int k = 0; k < 3; ++k) *channel[k] = Clamp255(*channel[k] + mDither[k][c] / kErrorScale);
    WritePixel(out, x, p);
    const long written[3] = {mLastMatch.red, mLastMatch.green, mLastMatch.blue};
    for (int k = 0; k < 3; ++k) {
        const long e = (*channel[k] - written[k]) * kErrorScale;
        if (e < kErrorThreshold && e > -kErrorThreshold) {
            mDither[k][c] = 0;
            continue;
        }
        std::vector<long>& here = mDither[k];
        std::vector<long>& below = mDither[k + 3];
        here[c + step] += (e * 7) >> 4;
        below[c - step] += (e * 3) >> 4;
        below[c] += (e * 5) >> 4;
        below[c + step] += (e * 1) >> 4;
    }
}

void GuiImageConvert::DitherBitmapRow(const uint8_t* in, uint8_t* out, unsigned int width) {
    if (!mbDithering || width > muDitherWidth) {
        RemapBitmapRow(in, out, width);
        return;
    }
    if (!mbDitherBackward) {
        for (unsigned x = 0; x < width; ++x) DitherPixel(in, out, x, 1);
    } else {
        for (unsigned x = width; x-- > 0;) DitherPixel(in, out, x, -1);
    }
    for (int k = 0; k < 3; ++k) {
        mDither[k].swap(mDither[k + 3]);
        std::fill(mDither[k + 3].begin(), mDither[k + 3].end(), 0);
    }
    mbDitherBackward = !mbDitherBackward;
}

void GuiImageConvert::EndRemapping(GuiBitmap* bitmap) {
    if (!bitmap) return;
    const unsigned depth =
        ((muMode & MODE_TRANSPARENCY) && !AlphaOut() && muOutputDepth < 8) ? 8 : muOutputDepth;
    if (AlphaOut()) {
        bitmap->flags |= GUI_BMP_ALPHA;
        bitmap->transparentColor = 0;
    } else if (muMode & MODE_TRANSPARENCY) {
        bitmap->flags |= GUI_BMP_TRANSPARENT;
        bitmap->transparentColor = TransparentValue();
    } else {
        bitmap->transparentColor = 0;
    }
    if (mbGrey) bitmap->flags |= GUI_BMP_GREY;
    if ((muMode & MODE_RGB) && depth == 24) bitmap->flags |= GUI_BMP_RGB_ORDER;
    bitmap->bitsPerPixel = static_cast<uint8_t>(depth);
}

void GuiImageConvert::EndAllRemapping() {
    const bool forced = (muMode & MODE_TRANSPARENCY) && !AlphaOut() && muOutputDepth < 8;
    muInternalDepth = forced ? 8 : muOutputDepth;
}

void GuiImageConvert::ResizeBitmapRow(const uint8_t* in, unsigned int width, uint8_t* out) {
    if (miTargetWidth < 1 || width == 0) return;
    const unsigned target = static_cast<unsigned>(miTargetWidth);
    const unsigned bytes = PixelBytes(muInternalDepth, mbInternalAlpha);
    long e = 2L * width - target;
    unsigned s = 0;
    for (unsigned d = 0; d < target; ++d) {
        PutPix(out, d, bytes, muInternalDepth, GetPix(in, s < width ? s : width - 1, bytes, muInternalDepth));
        while (e >= 0) {
            ++s;
            e -= 2L * target;
        }
        e += 2L * width;
    }
}

int GuiImageConvert::RemapOrDither(unsigned int n, bool dither) {
    GuiBitmap* b = GetBitmapPointer(n);
    if (!b || !b->data || (b->flags & GUI_BMP_RLE)) return 0;
    SetInternalBitsPix(b->bitsPerPixel, (b->flags & GUI_BMP_ALPHA) != 0);
    SetInputStride(b->width);
    SetOutputStride(b->width);
    const uint64_t size = static_cast<uint64_t>(mulOutputStride) * b->height;
    if (size == 0 || size > MAX_IMAGE_BYTES) return 0;
    auto* data = new (std::nothrow) uint8_t[size]();
    if (!data) return 0;
    if (dither && !InitDither(b->width)) {
        delete[] data;
        return 0;
    }
    for (unsigned y = 0; y < b->height; ++y) {
        const uint8_t* in = b->data + static_cast<size_t>(y) * mulInputStride;
        uint8_t* out = data + static_cast<size_t>(y) * mulOutputStride;
        if (dither)
            DitherBitmapRow(in, out, b->width);
        else
            RemapBitmapRow(in, out, b->width);
    }
    if (dither) EndDither();
    b->flags &= static_cast<uint8_t>(~(GUI_BMP_ALPHA | GUI_BMP_TRANSPARENT));
    EndRemapping(b);
    delete[] b->data;
    b->data = data;
    SetImageDataSize(n, static_cast<unsigned long>(size));
    return 1;
}

int GuiImageConvert::RemapOneBitmap(unsigned int n) {
    return RemapOrDither(n, false);
}

int GuiImageConvert::DitherOneBitmap(unsigned int n) {
    return RemapOrDither(n, true);
}

int GuiImageConvert::RemapBitmap() {
    int ok = 1;
    for (unsigned n = 0; n < ImageCount(); ++n) {
        GuiBitmap* b = GetBitmapPointer(n);
        if (!b) continue;
        const unsigned depth = b->bitsPerPixel;
        const bool inOutput =
            depth == muOutputDepth &&
            (depth == 1 || depth == 16 || (depth == 24 && (b->flags & GUI_BMP_RGB_ORDER))) &&
            ((b->flags & GUI_BMP_ALPHA) != 0) == AlphaOut() && !(muMode & MODE_TRANSPARENCY);
        if (inOutput)
            EndRemapping(b);
        else if (!RemapOneBitmap(n))
            ok = 0;
    }
    return ok;
}

int GuiImageConvert::DitherBitmap() {
    if (muOutputDepth > 16 || (muOutputDepth < 16 && !mpSystemPalette)) return 0;
    int ok = 1;
    for (unsigned n = 0; n < ImageCount(); ++n)
        if (!DitherOneBitmap(n)) ok = 0;
    return ok;
}
