// The lap, outing and fragment counters: file names, NV records, the fragment search on "meas:",
// lap events, fragments and updates, the lock before start-up, parallel stores and the start of a
// logging slave without a master.
#include "lapfixture.h"

#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/time_util.h"
#include "platform/drives/drive_fault.h"

#include <filesystem>
#include <thread>

using namespace laptest;
using testsupport::countContaining;
using testsupport::drainSyslog;

namespace {

std::vector<uint8_t> nvRecord(uint32_t id, size_t length) {
    std::vector<uint8_t> b(length);
    if (nvram_dbs_read(id, 0, b.data(), length) != int(length)) b.clear();
    return b;
}

LapOutFraState state() {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    return s;
}

std::vector<int> signals() {
    const SeramSigPage& s = seramSig();
    return {s.lapctr, s.outctr, s.fractr, s.abslap};
}

// The log up to the start's names being fixed: the search reads each drive's folder on that
// drive's own task, and the measurement raster fixes the names once it has ended.
std::vector<std::string> untilSearched() {
    std::vector<std::string> log;
    testsupport::waitUntil([&] {
        meas_app_namesStep();
        for (std::string& line : drainSyslog()) log.push_back(std::move(line));
        return countContaining(log, "Starting with file: ") > 0;
    });
    return log;
}

} // namespace

TEST(LapOutFraNames, GoldenNamesAndBadArguments) {
    syslog_init(0);
    drainSyslog();
    struct Case {
        uint32_t size;
        uint8_t index, outing, lap, fragment;
        uint16_t absLap;
        int result;
        const char* name;
        const char* log;
    };
    const Case cases[] = {
        {64, 0, 3, 12, 2, 0x01A7, 12, "A030c01a.702", nullptr},
        {64, 2, 3, 12, 2, 0x01A7, 12, "B030c01a.702", nullptr},
        {64, 0, uint8_t(300), 1, 1, 0, 12, "A2c01000.001", nullptr}, // outing 300: its low byte
        {64, 0, 255, 255, 255, 0xFFFF, 12, "Afffffff.fff", nullptr},
        {64, 1, 3, 12, 2, 0, -1, "", nullptr},
        {12, 0, 3, 12, 2, 0x01A7, 11, "A030c01a.70", "insufficient space in filename output buffer"},
        {64, 3, 3, 12, 2, 0, -1, nullptr, "illegal argument: buffer 1, size 64, idx 3"},
        {0, 0, 3, 12, 2, 0, -1, nullptr, "illegal argument: buffer 1, size 0, idx 0"},
    };
    for (const Case& c : cases) {
        char buf[64] = "untouched";
        EXPECT_EQ(LapOutFra_genFilenameAbsLap(buf, c.size, c.index, c.outing, c.lap, c.fragment, c.absLap),
                  c.result)
            << c.name;
        if (c.name) {
            EXPECT_STREQ(buf, c.name);
        }
        const auto log = drainSyslog();
        EXPECT_EQ(countContaining(log, c.log ? c.log : "LapOutFra_genFilename()"), c.log ? 1 : 0) << c.name;
    }
    EXPECT_EQ(LapOutFra_genFilenameAbsLap(nullptr, 64, 0, 1, 1, 1, 0), -1);
    EXPECT_EQ(countContaining(drainSyslog(), "illegal argument: buffer 0, size 64, idx 0"), 1);
}

// A device that logs nothing: the start names the file its counters give.
class LapOutFra : public CounterTest {
protected:
    void SetUp() override {
        CounterTest::SetUp();
        cfg_system.loggingActive = 0;
    }
};

