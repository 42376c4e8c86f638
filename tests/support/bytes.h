// Big-endian fields as they travel on the vehicle network and in the device's files.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace testsupport {

inline void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
inline void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, uint16_t(x >> 16));
    put16(v, uint16_t(x));
}
inline void set32(uint8_t* p, uint32_t x) {
    p[0] = uint8_t(x >> 24);
    p[1] = uint8_t(x >> 16);
    p[2] = uint8_t(x >> 8);
    p[3] = uint8_t(x);
}
inline uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t get32(const uint8_t* p) {
    return uint32_t(get16(p)) << 16 | get16(p + 2);
}
inline float getFloat(const uint8_t* p) {
    const uint32_t bits = get32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

} // namespace testsupport
