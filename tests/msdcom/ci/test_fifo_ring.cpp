// Data FIFOs: queue and latest-value mode, release and collection, and one writer with one reader
// on two threads.
#include "msdcom/ci/dynkomm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

dynkomm_fifo* makeFifo(uint16_t depth, uint16_t slot, uint16_t flags) {
    dynkomm_fifo_params p;
    p.depth = depth;
    p.slot_size = slot;
    p.flags = flags;
    return dynkomm_fifo_new(p);
}

bool put(dynkomm_fifo* f, uint32_t v) {
    uint8_t* s = dynkomm_write(f);
    if (!s) return false;
    std::memcpy(s, &v, sizeof(v));
    dynkomm_writedone(f);
    return true;
}

bool take(dynkomm_fifo* f, uint32_t* v) {
    const uint8_t* s = dynkomm_read(f);
    if (!s) return false;
    std::memcpy(v, s, sizeof(*v));
    dynkomm_readdone(f);
    return true;
}

} // namespace

TEST(FifoRing, QueueModeTakesDepthRecordsRefusesMoreAndKeepsOrderAcrossWrap) {
    dynkomm_fifo* f = makeFifo(4, 8, DYNKOMM_FLAG_QUEUE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->mark.load(), DYNKOMM_FIFO_MARK);
    EXPECT_EQ(f->mask, 3);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_TRUE(put(f, i));
    EXPECT_FALSE(put(f, 4)) << "the fifth write of a full queue is refused";
    uint32_t v = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(take(f, &v));
        EXPECT_EQ(v, i);
    }
    EXPECT_FALSE(take(f, &v));
    dynkomm_readdone(f); // a stray release does not run past the writer
    EXPECT_TRUE(put(f, 9));
    ASSERT_TRUE(take(f, &v));
    EXPECT_EQ(v, 9u);

    // Free-running indices wrap through 2^32 without losing their place.
    f->read_index = 0xFFFFFFFE;
    f->write_index = 0xFFFFFFFE;
    for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(put(f, 100 + i));
    EXPECT_FALSE(put(f, 0));
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(take(f, &v));
        EXPECT_EQ(v, 100 + i);
    }
    EXPECT_EQ(dynkomm_fifo_release(f), 1);
}

TEST(FifoRing, LatestValueModeNeverRefusesAndReadsOnlyTheNewest) {
    dynkomm_fifo* f = makeFifo(4, 4, 0);
    ASSERT_NE(f, nullptr);
    for (uint32_t i = 0; i < 11; ++i) EXPECT_TRUE(put(f, i));
    uint32_t v = 0;
    ASSERT_TRUE(take(f, &v));
    EXPECT_EQ(v, 10u);
    EXPECT_FALSE(take(f, &v)) << "everything older went with the read";
    EXPECT_EQ(dynkomm_fifo_release(f), 1);
}

TEST(FifoRing, BadShapesAreRefused) {
    EXPECT_EQ(makeFifo(3, 4, 0), nullptr);
    EXPECT_EQ(makeFifo(0, 4, 0), nullptr);
    EXPECT_EQ(makeFifo(4, 0, 0), nullptr);
    EXPECT_EQ(makeFifo(32768, 0xFFFC, 0), nullptr) << "more memory than a FIFO may take";
}

TEST(FifoRing, ReleasedFifoIsNeverUsedAgainAndFreedOnlyOnALaterTick) {
    dynkomm_fifo_collect();
    dynkomm_fifo_collect();
    const uint32_t retiredBefore = dynkomm_fifo_retiredCount();
    dynkomm_fifo* f = makeFifo(2, 4, DYNKOMM_FLAG_QUEUE);
    ASSERT_NE(f, nullptr);
    const uint32_t id = dynkomm_fifo_ident(f);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(dynkomm_fifo_byIdent(id), f);
    EXPECT_TRUE(put(f, 1));
    uint8_t* held = dynkomm_read(f); // a reader holds a slot while the FIFO goes
    ASSERT_NE(held, nullptr);

    EXPECT_EQ(dynkomm_fifo_release(f), 1);
    EXPECT_EQ(dynkomm_fifo_release(f), 0) << "released twice";
    EXPECT_FALSE(dynkomm_fifo_isLive(f));
    EXPECT_EQ(dynkomm_fifo_byIdent(id), nullptr);
    EXPECT_EQ(dynkomm_write(f), nullptr);
    EXPECT_EQ(dynkomm_read(f), nullptr);
    uint32_t v = 0;
    std::memcpy(&v, held, 4); // still valid memory until the collection
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(dynkomm_fifo_retiredCount(), retiredBefore + 1);
    dynkomm_fifo_collect();
    EXPECT_EQ(dynkomm_fifo_retiredCount(), retiredBefore + 1) << "not freed at the first tick";
    dynkomm_fifo_collect();
    EXPECT_EQ(dynkomm_fifo_retiredCount(), retiredBefore);
}

TEST(FifoRing, APinnedFifoOutlivesAnyNumberOfCollectionTicks) {
    dynkomm_fifo_collect();
    dynkomm_fifo_collect();
    const uint32_t before = dynkomm_fifo_retiredCount();
    dynkomm_fifo* f = makeFifo(4, 8, DYNKOMM_FLAG_QUEUE);
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(dynkomm_fifo_pin(f)); // a receiver found it by its handle and waits for the record
    uint8_t* slot = dynkomm_write(f);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(dynkomm_fifo_release(f), 1);
    for (int i = 0; i < 5; ++i) dynkomm_fifo_collect();
    EXPECT_EQ(dynkomm_fifo_retiredCount(), before + 1) << "still held: not freed";
    std::memset(slot, 0x5A, 8); // the rest of the record arrives late (ASan would see a freed slot)
    dynkomm_writedone(f);
    dynkomm_fifo_unpin(f);
    dynkomm_fifo_collect();
    EXPECT_EQ(dynkomm_fifo_retiredCount(), before);
    EXPECT_FALSE(dynkomm_fifo_pin(f)) << "a released FIFO cannot be pinned";
}

// One writer and one reader on their own threads, no lock between them: queue mode loses nothing
// and keeps the order. Run it under ThreadSanitizer too (-DMSD_TSAN=ON).
TEST(FifoRing, OneWriterOneReaderMoveAMillionRecordsInOrder) {
    constexpr uint32_t N = 1000000;
    dynkomm_fifo* f = makeFifo(64, 16, DYNKOMM_FLAG_QUEUE);
    ASSERT_NE(f, nullptr);
    std::thread writer([f] {
        for (uint32_t i = 0; i < N;) {
            uint8_t* s = dynkomm_write(f);
            if (!s) {
                std::this_thread::yield();
                continue;
            }
            for (uint32_t w = 0; w < 4; ++w) {
                const uint32_t word = i * 4 + w;
                std::memcpy(s + 4 * w, &word, 4);
            }
            dynkomm_writedone(f);
            ++i;
        }
    });
    uint32_t expected = 0, bad = 0;
    while (expected < N) {
        const uint8_t* s = dynkomm_read(f);
        if (!s) {
            std::this_thread::yield();
            continue;
        }
        for (uint32_t w = 0; w < 4; ++w) {
            uint32_t word = 0;
            std::memcpy(&word, s + 4 * w, 4);
            bad += word != expected * 4 + w;
        }
        dynkomm_readdone(f);
        ++expected;
    }
    writer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(dynkomm_read(f), nullptr);
    EXPECT_EQ(f->write_index.load(), N);
    dynkomm_fifo_release(f);
}
