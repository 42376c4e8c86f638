#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "shapestage.h"

using guitest::Box;
using guitest::PixelSet;
using shapetest::Figure;
using shapetest::Keys;
using shapetest::OfColour;
using shapetest::PixelMap;
using shapetest::Stage;

namespace {

constexpr uint32_t FG = 0x0000FF, BG = 0x00FF00;
const GuiColor kLine{FG, 0, 0};
const GuiColor kFill{FG, BG, GUI_COLOR_FILL};

GuiPoint P(int x, int y) {
    return GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
}
GuiScreen& S() {
    return *GuiThing::mpScreen;
}
PixelSet Row(int y, int x0, int x1) {
    return Box(x0, y, x1, y);
}
PixelSet OnRow(const PixelSet& s, int y) {
    PixelSet out;
    for (auto p : s)
        if (p.second == y) out.insert(p);
    return out;
}
PixelSet Mirror(const PixelSet& s) { // about row 0
    PixelSet out;
    for (auto [x, y] : s) out.insert({x, -y});
    return out;
}

class Shapes : public ::testing::Test {
protected:
    Stage st;
};

} // namespace

TEST_F(Shapes, PolygonsAndDashedLinesPixelExact) {
    // A filled square: x 0..9 on rows 0..9, neither row 10 nor column 10.
    const PixelMap square = st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiPoint p[] = {P(ox, oy), P(ox + 10, oy), P(ox + 10, oy + 10), P(ox, oy + 10)};
        S().Polygon(t, p, 4, kFill, 0);
    });
    EXPECT_EQ(Keys(square), Box(0, 0, 9, 9));
    EXPECT_EQ(OfColour(square, BG), square);

    const PixelSet triangle = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiPoint p[] = {P(ox + 2, oy), P(ox + 9, oy + 6), P(ox, oy + 8)};
        S().Polygon(t, p, 3, kFill, 0);
    }));
    EXPECT_EQ(OnRow(triangle, 4), Row(4, 1, 6));
    EXPECT_EQ(OnRow(triangle, 7), Row(7, 1, 4));
    EXPECT_TRUE(OnRow(triangle, 0).empty());
    EXPECT_TRUE(OnRow(triangle, 8).empty());

    // A five-pointed star drawn in one stroke fills by the even-odd rule: its centre stays empty.
    const PixelSet star = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiPoint p[5];
        for (int i = 0; i < 5; ++i) {
            const double a = (90 + 144 * i) * M_PI / 180;
            p[i] = P(ox + static_cast<int>(std::lround(40 * std::cos(a))),
                     oy - static_cast<int>(std::lround(40 * std::sin(a))));
        }
        S().Polygon(t, p, 5, kFill, 0);
    }));
    EXPECT_FALSE(star.count({0, 0}));
    EXPECT_FALSE(star.count({3, -3}));
    EXPECT_TRUE(star.count({0, -30})); // inside the upper point
    EXPECT_TRUE(star.count({-25, -10}));

    const PixelSet dashed = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kLine;
        S().PatternLine(t, ox, oy, ox + 10, oy + 5, c, 1, 0xFFFFFFFF, 1);
    }));
    const PixelSet want = {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3},
                           {6, 3}, {7, 4}, {8, 4}, {9, 5}, {10, 5}};
    EXPECT_EQ(dashed, want);
}

