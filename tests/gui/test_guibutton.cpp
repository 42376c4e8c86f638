// Buttons and scroll bars: press, capture, click, auto-repeat, the 3-D frame; thumb geometry,
// arrows, the trough and dragging; a bar that goes while its arrow repeats.
#include <gtest/gtest.h>

#include <algorithm>

#include "gui/guibutton.h"
#include "gui/guiscroll.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Panel;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// Clicks (signal 4 of id 5) among dispatched messages: counted by the parent that receives them.
class Parent : public GuiWindow {
public:
    explicit Parent(const GuiRect& r) : GuiWindow(r, GUI_BORDER_NONE) {}
    int Message(const GuiMessage& m) override {
        if (m.Type >= GM_SIGNAL && m.Type < GM_USER) signals.push_back(m);
        return GuiWindow::Message(m);
    }
    int count(uint16_t type) const {
        return static_cast<int>(
            std::count_if(signals.begin(), signals.end(), [&](auto& m) { return m.Type == type; }));
    }
    std::vector<GuiMessage> signals;
};

const uint16_t kClick = GuiSignalType(5, GUI_SIGNAL_CLICK);

} // namespace

TEST(GuiButtonClick, PressDragOutAndBackReleaseAndRepeat) {
    Harness h(true);
    auto* parent = new Parent(R(0, 0, 399, 299));
    auto* b = new GuiButton(R(100, 100, 159, 129), 5, GUI_BTN_ENABLED, nullptr, 3);
    parent->Add(b, 0);
    h.pm().Add(parent, 1);
    h.pointer(GM_BUTTON_DOWN, 110, 110);
    h.dispatchAll();
    EXPECT_TRUE(b->Pressed());
    h.pointer(GM_POINTER_MOVE, 300, 200);
    h.dispatchAll();
    EXPECT_FALSE(b->Pressed()) << "pops up outside";
    h.pointer(GM_POINTER_MOVE, 120, 110);
    h.dispatchAll();
    EXPECT_TRUE(b->Pressed()) << "goes down again while captured";
    h.pointer(GM_BUTTON_UP, 120, 110);
    h.dispatchAll();
    EXPECT_EQ(parent->count(kClick), 1);
    h.pointer(GM_BUTTON_DOWN, 110, 110);
    h.pointer(GM_BUTTON_UP, 300, 200);
    h.dispatchAll();
    EXPECT_EQ(parent->count(kClick), 1) << "released outside: no click";

    // Act on press: the click at the press; auto-repeat: 1 s, then every 250 ms.
    b->Style(GUI_BTN_ENABLED | GUI_BTN_ON_PRESS | GUI_BTN_REPEAT);
    h.pointer(GM_BUTTON_DOWN, 110, 110);
    h.dispatchAll();
    EXPECT_EQ(parent->count(kClick), 2);
    for (int t = 1; t <= 30; ++t) {
        GuiTimerTaskPost();
        h.dispatchAll();
        const int repeats = t < 20 ? 0 : 1 + (t - 20) / 5;
        ASSERT_EQ(parent->count(kClick), 2 + repeats) << "tick " << t;
    }
    h.pointer(GM_BUTTON_UP, 110, 110);
    h.dispatchAll();
    EXPECT_EQ(h.queue().TimerCount(), 0);
    EXPECT_FALSE(b->Pressed());
}

TEST(GuiButtonDraw, TheFrameShowsThePressedState) {
    Harness h(true);
    auto* parent = new Parent(R(0, 0, 399, 299));
    auto* b = new GuiButton(R(100, 100, 159, 129), 0, GUI_BTN_ENABLED, nullptr, 3);
    parent->Add(b, 0);
    h.pm().Add(parent, 1);
    struct Px {
        int x, y;
        uint32_t up, down;
    } pixels[] = {{100, 100, GUI_WHITE, GUI_BLACK},
                  {159, 129, GUI_BLACK, GUI_WHITE},
                  {158, 110, GUI_DARK_GREY, GUI_LIGHT_GREY},
                  {101, 110, GUI_LIGHT_GREY, GUI_DARK_GREY},
                  {130, 115, GUI_LIGHT_GREY, GUI_LIGHT_GREY}};
    for (const Px& p : pixels) EXPECT_EQ(Harness::px(p.x, p.y), p.up) << p.x << "," << p.y;
    h.pointer(GM_BUTTON_DOWN, 130, 115);
    h.dispatchAll();
    EXPECT_TRUE(b->Pressed()) << "a button without id still looks pressed";
    for (const Px& p : pixels) EXPECT_EQ(Harness::px(p.x, p.y), p.down) << p.x << "," << p.y;
    h.pointer(GM_BUTTON_UP, 130, 115);
    h.dispatchAll();
    EXPECT_TRUE(parent->signals.empty());
}

