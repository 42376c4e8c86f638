#include <gtest/gtest.h>

#include <string>

#include "guiharness.h"

using guitest::Harness;
using guitest::Panel;
using guitest::Probe;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::string Order(GuiThing* parent) {
    std::string s;
    for (GuiThing* c = parent->mpFirstChild; c; c = c->mpNextSibling) {
        s += static_cast<char>('A' + c->mwThingId - 1);
        // The back links agree with the forward ones.
        if (c->mpNextSibling) {
            EXPECT_EQ(c->mpNextSibling->mpPrevSibling, c);
        }
        EXPECT_EQ(c->mpParentThing, parent);
    }
    return s;
}

// Ids 1.. map to letters A..: K = 11, P = 16, Q = 17, V = 22, W = 23.
GuiThing* Make(char name, uint16_t status = 0) {
    auto* t = new Probe(R(0, 0, 9, 9), static_cast<uint16_t>(name - 'A' + 1));
    t->mwStatusFlags = static_cast<uint16_t>(t->mwStatusFlags | status);
    return t;
}

} // namespace

TEST(GuiThingTree, AddKeepsFrontWindowsAndPlainClassesInOrder) {
    Harness h;
    GuiThing parent(R(0, 0, 99, 99), 0, GUI_BORDER_NONE);
    parent.Add(Make('P'), 0);
    parent.Add(Make('K', GUI_ST_FRONT), 0);
    parent.Add(Make('W', GUI_ST_VIEWPORTS), 0);
    ASSERT_EQ(Order(&parent), "KWP");
    parent.Add(Make('Q'), 0);
    EXPECT_EQ(Order(&parent), "KQWP");
    parent.Add(Make('V', GUI_ST_VIEWPORTS), 0);
    EXPECT_EQ(Order(&parent), "KVQWP");

    GuiThing other(R(0, 0, 99, 99), 0, GUI_BORDER_NONE);
    other.Add(Make('P'), 0);
    other.Add(Make('W', GUI_ST_VIEWPORTS), 0);
    other.Add(Make('Q'), 0);
    EXPECT_EQ(Order(&other), "WQP");
    other.Add(Make('V', GUI_ST_VIEWPORTS), 0);
    EXPECT_EQ(Order(&other), "VWQP");
}

TEST(GuiThingTree, AddingTheFirstChildAgainChangesAndDrawsNothing) {
    Harness h;
    auto* a = new Panel(R(10, 10, 50, 50), 1, 0x00FF00, 0);
    auto* b = new Panel(R(20, 20, 60, 60), 2, 0x0000FF, 0);
    h.root().Add(a, 1);
    h.root().Add(b, 1);
    EXPECT_EQ(h.root().mpFirstChild, b);
    EXPECT_EQ(Harness::px(25, 25), 0x0000FFu);
    const int drawsA = a->draws, drawsB = b->draws;
    h.root().Add(b, 1);
    EXPECT_EQ(a->draws, drawsA);
    EXPECT_EQ(b->draws, drawsB);
    // Adding a visible child a second time as a plain child moves it to the front and draws it.
    h.root().Add(a, 1);
    EXPECT_EQ(h.root().mpFirstChild, a);
    EXPECT_EQ(Harness::px(25, 25), 0x00FF00u);
    EXPECT_TRUE(a->IsVisible());
    EXPECT_EQ(a->mClipRect, R(10, 10, 50, 50));
}

TEST(GuiThingTree, MoveToFrontRotatesPlainChildren) {
    Harness h;
    GuiThing parent(R(0, 0, 99, 99), 0, GUI_BORDER_NONE);
    GuiThing* c = nullptr;
    for (char n : std::string("DCBA")) {
        GuiThing* t = Make(n);
        if (n == 'C') c = t;
        parent.Add(t, 0);
    }
    ASSERT_EQ(Order(&parent), "ABCD");
    parent.MoveToFront(c, 0);
    EXPECT_EQ(Order(&parent), "CDAB");
    parent.MoveToFront(c, 0); // already first
    EXPECT_EQ(Order(&parent), "CDAB");
}

