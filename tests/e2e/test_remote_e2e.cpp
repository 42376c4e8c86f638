// Remote control of the logging on the real executable: the test plays the PC-connection service
// on the two message queues the process publishes under its device root.
// - A data-analysis PC connects while logging runs: the answer comes only once the file is closed
//   on disk; its disconnect starts a new file; a PC that vanishes (pings unanswered) gets logging
//   back by itself. Short messages and unknown commands get their log line and no answer.
// - A destroy (a calibration PC, a flash request) is answered once the open file is closed whole on
//   both drives; its disconnect builds the measurement afresh.
// - With logging switched off, every connect is answered at once and requests nothing.
// - Every path a close can take ends with every file whole before the answer: a stop or destroy
//   just after a lap, a destroy just after the start, a full drive or stick, a stick that arrives
//   just before a destroy, a re-armed pretrigger.
#include "app_process.h"
#include "campaign.h"
#include "condition_config.h"
#include "logging_root.h"
#include "measfile.h"
#include "netns.h"
#include "pcservice.h"
#include "smalldisk.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mqueue.h>
#include <set>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration

const std::vector<uint8_t> DONE = {0, 0, 0, 0, 0};

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
    ASSERT_TRUE(prepareLoggingRoot(root));
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
    const std::string third = waitNewFile(root, {first, second});
    EXPECT_FALSE(third.empty()) << dev.logText();
    // The watch's lock refuses a late disconnect: nothing is started a second time.
    ASSERT_TRUE(pcs.command(0xEE));
    EXPECT_TRUE(logShows(dev, "meas_app_remotestart: failed")) << dev.logText();
    EXPECT_TRUE(waitNewFile(root, {first, second, third}, 2000).empty()) << dev.logText();

    EXPECT_EQ(pcs.waiting(), 0) << "no answer to the short message or the unknown command";
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(RemoteE2E, ADestroyIsAnsweredOnceTheOpenFileIsClosedWholeOnBothDrives) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));

    // The stick's arrival at start-up cuts the first file: the second is on both drives.
    std::set<std::string> known{root.file("meas/A0101000.001")};
    // Last a destroy without the PC's address: no PC is watched, and its init is refused until a stop.
    for (const uint8_t code : {0xE0, 0xD1, 0x00}) {
        const std::string open = waitNewFile(root, known);
        ASSERT_FALSE(open.empty()) << dev.logText();
        known.insert(open);
        const size_t from = dev.logText().size();
        ASSERT_TRUE(code ? pcs.command(code) : pcs.send({0xE0, 0, 0, 0, 0}));
        ASSERT_EQ(pcs.reply(20000), DONE) << std::hex << int(code) << "\n" << dev.logText();
        const double asked =
            loggedStamp(dev.logText().substr(from), code == 0xD1 ? "Flash request" : "Plixor connected");
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
        if (!code) {
            ASSERT_TRUE(pcs.command(0xED));
            ASSERT_TRUE(logShows(dev, "meas_app_remoteinit: failed")) << dev.logText();
            ASSERT_TRUE(pcs.command(0xE1));
            ASSERT_EQ(pcs.reply(20000), DONE) << dev.logText();
        }
        // The PC's disconnect builds the measurement afresh and logging goes on in a new file.
        ASSERT_TRUE(pcs.command(0xED));
    }
    EXPECT_FALSE(waitNewFile(root, known).empty()) << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

