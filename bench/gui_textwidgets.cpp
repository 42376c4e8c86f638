// The text widgets against the plain operations and the time they compete with:
// - the text box's line count of a 1 MB text (FillLineStarts) against memchr counting its line
//   feeds,
// - appending an 80-character line to a 1 MB log in a text box, and one keystroke into a 100 kB
//   edit box, each against the 50 ms page tick (goal for the keystroke: under 5 ms, a ratio
//   below 0.1).
// Times are the thread's CPU time, medians over short blocks; the line count runs side by side with
// memchr in alternating blocks and reports the median of the blocks' ratios (bench_seconds.h).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"
#include "gui/widgets/textbox/guitextbox.h"
#include "gui_benchkit.h"

namespace {

using benchkit::gui;
using benchkit::Gui;
using msdbench::SideBySide;

// Lines of 60 characters and a line feed, n bytes in all.
std::string TextOfLines(size_t n, char lineEnd) {
    std::string s;
    s.reserve(n);
    while (s.size() + 61 <= n) s.append(60, static_cast<char>('a' + s.size() % 26)).push_back(lineEnd);
    return s;
}

constexpr double kPageTick = 0.050;

void BM_TextBoxLineCount1MB(benchmark::State& state) {
    const std::string text = TextOfLines(1 << 20, '\n');
    GuiTextBox box(MakeGuiRect(0, 0, 639, 479), 0, GUI_BORDER_NONE, text.c_str(), -1);
    int lines = 0, counted = 0;
    SideBySide(state,
               [&] {
                   box.FillLineStarts(0, 1);
                   lines = box.TotalLines();
                   benchmark::DoNotOptimize(lines);
               },
               {{"memchr", [&] {
                     counted = 0;
                     for (const char* p = text.data();
                          (p = static_cast<const char*>(std::memchr(p, '\n', text.data() + text.size() - p)));
                          ++p)
                         ++counted;
                     benchmark::DoNotOptimize(counted);
                 }}});
    if (lines != counted) state.SkipWithError("line counts differ");
}
BENCHMARK(BM_TextBoxLineCount1MB)->Unit(benchmark::kMillisecond);

void BM_TextBoxAppendTo1MBLog(benchmark::State& state) {
    Gui& g = gui();
    const std::string text = TextOfLines(1 << 20, '\n');
    auto* box = new GuiTextBox(MakeGuiRect(0, 0, 639, 479), 0, GUI_BORDER_NONE, text.c_str(), 1 << 20);
    g.window->Add(box, 1);
    const std::string line = std::string(79, 'x') + "\n";
    const double ours = SideBySide(state,
                                   [&] {
                                       box->Append(line.c_str(), 1);
                                       benchmark::ClobberMemory();
                                   },
                                   {});
    state.counters["ratio_to_page_tick"] = ours / kPageTick;
    g.window->Remove(box, 0);
    delete box;
}
BENCHMARK(BM_TextBoxAppendTo1MBLog)->Unit(benchmark::kMillisecond);

void BM_EditBoxKeystroke100kB(benchmark::State& state) {
    Gui& g = gui();
    const std::string text = TextOfLines(100 << 10, '\r');
    auto* box = new GuiEditBox(MakeGuiRect(0, 0, 639, 479), 1, GUI_STYLE_EDITABLE | GUI_BORDER_THIN,
                               text.c_str(), -1);
    g.window->Add(box, 1);
    box->SetCursorRowCol(static_cast<int>(text.size() / 2));
    box->mEditFlags |= GUI_EB_EDIT;
    bool typed = false;
    const double ours = SideBySide(state,
                                   [&] {
                                       // A character, then its removal: the text keeps its size.
                                       box->InsertKey(typed ? unsigned{GUI_KEY_BACKSPACE} : unsigned{'x'});
                                       typed = !typed;
                                       benchmark::ClobberMemory();
                                   },
                                   {});
    state.counters["ratio_to_page_tick"] = ours / kPageTick;
    g.window->Remove(box, 0);
    delete box;
}
BENCHMARK(BM_EditBoxKeystroke100kB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
