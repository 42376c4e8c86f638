// Text things, prompts and windows: text drawing against the font's own records, the text buffer,
// the font table, border codes, drags and their limits, minimising to an icon, automatic scroll
// bars.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "glyphs.h"
#include "gui/core/guifonts.h"
#include "gui/window/guiicon.h"
#include "gui/window/guiscroll.h"
#include "guiharness.h"

using guitest::Box;
using guitest::Glyphs;
using guitest::Harness;
using guitest::Painted;
using guitest::Panel;
using guitest::PixelSet;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

PixelSet Outline(const GuiRect& r) {
    PixelSet s = Box(r.left, r.top, r.right, r.bottom);
    for (const auto& p : Box(r.left + 1, r.top + 1, r.right - 1, r.bottom - 1)) s.erase(p);
    return s;
}

PixelSet Join(PixelSet a, const PixelSet& b) {
    a.insert(b.begin(), b.end());
    return a;
}

} // namespace

TEST(GuiPromptDraw, TextIsPlacedByAlignmentAndScaleAndClippedToTheClientArea) {
    Harness h;
    const GuiRect r = R(10, 10, 129, 49); // client (11, 11)-(128, 48): 118 x 38
    const int w = GuiFontTextWidth("Ab", &SysFont);
    struct Case {
        uint16_t style;
        int scale;
        int x, y;
    } cases[] = {
        {0, 0, 11 + (118 - w) / 2, 11 + (38 - 16) / 2},
        {GUI_STYLE_LEFT, 0, 12, 11 + (38 - 16) / 2},
        {GUI_STYLE_RIGHT, 0, 128 - w - 1, 11 + (38 - 16) / 2},
        {GUI_STYLE_LEFT, 1, 12, 11 + (38 - 32) / 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.style + k.scale);
        Harness::fill(0x00FF00);
        auto* p = new GuiPrompt(r, "Ab", 0, GUI_BORDER_THIN | k.style, k.scale);
        h.addAndDraw(p);
        EXPECT_EQ(Painted(r, GUI_BLACK), Join(Outline(r), Glyphs(&SysFont, "Ab", k.x, k.y, k.scale)));
        EXPECT_EQ(Painted(r, GUI_WHITE).size() + Painted(r, GUI_BLACK).size(), Box(10, 10, 129, 49).size());
        delete h.root().Remove(p, 0);
    }

    // Without text, or in a font whose strip is not there yet, only border and background; wider
    // text stays inside the client area.
    GuiFont unpacked = SysFont;
    unpacked.data = nullptr;
    for (const char* text : {"", "Ab"}) {
        Harness::fill(0x00FF00);
        auto* empty = new GuiPrompt(r, text, 0, GUI_BORDER_THIN, 0);
        empty->SetFont(&unpacked);
        h.addAndDraw(empty);
        EXPECT_EQ(Painted(r, GUI_BLACK), Outline(r));
        delete h.root().Remove(empty, 0);
    }
    Harness::fill(0x00FF00);
    auto* wide = new GuiPrompt(R(10, 10, 29, 49), "WWWWWWWW", 0, GUI_BORDER_THIN | GUI_STYLE_LEFT, 0);
    h.addAndDraw(wide);
    for (const auto& [x, y] : Painted(R(0, 0, 200, 100), GUI_BLACK)) EXPECT_TRUE(x <= 29 && y <= 49);
    delete h.root().Remove(wide, 0);

    // A transparent prompt without border draws its text over what its parent drew.
    auto* panel = new Panel(R(200, 10, 319, 49), 0, 0xFF0000);
    auto* overlay = new GuiPrompt(R(200, 10, 319, 49), "Ab", 0, GUI_BORDER_NONE | GUI_STYLE_TRANSPARENT, 0);
    panel->Add(overlay, 0);
    h.addAndDraw(panel);
    const GuiRect o = overlay->mClientRect;
    const PixelSet text = Glyphs(&SysFont, "Ab", o.left + (o.Width() - w) / 2, o.top + (o.Height() - 16) / 2);
    EXPECT_EQ(Painted(o, GUI_BLACK), text);
    EXPECT_EQ(Painted(o, 0xFF0000).size() + text.size(), static_cast<size_t>(o.Width() * o.Height()));
}

