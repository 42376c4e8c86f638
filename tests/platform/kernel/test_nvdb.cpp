// The NV record database: mirrored copies, write counter, torn and corrupted copies, restarts.
#include "platform/kernel/nvdb.h"

#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"

#include "smalldisk.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using testsupport::readBinary;
using testsupport::TempDir;

namespace {

class NvdbTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(nvdb_open(dir.file("nv"), &err)) << err;
    }
    void TearDown() override { nvdb_close(); }

    bool put(uint32_t id, uint32_t index, const std::string& v) {
        return nvdb_write(id, index, v.data(), v.size()) == int(v.size());
    }
    std::string get(uint32_t id, uint32_t index, size_t length = 64) {
        std::string buf(length, '\0');
        int n = nvdb_read(id, index, buf.data(), buf.size());
        return n < 0 ? "<missing>" : buf.substr(0, size_t(n));
    }
    static uint16_t counterOf(const std::string& path) {
        std::vector<uint8_t> b = readBinary(path);
        return b.size() >= 18 ? uint16_t(b[16] | b[17] << 8) : 0xDEAD;
    }
    static void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
        testsupport::writeFile(path, std::string(bytes.begin(), bytes.end()));
    }
    // A copy as the database writes it, for states a crash would leave behind.
    static std::vector<uint8_t> makeCopy(uint32_t id, uint32_t index, uint16_t counter,
                                         const std::string& data) {
        std::vector<uint8_t> b = {'N', 'V', 'D', 'B'};
        for (uint32_t v : {id, index, uint32_t(data.size())})
            for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
        b.push_back(uint8_t(counter));
        b.push_back(uint8_t(counter >> 8));
        uint16_t crc = nvdb_crc16(b.data(), b.size());
        crc = nvdb_crc16(data.data(), data.size(), crc);
        b.push_back(uint8_t(crc));
        b.push_back(uint8_t(crc >> 8));
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }

    TempDir dir;
};

} // namespace

TEST(NvdbCrc, IsTheNonReflectedCcittVariant) {
    EXPECT_EQ(nvdb_crc16("123456789", 9), 0x29B1); // the published check value of CRC-16/CCITT-FALSE
    EXPECT_EQ(nvdb_crc16("", 0), 0xFFFF);
    // Feeding in pieces gives the same as feeding at once.
    EXPECT_EQ(nvdb_crc16("6789", 4, nvdb_crc16("12345", 5)), 0x29B1);
}

TEST_F(NvdbTest, ElementsRoundTripAndSurviveReopen) {
    ASSERT_TRUE(put(8, 0, "A"));
    ASSERT_TRUE(put(0, 0, "abcdef"));
    ASSERT_TRUE(put(0, 1, "other"));
    ASSERT_TRUE(put(262, 0xFFFFFFFFu, "top"));
    EXPECT_EQ(get(0, 0, 2), "ab");      // at most the caller's length
    EXPECT_EQ(get(0, 0, 64), "abcdef"); // at most the stored size
    ASSERT_TRUE(put(0, 0, "xyz"));      // a shorter element replaces the longer one
    EXPECT_EQ(get(0, 0), "xyz");

    nvdb_close();
    EXPECT_EQ(nvdb_read(8, 0, nullptr, 0), -1); // closed
    std::string err;
    ASSERT_TRUE(nvdb_open(dir.file("nv"), &err)) << err;
    EXPECT_EQ(get(8, 0), "A");
    EXPECT_EQ(get(0, 0), "xyz");
    EXPECT_EQ(get(0, 1), "other");
    EXPECT_EQ(get(262, 0xFFFFFFFFu), "top");
    EXPECT_EQ(get(0, 2), "<missing>");
}

