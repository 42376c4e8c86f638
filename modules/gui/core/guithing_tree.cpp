// The object tree: adding, moving to the front, removing, resizing and destroying things.
//
// The first child is the front-most and is drawn last. Siblings keep three classes in order:
// things kept in front (GUI_ST_FRONT), windows that own viewports (GUI_ST_VIEWPORTS), the rest.
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"

namespace {

bool Has(const GuiThing* t, uint16_t bits) {
    return (t->mwStatusFlags & bits) == bits;
}

} // namespace

void GuiThing::UnlinkChild(GuiThing* child) {
    if (child->mpPrevSibling)
        child->mpPrevSibling->mpNextSibling = child->mpNextSibling;
    else if (mpFirstChild == child)
        mpFirstChild = child->mpNextSibling;
    if (child->mpNextSibling) child->mpNextSibling->mpPrevSibling = child->mpPrevSibling;
    child->mpNextSibling = child->mpPrevSibling = nullptr;
    child->mpParentThing = nullptr;
}

void GuiThing::InsertBefore(GuiThing* child, GuiThing* before) {
    child->mpParentThing = this;
    if (!before) {
        GuiThing* last = mpFirstChild;
        while (last && last->mpNextSibling) last = last->mpNextSibling;
        child->mpPrevSibling = last;
        child->mpNextSibling = nullptr;
        if (last)
            last->mpNextSibling = child;
        else
            mpFirstChild = child;
        return;
    }
    child->mpNextSibling = before;
    child->mpPrevSibling = before->mpPrevSibling;
    if (before->mpPrevSibling)
        before->mpPrevSibling->mpNextSibling = child;
    else
        mpFirstChild = child;
    before->mpPrevSibling = child;
}

void GuiThing::ComputeChildClip(GuiThing* child) const {
    child->mClipRect = child->mRealRect & mClipRect;
    if (!(child->mwStatusFlags & GUI_ST_NONCLIENT)) child->mClipRect &= mClientRect;
}

void GuiThing::UpdateChildClipping() {
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        ComputeChildClip(c);
        c->UpdateChildClipping();
    }
}

void GuiThing::Add(GuiThing* child, int draw) {
    if (!child || child == this) return;
    GuiLockGuard lock;
    if (child->mpParentThing == this) {
        if (mpFirstChild == child) return;
        UnlinkChild(child);
    } else if (child->mpParentThing) {
        // A thing lives in one list only: take it from its old parent first.
        child->mpParentThing->Remove(child, 0);
    }

    GuiThing* before = mpFirstChild;
    if (mpFirstChild && Has(mpFirstChild, GUI_ST_FRONT) && !Has(child, GUI_ST_FRONT)) {
        while (before && Has(before, GUI_ST_FRONT)) before = before->mpNextSibling;
    } else if (mpFirstChild && !Has(child, GUI_ST_VIEWPORTS) && Has(mpFirstChild, GUI_ST_VIEWPORTS)) {
        while (before && Has(before, GUI_ST_VIEWPORTS)) before = before->mpNextSibling;
    }
    InsertBefore(child, before);

    if (!IsVisible()) return;
    if (!child->IsVisible()) {
        child->mClipRect.right = static_cast<int16_t>(child->mClipRect.left - 1);
        child->Message(GuiMakeMessage(GM_SHOW, child));
    }
    ComputeChildClip(child);
    child->UpdateChildClipping();
    if (Has(child, GUI_ST_VIEWPORTS) && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw && mpScreen) {
        mpScreen->Invalidate(child->mClipRect);
        if (mpFirstChild == child)
            child->Draw();
        else
            Draw();
    }
}

void GuiThing::AddToEnd(GuiThing* child, int draw) {
    if (!child || child == this || child->mpParentThing == this) return;
    GuiLockGuard lock;
    if (child->mpParentThing) child->mpParentThing->Remove(child, 0);

    GuiThing* before = nullptr;
    if (Has(child, GUI_ST_VIEWPORTS)) {
        before = mpFirstChild;
        while (before && Has(before, GUI_ST_VIEWPORTS)) before = before->mpNextSibling;
    }
    InsertBefore(child, before);

    if (!IsVisible()) return;
    if (!child->IsVisible()) child->Message(GuiMakeMessage(GM_SHOW, child));
    UpdateChildClipping();
    if (Has(child, GUI_ST_VIEWPORTS) && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw && mpScreen) {
        mpScreen->Invalidate(child->mClipRect);
        child->Draw();
    }
}

