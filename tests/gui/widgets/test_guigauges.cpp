// Dials, scales, lights and the progress bar: needle geometry, the redraw that repaints only the
// needle's surroundings (and leaves the screen exactly as a full redraw would), the rules of the
// light states and the progress bar's text in two colours.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/widgets/dial/guidial.h"
#include "gui/widgets/scale/guilight.h"
#include "gui/widgets/scale/guiprogress.h"
#include "gui/widgets/scale/guiscale.h"
#include "guiharness.h"
#include "platform/board/display_hw.h"

using guitest::Harness;
using guitest::Painted;
using guitest::PixelSet;
using guitest::Recorder;
using guitest::TestText;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// A 32-bit test bitmap with its own pixels.
struct TestBitmap {
    TestBitmap(int w, int h, uint32_t (*colour)(int x, int y)) : words(static_cast<size_t>(w * h)) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) words[static_cast<size_t>(y * w + x)] = colour(x, y);
        bitmap = GuiBitmap{0,
                           32,
                           static_cast<uint16_t>(w),
                           static_cast<uint16_t>(h),
                           0,
                           reinterpret_cast<uint8_t*>(words.data())};
    }
    std::vector<uint32_t> words;
    GuiBitmap bitmap{};
};

} // namespace

TEST(GuiDialNeedle, FiniteDialSweepsClockwiseFromStartToEnd) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 639, 479));
    auto* d = new GuiFiniteDial(0, 0, 225, 315, 0, 100, GUI_DIAL_NEEDLE_LINE);
    w->Add(d, 0);
    h.pm().Add(w, 1);
    struct Case {
        int32_t value;
        int angle;
        int x, y;
    } cases[] = {{0, 225, 21, 79}, {-5, 225, 21, 79}, {100, -45, 78, 79}, {500, -45, 78, 79}};
    for (const Case& k : cases) {
        d->SetValue(k.value, 1);
        EXPECT_EQ(d->miNeedleAngle, k.angle) << k.value;
        EXPECT_EQ(d->mNeedleTip.x, k.x) << k.value;
        EXPECT_EQ(d->mNeedleTip.y, k.y) << k.value;
        EXPECT_EQ(Harness::px(k.x, k.y), 0xBF0000u) << k.value;
    }
    // A circular dial of 100 values per turn shows 100 as 0; fewer than two values per turn are
    // taken as two; a finite range of one value does not divide by zero.
    GuiCircularDial circ(R(0, 0, 100, 100), 90, 100, 0, 1000, GUI_DIAL_NEEDLE_LINE);
    circ.SetValue(100, 0);
    circ.CalcNeedlePos();
    EXPECT_EQ(circ.miNeedleAngle, 90);
    circ.SetLimits(90, 0, 0, 1000);
    EXPECT_EQ(circ.miValuesPerTurn, 2);
    circ.SetValue(999, 0);
    circ.CalcNeedlePos();
    EXPECT_EQ(circ.miNeedleAngle, 90 - 360);
    GuiFiniteDial one(R(0, 0, 100, 100), 180, 0, 5, 6, GUI_DIAL_NEEDLE_LINE | GUI_DIAL_TICKS);
    one.SetTickStep(1);
    EXPECT_EQ(one.ValToAngle(6), 0);
}

