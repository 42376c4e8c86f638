// Window decorations: the title with its buttons and system menu asking the window to close, the
// status bar's text fields, the tool-bar panel's buttons, and the client area the decorated window
// keeps between them.
#include <gtest/gtest.h>

#include "gui/widgets/decor/guidecor.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// Keeps the window requests its decorations make, instead of acting on them.
class Framed : public GuiDecoratedWindow {
public:
    explicit Framed(const GuiRect& r) : GuiDecoratedWindow(r, GUI_BORDER_NONE) {}
    int Message(const GuiMessage& m) override {
        if (m.Type == GM_CLOSE || m.Type == GM_MAXIMIZE || m.Type == GM_MINIMIZE || m.Type == GM_RESTORE) {
            requests.push_back(m.Type);
            return 0;
        }
        return GuiDecoratedWindow::Message(m);
    }
    std::vector<uint16_t> requests;
};

} // namespace

TEST(GuiDecoration, TitleStatusAndToolBarsFrameTheClientArea) {
    Harness h(true);
    h.useTestFont();
    auto* w = new Framed(R(0, 0, 399, 299));
    const GuiRect bare = w->mClientRect;
    auto* title = new GuiTitle("Log", GUI_TITLE_SYSTEM_MENU | GUI_TITLE_CLOSE);
    auto* status = new GuiStatusBar();
    auto* tools = new GuiToolBar(0);
    auto* panel = new GuiToolBarPanel(0);
    for (int i = 0; i < 2; ++i)
        panel->AddToEnd(new GuiTextButton(R(0, 0, 19, 19), "t", 40 + i, GUI_BTN_ENABLED), 0);
    tools->AddPanel(panel, 0);
    w->Add(title, 0);
    w->Add(tools, 0);
    w->Add(status, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();

    // The system menu greys what has no button: a close button only.
    struct Entry {
        const char* text;
        bool enabled;
    } entries[] = {{"Close", true}, {"Minimize", false}, {"Maximize", false}};
    for (const Entry& e : entries) {
        GuiMenuButton* b = title->mpSystemMenu->FindButton(e.text);
        ASSERT_NE(b, nullptr) << e.text;
        EXPECT_EQ((b->Style() & GUI_MENU_ENABLED) != 0, e.enabled) << e.text;
    }
    // At least 18 high over the window's top; the close button 2 from its right end.
    EXPECT_EQ(title->mRealRect, R(0, 0, 399, 18));
    EXPECT_EQ(title->mpCloseButton->mRealRect, R(382, 2, 397, 17));
    // Two panel buttons at the panel's left + 10 and + 30; the tool bar under the title.
    EXPECT_EQ(tools->mRealRect.top, 19);
    GuiThing* tool = panel->FirstChild();
    EXPECT_EQ(tool->mRealRect.left, panel->mRealRect.left + 10);
    EXPECT_EQ(tool->NextSibling()->mRealRect.left, panel->mRealRect.left + 30);
    // Two fields of 50 on the status bar at x 0: 0 to 49 and 53 to 102.
    GuiPrompt* f1 = status->AddTextField(50, 1, "one");
    GuiPrompt* f2 = status->AddTextField(50, 2, "two");
    EXPECT_EQ(f1->mRealRect.left, 0);
    EXPECT_EQ(f1->mRealRect.right, 49);
    EXPECT_EQ(f2->mRealRect.left, 53);
    EXPECT_EQ(f2->mRealRect.right, 102);
    status->SetTextField(2, "new");
    EXPECT_STREQ(status->GetPrompt(2)->Text(), "new");
    // The client area lies between the decorations.
    EXPECT_EQ(w->mClientRect.top, tools->mRealRect.bottom + 1);
    EXPECT_EQ(w->mClientRect.bottom, status->mRealRect.top - 1);
    EXPECT_EQ(status->mRealRect.bottom, bare.bottom);

    // The close button, and "Close" of the system menu, ask the window to close.
    h.click(390, 9);
    EXPECT_EQ(w->requests, std::vector<uint16_t>{GM_CLOSE});
    h.click(title->mpSystemButton->mRealRect.left + 3, 9);
    ASSERT_EQ(title->mpSystemMenu->Parent(), &h.pm());
    EXPECT_EQ(title->mpSystemMenu->mRealRect.top, title->mRealRect.bottom + 2);
    GuiMenuButton* close = title->mpSystemMenu->FindButton("Close");
    h.click(close->mRealRect.left + 20, close->mRealRect.top + 3);
    EXPECT_EQ(w->requests, (std::vector<uint16_t>{GM_CLOSE, GM_CLOSE}));
    EXPECT_EQ(title->mpSystemMenu->Parent(), nullptr);

    // Without decorations the client area is whole again.
    for (GuiThing* d :
         {static_cast<GuiThing*>(title), static_cast<GuiThing*>(tools), static_cast<GuiThing*>(status)}) {
        w->Remove(d, 0);
        delete d;
    }
    EXPECT_EQ(w->mClientRect, bare);
}

TEST(GuiDecoration, TitleButtonsMaximiseAndRestoreTheWindow) {
    Harness h(true);
    h.useTestFont();
    auto* w = new GuiDecoratedWindow(R(50, 50, 249, 199), GUI_BORDER_THICK);
    auto* title = new GuiTitle("Log", GUI_TITLE_SYSTEM_MENU | GUI_TITLE_CLOSE | GUI_TITLE_MIN_MAX);
    w->Add(title, 0);
    h.pm().Add(w, 1);
    h.dispatchAll();
    // Right to left from the title's end (window right - 3): close and maximise 2 pixels left of
    // the last place, minimise 1, 16 wide each.
    struct Place {
        GuiThing* button;
        int right;
    } places[] = {
        {title->mpCloseButton, 244}, {title->mpMaximizeButton, 227}, {title->mpMinimizeButton, 211}};
    for (const Place& p : places) {
        EXPECT_EQ(p.button->mRealRect.right, p.right);
        EXPECT_EQ(p.button->mRealRect.left, p.right - 15);
    }
    EXPECT_EQ(title->mpMaximizeButton->Id(), GUI_ID_RETRY);

    // Maximised: the button and the menu entry restore, and a press on the title moves nothing.
    h.click(title->mpMaximizeButton->mRealRect.left + 5, title->mpMaximizeButton->mRealRect.top + 5);
    ASSERT_TRUE(w->mbMaximized);
    EXPECT_EQ(title->mpMaximizeButton->Id(), GUI_ID_RESTORE);
    ASSERT_NE(title->mpSystemMenu->FindButton("Restore"), nullptr);
    const GuiRect maximised = w->mRealRect;
    h.pointer(GM_BUTTON_DOWN, title->mRealRect.left + 40, title->mRealRect.top + 5);
    h.pointer(GM_POINTER_MOVE, title->mRealRect.left + 80, title->mRealRect.top + 45);
    h.pointer(GM_BUTTON_UP, title->mRealRect.left + 80, title->mRealRect.top + 45);
    h.dispatchAll();
    EXPECT_EQ(w->mRealRect, maximised);
    h.click(title->mpMaximizeButton->mRealRect.left + 5, title->mpMaximizeButton->mRealRect.top + 5);
    EXPECT_FALSE(w->mbMaximized);
    EXPECT_EQ(w->mRealRect, R(50, 50, 249, 199));
    EXPECT_EQ(title->mpMaximizeButton->Id(), GUI_ID_RETRY);
    ASSERT_NE(title->mpSystemMenu->FindButton("Maximize"), nullptr);
}
