// Charts: the data area, mapping between data and pixels, line ids; strip charts: sample rings,
// redraw of only the changed columns, sweep and scroll modes.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "gui/widgets/chart/guichart.h"
#include "gui/widgets/chart/guistripchart.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

} // namespace

TEST(GuiChart, LaysOutTheDataAreaAndMapsBothWays) {
    Harness h;
    // Mapping facts; the data area is the client area (no axes, no labels).
    struct Map {
        long minX, maxX, minY, maxY;
        long x, y;
        int px, py;
    } maps[] = {
        {0, 100, 0, 100, 50, 0, 59, 100},                 // 10 + ((99 x 128) >> 8)
        {0, 1L << 24, 0, 1L << 30, 1L << 23, 0, 59, 100}, // ranges of 2^23 and more
        {0, 100, 0, 0, 0, 0, 10, 100},                    // maximum y not above minimum y: undivided
        {0, 100, 0, 0, 0, 1, 10, 1},                      // 100 - (100 - 0 - 1)
        {-100, 100, -50, 50, 100, 50, 109, 1},
    };
    for (const Map& m : maps) {
        GuiLineChart chart(R(10, 0, 110, 100), m.minX, m.maxX, m.minY, m.maxY, 10, 10);
        GuiChartPoint p;
        p.x = static_cast<int32_t>(m.x);
        p.y = static_cast<int32_t>(m.y);
        chart.MapDataToPoint(&p);
        EXPECT_EQ(p.pixel.x, m.px) << m.maxX << " " << m.x;
        EXPECT_EQ(p.pixel.y, m.py) << m.maxY << " " << m.y;
    }
    // Back from pixels: offsets from the minima.
    GuiLineChart offsets(R(10, 0, 110, 100), 20, 120, 0, 100, 10, 10);
    GuiChartPoint p;
    p.pixel = GuiPoint{10, 100};
    offsets.MapPointToData(&p);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);

    // Ticks take the major tick length; labels their measured texts (test font: 6 x 10).
    GuiLineChart labelled(R(0, 0, 199, 99), 0, 100, -50, 100, 10, 10,
                          GUI_CHART_X_TICKS | GUI_CHART_Y_TICKS | GUI_CHART_X_LABELS | GUI_CHART_Y_LABELS);
    labelled.mpLabelFont = &guitest::TestFont;
    labelled.RecalcLayout(0);
    // left 12 + 2 + "-50"; right less half of "100"; top and bottom half a line and a line.
    EXPECT_EQ(labelled.mDataArea, R(32, 5, 190, 77));
}

TEST(GuiChart, LinesAreKnownByIdsAndPointsFollowTheChart) {
    Harness h;
    auto* w = new GuiWindow(R(0, 0, 299, 199), GUI_BORDER_NONE);
    auto* chart = new GuiMultiLineChart(R(10, 0, 110, 100), 0, 100, 0, 100, 10, 10);
    w->Add(chart, 0);
    EXPECT_EQ(chart->AddLine(0xFF0000), 1);
    EXPECT_EQ(chart->AddLine(0x00FF00), 2);
    EXPECT_EQ(chart->RemoveLine(1), 1);
    EXPECT_EQ(chart->RemoveLine(1), 0);
    EXPECT_EQ(chart->AddLine(0x0000FF), 1);
    // Into an empty line a point is mapped like any other.
    GuiChartPoint* first = chart->InsertPoint(2, nullptr, 50, 50, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->pixel.x, 59);
    EXPECT_EQ(chart->AddPoint(77, 1, 1, 0), nullptr) << "no line 77";
    GuiChartPoint* last = chart->AddPoint(2, 100, 100, 0);
    GuiChartPoint* middle = chart->InsertPoint(2, first, 75, 0, 0);
    EXPECT_EQ(first->next, middle);
    EXPECT_EQ(middle->next, last);
    // Moving the window moves the points' pixels with the data area.
    w->Resize(R(5, 7, 304, 206));
    EXPECT_EQ(first->pixel.x, 59 + 5);
    EXPECT_EQ(last->pixel.y, 1 + 7) << "maximum y lies one below the data top";
    for (int id = 3; id <= 255; ++id) ASSERT_EQ(chart->AddLine(0), id);
    EXPECT_EQ(chart->AddLine(0), 0) << "all 255 ids taken";
    delete w;
}

