// Events and the ping on the real executable, inside a private network namespace.
// - A "both" event on bit 0 of the device's own lap counter: the shell's lap changes give an open
//   event at the rising edge and the closed one with its duration, both heard on the CI multicast;
//   a second device that logs holds both in its measurement file, under the name it gives the first.
// - The ping of a second device: its answer count, read by name through a PC tool's measurement
//   request, grows by about ten a second with response times of a few milliseconds.
#include "app_process.h"
#include "bytes.h"
#include "caldataset.h"
#include "measfile.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr uint16_t DEV0_PID = 16, DEV1_PID = 17;

bool logShows(AppProcess& dev, const std::string& what, int timeoutMs = 15000) {
    return waitUntil([&] { return dev.logText().find(what) != std::string::npos; }, timeoutMs);
}

struct HeardEvent {
    uint16_t src;
    uint32_t id, time, duration;
    uint8_t kind, severity;
    uint16_t pid;
    std::string name, text;
    std::string app; // the sender's name where it was logged
};

// A device of the network that hears the CI multicast (239.239.239.201:9870) on loopback.
class EventListener {
public:
    EventListener() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        ip_mreq m{};
        inet_pton(AF_INET, "239.239.239.201", &m.imr_multiaddr);
        inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(9870);
        ok_ = setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 &&
              bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    }
    ~EventListener() { close(fd_); }
    bool ok() const { return ok_; }
    // The next 0x1500 message; other datagrams are passed over.
    bool next(HeardEvent* e, int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
            uint8_t d[600] = {};
            const ssize_t n = recv(fd_, d, sizeof d - 1, 0);
            if (n < 38 || get16(d + 16) != 0x1500 || get16(d + 2) + 20 != n) continue;
            const uint8_t* p8 = d + 20;
            *e = {get16(d + 4), get32(p8), get32(p8 + 4), get32(p8 + 8), p8[12], p8[13], get16(p8 + 14), "",
                  "",           ""};
            e->name = reinterpret_cast<const char*>(p8 + 16);
            e->text = reinterpret_cast<const char*>(p8 + 17 + e->name.size());
            return true;
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// The event records (type 6) in the measurement files of a logging folder, in file order.
std::vector<HeardEvent> loggedEvents(const std::string& folder) {
    std::vector<HeardEvent> out;
    std::vector<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(folder))
        if (f.path().filename().string().rfind("A01", 0) == 0) files.push_back(f.path().string());
    std::sort(files.begin(), files.end());
    for (const std::string& path : files) {
        const measfile::File file = measfile::readFile(path);
        for (const measfile::Meta* m : file.metaOfType(6)) {
            // {0, 1, 0, 1}, the event as broadcast, the sender's application name
            const std::vector<uint8_t>& p = m->payload;
            if (p.size() < 25) continue;
            const uint8_t* e = p.data() + 4;
            HeardEvent h{0, get32(e), get32(e + 4), get32(e + 8), e[12], e[13], get16(e + 14), "", "", ""};
            const char* text = reinterpret_cast<const char*>(e + 16);
            const char* end = reinterpret_cast<const char*>(p.data() + p.size());
            h.name.assign(text, strnlen(text, size_t(end - text)));
            text += h.name.size() + 1;
            if (text < end) h.text.assign(text, strnlen(text, size_t(end - text)));
            text += h.text.size() + 1;
            if (text < end) h.app.assign(text, strnlen(text, size_t(end - text)));
            out.push_back(h);
        }
    }
    return out;
}

} // namespace