TEST_F(NvdbTest, RefusesIdsSizesAndAClosedDatabase) {
    char b[4] = {1, 2, 3, 4};
    for (uint32_t id : {22u, 100u, 255u, 263u, 0xFFFFFFFFu}) {
        EXPECT_EQ(nvdb_write(id, 0, b, 4), 0) << id;
        EXPECT_EQ(nvdb_read(id, 0, b, 4), -1) << id;
    }
    for (uint32_t id : {0u, 21u, 256u, 262u}) EXPECT_EQ(nvdb_write(id, 0, b, 4), 4) << id;
    EXPECT_EQ(nvdb_write(1, 0, b, 0), 0);
    std::vector<uint8_t> big(NVDB_MAX_ELEMENT + 1, 0x55);
    EXPECT_EQ(nvdb_write(1, 0, big.data(), big.size()), 0);
    EXPECT_EQ(nvdb_write(1, 0, big.data(), NVDB_MAX_ELEMENT), int(NVDB_MAX_ELEMENT));
    std::vector<uint8_t> back(NVDB_MAX_ELEMENT);
    EXPECT_EQ(nvdb_read(1, 0, back.data(), back.size()), int(NVDB_MAX_ELEMENT));
    EXPECT_EQ(back, std::vector<uint8_t>(NVDB_MAX_ELEMENT, 0x55));

    nvdb_close();
    EXPECT_EQ(nvdb_write(0, 0, b, 4), 0);
    // A folder that cannot be made is refused with a reason.
    testsupport::writeFile(dir.file("plainfile"), "x");
    std::string err;
    EXPECT_FALSE(nvdb_open(dir.file("plainfile/nv"), &err));
    EXPECT_NE(err.find("plainfile/nv"), std::string::npos) << err;
}

TEST_F(NvdbTest, WriteCounterCountsInBothCopiesAndWraps) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(put(5, 7, "v" + std::to_string(i)));
    EXPECT_EQ(counterOf(nvdb_copyPath(5, 7, 0)), 3);
    EXPECT_EQ(counterOf(nvdb_copyPath(5, 7, 1)), 3);
    EXPECT_EQ(get(5, 7), "v2");

    // Across the wrap, 0x0000 is newer than 0xFFFF.
    writeBytes(nvdb_copyPath(5, 7, 0), makeCopy(5, 7, 0xFFFF, "before-wrap"));
    writeBytes(nvdb_copyPath(5, 7, 1), makeCopy(5, 7, 0x0000, "after-wrap"));
    EXPECT_EQ(get(5, 7), "after-wrap");
    ASSERT_TRUE(put(5, 7, "next"));
    EXPECT_EQ(counterOf(nvdb_copyPath(5, 7, 0)), 1);
    EXPECT_EQ(counterOf(nvdb_copyPath(5, 7, 1)), 1);
}

