// Buttons and scroll bars: press, capture, click, auto-repeat, the 3-D frame; thumb geometry,
// arrows, the trough and dragging; a bar that goes while its arrow repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "gui/window/guibutton.h"
#include "gui/window/guiscroll.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Painted;
using guitest::PixelSet;
using guitest::Recorder;
using guitest::TestText;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

const uint16_t kClick = GuiSignalType(5, GUI_SIGNAL_CLICK);

} // namespace

TEST(GuiButtonClick, OneClickPerPressReleasedInsideTheFrameAndAutoRepeat) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* b = new GuiButton(R(10, 10, 59, 29), 7, GUI_BTN_ENABLED, nullptr, 3);
    w->Add(b, 0);
    h.pm().Add(w, 1);
    struct Px {
        int x, y;
        uint32_t up, down;
    } pixels[] = {{10, 10, GUI_WHITE, GUI_BLACK},
                  {59, 29, GUI_BLACK, GUI_WHITE},
                  {58, 20, GUI_DARK_GREY, GUI_LIGHT_GREY},
                  {11, 20, GUI_LIGHT_GREY, GUI_DARK_GREY},
                  {30, 20, GUI_LIGHT_GREY, GUI_LIGHT_GREY}};
    for (const Px& p : pixels) EXPECT_EQ(Harness::px(p.x, p.y), p.up) << p.x << "," << p.y;
    h.pointer(GM_BUTTON_DOWN, 30, 20);
    h.dispatchAll();
    for (const Px& p : pixels) EXPECT_EQ(Harness::px(p.x, p.y), p.down) << p.x << "," << p.y;
    h.pointer(GM_BUTTON_UP, 30, 20);
    h.dispatchAll();
    const uint16_t click7 = GuiSignalType(7, GUI_SIGNAL_CLICK);
    ASSERT_EQ(click7, 244);
    ASSERT_EQ(w->count(click7), 1);
    EXPECT_EQ(w->of(click7)[0].param, 7);
    EXPECT_EQ(w->of(click7)[0].source, b);
    // Out and back in while captured, then released inside: one more; released outside: none.
    struct Drag {
        int outX, outY;
        bool back;
        int clicks;
    } drags[] = {{300, 200, true, 2}, {300, 200, false, 2}};
    for (const Drag& d : drags) {
        h.pointer(GM_BUTTON_DOWN, 30, 20);
        h.pointer(GM_POINTER_MOVE, d.outX, d.outY);
        h.dispatchAll();
        EXPECT_FALSE(b->Pressed()) << "pops up outside";
        if (d.back) {
            h.pointer(GM_POINTER_MOVE, 40, 20);
            h.dispatchAll();
            EXPECT_TRUE(b->Pressed()) << "goes down again while captured";
        }
        h.pointer(GM_BUTTON_UP, d.back ? 40 : d.outX, d.back ? 20 : d.outY);
        h.dispatchAll();
        EXPECT_EQ(w->count(click7), d.clicks);
    }

    // Act on press: the click at the press; auto-repeat: 1 s, then every 250 ms.
    b->Style(GUI_BTN_ENABLED | GUI_BTN_ON_PRESS | GUI_BTN_REPEAT);
    h.pointer(GM_BUTTON_DOWN, 30, 20);
    h.dispatchAll();
    EXPECT_EQ(w->count(click7), 3);
    for (int t = 1; t <= 30; ++t) {
        GuiTimerTaskPost();
        h.dispatchAll();
        const int repeats = t < 20 ? 0 : 1 + (t - 20) / 5;
        ASSERT_EQ(w->count(click7), 3 + repeats) << "tick " << t;
    }
    h.pointer(GM_BUTTON_UP, 30, 20);
    h.dispatchAll();
    EXPECT_EQ(h.queue().TimerCount(), 0);
    EXPECT_FALSE(b->Pressed());
    // A button without id looks pressed but never signals.
    auto* silent = new GuiButton(R(100, 10, 159, 29), 0, GUI_BTN_ENABLED, nullptr, 3);
    w->Add(silent, 1);
    const size_t before = w->signals().size();
    h.pointer(GM_BUTTON_DOWN, 120, 20);
    h.dispatchAll();
    EXPECT_TRUE(silent->Pressed());
    h.pointer(GM_BUTTON_UP, 120, 20);
    h.dispatchAll();
    EXPECT_EQ(w->signals().size(), before);
}

