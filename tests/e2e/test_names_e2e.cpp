// The names of the measurement files across starts, on the real executable: logging starts at once
// while the start's search reads a large folder on a slow drive, and the files cut meanwhile are made
// under names that follow every absolute lap the drives hold; the counters of a run never stored
// (the NV store held) and the logging drive emptied, the next start names no file as the earlier run
// did, and nothing the stick keeps of that run is written over, whatever a power cut interrupts.
#include "app_process.h"
#include "campaign.h"
#include "logging_root.h"
#include "measfile.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

constexpr const char* INDEX = "0";
constexpr uint8_t COUNTERS = 2; // the sample's 10 ms block: lap, outing, fragment, absolute lap

// A device root with the sample logging configuration and the stick in.
constexpr LoggingRoot kRoot = {.index = INDEX, .pcode = 0x1234, .stickIn = true, .stickFolder = true};

// A file of the run, as a drive keeps it.
struct Kept {
    std::vector<uint8_t> bytes;
    bool readOnly = false;
};

std::map<std::string, Kept> keptOn(const std::string& dir) {
    std::map<std::string, Kept> out;
    for (const std::string& name : campaign::measurementFiles(dir))
        out[name] = {readBinary(dir + "/" + name), readOnly(dir + "/" + name)};
    return out;
}

// The device's log from the moment this is made on: what the start made next logs (the log is
// written on a task of its own, so a start's first line may come after its shell is up).
class LogFrom {
public:
    explicit LogFrom(const TempDir& root)
        : path_(root.file("log/syslog-0.log")), from_(readFile(path_).size()) {}
    std::string operator()() const {
        const std::string all = readFile(path_);
        return all.substr(std::min(from_, all.size()));
    }

private:
    std::string path_;
    size_t from_;
};

// What is wrong with the files the device made (`log`) in `dir`: a file that does not parse to its
// last complete record, one read-only and not whole, one whose header's absolute lap is not its
// name's, or whose status block names another file.
std::vector<std::string> filesWrong(const std::string& dir, const std::string& log) {
    std::vector<std::string> wrong;
    for (const std::string& name : campaign::filesMade(log)) {
        if (!std::filesystem::exists(dir + "/" + name)) continue;
        const measfile::File f = measfile::readFile(dir + "/" + name);
        if (!f.ok()) {
            wrong.push_back(name + ": " + f.error);
            continue;
        }
        if (f.completeBytes == 0) continue; // its header lost to a power cut
        const campaign::FileState s = campaign::fileState(dir, name);
        if (s.readOnly && !s.whole) wrong.push_back(name + " is read-only but " + s.why);
        if (int(f.header.absLap) != campaign::absLapOf(name))
            wrong.push_back(name + " carries absolute lap " + std::to_string(f.header.absLap) +
                            " in its header");
        for (const measfile::Meta* sb : f.metaOfType(2)) {
            const std::string text(sb->payload.begin(), sb->payload.end());
            if (text.find(name + std::string(1, '\0')) == std::string::npos)
                wrong.push_back(name + ": its status block does not name it");
        }
    }
    return wrong;
}

// The start's search names the first file once it has read the drives' folders.
constexpr const char* kNamed = "LapOutFra_initLapOutCnt(): Starting with file: ";

// Whether the device (its log from `run` on) is up and logging while its search still reads the
// folders.
::testing::AssertionResult loggingWhileTheFolderIsRead(AppProcess& dev, const LogFrom& run) {
    if (!dev.waitForShell()) return ::testing::AssertionFailure() << "no shell: " << dev.stderrText();
    if (!waitUntil([&] { return countOf(run(), "meas_app_saveblock(): starting measurement m01") > 0; },
                   20000))
        return ::testing::AssertionFailure() << "no logging: " << dev.logText();
    if (countOf(run(), kNamed) != 0)
        return ::testing::AssertionFailure() << "the search has ended already: " << run();
    return ::testing::AssertionSuccess();
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += i + "\n";
    return out;
}

} // namespace

