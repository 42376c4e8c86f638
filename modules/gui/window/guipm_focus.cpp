// Input focus, pointer capture and the thing under the pointer.
#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guipm.h"

namespace {

bool Accepts(const GuiThing* t) {
    return t->mwStatusFlags & GUI_ST_FOCUS;
}

bool Current(const GuiThing* t) {
    return t->mwStatusFlags & GUI_ST_CURRENT;
}

} // namespace

GuiThing* GuiPresentationManager::FindLowestThingContaining(GuiThing* start, GuiPoint p) {
    GuiLockGuard lock;
    GuiThing* result = start;
    GuiThing* c = start ? start->mpFirstChild : nullptr;
    while (c) {
        if (c->IsVisible() && c->mClipRect.Contains(p) && (c->mwStatusFlags & GUI_ST_SELECTABLE)) {
            result = c;
            c = c->mpFirstChild;
        } else {
            c = c->mpNextSibling;
        }
    }
    return result;
}

bool GuiPresentationManager::enter(GuiThing* t) {
    if (t == mpPointerThing) return false;
    GuiThing* old = mpPointerThing;
    mpPointerThing = t;
    if (old) old->Message(GuiMakeMessage(GM_POINTER_EXIT));
    if (t) t->Message(GuiMakeMessage(GM_POINTER_ENTER));
    return true;
}

void GuiPresentationManager::pressFocus(GuiThing* t) {
    if (!t || t == mpInputFocus) return;
    if (Accepts(t)) {
        MoveFocusTree(t);
        return;
    }
    for (GuiThing* a = t->mpParentThing; a && !Current(a); a = a->mpParentThing)
        if (Accepts(a)) MoveFocusTree(a);
}

int GuiPresentationManager::DeliverPointer(GuiThing* root, GuiMessage* msg) {
    GuiThing* to;
    {
        GuiLockGuard lock;
        to = FindLowestThingContaining(root, msg->DataPoint());
        enter(to);
        if (msg->Type == GM_BUTTON_DOWN || msg->Type == GM_BUTTON2_DOWN) pressFocus(to);
    }
    return to ? to->Message(*msg) : 0;
}

void GuiPresentationManager::CapturePointer(GuiThing* thing) {
    if (!thing) return;
    GuiLockGuard lock;
    if (mbCaptureDepth >= CAPTURE_DEPTH) return; // a ninth capture is ignored
    if (mbCaptureDepth == 0) mpFocusBeforeCapture = mpInputFocus;
    mpInputFocus = thing;
    mCaptureStack[mbCaptureDepth++] = thing;
    thing->AddStatus(GUI_ST_CAPTURED);
}

void GuiPresentationManager::ReleasePointer(GuiThing* thing) {
    if (!thing) return;
    GuiLockGuard lock;
    // Found by address first: a thing that gave up its capture may be gone.
    int at = -1;
    for (int i = mbCaptureDepth - 1; i >= 0 && at < 0; --i)
        if (mCaptureStack[i] == thing) at = i;
    if (at < 0 || !(thing->mwStatusFlags & GUI_ST_CAPTURED)) return;
    thing->RemoveStatus(GUI_ST_CAPTURED);
    for (int i = at; i + 1 < mbCaptureDepth; ++i) mCaptureStack[i] = mCaptureStack[i + 1];
    mCaptureStack[--mbCaptureDepth] = nullptr;
    if (mbCaptureDepth) {
        GuiThing* top = mCaptureStack[mbCaptureDepth - 1];
        top->AddStatus(GUI_ST_CAPTURED);
        mpInputFocus = top;
    } else {
        mpInputFocus = mpFocusBeforeCapture;
        mpFocusBeforeCapture = nullptr;
    }
}

GuiThing* GuiPresentationManager::GetPointerOwner() {
    GuiLockGuard lock;
    return mbCaptureDepth ? mCaptureStack[mbCaptureDepth - 1] : nullptr;
}

