// An input of the lap-function and fuel channels: one measurement value of any device, received
// through the measurement gateway as a single-value subscription and converted by a rational
// function, (a x^2 + b x + c) / (d x^2 + e x + f).
//
// The gateway's raster task stores each value as it comes; the model's tasks read the latest one.
// A value is valid from its first record until the device stops delivering (time-out, offline)
// or the conversion is undefined.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// 32 bytes in a channel's configuration payload (host order):
//   0  u32  measurement address; only the low 24 bits count (0 = input not configured)
//   4  u16  PID of the device that holds the value (0 = this device)
//   6  u8   raw data type code 0..7 (0 s8, 1 u8, 2 s16, 3 u16, 4 s32, 5 u32, 6 f32, 7 flag)
//   7  u8   reserved, 0
//   8  f32  a, b, c, d, e, f of the conversion (identity: 0, 1, 0, 0, 0, 1)
struct awm_input_cfg {
    uint32_t address = 0;
    uint16_t pid = 0;
    uint8_t type = 0;
    uint8_t reserved = 0;
    float coef[6] = {0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f};
};
static_assert(sizeof(awm_input_cfg) == 32);

class AwmInput {
public:
    bool configured() const { return cfg_.address != 0; }
    // Subscribes at raster index `raster`; false (logged with `owner` and `name`) when the input
    // cannot be subscribed. An input that is not configured does nothing and gives true.
    bool start(const awm_input_cfg& cfg, uint16_t raster, const char* owner, const char* name);
    // Ends the subscription; the input is not configured afterwards.
    void stop();
    // The converted value; false when there is none.
    bool read(double* value) const;
    // The converted value as it stood at device time `ns` (hostclock_nowNs): the last value that had
    // come by then. Enough changes are kept for a pass that runs as late as the clock hands out late
    // ticks. False when there is none: none had come, or every change kept came after `ns`.
    bool readAsOf(uint64_t ns, double* value) const;

    // From the gateway: one value, big-endian at the type's width; the device stopped delivering.
    void put(const uint8_t* value);
    void lost();
    const char* owner() const { return owner_; }
    const char* name() const { return name_; }
    uint32_t address() const { return cfg_.address; }
    uint16_t pid() const { return pid_; }

private:
    awm_input_cfg cfg_{};
    const char* owner_ = "";
    const char* name_ = "";
    uint16_t pid_ = 0;
    uint32_t subscription_ = 0;
    std::atomic<uint32_t> raw_{0};
    std::atomic<bool> fresh_{false};
    // The last changes of the value and the device time each came, newest at `newest_`; as many as
    // start() sizes for the input's raster.
    struct Change {
        uint32_t raw;
        uint64_t at;
    };
    mutable std::mutex changesLock_;
    std::vector<Change> changes_;
    int changeCount_ = 0, newest_ = 0;
};

// Bytes of a value of a raw type code (flag 1); 0 for an unknown code.
uint32_t awm_input_width(uint8_t type);
// Raw value to the converted value; false when the conversion is undefined (denominator 0 or a
// result that is not finite).
bool awm_input_convert(const awm_input_cfg& cfg, uint32_t raw, double* value);
// Drops the gateway connection of the inputs (after every input was stopped).
void awm_input_disconnect();