// Every open of meas:'s drive task 2 s slow and 1,000 other files there, with files on meas: and the
// stick of absolute laps ahead of the counters: logging starts at once, its first records come from
// the start, a lap and a fragment cut files while the folder is still read, and once it is read every
// file is made under a name after those the drives hold, none twice, its header and status block
// naming it as made. SIGTERM during such a search ends the process in time, every file whole.
TEST(NamesE2E, TheStartRecordsAtOnceWhileASlowFolderIsReadAndNamesNoFileTwice) {
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root, kRoot));
    for (int i = 0; i < 1000; ++i) writeFile(root.file("meas/D" + std::to_string(1000000 + i) + ".DAT"), "");
    // Absolute laps 0x31 on meas: and 0x40 on the stick: an earlier run's, its counters lost.
    writeFile(root.file("meas/A0101003.101"), "an earlier run's file on meas:\n");
    writeFile(root.file("usb_meas/A0201004.001"), "an earlier run's file on the stick\n");
    const std::map<std::string, Kept> before = keptOn(root.file("meas")),
                                      beforeStick = keptOn(root.file("usb_meas"));
    const std::string slow = "MSD_DRIVE_FAULT=meas:open:0:slow2000@r_DrvCall_meas";
    {
        const LogFrom run(root);
        AppProcess dev(root.path(), {INDEX}, {slow});
        ASSERT_TRUE(loggingWhileTheFolderIsRead(dev, run));
        // A lap and a fragment while the folder is still read: files of their own, named later.
        dev.shell("lof_laptrig");
        ASSERT_TRUE(waitUntil([&] { return countOf(run(), "collecting statusblock for") > 0; }, 20000))
            << dev.logText();
        dev.shell("lof_fratrig");
        // No drive has a file of the start yet: their names are not fixed.
        EXPECT_EQ(campaign::measurementFiles(root.file("meas")), std::vector<std::string>{"A0101003.101"});
        EXPECT_EQ(campaign::measurementFiles(root.file("usb_meas")),
                  std::vector<std::string>{"A0201004.001"});
        ASSERT_EQ(countOf(run(), kNamed), 0) << "the search has ended already";
        ASSERT_TRUE(waitUntil([&] { return countOf(run(), kNamed) > 0; }, 60000)) << dev.logText();
        const std::string log = run();
        const double startUp = loggedStamp(log, "main(): start-up done"),
                     logging = loggedStamp(log, "New measurement started"), named = loggedStamp(log, kNamed);
        ASSERT_GE(startUp, 0) << log;
        ASSERT_GE(logging, 0) << log;
        // The files made meanwhile, all of them on both drives once the names are fixed.
        const std::vector<std::string> made = campaign::filesMade(log);
        ASSERT_GE(made.size(), 3u) << log;
        for (const std::string& name : made)
            for (const char* drive : {"meas", "usb_meas"})
                EXPECT_TRUE(waitUntil(
                    [&] {
                        return measfile::readFile(root.file(std::string(drive) + "/" + name))
                                   .recordsOf(COUNTERS)
                                   .size() > 0;
                    },
                    20000))
                    << drive << "/" << name << "\n"
                    << dev.logText();
        uint32_t first = 0, firstOnStick = 0;
        ASSERT_TRUE(campaign::firstRecord(root.file("meas"), COUNTERS, &first));
        ASSERT_TRUE(campaign::firstRecord(root.file("usb_meas"), COUNTERS, &firstOnStick));
        std::printf("1,000 files on meas: at 2 s a call: logging began %.2f s after the start-up's end, its "
                    "first records on meas: and the stick %.2f and %.2f s after that; the names were fixed "
                    "%.2f s after the start-up's end\n",
                    logging - startUp, first / 10000.0 - logging, firstOnStick / 10000.0 - logging,
                    named - startUp);
        EXPECT_LE(logging - startUp, 2.0) << log;
        EXPECT_LE(first / 10000.0 - logging, 2.0) << log;
        EXPECT_LE(firstOnStick / 10000.0 - logging, 2.0) << log;
        EXPECT_GE(named - startUp, 10.0) << "the folder's read is many slow calls: " << log;
        // No name twice: every file of the start after the absolute laps the drives held.
        const std::set<std::string> unique(made.begin(), made.end());
        EXPECT_EQ(unique.size(), made.size()) << log;
        for (const std::string& name : made) EXPECT_GT(campaign::absLapOf(name), 0x40) << name << "\n" << log;
        EXPECT_NE(log.find(kNamed + made.front()), std::string::npos) << "the first file as it is made\n"
                                                                      << log;
        dev.signal(SIGTERM);
        EXPECT_EQ(dev.waitExit(30000), 0) << dev.logText();
        for (const char* drive : {"meas", "usb_meas"})
            EXPECT_EQ(joined(filesWrong(root.file(drive), dev.logText())), "") << drive;
        for (const std::string& name : made)
            for (const char* drive : {"meas", "usb_meas"})
                EXPECT_TRUE(campaign::fileState(root.file(drive), name).whole)
                    << drive << "/" << name << " " << campaign::fileState(root.file(drive), name).why;
    }
    for (const auto& [name, kept] : before)
        EXPECT_EQ(readBinary(root.file("meas/" + name)), kept.bytes) << name;
    for (const auto& [name, kept] : beforeStick)
        EXPECT_EQ(readBinary(root.file("usb_meas/" + name)), kept.bytes) << name;

    // SIGTERM while the folder is still read: the shutdown names the files and ends in time.
    const LogFrom run(root);
    AppProcess dev(root.path(), {INDEX}, {slow});
    ASSERT_TRUE(loggingWhileTheFolderIsRead(dev, run));
    const auto term = std::chrono::steady_clock::now();
    dev.signal(SIGTERM);
    const int exit = dev.waitExit(30000);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - term).count();
    std::printf("SIGTERM during the search: the process gone %.2f s after it, exit %d\n", took, exit);
    EXPECT_LE(took, 12.0) << dev.logText();
    EXPECT_EQ(exit, 0) << dev.logText();
    EXPECT_NE(run().find("the shutdown began before the folder of meas: was read"), std::string::npos)
        << dev.logText();
    for (const char* drive : {"meas", "usb_meas"})
        EXPECT_EQ(joined(filesWrong(root.file(drive), dev.logText())), "") << drive;
}

