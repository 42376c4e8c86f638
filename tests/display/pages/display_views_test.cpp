// The display's views and pages with the real GUI tasks: the alarm state machine, the value box's
// zones and its no-data cross, bar positions, the page's change budget, overlay groups, rotation
// and acknowledgement, and the pictures with their image container.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "display/control/display_sig.h"
#include "display/pages/cbarview.h"
#include "display/pages/cdispbox.h"
#include "display/pages/cdisppage.h"
#include "display/pages/cimagecontainer.h"
#include "display/pages/cpicture.h"
#include "display_cfg.h"
#include "display_harness.h"
#include "framework/syslog.h"
#include "platform/board/display_hw.h"
#include "platform/kernel/syslogq.h"
#include "testsupport.h"

using disptest::Box;
using disptest::Feed;
using disptest::GuiRun;

namespace {

const GuiRect kScreen = MakeGuiRect(0, 0, 639, 479);

// One page of a configuration, its data manager and the views made from it.
struct Views {
    explicit Views(const std::string& elements) {
        cfg = disptest::parseText(disptest::Document(disptest::Page(0x102030, elements)));
        EXPECT_TRUE(cfg) << disptest::lastError();
    }
    display_elem_s* elem(int i) const {
        display_elem_s* e = cfg->pages[0].elems;
        while (e && i-- > 0) e = e->next;
        return e;
    }
    template <class V> V* make(int i, GuiWindow* parent = nullptr) {
        auto* v = new V(kScreen, elem(i), parent, 1);
        v->setData(manager.addData(elem(i), 4, CDATA_VALUE), CDATA_VALUE);
        v->setData(manager.addData(elem(i), 4, CDATA_VISIBILITY), CDATA_VISIBILITY);
        return v;
    }
    display_ptr cfg;
    CDataManager manager;
};

std::string Alarm(int prio, const std::string& attrs, int x = 0) {
    return Box(prio, x, 0, 100, 60, 0, "always_on_top=\"true\" " + attrs, 0x10000100u + unsigned(prio));
}

} // namespace

TEST(DisplayViews, AlarmsKeepTheirTimesBlinkResetAndInhibit) {
    GuiRun gui;
    Views c(Alarm(1, "vis_mode=\"limit\" min_disp_time=\"120\"") +                                    // 0
            Alarm(2, "vis_mode=\"limit\" blink=\"slow\"") +                                           // 1
            Alarm(3, "vis_mode=\"limit_resetable\" auto_reset_time=\"1000\"") +                       // 2
            Alarm(4, "vis_mode=\"limit_resetable\" auto_reset_time=\"100\" retrigger_time=\"150\"") + // 3
            Alarm(5, "vis_mode=\"limit_resetable\" auto_reset_time=\"4294967295\"") +                 // 4
            Alarm(6, "vis_mode=\"limit\""));                                                          // 5
    EXPECT_EQ(dispMsToTicks(120), 3u);
    EXPECT_EQ(dispMsToTicks(4294967295u), 85899346u); // not wrapped to 0
    std::vector<std::unique_ptr<CDispBox>> v;
    gui.inGui([&] {
        for (int i = 0; i < 6; ++i) v.emplace_back(c.make<CDispBox>(i));
    });
    // Ticks with the visibility values; the active flags per tick.
    auto run = [&](CDispBox* b, const std::vector<int>& values) {
        std::string shown;
        gui.inGui([&] {
            for (int value : values) {
                Feed(b->getData(CDATA_VISIBILITY), uint8_t(value));
                b->update();
                shown += b->getViewIsActive() ? '1' : '0';
            }
        });
        return shown;
    };
    // Back to 0 during the minimum display: shown to the end of it, then gone in state 0.
    EXPECT_EQ(run(v[0].get(), {1, 0, 0, 0, 0}), "11110");
    EXPECT_EQ(v[0]->getState(), ALARM_IDLE);
    EXPECT_EQ(run(v[1].get(), std::vector<int>(32, 1)), "11111111000000001111111100000000");
    // Reset after 20 ticks; it does not come back while the page stays.
    EXPECT_EQ(run(v[2].get(), std::vector<int>(60, 1)), std::string(20, '1') + std::string(40, '0'));
    // Reset after 2 ticks, then 3 ticks of retrigger delay, then a new alarm.
    EXPECT_EQ(run(v[3].get(), {1, 1, 1, 1, 1, 1, 1}), "1100001");
    EXPECT_EQ(run(v[4].get(), {1, 1, 1}), "111");

    // The inhibit hides resettable alarms only; a new alarm ends it.
    display_trigger_inhibit_alarms();
    EXPECT_EQ(run(v[4].get(), {1}), "0");
    EXPECT_TRUE(v[4]->getAlarmStateHidden());
    EXPECT_EQ(run(v[0].get(), {1}), "1");
    EXPECT_EQ(display_get_alarm_hidden(), 0) << "the rising alarm cleared the inhibit";
    EXPECT_EQ(run(v[4].get(), {1}), "1");

    // A visibility channel that lost its value is an error.
    run(v[5].get(), {0});
    EXPECT_FALSE(v[5]->getError());
    v[5]->getData(CDATA_VISIBILITY)->setTimeout();
    EXPECT_TRUE(v[5]->getError());
    gui.inGui([&] { v.clear(); });
}