void GuiThing::MoveToFront(GuiThing* child, int draw) {
    if (!child || !child->mpParentThing) return;
    if (child->mpParentThing != this) {
        child->mpParentThing->MoveToFront(child, 1);
        return;
    }
    if (mpFirstChild == child) return;

    GuiLockGuard lock;
    const bool win = Has(child, GUI_ST_VIEWPORTS);
    const bool front = Has(child, GUI_ST_FRONT);
    GuiThing* F = mpFirstChild;
    GuiThing* E = nullptr;
    auto runEnd = [](GuiThing* from, uint16_t bits) {
        GuiThing* e = from;
        while (e && e->mpNextSibling && Has(e->mpNextSibling, bits)) e = e->mpNextSibling;
        return e;
    };
    if (!win && front) {
        while (F && Has(F, GUI_ST_VIEWPORTS)) F = F->mpNextSibling;
        E = (F && Has(F, GUI_ST_FRONT)) ? runEnd(F, GUI_ST_FRONT) : F;
    } else if (!win) {
        while (F && Has(F, GUI_ST_VIEWPORTS)) F = F->mpNextSibling;
        while (F && Has(F, GUI_ST_FRONT)) F = F->mpNextSibling;
        E = mpFirstChild;
        while (E && E->mpNextSibling) E = E->mpNextSibling;
    } else if (front) {
        E = Has(F, GUI_ST_VIEWPORTS | GUI_ST_FRONT) ? runEnd(F, GUI_ST_VIEWPORTS | GUI_ST_FRONT) : F;
    } else {
        while (F && Has(F, GUI_ST_FRONT)) F = F->mpNextSibling;
        E = (F && Has(F, GUI_ST_VIEWPORTS)) ? runEnd(F, GUI_ST_VIEWPORTS) : F;
    }
    if (!F || F == child) return;

    for (GuiThing* s = child->mpNextSibling; s; s = s->mpNextSibling)
        if (s == F) return; // already in front of its class
    // The block runs from the child to E; when E does not lie behind the child, it moves alone.
    GuiThing* last = child;
    for (GuiThing* s = child; s; s = s->mpNextSibling) {
        if (s == E) {
            last = E;
            break;
        }
    }
    // Detach the block child..last and put it in front of F.
    GuiThing* afterBlock = last->mpNextSibling;
    if (child->mpPrevSibling)
        child->mpPrevSibling->mpNextSibling = afterBlock;
    else
        mpFirstChild = afterBlock;
    if (afterBlock) afterBlock->mpPrevSibling = child->mpPrevSibling;
    child->mpPrevSibling = F->mpPrevSibling;
    if (F->mpPrevSibling)
        F->mpPrevSibling->mpNextSibling = child;
    else
        mpFirstChild = child;
    last->mpNextSibling = F;
    F->mpPrevSibling = last;

    if (win && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw && mpScreen) {
        for (GuiThing* s = child; s && s != F; s = s->mpNextSibling) {
            if (s->mClipRect.Overlap(F->mRealRect)) {
                mpScreen->Invalidate(s->mClipRect);
                s->Draw();
            }
        }
    }
}

GuiThing* GuiThing::Remove(GuiThing* child, int draw) {
    if (!child || !child->mpParentThing) return nullptr;
    if (child->mpParentThing != this) return child->mpParentThing->Remove(child, draw);
    GuiLockGuard lock;
    GuiThing* c = mpFirstChild;
    while (c && c != child) c = c->mpNextSibling;
    if (!c) return nullptr;

    UnlinkChild(child);
    if (child->IsVisible()) {
        if (mpPresentationLink) mpPresentationLink->NullInput(child);
        child->mwStatusFlags &= static_cast<uint16_t>(~GUI_ST_VISIBLE);
        if (mpScreen) {
            mpScreen->Invalidate(child->mClipRect);
            if (Has(child, GUI_ST_VIEWPORTS)) {
                mpScreen->FreeViewports(child);
                mpScreen->GenerateViewportList(this);
            }
        }
        child->Message(GuiMakeMessage(GM_HIDE, child));
        if (draw) Draw();
    }
    return child;
}

void GuiThing::Resize(GuiRect rect) {
    GuiLockGuard lock;
    const bool visible = IsVisible();
    if (visible && mpScreen) mpScreen->Invalidate(mClipRect);

    const int dx = rect.left - mRealRect.left;
    const int dy = rect.top - mRealRect.top;
    const int dw = rect.Width() - mRealRect.Width();
    const int dh = rect.Height() - mRealRect.Height();
    mRealRect.Shift(dx, dy);
    mClientRect.Shift(dx, dy);
    mRealRect.right = static_cast<int16_t>(mRealRect.right + dw);
    mClientRect.right = static_cast<int16_t>(mClientRect.right + dw);
    mRealRect.bottom = static_cast<int16_t>(mRealRect.bottom + dh);
    mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom + dh);
    if (dx || dy)
        for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) c->ParentShift(dx, dy);

    if (!visible) return;
    if (mpParentThing)
        mpParentThing->ComputeChildClip(this);
    else
        mClipRect = mRealRect;
    UpdateChildClipping();
    if (mpScreen) {
        if (Has(this, GUI_ST_VIEWPORTS)) mpScreen->GenerateViewportList(mpParentThing ? mpParentThing : this);
        mpScreen->Invalidate(mClipRect);
    }
}

void GuiThing::Destroy(GuiThing* thing) {
    if (!thing) return;
    GuiPresentationLink* pm = mpPresentationLink;
    if (thing->muThingType >= GUI_TYPE_WINDOW) {
        GuiQueue* owner = pm ? pm->GetThingMessageQueue(thing) : nullptr;
        if (owner && owner != pm->GetCurrentMessageQueue()) {
            // Executed modally by another task: that task closes it.
            GuiMessage m = GuiMakeMessage(GM_CLOSE, thing, this);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
            return;
        }
        if (!owner && !GuiIsGuiTask()) {
            if (thing->mpParentThing) thing->mpParentThing->Remove(thing, 1);
            GuiMessage m = GuiMakeMessage(GM_DESTROY, mpPresentation, thing);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
            return;
        }
    }
    KillTimersAndMessages(thing);
    if (thing->mpParentThing) thing->mpParentThing->Remove(thing, 1);
    if (thing == this) {
        // Deleted after the message being handled, which may still use it.
        GuiMessage m = GuiMakeMessage(GM_DESTROY, mpPresentation, thing);
        if (mpMessageQueue) mpMessageQueue->Push(&m);
    } else {
        delete thing;
    }
}
