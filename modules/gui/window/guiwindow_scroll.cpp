// A window's scroll bars: fixed and automatic bars at the right and bottom edges, the extent of
// the content they report, and moving the content when they scroll.
#include <new>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiscroll.h"
#include "gui/window/guiwindow.h"

GuiThing* GuiWindow::CreateVScroll() {
    return new (std::nothrow) GuiVScroll();
}

GuiThing* GuiWindow::CreateHScroll() {
    return new (std::nothrow) GuiHScroll();
}

bool GuiWindow::makeBar(bool vertical, int draw) {
    GuiThing*& bar = vertical ? mpVScrollBar : mpHScrollBar;
    if (bar) return false;
    GuiThing* made = vertical ? CreateVScroll() : CreateHScroll();
    if (!made) return false;
    if (vertical)
        mClientRect.right = static_cast<int16_t>(mClientRect.right - GUI_SCROLLBAR_SIZE);
    else
        mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom - GUI_SCROLLBAR_SIZE);
    bar = made;
    Add(made, draw);
    return true;
}

void GuiWindow::dropBar(GuiThing*& bar, bool vertical) {
    if (!bar) return;
    GuiThing* gone = bar;
    bar = nullptr;
    Remove(gone, 0);
    if (vertical)
        mClientRect.right = static_cast<int16_t>(mClientRect.right + GUI_SCROLLBAR_SIZE);
    else
        mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom + GUI_SCROLLBAR_SIZE);
    // An arrow held down keeps a repeat timer: it goes before the bar does.
    if (auto* s = dynamic_cast<GuiScroll*>(gone)) s->StopArrows();
    if (mpMessageQueue) {
        mpMessageQueue->KillTimer(gone, 0);
        mpMessageQueue->Purge(gone);
    }
    delete gone;
}

void GuiWindow::SetScrollMode(unsigned int mode) {
    mbScrollMode = static_cast<uint8_t>(mode);
    if (mode & GUI_SCROLL_LIVE)
        AddStatus(GUI_ST_SCROLL_LIVE);
    else
        RemoveStatus(GUI_ST_SCROLL_LIVE);
    if (mode & (GUI_SCROLL_AUTO_V | GUI_SCROLL_AUTO_H)) {
        if (IsVisible()) CheckAutoScroll();
        return;
    }
    // Both new bars: the horizontal one is added while the client area is already narrower.
    const bool wantV = mode & GUI_SCROLL_V, wantH = mode & GUI_SCROLL_H;
    if (wantV && !mpVScrollBar && wantH && !mpHScrollBar) {
        mClientRect.right = static_cast<int16_t>(mClientRect.right - GUI_SCROLLBAR_SIZE);
        makeBar(false, 1);
        mClientRect.right = static_cast<int16_t>(mClientRect.right + GUI_SCROLLBAR_SIZE);
        makeBar(true, 1);
    } else {
        if (wantH) makeBar(false, 1);
        if (wantV) makeBar(true, 1);
    }
    if (!wantH) dropBar(mpHScrollBar, false);
    if (!wantV) dropBar(mpVScrollBar, true);
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mRealRect);
    if (mpVScrollBar && mpHScrollBar) {
        mpScreen->BeginDraw(this);
        FillScrollCorner();
        mpScreen->EndDraw();
    } else {
        Draw();
    }
}

void GuiWindow::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int bottom = mpScreen ? mpScreen->VRes() - 1 : 0;
    int lo = 2 * bottom, hi = -2 * bottom;
    bool any = false;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (c->mwStatusFlags & GUI_ST_NONCLIENT) continue;
        any = true;
        if (c->mRealRect.top < lo) lo = c->mRealRect.top;
        if (c->mRealRect.bottom > hi) hi = c->mRealRect.bottom;
    }
    info->visible = mClientRect.Height();
    if (!any) {
        lo = mClientRect.top;
        hi = mClientRect.top + mClientRect.Height() - 1;
    }
    info->minimum = lo;
    info->maximum = hi;
    info->current = mClientRect.top;
    info->step = info->visible / 10;
}

void GuiWindow::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int right = mpScreen ? mpScreen->HRes() - 1 : 0;
    int lo = 2 * right, hi = -2 * right;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (c->mwStatusFlags & GUI_ST_NONCLIENT) continue;
        if (c->mRealRect.left < lo) lo = c->mRealRect.left;
        if (c->mRealRect.right > hi) hi = c->mRealRect.right;
    }
    info->visible = mClientRect.Width();
    info->minimum = lo;
    info->maximum = hi;
    info->current = mClientRect.left;
    info->step = info->visible / 10;
}

int GuiWindow::CheckAutoScroll() {
    bool changed = false;
    auto check = [&](bool vertical) {
        GuiThing*& bar = vertical ? mpVScrollBar : mpHScrollBar;
        GuiThing* other = vertical ? mpHScrollBar : mpVScrollBar;
        GuiScrollInfo info{};
        if (vertical)
            GetVScrollInfo(&info);
        else
            GetHScrollInfo(&info);
        const bool fits = info.maximum - info.minimum < info.visible;
        if (fits && bar) {
            dropBar(bar, vertical);
            changed = true;
            // The content returns to its origin.
            GuiMessage m = GuiMakeMessage(vertical ? GM_VSCROLL : GM_HSCROLL, this, this,
                                          static_cast<int16_t>(info.current));
            m.SetDataWord(0, info.minimum);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
        } else if (!fits && !bar) {
            if (!makeBar(vertical, 0)) return;
            changed = true;
            if (vertical)
                if (auto* s = dynamic_cast<GuiScroll*>(bar)) s->Reset(&info);
        } else if (!fits) {
            if (auto* s = dynamic_cast<GuiScroll*>(bar)) s->Reset(&info);
            return;
        } else {
            return;
        }
        if (other && IsVisible()) other->Message(GuiMakeMessage(GM_PARENT_RESIZED, other));
    };
    if (mbScrollMode & GUI_SCROLL_AUTO_H) check(false);
    if (mbScrollMode & GUI_SCROLL_AUTO_V) check(true);
    if (!changed) return 0;
    CheckAutoScroll(); // one bar can make the other necessary
    return 1;
}

void GuiWindow::MoveClientObjects(int dx, int dy, int redraw) {
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (c->mwStatusFlags & GUI_ST_NONCLIENT) continue;
        GuiRect r = c->mRealRect;
        r.Shift(dx, dy);
        c->Resize(r);
    }
    if (!IsVisible() || !mpScreen) return;
    // The whole client area is painted again (the children moved in it).
    mpScreen->Invalidate(mClientRect);
    if (redraw) Draw();
}

void GuiWindow::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    if ((mbScrollMode & (GUI_SCROLL_AUTO_V | GUI_SCROLL_AUTO_H)) && CheckAutoScroll()) {
        UpdateChildClipping();
        if (IsVisible() && mpScreen) {
            mpScreen->GenerateViewportList(mpParentThing ? mpParentThing : this);
            mpScreen->Invalidate(mRealRect);
        }
    }
    for (GuiThing* c = mpFirstChild; c;) {
        GuiThing* next = c->mpNextSibling;
        c->Message(GuiMakeMessage(GM_PARENT_RESIZED, c));
        c = next;
    }
}
