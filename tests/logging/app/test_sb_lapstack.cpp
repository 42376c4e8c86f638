// The lap stack: entries, the copy for the status blocks, the repair after a power loss inside an
// append, the power-down copy, interleaved appends; the version texts and the lap-stack
// information of the fuel-consumption master.
#include "lapfixture.h"

#include "framework/nvram.h"
#include "msdcom/network/bc2_internal.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"

#include <cmath>
#include <set>
#include <thread>

using namespace laptest;
using testsupport::countContaining;
using testsupport::drainSyslog;

namespace {

void storeCounters(uint16_t sequence, uint16_t count) {
    const uint8_t b[4] = {uint8_t(sequence), uint8_t(sequence >> 8), uint8_t(count), uint8_t(count >> 8)};
    nvram_dbs_write(NV_REC_LAPSTACK_COUNT, 0, b, sizeof b);
}

std::vector<uint8_t> nvSlot(uint32_t slot) {
    std::vector<uint8_t> b(6);
    if (nvram_dbs_read(NV_REC_LAPSTACK_ENTRY, slot, b.data(), 6) != 6) b.clear();
    return b;
}

std::vector<uint8_t> nvCounters() {
    std::vector<uint8_t> b(4);
    if (nvram_dbs_read(NV_REC_LAPSTACK_COUNT, 0, b.data(), 4) != 4) b.clear();
    return b;
}

std::vector<int> entry(const tLapStackEntry& e) {
    return {e.lap, e.minutes, e.seconds, e.hundredths, e.fuel};
}

// What a start finds: the queued writes made, the stack in memory forgotten (the next use reads NV).
void restart() {
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    sb_lapstack_forget();
}

bool allWritten() {
    return testsupport::waitUntil([] { return sb_lapstack_unwritten() == 0; });
}

} // namespace

class LapStack : public CounterTest {};

TEST_F(LapStack, EntriesAndTheCopyForTheStatusBlocks) {
    const struct {
        uint8_t lap;
        uint32_t laptime;
        float fuel;
        std::vector<int> entry;
    } entries[] = {{5, 8346, 2.345f, {5, 1, 23, 46, 235}}, {6, 0, -1.0f, {6, 0, 0, 0, 0}},
                   {7, 100, NAN, {7, 0, 1, 0, 0}},         {8, 6000 * 256 + 5, 2.0f, {8, 0, 0, 5, 200}},
                   {9, 99, 655.36f, {9, 0, 0, 99, 0}},     {10, 12345, 655.35f, {10, 2, 3, 45, 65535}}};
    for (const auto& e : entries) EXPECT_EQ(entry(sb_lapstack_make_entry(e.lap, e.laptime, e.fuel)), e.entry);

    // A fresh store is initialised at the first look.
    sb_lapstack_add_entry(1, 8346, 1.0f);
    EXPECT_EQ(
        countContaining(drainSyslog(),
                        "sb_lapstack_check_read: error reading lapstack entry, num 0 != 4; initializing"),
        1);
    EXPECT_EQ(nvSlot(0), (std::vector<uint8_t>{1, 1, 23, 46, 100, 0})) << "little-endian fuel";
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{1, 0, 1, 0}));

    uint8_t small[10];
    sb_lapstack_add_entry(2, 100, 0);
    EXPECT_EQ(sb_lapstack_get(small, sizeof small), 8u);
    EXPECT_EQ(std::vector<uint8_t>(small, small + 8), (std::vector<uint8_t>{0, 1, 1, 1, 23, 46, 0, 100}));
    EXPECT_EQ(countContaining(drainSyslog(),
                              "canceled copy of LapStack to SB. Size error. alloc. remsize: 8, size: 14"),
              1);
    EXPECT_EQ(sb_lapstack_get(small, 1), 0u);

    for (int i = 3; i <= 300; ++i) sb_lapstack_add_entry(uint8_t(i), uint32_t(i), 0);
    const auto all = lapStack();
    ASSERT_EQ(all.size(), 256u);
    EXPECT_EQ(all.front()[0], 45) << "the 45th appended is the oldest kept";
    EXPECT_EQ(all.back()[0], 300 & 0xFF);
}

