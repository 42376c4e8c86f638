#include "gui/core/guiqueue.h"

#include <new>

#include "gui/core/guilock.h"

GuiQueue* GuiCreateMessageQueue() {
    auto* q = new (std::nothrow) GuiQueue{};
    if (!q) GuiLoopForever();
    q->Nodes = new (std::nothrow) GuiMessage[GUI_QUEUE_NODES]{};
    q->Mutex = semMCreate(SEM_Q_PRIORITY);
    q->Available = semCCreate(SEM_Q_PRIORITY, 0);
    if (!q->Nodes || q->Mutex == SEM_ID_NULL || q->Available == SEM_ID_NULL) GuiLoopForever();
    for (int i = 0; i < GUI_QUEUE_NODES; ++i)
        q->Nodes[i].Next = (i + 1 < GUI_QUEUE_NODES) ? &q->Nodes[i + 1] : nullptr;
    q->FreeHead = &q->Nodes[0];
    q->FreeTail = &q->Nodes[GUI_QUEUE_NODES - 1];
    return q;
}

void GuiDeleteMessageQueue(GuiQueue* queue) {
    if (!queue) return;
    semDelete(queue->Available);
    semDelete(queue->Mutex);
    delete[] queue->Nodes;
    delete queue;
}

bool GuiEnqueue(const GuiMessage* msg, GuiQueue* queue) {
    if (!msg || !queue) return false;
    semTake(queue->Mutex, WAIT_FOREVER);
    GuiMessage* node = queue->FreeHead;
    if (!node) {
        semGive(queue->Mutex);
        return false;
    }
    queue->FreeHead = node->Next;
    if (!queue->FreeHead) queue->FreeTail = nullptr;
    *node = *msg;
    node->Next = nullptr;
    if (queue->Tail)
        queue->Tail->Next = node;
    else
        queue->Head = node;
    queue->Tail = node;
    semGive(queue->Mutex);
    semGive(queue->Available);
    return true;
}

int EnqueueTaskMessage(const GuiMessage* msg, GuiQueue* queue) {
    GuiEnqueue(msg, queue);
    return 1;
}

void GuiPopMessage(GuiMessage* out, GuiQueue* queue) {
    for (;;) {
        semTake(queue->Available, WAIT_FOREVER);
        semTake(queue->Mutex, WAIT_FOREVER);
        GuiMessage* node = queue->Head;
        if (node) {
            *out = *node;
            out->Next = nullptr;
            queue->Head = node->Next;
            if (!queue->Head) queue->Tail = nullptr;
            node->Next = nullptr;
            if (queue->FreeTail)
                queue->FreeTail->Next = node;
            else
                queue->FreeHead = node;
            queue->FreeTail = node;
            semGive(queue->Mutex);
            return;
        }
        // The count ran ahead of the list (cannot happen while only one task pops): wait again.
        semGive(queue->Mutex);
    }
}

int GuiQueueCount(GuiQueue* queue) {
    if (!queue) return 0;
    semTake(queue->Mutex, WAIT_FOREVER);
    int n = 0;
    for (GuiMessage* m = queue->Head; m; m = m->Next) ++n;
    semGive(queue->Mutex);
    return n;
}
