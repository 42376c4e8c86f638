// A PC tool asks the running device for live values by name. The tool is written from the byte
// layouts of the network alone: it hears the device's presence record, opens the CI and DK links,
// sends a name request (0x0510) at the 10 ms raster, reads the record layout from the answer
// (0x0511) and then the records from the DK link, and stops the list (0x0512). The values are the
// ones the test put into the calibration dataset of the device root and the device's own
// application index.
#include "app_process.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::AppProcess;
using testsupport::TempDir;

namespace {

constexpr uint16_t TOOL_PID = 40;
constexpr const char* TOOL_ADDR = "127.0.0.40";
constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";

// ---------------------------------------------------------------------------------------------
// Bytes

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, uint16_t(x >> 16));
    put16(v, uint16_t(x));
}
void set32(uint8_t* p, uint32_t x) {
    p[0] = uint8_t(x >> 24);
    p[1] = uint8_t(x >> 16);
    p[2] = uint8_t(x >> 8);
    p[3] = uint8_t(x);
}
uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(get16(p)) << 16 | get16(p + 2);
}
float getFloat(const uint8_t* p) {
    const uint32_t bits = get32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    return testsupport::waitUntil(pred, timeoutMs);
}

// ---------------------------------------------------------------------------------------------
// The calibration dataset of the device root: header, CRC-16/MCRF4XX, and the data page laid out
// from the variable list (members in list order, natural alignment) with the list's defaults.

struct Variable {
    std::string type;
    uint32_t count = 1;
    uint32_t code = 0;
    float sens = 1, offset = 0;
    uint32_t at = 0; // data page offset (calibration values)
};

uint32_t sizeOfType(const std::string& t) {
    if (t == "uint8_t" || t == "int8_t" || t == "char") return 1;
    if (t == "uint16_t" || t == "int16_t") return 2;
    return 4; // uint32_t, int32_t, float
}

std::vector<std::string> splitArgs(const std::string& inside) {
    std::vector<std::string> out;
    std::stringstream ss(inside);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        out.push_back(item);
    }
    return out;
}

class CalDataset {
public:
    CalDataset() {
        std::map<std::string, uint32_t> constants;
        std::istringstream layout(
            testsupport::readFile(testsupport::sourceDir() + "/modules/measdata/seram_layout.h"));
        std::string line;
        const std::string lead = "inline constexpr size_t ";
        while (std::getline(layout, line)) {
            // inline constexpr size_t SERAM_N_CAN = 4; // ...
            if (line.rfind(lead + "SERAM_N_", 0) != 0) continue;
            const size_t eq = line.find(" = ");
            constants[line.substr(lead.size(), eq - lead.size())] = uint32_t(std::stoul(line.substr(eq + 3)));
        }
        std::istringstream def(
            testsupport::readFile(testsupport::sourceDir() + "/modules/measdata/seram_vars.def"));
        uint32_t at = 0;
        uint32_t align = 1;
        while (std::getline(def, line)) {
            const bool cal = line.rfind("MSD_CAL(", 0) == 0;
            const bool row = line.rfind("MSD_CAL_ROW(", 0) == 0;
            const bool sig = line.rfind("MSD_SIG(", 0) == 0;
            if (!cal && !row && !sig) continue;
            const auto args =
                splitArgs(line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1));
            Variable v;
            v.type = args[1];
            v.count = constants.count(args[2]) ? constants[args[2]] : uint32_t(std::stoul(args[2]));
            if (!row) {
                v.code = uint32_t(std::stoul(args[3]));
                v.sens = std::stof(args[5]);
                v.offset = std::stof(args[6]);
            }
            vars_[args[0]] = v;
            if (sig) continue;
            const uint32_t size = sizeOfType(v.type);
            at = (at + size - 1) / size * size;
            vars_[args[0]].at = at;
            const size_t firstDefault = row ? 3 : 7;
            for (size_t i = firstDefault; i < args.size(); ++i)
                defaults_.push_back({at + uint32_t(i - firstDefault) * size, v.type, std::stod(args[i])});
            at += size * v.count;
            align = std::max(align, size);
        }
        page_.assign((at + align - 1) / align * align, 0);
        for (const auto& d : defaults_) store(d.at, d.type, d.value);
    }
    size_t length() const { return page_.size(); }
    const Variable& var(const std::string& name) const { return vars_.at(name); }
    void set(const std::string& name, uint32_t element, double value) {
        const Variable& v = vars_.at(name);
        store(v.at + element * sizeOfType(v.type), v.type, value);
    }
    // The file as the device reads it; an empty page gives a dataset of length 0.
    std::vector<uint8_t> file(const std::string& program, bool withPage = true) const {
        const std::vector<uint8_t> page = withPage ? page_ : std::vector<uint8_t>{};
        std::vector<uint8_t> f(48, 0);
        std::memcpy(f.data(), "MSDC", 4);
        f[5] = 1;
        f[7] = 48;
        std::memcpy(&f[8], program.data(), std::min<size_t>(program.size(), 31));
        set32(&f[40], uint32_t(page.size()));
        f.insert(f.end(), page.begin(), page.end());
        uint16_t crc = 0xFFFF;
        for (size_t i = 0; i < f.size(); ++i) {
            if (i == 44 || i == 45) continue;
            crc ^= f[i];
            for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
        }
        f[44] = uint8_t(crc >> 8);
        f[45] = uint8_t(crc);
        return f;
    }