TEST_F(Shapes, CirclesAndEllipsesPixelExact) {
    const PixelMap disc = st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kFill;
        S().Circle(t, ox, oy, 3, c, 0);
    });
    EXPECT_EQ(disc.size(), 37u);
    EXPECT_EQ(OfColour(disc, BG).size(), 37u);
    const PixelSet d = Keys(disc);
    for (int y : {-3, 3}) EXPECT_EQ(OnRow(d, y), Row(y, -1, 1));
    for (int y : {-1, 0, 1}) EXPECT_EQ(OnRow(d, y), Row(y, -3, 3));

    const PixelMap ring = st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kLine;
        S().Circle(t, ox, oy, 3, c, 1);
    });
    EXPECT_EQ(ring.size(), 16u);

    const PixelMap ellipse = st.Everywhere(
        [](GuiThing* t, int ox, int oy) { S().Ellipse(t, MakeGuiRect(ox, oy, ox + 20, oy + 10), kLine, 1); });
    EXPECT_EQ(ellipse.size(), 52u);
    EXPECT_EQ(OnRow(Keys(ellipse), 0), Row(0, 6, 14));
    EXPECT_EQ(OnRow(Keys(ellipse), 5), (PixelSet{{0, 5}, {20, 5}}));
    EXPECT_TRUE(st.Everywhere([](GuiThing* t, int ox, int oy) {
                      S().Ellipse(t, MakeGuiRect(ox, oy, ox + 3, oy + 30), kFill, 1);
                  }).empty());

    // A filled ellipse of width 0 is all background; one whose width reaches its smaller semi-axis
    // is all outline.
    const PixelMap solid = st.Everywhere(
        [](GuiThing* t, int ox, int oy) { S().Ellipse(t, MakeGuiRect(ox, oy, ox + 20, oy + 10), kFill, 0); });
    EXPECT_EQ(OfColour(solid, BG), solid);
    EXPECT_EQ(OnRow(Keys(solid), 5), Row(5, 0, 20));
    // A flat ellipse stays inside its rectangle.
    const PixelSet flat = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        S().Ellipse(t, MakeGuiRect(ox - 140, oy, ox + 140, oy + 12), kFill, 0);
    }));
    for (auto p : flat) EXPECT_TRUE(Box(-140, 0, 140, 12).count(p)) << p.first << "," << p.second;
    EXPECT_EQ(OnRow(flat, 6), Row(6, -140, 140));
    const PixelMap thick = st.Everywhere(
        [](GuiThing* t, int ox, int oy) { S().Ellipse(t, MakeGuiRect(ox, oy, ox + 20, oy + 10), kFill, 5); });
    EXPECT_TRUE(OfColour(thick, BG).empty());
    EXPECT_FALSE(thick.empty());
}

TEST_F(Shapes, CircleEdgeCases) {
    EXPECT_TRUE(st.Open([](GuiThing* t, int ox, int oy) {
                      GuiColor c = kFill;
                      S().Circle(t, ox, oy, 0, c, 0);
                  }).empty());
    EXPECT_EQ(Keys(st.Open([](GuiThing*, int ox, int oy) {
                  S().FillCircle(MakeGuiRect(0, 0, 1023, 479), ox, oy, 0, BG);
              })),
              (PixelSet{{0, 0}}));
    // A ring painted as a foreground disc with the inside painted over; with a width of the radius
    // or more only the foreground disc.
    const PixelMap r2 = st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kFill;
        S().Circle(t, ox, oy, 10, c, 2);
    });
    const PixelMap r10 = st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kFill;
        S().Circle(t, ox, oy, 10, c, 10);
    });
    for (int x : {-10, -9, 9, 10}) EXPECT_EQ(r2.at({x, 0}), FG) << x;
    for (int x : {-8, 0, 8}) EXPECT_EQ(r2.at({x, 0}), BG) << x;
    EXPECT_EQ(Keys(r2), Keys(r10));
    EXPECT_EQ(OfColour(r10, FG), r10);
    // An outline of width w covers radii r - w + 1 .. r along the axes; a width beyond the radius
    // fills the disc and reaches nothing past it.
    const PixelSet wide = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kLine;
        S().Circle(t, ox, oy, 10, c, 3);
    }));
    for (int r = 6; r <= 11; ++r) {
        const bool in = r >= 8 && r <= 10;
        EXPECT_EQ(wide.count({r, 0}) + wide.count({-r, 0}) + wide.count({0, r}) + wide.count({0, -r}),
                  in ? 4u : 0u)
            << r;
    }
    const PixelSet over = Keys(st.Everywhere([](GuiThing* t, int ox, int oy) {
        GuiColor c = kLine;
        S().Circle(t, ox, oy, 4, c, 40);
    }));
    EXPECT_EQ(over, Keys(st.Open([](GuiThing* t, int ox, int oy) {
                  GuiColor c = kLine;
                  S().Circle(t, ox, oy, 4, c, 5);
              })));
    for (auto p : over) EXPECT_TRUE(Box(-4, -4, 4, 4).count(p));
    EXPECT_TRUE(over.count({0, 0}));
}