TEST(GuiTextThingBuffer, CopyModeGrowsItsBufferOnlyWhenNeededAndPointerModeFollowsTheCaller) {
    Harness h;
    GuiTextThing copy(R(0, 0, 9, 9), 0, GUI_STYLE_COPY, "0123456789", 0);
    EXPECT_EQ(copy.miBufferSize, 27);
    copy.DataSet(std::string(40, 'a').c_str());
    EXPECT_EQ(copy.miBufferSize, 73);
    EXPECT_EQ(copy.miTextLength, 41);
    copy.DataSet(std::string(50, 'b').c_str());
    EXPECT_EQ(copy.miBufferSize, 73) << "fits without a new buffer";
    copy.DataSet(copy.Text() + 10); // its own text: still intact
    EXPECT_EQ(std::string(copy.Text()), std::string(40, 'b'));
    copy.DataSet("");
    EXPECT_EQ(copy.Text(), nullptr);
    EXPECT_EQ(copy.miBufferSize, 0);

    char caller[] = "old";
    GuiTextThing pointer(R(0, 0, 9, 9), 0, 0, caller, 0);
    EXPECT_EQ(pointer.Text(), caller);
    pointer.SetCopyMode();
    caller[0] = 'n';
    EXPECT_STREQ(pointer.Text(), "old");
}

TEST(GuiFontTable, AssigningNeverFreesAStaticFontOrOneStillInUse) {
    const GuiFont* saved[GUI_FONT_TABLE_SIZE];
    std::memcpy(saved, GuiTextThing::mFontTable, sizeof saved);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(32, &SysFont, 0), 0);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(-1, &SysFont, 0), 0);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(0, &MenuFont, 1), 1) << "SysFont stays: it is static";
    EXPECT_EQ(SysFont.height, 16);

    auto* heap =
        new GuiFont{GUI_FONT_VARIABLE, 4, 0, 4, 1, 0, 255, {new uint16_t[257]{}}, nullptr, new uint8_t[4]{}};
    GuiTextThing::MarkHeapFont(heap);
    GuiTextThing::AssignFontTablePointer(20, heap, 0);
    GuiTextThing::AssignFontTablePointer(21, heap, 0);
    GuiTextThing::AssignFontTablePointer(20, &SysFont, 1);
    EXPECT_EQ(heap->height, 4) << "entry 21 still holds it";
    GuiTextThing::AssignFontTablePointer(21, nullptr, 1); // the last holder: freed (or leaked)
    std::memcpy(GuiTextThing::mFontTable, saved, sizeof saved);
}

