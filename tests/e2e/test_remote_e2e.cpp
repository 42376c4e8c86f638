// Remote control of the logging on the real executable: the test plays the PC-connection service
// on the two message queues the process publishes under its device root.
// - A data-analysis PC connects while logging runs: the answer comes only once the file is closed
//   on disk; its disconnect starts a new file; a PC that vanishes (pings unanswered) gets logging
//   back by itself. Short messages and unknown commands get their log line and no answer.
// - A destroy (a calibration PC, a flash request) is answered once the open file is closed whole on
//   both drives; its disconnect builds the measurement afresh.
// - With logging switched off, every connect is answered at once and requests nothing.
#include "app_process.h"
#include "caldataset.h"
#include "measfile.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mqueue.h>
#include <set>
#include <sstream>

using namespace testsupport;

namespace {

constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration
constexpr uint8_t PC[4] = {127, 0, 0, 1};

// The PC-connection service's side of "/MeasAppRCTRL_RX" and "/MeasAppRCTRL_TX".
class PcConnectionService {
public:
    explicit PcConnectionService(const std::string& root) {
        const std::string list = root + "/mqueue-0.names";
        waitUntil(
            [&] {
                std::istringstream in(readFile(list));
                std::string device, host;
                while (in >> device >> host) names_[device] = host;
                if (!names_.count("/MeasAppRCTRL_RX") || !names_.count("/MeasAppRCTRL_TX")) return false;
                if (rx_ == mqd_t(-1)) rx_ = mq_open(names_["/MeasAppRCTRL_RX"].c_str(), O_WRONLY);
                if (tx_ == mqd_t(-1)) tx_ = mq_open(names_["/MeasAppRCTRL_TX"].c_str(), O_RDONLY);
                return ok();
            },
            15000);
    }
    ~PcConnectionService() {
        for (mqd_t q : {rx_, tx_})
            if (q != mqd_t(-1)) mq_close(q);
    }
    bool ok() const { return rx_ != mqd_t(-1) && tx_ != mqd_t(-1); }
    bool send(const std::vector<uint8_t>& m) {
        return mq_send(rx_, reinterpret_cast<const char*>(m.data()), m.size(), 0) == 0;
    }
    bool command(uint8_t code) { return send({code, PC[0], PC[1], PC[2], PC[3]}); }
    // The next answer within the time-out, or an empty one.
    std::vector<uint8_t> reply(int timeoutMs) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += long(timeoutMs % 1000) * 1000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        char b[16];
        const ssize_t n = mq_timedreceive(tx_, b, sizeof b, nullptr, &until);
        return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(b, b + n);
    }
    long waiting() const {
        mq_attr a{};
        return mq_getattr(tx_, &a) == 0 ? a.mq_curmsgs : -1;
    }

private:
    std::map<std::string, std::string> names_;
    mqd_t rx_ = mqd_t(-1), tx_ = mqd_t(-1);
};

const std::vector<uint8_t> DONE = {0, 0, 0, 0, 0};

void prepare(const TempDir& root, bool loggingActive) {
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), "0", &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    if (!loggingActive) data.set("DEVICE_CONFIG", 0, 2);
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));
    std::filesystem::remove_all(root.file("nv"));
    std::filesystem::remove_all(root.file("meas"));
    makeDirs(root.file("meas"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), "inserted 0\n");
}

bool logShows(AppProcess& dev, const std::string& what, int timeoutMs = 15000) {
    return waitUntil([&] { return dev.logText().find(what) != std::string::npos; }, timeoutMs);
}

