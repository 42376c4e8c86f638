// The image converter: the common base of the image decoders (the PNG decoder, guipngconvert.h).
// It owns the input buffer the decoder reads from, the target palette and output depth, the
// conversion of decoded pixels into the output format (packed palette indices, 3-3-2 colour,
// 16-bit 5-6-5 or 5-5-5, 24-bit), colour matching, Floyd-Steinberg dithering, transparency,
// resizing, RLE compression, rotation and the list of produced bitmaps.
//
// Output forms of a row (leftmost pixel in the high bits of packed bytes):
// - 1, 2, 4 bits: packed indices into the system palette (best match);
// - 8 bits: an index into the system palette, or 3-3-2 colour without one;
// - 16 bits: 5-6-5 (5-5-5 with MODE_555), bytes exchanged with MODE_SWAP16; with alpha a second
//   16-bit word holding the alpha;
// - 24 bits: red, green, blue bytes (MODE_RGB, else blue, green, red); with alpha output one native
//   32-bit word 0xRRGGBBAA per pixel and bitmap flag 0x80, as the device screen reads it.
// Transparent pixels get the transparent value: 255 for indices, the 3-3-2 code of the
// transparent colour without a palette, 1 for deeper outputs (bitmap flag 0x10).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "gui/core/guibitmap.h"

struct GuiPixel {
    long red = 0;
    long green = 0;
    long blue = 0;
    uint8_t alpha = 0;

    GuiPixel() = default;
    GuiPixel(long r, long g, long b) : red(r), green(g), blue(b) {}
    // Colour only: the alpha is not compared.
    bool operator==(const GuiPixel& o) const { return red == o.red && green == o.green && blue == o.blue; }
    bool operator!=(const GuiPixel& o) const { return !(*this == o); }
};

class GuiImageConvert {
public:
    // Mode bits.
    enum : unsigned {
        MODE_DITHER = 0x01,
        MODE_REMAP = 0x02,
        MODE_RGB = 0x04,
        MODE_SRC_ALPHA = 0x08,
        MODE_TRANS_COLOR = 0x10,
        MODE_TRANS_INDEX = 0x20,
        MODE_555 = 0x40,
        MODE_RESIZE = 0x80,
        MODE_SWAP16 = 0x100,
        MODE_TRANSPARENCY = MODE_SRC_ALPHA | MODE_TRANS_COLOR | MODE_TRANS_INDEX,
    };
    // State bits reported to the status callback.
    enum : unsigned short { STATE_ERROR = 2, STATE_HEADER = 4, STATE_DONE = 48 };
    // The most bytes one image (or one of its work buffers) may take: larger images are refused as
    // "Out Of Memory" instead of exhausting the device.
    static constexpr uint64_t MAX_IMAGE_BYTES = 32u * 1024u * 1024u;

    using IdleCallback = int (*)(unsigned short id, unsigned short state, GuiImageConvert* converter);

    explicit GuiImageConvert(unsigned int id);
    virtual ~GuiImageConvert();
    GuiImageConvert(const GuiImageConvert&) = delete;
    GuiImageConvert& operator=(const GuiImageConvert&) = delete;

    // Decodes one image from the input buffer; 1 on success, 0 on failure.
    virtual int ReadImage(int) = 0;
    virtual int RemapOneBitmap(unsigned int n);
    virtual int DitherOneBitmap(unsigned int n);

    void DestroyImages();

    // Input.
    void SetInputBuffer(unsigned char* data, unsigned long length);
    // Copies up to n bytes from the read position (fewer at the end) and advances; 0 without input.
    unsigned long ConsumeImageInput(unsigned char* buffer, unsigned long n);

    // Palette and depths. The output depth follows the palette's colour count: 2 -> 1 bit, 4 -> 2,
    // 16 -> 4, 650 -> 16, 1600 -> 24, any other -> 8.
    void SetSystemPalette(unsigned char* palette, unsigned int count, int = 0);
    void SetOutputColorDepth(unsigned int bits);
    void SetInternalBitsPix(unsigned int bits, int hasAlpha);
    void SetInputStride(unsigned int width);
    void SetOutputStride(unsigned int width);
    void SetTransColor(GuiPixel colour);
    void SetTransColor(unsigned char index);
    void SetTargetSize(int width, int height) {
        miTargetWidth = width;
        miTargetHeight = height;
    }
    unsigned int Mode() const { return muMode; }
    void SetMode(unsigned int mode) { muMode = mode; }
    // Images with an alpha channel keep it (alpha output) instead of turning it into transparency.
    void SetAlphaOutput(bool on) { mbAlphaOutput = on; }
    void SetGreyMode(bool on) { mbGrey = on; }
    unsigned int OutputDepth() const { return muOutputDepth; }
    unsigned int InternalDepth() const { return muInternalDepth; }

