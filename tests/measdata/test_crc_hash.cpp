// Checksums against independently computed values, and the name hash table's chaining.
#include "measdata/crc.h"
#include "measdata/msdhash.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes0to255() {
    std::vector<uint8_t> v(256);
    for (int i = 0; i < 256; ++i) v[i] = uint8_t(i);
    return v;
}

} // namespace

TEST(Crc16, CheckValuesOfMcrf4xx) {
    EXPECT_EQ(crc16_ccitt_lsb_accu("123456789", 9, 0xFFFF), 0x6F91);
    EXPECT_EQ(crc16_ccitt_lsb_accu("a", 1, 0xFFFF), 0x7D08);
    EXPECT_EQ(crc16_ccitt_lsb_accu("123456789", 9, 0x0000), 0x2189); // CRC-16/KERMIT
    const auto all = bytes0to255();
    EXPECT_EQ(crc16_ccitt_lsb_accu(all.data(), all.size(), 0xFFFF), 0xCFC3);
    EXPECT_EQ(crc16_ccitt_lsb_accu(nullptr, 0, 0xFFFF), 0xFFFF);
}

TEST(Crc16, ContinuesFromTheSeedAcrossPieces) {
    const char* text = "The quick brown fox jumps over the lazy dog";
    const size_t n = std::strlen(text);
    const uint16_t whole = crc16_ccitt_lsb_accu(text, n, 0xFFFF);
    EXPECT_EQ(whole, 0x6CA7);
    for (size_t cut : {size_t(0), size_t(1), size_t(17), n}) {
        const uint16_t first = crc16_ccitt_lsb_accu(text, cut, 0xFFFF);
        EXPECT_EQ(crc16_ccitt_lsb_accu(text + cut, n - cut, first), whole) << "cut at " << cut;
    }
}

TEST(Crc32Bsd, CheckValuesWithStartZeroAndNoFinalXor) {
    EXPECT_EQ(crc32_bsd("123456789", 9), 0x2DFD2D88u);
    EXPECT_EQ(crc32_bsd("a", 1), 0x3AB551CEu);
    EXPECT_EQ(crc32_bsd("The quick brown fox jumps over the lazy dog", 43), 0xB9C60808u);
    EXPECT_EQ(crc32_bsd("", 0), 0u);
    const auto all = bytes0to255();
    EXPECT_EQ(crc32_bsd(all.data(), all.size()), 0x2493092Bu);
}

TEST(Crc32Bsd, EqualsZlibCrcWithoutItsInversions) {
    // zlib inverts before and after: crc32(~0, x) == ~update(0, x).
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
    for (size_t len : {size_t(1), size_t(3), size_t(64), data.size()}) {
        const uint32_t viaZlib = ~uint32_t(crc32(0xFFFFFFFFul, data.data(), uInt(len)));
        EXPECT_EQ(crc32_bsd(data.data(), len), viaZlib) << "length " << len;
    }
}

TEST(Msdhash, Fnv1aOfKnownNames) {
    EXPECT_EQ(msdhash_fnv1a(""), 0x811C9DC5u);
    EXPECT_EQ(msdhash_fnv1a("a"), 0xE40C292Cu);
    EXPECT_EQ(msdhash_fnv1a("foobar"), 0xBF9CF968u);
}

TEST(Msdhash, BucketCountIsRoundedUpToAPowerOfTwo) {
    for (auto [asked, mask] : {std::pair{0u, 0u}, {1u, 0u}, {3u, 3u}, {4096u, 4095u}, {4097u, 8191u}}) {
        msdhash_t* t = msdhash_create(asked);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->mask, mask) << asked;
        msdhash_delete(t);
    }
    EXPECT_EQ(msdhash_create(0x80000000u), nullptr);
}

TEST(Msdhash, ChainsCollidingNamesAndFindsTheFirstOfEqualNames) {
    msdhash_t* t = msdhash_create(1); // one bucket: every name collides
    msdhash_elem_t e[4];
    int a = 1, b = 2, c = 3, d = 4;
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[0], "alpha", &a), 1);
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[1], "beta", &b), 1);
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[2], "alpha", &c), 1);
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[3], "gamma", &d), 1);
    EXPECT_EQ(t->count, 4u);
    EXPECT_EQ(msdhash_find(t, "alpha"), &a);
    EXPECT_EQ(msdhash_find(t, "beta"), &b);
    EXPECT_EQ(msdhash_find(t, "gamma"), &d);
    EXPECT_EQ(msdhash_find(t, "delta"), nullptr);
    // Appended in order at the end of the chain.
    EXPECT_EQ(t->buckets[0], &e[0]);
    EXPECT_EQ(e[0].next, &e[1]);
    EXPECT_EQ(e[2].next, &e[3]);
    EXPECT_EQ(e[3].next, nullptr);
    msdhash_delete(t);
}

TEST(Msdhash, AddingAnElementAgainNeverClosesItsChain) {
    msdhash_t* t = msdhash_create(1);
    msdhash_elem_t e[2];
    int a = 1, b = 2;
    msdhash_addPreAllocElement(t, &e[0], "alpha", &a);
    msdhash_addPreAllocElement(t, &e[1], "beta", &b);
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[0], "alpha", &a), 1);
    EXPECT_EQ(msdhash_addPreAllocElement(t, &e[1], "beta", &b), 1);
    EXPECT_EQ(t->count, 2u);
    EXPECT_EQ(e[1].next, nullptr);
    EXPECT_EQ(msdhash_find(t, "missing"), nullptr); // would never return with a cycle
    EXPECT_EQ(msdhash_addPreAllocElement(nullptr, &e[0], "x", &a), 0);
    EXPECT_EQ(msdhash_addPreAllocElement(t, nullptr, "x", &a), 0);
    EXPECT_EQ(msdhash_find(nullptr, "alpha"), nullptr);
    msdhash_delete(t);
}
