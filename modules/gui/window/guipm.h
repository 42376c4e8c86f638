// The presentation manager: the root window of the tree. It covers the whole screen, its children
// are the top-level windows, and it runs the GUI task's message loop. It decides where every
// message goes (the addressee, the thing under the pointer, the pointer owner, the input focus or
// the thing with a given id), moves the input focus and keeps the current branch consistent, keeps
// the pointer-capture stack, the registry of tasks that execute modal windows with their own
// queues, a text scratch pad and a stack of saved screens.
#pragma once

#include <cstdint>
#include <mutex>

#include "gui/core/guipresentationlink.h"
#include "gui/window/guiwindow.h"
#include "platform/rtos/rtos.h"

class GuiPresentationManager : public GuiWindow, public GuiPresentationLink {
public:
    static constexpr int CAPTURE_DEPTH = 8;
    static constexpr int SCREEN_STACK = 20;

    explicit GuiPresentationManager(const GuiRect& rect);
    ~GuiPresentationManager() override;

    int Message(const GuiMessage& msg) override;
    void Add(GuiThing* thing, int draw) override;
    GuiThing* Remove(GuiThing* thing, int draw) override;
    void KillFocus(GuiThing* thing) override;
    int Execute(int add) override;

    virtual int DispatchMessage(GuiThing* root, GuiMessage* msg);
    void CapturePointer(GuiThing* thing) override;
    void ReleasePointer(GuiThing* thing) override;
    virtual void SetFocus(GuiThing* thing);
    using GuiThing::CapturePointer;
    using GuiThing::ReleasePointer;

    // GuiPresentationLink
    void NullInput(GuiThing* thing) override;
    void MoveFocusTree(GuiThing* thing) override;
    GuiQueue* GetThingMessageQueue(GuiThing* thing) override;
    GuiQueue* GetCurrentMessageQueue() override;
    int RouteMessageToTask(GuiMessage* msg) override;

    GuiThing* FindLowestThingContaining(GuiThing* start, GuiPoint point);
    void BeginSubTaskExecute(GuiThing* thing);
    void EndSubTaskExecute(GuiThing* thing);
    GuiThing* GetPointerOwner();
    void InsureBranchHasFocus(GuiThing* thing);
    GuiThing* InputFocus() const { return mpInputFocus; }
    GuiThing* PointerThing() const { return mpPointerThing; }
    int CaptureDepth() const { return mbCaptureDepth; }

    void SetScratchPad(const char* text);
    void ClearScratchPad();
    const char* GetScratchPad() const { return mpScratchPad; }

    int ScreenPush(GuiThing* old, GuiThing* fresh, int remove, int draw, int center, int execute);
    GuiThing* ScreenPop(GuiThing* current, int remove, int destroy, int draw);
    GuiThing* ScreenPop() { return ScreenPop(nullptr, 1, 1, 0); }
    void ScreenStackReset(int remove, int destroy, int draw);

    // Delivers a pointer message to the lowest thing under its point below root, with exit and
    // enter to the things the pointer leaves and reaches and, for presses, focus moved to a thing
    // that accepts it (the pointer handling of a globally modal window).
    int DeliverPointer(GuiThing* root, GuiMessage* msg);

private:
    struct SubTask {
        SubTask* next;
        GuiThing* thing;
        TASK_ID task;
        GuiQueue* queue;
    };

    // Under mRegistryMutex: the queue of the modal window that holds thing, or null.
    GuiQueue* queueOf(GuiThing* thing) const;
    // Moves the pointer onto T: exit to the old pointer thing, enter to T; false when T already was.
    bool enter(GuiThing* t);
    void pressFocus(GuiThing* t);
    void destroyThing(GuiThing* t);
    bool executedWindow(GuiThing* t) const;

    SubTask* mpSubTasks = nullptr;
    GuiThing* mpInputFocus = nullptr;
    GuiThing* mpFocusBeforeCapture = nullptr;
    GuiThing* mpPointerThing = nullptr;
    GuiThing* mCaptureStack[CAPTURE_DEPTH] = {};
    GuiThing** mpScreenStack;
    char* mpScratchPad = nullptr;
    int32_t miScreenStackTop = SCREEN_STACK;
    uint8_t mbCaptureDepth = 0;
    int32_t mbRefocus = 0;
    // Guards the registry of modal tasks: read by Push in any task, so it is a lock of its own,
    // never held while the GUI lock is taken.
    mutable std::mutex mRegistryMutex;
};

// True for the pointer messages (move, presses and releases of both buttons).
inline bool GuiIsPointerMessage(uint16_t type) {
    return type >= GM_POINTER_MOVE && type <= GM_BUTTON2_UP;
}
