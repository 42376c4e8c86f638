// Sliders and spin buttons driven by the pointer: dragging, jumping to a pressed point, snapping,
// ticks, the value signal; the spin button's steps of its slave's text.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gui/core/guiltoa.h"
#include "gui/widgets/slider/guislider.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

} // namespace

TEST(GuiSliderDrag, TheThumbJumpsDragsAndReportsEachNewValue) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    // Client (12, 12)-(207, 47): the travel runs from x 21 to 198, the thumb is 8 wide.
    auto* s = new GuiSlider(R(10, 10, 209, 49), 0, 100, 4, GUI_BORDER_RAISED, 10);
    auto* quiet = new GuiSlider(R(10, 100, 209, 139), 0, 100, 0, GUI_BORDER_RAISED, 10);
    w->Add(s, 0);
    w->Add(quiet, 0);
    h.pm().Add(w, 1);
    ASSERT_NE(s->Thumb(), nullptr);
    EXPECT_EQ(s->Thumb()->mRealRect, R(21, 14, 28, 39));
    const uint16_t moved = GuiSignalType(4, GUI_SIGNAL_SLIDER);
    struct Step {
        uint16_t type;
        int x;
        int left, value;
    } steps[] = {
        {GM_BUTTON_DOWN, 100, 100, (100 - 21) * 100 / 170}, // jumps with its leading edge to the point
        {GM_POINTER_MOVE, 100, 100, 46},                    // no change, no signal
        {GM_POINTER_MOVE, 390, 191, 100},                   // stops at the end
        {GM_POINTER_MOVE, 395, 191, 100},
        {GM_POINTER_MOVE, 0, 21, 0}, // and at the start
        {GM_BUTTON_UP, 0, 21, 0},
    };
    std::vector<int32_t> values;
    for (const Step& k : steps) {
        h.pointer(k.type, k.x, 20);
        h.dispatchAll();
        EXPECT_EQ(s->Thumb()->mRealRect.left, k.left) << k.x;
        EXPECT_EQ(s->GetCurrentValue(), k.value) << k.x;
    }
    for (const auto& m : w->of(moved)) {
        EXPECT_EQ(m.param, 4);
        EXPECT_EQ(m.source, s);
        values.push_back(m.data0);
    }
    EXPECT_EQ(values, (std::vector<int32_t>{46, 100, 0}));
    EXPECT_EQ(h.pm().CaptureDepth(), 0);
    // Without an id the slider moves but tells nobody.
    h.pointer(GM_BUTTON_DOWN, 150, 120);
    h.pointer(GM_BUTTON_UP, 150, 120);
    h.dispatchAll();
    EXPECT_GT(quiet->GetCurrentValue(), 0);
    EXPECT_EQ(w->signals().size(), 3u);
}

TEST(GuiSliderDrag, SnappingGivesWholeStepsAndDegenerateTracksKeepTheirValue) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    auto* up = new GuiSlider(R(10, 10, 209, 49), 0, 100, 1, GUI_BORDER_RAISED | GUI_SLIDER_SNAP, 25);
    auto* down = new GuiSlider(R(10, 60, 209, 99), 100, 0, 2, GUI_BORDER_RAISED | GUI_SLIDER_SNAP, 25);
    auto* flat = new GuiSlider(R(10, 110, 209, 149), 5, 5, 3, GUI_BORDER_RAISED | GUI_SLIDER_SNAP, 25);
    auto* noStep = new GuiSlider(R(10, 160, 209, 199), 0, 100, 5, GUI_BORDER_RAISED | GUI_SLIDER_SNAP, 0);
    auto* dot = new GuiSlider(R(300, 10, 300, 10), 0, 100, 6, GUI_BORDER_NONE, 10); // no room to move
    for (GuiSlider* s : {up, down, flat, noStep, dot}) w->Add(s, 0);
    h.pm().Add(w, 1);
    struct Case {
        GuiSlider* s;
        std::set<int32_t> values;
    } cases[] = {
        {up, {0, 25, 50, 75, 100}}, {down, {0, 25, 50, 75, 100}}, {flat, {5}}, {noStep, {0}}, {dot, {0}}};
    for (const Case& k : cases) {
        std::set<int32_t> seen;
        const int y = (k.s->mRealRect.top + k.s->mRealRect.bottom) / 2;
        h.pointer(GM_BUTTON_DOWN, k.s->mRealRect.left, y);
        for (int x = -20; x <= 420; x += 3) {
            h.pointer(GM_POINTER_MOVE, x, y);
            h.dispatchAll();
            seen.insert(k.s->GetCurrentValue());
        }
        h.pointer(GM_BUTTON_UP, 0, y);
        h.dispatchAll();
        EXPECT_EQ(seen, k.values) << k.s->Id();
    }
    EXPECT_EQ(w->count(GuiSignalType(3, GUI_SIGNAL_SLIDER)), 0);
    EXPECT_EQ(w->count(GuiSignalType(6, GUI_SIGNAL_SLIDER)), 0);
}