TEST(GuiButtonSize, PositionFormsSizeThemselvesFromTextAndBitmap) {
    Harness h;
    h.useTestFont(); // "OK" is 12 x 10
    struct Case {
        const char* what;
        std::unique_ptr<GuiThing> t;
        GuiRect want;
    } cases[] = {
        {"text, width", std::make_unique<GuiTextButton>(5, 5, 50, "OK", 1, GUI_BTN_ENABLED), R(5, 5, 54, 18)},
        {"text", std::make_unique<GuiTextButton>(5, 5, "OK", 1, GUI_BTN_ENABLED), R(5, 5, 23, 18)},
        {"text, none", std::make_unique<GuiTextButton>(5, 5, nullptr, 1, GUI_BTN_ENABLED), R(5, 5, 8, 8)},
        {"bitmap", std::make_unique<GuiBitmapButton>(5, 5, &gbUpArrowBitmap, 1, GUI_BTN_ENABLED),
         R(5, 5, 15, 12)},
        {"bitmap, frameless", std::make_unique<GuiBitmapButton>(5, 5, &gbUpArrowBitmap, 1, GUI_BTN_NOFRAME),
         R(5, 5, 11, 8)},
        {"bitmap, none", std::make_unique<GuiBitmapButton>(5, 5, nullptr, 1, 0), R(5, 5, 8, 8)},
        {"radio", std::make_unique<GuiRadioButton>(5, 5, "OK", 1, GUI_BTN_ENABLED), R(5, 5, 41, 21)},
        {"radio, no text", std::make_unique<GuiRadioButton>(5, 5, nullptr, 1, GUI_BTN_ENABLED),
         R(5, 5, 8, 21)},
        {"check", std::make_unique<GuiCheckBox>(5, 5, "OK", 1, GUI_BTN_ENABLED), R(5, 5, 42, 22)},
        {"check, no text", std::make_unique<GuiCheckBox>(5, 5, nullptr, 1, GUI_BTN_ENABLED), R(5, 5, 8, 8)},
        {"decorated, left", std::make_unique<GuiDecoratedButton>(5, 5, "OK", &gbUpArrowBitmap, 1, 0, 0),
         R(5, 5, 35, 20)},
        {"decorated, above",
         std::make_unique<GuiDecoratedButton>(5, 5, "OK", &gbUpArrowBitmap, 1, GUI_BTN_BMP_ABOVE, 0),
         R(5, 5, 22, 27)},
        {"decorated, below, width",
         std::make_unique<GuiDecoratedButton>(5, 5, 40, "OK", &gbUpArrowBitmap, 1, GUI_BTN_BMP_BELOW, 0),
         R(5, 5, 44, 24)},
        {"decorated, no bitmap", std::make_unique<GuiDecoratedButton>(5, 5, "OK", nullptr, 1, 0, 0),
         R(5, 5, 20, 18)},
        {"multi-line", std::make_unique<GuiMLTextButton>(5, 5, "AB|C||DEF", '|', 1, 0), R(5, 5, 29, 48)},
        {"multi-line, width", std::make_unique<GuiMLTextButton>(5, 5, 50, "AB|C||DEF", '|', 1, 0),
         R(5, 5, 54, 48)},
        {"multi-line, empty", std::make_unique<GuiMLTextButton>(5, 5, "", '|', 1, 0), R(5, 5, 8, 8)},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.t->mRealRect, k.want) << k.what;
        EXPECT_EQ(k.t->mClientRect, k.want) << k.what;
    }
}

