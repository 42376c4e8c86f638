// The decorated window: title, menu bar and tool bar take room at the top of the client area, the
// status bar at its bottom.
#include "gui/widgets/decor/guidecor.h"

#include "gui/core/guiscreen.h"

GuiDecoratedWindow::GuiDecoratedWindow(const GuiRect& rect, unsigned int style) : GuiWindow(rect, style) {
    muThingType = GUI_TYPE_DECORATED_WINDOW;
}

GuiDecoratedWindow::GuiDecoratedWindow(unsigned int style) : GuiWindow(style) {
    muThingType = GUI_TYPE_DECORATED_WINDOW;
}

void GuiDecoratedWindow::Add(GuiThing* thing, int draw) {
    if (!thing) return;
    // A decoration already in a tree has been counted where it is.
    const bool fresh = !thing->Parent();
    const int h = thing->mRealRect.Height();
    GuiThing** link = nullptr;
    switch (thing->muThingType) {
    case GUI_TYPE_TITLE:
        link = &mpTitle;
        break;
    case GUI_TYPE_MENU_BAR:
        link = &mpMenuBar;
        break;
    case GUI_TYPE_TOOLBAR:
        link = &mpToolBar;
        break;
    case GUI_TYPE_STATUS_BAR:
        link = &mpStatusBar;
        break;
    default:
        break;
    }
    if (link) {
        *link = thing;
        if (fresh) {
            if (link == &mpStatusBar)
                mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom - h);
            else
                mClientRect.top = static_cast<int16_t>(mClientRect.top + h);
        }
    }
    GuiWindow::Add(thing, draw);
}

GuiThing* GuiDecoratedWindow::Remove(GuiThing* thing, int draw) {
    if (thing && thing->Parent() == this) {
        const int h = thing->mRealRect.Height();
        if (thing == mpTitle || thing == mpMenuBar || thing == mpToolBar) {
            if (IsVisible() && mpScreen)
                mpScreen->Invalidate(MakeGuiRect(thing->mRealRect.left, thing->mRealRect.top,
                                                 thing->mRealRect.right, mClientRect.top));
            mClientRect.top = static_cast<int16_t>(mClientRect.top - h);
            (thing == mpTitle ? mpTitle : thing == mpMenuBar ? mpMenuBar : mpToolBar) = nullptr;
        } else if (thing == mpStatusBar) {
            mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom + h);
            mpStatusBar = nullptr;
        }
    }
    return GuiThing::Remove(thing, draw);
}

void GuiDecoratedWindow::InitClient() {
    GuiWindow::InitClient();
    int top = 0;
    for (GuiThing* t : {mpTitle, mpMenuBar, mpToolBar})
        if (t) top += t->mRealRect.Height();
    const int bottom = mpStatusBar ? mpStatusBar->mRealRect.Height() : 0;
    if (!top && !bottom) return;
    mClientRect.top = static_cast<int16_t>(mClientRect.top + top);
    mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom - bottom);
    // The scroll bars follow the smaller client area.
    if (!IsVisible()) return;
    for (GuiThing* bar : {mpVScrollBar, mpHScrollBar})
        if (bar) bar->Message(GuiMakeMessage(GM_PARENT_RESIZED, bar));
}

int GuiDecoratedWindow::Message(const GuiMessage& msg) {
    if (msg.Type != GM_CURRENT && msg.Type != GM_NOT_CURRENT) return GuiWindow::Message(msg);
    const int r = GuiWindow::Message(msg);
    // The title shows whether its window is current.
    if (mpTitle && mpTitle->IsVisible() && mpScreen) {
        mpScreen->Invalidate(mpTitle->mClipRect);
        mpTitle->Draw();
    }
    return r;
}
