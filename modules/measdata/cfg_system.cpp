#include "measdata/cfg_system.h"

#include "framework/appman.h"
#include "framework/errmem.h"
#include "framework/syslog.h"
#include "measdata/seram.h"

#include <cstring>

cfg_system_t cfg_system{};

namespace {

char gExternalName[8] = "";

struct EcuType {
    uint16_t type;
    const char* name;
    uint8_t byte1, byte2;
    uint16_t masters; // lap-trigger and fuel-consumption master
    uint16_t ecuCode;
};

// The ECU types this device knows; any other is "UNKNOWN".
constexpr EcuType kEcuTypes[] = {
    {0x0000, "None", 1, 0, CFG_SYSTEM_PID_NONE, 0x0000},
    {0x0500, "MS5-0", 0, 1, 10, 0x0005},
    {0x0501, "MS5-1", 0, 1, 10, 0x0005},
    {0x0502, "MS5-2", 0, 1, 10, 0x0005},
    {0x0505, "MS5-5", 0, 1, 10, 0x0005},
    {0x0604, "MS6-4", 0, 0, CFG_SYSTEM_PID_NONE, 0x0406},
    {0x0704, "MS7-4", 0, 0, CFG_SYSTEM_PID_NONE, 0x0407},
    {0xFF01, "GEN-1", 0, 0, CFG_SYSTEM_PID_NONE, 0x01FF},
    {0xFF02, "GEN-2", 0, 0, CFG_SYSTEM_PID_NONE, 0x02FF},
};

void setName(const char* name) {
    std::strncpy(gExternalName, name, sizeof gExternalName - 1);
    gExternalName[sizeof gExternalName - 1] = '\0';
}

} // namespace

const char* get_external_name() {
    return gExternalName;
}

void cfg_system_ini() {
    cfg_system_t c{};
    c.loggingActive = 1;
    gExternalName[sizeof gExternalName - 1] = '\0';

    const uint16_t ecuType = seramCal().ECU_TYPE;
    const EcuType* known = nullptr;
    for (const EcuType& t : kEcuTypes)
        if (t.type == ecuType) known = &t;
    if (known) {
        setName(known->name);
        c.devCfgBit1Clear = known->byte1;
        c.laptrigSlave = known->byte2;
        c.ltmPid = c.fcmPid = known->masters;
        c.ecuCode = known->ecuCode;
    } else {
        setName("UNKNOWN");
        c.ltmPid = c.fcmPid = CFG_SYSTEM_PID_NONE;
        c.ecuCode = ecuType == 0xFFFF ? 0 : uint16_t(ecuType >> 8 | ecuType << 8);
    }

    const uint8_t ltOverride = applComm_getLaptrigPID();
    const uint8_t fcOverride = applComm_getFuelconsPID();
    if (ltOverride) {
        c.ltmPid = ltOverride;
        c.laptrigSlave = ltOverride != app_pid;
    }
    if (fcOverride) c.fcmPid = fcOverride;

    const uint32_t devCfg = seramCal().DEVICE_CONFIG;
    if (devCfg == 0 || devCfg == 0xFFFFFFFF) {
        syslogx(LOG_PRIO_INFO, "ECU_TYPE: 0x%.4x, DEVICE_CONFIG: 0x%.8x, fcm_pid: 0x%02X, extName: %s",
                unsigned(ecuType), unsigned(devCfg), unsigned(c.fcmPid), gExternalName);
    } else {
        const bool logging = devCfg & 1;
        bool noMaster = false;
        if (!ltOverride) {
            const uint8_t ltm = uint8_t(devCfg >> 8);
            if (ltm) {
                c.ltmPid = ltm;
                c.laptrigSlave = ltm != app_pid;
            } else {
                c.ltmPid = CFG_SYSTEM_PID_NONE;
                c.laptrigSlave = 0;
                noMaster = logging && seramCal().OUTINGCTR_MODE == 0;
            }
        }
        if (!fcOverride && uint8_t(devCfg >> 16)) c.fcmPid = uint8_t(devCfg >> 16);
        c.devCfgBit1Clear = !(devCfg & 2);
        c.loggingActive = logging;
        syslogx(LOG_PRIO_INFO,
                "ECU_TYPE: 0x%.4X, DEVICE_CONFIG: 0x%.8X ltm_pid: 0x%02X logging %s, fcm_pid: 0x%02X, "
                "extName: %s",
                unsigned(ecuType), unsigned(devCfg), unsigned(c.ltmPid), logging ? "active" : "INACTIVE",
                unsigned(c.fcmPid), gExternalName);
        if (noMaster) {
            error_mgr_set(CFG_SYSTEM_ERRMEM_NO_LTM, CFG_SYSTEM_ERRMEM_NO_LTM_TYPE, 0);
            syslogx(LOG_PRIO_ERR, "cfg_system_ini() no laptrigger master defined in config");
        }
    }
    if (ltOverride || fcOverride)
        syslogx(LOG_PRIO_INFO, "PID override: ltm_pid: 0x%02X, fcm_pid: 0x%02X", unsigned(c.ltmPid),
                unsigned(c.fcmPid));
    cfg_system = c;
}
