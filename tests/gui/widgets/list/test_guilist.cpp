// Lists and the combo box: entries stacked in child order, the selection and its signal, moving
// the selection, inserting into a shown list, and the drop-down list under the presentation
// manager.
#include <gtest/gtest.h>

#include <vector>

#include "gui/widgets/list/guilist.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

GuiTextButton* Entry(unsigned short id, int height = 20) {
    return new GuiTextButton(R(0, 0, 40, height - 1), "e", id, GUI_BTN_ENABLED);
}

std::vector<unsigned short> Ids(GuiList& list) {
    std::vector<unsigned short> ids;
    for (int i = 0; GuiThing* t = list.GetThing(i); ++i) ids.push_back(t->Id());
    return ids;
}

} // namespace

TEST(GuiList, EntriesStackSelectAndSignalTheParent) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* list = new GuiVertList(R(10, 10, 109, 109), 9, GUI_BORDER_NONE);
    GuiThing* e[3] = {Entry(3), Entry(4), Entry(5)};
    for (GuiThing* t : e) list->AddToEnd(t, 0);
    w->Add(list, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    // Client top + 0, + 20, + 40, across the whole client width.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(e[i]->mRealRect, R(10, 10 + 20 * i, 109, 29 + 20 * i)) << i;
    // Shown before it is visible: the first entry is selected without a signal.
    const uint16_t select9 = GuiSignalType(9, GUI_SIGNAL_LIST_SELECT);
    ASSERT_EQ(select9, 284);
    EXPECT_EQ(list->GetSelected(), e[0]);
    EXPECT_TRUE(e[0]->Style() & GUI_STYLE_HIGHLIGHT);
    EXPECT_EQ(w->count(select9), 0);

    h.click(50, 40);
    ASSERT_EQ(w->count(select9), 1);
    EXPECT_EQ(w->of(select9)[0].param, 4);
    EXPECT_EQ(w->of(select9)[0].source, list);
    EXPECT_EQ(list->GetSelected(), e[1]);
    EXPECT_FALSE(e[0]->Style() & GUI_STYLE_HIGHLIGHT);
    // The same entry again: no change, no signal.
    h.click(50, 40);
    EXPECT_EQ(w->count(select9), 1);

    struct Query {
        int index;
        GuiThing* result;
        GuiThing* selection;
    } queries[] = {{5, nullptr, e[1]}, {2, e[2], e[2]}, {-1, nullptr, nullptr}};
    for (const Query& q : queries) {
        EXPECT_EQ(list->SetSelected(q.index), q.result) << q.index;
        EXPECT_EQ(list->GetSelected(), q.selection) << q.index;
    }
    EXPECT_EQ(list->GetSelectedIndex(), -1);
    EXPECT_EQ(list->GetIndex(e[2]), 2);
    EXPECT_EQ(list->GetIndex(w), -1);
    EXPECT_EQ(list->GetThing(3), nullptr);
    h.dispatchAll();
    EXPECT_EQ(w->count(select9), 2) << "only SetSelected(2) changed to an entry";
}

TEST(GuiList, NavigationScrollingAndInsertIntoAShownList) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* list = new GuiVertList(R(10, 10, 109, 69), 9, GUI_BORDER_NONE); // room for three entries
    for (unsigned short id = 1; id <= 6; ++id) list->AddToEnd(Entry(id), 0);
    list->SetScrollMode(GUI_SCROLL_AUTO_V);
    w->Add(list, 0);
    h.pm().Add(w, 1);
    ASSERT_NE(list->mpVScrollBar, nullptr) << "six entries of 20 do not fit in 60";
    EXPECT_EQ(list->GetNumItems(), 6) << "the bar is no entry";

    // Next and previous stop at the ends unless the list wraps; paging walks a client height.
    struct Step {
        GuiThing* (GuiList::*op)();
        bool wrap;
        int from, to; // -1: none returned, the selection stays
    } steps[] = {{&GuiList::SelectNext, false, 5, -1},   {&GuiList::SelectNext, true, 5, 0},
                 {&GuiList::SelectPrevious, true, 0, 5}, {&GuiList::SelectPrevious, false, 0, -1},
                 {&GuiList::PageDown, false, 0, 2},      {&GuiList::PageDown, false, 4, 5},
                 {&GuiList::PageUp, false, 5, 3}};
    for (const Step& s : steps) {
        list->Style(static_cast<unsigned short>(GUI_BORDER_NONE | (s.wrap ? GUI_LIST_WRAP : 0)));
        list->SetSelected(s.from);
        GuiThing* r = (list->*s.op)();
        EXPECT_EQ(r, s.to < 0 ? nullptr : list->GetThing(s.to)) << s.from;
        EXPECT_EQ(list->GetSelectedIndex(), s.to < 0 ? s.from : s.to) << s.from;
        // The selection is scrolled into the client area.
        const GuiRect& sel = list->GetSelected()->mRealRect;
        EXPECT_GE(sel.top, list->mClientRect.top);
        EXPECT_LE(sel.bottom, list->mClientRect.bottom);
    }

    // Insert into the middle of the shown list: it leaves its parent for the move and comes back.
    list->Insert(Entry(7), 2, 1, 1);
    EXPECT_EQ(list->Parent(), w);
    EXPECT_TRUE(list->IsVisible());
    EXPECT_EQ(Ids(*list), (std::vector<unsigned short>{1, 2, 7, 3, 4, 5, 6}));
    EXPECT_EQ(list->GetSelected()->Id(), 7);
    list->Insert(Entry(8), 99, 0, 0); // past the end: appended
    list->Insert(Entry(9), -1, 0, 0); // before 0: added in front
    EXPECT_EQ(Ids(*list), (std::vector<unsigned short>{9, 1, 2, 7, 3, 4, 5, 6, 8}));

    // An invisible list takes Insert with select set but does not select.
    auto* hidden = new GuiVertList(R(0, 0, 50, 50), 0, GUI_BORDER_NONE);
    hidden->Insert(Entry(1), 0, 1, 0);
    EXPECT_EQ(hidden->GetSelected(), nullptr);
    delete hidden;

    EXPECT_EQ(list->Clear(), 9);
    EXPECT_EQ(list->GetSelected(), nullptr);
    EXPECT_EQ(list->mpVScrollBar, nullptr) << "nothing left to scroll";
}