// Logging stopped with the stick out; the stick back, its copy of the stopped file held 8 s at its
// first write-through, its rename failing; the stick re-seated during the hold asks for a second
// copy of the file, which is its own: it replaces the piece the stick kept while the process runs.
TEST(RemoteE2E, EachCopyOfAFileEndsOnItsOwnWhenTheStickIsReSeatedDuringAFailingOne) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
    AppProcess dev(
        root.path(), {"0"},
        {"MSD_DRIVE_FAULT=usb_meas:sync:1:hold8000@r_FileCpyTaskA;usb_meas:rename:1:EIO@r_FileCpyTaskA"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));
    auto stick = [&](bool in) {
        const char* line = in ? "a stick arrived" : "the stick is gone";
        const int seen = countOf(dev.logText(), line);
        writeFile(root.file("usb_meas.drive.new"), in ? "inserted 1\n" : "inserted 0\n");
        std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
        return waitUntil([&] { return countOf(dev.logText(), line) > seen; }, 15000);
    };
    // The stick's arrival at start-up cuts the first file: the second is on both drives.
    const std::string second = waitNewFile(root, {root.file("meas/A0101000.001")});
    ASSERT_FALSE(second.empty()) << dev.logText();
    const std::string copy = root.file("usb_meas/" + std::filesystem::path(second).filename().string());
    ASSERT_TRUE(waitUntil([&] { return measfile::readFile(copy).recordsOf(COUNTERS).size() >= 10; }))
        << dev.logText();
    ASSERT_TRUE(stick(false)) << dev.logText();
    ASSERT_TRUE(pcs.command(0xE1));
    ASSERT_FALSE(pcs.reply(20000).empty()) << dev.logText();
    ASSERT_TRUE(stick(true)) << dev.logText();
    ASSERT_TRUE(waitUntil(
        [&] { return dev.stderrText().find("drive fault hit: usb_meas:sync:1") != std::string::npos; },
        20000))
        << dev.logText();
    ASSERT_TRUE(stick(false) && stick(true)) << dev.logText();
    EXPECT_TRUE(waitUntil([&] { return readOnly(copy) && readBinary(copy) == readBinary(second); }, 25000))
        << dev.logText();
    EXPECT_EQ(countOf(dev.logText(), "meas_app_copyLastFile() err rename"), 1) << "the first copy failed";
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.logText();
}

TEST(RemoteE2E, WithLoggingOffEveryConnectIsAnsweredAtOnce) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root, {.deviceConfig = 2})); // logging inactive
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

// A stop still waiting when the process is told to end: the drive hangs in the stop's close (the
// first attribute change on meas: never returns). The shutdown answers it FF and names the file, and
// the process ends within 12 s with exit code 3, the hung thread left behind.
TEST(RemoteE2E, AStopStillWaitingAtTheShutdownIsAnsweredAndTheProcessEndsInTime) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    AppProcess dev(root.path(), {"0"}, {"MSD_DRIVE_FAULT=meas:chmod:1:hold0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));
    const std::string first = waitNewFile(root, {});
    ASSERT_FALSE(first.empty()) << dev.logText();
    ASSERT_TRUE(pcs.command(0xE1));
    ASSERT_TRUE(logShows(dev, "sb_create_check(A0101000.001):0 - done")) << dev.logText();
    EXPECT_EQ(pcs.waiting(), 0) << "answered while the close hangs";
    const auto term = std::chrono::steady_clock::now();
    dev.signal(SIGTERM);
    EXPECT_EQ(pcs.reply(12000), (std::vector<uint8_t>{0xFF, 0, 0, 0, 0})) << dev.logText();
    EXPECT_EQ(dev.waitExit(15000), 3) << dev.logText();
    EXPECT_LE(std::chrono::steady_clock::now() - term, std::chrono::seconds(12));
    EXPECT_TRUE(logShows(dev, "files not finished at the shutdown: A0101000.001", 0)) << dev.logText();
    EXPECT_FALSE(readOnly(first)) << "unfinished, so writable";
}

// Files of the names the next fragment and the ones cut after it take, read-only on a stick put in
// after the start (someone else's; the start's search did not see them): the stick gets none of them
// and the log names each not finished there, so the stop, which closes one of them, answers FF; the
// logging drive has them whole, and the stick's files stay as they were.
TEST(RemoteE2E, ANameTakenOnTheStickLeavesThatFileUnfinishedThereAndTheStopAnswersFF) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    makeDirs(root.file("usb_meas"));
    // The stick's failed file asks for a new one at once, then at 1, 2 and 4 s: the stop comes while
    // one of these names is open.
    std::string drive = "inserted 1\n";
    for (int n = 3; n <= 9; ++n) {
        const std::string name = "A0101000.00" + std::to_string(n);
        writeFile(root.file("usb_meas/" + name), "someone else's\n");
        std::filesystem::permissions(root.file("usb_meas/" + name), std::filesystem::perms::owner_read);
        drive += "attr " + name + " 0x21\n";
    }
    const std::string taken = root.file("usb_meas/A0101000.003");
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));
    ASSERT_TRUE(waitUntil([&] {
        return measfile::readFile(root.file("meas/A0101000.001")).recordsOf(COUNTERS).size() >= 10;
    })) << dev.logText();
    writeFile(root.file("usb_meas.drive.new"), drive);
    std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
    // The stick's arrival cuts the first file; the fragment trigger the second.
    ASSERT_FALSE(waitNewFile(root, {root.file("meas/A0101000.001")}).empty()) << dev.logText();
    dev.shell("lof_fratrig");
    const std::string third = root.file("meas/A0101000.003");
    ASSERT_TRUE(logShows(dev, "usb_meas:/A0101000.003 is not finished on usb_meas: a file of that name"))
        << dev.logText();
    ASSERT_FALSE(waitNewFile(root, {root.file("meas/A0101000.001"), root.file("meas/A0101000.002")}).empty())
        << dev.logText();
    ASSERT_TRUE(pcs.command(0xE1));
    EXPECT_EQ(pcs.reply(20000), (std::vector<uint8_t>{0xFF, 0, 0, 0, 0})) << dev.logText();
    const measfile::File f = measfile::readFile(third);
    ASSERT_TRUE(f.ok()) << f.error;
    ASSERT_FALSE(f.metas.empty());
    EXPECT_EQ(f.metas.back().type, 2);
    EXPECT_TRUE(readOnly(third));
    EXPECT_EQ(readFile(taken), "someone else's\n");
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 3) << "the taken names are not finished on the stick";
}

