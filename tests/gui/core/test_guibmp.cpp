#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "guiharness.h"
#include "platform/board/display_hw.h"
#include "testsupport.h"

using guitest::Harness;

namespace {

uint32_t Le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

} // namespace

TEST(GuiBmp, ThreeByTwoAreaIsSeventyEightBytes) {
    Harness h;
    uint32_t* fb = displayhw_frameBuffer();
    const uint32_t px[2][3] = {{0x010203, 0x040506, 0x070809}, {0x0A0B0C, 0x0D0E0F, 0x101112}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) fb[(20 + y) * DISPLAY_FB_WIDTH + 10 + x] = px[y][x];
    unsigned long size = 1234;
    GuiRect area = MakeGuiRect(10, 20, 12, 21);
    unsigned char* img = GuiThing::mpScreen->DumpWindowsBitmap(&size, area);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(size, 78u);
    EXPECT_EQ(img[0], 'B');
    EXPECT_EQ(img[1], 'M');
    EXPECT_EQ(Le32(img + 2), 78u);
    EXPECT_EQ(Le32(img + 6), 0u);
    EXPECT_EQ(Le32(img + 10), 54u);
    EXPECT_EQ(Le32(img + 14), 40u);
    EXPECT_EQ(Le32(img + 18), 3u);
    EXPECT_EQ(Le32(img + 22), 2u);
    EXPECT_EQ(Le16(img + 26), 1);
    EXPECT_EQ(Le16(img + 28), 32);
    EXPECT_EQ(Le32(img + 30), 0u);
    EXPECT_EQ(Le32(img + 34), 24u);
    for (int off = 38; off < 54; off += 4) EXPECT_EQ(Le32(img + off), 0u) << off;
    // Rows bottom-up, each pixel blue, green, red, 0.
    for (int r = 0; r < 2; ++r)
        for (int x = 0; x < 3; ++x) {
            const unsigned char* p = img + 54 + 12 * r + 4 * x;
            const uint32_t c = px[1 - r][x];
            EXPECT_EQ(p[0], c & 0xFF);
            EXPECT_EQ(p[1], (c >> 8) & 0xFF);
            EXPECT_EQ(p[2], (c >> 16) & 0xFF);
            EXPECT_EQ(p[3], 0);
        }
    delete[] img;
    GuiRect empty = MakeGuiRect(5, 5, 4, 5);
    EXPECT_EQ(GuiThing::mpScreen->DumpWindowsBitmap(&size, empty), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(GuiBmp, FullScreenImageReadsBackThroughAnIndependentReader) {
    const std::string python = MSD_PIL_PYTHON;
    if (python.empty()) GTEST_SKIP() << "python3-pil is not installed";
    Harness h;
    uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            fb[y * DISPLAY_FB_WIDTH + x] = ((x * 7) & 0xFF) << 16 | ((y * 3) & 0xFF) << 8 | ((x ^ y) & 0xFF);
    unsigned long size = 0;
    GuiRect area = MakeGuiRect(0, 0, 639, 479);
    unsigned char* img = GuiThing::mpScreen->DumpWindowsBitmap(&size, area);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(size, 1228854u);
    testsupport::TempDir dir;
    const std::string bmp = dir.file("screen.bmp"), raw = dir.file("screen.rgb");
    {
        FILE* f = std::fopen(bmp.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(img, 1, size, f), size);
        std::fclose(f);
    }
    delete[] img;
    // The expected pixels straight from the frame buffer, as red, green, blue bytes.
    {
        std::string rgb;
        rgb.reserve(640 * 480 * 3);
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) {
                const uint32_t c = fb[y * DISPLAY_FB_WIDTH + x];
                rgb.push_back(static_cast<char>(c >> 16));
                rgb.push_back(static_cast<char>(c >> 8));
                rgb.push_back(static_cast<char>(c));
            }
        testsupport::writeFile(raw, rgb);
    }
    const std::string script = "import sys\n"
                               "from PIL import Image\n"
                               "im = Image.open(sys.argv[1])\n"
                               "assert im.format == 'BMP', im.format\n"
                               "assert im.size == (640, 480), im.size\n"
                               "got = im.convert('RGB').tobytes()\n"
                               "want = open(sys.argv[2], 'rb').read()\n"
                               "sys.exit(0 if got == want else 3)\n";
    testsupport::writeFile(dir.file("check.py"), script);
    const std::string cmd = python + " " + dir.file("check.py") + " " + bmp + " " + raw;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}
