// The records the lap-trigger sender and the handlers share.
#pragma once

#include <atomic>
#include <cstdint>

#include "laptiming/laptrigger.h"

namespace laptrg {

// Master record (sender side).
struct Master {
    std::atomic<uint32_t> laptime{0};   // 1/100 s
    std::atomic<uint32_t> timestamp{0}; // of the last lap event or update sent
    std::atomic<uint16_t> outing{0};
    std::atomic<uint16_t> lap{0};
    std::atomic<uint8_t> valid{0};
};
// Receiver record (every device).
struct Receiver {
    std::atomic<uint32_t> laptimeOld{0};
    std::atomic<uint16_t> outing{0};
    std::atomic<uint16_t> lap{0};
    std::atomic<uint32_t> timestamp{0}; // of the last lap event
};

// Last status reply (timestamp_periodstatblk) and whether one was sent at all.
struct StatusReply {
    std::atomic<uint32_t> last{0};
    std::atomic<bool> sent{false};
};

// Whether a status reply may go out now: the first always, then one per LAPTRIGGER_STATUS_INTERVAL,
// measured as a difference so that the time stamp's wrap changes nothing.
bool statusDue(bool sent, uint32_t last, uint32_t now);

Master& master();
Receiver& receiver();
StatusReply& statusReply();

// Sends a lap message to every target.
void sendLapMessage(uint32_t code, uint32_t timestamp, uint32_t laptime, uint16_t lap, uint16_t outing);

} // namespace laptrg