TEST(GuiGaugeRedraw, OnlyTheNeedlesSurroundingsChangeAndTheyEqualAFullRedraw) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 639, 479), 0x305070);
    h.pm().Add(w, 1);
    TestBitmap face(100, 100,
                    [](int x, int y) { return static_cast<uint32_t>((x * 2) << 16 | (y * 2) << 8 | 0x40); });
    TestBitmap needle(20, 6, [](int x, int) { return x < 2 ? 0x000000u : 0x00E000u; });
    struct Gauge {
        GuiThing* t;
        std::function<void(int32_t)> set;
    };
    std::vector<Gauge> gauges;
    auto dial = [&](GuiDial* d, int step = 0) {
        d->SetTickStep(step);
        gauges.push_back({d, [d](int32_t v) { d->SetValue(v, 1); }});
    };
    auto scale = [&](GuiScale* s) { gauges.push_back({s, [s](int32_t v) { s->SetValue(v, 1); }}); };
    dial(new GuiFiniteDial(R(10, 10, 110, 110), 225, -45, 0, 100, GUI_DIAL_NEEDLE_LINE | GUI_DIAL_TICKS), 10);
    dial(new GuiFiniteDial(R(120, 10, 220, 110), 180, 0, 0, 100, GUI_DIAL_NEEDLE_WIDE));
    dial(new GuiFiniteDial(R(230, 10, 330, 110), 225, 315, -50, 50,
                           GUI_DIAL_NEEDLE_POLYGON | GUI_BORDER_RAISED));
    dial(new GuiCircularDial(R(340, 10, 440, 110), 90, 100, 0, 1000, GUI_DIAL_NEEDLE_LINE | GUI_DIAL_TICKS),
         10);
    dial(new GuiFiniteBitmapDial(450, 10, 225, 315, 0, 100, &face.bitmap, nullptr, GUI_DIAL_NEEDLE_POLYGON));
    dial(new GuiCircularBitmapDial(10, 120, 90, 60, 0, 59, &face.bitmap, nullptr, GUI_DIAL_NEEDLE_WIDE));
    scale(new GuiLinearScale(R(120, 120, 170, 270), 0, 100, 10,
                             GUI_SCALE_VERTICAL | GUI_SCALE_TICKS | GUI_SCALE_NEEDLE_LINE));
    scale(new GuiLinearScale(R(180, 120, 330, 170), 0, 100, 25, GUI_SCALE_TICKS | GUI_SCALE_NEEDLE_ARROW));
    scale(new GuiLinearScale(R(340, 120, 390, 270), -100, 100, 50,
                             GUI_SCALE_VERTICAL | GUI_SCALE_MIN_AT_START | GUI_SCALE_NEEDLE_FIVE |
                                 GUI_SCALE_NEAR_SIDE | GUI_SCALE_TICKS));
    scale(
        new GuiLinearBitmapScale(450, 120, 0, 100, 5, 95, &face.bitmap, &needle.bitmap, GUI_SCALE_VERTICAL));
    for (const Gauge& g : gauges) w->Add(g.t, 1);
    constexpr uint32_t kMarker = 0x00ABCDEF;
    for (const Gauge& g : gauges) {
        const GuiRect& r = g.t->mRealRect;
        for (int32_t v : {30, 70, 70, 100, 5, 55}) {
            SCOPED_TRACE(testing::Message() << "gauge at " << r.left << "," << r.top << " value " << v);
            // A pixel that only a full redraw paints.
            const int mx = r.right - 1, my = r.bottom - 1;
            displayhw_frameBuffer()[my * DISPLAY_FB_WIDTH + mx] = kMarker;
            g.set(v);
            std::vector<uint32_t> partial = Harness::snapshot();
            EXPECT_EQ(Harness::px(mx, my), kMarker) << "outside the needle's box";
            GuiThing::mpScreen->Invalidate(r);
            g.t->Draw();
            const std::vector<uint32_t> full = Harness::snapshot();
            partial[static_cast<size_t>(my * 640 + mx)] = full[static_cast<size_t>(my * 640 + mx)];
            EXPECT_TRUE(partial == full);
        }
        // The value it already holds changes no word; nor does one at the same pixel.
        const std::vector<uint32_t> shown = Harness::snapshot();
        g.set(55);
        EXPECT_TRUE(Harness::snapshot() == shown);
    }
}

TEST(GuiScaleNeedle, LinearScaleNeedleAndTicks) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 639, 479));
    auto* s = new GuiLinearScale(0, 0, 0, 100, 0, 0x08C0);
    auto* ticks =
        new GuiLinearScale(200, 0, 0, 100, 25, GUI_SCALE_VERTICAL | GUI_SCALE_TICKS | GUI_SCALE_NEEDLE_LINE);
    auto* fine = new GuiLinearScale(400, 0, 0, 10000, 0, GUI_SCALE_VERTICAL | GUI_SCALE_NEEDLE_LINE);
    w->Add(s, 0);
    w->Add(ticks, 0);
    w->Add(fine, 0);
    h.pm().Add(w, 1);
    s->SetValue(50, 1);
    EXPECT_EQ(s->mNeedlePoint.y, 75);
    EXPECT_EQ(Harness::px(40, 75), 0xBF0000u);
    int n = 0;
    for (int y = 0; y <= 150; ++y) n += Harness::px(200 + 95, y) == GUI_BLACK;
    EXPECT_EQ(n, 5) << "ticks at 0, 25, 50, 75 and 100";
    fine->SetValue(5000, 1);
    const std::vector<uint32_t> shown = Harness::snapshot();
    fine->SetValue(5001, 1);
    EXPECT_EQ(fine->GetValue(), 5001);
    EXPECT_TRUE(Harness::snapshot() == shown) << "the same pixel";
    // A range of one value divides by 1.
    GuiLinearScale one(R(0, 0, 50, 150), 0, 1, 1, GUI_SCALE_VERTICAL | GUI_SCALE_TICKS);
    GuiPoint p;
    one.ValToPoint(1, p);
    EXPECT_EQ(p.y, one.miTravelStart) << "the maximum at the top of the travel";
}

