#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gui/core/guifonts.h"
#include "guiharness.h"
#include "platform/board/display_hw.h"

using guitest::Box;
using guitest::Frame;
using guitest::Harness;
using guitest::Painted;
using guitest::PixelSet;
using guitest::Probe;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}
GuiPoint P(int x, int y) {
    return GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
}

uint32_t& Fb(int x, int y) {
    return displayhw_frameBuffer()[y * DISPLAY_FB_WIDTH + x];
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> out(words.size() * 4);
    size_t i = 0;
    for (uint32_t w : words) std::memcpy(&out[4 * i++], &w, 4);
    return out;
}

// A 1-bit font: 'A' 2 wide, 'B' 3 wide, 'C' 2 wide, 3 rows.
//   A: #.   B: ###   C: .#
//      .#      ...      #.
//      ##      #.#      ##
const uint16_t kOffsets1[] = {0, 2, 5, 7};
const uint8_t kStrip1[] = {0xBA, 0x44, 0xEE};
// A second record of the chain: 'a'..'b', fixed width 4, 5 rows, all set.
const uint8_t kStripFixed[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
GuiFont MakeFixed() {
    GuiFont f{0, 5, 0, 5, 1, 'a', 'b', {nullptr}, nullptr, kStripFixed};
    f.charWidth = 4;
    return f;
}
const GuiFont kFixed = MakeFixed();
const GuiFont kFont1 = {GUI_FONT_VARIABLE, 3, 0, 3, 1, 'A', 'C', {kOffsets1}, &kFixed, kStrip1};
// An anti-aliased font: 'X' 3 wide, 1 row, coverage 15, 0, 8.
const uint16_t kOffsetsAA[] = {0, 3};
const uint8_t kStripAA[] = {0xF0, 0x80};
const GuiFont kFontAA = {
    GUI_FONT_ALIASED | GUI_FONT_VARIABLE, 1, 0, 1, 2, 'X', 'X', {kOffsetsAA}, nullptr, kStripAA};

class BitmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        canvas = new Probe(R(0, 0, 1023, 479));
        h.root().Add(canvas, 0);
    }
    void Draw(GuiBitmap* b, int x, int y) {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().Bitmap(canvas, P(x, y), b, 0);
    }
    GuiScreen& s() { return *GuiThing::mpScreen; }
    L24logi& dev() { return h.screen(); }
    Harness h;
    Probe* canvas = nullptr;
};

} // namespace

TEST_F(BitmapTest, PaletteEntriesAndChanges) {
    EXPECT_EQ(dev().PaletteWord(0), 0x000000u);
    EXPECT_EQ(dev().PaletteWord(1), 0xBF0000u);
    EXPECT_EQ(dev().PaletteWord(7), 0xC0C0C0u);
    EXPECT_EQ(dev().PaletteWord(9), 0xFF0000u);
    EXPECT_EQ(dev().PaletteWord(15), 0xFFFFFFu);
    EXPECT_EQ(dev().PaletteWord(137), 0x336699u);
    EXPECT_EQ(dev().PaletteWord(231), 0xFFFFFFu);
    EXPECT_EQ(dev().PaletteWord(232), 0x000000u);
    EXPECT_EQ(dev().PaletteWord(247), 0xFFFFFFu);
    const unsigned char rgb[6] = {1, 2, 3, 4, 5, 6};
    s().SetPalette(250, 2, rgb);
    EXPECT_EQ(dev().PaletteWord(250), 0x010203u);
    EXPECT_EQ(dev().PaletteWord(251), 0x040506u);
    s().SetPalette(255, 2, rgb); // the part past the table is ignored
    EXPECT_EQ(dev().PaletteWord(255), 0x010203u);
    unsigned long count = 0;
    EXPECT_EQ(s().GetPalette(&count), nullptr);
    EXPECT_EQ(count, 0xFFFFFFu);
}

