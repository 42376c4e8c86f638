// The display's start-up: the GUI-side tasks, the built-in fonts, the backlight once the GUI is up.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "display/control/display.h"
#include "display/control/display_cmd.h"
#include "display/control/displayctrl.h"
#include "display/fonts/vektafonts.h"
#include "framework/board_io.h"
#include "framework/syslog.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/device/guitask.h"
#include "gui/device/scrndrv.h"

namespace {

constexpr size_t kStack = 500000;
constexpr cpuset_t kGuiCpus = 1;
constexpr int kGuiPriority = 121;
constexpr int kTimerPriority = 120;
constexpr int kJoinMs = 5000;

std::atomic<TASK_ID> gGuiTask{TASK_ID_ERROR};
std::atomic<TASK_ID> gTimerTask{TASK_ID_ERROR};

} // namespace

void displayInit() {
    SEM_ID ready = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    int priority = 120;
    if (taskPriorityGet(taskIdSelf(), &priority) != OK) priority = 120;
    if (taskSpawn("r_dispInitDone", priority, VX_FP_TASK, kStack, [ready] { displayInitDone(ready); }) ==
        TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "displayInit(): create displayInitDone failed");
        return;
    }
    const TASK_ID gui =
        taskSpawn("r_GuiMn", kGuiPriority, VX_FP_TASK, kStack, [ready] { GuiTaskMain(ready); });
    if (gui == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "displayInit(): create GuiMain failed");
        return;
    }
    gGuiTask.store(gui);
    if (taskCpuAffinitySet(gui, kGuiCpus) != OK)
        syslogx(LOG_PRIO_ERR,
                "displayInit() failed to set cpu affinity for GuiMn, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(gui), static_cast<int>(kGuiCpus), std::strerror(errno));
    const TASK_ID timer =
        taskSpawn("r_t_GuiTmr", kTimerPriority, VX_FP_TASK, kStack, [] { GuiTimerTask(0); });
    if (timer == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "displayInit(): create GuiTimer failed");
        return;
    }
    gTimerTask.store(timer);
    if (taskCpuAffinitySet(timer, kGuiCpus) != OK)
        syslogx(LOG_PRIO_ERR,
                "displayInit() failed to set cpu affinity for t_GuiTmr, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(timer), static_cast<int>(kGuiCpus), std::strerror(errno));
    VektaFonts_ini();
    ext_alarm.shown = 0;
    display_pageset_ini();
}

void displayInitDone(SEM_ID ready) {
    if (ready != SEM_ID_NULL && semTake(ready, WAIT_FOREVER) == OK) semDelete(ready);
    PwmOut_Set(0, 95.0f, 1000.0f); // backlight
    digital_ioOut(5, 1);
    scrndrvLayerEnable(1);
}

void ConfigureGuiInput() {} // the display has no input device
void RestoreGuiInput() {}

void displayJoin() {
    // No page switch and no NV record from the control task once the shutdown runs.
    displayCtrl_exit();
    // The GUI task ends its loop and its windows (the display's lists with them, while the gateway
    // still runs); nothing is presented after that, so the panel keeps its last picture, and no
    // task draws while the process exits.
    const TASK_ID timer = gTimerTask.exchange(TASK_ID_ERROR);
    if (timer != TASK_ID_ERROR) {
        taskDeleteForce(timer);
        taskJoin(timer, kJoinMs);
    }
    const TASK_ID gui = gGuiTask.exchange(TASK_ID_ERROR);
    if (gui == TASK_ID_ERROR || gbGuiInitialized != 1 || !GuiThing::mpMessageQueue) return;
    GuiMessage exit = GuiMakeMessage(GM_EXIT, GuiThing::mpPresentation); // from no one: ends at once
    GuiThing::mpMessageQueue->Push(&exit);
    if (taskJoin(gui, kJoinMs) != OK) syslogx(LOG_PRIO_ERR, "displayJoin(): the GUI task did not end");
}

unsigned char* DumpReal(unsigned long* size) {
    if (size) *size = 0;
    if (gbGuiInitialized != 1 || !GuiThing::mpScreen) return nullptr;
    GuiRect shown = MakeGuiRect(0, 0, 639, 479);
    // The GUI task may be drawing: the frame buffer is read under the GUI lock.
    GuiLockGuard lock;
    return GuiThing::mpScreen->DumpWindowsBitmap(size, shown);
}
