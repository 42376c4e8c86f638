// The GUI lock and the globals of the GUI task.
//
// The GUI lock is recursive: the owner may take it again; each take needs one release. It guards
// the object tree, input focus, pointer capture and all drawing. The screen's Invalidate keeps one
// level until the outermost EndDraw, so a task that invalidates holds the lock until it has drawn.
#pragma once

#include <atomic>

#include "platform/rtos/rtos.h"

struct GuiQueue;

extern GuiQueue* gpGuiMesgQueue;                // the GUI task's main queue
extern std::atomic<int> gbGuiTimerEventPending; // 1 while the timer task's tick is queued
extern std::atomic<int> gbGuiInitialized;       // 1 once the GUI is up
extern TASK_ID tBaseGuiTask;                    // the GUI task
extern SEM_ID tGuiPresentationMutex;            // mutex of the GUI lock
extern std::atomic<TASK_ID> tGuiLockTask;       // holder of the GUI lock, 0 when none
extern int giCriticalNesting;                   // nesting depth of the GUI lock
extern SEM_ID tGuiTimerMutex;                   // guards the timer list
extern volatile unsigned iDummy;                // counted by the endless failure loop

void EnterCriticalSection();
void ExitCriticalSection(); // only by the task that holds the lock

// Stops the calling task for good: a GUI without its locks or queue cannot run.
[[noreturn]] void GuiLoopForever();

// True when the calling task is the GUI task.
bool GuiIsGuiTask();

// One level of the GUI lock for the extent of a scope.
class GuiLockGuard {
public:
    GuiLockGuard() { EnterCriticalSection(); }
    ~GuiLockGuard() { ExitCriticalSection(); }
    GuiLockGuard(const GuiLockGuard&) = delete;
    GuiLockGuard& operator=(const GuiLockGuard&) = delete;
};
