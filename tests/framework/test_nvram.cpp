// The NV store's write-behind: a queued value read back before and after it is stored, the latest
// value winning, the order a caller needs through a power cut (the kinds taking turns, no value
// starved), a held store holding no caller, a start's reads writing nothing, bad input and a full
// queue refused, the shutdown naming what is left and what may be.
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "logdrain.h"
#include "platform/drives/drive_fault.h"
#include "platform/kernel/nvdb.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using testlog::countContaining;
using testlog::drain;

namespace {

constexpr uint32_t kSlot = 2, kCount = 1, kOther = 3;

class WriteBehind : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        std::string err;
        ASSERT_TRUE(nvdb_open(dir.path(), &err)) << err;
        drivefault_clear();
    }
    void TearDown() override {
        drivefault_clear(); // lets a held write-through go on
        nvram_writeBehindEnd(10000);
        drivefault_setPowerCut(nullptr);
        nvdb_close();
        drain();
    }
    static uint64_t later(uint32_t id, const std::string& value, NvramOrder order = NvramOrder::Latest) {
        return nvram_dbs_writeLater(id, 0, value.data(), value.size(), "the test's record", order);
    }
    static std::string read(uint32_t id, bool store = false) {
        std::string b(16, '\0');
        const int n =
            store ? nvdb_read(id, 0, b.data(), b.size()) : nvram_dbs_read(id, 0, b.data(), b.size());
        b.resize(size_t(std::max(0, n)));
        return b;
    }
    // The store's task held in the first write-through (of an element the checks leave alone), and
    // faults to come at the calls after it.
    static void holdTheTask(const std::string& then = "") {
        drivefault_clear();
        for (const std::string& text : {std::string("nv:sync:1:hold0"), then}) {
            DriveFault f;
            std::string why;
            if (text.empty()) continue;
            ASSERT_TRUE(drivefault_parse(text, &f, &why)) << why;
            drivefault_arm(f);
        }
        ASSERT_NE(later(kOther, "held"), 0u);
        ASSERT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }));
    }
    testsupport::TempDir dir;
};

} // namespace

TEST_F(WriteBehind, AQueuedValueIsReadBackBeforeAndAfterItIsStoredAndAHeldStoreHoldsNoCaller) {
    holdTheTask(); // its caller has returned
    EXPECT_EQ(read(kOther), "held") << "the value in hand";
    const uint64_t first = later(kSlot, "one"), second = later(kSlot, "two");
    EXPECT_EQ(read(kSlot), "two");
    EXPECT_FALSE(nvram_writeLaterDone(first, "the test's record") ||
                 nvram_writeLaterDone(second, "the test's record"));
    EXPECT_EQ(nvram_writeBehindPending(kSlot), 1u) << "the latest value replaced the first";
    drivefault_release();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_TRUE(nvram_writeLaterDone(first, "the test's record") &&
                nvram_writeLaterDone(second, "the test's record"));
    EXPECT_EQ(read(kSlot, true), "two");
    EXPECT_EQ(testsupport::readFile(nvdb_copyPath(kSlot, 0, 0))[16], '\x01') << "written once";

    // A write made at once takes the place of a value queued before it.
    holdTheTask();
    later(kSlot, "queued");
    std::thread atOnce([] { EXPECT_NE(nvram_dbs_write(kSlot, 0, "now", 3), 0); });
    EXPECT_TRUE(testsupport::waitUntil([] { return nvram_writeBehindPending(kSlot) == 0; }));
    drivefault_release();
    atOnce.join();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_EQ(read(kSlot, true), "now");
}

