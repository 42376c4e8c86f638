// The text box: line breaks and word wrap, the line-start cache over long texts, appending with a
// maximum length, scrolling through its bar, and a scroll by less than a page that leaves the
// same picture as a full redraw.
#include <gtest/gtest.h>

#include <string>

#include "gui/widgets/textbox/guitextbox.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// Line i: i % 7 spaces, then the number; the indent tells lines apart in the block font.
std::string Line(int i) {
    return std::string(static_cast<size_t>(i % 7), ' ') + std::to_string(i);
}

std::string Lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += Line(i) + "\n";
    return s;
}

} // namespace

TEST(GuiTextBox, LineBreaksWrapAndTheLineCache) {
    Harness h(true);
    h.useTestFont();
    // No frame: wrap width = 38 - 2 x 2 = 34, five characters of 6 fit below it.
    struct Case {
        const char* text;
        unsigned short style;
        int lines;
        int firstLength;
    } cases[] = {
        {"a\r\nb", 0, 2, 1},
        {"a\n", 0, 1, 1},
        {"a\r", 0, 2, 1},
        {"a\r\n", 0, 2, 1},
        {"", 0, 0, 0},
        {"abc", 0, 1, 3},
        {"abcdefghijk", GUI_TB_WRAP, 3, 5},
        {"ab cd,ef-gh", GUI_TB_WRAP, 3, 3},
    };
    for (const Case& c : cases) {
        GuiTextBox box(R(0, 0, 37, 99), 0, c.style | GUI_BORDER_NONE, c.text, -1);
        EXPECT_EQ(box.TotalLines(), c.lines) << c.text;
        int n = -1;
        box.GetLineStart(0, &n);
        EXPECT_EQ(n, c.firstLength) << c.text;
    }
    // 250 lines: counted whole, and lines far apart are found as the cache moves.
    const std::string text = Lines(250);
    GuiTextBox big(R(0, 0, 199, 99), 0, GUI_BORDER_NONE, text.c_str(), -1);
    EXPECT_EQ(big.TotalLines(), 250);
    for (int line : {200, 3, 249, 120, 0}) {
        int n = 0;
        const char* p = big.GetLineStart(line, &n);
        ASSERT_NE(p, nullptr) << line;
        const std::string want = Line(line);
        EXPECT_EQ(std::string(p, static_cast<size_t>(n)), want) << line;
    }
    EXPECT_EQ(big.GetLineStart(250, nullptr), nullptr);
}

TEST(GuiTextBox, AppendKeepsTheMaximumAndScrollsToTheEnd) {
    Harness h(true);
    h.useTestFont();
    std::string old;
    for (int i = 0; i < 95; ++i) old += static_cast<char>('0' + i % 10);
    struct Case {
        int max;
        const char* added;
        std::string want;
    } cases[] = {
        {100, "abcdefghij", old.substr(5) + "abcdefghij"},
        {-1, "abcdefghij", old + "abcdefghij"},
        {3, "abcdefghij", "hij"},
        {0, "abcdefghij", ""},
    };
    for (const Case& c : cases) {
        GuiTextBox box(R(0, 0, 99, 99), 0, GUI_BORDER_NONE, old.c_str(), c.max);
        box.Append(c.added, 0);
        EXPECT_EQ(box.Text() ? std::string(box.Text()) : "", c.want) << c.max;
    }
    // A log of 30 lines in a box of 8 shows its last 8 after an append.
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* log = new GuiTextBox(R(10, 10, 209, 93), 0, GUI_BORDER_NONE, Lines(29).c_str(), -1);
    w->Add(log, 0);
    h.pm().Add(w, 1);
    log->Append("last\n", 1);
    EXPECT_EQ(log->LinesPerPage(), 8);
    EXPECT_EQ(log->TotalLines(), 30);
    EXPECT_EQ(log->TopLine(), 22);
}

TEST(GuiTextBox, ScrollingMovesPixelsLikeAFullRedraw) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Recorder(R(0, 0, 399, 299));
    auto* box = new GuiTextBox(R(10, 10, 209, 113), 0, GUI_BORDER_THIN, Lines(30).c_str(), -1);
    w->Add(box, 0);
    h.pm().Add(w, 1);
    box->SetScrollMode(GUI_SCROLL_AUTO_V);
    h.dispatchAll();
    ASSERT_NE(box->mpVScrollBar, nullptr);
    ASSERT_EQ(box->LinesPerPage(), 9);
    const auto atTop = Harness::snapshot();
    // Down a line through the bar, then by hand three further and two back.
    EXPECT_EQ(box->LineDown(), 1);
    EXPECT_EQ(box->TopLine(), 1);
    for (int top : {4, 2, 2 + 9}) {
        GuiMessage m = GuiMakeMessage(GM_VSCROLL, box, box);
        m.SetDataWord(0, top);
        box->Message(m);
        ASSERT_EQ(box->TopLine(), top);
        const auto moved = Harness::snapshot();
        EXPECT_FALSE(moved == atTop);
        h.redraw(box->mRealRect);
        EXPECT_TRUE(Harness::snapshot() == moved) << "top line " << top;
    }
    EXPECT_EQ(box->LineUp(), 1);
    EXPECT_EQ(box->TopLine(), 10);
}