TEST(DisplayViews, BoxZonesFollowTheHysteresisAndLostValuesShowACross) {
    GuiRun gui;
    const std::string zones = disptest::BoxDeco("DecoLower", disptest::kLower, " Limit=\"10\" hyst=\"2\"") +
                              disptest::BoxDeco("DecoUpper", disptest::kUpper, " Limit=\"100\" hyst=\"5\"");
    Views c(Box(1, 100, 100, 200, 120, 0x10000200, "", 0, zones) + Box(2, 320, 100, 200, 120, 0x10000204) +
            Box(3, 100, 300, 200, 120, 0, "", 0, "", "SPEED"));
    GuiWindow* page = nullptr;
    CDispBox *zoned = nullptr, *plain = nullptr, *label = nullptr;
    gui.inGui([&] {
        page = new GuiWindow(kScreen, 1);
        zoned = c.make<CDispBox>(0, page);
        plain = c.make<CDispBox>(1, page);
        label = c.make<CDispBox>(2, page);
        for (CDispBox* b : {zoned, plain, label}) page->Add(b, 0);
        gui.pm()->Add(page, 1);
    });
    auto zoneAfter = [&](CDispBox* b, float value) {
        int32_t z = 0;
        gui.inGui([&] {
            Feed(b->getData(CDATA_VALUE), value);
            b->update();
            z = b->zone();
        });
        return z;
    };
    EXPECT_EQ(zoned->zone(), ZONE_NO_DATA);
    const struct {
        float value;
        int32_t zone;
    } steps[] = {{5, ZONE_LOWER},   {11.9f, ZONE_LOWER}, {12, ZONE_MIDDLE}, {9.9f, ZONE_LOWER},
                 {200, ZONE_UPPER}, {96, ZONE_UPPER},    {95, ZONE_MIDDLE}, {100.5f, ZONE_UPPER}};
    for (const auto& s : steps) EXPECT_EQ(zoneAfter(zoned, s.value), s.zone) << s.value;
    EXPECT_EQ(zoneAfter(plain, 1e6f), ZONE_MIDDLE) << "no upper decoration";
    EXPECT_STREQ(plain->text(), "1000000.0");
    gui.inGui([&] { label->update(); });
    gui.present();
    const GuiRect in = zoned->mClientRect;
    const int midY = (in.top + in.bottom) / 2;
    EXPECT_EQ(disptest::PanelPixels(in.left + 18, midY, in.left + 18, midY, disptest::kUpper.text).size(),
              1u);
    EXPECT_EQ(static_cast<GuiTextThing*>(label->FirstChild())->Text(), std::string("SPEED"));

    // The value times out: dimmed middle colours, a red cross, no text.
    gui.inGui([&] {
        zoned->getData(CDATA_VALUE)->setTimeout();
        zoned->update();
    });
    gui.present();
    EXPECT_EQ(zoned->zone(), ZONE_NO_DATA);
    EXPECT_EQ(disptest::PanelPixels(in.left + 1, in.top + 1, in.left + 1, in.top + 1, 0x202020).size(), 1u);
    EXPECT_EQ(disptest::PanelPixels(in.left + 18, midY, in.left + 18, midY, 0x000060).size(), 1u);
    EXPECT_FALSE(
        disptest::PanelPixels(in.left + 16, in.top + 16, in.right - 16, in.bottom - 16, 0xFF0000).empty());
    gui.inGui([&] {
        gui.pm()->Remove(page, 1);
        delete page;
    });
}