TEST_F(BitmapTest, EightBitRawAndRleWithTransparency) {
    uint8_t raw[] = {9, 137, 255, 12};
    GuiBitmap b8{GUI_BMP_TRANSPARENT, 8, 4, 1, 255, raw};
    Fb(12, 10) = 0x777777;
    Draw(&b8, 10, 10);
    EXPECT_EQ(Fb(10, 10), 0xFF0000u);
    EXPECT_EQ(Fb(11, 10), 0x336699u);
    EXPECT_EQ(Fb(12, 10), 0x777777u); // transparent index
    EXPECT_EQ(Fb(13, 10), 0x0000FFu);
    b8.flags = 0;
    Draw(&b8, 10, 10);
    EXPECT_EQ(Fb(12, 10), dev().PaletteWord(255));

    // Runs: 255 repeated twice, literal (12, 255), 10 once; second row: literal 9, 9, 9, 9, 9.
    uint8_t rle[] = {0x01, 255, 0x81, 12, 255, 0x00, 10, 0x84, 9, 9, 9, 9, 9};
    GuiBitmap r8{GUI_BMP_RLE | GUI_BMP_TRANSPARENT, 8, 5, 2, 0, rle};
    for (int x = 20; x < 25; ++x) Fb(x, 10) = 0x777777;
    Draw(&r8, 20, 10);
    EXPECT_EQ(Fb(20, 10), 0x777777u);
    EXPECT_EQ(Fb(21, 10), 0x777777u);
    EXPECT_EQ(Fb(22, 10), 0x0000FFu);
    EXPECT_EQ(Fb(23, 10), 0x777777u);
    EXPECT_EQ(Fb(24, 10), 0x00FF00u);
    EXPECT_EQ(Painted(R(20, 11, 24, 11), 0xFF0000u), Box(20, 11, 24, 11));
}

TEST_F(BitmapTest, RleRowsAboveTheViewAreSkippedAndOverlongRunsCut) {
    // Row 0: 0x11 repeated 4 times (a run longer than the 2-pixel row); row 1: literal 0x22, 0x33.
    auto rle = Words({0x111111FF, 0x222222FF, 0x333333FF});
    std::vector<uint8_t> data;
    data.push_back(0x03);
    data.insert(data.end(), rle.begin(), rle.begin() + 4);
    data.push_back(0x81);
    data.insert(data.end(), rle.begin() + 4, rle.end());
    GuiBitmap b{GUI_BMP_RLE, 32, 2, 2, 0, data.data()};
    Draw(&b, 30, 30);
    EXPECT_EQ(Fb(30, 30), 0x111111u);
    EXPECT_EQ(Fb(31, 30), 0x111111u);
    EXPECT_EQ(Fb(32, 30), 0u); // cut at the row end
    EXPECT_EQ(Fb(30, 31), 0x222222u);
    EXPECT_EQ(Fb(31, 31), 0x333333u);
    // With the top row outside the thing's clip only the second row is drawn, decoded correctly.
    Harness::fill(0);
    canvas->mClipRect = R(0, 31, 1023, 479);
    Draw(&b, 30, 30);
    EXPECT_EQ(Fb(30, 30), 0u);
    EXPECT_EQ(Fb(30, 31), 0x222222u);
    EXPECT_EQ(Fb(31, 31), 0x333333u);
}

