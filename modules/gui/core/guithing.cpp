#include "gui/core/guithing.h"

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"

GuiScreen* GuiThing::mpScreen = nullptr;
GuiThing* GuiThing::mpPresentation = nullptr;
GuiPresentationLink* GuiThing::mpPresentationLink = nullptr;
GuiMessageQueue* GuiThing::mpMessageQueue = nullptr;

namespace {

int BorderInset(uint16_t style) {
    switch (style & GUI_BORDER_MASK) {
    case GUI_BORDER_THIN:
        return 1;
    case GUI_BORDER_RAISED:
    case GUI_BORDER_RECESSED:
        return 2;
    case GUI_BORDER_THICK:
        return 5;
    default:
        return 0;
    }
}

void Post(uint16_t type, GuiThing* target, GuiThing* source, int16_t param = 0) {
    if (!GuiThing::mpMessageQueue) return;
    GuiMessage m = GuiMakeMessage(type, target, source, param);
    GuiThing::mpMessageQueue->Push(&m);
}

} // namespace

bool GuiIsInside(const GuiThing* thing, const GuiThing* who) {
    for (const GuiThing* t = thing; t; t = t->mpParentThing)
        if (t == who) return true;
    return false;
}

GuiThing::GuiThing(const GuiRect& rect, unsigned short id, unsigned short style)
    : mRealRect(rect), mClientRect(rect), mClipRect(rect), mwStyleFlags(style), mwThingId(id) {}

GuiThing::GuiThing(unsigned short id, unsigned short style) : mwStyleFlags(style), mwThingId(id) {}

GuiThing::~GuiThing() {
    // Nothing may refer to this thing once it is gone: no timer, no queued message.
    KillTimersAndMessages(this);
    if (mpParentThing) mpParentThing->UnlinkChild(this);
    while (GuiThing* child = mpFirstChild) {
        UnlinkChild(child);
        delete child;
    }
    if (mpViewports && mpScreen) {
        EnterCriticalSection();
        mpScreen->FreeViewports(this);
        ExitCriticalSection();
    }
}

void GuiThing::KillTimersAndMessages(GuiThing* thing) {
    if (!mpMessageQueue || !thing) return;
    mpMessageQueue->KillTimer(thing, 0);
    mpMessageQueue->PurgeThing(thing);
}

const char* GuiThing::Version() {
    return "GUI Library Version 1.98.c";
}

void GuiThing::SetColor(unsigned char slot, unsigned long colour) {
    if (slot > 3) return;
    mColors[slot] = static_cast<uint32_t>(colour);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

unsigned long GuiThing::GetColor(unsigned char slot) {
    return slot > 3 ? 255 : mColors[slot];
}

GuiThing* GuiThing::Find(unsigned short id, int recursive) {
    GuiLockGuard lock;
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) {
        if (c->mwThingId == id) return c;
        if (recursive) {
            if (GuiThing* deeper = c->Find(id, recursive)) return deeper;
        }
    }
    return nullptr;
}

void GuiThing::Center(GuiThing* child) {
    if (!child) return;
    GuiRect r = child->mRealRect;
    r.MoveTo(mClientRect.left + (mClientRect.Width() - r.Width()) / 2,
             mClientRect.top + (mClientRect.Height() - r.Height()) / 2);
    child->Resize(r);
}

GuiPoint GuiThing::CenterOf(GuiThing* thing) {
    const GuiRect& r = thing->mRealRect;
    return GuiPoint{static_cast<int16_t>((r.left + r.right) >> 1),
                    static_cast<int16_t>((r.top + r.bottom) >> 1)};
}

void GuiThing::InitClient() {
    mClientRect = mRealRect;
    mClientRect -= BorderInset(mwStyleFlags);
}

void GuiThing::ParentShift(int dx, int dy) {
    mRealRect.Shift(dx, dy);
    mClientRect.Shift(dx, dy);
    mClipRect.Shift(dx, dy);
    for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling) c->ParentShift(dx, dy);
}

