#include "display/control/displayctrl.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "calc/awm_lookup.h"
#include "display/control/display.h"
#include "display/control/display_sig.h"
#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

namespace {

constexpr int kPriority = 69;
constexpr size_t kStack = 10000;
constexpr cpuset_t kCpus = 1;

std::atomic<uint8_t> gState{DISPCTRL_STOPPED};
std::atomic<bool> gRun{false};
std::atomic<TASK_ID> gTask{TASK_ID_ERROR};
// Given by a start and at the end: a stopped control, or one with no input to follow, has nothing to
// do each tick.
SEM_ID gWake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
// One pass of the task at a time against its end: no NV write after displayCtrl_exit.
std::mutex gPassMutex;

// The page and the brightness step are queued for the NV store's own task: a disk that holds a
// write-through for seconds holds neither the control's task nor the GUI's start (nor the shutdown,
// which waits for both). False when the queue refused it: the value is then queued again at the
// control's next pass, unless a later one came.
std::atomic<int> gRefused[2] = {-1, -1}; // the page's and the brightness's value refused, -1 none

bool storeLater(uint32_t id, uint8_t value) {
    const bool page = id == DISPCTRL_NV_PAGE;
    const bool queued =
        nvram_dbs_writeLater(id, 0, &value, 1, page ? "the display page" : "the display brightness") != 0;
    gRefused[page ? 0 : 1].store(queued ? -1 : value);
    return queued;
}

void storeRefused() {
    for (const uint32_t id : {DISPCTRL_NV_PAGE, DISPCTRL_NV_BRIGHTNESS}) {
        const int value = gRefused[id == DISPCTRL_NV_PAGE ? 0 : 1].load();
        if (value >= 0) storeLater(id, uint8_t(value));
    }
}

// A channel that must deliver within about 60 s.
struct Watch {
    int count = 0;
    bool reported = false;
};

// One input (page or brightness): the value the pass wants, and whether it changed the output.
bool Follow(int (*read)(int*, unsigned char*), uint8_t& cell, uint8_t max, uint8_t state, Watch& watch,
            uint8_t errType, int (*apply)(uint32_t), uint32_t nvId, const char* nvText) {
    int value = 0;
    unsigned char fresh = 0;
    uint8_t current = dispSigGet(cell);
    if (!read(&value, &fresh)) {
        if (state == DISPCTRL_STARTED) {
            current = static_cast<uint8_t>(limit1toMax(current, max));
            dispSigPut(cell, current);
            apply(static_cast<uint32_t>(current - 1));
        }
        return false;
    }
    int wanted;
    if (!fresh) {
        wanted = limit1toMax(current, max);
        const int limit = sysClkRateGet() * 60;
        if (watch.count < limit && ++watch.count >= limit && !watch.reported) {
            error_mgr_set(DISPCTRL_ERRMEM_PATH, errType, 0);
            watch.reported = true;
        }
    } else {
        wanted = limit1toMax(value, max);
        watch.count = 0;
        if (watch.reported) {
            error_mgr_clear(DISPCTRL_ERRMEM_PATH);
            watch.reported = false;
        }
    }
    if (wanted == current && state != DISPCTRL_STARTED) return false;
    const auto v = static_cast<uint8_t>(wanted);
    dispSigPut(cell, v);
    apply(static_cast<uint32_t>(wanted - 1));
    if (nvId == DISPCTRL_NV_PAGE && !storeLater(nvId, v)) syslogx(LOG_PRIO_ERR, "%s", nvText);
    return true;
}

int SwitchPage(uint32_t index) {
    return displaySwitchPage(index);
}

bool FollowsAnInput() {
    DispChannelGuard lock;
    return CDispPageChannels::page_chan || CDispPageChannels::brightness_chan;
}

void Task() {
    Watch page, brightness;
    bool idle = false;
    while (gRun.load()) {
        if (idle)
            semTake(gWake, sysClkRateGet());
        else
            taskDelay(1);
        std::lock_guard<std::mutex> pass(gPassMutex);
        const uint8_t state = gState.load();
        idle = state == DISPCTRL_STOPPED || (state == DISPCTRL_RUNNING && !FollowsAnInput());
        if (!gRun.load() || state == DISPCTRL_STOPPED) continue;
        storeRefused();
        SeramSigPage& sig = seramSig();
        const uint8_t maxPage = dispSigGet(sig.display_page_mx);
        bool changed =
            Follow(displayGetPageChan, sig.display_page, maxPage, state, page, DISPCTRL_ERR_PAGE, SwitchPage,
                   DISPCTRL_NV_PAGE, "displayCtrl_task: could not write display page into nvram");
        changed |= Follow(displayGetBrightnessChan, sig.display_brightness, DISPCTRL_BRIGHTNESS_STEPS, state,
                          brightness, DISPCTRL_ERR_BRIGHTNESS, displayBrightness, 0, "");
        uint8_t started = DISPCTRL_STARTED;
        gState.compare_exchange_strong(started, DISPCTRL_RUNNING);
        if (changed) {
            const uint8_t step = dispSigGet(sig.display_brightness);
            if (!storeLater(DISPCTRL_NV_BRIGHTNESS, step))
                syslogx(LOG_PRIO_ERR, "displayCtrl_task: could not write display brightness into nvram");
        }
    }
}

// A stored step, limited to 1..max; written back when it was missing or out of range.
uint8_t Restore(uint32_t id, uint8_t max, const char* readText, const char* writeText) {
    uint8_t v = 0;
    const bool read = nvram_dbs_read(id, 0, &v, 1) == 1;
    if (!read) {
        syslogx(LOG_PRIO_ERR, "%s", readText);
        v = 1;
    }
    const uint8_t stored = v;
    if (v == 0) v = 1;
    if (v > max) v = max;
    if ((!read || v != stored) && !storeLater(id, v)) syslogx(LOG_PRIO_ERR, "%s", writeText);
    return v;
}

float Lookup(const float* y, const float* x, size_t n, float percent) {
    float out = 0;
    awm_0x02_lookup(&out, y, percent, x, static_cast<uint8_t>(n - 1));
    return out;
}

float Led(const float* y, const float* x, size_t n, float value, float percent) {
    return std::clamp(Lookup(y, x, n, percent) * 0.01f * value, 0.0f, 255.0f);
}

} // namespace

