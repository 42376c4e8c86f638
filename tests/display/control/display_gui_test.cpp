// The display's GUI side with its real tasks: start-up with backlight, digital output and layer;
// window trees in the built-in fonts over live values, compared pixel by pixel with the fonts' own
// records; modal loops in another task; pointer, focus and drag handling; the C interface.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "display/control/display.h"
#include "display/data/cdata.h"
#include "display/fonts/vektafonts.h"
#include "display_harness.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"
#include "gui/window/guibutton.h"
#include "platform/board/board.h"
#include "platform/board/display_hw.h"

using disptest::GuiRun;
using disptest::Pixels;

namespace {

// A top-level window that records what reaches it (and frees the texts posted as heap copies).
class Recorder : public GuiWindow {
public:
    Recorder(const GuiRect& r, uint32_t colour, unsigned style = GUI_BORDER_NONE) : GuiWindow(r, style) {
        mColors[0] = colour;
    }
    int Message(const GuiMessage& m) override {
        {
            std::lock_guard<std::mutex> g(mutex);
            got.push_back(m);
        }
        if (m.Type == DISP_MSG_TXT_SHOW_FREE) std::free(m.DataPtr(0));
        return m.Type >= GM_USER ? 0 : GuiWindow::Message(m);
    }
    std::vector<uint16_t> types() {
        std::lock_guard<std::mutex> g(mutex);
        std::vector<uint16_t> out;
        for (const GuiMessage& m : got) out.push_back(m.Type);
        return out;
    }
    std::vector<GuiMessage> of(uint16_t type) {
        std::lock_guard<std::mutex> g(mutex);
        std::vector<GuiMessage> out;
        for (const GuiMessage& m : got)
            if (m.Type == type) out.push_back(m);
        return out;
    }
    std::mutex mutex;
    std::vector<GuiMessage> got;
};

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

void PostPointer(uint16_t type, int x, int y) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataPoint(GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)});
    GuiThing::mpMessageQueue->Push(&m);
}

} // namespace

TEST(DisplayStartUp, GuiComesUpWithBacklightLayerOneAndUnpackedFonts) {
    board_reset();
    EXPECT_EQ(displayStart(), -1) << "nothing is posted before the GUI is up";
    GuiRun gui;
    ASSERT_EQ(gbGuiInitialized.load(), 1);
    int priority = 0;
    ASSERT_EQ(taskPriorityGet(taskNameToId("r_GuiMn"), &priority), OK);
    EXPECT_EQ(priority, 121);
    ASSERT_EQ(taskPriorityGet(taskNameToId("r_t_GuiTmr"), &priority), OK);
    EXPECT_EQ(priority, 120);
    float duty = 0, freq = 0;
    ASSERT_TRUE(board_pwmGet(0, &duty, &freq));
    EXPECT_EQ(duty, 95.0f);
    EXPECT_EQ(freq, 1000.0f);
    EXPECT_EQ(board_doutGet(5), 1);
    EXPECT_EQ(*displayhw_layerControl(1), 3u);

    // Every strip is height x bytes per line, and its last glyph column holds the last glyph.
    struct Metric {
        FontSizeType_t size;
        int height, bytesPerLine;
    } metrics[] = {{FONT_TINY, 27, 411},   {FONT_SMALL, 49, 744},        {FONT_NORMAL, 64, 934},
                   {FONT_LARGE, 86, 1252}, {FONT_EXTRALARGE, 167, 2426}, {FONT_XXLARGE, 200, 3518}};
    for (const Metric& m : metrics) {
        const GuiFont* f = Vekta_getFont(m.size);
        SCOPED_TRACE(m.height);
        ASSERT_NE(f->data, nullptr);
        EXPECT_EQ(f->type, 9);
        EXPECT_EQ(f->height, m.height);
        EXPECT_EQ(f->ascent, m.height);
        EXPECT_EQ(f->bytesPerLine, m.bytesPerLine);
        EXPECT_LE(f->offsets[256], 8 * m.bytesPerLine);
        EXPECT_EQ(f->offsets[0x82] - f->offsets[0x81], f->offsets[' ' + 1] - f->offsets[' '])
            << "0x81 is a blank";
        EXPECT_TRUE(disptest::Glyphs(f, "\x81 ", 0, 0).empty());
        EXPECT_FALSE(disptest::Glyphs(f, "\xFF", 0, 0).empty()) << "Latin-1 up to 0xFF";
        EXPECT_EQ(f->offsets[1], 0) << "control codes have no width";
    }
    EXPECT_EQ(Vekta_getFont(FONT_XXXLARGE), Vekta_getFont(FONT_XXLARGE));
    EXPECT_EQ(Vekta_getFont(static_cast<FontSizeType_t>(7)), &VektaTiny);
    EXPECT_TRUE(VektaFonts_isDouble(FONT_XXXLARGE));
    EXPECT_FALSE(VektaFonts_isDouble(FONT_XXLARGE));
}

