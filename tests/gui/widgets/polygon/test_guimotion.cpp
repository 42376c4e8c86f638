// Polygons that move with their parent and turn about their centre, and animations that play
// their frames on GUI timer ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "gui/widgets/polygon/guipolygon.h"
#include "guiharness.h"

using guitest::Box;
using guitest::Harness;
using guitest::Painted;
using guitest::PixelSet;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::set<std::pair<int, int>> PointSet(const GuiPoint* p, unsigned n) {
    std::set<std::pair<int, int>> s;
    for (unsigned i = 0; i < n; ++i) s.insert({p[i].x, p[i].y});
    return s;
}

void Tick(Harness& h, int n = 1) {
    for (int i = 0; i < n; ++i) {
        GuiTimerTaskPost();
        h.dispatchAll();
    }
}

} // namespace

TEST(Gui2DPolygon, TurnsAboutItsCentreAndMovesWithItsParent) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), GUI_LIGHT_GREY);
    GuiPoint square[] = {{0, 0}, {20, 0}, {20, 20}, {0, 20}};
    auto* p = new Gui2DPolygon(R(100, 100, 120, 120), square, 4, 1, GUI_BORDER_NONE | GUI_POLYGON_COPY);
    GuiPoint callers[] = {{0, 0}, {10, 0}, {0, 10}};
    auto* q = new Gui2DPolygon(R(200, 200, 210, 210), callers, 3, 2, GUI_BORDER_NONE);
    p->SetColor(0, GUI_LIGHT_GREY);
    p->SetColor(3, 0xFF0000);
    p->SetFill(1);
    w->Add(p, 0);
    w->Add(q, 0);
    h.pm().Add(w, 1);
    EXPECT_EQ(square[1].x, 20) << "a copy was taken";
    EXPECT_EQ(callers[1].x, 210) << "the caller's array holds screen coordinates";
    const auto corners = PointSet(p->Points(), 4);
    p->SetCurAngle(90);
    EXPECT_EQ(PointSet(p->TurnedPoints(), 4), corners) << "the same square";
    GuiThing::mpScreen->Invalidate(p->mRealRect);
    p->Draw();
    PixelSet outline = Box(100, 100, 120, 120);
    for (const auto& i : Box(101, 101, 119, 119)) outline.erase(i);
    EXPECT_EQ(Painted(R(90, 90, 130, 130), 0xFF0000), Box(101, 101, 119, 119));
    EXPECT_EQ(Painted(R(90, 90, 130, 130), GUI_BLACK), outline);
    p->SetCurAngle(45);
    for (unsigned i = 0; i < 4; ++i) {
        const GuiPoint t = p->TurnedPoints()[i];
        EXPECT_TRUE(std::abs(t.x - 110) <= 1 || std::abs(t.y - 110) <= 1)
            << "a diamond: " << t.x << "," << t.y;
    }
    const int pending = GuiThing::mpScreen->InvalidCount();
    p->SetCurAngle(45);
    EXPECT_EQ(GuiThing::mpScreen->InvalidCount(), pending) << "the same angle again does nothing";
    // Moving keeps the turned shape; the next new angle starts from the moved, unturned points.
    std::vector<GuiPoint> turned(p->TurnedPoints(), p->TurnedPoints() + 4);
    GuiMessage move = GuiMakeMessage(GM_RESIZE, w);
    move.SetDataRect(R(10, 5, 409, 304));
    w->Message(move);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(p->TurnedPoints()[i].x, turned[i].x + 10);
        EXPECT_EQ(p->TurnedPoints()[i].y, turned[i].y + 5);
    }
    EXPECT_EQ(callers[1].x, 220);
    p->SetCurAngle(180);
    std::set<std::pair<int, int>> moved;
    for (const auto& [x, y] : corners) moved.insert({x + 10, y + 5});
    EXPECT_EQ(PointSet(p->TurnedPoints(), 4), moved);
}

TEST(GuiAnimation, PlaysItsFramesOnTicksOnceOrInALoop) {
    Harness h(true);
    auto* w = new Recorder(R(0, 0, 399, 299), 0x303030);
    h.pm().Add(w, 1);
    static uint32_t red[100], green[100], blue[100];
    std::fill(std::begin(red), std::end(red), 0xFF0000u);
    std::fill(std::begin(green), std::end(green), 0x00FF00u);
    std::fill(std::begin(blue), std::end(blue), 0x0000FFu);
    GuiBitmap bits[3] = {{0, 32, 10, 10, 0, reinterpret_cast<uint8_t*>(red)},
                         {0, 32, 10, 10, 0, reinterpret_cast<uint8_t*>(green)},
                         {0, 32, 10, 10, 0, reinterpret_cast<uint8_t*>(blue)}};
    GuiAnimationFrame frames[] = {
        {&bits[0], 2, 0, 0, 0}, {&bits[1], 2, 5, 0, 0}, {&bits[2], 1, 5, 5, 0}, {nullptr, 0, 0, 0, 0}};
    auto* a = new GuiAnimation(R(200, 200, 219, 219), frames, 5, 0);
    w->Add(a, 1);
    frames[0].bitmap = &bits[2]; // the animation plays its own copy
    auto shown = [&] {
        // Covered by frames 1 and 2; frame 0 leaves it cleared to the animation's black.
        const uint32_t c = Harness::px(212, 207);
        return c == 0xFF0000 ? 0 : c == 0x00FF00 ? 1 : c == 0x0000FF ? 2 : c == 0x303030 ? -1 : -2;
    };
    struct Mode {
        uint16_t mode;
        std::vector<int> frames; // shown after the start and after each tick
        int32_t running;
    } modes[] = {
        {0, {-2, -2, 1, 1, 2, -1, -1}, 0},
        {GUI_ANIM_KEEP, {-2, -2, 1, 1, 2, 2, 2}, 0},
        {GUI_ANIM_LOOP, {-2, -2, 1, 1, 2, -2, -2}, 1},
    };
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.mode);
        a->SetMode(m.mode);
        a->Start(0);
        std::vector<int> seen{shown()};
        for (size_t t = 1; t < m.frames.size(); ++t) {
            Tick(h);
            seen.push_back(shown());
        }
        EXPECT_EQ(seen, m.frames);
        EXPECT_EQ(a->mbRunning, m.running);
        EXPECT_EQ(a->muIndex, 0u);
        a->Stop();
    }
    EXPECT_EQ(Harness::px(212, 207), 0x303030u) << "the parent drawn over the stopped animation";
    // Resuming where it stood; indices beyond the list are ignored.
    a->SetMode(0);
    a->Start(1);
    a->Stop();
    a->Start(-1);
    EXPECT_EQ(shown(), 1);
    a->Start(3);
    a->SetCurrentFrame(7);
    EXPECT_EQ(a->muIndex, 1u);
    // An empty list stops it for good: no timer, no tick reaches it.
    GuiAnimationFrame none[] = {{nullptr, 0, 0, 0, 0}};
    a->AssignFrameList(none);
    EXPECT_EQ(a->mbRunning, 0);
    EXPECT_EQ(h.queue().TimerCount(), 0);
    Tick(h, 3);
    a->Start(0);
    EXPECT_EQ(a->mbRunning, 0);
    // Started when shown.
    auto* b = new GuiAnimation(R(250, 200, 269, 219), frames, 6, 0);
    b->SetMode(GUI_ANIM_AUTOSTART);
    w->Add(b, 1);
    EXPECT_EQ(b->mbRunning, 1);
    w->Remove(b, 1);
    EXPECT_EQ(b->mbRunning, 0);
    EXPECT_EQ(h.queue().TimerCount(), 0);
    delete b;
}