int limit1toMax(int v, int max) {
    if (v < 1) v = 1;
    if (v > max) v = max;
    return v;
}

void displayCtrl_ini() {
    gState.store(DISPCTRL_STOPPED);
    gRun.store(true);
    const TASK_ID tid = taskSpawn("r_DispCtrl", kPriority, VX_FP_TASK, kStack, Task);
    if (tid == TASK_ID_ERROR) {
        gRun.store(false);
        syslogx(LOG_PRIO_ERR, "displayCtrl_ini(): could not start task: %s", std::strerror(errno));
        return;
    }
    gTask.store(tid);
    if (taskCpuAffinitySet(tid, kCpus) != OK)
        syslogx(LOG_PRIO_ERR,
                "displayCtrl_ini() failed to set cpu affinity for DispCtrl, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(tid), static_cast<int>(kCpus), std::strerror(errno));
}

void displayCtrl_exit() {
    gRun.store(false);
    semGive(gWake);
    const TASK_ID tid = gTask.exchange(TASK_ID_ERROR);
    if (tid != TASK_ID_ERROR && tid != taskIdSelf()) taskJoin(tid, 5000);
    std::lock_guard<std::mutex> pass(gPassMutex); // a pass still running ends first
}

uint8_t displayCtrl_state() {
    return gState.load();
}

uint8_t displayCtrl_start(uint8_t lastPageIndex) {
    SeramSigPage& sig = seramSig();
    if (gState.load() != DISPCTRL_STOPPED) return dispSigGet(sig.display_page);
    std::lock_guard<std::mutex> pass(gPassMutex);
    {
        DispChannelGuard lock;
        if (!CDispPageChannels::page_chan)
            syslogx(LOG_PRIO_INFO, "displayCtrl_start: no page channel configured, no page switching");
        if (!CDispPageChannels::brightness_chan)
            syslogx(LOG_PRIO_INFO,
                    "displayCtrl_start: no brigntness channel configured, no brightness switching");
    }
    const auto maxPage = static_cast<uint8_t>(lastPageIndex + 1);
    dispSigPut(sig.display_page_mx, maxPage);
    dispSigPut(sig.display_page,
               Restore(DISPCTRL_NV_PAGE, maxPage, "displayCtrl_start: could not read display page from nvram",
                       "displayCtrl_start: could not write display page into nvram"));
    dispSigPut(sig.display_brightness,
               Restore(DISPCTRL_NV_BRIGHTNESS, DISPCTRL_BRIGHTNESS_STEPS,
                       "displayCtrl_start: could not read display brightness from nvram",
                       "displayCtrl_start: could not write display britghnetss into nvram"));
    gState.store(DISPCTRL_STARTED);
    semGive(gWake);
    return dispSigGet(sig.display_page);
}

void displayCtrl_stop() {
    std::lock_guard<std::mutex> pass(gPassMutex);
    const uint8_t state = gState.load();
    if (state != DISPCTRL_STARTED && state != DISPCTRL_RUNNING) return;
    SeramSigPage& sig = seramSig();
    dispSigPut(sig.display_page, uint8_t{0});
    dispSigPut(sig.display_page_mx, uint8_t{0});
    dispSigPut(sig.display_brightness, uint8_t{0});
    gState.store(DISPCTRL_STOPPED);
}

float display_brightness_bg(float percent) {
    const SeramCalData& c = seramCal();
    return Lookup(c.CL_DISP_BRIGHT_BG.data(), c.CL_DISP_BRIGHT_BG_row_.data(), c.CL_DISP_BRIGHT_BG.size(),
                  percent);
}

uint8_t display_brightness_colSat(float percent) {
    const SeramCalData& c = seramCal();
    const float v = std::clamp(Lookup(c.CL_DISP_BRIGHT_COLSAT.data(), c.CL_DISP_BRIGHT_COLSAT_row_.data(),
                                      c.CL_DISP_BRIGHT_COLSAT.size(), percent),
                               0.0f, 255.0f);
    return static_cast<uint8_t>(static_cast<uint32_t>(v) & 0xFF);
}

float display_brightness_led_red(float value, float percent) {
    const SeramCalData& c = seramCal();
    return Led(c.CL_DISP_BRIGHT_LED_RED.data(), c.CL_DISP_BRIGHT_LED_RED_row_.data(),
               c.CL_DISP_BRIGHT_LED_RED.size(), value, percent);
}

float display_brightness_led_green(float value, float percent) {
    const SeramCalData& c = seramCal();
    return Led(c.CL_DISP_BRIGHT_LED_GREEN.data(), c.CL_DISP_BRIGHT_LED_GREEN_row_.data(),
               c.CL_DISP_BRIGHT_LED_GREEN.size(), value, percent);
}

float display_brightness_led_blue(float value, float percent) {
    const SeramCalData& c = seramCal();
    return Led(c.CL_DISP_BRIGHT_LED_BLUE.data(), c.CL_DISP_BRIGHT_LED_BLUE_row_.data(),
               c.CL_DISP_BRIGHT_LED_BLUE.size(), value, percent);
}