TEST_F(BitmapTest, TrueColourDepthsTransparencyAndAlpha) {
    uint8_t rgb[] = {0x11, 0x22, 0x33, 0, 0, 1};
    GuiBitmap b24{GUI_BMP_TRANSPARENT, 24, 2, 1, 0, rgb};
    Fb(41, 40) = 0x777777;
    Draw(&b24, 40, 40);
    EXPECT_EQ(Fb(40, 40), 0x112233u);
    EXPECT_EQ(Fb(41, 40), 0x777777u); // colour value 1 is transparent
    b24.flags = 0;
    Draw(&b24, 40, 40);
    EXPECT_EQ(Fb(41, 40), 1u);

    auto w32 = Words({0x00445566, 1});
    GuiBitmap b32{GUI_BMP_TRANSPARENT, 32, 2, 1, 1, w32.data()};
    Fb(51, 40) = 0x777777;
    Draw(&b32, 50, 40);
    EXPECT_EQ(Fb(50, 40), 0x445566u);
    EXPECT_EQ(Fb(51, 40), 0x777777u);

    auto alpha = Words({0x11223380, 0x4455667F, 0x778899FF});
    GuiBitmap ba{GUI_BMP_ALPHA, 32, 3, 1, 0, alpha.data()};
    Fb(61, 40) = 0x777777;
    Draw(&ba, 60, 40);
    EXPECT_EQ(Fb(60, 40), 0x112233u); // alpha 128: drawn, not blended
    EXPECT_EQ(Fb(61, 40), 0x777777u); // alpha 127: not drawn
    EXPECT_EQ(Fb(62, 40), 0x778899u);

    // RLE pixels without alpha are written as they are, with alpha blended.
    auto run = Words({0xAABBCCFF});
    std::vector<uint8_t> rle24 = {0x02};
    rle24.insert(rle24.end(), run.begin(), run.end());
    GuiBitmap r24{GUI_BMP_RLE, 24, 3, 1, 0, rle24.data()};
    Draw(&r24, 70, 40);
    EXPECT_EQ(Painted(R(69, 40, 73, 40), 0xAABBCCu), Box(70, 40, 72, 40));

    auto blend = Words({0xFF804080});
    std::vector<uint8_t> rleA = {0x01};
    rleA.insert(rleA.end(), blend.begin(), blend.end());
    GuiBitmap ra{GUI_BMP_RLE | GUI_BMP_ALPHA, 32, 2, 1, 0, rleA.data()};
    Fb(80, 40) = 0x000000;
    Fb(81, 40) = 0x0000FF;
    Draw(&ra, 80, 40);
    EXPECT_EQ(Fb(80, 40), 0x7F4020u);
    EXPECT_EQ(Fb(81, 40), 0x7F409Fu);
}

TEST_F(BitmapTest, DrawingIntoABitmapAndBack) {
    GuiBitmap* bmp = s().CreateBitmap(10, 10, 1);
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(bmp->flags, GUI_BMP_DRAWABLE | GUI_BMP_TRANSPARENT);
    EXPECT_EQ(bmp->bitsPerPixel, 32);
    EXPECT_EQ(bmp->transparentColor, 1u);
    const int nesting = giCriticalNesting;
    s().BeginDraw(canvas, bmp);
    EXPECT_TRUE(s().IsDrawingToBitmap());
    s().Rectangle(canvas, R(2, 2, 4, 4), GuiColor{0xFF0000, 0xFF0000, GUI_COLOR_FILL}, 0);
    s().Rectangle(canvas, R(8, 8, 20, 20), GuiColor{0x00FF00, 0x00FF00, GUI_COLOR_FILL}, 0); // clipped
    // Pixels are read from the bitmap, and nothing is read past its edges.
    EXPECT_EQ(s().GetPixel(3, 3), 0xFF0000u);
    EXPECT_EQ(s().GetPixel(10, 3), 0u);
    EXPECT_EQ(s().GetPixel(100, 100), 0u);
    s().EndDraw(bmp);
    EXPECT_EQ(giCriticalNesting, nesting);
    EXPECT_FALSE(s().IsDrawingToBitmap());
    EXPECT_EQ(s().GetBitmapPixel(3, 3, bmp), 0xFF0000u);
    EXPECT_EQ(s().GetBitmapPixel(9, 9, bmp), 0x00FF00u);
    EXPECT_EQ(s().GetBitmapPixel(0, 0, bmp), 1u);
    EXPECT_EQ(Fb(3, 3), 0u); // the screen was not touched
    // The screen's rows are back: the bitmap drawn on the screen shows only its painted pixels.
    Fb(100, 100) = 0x777777;
    Draw(bmp, 100, 100);
    EXPECT_EQ(Fb(100, 100), 0x777777u);
    EXPECT_EQ(Painted(R(100, 100, 109, 109), 0xFF0000u), Box(102, 102, 104, 104));
    s().DestroyBitmap(bmp);
    EXPECT_EQ(s().CreateBitmap(0, 5, 0), nullptr);
}

TEST_F(BitmapTest, BitmapFillTilesAndRestoresTheClip) {
    GuiBitmap* tile = s().CreateBitmap(40, 40, 1);
    s().PutBitmapPixel(0, 0, tile, 0x00FF00);
    const GuiRect clip = canvas->mClipRect;
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().BitmapFill(canvas, R(200, 100, 299, 149), tile);
    }
    EXPECT_EQ(canvas->mClipRect, clip);
    PixelSet marks = {{200, 100}, {240, 100}, {280, 100}, {200, 140}, {240, 140}, {280, 140}};
    EXPECT_EQ(Painted(R(150, 50, 350, 250), 0x00FF00u), marks);
    s().DestroyBitmap(tile);
}

