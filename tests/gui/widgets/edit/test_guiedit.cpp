// The edit field: keys against the maximum length, marking on becoming current, the edit-done
// signal, cut and paste through the scratch pad, clicks between characters, and a field narrower
// than one character.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gui/widgets/edit/guiedit.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::string Text(const GuiEditField* f) {
    return f->Text() ? f->Text() : "";
}

void Type(GuiEditField* f, const char* keys) {
    for (const char* k = keys; *k; ++k) f->InsertKey(*k);
}

} // namespace

TEST(GuiEditField, KeysMaximumMarkingSignalAndScratchPad) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    const unsigned short style = GUI_STYLE_EDITABLE | GUI_BORDER_THIN;
    auto* f = new GuiEditField(R(10, 10, 109, 21), "abcde", 3, style, 5);
    auto* quiet = new GuiEditField(R(10, 30, 109, 41), "0123456789", 0, style, 4);
    w->Add(quiet, 0);
    w->Add(f, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    EXPECT_EQ(Text(quiet), "0123") << "cut to the maximum";
    EXPECT_EQ(f->muThingType, 22);
    EXPECT_TRUE(f->Style() & GUI_STYLE_COPY);

    // Current: the whole text marked; End drops the mark, a key is then refused at the maximum.
    h.pm().MoveFocusTree(f);
    EXPECT_EQ(f->GetMarkStart(), 0);
    EXPECT_EQ(f->GetMarkEnd(), 5);
    EXPECT_EQ(f->InsertKey(GUI_KEY_END), 1);
    EXPECT_EQ(f->miCursor, 5);
    EXPECT_EQ(f->InsertKey('x'), 0);
    EXPECT_EQ(Text(f), "abcde");
    // Marked again, backspace empties it; typing and leaving sends signal 10 once.
    f->SetMark(0, 5);
    EXPECT_EQ(f->InsertKey(GUI_KEY_BACKSPACE), 1);
    EXPECT_EQ(f->Text(), nullptr);
    Type(f, "hello");
    EXPECT_EQ(Text(f), "hello");
    EXPECT_EQ(f->miCursor, 5);
    h.pm().MoveFocusTree(quiet);
    Type(quiet, "zz");
    h.pm().MoveFocusTree(f);
    h.dispatchAll();
    const uint16_t done3 = GuiSignalType(3, GUI_SIGNAL_EDIT_DONE);
    ASSERT_EQ(done3, 186);
    EXPECT_EQ(w->count(done3), 1);
    EXPECT_EQ(w->count(GuiSignalType(0, GUI_SIGNAL_EDIT_DONE)), 0) << "id 0 never signals";

    // Cut "he", paste it back at the cursor.
    f->SetMark(0, 2);
    f->Message(GuiMakeMessage(GM_CUT, f));
    EXPECT_EQ(Text(f), "llo");
    EXPECT_STREQ(h.pm().GetScratchPad(), "he");
    f->Message(GuiMakeMessage(GM_PASTE, f));
    EXPECT_EQ(Text(f), "hello");
    // The field shows its text in colour 2 on colour 0, from client left + 1.
    f->InsertKey(GUI_KEY_HOME);
    EXPECT_EQ(Harness::px(12 + 1 + 2, 15), GUI_BLACK) << "inside the glyph of h";
    EXPECT_EQ(Harness::px(12, 15), 0x0000FFu) << "the cursor at client left";
}

TEST(GuiEditField, ClicksLandBetweenCharactersAndNarrowFieldsStayInside) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    // Thin border: client left 10 + 1 + 1 = 12; characters are 6 wide from 13.
    auto* f = new GuiEditField(R(10, 10, 109, 21), "abcdef", 3, GUI_STYLE_EDITABLE | GUI_BORDER_THIN, -1);
    auto* narrow = new GuiEditField(R(10, 30, 13, 41), nullptr, 4, GUI_STYLE_EDITABLE | GUI_BORDER_THIN, -1);
    w->Add(narrow, 0);
    w->Add(f, 0);
    h.pm().Add(w, 1);
    struct Click {
        int x, index;
    } clicks[] = {{16, 0}, {17, 1}, {19, 1}, {23, 2}, {200, 6}, {0, 0}};
    for (const Click& c : clicks) {
        f->SetCursorPos(GuiPoint{static_cast<int16_t>(c.x), 15});
        EXPECT_EQ(f->miCursor, c.index) << c.x;
    }
    // A field narrower than one character: typing, End and right never scroll past the cursor.
    Type(narrow, "abcdefgh");
    EXPECT_EQ(Text(narrow), "abcdefgh");
    for (int key : {GUI_KEY_HOME, GUI_KEY_END, GUI_KEY_LEFT, GUI_KEY_RIGHT, GUI_KEY_DELETE}) {
        narrow->InsertKey(key);
        EXPECT_LE(narrow->miFirstVisible, narrow->miCursor) << key;
        EXPECT_LE(narrow->miCursor, static_cast<int>(std::strlen(narrow->Text()))) << key;
    }
    // Keys whose character would end the text are refused.
    EXPECT_EQ(narrow->InsertKey(256), 0);
    // Cursor right past the right edge (client 12 to 47) scrolls by whole characters.
    auto* scroll =
        new GuiEditField(R(10, 50, 49, 61), "abcdefghij", 5, GUI_STYLE_EDITABLE | GUI_BORDER_THIN, -1);
    w->Add(scroll, 1);
    scroll->InsertKey(GUI_KEY_HOME);
    for (int i = 0; i < 8; ++i) scroll->InsertKey(GUI_KEY_RIGHT);
    EXPECT_EQ(scroll->miCursor, 8);
    EXPECT_EQ(scroll->miFirstVisible, 3);
    EXPECT_EQ(scroll->miCursorX, 42);
    // An empty mark clears the mark.
    scroll->SetMark(2, 4);
    EXPECT_TRUE(scroll->mwEditFlags & GUI_EF_MARKED);
    scroll->SetMark(2, 2);
    EXPECT_FALSE(scroll->mwEditFlags & GUI_EF_MARKED);
}
