// Telemetry through its start operation: frames of the latest block records over UDP and the
// serial pty, checked by their CRC and layout and paced as configured; the JSON datagram with the
// checksum of "cfg:/dcp.ini"; configurations refused at start.
#include "logcfg_fixture.h"

#include "framework/appman.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/telemetry/tele_app.h"
#include "measdata/crc.h"
#include "msdcom/gateway/gw_internal.h"
#include "platform/board/serial.h"
#include "udprx.h"

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace logcfgtest;

namespace {

struct Receiver : testsupport::UdpReceiver {
    explicit Receiver(uint16_t wanted = 0) : UdpReceiver("127.0.0.1", wanted) { EXPECT_TRUE(bound); }
};

// Telemetry blocks of m02 with fixed latest records; `slots` gives the telemetry slot of each.
struct Blocks {
    std::vector<std::unique_ptr<MeasBlkInfo>> infos;
    std::vector<std::unique_ptr<meas_blk>> blocks;
    void add(uint16_t slot, uint16_t blockNo, const std::vector<uint8_t>& values) {
        auto info = std::make_unique<MeasBlkInfo>();
        info->recordSize = uint32_t(4 + values.size());
        info->blockNo = blockNo;
        auto b = std::make_unique<meas_blk>();
        b->blkinfo = info.get();
        b->pid = 16;
        b->teleId = uint16_t(slot + 1);
        b->teleBuf = new SeqRecord(info->recordSize);
        std::vector<uint8_t> rec(4, 0xAA);
        rec.insert(rec.end(), values.begin(), values.end());
        b->teleBuf->write(rec.data(), rec.size());
        b->teleState = MEAS_REC_VALUE;
        tele_app_add_block(b.get());
        infos.push_back(std::move(info));
        blocks.push_back(std::move(b));
    }
    ~Blocks() {
        tele_app_exit();
        for (auto& b : blocks) delete b->teleBuf;
    }
};

struct Config {
    tele_config tele{};
    MEASConfiguration cfg{};
    Config(uint8_t mode, uint16_t port, uint32_t dataRate, uint32_t baud = 115200) {
        tele.baudrate = baud;
        tele.DataRate = dataRate;
        tele.projectCode = 0x1234;
        tele.ipAddress = htonl(INADDR_LOOPBACK);
        tele.TelePort = port;
        tele.TelemetrieMode = mode;
        tele.SoftwareID = 7;
        cfg.protocol = 1;
        cfg.teleInfo = &tele;
        cfg.teleInfoSize = sizeof tele;
    }
};

// Checks the CRC and the header of a frame and gives its slow-block identifier.
void checkFrame(const std::vector<uint8_t>& f, size_t fastData, int* slowId) {
    ASSERT_GE(f.size(), 12u);
    const size_t L = f[3];
    ASSERT_EQ(f.size(), L + 2);
    const uint16_t crc = crc16_ccitt_lsb_accu(f.data(), L, 0xFFFF);
    EXPECT_EQ(f[L], crc >> 8);
    EXPECT_EQ(f[L + 1], crc & 0xFF);
    EXPECT_EQ(f[0], 0x34);
    EXPECT_EQ(f[1], 0x12);
    EXPECT_EQ(f[2], 7);
    EXPECT_EQ(f[4], 4 + fastData);
    *slowId = f[5];
}

int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

} // namespace

class TeleTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        std::string error;
        ASSERT_TRUE(appman_init(0, &error)) << error;
        // The blocks' device is online for the gateway.
        gwi::pidState(16)->current.store(GW_PID_MEAS);
    }
    void TearDown() override {
        gwi::pidState(16)->current.store(GW_PID_OFFLINE);
        LogTest::TearDown();
    }
};