TEST(GuiThingTree, RemoveOfAStrangerReturnsNullAndChangesNothing) {
    Harness h;
    GuiThing parent(R(0, 0, 99, 99), 0, GUI_BORDER_NONE);
    parent.Add(Make('A'), 0);
    Probe stranger(R(0, 0, 1, 1));
    EXPECT_EQ(parent.Remove(&stranger, 1), nullptr);
    EXPECT_EQ(Order(&parent), "A");
    GuiThing* a = parent.mpFirstChild;
    EXPECT_EQ(parent.Remove(a, 0), a);
    EXPECT_EQ(parent.mpFirstChild, nullptr);
    EXPECT_EQ(a->mpParentThing, nullptr);
    delete a;
}

TEST(GuiThingTree, RemovingAVisibleChildHidesItDropsItsInputAndRedraws) {
    Harness h;
    auto* w = new Panel(R(10, 10, 30, 30), 1, 0xFF00FF);
    auto* inner = new Probe(R(12, 12, 20, 20), 2);
    h.root().Add(w, 1);
    w->Add(inner, 0);
    ASSERT_TRUE(inner->IsVisible());
    EXPECT_EQ(Harness::px(15, 15), 0xFF00FFu);
    EXPECT_EQ(h.root().Remove(w, 1), w);
    EXPECT_FALSE(w->IsVisible());
    EXPECT_FALSE(inner->IsVisible());
    EXPECT_EQ(h.root().nulled, std::vector<GuiThing*>({w}));
    EXPECT_EQ(w->mpViewports, nullptr);
    delete w;
}

TEST(GuiThingBase, ColoursFindCenterAndVersion) {
    Harness h;
    GuiThing t(R(0, 0, 9, 9), 0, GUI_BORDER_NONE);
    EXPECT_EQ(t.GetColor(4), 255u);
    t.SetColor(4, 0x123456);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t.GetColor(static_cast<unsigned char>(i)), 0u);
    t.SetColor(2, 0x123456);
    EXPECT_EQ(t.GetColor(2), 0x123456u);
    EXPECT_STREQ(GuiThing::Version(), "GUI Library Version 1.98.c");
    EXPECT_EQ(t.mwStatusFlags, 0x0044);
    EXPECT_EQ(t.muThingType, 1);

    GuiThing parent(R(0, 0, 99, 99), 0, GUI_BORDER_NONE);
    GuiThing* first = Make('A');
    GuiThing* second = Make('B');
    parent.Add(second, 0);
    parent.Add(first, 0); // A in front of B
    GuiThing* grand = Make('G');
    first->Add(grand, 0);
    GuiThing* sameId = Make('G');
    second->Add(sameId, 0);
    EXPECT_EQ(parent.Find('G' - 'A' + 1, 0), nullptr); // no grandchildren
    EXPECT_EQ(parent.Find('G' - 'A' + 1, 1), grand);   // under the first child first
    EXPECT_EQ(parent.Find('B' - 'A' + 1, 1), second);

    GuiThing box(R(10, 20, 109, 69), 0, GUI_BORDER_THIN);
    box.InitClient();
    EXPECT_EQ(box.mClientRect, R(11, 21, 108, 68));
    GuiThing child(R(0, 0, 9, 4), 0, GUI_BORDER_NONE);
    box.Center(&child);
    EXPECT_EQ(child.mRealRect, R(55, 42, 64, 46));
    GuiPoint c = box.CenterOf(&box);
    EXPECT_EQ(c.x, 59);
    EXPECT_EQ(c.y, 44);
    GuiThing thick(R(0, 0, 20, 20), 0, GUI_BORDER_THICK);
    thick.InitClient();
    EXPECT_EQ(thick.mClientRect, R(5, 5, 15, 15));
    GuiThing tiny(R(0, 0, 3, 3), 0, GUI_BORDER_RAISED);
    tiny.InitClient();
    EXPECT_FALSE(tiny.mClientRect.IsEmpty());
}

