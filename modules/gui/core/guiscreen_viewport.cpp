// Viewports: the pieces of each window's rectangle that nothing in front of it covers and that
// none of its own windows takes. Records come from blocks of 32 and are recycled through the free
// list, never freed one by one while the screen lives.
#include <algorithm>
#include <new>

#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"

void GuiScreen::AllocateViewportBlock() {
    auto* block = new (std::nothrow) Viewport[VIEWPORT_BLOCK]{};
    if (!block) return;
    mBlocks.push_back(block);
    block[0].blockStart = 1;
    for (int i = 0; i + 1 < VIEWPORT_BLOCK; ++i) block[i].next = &block[i + 1];
    block[VIEWPORT_BLOCK - 1].next = nullptr;
    if (mpFreeListEnd)
        mpFreeListEnd->next = block;
    else
        mpFreeListStart = block;
    mpFreeListEnd = &block[VIEWPORT_BLOCK - 1];
    miTotalViewports += VIEWPORT_BLOCK;
}

Viewport* GuiScreen::GetFreeViewport() {
    if (!mpFreeListStart) AllocateViewportBlock();
    Viewport* v = mpFreeListStart;
    if (!v) return nullptr; // no memory: the piece is not drawn
    mpFreeListStart = v->next;
    if (!mpFreeListStart) mpFreeListEnd = nullptr;
    v->next = nullptr;
    return v;
}

void GuiScreen::FreeViewports(GuiThing* thing) {
    if (!thing) return;
    if (Viewport* first = thing->mpViewports) {
        Viewport* last = first;
        while (last->next) last = last->next;
        if (mpFreeListEnd)
            mpFreeListEnd->next = first;
        else
            mpFreeListStart = first;
        mpFreeListEnd = last;
        thing->mpViewports = nullptr;
    }
    for (GuiThing* c = thing->mpFirstChild; c; c = c->mpNextSibling) FreeViewports(c);
}

void GuiScreen::GenerateViewportList(GuiThing* thing) {
    GuiThing* r = ViewportOwner(thing);
    if (!r) return;
    for (;;) {
        FreeViewports(r);
        GuiThing* pm = GuiThing::mpPresentation;
        if (r == pm || !r->mpParentThing || r->mpParentThing == pm) break;
        // Regenerate from the highest ancestor that something in front may overlap.
        GuiThing* a = nullptr;
        for (GuiThing *c = r, *p = r->mpParentThing; p; c = p, p = p->mpParentThing) {
            if (p->mpFirstChild != c) a = p;
            if (p == pm) break;
        }
        if (!a) break;
        r = a;
    }
    AddViewport(r, r->mRealRect);
}

void GuiScreen::AddViewport(GuiThing* thing, GuiRect v) {
    if (GuiThing* parent = thing->mpParentThing) {
        for (GuiThing* s = parent->mpFirstChild; s && s != thing; s = s->mpNextSibling) {
            if (!(s->mwStatusFlags & GUI_ST_VIEWPORTS)) continue;
            if (s->mRealRect.Contains(v)) return; // hidden
            if (s->mRealRect.Overlap(v)) {
                SplitView(thing, s->mRealRect, v);
                return;
            }
        }
    }
    for (GuiThing* k = thing->mpFirstChild; k; k = k->mpNextSibling) {
        if ((k->mwStatusFlags & GUI_ST_VIEWPORTS) && k->mClipRect.Overlap(v)) {
            SplitView(thing, k, v);
            return;
        }
    }
    if (Viewport* rec = GetFreeViewport()) {
        rec->view = v;
        rec->next = thing->mpViewports;
        thing->mpViewports = rec;
    }
}

void GuiScreen::SplitView(GuiThing* thing, GuiRect c, GuiRect v) {
    if (c.top > v.top) AddViewport(thing, MakeGuiRect(v.left, v.top, v.right, c.top - 1));
    if (c.bottom < v.bottom) AddViewport(thing, MakeGuiRect(v.left, c.bottom + 1, v.right, v.bottom));
    const int top = std::max(c.top, v.top), bottom = std::min(c.bottom, v.bottom);
    if (v.right > c.right) AddViewport(thing, MakeGuiRect(c.right + 1, top, v.right, bottom));
    if (c.left > v.left) AddViewport(thing, MakeGuiRect(v.left, top, c.left - 1, bottom));
}

void GuiScreen::SplitView(GuiThing* thing, GuiThing* child, GuiRect v) {
    SplitView(thing, child->mClipRect, v);
    AddViewport(child, v & child->mClipRect);
}
