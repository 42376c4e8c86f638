// The main container over a display.xml with the real GUI tasks, driven through the display's
// interface and its shell command; the display control's NV records; the brightness curves; the
// page sets from the network.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "display/control/display_cmd.h"
#include "display/control/display_sig.h"
#include "display/control/displayctrl.h"
#include "display/data/cdata.h"
#include "display/pages/cdisppage.h"
#include "display/pages/cmaincontainer.h"
#include "display_cfg.h"
#include "display_harness.h"
#include "framework/appman.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_msg.h"
#include "platform/board/board.h"
#include "platform/board/display_hw.h"
#include "platform/kernel/shellhost.h"
#include "testsupport.h"

using disptest::GuiRun;

namespace {

constexpr uint32_t kPageBg[3] = {0x102030, 0x301020, 0x203010};

// A device root with the display configuration, the NV store and the shell command.
struct Device {
    explicit Device(const std::string& extra = "") {
        std::string pages;
        for (uint32_t bg : kPageBg)
            pages += disptest::Page(bg, disptest::Box(1, 20, 20, 200, 100, 0x10000700));
        testsupport::makeDirs(root.file("cfg"));
        testsupport::writeFile(root.file("cfg/display.xml"), disptest::Document(pages, extra));
        syslog_init(0);
        std::string error;
        EXPECT_TRUE(appman_init(0, &error)) << error;
        seramInit(); // the brightness curves' defaults
        EXPECT_TRUE(nvram_init());
        if (!shellhost_isRegistered("display")) shellhost_register("display", displayCommandFunc);
        board_reset();
    }
    ~Device() { nvram_close(); }
    testsupport::TempDeviceRoot root;
};

CMainContainer* gMain = nullptr;

uint32_t Pixel(int x, int y) {
    return displayhw_panelImage()[size_t(y) * DISPLAY_VISIBLE_WIDTH + x];
}

bool Shows(uint32_t colour, int x = 600, int y = 400) {
    return disptest::WaitFor([&] { return Pixel(x, y) == colour; });
}

std::string Shell(const std::string& line) {
    std::string out;
    shellhost_execute(line, &out);
    return out;
}

} // namespace

TEST(DisplayMain, PagesBrightnessCommandsAndRepeatedStartsOverTheControlTask) {
    Device dev(
        "<PageInput adr=\"10000704\" type=\"UINT8\" mask=\"FF\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" "
        "quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>");
    GuiRun gui([](GuiPresentationManager* pm) { gMain = CMainContainer::Install(pm); });
    ASSERT_EQ(displayStart(), 0);
    ASSERT_TRUE(Shows(kPageBg[0]));
    // Step 1 of 10, 50, 100 % without a stored step.
    float duty = 0, freq = 0;
    ASSERT_TRUE(board_pwmGet(0, &duty, &freq));
    EXPECT_NEAR(duty, 0.2f, 1e-6f);
    EXPECT_EQ(*displayhw_saturation(), 55u);
    EXPECT_EQ(dispSigGet(seramSig().display_page_mx), 3);
    EXPECT_EQ(displayMaxPages(0xFFFFFFFF), 2u);

    EXPECT_NE(Shell("display page 2").find("value = 0"), std::string::npos);
    EXPECT_TRUE(Shows(kPageBg[2]));
    for (const char* bad : {"display page x", "display page -1", "display page +1"})
        EXPECT_NE(Shell(bad).find("Invalid page number."), std::string::npos) << bad;
    EXPECT_NE(Shell("display next").find("value = 0"), std::string::npos);
    EXPECT_TRUE(Shows(kPageBg[0])) << "the step after the last page is the first";
    // Indices and steps out of range change nothing and harm nothing.
    GuiMessage wild = GuiMakeMessage(DISP_MSG_SWITCH_PAGE);
    wild.SetDataWord(0, -1);
    GuiThing::mpMessageQueue->Push(&wild);
    Shell("display brightness 4294967295");
    gui.inGui([] {});
    EXPECT_EQ(gMain->currentPage(), 0);
    ASSERT_TRUE(board_pwmGet(0, &duty, &freq));
    EXPECT_NEAR(duty, 0.2f, 1e-6f);
    Shell("display brightness 2");
    EXPECT_TRUE(disptest::WaitFor([&] { return board_pwmGet(0, &duty, &freq) && duty == 100.0f; }));

    // Notices and the external alarm window over the page.
    Shell("display txtshow hello");
    EXPECT_TRUE(Shows(0xFF0000, 20, 200));
    Shell("display txthide");
    EXPECT_TRUE(Shows(kPageBg[0], 20, 200));
    Shell("display fstart");
    EXPECT_TRUE(Shows(0xFF0000, 20, 160));
    EXPECT_TRUE(Shows(0x000000, 30, 215)) << "the bar of the flash notice";
    Shell("display fstop");
    EXPECT_TRUE(Shows(kPageBg[0], 20, 160));
    display_alarm(1, 300, 300, 200, 60, 0xFFFFFF, 0x00FF00, 1, "OIL PRESSURE");
    EXPECT_TRUE(Shows(0x00FF00, 495, 355));
    display_alarm(0, 300, 300, 200, 60, 0xFFFFFF, 0x00FF00, 1, "");
    EXPECT_TRUE(Shows(kPageBg[0], 495, 355));

    // The dump of the shown screen.
    EXPECT_EQ(Shell("display bmpdump c:/screen.bmp").find("Error"), std::string::npos);
    EXPECT_EQ(testsupport::readBinary(dev.root.file("c/screen.bmp")).size(), 1228854u);

    // The colour stays in front of a stopped display; a wrong colour only stops it.
    Shell("display color 0x00FF0000");
    EXPECT_TRUE(Shows(0xFF0000));
    EXPECT_NE(Shell("display color FF0000").find("Invalid color format. RGB Format: 0x00RRGGBB"),
              std::string::npos);
    EXPECT_TRUE(Shows(0xFF0000, 160, 120)) << "the boot logo's start light";
    const std::string usage = Shell("display start now");
    EXPECT_NE(usage.find("usage: display <command> [<par>]"), std::string::npos);
    EXPECT_NE(usage.find("<bmpdump> <file>"), std::string::npos) << "the dump under the name it answers to";

    // Starts and stops while the control task reads the page input: the inputs go before their
    // lists, and every data manager goes with its lists.
    displayCtrl_ini();
    for (int i = 0; i < 5; ++i) {
        displayStart();
        EXPECT_TRUE(disptest::WaitFor([] { return displayCtrl_state() == DISPCTRL_RUNNING; }));
        displayStop();
        gui.inGui([] {});
        EXPECT_EQ(displayCtrl_state(), DISPCTRL_STOPPED);
    }
    displayCtrl_exit();
    gui.inGui([] {});
    EXPECT_EQ(CDispPageChannels::page_chan, nullptr);
    EXPECT_EQ(dispSigGet(seramSig().display_page), 0);
}

