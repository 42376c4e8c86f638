// The lap end-to-end tests' side of the vehicle network and the device root: a peer that hears the
// lap messages (CI 0x1200) on the CI multicast, and a device root whose device is its own
// lap-trigger master with the channels that vcconfig writes from their text form.
#pragma once

#include <cstdint>
#include <string>

namespace lape2e {

struct HeardLap {
    uint16_t src;
    uint32_t code, timestamp, laptime; // laptime in 1/100 s
    uint16_t lap, outing;
};

class LapPeer {
public:
    // Joins the CI multicast group on the interface of `address` (loopback inside a private
    // network namespace).
    explicit LapPeer(const char* address);
    ~LapPeer();
    LapPeer(const LapPeer&) = delete;
    LapPeer& operator=(const LapPeer&) = delete;
    bool ok() const { return sock_ >= 0; }
    // The next lap event (code 0xFFFFFFFF); other datagrams are passed over.
    bool nextEvent(HeardLap* lap, int timeoutMs);

private:
    int sock_ = -1;
};

// Writes the dataset of application `index` with DEVICE_CONFIG naming the device (`pid`) its own
// lap-trigger master, then the channels with vcconfig. False with the reason.
bool configureMaster(const std::string& root, const std::string& index, uint16_t pid,
                     const std::string& channels, std::string* why);

} // namespace lape2e
