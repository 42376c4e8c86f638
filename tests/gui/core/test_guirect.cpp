#include <gtest/gtest.h>

#include "gui/core/guimessage.h"
#include "gui/core/guirect.h"

namespace {
GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}
} // namespace

TEST(GuiRect, InclusiveEdgesContainAndOverlap) {
    const GuiRect a = R(0, 0, 9, 9);
    EXPECT_TRUE(a.Contains(9, 9));
    EXPECT_FALSE(a.Contains(10, 9));
    EXPECT_EQ(a.Width(), 10);
    EXPECT_FALSE(a.Overlap(R(10, 0, 19, 9)));
    EXPECT_TRUE(a.Overlap(R(9, 9, 20, 20)));
    EXPECT_TRUE(a.Contains(R(0, 0, 9, 9)));
    EXPECT_FALSE(a.Contains(R(0, 0, 10, 9)));
}

TEST(GuiRect, IntersectionOfDisjointIsEmptyAndContainsNothing) {
    GuiRect a = R(0, 0, 9, 9);
    a &= R(20, 20, 30, 30);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_FALSE(a.Contains(20, 20));
    EXPECT_FALSE(a.Contains(5, 5));
    GuiRect b = R(0, 0, 9, 9);
    b |= R(20, 5, 30, 30);
    EXPECT_EQ(b, R(0, 0, 30, 30));
}

TEST(GuiRect, ShrinkNeverInvertsGrowAndShift) {
    GuiRect a = R(5, 5, 5, 5);
    --a;
    EXPECT_EQ(a, R(6, 6, 6, 6));
    GuiRect b = R(0, 0, 3, 3);
    b -= 3;
    EXPECT_EQ(b, R(3, 3, 3, 3));
    GuiRect c = R(1, 2, 3, 4);
    ++c;
    EXPECT_EQ(c, R(0, 1, 4, 5));
    c += 2;
    EXPECT_EQ(c, R(-2, -1, 6, 7));
    EXPECT_EQ((c + GuiPoint{10, 20}), R(8, 19, 16, 27));
    c.MoveTo(100, 100);
    EXPECT_EQ(c, R(100, 100, 108, 108));
}

TEST(GuiRect, ArithmeticWrapsAtSixteenBits) {
    GuiRect a = R(32760, 0, 32767, 0);
    a.Shift(1, 0);
    EXPECT_EQ(a.left, 32761);
    EXPECT_EQ(a.right, -32768);
}

TEST(GuiRect, SubtractionKeepsOneRectangle) {
    GuiRect a = R(10, 10, 20, 20);
    a ^= R(0, 0, 99, 99);
    EXPECT_TRUE(a.IsEmpty());
    GuiRect b = R(0, 0, 99, 99);
    b ^= R(0, 5, 99, 99);
    EXPECT_EQ(b, R(0, 0, 99, 4));
    GuiRect c = R(0, 0, 99, 99);
    c ^= R(200, 0, 300, 10); // no overlap
    EXPECT_EQ(c, R(0, 0, 99, 99));
    // Within the other's columns, sticking out below: the part below stays.
    GuiRect d = R(10, 10, 20, 30);
    d ^= R(0, 0, 50, 20);
    EXPECT_EQ(d, R(10, 21, 20, 30));
    // Starting at or below the other's top, sticking out left: the left part stays.
    GuiRect e = R(0, 10, 50, 20);
    e ^= R(30, 0, 99, 99);
    EXPECT_EQ(e, R(0, 10, 29, 20));
    // Above and to the left: the larger piece wins (left piece 5 x 100 against top piece 100 x 2).
    GuiRect f = R(0, 0, 99, 99);
    f ^= R(5, 2, 200, 200);
    EXPECT_EQ(f, R(0, 0, 4, 99));
    // Top piece larger than the right piece.
    GuiRect g = R(0, 0, 99, 99);
    g ^= R(-10, 60, 95, 200);
    EXPECT_EQ(g, R(0, 0, 99, 59));
}

TEST(GuiSinCos, TableAndQuadrants) {
    EXPECT_EQ(GuiSinCosTable[0], 0);
    EXPECT_EQ(GuiSinCosTable[30], 512);
    EXPECT_EQ(GuiSinCosTable[90], 1024);
    EXPECT_EQ(GuiSinCosTable[46], 736);
    EXPECT_EQ(GuiSinCosTable[87], 1022);
    int s = 0, c = 0;
    GuiLookupSinCos(30, &s, &c);
    EXPECT_EQ(s, 512);
    EXPECT_EQ(c, 887);
    GuiLookupSinCos(-30, &s, &c);
    EXPECT_EQ(s, -512);
    EXPECT_EQ(c, 887);
    int s2 = 0, c2 = 0;
    GuiLookupSinCos(390, &s2, &c2);
    GuiLookupSinCos(30, &s, &c);
    EXPECT_EQ(s2, s);
    EXPECT_EQ(c2, c);
    GuiLookupSinCos(135, &s, &c);
    EXPECT_EQ(s, 724);
    EXPECT_EQ(c, -724);
    GuiLookupSinCos(270, &s, &c);
    EXPECT_EQ(s, -1024);
    EXPECT_EQ(c, 0);
    GuiLookupSinCos(210, &s, &c);
    EXPECT_EQ(s, -512);
    EXPECT_EQ(c, -887);
    GuiLookupSinCos(-100, &s, &c);
    EXPECT_EQ(s, -1008);
    EXPECT_EQ(c, -178);
    GuiLookupSinCos(45, nullptr, &c); // a null output is not written
    EXPECT_EQ(c, 724);
}

TEST(GuiMessage, DataHoldsRectPointTwoWordsOrTwoWholePointers) {
    GuiMessage m = GuiMakeMessage(GM_RESIZE);
    m.SetDataRect(R(-1, 2, 300, -400));
    EXPECT_EQ(m.DataRect(), R(-1, 2, 300, -400));
    EXPECT_EQ(m.DataPoint().x, -1);
    EXPECT_EQ(m.DataPoint().y, 2);
    m.SetDataWord(0, -5);
    m.SetDataWord(1, 0x7FFFFFFF);
    EXPECT_EQ(m.DataWord(0), -5);
    EXPECT_EQ(m.DataWord(1), 0x7FFFFFFF);
    int a = 0, b = 0;
    m.SetDataPtr(0, &a);
    m.SetDataPtr(1, &b);
    EXPECT_EQ(m.DataPtr(0), &a);
    EXPECT_EQ(m.DataPtr(1), &b);
    EXPECT_EQ(GuiSignalType(1015, 15), 0x3FFF);
    EXPECT_EQ(GuiSignalType(3, 4), 128 + 48 + 4);
}
