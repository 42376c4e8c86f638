// The logging drive frozen in the kernel (a real ext4 file system on a loop device, frozen as
// fsfreeze -f does: every write and write-through on it waits, uninterruptibly, until the thaw) for
// 30 s while the logging runs, once during a stop (0xE1) and once during the shutdown (SIGTERM);
// and for 25 s from before the start, so that the logging's first file hangs in its creation.
// The device keeps its bounds all the same: the stop is answered FF within 12 s, the process's own
// end comes within 12 s of SIGTERM (a thread the kernel holds in the drive may keep the process
// until the thaw; its main thread has ended), the exit code is 3 exactly when a file is left
// unfinished (always after a shutdown the drive held; a stop's file that the thaw lets its writer
// finish counts as whole), no file is read-only without being whole, and no file lacks a record.
// A drive frozen from the start gets records again within 2 s of its thaw, and its hung call is
// named when it has not returned for 10 s, from the measurement's first second on. A drive that is
// only slow (each I/O half a second, every call returns) holds the process no longer: it is gone
// within 12 s of SIGTERM, however many closes are on their way to the drive then. The stick frozen
// for a minute while a lap comes every 1.5 s (more laps than the store has slots for files): its
// writer is let go as soon as the stick is named hung, the store holds none of its files, and meas:
// has a file for every lap with every record; after the thaw the stick joins once and takes data
// again within 2 s.
#include "app_process.h"
#include "campaign.h"
#include "logging_root.h"
#include "loopdisk.h"
#include "measfile.h"
#include "pcservice.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration
constexpr double kBound = 12.0; // of an answer, and of the shutdown
constexpr double kBack = 2.0;   // records on the drive again after the thaw
constexpr double kHung = 10.0;  // a call that has not returned for so long hangs

// The last `n` lines of the log.
std::string lastLines(const std::string& log, int n) {
    size_t at = log.size();
    for (int i = 0; i <= n && at != std::string::npos && at > 0; ++i) at = log.rfind('\n', at - 1);
    return at == std::string::npos ? log : log.substr(at + 1);
}

enum class When { DuringTheStop, DuringTheShutdown, BeforeTheStart, SlowAtTheShutdown, StickWhileLapsCome };

