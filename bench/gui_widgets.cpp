// Widgets of the catalogue against what they save or compete with:
// - the needle-only redraw of a 200 x 200 dial against its full redraw (goal: at most a fifth), for
//   a line needle moving by two values, as a gauge does from one frame to the next,
// - the bitmap dial's composite (face and needle composed off screen, then drawn) against memcpy of
//   width x height x 4 bytes,
// - one step of a dragged scroll-bar thumb against a full redraw of the bar,
// - RectMove of a 640 x 480 client area against memmove of the same rows.
// Each runs side by side with its baseline in alternating blocks timed by the thread's CPU time and
// reports ratio_to_<baseline>, the median of the blocks' ratios (bench_seconds.h).
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"
#include "gui/widgets/dial/guidial.h"
#include "gui/window/guiscroll.h"
#include "gui_benchkit.h"
#include "platform/board/display_hw.h"

namespace {

using benchkit::FullRedraw;
using benchkit::gui;
using benchkit::Gui;
using msdbench::SideBySide;

void BM_DialNeedleOnlyRedraw(benchmark::State& state) {
    Gui& g = gui();
    auto* d = new GuiFiniteDial(MakeGuiRect(20, 20, 219, 219), 225, 315, 0, 100,
                                GUI_DIAL_NEEDLE_LINE | GUI_DIAL_TICKS | GUI_BORDER_RAISED);
    d->SetTickStep(5);
    g.window->Add(d, 1);
    int i = 0;
    SideBySide(state,
               [&] {
                   d->SetValue(++i & 1 ? 50 : 52, 1);
                   benchmark::ClobberMemory();
               },
               {{"full_redraw", [&] { FullRedraw(d); }}});
    g.window->Remove(d, 0);
    delete d;
}
BENCHMARK(BM_DialNeedleOnlyRedraw);

void BM_BitmapDialComposite(benchmark::State& state) {
    Gui& g = gui();
    constexpr int W = 200, H = 200;
    std::vector<uint32_t> face(W * H);
    for (size_t k = 0; k < face.size(); ++k) face[k] = static_cast<uint32_t>(k * 2654435761u) & 0xFFFFFF;
    GuiBitmap background{0, 32, W, H, 0, reinterpret_cast<uint8_t*>(face.data())};
    auto* d = new GuiFiniteBitmapDial(20, 20, 225, 315, 0, 100, &background, nullptr, GUI_DIAL_NEEDLE_WIDE);
    g.window->Add(d, 1);
    int i = 0;
    std::vector<uint32_t> copy(W * H);
    SideBySide(state,
               [&] {
                   d->SetValue(++i & 1 ? 30 : 70,
                               1); // composes the whole face and needle, draws the needle's part
                   benchmark::ClobberMemory();
               },
               {{"memcpy", [&] {
                     std::memcpy(copy.data(), face.data(), W * H * 4);
                     benchmark::ClobberMemory();
                 }}});
    g.window->Remove(d, 0);
    delete d;
}
BENCHMARK(BM_BitmapDialComposite);

void BM_ScrollThumbDragStep(benchmark::State& state) {
    Gui& g = gui();
    GuiScrollInfo info{0, 999, 0, 10, 100};
    auto* bar = new GuiVScroll(MakeGuiRect(600, 0, 615, 479), &info, 1);
    g.window->Add(bar, 1);
    GuiScrollButton* thumb = bar->Thumb();
    // A drag from the thumb's middle, moving five pixels down and back.
    thumb->mPressRect = thumb->mRealRect;
    thumb->miAnchorPos = thumb->mRealRect.top + 10;
    int i = 0;
    SideBySide(state,
               [&] {
                   thumb->MoveDraw(thumb->miAnchorPos + (++i & 1 ? 5 : 0));
                   benchmark::ClobberMemory();
               },
               {{"full_bar_redraw", [&] { FullRedraw(bar); }}});
    g.window->Remove(bar, 0);
    delete bar;
}
BENCHMARK(BM_ScrollThumbDragStep);

void BM_RectMove640x480(benchmark::State& state) {
    Gui& g = gui();
    const GuiRect area = MakeGuiRect(0, 0, 639, 479);
    uint32_t* fb = displayhw_frameBuffer();
    for (int k = 0; k < DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT; ++k)
        fb[k] = static_cast<uint32_t>(k) & 0xFFFFFF;
    int moved = 1;
    // Against the same 470 rows of 640 words moved ten rows up.
    SideBySide(state,
               [&] {
                   g.screen->Invalidate(area);
                   g.screen->BeginDraw(g.window);
                   moved &= g.screen->RectMove(g.window, area, area, 0, -10);
                   g.screen->EndDraw();
                   benchmark::ClobberMemory();
               },
               {{"memmove", [&] {
                     for (int y = 0; y < 470; ++y)
                         std::memmove(fb + y * DISPLAY_FB_WIDTH, fb + (y + 10) * DISPLAY_FB_WIDTH, 640 * 4);
                     benchmark::ClobberMemory();
                 }}});
    if (!moved) state.SkipWithError("RectMove asked for a redraw");
}
BENCHMARK(BM_RectMove640x480);

} // namespace

BENCHMARK_MAIN();