// A power cut at each write-through of the queue in turn: the row's rule holds after every cut, and
// without one its last values are stored.
TEST_F(WriteBehind, APowerCutLeavesTheElementsInTheOrderTheyWereQueued) {
    struct Step {
        uint32_t id;
        const char* value;
        NvramOrder order;
        uint32_t index = 0;
        const char* what = "the test's record";
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        bool (*allowed)(const std::string& slot, const std::string& count);
    } rows[] = {
        {"a slot before the count that counts it",
         {{kSlot, "s-new", NvramOrder::Latest}, {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& s, const std::string& c) { return c == "c-old" || s == "s-new"; }},
        {"a kept count before the slot refilled after it, a later count following",
         {{kCount, "c-zero", NvramOrder::Keep},
          {kSlot, "s-new", NvramOrder::Latest},
          {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& s, const std::string& c) { return c != "c-old" || s == "s-old"; }},
        {"an element queued again moves behind what was queued since",
         {{kCount, "c-mid", NvramOrder::Latest},
          {kSlot, "s-new", NvramOrder::Latest},
          {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& s, const std::string& c) { return c != "c-new" || s == "s-new"; }},
        {"an idle write after everything else",
         {{kSlot, "s-new", NvramOrder::Idle}, {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& s, const std::string& c) { return s == "s-old" || c == "c-new"; }},
        {"an element changed more often than the store writes is never starved",
         {{kCount, "c-1", NvramOrder::Latest},
          {kSlot, "s-new", NvramOrder::Latest},
          {kCount, "c-2", NvramOrder::Latest},
          {kSlot, "x", NvramOrder::Latest, 1},
          {kCount, "c-3", NvramOrder::Latest},
          {kSlot, "x", NvramOrder::Latest, 2},
          {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& s, const std::string& c) { return s == "s-old" || c != "c-old"; }},
        {"one kind's backlog holds no other kind",
         {{kSlot, "s-new", NvramOrder::Latest, 0, "the lap stack"},
          {kSlot, "x", NvramOrder::Latest, 1, "the lap stack"},
          {kCount, "c-new", NvramOrder::Latest, 0, "the lap counters"}},
         [](const std::string& s, const std::string& c) { return s == "s-old" || c == "c-new"; }},
        {"a kept value before what any kind queued after it",
         {{kCount, "c-new", NvramOrder::Keep, 0, "the lap stack"},
          {kSlot, "s-new", NvramOrder::Latest, 0, "the lap counters"}},
         [](const std::string& s, const std::string& c) { return s == "s-old" || c == "c-new"; }},
    };
    drivefault_setPowerCut([] {});
    for (const auto& row : rows) {
        int cut = 2;
        for (bool hit = true; hit; ++cut) {
            ASSERT_NE(nvram_dbs_write(kSlot, 0, "s-old", 5) && nvram_dbs_write(kCount, 0, "c-old", 5), 0);
            holdTheTask("nv:sync:" + std::to_string(cut) + ":cut");
            for (const Step& step : row.steps)
                nvram_dbs_writeLater(step.id, step.index, step.value, std::strlen(step.value), step.what,
                                     step.order);
            drivefault_release();
            ASSERT_TRUE(nvram_writeBehindFlush(10000));
            hit = drivefault_hits() > 1;
            drivefault_clear();
            nvdb_close();
            std::string err;
            ASSERT_TRUE(nvdb_open(dir.path(), &err)) << err;
            const std::string slot = read(kSlot, true), count = read(kCount, true);
            EXPECT_TRUE(row.allowed(slot, count))
                << row.name << ", cut at " << cut << ": " << slot << ", " << count;
            if (!hit) {
                EXPECT_EQ(slot + " " + count, "s-new c-new") << row.name;
            }
        }
        EXPECT_GE(cut, 5) << row.name << ": cuts between the row's writes";
    }
}

TEST_F(WriteBehind, BadInputAndAFullQueueAreRefusedAndLogged) {
    const char* value = "x";
    for (const auto& [id, data, length] : std::vector<std::tuple<uint32_t, const void*, size_t>>{
             {22, value, 1}, {kSlot, nullptr, 1}, {kSlot, value, 0}, {kSlot, value, NVDB_MAX_ELEMENT + 1}})
        EXPECT_EQ(nvram_dbs_writeLater(id, 0, data, length, "bad"), 0u);
    EXPECT_EQ(countContaining(drain(), "nvram_dbs_writeLater(): record"), 4);

    holdTheTask();
    size_t queued = 0;
    for (uint32_t index = 0; index < 1100; ++index)
        queued += nvram_dbs_writeLater(kSlot, index, value, 1, "many") != 0;
    EXPECT_EQ(queued, 1024u);
    EXPECT_EQ(later(kCount, "y"), 0u);
    EXPECT_GE(countContaining(drain(), "nvram_dbs_writeLater(): the NV store's queue is full (1024 elements"),
              1);
    EXPECT_EQ(later(kSlot, "y"), 0u) << "the first value in turn keeps its place: the new one is refused";
    EXPECT_EQ(read(kSlot), "x");
    EXPECT_NE(nvram_dbs_writeLater(kSlot, 1023, "y", 1, "many"), 0u)
        << "a new value of the element queued last of its kind takes its place";

    // The shutdown names what it could not store, one line per record kind, and drops it; the write
    // in hand, held in its first copy's write-through, may land or not.
    EXPECT_FALSE(nvram_writeBehindEnd(0));
    const auto log = drain();
    EXPECT_EQ(
        countContaining(
            log, "nvram: not stored at the shutdown: many, 1024 NV elements (record 2 index 0 the first)"),
        1);
    EXPECT_EQ(countContaining(log,
                              "nvram: may not be stored at the shutdown: the test's record, record 3 index 0 "
                              "(its write-through is under way); the next start reads it or what NV held "
                              "before"),
              1);
    EXPECT_EQ(countContaining(log, "nvram: not stored at the shutdown"), 1);
    EXPECT_EQ(nvram_writeBehindPending(kSlot), 0u);
    drivefault_release();
    later(kSlot, "v");
    EXPECT_TRUE(nvram_writeBehindEnd(10000)) << "a store that takes everything names nothing";
    EXPECT_EQ(read(kSlot, true), "v");
}

// A copy found broken or older (a write the shutdown or a power cut broke off) is read from the other at
// once; its rewrite waits for the NV store's task, so a start's reads write nothing through. A value the
// start must have stored (the boot counter) costs one copy and its entry before it returns.
TEST_F(WriteBehind, ReadsWriteNothingAndOneCopyIsStoredBeforeTheOtherFollows) {
    ASSERT_EQ(nvdb_write(kSlot, 0, "v1", 2), 2);
    ASSERT_EQ(nvdb_writeFirstCopy(kSlot, 0, "v2", 2), 2) << "half written: one copy new, one older";
    holdTheTask();
    const uint64_t before = nvdb_writeThroughs();
    EXPECT_EQ(read(kSlot), "v2");
    EXPECT_EQ(read(kSlot), "v2");
    EXPECT_EQ(nvdb_writeThroughs(), before) << "a read writes nothing through";
    EXPECT_EQ(countContaining(drain(), "nvram: record 2 index 0: copy a good, copy b older than the other; "
                                       "rewritten from the good copy by the NV store's task"),
              1);

    ASSERT_EQ(nvram_dbs_writeOneCopy(kCount, 0, "boot", 4), 4);
    EXPECT_EQ(nvdb_writeThroughs() - before, 2u) << "a fresh element: its first copy and its folder entry";
    EXPECT_EQ(read(kCount), "boot");
    EXPECT_FALSE(std::filesystem::exists(nvdb_copyPath(kCount, 0, 1))) << "the other copy follows";
    drivefault_release();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    for (const uint32_t id : {kSlot, kCount})
        EXPECT_EQ(testsupport::readBinary(nvdb_copyPath(id, 0, 0)),
                  testsupport::readBinary(nvdb_copyPath(id, 0, 1)))
            << "record " << id;
    EXPECT_EQ(nvram_writeBehindPending(kCount) + nvram_writeBehindPending(kSlot), 0u);
}
