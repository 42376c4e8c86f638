// Containers: the notebook's tabs, scroller, pages and their ownership; the group enabling its
// buttons; a window minimised to its icon and restored; the animation window's frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "gui/widgets/notebook/guianimwin.h"
#include "gui/widgets/notebook/guigroup.h"
#include "gui/widgets/notebook/guinotebook.h"
#include "gui/widgets/slider/guislider.h"
#include "gui/window/guibutton.h"
#include "gui/window/guiicon.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Panel;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

void Click(Harness& h, int x, int y) {
    h.pointer(GM_BUTTON_DOWN, x, y);
    h.pointer(GM_BUTTON_UP, x, y);
    h.dispatchAll();
}

// One timer tick, its expiries delivered.
void Tick(Harness& h) {
    for (GuiMessage& m : h.tick()) h.pm().DispatchMessage(&h.pm(), &m);
}

bool Child(GuiThing* parent, GuiThing* t) {
    for (GuiThing* c = parent->FirstChild(); c; c = c->NextSibling())
        if (c == t) return true;
    return false;
}

} // namespace

TEST(GuiNotebook, TabsScrollerPagesAndSignal) {
    Harness h(true);
    h.useTestFont(); // tab texts of 10 characters are 60 wide: tabs 72
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* nb = new GuiNotebook(R(10, 10, 309, 209), GUI_NB_TEXT_TABS | GUI_NB_TABS_ABOVE, 5);
    nb->mwThingId = 6;
    GuiThing* pages[5];
    for (unsigned char i = 0; i < 5; ++i) {
        nb->SetTabString(i, "0123456789");
        pages[i] = new Panel(R(0, 0, 9, 9), 0, 0x00FF00 + i);
        nb->SetPageClient(i, pages[i]);
    }
    w->Add(nb, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    EXPECT_EQ(nb->miTabWidth, 72);
    ASSERT_NE(nb->mpTabScroller, nullptr) << "four would fit, five do not";
    EXPECT_EQ(nb->muVisibleTabs, (300 - 35) / 72);
    // The first page fills the client area less 4.
    EXPECT_TRUE(Child(nb, pages[0]));
    GuiRect inner = nb->mClientRect;
    inner -= 4;
    EXPECT_EQ(pages[0]->mRealRect, inner);
    // A click on tab 1 selects it and tells the parent; on the selected tab nothing.
    const int tabY = nb->mClientRect.top - 5;
    Click(h, 10 + 72 + 5, tabY);
    EXPECT_EQ(nb->muCurrentTab, 1);
    EXPECT_TRUE(Child(nb, pages[1]));
    EXPECT_FALSE(Child(nb, pages[0]));
    const uint16_t tab6 = GuiSignalType(6, GUI_SIGNAL_TAB);
    ASSERT_EQ(w->count(tab6), 1);
    EXPECT_EQ(w->of(tab6)[0].data0, 1);
    EXPECT_EQ(nb->CheckTabClick(GuiPoint{10 + 72 + 5, static_cast<int16_t>(tabY)}), 0);
    nb->SelectTab(5);
    h.dispatchAll();
    EXPECT_EQ(w->count(tab6), 1);
    // The scroller moves the row; the page a tab holds is kept when set again.
    nb->Message(GuiMakeMessage(GuiSignalType(GUI_NB_SCROLLER_ID, 8), nb));
    EXPECT_EQ(nb->muFirstVisibleTab, 1);
    nb->SetPageClient(1, pages[1]);
    EXPECT_EQ(nb->GetPageClient(1), pages[1]);
    EXPECT_TRUE(Child(nb, pages[1]));
    EXPECT_EQ(nb->RemovePageClient(4), pages[4]);
    delete pages[4];
    // Two tabs left: the surplus pages go (checked by the leak checker), the first is shown.
    nb->ResetNumTabs(2);
    EXPECT_EQ(nb->muNumTabs, 2);
    EXPECT_EQ(nb->GetPageClient(2), nullptr);
    EXPECT_TRUE(Child(nb, pages[0]));
    EXPECT_EQ(nb->mpTabScroller, nullptr);
    // Client tabs: a tab client set twice stays, surplus ones go with the tabs.
    nb->ResetTabStyle(0);
    auto* t0 = new Panel(R(0, 0, 19, 9), 0, 0x0000FF, 0);
    auto* t1 = new Panel(R(0, 0, 19, 9), 0, 0x0000FF, 0);
    nb->SetTabClient(0, t0);
    nb->SetTabClient(1, t1);
    nb->SetTabClient(0, t0);
    EXPECT_EQ(nb->GetTabClient(0), t0);
    EXPECT_EQ(t0->Id(), 1);
    EXPECT_TRUE(t0->Status() & GUI_ST_NONCLIENT);
    nb->ResetNumTabs(1);
    EXPECT_EQ(nb->GetTabClient(0), t0);
    EXPECT_FALSE(Child(nb, t1) || nb->GetTabClient(1));
    h.dispatchAll();
}

TEST(GuiGroup, EnableCascadesToItsButtons) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    auto* g = new GuiGroup(R(10, 10, 209, 109), "Mode", GUI_STYLE_SELECTABLE);
    auto* a = new GuiRadioButton(R(20, 30, 119, 49), "A", 11, GUI_BTN_ENABLED);
    auto* p = new Panel(R(20, 60, 39, 79), 12, 0x0000FF, 0);
    g->Add(a, 0);
    g->Add(p, 0);
    w->Add(g, 0);
    h.pm().Add(w, 1);
    EXPECT_EQ(g->mClientRect, R(12, 12 + guitest::kTestGlyphH / 2, 207, 107));
    // The title at (L + 9, top) in colour 2 while enabled, grey when not.
    const int titleX = 10 + 9 + 2, titleY = 10 + 4;
    EXPECT_EQ(Harness::px(titleX, titleY), GUI_BLACK);
    g->Enable(0);
    EXPECT_FALSE(a->Style() & GUI_BTN_ENABLED);
    EXPECT_FALSE(a->Status() & GUI_ST_SELECTABLE);
    EXPECT_TRUE(p->Status() & GUI_ST_SELECTABLE) << "only buttons follow";
    EXPECT_EQ(Harness::px(titleX, titleY), GUI_DARK_GREY);
    g->Enable(0);
    EXPECT_EQ(Harness::px(titleX, titleY), GUI_DARK_GREY);
    g->Enable(1);
    EXPECT_TRUE(a->Style() & GUI_BTN_ENABLED);
    EXPECT_EQ(Harness::px(titleX, titleY), GUI_BLACK);
}

