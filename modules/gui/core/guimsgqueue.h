// The message queue object of the GUI: posting from any task, popping in the GUI task (or in a
// task that executes a modal window), folding, purging, and the software timers on the 50 ms tick
// of the timer task "r_t_GuiTmr".
#pragma once

#include <cstdint>

#include "gui/core/guimessage.h"
#include "gui/core/guiqueue.h"

struct TimerRecord {
    TimerRecord* Next;
    GuiThing* Owner; // receives GM_TIMER
    int32_t Count;   // ticks left
    int32_t Reload;  // ticks after expiry; 0 or less: one-shot
    uint16_t Id;     // unique per owner
};

class GuiMessageQueue {
public:
    GuiMessageQueue(); // creates the main queue into gpGuiMesgQueue
    ~GuiMessageQueue();
    GuiMessageQueue(const GuiMessageQueue&) = delete;
    GuiMessageQueue& operator=(const GuiMessageQueue&) = delete;

    int Push(const GuiMessage* msg);
    // The same, telling whether the message was taken: false when a full queue dropped it.
    bool TryPush(const GuiMessage* msg);
    void Pop(GuiMessage* out);
    void Fold(const GuiMessage* msg, GuiQueue* queue = nullptr);
    // Removes queued messages of the main queue addressed to who or a descendant; type 0 = any,
    // param is compared only together with a type.
    void Purge(GuiThing* who, uint16_t type = 0, uint16_t param = 0);
    // Removes every queued message that is addressed to, or sent by, who or a thing inside it:
    // nothing may refer to a thing once it is deleted.
    void PurgeThing(GuiThing* who);

    void SetTimer(GuiThing* owner, uint16_t id, int32_t count, int32_t reload);
    // id 0: every timer of the owner and its descendants.
    void KillTimer(GuiThing* owner, uint16_t id);
    void TimerTick();

    int TimerCount() const; // records in the timer list (tests)

private:
    enum class Match { Subtree, Exact, TargetOrSource };
    void purge(GuiThing* who, uint16_t type, uint16_t param, Match match);

    TimerRecord* mpTimerList = nullptr;
};

// Body of the timer task; never returns.
void GuiTimerTask(long ignored);
// One pass of the timer task's loop after its delay: posts the tick unless one is pending.
// Returns true when a tick was queued.
bool GuiTimerTaskPost();
