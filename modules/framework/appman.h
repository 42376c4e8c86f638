// Identity of this application: index, parameter block, PID, address, boot counter, and the
// status exchange with the companion process.
#pragma once

#include "platform/kernel/appparam.h"

#include <cstdint>
#include <string>

extern int RtpIndex;            // 0 or 1, fixed for the run
extern uint16_t app_pid;        // this device's PID
extern char device_ip_addr[16]; // this device's IPv4 address as dotted text

// Start-up: reads the parameter block of `rtpIndex` from the kernel side. False with the reason.
bool appman_init(int rtpIndex, std::string* error);
const AppParam& appman_params();

uint16_t AppMan_getBC2PortOffset();
uint32_t AppMan_getIpAddr(); // host order
uint32_t AppMan_getIpMask(); // host order

// Start-up (after the NV store): counts the boot counter up by one and keeps it in NV. False (and
// logged) when it cannot be stored: the start must not go on, or its number would come again.
bool boot_count_init();
uint32_t boot_count_get();

// Start-up: opens the shared status memory with the companion process.
bool applComm_init();
void applComm_close();
uint8_t applComm_getLaptrigPID();
uint8_t applComm_getFuelconsPID();
