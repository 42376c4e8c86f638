// Moving and resizing a window with the pointer: the border code under the press, the XOR rubber
// band that follows the pointer, the limits of a resize and the final GM_RESIZE.
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/window/guiwindow.h"

GuiRect GuiWindow::dragRect(GuiPoint last) const {
    const int dx = last.x - mMoveAnchor.x, dy = last.y - mMoveAnchor.y;
    GuiRect r = mRealRect;
    auto add = [](int16_t& edge, int d) { edge = static_cast<int16_t>(edge + d); };
    switch (mbMoveMode) {
    case GUI_BORDER_TOP:
        add(r.top, dy);
        break;
    case GUI_BORDER_BOTTOM:
        add(r.bottom, dy);
        break;
    case GUI_BORDER_LEFT:
        add(r.left, dx);
        break;
    case GUI_BORDER_TOP_LEFT:
        add(r.left, dx);
        add(r.top, dy);
        break;
    case GUI_BORDER_BOTTOM_LEFT:
        add(r.left, dx);
        add(r.bottom, dy);
        break;
    case GUI_BORDER_RIGHT:
        add(r.right, dx);
        break;
    case GUI_BORDER_TOP_RIGHT:
        add(r.right, dx);
        add(r.top, dy);
        break;
    case GUI_BORDER_BOTTOM_RIGHT:
        add(r.right, dx);
        add(r.bottom, dy);
        break;
    case GUI_BORDER_MOVE:
        r.Shift(dx, dy);
        break;
    default:
        break;
    }
    return r;
}

void GuiWindow::CheckResizeRect(GuiRect& r) {
    if (mbMoveMode == GUI_BORDER_MOVE) return;
    const int limitW = muThingType == GUI_TYPE_WINDOW ? mClientRect.Width() - 4 : mRealRect.Width() - 80;
    const int narrower = mRealRect.Width() - r.Width();
    if (narrower > limitW) {
        const int excess = narrower - limitW;
        if (mbMoveMode == GUI_BORDER_LEFT || mbMoveMode == GUI_BORDER_TOP_LEFT ||
            mbMoveMode == GUI_BORDER_BOTTOM_LEFT)
            r.left = static_cast<int16_t>(r.left - excess);
        else
            r.right = static_cast<int16_t>(r.right + excess);
    }
    const int lower = mRealRect.Height() - r.Height();
    if (lower > mClientRect.Height()) {
        const int excess = lower - mClientRect.Height();
        if (mbMoveMode == GUI_BORDER_TOP || mbMoveMode == GUI_BORDER_TOP_LEFT ||
            mbMoveMode == GUI_BORDER_TOP_RIGHT)
            r.top = static_cast<int16_t>(r.top - excess);
        else
            r.bottom = static_cast<int16_t>(r.bottom + excess);
    }
}

void GuiWindow::DrawMoveFrame(int erase) {
    if (!mpScreen || !mpParentThing) return;
    if ((erase != 0) != (mbMoveFrameShown != 0)) return; // at most once each way
    const GuiRect& pc = mpParentThing->mClientRect;
    mMovePoint.x = static_cast<int16_t>(std::clamp<int>(mMovePoint.x, pc.left, pc.right));
    mMovePoint.y = static_cast<int16_t>(std::clamp<int>(mMovePoint.y, pc.top, pc.bottom));
    GuiRect frame = dragRect(mMovePoint);
    CheckResizeRect(frame);
    // Drawn over everything in the parent's client area, whatever lies in front.
    const GuiRect savedClip = mClipRect;
    mClipRect = mpParentThing->mClipRect & pc;
    mpScreen->Invalidate(frame);
    mpScreen->BeginDraw(this);
    mpScreen->RectangleXOR(this, frame);
    mpScreen->EndDraw();
    mClipRect = savedClip;
    mbMoveFrameShown = !erase;
}

void GuiWindow::finishDrag() {
    DrawMoveFrame(1);
    if (mbPointerChanged) setPointerShape(0);
    GuiThing::ReleasePointer();
    if (!(mwStatusFlags & GUI_ST_FOCUS_STOP)) MoveFocusToFirstClientChild();
    if (mMovePoint.x == mMoveAnchor.x && mMovePoint.y == mMoveAnchor.y) {
        mbMoveMode = 0;
        return;
    }
    GuiRect fresh = dragRect(mMovePoint);
    CheckResizeRect(fresh);
    const GuiRect old = mRealRect;
    if (mpScreen) {
        mpScreen->Invalidate(old);
        mpScreen->Invalidate(fresh);
        mpScreen->BeginDraw(this);
    }
    GuiMessage m = GuiMakeMessage(GM_RESIZE, this);
    m.SetDataRect(fresh);
    Message(m);
    if (IsVisible()) {
        if (mRealRect.Contains(old))
            Draw();
        else if (mpParentThing)
            mpParentThing->Draw();
    }
    if (mpScreen) mpScreen->EndDraw();
    mbMoveMode = 0;
}
