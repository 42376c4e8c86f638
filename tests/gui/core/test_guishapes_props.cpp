// Properties of the shape primitives over many random figures (fixed seeds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/board/display_hw.h"
#include "shapestage.h"

using guitest::Harness;
using shapetest::PixelMap;
using shapetest::Stage;

namespace {

constexpr uint32_t FG = 0x0000FF, BG = 0x00FF00;

GuiPoint P(int x, int y) {
    return GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
}
GuiScreen& S() {
    return *GuiThing::mpScreen;
}

int CeilDiv(long n, long d) { // d > 0
    return static_cast<int>(n >= 0 ? (n + d - 1) / d : -((-n) / d));
}

struct Rng {
    std::mt19937 gen;
    explicit Rng(unsigned seed) : gen(seed) {}
    int operator()(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
};

} // namespace

TEST(ShapeProperties, PolygonFillEqualsTheClosedForm) {
    Harness h;
    const GuiRect view = MakeGuiRect(10, 10, 89, 89);
    uint32_t* fb = displayhw_frameBuffer();
    auto check = [&](std::vector<GuiPoint>& pts, int n) {
        S().FillPolygonView(view, pts.data(), static_cast<int>(pts.size()), BG);
        // On each line y0 <= y < y1 of an edge the crossing is x0 + ceil((y - y0) dx / dy); sorted and
        // paired, each pair (xa, xb) fills xa .. xb - 1.
        std::map<int, std::vector<int>> cross;
        for (size_t i = 0; i < pts.size(); ++i) {
            GuiPoint a = pts[i == 0 ? pts.size() - 1 : i - 1], b = pts[i];
            if (a.y == b.y) continue;
            if (a.y > b.y) std::swap(a, b);
            for (int y = std::max<int>(a.y, view.top); y < b.y && y <= view.bottom; ++y)
                cross[y].push_back(a.x + CeilDiv(long(y - a.y) * (b.x - a.x), b.y - a.y));
        }
        std::vector<uint8_t> want(128 * 128, 0);
        for (auto& [y, xs] : cross) {
            std::sort(xs.begin(), xs.end());
            for (size_t k = 0; k + 1 < xs.size(); k += 2)
                for (int x = std::max<int>(xs[k], view.left); x <= std::min<int>(xs[k + 1] - 1, view.right);
                     ++x)
                    want[y * 128 + x] = 1;
        }
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                uint32_t& px = fb[y * DISPLAY_FB_WIDTH + x];
                ASSERT_EQ(px == BG, want[y * 128 + x] == 1) << "polygon " << n << " at " << x << "," << y;
                px = 0;
            }
    };
    Rng rnd(22);
    for (int n = 0; n < 3000; ++n) {
        std::vector<GuiPoint> pts(static_cast<size_t>(rnd(1, 12)));
        for (auto& p : pts) p = P(rnd(-20, 120), rnd(-20, 120));
        check(pts, n);
        if (HasFatalFailure()) return;
    }
    // Edges up to the whole coordinate range high and wide, seen through the view: the crossings
    // stay exact however far an edge runs before and after it.
    for (int n = 0; n < 1000; ++n) {
        std::vector<GuiPoint> pts(static_cast<size_t>(rnd(3, 8)));
        for (auto& p : pts)
            p = rnd(0, 1) ? P(rnd(INT16_MIN, INT16_MAX), rnd(INT16_MIN, INT16_MAX))
                          : P(rnd(-20, 120), rnd(-20, 120));
        check(pts, 3000 + n);
        if (HasFatalFailure()) return;
    }
}