TEST(GuiIcon, AMinimisedWindowComesBackFromItsIcon) {
    Harness h(true);
    auto* desk = new Recorder(R(0, 0, 399, 299));
    auto* win = new GuiWindow(R(50, 50, 149, 129), GUI_BORDER_THICK);
    win->mwThingId = 9;
    desk->Add(win, 0);
    h.pm().Add(desk, 1);
    win->Message(GuiMakeMessage(GM_MINIMIZE, win));
    h.dispatchAll();
    EXPECT_FALSE(Child(desk, win));
    GuiIcon* icon = nullptr;
    for (GuiThing* c = desk->FirstChild(); c; c = c->NextSibling())
        if (c->muThingType == GUI_TYPE_ICON) icon = static_cast<GuiIcon*>(c);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->GetProxy(), win);
    const GuiPoint at = icon->CenterOf(icon);
    Click(h, at.x, at.y);
    EXPECT_TRUE(Child(desk, win));
    for (GuiThing* c = desk->FirstChild(); c; c = c->NextSibling()) EXPECT_NE(c->muThingType, GUI_TYPE_ICON);
    // An icon without a proxy ignores the release.
    auto* lone = new GuiIcon(R(300, 200, 315, 215), nullptr, 0, 0);
    desk->Add(lone, 1);
    Click(h, 307, 207);
    EXPECT_TRUE(Child(desk, lone));
}

TEST(GuiAnimationWindow, TicksAdvanceFramesAndBadFramesAreIgnored) {
    Harness h(true);
    uint32_t pixels[4][16];
    GuiBitmap frames[4];
    GuiBitmap* list[4];
    for (int k = 0; k < 4; ++k) {
        for (uint32_t& p : pixels[k]) p = 0x100000u * static_cast<uint32_t>(k + 1);
        frames[k] = GuiBitmap{0, 32, 4, 4, 0, reinterpret_cast<uint8_t*>(pixels[k])};
        list[k] = &frames[k];
    }
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* anim =
        new GuiAnimationWindow(R(10, 10, 109, 109), nullptr, list, 4, 5, 6, nullptr, GUI_BORDER_NONE);
    w->Add(anim, 0);
    h.pm().Add(w, 1);
    anim->Run(1, 0);
    for (int i = 0; i < 5; ++i) Tick(h);
    EXPECT_EQ(anim->muCurrentFrame, 1);
    EXPECT_EQ(Harness::px(10 + 5, 10 + 6), 0x200000u);
    anim->SetFrame(4);
    anim->Run(1, 7);
    EXPECT_EQ(anim->muCurrentFrame, 1) << "frames beyond the count are ignored";
    anim->Stop();
    Tick(h);
    EXPECT_EQ(anim->muCurrentFrame, 1);
    // No list: a tick draws nothing.
    anim->SetAnimationList(nullptr);
    anim->Message(GuiMakeMessage(GM_TIMER, anim));
    EXPECT_EQ(anim->muCurrentFrame, 2);
    EXPECT_EQ(Harness::px(10 + 5, 10 + 6), 0x200000u) << "advanced, nothing drawn";
}
