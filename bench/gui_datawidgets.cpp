// The data and structure widgets against the 50 ms page tick and against memset of a full
// 640 x 480 screen (what repainting every pixel costs at the least):
// - a strip chart of 4 lines x 1000 samples taking one sample per line, as every 20 ms
//   (goal: under 1 ms per sample set),
// - a full redraw of a multi-line chart of 10,000 points,
// - Insert in the middle of a shown list of 1000 entries,
// - a full draw of a 1000 x 50 spreadsheet, and RedrawOneCell of one of its cells,
// - a full draw of a tree view of 5000 open nodes.
// Each runs side by side with memset of the screen in alternating blocks timed by the thread's CPU
// time and reports ratio_to_memset_screen, the median of the blocks' ratios (bench_seconds.h), and
// of_page_tick = its median time per call / 50 ms.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "gui/widgets/chart/guichart.h"
#include "gui/widgets/chart/guistripchart.h"
#include "gui/widgets/list/guilist.h"
#include "gui/widgets/sheet/guisheet.h"
#include "gui/widgets/tree/guitree.h"
#include "gui_benchkit.h"
#include "platform/board/display_hw.h"

namespace {

using benchkit::gui;

// The body side by side with memset of a full screen; also against the page tick.
template <class F> void Measure(benchmark::State& state, F&& body) {
    uint32_t* fb = displayhw_frameBuffer();
    const double ours = msdbench::SideBySide(state,
                                             [&] {
                                                 body();
                                                 benchmark::ClobberMemory();
                                             },
                                             {{"memset_screen", [fb] {
                                                   for (int y = 0; y < 480; ++y)
                                                       std::memset(fb + y * DISPLAY_FB_WIDTH, 0x5A, 640 * 4);
                                                   benchmark::ClobberMemory();
                                               }}});
    state.counters["of_page_tick"] = ours / 0.050;
}

void BM_StripChartSampleSet(benchmark::State& state) {
    auto* strip = new GuiStripChart(MakeGuiRect(20, 20, 619, 459), 1000, -1000, 1000, 100, 250);
    gui().window->Add(strip, 1);
    unsigned char ids[4];
    for (int l = 0; l < 4; ++l) ids[l] = strip->AddLine(0x00FF00u >> (l * 4), 0x006000, 0);
    int i = 0;
    Measure(state, [&] {
        ++i;
        for (int l = 0; l < 4; ++l)
            strip->AddData(ids[l], static_cast<long>(900 * std::sin(i * 0.01 + l)), 1);
    });
    gui().window->Remove(strip, 0);
    delete strip;
}
BENCHMARK(BM_StripChartSampleSet);

void BM_MultiLineChartRedraw10000(benchmark::State& state) {
    auto* chart =
        new GuiMultiLineChart(MakeGuiRect(20, 20, 619, 459), 0, 2500, -1000, 1000, 250, 250,
                              GUI_CHART_X_TICKS | GUI_CHART_Y_TICKS | GUI_CHART_X_GRID | GUI_CHART_Y_GRID);
    gui().window->Add(chart, 1);
    for (int l = 0; l < 4; ++l) {
        const unsigned char id = chart->AddLine(0xFF0000u >> (l * 6));
        for (int x = 0; x < 2500; ++x)
            chart->AddPoint(id, x, static_cast<long>(900 * std::sin(x * 0.02 + l)), 0);
    }
    Measure(state, [&] { benchkit::FullRedraw(chart); });
    gui().window->Remove(chart, 0);
    delete chart;
}
BENCHMARK(BM_MultiLineChartRedraw10000);

void BM_ListInsertMiddleOf1000(benchmark::State& state) {
    auto* list = new GuiVertList(MakeGuiRect(20, 20, 219, 459), 1, GUI_BORDER_THIN);
    for (int k = 0; k < 1000; ++k)
        list->AddToEnd(new GuiTextButton(MakeGuiRect(0, 0, 10, 17), "entry", 1, GUI_BTN_ENABLED), 0);
    list->SetScrollMode(GUI_SCROLL_AUTO_V);
    gui().window->Add(list, 1);
    Measure(state, [&] {
        auto* e = new GuiTextButton(MakeGuiRect(0, 0, 10, 17), "new", 2, GUI_BTN_ENABLED);
        list->Insert(e, 500, 0, 1);
        delete list->Remove(e, 0);
    });
    gui().window->Remove(list, 0);
    delete list;
}
BENCHMARK(BM_ListInsertMiddleOf1000);

GuiSpreadSheet* Sheet1000x50() {
    auto* sheet =
        new GuiSpreadSheet(MakeGuiRect(20, 20, 619, 459), 1000, 50, 1, GUI_BORDER_RECESSED, nullptr);
    char text[16];
    for (int r = 0; r < 1000; ++r)
        for (int c = 0; c < 50; ++c) {
            std::snprintf(text, sizeof text, "%d.%d", r, c);
            sheet->SetCellData(r, c, text, 0);
        }
    gui().window->Add(sheet, 1);
    return sheet;
}

void BM_SpreadSheetFullDraw1000x50(benchmark::State& state) {
    GuiSpreadSheet* sheet = Sheet1000x50();
    Measure(state, [&] { benchkit::FullRedraw(sheet); });
    gui().window->Remove(sheet, 0);
    delete sheet;
}
BENCHMARK(BM_SpreadSheetFullDraw1000x50);

void BM_SpreadSheetRedrawOneCell(benchmark::State& state) {
    GuiSpreadSheet* sheet = Sheet1000x50();
    int i = 0;
    Measure(state, [&] {
        sheet->SetCellData(sheet->miFirstRow + 2, 1, ++i & 1 ? "odd" : "even", 0);
        if (!sheet->RedrawOneCell(sheet->miFirstRow + 2, 1)) state.SkipWithError("the cell is not shown");
    });
    gui().window->Remove(sheet, 0);
    delete sheet;
}
BENCHMARK(BM_SpreadSheetRedrawOneCell);

void BM_TreeViewDraw5000Open(benchmark::State& state) {
    auto* tree = new GuiTreeView(MakeGuiRect(20, 20, 619, 459), GUI_BORDER_RECESSED, "root", nullptr);
    // 50 branches of 99 leaves, all open.
    for (int b = 0; b < 50; ++b) {
        auto* branch = new GuiTreeNode("branch", nullptr);
        tree->Root()->Add(branch, 0);
        for (int k = 0; k < 99; ++k) branch->Add(new GuiTreeNode("leaf", nullptr), 0);
        branch->mbOpen = 1;
    }
    gui().window->Add(tree, 1);
    Measure(state, [&] { benchkit::FullRedraw(tree); });
    gui().window->Remove(tree, 0);
    delete tree;
}
BENCHMARK(BM_TreeViewDraw5000Open);

} // namespace

BENCHMARK_MAIN();