TEST(EventsE2E, BothEventOnTheLapCounterIsBroadcastOpenThenClosed) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    EventListener listener;
    ASSERT_TRUE(listener.ok());
    TempDir root;
    const uint32_t lapctr = caldata::CalDataset().address("lapctr");
    char adr[16];
    std::snprintf(adr, sizeof adr, "%X", (uint32_t(DEV0_PID) << 24) | (lapctr & 0xFFFFFF));
    writeFile(root.file("cfg/eventcfg.xml"),
              std::string("<?xml version=\"1.0\"?>\n<EventConfig>\n<EventList>\n"
                          "  <Event name=\"OddLap\" text=\"lap counter odd\" evMeasChDelayTime=\"100\" "
                          "severity=\"Alert\" triggerEdge=\"both\" eventId=\"7\" idx=\"7\">\n"
                          "    <triggerInput type=\"UINT16\" adr=\"") +
                  adr +
                  "\" mask=\"1\" a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1\" name=\"lapctr\"/>\n"
                  "  </Event>\n</EventList>\n</EventConfig>\n");
    // Application 1 logs its own lap counter and names application 0 "Dash0".
    TempDir root1;
    makeDirs(root1.file("cfg"));
    std::snprintf(adr, sizeof adr, "0x%X", (uint32_t(DEV1_PID) << 24) | (lapctr & 0xFFFFFF));
    writeFile(root1.file("cfg/m01.xml"),
              std::string("<MeasConfig><AcqInfo ident=\"events\" num_blocks=\"1\" num_conditions=\"0\" "
                          "version=\"3\" protocol=\"0\">\n<Block name=\"Lap\" idx=\"0\" num_seqs=\"1\" "
                          "true_div=\"1\" false_div=\"1\" Raster=\"R10ms\"><CopySeq align=\"2\" size=\"2\" "
                          "num=\"1\" idx=\"0\"><adr adr=\"") +
                  adr + "\" idx=\"0\"/></CopySeq></Block>\n</AcqInfo></MeasConfig>\n");
    writeFile(root1.file("cfg/apps.xml"),
              "<?xml version=\"1.0\"?>\n<Applicationlist>\n<Application pid=\"16\" name=\"Dash0\"/>\n"
              "</Applicationlist>\n");
    writeFile(root1.file("usb_meas-1.drive"), "inserted 0\n"); // application 1's own drives
    AppProcess logger(root1.path(), {"1"});
    ASSERT_TRUE(logger.waitForShell()) << logger.stderrText();
    ASSERT_TRUE(waitUntil(
        [&] {
            const measfile::File f = measfile::readFile(root1.file("meas-1/A0101000.001"));
            return f.recordsOf(1).size() >= 10;
        },
        20000))
        << logger.logText();

    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(logShows(dev, "Eventlogging channel setup with 1/50 events")) << dev.logText();
    ASSERT_TRUE(logShows(dev, "Measurement for PID 0x10 is set up and running")) << dev.logText();

    // The first reading after the start cannot fire; until the open event is heard, the lap goes
    // back to even and odd again (a closed event heard meanwhile is the input's first fall).
    HeardEvent open{}, e{};
    bool heard = false;
    for (int attempt = 0; attempt < 20 && !heard; ++attempt) {
        dev.shell("lof_set 3 1");
        while (!heard && listener.next(&e, 1000)) heard = e.duration == 0xFFFFFFFF;
        if (!heard) {
            dev.shell("lof_set 2 1");
            while (listener.next(&e, 500)) {
            }
        }
    }
    ASSERT_TRUE(heard) << dev.logText();
    open = e;
    EXPECT_EQ(open.src, DEV0_PID);
    EXPECT_EQ(open.pid, DEV0_PID);
    EXPECT_EQ(open.id, 0x02000007u);
    EXPECT_EQ(open.kind, 2);
    EXPECT_EQ(open.severity, 1);
    EXPECT_EQ(open.name, "OddLap");
    EXPECT_EQ(open.text, "lap counter odd");

    const auto rose = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the event's length
    dev.shell("lof_set 4 1");
    ASSERT_TRUE(listener.next(&e, 5000)) << dev.logText();
    const auto measured = std::chrono::steady_clock::now() - rose;
    EXPECT_EQ(e.id, open.id);
    EXPECT_EQ(e.time, open.time) << "the closed event keeps the rising time";
    EXPECT_GE(e.duration, 2000u - 100u);
    // Between the two events as heard here; the open one may have been heard later after its rise
    // than the closed one after its fall (the event service sends every 10 ms, a busy host later).
    EXPECT_LE(e.duration,
              uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(measured).count() / 100 + 5000));

    // Both in application 1's measurement file, after its data delay.
    const auto logged = [&](const HeardEvent& want) {
        for (const HeardEvent& h : loggedEvents(root1.file("meas-1")))
            if (h.id == want.id && h.time == want.time && h.duration == want.duration) return h;
        return HeardEvent{};
    };
    ASSERT_TRUE(waitUntil([&] { return logged(open).id != 0 && logged(e).id != 0; }, 15000))
        << logger.logText();
    for (const HeardEvent& want : {open, e}) {
        const HeardEvent h = logged(want);
        EXPECT_EQ(
            std::make_tuple(h.kind, h.severity, h.pid, h.name, h.text, h.app),
            std::make_tuple(want.kind, want.severity, want.pid, want.name, want.text, std::string("Dash0")));
    }

    dev.signal(SIGTERM);
    logger.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    EXPECT_EQ(logger.waitExit(), 0) << logger.stderrText();
}

