// The registry of tasks that execute modal windows, and the routing of messages to their queues.
// Push reads the registry from any task: it has a lock of its own, taken only while no GUI lock
// is taken, and a message is placed in a queue while that lock is held, so that no queue is used
// after EndSubTaskExecute has deleted it.
#include <new>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/window/guipm.h"

GuiQueue* GuiPresentationManager::queueOf(GuiThing* thing) const {
    if (!thing || thing == this) return nullptr;
    for (const SubTask* s = mpSubTasks; s; s = s->next)
        if (s->thing != this && GuiIsInside(thing, s->thing)) return s->queue;
    return nullptr;
}

GuiQueue* GuiPresentationManager::GetThingMessageQueue(GuiThing* thing) {
    std::lock_guard<std::mutex> lock(mRegistryMutex);
    return queueOf(thing);
}

GuiQueue* GuiPresentationManager::GetCurrentMessageQueue() {
    const TASK_ID self = taskIdSelf();
    std::lock_guard<std::mutex> lock(mRegistryMutex);
    for (const SubTask* s = mpSubTasks; s; s = s->next)
        if (s->task == self) return s->queue;
    return nullptr;
}

void GuiPresentationManager::BeginSubTaskExecute(GuiThing* thing) {
    if (!thing) return;
    auto* rec = new (std::nothrow) SubTask{nullptr, thing, taskIdSelf(), nullptr};
    if (!rec) return;
    {
        std::lock_guard<std::mutex> lock(mRegistryMutex);
        for (const SubTask* s = mpSubTasks; s && !rec->queue; s = s->next)
            if (s->task == rec->task) rec->queue = s->queue;
    }
    if (!rec->queue) rec->queue = GuiCreateMessageQueue();
    std::lock_guard<std::mutex> lock(mRegistryMutex);
    rec->next = mpSubTasks;
    mpSubTasks = rec;
}

void GuiPresentationManager::EndSubTaskExecute(GuiThing* thing) {
    SubTask* gone = nullptr;
    bool shared = false;
    {
        std::lock_guard<std::mutex> lock(mRegistryMutex);
        for (SubTask** link = &mpSubTasks; *link; link = &(*link)->next) {
            if ((*link)->thing == thing) {
                gone = *link;
                *link = gone->next;
                break;
            }
        }
        if (!gone) return;
        for (const SubTask* s = mpSubTasks; s; s = s->next) shared = shared || s->queue == gone->queue;
    }
    // Unreachable now: no router can still be placing a message in it.
    if (!shared) GuiDeleteMessageQueue(gone->queue);
    delete gone;
}

int GuiPresentationManager::RouteMessageToTask(GuiMessage* msg) {
    if (!msg) return 0;
    GuiThing* addressee = msg->Target;
    const bool pointer = !addressee && GuiIsPointerMessage(msg->Type);
    if (!addressee) {
        if (pointer) {
            GuiLockGuard lock;
            addressee = mbCaptureDepth ? mCaptureStack[mbCaptureDepth - 1]
                                       : FindLowestThingContaining(this, msg->DataPoint());
        } else if (msg->Type == GM_KEY || msg->Type == GM_KEYBOARD) {
            addressee = mpInputFocus;
        } else {
            return 0;
        }
    }
    std::lock_guard<std::mutex> lock(mRegistryMutex);
    GuiQueue* q = queueOf(addressee);
    if (!q) return 0;
    if (pointer)
        mpMessageQueue->Fold(msg, q); // pointer moves do not pile up
    else
        GuiEnqueue(msg, q);
    return 1;
}