    // Status.
    void SetIdleCallback(IdleCallback callback) { mpCallback = callback; }
    void SendState(unsigned short bits);
    void pm_error(const char* text);
    void pm_message(const char* text);
    const char* ErrorText() const { return mErrorText; }

    // Results.
    GuiBitmap* GetBitmapPointer(unsigned int n) const;
    unsigned long GetDataSize(unsigned int n) const;
    unsigned int ImageCount() const { return static_cast<unsigned int>(mImages.size()); }
    unsigned int ConvertedCount() const { return muConverted; }
    static int GetImageType(const unsigned char* header);
    static unsigned long GetStride(unsigned long width, unsigned int bits, int hasAlpha);
    GuiPixel GetULCColor();

    // Whole-image steps over the list.
    int RemapBitmap();
    int DitherBitmap();
    int RleEncode(int force);
    void RotateImages(int angle, int mirror, int flip);

    // Colour matching: the index of the nearest system palette entry (0 without a palette).
    int LookupBestColor(const GuiPixel& pixel);

    // Row steps, rows in the internal form in, the output form out.
    int InitDither(unsigned int width);
    void DitherBitmapRow(const uint8_t* in, uint8_t* out, unsigned int width);
    void EndDither();
    void RemapBitmapRow(const uint8_t* in, uint8_t* out, unsigned int width);
    void EndRemapping(GuiBitmap* bitmap);
    void EndAllRemapping();
    // Nearest-neighbour resampling of one internal row of `width` pixels to the target width.
    void ResizeBitmapRow(const uint8_t* in, unsigned int width, uint8_t* out);

    // A new zero-filled bitmap of `size` data bytes in the internal depth, appended to the list;
    // null when it cannot be had (or is larger than MAX_IMAGE_BYTES).
    GuiBitmap* AddNewBitmapToList(uint64_t size);

    // The pixel read and write of the current internal and output formats.
    GuiPixel ReadPixel(const uint8_t* row, unsigned int x) const;
    uint32_t GetRawPix(const uint8_t* row, unsigned int x) const;
    void WritePixel(uint8_t* row, unsigned int x, const GuiPixel& pixel);
    void WriteTrans(uint8_t* row, unsigned int x);

protected:
    // Packed or whole-byte raw pixels of `bits` per pixel (alpha forms counted in).
    static uint32_t GetPix(const uint8_t* row, unsigned int x, unsigned int bytes, unsigned int bits);
    static void PutPix(uint8_t* row, unsigned int x, unsigned int bytes, unsigned int bits, uint32_t value);
    // Bytes of one pixel (0 for packed depths) of a depth with or without alpha.
    static unsigned int PixelBytes(unsigned int bits, bool alpha);
    // The transparent value written for the current output.
    uint32_t TransparentValue() const;
    bool AlphaOut() const { return mbAlphaOutput && (muMode & MODE_SRC_ALPHA); }
    void SetImageDataSize(unsigned int n, unsigned long size);
    // Takes the last bitmap off the list and frees it (a decode that failed half-way).
    void DropLastImage();
    // Sets the converter's own palette (grey ramps and PLTE entries).
    void SetOwnPalette(unsigned int index, uint8_t red, uint8_t green, uint8_t blue);

    // The converter's own palette (from the image) and its colour count.
    unsigned char mOwnPalette[256][3]{};
    unsigned int muOwnColors = 0;
    unsigned char* mpSystemPalette = nullptr;
    unsigned int muSystemColors = 0;
    unsigned int muOutputDepth = 8;
    unsigned int muInternalDepth = 8;
    bool mbInternalAlpha = false;
    int miTargetWidth = -1;
    int miTargetHeight = -1;
    unsigned long mulInputStride = 0;
    unsigned long mulOutputStride = 0;
    unsigned int muConverted = 0;
    unsigned short muState = 0;
    unsigned int muMode = 0;
    unsigned short muId;
    char mErrorText[64]{};
    GuiPixel mTransColor{};
    uint8_t muTransIndex = 0;
    GuiPixel mLastMatch{};
    bool mbDithering = false;
    bool mbGrey = false;
    bool mbAlphaOutput = false;

private:
    bool IsTransparentPixel(const uint8_t* row, unsigned int x, const GuiPixel& p) const;
    int RemapOrDither(unsigned int n, bool dither);
    void DitherPixel(const uint8_t* in, uint8_t* out, unsigned int x, int step);

    std::vector<std::pair<GuiBitmap*, unsigned long>> mImages;
    IdleCallback mpCallback = nullptr;
    // Dither error rows (red, green, blue; current and next), width + 2 each.
    std::vector<long> mDither[6];
    unsigned int muDitherWidth = 0;
    bool mbDitherBackward = false;
    unsigned char* mpInput = nullptr;
    unsigned long mulInputPos = 0;
    unsigned long mulInputLength = 0;
};
