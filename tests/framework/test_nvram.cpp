// The NV store's write-behind: values queued for its own task, read back before and after they are
// stored; the latest value of an element wins; the order a caller needs through a power cut; a held
// store holds no caller; bad input and a full queue refused; the shutdown names what is left.
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "logdrain.h"
#include "platform/drives/drive_fault.h"
#include "platform/kernel/nvdb.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using testlog::countContaining;
using testlog::drain;

namespace {

constexpr uint32_t kSlot = 2, kCount = 1, kOther = 3; // record ids as the lap stack uses them

void noCut() {}

class WriteBehind : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        std::string err;
        ASSERT_TRUE(nvdb_open(dir.path(), &err)) << err;
        drivefault_clear();
        drain();
    }
    void TearDown() override {
        drivefault_clear(); // lets a held write-through go on
        nvram_writeBehindEnd(10000);
        drivefault_setPowerCut(nullptr);
        nvdb_close();
        drain();
    }
    static void arm(const std::string& text) {
        DriveFault f;
        std::string why;
        ASSERT_TRUE(drivefault_parse(text, &f, &why)) << why;
        drivefault_arm(f);
    }
    static uint64_t later(uint32_t id, const std::string& value, NvramOrder order = NvramOrder::Latest,
                          const char* what = "the test's record") {
        return nvram_dbs_writeLater(id, 0, value.data(), value.size(), what, order);
    }
    // What a read through the framework gives (a queued value included).
    static std::string read(uint32_t id) {
        std::string b(16, '\0');
        b.resize(size_t(std::max(0, nvram_dbs_read(id, 0, b.data(), b.size()))));
        return b;
    }
    // What the store itself holds.
    static std::string stored(uint32_t id) {
        std::string b(16, '\0');
        b.resize(size_t(std::max(0, nvdb_read(id, 0, b.data(), b.size()))));
        return b;
    }
    // The task held in its first write-through, of an element no row looks at.
    static void holdTheTask() {
        drivefault_clear();
        arm("nv:sync:1:hold0");
        ASSERT_NE(later(kOther, "held"), 0u);
        ASSERT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }));
    }
    // The write counter of the element's copy a (one more for each write of the element).
    uint16_t writes(uint32_t id) const {
        const std::string b = testsupport::readFile(nvdb_copyPath(id, 0, 0));
        return b.size() >= 18 ? uint16_t(uint8_t(b[16]) | uint8_t(b[17]) << 8) : 0;
    }
    testsupport::TempDir dir;
};

} // namespace

TEST_F(WriteBehind, AQueuedValueIsReadBackBeforeAndAfterItIsStoredAndAHeldStoreHoldsNoCaller) {
    holdTheTask(); // the caller got its answer while the store holds the write
    EXPECT_EQ(read(kOther), "held") << "the value in hand";
    const uint64_t first = later(kSlot, "one");
    const uint64_t second = later(kSlot, "two");
    EXPECT_EQ(read(kSlot), "two") << "the latest value queued";
    EXPECT_FALSE(nvram_writeLaterDone(first));
    EXPECT_FALSE(nvram_writeLaterDone(second));
    EXPECT_EQ(nvram_writeBehindPending(kSlot), 1u) << "one value waits for the element";

    drivefault_release();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_TRUE(nvram_writeLaterDone(first) && nvram_writeLaterDone(second));
    EXPECT_EQ(stored(kSlot), "two");
    EXPECT_EQ(read(kSlot), "two");
    EXPECT_EQ(stored(kOther), "held");
    EXPECT_EQ(writes(kSlot), 1) << "the element written once, with its latest value";

    // A write made at once takes the place of a queued value, which never comes after it.
    holdTheTask();
    later(kSlot, "queued");
    std::thread atOnce([] { EXPECT_NE(nvram_dbs_write(kSlot, 0, "now", 3), 0); });
    EXPECT_TRUE(testsupport::waitUntil([] { return nvram_writeBehindPending(kSlot) == 0; }));
    drivefault_release();
    atOnce.join();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_EQ(stored(kSlot), "now");
}