TEST(GuiStripChart, RingsWrapAndOnlyTheChangedColumnsAreDrawn) {
    Harness h(true);
    h.useTestFont();
    auto* w = new GuiWindow(R(0, 0, 399, 299), GUI_BORDER_NONE);
    auto* strip = new GuiStripChart(R(10, 10, 229, 129), 100, 0, 100, 0, 0);
    w->Add(strip, 0);
    h.pm().Add(w, 1);
    const unsigned char id = strip->AddLine(0x00FF00, 0x006000, 0);
    ASSERT_EQ(id, 1);
    GuiStripChartLine* line = strip->GetLineByID(id);
    EXPECT_EQ(strip->GetLineColor(9), 0xFFFFFFFFul);
    EXPECT_EQ(strip->GetLineLeaderColor(id), 0ul) << "the leader takes the line colour";

    // The first sample at index 1, the 99th at 99 (tail 0), the 100th at 0 with the wrap.
    struct Ring {
        int samples;
        unsigned head, tail;
        int wrapped;
    } ring[] = {{1, 1, 2, 0}, {98, 99, 0, 0}, {1, 0, 1, 1}};
    for (const Ring& r : ring) {
        for (int i = 0; i < r.samples; ++i) {
            const std::vector<uint32_t> before = Harness::snapshot();
            strip->AddData(id, 50, 1);
            // Only the columns around the new sample change (sweep mode, before the wrap).
            if (line->muHead == 0) continue;
            const int xl = strip->IndexToPointX(line->muHead - 1);
            const int xr = strip->IndexToPointX(std::max(line->muTail, line->muHead));
            const std::vector<uint32_t> after = Harness::snapshot();
            for (size_t k = 0; k < after.size(); ++k)
                if (after[k] != before[k]) {
                    const int x = static_cast<int>(k % 640);
                    ASSERT_TRUE(x >= xl && x <= xr) << "sample " << line->muHead << " changed column " << x;
                }
        }
        EXPECT_EQ(line->muHead, r.head);
        EXPECT_EQ(line->muTail, r.tail);
        EXPECT_EQ(line->mbWrapped, r.wrapped);
    }
    EXPECT_EQ(line->GetData(0), 50);
    EXPECT_EQ(line->GetData(100), 0) << "outside the ring";

    // Sweep: behind the head the older round in the aged colour, before it the new one.
    for (int i = 0; i < 10; ++i) strip->AddData(id, 50, 1);
    const int y50 = strip->ValToPointY(50);
    EXPECT_EQ(Harness::px(strip->IndexToPointX(5), y50), 0x00FF00u);
    EXPECT_EQ(Harness::px(strip->IndexToPointX(60), y50), 0x006000u);

    // Scroll: the newest sample at the right end; the next one shifts the trace left.
    strip->mwChartStyle = static_cast<uint16_t>((strip->mwChartStyle & ~GUI_CHART_SWEEP) | GUI_CHART_SCROLL);
    strip->AddData(id, 90, 1);
    EXPECT_EQ(Harness::px(strip->IndexToPointX(99), strip->ValToPointY(90)), 0x00FF00u);
    strip->AddData(id, 10, 1);
    EXPECT_EQ(Harness::px(strip->IndexToPointX(99), strip->ValToPointY(10)), 0x00FF00u);
    EXPECT_EQ(Harness::px(strip->IndexToPointX(98), strip->ValToPointY(90)), 0x00FF00u);

    // A chart of no samples still has a ring of one.
    GuiStripChart none(R(0, 0, 50, 50), 0, 0, 10, 0, 0);
    const unsigned char only = none.AddLine(1, 2, 3);
    ASSERT_NE(only, 0);
    EXPECT_EQ(none.AddData(only, 7, 0), 1);
    EXPECT_EQ(none.GetLineByID(only)->GetData(0), 7);
    EXPECT_EQ(none.GetLineByID(only)->GetData(1), 0);
}
