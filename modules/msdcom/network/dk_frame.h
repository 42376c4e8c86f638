// The DK frame: a measurement record on its way to the FIFO of a peer. On the TCP data link and
// back to back inside a UDP datagram of at most 1472 bytes; big-endian.
//   u16 destination PID, u16 record length, u32 handle number of the destination FIFO, record.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t DK_HEADER_SIZE = 8;
inline constexpr size_t DK_DATAGRAM_MAX = 1472;

struct DkHeader {
    uint16_t pid;
    uint16_t length;
    uint32_t handle;
};

void dk_encodeHeader(const DkHeader& h, uint8_t out[DK_HEADER_SIZE]);
DkHeader dk_decodeHeader(const uint8_t in[DK_HEADER_SIZE]);

// Walks the frames of one datagram. For each frame that fits completely, `frame` is called with
// its header and record; the walk stops at the first header or record that would run past the
// datagram's end and reports that as false (the frames before it were delivered).
template <class Fn> bool dk_walkDatagram(const uint8_t* data, size_t n, Fn&& frame) {
    size_t pos = 0;
    while (pos < n) {
        if (n - pos < DK_HEADER_SIZE) return false;
        const DkHeader h = dk_decodeHeader(data + pos);
        pos += DK_HEADER_SIZE;
        if (n - pos < h.length) return false;
        frame(h, data + pos);
        pos += h.length;
    }
    return true;
}