TEST(DisplayViews, BarEndsAreGoldenAndANaNCountsAsZero) {
    GuiRun gui;
    auto bar = [](int prio, const char* orientation, const char* min, const char* max) {
        std::string deco = "<BarGraphDeco style=\"none\">";
        for (const char* tag : {"BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol", "BarBGCol",
                                "BarFGCol", "TicksCol"})
            deco += disptest::Col(tag, 0x808080);
        deco += "</BarGraphDeco>";
        return "<BarGraph version=\"1\" title=\"\" vis_mode=\"always\" always_on_top=\"false\" prio=\"" +
               std::to_string(prio) +
               "\" pos_x=\"4\" pos_y=\"0\" size_x=\"233\" size_y=\"233\" style=\"solid\" "
               "orientation=\"" +
               orientation + "\" ticks=\"false\" min=\"" + min + "\" max=\"" + max + "\">" +
               disptest::Input("ChInput", 0x10000300) + "<DecoMiddle>" + deco + "</DecoMiddle></BarGraph>";
    };
    Views c(bar(1, "hori_lr", "0", "100") + bar(2, "hori_lr", "5", "5") + bar(3, "vert_bt", "0", "100"));
    std::vector<std::unique_ptr<CBarView>> v;
    gui.inGui([&] {
        for (int i = 0; i < 3; ++i) v.emplace_back(c.make<CBarView>(i));
    });
    ASSERT_EQ(v[0]->barArea().left, 20);
    ASSERT_EQ(v[0]->barArea().right, 220);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double value;
        int end;
    } golden[] = {{50, 120}, {150, 220}, {-10, 20}, {nan, 20}, {1e30, 220}};
    for (const auto& g : golden) EXPECT_EQ(v[0]->pixelOf(g.value), g.end) << g.value;
    EXPECT_EQ(v[1]->pixelOf(3), 20) << "min = max: the bar stays at its edge";
    EXPECT_EQ(v[1]->pixelOf(nan), 20);
    EXPECT_LT(v[2]->pixelOf(80), v[2]->pixelOf(20)) << "vert_bt grows upward";
    gui.inGui([&] { v.clear(); });
}

TEST(DisplayPage, ThirtyChangingBoxesShareTheChangeBudgetAndOverlappingAlarmsFormGroups) {
    GuiRun gui;
    std::string boxes;
    for (int i = 0; i < 30; ++i)
        boxes += Box(i + 1, (i % 6) * 100, (i / 6) * 90, 100, 90, 0x10000400u + 4u * i);
    // A overlaps B, B overlaps C, A not C; D overlaps nothing.
    const std::string alarms =
        Box(1, 0, 0, 100, 60, 0, "vis_mode=\"limit\" always_on_top=\"true\"", 0x10000500) +
        Box(2, 90, 0, 100, 60, 0, "vis_mode=\"limit\" always_on_top=\"true\"", 0x10000501) +
        Box(3, 180, 0, 100, 60, 0, "vis_mode=\"limit\" always_on_top=\"true\"", 0x10000502) +
        Box(4, 400, 300, 100, 60, 0, "vis_mode=\"limit\" always_on_top=\"true\"", 0x10000503);
    auto cfg =
        disptest::parseText(disptest::Document(disptest::Page(0x102030, boxes) + disptest::Page(0, alarms)));
    ASSERT_TRUE(cfg) << disptest::lastError();
    CDataManager manager;
    CDispPage* page = nullptr;
    CDispPage* overlay = nullptr;
    gui.inGui([&] {
        page = new CDispPage(0, 0, 640, 480, 0, &cfg->pages[0], &cfg->all_pages, &manager, nullptr);
        overlay = new CDispPage(0, 0, 640, 480, 1, &cfg->pages[1], &cfg->all_pages, &manager, nullptr);
    });
    ASSERT_EQ(overlay->groupCount(), 2u);
    EXPECT_EQ(overlay->groupMembers(0).size(), 3u);
    EXPECT_EQ(overlay->groupMembers(1).size(), 1u);

    auto feedAll = [&](float v) {
        for (int i = 0; i < 30; ++i) Feed(page->element(i)->getData(CDATA_VALUE), v);
    };
    auto tick = [&] {
        gui.inGui([&] { page->Message(GuiMakeMessage(GM_TIMER, page, nullptr, 0)); });
        SeramSigPage& s = seramSig();
        return std::make_pair(dispSigGet(s.display_elements_updated), dispSigGet(s.display_elements_skipped));
    };
    feedAll(1);
    gui.inGui([&] { page->SwitchedPage(); }); // ticked here, not by its timer
    EXPECT_EQ(tick(), std::make_pair(uint16_t(30), uint16_t(0))) << "right after the switch every view";
    feedAll(2);
    EXPECT_EQ(tick(), std::make_pair(uint16_t(21), uint16_t(10)));
    EXPECT_STREQ(static_cast<CDispBox*>(page->element(20))->text(), " 2.0");
    EXPECT_STREQ(static_cast<CDispBox*>(page->element(21))->text(), " 1.0");
    EXPECT_EQ(tick(), std::make_pair(uint16_t(9), uint16_t(0))) << "the next tick starts at the 22nd";
    EXPECT_STREQ(static_cast<CDispBox*>(page->element(29))->text(), " 2.0");
    gui.inGui([&] {
        delete page;
        delete overlay;
    });
}

