#include "gui/core/guilock.h"

GuiQueue* gpGuiMesgQueue = nullptr;
std::atomic<int> gbGuiTimerEventPending{1}; // no tick before start-up clears it
std::atomic<int> gbGuiInitialized{0};
TASK_ID tBaseGuiTask = 0;
SEM_ID tGuiPresentationMutex = SEM_ID_NULL;
std::atomic<TASK_ID> tGuiLockTask{0};
int giCriticalNesting = 0;
SEM_ID tGuiTimerMutex = SEM_ID_NULL;
volatile unsigned iDummy = 0;

void EnterCriticalSection() {
    const TASK_ID self = taskIdSelf();
    if (tGuiLockTask.load(std::memory_order_relaxed) != self) {
        semTake(tGuiPresentationMutex, WAIT_FOREVER);
        tGuiLockTask.store(self, std::memory_order_relaxed);
    }
    ++giCriticalNesting;
}

void ExitCriticalSection() {
    if (--giCriticalNesting == 0) {
        tGuiLockTask.store(0, std::memory_order_relaxed);
        semGive(tGuiPresentationMutex);
    }
}

void GuiLoopForever() {
    for (;;) iDummy = iDummy + 1;
}

bool GuiIsGuiTask() {
    return taskIdSelf() == tBaseGuiTask;
}
