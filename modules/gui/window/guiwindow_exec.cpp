// Modal loops of a window, in the GUI task or in another task. A task other than the GUI task
// registers with the presentation manager, which gives it a queue of its own and routes to it the
// messages for things inside the window.
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guipm.h"
#include "gui/window/guiwindow.h"

namespace {

bool IsButton(uint16_t type) {
    return type >= GM_BUTTON_DOWN && type <= GM_BUTTON2_UP;
}

// Adds the window in front for its loop: a hidden one to the presentation manager, a visible one
// again to its parent.
void AddForLoop(GuiWindow* w, GuiPresentationManager* pm) {
    if (!w->IsVisible()) {
        w->AddStatus(GUI_ST_FRONT);
        pm->Add(w, 1);
    } else if (!(w->mwStatusFlags & GUI_ST_FRONT)) {
        w->AddStatus(GUI_ST_FRONT);
        if (w->mpParentThing) w->mpParentThing->Add(w, 1);
    }
}

} // namespace

bool GuiWindow::frontWindowContains(GuiPoint p) const {
    GuiLockGuard lock;
    const GuiThing* top = this;
    while (top->mpParentThing && top->mpParentThing != mpPresentation) top = top->mpParentThing;
    if (!mpPresentation) return false;
    for (const GuiThing* w = mpPresentation->mpFirstChild; w && w != top; w = w->mpNextSibling)
        if (w->IsVisible() && w->mRealRect.Contains(p)) return true;
    return false;
}

int GuiWindow::Execute(int add) {
    GuiPresentationManager* pm = PM();
    if (!pm || !mpMessageQueue) return 0;
    mbModal = 1;
    const bool guiTask = GuiIsGuiTask();
    if (!guiTask) pm->BeginSubTaskExecute(this);
    if (add) AddForLoop(this, pm);
    int result = 0;
    while (result == 0) {
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (guiTask && pm->RouteMessageToTask(&m)) continue;
        if (!m.Target && GuiIsPointerMessage(m.Type)) {
            const GuiPoint p = m.DataPoint();
            const bool outside = !mRealRect.Contains(p) && !pm->GetPointerOwner();
            if (outside && m.Type == GM_POINTER_MOVE) {
                if (mbPointerChanged) setPointerShape(0);
                if (mpScreen) mpScreen->SetPointer(p);
                continue;
            }
            if (outside && IsButton(m.Type) && !frontWindowContains(p)) continue;
            result = pm->DispatchMessage(pm, &m);
        } else {
            result = pm->DispatchMessage(this, &m);
        }
    }
    // The window may be gone by now (a close destroys it): only its address is used.
    if (!guiTask) pm->EndSubTaskExecute(this);
    return result;
}

int GuiWindow::modalPointer(GuiMessage& m) {
    GuiPresentationManager* pm = PM();
    if (mbMoveMode) return Message(m);
    if (pm->mpFirstChild != this) {
        if (GuiIsGuiTask()) pm->RouteMessageToTask(&m);
        return 0;
    }
    if (pm->GetPointerOwner() == this) {
        if (!mRealRect.Contains(m.DataPoint())) return 0;
        return pm->DeliverPointer(this, &m);
    }
    return pm->DispatchMessage(pm, &m);
}

int GuiWindow::GlobalModalExecute() {
    GuiPresentationManager* pm = PM();
    if (!pm || !mpMessageQueue) return 0;
    mbModal = 1;
    const bool guiTask = GuiIsGuiTask();
    if (!guiTask) pm->BeginSubTaskExecute(this);
    AddForLoop(this, pm);
    pm->CapturePointer(this);
    int result = 0;
    while (result == 0) {
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (!m.Target && GuiIsPointerMessage(m.Type))
            result = modalPointer(m);
        else
            result = pm->DispatchMessage(this, &m);
    }
    if (!guiTask) pm->EndSubTaskExecute(this);
    // A window that closed itself has already given up its capture; it is not touched then.
    pm->ReleasePointer(this);
    return result;
}