namespace {

std::vector<std::string> measFiles(const TempDir& root) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
        if (e.path().filename().string().rfind("A0", 0) == 0) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

uint32_t be32(const std::vector<uint8_t>& p) {
    return p.size() < 4 ? 0 : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Every file closed whole: it parses, ends with its status block, is read-only, holds no record
// after its close stamp, and its copy on the stick, where there is one, has the same bytes.
void expectWhole(const TempDir& root, const std::string& when) {
    for (const std::string& path : measFiles(root)) {
        const std::string name = std::filesystem::path(path).filename().string();
        const measfile::File f = measfile::readFile(path);
        ASSERT_TRUE(f.ok()) << when << ", " << name << ": " << f.error;
        EXPECT_FALSE(f.truncated) << when << ", " << name;
        ASSERT_FALSE(f.metas.empty()) << when << ", " << name;
        EXPECT_EQ(f.metas.back().type, 2) << when << ", " << name << " does not end with its status block";
        EXPECT_TRUE(readOnly(path)) << when << ", " << name;
        for (const measfile::Meta* m : f.metaOfType(5))
            for (const measfile::Record& r : f.records)
                ASSERT_LE(int32_t(r.ts - be32(m->payload)), 0)
                    << when << ", " << name << ": a record after its close stamp";
        const std::string copy = root.file("usb_meas/" + name);
        if (std::filesystem::exists(copy)) {
            EXPECT_EQ(readBinary(copy), readBinary(path)) << when << ", " << name << " on the stick";
        }
    }
}

enum class Path { Lap, EarlyDestroy, FullDrive, FullStick, StickBefore, Pretrigger };
struct Row {
    const char* what;
    Path path;
    uint8_t command;
    int delayMs; // between the row's event and the command
};

} // namespace

// Each row brings the logging to a close by one path, then the PC's command; at the answer every
// file is whole and the files of the row's measurement hold every counter record up to the request.
TEST(RemoteE2E, EveryFileIsClosedWholeBeforeTheAnswerOnEveryPath) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    makeDirs(root.file("usb_meas"));
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
    SmallDisk drive(4 << 20, root.file("meas"));
    if (!drive.ok()) GTEST_SKIP() << drive.reason();
    SmallDisk stickDisk(4 << 20, root.file("usb_meas"));
    if (!stickDisk.ok()) GTEST_SKIP() << stickDisk.reason();
    auto stick = [&](int inserted) {
        writeFile(root.file("usb_meas.drive.new"), "inserted " + std::to_string(inserted) + "\n");
        std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
    };
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok()) << readFile(root.file("mqueue-0.names"));
    auto count = [&](const std::string& what) {
        const std::string log = dev.logText();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    };
    auto waitCount = [&](const std::string& what, size_t above, int timeoutMs = 30000) {
        return waitUntil([&] { return count(what) > above; }, timeoutMs);
    };

    const Row rows[] = {
        {"a stop at once after a lap", Path::Lap, 0xE1, 0},
        {"a destroy 100 ms after a lap", Path::Lap, 0xE0, 100},
        {"a flash request 300 ms after a lap", Path::Lap, 0xD1, 300},
        {"a destroy 0.2 s after the start", Path::EarlyDestroy, 0xE0, 200},
        {"a stop on a full logging drive", Path::FullDrive, 0xE1, 0},
        {"a destroy on a full stick", Path::FullStick, 0xE0, 0},
        {"a destroy 0.3 s after a stick came back", Path::StickBefore, 0xE0, 300},
        {"a destroy of a re-armed pretrigger", Path::Pretrigger, 0xE0, 0},
        {"a second destroy of a re-armed pretrigger", Path::Pretrigger, 0xE0, 0},
    };
    std::set<std::string> known; // files of the rows before
    size_t starts = 0;           // measurement starts before the row
    for (size_t k = 0; k < std::size(rows); ++k) {
        const Row& row = rows[k];
        SCOPED_TRACE(row.what);
        const size_t logFrom = dev.logText().size();
        auto mine = [&] {
            std::vector<std::string> out;
            for (const std::string& f : measFiles(root))
                if (!known.count(f)) out.push_back(f);
            return out;
        };
        auto counters = [&] {
            std::vector<measfile::Record> all;
            for (const std::string& f : mine()) {
                const auto r =
                    measfile::readFile(f).recordsOf(row.path == Path::Pretrigger ? PIN_BLOCK : COUNTERS);
                all.insert(all.end(), r.begin(), r.end());
            }
            std::sort(all.begin(), all.end(),
                      [](const auto& a, const auto& b) { return int32_t(a.ts - b.ts) < 0; });
            return all;
        };
        if (row.path == Path::EarlyDestroy) {
            ASSERT_TRUE(waitCount("Measstart with Outing", starts)) << dev.logText();
        } else if (row.path != Path::Pretrigger) {
            ASSERT_TRUE(waitUntil([&] { return counters().size() >= 50; }, 30000)) << dev.logText();
        }
        SmallDisk* full = row.path == Path::FullDrive   ? &drive
                          : row.path == Path::FullStick ? &stickDisk
                                                        : nullptr;
        switch (row.path) {
        case Path::Lap:
            dev.shell("lof_laptrig");
            break;
        case Path::FullDrive:
        case Path::FullStick: {
            const size_t cuts = count("ends with its last complete record");
            full->fill();
            ASSERT_TRUE(waitCount("ends with its last complete record", cuts)) << dev.logText();
            break;
        }
        case Path::StickBefore: {
            const size_t gone = count("the stick is gone");
            stick(0);
            ASSERT_TRUE(waitCount("the stick is gone", gone)) << dev.logText();
        }
            ASSERT_TRUE(waitUntil([&] { return counters().size() >= 150; }, 30000)) << dev.logText();
            {
                const size_t arrivals = count("a stick arrived: the open files are cut and copied");
                stick(1);
                ASSERT_TRUE(waitCount("a stick arrived: the open files are cut and copied", arrivals))
                    << dev.logText();
            }
            break;
        case Path::Pretrigger:
            ASSERT_TRUE(waitCount("New measurement started", starts)) << dev.logText();
            dev.shell("board din 0 1");
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            dev.shell("board din 0 0");
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            break;
        case Path::EarlyDestroy:
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(row.delayMs));
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(pcs.command(row.command));
        if (full) {
            // The open file's status block is handed over, the drive has no room for it: no answer.
            const std::string open = std::filesystem::path(mine().back()).filename().string();
            ASSERT_TRUE(waitCount("sb_create_check(" + open + "):0 - done", 0)) << dev.logText();
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            EXPECT_EQ(pcs.waiting(), 0) << "answered while " << open << " is not finished";
            full->free();
        }
        ASSERT_EQ(pcs.reply(60000), DONE) << dev.logText();
        std::printf("%s: answered after %lld ms\n", row.what,
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - sent)
                        .count());
        const std::string segment = dev.logText().substr(logFrom);
        const double asked = loggedStamp(segment, row.command == 0xE1   ? "Trevanox connected"
                                                  : row.command == 0xE0 ? "Plixor connected"
                                                                        : "Flash request");
        ASSERT_GT(asked, 0) << segment;
        const std::vector<std::string> files = mine();
        ASSERT_FALSE(files.empty());
        // A stick that came back gets the file it left, whole, by the answer: the piece written
        // before the pull is replaced by its copy.
        expectWhole(root, row.what);
        // Nothing lost before the request: the counters without a gap, up to it once data came.
        if (row.path != Path::Pretrigger) {
            const auto records = counters();
            for (size_t i = 1; i < records.size(); ++i)
                ASSERT_EQ(records[i].ts - records[i - 1].ts, 100u)
                    << "record " << i << " of " << records.size();
            // Only the early destroy may come before the measurement's first data.
            const double begun = loggedStamp(segment, "starting measurement m01");
            if (row.path != Path::EarlyDestroy || (begun > 0 && begun < asked)) {
                ASSERT_FALSE(records.empty());
                EXPECT_GT(records.back().ts / 10000.0, asked - 0.15)
                    << "the last record comes before the request";
            }
        }
        // A lap's close writes its stamp: in the file the lap cut, and only there.
        size_t stamped = 0;
        for (const std::string& f : files) stamped += measfile::readFile(f).metaOfType(5).empty() ? 0 : 1;
        EXPECT_EQ(stamped, row.path == Path::Lap ? 1u : 0u);
        for (const std::string& f : files) known.insert(f);
        starts = count("Measstart with Outing");
        if (row.path == Path::EarlyDestroy) {
            // A destroyed measurement has nothing to start: 0xEE is refused, only 0xED builds it again.
            ASSERT_TRUE(pcs.command(0xEE));
            ASSERT_TRUE(waitCount("meas_app_remotestart: failed 100", 0)) << dev.logText();
        }
        if (k + 1 < std::size(rows) && rows[k + 1].path == Path::Pretrigger && row.path != Path::Pretrigger)
            writeFile(root.file("cfg/m01.xml"), conditionConfig("<PreTriggerTime time=\"10\"/>\n"));
        ASSERT_TRUE(pcs.command(row.command == 0xE1 ? 0xEE : 0xED));
    }
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(30000), 0) << dev.stderrText();
    expectWhole(root, "at the end");
    const std::string log = dev.logText();
    for (const char* never : {"fd open err", "closed before its end"})
        EXPECT_EQ(log.find(never), std::string::npos) << never << "\n" << log;
    // Only the pulled stick left a file unfinished, until its copy came.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("not finished") != std::string::npos) {
            EXPECT_NE(line.find("the stick was pulled"), std::string::npos) << line;
        }
    }
}