TEST(GuiSliderDraw, TicksAndGrooveByScale) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    h.pm().Add(w, 1);
    // Client (12, 12)-(207, 47): ticks from row 41 to 47, the groove's black line on row 26.
    struct Case {
        int scale;
        int ticks;
        bool groove;
    } cases[] = {{10, 11, true}, {25, 5, true}, {-1, 0, false}, {0, 0, true}, {1000, 0, true}};
    for (const Case& k : cases) {
        auto* s = new GuiSlider(R(10, 10, 209, 49), 0, 100, 1, GUI_BORDER_RAISED, k.scale);
        w->Add(s, 1);
        int ticks = 0;
        for (int x = 12; x <= 207; ++x) ticks += Harness::px(x, 45) == GUI_BLACK;
        EXPECT_EQ(ticks, k.ticks) << k.scale;
        EXPECT_EQ(Harness::px(150, 26) == GUI_BLACK, k.groove) << k.scale;
        w->Remove(s, 1);
        delete s;
    }
}

TEST(GuiSpinButton, StepsTheSlavesTextWithinItsLimits) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    auto* slave = new GuiPrompt(R(10, 10, 60, 30), "7", 0, GUI_BORDER_THIN, 0);
    auto* spin = new GuiSpinButton(70, 10, slave, 0, 10, 5, 3, GUI_BTN_ENABLED | GUI_SPIN_VERTICAL);
    auto* bare = new GuiSpinButton(R(100, 10, 131, 25), 4, GUI_BTN_ENABLED);
    w->Add(slave, 0);
    w->Add(spin, 0);
    w->Add(bare, 0);
    h.pm().Add(w, 1);
    ASSERT_EQ(spin->mRealRect, R(70, 10, 85, 41));
    auto press = [&](int x, int y) {
        h.pointer(GM_BUTTON_DOWN, x, y);
        h.pointer(GM_BUTTON_UP, x, y);
        h.dispatchAll();
        return std::string(slave->Text() ? slave->Text() : "");
    };
    const int upY = 15, downY = 35;
    EXPECT_EQ(press(75, upY), "10");
    EXPECT_EQ(press(75, upY), "10");
    EXPECT_EQ(press(75, downY), "5");
    // Negative values read back as written, also padded.
    spin->SetLimits(-20, 20, 5);
    EXPECT_EQ(press(75, downY), "0");
    EXPECT_EQ(press(75, downY), "-5");
    EXPECT_EQ(press(75, downY), "-10");
    EXPECT_EQ(press(75, upY), "-5");
    spin->SetDigits(4);
    EXPECT_EQ(press(75, upY), "0000");
    EXPECT_EQ(press(75, downY), "-005");
    EXPECT_EQ(press(75, downY), "-010");
    EXPECT_EQ(w->count(GuiSignalType(3, GUI_SIGNAL_STEP_UP)), 4);
    EXPECT_EQ(w->count(GuiSignalType(3, GUI_SIGNAL_STEP_DOWN)), 6);
    // The library's integer text, also in other radixes (unsigned there); no digits for a radix
    // outside 2 to 36.
    char buf[40];
    struct Text {
        int32_t v;
        int radix;
        const char* want;
    } texts[] = {{-5, 10, "-5"},
                 {-255, 16, "ffffff01"},
                 {INT32_MIN, 10, "-2147483648"},
                 {35, 36, "z"},
                 {5, 1, ""},
                 {5, 37, ""},
                 {-1, 2, "11111111111111111111111111111111"}};
    for (const Text& t : texts) EXPECT_STREQ(_ltoa(t.v, buf, t.radix), t.want);
    // Without a slave the signals still go out: right steps up, left steps down.
    press(120, 15);
    press(105, 15);
    press(105, 15);
    EXPECT_EQ(w->count(GuiSignalType(4, GUI_SIGNAL_STEP_UP)), 1);
    EXPECT_EQ(w->count(GuiSignalType(4, GUI_SIGNAL_STEP_DOWN)), 2);
}