TEST_F(Shapes, ArcsSwapNormaliseAndGrowOutwards) {
    auto arc = [&](int start, int end, int width, const GuiColor& c = kLine) {
        return Keys(st.Everywhere(
            [=](GuiThing* t, int ox, int oy) { S().Arc(t, ox, oy, 10, start, end, c, width); }));
    };
    const PixelSet quarter = arc(0, 90, 1);
    EXPECT_EQ(arc(90, 0, 1), quarter);
    for (auto [x, y] : quarter) EXPECT_TRUE(x >= 0 && y <= 0) << x << "," << y;
    EXPECT_TRUE(quarter.count({10, 0}) && quarter.count({0, -10}));
    const PixelSet half = arc(-90, 450, 1);
    for (auto [x, y] : half) EXPECT_GE(x, 0) << x << "," << y;
    EXPECT_EQ(Mirror(half), half);
    for (auto p : quarter) EXPECT_TRUE(half.count(p));

    const PixelSet thick = arc(0, 90, 3);
    for (int r = 9; r <= 13; ++r) {
        const bool in = r >= 10 && r <= 12;
        EXPECT_EQ(thick.count({r, 0}), in ? 1u : 0u) << r;
        EXPECT_EQ(thick.count({0, -r}), in ? 1u : 0u) << r;
    }

    // A bitmap taller than the screen: the sector fill reaches every row of it.
    {
        const shapetest::BitmapPtr tall = shapetest::ClearBitmap(60, 700);
        S().BeginDraw(st.open, tall.get());
        S().Arc(st.open, 30, 100, 20, 30, 250, kFill, 1);
        S().Arc(st.open, 30, 640, 20, 30, 250, kFill, 1);
        S().EndDraw(tall.get());
        auto around = [&](int cy) {
            PixelMap m;
            for (auto& [p, c] : shapetest::BitmapPixels(*tall, 30, cy))
                if (std::abs(p.second) <= 30) m.emplace(p, c);
            return m;
        };
        EXPECT_FALSE(OfColour(around(100), BG).empty());
        EXPECT_EQ(around(640), around(100));
    }
    // Filled: three quarters in two passes; with width 0 only the sector in the background.
    const PixelMap three =
        st.Everywhere([](GuiThing* t, int ox, int oy) { S().Arc(t, ox, oy, 10, 0, 270, kFill, 0); });
    EXPECT_EQ(OfColour(three, BG), three);
    for (auto [x, y] : {std::pair{5, -5}, {-5, -5}, {-5, 5}})
        EXPECT_TRUE(three.count({x, y})) << x << "," << y;
    EXPECT_FALSE(three.count({5, 5}));
    const PixelMap outlined =
        st.Everywhere([](GuiThing* t, int ox, int oy) { S().Arc(t, ox, oy, 10, 0, 270, kFill, 1); });
    EXPECT_EQ(
        OfColour(outlined, FG),
        OfColour(st.Open([](GuiThing* t, int ox, int oy) { S().Arc(t, ox, oy, 10, 0, 270, kLine, 1); }), FG));
}

TEST_F(Shapes, ChordsAndPies) {
    const GuiColor c = kFill;
    auto pie = [&](GuiPoint a, GuiPoint b) {
        return st.Everywhere([=](GuiThing* t, int ox, int oy) {
            GuiRect r = MakeGuiRect(ox - 10, oy - 10, ox + 10, oy + 10);
            S().Pie(t, r, P(ox + a.x, oy + a.y), P(ox + b.x, oy + b.y), c, 1);
        });
    };
    // First point right of the centre, second straight above: the upper right quarter; swapped, the
    // other three quarters.
    const PixelMap q = OfColour(pie(P(20, 0), P(0, -20)), BG);
    const PixelMap rest = OfColour(pie(P(0, -20), P(20, 0)), BG);
    const std::pair<int, int> ur{5, -5}, ul{-5, -5}, ll{-5, 5}, lr{5, 5};
    EXPECT_TRUE(q.count(ur));
    for (auto p : {ul, ll, lr}) EXPECT_FALSE(q.count(p));
    EXPECT_FALSE(rest.count(ur));
    for (auto p : {ul, ll, lr}) EXPECT_TRUE(rest.count(p));
    for (auto& kv : q) EXPECT_FALSE(rest.count(kv.first));

    // The segment counter-clockwise from the first point to the second, outlined.
    const PixelMap seg = st.Everywhere([=](GuiThing* t, int ox, int oy) {
        GuiRect r = MakeGuiRect(ox - 12, oy - 8, ox + 12, oy + 8);
        S().Chord(t, r, P(ox + 12, oy), P(ox, oy - 8), c, 1);
    });
    EXPECT_TRUE(seg.count({7, -4}));
    for (auto& [p, colour] : seg) EXPECT_TRUE(p.first >= 0 && p.second <= 0) << p.first << "," << p.second;
    // A chord whose line misses the ellipse draws nothing, not even the outline.
    EXPECT_TRUE(st.Everywhere([=](GuiThing* t, int ox, int oy) {
                      GuiRect r = MakeGuiRect(ox - 12, oy - 8, ox + 12, oy + 8);
                      S().Chord(t, r, P(ox - 20, oy - 20), P(ox + 20, oy - 15), c, 2);
                  }).empty());
}