// A measurement file not among `known` that holds counter records; its path.
std::string waitNewFile(const TempDir& root, const std::set<std::string>& known, int timeoutMs = 20000) {
    std::string found;
    waitUntil(
        [&] {
            for (const auto& e : std::filesystem::directory_iterator(root.file("meas"))) {
                const std::string p = e.path().string();
                if (e.path().filename().string().rfind("A01", 0) == 0 && !known.count(p) &&
                    measfile::readFile(p).recordsOf(COUNTERS).size() >= 10) {
                    found = p;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

} // namespace

TEST(RemoteE2E, StopIsAnsweredOnceTheFileIsClosedAndLoggingComesBack) {
    TempDir root;
    prepare(root, true);
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer"); // the PC answers, whatever ICMP the host allows
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));

    const std::string first = waitNewFile(root, {});
    ASSERT_FALSE(first.empty()) << dev.logText();
    // Ignored: a message without a whole address, and a command nobody knows.
    ASSERT_TRUE(pcs.send({0xE1, 127, 0}));
    ASSERT_TRUE(logShows(dev, "remotectrl_listenQueue() error receiving command line: message of 3 bytes"))
        << dev.logText();
    ASSERT_TRUE(pcs.command(0x42));
    ASSERT_TRUE(logShows(dev, "remotectrl_listenQueue() received unknown command 0x42")) << dev.logText();

    // A data-analysis PC connects: by its answer the file is closed whole, its status block last.
    ASSERT_TRUE(pcs.command(0xE1));
    ASSERT_EQ(pcs.reply(20000), DONE) << dev.logText();
    const measfile::File atReply = measfile::readFile(first);
    ASSERT_TRUE(atReply.ok()) << atReply.error;
    ASSERT_FALSE(atReply.metas.empty());
    EXPECT_EQ(atReply.metas.back().type, 2) << "the stopped file ends with its status block";
    EXPECT_TRUE(readOnly(first));
    EXPECT_TRUE(logShows(dev, "Measurement stopped"));
    EXPECT_NE(dev.shell("meas_state").find("meas_app_running           = 0"), std::string::npos);

    // Its disconnect: logging starts again in a new file.
    ASSERT_TRUE(pcs.command(0xEE));
    const std::string second = waitNewFile(root, {first});
    ASSERT_FALSE(second.empty()) << dev.logText();
    EXPECT_EQ(measfile::readFile(first).records.size(), atReply.records.size())
        << "nothing written after the answer";

    // Connected again, then gone without a word: the fifth unanswered ping gives logging back.
    ASSERT_TRUE(pcs.command(0xE1));
    ASSERT_EQ(pcs.reply(20000), DONE) << dev.logText();
    dev.shell("board ping silent");
    ASSERT_TRUE(logShows(dev, "remote lost, do a remotestart", 30000)) << dev.logText();
    EXPECT_FALSE(waitNewFile(root, {first, second}).empty()) << dev.logText();
    // The lock keeps a late disconnect from starting a second time.
    EXPECT_NE(dev.shell("meas_state").find("remotectrl_remotestart_lock = 1"), std::string::npos);

    EXPECT_EQ(pcs.waiting(), 0) << "no answer to the short message or the unknown command";
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(RemoteE2E, ADestroyIsAnsweredOnceTheOpenFileIsClosedWholeOnBothDrives) {
    TempDir root;
    prepare(root, true);
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));

    // The stick's arrival at start-up cuts the first file: the second is on both drives.
    std::set<std::string> known{root.file("meas/A0101000.001")};
    for (uint8_t code : {0xE0, 0xD1}) {
        const std::string open = waitNewFile(root, known);
        ASSERT_FALSE(open.empty()) << dev.logText();
        known.insert(open);
        ASSERT_TRUE(pcs.command(code));
        ASSERT_EQ(pcs.reply(20000), DONE) << std::hex << int(code) << "\n" << dev.logText();
        const double asked = loggedStamp(dev.logText(), code == 0xE0 ? "Plixor connected" : "Flash request");
        ASSERT_GT(asked, 0) << dev.logText();
        // By the answer the file is closed as a stop closes it: its records without a gap up to the
        // request, its status block last, read-only, and the same bytes on the stick.
        const measfile::File f = measfile::readFile(open);
        ASSERT_TRUE(f.ok()) << open << ": " << f.error;
        EXPECT_FALSE(f.truncated) << open;
        const auto counters = f.recordsOf(COUNTERS);
        for (size_t i = 1; i < counters.size(); ++i)
            ASSERT_EQ(counters[i].ts - counters[i - 1].ts, 100u) << open << ", record " << i;
        // Up to the request: no sample held back by the data delay (300 ms) is left out.
        ASSERT_FALSE(counters.empty());
        EXPECT_GT(counters.back().ts / 10000.0, asked - 0.15) << open << " ends before the destroy";
        ASSERT_FALSE(f.metas.empty());
        EXPECT_EQ(f.metas.back().type, 2) << open << " does not end with its status block";
        EXPECT_TRUE(readOnly(open)) << open;
        const std::string copy = root.file("usb_meas/" + std::filesystem::path(open).filename().string());
        EXPECT_TRUE(readOnly(copy)) << copy;
        EXPECT_EQ(readBinary(copy), readBinary(open)) << copy << " differs from " << open;
        // The PC's disconnect builds the measurement afresh and logging goes on in a new file.
        ASSERT_TRUE(pcs.command(0xED));
    }
    EXPECT_FALSE(waitNewFile(root, known).empty()) << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(RemoteE2E, WithLoggingOffEveryConnectIsAnsweredAtOnce) {
    TempDir root;
    prepare(root, false);
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));
    for (uint8_t code : {0xE0, 0xE1, 0xE2}) {
        ASSERT_TRUE(pcs.command(code));
        EXPECT_EQ(pcs.reply(5000), DONE) << std::hex << int(code) << "\n" << dev.logText();
    }
    // The logging's shell commands come a little after the PC connection service.
    std::string state;
    ASSERT_TRUE(waitUntil(
        [&] {
            state = dev.shell("meas_state");
            return state.find("unknown command") == std::string::npos;
        },
        30000))
        << state;
    for (const char* flag : {"meas_app_stopreq           = 0", "meas_app_destroyreq        = 0",
                             "meas_app_reinitreq         = 0", "meas_app_startreq          = 0"})
        EXPECT_NE(state.find(flag), std::string::npos) << flag << "\n" << state;
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