TEST_F(LapStack, PowerLossInsideAnAppendIsRepairedAndCorruptCountersClear) {
    sb_lapstack_reset_history();
    for (int i = 0; i < 7; ++i) sb_lapstack_add_entry(uint8_t(i + 1), 100, 0);
    restart();
    storeCounters(8, 7); // an append lost after its first write
    drainSyslog();
    EXPECT_EQ(lapStack().size(), 7u);
    EXPECT_EQ(
        countContaining(drainSyslog(),
                        "sb_lapstack_check_read: last entry not written correctly, deleting last entry"),
        1);
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{7, 0, 7, 0}));
    sb_lapstack_add_entry(99, 100, 0);
    EXPECT_EQ(nvSlot(7)[0], 99) << "the next append reuses the slot";
    EXPECT_EQ(lapStack().back()[0], 99);

    restart();
    storeCounters(7, 8);
    EXPECT_TRUE(lapStack().empty());
    EXPECT_EQ(countContaining(drainSyslog(), "sb_lapstack_check_read: lapstack corrupt, deleting..."), 1);
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{0, 0, 0, 0}));
    ASSERT_TRUE(allWritten());
    EXPECT_EQ(nvSlot(3), (std::vector<uint8_t>(6, 0)));
}

TEST_F(LapStack, APowerDownKeepsTheOldHistoryForTheStatusBlocks) {
    sb_lapstack_reset_history();
    for (int i = 1; i <= 3; ++i) sb_lapstack_add_entry(uint8_t(i), 100, 0);
    sb_lapstack_power_down();
    sb_lapstack_reset_history();
    sb_lapstack_add_entry(9, 100, 0);
    const auto kept = lapStack();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[2][0], 3);
}

TEST_F(LapStack, InterleavedAppendsLeaveConsistentCounters) {
    sb_lapstack_reset_history();
    drainSyslog();
    std::vector<std::thread> tasks;
    for (int t = 0; t < 3; ++t)
        tasks.emplace_back([] {
            for (int i = 0; i < 30; ++i) sb_lapstack_add_entry(uint8_t(i), 100, 0);
        });
    for (auto& t : tasks) t.join();
    EXPECT_EQ(lapStack().size(), 90u);
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{90, 0, 90, 0}));
    EXPECT_EQ(countContaining(drainSyslog(), "sb_lapstack_check_read"), 0);
}

// Every start of a standing car is a new outing, and a new outing clears the lap stack: the clear
// returns at once, its counters and then its slots written on the NV store's task, each written
// through on its own (never by one write-through of the file system, which some disks answer and
// write nothing), a slot already empty left as it is. After a power cut on such a disk the store
// holds what clearing one slot at a time left, every copy whole. A slot beyond the entries found
// lost whole at a start (a clear broken off) is named once and written anew, and the stack keeps its
// entries.
TEST_F(LapStack, ANewOutingClearsTheSlotsBesideTheStartEachWrittenThrough) {
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_initLapOutCnt(1, 1);
    for (int i = 1; i <= 5; ++i) sb_lapstack_add_entry(uint8_t(i), 100, 1.0f);
    ASSERT_TRUE(allWritten());
    restart();
    for (int copy = 0; copy < 2; ++copy) ASSERT_EQ(truncate(nvdb_copyPath(2, 200, copy).c_str(), 0), 0);
    drainSyslog();
    EXPECT_EQ(lapStack().size(), 5u);
    ASSERT_TRUE(allWritten());
    EXPECT_EQ(nvSlot(200), std::vector<uint8_t>(6, 0)) << "written anew";
    EXPECT_EQ(lapStack().size(), 5u);
    std::vector<std::string> log = drainSyslog();
    EXPECT_EQ(countContaining(log, "record 2 index 200 lost, both copies damaged"), 1);
    EXPECT_EQ(countContaining(log, "sb_lapstack_check_read"), 0);

    drivefault_clear();
    for (const char* fault : {"nv:syncfs:1:nothing:0", "nv:sync:1:hold0@r_nvStore"}) {
        DriveFault f;
        std::string why;
        ASSERT_TRUE(drivefault_parse(fault, &f, &why)) << why;
        drivefault_arm(f);
    }
    uint64_t before = nvdb_writeThroughs();
    sb_lapstack_reset_history();
    EXPECT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }))
        << "the clear returned while the NV store's task writes it";
    EXPECT_TRUE(lapStack().empty()) << "the stack is clear at once";
    drivefault_release();
    ASSERT_TRUE(allWritten());
    EXPECT_EQ(nvdb_writeThroughs() - before, 2u + 2 * 5) << "the counters, then the five laps' slots";

    driveloss_powerCut();
    drivefault_clear();
    nvdb_close();
    std::string error;
    ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
    sb_lapstack_forget();
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{0, 0, 0, 0}));
    for (uint32_t slot = 0; slot < LAPSTACK_SLOTS; ++slot) {
        NvdbReadReport r;
        uint8_t b[6] = {1, 1, 1, 1, 1, 1};
        ASSERT_EQ(nvdb_read(NV_REC_LAPSTACK_ENTRY, slot, b, sizeof b, &r), 6) << slot;
        EXPECT_EQ(std::vector<uint8_t>(b, b + 6), std::vector<uint8_t>(6, 0)) << slot;
        EXPECT_TRUE(r.copy[0] == NvdbCopy::Good && r.copy[1] == NvdbCopy::Good) << slot;
    }
    EXPECT_TRUE(lapStack().empty());
    before = nvdb_writeThroughs();
    LapOutFra_initLapOutCnt(1, 2);
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_LE(nvdb_writeThroughs() - before, 2u + 8)
        << "the counters, then the file counters (NV records 0 and 261): no slot";
    sb_lapstack_add_entry(9, 100, 0);
    EXPECT_EQ(nvSlot(0)[0], 9);
    log = drainSyslog();
    EXPECT_EQ(countContaining(log, "sb_lapstack_check_read"), 0);
    EXPECT_EQ(countContaining(log, "record 2 index"), 0);
}

