// The PNG decoder and the image converter: the conformance images against an independent decoder
// (netpbm's pngtopam), interlaced and split twins drawn into the frame buffer, the refusal of
// damaged input, tRNS transparency, packed depths drawn by their depth, and the converter's
// golden facts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "gui/image/guipngconvert.h"
#include "guiharness.h"
#include "imagetools.h"
#include "platform/board/display_hw.h"
#include "testsupport.h"

using guitest::Frame;
using guitest::Harness;
using guitest::Probe;

namespace {

// ---- PNG files made here -----------------------------------------------------------------------

std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const char* name, const std::string& data, bool goodCrc = true) {
    std::string body = std::string(name, 4) + data;
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
    return Be32(static_cast<uint32_t>(data.size())) + body + Be32(goodCrc ? crc : ~crc);
}

std::string Ihdr(uint32_t w, uint32_t h, int depth, int type, int interlace = 0) {
    return Chunk("IHDR", Be32(w) + Be32(h) + std::string{char(depth), char(type), 0, 0, char(interlace)});
}

std::string Deflate(const std::string& raw) {
    uLongf n = compressBound(raw.size());
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
              raw.size(), 9);
    out.resize(n);
    return out;
}

const std::string kSignature = "\x89PNG\r\n\x1a\n";

std::string Png(const std::vector<std::string>& chunks) {
    std::string out = kSignature;
    for (const std::string& c : chunks) out += c;
    return out + Chunk("IEND", "");
}

uint8_t PaethOf(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
}

// One row filtered with filter type f against the previous row (bpp bytes per pixel).
std::string Filter(int f, const std::string& row, const std::string& prev, size_t bpp) {
    std::string out(1, char(f));
    for (size_t i = 0; i < row.size(); ++i) {
        const int x = uint8_t(row[i]), a = i >= bpp ? uint8_t(row[i - bpp]) : 0, b = uint8_t(prev[i]),
                  c = i >= bpp ? uint8_t(prev[i - bpp]) : 0;
        const int pred = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 ? PaethOf(a, b, c) : 0;
        out += char(uint8_t(x - pred));
    }
    return out;
}

// The image data of 8-bit RGB pixels (row-major), plain or in the seven Adam7 passes; the rows
// take the filter types in turn.
std::string RgbData(const std::vector<uint32_t>& px, int w, int h, bool adam7,
                    const std::vector<int>& filters) {
    static const int kPass[7][4] = {{0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4},
                                    {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1}};
    std::string raw;
    size_t n = 0;
    for (int p = 0; p < (adam7 ? 7 : 1); ++p) {
        const int* a = adam7 ? kPass[p] : kPass[6];
        const int y0 = adam7 ? a[0] : 0, dy = adam7 ? a[1] : 1, x0 = adam7 ? a[2] : 0, dx = adam7 ? a[3] : 1;
        std::string prev;
        for (int y = y0; y < h; y += dy) {
            std::string row;
            for (int x = x0; x < w; x += dx)
                row += std::string{char(px[y * w + x] >> 16), char(px[y * w + x] >> 8), char(px[y * w + x])};
            if (row.empty()) break;
            if (prev.empty()) prev.assign(row.size(), '\0');
            raw += Filter(filters[n++ % filters.size()], row, prev, 3);
            prev = row;
        }
    }
    return Deflate(raw);
}

// ---- decoding ----------------------------------------------------------------------------------

struct Decoded {
    int ok = 0;
    std::string error;
    GuiBitmap bitmap{};
    std::vector<uint8_t> data;
};

// The display's set-up: 24-bit output, no remapping, alpha kept.
Decoded Decode(const std::string& png, unsigned mode = 0, unsigned paletteCount = 1600,
               unsigned char* palette = nullptr) {
    GuiPngConvert c(0);
    c.SetAlphaOutput(true);
    c.SetSystemPalette(palette, paletteCount);
    c.SetMode(mode);
    std::vector<uint8_t> in(png.begin(), png.end());
    c.SetInputBuffer(in.data(), in.size());
    Decoded d;
    d.ok = c.ReadImage(1);
    d.error = c.ErrorText();
    if (GuiBitmap* b = c.GetBitmapPointer(0)) {
        d.bitmap = *b;
        d.data.assign(b->data, b->data + c.GetDataSize(0));
        d.bitmap.data = d.data.data();
    }
    return d;
}