namespace {

// A moment of the second start that a power cut interrupts (empty: none), or a fault of its own.
struct EarlierRunRow {
    const char* name;
    const char* fault;
    bool cut;
};

void PrintTo(const EarlierRunRow& row, std::ostream* out) {
    *out << row.name;
}

class EarlierRunE2E : public ::testing::TestWithParam<EarlierRunRow> {};

// Starts the device with `env`, cuts files by `laps` laps (each once the newest file has records on
// both drives, files of the name that an earlier run left on the stick not counted, or until the
// process ends), and returns it running (or ended).
std::unique_ptr<AppProcess> runWithLaps(const TempDir& root, const std::vector<std::string>& env, int laps,
                                        const std::map<std::string, Kept>& earlier = {}) {
    const LogFrom run(root);
    auto dev = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{INDEX}, env);
    EXPECT_TRUE(dev->waitForShell()) << dev->stderrText();
    auto cutDone = [&] { return !dev->running(); };
    for (int lap = 0; lap <= laps && !cutDone(); ++lap) {
        const size_t made = campaign::filesMade(run()).size();
        waitUntil(
            [&] {
                if (cutDone()) return true;
                const auto names = campaign::filesMade(run());
                if (names.size() <= made) return false;
                const auto was = earlier.find(names.back());
                if (was != earlier.end() &&
                    readBinary(root.file("usb_meas/" + names.back())) == was->second.bytes)
                    return false;
                for (const char* drive : {"meas", "usb_meas"})
                    if (measfile::readFile(root.file(std::string(drive) + "/" + names.back()))
                            .recordsOf(COUNTERS)
                            .size() < 50)
                        return false;
                return true;
            },
            20000);
        if (lap < laps && !cutDone()) dev->shell("lof_laptrig");
    }
    return dev;
}

} // namespace