TEST_F(NvdbTest, ADamagedCopyFallsBackToTheOtherAndIsRewrittenFromIt) {
    ASSERT_TRUE(put(18, 1, "other element"));
    ASSERT_TRUE(put(18, 0, "track-1"));
    ASSERT_TRUE(put(18, 0, "track-2"));
    const std::vector<uint8_t> good = readBinary(nvdb_copyPath(18, 0, 0));
    ASSERT_EQ(good, readBinary(nvdb_copyPath(18, 0, 1)));
    auto with = [&](auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        return b;
    };
    struct Damage {
        const char* what;
        std::vector<uint8_t> bytes;
        NvdbCopy found;
    };
    const std::vector<Damage> damages = {
        {"flipped data bit", with([](auto& b) { b.back() ^= 0x01; }), NvdbCopy::BadCrc},
        {"damaged write counter", with([](auto& b) { b[16] ^= 0x80; }), NvdbCopy::BadCrc},
        {"cut short", with([](auto& b) { b.resize(22); }), NvdbCopy::Torn},
        {"header cut", with([](auto& b) { b.resize(7); }), NvdbCopy::Torn},
        {"bytes appended", with([](auto& b) { b.push_back(0); }), NvdbCopy::Torn},
        {"no header", with([](auto& b) { b[0] = 'X'; }), NvdbCopy::NotACopy},
        {"copy of another element", readBinary(nvdb_copyPath(18, 1, 0)), NvdbCopy::Foreign},
        {"older write", makeCopy(18, 0, 1, "track-1"), NvdbCopy::Older},
    };
    for (int copy = 0; copy < 2; ++copy) {
        const std::string path = nvdb_copyPath(18, 0, copy);
        for (const Damage& d : damages) {
            writeBytes(path, d.bytes);
            NvdbReadReport r;
            char buf[16] = {};
            ASSERT_EQ(nvdb_read(18, 0, buf, sizeof buf, &r), 7) << d.what;
            EXPECT_EQ(std::string(buf), "track-2") << d.what;
            EXPECT_EQ(r.copy[copy], d.found) << d.what << ": " << nvdb_copyText(r.copy[copy]);
            EXPECT_EQ(r.copy[1 - copy], NvdbCopy::Good) << d.what;
            EXPECT_TRUE(r.repaired && !r.repairFailed) << d.what;
            EXPECT_EQ(readBinary(path), good) << d.what << ": the copy is rewritten from the good one";
        }
        std::filesystem::remove(path);
        NvdbReadReport r;
        EXPECT_EQ(get(18, 0), "track-2");
        EXPECT_EQ(nvdb_read(18, 0, nullptr, 0, &r), 0);
        EXPECT_EQ(readBinary(path), good) << "a missing copy is made again";
    }

    // Both damaged: the element is missing and the report tells what was wrong with each copy.
    writeBytes(nvdb_copyPath(18, 0, 0), damages[0].bytes);
    writeBytes(nvdb_copyPath(18, 0, 1), damages[2].bytes);
    NvdbReadReport r;
    char buf[16];
    EXPECT_EQ(nvdb_read(18, 0, buf, sizeof buf, &r), -1);
    EXPECT_EQ(r.copy[0], NvdbCopy::BadCrc);
    EXPECT_EQ(r.copy[1], NvdbCopy::Torn);
    EXPECT_FALSE(r.repaired || r.repairFailed);
    EXPECT_EQ(std::string(nvdb_copyText(r.copy[1])), "torn");
    // A new write makes it whole again.
    ASSERT_TRUE(put(18, 0, "track-3"));
    EXPECT_EQ(get(18, 0), "track-3");
}

TEST_F(NvdbTest, TheCheckReadsEveryElementOnceAndReportsTheDamagedOnes) {
    ASSERT_TRUE(put(0, 0, "laps"));
    ASSERT_TRUE(put(257, 1, "boot"));
    ASSERT_TRUE(put(258, 0, "errors"));
    ASSERT_TRUE(truncate(nvdb_copyPath(257, 1, 1).c_str(), 3) == 0);
    testsupport::writeFile(nvdb_copyPath(258, 0, 0), std::string(40, 0x55));
    testsupport::writeFile(nvdb_copyPath(258, 0, 1), "");
    testsupport::writeFile(dir.file("nv/nv999_00000000.a"), "not an allowed id");
    testsupport::writeFile(dir.file("nv/notes.txt"), "not a copy name");
    std::vector<std::string> found;
    nvdb_check([&](uint32_t id, uint32_t index, const NvdbReadReport& r) {
        found.push_back(std::to_string(id) + "/" + std::to_string(index) + " " + nvdb_copyText(r.copy[0]) +
                        ", " + nvdb_copyText(r.copy[1]) + (r.repaired ? " repaired" : ""));
    });
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"257/1 good, torn repaired", "258/0 not a copy, torn"}));
    EXPECT_EQ(readBinary(nvdb_copyPath(257, 1, 0)), readBinary(nvdb_copyPath(257, 1, 1)));
    found.clear();
    nvdb_check([&](uint32_t, uint32_t, const NvdbReadReport&) { found.push_back("again"); });
    EXPECT_EQ(found, std::vector<std::string>{"again"}) << "only the lost element is left";
}

