#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "guiharness.h"
#include "platform/board/display_hw.h"

using guitest::Box;
using guitest::Frame;
using guitest::Harness;
using guitest::Painted;
using guitest::Panel;
using guitest::PixelSet;
using guitest::Probe;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}
GuiColor C(uint32_t fg, uint32_t bg = 0, uint8_t flags = 0) {
    return GuiColor{fg, bg, flags};
}

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        canvas = new Probe(R(0, 0, 1023, 479));
        h.root().Add(canvas, 0);
    }
    Harness h;
    Probe* canvas = nullptr;
    GuiScreen& s() { return *GuiThing::mpScreen; }
};

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF;
const GuiRect kTopLeft = R(0, 0, 60, 40);

} // namespace

TEST_F(ScreenTest, HorizontalVerticalAndDegenerateLines) {
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().Line(canvas, 20, 5, 10, 5, C(RED), 1);
        s().Line(canvas, 30, 8, 30, 2, C(GREEN), 1);
        s().Line(canvas, 40, 1, 50, 1, C(BLUE), 0);
        s().Line(canvas, 40, 2, 50, 2, C(BLUE), -3);
        GuiPoint one[1] = {{40, 3}};
        s().PolyLine(canvas, one, 1, C(BLUE), 1);
    }
    EXPECT_EQ(Painted(kTopLeft, RED), Box(10, 5, 20, 5));
    EXPECT_EQ(Painted(kTopLeft, GREEN), Box(30, 2, 30, 8));
    EXPECT_TRUE(Painted(kTopLeft, BLUE).empty());
}

TEST_F(ScreenTest, WideLinesAreFilledRectanglesGrowingDownAndRight) {
    int drew = -1, diagonal = -1;
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        drew = s().WideLine(canvas, 10, 5, 2, 5, C(RED), 3);
        diagonal = s().WideLine(canvas, 0, 0, 5, 9, C(BLUE), 3);
        s().Line(canvas, 40, 20, 40, 10, C(GREEN), 2);
    }
    EXPECT_EQ(drew, 1);
    EXPECT_EQ(diagonal, 0);
    EXPECT_EQ(Painted(kTopLeft, RED), Box(2, 5, 10, 7));
    EXPECT_TRUE(Painted(kTopLeft, BLUE).empty());
    EXPECT_EQ(Painted(kTopLeft, GREEN), Box(40, 10, 41, 20));
}

TEST_F(ScreenTest, LineViewFromOriginToTenFiveAtWidthOne) {
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        GuiRect view = R(0, 0, 1023, 479);
        s().LineView(0, 0, 10, 5, view, C(RED), 1);
        s().Line(canvas, 100, 100, 110, 105, C(GREEN), 1); // the same line through the entry form
        s().Line(canvas, 210, 105, 200, 100, C(BLUE), 1);  // and from its other end
    }
    // Two pens walk in from both ends and meet in the middle.
    const PixelSet expected = {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 2},
                               {5, 3}, {6, 3}, {7, 3}, {8, 4}, {9, 4}, {10, 5}};
    EXPECT_EQ(Painted(R(0, 0, 20, 10), RED), expected);
    PixelSet shifted, shifted2;
    for (auto [x, y] : expected) shifted.insert({x + 100, y + 100}), shifted2.insert({x + 200, y + 100});
    EXPECT_EQ(Painted(R(90, 90, 120, 120), GREEN), shifted);
    EXPECT_EQ(Painted(R(190, 90, 220, 120), BLUE), shifted2);
}

TEST_F(ScreenTest, ThickDiagonalAtTheScreenEdgeStaysInsideTheFrameBuffer) {
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().Line(canvas, 0, 0, 60, 30, C(RED), 5);
        s().Line(canvas, 1023, 479, 960, 440, C(GREEN), 5);
    }
    // Spans reach two pixels either side of the pen; the parts outside the screen are cut.
    EXPECT_EQ(Harness::px(0, 0), RED);
    EXPECT_EQ(Harness::px(0, 2), RED);
    EXPECT_NE(Harness::px(0, 3), RED);
    EXPECT_EQ(Harness::px(1023, 479), GREEN);
    EXPECT_EQ(Harness::px(1023, 477), GREEN);
    // A PolyLine segment wider than one pixel never draws outside its clip.
    {
        Frame f(canvas, R(0, 100, 1023, 200));
        GuiPoint pts[2] = {{10, 150}, {50, 150}};
        s().PolyLine(canvas, pts, 2, C(BLUE), 4);
    }
    EXPECT_EQ(Painted(R(0, 140, 60, 160), BLUE), Box(10, 150, 50, 150));
}