// RGBA of pixel (x, y) of a decoded 24-bit bitmap (alpha 255 without an alpha channel).
uint32_t Rgba(const Decoded& d, int x, int y) {
    const GuiBitmap& b = d.bitmap;
    if (b.flags & GUI_BMP_ALPHA) {
        uint32_t w;
        std::memcpy(&w, d.data.data() + 4 * (size_t(y) * b.width + x), 4);
        return w;
    }
    const uint8_t* p = d.data.data() + 3 * (size_t(y) * b.width + x);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | 0xFF;
}

uint32_t& Fb(int x, int y) {
    return displayhw_frameBuffer()[y * DISPLAY_FB_WIDTH + x];
}

std::vector<uint32_t> DrawnWords(Probe* canvas, GuiBitmap* b, int x0, int y0, int w, int rows) {
    for (int y = y0; y < y0 + rows; ++y)
        for (int x = x0; x < x0 + w; ++x) Fb(x, y) = 0x123456;
    {
        Frame f(canvas, MakeGuiRect(0, 0, 1023, 479));
        GuiThing::mpScreen->Bitmap(canvas, GuiPoint{int16_t(x0), int16_t(y0)}, b, 0);
    }
    std::vector<uint32_t> out;
    for (int y = y0; y < y0 + rows; ++y)
        for (int x = x0; x < x0 + w; ++x) out.push_back(Fb(x, y));
    return out;
}

class PngScreen : public ::testing::Test {
protected:
    void SetUp() override {
        canvas = new Probe(MakeGuiRect(0, 0, 1023, 479));
        h.root().Add(canvas, 0);
    }
    Harness h;
    Probe* canvas = nullptr;
};

const std::vector<uint32_t> k3x2 = {0xFF0000, 0x00FF00, 0x0000FF, 0x808080, 0xFFFF00, 0x102030};

} // namespace

