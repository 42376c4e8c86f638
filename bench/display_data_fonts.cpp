// The display's hot paths against the memory operation that moves the same bytes:
// - decoding the record of the fullest measurement list (114 four-byte values) into its value
//   objects, against memcpy of the record (goal: a few microseconds);
// - a 640 x 480 screen of xxxlarge text (the XXLarge font doubled) drawn through a prompt, against
//   memcpy of the same pixels (goal: under 5 ms);
// - unpacking the six built-in fonts at start-up, against memcpy of the unpacked strips (goal:
//   under 20 ms).
// Each runs side by side with memcpy in alternating blocks timed by the thread's CPU time and
// reports ratio_to_memcpy, the median of the blocks' ratios (bench_seconds.h).
#include <benchmark/benchmark.h>

#include "bench_seconds.h"

#include <cstring>
#include <string>
#include <vector>

#include "display/data/cdata.h"
#include "display/fonts/vektafonts.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/device/l24logi.h"
#include "gui/image/guiunzip.h"
#include "gui/window/guipm.h"
#include "platform/board/display_hw.h"

namespace {

using msdbench::SideBySide;

void BM_DecodeFullRecord(benchmark::State& state) {
    gw_meas_exit();
    gw_meas_ini();
    CDataManager man;
    std::vector<display_elem_s> elems(114);
    for (uint32_t i = 0; i < elems.size(); ++i) {
        display_elem_s& e = elems[i];
        e.kind = ELEM_ALPHANUM;
        e.alphanum.dispmode = DISPMODE_NORMAL;
        e.alphanum.ch_input.adr = 0x21000000 + 4 * i;
        e.alphanum.ch_input.type = 5; // UINT32
        e.alphanum.ch_input.mask = 0xFFFFFFFF;
        e.alphanum.ch_input.quant_b = e.alphanum.ch_input.quant_f = 1;
        man.addData(&e, 4, CDATA_VALUE);
    }
    man.createMeaslists();
    CDataList* list = man.lists();
    c2cpp_startMeas(0, nullptr, list);
    std::vector<uint8_t> record(list->recordSize);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> copy(record.size());
    SideBySide(state,
               [&] {
                   c2cpp_readCyclic(0, record.data(), list);
                   benchmark::ClobberMemory();
               },
               {{"memcpy", [&] {
                     std::memcpy(copy.data(), record.data(), record.size());
                     benchmark::ClobberMemory();
                 }}});
    state.counters["record_bytes"] = static_cast<double>(record.size());
}
BENCHMARK(BM_DecodeFullRecord);

// The screen, the queue and a presentation manager, as the GUI task has them.
struct Gui {
    Gui() {
        tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
        tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
        tBaseGuiTask = taskIdSelf();
        GuiThing::mpScreen = CreateGuiScreen();
        GuiThing::mpMessageQueue = new GuiMessageQueue();
        pm = new GuiPresentationManager(MakeGuiRect(0, 0, 1023, 479));
        GuiThing::mpPresentation = pm;
        GuiThing::mpPresentationLink = pm;
        GuiThing::mpScreen->GenerateViewportList(pm);
        VektaFonts_ini();
    }
    GuiPresentationManager* pm;
};

void BM_ScreenOfXxxLargeText(benchmark::State& state) {
    static Gui g;
    static GuiPrompt* prompt = [] {
        auto* p = new GuiPrompt(MakeGuiRect(0, 0, 639, 479), "0123", 0, GUI_BORDER_NONE, 1);
        p->SetFont(Vekta_getFont(FONT_XXXLARGE));
        g.pm->Add(p, 0);
        return p;
    }();
    auto draw = [&] {
        GuiThing::mpScreen->Invalidate(prompt->mRealRect);
        prompt->Draw();
        benchmark::ClobberMemory();
    };
    std::vector<uint32_t> words(640 * 480, 0x123456);
    auto copy = [&] {
        uint32_t* fb = displayhw_frameBuffer();
        for (int y = 0; y < 480; ++y) std::memcpy(fb + y * DISPLAY_FB_WIDTH, &words[y * 640], 640 * 4);
        benchmark::ClobberMemory();
    };
    SideBySide(state, draw, {{"memcpy", copy}});
}
BENCHMARK(BM_ScreenOfXxxLargeText)->Unit(benchmark::kMillisecond);

void BM_UnpackBuiltInFonts(benchmark::State& state) {
    struct Table {
        const uint8_t* data;
        const GuiFont* font;
    } tables[] = {{VektaTiny_data_table, &VektaTiny},     {VektaSmall_data_table, &VektaSmall},
                  {VektaNormal_data_table, &VektaNormal}, {VektaLarge_data_table, &VektaLarge},
                  {VektaXLarge_data_table, &VektaXLarge}, {VektaXXLarge_data_table, &VektaXXLarge}};
    size_t total = 0;
    for (const Table& t : tables) total += static_cast<size_t>(t.font->height) * t.font->bytesPerLine;
    std::vector<uint8_t> out(total), src(total, 0x5A);
    auto unpack = [&] {
        size_t at = 0;
        for (const Table& t : tables) {
            const uint32_t length =
                t.data[0] | (t.data[1] << 8) | (t.data[2] << 16) | (uint32_t(t.data[3]) << 24);
            unsigned long size = static_cast<unsigned long>(t.font->height) * t.font->bytesPerLine;
            GuiUnzip(out.data() + at, &size, t.data + 4, length);
            at += size;
        }
        benchmark::ClobberMemory();
    };
    SideBySide(state, unpack, {{"memcpy", [&] {
                                    std::memcpy(out.data(), src.data(), total);
                                    benchmark::ClobberMemory();
                                }}});
}
BENCHMARK(BM_UnpackBuiltInFonts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
