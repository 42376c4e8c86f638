// The edit box and the terminal window: cursor keys over rows, insertion and deletion at the
// ends of the text, the maximum length, marking with the pointer, cut and paste with their
// signals, and command lines handed to the parent.
#include <gtest/gtest.h>

#include <string>

#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::string Text(const GuiTextBox* b) {
    return b->Text() ? b->Text() : "";
}

// Keeps the command texts that terminal windows hand over.
class Owner : public Recorder {
public:
    using Recorder::Recorder;
    int Message(const GuiMessage& m) override {
        if (m.Type >= GM_SIGNAL && m.Type < GM_USER && ((m.Type - GM_SIGNAL) & 15) == GUI_SIGNAL_COMMAND) {
            const char* text = static_cast<const char*>(m.DataPtr(0));
            commands.push_back(text ? text : "<none>");
        }
        return Recorder::Message(m);
    }
    std::vector<std::string> commands;
};

} // namespace

TEST(GuiEditBox, KeysMoveTheCursorOverRowsAndEditAtTheEnds) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* box =
        new GuiEditBox(R(10, 10, 209, 109), 5, GUI_STYLE_EDITABLE | GUI_BORDER_NONE, "abc\rdefgh\rij", 14);
    w->Add(box, 0);
    h.pm().Add(w, 1);
    h.pm().MoveFocusTree(box);
    EXPECT_EQ(box->mCursor, (CURSOR_POS{2, 2})) << "current: the cursor at the end";
    struct Step {
        unsigned key;
        CURSOR_POS after;
        const char* text;
    } steps[] = {
        {GUI_KEY_HOME, {0, 2}, "abc\rdefgh\rij"},
        {GUI_KEY_UP, {0, 1}, "abc\rdefgh\rij"},
        {GUI_KEY_END, {5, 1}, "abc\rdefgh\rij"},
        {GUI_KEY_RIGHT, {0, 2}, "abc\rdefgh\rij"},
        {GUI_KEY_LEFT, {5, 1}, "abc\rdefgh\rij"},
        {GUI_KEY_DOWN, {2, 2}, "abc\rdefgh\rij"},
        {GUI_KEY_BACKSPACE, {1, 2}, "abc\rdefgh\ri"},
        {GUI_KEY_ENTER, {0, 3}, "abc\rdefgh\ri\r"},
        {'x', {1, 3}, "abc\rdefgh\ri\rx"},
        {'y', {2, 3}, "abc\rdefgh\ri\rxy"},
        {'z', {2, 3}, "abc\rdefgh\ri\rxy"},            // the maximum of 14 is reached
        {GUI_KEY_DELETE, {2, 3}, "abc\rdefgh\ri\rxy"}, // at the end: nothing
    };
    for (const Step& s : steps) {
        EXPECT_EQ(box->InsertKey(s.key), 1) << s.key;
        EXPECT_EQ(box->mCursor, s.after) << s.key;
        EXPECT_EQ(Text(box), s.text) << s.key;
    }
    // Backspace at the very start changes nothing but is taken.
    box->SetCursorRowColFromIndex(0);
    EXPECT_EQ(box->InsertKey(GUI_KEY_BACKSPACE), 1);
    EXPECT_EQ(Text(box), "abc\rdefgh\ri\rxy");
    EXPECT_EQ(box->InsertKey(700), 0);
    // A shorter text keeps the cursor on its row, at most at the row's end.
    box->mCursor = CURSOR_POS{5, 1};
    box->DataSet("abc\rde");
    EXPECT_EQ(box->mCursor, (CURSOR_POS{2, 1}));
    // The cursor line is drawn in blue at the cursor point.
    box->Draw();
    const GuiPoint p = box->GetCursorPointFromRowCol();
    EXPECT_EQ(Harness::px(p.x, p.y + 3), 0x0000FFu);
}

