// Window decorations: non-client things along a window's edges. GuiTitle is the title bar with
// optional system, close, minimise and maximise buttons and a system menu; GuiStatusBar a row of
// text fields with a sizing grip; GuiToolBar holds tool-bar panels (GuiToolBarPanel) of buttons.
// GuiDecoratedWindow knows these decorations and shrinks its client area around them.
#pragma once

#include <cstdint>

#include "gui/widgets/menu/guimenu.h"
#include "gui/window/guibutton.h"
#include "gui/window/guiwindow.h"

enum : uint8_t {
    GUI_TYPE_TITLE = 2,
    GUI_TYPE_STATUS_BAR = 16,
    GUI_TYPE_TOOLBAR_PANEL = 27,
    GUI_TYPE_TOOLBAR = 28,
    GUI_TYPE_DECORATED_WINDOW = 156,
};

// Title style bits: the things the title makes.
enum : uint16_t {
    GUI_TITLE_SYSTEM_MENU = 0x0200,
    GUI_TITLE_MIN_MAX = 0x0400,
    GUI_TITLE_CLOSE = 0x0800,
};

// The built-in art of the decorations (8-bit, index 255 transparent).
extern GuiBitmap gbSystemButtonBitmap, gbCloseBitmap, gbMaximizeBitmap, gbMinimizeBitmap, gbRestoreBitmap,
    gbGripBitmap;

class GuiDecoratedWindow : public GuiWindow {
public:
    GuiDecoratedWindow(const GuiRect& rect, unsigned int style);
    explicit GuiDecoratedWindow(unsigned int style);
    ~GuiDecoratedWindow() override = default;

    int Message(const GuiMessage& msg) override;
    void Add(GuiThing* thing, int draw) override;
    GuiThing* Remove(GuiThing* thing, int draw) override;
    void InitClient() override;

    GuiThing* mpTitle = nullptr;
    GuiThing* mpMenuBar = nullptr;
    GuiThing* mpStatusBar = nullptr;
    GuiThing* mpToolBar = nullptr;
};

class GuiTitle : public GuiTextThing {
public:
    GuiTitle(const char* text, unsigned short style);
    ~GuiTitle() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;
    virtual void SizeToParent();

    void AssignMenu(GuiMenuDescription* description);

    GuiSystemButton* mpSystemButton = nullptr;
    GuiBitmapButton* mpCloseButton = nullptr;
    GuiBitmapButton* mpMinimizeButton = nullptr;
    GuiBitmapButton* mpMaximizeButton = nullptr;
    GuiMenu* mpSystemMenu = nullptr; // owned; under the presentation manager while shown
    int32_t miTitleHeight = 18;

private:
    void hideMenu();
    void showMenu();
    void placeButtons();
    GuiMenuButton* menuEntry(unsigned short id);
    // Hands a message to the parent window; its result.
    int toParent(uint16_t type);
};

class GuiStatusBar : public GuiTextThing {
public:
    GuiStatusBar();
    ~GuiStatusBar() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;
    virtual GuiPrompt* AddTextField(int width, unsigned short id, const char* text);
    virtual void SetTextField(unsigned short id, const char* text);
    virtual void SizeToParent();

    GuiPrompt* GetPrompt(unsigned int id);
    void CheckDrawDragMap(GuiThing* thing);

    GuiPrompt* mpLastField = nullptr;
    int32_t mbGrip = 0; // the pointer is over the sizing grip

private:
    GuiRect grip() const;
    bool parentMovable() const;
};

class GuiToolBarPanel : public GuiThing {
public:
    explicit GuiToolBarPanel(unsigned short id);
    ~GuiToolBarPanel() override = default;

    void Draw() override;
    void Add(GuiThing* child, int draw) override;
    void AddToEnd(GuiThing* child, int draw) override;
    GuiThing* Remove(GuiThing* child, int draw) override;
    virtual void PositionChildren();
};

class GuiToolBar : public GuiThing {
public:
    explicit GuiToolBar(unsigned short id);
    ~GuiToolBar() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    virtual void AddPanel(GuiToolBarPanel* panel, int redraw);
    virtual void RemovePanel(GuiThing* panel, int redraw);
    virtual void PositionPanels();
    virtual void SizeToParent();
    virtual void SizeToTallestPanel();

    int32_t miPanelHeight = 0;

private:
    void redraw(int redraw);
};