TEST(DisplayPage, OverlappingAlarmsRotateAndTheResetAcknowledgesOncePerPress) {
    GuiRun gui;
    const std::string attrs = "vis_mode=\"limit_resetable\" always_on_top=\"true\"";
    auto cfg = disptest::parseText(disptest::Document(disptest::Page(
        0, Box(1, 0, 0, 100, 60, 0, attrs, 0x10000600) + Box(2, 50, 0, 100, 60, 0, attrs, 0x10000601))));
    ASSERT_TRUE(cfg) << disptest::lastError();
    CDataManager manager;
    awm_meas_in input{0x10000602, 0xFF, 0, 1, 0, 0, 0, 1, 1};
    auto* reset = new CData(&input);
    manager.addData(reset, 4);
    CDispPage* page = nullptr;
    gui.inGui([&] {
        page = new CDispPage(0, 0, 640, 480, 0, &cfg->pages[0], &cfg->all_pages, &manager, nullptr);
        page->SwitchedPage(); // ticked here, not by its timer
        DispChannelGuard lock;
        CDispPageChannels::reset_chan = reset;
    });
    CDataView* a = page->element(0);
    CDataView* b = page->element(1);
    auto ticks = [&](int n, uint8_t pressed) {
        for (int i = 0; i < n; ++i) {
            Feed(a->getData(CDATA_VISIBILITY), uint8_t(1));
            Feed(b->getData(CDATA_VISIBILITY), uint8_t(1));
            Feed(reset, pressed);
            gui.inGui([&] { page->Message(GuiMakeMessage(GM_TIMER, page, nullptr, 0)); });
        }
    };
    ticks(1, 0);
    CDataView* front = static_cast<CDataView*>(page->FirstChild());
    ASSERT_TRUE(front == a || front == b);
    EXPECT_EQ(page->resetElement(), front);
    ticks(13, 0);
    EXPECT_EQ(page->FirstChild(), front);
    ticks(1, 0);
    CDataView* other = front == a ? b : a;
    EXPECT_EQ(page->FirstChild(), other) << "the next one in the 15th tick";
    EXPECT_EQ(page->resetElement(), other);
    // A press acknowledges the one in front in its fourth tick; holding it does nothing more.
    ticks(4, 1);
    EXPECT_EQ(other->getState(), ALARM_ACTIVE);
    ticks(1, 1);
    EXPECT_EQ(other->getState(), ALARM_ACKNOWLEDGED);
    ticks(30, 1);
    EXPECT_EQ(front->getState(), ALARM_ACTIVE);
    ticks(1, 0);
    ticks(5, 1);
    EXPECT_EQ(front->getState(), ALARM_ACKNOWLEDGED);
    gui.inGui([&] {
        DispChannelGuard lock;
        CDispPageChannels::reset_chan = nullptr;
        delete page;
    });
}