TEST(GuiComboBox, OpensUnderThePresentationManagerAndReportsAChangedSelection) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* combo = new GuiComboBox(R(20, 20, 139, 119), 6, GUI_BORDER_THIN);
    for (unsigned short id = 1; id <= 3; ++id) combo->AddToEnd(Entry(id, 16), 0);
    w->Add(combo, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    // Closed: 16 + 2 for the thin border; the arrow at the right inside the border.
    EXPECT_EQ(combo->mRealRect, R(20, 20, 139, 37));
    EXPECT_EQ(combo->mpButton->mRealRect, R(123, 21, 138, 36));
    EXPECT_EQ(combo->GetSelectedIndex(), 0);
    ASSERT_NE(combo->mpCaptured, nullptr);
    EXPECT_EQ(combo->mpCaptured->width, 118);

    const uint16_t select6 = GuiSignalType(6, GUI_SIGNAL_LIST_SELECT);
    h.click(130, 28); // the arrow
    ASSERT_TRUE(combo->IsOpen());
    EXPECT_EQ(combo->List()->Parent(), &h.pm());
    EXPECT_EQ(combo->List()->mRealRect, R(20, 39, 139, 119));
    // The same entry again: closed without a signal.
    h.click(60, 45);
    EXPECT_FALSE(combo->IsOpen());
    EXPECT_EQ(combo->List()->Parent(), nullptr);
    EXPECT_EQ(w->count(select6), 0);
    // Another entry: one signal with its id.
    h.click(130, 28);
    h.click(60, 80);
    EXPECT_FALSE(combo->IsOpen());
    ASSERT_EQ(w->count(select6), 1);
    EXPECT_EQ(w->of(select6)[0].param, 3);
    EXPECT_EQ(combo->GetSelectedIndex(), 2);

    // Destroyed while open: its list leaves the presentation manager first.
    h.click(130, 28);
    ASSERT_TRUE(combo->IsOpen());
    w->Remove(combo, 0);
    delete combo;
    for (GuiThing* c = h.pm().FirstChild(); c; c = c->NextSibling()) EXPECT_EQ(c, w);
    h.dispatchAll();
}

TEST(GuiList, AHorizontalListRunsAcrossAndScrollsItsSelectionIntoView) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* list = new GuiHorzList(R(10, 10, 109, 49), 9, GUI_BORDER_NONE); // room for three entries
    for (unsigned short id = 1; id <= 6; ++id)
        list->AddToEnd(new GuiTextButton(R(0, 0, 29, 10), "e", id, GUI_BTN_ENABLED), 0);
    list->SetScrollMode(GUI_SCROLL_AUTO_H);
    w->Add(list, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    ASSERT_NE(list->mpHScrollBar, nullptr);
    // Each keeps its width and spans the client height, which the bar has made 16 smaller.
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(list->GetThing(i)->mRealRect, R(10 + 30 * i, 10, 39 + 30 * i, 33)) << i;
    // The fifth entry is moved into the client area from the right.
    list->SetSelected(4);
    EXPECT_EQ(list->GetThing(4)->mRealRect.right, list->mClientRect.right);
    list->SetSelected(0);
    EXPECT_EQ(list->GetThing(0)->mRealRect.left, list->mClientRect.left);
    h.dispatchAll();
    EXPECT_EQ(w->count(GuiSignalType(9, GUI_SIGNAL_LIST_SELECT)), 2);
}
