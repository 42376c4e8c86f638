// Lists: entries are the client children; the selection, its look, scrolling it into view, paging
// and the automatic scroll bars.
#include "gui/widgets/list/guilist.h"

#include <vector>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiscroll.h"

namespace {

bool IsClickSignal(const GuiMessage& m) {
    return m.Type >= GM_SIGNAL && m.Type < GM_USER && ((m.Type - GM_SIGNAL) & 15) == GUI_SIGNAL_CLICK;
}

bool Selectable(const GuiThing* t) {
    return GuiList::IsEntry(t) && (t->mwStatusFlags & GUI_ST_SELECTABLE);
}

GuiThing* LastChild(GuiThing* parent) {
    GuiThing* c = parent->FirstChild();
    while (c && c->NextSibling()) c = c->NextSibling();
    return c;
}

GuiThing* Neighbour(GuiThing* t, bool forward) {
    return forward ? t->NextSibling() : t->PrevSibling();
}

// The automatic bars are checked again after one of them came or went; a bar that makes itself
// unnecessary could otherwise come and go for ever.
constexpr int kMaxAutoScrollRounds = 4;

} // namespace

GuiList::GuiList(const GuiRect& rect, unsigned int id, unsigned int style) : GuiWindow(rect, style) {
    muThingType = GUI_TYPE_LIST;
    mwThingId = static_cast<uint16_t>(id);
    AddStatus(GUI_ST_FOCUS_STOP | GUI_ST_WINDOW);
    mwSignals = 1u << GUI_SIGNAL_LIST_SELECT;
}

GuiVertList::GuiVertList(const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiList(rect, id, style) {
    muThingType = GUI_TYPE_VERT_LIST;
}

GuiHorzList::GuiHorzList(const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiList(rect, id, style) {
    muThingType = GUI_TYPE_HORZ_LIST;
}

int GuiList::extent(const GuiThing* t) const {
    return muThingType == GUI_TYPE_HORZ_LIST ? t->mRealRect.Width() : t->mRealRect.Height();
}

int GuiList::GetNumItems() {
    int n = 0;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling)
        if (IsEntry(c)) ++n;
    return n;
}

int GuiList::GetIndex(GuiThing* thing) {
    if (!thing) return -1;
    int i = 0;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (!IsEntry(c)) continue;
        if (c == thing) return i;
        ++i;
    }
    return -1;
}

GuiThing* GuiList::GetThing(int index) {
    if (index < 0) return nullptr;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling)
        if (IsEntry(c) && index-- == 0) return c;
    return nullptr;
}

void GuiList::markSelection() {
    if (mpSelected) mpSelected->Style(static_cast<unsigned short>(mpSelected->Style() | GUI_STYLE_HIGHLIGHT));
}

void GuiList::SetSelected(GuiThing* thing) {
    if (GuiThing* old = mpSelected) {
        old->Style(static_cast<unsigned short>(old->Style() & ~GUI_STYLE_HIGHLIGHT));
        if (IsVisible() && mpScreen) {
            mpScreen->Invalidate(old->mClientRect);
            old->Draw();
        }
    }
    if (!thing || !mpFirstChild || thing->mpParentThing != this || !IsEntry(thing)) {
        mpSelected = nullptr;
        return;
    }
    mpSelected = thing;
    if (!IsVisible()) return;
    ScrollCurrentIntoView(1);
    markSelection();
    // The new look is drawn also when the list is current: an entry that takes no focus would
    // otherwise keep its old look.
    if (mpScreen) {
        mpScreen->Invalidate(thing->mClientRect);
        thing->Draw();
    }
    if ((mwStatusFlags & GUI_ST_CURRENT) && mpPresentationLink) mpPresentationLink->MoveFocusTree(thing);
    if (mwThingId && (mwSignals & (1u << GUI_SIGNAL_LIST_SELECT)) && mpMessageQueue) {
        GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, GUI_SIGNAL_LIST_SELECT), mpParentThing, this,
                                      static_cast<int16_t>(thing->mwThingId));
        mpMessageQueue->Push(&m);
    }
}

GuiThing* GuiList::SetSelected(int index) {
    if (index < 0) {
        SetSelected(static_cast<GuiThing*>(nullptr));
        return nullptr;
    }
    GuiThing* t = GetThing(index);
    if (t) SetSelected(t);
    return t;
}

void GuiList::ScrollCurrentIntoView(int redraw) {
    if (!mpSelected) return;
    const bool across = muThingType == GUI_TYPE_HORZ_LIST;
    const GuiRect& s = mpSelected->mRealRect;
    const GuiRect& c = mClientRect;
    const int lo = across ? s.left : s.top, hi = across ? s.right : s.bottom;
    const int clo = across ? c.left : c.top, chi = across ? c.right : c.bottom;
    int d = 0;
    if (lo < clo)
        d = clo - lo;
    else if (hi > chi)
        d = chi - hi;
    if (!d) return;
    MoveClientObjects(across ? d : 0, across ? 0 : d, redraw);
    if (auto* bar = dynamic_cast<GuiScroll*>(across ? mpHScrollBar : mpVScrollBar)) {
        bar->Reset();
        if (redraw && IsVisible()) bar->Draw();
    }
}