TEST(GuiThingBase, ResizeShiftsChildrenOnlyWhenTheOriginMoves) {
    Harness h;
    GuiThing parent(R(10, 10, 49, 49), 0, GUI_BORDER_THIN);
    parent.InitClient();
    auto* child = new Probe(R(20, 20, 29, 29), 1);
    parent.Add(child, 0);
    parent.Resize(R(10, 10, 79, 89)); // size only
    EXPECT_EQ(child->mRealRect, R(20, 20, 29, 29));
    EXPECT_EQ(parent.mClientRect, R(11, 11, 78, 88));
    parent.Resize(R(15, 5, 84, 84));
    EXPECT_EQ(child->mRealRect, R(25, 15, 34, 24));
    EXPECT_EQ(parent.mRealRect, R(15, 5, 84, 84));
    EXPECT_EQ(parent.mClientRect, R(16, 6, 83, 83));
}

TEST(GuiThingBase, SignalsGoOnlyFromThingsWithAnIdAndTheirMaskBit) {
    Harness h;
    auto* parent = new Probe(R(0, 0, 99, 99), 9);
    h.root().Add(parent, 0);
    auto* noId = new Probe(R(0, 0, 9, 9), 0);
    auto* withId = new Probe(R(0, 0, 9, 9), 5);
    noId->mwSignals = 0xFFFF;
    withId->mwSignals = 0x0011;
    parent->Add(noId, 0);
    parent->Add(withId, 0);
    GuiMessage down = GuiMakeMessage(GM_BUTTON_DOWN, withId);
    withId->Message(down);
    GuiMessage resize = GuiMakeMessage(GM_RESIZE, noId);
    resize.SetDataRect(R(1, 1, 5, 5));
    noId->Message(resize);
    GuiMessage down2 = GuiMakeMessage(GM_BUTTON_DOWN, noId);
    noId->Message(down2); // no id: passed to the parent instead
    auto got = h.collect();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Type, GuiSignalType(5, 4));
    EXPECT_EQ(got[0].Param, 5);
    EXPECT_EQ(got[0].Target, parent);
    EXPECT_EQ(got[0].Source, withId);
    ASSERT_FALSE(parent->received.empty());
    EXPECT_EQ(parent->received.back().Type, GM_BUTTON_DOWN);
    EXPECT_EQ(noId->mRealRect, R(1, 1, 5, 5));
}

TEST(GuiThingBase, CurrentBranchAndRememberedFocusChild) {
    Harness h;
    auto* a = new Probe(R(0, 0, 99, 99), 1);
    auto* b1 = new Probe(R(0, 0, 9, 9), 2);
    auto* b2 = new Probe(R(0, 0, 9, 9), 3);
    h.root().Add(a, 0);
    a->Add(b2, 0);
    a->Add(b1, 0);
    b1->Message(GuiMakeMessage(GM_CURRENT, b1));
    EXPECT_TRUE(b1->mwStatusFlags & GUI_ST_CURRENT);
    EXPECT_TRUE(a->mwStatusFlags & GUI_ST_CURRENT);
    EXPECT_TRUE(b1->mwStatusFlags & GUI_ST_FOCUS_CHILD);
    b1->Message(GuiMakeMessage(GM_NOT_CURRENT, b1));
    b2->Message(GuiMakeMessage(GM_CURRENT, b2));
    EXPECT_TRUE(b2->mwStatusFlags & GUI_ST_FOCUS_CHILD);
    EXPECT_FALSE(b1->mwStatusFlags & GUI_ST_FOCUS_CHILD);
    a->Message(GuiMakeMessage(GM_NOT_CURRENT, a)); // ends the branch below
    EXPECT_FALSE(a->mwStatusFlags & GUI_ST_CURRENT);
    EXPECT_FALSE(b2->mwStatusFlags & GUI_ST_CURRENT);
    a->MoveFocusToFirstClientChild();
    EXPECT_EQ(h.root().focused, std::vector<GuiThing*>({b1}));
}