TEST_F(ScreenTest, RectanglesOutlineFillAndClippedSides) {
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().Rectangle(canvas, R(5, 5, 10, 9), C(RED), 1);
        s().Rectangle(canvas, R(20, 5, 25, 9), C(RED, BLUE, GUI_COLOR_FILL), 1);
        s().Rectangle(canvas, R(30, 5, 39, 14), C(GREEN, BLUE, GUI_COLOR_FILL), 3);
    }
    PixelSet outline = Box(5, 5, 10, 9);
    for (auto p : Box(6, 6, 9, 8)) outline.erase(p);
    EXPECT_EQ(Painted(R(0, 0, 12, 12), RED), outline);
    EXPECT_EQ(Painted(R(19, 4, 26, 10), BLUE), Box(21, 6, 24, 8));
    EXPECT_EQ(Painted(R(19, 4, 26, 10), RED).size(), Box(20, 5, 25, 9).size() - Box(21, 6, 24, 8).size());
    EXPECT_EQ(Painted(R(29, 4, 40, 15), BLUE), Box(33, 8, 36, 11));
    EXPECT_EQ(Painted(R(29, 4, 40, 15), GREEN).size(), 100u - 16u);

    // The thing's clip cuts the top side off: only the sides inside are drawn, and the fill does not
    // cover them.
    Harness::fill(0);
    canvas->mClipRect = R(0, 12, 1023, 479);
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().Rectangle(canvas, R(5, 10, 15, 20), C(RED, BLUE, GUI_COLOR_FILL), 1);
    }
    PixelSet sides = Box(5, 12, 5, 20);
    sides.merge(Box(15, 12, 15, 20));
    sides.merge(Box(5, 20, 15, 20));
    EXPECT_EQ(Painted(R(0, 0, 30, 30), RED), sides);
    EXPECT_EQ(Painted(R(0, 0, 30, 30), BLUE), Box(6, 12, 14, 19));
}

TEST_F(ScreenTest, XorLinesInvertEverySecondPixelAndUndoThemselves) {
    for (int x = 0; x < 8; ++x) displayhw_frameBuffer()[3 * DISPLAY_FB_WIDTH + x] = 0x123456;
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().HorizontalLineXOR(0, 5, 3);
    }
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(Harness::px(x, 3), (x % 2 == 0 && x <= 4) ? 0xEDCBA9u : 0x123456u) << x;
    std::vector<uint32_t> before(displayhw_frameBuffer(), displayhw_frameBuffer() + DISPLAY_FB_WIDTH * 40);
    for (int pass = 0; pass < 2; ++pass) {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().RectangleXOR(canvas, R(10, 10, 30, 25));
        if (pass == 0) {
            EXPECT_NE(Harness::px(12, 10), before[10 * DISPLAY_FB_WIDTH + 12]);
        }
    }
    std::vector<uint32_t> after(displayhw_frameBuffer(), displayhw_frameBuffer() + DISPLAY_FB_WIDTH * 40);
    EXPECT_EQ(before, after);
}

TEST_F(ScreenTest, InvalidateHoldsTheLockUntilTheOutermostEndDraw) {
    const int nesting = giCriticalNesting;
    s().Invalidate(R(0, 0, 9, 9));
    s().Invalidate(R(20, 20, 29, 29));
    EXPECT_EQ(s().InvalidRect(), R(0, 0, 29, 29));
    s().BeginDraw(canvas);
    s().BeginDraw(canvas);
    EXPECT_EQ(giCriticalNesting, nesting + 4);
    s().EndDraw();
    EXPECT_EQ(giCriticalNesting, nesting + 3); // inner EndDraw: only its own level
    s().EndDraw();
    EXPECT_EQ(giCriticalNesting, nesting); // outermost: two Invalidates plus its own
    EXPECT_EQ(tGuiLockTask.load(), nesting ? taskIdSelf() : 0);
    s().Invalidate(R(100, 100, 101, 101));
    EXPECT_EQ(s().InvalidRect(), R(100, 100, 101, 101)); // replaced, not extended
    s().BeginDraw(canvas);
    s().EndDraw();
    // Drawing without Invalidate draws nothing on the screen.
    s().BeginDraw(canvas);
    s().Rectangle(canvas, R(0, 0, 5, 5), C(RED, RED, GUI_COLOR_FILL), 0);
    s().EndDraw();
    EXPECT_TRUE(Painted(R(0, 0, 9, 9), RED).empty());
}