// The PC vanishes while its destroy waits for a slow drive, with no route to it (its pings fail at
// once): the destroy is answered at its bound and goes on, the watch asks for logging back once,
// that init waits for the destroy's end and then runs with no further command, and its lock refuses
// the PC's late 0xED. A request that came behind a slow one is answered within 12 s of its own
// sending, and its line says whether it goes on or is not carried out.
TEST(RemoteE2E, APcLostDuringASlowDestroyGetsLoggingBackAndEveryRequestIsAnsweredInItsOwnTime) {
    NetNamespace net; // only loopback: 192.0.2.1 has no route
    if (!net.ok()) GTEST_SKIP() << net.reason();
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    // Every close held 14 s on the write-through tasks, and no call 10 s (that would be a hang): its
    // open for the read-only byte 5 s, the byte itself 9 s.
    AppProcess dev(root.path(), {"0"},
                   {"MSD_DRIVE_FAULT=meas:open:1:hold5000:0@r_BFSSync*;meas:chmod:1:hold9000:0@r_BFSSync*"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping off");
    PcConnectionService pcs(root.path());
    ASSERT_TRUE(pcs.ok());
    const std::string first = waitNewFile(root, {});
    ASSERT_FALSE(first.empty()) << dev.logText();
    auto seconds = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    auto answered = [&](std::chrono::steady_clock::time_point sent, const char* what) {
        const std::vector<uint8_t> a = pcs.reply(20000);
        EXPECT_FALSE(a.empty()) << what << ": no answer\n" << dev.logText();
        EXPECT_LE(seconds(sent), 12.0) << what << " answered late\n" << dev.logText();
        return a;
    };

    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(pcs.send({0xE0, 192, 0, 2, 1}));
    answered(sent, "the destroy");
    // The log's task writes the answer's line a moment after the answer may have gone out. Its file's
    // close is under way on the write-through task: still being closed, not unfinished.
    ASSERT_TRUE(logShows(dev, "is still being closed: the destroy goes on")) << dev.logText();
    ASSERT_TRUE(logShows(dev, "remote lost, do a remoteinit", 20000)) << dev.logText();
    const std::string second = waitNewFile(root, {first}, 30000);
    ASSERT_FALSE(second.empty()) << "no logging after the destroy's end\n" << dev.logText();
    std::string log = dev.logText();
    EXPECT_NE(log.find("New measurement started", log.find("remote lost, do a remoteinit")),
              std::string::npos);
    EXPECT_EQ(countOf(log, "remote lost, do a remoteinit"), 1) << log;
    EXPECT_LE(countOf(log, "remote lost"), 5) << log;
    EXPECT_EQ(log.find("meas_app_remoteinit: failed"), std::string::npos) << log;
    // The PC comes back and disconnects late: the watch's lock refuses it, logging goes on.
    const int builds = countOf(log, "Init new measurement");
    ASSERT_TRUE(pcs.command(0xED));
    ASSERT_TRUE(logShows(dev, "meas_app_remoteinit: failed")) << dev.logText();
    EXPECT_EQ(countOf(dev.logText(), "Init new measurement"), builds) << dev.logText();

    // A stop whose file takes longer than its answer's bound to close, and a destroy sent behind it.
    dev.shell("board ping answer");
    const size_t from = dev.logText().size();
    const int stops = countOf(dev.logText(), "Stopping measurement");
    sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(pcs.command(0xE1));
    ASSERT_TRUE(waitUntil([&] { return countOf(dev.logText(), "Stopping measurement") > stops; }, 15000))
        << dev.logText();
    const auto destroySent = std::chrono::steady_clock::now();
    ASSERT_TRUE(pcs.command(0xE0));
    int failed = answered(sent, "the stop") == DONE ? 0 : 1;
    failed += answered(destroySent, "the destroy behind it") == DONE ? 0 : 1;
    // Not carried out only when its time was over before its turn; else it is carried out, or goes
    // on: logging ends destroyed.
    log = campaign::logWithAnswers(dev, from, failed);
    const bool late = log.find("behind another request: not carried out") != std::string::npos;
    EXPECT_EQ(campaign::notCarriedOutWhileTaken(log), "");
    EXPECT_EQ(campaign::awaitLogging(dev, root.file("meas"), COUNTERS,
                                     late ? campaign::Logging::Stopped : campaign::Logging::Destroyed, {},
                                     false, 20000, false),
              "")
        << (late ? "not carried out" : "carried out") << "\n"
        << log;
    std::printf("the destroy behind the stop: %s\n", late ? "not carried out" : "carried out, or goes on");

    dev.signal(SIGTERM);
    dev.waitExit(30000);
}

// Every read-only mark of meas: held 13 s on the drive's write-through tasks: the file of a stop
// and of a destroy is still being closed when the answer comes (FF, by its bound) and ends whole
// after it. The answer's lines name it still being closed, never unfinished.
TEST(RemoteE2E, AFileStillBeingClosedAtTheAnswerIsNamedSoAndEndsWhole) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root));
    AppProcess dev(root.path(), {"0"}, {"MSD_DRIVE_FAULT=meas:chmod:1:hold13000:0@r_BFSSync*"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    std::set<std::string> known;
    for (const uint8_t code : {0xE1, 0xE0}) {
        const std::string open = waitNewFile(root, known);
        ASSERT_FALSE(open.empty()) << dev.logText();
        const std::string name = std::filesystem::path(open).filename().string();
        known.insert(open);
        const size_t from = dev.logText().size();
        ASSERT_TRUE(pcs.command(code));
        EXPECT_EQ(pcs.reply(12000), (std::vector<uint8_t>{0xFF, 0, 0, 0, 0})) << dev.logText();
        ASSERT_TRUE(waitUntil([&] { return readOnly(open); }, 20000)) << name << " never ends whole";
        const std::string log = campaign::logWithAnswers(dev, from, 1);
        EXPECT_TRUE(log.find(name + " is still being closed") != std::string::npos &&
                    log.find("files still being closed, answering MEAS_REPLY_ERROR") != std::string::npos &&
                    log.find(name + " is not finished") == std::string::npos &&
                    log.find(name + " not finished") == std::string::npos)
            << std::hex << int(code) << ": " << name << " named unfinished while its close goes on\n"
            << log;
        ASSERT_TRUE(code != 0xE1 || pcs.command(0xEE));
    }
    // Nothing open that the held mark would keep past the shutdown's bound.
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(30000), 0) << dev.logText();
}