TEST_F(Shapes, PolygonClosingOutlineRulesAndBadCounts) {
    // An open polygon is closed on a copy: the caller's points stay as they are.
    GuiPoint open[] = {P(0, 0), P(10, 0), P(10, 10), P(0, 10)};
    const PixelMap closed = st.Open([&](GuiThing* t, int ox, int oy) {
        GuiPoint p[4];
        for (int i = 0; i < 4; ++i) p[i] = P(open[i].x + ox, open[i].y + oy);
        S().Polygon(t, p, 4, kLine, 1);
        for (int i = 0; i < 4; ++i) open[i] = p[i];
    });
    PixelSet frame = Box(0, 0, 10, 10);
    for (auto p : Box(1, 1, 9, 9)) frame.erase(p);
    EXPECT_EQ(Keys(closed), frame);
    EXPECT_EQ(open[3].x, Stage::kOx);
    EXPECT_EQ(open[3].y, Stage::kOy + 10);

    // A fill whose foreground equals its background gets no outline; a pattern fill gets one.
    const GuiColor same{BG, BG, GUI_COLOR_FILL};
    EXPECT_EQ(Keys(st.Open([&](GuiThing* t, int ox, int oy) {
                  GuiPoint p[] = {P(ox, oy), P(ox + 10, oy), P(ox + 10, oy + 10), P(ox, oy + 10)};
                  S().Polygon(t, p, 4, same, 3);
              })),
              Box(0, 0, 9, 9));
    S().SetFillPattern(nullptr);
    EXPECT_EQ(Keys(st.Open([&](GuiThing* t, int ox, int oy) {
                  GuiPoint p[] = {P(ox, oy), P(ox + 10, oy), P(ox + 10, oy + 10), P(ox, oy + 10)};
                  S().Polygon(t, p, 4, GuiColor{FG, BG, GUI_COLOR_PATTERN}, 1);
              })),
              frame);

    // No points, or a count below one: nothing is read and nothing drawn.
    std::unique_ptr<GuiPoint[]> none(new GuiPoint[0]);
    EXPECT_TRUE(st.Everywhere([&](GuiThing* t, int, int) {
                      S().Polygon(t, none.get(), 0, kFill, 1);
                      S().Polygon(t, none.get(), -3, kFill, 1);
                      S().Polygon(t, nullptr, 4, kFill, 1);
                  }).empty());
}