TEST(GuiLight, StatesWrapTablesFollowTheCountAndTheLampShowsTheColour) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 639, 479), GUI_LIGHT_GREY);
    auto* light = new GuiColorLight(R(10, 10, 60, 60), 4, GUI_LIGHT_ROUND | GUI_BORDER_NONE);
    auto* none = new GuiColorLight(R(100, 10, 150, 60), 0, GUI_LIGHT_FILL | GUI_BORDER_NONE);
    w->Add(light, 0);
    w->Add(none, 0);
    h.pm().Add(w, 1);
    const uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(light->SetStateColor(i, colours[i]), 1);
    EXPECT_EQ(light->SetStateColor(4, 0), 0);
    struct Step {
        std::function<unsigned()> op;
        unsigned state;
    } steps[] = {
        {[&] { return light->DecrementState(1); }, 3}, {[&] { return light->IncrementState(1); }, 0},
        {[&] { return light->SetState(2, 1); }, 2},    {[&] { return light->SetState(9, 1); }, 2},
        {[&] { return light->IncrementState(1); }, 3},
    };
    for (const Step& k : steps) {
        EXPECT_EQ(k.op(), k.state);
        EXPECT_EQ(Harness::px(35, 35), colours[k.state]);
        EXPECT_EQ(Harness::px(35, 10), GUI_BLACK) << "the rim";
    }
    // Shrinking keeps the colours of the states that remain and moves the state inside.
    EXPECT_EQ(light->SetNumStates(2), 2u);
    EXPECT_EQ(light->GetState(), 1u);
    EXPECT_EQ(light->SetNumStates(0), 2u);
    EXPECT_EQ(light->SetNumStates(3), 3u);
    EXPECT_EQ(light->mColorTable, (std::vector<uint32_t>{0xFF0000, 0x00FF00, 0}));
    // Without states: state 0 and nothing drawn.
    EXPECT_EQ(none->SetStateColor(0, 0xFF0000), 0);
    const std::vector<uint32_t> shown = Harness::snapshot();
    EXPECT_EQ(none->IncrementState(1), 0u);
    EXPECT_EQ(none->DecrementState(1), 0u);
    EXPECT_TRUE(Harness::snapshot() == shown);
}

TEST(GuiProgressBar, BarInsideTheClientAreaAndTextInTwoColours) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 639, 479), GUI_LIGHT_GREY);
    // Client (101, 101)-(298, 128): 198 x 28.
    auto* bar = new GuiProgressBar(R(100, 100, 299, 129),
                                   GUI_BORDER_THIN | GUI_PROGRESS_TEXT | GUI_PROGRESS_PERCENT, 0, 200, 50);
    w->Add(bar, 0);
    h.pm().Add(w, 1);
    char text[40];
    bar->ValueText(text);
    EXPECT_STREQ(text, "25%");
    struct Case {
        int32_t value;
        int right;
    } cases[] = {{50, 101 + 49}, {-50, 101}, {1000, 298}, {200, 298}, {INT32_MIN, 101}};
    for (const Case& k : cases) {
        bar->Update(k.value, 1);
        EXPECT_EQ(bar->mBarRect, R(101, 101, k.right, 128)) << k.value;
    }
    // The text "50%" (18 x 10 at (190, 110)) crosses the bar's edge at x 200.
    bar->SetColor(3, 0xFFFF00);
    bar->Update(100, 1);
    const PixelSet all = TestText("50%", (101 + 298) / 2 - 9, (101 + 128) / 2 - 5);
    PixelSet over, rest;
    for (const auto& p : all) (p.first <= 200 ? over : rest).insert(p);
    ASSERT_FALSE(over.empty());
    ASSERT_FALSE(rest.empty());
    const GuiRect box = R(190, 110, 207, 119); // the bar button's white rims lie outside it
    EXPECT_EQ(Painted(box, 0xFFFF00), over);
    EXPECT_EQ(Painted(box, GUI_WHITE), rest);
    // An empty range is complete; blocks fill up to the bar's edge.
    bar->Reconfig(GUI_BORDER_THIN | GUI_PROGRESS_BLOCKS | GUI_PROGRESS_PERCENT, 7, 7);
    EXPECT_EQ(bar->mpBarButton, nullptr);
    bar->ValueText(text);
    EXPECT_STREQ(text, "100%");
    EXPECT_EQ(bar->GetButtonRect(), bar->mClientRect);
    GuiThing::mpScreen->Invalidate(bar->mRealRect);
    bar->Draw();
    int blocks = 0;
    for (int x = 101; x <= 298; ++x)
        blocks += Harness::px(x, 115) == 0x0000BFu && Harness::px(x - 1, 115) != 0x0000BFu;
    EXPECT_EQ(blocks, 22) << "pitch 9, each block's right edge left of the bar's";
}