TEST(DisplayWindows, PromptsShowLiveValuesInTheBuiltInFonts) {
    GuiPrompt* speed = nullptr;
    GuiPrompt* gear = nullptr;
    GuiWindow* page = nullptr;
    // Built without drawing: the fonts are unpacked while the GUI task starts.
    GuiRun gui([&](GuiPresentationManager* pm) {
        page = new GuiWindow(R(0, 0, 639, 479), GUI_BORDER_NONE);
        speed = new GuiPrompt(R(10, 10, 400, 90), nullptr, 0,
                              GUI_BORDER_THIN | GUI_STYLE_LEFT | GUI_STYLE_COPY, 0);
        speed->SetFont(Vekta_getFont(FONT_NORMAL));
        gear = new GuiPrompt(420, 20, "8", 0, GUI_BORDER_NONE, Vekta_getFont(FONT_XXXLARGE), 1);
        page->Add(speed, 0);
        page->Add(gear, 0);
        pm->Add(page, 0);
    });
    // A value as the gateway delivers it, turned into its display text.
    const float coeff[6] = {0, 0.1f, 0, 0, 0, 1};
    CDataMeas value(0x10001000, 0xFFFFFFFF, RAW_UINT16, coeff, nullptr, DISPMODE_NORMAL);
    const uint8_t sample[2] = {0x04, 0xD2}; // 1234
    value.putData(sample);
    value.updateData();
    char text[CDATA_STR_SIZE];
    value.getDataStr("%.1f\x81km/h", text);
    ASSERT_STREQ(text, "123.4\x81km/h");
    gui.inGui([&] {
        speed->DataSet(text);
        GuiThing::mpScreen->Invalidate(page->mRealRect);
        page->Draw();
    });
    gui.present();

    const GuiFont* normal = Vekta_getFont(FONT_NORMAL);
    const GuiRect c = speed->mClientRect;
    const Pixels want = disptest::Glyphs(normal, text, c.left + 1, c.top + (c.Height() - normal->height) / 2);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(disptest::PanelPixels(c.left, c.top, c.right, c.bottom, GUI_BLACK), want);

    // xxxlarge: the XXLarge font doubled, 400 pixels high.
    const GuiRect g = gear->mRealRect;
    EXPECT_EQ(g.Height(), 400 + 3);
    const Pixels gearWant = disptest::Glyphs(Vekta_getFont(FONT_XXXLARGE), "8", g.left + 1, g.top + 1, true);
    EXPECT_EQ(disptest::PanelPixels(g.left, g.top, g.right, g.bottom, GUI_BLACK), gearWant);
}

TEST(DisplayWindows, ExecuteInAnotherTaskEndsWithCloseOrAStandardButton) {
    GuiRun gui;
    GuiPresentationManager* pm = gui.pm();
    std::atomic<int> result{0};
    // Runs the window's loop in a task of its own, once it runs with its own queue.
    auto execute = [&](GuiWindow* w) {
        const TASK_ID t =
            taskSpawn("r_modal", 100, VX_FP_TASK, 100000, [&result, w] { result = w->Execute(1); });
        EXPECT_TRUE(disptest::WaitFor([&] { return pm->GetThingMessageQueue(w) != nullptr; }));
        return t;
    };

    auto* closing = new GuiWindow(R(100, 100, 300, 200), GUI_BORDER_THIN);
    TASK_ID t = execute(closing);
    GuiMessage close = GuiMakeMessage(GM_CLOSE, closing);
    GuiThing::mpMessageQueue->Push(&close);
    ASSERT_EQ(taskJoin(t, 5000), OK);
    EXPECT_EQ(result.load(), 1000);

    auto* dialog = new GuiWindow(R(100, 100, 300, 200), GUI_BORDER_THIN);
    dialog->Add(new GuiButton(R(150, 150, 200, 170), GUI_ID_NOTEXT, GUI_BTN_ENABLED, nullptr, 3), 0);
    t = execute(dialog);
    PostPointer(GM_BUTTON_DOWN, 160, 160);
    PostPointer(GM_BUTTON_UP, 161, 160);
    ASSERT_EQ(taskJoin(t, 5000), OK);
    EXPECT_EQ(result.load(), GUI_ID_NOTEXT);
    EXPECT_EQ(pm->GetThingMessageQueue(dialog), nullptr);

    // Globally modal: the window holds the pointer for its whole loop.
    auto* global = new GuiWindow(R(100, 100, 300, 200), GUI_BORDER_THIN);
    t = taskSpawn("r_global", 100, VX_FP_TASK, 100000,
                  [&result, global] { result = global->GlobalModalExecute(); });
    ASSERT_TRUE(disptest::WaitFor([&] { return pm->GetPointerOwner() == global; }));
    GuiMessage closeGlobal = GuiMakeMessage(GM_CLOSE, global);
    GuiThing::mpMessageQueue->Push(&closeGlobal);
    ASSERT_EQ(taskJoin(t, 5000), OK);
    EXPECT_EQ(result.load(), 1000);
    EXPECT_EQ(pm->GetPointerOwner(), nullptr);
}