private:
    struct Default {
        uint32_t at;
        std::string type;
        double value;
    };
    void store(uint32_t at, const std::string& type, double value) {
        if (type == "float") {
            const float f = float(value);
            std::memcpy(&page_[at], &f, 4); // the page lies in memory in the device's order
            return;
        }
        const auto n = uint32_t(int64_t(value));
        std::memcpy(&page_[at], &n, sizeOfType(type));
    }
    std::map<std::string, Variable> vars_;
    std::vector<Default> defaults_;
    std::vector<uint8_t> page_;
};

void writeDataset(const std::string& root, const std::vector<uint8_t>& bytes) {
    testsupport::makeDirs(root + "/caldata");
    std::ofstream(root + "/caldata/dataset.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// ---------------------------------------------------------------------------------------------
// The network

sockaddr_in at(const char* address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

bool readExact(int fd, uint8_t* out, size_t n, int timeoutMs) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

// The tool: presence on the group, CI and DK links to the device (its address is the larger one,
// so it connects).
class PcTool {
public:
    PcTool() {
        const int on = 1;
        in_addr me{};
        inet_pton(AF_INET, TOOL_ADDR, &me);
        presTx_ = socket(AF_INET, SOCK_DGRAM, 0);
        setsockopt(presTx_, IPPROTO_IP, IP_MULTICAST_IF, &me, sizeof me);
        const sockaddr_in local = at(TOOL_ADDR, 9851);
        bind(presTx_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        presRx_ = socket(AF_INET, SOCK_DGRAM, 0);
        setsockopt(presRx_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        ip_mreq m{};
        inet_pton(AF_INET, "239.239.239.200", &m.imr_multiaddr);
        m.imr_interface = me;
        setsockopt(presRx_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        const sockaddr_in any = at("0.0.0.0", 9850);
        bind(presRx_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    ~PcTool() {
        stop_ = true;
        if (announcer_.joinable()) announcer_.join();
        for (int fd : {presTx_, presRx_, ci_, dk_})
            if (fd >= 0) close(fd);
    }

    // Waits for a presence record of `pid`; gives its address, version and port offset.
    bool hear(uint16_t pid, std::string* address, uint16_t* version, uint16_t* offset, int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{presRx_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            uint8_t r[1000];
            const ssize_t n = recv(presRx_, r, sizeof r, 0);
            if (n < 60 || get16(r + 10) != pid) continue;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, r, text, sizeof text);
            *address = text;
            *version = get16(r + 56);
            *offset = get16(r + 58);
            return true;
        }
        return false;
    }

    void announce(uint16_t devicePid) {
        announcer_ = std::thread([this, devicePid] {
            uint32_t seq = 0;
            while (!stop_) {
                const bool up = linked_;
                std::vector<uint8_t> r(60, 0);
                inet_pton(AF_INET, TOOL_ADDR, r.data());
                r[10] = 0;
                r[11] = uint8_t(TOOL_PID);
                set32(&r[12], 1000);
                set32(&r[28], 1u << devicePid); // heard
                const uint64_t own = 1ull << TOOL_PID;
                const uint64_t links = own | (up ? 1ull << devicePid : 0);
                for (size_t off : {32u, 40u}) {
                    set32(&r[off], uint32_t(links >> 32));
                    set32(&r[off + 4], uint32_t(links));
                }
                set32(&r[48], 200);
                set32(&r[52], ++seq);
                r[56] = 0x02;
                r[57] = 0x04;
                const sockaddr_in g = at("239.239.239.200", 9850);
                sendto(presTx_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&g), sizeof g);
                for (int i = 0; i < 20 && !stop_; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    if (up && i % 5 == 0) keepBusy();
                }
            }
        });
    }

    bool link(const std::string& device, uint16_t offset) {
        ci_ = connectFrom(9862, device, uint16_t(9860 + offset));
        dk_ = connectFrom(9863, device, uint16_t(9861 + offset));
        linked_ = ci_ >= 0 && dk_ >= 0;
        return linked_;
    }

    // Traffic on both links every 50 ms, as a tool's own polls give: a bounce (0x0105, answered
    // 0x0106) and an empty DK frame for a handle the device does not have (dropped).
    void keepBusy() {
        sendCi(0x0105, 0, 0, {});
        const uint8_t frame[8] = {0, uint8_t(DEV_PID), 0, 0, 0, 0, 0, 0};
        send(dk_, frame, sizeof frame, MSG_NOSIGNAL);
    }

    bool sendCi(uint16_t cmd, uint32_t ctx, uint32_t rctx, const std::vector<uint8_t>& payload) {
        std::lock_guard<std::mutex> g(ciSend_);
        std::vector<uint8_t> m;
        put16(m, 0);
        put16(m, uint16_t(payload.size()));
        put16(m, TOOL_PID);
        put16(m, DEV_PID);
        put32(m, ctx);
        put32(m, rctx);
        put16(m, cmd);
        put16(m, 0);
        m.insert(m.end(), payload.begin(), payload.end());
        return send(ci_, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size());
    }
    // The next CI message with command `cmd` (others, such as state polls, are passed over).
    bool receiveCi(uint16_t cmd, std::vector<uint8_t>* msg, int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            uint8_t head[20];
            if (!readExact(ci_, head, 20, timeoutMs)) return false;
            msg->assign(head, head + 20);
            msg->resize(20 + get16(head + 2));
            if (!readExact(ci_, msg->data() + 20, msg->size() - 20, timeoutMs)) return false;
            if (get16(head + 16) == cmd) return true;
        }
        return false;
    }
    // One DK frame: destination PID, record length, handle, record.
    bool receiveDk(uint16_t* dst, uint32_t* handle, std::vector<uint8_t>* record, int timeoutMs) {
        uint8_t head[8];
        if (!readExact(dk_, head, 8, timeoutMs)) return false;
        *dst = get16(head);
        *handle = get32(head + 4);
        record->resize(get16(head + 2));
        return readExact(dk_, record->data(), record->size(), timeoutMs);
    }

private:
    static int connectFrom(uint16_t localPort, const std::string& device, uint16_t port) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        const sockaddr_in local = at(TOOL_ADDR, localPort);
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        const sockaddr_in dev = at(device.c_str(), port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&dev), sizeof dev) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    int presTx_ = -1, presRx_ = -1, ci_ = -1, dk_ = -1;
    std::mutex ciSend_;
    std::atomic<bool> linked_{false};
    std::atomic<bool> stop_{false};
    std::thread announcer_;
};

std::vector<uint8_t> nameRequest(uint16_t raster, uint16_t divisor, uint16_t depth, uint16_t flags,
                                 const std::vector<std::string>& names) {
    std::vector<uint8_t> list;
    for (const auto& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    std::vector<uint8_t> p;
    put16(p, raster);
    put16(p, divisor);
    put16(p, uint16_t(list.size()));
    put16(p, uint16_t(names.size()));
    put16(p, depth);
    put16(p, flags);
    p.insert(p.end(), list.begin(), list.end());
    return p;
}

std::string between(const std::string& text, const std::string& before, const std::string& after) {
    const size_t a = text.find(before);
    if (a == std::string::npos) return {};
    const size_t b = text.find(after, a + before.size());
    return b == std::string::npos ? std::string{} : text.substr(a + before.size(), b - a - before.size());
}

} // namespace

TEST(MeasManE2E, PcToolGetsNamedValuesEvery10msAndStopsThem) {
    testsupport::NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    CalDataset data;

    // A dataset of length 0 makes the device name its program and the page length it expects.
    writeDataset(root.path(), data.file("unknown", false));
    std::string program, expected;
    {
        AppProcess dev(root.path(), {DEV_INDEX});
        ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
        ASSERT_TRUE(waitFor(
            [&] {
                const std::string log = dev.logText();
                program = between(log, "program identifier ", "\n");
                expected = between(log, "(file 0) does not match ", ",");
                return !program.empty() && !expected.empty();
            },
            5000))
            << dev.logText();
        dev.signal(SIGTERM);
        ASSERT_EQ(dev.waitExit(), 0);
    }
    ASSERT_EQ(std::to_string(data.length()), expected) << "data page laid out from the variable list";

    data.set("PCODE", 0, 0x4D21);
    data.set("CAN_BAUDRATES", 1, 500000);
    data.set("CAN_SAMPLEPOINT", 2, 87);
    writeDataset(root.path(), data.file(program));
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(
        waitFor([&] { return dev.logText().find("calibration dataset of") != std::string::npos; }, 5000))
        << dev.logText();

    // Presence, then the links.
    PcTool tool;
    std::string devAddr;
    uint16_t version = 0, offset = 0;
    ASSERT_TRUE(tool.hear(DEV_PID, &devAddr, &version, &offset, 3000));
    EXPECT_GE(version, 0x0203);
    tool.announce(DEV_PID);
    ASSERT_TRUE(waitFor([&] { return dev.logText().find("add remote_pid 28") != std::string::npos; }, 3000))
        << dev.logText();
    ASSERT_TRUE(tool.link(devAddr, offset));
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string log = dev.logText();
            return log.find("CI channel to PID 0x28 established") != std::string::npos &&
                   log.find("DK channel to PID 0x28 established") != std::string::npos;
        },
        3000))
        << dev.logText();

    // By name at the 10 ms raster, queue mode; one of the names does not exist.
    constexpr uint32_t kFifo = 0x2A000007, kRequest = 0xAB01;
    ASSERT_TRUE(tool.sendCi(
        0x0510, kRequest, kFifo,
        nameRequest(3, 1, 64, 1,
                    {"PCODE", "RtpIndex", "NoSuchVariable", "CAN_BAUDRATES[1]", "CAN_SAMPLEPOINT[2]"})));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    const uint8_t* p = a.data() + 20;
    EXPECT_EQ(get16(a.data() + 4), DEV_PID);
    EXPECT_EQ(get32(a.data() + 8), kFifo);
    EXPECT_EQ(get32(a.data() + 12), kRequest);
    const uint32_t listHandle = get32(p);
    ASSERT_NE(listHandle, 0u);
    EXPECT_EQ(get16(p + 4), 64);
    EXPECT_EQ(get16(p + 8), 1);
    EXPECT_EQ(get16(p + 10), 3);
    ASSERT_EQ(get32(p + 12), 4u);
    ASSERT_EQ(get16(a.data() + 2), 16 + 4 * 20);
    // 4-byte values, then 2-byte, then 1-byte, each in request order.
    struct Want {
        const char* name;
        uint16_t offset, position;
    };
    const Want want[] = {
        {"RtpIndex", 4, 1}, {"CAN_BAUDRATES", 8, 3}, {"PCODE", 12, 0}, {"CAN_SAMPLEPOINT", 14, 4}};
    EXPECT_EQ(get16(p + 6), 16);
    for (int i = 0; i < 4; ++i) {
        const uint8_t* s = p + 16 + 20 * i;
        const Variable& v = data.var(want[i].name);
        EXPECT_EQ(get16(s), want[i].offset) << want[i].name;
        EXPECT_EQ(get16(s + 2), want[i].position) << want[i].name;
        EXPECT_EQ(s[6], v.code) << want[i].name;
        EXPECT_FLOAT_EQ(getFloat(s + 8), 1.0f / v.sens) << want[i].name;
        EXPECT_FLOAT_EQ(getFloat(s + 12), -v.offset / v.sens) << want[i].name;
    }

    // Records every 10 ms with the values set.
    std::vector<uint32_t> stamps;
    const auto start = std::chrono::steady_clock::now();
    while (stamps.size() < 100) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        std::vector<uint8_t> r;
        ASSERT_TRUE(tool.receiveDk(&dst, &handle, &r, 3000)) << dev.logText();
        ASSERT_EQ(dst, TOOL_PID);
        ASSERT_EQ(handle, kFifo);
        ASSERT_EQ(r.size(), 16u);
        ASSERT_EQ(get32(r.data() + 4), 1u); // RtpIndex: application index 1
        ASSERT_EQ(get32(r.data() + 8), 500000u);
        ASSERT_EQ(get16(r.data() + 12), 0x4D21);
        ASSERT_EQ(r[14], 87);
        stamps.push_back(get32(r.data()));
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    std::vector<uint32_t> steps;
    for (size_t i = 1; i < stamps.size(); ++i) {
        steps.push_back(stamps[i] - stamps[i - 1]);
        EXPECT_GT(steps.back(), 0u);
        EXPECT_LT(steps.back(), 1000u);
    }
    std::vector<uint32_t> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NEAR(sorted[sorted.size() / 2], 100, 1); // 100 us units
    // On average one record per 10 ms; an online record the host sent late may be replaced by a newer.
    EXPECT_NEAR(double(stamps.back() - stamps.front()) / double(steps.size()), 100.0, 6.0);

    // The stop ends the stream and gives the tool's FIFO handle back.
    ASSERT_TRUE(tool.sendCi(0x0512, 0xAB02, listHandle, {}));
    ASSERT_TRUE(tool.receiveCi(0x0513, &a, 3000));
    EXPECT_EQ(get32(a.data() + 8), kFifo);
    EXPECT_EQ(get32(a.data() + 12), 0xAB02u);
    EXPECT_EQ(get32(a.data() + 20), 1u);
    {
        uint16_t dst;
        uint32_t handle;
        std::vector<uint8_t> r;
        const auto stopAt = std::chrono::steady_clock::now();
        while (tool.receiveDk(&dst, &handle, &r, 300)) {
            ASSERT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(1000))
                << "stream goes on";
        }
    }

    // A name that does not exist: the refusal, all 12 bytes 0.
    ASSERT_TRUE(tool.sendCi(0x0510, 0xAB03, kFifo + 1, nameRequest(3, 1, 64, 1, {"NoSuchVariable"})));
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000));
    EXPECT_EQ(get32(a.data() + 8), kFifo + 1);
    EXPECT_EQ(get32(a.data() + 12), 0xAB03u);
    ASSERT_EQ(get16(a.data() + 2), 12);
    EXPECT_TRUE(std::all_of(a.begin() + 20, a.end(), [](uint8_t b) { return b == 0; }));

    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
