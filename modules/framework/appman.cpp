#include "framework/appman.h"

#include "framework/nvram.h"
#include "framework/syslog.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/applcomm.h"

#include <atomic>
#include <cstdio>

int RtpIndex = 0;
uint16_t app_pid = 0;
char device_ip_addr[16] = "127.0.0.1";

namespace {
AppParam gParams;
std::atomic<uint32_t> gBootCount{0};
ApplComm* gApplComm = nullptr;
} // namespace

bool appman_init(int rtpIndex, std::string* error) {
    AppParam p;
    if (!appparam_load(rtpIndex, devroot_path(), &p, error)) return false;
    gParams = p;
    RtpIndex = rtpIndex;
    app_pid = p.pid;
    std::snprintf(device_ip_addr, sizeof(device_ip_addr), "%s", p.ipAddressText.c_str());
    return true;
}

const AppParam& appman_params() {
    return gParams;
}

uint16_t AppMan_getBC2PortOffset() {
    return gParams.bc2PortOffset;
}
uint32_t AppMan_getIpAddr() {
    return gParams.ipAddress;
}
uint32_t AppMan_getIpMask() {
    return gParams.ipMask;
}

bool boot_count_init() {
    uint32_t stored = 0;
    const int n = nvram_dbs_read(NV_REC_BOOTCOUNT, uint32_t(RtpIndex), &stored, sizeof(stored));
    if (n != int(sizeof(stored))) {
        syslogx(LOG_PRIO_INFO, "boot_count_init(): no boot counter stored, starting from %u",
                unsigned(gParams.baseBootCounter));
        stored = gParams.baseBootCounter;
    } else if (stored < gParams.baseBootCounter) {
        stored = gParams.baseBootCounter;
    }
    const uint32_t count = stored + 1;
    // Handle numbers carry the boot counter so that handles of an earlier start are refused: a
    // number that is not stored would be handed out again by the next start. One copy written
    // through (with its entry) is that; the other follows on the NV store's task.
    if (nvram_dbs_writeOneCopy(NV_REC_BOOTCOUNT, uint32_t(RtpIndex), &count, sizeof(count)) !=
        int(sizeof(count))) {
        syslogx(LOG_PRIO_CRIT, "boot_count_init(): boot counter %u cannot be stored, not starting",
                unsigned(count));
        return false;
    }
    gBootCount.store(count);
    syslogx(LOG_PRIO_INFO, "boot_count_init(): boot counter %u", unsigned(count));
    return true;
}

uint32_t boot_count_get() {
    return gBootCount.load();
}

bool applComm_init() {
    std::string error;
    gApplComm = applcomm_open(devroot_path(), &error);
    if (!gApplComm) {
        syslogx(LOG_PRIO_ERR, "applComm_init(): shared memory not available: %s", error.c_str());
        return false;
    }
    applcomm_update(gApplComm, RtpIndex, [](ApplCommApp& a) { a.pid = app_pid; });
    return true;
}

void applComm_close() {
    applcomm_close(gApplComm);
    gApplComm = nullptr;
}

uint8_t applComm_getLaptrigPID() {
    ApplCommApp a{};
    if (!gApplComm || !applcomm_read(gApplComm, RtpIndex, &a)) return 0;
    return uint8_t(a.laptrigPid);
}

uint8_t applComm_getFuelconsPID() {
    ApplCommApp a{};
    if (!gApplComm || !applcomm_read(gApplComm, RtpIndex, &a)) return 0;
    return uint8_t(a.fuelconsPid);
}