TEST_F(TeleTest, UdpFramesCarryTheBlocksInTheirSlotOrderPacedByTheBudget) {
    Blocks blocks;
    blocks.add(0, 1, {1, 2, 3, 4});
    blocks.add(1, 20, {5, 6});
    blocks.add(5, 60, {7, 8, 9});
    Receiver rx;
    // F = 12 + 4, S = 5, n = 2: (5 + 32) x 8 / (1 x 2) = 148 ms per frame at 1 kbit/s.
    Config c(TELE_UDP, rx.port, 1);
    tele_app_ini();
    // Counted from before the start: no frame is sent before it, however late this thread runs after.
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(tele_app_start(&c.cfg), 1);
    EXPECT_EQ(teleUpdateRate.load(), 148u);
    std::vector<int> order;
    for (int i = 0; i < 7; ++i) {
        const auto f = rx.next();
        int slow = -1;
        checkFrame(f, 4, &slow);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 10, f.begin() + 14), (std::vector<uint8_t>{1, 2, 3, 4}));
        const std::vector<uint8_t> slowData(f.begin() + 14, f.end() - 2);
        const std::vector<uint8_t> expected =
            slow == 19 ? std::vector<uint8_t>{5, 6} : std::vector<uint8_t>{7, 8, 9};
        EXPECT_EQ(slowData, expected);
        order.push_back(slow);
    }
    EXPECT_EQ(order, (std::vector<int>{19, 59, 59, 59, 59, 19, 59}));
    // Seven frames from the start are six intervals of 148 ms after the first.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(6 * 148 - 20));

    // An offline or failed block keeps its place with zeros.
    blocks.blocks[0]->teleState = MEAS_REC_FAILED;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const auto f = rx.next();
        return f.size() > 14 && f[10] == 0 && f[13] == 0;
    }));

    // Stop and start again reuse the socket.
    const int fds = openFds();
    tele_app_stop();
    ASSERT_EQ(tele_app_start(&c.cfg), 1);
    tele_app_stop();
    ASSERT_EQ(tele_app_start(&c.cfg), 1);
    EXPECT_EQ(openFds(), fds);
}

TEST_F(TeleTest, SerialFramesReachThePty) {
    SerialPortMap maps[SERIAL_PORTS];
    serial_configure(root.path(), 0, maps);
    Blocks blocks;
    blocks.add(0, 1, {9, 8});
    Config c(TELE_SERIAL, 0, 0, 115200);
    tele_app_ini();
    ASSERT_EQ(tele_app_start(&c.cfg), 1);
    const int pty = open(serial_publishedPath(0).c_str(), O_RDONLY | O_NOCTTY);
    ASSERT_GE(pty, 0);
    std::vector<uint8_t> got;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            uint8_t b[256];
            pollfd p{pty, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                const ssize_t n = read(pty, b, sizeof b);
                if (n > 0) got.insert(got.end(), b, b + n);
            }
            return got.size() >= 28;
        },
        5000));
    // Two whole frames of 14 bytes, no slow part.
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> f(got.begin() + 14 * i, got.begin() + 14 * (i + 1));
        int slow = -1;
        checkFrame(f, 2, &slow);
        EXPECT_EQ(slow, 0);
        EXPECT_EQ(f[10], 9);
    }
    close(pty);
    serial_shutdown();
}

TEST_F(TeleTest, RefusedConfigurationsAndTheJsonDatagram) {
    testsupport::writeFile(root.file("cfg/dcp.ini"), "[device]\nname=test\n");
    Receiver json(TELE_JSON_PORT);
    {
        Blocks big;
        big.add(0, 1, std::vector<uint8_t>(250, 1));
        Config c(TELE_UDP, 1, 0);
        EXPECT_EQ(tele_app_start(&c.cfg), 0);
        EXPECT_TRUE(contains(log(), "tele_app_start(): frame of 260 bytes exceeds 255 bytes, telemetry off"));
    }
    Blocks blocks;
    blocks.add(0, 1, {1});
    {
        Config c(TELE_SERIAL, 0, 0, 10);
        EXPECT_EQ(tele_app_start(&c.cfg), 0);
        EXPECT_TRUE(contains(log(), "tele_app_start(): baud rate 10 too low, telemetry off"));
    }
    Config c(TELE_UDP, 1, 0);
    ASSERT_EQ(tele_app_start(&c.cfg), 1);
    const auto d = json.next();
    const std::string text(d.begin(), d.end());
    const std::string file = "[device]\nname=test\n";
    char expect[96];
    std::snprintf(expect, sizeof expect, "{\"dcp_ini_crc\":%u, \"prjcode\":4660, \"sw_id\":7}",
                  unsigned(crc32_bsd(file.data(), file.size())));
    EXPECT_EQ(text, expect);
}
