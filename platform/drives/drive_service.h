// The kernel side's drive service: whether a drive is usable now (the system call 0xA86), and the
// re-format of a logging partition on request through the named queues "/MeasAppFormat" and
// "/MeasAppFormatAck".
//
// How the host differs from the device: a drive is usable when its state file (drive_state.h)
// marks it present and, for "usb_meas:", inserted; the status word comes from the same file. A
// format empties the drive's folder and starts its state afresh (no attributes, no D flag) with the
// new directory size. The request carries the size in blocks of 340 entries, which cannot give the
// configured count back; the kernel side reads that count from the calibration dataset it keeps,
// which the host reaches through the lookup given at the start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

inline constexpr int DRIVESVC_SYSCALL_AVAILABLE = 0xA86;
inline constexpr const char* DRIVESVC_FORMAT_QUEUE = "/MeasAppFormat";
inline constexpr const char* DRIVESVC_FORMAT_ACK_QUEUE = "/MeasAppFormatAck";
inline constexpr size_t DRIVESVC_FORMAT_MSG = 17; // u8 blocks, 16 bytes drive name
inline constexpr uint32_t DRIVESVC_BLOCK_ENTRIES = 340;

// The system call 0xA86: 1 when the drive is usable, else 0. `internalMark` is 1 for a drive on
// the internal flash (recorded, not needed here); `statusWord` (may be null) gets the drive's
// status word.
int drivesvc_available(const char* drive, uint32_t internalMark, uint32_t* statusWord);

// The configured directory size of a drive ("meas:"), read from the calibration dataset; false
// when the dataset has none for it (then the size is blocks × 340).
using DriveConfiguredSize = std::function<bool(const char* drive, uint32_t* entries)>;

// Creates the two queues and starts the service's thread (once); false when either fails.
bool drivesvc_start(DriveConfiguredSize configuredSize);
// Ends the thread (a request under way is finished first).
void drivesvc_stop();
// Formats a drive as a request of `blocks` would; host and tests. False for an unknown drive or
// a folder that cannot be emptied.
bool drivesvc_format(const char* drive, uint8_t blocks);
// Format requests answered since the start (host and tests).
uint32_t drivesvc_formatCount();
// True while no format request waits in the queue or is being served (tests on the hand-driven
// clock hold the time while a request is under way, as the device's service answers at once).
bool drivesvc_idle();