TEST(GuiScrollBar, ThumbFollowsTheInformationArrowsTroughAndDrag) {
    Harness h(true);
    auto* parent = new Parent(R(0, 0, 399, 299));
    GuiScrollInfo info{0, 99, 0, 10, 25};
    auto* bar = new GuiVScroll(R(10, 10, 25, 241), &info, 5); // track of 200 pixels
    parent->Add(bar, 0);
    h.pm().Add(parent, 1);
    const int top = bar->mClientRect.top;
    ASSERT_EQ(bar->mClientRect.Height(), 200);
    auto thumb = [&] { return bar->Thumb()->mRealRect; };
    EXPECT_EQ(thumb().top, top);
    EXPECT_EQ(thumb().bottom, top + 50);
    struct Case {
        GuiScrollInfo info;
        int offset, length;
    } cases[] = {{{0, 99, 75, 10, 25}, 150, 50}, {{0, 9, 0, 1, 25}, 0, 199}, {{0, 9999, 0, 10, 1}, 0, 16}};
    for (Case& k : cases) {
        bar->Reset(&k.info);
        EXPECT_EQ(thumb().top - top, k.offset);
        EXPECT_EQ(thumb().bottom - thumb().top, k.length);
    }
    bar->Reset(&info);
    h.dispatchAll();

    // The up arrow at the minimum sends nothing; the trough below the thumb at the end still tells.
    const uint16_t scrolled = GuiSignalType(5, GUI_SIGNAL_SCROLLED);
    h.pointer(GM_BUTTON_DOWN, 15, 12);
    h.pointer(GM_BUTTON_UP, 15, 12);
    h.dispatchAll();
    EXPECT_EQ(parent->count(scrolled), 0);
    GuiScrollInfo end{0, 99, 75, 10, 25};
    bar->Reset(&end);
    bar->Message([] {
        GuiMessage m = GuiMakeMessage(GM_BUTTON_DOWN);
        m.SetDataPoint(GuiPoint{15, 40});
        return m;
    }());
    EXPECT_EQ(bar->Info().current, 50) << "one page up";
    bar->Reset(&end);
    parent->signals.clear();
    bar->Message([] {
        GuiMessage m = GuiMakeMessage(GM_BUTTON_DOWN);
        m.SetDataPoint(GuiPoint{15, 239});
        return m;
    }());
    ASSERT_EQ(parent->count(scrolled), 1);
    EXPECT_EQ(parent->signals[0].Param, 75);
    EXPECT_EQ(parent->signals[0].DataWord(0), 75) << "equal old and new at the end";

    // Dragging the thumb past the end stops it there with its length.
    bar->Reset(&info);
    const int len = thumb().Height();
    h.pointer(GM_BUTTON_DOWN, 15, thumb().top + 5);
    h.pointer(GM_POINTER_MOVE, 15, 290);
    h.pointer(GM_BUTTON_UP, 15, 290);
    h.dispatchAll();
    EXPECT_EQ(thumb().bottom, bar->mClientRect.bottom);
    EXPECT_EQ(thumb().Height(), len);
    EXPECT_EQ(bar->Info().current, 75);
}

TEST(GuiScrollBar, AWindowDropsABarWhoseArrowStillRepeats) {
    Harness h(true);
    auto* w = new GuiWindow(R(0, 0, 199, 199), GUI_BORDER_NONE);
    h.pm().Add(w, 1);
    w->SetScrollMode(GUI_SCROLL_V);
    ASSERT_NE(w->mpVScrollBar, nullptr);
    EXPECT_EQ(w->mClientRect.right, 183);
    const GuiRect down = dynamic_cast<GuiScroll*>(w->mpVScrollBar)->ArrowButton(2)->mRealRect;
    h.pointer(GM_BUTTON_DOWN, down.left + 3, down.top + 3);
    h.dispatchAll();
    EXPECT_EQ(h.queue().TimerCount(), 1) << "the arrow repeats";
    w->SetScrollMode(0);
    EXPECT_EQ(w->mpVScrollBar, nullptr);
    EXPECT_EQ(w->mClientRect.right, 199);
    EXPECT_EQ(h.queue().TimerCount(), 0);
    for (int t = 0; t < 25; ++t) {
        GuiTimerTaskPost();
        h.dispatchAll();
    }
}
