// The image converter's state: input buffer, palettes and depths, the pixel read and write of
// the internal and output formats, colour matching, status reports and the image list.
#include "gui/image/guiimageconvert.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

inline uint32_t Load(const uint8_t* p, unsigned n) {
    uint32_t v = 0;
    std::memcpy(&v, p, n); // the host is little-endian, as the device
    return v;
}

inline void Store(uint8_t* p, unsigned n, uint32_t v) {
    std::memcpy(p, &v, n);
}

inline long Clamp255(long v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

uint16_t Encode16(const GuiPixel& p, bool five55) {
    const auto r = static_cast<uint32_t>(p.red), g = static_cast<uint32_t>(p.green),
               b = static_cast<uint32_t>(p.blue);
    if (five55) return static_cast<uint16_t>(((r & 0xF8) << 7) | ((g & 0xF8) << 2) | (b >> 3));
    return static_cast<uint16_t>(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
}

GuiPixel Decode16(uint16_t w, bool five55) {
    if (five55) return GuiPixel((w >> 7) & 0xF8, (w >> 2) & 0xF8, (w << 3) & 0xF8);
    return GuiPixel((w >> 8) & 0xF8, (w >> 3) & 0xFC, (w << 3) & 0xF8);
}

uint8_t Code332(const GuiPixel& p) {
    return static_cast<uint8_t>((p.red & 0xE0) | ((p.green >> 3) & 0x1C) | ((p.blue >> 6) & 3));
}

} // namespace

GuiImageConvert::GuiImageConvert(unsigned int id) : muId(static_cast<unsigned short>(id)) {}

GuiImageConvert::~GuiImageConvert() {
    DestroyImages();
}

void GuiImageConvert::DestroyImages() {
    for (auto& [bitmap, size] : mImages) {
        if (!bitmap) continue;
        delete[] bitmap->data;
        delete bitmap;
    }
    mImages.clear();
}

void GuiImageConvert::SetInputBuffer(unsigned char* data, unsigned long length) {
    mpInput = data;
    mulInputLength = data ? length : 0;
    mulInputPos = 0;
}

unsigned long GuiImageConvert::ConsumeImageInput(unsigned char* buffer, unsigned long n) {
    if (!mpInput || !buffer) return 0;
    const unsigned long left = mulInputLength - mulInputPos;
    if (n > left) n = left;
    std::memcpy(buffer, mpInput + mulInputPos, n);
    mulInputPos += n;
    return n;
}

void GuiImageConvert::SetSystemPalette(unsigned char* palette, unsigned int count, int) {
    mpSystemPalette = palette;
    muSystemColors = count;
    switch (count) {
    case 2:
        SetOutputColorDepth(1);
        break;
    case 4:
        SetOutputColorDepth(2);
        break;
    case 16:
        SetOutputColorDepth(4);
        break;
    case 650:
        SetOutputColorDepth(16);
        break;
    case 1600:
        SetOutputColorDepth(24);
        break;
    default:
        SetOutputColorDepth(8);
        break;
    }
}

void GuiImageConvert::SetOutputColorDepth(unsigned int bits) {
    muOutputDepth = bits;
}

void GuiImageConvert::SetInternalBitsPix(unsigned int bits, int hasAlpha) {
    muInternalDepth = bits;
    mbInternalAlpha = hasAlpha != 0;
    if (mbInternalAlpha)
        muMode |= MODE_SRC_ALPHA;
    else
        muMode &= ~static_cast<unsigned>(MODE_SRC_ALPHA);
}

void GuiImageConvert::SetInputStride(unsigned int width) {
    mulInputStride = GetStride(width, muInternalDepth, mbInternalAlpha);
}

void GuiImageConvert::SetOutputStride(unsigned int width) {
    unsigned depth = muOutputDepth;
    if ((muMode & MODE_TRANSPARENCY) && !AlphaOut() && depth < 8) depth = 8;
    mulOutputStride = GetStride(width, depth, AlphaOut());
}

void GuiImageConvert::SetTransColor(GuiPixel colour) {
    mTransColor = colour;
    muMode = (muMode | MODE_TRANS_COLOR) & ~static_cast<unsigned>(MODE_TRANS_INDEX);
}

void GuiImageConvert::SetTransColor(unsigned char index) {
    muTransIndex = index;
    muMode = (muMode | MODE_TRANS_INDEX) & ~static_cast<unsigned>(MODE_TRANS_COLOR);
}

void GuiImageConvert::SendState(unsigned short bits) {
    muState = static_cast<unsigned short>(muState | bits);
    if (mpCallback) mpCallback(muId, bits, this);
}

void GuiImageConvert::pm_error(const char* text) {
    pm_message(text);
    SendState(STATE_ERROR);
}

void GuiImageConvert::pm_message(const char* text) {
    std::snprintf(mErrorText, sizeof mErrorText, "%s", text ? text : "");
}

GuiBitmap* GuiImageConvert::GetBitmapPointer(unsigned int n) const {
    return n < mImages.size() ? mImages[n].first : nullptr;
}

unsigned long GuiImageConvert::GetDataSize(unsigned int n) const {
    return n < mImages.size() ? mImages[n].second : 0;
}

void GuiImageConvert::SetImageDataSize(unsigned int n, unsigned long size) {
    if (n < mImages.size()) mImages[n].second = size;
}

void GuiImageConvert::DropLastImage() {
    if (mImages.empty()) return;
    GuiBitmap* b = mImages.back().first;
    mImages.pop_back();
    if (b) delete[] b->data;
    delete b;
}

void GuiImageConvert::SetOwnPalette(unsigned int index, uint8_t red, uint8_t green, uint8_t blue) {
    if (index > 255) return;
    mOwnPalette[index][0] = red;
    mOwnPalette[index][1] = green;
    mOwnPalette[index][2] = blue;
    if (index >= muOwnColors) muOwnColors = index + 1;
}

int GuiImageConvert::GetImageType(const unsigned char* header) {
    if (!header) return 0;
    if (header[0] == 'B') return 1;
    if (header[0] == 'G') return 2;
    if (header[1] == 'P') return 4;
    if (header[6] == 'J' || (header[0] == 0xFF && header[1] == 0xD8 && header[2] == 0xFF)) return 3;
    return 0;
}

unsigned long GuiImageConvert::GetStride(unsigned long width, unsigned int bits, int hasAlpha) {
    switch (bits) {
    case 1:
        return (width + 7) / 8;
    case 2:
        return (width + 3) / 4;
    case 4:
        return (width + 1) / 2;
    case 16:
        return (hasAlpha ? 4 : 2) * width;
    case 24:
        return (hasAlpha ? 4 : 3) * width;
    case 32:
        return 4 * width;
    default:
        return (hasAlpha ? 2 : 1) * width;
    }
}

unsigned int GuiImageConvert::PixelBytes(unsigned int bits, bool alpha) {
    switch (bits) {
    case 1:
    case 2:
    case 4:
        return 0;
    case 16:
        return alpha ? 4 : 2;
    case 24:
        return alpha ? 4 : 3;
    case 32:
        return 4;
    default:
        return alpha ? 2 : 1;
    }
}

uint32_t GuiImageConvert::GetPix(const uint8_t* row, unsigned int x, unsigned int bytes, unsigned int bits) {
    if (bytes) return Load(row + static_cast<size_t>(x) * bytes, bytes);
    const unsigned perByte = 8 / bits;
    const unsigned shift = 8 - bits * (x % perByte + 1);
    return (row[x / perByte] >> shift) & ((1u << bits) - 1);
}

void GuiImageConvert::PutPix(uint8_t* row, unsigned int x, unsigned int bytes, unsigned int bits,
                             uint32_t value) {
    if (bytes) {
        Store(row + static_cast<size_t>(x) * bytes, bytes, value);
        return;
    }
    const unsigned perByte = 8 / bits;
    const unsigned shift = 8 - bits * (x % perByte + 1);
    const unsigned mask = ((1u << bits) - 1) << shift;
    uint8_t& b = row[x / perByte];
    b = static_cast<uint8_t>((b & ~mask) | ((value << shift) & mask));
}

uint32_t GuiImageConvert::GetRawPix(const uint8_t* row, unsigned int x) const {
    const unsigned bytes = PixelBytes(muInternalDepth, mbInternalAlpha);
    // The index of an index-with-alpha pixel is its first byte.
    if (muInternalDepth == 8) return row[static_cast<size_t>(x) * bytes];
    return GetPix(row, x, bytes, muInternalDepth);
}

GuiPixel GuiImageConvert::ReadPixel(const uint8_t* row, unsigned int x) const {
    GuiPixel p;
    switch (muInternalDepth) {
    case 1:
    case 2:
    case 4:
    case 8: {
        const uint32_t i = GetRawPix(row, x);
        p = GuiPixel(mOwnPalette[i][0], mOwnPalette[i][1], mOwnPalette[i][2]);
        p.alpha = mbInternalAlpha ? row[2 * static_cast<size_t>(x) + 1] : 255;
        return p;
    }
    case 16: {
        const uint8_t* q = row + static_cast<size_t>(x) * (mbInternalAlpha ? 4 : 2);
        uint16_t w = static_cast<uint16_t>(Load(q, 2));
        if (muMode & MODE_SWAP16) w = static_cast<uint16_t>((w >> 8) | (w << 8));
        p = Decode16(w, muMode & MODE_555);
        p.alpha = mbInternalAlpha ? static_cast<uint8_t>(Load(q + 2, 2)) : 255;
        return p;
    }
    case 32:
    case 24:
        if (mbInternalAlpha || muInternalDepth == 32) {
            const uint32_t w = Load(row + 4 * static_cast<size_t>(x), 4);
            if (mbInternalAlpha) {
                p = GuiPixel((w >> 24) & 0xFF, (w >> 16) & 0xFF, (w >> 8) & 0xFF);
                p.alpha = static_cast<uint8_t>(w);
            } else {
                p = GuiPixel((w >> 16) & 0xFF, (w >> 8) & 0xFF, w & 0xFF);
                p.alpha = 255;
            }
            return p;
        } else {
            const uint8_t* q = row + 3 * static_cast<size_t>(x);
            p = GuiPixel(q[0], q[1], q[2]);
            p.alpha = 255;
            return p;
        }
    default:
        return p;
    }
}

uint32_t GuiImageConvert::TransparentValue() const {
    const unsigned depth = muOutputDepth;
    if (depth <= 8) return (depth == 8 && !mpSystemPalette) ? Code332(mTransColor) : 255;
    return 1;
}

int GuiImageConvert::LookupBestColor(const GuiPixel& pixel) {
    if (!mpSystemPalette || muSystemColors == 0) return 0;
    unsigned count = muSystemColors > 256 ? 256 : muSystemColors;
    // Index 255 is the transparent value of 8-bit transparent output: no colour is matched to it.
    if ((muMode & MODE_TRANSPARENCY) && count == 256) count = 255;
    long long best = 2000000000LL;
    int index = 0;
    for (unsigned i = 0; i < count; ++i) {
        const long long dr = pixel.red - mpSystemPalette[3 * i];
        const long long dg = pixel.green - mpSystemPalette[3 * i + 1];
        const long long db = pixel.blue - mpSystemPalette[3 * i + 2];
        const long long d =
            mbGrey ? 77 * dr * dr + 150 * dg * dg + 37 * db * db : dr * dr + dg * dg + db * db;
        if (d < best) {
            best = d;
            index = static_cast<int>(i);
            if (d == 0) break;
        }
    }
    return index;
}

void GuiImageConvert::WritePixel(uint8_t* row, unsigned int x, const GuiPixel& pixel) {
    const unsigned depth = muOutputDepth;
    const bool forced8 = (muMode & MODE_TRANSPARENCY) && !AlphaOut() && depth < 8;
    if (depth < 8 && !forced8) {
        const int i = LookupBestColor(pixel);
        PutPix(row, x, 0, depth, static_cast<uint32_t>(i));
        mLastMatch = mpSystemPalette ? GuiPixel(mpSystemPalette[3 * i], mpSystemPalette[3 * i + 1],
                                                mpSystemPalette[3 * i + 2])
                                     : GuiPixel();
        return;
    }
    if (depth <= 8) {
        if (mpSystemPalette && muSystemColors) {
            const int i = LookupBestColor(pixel);
            row[x] = static_cast<uint8_t>(i);
            mLastMatch =
                GuiPixel(mpSystemPalette[3 * i], mpSystemPalette[3 * i + 1], mpSystemPalette[3 * i + 2]);
        } else {
            const uint8_t c = Code332(pixel);
            row[x] = c;
            mLastMatch = GuiPixel(c & 0xE0, (c << 3) & 0xE0, (c << 6) & 0xC0);
        }
        return;
    }
    if (depth == 16) {
        const bool five55 = muMode & MODE_555;
        uint16_t w = Encode16(pixel, five55);
        mLastMatch = Decode16(w, five55);
        if (muMode & MODE_SWAP16) w = static_cast<uint16_t>((w >> 8) | (w << 8));
        if (AlphaOut()) {
            Store(row + 4 * static_cast<size_t>(x), 2, w);
            Store(row + 4 * static_cast<size_t>(x) + 2, 2, pixel.alpha);
        } else {
            Store(row + 2 * static_cast<size_t>(x), 2, w);
        }
        return;
    }
    const auto r = static_cast<uint32_t>(Clamp255(pixel.red)),
               g = static_cast<uint32_t>(Clamp255(pixel.green)),
               b = static_cast<uint32_t>(Clamp255(pixel.blue));
    mLastMatch = GuiPixel(r, g, b);
    if (AlphaOut()) {
        Store(row + 4 * static_cast<size_t>(x), 4, (r << 24) | (g << 16) | (b << 8) | pixel.alpha);
        return;
    }
    uint8_t* q = row + 3 * static_cast<size_t>(x);
    if (muMode & MODE_RGB) {
        q[0] = static_cast<uint8_t>(r);
        q[2] = static_cast<uint8_t>(b);
    } else {
        q[0] = static_cast<uint8_t>(b);
        q[2] = static_cast<uint8_t>(r);
    }
    q[1] = static_cast<uint8_t>(g);
}

void GuiImageConvert::WriteTrans(uint8_t* row, unsigned int x) {
    const unsigned depth = muOutputDepth;
    if (depth <= 8) {
        row[x] = static_cast<uint8_t>(TransparentValue());
    } else if (depth == 16) {
        if (AlphaOut()) {
            Store(row + 4 * static_cast<size_t>(x), 4, 0);
        } else {
            Store(row + 2 * static_cast<size_t>(x), 2, 1);
        }
    } else if (AlphaOut()) {
        Store(row + 4 * static_cast<size_t>(x), 4, 0); // alpha 0: never drawn
    } else {
        uint8_t* q = row + 3 * static_cast<size_t>(x);
        const bool rgb = muMode & MODE_RGB;
        q[0] = rgb ? 0 : 1;
        q[1] = 0;
        q[2] = rgb ? 1 : 0;
    }
    mLastMatch = mTransColor;
}

GuiBitmap* GuiImageConvert::AddNewBitmapToList(uint64_t size) {
    if (size == 0 || size > MAX_IMAGE_BYTES) return nullptr;
    auto* bitmap = new (std::nothrow) GuiBitmap{};
    if (!bitmap) return nullptr;
    bitmap->data = new (std::nothrow) uint8_t[size]();
    if (!bitmap->data) {
        delete bitmap;
        return nullptr;
    }
    bitmap->bitsPerPixel = static_cast<uint8_t>(muInternalDepth);
    bitmap->flags = mbGrey ? GUI_BMP_GREY : 0;
    try {
        mImages.emplace_back(bitmap, static_cast<unsigned long>(size));
    } catch (const std::bad_alloc&) {
        delete[] bitmap->data;
        delete bitmap;
        return nullptr;
    }
    return bitmap;
}