TEST_F(BitmapTest, ResizeRepeatsPixelsAndReadsSourcesByTheirDepth) {
    uint8_t idx[] = {9, 10, 12, 15};
    GuiBitmap b8{0, 8, 2, 2, 0, idx};
    GuiBitmap* big = s().ResizeImage(&b8, 4, 4);
    ASSERT_NE(big, nullptr);
    const uint32_t colour[2][2] = {{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(s().GetBitmapPixel(x, y, big), colour[y / 2][x / 2]) << x << "," << y;
    s().DestroyBitmap(big);

    uint8_t rgb[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    GuiBitmap b24{0, 24, 2, 2, 0, rgb};
    GuiBitmap* small = s().ResizeImage(&b24, 1, 2);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(s().GetBitmapPixel(0, 0, small), 0x010203u);
    EXPECT_EQ(s().GetBitmapPixel(0, 1, small), 0x070809u);
    s().DestroyBitmap(small);
    EXPECT_EQ(s().ResizeImage(&b24, 0, 3), nullptr);
    uint8_t rle[] = {0x01, 9};
    GuiBitmap r8{GUI_BMP_RLE, 8, 2, 1, 0, rle};
    EXPECT_EQ(s().ResizeImage(&r8, 4, 4), nullptr); // not readable pixel by pixel
}

TEST_F(BitmapTest, RectMoveMovesPixelsUnlessSomethingIsInFront) {
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 20; ++x)
            Fb(x, y) = 0x010000u * static_cast<uint32_t>(x) + static_cast<uint32_t>(y);
    int rc = -1;
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        rc = s().RectMove(canvas, R(10, 10, 19, 19), R(0, 0, 100, 100), 30, 5);
    }
    EXPECT_EQ(rc, 1);
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 20; ++x) ASSERT_EQ(Fb(x + 30, y + 5), Fb(x, y));
    auto* front = new Probe(R(35, 0, 45, 30), 1);
    h.root().Add(front, 0);
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        rc = s().RectMove(canvas, R(10, 10, 19, 19), R(0, 0, 100, 100), 30, 5);
    }
    EXPECT_EQ(rc, 0); // the caller redraws instead
}

TEST_F(BitmapTest, TextMeasuring) {
    EXPECT_EQ(s().TextWidth("ABC", &kFont1, -1), 7);
    EXPECT_EQ(s().TextWidth("ABCA", &kFont1, 2), 5);
    EXPECT_EQ(s().TextWidth("Aa?", &kFont1, -1), 6); // '?' is in no record
    EXPECT_EQ(s().TextWidth("???", &kFont1, -1), 0);
    EXPECT_EQ(s().TextWidth(nullptr, &kFont1, -1), 0);
    EXPECT_EQ(s().TextWidth("A", nullptr, -1), 0);
    EXPECT_EQ(s().TextHeight("A", &kFont1), 5); // the tallest record of the chain
    EXPECT_EQ(s().TextHeight("A", nullptr), 0);
}

TEST_F(BitmapTest, OneBitGlyphsWithAndWithoutFillAndDoubled) {
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 40; ++x) Fb(x, y) = 0x777777;
    GuiColor plain{0xFF0000, 0x0000FF, 0};
    GuiColor filled{0xFF0000, 0x0000FF, GUI_COLOR_FILL};
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().DrawText(canvas, P(0, 0), "AB", plain, &kFont1, -1, 0);
        s().DrawText(canvas, P(10, 0), "AB", filled, &kFont1, -1, 0);
        s().DrawText(canvas, P(20, 0), "ABCABCABCA", filled, &kFont1, 3, 0); // three of ten
        s().DrawText(canvas, P(0, 5), "A", filled, &kFont1, -1, 1);
    }
    const char* glyphs[3] = {"#.###", ".#...", "###.#"};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool set = glyphs[y][x] == '#';
            EXPECT_EQ(Fb(x, y), set ? 0xFF0000u : 0x777777u) << x << "," << y;
            EXPECT_EQ(Fb(10 + x, y), set ? 0xFF0000u : 0x0000FFu) << x << "," << y;
        }
    EXPECT_EQ(Fb(26, 2), 0xFF0000u); // the third character, 'C'
    EXPECT_EQ(Fb(27, 2), 0x777777u); // nothing after it
    EXPECT_EQ(Fb(27, 0), 0x777777u);
    // Doubled: every glyph bit a 2 x 2 block.
    const char* big[3] = {"#.", ".#", "##"};
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(Fb(x, 5 + y), big[y / 2][x / 2] == '#' ? 0xFF0000u : 0x0000FFu) << x << "," << y;
    EXPECT_EQ(Fb(4, 5), 0x777777u);
}