TEST(PngConformance, SuiteImagesDecodeToNetpbmsPixels) {
    if (testsupport::pngtopamPath().empty()) GTEST_SKIP() << "netpbm is not installed";
    const char* files[] = {"basn0g01", "basn0g02", "basn0g04", "basn0g08", "basn0g16",
                           "basn2c08", "basn2c16", "basn3p01", "basn3p02", "basn3p04",
                           "basn3p08", "basn4a08", "basn4a16", "basn6a08", "basn6a16"};
    for (const char* name : files) {
        SCOPED_TRACE(name);
        const std::string path = testsupport::testdataPath(std::string("png/") + name + ".png");
        int w = 0, h = 0;
        std::vector<uint32_t> ref;
        ASSERT_TRUE(testsupport::netpbmDecode(path, &w, &h, &ref));
        const Decoded d = Decode(testsupport::readFile(path));
        ASSERT_EQ(d.ok, 1);
        ASSERT_EQ(d.bitmap.width, w);
        ASSERT_EQ(d.bitmap.height, h);
        const bool alpha = name[4] == '4' || name[4] == '6';
        EXPECT_EQ(d.bitmap.bitsPerPixel, 24);
        EXPECT_EQ((d.bitmap.flags & GUI_BMP_ALPHA) != 0, alpha);
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) wrong += Rgba(d, x, y) != ref[size_t(y) * w + x];
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(PngScreen, InterlacedAndSplitTwinsGiveTheSameFrameWords) {
    const std::string plain = RgbData(k3x2, 3, 2, false, {1, 4});
    std::vector<std::string> variants = {
        Png({Ihdr(3, 2, 8, 2), Chunk("IDAT", plain)}),
        Png({Ihdr(3, 2, 8, 2, 1), Chunk("IDAT", RgbData(k3x2, 3, 2, true, {0, 2, 3}))}),
    };
    // Every split of the data into two chunks, and one chunk per byte with empty ones between.
    for (size_t cut = 0; cut <= plain.size(); ++cut)
        variants.push_back(
            Png({Ihdr(3, 2, 8, 2), Chunk("IDAT", plain.substr(0, cut)), Chunk("IDAT", plain.substr(cut))}));
    std::vector<std::string> bytes = {Ihdr(3, 2, 8, 2)};
    for (char c : plain) bytes.insert(bytes.end(), {Chunk("IDAT", std::string(1, c)), Chunk("IDAT", "")});
    variants.push_back(Png(bytes));
    for (size_t i = 0; i < variants.size(); ++i) {
        SCOPED_TRACE(i);
        Decoded d = Decode(variants[i]);
        ASSERT_EQ(d.ok, 1);
        EXPECT_EQ(DrawnWords(canvas, &d.bitmap, 10, 10, 3, 2), k3x2);
    }
}

TEST(PngRefusal, DamagedInputFailsCleanlyAndTolerableFaultsPass) {
    const std::string rows = Deflate(std::string("\0\x01\x02\x03\0\x04\x05\x06", 8)); // 1 x 2 RGB
    const std::string idat = Chunk("IDAT", rows);
    const std::string palette = Chunk("PLTE", std::string(9, '\x10'));
    std::string badSig = Png({Ihdr(1, 2, 8, 2), idat});
    badSig[3] = 'H';
    std::string badFilter =
        Png({Ihdr(1, 2, 8, 2), Chunk("IDAT", Deflate(std::string("\x05\x01\x02\x03\0\x04\x05\x06", 8)))});
    const std::string good = Png({Ihdr(1, 2, 8, 2), idat});
    const std::string bigTrns = Png({Ihdr(1, 2, 8, 3), palette, Chunk("tRNS", std::string(300, '\0')),
                                     Chunk("IDAT", Deflate(std::string("\0\x01\0\x02", 4)))});
    struct Case {
        const char* what;
        std::string png;
        int ok;
        const char* error;
    } cases[] = {
        {"intact", good, 1, ""},
        {"signature", badSig, 0, ""},
        {"empty input", "", 0, ""},
        {"signature only", kSignature, 0, ""},
        {"cut in the data", good.substr(0, good.size() - 20), 0, ""},
        {"IHDR of 14 bytes", Png({Chunk("IHDR", std::string(14, '\x01')), idat}), 0, ""},
        {"width 0", Png({Ihdr(0, 2, 8, 2), idat}), 0, ""},
        {"width 65536", Png({Ihdr(65536, 2, 8, 2), idat}), 0, ""},
        {"colour type 1", Png({Ihdr(1, 2, 8, 1), idat}), 0, ""},
        {"palette of depth 16", Png({Ihdr(1, 2, 16, 3), palette, idat}), 0, ""},
        {"palette image without PLTE", Png({Ihdr(1, 2, 8, 3), idat}), 0, ""},
        {"PLTE of 769 bytes", Png({Ihdr(1, 2, 8, 3), Chunk("PLTE", std::string(769, 'x')), idat}), 0, ""},
        {"PLTE of 10 bytes", Png({Ihdr(1, 2, 8, 3), Chunk("PLTE", std::string(10, 'x')), idat}), 0, ""},
        {"PLTE in an RGB image", Png({Ihdr(1, 2, 8, 2), Chunk("PLTE", std::string(10, 'x')), idat}), 1, ""},
        {"unknown ancillary chunk", Png({Ihdr(1, 2, 8, 2), Chunk("tEXt", "a\0b"), idat}), 1, ""},
        {"unknown critical chunk", Png({Ihdr(1, 2, 8, 2), Chunk("ABCD", "x"), idat}), 0, ""},
        {"IEND before the data", Png({Ihdr(1, 2, 8, 2), Chunk("IEND", ""), idat}), 0, ""},
        {"filter type 5", badFilter, 0, ""},
        {"other chunk inside the data",
         Png({Ihdr(1, 2, 8, 2), Chunk("IDAT", rows.substr(0, 2)), Chunk("tEXt", "x"),
              Chunk("IDAT", rows.substr(2))}),
         0, ""},
        {"critical CRC damaged", Png({Ihdr(1, 2, 8, 2), Chunk("IDAT", rows, false)}), 1, ""},
        {"tRNS over 256 bytes", bigTrns, 1, ""},
        {"65535 x 65535", Png({Ihdr(65535, 65535, 8, 2), idat}), 0, "Out Of Memory"},
        {"interlaced with dithering", Png({Ihdr(1, 2, 8, 2, 1), idat}), 0, "Unsupported Image Type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool dither = std::string(c.what) == "interlaced with dithering";
        const Decoded d = Decode(c.png, dither ? unsigned(GuiImageConvert::MODE_DITHER) : 0u);
        EXPECT_EQ(d.ok, c.ok);
        EXPECT_EQ(d.data.empty(), c.ok == 0) << "a failed image leaves no bitmap";
        if (*c.error) {
            EXPECT_EQ(d.error, c.error);
        }
    }
    // The skipped tRNS made nothing transparent.
    EXPECT_FALSE(Decode(bigTrns).bitmap.flags & GUI_BMP_TRANSPARENT);
}

TEST_F(PngScreen, TrnsColoursAndIndicesAreNotDrawn) {
    const uint32_t bg = 0x123456;
    // Palette image, indices 0..3, index 3 the first with alpha 0 (index 1 only half transparent).
    const std::string pal = Chunk("PLTE", std::string("\xFF\0\0\0\xFF\0\0\0\xFF\x80\x80\x80", 12));
    Decoded p = Decode(Png({Ihdr(4, 1, 8, 3), pal, Chunk("tRNS", std::string("\xFF\x80\xFF\0", 4)),
                            Chunk("IDAT", Deflate(std::string("\0\0\1\2\3", 5)))}));
    ASSERT_EQ(p.ok, 1);
    EXPECT_TRUE(p.bitmap.flags & GUI_BMP_TRANSPARENT);
    EXPECT_EQ(DrawnWords(canvas, &p.bitmap, 10, 10, 4, 1),
              (std::vector<uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, bg}));
    // RGB with pure green transparent.
    Decoded g = Decode(Png({Ihdr(2, 1, 8, 2), Chunk("tRNS", std::string("\0\0\0\xFF\0\0", 6)),
                            Chunk("IDAT", Deflate(std::string("\0\0\xFF\0\0\xFE\0", 7)))}));
    ASSERT_EQ(g.ok, 1);
    EXPECT_EQ(DrawnWords(canvas, &g.bitmap, 10, 10, 2, 1), (std::vector<uint32_t>{bg, 0x00FE00}));
    // Grey of depth 2: the sample 2 (drawn as 170) is transparent.
    Decoded k = Decode(Png({Ihdr(4, 1, 2, 0), Chunk("tRNS", std::string("\0\2", 2)),
                            Chunk("IDAT", Deflate(std::string("\0\x1B", 2)))})); // samples 0 1 2 3
    ASSERT_EQ(k.ok, 1);
    EXPECT_EQ(DrawnWords(canvas, &k.bitmap, 10, 10, 4, 1),
              (std::vector<uint32_t>{0x000000, 0x555555, bg, 0xFFFFFF}));
}

TEST_F(PngScreen, PackedAndSixteenBitOutputsAreDrawnByTheirDepth) {
    // Eight pixels of the device palette's first entries, as an 8-bit palette image.
    unsigned char device[16 * 3];
    std::memcpy(device, DefPalette256, sizeof device);
    for (unsigned colours : {2u, 4u, 16u, 650u}) {
        SCOPED_TRACE(colours);
        const unsigned used = colours == 650 ? 16 : colours;
        std::string plte, row("\0", 1);
        for (unsigned i = 0; i < used; ++i) plte += std::string(reinterpret_cast<char*>(device + 3 * i), 3);
        for (unsigned i = 0; i < 8; ++i) row += char((i * 5) % used);
        Decoded d = Decode(Png({Ihdr(8, 1, 8, 3), Chunk("PLTE", plte), Chunk("IDAT", Deflate(row))}),
                           GuiImageConvert::MODE_REMAP, colours, colours == 650 ? nullptr : device);
        ASSERT_EQ(d.ok, 1);
        EXPECT_EQ(d.bitmap.bitsPerPixel, colours == 2 ? 1 : colours == 4 ? 2 : colours == 16 ? 4 : 16);
        std::vector<uint32_t> want;
        for (unsigned i = 0; i < 8; ++i) {
            const uint8_t* c = device + 3 * ((i * 5) % used);
            uint32_t w = (uint32_t(c[0]) << 16) | (uint32_t(c[1]) << 8) | c[2];
            if (colours == 650) w &= 0xF8FCF8; // what 5-6-5 keeps
            want.push_back(w);
        }
        EXPECT_EQ(DrawnWords(canvas, &d.bitmap, 10, 10, 8, 1), want);
    }
}

TEST(ImageConvert, GoldenFacts) {
    GuiPngConvert c(0);
    const struct {
        unsigned count, depth;
    } depths[] = {{1600, 24}, {256, 8}, {650, 16}, {16, 4}, {4, 2}, {2, 1}, {7, 8}};
    for (auto d : depths) {
        c.SetSystemPalette(nullptr, d.count);
        EXPECT_EQ(c.OutputDepth(), d.depth) << d.count;
    }
    unsigned char device[256 * 3] = {};
    std::memcpy(device, DefPalette256, sizeof DefPalette256);
    c.SetSystemPalette(device, 256);
    EXPECT_EQ(c.LookupBestColor(GuiPixel(255, 0, 0)), 9); // before its twin in the colour cube
    EXPECT_EQ(c.LookupBestColor(GuiPixel(250, 5, 3)), 9); // the nearest
    EXPECT_EQ(c.LookupBestColor(GuiPixel(51, 0, 0)), 17);

    // 3-3-2 without a palette, 5-6-5 and its byte-swapped form.
    uint8_t out[4] = {};
    c.SetSystemPalette(nullptr, 256);
    c.WritePixel(out, 0, GuiPixel(255, 255, 255));
    c.WritePixel(out, 1, GuiPixel(0x20, 0x20, 0x40));
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x25);
    c.SetSystemPalette(nullptr, 650);
    c.WritePixel(out, 0, GuiPixel(255, 0, 0));
    EXPECT_EQ(out[0] | (out[1] << 8), 0xF800);
    c.SetMode(GuiImageConvert::MODE_SWAP16);
    c.WritePixel(out, 0, GuiPixel(255, 0, 0));
    EXPECT_EQ(out[0], 0xF8);
    EXPECT_EQ(out[1], 0x00);

    // 200 equal 8-bit pixels: a run of 128 and one of 72; the image stays raw unless forced.
    GuiPngConvert r(0);
    r.SetSystemPalette(device, 256);
    std::vector<uint8_t> png;
    const std::string text =
        Png({Ihdr(200, 1, 8, 0), Chunk("IDAT", Deflate(std::string(1, '\0') + std::string(200, '\x42')))});
    png.assign(text.begin(), text.end());
    r.SetInputBuffer(png.data(), png.size());
    ASSERT_EQ(r.ReadImage(1), 1);
    EXPECT_EQ(r.GetBitmapPointer(1), nullptr);
    ASSERT_EQ(r.RleEncode(0), 1);
    ASSERT_EQ(r.GetDataSize(0), 4u);
    const uint8_t* rle = r.GetBitmapPointer(0)->data;
    EXPECT_EQ(std::vector<uint8_t>(rle, rle + 4), (std::vector<uint8_t>{127, 0x42, 71, 0x42}));
    EXPECT_TRUE(r.GetBitmapPointer(0)->flags & GUI_BMP_RLE);

    // A turn of 0 degrees only mirrors and flips.
    GuiPngConvert t(0);
    t.SetSystemPalette(nullptr, 1600);
    const std::string two =
        Png({Ihdr(2, 2, 8, 2), Chunk("IDAT", Deflate(std::string("\0\1\1\1\2\2\2\0\3\3\3\4\4\4", 14)))});
    png.assign(two.begin(), two.end());
    t.SetInputBuffer(png.data(), png.size());
    ASSERT_EQ(t.ReadImage(1), 1);
    t.RotateImages(0, 1, 1);
    const GuiBitmap* m = t.GetBitmapPointer(0);
    EXPECT_EQ(std::vector<uint8_t>(m->data, m->data + 12),
              (std::vector<uint8_t>{4, 4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1}));
    EXPECT_FALSE(m->flags & GUI_BMP_TURNED);
    t.RotateImages(90, 0, 0);
    EXPECT_EQ(std::vector<uint8_t>(m->data, m->data + 12),
              (std::vector<uint8_t>{3, 3, 3, 1, 1, 1, 4, 4, 4, 2, 2, 2}));
    EXPECT_TRUE(m->flags & GUI_BMP_TURNED);
}
