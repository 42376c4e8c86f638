// The PNG decoder's first half: the signature, chunks with their CRCs, and the IHDR, PLTE and
// tRNS rules that set the converter up for the image.
#include "gui/image/guipngconvert.h"

#include <cstring>
#include <new>

#include "gui/image/guipngconvert_state.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// Largest image side: bitmaps hold 16-bit sizes.
constexpr uint32_t kMaxSide = 65535;
constexpr uint32_t kMaxChunk = 0x7FFFFFFF;

bool NameIs(const uint8_t* name, const char* text) {
    return std::memcmp(name, text, 4) == 0;
}

} // namespace

GuiPngConvert::GuiPngConvert(unsigned int id) : GuiImageConvert(id) {}

GuiPngConvert::~GuiPngConvert() = default;

uint32_t GuiPngConvert::GuiPngGetUint32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t GuiPngConvert::GuiPngGetUint16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

int GuiPngConvert::IsValid() {
    uint8_t sig[8];
    return ConsumeImageInput(sig, 8) == 8 && std::memcmp(sig, kSignature, 8) == 0;
}

bool GuiPngConvert::CreateReadStruct() {
    DestroyReadStruct();
    try {
        mpRead = std::make_unique<ReadState>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (inflateInit2(&mpRead->zs, 15) != Z_OK) {
        mpRead.reset();
        return false;
    }
    mpRead->zInit = true;
    return true;
}

void GuiPngConvert::DestroyReadStruct() {
    mpRead.reset();
}

int GuiPngConvert::InitializeStructures() {
    return CreateReadStruct() ? 1 : 0;
}

int GuiPngConvert::ReadImage(int) {
    DestroyReadStruct();
    if (!IsValid()) return 0;
    if (!CreateReadStruct()) return 0;
    // Transparency and grey are the image's own: nothing of an earlier image is carried over.
    muMode &= ~static_cast<unsigned>(MODE_TRANS_COLOR | MODE_TRANS_INDEX);
    mbGrey = false;
    muOwnColors = 0;
    std::memset(mOwnPalette, 0, sizeof mOwnPalette);
    if (!ReadPngHeader()) {
        DestroyReadStruct();
        return 0;
    }
    SendState(STATE_HEADER);
    const bool resize = (muMode & MODE_RESIZE) && miTargetWidth >= 1 && miTargetHeight >= 1;
    const bool ok = resize ? ReadPngDataToSize() : ReadPngData();
    DestroyReadStruct();
    if (!ok) return 0;
    ++muConverted;
    SendState(STATE_DONE);
    return 1;
}

bool GuiPngConvert::CheckChunkName() const {
    for (uint8_t c : mpRead->name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    return true;
}

bool GuiPngConvert::ReadChunkHeader(uint32_t* length) {
    uint8_t head[8];
    if (ConsumeImageInput(head, 8) != 8) return false;
    const uint32_t n = GuiPngGetUint32(head);
    if (n > kMaxChunk) return false;
    ReadState& r = *mpRead;
    std::memcpy(r.name, head + 4, 4);
    if (!CheckChunkName()) return false;
    r.crc = static_cast<uint32_t>(crc32(0, r.name, 4));
    r.chunkLeft = n;
    *length = n;
    return true;
}

bool GuiPngConvert::CrcRead(uint8_t* buffer, uint32_t n) {
    ReadState& r = *mpRead;
    if (n > r.chunkLeft || ConsumeImageInput(buffer, n) != n) return false;
    r.crc = static_cast<uint32_t>(crc32(r.crc, buffer, n));
    r.chunkLeft -= n;
    return true;
}

bool GuiPngConvert::CrcFinish(uint32_t rest, bool* match) {
    ReadState& r = *mpRead;
    while (rest > 0) {
        const uint32_t n = rest < ReadState::kInputBlock ? rest : ReadState::kInputBlock;
        if (!CrcRead(r.in.data(), n)) return false;
        rest -= n;
    }
    uint8_t stored[4];
    if (ConsumeImageInput(stored, 4) != 4) return false;
    *match = GuiPngGetUint32(stored) == r.crc;
    return true;
}

void GuiPngConvert::CrcError() {
    pm_message("CRC error");
}

bool GuiPngConvert::ReadPngHeader() {
    ReadState& r = *mpRead;
    for (;;) {
        uint32_t length = 0;
        if (!ReadChunkHeader(&length)) return false;
        bool ok = true;
        if (NameIs(r.name, "IHDR")) {
            ok = HandleIHDR(length);
        } else if (NameIs(r.name, "PLTE")) {
            ok = HandlePLTE(length);
        } else if (NameIs(r.name, "tRNS")) {
            ok = HandleTRNS(length);
        } else if (NameIs(r.name, "IEND")) {
            return false; // no image data
        } else if (NameIs(r.name, "IDAT")) {
            if (!r.ihdr || (r.colourType == 3 && !r.plte)) return false;
            r.idat = true;
            return true; // r.chunkLeft holds the first part of the image data
        } else {
            ok = HandleUnknown(length);
        }
        if (!ok) return false;
    }
}

bool GuiPngConvert::HandleIHDR(uint32_t length) {
    ReadState& r = *mpRead;
    if (r.ihdr || length != 13) return false;
    uint8_t h[13];
    bool match = false;
    if (!CrcRead(h, 13) || !CrcFinish(0, &match)) return false;
    if (!match) CrcError(); // a critical chunk is used all the same
    r.width = GuiPngGetUint32(h);
    r.height = GuiPngGetUint32(h + 4);
    r.depth = h[8];
    r.colourType = h[9];
    r.interlace = h[12];
    const uint8_t d = r.depth, t = r.colourType;
    if (r.width == 0 || r.height == 0 || r.width > kMaxSide || r.height > kMaxSide) return false;
    if (!(d == 1 || d == 2 || d == 4 || d == 8 || d == 16)) return false;
    if (!(t == 0 || t == 2 || t == 3 || t == 4 || t == 6)) return false;
    if (t == 3 && d > 8) return false;
    if ((t == 2 || t == 4 || t == 6) && d < 8) return false;
    if (r.interlace > 1 || h[10] != 0 || h[11] != 0) return false;
    r.ihdr = true;

    static constexpr uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    r.channels = kChannels[t];
    r.bitsPerPixel = static_cast<uint32_t>(r.channels) * d;
    r.rowBytes = (static_cast<uint64_t>(r.bitsPerPixel) * r.width + 7) / 8;
    if (t == 0 || t == 4) {
        // Grey indices into a ramp over the sample range.
        SetGreyMode(true);
        const unsigned levels = d < 8 ? (1u << d) : 256u;
        for (unsigned i = 0; i < levels; ++i) {
            const auto v = static_cast<uint8_t>(i * 255 / (levels - 1));
            SetOwnPalette(i, v, v, v);
        }
    }
    switch (t) {
    case 0:
        SetInternalBitsPix(d < 8 ? d : 8, 0);
        break;
    case 2:
        SetInternalBitsPix(24, 0);
        break;
    case 3:
        SetInternalBitsPix(d, 0);
        break;
    case 4:
        SetInternalBitsPix(8, 1);
        break;
    default:
        SetInternalBitsPix(24, 1);
        break;
    }
    return true;
}

bool GuiPngConvert::HandlePLTE(uint32_t length) {
    ReadState& r = *mpRead;
    if (!r.ihdr || r.plte) return false;
    bool match = false;
    if (r.colourType != 3) return CrcFinish(length, &match); // a suggestion only
    if (length > 768 || length % 3 != 0) return false;
    uint8_t rgb[768];
    if (!CrcRead(rgb, length) || !CrcFinish(0, &match)) return false;
    if (!match) CrcError();
    muOwnColors = 0;
    for (uint32_t i = 0; i < length / 3; ++i) SetOwnPalette(i, rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    muOwnColors = length / 3;
    r.plte = true;
    if (r.trnsCount > muOwnColors) r.trnsCount = muOwnColors;
    return true;
}

bool GuiPngConvert::HandleTRNS(uint32_t length) {
    ReadState& r = *mpRead;
    if (!r.ihdr) return false;
    bool match = false;
    const uint8_t t = r.colourType;
    bool take = !r.trns && length <= 256;
    if (t == 3)
        take = take && length != 0 && !(r.plte && length > muOwnColors);
    else if (t == 0)
        take = take && length == 2;
    else if (t == 2)
        take = take && length == 6;
    else
        take = false;
    if (!take) return CrcFinish(length, &match);
    uint8_t v[256];
    if (!CrcRead(v, length) || !CrcFinish(0, &match)) return false;
    if (!match) {
        CrcError(); // an ancillary chunk's values are not trusted
        return true;
    }
    r.trns = true;
    if (t == 3) {
        std::memcpy(r.trnsAlpha, v, length);
        r.trnsCount = length;
        // The first fully transparent index; partial alpha is not used.
        for (uint32_t i = 0; i < length; ++i) {
            if (v[i] == 0) {
                SetTransColor(static_cast<unsigned char>(i));
                break;
            }
        }
        return true;
    }
    // One sample per channel: its low byte, or its high byte for 16-bit images; grey samples of
    // depths 1, 2, 4 are scaled to the ramp the pixels are read through.
    auto sample = [&](int i) -> long {
        const uint16_t s = GuiPngGetUint16(v + 2 * i);
        if (r.depth == 16) return s >> 8;
        if (r.depth < 8) {
            const unsigned max = (1u << r.depth) - 1;
            return static_cast<long>((s & max) * 255 / max);
        }
        return s & 0xFF;
    };
    if (t == 0)
        SetTransColor(GuiPixel(sample(0), sample(0), sample(0)));
    else
        SetTransColor(GuiPixel(sample(0), sample(1), sample(2)));
    return true;
}

bool GuiPngConvert::HandleUnknown(uint32_t length) {
    if (!(mpRead->name[0] & 0x20)) return false; // a critical chunk this decoder does not know
    bool match = false;
    if (!CrcFinish(length, &match)) return false;
    if (!match) CrcError();
    return true;
}