TEST(DisplayWindows, PointerMovesEnterAndExitAndPressesMoveTheFocus) {
    Recorder* a = nullptr;
    Recorder* b = nullptr;
    Recorder* w = nullptr;
    GuiRun gui([&](GuiPresentationManager* pm) {
        a = new Recorder(R(0, 0, 99, 99), 0xFF0000);
        b = new Recorder(R(200, 0, 299, 99), 0x00FF00);
        w = new Recorder(R(300, 200, 500, 400), GUI_LIGHT_GREY, GUI_BORDER_THICK);
        pm->Add(a, 1);
        pm->Add(b, 1);
        pm->Add(w, 1);
    });
    PostPointer(GM_POINTER_MOVE, 10, 10);
    PostPointer(GM_POINTER_MOVE, 210, 10);
    PostPointer(GM_POINTER_MOVE, 220, 10);
    gui.inGui([] {});
    EXPECT_EQ(a->of(GM_POINTER_ENTER).size(), 1u);
    EXPECT_EQ(a->of(GM_POINTER_EXIT).size(), 1u);
    EXPECT_TRUE(a->of(GM_POINTER_MOVE).empty()) << "entering is not a move";
    ASSERT_EQ(b->of(GM_POINTER_MOVE).size(), 1u) << "only the move inside B after entering it";
    EXPECT_EQ(b->of(GM_POINTER_MOVE)[0].DataPoint().x, 220);

    // A press on a window gives it the focus; 3 pixels inside a movable window's corner starts a
    // resize from that corner, 6 pixels inside nothing.
    PostPointer(GM_BUTTON_DOWN, 306, 206);
    PostPointer(GM_BUTTON_UP, 306, 206);
    int mode = -1;
    gui.inGui([&] { mode = w->mbMoveMode; });
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(gui.pm()->InputFocus(), w);
    PostPointer(GM_BUTTON_DOWN, 303, 203);
    GuiThing* owner = nullptr;
    gui.inGui([&] {
        mode = w->mbMoveMode;
        owner = gui.pm()->GetPointerOwner();
    });
    EXPECT_EQ(mode, GUI_BORDER_TOP_LEFT);
    EXPECT_EQ(owner, w);
    PostPointer(GM_POINTER_MOVE, 283, 193);
    PostPointer(GM_BUTTON_UP, 283, 193);
    GuiRect r{};
    gui.inGui([&] {
        r = w->mRealRect;
        owner = gui.pm()->GetPointerOwner();
    });
    EXPECT_EQ(r, R(280, 190, 500, 400));
    EXPECT_EQ(owner, nullptr);
}

TEST(DisplayInterface, PostingFunctionsCarryTheirValuesAndNeverLoseACopy) {
    Recorder* front = nullptr;
    GuiRun gui([&](GuiPresentationManager* pm) {
        front = new Recorder(R(0, 0, 639, 479), GUI_WHITE);
        pm->Add(front, 1);
    });
    EXPECT_EQ(displaySwitchPage(40), 0);
    EXPECT_EQ(displaySwitchPage(static_cast<unsigned>(-1)), 0);
    EXPECT_EQ(displaySwitchPage(3), 0);
    EXPECT_EQ(displayNext(), 0);
    EXPECT_EQ(displayPrev(), 0);
    EXPECT_EQ(displayTxtShow2("one", "two"), 0);
    EXPECT_EQ(displayTxtShowFree(std::string(300, 'x').c_str()), 0);
    gui.inGui([] {});
    const auto pages = front->of(DISP_MSG_SWITCH_PAGE);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].DataWord(0), 11);
    EXPECT_EQ(pages[1].DataWord(0), 11);
    EXPECT_EQ(pages[2].DataWord(0), 3);
    EXPECT_EQ(front->of(GM_BUTTON_DOWN).size(), 2u) << "next and prev: the same press, inside the container";
    const auto two = front->of(DISP_MSG_TXT_SHOW2);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_STREQ(static_cast<const char*>(two[0].DataPtr(1)), "two");

    // A full queue: the message is dropped, the caller told, and the copy freed (no leak).
    SEM_ID hold = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    GuiMessage block = GuiMakeMessage(GM_USER, front);
    std::atomic<bool> blocked{false};
    const TASK_ID waiter = taskSpawn("r_hold", 100, 0, 100000, [&] {
        gui.inGui([&] {
            blocked = true;
            semTake(hold, WAIT_FOREVER);
        });
    });
    ASSERT_TRUE(disptest::WaitFor([&] { return blocked.load(); }));
    int posted = 0;
    while (displayTxtShowFree("fill") == 0) ++posted;
    // Every node, but those a message of the GUI's own may hold meanwhile.
    EXPECT_GT(posted, GUI_QUEUE_NODES - 4);
    EXPECT_LE(posted, GUI_QUEUE_NODES);
    EXPECT_EQ(displayStart(), -1);
    semGive(hold);
    ASSERT_EQ(taskJoin(waiter, 5000), OK);
    gui.inGui([] {});
    EXPECT_EQ(front->of(DISP_MSG_TXT_SHOW_FREE).size(), 1u + unsigned(posted)) << "each one posted came";
    semDelete(hold);
    (void)block;

    // The external alarm record: 254 characters at most, spaces as 0x81.
    EXPECT_EQ(display_alarm(1, 10, 20, 100, 30, 0xFF0000, 0, 1, std::string(300, 'a').c_str()), 0);
    EXPECT_EQ(std::strlen(ext_alarm.text), 254u);
    display_alarm(1, 10, 20, 100, 30, 0xFF0000, 0, 0, "two words");
    EXPECT_STREQ(ext_alarm.text, "two\x81words");
    EXPECT_EQ(ext_alarm.changed, 1);
    EXPECT_EQ(ext_alarm.acknowledged, 0);
    gui.inGui([] {});
    EXPECT_EQ(front->of(DISP_MSG_UPDATE_EXT_WND).size(), 2u);
}

