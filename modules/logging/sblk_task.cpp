#include "logging/sblk_task.h"

#include "framework/appman.h"
#include "logging/cfg_system.h"
#include "logging/sb_info.h"
#include "logging/sb_lapstack.h"

std::atomic<uint32_t> sb_static_status{0};
std::atomic<uint8_t> sb_SwOff{0};

int sblk_task_laptrigger(uint16_t previousLap, uint16_t /*previousOuting*/, uint32_t /*timestamp*/,
                         uint32_t laptime) {
    sb_lapinfo_lap_event();
    const uint16_t fcm = cfg_system.fcmPid;
    if (fcm < CFG_SYSTEM_PID_NONE && fcm != app_pid) {
        sb_lapstack_expect_entry(uint8_t(previousLap), laptime);
        sb_static_status.fetch_or(SB_STATIC_LAPSTACK_AWAITED);
    }
    return 1;
}