// The NV image is written behind, a clear's counters before the slots refilled after it: a power cut
// at any write-through of a new outing's clear and its first two laps leaves a stack that the next
// start reads without a repair, the old one, an empty one or the new one, never a mix.
TEST_F(LapStack, APowerCutAtAnyWriteThroughOfAClearAndItsLapsLeavesAValidStack) {
    const std::vector<std::vector<int>> old = {{1, 0, 1, 0, 0}, {2, 0, 1, 0, 0}, {3, 0, 1, 0, 0}},
                                        fresh = {{7, 0, 2, 0, 0}, {8, 0, 2, 0, 0}};
    drivefault_setPowerCut([] {});
    std::set<size_t> seen; // the stacks found, by their size
    for (int cut = 2;; ++cut) {
        sb_lapstack_reset_history(); // the old stack, as a start finds it
        for (const auto& e : old) sb_lapstack_add_entry(uint8_t(e[0]), 100, 0);
        restart();
        ASSERT_EQ(lapStack(), old);
        drivefault_clear();
        for (const std::string& fault :
             std::vector<std::string>{"nv:sync:1:hold0", "nv:sync:" + std::to_string(cut) + ":cut"}) {
            DriveFault f;
            std::string why;
            ASSERT_TRUE(drivefault_parse(fault, &f, &why)) << why;
            drivefault_arm(f);
        }
        nvram_dbs_writeLater(3, 0, "held", 4, "the test's record"); // the store's task held meanwhile
        ASSERT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }));
        sb_lapstack_reset_history();
        for (const auto& e : fresh) sb_lapstack_add_entry(uint8_t(e[0]), 200, 0);
        drivefault_release();
        ASSERT_TRUE(nvram_writeBehindFlush(10000));
        const bool hit = drivefault_hits() > 1;
        drivefault_clear();
        nvdb_close();
        std::string error;
        ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
        sb_lapstack_forget();
        drainSyslog();
        const auto found = lapStack();
        EXPECT_EQ(countContaining(drainSyslog(), "sb_lapstack_check_read"), 0) << "cut at " << cut;
        EXPECT_TRUE(found == old || found.empty() || found == fresh) << "cut at write-through " << cut;
        seen.insert(found.size());
        if (!hit) {
            EXPECT_EQ(found, fresh);
            break;
        }
    }
    drivefault_setPowerCut(nullptr);
    EXPECT_EQ(seen, (std::set<size_t>{0, 2, 3})) << "cuts before, inside and after the clear";
}

