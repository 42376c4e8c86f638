// What the store driver hands over, shared by the driver and the tests that read its files back:
// per file, frames of 10 records each, alternately of block 1 (4 value bytes) and block 2 (8 value
// bytes), and an event record after every 50th frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace storedriver {

inline constexpr int kRecordsPerFrame = 10;
inline constexpr uint32_t kRecordSize[3] = {0, 8, 12}; // by block id: time stamp + values

inline uint8_t blockOf(int frame) {
    return uint8_t(1 + frame % 2);
}

// Record k of frame i of file f: big-endian time stamp, then its values.
inline std::vector<uint8_t> record(int f, int i, int k) {
    const uint32_t ts = 100000u * uint32_t(f + 1) + uint32_t(i) * 100 + uint32_t(k) * 10;
    const uint8_t block = blockOf(i);
    std::vector<uint8_t> r = {uint8_t(ts >> 24), uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts)};
    for (uint32_t v = 0; v < kRecordSize[block] - 4; ++v) r.push_back(uint8_t(v < 2 ? i * 3 + k : v * block));
    return r;
}

inline uint32_t stampOf(const std::vector<uint8_t>& r) {
    return uint32_t(r[0]) << 24 | uint32_t(r[1]) << 16 | uint32_t(r[2]) << 8 | r[3];
}

// The event record after frame i, when there is one.
inline bool eventAfter(int i, std::vector<uint8_t>* payload) {
    if (i % 50 != 25) return false;
    *payload = {uint8_t(i >> 8), uint8_t(i), 0xEE, 0xEE};
    return true;
}

} // namespace storedriver