TEST_F(Shapes, PatternFillTilesAlignToThePolygonAcrossViews) {
    // A 3 x 2 pattern of distinct colours, tiled from the square's top-left corner and unbroken
    // across the views its window is cut into.
    uint32_t words[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    GuiBitmap pattern{0, 32, 3, 2, 0, reinterpret_cast<uint8_t*>(words)};
    S().SetFillPattern(&pattern);
    const Figure square = [](GuiThing* t, int ox, int oy) {
        GuiPoint p[] = {P(ox + 1, oy + 1), P(ox + 9, oy + 1), P(ox + 9, oy + 8), P(ox + 1, oy + 8)};
        S().Polygon(t, p, 4, GuiColor{FG, BG, GUI_COLOR_PATTERN}, 0);
    };
    const PixelMap m = st.Everywhere(square);
    EXPECT_EQ(Keys(m), Box(1, 1, 8, 7));
    for (auto& [p, c] : m)
        EXPECT_EQ(c, words[(p.second - 1) % 2 * 3 + (p.first - 1) % 3]) << p.first << "," << p.second;
    S().SetFillPattern(nullptr);
}

TEST_F(Shapes, DashesKeepTheirPhaseAcrossSegmentsAndPieces) {
    auto line = [](GuiThing* t, int x1, int y1, int x2, int y2, unsigned long pattern, int restart,
                   int width = 1) {
        GuiColor c = kLine;
        S().PatternLine(t, x1, y1, x2, y2, c, width, pattern, restart);
    };
    // Restarted with pattern 0x80000000: the first pixel and every 32nd after it.
    EXPECT_EQ(Keys(st.Everywhere(
                  [&](GuiThing* t, int ox, int oy) { line(t, ox - 40, oy, ox + 40, oy, 0x80000000, 1); })),
              (PixelSet{{-40, 0}, {-8, 0}, {24, 0}}));
    // Two segments continue the dash phase: the same pixels as one line, through any pieces.
    const PixelSet one = Keys(st.Everywhere(
        [&](GuiThing* t, int ox, int oy) { line(t, ox - 40, oy + 3, ox + 40, oy + 3, 0xF0F0F00F, 1); }));
    EXPECT_EQ(Keys(st.Everywhere([&](GuiThing* t, int ox, int oy) {
                  line(t, ox - 40, oy + 3, ox + 4, oy + 3, 0xF0F0F00F, 1);
                  line(t, ox + 5, oy + 3, ox + 40, oy + 3, 0xF0F0F00F, 0);
              })),
              one);
    // A segment that is not visible at all still moves the phase on.
    EXPECT_EQ(Keys(st.Open([&](GuiThing* t, int ox, int oy) {
                  line(t, -500, -500, -456, -500, 0xF0F0F00F, 1);
                  line(t, ox + 5, oy + 3, ox + 40, oy + 3, 0xF0F0F00F, 0);
              })),
              Keys(st.Open([&](GuiThing* t, int ox, int oy) {
                  line(t, ox - 40, oy + 3, ox + 4, oy + 3, 0, 1);
                  line(t, ox + 5, oy + 3, ox + 40, oy + 3, 0xF0F0F00F, 0);
              })));
    // Dashed lines draw for an invisible thing too; other figures do not.
    st.open->mwStatusFlags &= static_cast<uint16_t>(~GUI_ST_VISIBLE);
    EXPECT_EQ(
        Keys(st.Open([&](GuiThing* t, int ox, int oy) {
            line(t, ox, oy, ox + 3, oy, ~0ul, 1);
            S().Polygon(t, std::array{P(ox, oy + 2), P(ox + 5, oy + 2), P(ox, oy + 6)}.data(), 3, kFill, 1);
        })),
        Box(0, 0, 3, 0));
    st.open->mwStatusFlags |= GUI_ST_VISIBLE;
    // Width 2 gives runs of three pixels centred on the line, across its major axis.
    EXPECT_EQ(Keys(st.Everywhere(
                  [&](GuiThing* t, int ox, int oy) { line(t, ox, oy, ox + 4, oy + 4, ~0ul, 1, 2); })),
              (PixelSet{{0, -1},
                        {0, 0},
                        {0, 1},
                        {1, 0},
                        {1, 1},
                        {1, 2},
                        {2, 1},
                        {2, 2},
                        {2, 3},
                        {3, 2},
                        {3, 3},
                        {3, 4},
                        {4, 3},
                        {4, 4},
                        {4, 5}}));
}

TEST_F(Shapes, FiguresReachingFarPastTheScreenClipExactly) {
    // Figures whose rectangles reach far into the 16-bit range: their visible edges lie where the
    // exact curves put them (products such as y times a squared need 64 bits, and rectangles past
    // the 16-bit range must not wrap).
    struct Case {
        const char* name;
        Figure draw;
        double cx, cy, a, b; // the exact curve
        bool right;          // its right edge is visible, else its left edge
    };
    const GuiColor fill = kFill;
    const Case cases[] = {
        {"ellipse", [&](GuiThing* t, int, int) { S().Ellipse(t, MakeGuiRect(-32000, 0, 200, 239), fill, 1); },
         -15900, 119, 16100, 119.5, true},
        {"pie",
         [&](GuiThing* t, int, int) {
             GuiRect r = MakeGuiRect(-32000, 0, 200, 239);
             S().Pie(t, r, P(1000, 239), P(1000, 0), fill, 1);
         },
         -15900, 119, 16100, 119.5, true},
        {"circle",
         [&](GuiThing* t, int, int) {
             GuiColor c = fill;
             S().Circle(t, 32000, 120, 31850, c, 1);
         },
         32000, 120, 31850, 31850, false},
    };
    for (const Case& k : cases) {
        const PixelMap m = st.Open(k.draw);
        // The outermost pixel of each row on the visible side lies within 2.5 pixels of the curve
        // (distance by the first-order rule |F| / |grad F|).
        std::map<int, int> edge;
        for (auto& [p, c] : m) {
            const int x = p.first + Stage::kOx, y = p.second + Stage::kOy;
            auto it = edge.find(y);
            if (it == edge.end())
                edge[y] = x;
            else
                it->second = k.right ? std::max(it->second, x) : std::min(it->second, x);
        }
        int checked = 0;
        for (auto [y, x] : edge) {
            if (x <= 1 || x >= Stage::kW - 2) continue; // cut by the window, not the curve
            const double u = (x - k.cx) / k.a, v = (y - k.cy) / k.b;
            const double f = u * u + v * v - 1, g = 2 * std::hypot(u / k.a, v / k.b);
            EXPECT_LT(std::abs(f) / g, 2.5) << k.name << " at " << x << "," << y;
            ++checked;
        }
        EXPECT_GT(checked, 20) << k.name;
    }
}

TEST(RingFigures, FarPastTheClipTheyCostWhatTheClipShowsAndDrawWhatTheyDrew) {
    // A narrow panel far from the centre of thousands of rings (radius 0, any width up to 65535 is
    // taken). Walking every ring whole costs seconds of this thread's time; the rings' work must stay
    // within what the panel can show, under 0.1 s even in a sanitizer build, and the panel must show
    // exactly what the whole walk drew (golden counts and hash of its pixels).
    guitest::Harness h;
    auto* panel = new guitest::Panel(MakeGuiRect(500, 0, 539, 479), 9, 0);
    h.root().Add(panel, 0);
    const GuiRect area = panel->mRealRect;
    struct Case {
        const char* name;
        std::function<void(GuiThing*)> draw;
        int fg, bg;    // pixels of each colour in the panel
        uint64_t hash; // FNV-1a of the panel's pixels, row by row
    };
    const Case cases[] = {
        {"outline arc", [](GuiThing* t) { S().Arc(t, 520, 29479, 0, 0, 90, kLine, 29696); }, 9600, 0,
         0xb877b5b04c4cb003},
        {"filled arc", [](GuiThing* t) { S().Arc(t, 520, 29679, 29400, 60, 120, kFill, 1000); }, 11200, 8000,
         0xce8e76d5fe25d9c3},
        {"ellipse",
         [](GuiThing* t) { S().Ellipse(t, MakeGuiRect(-29480, -31760, 30520, 400), kLine, 20000); }, 16040, 0,
         0x7331afe3d8f2e65b},
    };
    for (const Case& k : cases) {
        guitest::Harness::fill(0);
        timespec t0{}, t1{};
        {
            guitest::Frame f(panel, area);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
            k.draw(panel);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
        }
        const double seconds = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) * 1e-9;
        EXPECT_LT(seconds, 0.1) << k.name;
        int fg = 0, bg = 0;
        uint64_t hash = 1469598103934665603ull;
        for (int y = area.top; y <= area.bottom; ++y)
            for (int x = area.left; x <= area.right; ++x) {
                const uint32_t p = guitest::Harness::px(x, y);
                fg += p == FG;
                bg += p == BG;
                hash = (hash ^ p) * 1099511628211ull;
            }
        EXPECT_EQ(fg, k.fg) << k.name;
        EXPECT_EQ(bg, k.bg) << k.name;
        EXPECT_EQ(hash, k.hash) << k.name << std::hex << " hash 0x" << hash;
    }
}