TEST_F(LapOutFra, EmptyNvStartsAt111AndEveryStartTakesANewAbsoluteLap) {
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_start();
    auto log = untilSearched();
    EXPECT_EQ(countContaining(log, "intLapOutFra_init() calling nvram_dbs_read failed"), 1);
    EXPECT_EQ(countContaining(log, "intLapOutFra_init() calling nvram_dbs_read LapOutFraAbsLapCnt failed"),
              1);
    EXPECT_EQ(countContaining(log, "LapOutFra_initLapOutCnt(): Starting with file: A0101000.001"), 1);
    EXPECT_EQ(state().valid, 1);
    EXPECT_EQ(signals(), (std::vector<int>{1, 1, 1, 0}));
    // Little-endian images, stored on the NV store's task: fragment, outing, lap; the absolute lap.
    ASSERT_TRUE(LapOutFra_waitStored(5000));
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA, 6), (std::vector<uint8_t>{1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA_ABSLAP, 2), (std::vector<uint8_t>{0, 0}));

    const uint8_t stored[6] = {2, 0, 0x04, 0x03, 0x06, 0x05};
    nvram_dbs_write(NV_REC_LAPOUTFRA, 0, stored, sizeof stored);
    LapOutFra_exit();
    ASSERT_EQ(LapOutFra_init(), 0);
    const LapOutFraState s = state();
    EXPECT_EQ(s.valid, 0) << "valid only once the counters are initialised";
    EXPECT_EQ(s.fragment, 2);
    EXPECT_EQ(s.outing, 0x0304);
    EXPECT_EQ(s.lap, 0x0506);
    EXPECT_EQ(s.absLap, 1);
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA_ABSLAP, 2), (std::vector<uint8_t>{1, 0}));
}

// The start's search reads the folder of each drive that takes data on that drive's own task: the
// counters are valid at once, the names are fixed once it has ended, and the absolute lap goes on
// after the furthest one a drive holds, with a fragment cut meanwhile.
TEST_F(LapOutFra, TheStartFixesItsNamesAfterItsSearchAndGoesOnAfterTheAbsoluteLapsOnTheDrives) {
    // .001 was finished (read-only), .002 left writable by a run that did not end.
    testsupport::writeFile(root.file("meas/A0101000.001"), "x");
    testsupport::writeFile(root.file("meas/A0101000.002"), "x");
    testsupport::writeFile(root.file("meas.drive"), "attr A0101000.001 0x21\n");
    ASSERT_EQ(LapOutFra_init(), 0);
    DriveFault slow;
    ASSERT_TRUE(drivefault_parse("meas:open:0:slow600000", &slow, nullptr));
    drivefault_clear();
    drivefault_arm(slow); // the folder's read until the clear
    LapOutFra_start();
    EXPECT_EQ(state().valid, 1);
    EXPECT_FALSE(LapOutFra_namesFinal());
    LapOutFra_setFragmentTrig(1);
    meas_app_namesStep();
    EXPECT_FALSE(LapOutFra_namesFinal()) << "meas: is not read yet";
    EXPECT_EQ(countContaining(drainSyslog(), "Starting with file: "), 0);
    drivefault_clear();
    const auto log = untilSearched();
    EXPECT_EQ(countContaining(log, "Starting with file: A0101000.102"), 1) << "the fragment goes on too";
    EXPECT_EQ(countContaining(log,
                              "meas: holds 1 file that an earlier run did not finish (a power cut, a kill "
                              "or a fault of the drive), writable with their last complete record: "
                              "A0101000.002"),
              1);
    EXPECT_TRUE(LapOutFra_namesFinal());
    ASSERT_TRUE(LapOutFra_waitStored(5000));
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA_ABSLAP, 2), (std::vector<uint8_t>{1, 0}));

    // Stored counters (absolute lap before the start's step) against the files a power cut, a lost
    // store or a wrap left on meas: and the stick.
    struct Case {
        const char* what;
        uint16_t stored;
        std::vector<const char*> files;
        const char* first;
        const char* holder; // the drive whose files move the absolute lap on; null: none does
        std::vector<const char*> onTheStick = {};
    };
    const Case cases[] = {
        {"files behind the counters", 0x20, {"A0101001.0ff", "A0101002.001"}, "A0101002.101", nullptr},
        {"the store lagged behind two laps",
         0x0F,
         {"A0101001.001", "A0102001.101", "B0102001.202"},
         "A0101001.301",
         "meas:"},
        {"the counter wrapped past a file", 0xFFFE, {"A0101000.101"}, "A0101000.201", "meas:"},
        {"a file half the range away is old", 0x10, {"A0101801.101"}, "A0101001.101", nullptr},
        {"names of other forms",
         0x10,
         {"notes.txt", "A0101fff.f0", "A0101fff.fg1", "C0101fff.f01"},
         "A0101001.101",
         nullptr},
        {"the stick holds names meas: lost",
         0x10,
         {"A0101001.001"},
         "A0101003.101",
         "usb_meas:",
         {"A0101003.001", "A0102002.f01"}},
        {"meas: is ahead of the stick", 0x10, {"A0101004.001"}, "A0101004.101", "meas:", {"A0101003.001"}},
    };
    for (const Case& c : cases) {
        for (const char* drive : {"meas", "usb_meas"}) {
            std::filesystem::remove_all(root.file(drive));
            std::filesystem::create_directories(root.file(drive));
        }
        for (const char* f : c.files) testsupport::writeFile(root.file(std::string("meas/") + f), "x");
        for (const char* f : c.onTheStick)
            testsupport::writeFile(root.file(std::string("usb_meas/") + f), "x");
        const uint8_t image[6] = {1, 0, 1, 0, 1, 0};
        nvram_dbs_write(NV_REC_LAPOUTFRA, 0, image, sizeof image);
        const uint8_t abs[2] = {uint8_t(c.stored), uint8_t(c.stored >> 8)};
        nvram_dbs_write(NV_REC_LAPOUTFRA_ABSLAP, 0, abs, sizeof abs);
        LapOutFra_exit();
        ASSERT_EQ(LapOutFra_init(), 0);
        LapOutFra_start();
        const auto found = untilSearched();
        EXPECT_EQ(countContaining(found, std::string("Starting with file: ") + c.first), 1) << c.what;
        EXPECT_EQ(countContaining(found, " holds files of absolute lap"), c.holder ? 1 : 0) << c.what;
        if (c.holder) {
            EXPECT_EQ(countContaining(found, std::string("LapOutFra_initLapOutCnt(): ") + c.holder +
                                                 " holds files of absolute lap"),
                      1)
                << c.what;
        }
        EXPECT_EQ(state().fragment, 1) << c.what;
    }
}

