// Shapes drawn through the GUI screen against what they compete with, over the same iterations:
// - a filled polygon covering 640 x 480 and a filled 64-point star, against Rectangle filling the
//   same area and against memset of the same bytes;
// - a filled circle of radius 200 and a filled ellipse (0,0,639,479), against memset of their pixels;
// - a 640-pixel dashed line against the solid Line;
// - an arc fill of a half disc against FillCircle of the same radius;
// - an arc of radius 0 and width 29696 centred 14000 pixels below the visible area (thousands of
//   rings, a few hundred of them crossing it) against memset of the pixels it draws: its rings cost
//   what the view shows of them, not their whole length.
// Each runs side by side with its baselines in alternating blocks timed by the thread's CPU time
// and reports ratio_to_<baseline>, the median of the blocks' ratios of its time to the baseline's.
// Goal for solid fills: within 1.5 x memset of the same bytes, the 64-point star (the most edges
// and the shortest spans) included.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_seconds.h"
#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"
#include "platform/board/display_hw.h"

namespace {

// The screen and one visible thing that owns the whole screen, as the GUI task has them.
struct Screen {
    Screen() {
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

Screen& S() {
    static Screen s;
    return s;
}

// One drawing pass over the visible area.
void Pass(const std::function<void(GuiScreen&, GuiThing*)>& draw) {
    Screen& s = S();
    s.screen->Invalidate(MakeGuiRect(0, 0, 639, 479));
    s.screen->BeginDraw(s.root);
    draw(*s.screen, s.root);
    s.screen->EndDraw();
    benchmark::ClobberMemory();
}

// The rows the last drawing changed (pixels equal to colour), as spans, for a memset of the same bytes.
struct Span {
    int y, x0, x1;
};
std::vector<Span> Spans(uint32_t colour) {
    std::vector<Span> out;
    const uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            if (fb[y * DISPLAY_FB_WIDTH + x] != colour) continue;
            int e = x;
            while (e + 1 < 640 && fb[y * DISPLAY_FB_WIDTH + e + 1] == colour) ++e;
            out.push_back({y, x, e});
            x = e;
        }
    return out;
}
void MemsetSpans(const std::vector<Span>& spans) {
    uint32_t* fb = displayhw_frameBuffer();
    for (const Span& s : spans) std::memset(fb + s.y * DISPLAY_FB_WIDTH + s.x0, 0x5A, 4u * (s.x1 - s.x0 + 1));
    benchmark::ClobberMemory();
}
size_t Pixels(const std::vector<Span>& spans) {
    size_t n = 0;
    for (const Span& s : spans) n += static_cast<size_t>(s.x1 - s.x0 + 1);
    return n;
}

// Draws side by side with each baseline (msdbench::SideBySide); the memset baseline (a null
// function) sets the bytes that the drawing changed.
void Measure(benchmark::State& state, const std::function<void(GuiScreen&, GuiThing*)>& draw, uint32_t colour,
             std::vector<msdbench::Baseline> baselines) {
    std::fill_n(displayhw_frameBuffer(), DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT, 0u);
    Pass(draw);
    const std::vector<Span> spans = Spans(colour);
    for (msdbench::Baseline& b : baselines)
        if (!b.run) b.run = [&spans] { MemsetSpans(spans); };
    msdbench::SideBySide(
        state, [&] { Pass(draw); }, baselines);
    state.counters["pixels"] = double(Pixels(spans));
    state.counters["spans"] = double(spans.size());
}

constexpr uint32_t kFill = 0x336699;
const GuiColor kSolid{kFill, kFill, GUI_COLOR_FILL};

void BM_PolygonFill640x480(benchmark::State& state) {
    GuiPoint pts[] = {{0, 0}, {640, 0}, {640, 480}, {0, 480}};
    Measure(
        state, [&](GuiScreen& s, GuiThing* t) { s.Polygon(t, pts, 4, kSolid, 0); }, kFill,
        {{"Rectangle",
          [] {
              Pass([](GuiScreen& s, GuiThing* t) { s.Rectangle(t, MakeGuiRect(0, 0, 639, 479), kSolid, 0); });
          }},
         {"memset", nullptr}});
}
BENCHMARK(BM_PolygonFill640x480);

void BM_Star64Fill(benchmark::State& state) {
    // 64 points alternating between radius 235 and 120 around the centre of the visible area.
    std::vector<GuiPoint> pts(64);
    for (int i = 0; i < 64; ++i) {
        const double a = i * M_PI / 32, r = i % 2 ? 120 : 235;
        pts[i] = GuiPoint{static_cast<int16_t>(std::lround(320 + r * std::cos(a))),
                          static_cast<int16_t>(std::lround(240 - r * std::sin(a)))};
    }
    std::fill_n(displayhw_frameBuffer(), DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT, 0u);
    Pass([&](GuiScreen& s, GuiThing* t) { s.Polygon(t, pts.data(), 64, kSolid, 0); });
    const int rows = static_cast<int>(Pixels(Spans(kFill)) / 640); // a rectangle of about the same area
    Measure(state, [&](GuiScreen& s, GuiThing* t) { s.Polygon(t, pts.data(), 64, kSolid, 0); }, kFill,
            {{"Rectangle",
              [&] {
                  Pass([&](GuiScreen& s, GuiThing* t) {
                      s.Rectangle(t, MakeGuiRect(0, 0, 639, rows - 1), kSolid, 0);
                  });
              }},
             {"memset", nullptr}});
}
BENCHMARK(BM_Star64Fill);

void BM_FillCircle200(benchmark::State& state) {
    GuiColor c = kSolid;
    Measure(state, [&](GuiScreen& s, GuiThing* t) { s.Circle(t, 320, 240, 200, c, 0); }, kFill,
            {{"memset", nullptr}});
}
BENCHMARK(BM_FillCircle200);

void BM_FillEllipse640x480(benchmark::State& state) {
    Measure(state, [&](GuiScreen& s, GuiThing* t) { s.Ellipse(t, MakeGuiRect(0, 0, 639, 479), kSolid, 0); },
            kFill, {{"memset", nullptr}});
}
BENCHMARK(BM_FillEllipse640x480);

void BM_DashedLine640(benchmark::State& state) {
    GuiColor c{kFill, 0, 0};
    Measure(state,
            [&](GuiScreen& s, GuiThing* t) { s.PatternLine(t, 0, 100, 639, 300, c, 1, 0xFFF0FFF0, 1); },
            kFill,
            {{"Line", [&] { Pass([&](GuiScreen& s, GuiThing* t) { s.Line(t, 0, 100, 639, 300, c, 1); }); }}});
}
BENCHMARK(BM_DashedLine640);

void BM_ArcHalfDisc(benchmark::State& state) {
    const GuiColor c{kFill, kFill, GUI_COLOR_FILL};
    Measure(state, [&](GuiScreen& s, GuiThing* t) { s.Arc(t, 320, 240, 200, 0, 180, c, 0); }, kFill,
            {{"FillCircle", [&] {
                  Pass([&](GuiScreen& s, GuiThing*) {
                      s.FillCircle(MakeGuiRect(0, 0, 639, 479), 320, 240, 200, kFill);
                  });
              }}});
}
BENCHMARK(BM_ArcHalfDisc);

void BM_ArcRingsFarPastTheView(benchmark::State& state) {
    const GuiColor c{kFill, 0, 0};
    Measure(state, [&](GuiScreen& s, GuiThing* t) { s.Arc(t, 320, 14240, 0, 0, 90, c, 29696); }, kFill,
            {{"memset", nullptr}});
}
BENCHMARK(BM_ArcRingsFarPastTheView);

} // namespace

BENCHMARK_MAIN();