void GuiThing::SendSignal(unsigned char n) {
    Post(GuiSignalType(mwThingId, n), mpParentThing, this, static_cast<int16_t>(mwThingId));
}

void GuiThing::MessageChildren(const GuiMessage& msg) {
    for (GuiThing* c = mpFirstChild; c;) {
        GuiThing* next = c->mpNextSibling;
        c->Message(msg);
        c = next;
    }
}

void GuiThing::KillFocus(GuiThing* thing) {
    if (!thing) return;
    thing->Message(GuiMakeMessage(GM_NOT_CURRENT, thing));
}

void GuiThing::CapturePointer() {
    if (mpPresentationLink) mpPresentationLink->CapturePointer(this);
}

void GuiThing::ReleasePointer() {
    if (mpPresentationLink) mpPresentationLink->ReleasePointer(this);
}

void GuiThing::MoveFocusToFirstClientChild() {
    GuiThing* found = nullptr;
    for (GuiThing* level = this;;) {
        GuiThing* c = level->mpFirstChild;
        while (c && (c->mwStatusFlags & (GUI_ST_NONCLIENT | GUI_ST_FOCUS)) != GUI_ST_FOCUS)
            c = c->mpNextSibling;
        if (!c) break;
        found = c;
        if ((c->mwStatusFlags & GUI_ST_FOCUS_STOP) || !c->mpFirstChild) break;
        level = c;
    }
    if (found && !(found->mwStatusFlags & GUI_ST_CURRENT) && mpPresentationLink)
        mpPresentationLink->MoveFocusTree(found);
}

void GuiThing::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiThing::DrawChildren() {
    if (!mpScreen || !mpScreen->HasInvalid()) return;
    GuiThing* last = mpFirstChild;
    while (last && last->mpNextSibling) last = last->mpNextSibling;
    for (GuiThing* c = last; c; c = c->mpPrevSibling)
        if (c->mClipRect.Overlap(mpScreen->InvalidRect())) c->Draw();
}

int GuiThing::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_ADD:
        if (msg.Source && msg.Target == this) Add(msg.Source, 1);
        return 0;
    case GM_REMOVE:
        if (msg.Source && msg.Target == this) Remove(msg.Source, 1);
        return 0;
    case GM_DESTROY:
        if (GuiThing* victim = msg.Source) {
            if (victim->mpParentThing) victim->mpParentThing->Remove(victim, 1);
            KillTimersAndMessages(victim);
            delete victim;
        }
        return 0;
    case GM_RESIZE:
        Resize(msg.DataRect());
        if (mpParentThing && mwThingId && (mwSignals & 0x0001) && mpParentThing->IsVisible()) SendSignal(0);
        return 0;
    case GM_HIDE:
        if ((mwStatusFlags & GUI_ST_CURRENT) && mpPresentationLink) mpPresentationLink->NullInput(this);
        mwStatusFlags &= static_cast<uint16_t>(~(GUI_ST_VISIBLE | GUI_ST_CURRENT));
        MessageChildren(msg);
        return 0;
    case GM_SHOW:
        mwStatusFlags |= GUI_ST_VISIBLE;
        MessageChildren(msg);
        return 0;
    case GM_POINTER_MOVE:
    case GM_POINTER_ENTER:
    case GM_POINTER_EXIT:
    case GM_PARENT_RESIZED:
        return 0;
    case GM_BUTTON_DOWN:
        if (!mpParentThing) return 0;
        if (mwThingId && (mwSignals & 0x0010) && mpParentThing->IsVisible()) {
            SendSignal(4);
            return 0;
        }
        return mpParentThing->Message(msg);
    case GM_DRAW:
        if (mpScreen) mpScreen->Invalidate(mRealRect);
        Draw();
        return 0;
    case GM_CURRENT:
        if (mwStatusFlags & GUI_ST_CURRENT) return 0;
        mwStatusFlags |= GUI_ST_CURRENT;
        if (!(mwStatusFlags & GUI_ST_NONCLIENT)) {
            mwStatusFlags |= GUI_ST_FOCUS_CHILD;
            if (mpParentThing) {
                for (GuiThing* s = mpParentThing->mpFirstChild; s; s = s->mpNextSibling) {
                    if (s != this && (s->mwStatusFlags & GUI_ST_FOCUS_CHILD)) {
                        s->mwStatusFlags &= static_cast<uint16_t>(~GUI_ST_FOCUS_CHILD);
                        break;
                    }
                }
            }
        }
        if (mpParentThing && !(mpParentThing->mwStatusFlags & GUI_ST_CURRENT))
            return mpParentThing->Message(msg);
        return 0;
    case GM_NOT_CURRENT:
        if (!(mwStatusFlags & GUI_ST_CURRENT)) return 0;
        mwStatusFlags &= static_cast<uint16_t>(~GUI_ST_CURRENT);
        for (GuiThing* c = mpFirstChild; c; c = c->mpNextSibling)
            if (c->mwStatusFlags & GUI_ST_CURRENT) return c->Message(msg);
        return 0;
    default:
        if (mpParentThing && mpParentThing != mpPresentation) return mpParentThing->Message(msg);
        return 0;
    }
}

