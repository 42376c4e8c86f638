#include "lap_peer.h"

#include "app_process.h"
#include "bytes.h"
#include "caldataset.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lape2e {

LapPeer::LapPeer(const char* address) {
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock_ < 0) return;
    const int on = 1;
    setsockopt(sock_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    ip_mreq m{};
    inet_pton(AF_INET, "239.239.239.201", &m.imr_multiaddr);
    inet_pton(AF_INET, address, &m.imr_interface);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(9870);
    if (setsockopt(sock_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0 ||
        bind(sock_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        close(sock_);
        sock_ = -1;
    }
}

LapPeer::~LapPeer() {
    if (sock_ >= 0) close(sock_);
}

bool LapPeer::nextEvent(HeardLap* lap, int timeoutMs) {
    using namespace testsupport;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{sock_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return false;
        uint8_t d[600];
        const ssize_t n = recv(sock_, d, sizeof d, 0);
        // CI header: reserved, length, source, destination, two context words, command, reserved.
        if (n < 36 || get16(d + 16) != 0x1200 || get32(d + 20) != 0xFFFFFFFF) continue;
        *lap = {get16(d + 4), get32(d + 20), get32(d + 24), get32(d + 28), get16(d + 32), get16(d + 34)};
        return true;
    }
}

bool configureMaster(const std::string& root, const std::string& index, uint16_t pid,
                     const std::string& channels, std::string* why) {
    using namespace testsupport;
    std::string program, pageLength, log;
    if (!learnDatasetIdentity(root, index, &program, &pageLength, &log)) {
        *why = log;
        return false;
    }
    // The identity run leaves its counters and its log.
    std::filesystem::remove_all(root + (index == "0" ? "/nv" : "/nv" + index));
    std::filesystem::remove(root + "/log/syslog-" + index + ".log");
    caldata::CalDataset data;
    data.set("DEVICE_CONFIG", 0, double(uint32_t(pid) << 8)); // its own lap-trigger master
    if (!caldata::writeDataset(root, data.file(program))) {
        *why = "dataset not written";
        return false;
    }
    std::string out;
    if (runVcconfig(root, channels, &out) != 0) {
        *why = out;
        return false;
    }
    return true;
}

} // namespace lape2e
