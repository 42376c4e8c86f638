// The records the store driver hands over for one file, byte for byte, as they must follow the
// file's header: shared by the driver and the tests that check its files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace storedriver {

// Frame i: block 1 or 2, one sample, `payload` bytes that tell the frames apart.
inline std::vector<uint8_t> frame(int i, int payload) {
    std::vector<uint8_t> fr(4 + size_t(payload));
    fr[0] = uint8_t(1 + i % 2);
    fr[1] = 1;
    fr[2] = uint8_t(payload >> 8);
    fr[3] = uint8_t(payload);
    for (int k = 0; k < payload; ++k) fr[4 + size_t(k)] = uint8_t((i * 7 + k) & 0xFF);
    return fr;
}

// The event record that follows frame i, when one does (payload only).
inline bool eventAfter(int i, std::vector<uint8_t>* payload) {
    if (i % 50 != 25) return false;
    *payload = {uint8_t(i >> 8), uint8_t(i), 0xEE, 0xEE};
    return true;
}

// Everything behind the header of a file of `frames` frames; frameEnds[i] = end of frame i.
inline std::vector<uint8_t> records(int frames, int payload, std::vector<size_t>* frameEnds) {
    std::vector<uint8_t> out;
    for (int i = 0; i < frames; ++i) {
        const auto fr = frame(i, payload);
        out.insert(out.end(), fr.begin(), fr.end());
        if (frameEnds) frameEnds->push_back(out.size());
        std::vector<uint8_t> ev;
        if (eventAfter(i, &ev)) {
            const uint8_t head[6] = {0xFF, 6, 0, 0, 0, uint8_t(ev.size())};
            out.insert(out.end(), head, head + 6);
            out.insert(out.end(), ev.begin(), ev.end());
        }
    }
    return out;
}

} // namespace storedriver