TEST(GuiEditBox, MarkingWithThePointerCutAndPaste) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* box = new GuiEditBox(R(10, 10, 209, 109), 5, GUI_STYLE_EDITABLE | GUI_BORDER_NONE,
                               "abcdefg\rhijklmn\ropqrstu", -1);
    box->mwSignals = 0x0700;
    w->Add(box, 0);
    h.pm().Add(w, 1);
    // Row r, column c lies at x = 12 + 6c, y = 12 + 10r.
    h.pointer(GM_BUTTON_DOWN, 42, 37);
    h.pointer(GM_POINTER_MOVE, 30, 27);
    h.pointer(GM_BUTTON_UP, 30, 27);
    h.dispatchAll();
    CURSOR_POS s, e;
    box->GetMarkStartAndEnd(&s, &e);
    EXPECT_EQ(s, (CURSOR_POS{3, 1}));
    EXPECT_EQ(e, (CURSOR_POS{5, 2}));
    EXPECT_EQ(w->count(GuiSignalType(5, GUI_SIGNAL_MARKED)), 1);
    EXPECT_EQ(Harness::px(12 + 6 * 4 + 2, 12 + 10 + 4), 0xFFFFFFu) << "marked text in colour 3";
    EXPECT_EQ(Harness::px(12 + 6 * 4 + 5, 12 + 10 + 4), 0x0000BFu) << "on colour 1";

    EXPECT_EQ(box->InsertKey(GUI_KEY_BACKSPACE), 0) << "not with a mark";
    box->Message(GuiMakeMessage(GM_CUT, box));
    EXPECT_EQ(Text(box), "abcdefg\rhijtu");
    EXPECT_STREQ(h.pm().GetScratchPad(), "klmn\ropqrs");
    EXPECT_EQ(box->mCursor, (CURSOR_POS{3, 1}));
    box->Message(GuiMakeMessage(GM_PASTE, box));
    EXPECT_EQ(Text(box), "abcdefg\rhijklmn\ropqrstu");
    EXPECT_EQ(box->mCursor, (CURSOR_POS{5, 2}));
    h.dispatchAll();
    EXPECT_EQ(w->count(GuiSignalType(5, GUI_SIGNAL_TEXT_CHANGED)), 2);
    // A click below the last line puts the cursor at its end.
    h.pointer(GM_BUTTON_DOWN, 100, 100);
    h.pointer(GM_BUTTON_UP, 100, 100);
    h.dispatchAll();
    EXPECT_EQ(box->mCursor, (CURSOR_POS{7, 2}));
    // Leaving ends edit mode with signal 10.
    h.pm().MoveFocusTree(w);
    h.dispatchAll();
    EXPECT_EQ(w->count(GuiSignalType(5, GUI_SIGNAL_EDIT_DONE)), 1);
}

TEST(GuiTerminalWin, EnterHandsTheTextAfterThePromptToTheParent) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Owner(R(0, 0, 399, 299));
    auto* term =
        new GuiTerminalWin(R(10, 10, 209, 109), 7, GUI_STYLE_EDITABLE | GUI_BORDER_NONE, nullptr, -1);
    auto* bare = new GuiTerminalWin(R(220, 10, 389, 109), 8, GUI_STYLE_EDITABLE | GUI_BORDER_NONE, "xy", -1);
    term->SetPrompt("> ");
    bare->SetPrompt("> ");
    w->Add(bare, 0);
    w->Add(term, 0);
    h.pm().Add(w, 1);
    h.pm().MoveFocusTree(term);
    const GuiMessage enter = GuiMakeMessage(GM_KEY, term, nullptr, GUI_KEY_ENTER);
    for (char c : std::string("abc")) term->InsertKey(static_cast<unsigned char>(c));
    term->Message(enter);
    ASSERT_EQ(w->commands.size(), 1u) << "at once, not queued";
    EXPECT_EQ(w->commands[0], "abc");
    EXPECT_EQ(w->of(GuiSignalType(7, GUI_SIGNAL_COMMAND))[0].source, term);
    // A new line with the prompt and nothing typed: no text.
    term->Append("\r", 0);
    term->Prompt();
    EXPECT_EQ(Text(term), "> abc\r> ");
    term->Message(enter);
    // No row begins with the prompt: the command would start past the cursor.
    h.pm().MoveFocusTree(bare);
    bare->InsertKey(GUI_KEY_LEFT);
    bare->Message(GuiMakeMessage(GM_KEY, bare, nullptr, GUI_KEY_ENTER));
    EXPECT_EQ(w->commands, (std::vector<std::string>{"abc", "<none>", "<none>"}));
}