// A lap's slot that the NV store's queue refuses at its bound holds back the counters that count it:
// a start meanwhile finds the stack as it was, never a count over a slot NV lacks (lap 0 shown for a
// lap); the next append queues the slot again before its counters.
TEST_F(LapStack, ASlotRefusedAtTheQueuesBoundHoldsBackItsCounters) {
    sb_lapstack_add_entry(1, 100, 0);
    restart();
    drivefault_clear();
    DriveFault hold;
    std::string why;
    ASSERT_TRUE(drivefault_parse("nv:sync:1:hold0", &hold, &why)) << why;
    drivefault_arm(hold);
    nvram_dbs_writeLater(3, 5000, "held", 4, "the test's record"); // the store's task held meanwhile
    ASSERT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }));
    for (uint32_t index = 0; index < 1022; ++index)
        ASSERT_NE(nvram_dbs_writeLater(3, index, "x", 1, "the test's record"), 0u);
    sb_lapstack_add_entry(2, 100, 0); // its slot and counters fill the queue
    sb_lapstack_add_entry(3, 100, 0); // its slot is refused; its counters could take the last ones' place
    EXPECT_EQ(countContaining(drainSyslog(), "record 2 index 2 (the lap stack) not stored"), 1);
    drivefault_release();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    drivefault_clear();
    EXPECT_EQ(nvCounters(), (std::vector<uint8_t>{2, 0, 2, 0})) << "what a start would find: laps 1 and 2";
    EXPECT_EQ(nvSlot(2), std::vector<uint8_t>(6, 0)) << "slot 2 as the clear left it";

    sb_lapstack_add_entry(4, 100, 0);
    restart();
    EXPECT_EQ(lapStack(), (std::vector<std::vector<int>>{
                              {1, 0, 1, 0, 0}, {2, 0, 1, 0, 0}, {3, 0, 1, 0, 0}, {4, 0, 1, 0, 0}}));
}

