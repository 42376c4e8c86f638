// The notebook: a window with a row of tabs (texts, or things shown on them) above or below a page
// area that shows one page client at a time, with a spin button that scrolls the row when not all
// tabs fit. Selecting a tab sends signal 8 with the new tab to the parent.
#pragma once

#include <cstdint>

#include "gui/window/guiwindow.h"

class GuiSpinButton;

enum : uint8_t { GUI_TYPE_NOTEBOOK = 158 };

// Style bits of the notebook.
enum : uint16_t {
    GUI_NB_TEXT_TABS = 0x0400,
    GUI_NB_TABS_ABOVE = 0x0100,
    GUI_NB_WIDE_FRAME = 0x0010,
};
// Id of the tab scroller; the signal of a selected tab.
inline constexpr uint16_t GUI_NB_SCROLLER_ID = 1000;
inline constexpr unsigned GUI_SIGNAL_TAB = 8;

class GuiNotebook : public GuiWindow {
public:
    GuiNotebook(const GuiRect& rect, unsigned int style, unsigned char tabs);
    ~GuiNotebook() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;
    void DrawFrame(int fill) override;

    void CalculateTabPositions();
    void AddCurrentPageClient(int show);
    void SelectTab(unsigned char n);
    int CheckTabClick(GuiPoint p);
    void RedrawTabs();
    void DrawTabs(int pass);
    void SetTabClient(unsigned char n, GuiThing* thing);
    void SetPageClient(unsigned char n, GuiThing* thing);
    GuiThing* GetPageClient(unsigned char n);
    GuiThing* RemovePageClient(unsigned char n);
    GuiThing* GetTabClient(unsigned char n);
    void SetTabString(unsigned char n, const char* text);
    void ResetTabStyle(unsigned int style);
    void ResetNumTabs(unsigned char n);

    char** mppTabStrings = nullptr;
    GuiThing** mppTabClients = nullptr;
    GuiThing** mppPageClients = nullptr;
    GuiSpinButton* mpTabScroller = nullptr;
    uint8_t muCurrentTab = 0;
    uint8_t muNumTabs = 0;
    uint8_t muVisibleTabs = 0;
    uint8_t muFirstVisibleTab = 0;
    int32_t miTabWidth = 0;
    int32_t miTabHeight = 0;

private:
    bool above() const { return mwStyleFlags & GUI_NB_TABS_ABOVE; }
    bool textTabs() const { return mwStyleFlags & GUI_NB_TEXT_TABS; }
    int rowTop() const;
    void removeCurrentPage(int redraw);
    void deleteTabClient(GuiThing* t);
};