TEST(GuiButtonDraw, TextAndLinesArePlacedByAlignmentInsideTheFrame) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    h.pm().Add(w, 1);
    // Client of a (100, 100)-(159, 129) button: (101, 101)-(157, 127), 57 x 27.
    struct Case {
        uint16_t style;
        int x;
        uint32_t ink;
    } cases[] = {{GUI_BTN_ENABLED, 101 + (57 - 12) / 2, GUI_BLACK},
                 {GUI_BTN_ENABLED | GUI_STYLE_LEFT, 104, GUI_BLACK},
                 {GUI_BTN_ENABLED | GUI_STYLE_RIGHT, 157 - 12 - 3, GUI_BLACK},
                 {GUI_STYLE_LEFT, 104, GUI_DISABLED_TEXT}};
    for (const Case& k : cases) {
        auto* b = new GuiTextButton(R(100, 100, 159, 129), "OK", 1, k.style);
        w->Add(b, 1);
        EXPECT_EQ(Painted(R(101, 101, 157, 127), k.ink), TestText("OK", k.x, 101 + (27 - 10) / 2)) << k.style;
        w->Remove(b, 1);
        delete b;
    }
    // Four stretches with an empty third: the empty line keeps its height. The block of 40 rows is
    // centred in the 41-row client area.
    auto* ml = new GuiMLTextButton(100, 100, "AB|C||DEF", '|', 2, GUI_BTN_ENABLED);
    ASSERT_EQ(ml->LineCount(), 4);
    EXPECT_EQ(ml->Line(2), nullptr);
    w->Add(ml, 1);
    const GuiRect c = ml->mClientRect;
    PixelSet want;
    const char* lines[] = {"AB", "C", "", "DEF"};
    for (int i = 0; i < 4; ++i) {
        const int width = 6 * static_cast<int>(std::strlen(lines[i]));
        const PixelSet line =
            TestText(lines[i], c.left + (c.Width() - width) / 2, c.top + (41 - 40) / 2 + 10 * i);
        want.insert(line.begin(), line.end());
    }
    EXPECT_EQ(Painted(c, GUI_BLACK), want);
}

TEST(GuiButtonSelect, RadioGroupsCheckBoxesAndWhatTheyShow) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    auto* r1 = new GuiRadioButton(10, 10, "one", 1, GUI_BTN_ENABLED);
    auto* r2 = new GuiRadioButton(10, 40, "two", 2, GUI_BTN_ENABLED);
    auto* off = new GuiRadioButton(10, 70, "off", 4, 0);
    auto* c = new GuiCheckBox(10, 100, "box", 3, GUI_BTN_ENABLED);
    for (GuiThing* t : {static_cast<GuiThing*>(r1), static_cast<GuiThing*>(r2), static_cast<GuiThing*>(off),
                        static_cast<GuiThing*>(c)})
        w->Add(t, 0);
    h.pm().Add(w, 1);
    r2->mwSignals |= 1u << GUI_SIGNAL_UNSELECTED;
    auto click = [&](GuiThing* t, int dx = 5) {
        h.pointer(GM_BUTTON_DOWN, t->mRealRect.left + 5, t->mRealRect.top + 5);
        h.pointer(GM_BUTTON_UP, t->mRealRect.left + dx, t->mRealRect.top + 5);
        h.dispatchAll();
    };
    auto sent = [&] {
        std::vector<uint16_t> out;
        for (const auto& m : w->signals()) out.push_back(m.type);
        w->log.clear();
        return out;
    };
    // The dot in the middle of the radio bitmap, the tick's corner in the check box.
    auto dot = [](GuiThing* t) {
        return Harness::px(t->mRealRect.left + 3 + 5, (t->mRealRect.top + t->mRealRect.bottom) / 2 - 6 + 5);
    };
    EXPECT_EQ(dot(r1), GUI_WHITE);
    click(r1);
    EXPECT_EQ(sent(), std::vector<uint16_t>{GuiSignalType(1, GUI_SIGNAL_SELECTED)});
    EXPECT_EQ(dot(r1), GUI_BLACK);
    click(r2);
    EXPECT_EQ(sent(), std::vector<uint16_t>{GuiSignalType(2, GUI_SIGNAL_SELECTED)})
        << "r1 has no mask bit 11";
    EXPECT_FALSE(r1->IsSelected());
    EXPECT_EQ(dot(r1), GUI_WHITE);
    click(r2);
    EXPECT_TRUE(sent().empty()) << "already selected";
    click(r1);
    EXPECT_EQ(sent(), (std::vector<uint16_t>{GuiSignalType(2, GUI_SIGNAL_UNSELECTED),
                                             GuiSignalType(1, GUI_SIGNAL_SELECTED)}));
    click(r2, 200);
    EXPECT_TRUE(sent().empty()) << "released outside";
    click(off);
    EXPECT_FALSE(off->IsSelected()) << "disabled";
    click(c);
    click(c);
    EXPECT_EQ(sent(), (std::vector<uint16_t>{GuiSignalType(3, GUI_SIGNAL_CHECKED),
                                             GuiSignalType(3, GUI_SIGNAL_UNCHECKED)}));
    EXPECT_TRUE(r1->IsSelected()) << "check boxes leave radios alone";
    EXPECT_EQ(Painted(R(10 + 12 + 10, 40, 399, 70), GUI_BLACK), TestText("two", 32, (40 + 56) / 2 - 5));
    EXPECT_EQ(Painted(R(10 + 12 + 10, 70, 399, 99), GUI_DISABLED_TEXT),
              TestText("off", 32, (70 + 86) / 2 - 5));
}

