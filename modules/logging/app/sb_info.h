// Version and lap-stack information between devices (CI commands 0x0F00, 0x0F01, 0x0F04): the
// program identifiers of up to 10 devices for page 01 of the status blocks, collected by request,
// and the fuel used on a lap, sent by the fuel-consumption master when that is another device.
//
// The handlers run in "r_Comint", the request pass in the status block's task; one mutex guards
// the table and the masks. Masks carry bit PID - 1; only PIDs 1 to 64 take part in them.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr int SB_VERSION_SLOTS = 10;
inline constexpr size_t SB_VERSION_TEXT_LEN = 32;
inline constexpr uint16_t SB_VERSION_FREE = 0xFFFF;

// The fuel-consumption master's bit when that is another device, else 0.
extern std::atomic<uint64_t> ALL_LAPSTACK_CONTROLLERS;

// Start-up, at the status block's place: registers the three handlers, empties the version table
// (the own PID counts as answered) and sets ALL_LAPSTACK_CONTROLLERS from cfg_system.
void sb_info_ini();

// This device's version text: the program identifier, for PIDs 40 to 47 behind the device's
// position ("FL ", "FR ", "RL ", "RR ", "F ", "R ", "C ", "GB "), cut to 31 characters and padded
// with NUL to 32 bytes.
void sb_version_text(uint16_t pid, char text[SB_VERSION_TEXT_LEN]);

// Sends the version request (0x0F00) to a PID; the result of comint_put_cmd.
uint16_t ci_send_version_info_req(uint16_t pid);
void ci_get_version_info_req(comint_msg* message);   // 0x0F00: answers 0x0F01 with the own text
void ci_get_version_info_reply(comint_msg* message); // 0x0F01: the sender's text into the table
void ci_get_lapstack_info(comint_msg* message);      // 0x0F04: the fuel-consumption master's fuel
void ci_send_lapstack_info();                        // this device never sends 0x0F04
// One pass of version requests to the connected devices that have not answered. Returns 0.
int sb_check_vers_info();
// The status-block task's mode: in fast mode only the first pass of a fast period sends requests.
void sb_check_vers_info_mode(bool fast);

// A lap event: the lap-stack request masks start again.
void sb_lapinfo_lap_event();

// Copy of the version table for the status blocks (page 01: text of slot i at 32 + 32 i).
struct sb_version_table {
    uint16_t pid[SB_VERSION_SLOTS];
    char text[SB_VERSION_SLOTS][SB_VERSION_TEXT_LEN];
    uint64_t requested;
    uint64_t answered;
};
sb_version_table sb_version_get();
