#include "display_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "display/control/display.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/device/guitask.h"
#include "platform/board/display_hw.h"

namespace disptest {

namespace {

std::function<void(GuiPresentationManager*)> gBuild;

} // namespace

// Runs the function whose address a message carries, in the task that handles the message.
class GuiRun::Hook : public GuiThing {
public:
    Hook() : GuiThing(0, GUI_BORDER_NONE) {}
    int Message(const GuiMessage& m) override {
        if (m.Type != GM_USER) return GuiThing::Message(m);
        (*static_cast<const std::function<void()>*>(m.DataPtr(0)))();
        semGive(static_cast<SEM_ID>(m.DataPtr(1)));
        return 0;
    }
};

bool WaitFor(const std::function<bool()>& cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

GuiRun::GuiRun(std::function<void(GuiPresentationManager*)> build) : hook_(new Hook) {
    displayhw_reset();
    gBuild = std::move(build);
    static const GuiApplication application{ConfigureGuiInput, GuiAppInitialize, RestoreGuiInput};
    GuiSetApplication(&application);
    displayInit();
    // Up once the backlight task has run to its end.
    EXPECT_TRUE(WaitFor([] {
        return gbGuiInitialized == 1 && taskNameToId("r_dispInitDone") == TASK_ID_ERROR;
    })) << "the GUI did not come up";
}

GuiRun::~GuiRun() {
    // The tick task first: it must not post into a queue that goes.
    const TASK_ID timer = taskNameToId("r_t_GuiTmr");
    if (timer != TASK_ID_ERROR) {
        taskDeleteForce(timer);
        taskJoin(timer, 5000);
    }
    const TASK_ID gui = taskNameToId("r_GuiMn");
    GuiMessage exit = GuiMakeMessage(GM_EXIT, GuiThing::mpPresentation); // from no one: ends at once
    if (GuiThing::mpMessageQueue) GuiThing::mpMessageQueue->Push(&exit);
    if (gui != TASK_ID_ERROR) taskJoin(gui, 5000);
    // Every level of the GUI lock must have been given back (an Invalidate without its drawing
    // keeps one); the next test's GUI would otherwise never release its lock.
    EXPECT_EQ(giCriticalNesting, 0) << "a GUI lock level was left held";
    giCriticalNesting = 0;
    tGuiLockTask = 0;
    delete hook_;
    semDelete(tGuiTimerMutex);
    semDelete(tGuiPresentationMutex);
    tGuiTimerMutex = tGuiPresentationMutex = SEM_ID_NULL;
    tBaseGuiTask = 0;
    gbGuiTimerEventPending = 1;
    gBuild = nullptr;
}

GuiPresentationManager* GuiRun::pm() const {
    return dynamic_cast<GuiPresentationManager*>(GuiThing::mpPresentation);
}

void GuiRun::inGui(const std::function<void()>& fn) {
    SEM_ID done = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    GuiMessage m = GuiMakeMessage(GM_USER, hook_);
    m.SetDataPtr(0, const_cast<std::function<void()>*>(&fn));
    m.SetDataPtr(1, done);
    GuiThing::mpMessageQueue->Push(&m);
    semTake(done, WAIT_FOREVER);
    semDelete(done);
}

void GuiRun::present() {
    inGui([] {
        GuiThing::mpScreen->FlushScreen();
        GuiThing::mpScreen->WaitFlushFinish();
    });
}

Pixels PanelPixels(int left, int top, int right, int bottom, uint32_t colour) {
    const std::vector<uint32_t> panel = displayhw_panelImage();
    Pixels out;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            if (panel[static_cast<size_t>(y) * DISPLAY_VISIBLE_WIDTH + x] == colour) out.insert({x, y});
    return out;
}

} // namespace disptest

void GuiAppInitialize(GuiPresentationManager* pm) {
    if (disptest::gBuild) disptest::gBuild(pm);
}