TEST(GuiButtonSelect, SystemButtonsSignalOnPressAndDecoratedButtonsRollOver) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    auto* sys = new GuiSystemButton(R(10, 10, 25, 25), &gbUpArrowBitmap, 9);
    auto* deco = new GuiDecoratedButton(100, 100, "Go", &gbUpArrowBitmap, 8, GUI_BTN_ENABLED, 1);
    w->Add(sys, 0);
    w->Add(deco, 0);
    h.pm().Add(w, 1);
    h.pointer(GM_BUTTON_DOWN, 15, 15);
    h.dispatchAll();
    EXPECT_EQ(w->count(GuiSignalType(9, GUI_SIGNAL_CLICK)), 1) << "on the press";
    EXPECT_FALSE(sys->Pressed());
    EXPECT_EQ(h.pm().CaptureDepth(), 0);
    h.pointer(GM_BUTTON_UP, 15, 15);
    // Flat until the pointer is over it, raised while it is.
    const int l = deco->mRealRect.left, t = deco->mRealRect.top;
    EXPECT_EQ(Harness::px(l, t), GUI_LIGHT_GREY);
    h.pointer(GM_POINTER_MOVE, l + 5, t + 5);
    h.dispatchAll();
    EXPECT_EQ(Harness::px(l, t), GUI_WHITE);
    h.pointer(GM_POINTER_MOVE, 300, 250);
    h.dispatchAll();
    EXPECT_EQ(Harness::px(l, t), GUI_LIGHT_GREY);
    // The bitmap at the client's left, the text 2 pixels after it, both centred vertically.
    const GuiRect c = deco->mClientRect;
    EXPECT_EQ(Painted(R(c.left + 3 + 7, c.top, c.right, c.bottom), GUI_BLACK),
              TestText("Go", c.left + 3 + 7 + 2, c.top + ((c.Height() - 10) >> 1)));
}

