// The DivoVur2 presence record: 60 bytes, big-endian, the same layout sent and received. It is
// kept as 15 words in wire order so that the listener, the sender and the link tasks can update
// single fields (mask bits above all) without a lock and without tearing a word.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr size_t BC2_REC_SIZE = 60;

// Field offsets.
enum : size_t {
    BC2_REC_ADDR = 0,
    BC2_REC_PID = 10,
    BC2_REC_TIMEOUT = 12,
    BC2_REC_HEARD = 24,
    BC2_REC_CIMASK = 32,
    BC2_REC_DKMASK = 40,
    BC2_REC_PERIOD = 48,
    BC2_REC_SEQ = 52,
    BC2_REC_VERSION = 56,
    BC2_REC_PORTOFF = 58,
};

// Shortest record taken from the network at all, and the lengths from which version and port
// offset are read; a shorter record counts as version 0x0200 with port offset 0.
inline constexpr size_t BC2_REC_MIN = 56;
inline constexpr size_t BC2_REC_WITH_VERSION = 58;
inline constexpr size_t BC2_REC_WITH_PORTOFF = 60;

inline constexpr uint16_t BC2_VERSION = 0x0204;
inline constexpr uint16_t BC2_VERSION_OLDEST = 0x0200;

class Bc2Record {
public:
    void clear();
    // Copies `n` received bytes (at most 60) and zeroes the rest.
    void assign(const uint8_t* bytes, size_t n);
    void copyOut(uint8_t out[BC2_REC_SIZE]) const;

    uint16_t u16(size_t off) const;
    uint32_t u32(size_t off) const;
    uint64_t u64(size_t off) const;
    void setU16(size_t off, uint16_t v);
    void setU32(size_t off, uint32_t v);
    void setU64(size_t off, uint64_t v);
    // Bit p of the 64-bit mask at `off`; single-word atomic updates.
    bool bit(size_t off, unsigned p) const;
    void setBit(size_t off, unsigned p);
    void clearBit(size_t off, unsigned p);
    uint32_t incrementU32(size_t off); // returns the new value

private:
    std::atomic<uint32_t>& word(size_t off, unsigned p);
    std::atomic<uint32_t> w_[BC2_REC_SIZE / 4]{};
};

// Byte-level helpers shared by the codecs (big-endian).
inline uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void putBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// What a received presence datagram says, after the length rules above.
struct Bc2Presence {
    uint16_t pid;
    uint16_t version;
    uint16_t portOffset;
    uint32_t timeoutMs;
    uint32_t seq;
};
// False for a datagram too short to be a record.
bool bc2_parsePresence(const uint8_t* bytes, size_t n, Bc2Presence* out);