TEST(EventsE2E, PingOfAPeerCountsAboutTenAnswersASecond) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root0, root1;
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root0.path(), "0", &program, &pageLength, &log)) << log;
    std::filesystem::remove_all(root0.file("nv"));
    caldata::CalDataset data;
    data.set("MSDCOM_DBG_PING_PID", 0, DEV1_PID);
    data.set("MSDCOM_DBG_PING_FREQ", 0, 1);
    data.set("MSDCOM_DBG_PID_1", 0, DEV1_PID); // the peer's link counters in slot 1
    ASSERT_TRUE(caldata::writeDataset(root0.path(), data.file(program)));
    // The PC tool's address must be the smaller one of its links.
    writeFile(root0.file("appparam-0.conf"), "ip_address = 127.0.0.50\n");

    AppProcess peer(root1.path(), {"1"});
    AppProcess dev(root0.path(), {"0"});
    ASSERT_TRUE(peer.waitForShell()) << peer.stderrText();
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();

    PcTool tool(40, "127.0.0.40", DEV0_PID);
    uint16_t version = 0;
    std::string why;
    ASSERT_TRUE(linkToDevice(
        tool, DEV0_PID, [&] { return dev.logText(); }, &version, &why))
        << why;
    constexpr uint32_t kFifo = 0x2A000011;
    ASSERT_TRUE(tool.sendCi(
        0x0510, 0xAB11, kFifo,
        nameRequest(6, 1, 64, 1, {"msdcom_dbg_ping_cnt", "msdcom_dbg_ping_max", "msdcom_cmdTxCnt_1"})));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    ASSERT_NE(get32(a.data() + 20), 0u) << "both names known";
    // The answer's layout: the record size, then per value its offset and its place in the request.
    const uint8_t* layout = a.data() + 20;
    const uint16_t recordSize = get16(layout + 6);
    uint16_t at[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        const uint16_t position = get16(layout + 16 + 20 * i + 2);
        ASSERT_LT(position, 3);
        at[position] = get16(layout + 16 + 20 * i);
    }

    // Records every 100 ms with the ping count (4 bytes), the ping maximum and the CI messages sent to
    // the peer (2 bytes each).
    struct Sample {
        uint32_t time, count;
        uint16_t max, sent;
    };
    std::vector<Sample> samples;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        std::vector<uint8_t> r;
        ASSERT_TRUE(tool.receiveDk(&dst, &handle, &r, 3000)) << dev.logText();
        ASSERT_EQ(r.size(), recordSize);
        const Sample s{get32(r.data()), get32(r.data() + at[0]), get16(r.data() + at[1]),
                       get16(r.data() + at[2])};
        if (s.count == 0) continue; // the link to the peer is not up yet
        samples.push_back(s);
        if (s.time - samples.front().time >= 30000) break; // three seconds of answers
    }
    ASSERT_GE(samples.size(), 2u) << dev.logText();
    const double seconds = double(samples.back().time - samples.front().time) / 10000.0;
    ASSERT_GE(seconds, 2.9);
    const double rate = double(samples.back().count - samples.front().count) / seconds;
    EXPECT_NEAR(rate, 10.0, 2.0);
    std::vector<uint16_t> maxima;
    for (const Sample& s : samples) maxima.push_back(s.max);
    std::sort(maxima.begin(), maxima.end());
    // A ping and its answer each wake a task of either device: under the perturbation each of the
    // four may come late by its most.
    EXPECT_LT(maxima[maxima.size() / 2], 100 + 4 * 10 * perturbMaxMs())
        << "response times on loopback within 10 ms";
    EXPECT_LT(maxima.back(), 0xFFFF);
    // Every ping is a CI message over the link to the peer.
    EXPECT_GE(uint16_t(samples.back().sent - samples.front().sent),
              samples.back().count - samples.front().count);

    dev.signal(SIGTERM);
    peer.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    EXPECT_EQ(peer.waitExit(), 0) << peer.stderrText();
}