TEST_F(LapOutFra, LapsFragmentsAndUpdates) {
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_start(); // 1/1, absolute lap 0
    sb_lapstack_add_entry(7, 100, 0);

    LapOutFra_setLapOutCnt(2, 1, 0x1234);
    LapOutFraState s = state();
    EXPECT_EQ((std::vector<int>{s.lap, s.outing, s.fragment, s.absLap, int(s.timestamp)}),
              (std::vector<int>{2, 1, 1, 1, 0x1234}));
    EXPECT_EQ(lapStack().size(), 1u) << "the same outing keeps the history";
    LapOutFra_setLapOutCnt(3, 2, 0x1235);
    EXPECT_TRUE(lapStack().empty()) << "a new outing clears it";

    for (int i = 0; i < 254; ++i) LapOutFra_setFragmentTrig(0x2000 + i);
    EXPECT_EQ(state().fragment, 255);
    LapOutFra_setFragmentTrig(0x3000);
    s = state();
    EXPECT_EQ(s.fragment, 1);
    EXPECT_EQ(s.absLap, 3);
    EXPECT_EQ(signals(), (std::vector<int>{3, 2, 1, 3}));
    ASSERT_TRUE(LapOutFra_waitStored(5000)) << "stored on the NV store's task";
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA, 6), (std::vector<uint8_t>{1, 0, 2, 0, 3, 0}));

    LapOutFra_chngLapOutCnt(3, 2);
    EXPECT_EQ(state().absLap, 3) << "unchanged lap and outing change nothing";
    LapOutFra_chngLapOutCnt(4, 2);
    s = state();
    EXPECT_EQ(s.lap, 4);
    EXPECT_EQ(s.absLap, 5) << "its own step and the one of initialising the counters";
    ASSERT_TRUE(LapOutFra_waitStored(5000));
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA_ABSLAP, 2), (std::vector<uint8_t>{5, 0}));
}

TEST_F(LapOutFra, ALapEventBeforeStartUpWarnsUnderTheFloodRule) {
    for (int i = 0; i < 20; ++i) LapOutFra_setLapOutCnt(2, 1, 5);
    const auto log = drainSyslog();
    EXPECT_EQ(
        countContaining(log, "LapOutFra_setLapOutCnt() semTake error: semID invalid (comint before init?)"),
        13);
    EXPECT_EQ(countContaining(log, "Flooding suspicion!"), 1);
    EXPECT_EQ(state().valid, 0);
    EXPECT_EQ(countContaining(drainSyslog(), "LapOutFra_getState() semTake errors errno 3D0001"), 1);
}

