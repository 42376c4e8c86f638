// Menus built from static description arrays: GuiMenuBar along the top of a framed window, GuiMenu
// a pop-up column of entries, GuiMenuButton one entry, which may carry a sub-menu, a check mark or
// a dot (radio) mark, or be a separator line. Entries report a choice to their owner (the window
// the menu serves) as signals. Pop-up menus live as children of the presentation manager while
// open.
#pragma once

#include <cstdint>

#include "gui/core/guitextthing.h"

// One entry of a description array; an entry whose id and style are both 0 ends the array.
struct GuiMenuDescription {
    const char* text;
    uint16_t id;
    uint16_t style;
    GuiMenuDescription* subMenu;
};

// Entry style bits.
enum : uint16_t {
    GUI_MENU_SEPARATOR = 0x0100,
    GUI_MENU_CHECK = 0x0200,
    GUI_MENU_CHECKED = 0x0400,
    GUI_MENU_DOT = 0x0800,
    GUI_MENU_DOTTED = 0x1000,
    GUI_MENU_ENABLED = 0x8000,
};

enum : uint8_t { GUI_TYPE_MENU = 3, GUI_TYPE_MENU_BAR = 9, GUI_TYPE_MENU_BUTTON = 10 };

// Marks of menu entries (8-bit, index 255 transparent).
extern GuiBitmap gbCheckBitmap, gbDotBitmap;

class GuiMenu;
class GuiMenuBar;

class GuiMenuButton : public GuiTextThing {
public:
    explicit GuiMenuButton(const GuiMenuDescription& description);
    ~GuiMenuButton() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    GuiThing* Find(unsigned short id, int recursive) override;

    // (0, 0, W, H): the text and room for marks and the arrow in a menu (parent type 3).
    virtual GuiRect GetMinSize(unsigned char parentType);
    virtual void CloseMenu();
    virtual void SetDotted(int on);
    virtual void SetChecked(int on);
    virtual void SetEnabled(int on);
    virtual void SetOwner(GuiThing* owner);
    virtual int IsSeparator() { return (mwStyleFlags & GUI_MENU_SEPARATOR) != 0; }
    virtual int IsChecked() { return (mwStyleFlags & GUI_MENU_CHECKED) != 0; }
    virtual int IsDotted() { return (mwStyleFlags & GUI_MENU_DOTTED) != 0; }

    void AddSubMenu(int fromBar);
    void RemoveSiblingDots();
    void SendOwnerMessage();
    GuiMenuButton* FindButton(const char* text);
    void SetSubMenu(GuiMenu* menu);

    GuiMenu* mpSubMenu = nullptr; // owned
    GuiThing* mpOwner = nullptr;  // receives the signals
    int32_t mbSubMenuOpen = 0;
    int32_t mbHighlighted = 0;

private:
    GuiMenuBar* bar() const;
    // Pushes signal n to the owner when the id is not 0 and, unless mask is 0, the mask bit is set.
    void signal(unsigned n, uint16_t mask);
    void redraw();
    void dropSubMenu();
};

class GuiMenu : public GuiThing {
public:
    // takesFocus 0: the menu never takes the input focus (sub-menus).
    GuiMenu(const GuiMenuDescription* description, int takesFocus);
    ~GuiMenu() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    void PositionButtons();
    GuiRect GetMinSize();
    void CloseSiblings(GuiMenuButton* except);
    GuiMenuButton* FindButton(const char* text);
    void SetOwner(GuiThing* owner);
};

class GuiMenuBar : public GuiThing {
public:
    explicit GuiMenuBar(const GuiMenuDescription* description);
    ~GuiMenuBar() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    virtual void SetFlyoverMode(int on) { mbFlyover = on; }
    virtual int InFlyoverMode() { return mbFlyover; }
    virtual void CloseSiblings(GuiMenuButton* except);
    virtual void SizeToParent();
    virtual void PositionButtons();

    GuiMenuButton* FindButton(const char* text);

    int32_t mbFlyover = 0;
};

// The menu font's height (entry 2 of the font table).
int GuiMenuFontHeight();

// A GM_RESIZE handed to a thing at once: it resizes itself through its own message handling.
inline void GuiSendResize(GuiThing* t, const GuiRect& r) {
    GuiMessage m = GuiMakeMessage(GM_RESIZE, t);
    m.SetDataRect(r);
    t->Message(m);
}
