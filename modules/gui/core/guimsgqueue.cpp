#include "gui/core/guimsgqueue.h"

#include <new>

#include "gui/core/guilock.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guithing.h"

GuiMessageQueue::GuiMessageQueue() {
    gpGuiMesgQueue = GuiCreateMessageQueue();
}

GuiMessageQueue::~GuiMessageQueue() {
    while (mpTimerList) {
        TimerRecord* r = mpTimerList;
        mpTimerList = r->Next;
        delete r;
    }
    GuiQueue* q = gpGuiMesgQueue;
    gpGuiMesgQueue = nullptr;
    GuiDeleteMessageQueue(q);
}

int GuiMessageQueue::Push(const GuiMessage* msg) {
    TryPush(msg);
    return 1;
}

bool GuiMessageQueue::TryPush(const GuiMessage* msg) {
    if (!msg) return false;
    if (msg->Target) {
        if (GuiPresentationLink* pm = GuiThing::mpPresentationLink) {
            GuiMessage copy = *msg;
            if (pm->RouteMessageToTask(&copy)) return true;
        }
    }
    return GuiEnqueue(msg, gpGuiMesgQueue);
}

void GuiMessageQueue::Pop(GuiMessage* out) {
    if (!GuiIsGuiTask()) {
        GuiQueue* own =
            GuiThing::mpPresentationLink ? GuiThing::mpPresentationLink->GetCurrentMessageQueue() : nullptr;
        if (own) {
            GuiPopMessage(out, own);
            return;
        }
    }
    GuiPopMessage(out, gpGuiMesgQueue);
    while (out->Type == GM_TIMER && out->Target == nullptr) {
        TimerTick();
        gbGuiTimerEventPending.store(0);
        GuiPopMessage(out, gpGuiMesgQueue);
    }
}

void GuiMessageQueue::Fold(const GuiMessage* msg, GuiQueue* queue) {
    if (!msg) return;
    if (!queue) queue = gpGuiMesgQueue;
    if (!queue) return;
    semTake(queue->Mutex, WAIT_FOREVER);
    for (GuiMessage* m = queue->Head; m; m = m->Next) {
        if (m->Type == msg->Type && m->Target == msg->Target && m->Param == msg->Param) {
            std::memcpy(m->Data, msg->Data, sizeof m->Data);
            semGive(queue->Mutex);
            return;
        }
    }
    semGive(queue->Mutex);
    GuiEnqueue(msg, queue);
}

void GuiMessageQueue::Purge(GuiThing* who, uint16_t type, uint16_t param) {
    purge(who, type, param, Match::Subtree);
}

void GuiMessageQueue::PurgeThing(GuiThing* who) {
    purge(who, 0, 0, Match::TargetOrSource);
}

void GuiMessageQueue::purge(GuiThing* who, uint16_t type, uint16_t param, Match match) {
    GuiQueue* q = gpGuiMesgQueue;
    if (!q || !who) return;
    semTake(q->Mutex, WAIT_FOREVER);
    GuiMessage* prev = nullptr;
    GuiMessage* m = q->Head;
    while (m) {
        GuiMessage* next = m->Next;
        bool hit;
        switch (match) {
        case Match::Exact:
            hit = m->Target == who;
            break;
        case Match::TargetOrSource:
            hit = GuiIsInside(m->Target, who) || GuiIsInside(m->Source, who);
            break;
        default:
            hit = GuiIsInside(m->Target, who);
            break;
        }
        if (hit && type != 0) {
            hit = m->Type == type;
            if (hit && param != 0) hit = static_cast<uint16_t>(m->Param) == param;
        }
        if (!hit) {
            prev = m;
            m = next;
            continue;
        }
        // Unlink, recycle, and keep the count equal to the number of queued messages.
        if (prev)
            prev->Next = next;
        else
            q->Head = next;
        if (q->Tail == m) q->Tail = prev;
        m->Next = nullptr;
        if (q->FreeTail)
            q->FreeTail->Next = m;
        else
            q->FreeHead = m;
        q->FreeTail = m;
        semTake(q->Available, WAIT_FOREVER);
        m = next;
    }
    semGive(q->Mutex);
}

void GuiMessageQueue::SetTimer(GuiThing* owner, uint16_t id, int32_t count, int32_t reload) {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    TimerRecord* r = mpTimerList;
    while (r && !(r->Owner == owner && r->Id == id)) r = r->Next;
    if (r) {
        r->Count = count;
        r->Reload = reload;
    } else if ((r = new (std::nothrow) TimerRecord{mpTimerList, owner, count, reload, id})) {
        mpTimerList = r;
    }
    semGive(tGuiTimerMutex);
}

void GuiMessageQueue::KillTimer(GuiThing* owner, uint16_t id) {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    TimerRecord** link = &mpTimerList;
    while (TimerRecord* r = *link) {
        const bool hit = id != 0 ? (r->Owner == owner && r->Id == id) : GuiIsInside(r->Owner, owner);
        if (!hit) {
            link = &r->Next;
            continue;
        }
        *link = r->Next;
        delete r;
        if (id != 0) {
            // Only this owner's expiry: a descendant's timer with the same id keeps its message.
            purge(owner, GM_TIMER, id, Match::Exact);
            break;
        }
        purge(owner, GM_TIMER, 0, Match::Subtree);
    }
    semGive(tGuiTimerMutex);
}

void GuiMessageQueue::TimerTick() {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    TimerRecord** link = &mpTimerList;
    while (TimerRecord* r = *link) {
        // A timer set with a count of 0 or less never expires.
        if (r->Count <= 0 || --r->Count != 0) {
            link = &r->Next;
            continue;
        }
        GuiMessage m = GuiMakeMessage(GM_TIMER, r->Owner, nullptr, static_cast<int16_t>(r->Id));
        Fold(&m);
        if (r->Reload >= 1) {
            r->Count = r->Reload;
            link = &r->Next;
        } else {
            *link = r->Next;
            delete r;
        }
    }
    semGive(tGuiTimerMutex);
}

int GuiMessageQueue::TimerCount() const {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    int n = 0;
    for (TimerRecord* r = mpTimerList; r; r = r->Next) ++n;
    semGive(tGuiTimerMutex);
    return n;
}

bool GuiTimerTaskPost() {
    // The flag is set before the tick is queued and cleared again when the queue drops it, so it
    // can never stay set without a tick in the queue (which would stop every timer for good).
    int expected = 0;
    if (!gbGuiTimerEventPending.compare_exchange_strong(expected, 1)) return false;
    GuiMessage tick = GuiMakeMessage(GM_TIMER);
    if (!GuiEnqueue(&tick, gpGuiMesgQueue)) {
        gbGuiTimerEventPending.store(0);
        return false;
    }
    return true;
}

void GuiTimerTask(long) {
    for (;;) {
        int ticks = sysClkRateGet() / 20;
        taskDelay(ticks < 1 ? 1 : ticks);
        GuiTimerTaskPost();
    }
}