namespace {

// One random figure of any kind, drawn on behalf of a thing; coordinates are absolute.
using Draw = std::function<void(GuiThing*)>;
struct Figure {
    Draw draw;
    std::string what;
};

std::string Describe(const char* kind, std::initializer_list<long> args) {
    std::string s = kind;
    for (long a : args) s += " " + std::to_string(a);
    return s;
}

Figure RandomFigure(Rng& rnd) {
    const int x = rnd(330, 770), y = rnd(-60, 300);
    const int w = rnd(0, 4);
    const uint8_t flags = rnd(0, 2) == 0 ? 0 : rnd(0, 3) == 0 ? GUI_COLOR_PATTERN : GUI_COLOR_FILL;
    const GuiColor c{FG, rnd(0, 5) == 0 ? FG : BG, flags};
    const int sx = rnd(3, 90), sy = rnd(3, 90);
    const GuiRect rect = MakeGuiRect(x - sx, y - sy, x + rnd(3, 90), y + rnd(3, 90));
    const GuiPoint p1 = P(x + rnd(-120, 120), y + rnd(-120, 120)),
                   p2 = P(x + rnd(-120, 120), y + rnd(-120, 120));
    switch (rnd(0, 7)) {
    case 0: {
        std::vector<GuiPoint> pts(static_cast<size_t>(rnd(2, 9)));
        for (auto& p : pts) p = P(x + rnd(-100, 100), y + rnd(-100, 100));
        std::string what = Describe("polygon", {c.flags, c.background, w});
        for (auto p : pts) what += Describe(" ", {p.x, p.y});
        return {[=](GuiThing* t) mutable { S().Polygon(t, pts.data(), static_cast<int>(pts.size()), c, w); },
                what};
    }
    case 1: {
        const unsigned long pattern = static_cast<uint32_t>(rnd(INT32_MIN, INT32_MAX));
        const int phase = rnd(0, 40); // set by a restarted line that draws nothing
        return {[=](GuiThing* t) {
                    GuiColor cc = c;
                    S().PatternLine(t, 0, 0, phase, 0, cc, 1, 0, 1);
                    S().PatternLine(t, x, y, p1.x, p1.y, cc, w, pattern, 0);
                },
                Describe("dashes", {x, y, p1.x, p1.y, w, static_cast<long>(pattern), phase})};
    }
    case 2: {
        const int r = rnd(1, 80);
        return {[=](GuiThing* t) {
                    GuiColor cc = c;
                    S().Circle(t, x, y, r, cc, w);
                },
                Describe("circle", {x, y, r, c.flags, c.background, w})};
    }
    case 3:
        return {
            [=](GuiThing* t) { S().Ellipse(t, rect, c, w); },
            Describe("ellipse", {rect.left, rect.top, rect.right, rect.bottom, c.flags, c.background, w})};
    case 4:
    case 5: {
        const int r = rnd(1, 80), a = rnd(-400, 400), b = rnd(-400, 400);
        return {[=](GuiThing* t) { S().Arc(t, x, y, r, a, b, c, w); },
                Describe("arc", {x, y, r, a, b, c.flags, c.background, w})};
    }
    default: {
        const bool chord = rnd(0, 1);
        return {[=](GuiThing* t) {
                    GuiRect rr = rect;
                    if (chord)
                        S().Chord(t, rr, p1, p2, c, w);
                    else
                        S().Pie(t, rr, p1, p2, c, w);
                },
                Describe(chord ? "chord" : "pie", {rect.left, rect.top, rect.right, rect.bottom, p1.x, p1.y,
                                                   p2.x, p2.y, c.flags, c.background, w})};
    }
    }
}

} // namespace

TEST(ShapeProperties, ViewportsShowWhatAnUnclippedBitmapHolds) {
    // A large cover in the middle of the window: four viewports around it.
    Stage st(MakeGuiRect(-50, -40, 49, 39));
    uint32_t pattern[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    GuiBitmap tile{0, 32, 3, 2, 0, reinterpret_cast<uint8_t*>(pattern)};
    S().SetFillPattern(&tile);
    const shapetest::BitmapPtr big = shapetest::ClearBitmap(1024, 480);
    auto* bits = reinterpret_cast<uint32_t*>(big->data);
    const uint32_t* fb = displayhw_frameBuffer();
    // The visible area of the covered window.
    const GuiRect win = st.covered->mRealRect, cover = st.cover->mRealRect;
    Rng rnd(7);
    for (int n = 0; n < 400; ++n) {
        const Figure fig = RandomFigure(rnd);
        const Draw& draw = fig.draw;
        Harness::fill(0);
        std::fill_n(bits, 1024 * 480, 0u);
        {
            guitest::Frame f(st.covered, win);
            draw(st.covered);
        }
        S().BeginDraw(st.covered, big.get());
        draw(st.covered);
        S().EndDraw(big.get());
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 1024; ++x) {
                const bool visible = win.Contains(x, y) && !cover.Contains(x, y);
                const uint32_t want = visible ? bits[y * 1024 + x] : 0;
                ASSERT_EQ(fb[y * DISPLAY_FB_WIDTH + x], want) << fig.what << " at " << x << "," << y;
            }
    }
    S().SetFillPattern(nullptr);
}

