// Menus: a bar built from descriptions, its sub-menu under the presentation manager, check and dot
// entries with their signals to the owner, the search by text, and an entry destroyed while its
// sub-menu is open.
#include <gtest/gtest.h>

#include "gui/widgets/menu/guimenu.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

bool UnderPm(Harness& h, GuiThing* t) {
    return t->Parent() == &h.pm();
}

GuiMenuDescription gEmpty[] = {{"ignored", 0, 0, nullptr}};
GuiMenuDescription gFile[] = {{"Open", 11, GUI_MENU_ENABLED, nullptr},
                              {"Grey", 15, 0, nullptr},
                              {nullptr, 0, GUI_MENU_SEPARATOR, nullptr},
                              {"Wrap", 12, GUI_MENU_ENABLED | GUI_MENU_CHECK, nullptr},
                              {nullptr, 0, GUI_MENU_SEPARATOR, nullptr},
                              {"A", 13, GUI_MENU_ENABLED | GUI_MENU_DOT | GUI_MENU_DOTTED, nullptr},
                              {"B", 14, GUI_MENU_ENABLED | GUI_MENU_DOT, nullptr},
                              {nullptr, 0, 0, nullptr}};
GuiMenuDescription gEdit[] = {{"Undo", 41, GUI_MENU_ENABLED, nullptr}, {nullptr, 0, 0, nullptr}};
GuiMenuDescription gBar[] = {{"File", 1, GUI_MENU_ENABLED, gFile},
                             {"Edit", 4, GUI_MENU_ENABLED, gEdit},
                             {"Help", 20, GUI_MENU_ENABLED, nullptr},
                             {nullptr, 0, 0, nullptr}};

} // namespace

TEST(GuiMenu, BarEntriesOpenSubMenusWhoseEntriesSignalTheOwner) {
    Harness h(true);
    h.useTestFont();
    EXPECT_EQ(GuiMenu(gEmpty, 0).FirstChild(), nullptr) << "the first entry ends the array";

    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* bar = new GuiMenuBar(gBar);
    w->Add(bar, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    // Along the window's top, 6 + the font high; entries from left + 6, text width + 8 + 1 wide,
    // 4 pixels apart.
    EXPECT_EQ(bar->mRealRect, R(0, 0, 399, 16));
    GuiMenuButton* file = bar->FindButton("File");
    GuiMenuButton* edit = bar->FindButton("Edit");
    ASSERT_TRUE(file && edit);
    EXPECT_EQ(file->mRealRect, R(6, 2, 39, 14));
    EXPECT_EQ(edit->mRealRect.left, 43);
    // The search goes into sub-menus; separators (no text) are skipped.
    GuiMenuButton* wrap = bar->FindButton("Wrap");
    ASSERT_NE(wrap, nullptr);
    EXPECT_EQ(bar->FindButton("Nothing"), nullptr);
    GuiMenu* sub = file->mpSubMenu;
    ASSERT_NE(sub, nullptr);

    // A press on the bar entry drops the sub-menu below it, as a child of the presentation manager.
    h.click(10, 5);
    ASSERT_TRUE(UnderPm(h, sub));
    EXPECT_EQ(sub->mRealRect.left, 6);
    EXPECT_EQ(sub->mRealRect.top, 14 + 2);
    // The press put the bar in flyover mode: passing over another entry opens its sub-menu instead.
    h.pointer(GM_POINTER_MOVE, 50, 5);
    h.dispatchAll();
    EXPECT_FALSE(UnderPm(h, sub));
    EXPECT_TRUE(UnderPm(h, edit->mpSubMenu));
    h.pointer(GM_POINTER_MOVE, 10, 5);
    h.dispatchAll();
    ASSERT_TRUE(UnderPm(h, sub));
    EXPECT_FALSE(UnderPm(h, edit->mpSubMenu));
    // Entries fill the menu from top + 2, each as high as the font + 2 + 1 (a separator 7).
    EXPECT_EQ(sub->FindButton("Open")->mRealRect.top, 18);
    EXPECT_EQ(wrap->mRealRect.top, 18 + 13 + 13 + 7);

    // Golden facts of choosing entries: the owner's signal types in order.
    struct Choice {
        const char* entry;
        std::vector<uint16_t> signals;
        bool checked;
    } choices[] = {
        {"Wrap", {GuiSignalType(12, 8)}, true},  // check mark set
        {"Wrap", {GuiSignalType(12, 9)}, false}, // and cleared
        {"B", {GuiSignalType(14, 10)}, true},    // A loses its dot without a signal of its own
        {"Grey", {}, false},                     // disabled: nothing
        {"Open", {GuiSignalType(11, 4)}, false},
    };
    for (const Choice& c : choices) {
        if (!UnderPm(h, sub)) h.click(10, 5);
        ASSERT_TRUE(UnderPm(h, sub)) << c.entry;
        GuiMenuButton* e = sub->FindButton(c.entry);
        w->log.clear();
        h.click(e->mRealRect.left + 20, e->mRealRect.top + 3);
        std::vector<uint16_t> got;
        for (const guitest::Received& r : w->signals()) got.push_back(r.type);
        EXPECT_EQ(got, c.signals) << c.entry;
        EXPECT_EQ(e->IsChecked() || e->IsDotted(), c.checked) << c.entry;
    }
    EXPECT_FALSE(sub->FindButton("A")->IsDotted());
    EXPECT_EQ(w->of(GuiSignalType(11, 4)).at(0).param, 11);

    // A bar destroyed while its sub-menu is open takes the sub-menu off the screen first.
    if (!UnderPm(h, sub)) h.click(10, 5);
    ASSERT_TRUE(UnderPm(h, sub));
    w->Remove(bar, 0);
    delete bar;
    for (GuiThing* c = h.pm().FirstChild(); c; c = c->NextSibling()) EXPECT_EQ(c, w);
    h.dispatchAll();
}
