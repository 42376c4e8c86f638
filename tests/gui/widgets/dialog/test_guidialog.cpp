// Dialogs and message windows: the row of standard buttons, the sized forms, answers to the owner
// and self-destruction when not modal, the result of Execute, id 1004 of a dialog, a multi-line
// message that makes its window taller, and the progress window's bar.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/widgets/dialog/guidialog.h"
#include "gui/window/guibutton.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::vector<GuiThing*> Buttons(GuiThing* w) {
    std::vector<GuiThing*> out;
    for (GuiThing* c = w->FirstChild(); c; c = c->NextSibling())
        if (c->muThingType == GUI_TYPE_TEXT_BUTTON) out.push_back(c);
    return out;
}

void Click(Harness& h, GuiThing* t) {
    const GuiPoint p = t->CenterOf(t);
    h.pointer(GM_BUTTON_DOWN, p.x, p.y);
    h.pointer(GM_BUTTON_UP, p.x, p.y);
}

bool Shown(Harness& h, GuiThing* t) {
    for (GuiThing* c = h.pm().FirstChild(); c; c = c->NextSibling())
        if (c == t) return true;
    return false;
}

} // namespace

TEST(GuiMessageWindow, ButtonRowAndSizes) {
    Harness h(true);
    h.useTestFont(); // "Cancel" is 36 wide: buttons 44
    auto* w = new Recorder(R(0, 0, 399, 299));
    h.pm().Add(w, 1);
    GuiMessageWindow mw(nullptr, "Hello", GUI_MW_OK | GUI_MW_CANCEL, nullptr, w);
    const auto b = Buttons(&mw);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_STREQ(static_cast<GuiTextThing*>(b[0])->Text(), "OK");
    EXPECT_STREQ(static_cast<GuiTextThing*>(b[1])->Text(), "Cancel");
    EXPECT_EQ(b[0]->Id(), GUI_ID_OK);
    EXPECT_EQ(b[1]->Id(), GUI_ID_CANCEL);
    EXPECT_EQ(b[0]->mRealRect.right - b[0]->mRealRect.left, 44);
    EXPECT_EQ(b[1]->mRealRect.left - b[0]->mRealRect.left, 44 + 8);
    // Row of 96 centred; the window is as wide as the row, centred on its owner.
    const GuiRect& c = mw.mClientRect;
    EXPECT_EQ(b[0]->mRealRect.left, c.left + (c.Width() - 96) / 2);
    EXPECT_EQ(mw.mRealRect.right - mw.mRealRect.left, 96);
    EXPECT_EQ((mw.mRealRect.left + mw.mRealRect.right) / 2, 199);
    EXPECT_EQ(b[0]->mRealRect.bottom, c.bottom - 4);
    // Nothing at all: 80 wide.
    GuiMessageWindow empty(nullptr, nullptr, 0, nullptr, w);
    EXPECT_EQ(empty.mRealRect.right - empty.mRealRect.left, 80);
    EXPECT_TRUE(Buttons(&empty).empty());
    // A multi-line message grows its window by whole lines plus 3 pixels.
    GuiMLMessageWindow one("T", "word", GUI_MW_OK, nullptr, w);
    std::string longText;
    for (int i = 0; i < 40; ++i) longText += "word ";
    GuiMLMessageWindow many("T", longText.c_str(), GUI_MW_OK, nullptr, w);
    const int grown = many.mRealRect.Height() - one.mRealRect.Height();
    EXPECT_GT(grown, 0);
    EXPECT_EQ(grown % (guitest::kTestGlyphH + 3), 0);
    ASSERT_NE(many.mpTextBox, nullptr);
    EXPECT_LE(many.mpTextBox->TotalLines() * guitest::kTestGlyphH, many.mpTextBox->mRealRect.Height());
    // The progress window keeps its bar above the buttons.
    GuiProgressWindow pw("T", "Busy", GUI_MW_CANCEL, 0, nullptr, w);
    const GuiRect& pc = pw.mClientRect;
    ASSERT_NE(pw.mpProgressBar, nullptr);
    EXPECT_EQ(pw.mpProgressBar->mRealRect, R(pc.left + 10, pc.bottom - 56, pc.right - 10, pc.bottom - 32));
    EXPECT_GT(Buttons(&pw)[0]->mRealRect.top, pw.mpProgressBar->mRealRect.bottom);
}

TEST(GuiMessageWindow, AnswersTheOwnerOrEndsTheModalLoop) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    h.pm().Add(w, 1);
    auto* mw = new GuiMessageWindow("Q", "Sure?", GUI_MW_YES | GUI_MW_NO, nullptr, w);
    h.pm().Add(mw, 1);
    Click(h, Buttons(mw)[0]);
    h.dispatchAll();
    ASSERT_EQ(w->count(GM_MESSAGE_ANSWER), 1);
    EXPECT_EQ(w->of(GM_MESSAGE_ANSWER)[0].param, 0x3F64);
    EXPECT_EQ(w->of(GM_MESSAGE_ANSWER)[0].source, mw);
    EXPECT_FALSE(Shown(h, mw)) << "gone";

    auto* modal = new GuiMessageWindow("Q", "Sure?", GUI_MW_YES | GUI_MW_NO, nullptr, w);
    Click(h, Buttons(modal)[0]);
    EXPECT_EQ(modal->Execute(1), GUI_ID_YES);
    h.dispatchAll();
    EXPECT_EQ(w->count(GM_MESSAGE_ANSWER), 1) << "a modal window answers through Execute only";
}

TEST(GuiDialog, AnswersItsParentAndStaysForId1004) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    h.pm().Add(w, 1);
    auto* d = new GuiDialog(R(50, 50, 249, 199), "Settings", nullptr, GUI_BORDER_RAISED);
    auto* apply = new GuiTextButton(R(60, 150, 109, 169), "Apply", GUI_ID_NOTEXT, GUI_BTN_ENABLED);
    auto* ok = new GuiTextButton(R(120, 150, 169, 169), "OK", GUI_ID_OK, GUI_BTN_ENABLED);
    d->Add(apply, 0);
    d->Add(ok, 0);
    EXPECT_NE(d->mpTitle, nullptr);
    w->Add(d, 1);
    h.dispatchAll();
    Click(h, apply);
    h.dispatchAll();
    ASSERT_EQ(w->count(GM_DIALOG_RESULT), 1);
    EXPECT_EQ(w->of(GM_DIALOG_RESULT)[0].param, GUI_ID_NOTEXT);
    EXPECT_EQ(d->Parent(), w) << "stays open";
    Click(h, ok);
    h.dispatchAll();
    ASSERT_EQ(w->count(GM_DIALOG_RESULT), 2);
    EXPECT_EQ(w->of(GM_DIALOG_RESULT)[1].param, GUI_ID_OK);
    EXPECT_EQ(w->FirstChild(), nullptr) << "gone";
}