struct Row {
    const char* name;
    When when;
    // SlowAtTheShutdown: the drive's I/Os a second (4: its calls all return, slowly; at 2 a
    // second four write-throughs of lap files under way at SIGTERM took over 20 s each, beyond any
    // shutdown's bound).
    int frozenSeconds;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class FrozenDriveE2E : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(FrozenDriveE2E, AnswersAndEndsWithinTheirBoundsWhileTheKernelHoldsTheDrive) {
    const Row row = GetParam();
    TempDir root;
    const bool stick = row.when == When::StickWhileLapsCome;
    ASSERT_TRUE(prepareLoggingRoot(root, {.stickIn = stick, .stickFolder = true}));
    LoopDisk disk(32 << 20, root.file(stick ? "usb_meas" : "meas"));
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    const std::string meas = root.file("meas"), usb = root.file("usb_meas");
    std::unique_ptr<DiskFreeze> frozen;
    if (row.when == When::BeforeTheStart) frozen = std::make_unique<DiskFreeze>(meas, row.frozenSeconds);
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell(30000)) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok());
    if (!frozen) {
        // Logging: the first file has records on the drive.
        ASSERT_TRUE(waitUntil([&] {
            const auto files = campaign::measurementFiles(meas);
            return !files.empty() &&
                   measfile::readFile(meas + "/" + files.front()).recordsOf(COUNTERS).size() >= 30 &&
                   (!stick || campaign::recordsIn(usb, COUNTERS) >= 30);
        })) << dev.logText();
        if (row.when != When::SlowAtTheShutdown)
            frozen = std::make_unique<DiskFreeze>(disk.path(), row.frozenSeconds);
    }
    ASSERT_TRUE(!frozen || frozen->ok()) << frozen->reason();
    int exitCode = -1;
    if (row.when == When::SlowAtTheShutdown) {
        DiskThrottle slow(meas, unsigned(row.frozenSeconds));
        if (!slow.ok()) GTEST_SKIP() << slow.reason();
        // Laps while the drive is slow: their closes are on their way to it at the shutdown.
        for (int lap = 0; lap < 3; ++lap) {
            const size_t files = campaign::measurementFiles(meas).size();
            dev.shell("lof_laptrig");
            waitUntil([&] { return campaign::measurementFiles(meas).size() > files; }, 15000);
        }
        const auto term = Clock::now();
        dev.signal(SIGTERM);
        exitCode = dev.waitExit(int(kBound * 1000) + 8000);
        const double ended = since(term);
        const std::string log = dev.logText();
        std::printf("the shutdown with %d I/Os a second on meas: exit %d after %.1f s; the log ends:\n%s",
                    row.frozenSeconds, exitCode, ended, lastLines(log, 3).c_str());
        EXPECT_LE(ended, kBound) << "the process held by calls of a slow drive\n" << lastLines(log, 30);
    } else if (row.when == When::BeforeTheStart) {
        // The thaw lets the first file's creation return: logging goes on there within 2 s.
        ASSERT_TRUE(frozen->waitThawed());
        const auto thawed = Clock::now();
        const bool back = waitUntil([&] { return campaign::recordsIn(meas, COUNTERS) > 0; }, 15000);
        const double took = since(thawed);
        std::printf("frozen from before the start: records on meas: %s %.1f s after the thaw\n",
                    back ? "came" : "had not come", took);
        EXPECT_TRUE(back && took <= kBack + 0.3)
            << "(a) meas: got no records within " << kBack << " s of its thaw\n"
            << lastLines(dev.logText(), 30);
        // The first file's creation hangs as the file is made: named 10 s later, not once the store's
        // start-up (25 s) is over.
        const std::string log = dev.logText();
        const double made = loggedStamp(log, "VirtualFile::VirtualFile() created with index 0");
        const double named = loggedStamp(log, "meas_app_driveCall(): the drive 'meas:' does not answer: ");
        if (named >= 0)
            std::printf("the hung call named %.1f s after the first file was made\n", named - made);
        EXPECT_TRUE(made >= 0 && named >= made && named - made <= kHung + 2.0) << lastLines(log, 30);
        const auto term = Clock::now();
        dev.signal(SIGTERM);
        exitCode = dev.waitExit(int(kBound * 1000) + 3000);
        std::printf("the shutdown after the thaw: exit %d after %.1f s\n", exitCode, since(term));
        EXPECT_LE(since(term), kBound);
    } else if (stick) {
        // A lap every 1.5 s while the stick is frozen, up to 5 s before its thaw.
        int laps = 0;
        for (; laps < (row.frozenSeconds - 5) * 2 / 3; ++laps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            dev.shell("lof_laptrig");
        }
        // The thaw joins the stick once, unless a lap's file came to it first: that file is its try.
        const std::string joined = "; a new file is cut", takesData = "usb_meas: takes data again";
        ASSERT_TRUE(waitUntil([&] { return countOf(dev.logText(), takesData) > 0; }, 30000))
            << lastLines(dev.logText(), 60);
        // From its join, or from its answer where no join was needed.
        const std::string seen = dev.logText();
        double join = std::max(loggedStamp(seen, joined), loggedStamp(seen, "a file was cut since"));
        if (join < 0) join = loggedStamp(seen, "the drive 'usb_meas:' answers again");
        const auto term = Clock::now();
        dev.signal(SIGTERM);
        exitCode = dev.waitExit(int(kBound * 1000) + 3000);
        EXPECT_LE(since(term), kBound);
        const std::string log = dev.logText();
        const double letGo = loggedStamp(log, "removing writer r_USBWriter1") -
                             loggedStamp(log, "the drive 'usb_meas:' does not answer");
        const double takes = loggedStamp(log, "usb_meas: takes data again") - join;
        const size_t onMeas = campaign::measurementFiles(meas).size(),
                     cuts =
                         1 + size_t(laps) + size_t(countOf(log, "a stick arrived: the open files are cut"));
        std::printf(
            "the stick frozen %d s, %d laps: let go %.1f s after it was named hung; meas: has %zu files "
            "for %zu cuts; the stick takes data again %.2f s after its join\n",
            row.frozenSeconds, laps, letGo, onMeas, cuts, takes);
        EXPECT_TRUE(letGo >= 0 && letGo <= 1.0) << lastLines(log, 40);
        for (const char* never : {"dropSlowest", "file slots full", "removing writer r_BFSWriter1"})
            EXPECT_EQ(countOf(log, never), 0) << never;
        const int joins = countOf(log, joined);
        EXPECT_LE(joins, 1) << "one join for the thaw";
        // A join that comes with a lap's cut cuts one file with it.
        EXPECT_TRUE(onMeas >= cuts && onMeas <= cuts + size_t(joins))
            << "meas: has a file for every lap, and for the join\n"
            << log;
        EXPECT_TRUE(takes >= -0.5 && takes <= kBack) << lastLines(log, 40); // from the join, if any
        EXPECT_EQ(campaign::recordGap(meas, COUNTERS, 100), "") << "meas: lacks records";
    } else if (row.when == When::DuringTheStop) {
        const auto sent = Clock::now();
        pcs.command(0xE1);
        const std::vector<uint8_t> answer = pcs.reply(int(kBound * 1000) + 3000);
        const double took = since(sent);
        std::printf("the stop with the drive frozen: answered %s after %.1f s\n",
                    answer.empty()   ? "nothing"
                    : answer[0] == 0 ? "00"
                                     : "FF",
                    took);
        EXPECT_EQ(answer, (std::vector<uint8_t>{0xFF, 0, 0, 0, 0})) << lastLines(dev.logText(), 30);
        EXPECT_LE(took, kBound);
        ASSERT_TRUE(frozen->waitThawed());
        const auto term = Clock::now();
        dev.signal(SIGTERM);
        exitCode = dev.waitExit(int(kBound * 1000) + 3000);
        std::printf("the shutdown after the thaw: exit %d after %.1f s\n", exitCode, since(term));
        EXPECT_LE(since(term), kBound);
    } else {
        const auto term = Clock::now();
        dev.signal(SIGTERM);
        EXPECT_TRUE(waitUntil([&] { return mainThreadEnded(dev); }, int(kBound * 1000) + 8000));
        const double ended = since(term);
        const std::string log = dev.logText();
        std::printf("the shutdown with the drive frozen: main thread ended after %.1f s; the log ends:\n%s",
                    ended, lastLines(log, 3).c_str());
        EXPECT_LE(ended, kBound) << lastLines(log, 30);
        EXPECT_TRUE(log.find("main(): exit 3, files not finished") != std::string::npos ||
                    log.find("main(): the shutdown did not end in time (a drive holds a thread): exit 3") !=
                        std::string::npos)
            << lastLines(log, 30);
        ASSERT_TRUE(frozen->waitThawed());
        const auto thawed = Clock::now();
        exitCode = dev.waitExit(int(kBound * 1000));
        std::printf("after the thaw: exit %d after %.1f s\n", exitCode, since(thawed));
    }
    const std::string log = dev.logText();
    for (const std::string& b : campaign::checkDrives(meas, usb, log))
        ADD_FAILURE() << (b.find("read-only") != std::string::npos ? "(e) " : "") << b;
    // Exit 3 exactly when a file is left unfinished: a stop's file that the thaw let its writer
    // finish counts as whole. Within a file nothing is lost, finished or not.
    bool allWhole = true;
    for (const std::string& name : campaign::measurementFiles(usb))
        allWhole = allWhole && campaign::fileState(usb, name).whole;
    for (const std::string& name : campaign::measurementFiles(meas)) {
        allWhole = allWhole && campaign::fileState(meas, name).whole;
        const auto records = measfile::readFile(meas + "/" + name).recordsOf(COUNTERS);
        for (size_t i = 1; i < records.size(); ++i)
            if (records[i].ts - records[i - 1].ts != 100) {
                ADD_FAILURE() << name << " lacks records after record " << i - 1 << " of " << records.size();
                break;
            }
    }
    EXPECT_EQ(exitCode, allWhole ? 0 : 3) << "exit 3 exactly when a file is left unfinished\n"
                                          << lastLines(log, 30);
    if (row.when == When::DuringTheShutdown) {
        EXPECT_EQ(exitCode, 3) << "the shutdown could not finish its file";
    }
}

INSTANTIATE_TEST_SUITE_P(Freezes, FrozenDriveE2E,
                         ::testing::Values(Row{"DuringTheStop", When::DuringTheStop, 30},
                                           Row{"DuringTheShutdown", When::DuringTheShutdown, 30},
                                           Row{"BeforeTheStart", When::BeforeTheStart, 25},
                                           Row{"SlowAtTheShutdown", When::SlowAtTheShutdown, 4},
                                           Row{"TheStickWhileLapsCome", When::StickWhileLapsCome, 60}),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });
