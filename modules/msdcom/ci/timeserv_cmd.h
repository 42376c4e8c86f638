// The time service's commands on the device network.
//
// 0x0600 distribute time: the time master names itself to every device. Payload u32 first master
//        id, u32 second master id. The device takes the ids; the measurement files record them.
// 0x0602 new system time: payload u16 year, month, day, hour, minute, second, millisecond (the
//        fields of timeserv_readSystemTime). Checked and logged; the clock of this device is the
//        host's, which the application does not set.
// 0x0603 suggest own time: the requester asks this device for its time; answered with 0x0602
//        carrying this device's system time (context words exchanged).
#pragma once

#include "msdcom/ci/ci_msg.h"

inline constexpr uint16_t TIMESERV_CMD_DISTRIBUTE = 0x0600;
inline constexpr uint16_t TIMESERV_CMD_NEW_TIME = 0x0602;
inline constexpr uint16_t TIMESERV_CMD_SUGGEST = 0x0603;

void timeserv_distributeTime_cmd(comint_msg* message);
void timeserv_newSystemTime_cmd(comint_msg* message);
void timeserv_suggestOwnTime_cmd(comint_msg* message);
