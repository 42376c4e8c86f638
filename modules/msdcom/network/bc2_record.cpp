#include "msdcom/network/bc2_record.h"

#include <cstring>

namespace {
// A word holds four wire bytes in memory order, whatever the host's byte order.
uint32_t packWire(const uint8_t* b) {
    uint32_t w;
    std::memcpy(&w, b, 4);
    return w;
}
void unpackWire(uint32_t w, uint8_t* b) {
    std::memcpy(b, &w, 4);
}
uint32_t wireOfBe32(uint32_t v) {
    uint8_t b[4];
    putBe32(b, v);
    return packWire(b);
}
} // namespace

void Bc2Record::clear() {
    for (auto& w : w_) w.store(0, std::memory_order_relaxed);
}

void Bc2Record::assign(const uint8_t* bytes, size_t n) {
    uint8_t buf[BC2_REC_SIZE] = {};
    std::memcpy(buf, bytes, n < BC2_REC_SIZE ? n : BC2_REC_SIZE);
    for (size_t i = 0; i < BC2_REC_SIZE / 4; ++i)
        w_[i].store(packWire(buf + 4 * i), std::memory_order_relaxed);
}

void Bc2Record::copyOut(uint8_t out[BC2_REC_SIZE]) const {
    for (size_t i = 0; i < BC2_REC_SIZE / 4; ++i)
        unpackWire(w_[i].load(std::memory_order_relaxed), out + 4 * i);
}

uint16_t Bc2Record::u16(size_t off) const {
    uint8_t b[4];
    unpackWire(w_[off / 4].load(std::memory_order_relaxed), b);
    return be16(b + (off & 3));
}

uint32_t Bc2Record::u32(size_t off) const {
    uint8_t b[4];
    unpackWire(w_[off / 4].load(std::memory_order_relaxed), b);
    return be32(b);
}

uint64_t Bc2Record::u64(size_t off) const {
    return uint64_t(u32(off)) << 32 | u32(off + 4);
}

void Bc2Record::setU16(size_t off, uint16_t v) {
    // Half-word fields share their word with a neighbour; only one task writes either half.
    std::atomic<uint32_t>& w = w_[off / 4];
    uint8_t b[4];
    unpackWire(w.load(std::memory_order_relaxed), b);
    putBe16(b + (off & 3), v);
    w.store(packWire(b), std::memory_order_relaxed);
}

void Bc2Record::setU32(size_t off, uint32_t v) {
    w_[off / 4].store(wireOfBe32(v), std::memory_order_relaxed);
}

void Bc2Record::setU64(size_t off, uint64_t v) {
    setU32(off, uint32_t(v >> 32));
    setU32(off + 4, uint32_t(v));
}

std::atomic<uint32_t>& Bc2Record::word(size_t off, unsigned p) {
    return w_[(off + (p < 32 ? 4 : 0)) / 4];
}

bool Bc2Record::bit(size_t off, unsigned p) const {
    if (p >= 64) return false;
    return (u64(off) >> p) & 1u;
}

void Bc2Record::setBit(size_t off, unsigned p) {
    if (p < 64) word(off, p).fetch_or(wireOfBe32(1u << (p & 31)), std::memory_order_relaxed);
}

void Bc2Record::clearBit(size_t off, unsigned p) {
    if (p < 64) word(off, p).fetch_and(~wireOfBe32(1u << (p & 31)), std::memory_order_relaxed);
}

uint32_t Bc2Record::incrementU32(size_t off) {
    const uint32_t v = u32(off) + 1;
    setU32(off, v);
    return v;
}

bool bc2_parsePresence(const uint8_t* bytes, size_t n, Bc2Presence* out) {
    if (!bytes || n < BC2_REC_MIN) return false;
    out->pid = be16(bytes + BC2_REC_PID);
    out->timeoutMs = be32(bytes + BC2_REC_TIMEOUT);
    out->seq = be32(bytes + BC2_REC_SEQ);
    out->version = n >= BC2_REC_WITH_VERSION ? be16(bytes + BC2_REC_VERSION) : BC2_VERSION_OLDEST;
    out->portOffset =
        (n >= BC2_REC_WITH_PORTOFF && out->version >= 0x0202) ? be16(bytes + BC2_REC_PORTOFF) : 0;
    return true;
}
