// A test screen with every shape, compared with the committed golden image (goldenimage.h).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "goldenimage.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Panel;

namespace {

GuiPoint P(int x, int y) {
    return GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
}

constexpr uint32_t INK = 0xFFD000, PAPER = 0x2060C0, LINE = 0xFFFFFF;

// Every figure, one per cell of a 4 x 4 grid of 160 x 120 cells, drawn in a window whose middle is
// covered by another one.
void DrawTestScreen(GuiScreen& s, GuiThing* t, GuiThing* lastCell) {
    const GuiColor fill{INK, PAPER, GUI_COLOR_FILL}, line{LINE, 0, 0}, pat{LINE, 0, GUI_COLOR_PATTERN};
    auto cell = [](int i) { return P(160 * (i % 4), 120 * (i / 4)); };
    GuiPoint o = cell(0);
    GuiPoint square[] = {P(o.x + 10, o.y + 10), P(o.x + 60, o.y + 10), P(o.x + 60, o.y + 60),
                         P(o.x + 10, o.y + 60)};
    s.Polygon(t, square, 4, fill, 0);
    GuiPoint triangle[] = {P(o.x + 80, o.y + 10), P(o.x + 150, o.y + 70), P(o.x + 70, o.y + 110)};
    s.Polygon(t, triangle, 3, fill, 2);
    o = cell(1);
    GuiPoint star[5];
    for (int i = 0; i < 5; ++i) {
        const double a = (90 + 144 * i) * M_PI / 180;
        star[i] = P(o.x + 80 + static_cast<int>(std::lround(55 * std::cos(a))),
                    o.y + 60 - static_cast<int>(std::lround(55 * std::sin(a))));
    }
    s.Polygon(t, star, 5, fill, 1);
    static uint32_t tile[8] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                               0x000000, 0xFF00FF, 0x00FFFF, 0x808080};
    static GuiBitmap pattern{0, 32, 4, 2, 0, reinterpret_cast<uint8_t*>(tile)};
    s.SetFillPattern(&pattern);
    o = cell(2);
    GuiPoint hex[6];
    for (int i = 0; i < 6; ++i)
        hex[i] = P(o.x + 80 + static_cast<int>(std::lround(50 * std::cos(i * M_PI / 3))),
                   o.y + 60 + static_cast<int>(std::lround(50 * std::sin(i * M_PI / 3))));
    s.Polygon(t, hex, 6, pat, 2);
    s.SetFillPattern(nullptr);
    o = cell(3);
    GuiColor dash = line;
    const unsigned long patterns[] = {0xFFFFFFFF, 0xF0F0F0F0, 0xFF00FF00, 0xFFF0FFF0, 0xAAAAAAAA};
    for (int i = 0; i < 5; ++i)
        s.PatternLine(t, o.x + 5, o.y + 8 + 12 * i, o.x + 150, o.y + 20 + 12 * i, dash, i, patterns[i], 1);
    s.PatternLine(t, o.x + 10, o.y + 110, o.x + 60, o.y + 75, dash, 1, 0xFFF0FFF0, 1);
    s.PatternLine(t, o.x + 60, o.y + 75, o.x + 150, o.y + 110, dash, 1, 0xFFF0FFF0, 0);

    o = cell(4);
    GuiColor disc = fill, ring = fill, outline = line;
    s.Circle(t, o.x + 40, o.y + 60, 35, disc, 0);
    s.Circle(t, o.x + 120, o.y + 60, 35, ring, 6);
    o = cell(5);
    s.Circle(t, o.x + 20, o.y + 20, 3, outline, 1);
    s.Circle(t, o.x + 90, o.y + 60, 45, outline, 4);
    s.Ellipse(t, MakeGuiRect(o.x + 5, o.y + 95, o.x + 25, o.y + 105), line, 1);
    o = cell(6);
    s.Ellipse(t, MakeGuiRect(o.x + 5, o.y + 10, o.x + 155, o.y + 110), fill, 3);
    o = cell(7);
    s.Ellipse(t, MakeGuiRect(o.x + 5, o.y + 30, o.x + 155, o.y + 90), line, 2);
    s.Ellipse(t, MakeGuiRect(o.x + 40, o.y + 5, o.x + 120, o.y + 115), fill, 0);

    o = cell(8);
    s.Arc(t, o.x + 50, o.y + 60, 40, 30, 300, line, 3);
    s.Arc(t, o.x + 120, o.y + 60, 30, -90, 450, line, 1);
    o = cell(9);
    s.Arc(t, o.x + 80, o.y + 60, 50, 0, 270, fill, 1);
    o = cell(10);
    s.Arc(t, o.x + 40, o.y + 80, 60, 90, 135, fill, 0);
    s.Arc(t, o.x + 120, o.y + 60, 35, 200, 160, fill, 2);
    o = cell(11);
    GuiRect e = MakeGuiRect(o.x + 10, o.y + 10, o.x + 150, o.y + 110);
    s.Chord(t, e, P(o.x + 150, o.y + 60), P(o.x + 40, o.y), fill, 2);

    o = cell(12);
    e = MakeGuiRect(o.x + 30, o.y + 10, o.x + 130, o.y + 110);
    s.Pie(t, e, P(o.x + 200, o.y + 60), P(o.x + 80, o.y - 100), fill, 1);
    o = cell(13);
    e = MakeGuiRect(o.x + 10, o.y + 10, o.x + 150, o.y + 110);
    s.Pie(t, e, P(o.x + 80, o.y - 100), P(o.x + 200, o.y + 60), fill, 2);
    o = cell(14);
    e = MakeGuiRect(o.x + 10, o.y + 20, o.x + 150, o.y + 100);
    s.Pie(t, e, P(o.x + 150, o.y + 30), P(o.x + 150, o.y + 95), fill, 1);
    // Reaching far to the left, clipped by a thing that covers only the last cell.
    o = cell(15);
    s.Ellipse(lastCell, MakeGuiRect(-32000, o.y + 10, o.x + 150, o.y + 110), fill, 2);
}

} // namespace

TEST(GuiShapeImage, TestScreenMatchesTheGoldenImage) {
    if (const std::string skip = guitest::GoldenSkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    Harness h;
    auto* window = new Panel(MakeGuiRect(0, 0, 639, 479), 1, 0x101010);
    auto* cover = new Panel(MakeGuiRect(250, 200, 389, 279), 2, 0x606060);
    auto* lastCell = new GuiThing(MakeGuiRect(480, 360, 639, 479), 3, GUI_BORDER_NONE);
    h.addAndDraw(window);
    h.addAndDraw(cover);
    window->Add(lastCell, 0);
    {
        guitest::Frame f(window, window->mRealRect);
        DrawTestScreen(*GuiThing::mpScreen, window, lastCell);
    }
    EXPECT_EQ(guitest::CompareScreenWithGolden("shapes.png"), 0);
}