void GuiThing::StandardBorder(unsigned long fill) {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    const GuiColor filled{static_cast<uint32_t>(fill), static_cast<uint32_t>(fill), GUI_COLOR_FILL};
    const GuiRect r = mRealRect;
    const int l = r.left, t = r.top, R = r.right, B = r.bottom;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    GuiRect inner = r;
    switch (mwStyleFlags & GUI_BORDER_MASK) {
    case GUI_BORDER_NONE:
        s.Rectangle(this, r, filled, 0);
        break;
    case GUI_BORDER_THIN:
        s.Rectangle(this, r, GuiColor{GUI_BLACK, static_cast<uint32_t>(fill), GUI_COLOR_FILL}, 1);
        break;
    case GUI_BORDER_RAISED:
        inner -= 2;
        s.Rectangle(this, inner, filled, 0);
        line(l, t, R - 1, t, GUI_LIGHT_GREY);
        line(l, t, l, B - 1, GUI_LIGHT_GREY);
        line(l + 1, t + 1, R - 2, t + 1, GUI_WHITE);
        line(l + 1, t + 1, l + 1, B - 2, GUI_WHITE);
        line(R - 1, t + 1, R - 1, B - 1, GUI_DARK_GREY);
        line(l + 1, B - 1, R - 1, B - 1, GUI_DARK_GREY);
        line(R, t, R, B, GUI_BLACK);
        line(l, B, R, B, GUI_BLACK);
        break;
    case GUI_BORDER_RECESSED: {
        inner -= 2;
        s.Rectangle(this, inner, filled, 0);
        const bool whiteParent = IsVisible() && mpParentThing && mpParentThing->mColors[0] == GUI_WHITE;
        const uint32_t outer = whiteParent ? GUI_LIGHT_GREY : GUI_WHITE;
        const uint32_t rim = whiteParent ? GUI_WHITE : GUI_LIGHT_GREY;
        line(l, t, R - 1, t, GUI_DARK_GREY);
        line(l, t, l, B - 1, GUI_DARK_GREY);
        line(l, B, R, B, outer);
        line(R, t, R, B, outer);
        line(l + 1, B - 1, R - 1, B - 1, rim);
        line(R - 1, t + 1, R - 1, B - 1, rim);
        // The black inner rim last, so it keeps its corners.
        line(l + 1, t + 1, R - 1, t + 1, GUI_BLACK);
        line(l + 1, t + 1, l + 1, B - 1, GUI_BLACK);
        break;
    }
    default:
        break; // thick and other frames are drawn by windows
    }
}