TEST_F(LapStack, VersionTextsAndTheirTable) {
    sb_info_ini();
    std::strcpy(seramWindow.ref.page.epk, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    const struct {
        uint16_t pid;
        const char* text;
    } texts[] = {{40, "FL ABCDEFGHIJKLMNOPQRSTUVWXYZ01"}, {41, "FR ABCDEFGHIJKLMNOPQRSTUVWXYZ01"},
                 {42, "RL ABCDEFGHIJKLMNOPQRSTUVWXYZ01"}, {43, "RR ABCDEFGHIJKLMNOPQRSTUVWXYZ01"},
                 {44, "F ABCDEFGHIJKLMNOPQRSTUVWXYZ012"}, {45, "R ABCDEFGHIJKLMNOPQRSTUVWXYZ012"},
                 {46, "C ABCDEFGHIJKLMNOPQRSTUVWXYZ012"}, {47, "GB ABCDEFGHIJKLMNOPQRSTUVWXYZ01"},
                 {48, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"}};
    for (const auto& t : texts) {
        char text[SB_VERSION_TEXT_LEN];
        sb_version_text(t.pid, text);
        EXPECT_STREQ(text, t.text);
    }
    comint_msg req = message(0x0F00, 20, {0, 0, 0, 0});
    ci_serve_command(&req);
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(ci_cmd(&out[0]), 0x0F01);
    EXPECT_EQ(ci_dst(&out[0]), 20);
    EXPECT_EQ(ci_len(&out[0]), 32);
    EXPECT_STREQ(reinterpret_cast<const char*>(out[0].data), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    seramInit();

    auto reply = [](uint16_t pid, const std::string& text) {
        comint_msg m = message(0x0F01, pid, std::vector<uint8_t>(text.begin(), text.end()));
        ci_serve_command(&m);
    };
    reply(9, "nine");
    reply(3, std::string(40, 'x'));
    reply(5, "five");
    reply(70, "beyond the masks");
    sb_version_table v = sb_version_get();
    EXPECT_EQ(std::vector<uint16_t>(v.pid, v.pid + 5), (std::vector<uint16_t>{3, 5, 9, 70, 0xFFFF}));
    EXPECT_STREQ(v.text[0], std::string(31, 'x').c_str());
    EXPECT_STREQ(v.text[1], "five");
    EXPECT_EQ(v.answered, (1ull << 2) | (1ull << 4) | (1ull << 8) | (1ull << (OWN_PID - 1)));
    for (uint16_t pid = 10; pid < 20; ++pid) reply(pid, "more");
    v = sb_version_get();
    EXPECT_EQ(v.pid[8], 15);
    EXPECT_EQ(v.pid[9], 70) << "a full table keeps its ten PIDs";
    EXPECT_TRUE(v.answered & (1ull << 18)) << "a device whose text finds no room has answered";
}

TEST_F(LapStack, TheFuelMastersInformationGivesEachLapOneEntry) {
    cfg_system = systemConfig(CFG_SYSTEM_PID_NONE, 30);
    sb_info_ini();
    sb_lapstack_reset_history();
    auto info = [](uint16_t pid, const std::vector<uint8_t>& payload) {
        comint_msg m = message(0x0F04, pid, payload);
        ci_serve_command(&m);
    };
    sblk_task_laptrigger(4, 1, 0x100, 8346);
    EXPECT_EQ(sb_static_status.load() & SB_STATIC_LAPSTACK_AWAITED, SB_STATIC_LAPSTACK_AWAITED);
    info(31, {0x00, 0x80}); // not the fuel-consumption master
    info(30, {0x00});       // too short
    EXPECT_TRUE(lapStack().empty());
    info(30, {0x00, 0x80}); // 128/64 = 2.0
    info(30, {0x00, 0x80});
    EXPECT_EQ(lapStack(), (std::vector<std::vector<int>>{{4, 1, 23, 46, 200}}));
    EXPECT_EQ(sb_static_status.load() & SB_STATIC_LAPSTACK_AWAITED, 0u);

    // The status block's time-out entry comes first: the late information adds none.
    sblk_task_laptrigger(5, 1, 0x200, 6000);
    EXPECT_TRUE(sb_lapstack_add_due_entry(0.0f));
    std::vector<uint8_t> full(16);
    const float fuel = 1.5f;
    uint32_t bits;
    std::memcpy(&bits, &fuel, 4);
    ci_put32(full.data() + 4, bits);
    info(30, full);
    EXPECT_EQ(lapStack().size(), 2u);
    EXPECT_EQ(lapStack().back(), (std::vector<int>{5, 1, 0, 0, 0}));

    sblk_task_laptrigger(6, 1, 0x300, 6000);
    info(30, full);
    EXPECT_EQ(lapStack().back(), (std::vector<int>{6, 1, 0, 0, 150}));
    sb_SwOff = 1;
    sblk_task_laptrigger(7, 1, 0x400, 6000);
    info(30, full);
    EXPECT_EQ(lapStack().size(), 3u) << "no entry from the network after power-down";
}

TEST_F(LapStack, VersionPassAsksConnectedDevicesThatHaveNotAnsweredOncePerFastPeriod) {
    sb_info_ini();
    sb_check_vers_info_mode(false);
    for (uint16_t pid : {30, 5, 12}) local_host.setBit(BC2_REC_CIMASK, pid);
    sent();
    const auto asked = [] {
        std::vector<int> pids;
        for (const comint_msg& m : sent())
            if (ci_cmd(&m) == 0x0F00) pids.push_back(ci_dst(&m));
        return pids;
    };
    const auto answer = [](uint16_t pid) {
        comint_msg m = message(0x0F01, pid, std::vector<uint8_t>{'v', 0});
        ci_serve_command(&m);
    };
    const auto awaited = [] { return (sb_static_status.load() & SB_STATIC_VERSIONS_AWAITED) != 0; };

    sb_check_vers_info();
    EXPECT_EQ(asked(), (std::vector<int>{5, 12, 30})) << "ascending, the own PID has answered";
    EXPECT_TRUE(awaited());
    answer(12);
    sb_check_vers_info();
    EXPECT_EQ(asked(), (std::vector<int>{5, 30})) << "slow mode asks at every pass";

    // Fast mode: the first pass of each fast period asks, later ones of the same period do not.
    sb_check_vers_info_mode(true);
    sb_check_vers_info();
    EXPECT_EQ(asked(), (std::vector<int>{5, 30}));
    sb_check_vers_info();
    sb_check_vers_info_mode(true);
    sb_check_vers_info();
    EXPECT_TRUE(asked().empty());
    sb_check_vers_info_mode(false);
    sb_check_vers_info_mode(true);
    sb_check_vers_info();
    EXPECT_EQ(asked(), (std::vector<int>{5, 30}));

    // A device that went away is not waited for; when every connected one has answered, none is.
    local_host.clearBit(BC2_REC_CIMASK, 30);
    answer(5);
    sb_check_vers_info_mode(false);
    sb_check_vers_info();
    EXPECT_TRUE(asked().empty());
    EXPECT_FALSE(awaited());
    for (uint16_t pid : {5, 12}) local_host.clearBit(BC2_REC_CIMASK, pid);
}