// The case: every write-through of the NV store's task held 8 s, so that a run's lap counters
// never reach NV; two laps, the process killed; meas:'s files deleted (a new card). The next start
// names its files after the absolute laps the stick holds, and no file the stick keeps of the
// earlier run is written over (read-only or not), with the power cut at each moment named, and a
// third start after the cut going on after both runs. Where the stick's folder cannot be read, the
// stick's writer and copy still write over nothing: the new files take new names there.
TEST_P(EarlierRunE2E, NoFileOfAnEarlierRunIsWrittenOverAndTheNewOnesTakeNewNames) {
    const EarlierRunRow row = GetParam();
    NetNamespace net; // laps of devices elsewhere on the machine never reach this one
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    ASSERT_TRUE(prepareLoggingRoot(root, kRoot));
    std::string logs;
    {
        auto first = runWithLaps(root, {"MSD_DRIVE_FAULT=nv:sync:1:hold8000:0@r_nvStore"}, 2);
        // The first two files closed whole on the stick, the third one open.
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto names = campaign::filesMade(first->logText());
                return names.size() >= 3 && readOnly(root.file("usb_meas/" + names[0])) &&
                       readOnly(root.file("usb_meas/" + names[1]));
            },
            30000))
            << first->logText();
        first->signal(SIGKILL);
        first->waitExit();
        logs += first->logText();
    }
    // The names a drive holds (a file a power cut took with it holds none), and the furthest
    // absolute lap among them.
    std::set<std::string> names;
    int furthest = -1;
    auto taken = [&](const std::string& log) {
        for (const std::string& n : campaign::filesMade(log))
            if (std::filesystem::exists(root.file("meas/" + n)) ||
                std::filesystem::exists(root.file("usb_meas/" + n))) {
                names.insert(n);
                furthest = std::max(furthest, campaign::absLapOf(n));
            }
    };
    taken(logs);
    const std::map<std::string, Kept> stick = keptOn(root.file("usb_meas"));
    // A new card: the logging drive holds nothing of that run.
    std::filesystem::remove_all(root.file("meas"));
    makeDirs(root.file("meas"));
    std::filesystem::remove(root.file("meas.drive"));

    std::vector<std::string> env;
    if (*row.fault) env.push_back(std::string("MSD_DRIVE_FAULT=") + row.fault);
    const bool stickUnread = std::string(row.name) == "TheSticksFolderCannotBeRead";
    const int starts = row.cut ? 2 : 1;
    for (int start = 0; start < starts; ++start) {
        const LogFrom run(root);
        auto dev = runWithLaps(root, start == 0 ? env : std::vector<std::string>{}, 1, stick);
        if (start == 0 && row.cut) {
            EXPECT_NE(dev->waitExit(60000), -1) << "the power cut did not come: " << dev->logText();
            EXPECT_NE(dev->stderrText().find("drive fault hit"), std::string::npos) << dev->stderrText();
        } else {
            dev->signal(SIGTERM);
            dev->waitExit(30000);
        }
        const std::string log = run();
        // The earlier run's counters were never stored: the stick's files are what moves them on
        // (but where a cut comes before the names are fixed, or the stick cannot be read).
        if (start == 0 && !stickUnread && std::string(row.fault).rfind("nv:", 0) != 0) {
            EXPECT_NE(log.find("LapOutFra_initLapOutCnt(): usb_meas: holds files of absolute lap"),
                      std::string::npos)
                << log;
        }
        // Where the stick's folder could not be read a name may repeat one that only the lost card
        // held (never on the same drive: the stick keeps its file, and its new file takes a new name).
        for (const std::string& n : stickUnread ? std::vector<std::string>{} : campaign::filesMade(log)) {
            EXPECT_GT(campaign::absLapOf(n), furthest) << n << " repeats an earlier absolute lap\n" << log;
            EXPECT_EQ(names.count(n), 0u) << n << " named twice\n" << log;
        }
        taken(log);
        EXPECT_EQ(countOf(log, "replaced, a file of that name"), 0) << log;
        logs += log;
        // Nothing the stick kept of the earlier run is written over, whatever this start did.
        for (const auto& [name, kept] : stick) {
            EXPECT_EQ(readBinary(root.file("usb_meas/" + name)), kept.bytes) << name << " written over\n"
                                                                             << log;
            EXPECT_EQ(readOnly(root.file("usb_meas/" + name)), kept.readOnly) << name;
        }
    }
    for (const char* drive : {"meas", "usb_meas"})
        EXPECT_EQ(joined(filesWrong(root.file(drive), logs)), "") << drive;
    if (stickUnread) {
        EXPECT_NE(logs.find("a file of that name is on the drive and is never written over"),
                  std::string::npos)
            << logs;
        EXPECT_NE(logs.find("cannot be written: a file of that name is on usb_meas:; a new file is cut"),
                  std::string::npos)
            << logs;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, EarlierRunE2E,
    ::testing::Values(EarlierRunRow{"NoCut", "", false},
                      // The moments the stick's writer made its first files of the start (where an earlier
                      // run's file of the name was replaced), and the card's.
                      EarlierRunRow{"AtTheSticksFirstCreate", "usb_meas:open:1:cut@r_USBWriter1", true},
                      EarlierRunRow{"AtTheSticksLapFile", "usb_meas:open:2:cut@r_USBWriter1", true},
                      EarlierRunRow{"AtTheCardsFirstCreate", "meas:open:1:cut@r_BFSWriter1", true},
                      // The counters' first store after the search moved them on.
                      EarlierRunRow{"AtTheFirstNvWriteThrough", "nv:sync:1:cut@r_nvStore", true},
                      // The search sees nothing of the stick (every call of its task fails for 5 s).
                      EarlierRunRow{"TheSticksFolderCannotBeRead",
                                    "usb_meas:open:0:EIOfor5000@r_DrvCall_usb_m", false}),
    [](const ::testing::TestParamInfo<EarlierRunRow>& info) { return std::string(info.param.name); });
