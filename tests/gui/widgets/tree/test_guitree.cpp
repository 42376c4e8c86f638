// The tree view: node measures and what is drawn where, clicks on nodes and on branch boxes with
// their signals, finding, removing and destroying nodes, and the bar that a tall tree gets.
#include <gtest/gtest.h>

#include <vector>

#include "gui/widgets/tree/guitree.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// A black 8 x 20 bitmap.
uint8_t gPixels[8 * 20] = {};
GuiBitmap gIcon{0, 8, 8, 20, 255, gPixels};

GuiTreeNode* Node(GuiTreeNode* parent, const char* text, GuiBitmap* bitmap = nullptr) {
    auto* n = new GuiTreeNode(text, bitmap);
    parent->Add(n, 0);
    return n;
}

void Press(Harness& h, uint16_t type, int x, int y) {
    h.pointer(type, x, y);
    h.dispatchAll();
}

// The view's signals (id 5) since the last call: signal number and the node of Data.
std::vector<std::pair<unsigned, GuiTreeNode*>> Signals(Recorder& w) {
    std::vector<std::pair<unsigned, GuiTreeNode*>> out;
    for (const guitest::Received& r : w.signals()) {
        const uint64_t bits = static_cast<uint32_t>(r.data0) | uint64_t{static_cast<uint32_t>(r.data1)} << 32;
        out.emplace_back(static_cast<unsigned>(r.type - GuiSignalType(5, 0)),
                         reinterpret_cast<GuiTreeNode*>(static_cast<uintptr_t>(bits)));
    }
    w.log.clear();
    return out;
}

} // namespace

TEST(GuiTreeView, NodesDrawOpenCloseAndSignal) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_WHITE);
    auto* view = new GuiTreeView(R(10, 10, 209, 209), GUI_BORDER_NONE, "root", nullptr);
    view->mwThingId = 5;
    GuiTreeNode* root = view->Root();
    GuiTreeNode* a = Node(root, "a", &gIcon);
    GuiTreeNode* b = Node(root, "b");
    GuiTreeNode* b1 = Node(b, "b1");
    GuiTreeNode* b11 = Node(b1, "x");
    Node(b, "x");
    GuiTreeNode* c = Node(root, "c");
    w->Add(view, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();

    // Finding by depth: 0 searches every depth, closed branches included.
    struct Find {
        int level;
        const char* text;
        GuiTreeNode* found;
    } finds[] = {{2, "b1", b1}, {1, "b1", nullptr}, {0, "x", b11}, {3, "x", b11}, {0, "none", nullptr}};
    for (const Find& f : finds) EXPECT_EQ(view->FindNode(f.level, f.text), f.found) << f.level << f.text;

    // With a bitmap 20 high and a font 10 high a node is 22 high, the bitmap 2 and the text 7 below
    // its top (the glyphs of the test font start one row down).
    EXPECT_EQ(a->NodeHeight(), 22);
    EXPECT_EQ(b->NodeHeight(), 12);
    const GuiRect ar = a->mRealRect;
    EXPECT_EQ(ar.left, root->mRealRect.left + 5 + 14);
    EXPECT_EQ(Harness::px(ar.left + 1, ar.top + 1), GUI_WHITE);
    EXPECT_EQ(Harness::px(ar.left + 1, ar.top + 2), GUI_BLACK) << "bitmap";
    const int textX = ar.left + 10 + 2;
    EXPECT_EQ(Harness::px(textX, ar.top + 7), GUI_WHITE);
    EXPECT_EQ(Harness::px(textX, ar.top + 8), GUI_BLACK) << "text";

    // Clicks: a node selects it (signal 8); a box toggles its branch (10 open, 11 closed) and
    // selects nothing; a secondary click on the selection gives 12.
    const GuiRect br = b->mRealRect;
    const int boxX = br.left - 14, boxY = (br.top + br.bottom) / 2;
    Press(h, GM_BUTTON_DOWN, ar.left + 12, ar.top + 8);
    EXPECT_EQ(view->Selected(), a);
    Press(h, GM_BUTTON_DOWN, boxX, boxY);
    EXPECT_TRUE(b->mbOpen);
    EXPECT_EQ(b1->mRealRect.top, br.bottom);
    Press(h, GM_BUTTON_DOWN, boxX + 3, boxY - 3);
    EXPECT_FALSE(b->mbOpen);
    Press(h, GM_BUTTON2_UP, ar.left + 12, ar.top + 8);
    Press(h, GM_BUTTON2_UP, br.left + 12, br.top + 5); // not the selection
    view->ToggleBranch(c);                             // no children: stays closed, still 11
    h.dispatchAll();
    const std::vector<std::pair<unsigned, GuiTreeNode*>> want = {{8, a}, {10, b}, {11, b}, {12, a}, {11, c}};
    EXPECT_EQ(Signals(*w), want);
    EXPECT_EQ(view->Selected(), a);

    // Removing the selected node leaves no selection; the root is neither removed nor destroyed.
    EXPECT_EQ(view->RemoveNode(a), a);
    EXPECT_EQ(view->Selected(), nullptr);
    delete a;
    EXPECT_EQ(view->RemoveNode(root), nullptr);
    view->DestroyNode(root);
    EXPECT_EQ(view->Root(), root);
    EXPECT_EQ(root->Count(), 2);
    view->DestroyNode(b);
    EXPECT_EQ(root->Count(), 1);

    // A tree taller than the view gets the vertical bar when it opens, and loses it when it closes.
    GuiTreeNode* many = Node(root, "many");
    for (int i = 0; i < 40; ++i) Node(many, "n");
    EXPECT_EQ(view->mpVScrollBar, nullptr);
    view->ToggleBranch(many);
    ASSERT_NE(view->mpVScrollBar, nullptr);
    GuiScrollInfo info{};
    view->GetVScrollInfo(&info);
    EXPECT_EQ(info.maximum, 12 + 2 * 12 + 40 * 12 + 4);
    // The bar's down arrow scrolls the nodes up by a tenth of the view.
    const int before = many->FirstNode()->mRealRect.top;
    const GuiRect bar = view->mpVScrollBar->mRealRect;
    h.click(bar.left + 3, bar.bottom - 3);
    EXPECT_EQ(view->miVOffset, info.step);
    EXPECT_EQ(many->FirstNode()->mRealRect.top, before - info.step);
    view->ToggleBranch(many);
    EXPECT_EQ(view->mpVScrollBar, nullptr);
    view->Reset("empty");
    EXPECT_EQ(root->Count(), 0);
    EXPECT_STREQ(root->Text(), "empty");
    h.dispatchAll();
}
