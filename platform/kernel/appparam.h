// The application parameter block the kernel-side device manager serves per application index.
//
// How the host differs from the device:
// - The device manager holds the blocks in its own configuration. Here every index has defaults
//   that let two processes run side by side on one machine (own PID, own loopback address), and
//   the file "appparam-<index>.conf" in the device root may override any field.
// - The file also maps the serial ports (serial.h), which the device wires in hardware, and bounds
//   the log file the host's log reader writes (syslogq.h), which the device's log process keeps.
//
// File format: one "key = value" per line, blank lines, comments from '#' at the start of a line
// or after a blank. Keys:
//   pid, pid.0, pid.1        own PID, PID of application 0 and 1 (0..63; pid is pid.<index>)
//   core_affinity            processor mask, not 0
//   boot_counter_base        base boot counter
//   ip_address, ip_mask      dotted IPv4; the mask contiguous
//   json_receiver            dotted IPv4 of the pit's status receiver (default 127.0.0.1)
//   xcp_port                 1..65535
//   port_offset              DivoVur2 port offset (the highest port, 9861 + offset, must exist)
//   ccp_enable               0 or 1
//   home_dir, nv_dir         folders; relative to the device root unless absolute
//   serial.tyCo0, serial.tyCo1   pty | file:<path> | fifo:<path>
//   log_file_size            bytes per log file, one older file kept (4096..1 GiB, default 4 MiB)
// Numbers are decimal or 0x-hexadecimal. A key given twice, an unknown key (the error lists the
// keys), a bad value or a line longer than APPPARAM_MAX_LINE characters refuses the whole file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/board/serial.h"

inline constexpr int APPPARAM_APPS = 2;
inline constexpr uint16_t APPPARAM_MAX_PID = 63;
inline constexpr size_t APPPARAM_MAX_LINE = 256;
inline constexpr uint32_t APPPARAM_LOG_FILE_MIN = 4096;
inline constexpr uint32_t APPPARAM_LOG_FILE_MAX = 1u << 30;

struct AppParam {
    uint16_t pid;
    uint32_t coreAffinity; // bit n = processor n
    uint32_t baseBootCounter;
    uint32_t ipAddress;        // host byte order
    uint32_t ipMask;           // host byte order
    std::string ipAddressText; // dotted
    std::string ipMaskText;
    uint32_t jsonReceiver; // host byte order
    uint16_t xcpPort;
    uint16_t bc2PortOffset; // DivoVur2 port offset
    bool ccpEnable;
    std::string homeDir;
    std::string nvDir;
    uint16_t pids[APPPARAM_APPS]; // PIDs of all applications, by index; pids[index] == pid
    SerialPortMap serial[SERIAL_PORTS];
    uint32_t logFileSize; // bytes per log file
};

// The defaults of an index for a device root.
AppParam appparam_defaults(int index, const std::string& deviceRoot);
// Defaults overridden by "<deviceRoot>/appparam-<index>.conf" when it exists. False, with the
// file, line and reason in `error`, for a bad index or a damaged file; `out` is then untouched.
bool appparam_load(int index, const std::string& deviceRoot, AppParam* out, std::string* error);