TEST(GuiThingBase, DestroyKillsTimersAndPurgesMessagesFirst) {
    Harness h;
    auto* parent = new Probe(R(0, 0, 99, 99), 1);
    h.root().Add(parent, 0);
    auto* victim = new Probe(R(0, 0, 9, 9), 2);
    auto* inner = new Probe(R(0, 0, 5, 5), 3);
    parent->Add(victim, 0);
    victim->Add(inner, 0);
    h.queue().SetTimer(victim, 1, 1, 1);
    h.queue().SetTimer(inner, 2, 5, 5);
    h.queue().TimerTick();
    GuiMessage toInner = GuiMakeMessage(GM_USER, inner);
    h.queue().Push(&toInner);
    victim->mwSignals = 0x10;
    victim->SendSignal(4); // queued, Source = victim
    GuiMessage keep = GuiMakeMessage(GM_USER, parent);
    h.queue().Push(&keep);

    parent->Destroy(victim);
    EXPECT_EQ(parent->mpFirstChild, nullptr);
    EXPECT_EQ(h.queue().TimerCount(), 0);
    auto got = h.collect();
    ASSERT_EQ(got.size(), 1u); // nothing that refers to the deleted things is left
    EXPECT_EQ(got[0].Target, parent);
    EXPECT_EQ(got[0].Source, nullptr);

    // A thing destroying itself is deleted by a posted GM_DESTROY after the current message.
    auto* self = new Probe(R(0, 0, 9, 9), 4);
    parent->Add(self, 0);
    h.queue().SetTimer(self, 1, 1, 1);
    self->Destroy(self);
    EXPECT_EQ(parent->mpFirstChild, nullptr);
    got = h.collect();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Type, GM_DESTROY);
    EXPECT_EQ(got[0].Source, self);
    h.root().Message(got[0]); // deletes it
    EXPECT_EQ(h.queue().TimerCount(), 0);
}

TEST(GuiThingBase, StandardBorderKinds) {
    Harness h;
    auto* raised = new Panel(R(10, 10, 19, 19), 1, 0x112233, 0);
    raised->mwStyleFlags = GUI_BORDER_RAISED;
    auto* thin = new Panel(R(30, 10, 39, 19), 2, 0x445566, 0);
    thin->mwStyleFlags = GUI_BORDER_THIN;
    auto* recessed = new Panel(R(50, 10, 59, 19), 3, 0x778899, 0);
    recessed->mwStyleFlags = GUI_BORDER_RECESSED;
    auto* thick = new Panel(R(70, 10, 79, 19), 4, 0xAABBCC, 0);
    thick->mwStyleFlags = GUI_BORDER_THICK;
    for (GuiThing* t : {static_cast<GuiThing*>(raised), static_cast<GuiThing*>(thin),
                        static_cast<GuiThing*>(recessed), static_cast<GuiThing*>(thick)})
        h.root().Add(t, 1);
    // Raised: light grey outer top-left, white inner, dark grey inner bottom-right, black outer.
    EXPECT_EQ(Harness::px(10, 10), GUI_LIGHT_GREY);
    EXPECT_EQ(Harness::px(11, 11), GUI_WHITE);
    EXPECT_EQ(Harness::px(18, 15), GUI_DARK_GREY);
    EXPECT_EQ(Harness::px(19, 15), GUI_BLACK);
    EXPECT_EQ(Harness::px(15, 19), GUI_BLACK);
    EXPECT_EQ(Harness::px(12, 12), 0x112233u);
    // Thin: black outline, filled inside.
    EXPECT_EQ(Harness::px(30, 10), GUI_BLACK);
    EXPECT_EQ(Harness::px(39, 19), GUI_BLACK);
    EXPECT_EQ(Harness::px(31, 11), 0x445566u);
    // Recessed on a black parent: dark grey outer top-left, black inner, white outer bottom-right.
    EXPECT_EQ(Harness::px(50, 15), GUI_DARK_GREY);
    EXPECT_EQ(Harness::px(51, 15), GUI_BLACK);
    EXPECT_EQ(Harness::px(59, 15), GUI_WHITE);
    EXPECT_EQ(Harness::px(58, 15), GUI_LIGHT_GREY);
    EXPECT_EQ(Harness::px(52, 12), 0x778899u);
    // Thick frames are drawn by windows: nothing here.
    for (int x = 70; x <= 79; ++x) EXPECT_EQ(Harness::px(x, 15), 0u);
}
