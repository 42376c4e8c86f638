// Tool bars: panels of buttons side by side below the title and the menu bar of a window.
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/widgets/decor/guidecor.h"

// ---------------------------------------------------------------------------------------------
// GuiToolBarPanel

GuiToolBarPanel::GuiToolBarPanel(unsigned short id)
    : GuiThing(MakeGuiRect(0, 0, 100, 24), id, GUI_BORDER_NONE) {
    mColors[0] = GUI_LIGHT_GREY;
    muThingType = GUI_TYPE_TOOLBAR_PANEL;
}

void GuiToolBarPanel::PositionChildren() {
    // Left to right without gaps, after the grip.
    int x = mRealRect.left + 10, tallest = 0, right = mRealRect.left + 9;
    const int y = mRealRect.top + 2;
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) {
        const int w = c->mRealRect.Width(), h = c->mRealRect.Height();
        c->Resize(MakeGuiRect(x, y, x + w - 1, y + h - 1));
        x += w;
        tallest = std::max(tallest, h);
        right = std::max(right, c->mRealRect.right + 3);
    }
    GuiRect r = mRealRect;
    r.right = static_cast<int16_t>(right);
    const int h = std::max(mRealRect.bottom - mRealRect.top - 3, tallest + 2);
    if (h != mRealRect.Height()) r.bottom = static_cast<int16_t>(r.top + h);
    GuiThing::Resize(r);
}

void GuiToolBarPanel::Add(GuiThing* child, int draw) {
    GuiThing::Add(child, draw);
    PositionChildren();
}

void GuiToolBarPanel::AddToEnd(GuiThing* child, int draw) {
    GuiThing::AddToEnd(child, draw);
    PositionChildren();
}

GuiThing* GuiToolBarPanel::Remove(GuiThing* child, int draw) {
    GuiThing* removed = GuiThing::Remove(child, draw);
    PositionChildren();
    return removed;
}

void GuiToolBarPanel::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    const GuiRect r = mRealRect;
    const int l = r.left, t = r.top, R = r.right, B = r.bottom;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    s.BeginDraw(this);
    s.Rectangle(this, r, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    line(l, t, R, t, GUI_WHITE);
    line(l, t, l, B, GUI_WHITE);
    for (int x : {l + 3, l + 6}) line(x, t + 2, x, B - 3, GUI_WHITE);
    line(l, B, R, B, GUI_DARK_GREY);
    line(R, t, R, B, GUI_DARK_GREY);
    for (int x : {l + 4, l + 7}) line(x, t + 3, x, B - 2, GUI_DARK_GREY);
    DrawChildren();
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiToolBar

GuiToolBar::GuiToolBar(unsigned short id) : GuiThing(MakeGuiRect(0, 0, 100, 4), id, GUI_BORDER_NONE) {
    mColors[0] = GUI_LIGHT_GREY;
    muThingType = GUI_TYPE_TOOLBAR;
    AddStatus(GUI_ST_NONCLIENT | GUI_ST_MOVABLE);
}

void GuiToolBar::redraw(int redraw) {
    if (!redraw || !IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mRealRect);
    Draw();
}

void GuiToolBar::AddPanel(GuiToolBarPanel* panel, int redraw) {
    if (!panel || panel->Parent() == this) return;
    GuiThing::AddToEnd(panel, 0);
    PositionPanels();
    this->redraw(redraw);
}

void GuiToolBar::RemovePanel(GuiThing* panel, int redraw) {
    if (!panel || panel->Parent() != this) return;
    GuiThing::Remove(panel, 0);
    PositionPanels();
    this->redraw(redraw);
}

void GuiToolBar::SizeToTallestPanel() {
    // Only before the window shows: its client area was laid out with the bar's height.
    if (mpParentThing && mpParentThing->IsVisible()) return;
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling())
        miPanelHeight = std::max(miPanelHeight, c->mRealRect.Height());
    if (miPanelHeight <= 0) return;
    GuiRect r = mRealRect;
    r.bottom = static_cast<int16_t>(r.top + miPanelHeight - 1);
    GuiThing::Resize(r);
}

void GuiToolBar::PositionPanels() {
    SizeToTallestPanel();
    int x = mClientRect.left;
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) {
        const int w = c->mRealRect.Width();
        c->Resize(MakeGuiRect(x, mClientRect.top, x + w - 1, mClientRect.bottom));
        x += w;
    }
}

void GuiToolBar::SizeToParent() {
    GuiThing* p = mpParentThing;
    if (!p) return;
    GuiRect r = p->mRealRect;
    const uint16_t ps = p->mwStyleFlags;
    if (ps & GUI_BORDER_THICK) {
        r.left = static_cast<int16_t>(r.left + 4);
        r.top = static_cast<int16_t>(r.top + 4);
        r.right = static_cast<int16_t>(r.right - 3);
    } else if (!(ps & GUI_BORDER_NONE)) {
        r.left = static_cast<int16_t>(r.left + 1);
        r.top = static_cast<int16_t>(r.top + 1);
        r.right = static_cast<int16_t>(r.right - 1);
    }
    // Below the window's title and menu bar.
    for (uint8_t type : {uint8_t{GUI_TYPE_TITLE}, uint8_t{GUI_TYPE_MENU_BAR}})
        for (GuiThing* c = p->FirstChild(); c; c = c->NextSibling())
            if (c->muThingType == type) {
                r.top = static_cast<int16_t>(r.top + c->mRealRect.Height());
                break;
            }
    const int h = miPanelHeight > 0 ? miPanelHeight : mRealRect.Height();
    r.bottom = static_cast<int16_t>(r.top + h - 1);
    GuiSendResize(this, r);
}

int GuiToolBar::Message(const GuiMessage& msg) {
    if (msg.Type == GM_SHOW || msg.Type == GM_PARENT_RESIZED) SizeToParent();
    return GuiThing::Message(msg);
}

void GuiToolBar::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    mpScreen->Rectangle(this, mRealRect, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    DrawChildren();
    mpScreen->EndDraw();
}