TEST_F(LapOutFra, ParallelStoresLeaveTheLatestCountersInNv) {
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_start();
    std::vector<std::thread> tasks;
    for (int t = 0; t < 4; ++t)
        tasks.emplace_back([t] {
            for (int i = 0; i < 40; ++i) {
                if (t % 2)
                    LapOutFra_setFragmentTrig(uint32_t(i));
                else
                    LapOutFra_setLapOutCnt(uint16_t(i), 1, uint32_t(i));
            }
        });
    for (auto& t : tasks) t.join();
    ASSERT_TRUE(LapOutFra_waitStored(5000));
    const LapOutFraState s = state();
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA, 6),
              (std::vector<uint8_t>{uint8_t(s.fragment), 0, 1, 0, uint8_t(s.lap), 0}));
    EXPECT_EQ(nvRecord(NV_REC_LAPOUTFRA_ABSLAP, 2),
              (std::vector<uint8_t>{uint8_t(s.absLap), uint8_t(s.absLap >> 8)}));
}

TEST_F(LapOutFra, ALoggingSlaveAsksItsMasterAndReportsItsAbsenceAfter30s) {
    cfg_system = systemConfig(42, CFG_SYSTEM_PID_NONE);
    error_mgr_clear_all();
    hostclock_setManual(true);
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_start();
    EXPECT_EQ(state().valid, 0) << "a slave waits for its master's counters";
    std::vector<comint_msg> asked;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        for (const comint_msg& m : sent()) asked.push_back(m);
        return !asked.empty();
    }));
    ASSERT_EQ(ci_cmd(&asked[0]), 0x1201);
    EXPECT_EQ(ci_dst(&asked[0]), 42);
    EXPECT_EQ(ci_len(&asked[0]), 16);
    EXPECT_EQ(ci_get32(asked[0].data), 42u);
    // The task may not sleep yet when the first second passes: time moves until it reports.
    ASSERT_TRUE(testsupport::waitUntil(
        [] {
            hostclock_advanceMs(1000);
            ErrorMemEntry e[ERROR_MEM_ENTRIES];
            const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
            for (size_t i = 0; i < n; ++i)
                if (e[i].path == 498 && e[i].type == 20 && e[i].active) return true;
            return false;
        },
        20000));
    // The line follows the entry: it is waited for, then counted once.
    const char* line = "LapOutFra_queryLapOutCntTask() no laptrigger master found via comint";
    std::vector<std::string> log;
    EXPECT_TRUE(testsupport::waitUntil([&] {
        for (std::string& l : drainSyslog()) log.push_back(std::move(l));
        return countContaining(log, line) > 0;
    }));
    EXPECT_EQ(countContaining(log, line), 1);
}

namespace {

std::string nameOf(const LapOutFraCut& c) {
    char name[16] = "";
    LapOutFra_genFilenameAbsLap(name, sizeof name, 0, uint8_t(c.outing), uint8_t(c.lap), uint8_t(c.fragment),
                                c.absLap);
    return name;
}

// The name of the cut in force for a record stamped `ts` (from cut number `from` on), "" for none.
std::string inForce(uint32_t ts, uint32_t from) {
    LapOutFraCut c{};
    return LapOutFra_cutAt(ts, from, &c) ? nameOf(c) : "";
}

} // namespace