void GuiPresentationManager::NullInput(GuiThing* thing) {
    if (!thing) return;
    GuiLockGuard lock;
    if (GuiIsInside(mpPointerThing, thing)) mpPointerThing = nullptr;
    for (int i = mbCaptureDepth - 1; i >= 0; --i)
        if (i < mbCaptureDepth && GuiIsInside(mCaptureStack[i], thing)) ReleasePointer(mCaptureStack[i]);
    // The focus saved for the end of a capture must not be a thing that is going.
    if (GuiIsInside(mpFocusBeforeCapture, thing)) mpFocusBeforeCapture = nullptr;
    if (GuiIsInside(mpInputFocus, thing)) {
        GuiThing* w = mpFirstChild;
        while (w && (w->mwStatusFlags & (GUI_ST_CURRENT | GUI_ST_FOCUS)) != (GUI_ST_CURRENT | GUI_ST_FOCUS))
            w = w->mpNextSibling;
        mpInputFocus = w;
    }
}

void GuiPresentationManager::KillFocus(GuiThing* thing) {
    for (GuiThing* t = thing; t; t = t->mpNextSibling) {
        if (Current(t)) {
            t->Message(GuiMakeMessage(GM_NOT_CURRENT, t));
            return;
        }
    }
}

void GuiPresentationManager::SetFocus(GuiThing* thing) {
    if (!thing) return;
    thing->Message(GuiMakeMessage(GM_CURRENT, thing));
    GuiThing* parent = thing->mpParentThing;
    if (parent && thing->mwThingId && (thing->mwSignals & 0x0002) && parent->IsVisible())
        thing->SendSignal(1);
}

void GuiPresentationManager::MoveFocusTree(GuiThing* thing) {
    if (!thing) return;
    GuiLockGuard lock;
    if ((thing->mwStatusFlags & (GUI_ST_VISIBLE | GUI_ST_FOCUS)) != (GUI_ST_VISIBLE | GUI_ST_FOCUS)) return;
    if (GuiThing* had = mpInputFocus; had && had != thing) {
        GuiThing* p = had->mpParentThing;
        if (p && had->mwThingId && (had->mwSignals & 0x0004) && p->IsVisible()) had->SendSignal(2);
    }
    if (thing == this) {
        if (mpFirstChild) KillFocus(mpFirstChild);
        mpInputFocus = nullptr;
        return;
    }
    GuiThing* a = thing;
    while (a && !Current(a)) a = a->mpParentThing;
    if (!a) a = this;
    if (a->mpFirstChild) KillFocus(a->mpFirstChild);
    if (thing == a && Current(thing)) {
        mpInputFocus = thing;
        return;
    }
    if (!thing->IsVisible()) return;
    // Every window on the way up to A comes to the front of its siblings.
    for (GuiThing* w = thing; w && w != a; w = w->mpParentThing) {
        GuiThing* parent = w->mpParentThing;
        if (!parent || w->muThingType < GUI_TYPE_WINDOW) continue;
        int overlaps = 0;
        GuiRect area{};
        for (GuiThing* s = parent->mpFirstChild; s && s != w; s = s->mpNextSibling) {
            if (!s->mRealRect.Overlap(w->mRealRect)) continue;
            if (++overlaps == 1) area = s->mRealRect & w->mRealRect;
        }
        if (overlaps >= 2) {
            parent->Add(w, 1);
        } else {
            parent->Add(w, 0);
            if (overlaps == 1 && mpScreen) {
                mpScreen->Invalidate(area);
                w->Draw();
            }
        }
    }
    mpInputFocus = thing;
    SetFocus(thing);
}

void GuiPresentationManager::InsureBranchHasFocus(GuiThing* thing) {
    if (!thing) return;
    for (GuiThing* a = thing->mpParentThing; a && !Current(a); a = a->mpParentThing)
        if (Accepts(a)) MoveFocusTree(a);
}
