// Drawing through the GUI screen against the memory operation that writes the same pixels:
// - a 640 x 480 fill against memset of the same frame-buffer rows,
// - a full-screen 24-bit bitmap against memcpy of the same rows of 32-bit words,
// - a full-screen 32-bit bitmap, plain and with alpha, against memcpy of the same rows,
// - a full-screen RLE bitmap (8-bit palette and 32-bit pixels) against memcpy of the decoded rows,
// - a screen full of text against memset of the same rows.
// Each runs side by side with its baseline in alternating blocks timed by the thread's CPU time and
// reports ratio_to_<baseline>, the median of the blocks' ratios (bench_seconds.h).
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_seconds.h"
#include "gui/core/guifonts.h"
#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"
#include "platform/board/display_hw.h"

namespace {

// The screen and one visible thing that owns the whole screen, as the GUI task has them.
struct Gui {
    Gui() {
        tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
        tBaseGuiTask = taskIdSelf();
        screen = CreateGuiScreen();
        GuiThing::mpScreen = screen;
        root = new GuiThing(MakeGuiRect(0, 0, 1023, 479), 0, GUI_BORDER_NONE);
        root->mwStatusFlags = GUI_ST_VISIBLE | GUI_ST_VIEWPORTS;
        GuiThing::mpPresentation = root;
        screen->GenerateViewportList(root);
    }
    GuiScreen* screen;
    GuiThing* root;
};

Gui& gui() {
    static Gui g;
    return g;
}

const GuiRect kVisible = MakeGuiRect(0, 0, 639, 479);

void Frame(const std::function<void()>& draw) {
    Gui& g = gui();
    g.screen->Invalidate(kVisible);
    g.screen->BeginDraw(g.root);
    draw();
    g.screen->EndDraw();
}

void MemsetRows() {
    uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < 480; ++y) std::memset(fb + y * DISPLAY_FB_WIDTH, 0x5A, 640 * 4);
    benchmark::ClobberMemory();
}

// The baseline of every bitmap: the same 640 x 480 words copied row by row into the frame buffer.
void MemcpyRows(const std::vector<uint32_t>& words) {
    uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < 480; ++y) std::memcpy(fb + y * DISPLAY_FB_WIDTH, &words[y * 640], 640 * 4);
    benchmark::ClobberMemory();
}

void BM_Fill640x480(benchmark::State& state) {
    Gui& g = gui();
    const GuiColor c{0x336699, 0x336699, GUI_COLOR_FILL};
    msdbench::SideBySide(state,
                         [&] {
                             Frame([&] { g.screen->Rectangle(g.root, kVisible, c, 0); });
                             benchmark::ClobberMemory();
                         },
                         {{"memset", MemsetRows}});
}
BENCHMARK(BM_Fill640x480);

// Draws `b` full screen side by side with memcpy of the same rows.
void BitmapAgainstMemcpy(benchmark::State& state, GuiBitmap& b) {
    Gui& g = gui();
    std::vector<uint32_t> words(640 * 480, 0x123456);
    msdbench::SideBySide(state,
                         [&] {
                             Frame([&] { g.screen->Bitmap(g.root, GuiPoint{0, 0}, &b, 0); });
                             benchmark::ClobberMemory();
                         },
                         {{"memcpy", [&] { MemcpyRows(words); }}});
}

void BM_Bitmap24FullScreen(benchmark::State& state) {
    std::vector<uint8_t> rgb(640 * 480 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 31);
    GuiBitmap b{0, 24, 640, 480, 0, rgb.data()};
    BitmapAgainstMemcpy(state, b);
}
BENCHMARK(BM_Bitmap24FullScreen);

// Arg: bitmap flags (0: frame-buffer words copied as they are; GUI_BMP_ALPHA: 0xRRGGBBAA words,
// every pixel opaque, so every one is written).
void BM_Bitmap32FullScreen(benchmark::State& state) {
    const auto flags = static_cast<uint8_t>(state.range(0));
    std::vector<uint32_t> words(640 * 480);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = flags & GUI_BMP_ALPHA ? (static_cast<uint32_t>(i * 2654435761u) << 8) | 0xFF
                                         : static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
    GuiBitmap b{flags, 32, 640, 480, 0, reinterpret_cast<uint8_t*>(words.data())};
    BitmapAgainstMemcpy(state, b);
}
BENCHMARK(BM_Bitmap32FullScreen)->Arg(0)->Arg(GUI_BMP_ALPHA);

// Arg: bits per pixel (8 or 32). Each row alternates a run of 24 equal pixels with 8 literal ones,
// as in the flat-coloured graphics of a dashboard.
void BM_RleFullScreen(benchmark::State& state) {
    const size_t pixelBytes = state.range(0) == 8 ? 1 : 4;
    std::vector<uint8_t> rle;
    // A palette index, or an opaque 0xRRGGBBAA word.
    auto pixel = [&](uint32_t v) {
        v = pixelBytes == 1 ? v % 248 : (v << 8) | 0xFF;
        for (size_t k = 0; k < pixelBytes; ++k) rle.push_back(static_cast<uint8_t>(v >> (8 * k)));
    };
    for (uint32_t y = 0; y < 480; ++y)
        for (uint32_t x = 0; x < 640; x += 32) {
            rle.push_back(23);
            pixel(y * 7 + x);
            rle.push_back(0x80 | 7);
            for (uint32_t i = 0; i < 8; ++i) pixel(x * 13 + i * 101);
        }
    GuiBitmap b{GUI_BMP_RLE, static_cast<uint8_t>(state.range(0)), 640, 480, 0, rle.data()};
    BitmapAgainstMemcpy(state, b);
}
BENCHMARK(BM_RleFullScreen)->Arg(8)->Arg(32);

void BM_TextFullScreen(benchmark::State& state) {
    Gui& g = gui();
    // 30 lines of 16 rows, each wider than the visible area.
    std::string line;
    for (int i = 0; line.size() < 120; ++i) line += "Lap " + std::to_string(i) + " 1:23.456 ";
    GuiColor c{0xFFFFFF, 0x000000, GUI_COLOR_FILL};
    msdbench::SideBySide(state,
                         [&] {
                             Frame([&] {
                                 for (int row = 0; row < 30; ++row)
                                     g.screen->DrawText(g.root, GuiPoint{0, static_cast<int16_t>(row * 16)},
                                                        line.c_str(), c, &SysFont, -1, 0);
                             });
                             benchmark::ClobberMemory();
                         },
                         {{"memset", MemsetRows}});
}
BENCHMARK(BM_TextFullScreen);

} // namespace

BENCHMARK_MAIN();
