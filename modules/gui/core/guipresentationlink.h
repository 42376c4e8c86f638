// What the widget base, the message queue and the screen need of the presentation manager, the
// root of the object tree that runs the GUI task's loop. The presentation manager implements it
// and registers itself in GuiThing::mpPresentation and GuiThing::mpPresentationLink.
#pragma once

struct GuiMessage;
struct GuiQueue;
class GuiThing;

class GuiPresentationLink {
public:
    // Drops input focus, pointer owner and pointer captures inside a thing that disappears.
    virtual void NullInput(GuiThing* thing) = 0;
    virtual void MoveFocusTree(GuiThing* thing) = 0;
    virtual void CapturePointer(GuiThing* thing) = 0;
    virtual void ReleasePointer(GuiThing* thing) = 0;
    // The queue of the task that executes the modal window holding the thing, or null.
    virtual GuiQueue* GetThingMessageQueue(GuiThing* thing) = 0;
    // The queue registered for the calling task, or null.
    virtual GuiQueue* GetCurrentMessageQueue() = 0;
    // 1 when the targeted message was placed in the queue of a task executing a modal window.
    virtual int RouteMessageToTask(GuiMessage* msg) = 0;

protected:
    ~GuiPresentationLink() = default;
};