TEST_F(ScreenTest, WindowCoveredInItsMiddleGetsFourViewportsAndDrawsAroundTheCover) {
    auto* back = new Panel(R(10, 10, 109, 109), 1, RED);
    auto* front = new Panel(R(40, 40, 79, 79), 2, GREEN);
    h.root().Add(back, 0);
    h.root().Add(front, 0);
    std::set<std::pair<std::pair<int, int>, std::pair<int, int>>> views;
    for (Viewport* v = back->mpViewports; v; v = v->next)
        views.insert({{v->view.left, v->view.top}, {v->view.right, v->view.bottom}});
    const decltype(views) expected = {{{10, 10}, {109, 39}},  // above
                                      {{10, 80}, {109, 109}}, // below
                                      {{80, 40}, {109, 79}},  // right
                                      {{10, 40}, {39, 79}}};  // left
    EXPECT_EQ(views, expected);
    ASSERT_NE(front->mpViewports, nullptr);
    EXPECT_EQ(front->mpViewports->view, R(40, 40, 79, 79));
    EXPECT_EQ(front->mpViewports->next, nullptr);

    // Drawing only the back window leaves the covered middle untouched.
    s().Invalidate(back->mRealRect);
    back->Draw();
    PixelSet redArea = Box(10, 10, 109, 109);
    for (auto p : Box(40, 40, 79, 79)) redArea.erase(p);
    EXPECT_EQ(Painted(R(0, 0, 120, 120), RED), redArea);

    // A window wholly covered by one in front gets no viewport and draws nothing.
    auto* hidden = new Panel(R(50, 50, 60, 60), 3, BLUE);
    h.root().AddToEnd(hidden, 0);
    EXPECT_EQ(hidden->mpViewports, nullptr);
    s().Invalidate(hidden->mRealRect);
    hidden->Draw();
    EXPECT_TRUE(Painted(R(0, 0, 120, 120), BLUE).empty());
}

TEST_F(ScreenTest, PixelsPointersAndBounds) {
    {
        Frame f(canvas, R(0, 0, 1023, 479));
        s().PutPixel(canvas, 7, 8, RED);
        s().PutPixel(canvas, 2000, 8, RED); // off the screen: nothing
    }
    EXPECT_EQ(Harness::px(7, 8), RED);
    EXPECT_EQ(s().GetPixel(7, 8), RED);
    EXPECT_EQ(s().GetPixel(-1, 0), 0u);
    EXPECT_EQ(s().GetPixel(s().HRes(), 0), 0u);
    EXPECT_EQ(s().GetPixel(0, s().VRes()), 0u);
    EXPECT_EQ(s().GetPointerType(), 0);
    GuiBitmap shape{};
    EXPECT_EQ(s().AddPointerType(&shape, 1, 1), 7);
    for (int i = 8; i <= 11; ++i) EXPECT_EQ(s().AddPointerType(&shape, 0, 0), i);
    EXPECT_EQ(s().AddPointerType(&shape, 0, 0), 0);
    EXPECT_EQ(s().HRes(), 1024);
    EXPECT_EQ(s().VRes(), 480);
    EXPECT_EQ(s().NumColors(), 256);
}

TEST_F(ScreenTest, CaptureKeepsItsSizeAndReadsNothingOutsideTheFrameBuffer) {
    displayhw_frameBuffer()[470 * DISPLAY_FB_WIDTH + 1000] = 0xABCDEF;
    displayhw_frameBuffer()[479 * DISPLAY_FB_WIDTH + 1023] = 0x010203;
    GuiCapture cap;
    GuiRect area = R(1000, 470, 1030, 490);
    ASSERT_EQ(s().Capture(&cap, area), 1);
    EXPECT_EQ(cap.bitmap.width, 31);
    EXPECT_EQ(cap.bitmap.height, 21);
    auto* p = reinterpret_cast<uint32_t*>(cap.bitmap.data);
    EXPECT_EQ(p[0], 0xABCDEFu);
    EXPECT_EQ(p[9 * 31 + 23], 0x010203u);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 31; ++x)
            if (x > 23 || y > 9) {
                EXPECT_EQ(p[y * 31 + x], 0u);
            }
    // Left and top below 0 become 0.
    GuiRect neg = R(-5, -5, 4, 4);
    ASSERT_EQ(s().Capture(&cap, neg), 1);
    EXPECT_EQ(cap.rect, R(0, 0, 4, 4));
    EXPECT_EQ(cap.bitmap.width, 5);
}
