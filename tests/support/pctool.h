// A PC tool on the vehicle network, written from the byte layouts of the network alone: it hears a
// device's presence record, announces itself, opens the CI and DK links to the device (the device's
// address is the larger one, so the tool connects), sends CI messages and reads CI answers and DK
// frames, over the TCP data link or as UDP datagrams.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PcTool {
public:
    // The tool's PID and address (on loopback, inside a private network namespace) and the PID of
    // the device it talks to.
    PcTool(uint16_t toolPid, const char* toolAddress, uint16_t devicePid);
    ~PcTool();
    PcTool(const PcTool&) = delete;
    PcTool& operator=(const PcTool&) = delete;

    // Waits for a presence record of `pid`; gives its address, version and port offset.
    bool hear(uint16_t pid, std::string* address, uint16_t* version, uint16_t* offset, int timeoutMs);
    // Sends the tool's presence record every 200 ms (naming the device as linked once it is).
    void announce();
    // Opens the CI and the DK link; both or none (then it may be tried again).
    bool link(const std::string& device, uint16_t offset);

    bool sendCi(uint16_t cmd, uint32_t ctx, uint32_t rctx, const std::vector<uint8_t>& payload);
    // The same with another source PID in the header (a message forwarded for another device).
    bool sendCiAs(uint16_t src, uint16_t cmd, uint32_t ctx, uint32_t rctx,
                  const std::vector<uint8_t>& payload);
    // The next CI message with command `cmd` (others, such as state polls, are passed over).
    bool receiveCi(uint16_t cmd, std::vector<uint8_t>* msg, int timeoutMs);
    // One DK frame from the TCP data link: destination PID, handle, record.
    bool receiveDk(uint16_t* dst, uint32_t* handle, std::vector<uint8_t>* record, int timeoutMs);
    // One DK frame that came as part of a UDP datagram to the tool's DK port (9852).
    bool receiveDkUdp(uint16_t* dst, uint32_t* handle, std::vector<uint8_t>* record, int timeoutMs);
    // DK frames to the device: over the TCP data link, or as one datagram from the tool's DK send
    // port (9853) to the device's DK port (9852 + offset).
    bool sendDk(const std::vector<uint8_t>& frames);
    bool sendDkUdp(const std::string& device, uint16_t offset, const std::vector<uint8_t>& datagram);

    uint16_t pid() const { return toolPid_; }
    const std::string& address() const { return toolAddr_; }

private:
    void keepBusy();
    int connectFrom(uint16_t localPort, const std::string& device, uint16_t port) const;

    const uint16_t toolPid_;
    const std::string toolAddr_;
    const uint16_t devPid_;
    int presTx_ = -1, presRx_ = -1, ci_ = -1, dk_ = -1, dkUdp_ = -1, dkUdpTx_ = -1;
    std::mutex ciSend_, dkSend_;
    std::atomic<bool> linked_{false};
    std::atomic<bool> stop_{false};
    std::thread announcer_;
    std::deque<std::vector<uint8_t>> udpFrames_;
};

// Hears the device's presence, announces the tool and opens both links once the device has added
// the tool as a peer; `deviceLog` reads the device's system log. The version of the device's
// presence record goes to `version`. False with the reason in `why`.
bool linkToDevice(PcTool& tool, uint16_t devicePid, const std::function<std::string()>& deviceLog,
                  uint16_t* version, std::string* why);

// Payload of a measurement request by names (0x0510).
std::vector<uint8_t> nameRequest(uint16_t raster, uint16_t divisor, uint16_t depth, uint16_t flags,
                                 const std::vector<std::string>& names);

} // namespace testsupport