TEST_F(BitmapTest, AntiAliasedCoverageBlendsBetweenForegroundAndBackground) {
    GuiColor c{0x102030, 0xF0E0D0, 0}; // anti-aliased glyphs write every pixel, fill or not
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().DrawText(canvas, P(50, 50), "X", c, &kFontAA, -1, 0);
    }
    EXPECT_EQ(Fb(50, 50), 0x102030u); // coverage 15: the foreground exactly
    EXPECT_EQ(Fb(51, 50), 0xF0E0D0u); // coverage 0: the background exactly
    EXPECT_EQ(Fb(52, 50), 0x727476u); // coverage 8: entry 7 of the blend table
}

TEST_F(BitmapTest, LibraryFontsHaveTheirRecordValuesAndGlyphs) {
    struct Expect {
        const GuiFont* font;
        int height;
        int bytesPerLine;
    } fonts[] = {{&SysFont, 16, 213}, {&MenuFont, 13, 163}};
    for (const auto& e : fonts) {
        const GuiFont& f = *e.font;
        EXPECT_EQ(f.type & GUI_FONT_VARIABLE, GUI_FONT_VARIABLE);
        EXPECT_EQ(f.height, e.height);
        EXPECT_EQ(f.ascent, e.height);
        EXPECT_EQ(f.descent, 0);
        EXPECT_EQ(f.bytesPerLine, e.bytesPerLine);
        EXPECT_EQ(f.firstChar, 0);
        EXPECT_EQ(f.lastChar, 255);
        EXPECT_EQ(f.next, nullptr);
        for (int c = 0; c < 256; ++c) ASSERT_LE(f.offsets[c], f.offsets[c + 1]);
        EXPECT_LE(f.offsets[256], e.bytesPerLine * 8);
        EXPECT_EQ(s().TextWidth("\x01\x1f", &f, -1), 0); // control characters take no room
        EXPECT_GT(s().TextWidth("M", &f, -1), s().TextWidth("i", &f, -1));
        EXPECT_EQ(s().TextHeight("x", &f), e.height);
        // Every printable character shows some ink, except the spaces.
        for (int c = 33; c < 256; ++c) {
            if (c >= 127 && c <= 160) continue;
            if (c == 173) continue; // soft hyphen
            GuiGlyph g;
            ASSERT_TRUE(GuiFindGlyph(&f, static_cast<unsigned char>(c), &g));
            int ink = 0;
            for (int y = 0; y < f.height; ++y)
                for (int x = 0; x < g.width; ++x) {
                    const int bit = g.offset + x;
                    ink += (f.data[y * f.bytesPerLine + bit / 8] >> (7 - bit % 8)) & 1;
                }
            EXPECT_GT(ink, 0) << "character " << c;
        }
    }
    // Drawn text stays within its measured box.
    const GuiColor c{0xFFFFFF, 0, 0};
    const char* text = "Lap 12 1:23.456";
    const int w = s().TextWidth(text, &SysFont, -1);
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        GuiColor cc = c;
        s().DrawText(canvas, P(100, 200), text, cc, &SysFont, -1, 0);
    }
    const PixelSet ink = Painted(R(90, 190, 400, 230), 0xFFFFFF);
    EXPECT_FALSE(ink.empty());
    for (auto [x, y] : ink) {
        EXPECT_GE(x, 100);
        EXPECT_LT(x, 100 + w);
        EXPECT_GE(y, 200);
        EXPECT_LT(y, 216);
    }
}
