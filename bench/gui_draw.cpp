// Drawing through the GUI screen against the memory operation that writes the same pixels:
// - a 640 x 480 fill against memset of the same frame-buffer rows,
// - a full-screen 24-bit bitmap against memcpy of the same rows of 32-bit words,
// - a screen full of text against memset of the same rows.
// Each benchmark reports ratio = its time / the baseline's time over the same iterations.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "gui/guifonts.h"
#include "gui/guilock.h"
#include "gui/guiscreen.h"
#include "gui/guithing.h"
#include "gui/l24logi.h"
#include "platform/display_hw.h"

namespace {

using Clock = std::chrono::steady_clock;

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

template <class F> double Seconds(benchmark::IterationCount n, F&& f) {
    const auto t0 = Clock::now();
    for (benchmark::IterationCount i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void MemsetRows() {
    uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < 480; ++y) std::memset(fb + y * DISPLAY_FB_WIDTH, 0x5A, 640 * 4);
    benchmark::ClobberMemory();
}

void Report(benchmark::State& state, double ours, double baseline, const char* against) {
    state.counters[std::string("ratio_to_") + against] = baseline > 0 ? ours / baseline : 0;
    state.SetBytesProcessed(state.iterations() * 640 * 480 * 4);
}

void BM_Fill640x480(benchmark::State& state) {
    Gui& g = gui();
    const GuiColor c{0x336699, 0x336699, GUI_COLOR_FILL};
    const auto t0 = Clock::now();
    for (auto _ : state) {
        Frame([&] { g.screen->Rectangle(g.root, kVisible, c, 0); });
        benchmark::ClobberMemory();
    }
    const double ours = std::chrono::duration<double>(Clock::now() - t0).count();
    Report(state, ours, Seconds(state.iterations(), MemsetRows), "memset");
}
BENCHMARK(BM_Fill640x480);

void BM_Bitmap24FullScreen(benchmark::State& state) {
    Gui& g = gui();
    std::vector<uint8_t> rgb(640 * 480 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 31);
    GuiBitmap b{0, 24, 640, 480, 0, rgb.data()};
    std::vector<uint32_t> words(640 * 480, 0x123456);
    const auto t0 = Clock::now();
    for (auto _ : state) {
        Frame([&] { g.screen->Bitmap(g.root, GuiPoint{0, 0}, &b, 0); });
        benchmark::ClobberMemory();
    }
    const double ours = std::chrono::duration<double>(Clock::now() - t0).count();
    const double base = Seconds(state.iterations(), [&] {
        uint32_t* fb = displayhw_frameBuffer();
        for (int y = 0; y < 480; ++y) std::memcpy(fb + y * DISPLAY_FB_WIDTH, &words[y * 640], 640 * 4);
        benchmark::ClobberMemory();
    });
    Report(state, ours, base, "memcpy");
}
BENCHMARK(BM_Bitmap24FullScreen);

void BM_TextFullScreen(benchmark::State& state) {
    Gui& g = gui();
    // 30 lines of 16 rows, each wider than the visible area.
    std::string line;
    for (int i = 0; line.size() < 120; ++i) line += "Lap " + std::to_string(i) + " 1:23.456 ";
    GuiColor c{0xFFFFFF, 0x000000, GUI_COLOR_FILL};
    const auto t0 = Clock::now();
    for (auto _ : state) {
        Frame([&] {
            for (int row = 0; row < 30; ++row)
                g.screen->DrawText(g.root, GuiPoint{0, static_cast<int16_t>(row * 16)}, line.c_str(), c,
                                   &SysFont, -1, 0);
        });
        benchmark::ClobberMemory();
    }
    const double ours = std::chrono::duration<double>(Clock::now() - t0).count();
    Report(state, ours, Seconds(state.iterations(), MemsetRows), "memset");
}
BENCHMARK(BM_TextFullScreen);

} // namespace

BENCHMARK_MAIN();