TEST(ShapeProperties, FastAndViewFormsAgreeInside) {
    Harness h;
    const uint32_t* fb = displayhw_frameBuffer();
    const size_t words = static_cast<size_t>(DISPLAY_FB_WIDTH) * DISPLAY_FB_HEIGHT;
    GuiRect view = MakeGuiRect(0, 0, 1023, 479);
    Rng rnd(3);
    for (int n = 0; n < 300; ++n) {
        const int r = rnd(0, 100), x = rnd(r, 1023 - r), y = rnd(r, 479 - r), w = rnd(-1, 12);
        GuiColor c{FG, rnd(0, 3) ? BG : FG, static_cast<uint8_t>(rnd(0, 1))};
        const GuiRect e = MakeGuiRect(rnd(0, 500), rnd(0, 200), rnd(501, 1023), rnd(201, 479));
        Harness::fill(0);
        S().CircleFast(x, y, r, c, w);
        S().EllipseFast(e, c, w);
        const std::vector<uint32_t> fast(fb, fb + words);
        Harness::fill(0);
        S().Circle(view, x, y, r, c, w);
        S().EllipseToView(e, c, w, view);
        ASSERT_TRUE(std::equal(fast.begin(), fast.end(), fb))
            << "circle " << x << " " << y << " " << r << " ellipse " << e.left << " " << e.top << " "
            << e.right << " " << e.bottom << " colour " << int(c.flags) << " " << c.background << " width "
            << w;
    }
}

TEST(ShapeProperties, ChordsAndPiesStayInsideTheirEllipseAndPiesSplitIt) {
    Harness h;
    constexpr int kSide = 240;
    const shapetest::BitmapPtr b = shapetest::ClearBitmap(kSide, kSide);
    auto* bits = reinterpret_cast<uint32_t*>(b->data);
    auto fill = [&](auto&& draw) {
        std::fill_n(bits, kSide * kSide, 0u);
        S().BeginDraw(&h.root(), b.get());
        draw();
        S().EndDraw(b.get());
        return std::vector<uint32_t>(bits, bits + kSide * kSide);
    };
    const GuiColor c{FG, BG, GUI_COLOR_FILL};
    Rng rnd(11);
    for (int n = 0; n < 300; ++n) {
        GuiRect r = MakeGuiRect(rnd(0, 110), rnd(0, 110), rnd(130, kSide - 1), rnd(130, kSide - 1));
        const int cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
        const GuiPoint p1 = P(cx + rnd(-200, 200), cy + rnd(-200, 200));
        const GuiPoint p2 = P(cx + rnd(-200, 200), cy + rnd(-200, 200));
        const auto ellipse = fill([&] { S().Ellipse(&h.root(), r, c, 0); });
        const auto chord = fill([&] { S().Chord(&h.root(), r, p1, p2, c, 0); });
        const auto pie = fill([&] { S().Pie(&h.root(), r, p1, p2, c, 0); });
        const auto other = fill([&] { S().Pie(&h.root(), r, p2, p1, c, 0); });
        const GuiPoint centre = P(r.left + (r.right - r.left + 1) / 2, r.top + (r.bottom - r.top + 1) / 2);
        auto nearRay = [&](int x, int y, GuiPoint toward) {
            const double dx = toward.x - centre.x, dy = toward.y - centre.y, len = std::hypot(dx, dy);
            const double px = x - centre.x, py = y - centre.y;
            return std::abs(px * dy - py * dx) <= 2.0 * len && px * dx + py * dy >= -2.0 * len;
        };
        const std::string what = "rect " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                                 std::to_string(r.right) + " " + std::to_string(r.bottom) + " points " +
                                 std::to_string(p1.x) + " " + std::to_string(p1.y) + " " +
                                 std::to_string(p2.x) + " " + std::to_string(p2.y);
        for (int i = 0; i < kSide * kSide; ++i) {
            const int x = i % kSide, y = i / kSide;
            for (const auto* m : {&chord, &pie, &other})
                ASSERT_TRUE(!(*m)[i] || ellipse[i]) << what << " outside its ellipse at " << x << "," << y;
            const bool rays = nearRay(x, y, p1) || nearRay(x, y, p2);
            ASSERT_TRUE(!(pie[i] && other[i]) || rays) << what << " in both sectors at " << x << "," << y;
            // Together they cover the ellipse, apart from the rays and its outermost pixels.
            const bool inner = x > 0 && y > 0 && x + 1 < kSide && y + 1 < kSide && ellipse[i - 1] &&
                               ellipse[i + 1] && ellipse[i - kSide] && ellipse[i + kSide];
            ASSERT_TRUE(!inner || rays || pie[i] || other[i]) << what << " in no sector at " << x << "," << y;
        }
    }
}