TEST_F(NvdbTest, ATornWriteKeepsThePreviousValue) {
    ASSERT_TRUE(put(0, 0, "laps=41"));
    const std::string a = nvdb_copyPath(0, 0, 0), b = nvdb_copyPath(0, 0, 1);
    const std::vector<uint8_t> before = readBinary(b);
    ASSERT_TRUE(put(0, 0, "laps=42"));

    // Power lost while the first copy was being written: it is cut short, the other still old.
    writeBytes(b, before);
    ASSERT_EQ(truncate(a.c_str(), 22), 0);
    EXPECT_EQ(get(0, 0), "laps=41");
    ASSERT_EQ(truncate(a.c_str(), 0), 0);
    EXPECT_EQ(get(0, 0), "laps=41");

    // The next write repairs both copies.
    ASSERT_TRUE(put(0, 0, "laps=43"));
    EXPECT_EQ(readBinary(a), readBinary(b));
    EXPECT_EQ(get(0, 0), "laps=43");
}

TEST_F(NvdbTest, AFailedWriteReportsFailureAndKeepsTheLastGoodValue) {
    ASSERT_TRUE(put(3, 0, "one"));
    const std::string a = nvdb_copyPath(3, 0, 0), b = nvdb_copyPath(3, 0, 1);
    // Copy b cannot be written (a folder stands in its place): it is the broken one, so it is the
    // one written first; the write fails and copy a still holds the last good value.
    std::filesystem::remove(b);
    std::filesystem::create_directory(b);
    EXPECT_EQ(nvdb_write(3, 0, "two", 3), 0);
    EXPECT_EQ(get(3, 0), "one");
    EXPECT_EQ(counterOf(a), 1);
}

TEST_F(NvdbTest, ConcurrentWritersKeepEveryElementWhole) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                std::string v = std::to_string(t) + ":" + std::to_string(i);
                nvdb_write(10, t, v.data(), v.size());
                nvdb_write(11, 0, v.data(), v.size()); // one element shared by all
            }
        });
    }
    for (auto& th : threads) th.join();
    for (uint32_t t = 0; t < 4; ++t) EXPECT_EQ(get(10, t), std::to_string(t) + ":49");
    const std::string shared = get(11, 0);
    EXPECT_EQ(shared.substr(1), ":49");
    EXPECT_EQ(readBinary(nvdb_copyPath(11, 0, 0)), readBinary(nvdb_copyPath(11, 0, 1)));
}