// The order a caller needs, through a power cut at each write-through of the queue in turn: each
// row's rule holds after every cut, and the row's last values are stored without one.
TEST_F(WriteBehind, APowerCutLeavesTheElementsInTheOrderTheyWereQueued) {
    struct Step {
        uint32_t id;
        const char* value;
        NvramOrder order;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        // Whether the stored slot and count are a state the row allows after a cut.
        bool (*allowed)(const std::string& slot, const std::string& count);
    } rows[] = {
        // A slot before the count that counts it.
        {"slot then count",
         {{kSlot, "s-new", NvramOrder::Latest}, {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& slot, const std::string& count) {
             return count == "c-old" || slot == "s-new";
         }},
        // A cleared count kept before a slot refilled, though a later count follows.
        {"kept count, slot, count",
         {{kCount, "c-zero", NvramOrder::Keep},
          {kSlot, "s-new", NvramOrder::Latest},
          {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& slot, const std::string& count) {
             return count != "c-old" || slot == "s-old";
         }},
        // An element queued again moves behind what was queued since.
        {"count, slot, count again",
         {{kCount, "c-mid", NvramOrder::Latest},
          {kSlot, "s-new", NvramOrder::Latest},
          {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& slot, const std::string& count) {
             return count != "c-new" || slot == "s-new";
         }},
        // What waits for an idle store comes after everything else.
        {"idle slot, count",
         {{kSlot, "s-new", NvramOrder::Idle}, {kCount, "c-new", NvramOrder::Latest}},
         [](const std::string& slot, const std::string& count) {
             return slot == "s-old" || count == "c-new";
         }},
    };
    drivefault_setPowerCut(noCut);
    for (const auto& row : rows) {
        std::vector<std::string> seen;
        for (int cut = 2;; ++cut) {
            ASSERT_NE(nvram_dbs_write(kSlot, 0, "s-old", 5), 0);
            ASSERT_NE(nvram_dbs_write(kCount, 0, "c-old", 5), 0);
            holdTheTask();
            for (const Step& s : row.steps) ASSERT_NE(later(s.id, s.value, s.order), 0u) << row.name;
            arm("nv:sync:" + std::to_string(cut) + ":cut");
            drivefault_release();
            ASSERT_TRUE(nvram_writeBehindFlush(10000));
            const bool hit = drivefault_hits() > 1;
            drivefault_clear();
            nvdb_close();
            std::string err;
            ASSERT_TRUE(nvdb_open(dir.path(), &err)) << err;
            const std::string slot = stored(kSlot), count = stored(kCount);
            EXPECT_TRUE(row.allowed(slot, count))
                << row.name << ", cut at write-through " << cut << ": slot " << slot << ", count " << count;
            seen.push_back(slot + "/" + count);
            if (!hit) {
                EXPECT_EQ(slot + "/" + count, "s-new/c-new") << row.name << ": the row's last values";
                break;
            }
        }
        EXPECT_GE(seen.size(), 3u) << row.name << ": the cuts came between the row's writes";
    }
    drain();
}

TEST_F(WriteBehind, BadInputAndAFullQueueAreRefusedAndLogged) {
    const std::string value = "x";
    const struct {
        uint32_t id;
        const void* data;
        size_t length;
    } refused[] = {{22, value.data(), 1},
                   {kSlot, nullptr, 1},
                   {kSlot, value.data(), 0},
                   {kSlot, value.data(), NVDB_MAX_ELEMENT + 1}};
    for (const auto& r : refused) EXPECT_EQ(nvram_dbs_writeLater(r.id, 0, r.data, r.length, "bad"), 0u);
    EXPECT_EQ(countContaining(drain(), "nvram_dbs_writeLater(): record"), 4);

    holdTheTask();
    size_t queued = 0;
    for (uint32_t index = 0; index < 2000; ++index)
        queued += nvram_dbs_writeLater(kSlot, index, value.data(), 1, "many") != 0;
    EXPECT_EQ(queued, 1024u) << "the queue's bound";
    EXPECT_EQ(later(kCount, "y"), 0u);
    EXPECT_GE(countContaining(drain(), "nvram_dbs_writeLater(): the NV store's queue is full (1024 elements"),
              1);
    EXPECT_EQ(nvram_writeBehindPending(kCount), 0u) << "nothing of it queued";
    EXPECT_NE(later(kSlot, "y"), 0u) << "a new value of a queued element takes its place";
    EXPECT_EQ(read(kSlot), "y");
    nvram_writeBehindEnd(0); // dropped: the test writes no thousand elements
}

// The shutdown writes what it can within its time and names the rest, one line per record kind.
TEST_F(WriteBehind, TheShutdownNamesWhatItCouldNotStoreOncePerKind) {
    holdTheTask();
    for (uint32_t index = 0; index < 3; ++index) nvram_dbs_writeLater(kSlot, index, "s", 1, "the lap stack");
    nvram_dbs_writeLater(kCount, 0, "c", 1, "the lap counters");
    EXPECT_FALSE(nvram_writeBehindEnd(50));
    const auto log = drain();
    EXPECT_EQ(countContaining(log,
                              "nvram: not stored at the shutdown: the lap stack, 3 NV elements (record 2 "
                              "index 0 the first)"),
              1);
    EXPECT_EQ(
        countContaining(log, "nvram: not stored at the shutdown: the lap counters, 1 NV element (record 1"),
        1);
    EXPECT_EQ(countContaining(log, "nvram: not stored at the shutdown: the test's record, 1 NV element"), 1)
        << "the write in hand";
    EXPECT_EQ(countContaining(log, "nvram: not stored at the shutdown"), 3);
    EXPECT_EQ(nvram_writeBehindPending(kSlot), 0u) << "dropped";

    drivefault_release();
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    later(kSlot, "v");
    EXPECT_TRUE(nvram_writeBehindEnd(10000)) << "a store that takes everything names nothing";
    EXPECT_EQ(countContaining(drain(), "not stored at the shutdown"), 0);
    EXPECT_EQ(stored(kSlot), "v");
}