TEST(DisplayPictures, ImagesAreSharedPartsPastTheFileEndAreRefusedAndMissingOnesShowACross) {
    testsupport::TempDeviceRoot root;
    syslog_init(0);
    testsupport::drainSyslog();
    const std::string pics = testsupport::readFile(testsupport::testdataPath("png/basn2c08.png")) +
                             testsupport::readFile(testsupport::testdataPath("png/basn6a08.png"));
    testsupport::makeDirs(root.file("cfg"));
    testsupport::writeFile(root.file("cfg/pics.bin"), pics);
    auto picture = [](int prio, const char* file, const char* ofs, const char* len, const char* style,
                      int x) {
        return "<Picture version=\"1\" title=\"\" vis_mode=\"always\" always_on_top=\"false\" prio=\"" +
               std::to_string(prio) + "\" pos_x=\"" + std::to_string(x) +
               "\" pos_y=\"0\" size_x=\"64\" "
               "size_y=\"64\" filename=\"" +
               file + "\" ofs=\"" + ofs + "\" len=\"" + len + "\">" + disptest::Col("TransparentCol", 0) +
               "<DecoMiddle><PictureDeco style=\"" + style + "\">" + disptest::Col("BGCol", 0) +
               disptest::Col("TitleBGCol", 0) + disptest::Col("TitleFGCol", 0) +
               disptest::Col("BorderBGCol", 0x8040C0) + disptest::Col("BorderFGCol", 0xFFFFFF) +
               "</PictureDeco></DecoMiddle></Picture>";
    };
    GuiRun gui;
    Views c(picture(1, "cfg:/pics.bin", "0", "91", "single_line", 0) +
            picture(2, "cfg:/pics.bin", "0", "91", "none", 70) +
            picture(3, "cfg:/pics.bin", "91", "B8", "none", 140) +
            picture(4, "cfg:/pics.bin", "100", "100", "none", 210) +
            picture(5, "cfg:/absent.bin", "0", "10", "single_line", 280));
    std::unique_ptr<CImageContainer> images;
    std::vector<std::unique_ptr<CPicture>> v;
    gui.inGui([&] {
        images = std::make_unique<CImageContainer>(c.cfg.get());
        for (int i = 0; i < 5; ++i)
            v.emplace_back(
                new CPicture(kScreen, c.elem(i), images->getImage(&c.elem(i)->picture), nullptr, 1));
    });
    const std::vector<std::string> log = testsupport::drainSyslog();
    EXPECT_EQ(
        testsupport::countContaining(log, "CImageContainer: could not read picture cfg:/pics.bin 256 73"), 1);
    EXPECT_EQ(testsupport::countContaining(log, "CImageContainer: successfully converted 2 pictures"), 1);
    EXPECT_NE(images->getImage(&c.elem(0)->picture), nullptr);
    EXPECT_EQ(images->getImage(&c.elem(0)->picture), images->getImage(&c.elem(1)->picture)) << "decoded once";
    EXPECT_EQ(images->getImage(&c.elem(3)->picture), nullptr);
    EXPECT_EQ(images->getImage(&c.elem(4)->picture), nullptr);

    auto px = [](const GuiBitmap* b, int x, int y) {
        return reinterpret_cast<const uint32_t*>(b->data)[y * b->width + x];
    };
    const GuiBitmap* rgb = images->getImage(&c.elem(0)->picture);
    const uint8_t* first = rgb->data;
    const uint32_t firstWord = (uint32_t(first[0]) << 16) | (uint32_t(first[1]) << 8) | first[2];
    EXPECT_EQ(px(v[0]->composed(), 16, 16), firstWord) << "style 1: inside its frame at (16, 16)";
    EXPECT_EQ(px(v[0]->composed(), 5, 5), 0xFFFFFFu);
    EXPECT_EQ(px(v[1]->composed(), 0, 0), firstWord) << "style 0: at (0, 0)";
    EXPECT_TRUE(v[2]->composed()->flags & GUI_BMP_TRANSPARENT) << "alpha image over the page";
    EXPECT_EQ(px(v[2]->composed(), 63, 63), 1u) << "outside the image: transparent";
    // Without its image: dimmed frame and border, a red cross inside the inset.
    EXPECT_EQ(px(v[4]->composed(), 0, 0), 0x402060u);
    EXPECT_EQ(px(v[4]->composed(), 5, 5), 0x7F7F7Fu);
    EXPECT_EQ(px(v[4]->composed(), 16, 17), 0xFF0000u);
    gui.inGui([&] {
        v.clear();
        images.reset();
    });
}