// A write of many stores each element as a write of one does (the older or broken copy first, the
// counter one on in both copies), each copy written through on its own and the folder once a round
// for new copies, so that a power cut on a disk whose syncfs writes nothing loses none of them; one
// refused element refuses the lot before anything is written.
TEST_F(NvdbTest, AWriteOfManyStoresEachAsAWriteOfOneEveryCopyWrittenThrough) {
    ASSERT_TRUE(put(0, 0, "laps=41"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(put(2, 5, "slot" + std::to_string(i)));
    ASSERT_EQ(truncate(nvdb_copyPath(2, 5, 1).c_str(), 10), 0); // torn: the one to write first
    const struct {
        uint32_t id, index;
        std::string value;
        uint16_t counter; // in both copies after the write
    } elements[] = {{0, 0, "laps=42", 2}, {2, 5, "slot3", 4}, {8, 0, "new", 1}};
    std::vector<NvdbElement> many;
    for (const auto& e : elements) many.push_back({e.id, e.index, e.value.data(), e.value.size()});

    const NvdbElement refused[][2] = {{many[0], many[0]},
                                      {many[0], {22, 0, "x", 1}},
                                      {many[0], {1, 0, "x", 0}},
                                      {many[0], {1, 0, nullptr, 1}}};
    const uint64_t before = nvdb_writeThroughs();
    for (const auto& r : refused) EXPECT_EQ(nvdb_writeMany(r, 2), 0u);
    EXPECT_EQ(get(0, 0), "laps=41") << "nothing written";
    EXPECT_EQ(nvdb_writeThroughs(), before);

    drivefault_clear();
    DriveFault nothing;
    std::string why;
    ASSERT_TRUE(drivefault_parse("nv:syncfs:1:nothing:0", &nothing, &why)) << why;
    drivefault_arm(nothing);
    EXPECT_EQ(nvdb_writeMany(many.data(), many.size()), many.size());
    EXPECT_EQ(nvdb_writeThroughs() - before, 2u * 3 + 2) << "each copy, the folder a round for the new";
    driveloss_powerCut();
    drivefault_clear();
    nvdb_close();
    std::string err;
    ASSERT_TRUE(nvdb_open(dir.file("nv"), &err)) << err;
    for (const auto& e : elements) {
        NvdbReadReport r;
        std::string buf(16, '\0');
        buf.resize(size_t(std::max(0, nvdb_read(e.id, e.index, buf.data(), buf.size(), &r))));
        EXPECT_EQ(buf, e.value);
        EXPECT_FALSE(r.repaired) << "both copies whole: " << e.value;
        for (int copy = 0; copy < 2; ++copy)
            EXPECT_EQ(counterOf(nvdb_copyPath(e.id, e.index, copy)), e.counter);
    }
}

TEST(NvdbFullDisk, AWriteThatFindsNoRoomFailsAndKeepsTheLastValue) {
    testsupport::SmallDisk disk(256 * 1024);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    std::string err;
    ASSERT_TRUE(nvdb_open(disk.file("nv"), &err)) << err;
    ASSERT_EQ(nvdb_write(0, 0, "laps=41", 7), 7);
    disk.fill();
    EXPECT_EQ(nvdb_write(1, 0, "x", 1), 0) << "a new element finds no room";
    const std::string big(16 * 1024, 'b');
    EXPECT_EQ(nvdb_write(0, 0, big.data(), big.size()), 0) << "nor one that grows";
    const NvdbElement grows[] = {{0, 0, big.data(), big.size()}, {1, 0, "x", 1}};
    EXPECT_EQ(nvdb_writeMany(grows, 2), 0u) << "nor many";
    char buf[16] = {};
    NvdbReadReport r;
    EXPECT_EQ(nvdb_read(0, 0, buf, sizeof buf, &r), 7);
    EXPECT_EQ(std::string(buf), "laps=41");
    EXPECT_NE(r.copy[0], NvdbCopy::Good) << "the copy being written when the room ran out";
    EXPECT_EQ(nvdb_read(1, 0, buf, sizeof buf), -1);

    disk.free();
    EXPECT_EQ(nvdb_read(0, 0, buf, sizeof buf, &r), 7);
    EXPECT_EQ(readBinary(nvdb_copyPath(0, 0, 0)), readBinary(nvdb_copyPath(0, 0, 1)));
    EXPECT_EQ(nvdb_write(0, 0, big.data(), big.size()), int(big.size()));
    nvdb_close();
}

// A write-through the disk holds holds the writer of that element only: other elements are read and
// written meanwhile. The stage of the held write says what a stop would leave: its first copy under
// way, then stored once that copy is through.
TEST_F(NvdbTest, AHeldWriteThroughHoldsNoOtherElement) {
    ASSERT_TRUE(put(3, 0, "a-old"));
    drivefault_clear();
    DriveFault hold;
    std::string why;
    ASSERT_TRUE(drivefault_parse("nv:sync:1:hold0", &hold, &why)) << why;
    drivefault_arm(hold);
    std::atomic<NvdbStage> stage{NvdbStage::NotBegun};
    std::thread held([&] { EXPECT_EQ(nvdb_write(3, 0, "a-new", 5, &stage), 5); });
    ASSERT_TRUE(testsupport::waitUntil([] { return drivefault_holding() == 1; }));
    EXPECT_EQ(stage.load(), NvdbStage::FirstCopy);
    EXPECT_TRUE(put(4, 0, "b")) << "another element is written";
    EXPECT_EQ(get(4, 0), "b");
    EXPECT_EQ(get(5, 0), "<missing>");
    drivefault_release();
    held.join();
    EXPECT_EQ(stage.load(), NvdbStage::Done);
    EXPECT_EQ(get(3, 0), "a-new");

    // A write withheld before it began writes nothing.
    stage = NvdbStage::Withheld;
    EXPECT_EQ(nvdb_write(3, 0, "a-3", 3, &stage), 0);
    EXPECT_EQ(get(3, 0), "a-new");
    drivefault_clear();
}