TEST(GuiScrollBar, ThumbFollowsTheInformationArrowsTroughAndDrag) {
    Harness h(true);
    auto* parent = new Recorder(R(0, 0, 399, 299));
    GuiScrollInfo info{0, 99, 0, 10, 25};
    auto* bar = new GuiVScroll(R(100, 0, 115, 231), &info, 5); // track of 200 pixels
    parent->Add(bar, 0);
    h.pm().Add(parent, 1);
    const int top = bar->mClientRect.top;
    ASSERT_EQ(bar->mClientRect.Height(), 200);
    auto thumb = [&] { return bar->Thumb()->mRealRect; };
    struct Case {
        GuiScrollInfo info;
        int offset, length;
    } cases[] = {{{0, 99, 0, 10, 25}, 0, 50},
                 {{0, 99, 75, 10, 25}, 150, 50},
                 {{0, 9, 0, 1, 25}, 0, 199},
                 {{0, 9999, 0, 10, 1}, 0, 16},
                 {{INT32_MIN, INT32_MAX, INT32_MAX, 10, 1}, 184, 16}};
    for (Case& k : cases) {
        bar->Reset(&k.info);
        EXPECT_EQ(thumb().top - top, k.offset);
        EXPECT_EQ(thumb().bottom - thumb().top, k.length);
    }
    bar->Reset(&info);
    h.dispatchAll();

    // The down arrow tells the parent at once and moves the thumb; the up arrow at the minimum
    // sends nothing; the trough below the thumb at the end still tells, with equal values.
    const uint16_t scrolled = GuiSignalType(5, GUI_SIGNAL_SCROLLED);
    ASSERT_EQ(scrolled, 216);
    h.pointer(GM_BUTTON_DOWN, 105, 225);
    h.pointer(GM_BUTTON_UP, 105, 225);
    h.dispatchAll();
    ASSERT_EQ(parent->count(scrolled), 1);
    EXPECT_EQ(parent->of(scrolled)[0].param, 0);
    EXPECT_EQ(parent->of(scrolled)[0].data0, 10);
    EXPECT_EQ(thumb().top - top, 20);
    bar->Reset(&info);
    h.pointer(GM_BUTTON_DOWN, 105, 2);
    h.pointer(GM_BUTTON_UP, 105, 2);
    h.dispatchAll();
    EXPECT_EQ(parent->count(scrolled), 1);
    GuiScrollInfo end{0, 99, 75, 10, 25};
    bar->Reset(&end);
    bar->Message(guitest::PointerMessage(GM_BUTTON_DOWN, 105, 30));
    EXPECT_EQ(bar->Info().current, 50) << "one page up";
    bar->Reset(&end);
    parent->log.clear();
    bar->Message(guitest::PointerMessage(GM_BUTTON_DOWN, 105, 215));
    ASSERT_EQ(parent->count(scrolled), 1);
    EXPECT_EQ(parent->of(scrolled)[0].param, 75);
    EXPECT_EQ(parent->of(scrolled)[0].data0, 75);

    // Dragging the thumb past the end stops it there with its length.
    bar->Reset(&info);
    const int len = thumb().Height();
    h.pointer(GM_BUTTON_DOWN, 105, thumb().top + 5);
    h.pointer(GM_POINTER_MOVE, 105, 290);
    h.pointer(GM_BUTTON_UP, 105, 290);
    h.dispatchAll();
    EXPECT_EQ(thumb().bottom, bar->mClientRect.bottom);
    EXPECT_EQ(thumb().Height(), len);
    EXPECT_EQ(bar->Info().current, 75);

    // A track shorter than its thumb: the thumb stays at the start whatever is done to it.
    auto* stub = new GuiHScroll(R(200, 100, 239, 115), &info, 6);
    parent->Add(stub, 1);
    ASSERT_LT(stub->mClientRect.Width(), 16);
    h.pointer(GM_BUTTON_DOWN, stub->Thumb()->mRealRect.left + 2, 105);
    h.pointer(GM_POINTER_MOVE, 390, 105);
    h.pointer(GM_BUTTON_UP, 390, 105);
    h.dispatchAll();
    EXPECT_EQ(stub->Thumb()->mRealRect.left, stub->mClientRect.left);
    EXPECT_EQ(stub->Info().current, 0);
}

TEST(GuiScrollBar, AWindowsOwnBarScrollsItsContentAtOnce) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 199, 199));
    auto* tall = new guitest::Panel(R(10, 10, 50, 399), 0, 0x00FF00, 0);
    w->Add(tall, 0);
    h.pm().Add(w, 1);
    w->SetScrollMode(GUI_SCROLL_V);
    auto* bar = dynamic_cast<GuiScroll*>(w->mpVScrollBar);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->Info().step, 20);
    w->log.clear();
    const GuiRect down = bar->ArrowButton(2)->mRealRect;
    h.pointer(GM_BUTTON_DOWN, down.left + 3, down.top + 3);
    h.pointer(GM_BUTTON_UP, down.left + 3, down.top + 3);
    h.dispatchAll();
    ASSERT_EQ(w->count(GM_VSCROLL), 1);
    EXPECT_EQ(w->of(GM_VSCROLL)[0].param, 0);
    EXPECT_EQ(w->of(GM_VSCROLL)[0].data0, 20);
    EXPECT_EQ(w->of(GM_VSCROLL)[0].source, bar);
    EXPECT_EQ(tall->mRealRect.top, -10) << "the content moved up by one step";
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
