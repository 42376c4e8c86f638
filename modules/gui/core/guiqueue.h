// One queue of GUI messages over a fixed pool of 41 nodes: posting never allocates, and a full
// queue drops the new message.
#pragma once

#include "gui/core/guimessage.h"
#include "platform/rtos/rtos.h"

inline constexpr int GUI_QUEUE_NODES = 41;

struct GuiQueue {
    GuiMessage* Head; // first and last queued node
    GuiMessage* Tail;
    GuiMessage* FreeHead; // first and last free node
    GuiMessage* FreeTail;
    SEM_ID Mutex;      // guards both lists
    SEM_ID Available;  // counts the queued messages
    GuiMessage* Nodes; // the pool, owned
};

// A new queue with 41 free nodes; stops the task (GuiLoopForever) when it cannot be made.
GuiQueue* GuiCreateMessageQueue();
void GuiDeleteMessageQueue(GuiQueue* queue);

// Copies the message to the tail; drops it when no node is free. Returns 1 in both cases.
int EnqueueTaskMessage(const GuiMessage* msg, GuiQueue* queue);
// The same, telling whether the message was queued.
bool GuiEnqueue(const GuiMessage* msg, GuiQueue* queue);
// Waits for a message and copies the head out (its Next null).
void GuiPopMessage(GuiMessage* out, GuiQueue* queue);
// Queued messages (host diagnostics and tests).
int GuiQueueCount(GuiQueue* queue);
