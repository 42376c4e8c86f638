// The display's second half against what bounds it:
// - decoding a 640 x 480 RGB PNG with the system's decoder, against libpng decoding the same file
//   (when libpng is there; the goal is within 1.2 times) and against zlib inflating its image data;
// - one page tick with 30 changing boxes, two bars and a picture, against the page's 50 ms frame
//   (the goal is under 5 ms, a tenth of it);
// - the shell's BMP dump of the screen, against writing the same bytes to the same drive.
// Each runs side by side with its baselines in alternating blocks timed by the thread's CPU time and
// reports ratio_to_<baseline>, the median of the blocks' ratios (bench_seconds.h); the page tick
// reports its median time per tick against the frame.
#include <benchmark/benchmark.h>

#include "bench_seconds.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#ifdef MSD_BENCH_LIBPNG
#include <png.h>
#endif

#include "display/config/dispxml_load.h"
#include "display/control/display_cmd.h"
#include "display/data/cdata.h"
#include "display/fonts/vektafonts.h"
#include "display/pages/cdataview.h"
#include "display/pages/cdisppage.h"
#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/guitask.h"
#include "gui/device/l24logi.h"
#include "gui/image/guipngconvert.h"
#include "platform/drives/devroot.h"

namespace {

using msdbench::SideBySide;

// ---- PNG ----------------------------------------------------------------------------------------

std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const char* name, const std::string& data) {
    const std::string body = std::string(name, 4) + data;
    return Be32(uint32_t(data.size())) + body +
           Be32(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

// A dashboard-like picture: gradients, bands and some fine texture; rows filtered with Sub.
struct Png {
    std::string file;
    std::string idat;
    size_t raw = 0;
};

const Png& TestPng() {
    static const Png png = [] {
        Png p;
        std::string raw;
        for (int y = 0; y < 480; ++y) {
            raw += char(1);
            uint8_t prev[3] = {0, 0, 0};
            for (int x = 0; x < 640; ++x) {
                const uint8_t px[3] = {uint8_t(x * 255 / 639), uint8_t((y / 40) % 2 ? 200 : y / 2),
                                       uint8_t(((x ^ y) & 7) * 9 + 60)};
                for (int k = 0; k < 3; ++k) {
                    raw += char(uint8_t(px[k] - prev[k]));
                    prev[k] = px[k];
                }
            }
        }
        p.raw = raw.size();
        uLongf n = compressBound(uLong(raw.size()));
        p.idat.resize(n);
        compress2(reinterpret_cast<Bytef*>(p.idat.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
                  uLong(raw.size()), 6);
        p.idat.resize(n);
        p.file = "\x89PNG\r\n\x1a\n" + Chunk("IHDR", Be32(640) + Be32(480) + std::string{8, 2, 0, 0, 0}) +
                 Chunk("IDAT", p.idat) + Chunk("IEND", "");
        return p;
    }();
    return png;
}

void DecodeOurs() {
    const Png& p = TestPng();
    GuiPngConvert c(0);
    c.SetAlphaOutput(true);
    c.SetSystemPalette(nullptr, 1600);
    c.SetInputBuffer(reinterpret_cast<unsigned char*>(const_cast<char*>(p.file.data())), p.file.size());
    if (c.ReadImage(1) != 1) std::abort();
    benchmark::DoNotOptimize(c.GetBitmapPointer(0)->data[0]);
}

void Inflate() {
    const Png& p = TestPng();
    static std::vector<uint8_t> out(p.raw);
    uLongf n = uLongf(out.size());
    uncompress(out.data(), &n, reinterpret_cast<const Bytef*>(p.idat.data()), uLong(p.idat.size()));
    benchmark::DoNotOptimize(out[0]);
}

#ifdef MSD_BENCH_LIBPNG
void DecodeLibpng() {
    const Png& p = TestPng();
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, p.file.data(), p.file.size())) std::abort();
    image.format = PNG_FORMAT_RGB;
    static std::vector<uint8_t> out(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) std::abort();
    benchmark::DoNotOptimize(out[0]);
}
#endif

void BM_PngDecode640x480Rgb(benchmark::State& state) {
    SideBySide(state, DecodeOurs,
               {
#ifdef MSD_BENCH_LIBPNG
                   {"libpng", DecodeLibpng},
#endif
                   {"inflate", Inflate}});
}
BENCHMARK(BM_PngDecode640x480Rgb)->Unit(benchmark::kMillisecond);

// ---- the GUI as the GUI task has it -----------------------------------------------------------

struct Gui {
    Gui() {
        tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
        tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
        tBaseGuiTask = taskIdSelf();
        GuiThing::mpScreen = CreateGuiScreen();
        root = new GuiThing(MakeGuiRect(0, 0, 1023, 479), 0, GUI_BORDER_NONE);
        root->mwStatusFlags = GUI_ST_VISIBLE | GUI_ST_VIEWPORTS;
        GuiThing::mpPresentation = root;
        GuiThing::mpScreen->GenerateViewportList(root);
        VektaFonts_ini();
        gbGuiInitialized = 1;
    }
    GuiThing* root;
};

Gui& gui() {
    static Gui g;
    return g;
}

std::string Col(const char* tag, uint32_t rgb) {
    char s[96];
    std::snprintf(s, sizeof s, "<%s red=\"%X\" green=\"%X\" blue=\"%X\"/>", tag, unsigned(rgb >> 16),
                  unsigned((rgb >> 8) & 0xFF), unsigned(rgb & 0xFF));
    return s;
}

std::string Input(uint32_t adr) {
    char s[200];
    std::snprintf(
        s, sizeof s,
        "<ChInput adr=\"%08X\" type=\"FLOAT\" mask=\"FFFFFFFF\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" "
        "quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>",
        unsigned(adr));
    return s;
}

std::string Attrs(int prio, int x, int y, int w, int h) {
    return " version=\"1\" title=\"T\" vis_mode=\"always\" always_on_top=\"false\" prio=\"" +
           std::to_string(prio) + "\" pos_x=\"" + std::to_string(x) + "\" pos_y=\"" + std::to_string(y) +
           "\" size_x=\"" + std::to_string(w) + "\" size_y=\"" + std::to_string(h) + "\"";
}

// 30 boxes in a grid, two bars and a picture without its file (drawn with its cross).
std::string PageXml() {
    std::string e;
    int prio = 1;
    for (int i = 0; i < 30; ++i) {
        std::string deco = "<AlphaNumDeco style=\"single_line\">";
        for (const char* c :
             {"BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol", "TextBGCol", "TextFGCol"})
            deco += Col(c, 0x203040u * unsigned(i % 3 + 1));
        deco += "</AlphaNumDeco>";
        e += "<AlphaNumeric" + Attrs(prio++, (i % 6) * 106, (i / 6) * 70, 106, 70) +
             " font_size=\"small\" align=\"MM\" dispmode=\"normal\" vtab=\"\" format_str=\"%5.1f\">" +
             Input(0x10000000u + 4u * unsigned(i)) + "<DecoMiddle>" + deco + "</DecoMiddle></AlphaNumeric>";
    }
    for (int i = 0; i < 2; ++i) {
        std::string deco = "<BarGraphDeco style=\"single_line\">";
        for (const char* c : {"BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol", "BarBGCol",
                              "BarFGCol", "TicksCol"})
            deco += Col(c, 0x30A030);
        deco += "</BarGraphDeco>";
        e += "<BarGraph" + Attrs(prio++, 0, 350 + 60 * i, 500, 60) +
             " style=\"stacked\" orientation=\"hori_lr\" ticks=\"true\" min=\"0\" max=\"100\">" +
             Input(0x10000100u + 4u * unsigned(i)) + "<DecoMiddle>" + deco +
             "</DecoMiddle><TickList><Tab name=\"0\" value=\"0\"/><Tab name=\"50\" "
             "value=\"50\"/></TickList></BarGraph>";
    }
    e += "<Picture" + Attrs(prio++, 520, 360, 100, 100) +
         " filename=\"cfg:/none.bin\" ofs=\"0\" len=\"10\">" + Col("TransparentCol", 0) +
         "<DecoMiddle><PictureDeco style=\"single_line\">" + Col("BGCol", 0) + Col("TitleBGCol", 0) +
         Col("TitleFGCol", 0xFFFFFF) + Col("BorderBGCol", 0x202020) + Col("BorderFGCol", 0xFFFFFF) +
         "</PictureDeco></DecoMiddle></Picture>";
    return "<?xml version=\"1.0\"?><Display version=\"1\" x_res=\"640\" y_res=\"480\"><Brightness><perc "
           "value=\"50\"/>"
           "</Brightness><Pages><Page>" +
           Col("BGCol", 0x101010) + "<DisplayElements>" + e + "</DisplayElements></Page></Pages></Display>";
}

void FeedAll(CDispPage* page, float v) {
    for (int i = 0; i < page->elementCount(); ++i) {
        CDataView* view = page->element(i);
        CData* d = view ? view->getData(CDATA_VALUE) : nullptr;
        if (!d || !d->meas) continue;
        const float value = v + float(i);
        uint32_t w;
        std::memcpy(&w, &value, 4);
        const uint8_t be[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
        d->meas->putData(be);
    }
}

void BM_PageTick30Boxes(benchmark::State& state) {
    Gui& g = gui();
    const std::string text = PageXml();
    xml_scan_s scan = xml_scan_init(text.data(), int32_t(text.size()));
    display_s* cfg = nullptr;
    if (XmlParseDisplay(&scan, &cfg) != 0) {
        state.SkipWithError("display configuration refused");
        return;
    }
    CDataManager manager;
    auto* page = new CDispPage(0, 0, 640, 480, 0, &cfg->pages[0], &cfg->all_pages, &manager, nullptr);
    g.root->Add(page, 1);
    page->SwitchedPage();
    float v = 0;
    const GuiMessage tick = GuiMakeMessage(GM_TIMER, page);
    const double seconds = SideBySide(state,
                                      [&] {
                                          FeedAll(page, v += 0.5f);
                                          page->Message(tick);
                                      },
                                      {});
    state.counters["share_of_50ms_frame"] = seconds / 0.050;
    g.root->Remove(page, 0);
    delete page;
    XmlFreeDisplay(cfg);
}
BENCHMARK(BM_PageTick30Boxes)->Unit(benchmark::kMillisecond);

void BM_BmpDump(benchmark::State& state) {
    gui();
    char dir[] = "/tmp/msdbenchXXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    devroot_set(dir);
    std::string error;
    devroot_prepare(&error);
    const std::string raw = std::string(dir) + "/c/raw.bmp";
    const std::vector<char> bytes(1228854, 'x'); // the dump's size
    SideBySide(state, [] { display_bmpwrite("c:/screen.bmp"); },
               {{"raw_write", [&] {
                     FILE* f = std::fopen(raw.c_str(), "wb");
                     if (!f) return;
                     std::fwrite(bytes.data(), 1, bytes.size(), f);
                     std::fclose(f);
                 }}});
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_BmpDump)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