TEST(DisplayInterface, TheAlarmRecordIsNeverReadHalfWritten) {
    const std::string longText(254, 'a');
    display_alarm(1, 0, 0, 10, 10, 0, 0, 0, "b");
    std::atomic<bool> stop{false};
    const TASK_ID writer = taskSpawn("r_alarm", 100, 0, 100000, [&] {
        for (int i = 0; !stop; ++i) display_alarm(1, 0, 0, 10, 10, 0, 0, 0, i % 2 ? longText.c_str() : "b");
    });
    std::string torn;
    for (int i = 0; i < 2000 && torn.empty(); ++i) {
        char copy[DISP_ALARM_TEXT];
        {
            ExtAlarmGuard lock;
            std::memcpy(copy, ext_alarm.text, sizeof copy);
        }
        if (std::strcmp(copy, "b") != 0 && copy != longText) torn = copy;
    }
    stop = true;
    ASSERT_EQ(taskJoin(writer, 5000), OK);
    EXPECT_EQ(torn, "");
}

TEST(DisplayInterface, ChannelsRoundHalfAwayAndTheDumpShowsThePanelArea) {
    GuiRun gui;
    int value = 0;
    unsigned char fresh = 9;
    EXPECT_EQ(displayGetPageChan(&value, &fresh), 0) << "no channel";
    for (const auto& [v, want] :
         std::vector<std::pair<float, int>>{{-2.5f, -3}, {2.5f, 3}, {2.4f, 2}, {1e12f, INT32_MAX}}) {
        awm_meas_in in{};
        in.type = 7; // FLOAT
        in.quant_b = in.quant_f = 1;
        CData chan(&in);
        chan.newMeas();
        uint32_t w;
        std::memcpy(&w, &v, 4);
        const uint8_t be[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
        chan.meas->putData(be);
        CDispPageChannels::page_chan = &chan;
        EXPECT_EQ(displayGetPageChan(&value, &fresh), 1);
        EXPECT_EQ(value, want);
        EXPECT_EQ(fresh, 1);
        displayGetPageChan(nullptr, &fresh);
        EXPECT_EQ(fresh, 0) << "the fresh flag is consumed";
        CDispPageChannels::page_chan = nullptr;
        delete chan.meas;
    }

    // The dump covers (0, 0)-(639, 479), bottom row first.
    uint32_t* fb = displayhw_frameBuffer();
    gui.inGui([&] {
        fb[0] = 0x123456;
        fb[479 * DISPLAY_FB_WIDTH + 639] = 0x654321;
        fb[479 * DISPLAY_FB_WIDTH + 640] = 0xABCDEF; // outside the shown area
    });
    unsigned long size = 0;
    unsigned char* bmp = DumpReal(&size);
    ASSERT_NE(bmp, nullptr);
    ASSERT_EQ(size, 54u + 640u * 480u * 4u);
    auto pixel = [&](int row, int col) {
        uint32_t p;
        std::memcpy(&p, bmp + 54 + (static_cast<size_t>(row) * 640 + col) * 4, 4);
        return p;
    };
    EXPECT_EQ(pixel(479, 0), 0x123456u);
    EXPECT_EQ(pixel(0, 639), 0x654321u);
    delete[] bmp;
}