// Each cut keeps the counters it made (its file's name) and a stamp never before the one made
// before it; a record belongs to the newest cut stamped before it, never to one before the run's
// first; cuts at one stamp leave the records to the last of them.
TEST_F(LapOutFra, TheCutsKeepTheirOwnCountersAndStampsInTheOrderTheyWereMade) {
    hostclock_setManual(true);
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFraCut start{};
    EXPECT_FALSE(LapOutFra_startCut(0, &start)) << "no cut before the counters are valid";
    LapOutFra_start(); // 1/1, absolute lap 0, fragment 1
    untilSearched();
    const uint32_t t = time_getTimestamp();
    ASSERT_TRUE(LapOutFra_startCut(t, &start));
    struct Made {
        const char* what;
        int op; // 0 lap, 1 new outing, 2 fragment, 3 forced fragment (arrival), 4 stop
        uint32_t stamp;
        const char* name;
        uint32_t stamped; // the stamp the cut got
        uint8_t kind;
    };
    const Made made[] = {
        {"a lap", 0, t + 100, "A0102000.101", t + 100, LOF_CUT_LAP},
        {"a fragment 1 ms later", 2, t + 110, "A0102000.102", t + 110, LOF_CUT_FRAGMENT},
        {"a lap stamped before it (seen late)", 0, t + 105, "A0103000.201", t + 110, LOF_CUT_LAP},
        {"an arrival at the same stamp", 3, t + 110, "A0103000.202", t + 110, LOF_CUT_ARRIVAL},
        {"a new outing", 1, t + 400, "A0203000.301", t + 400, LOF_CUT_OUTING},
        {"a stop, stamped 0: now", 4, 0, "A0203000.302", t + 400, LOF_CUT_STOP},
    };
    std::vector<LapOutFraCut> cuts{start};
    for (const Made& m : made) {
        LapOutFraCut c{};
        const LapOutFraState s = state();
        if (m.op <= 1)
            LapOutFra_setLapOutCnt(uint16_t(s.lap + (m.op == 0)), uint16_t(s.outing + (m.op == 1)), m.stamp,
                                   &c);
        else
            LapOutFra_setFragmentTrig(m.stamp,
                                      m.op == 2   ? LOF_CUT_FRAGMENT
                                      : m.op == 3 ? LOF_CUT_ARRIVAL
                                                  : LOF_CUT_STOP,
                                      &c);
        EXPECT_EQ(nameOf(c), m.name) << m.what;
        EXPECT_EQ(c.stamp, m.stamped) << m.what;
        EXPECT_EQ(c.kind, m.kind) << m.what;
        EXPECT_EQ(c.seq, cuts.back().seq + 1) << m.what;
        EXPECT_EQ(LapOutFra_newestCut(), c.seq) << m.what;
        LapOutFraCut kept{};
        ASSERT_TRUE(LapOutFra_cut(c.seq, &kept)) << m.what;
        EXPECT_EQ(nameOf(kept), m.name) << m.what;
        cuts.push_back(c);
    }
    EXPECT_EQ(state().timestamp, 0u) << "a stop's fragment keeps the counters' stamp it was given";
    // A later cut renames no earlier one.
    for (size_t i = 1; i < cuts.size(); ++i) {
        LapOutFraCut kept{};
        ASSERT_TRUE(LapOutFra_cut(cuts[i].seq, &kept));
        EXPECT_EQ(nameOf(kept), made[i - 1].name);
    }
    const uint32_t run = start.seq;
    const struct {
        uint32_t ts, from;
        const char* name;
    } records[] = {
        {t - 50, run, "A0101000.001"},              // before the run's first cut: its file all the same
        {t, run, "A0101000.001"},                   // at a cut's stamp: the file before it
        {t + 100, run, "A0101000.001"},             //
        {t + 101, run, "A0102000.101"},             // after the lap
        {t + 110, run, "A0102000.101"},             //
        {t + 111, run, "A0103000.202"},             // three cuts at one stamp: the last of them
        {t + 500, run, "A0203000.302"},             // after the stop: its cut
        {t + 111, cuts[4].seq + 1, "A0203000.301"}, // a run that began later: its first cut
        {t + 101, run + 100, ""},                   // no cut from that number on
    };
    for (const auto& r : records) EXPECT_EQ(inForce(r.ts, r.from), r.name) << r.ts - t << " from " << r.from;
    EXPECT_TRUE(LapOutFra_countersCut(LOF_CUT_LAP) && LapOutFra_countersCut(LOF_CUT_OUTING) &&
                LapOutFra_countersCut(LOF_CUT_FRAGMENT));
    for (uint8_t k :
         {LOF_CUT_START, LOF_CUT_SIZE, LOF_CUT_TIME, LOF_CUT_ARRIVAL, LOF_CUT_DRIVE, LOF_CUT_STOP})
        EXPECT_FALSE(LapOutFra_countersCut(k)) << LapOutFra_cutKindName(k);

    // The history keeps the newest LAPOUTFRA_CUTS_KEPT cuts: a record older than every kept cut
    // belongs to the oldest kept.
    for (uint32_t i = 0; i < LAPOUTFRA_CUTS_KEPT; ++i) LapOutFra_setFragmentTrig(t + 1000 + i);
    LapOutFraCut c{};
    EXPECT_FALSE(LapOutFra_cut(cuts.back().seq, &c)) << "dropped from the history";
    const uint32_t oldest = LapOutFra_newestCut() - LAPOUTFRA_CUTS_KEPT + 1;
    ASSERT_TRUE(LapOutFra_cutAt(t, run, &c));
    EXPECT_EQ(c.seq, oldest);
    ASSERT_TRUE(LapOutFra_cutAt(t + 1000 + 10, 0, &c));
    EXPECT_EQ(c.stamp, t + 1000 + 9);
    hostclock_setManual(false);
}