TEST(DisplayMain, StoredPagesAreLimitedAndMissingOnesStartOnTheFirst) {
    Device dev;
    const struct {
        int stored; // -1: none
        uint8_t lastIndex;
        uint8_t start;
    } cases[] = {{-1, 3, 1}, {0, 3, 1}, {9, 3, 4}, {2, 3, 2}};
    for (const auto& c : cases) {
        uint8_t v = uint8_t(c.stored);
        if (c.stored >= 0) {
            ASSERT_NE(nvram_dbs_write(DISPCTRL_NV_PAGE, 0, &v, 1), 0);
        }
        displayCtrl_stop();
        EXPECT_EQ(displayCtrl_start(c.lastIndex), c.start) << c.stored;
        ASSERT_EQ(nvram_dbs_read(DISPCTRL_NV_PAGE, 0, &v, 1), 1);
        EXPECT_EQ(v, c.start) << "written back";
    }
    displayCtrl_stop();
    EXPECT_EQ(limit1toMax(-5, 4), 1);
    EXPECT_EQ(limit1toMax(7, 4), 4);
    EXPECT_EQ(limit1toMax(3, 0), 0) << "no pages";
}

TEST(DisplayMain, BrightnessCurvesAreGolden) {
    Device dev;
    EXPECT_EQ(display_brightness_colSat(5), 46);
    EXPECT_EQ(display_brightness_colSat(10), 55);
    EXPECT_FLOAT_EQ(display_brightness_bg(10), 0.2f);
    EXPECT_FLOAT_EQ(display_brightness_bg(100), 100);
    EXPECT_NEAR(display_brightness_bg(120), 100 + 70.0 / 15 * 20, 1e-3);
    EXPECT_FLOAT_EQ(display_brightness_led_red(200, 100), 200);
    EXPECT_NEAR(display_brightness_led_red(255, 0), 0.1275, 1e-6);
    EXPECT_EQ(display_brightness_colSat(NAN), 0);
}

TEST(DisplayMain, WithoutTheGuiNoDumpIsWrittenAndPageSetsFromTheNetworkStartThePostRun) {
    Device dev;
    EXPECT_NE(Shell("display bmpdump c:/none.bmp").find("Error, unable to write file c:/none.bmp."),
              std::string::npos);
    EXPECT_FALSE(testsupport::readFile(dev.root.file("c/none.bmp")).size());
    testsupport::drainSyslog();
    comint_msg frame{};
    ci_init(&frame, 0x1600, 0x11, 0x10, 0, 0, 0); // no payload: a name of zeros
    display_pageset_cmd(&frame);
    std::memcpy(frame.data, "SET2", 4);
    ci_set_len(&frame, 4); // shorter than 16: the rest counts as zeros
    display_pageset_cmd(&frame);
    const auto log = testsupport::drainSyslog();
    EXPECT_EQ(
        testsupport::countContaining(log, "display_pageset_cmd(): received active pageset '' -> ignored"), 1);
    EXPECT_EQ(testsupport::countContaining(log, "display_pageset_cmd(): received pageset 'SET2'"), 1);
    EXPECT_EQ(testsupport::countContaining(log, "startPostrun"), 1);
}
