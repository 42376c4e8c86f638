#include "measdata/crc.h"

#include <array>

namespace {

template <typename T, T Poly> constexpr std::array<T, 256> makeReflectedTable() {
    std::array<T, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        T crc = static_cast<T>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<T>((crc >> 1) ^ Poly) : static_cast<T>(crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr auto kCrc16Table = makeReflectedTable<uint16_t, 0x8408>();
constexpr auto kCrc32Table = makeReflectedTable<uint32_t, 0xEDB88320u>();

} // namespace

uint16_t crc16_ccitt_lsb_accu(const void* data, size_t length, uint16_t seed) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint16_t crc = seed;
    if (p == nullptr) {
        return crc;
    }
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(kCrc16Table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8));
    }
    return crc;
}

uint32_t crc32_bsd(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t crc = 0;
    if (p == nullptr) {
        return crc;
    }
    for (size_t i = 0; i < length; ++i) {
        crc = kCrc32Table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc;
}