TEST(GuiWindowDrag, BorderCodesDragsAndTheirLimits) {
    Harness h(true);
    auto* w = new GuiWindow(R(100, 100, 299, 299), GUI_BORDER_THICK);
    h.pm().Add(w, 1);
    struct Probe {
        int x, y, code;
    } probes[] = {{100, 100, 5}, {105, 105, 5}, {106, 106, 0}, {299, 100, 9}, {100, 299, 6}, {299, 299, 10},
                  {200, 100, 1}, {200, 299, 2}, {100, 200, 4}, {299, 200, 8}, {200, 200, 0}};
    for (const Probe& p : probes)
        EXPECT_EQ(w->BorderContains(GuiPoint{int16_t(p.x), int16_t(p.y)}), p.code) << p.x << "," << p.y;
    // The pointer shape follows the border under the pointer: sides, then the two diagonals.
    for (auto [x, y] : {std::pair{200, 200}, {200, 101}, {101, 200}, {101, 101}, {101, 298}, {200, 200}})
        h.pointer(GM_POINTER_MOVE, x, y);
    h.dispatchAll();
    EXPECT_EQ(h.recording().pointerShapes, (std::vector<int>{1, 2, 3, 4, 0}));

    // Released where pressed: nothing changes.
    h.pointer(GM_BUTTON_DOWN, 103, 103);
    h.dispatchAll();
    EXPECT_EQ(w->mbMoveMode, 5);
    EXPECT_EQ(h.pm().GetPointerOwner(), w);
    h.pointer(GM_BUTTON_UP, 103, 103);
    h.dispatchAll();
    EXPECT_EQ(w->mRealRect, R(100, 100, 299, 299));
    EXPECT_EQ(h.pm().GetPointerOwner(), nullptr);

    // The left edge dragged far to the right stops at the limit; the right edge stays.
    h.pointer(GM_BUTTON_DOWN, 100, 200);
    h.pointer(GM_POINTER_MOVE, 290, 200);
    h.pointer(GM_BUTTON_UP, 290, 200);
    h.dispatchAll();
    EXPECT_EQ(w->mRealRect, R(100 + 190 - 4, 100, 299, 299));
    EXPECT_EQ(w->mbMoveMode, 0);
    // A whole move.
    GuiMessage move = GuiMakeMessage(GM_MOVE_RESIZE, w, nullptr, GUI_BORDER_MOVE);
    move.SetDataPoint(GuiPoint{290, 150});
    w->Message(move);
    h.pointer(GM_POINTER_MOVE, 280, 160);
    h.pointer(GM_BUTTON_UP, 280, 160);
    h.dispatchAll();
    EXPECT_EQ(w->mRealRect, R(276, 110, 289, 309));
}

TEST(GuiWindowIcon, MinimisedToAnIconAndRestoredByItsClick) {
    Harness h(true);
    auto* w = new GuiWindow(R(100, 100, 299, 299), GUI_BORDER_THICK);
    h.pm().Add(w, 1);
    w->mbModal = 1;
    w->Message(GuiMakeMessage(GM_MINIMIZE, w));
    EXPECT_EQ(w->Parent(), &h.pm()) << "a window being executed stays";
    w->mbModal = 0;
    w->Message(GuiMakeMessage(GM_MINIMIZE, w));
    h.dispatchAll();
    EXPECT_EQ(w->Parent(), nullptr);
    auto* icon = dynamic_cast<GuiIcon*>(h.pm().FirstChild());
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->GetProxy(), w);
    const GuiRect c = h.pm().mClientRect;
    EXPECT_EQ(icon->mRealRect, R(c.left + 10, c.bottom - 16 - 10, c.left + 25, c.bottom - 11));
    h.pointer(GM_BUTTON_DOWN, icon->mRealRect.left + 2, icon->mRealRect.top + 2);
    h.pointer(GM_BUTTON_UP, icon->mRealRect.left + 2, icon->mRealRect.top + 2);
    h.dispatchAll();
    EXPECT_EQ(w->Parent(), &h.pm());
    EXPECT_EQ(h.pm().FirstChild(), w);
    EXPECT_EQ(w->NextSibling(), nullptr) << "the icon is gone";
}

TEST(GuiWindowScroll, AnAutomaticBarComesWhenTheContentNoLongerFits) {
    Harness h(true);
    auto* w = new GuiWindow(R(0, 0, 199, 199), GUI_BORDER_NONE);
    h.pm().Add(w, 1);
    w->Add(new Panel(R(10, 10, 50, 50), 0, 0xFF0000, 0), 1);
    w->SetScrollMode(GUI_SCROLL_AUTO_V);
    EXPECT_EQ(w->mpVScrollBar, nullptr);
    w->Add(new Panel(R(10, 150, 50, 400), 0, 0xFF0000, 0), 1);
    EXPECT_EQ(w->CheckAutoScroll(), 1);
    ASSERT_NE(w->mpVScrollBar, nullptr);
    EXPECT_EQ(w->mClientRect.right, 199 - 16);
    EXPECT_EQ(w->mpVScrollBar->mRealRect, R(184, 0, 199, 199));
    auto* bar = dynamic_cast<GuiScroll*>(w->mpVScrollBar);
    EXPECT_EQ(bar->Info().maximum, 400);
    EXPECT_EQ(bar->Info().visible, 200);
    h.redraw(w->mRealRect);
    h.dispatchAll();
}