void GuiVertList::PositionChildren() {
    int top = mClientRect.top;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (!IsEntry(c)) continue;
        const int h = c->mRealRect.Height();
        c->Resize(MakeGuiRect(mClientRect.left, top, mClientRect.right, top + h - 1));
        c->mwSignals |= 1u << GUI_SIGNAL_CLICK;
        if (!(mwStatusFlags & GUI_ST_FOCUS)) c->RemoveStatus(GUI_ST_FOCUS);
        top = c->mRealRect.bottom + miSeparation;
    }
}

void GuiHorzList::PositionChildren() {
    int left = mClientRect.left;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (!IsEntry(c)) continue;
        const int w = c->mRealRect.Width();
        c->Resize(MakeGuiRect(left, mClientRect.top, left + w - 1, mClientRect.bottom));
        c->mwSignals |= 1u << GUI_SIGNAL_CLICK;
        if (!(mwStatusFlags & GUI_ST_FOCUS)) c->RemoveStatus(GUI_ST_FOCUS);
        left = c->mRealRect.right + miSeparation;
    }
}

void GuiList::relayout() {
    PositionChildren();
    if (CheckAutoScroll()) PositionChildren();
}

void GuiList::Add(GuiThing* thing, int draw) {
    if (!thing) return;
    if (!IsEntry(thing) || !IsVisible()) {
        GuiWindow::Add(thing, draw);
        return;
    }
    if (thing->mpParentThing == this && thing->IsVisible()) return;
    GuiWindow::Add(thing, 0);
    relayout();
    if (draw && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}

void GuiList::AddToEnd(GuiThing* thing, int draw) {
    if (!thing) return;
    if (!IsEntry(thing) || !IsVisible()) {
        GuiThing::AddToEnd(thing, draw);
        return;
    }
    if (thing->mpParentThing == this && thing->IsVisible()) return;
    GuiThing::AddToEnd(thing, 0);
    relayout();
    if (draw && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}

GuiThing* GuiList::Remove(GuiThing* thing, int draw) {
    if (!thing || thing->mpParentThing != this || !IsEntry(thing)) return GuiThing::Remove(thing, draw);
    if (thing == mpSelected) mpSelected = nullptr;
    if (!IsVisible()) return GuiThing::Remove(thing, draw);
    GuiThing* removed = GuiThing::Remove(thing, 0);
    relayout();
    if (draw && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
    return removed;
}

void GuiList::Insert(GuiThing* thing, int index, int select, int draw) {
    if (!thing || thing == this) return;
    if (!IsEntry(thing)) {
        GuiThing::AddToEnd(thing, draw);
        return;
    }
    // Decided by what the list was on entry: it is taken out of its parent below and must go back.
    const bool visible = IsVisible();
    const int n = GetNumItems();
    if (index > n || index < 0) {
        if (index > n)
            AddToEnd(thing, draw);
        else
            Add(thing, draw);
        if (visible && select) SetSelected(thing);
        return;
    }
    if (visible && thing->mpParentThing == this && thing->IsVisible()) return;
    GuiThing* parent = visible ? mpParentThing : nullptr;
    if (parent) parent->Remove(this, 0);
    std::vector<GuiThing*> behind;
    int i = 0;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (!IsEntry(c)) continue;
        if (i++ >= index) behind.push_back(c);
    }
    for (GuiThing* c : behind) GuiThing::Remove(c, 0); // the selection stays
    GuiThing::AddToEnd(thing, 0);
    for (GuiThing* c : behind) GuiThing::AddToEnd(c, 0);
    if (!visible) return;
    if (select) SetSelected(thing);
    if (parent) parent->Add(this, 1);
    relayout();
    if (draw && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}

int GuiList::Clear() {
    int n = 0;
    for (GuiThing* c = mpFirstChild; c;) {
        GuiThing* next = c->mpNextSibling;
        if (IsEntry(c)) {
            GuiThing::Remove(c, 0);
            delete c;
            ++n;
        }
        c = next;
    }
    mpSelected = nullptr;
    CheckAutoScroll();
    if (n && IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
    return n;
}

GuiThing* GuiList::step(bool forward) {
    if (!mpSelected) return nullptr;
    GuiThing* found = nullptr;
    for (GuiThing* c = Neighbour(mpSelected, forward); c && !found; c = Neighbour(c, forward))
        if (Selectable(c)) found = c;
    if (!found && (mwStyleFlags & GUI_LIST_WRAP) && mpFirstChild && mpFirstChild->mpNextSibling) {
        for (GuiThing* c = forward ? mpFirstChild : LastChild(this); c && !found; c = Neighbour(c, forward))
            if (c != mpSelected && Selectable(c)) found = c;
    }
    if (!found) {
        markSelection();
        return nullptr;
    }
    SetSelected(found);
    return found;
}

GuiThing* GuiList::SelectNext() {
    return step(true);
}

GuiThing* GuiList::SelectPrevious() {
    return step(false);
}

GuiThing* GuiList::page(bool forward) {
    if (!mpSelected) return nullptr;
    const int room = muThingType == GUI_TYPE_HORZ_LIST ? mClientRect.Width() : mClientRect.Height();
    GuiThing* at = mpSelected;
    long run = extent(at);
    while (run < room) {
        GuiThing* n = Neighbour(at, forward);
        while (n && !Selectable(n)) n = Neighbour(n, forward);
        if (!n) break;
        at = n;
        run += extent(n) + miSeparation;
    }
    SetSelected(at);
    return at;
}

GuiThing* GuiList::PageDown() {
    return page(true);
}

GuiThing* GuiList::PageUp() {
    return page(false);
}

int GuiList::CheckAutoScroll() {
    return checkAutoScroll(0);
}

int GuiList::checkAutoScroll(int depth) {
    bool changed = false;
    auto tellOther = [&](GuiThing* other) {
        if (other && IsVisible()) other->Message(GuiMakeMessage(GM_PARENT_RESIZED, other));
    };
    auto backToStart = [&](uint16_t type, const GuiScrollInfo& info) {
        GuiMessage m = GuiMakeMessage(type, this, this, static_cast<int16_t>(info.current));
        m.SetDataWord(0, info.minimum);
        if (mpMessageQueue) mpMessageQueue->Push(&m);
    };
    auto reset = [](GuiThing* bar, GuiScrollInfo& info) {
        if (auto* s = dynamic_cast<GuiScroll*>(bar)) s->Reset(&info);
    };
    if (mbScrollMode & GUI_SCROLL_AUTO_H) {
        GuiScrollInfo info{};
        GetHScrollInfo(&info);
        const bool fits = int64_t{info.maximum} - info.minimum < info.visible;
        // The entries follow the client height that the bar gives or takes: a row would otherwise
        // lie under its own bar.
        if (fits && mpHScrollBar) {
            dropBar(mpHScrollBar, false);
            PositionChildren();
            changed = true;
            tellOther(mpVScrollBar);
            backToStart(GM_HSCROLL, info);
        } else if (!fits && !mpHScrollBar) {
            if (makeBar(false, 0)) {
                PositionChildren();
                changed = true;
                tellOther(mpVScrollBar);
            }
        } else if (!fits) {
            reset(mpHScrollBar, info);
        }
    }
    if (mbScrollMode & GUI_SCROLL_AUTO_V) {
        GuiScrollInfo info{};
        GetVScrollInfo(&info);
        const bool fits = int64_t{info.maximum} - info.minimum < info.visible;
        if (fits && mpVScrollBar) {
            dropBar(mpVScrollBar, true);
            PositionChildren();
            changed = true;
            tellOther(mpHScrollBar);
            backToStart(GM_VSCROLL, info);
        } else if (!fits && !mpVScrollBar) {
            if (makeBar(true, 0)) {
                PositionChildren();
                changed = true;
                tellOther(mpHScrollBar);
                reset(mpVScrollBar, info);
            }
        } else if (!fits) {
            reset(mpVScrollBar, info);
        }
    }
    if (!changed) return 0;
    if (depth < kMaxAutoScrollRounds) checkAutoScroll(depth + 1);
    return 1;
}

int GuiList::Message(const GuiMessage& msg) {
    if (IsClickSignal(msg)) {
        if (msg.Source != mpSelected) SetSelected(msg.Source);
        // Never to the presentation manager: a standard id would close the root window.
        return mpParentThing && mpParentThing != mpPresentation ? mpParentThing->Message(msg) : 0;
    }
    switch (msg.Type) {
    case GM_SHOW:
        // Handled before the list is visible: the first selection sends no signal.
        PositionChildren();
        if (!mpSelected) {
            SetSelected(0);
        } else {
            ScrollCurrentIntoView(1);
            markSelection();
        }
        return GuiWindow::Message(msg);
    case GM_CURRENT:
        GuiThing::Message(msg);
        if (mpSelected) {
            markSelection();
            // Passed up from an entry taking the focus itself: it keeps it.
            if (msg.Target == this && mpPresentationLink) mpPresentationLink->MoveFocusTree(mpSelected);
        }
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}
