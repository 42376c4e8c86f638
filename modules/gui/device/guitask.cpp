#include "gui/device/guitask.h"

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/device/l24logi.h"
#include "gui/window/guipm.h"

#include <atomic>

namespace {

void noInput() {}
void noWindows(GuiPresentationManager*) {}

const GuiApplication kNoApplication{noInput, noWindows, noInput};
std::atomic<const GuiApplication*> gApplication{&kNoApplication};

} // namespace

void GuiSetApplication(const GuiApplication* application) {
    gApplication.store(application ? application : &kNoApplication, std::memory_order_release);
}

void GuiTaskMain(SEM_ID ready) {
    const GuiApplication& application = *gApplication.load(std::memory_order_acquire);
    tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
    if (tGuiTimerMutex == SEM_ID_NULL || tGuiPresentationMutex == SEM_ID_NULL) GuiLoopForever();
    tGuiLockTask = 0;
    tBaseGuiTask = taskIdSelf();

    GuiThing::mpScreen = CreateGuiScreen();
    if (!GuiThing::mpScreen) GuiLoopForever(); // nothing can be shown without it
    const GuiRect all = MakeGuiRect(0, 0, GuiThing::mpScreen->HRes() - 1, GuiThing::mpScreen->VRes() - 1);
    GuiThing::mpMessageQueue = new GuiMessageQueue();

    auto* pm = new GuiPresentationManager(all);
    pm->mColors[0] = 0;
    GuiThing::mpPresentation = pm;
    GuiThing::mpPresentationLink = pm;
    GuiThing::mpScreen->GenerateViewportList(pm);
    GuiThing::mpScreen->Invalidate(pm->mRealRect);
    pm->Draw();

    application.configureInput();
    application.initialize(pm);

    gbGuiInitialized = 1;
    gbGuiTimerEventPending = 0;
    if (ready != SEM_ID_NULL) semGive(ready);

    pm->Execute(0);

    application.restoreInput();
    // Nothing may post into the queue that goes now.
    gbGuiInitialized = 0;
    GuiThing::mpPresentation = nullptr;
    GuiThing::mpPresentationLink = nullptr;
    delete pm;
    GuiMessageQueue* q = GuiThing::mpMessageQueue;
    GuiThing::mpMessageQueue = nullptr;
    delete q;
    delete GuiThing::mpScreen;
    GuiThing::mpScreen = nullptr;
}
