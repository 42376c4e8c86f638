// The PNG decoder's second half: the image data. Inflate through one 8192-byte input block over
// as many IDAT chunks as the image has, the five row filters, Adam7 passes, the decoded pixel
// forms, and the output bitmap at its own size or resized.
#include <cstring>
#include <new>
#include <vector>

#include "gui/image/guipngconvert.h"
#include "gui/image/guipngconvert_state.h"

namespace {

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Pixels of an Adam7 pass along one side of `size` pixels.
uint32_t PassSpan(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

template <class T> bool Resize(std::vector<T>& v, uint64_t n) {
    if (n > GuiImageConvert::MAX_IMAGE_BYTES) return false;
    try {
        v.assign(static_cast<size_t>(n), T{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace

void GuiPngConvert::ReadStartRow() {
    ReadState& r = *mpRead;
    r.passRow = 0;
    if (!r.interlace) {
        r.passRows = r.height;
        r.passCols = r.width;
    } else {
        // The next pass that holds any pixel.
        for (; r.pass < 7; ++r.pass) {
            r.passRows = PassSpan(r.height, kAdam7[r.pass][0], kAdam7[r.pass][1]);
            r.passCols = PassSpan(r.width, kAdam7[r.pass][2], kAdam7[r.pass][3]);
            if (r.passRows && r.passCols) break;
        }
        if (r.pass >= 7) {
            r.rowsDone = true;
            return;
        }
    }
    r.passRowBytes = (static_cast<uint64_t>(r.bitsPerPixel) * r.passCols + 7) / 8;
    std::fill(r.prev.begin(), r.prev.end(), 0);
}

bool GuiPngConvert::InflateRow() {
    ReadState& r = *mpRead;
    z_stream& zs = r.zs;
    zs.next_out = r.row.data();
    zs.avail_out = static_cast<uInt>(r.passRowBytes + 1);
    while (zs.avail_out > 0) {
        if (r.streamEnd) return false; // the data ended before the image
        if (zs.avail_in == 0) {
            while (r.chunkLeft == 0) {
                bool match = false;
                if (!CrcFinish(0, &match)) return false;
                if (!match) CrcError();
                uint32_t length = 0;
                if (!ReadChunkHeader(&length) || std::memcmp(r.name, "IDAT", 4) != 0) return false;
            }
            const uint32_t n = r.chunkLeft < ReadState::kInputBlock ? r.chunkLeft : ReadState::kInputBlock;
            if (!CrcRead(r.in.data(), n)) return false;
            zs.next_in = r.in.data();
            zs.avail_in = n;
        }
        const int rc = inflate(&zs, Z_PARTIAL_FLUSH);
        if (rc == Z_STREAM_END) {
            r.streamEnd = true;
            continue;
        }
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) continue; // needs more input
        if (rc != Z_OK) return false;
    }
    return true;
}

bool GuiPngConvert::ReadFilterRow() {
    ReadState& r = *mpRead;
    uint8_t* row = r.row.data() + 1;
    const uint8_t* up = r.prev.data() + 1;
    const size_t n = static_cast<size_t>(r.passRowBytes);
    const size_t bpp = (r.bitsPerPixel + 7) / 8;
    switch (r.row[0]) {
    case 0:
        break;
    case 1:
        for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i) {
            const int left = i >= bpp ? row[i - bpp] : 0;
            row[i] = static_cast<uint8_t>(row[i] + ((left + up[i]) >> 1));
        }
        break;
    case 4:
        for (size_t i = 0; i < n; ++i) {
            const int left = i >= bpp ? row[i - bpp] : 0;
            const int corner = i >= bpp ? up[i - bpp] : 0;
            row[i] = static_cast<uint8_t>(row[i] + Paeth(left, up[i], corner));
        }
        break;
    default:
        return false; // no such filter
    }
    return true;
}

void GuiPngConvert::ConvertRawToGui(uint8_t* decoded) const {
    const ReadState& r = *mpRead;
    const uint8_t* raw = r.row.data() + 1;
    const uint32_t cols = r.passCols;
    const size_t samples = static_cast<size_t>(cols) * r.channels;
    if (r.colourType == 6) {
        // One native 0xRRGGBBAA word per pixel, from the high byte of 16-bit samples.
        const size_t step = r.depth == 16 ? 2 : 1;
        for (uint32_t x = 0; x < cols; ++x) {
            const uint8_t* p = raw + 4 * step * x;
            const uint32_t w = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[step]) << 16) |
                               (static_cast<uint32_t>(p[2 * step]) << 8) | p[3 * step];
            std::memcpy(decoded + 4 * static_cast<size_t>(x), &w, 4);
        }
    } else if (r.depth == 16) {
        for (size_t i = 0; i < samples; ++i) decoded[i] = raw[2 * i];
    } else {
        std::memcpy(decoded, raw, static_cast<size_t>(r.passRowBytes));
    }
}

void GuiPngConvert::ReadFinishRow() {
    ReadState& r = *mpRead;
    if (++r.passRow < r.passRows) return;
    if (r.interlace && r.pass < 6) {
        ++r.pass;
        ReadStartRow();
        if (!r.rowsDone) return;
    }
    r.rowsDone = true;
    // The rest of the image data is not needed; its chunk is passed over as far as it is there.
    bool match = false;
    if (CrcFinish(r.chunkLeft, &match) && !match) CrcError();
}

bool GuiPngConvert::ReadRow(uint8_t* decoded) {
    ReadState& r = *mpRead;
    if (r.rowsDone || !InflateRow() || !ReadFilterRow()) return false;
    ConvertRawToGui(decoded);
    r.row.swap(r.prev);
    ReadFinishRow();
    return true;
}

bool GuiPngConvert::OutputRow(const uint8_t* decoded, uint8_t* out, unsigned int width) {
    if (muMode & MODE_DITHER)
        DitherBitmapRow(decoded, out, width);
    else
        RemapBitmapRow(decoded, out, width);
    return true;
}

bool GuiPngConvert::ReadInterlaced(uint8_t* image, unsigned long stride) {
    ReadState& r = *mpRead;
    std::vector<uint8_t> pass;
    if (!Resize(pass, GetStride(r.width, muInternalDepth, mbInternalAlpha))) return false;
    const unsigned bytes = PixelBytes(muInternalDepth, mbInternalAlpha);
    // Every pixel of every pass goes to its place: the image equals its non-interlaced twin.
    while (!r.rowsDone) {
        const uint32_t* a = kAdam7[r.pass];
        const uint32_t y = a[0] + r.passRow * a[1];
        const uint32_t cols = r.passCols;
        if (!ReadRow(pass.data())) return false;
        uint8_t* dst = image + static_cast<size_t>(y) * stride;
        for (uint32_t i = 0; i < cols; ++i)
            PutPix(dst, a[2] + i * a[3], bytes, muInternalDepth,
                   GetPix(pass.data(), i, bytes, muInternalDepth));
    }
    return true;
}

bool GuiPngConvert::ReadPngData() {
    ReadState& r = *mpRead;
    if (r.interlace && (muMode & (MODE_DITHER | MODE_REMAP))) {
        pm_error("Unsupported Image Type");
        return false;
    }
    // 24-bit output (the display's) and remapping or dithering write the output format; otherwise
    // the decoded rows are the bitmap.
    const bool convert = muOutputDepth == 24 || (muMode & (MODE_DITHER | MODE_REMAP));
    // Straight into 24-bit output the rows keep their red, green, blue order.
    const unsigned savedMode = muMode;
    if (!(muMode & (MODE_DITHER | MODE_REMAP))) muMode |= MODE_RGB;
    const bool ok = ReadPngRows(convert);
    muMode = (savedMode & ~static_cast<unsigned>(MODE_TRANSPARENCY)) | (muMode & MODE_TRANSPARENCY);
    return ok;
}

bool GuiPngConvert::ReadPngRows(bool convert) {
    ReadState& r = *mpRead;
    SetInputStride(r.width);
    SetOutputStride(r.width);
    const unsigned long stride = convert ? mulOutputStride : mulInputStride;
    const bool sized = Resize(r.row, r.rowBytes + 1) && Resize(r.prev, r.rowBytes + 1);
    GuiBitmap* b = sized ? AddNewBitmapToList(static_cast<uint64_t>(stride) * r.height) : nullptr;
    if (!b) {
        pm_error("Out Of Memory");
        return false;
    }
    b->width = static_cast<uint16_t>(r.width);
    b->height = static_cast<uint16_t>(r.height);
    std::vector<uint8_t> image, decoded;
    const bool buffers = r.interlace ? Resize(image, static_cast<uint64_t>(mulInputStride) * r.height)
                                     : Resize(decoded, mulInputStride);
    if (!buffers || ((muMode & MODE_DITHER) && !InitDither(r.width))) {
        DropLastImage();
        pm_error("Out Of Memory");
        return false;
    }
    r.pass = 0;
    ReadStartRow();
    bool ok = true;
    if (r.interlace) ok = ReadInterlaced(image.data(), mulInputStride);
    for (uint32_t y = 0; ok && y < r.height; ++y) {
        const uint8_t* in = image.data() + static_cast<size_t>(y) * mulInputStride;
        if (!r.interlace) {
            ok = ReadRow(decoded.data());
            in = decoded.data();
        }
        uint8_t* out = b->data + static_cast<size_t>(y) * stride;
        if (ok && convert)
            OutputRow(in, out, r.width);
        else if (ok)
            std::memcpy(out, in, mulInputStride);
    }
    EndDither();
    if (!ok) {
        DropLastImage();
        return false;
    }
    if (convert) {
        EndRemapping(b);
    } else {
        if (mbAlphaOutput && mbInternalAlpha) b->flags |= GUI_BMP_ALPHA;
        // Indices and grey samples keep their transparent value as it stands in the rows.
        if (muMode & (MODE_TRANS_INDEX | MODE_TRANS_COLOR)) {
            const bool index = muMode & MODE_TRANS_INDEX;
            if (index || r.colourType == 0) {
                b->flags |= GUI_BMP_TRANSPARENT;
                b->transparentColor = index ? muTransIndex : static_cast<uint32_t>(mTransColor.red);
                if (!index && r.depth < 8)
                    b->transparentColor = mTransColor.red / (255 / ((1u << r.depth) - 1));
            }
        }
    }
    EndAllRemapping();
    return true;
}

bool GuiPngConvert::ReadPngDataToSize() {
    ReadState& r = *mpRead;
    if (r.interlace) {
        pm_error("Unsupported Image Type");
        return false;
    }
    const unsigned W = static_cast<unsigned>(miTargetWidth), H = static_cast<unsigned>(miTargetHeight);
    if (W > 65535 || H > 65535) {
        pm_error("Out Of Memory");
        return false;
    }
    SetInputStride(r.width);
    SetOutputStride(W);
    std::vector<uint8_t> decoded, resized;
    std::vector<uint32_t> sourceOf;
    const bool sized = Resize(r.row, r.rowBytes + 1) && Resize(r.prev, r.rowBytes + 1) &&
                       Resize(decoded, mulInputStride) &&
                       Resize(resized, GetStride(W, muInternalDepth, mbInternalAlpha)) && Resize(sourceOf, H);
    GuiBitmap* b = sized ? AddNewBitmapToList(static_cast<uint64_t>(mulOutputStride) * H) : nullptr;
    if (!b) {
        pm_error("Out Of Memory");
        return false;
    }
    b->width = static_cast<uint16_t>(W);
    b->height = static_cast<uint16_t>(H);
    if ((muMode & MODE_DITHER) && !InitDither(W)) {
        DropLastImage();
        pm_error("Out Of Memory");
        return false;
    }
    // Which source row each output row shows (Bresenham stepping down the source).
    {
        const long srcLast = static_cast<long>(r.height) - 1;
        long e = 4 * srcLast - static_cast<long>(H);
        long s = 0;
        for (unsigned y = 0; y < H; ++y) {
            sourceOf[y] = static_cast<uint32_t>(s < srcLast ? s : srcLast);
            while (e >= 0) {
                ++s;
                e -= 2L * H;
            }
            e += 2 * srcLast;
        }
    }
    r.pass = 0;
    ReadStartRow();
    bool ok = true;
    unsigned next = 0;
    for (uint32_t y = 0; ok && y < r.height && next < H; ++y) {
        ok = ReadRow(decoded.data());
        if (!ok) break;
        ResizeBitmapRow(decoded.data(), r.width, resized.data());
        for (; next < H && sourceOf[next] == y; ++next)
            OutputRow(resized.data(), b->data + static_cast<size_t>(next) * mulOutputStride, W);
    }
    EndDither();
    if (!ok) {
        DropLastImage();
        return false;
    }
    EndRemapping(b);
    EndAllRemapping();
    return true;
}
