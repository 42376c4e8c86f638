// CI message (`comint_msg`): the one message format between tasks and devices. A 20-byte header
// of big-endian fields followed by the payload; the same bytes on the wire and in memory, so a
// message received from a link is used in place and each handler converts the fields it reads.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t CI_HDR_LEN = 20;
inline constexpr uint16_t CI_PAYLOAD_MAX_QUEUE = 492; // one command-queue slot is 512 bytes
inline constexpr uint16_t CI_PAYLOAD_MAX_LINK = 504;  // the most a CI link accepts
inline constexpr size_t CI_SLOT_LEN = CI_HDR_LEN + CI_PAYLOAD_MAX_QUEUE;
inline constexpr uint16_t CI_PID_ALL = 0xFFFE; // destination: every device

// Header fields in network order, exactly as they travel. Use the accessors below.
struct comint_msg {
    uint16_t reserved0;
    uint16_t len; // payload bytes after the header
    uint16_t src;
    uint16_t dst;
    uint32_t ctx;
    uint32_t rctx;
    uint16_t cmd;
    uint16_t reserved1;
    uint8_t data[CI_PAYLOAD_MAX_LINK];
};
static_assert(offsetof(comint_msg, data) == CI_HDR_LEN, "CI header is 20 bytes");
static_assert(sizeof(comint_msg) == CI_HDR_LEN + CI_PAYLOAD_MAX_LINK, "no padding");

// Big-endian fields of payloads and headers.
inline uint16_t ci_get16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t ci_get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void ci_put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void ci_put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Header words, host order.
inline uint16_t ci_swap16(uint16_t v) {
    return uint16_t((v >> 8) | (v << 8));
}
inline uint32_t ci_swap32(uint32_t v) {
    return __builtin_bswap32(v);
}
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the host layer runs on little-endian machines");

inline uint16_t ci_len(const comint_msg* m) {
    return ci_swap16(m->len);
}
inline uint16_t ci_src(const comint_msg* m) {
    return ci_swap16(m->src);
}
inline uint16_t ci_dst(const comint_msg* m) {
    return ci_swap16(m->dst);
}
inline uint32_t ci_ctx(const comint_msg* m) {
    return ci_swap32(m->ctx);
}
inline uint32_t ci_rctx(const comint_msg* m) {
    return ci_swap32(m->rctx);
}
inline uint16_t ci_cmd(const comint_msg* m) {
    return ci_swap16(m->cmd);
}
inline void ci_set_len(comint_msg* m, uint16_t v) {
    m->len = ci_swap16(v);
}
inline void ci_set_src(comint_msg* m, uint16_t v) {
    m->src = ci_swap16(v);
}
inline void ci_set_dst(comint_msg* m, uint16_t v) {
    m->dst = ci_swap16(v);
}
inline void ci_set_ctx(comint_msg* m, uint32_t v) {
    m->ctx = ci_swap32(v);
}
inline void ci_set_rctx(comint_msg* m, uint32_t v) {
    m->rctx = ci_swap32(v);
}
inline void ci_set_cmd(comint_msg* m, uint16_t v) {
    m->cmd = ci_swap16(v);
}

// The whole header in host order.
struct ci_header {
    uint16_t len = 0;
    uint16_t src = 0;
    uint16_t dst = 0;
    uint32_t ctx = 0;
    uint32_t rctx = 0;
    uint16_t cmd = 0;
};
ci_header ci_get_header(const comint_msg* m);
// Writes every header word; the reserved words become 0.
void ci_set_header(comint_msg* m, const ci_header& h);
// Starts a new message: header as given, reserved words 0. The payload is the caller's.
void ci_init(comint_msg* m, uint16_t cmd, uint16_t src, uint16_t dst, uint32_t ctx, uint32_t rctx,
             uint16_t len);

// Bytes of the message on the wire (header plus payload).
inline size_t ci_wire_len(const comint_msg* m) {
    return CI_HDR_LEN + ci_len(m);
}

// Copies `n` received bytes into `out` as a message. False (nothing copied) when the bytes are
// shorter than a header, the payload length exceeds CI_PAYLOAD_MAX_LINK or the bytes do not hold
// the whole payload; bytes after the payload are ignored.
bool ci_from_bytes(const void* bytes, size_t n, comint_msg* out);
