// Start-up of the event channels: a task waits for the configuration drive and builds the event
// set from "cfg:/eventcfg.xml"; the 10 ms raster checks the events from then on.
#include "logging/events/eventchannels.h"

#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "logging/disk/meas_app_disk.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

namespace evch {
std::atomic<eventchannels*> handle{nullptr};
std::atomic<TASK_ID> taskid{0};
std::atomic<bool> started{false};
std::atomic<bool> initEventConfigXML{false};
} // namespace evch

namespace {

constexpr const char* kConfigFile = "cfg:/eventcfg.xml";
uint8_t gSpawnLog = 0;
// The 10 ms check holds it while it uses the set, so the set is never deleted under it.
std::mutex gUse;

} // namespace

void eventChannelsInit() {
    if (evch::started.exchange(true)) {
        syslogx(LOG_PRIO_ERR, "eventChannelsInit(): called a 2nd time?!");
        return;
    }
    const TASK_ID tid = taskSpawn("evChInit", EVCH_INIT_PRIORITY, VX_FP_TASK, EVCH_INIT_STACK,
                                  [] { eventChannelsInitTask(); });
    if (tid == TASK_ID_ERROR) {
        evch::taskid.store(0);
        SYSLOGX_FLOOD(gSpawnLog, LOG_PRIO_ERR, "eventChannelsInit: could not spawn task errno %s",
                      std::strerror(errno));
        return;
    }
    evch::taskid.store(tid);
}

void eventChannelsInitTask() {
    while (meas_app_driveAvDebounce("cfg:") != 0) taskDelay(1);
    if (!fexist(kConfigFile)) {
        syslogx(LOG_PRIO_INFO, "eventChannelsInitTask(): could not find %s, no event config!", kConfigFile);
        return;
    }
    try {
        evch::handle.store(new eventchannels(kConfigFile));
    } catch (const char* text) {
        syslogx(LOG_PRIO_ERR, "eventChannelsInitTask(): %s", text);
    } catch (const std::bad_alloc&) {
        syslogx(LOG_PRIO_ERR, "eventChannelsInitTask(): %s", "Out of memory error");
    }
}

void eventChannels_10ms() {
    std::lock_guard<std::mutex> use(gUse);
    if (eventchannels* set = evch::handle.load()) set->cyclic();
}

void eventChannelsDelete() {
    const TASK_ID tid = evch::taskid.exchange(0);
    if (tid != 0 && taskIdVerify(tid) == OK) {
        taskDelete(tid);
        taskJoin(tid, 3000);
    }
    evch::started.store(false);
    eventchannels* set = nullptr;
    {
        std::lock_guard<std::mutex> use(gUse);
        set = evch::handle.exchange(nullptr);
    }
    delete set;
}
