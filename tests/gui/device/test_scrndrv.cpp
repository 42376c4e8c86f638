#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "framework/syslog.h"
#include "gui/device/scrndrv.h"
#include "guiharness.h"
#include "platform/board/display_hw.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/syslogq.h"
#include "testsupport.h"

namespace {

std::vector<std::string> DrainLog() { return testsupport::drainSyslog(); }

int CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return testsupport::countContaining(lines, text);
}

uint32_t& Fb(int x, int y) {
    return displayhw_frameBuffer()[y * DISPLAY_FB_WIDTH + x];
}

void Pattern() {
    for (int y = 0; y < DISPLAY_FB_HEIGHT; ++y)
        for (int x = 0; x < DISPLAY_FB_WIDTH; ++x)
            Fb(x, y) = (x < 640) ? ((x / 64) * 0x111111u) ^ (y / 60) : 0xDEAD;
}

std::string HostPath(const char* devicePath) {
    std::string host;
    EXPECT_TRUE(devpath_toHost(devicePath, &host));
    return host;
}

struct DumpFile {
    uint32_t pal, runs, data;
    std::vector<uint32_t> palette;
    std::vector<uint16_t> lengths;
};

DumpFile ParseDump(const std::string& bytes) {
    DumpFile d{};
    EXPECT_GE(bytes.size(), 12u);
    std::memcpy(&d.pal, bytes.data(), 4);
    std::memcpy(&d.runs, bytes.data() + 4, 4);
    std::memcpy(&d.data, bytes.data() + 8, 4);
    EXPECT_EQ(bytes.size(), 12 + 4ull * d.pal + 2ull * d.runs + d.data);
    d.palette.resize(d.pal);
    d.lengths.resize(d.runs);
    std::memcpy(d.palette.data(), bytes.data() + 12, 4ull * d.pal);
    std::memcpy(d.lengths.data(), bytes.data() + 12 + 4ull * d.pal, 2ull * d.runs);
    return d;
}

class ScrnDrv : public ::testing::Test {
protected:
    void SetUp() override {
        displayhw_reset();
        ASSERT_TRUE(syslog_init(0));
        DrainLog();
    }
    testsupport::TempDeviceRoot root;
};

} // namespace

TEST_F(ScrnDrv, FlushPresentsTheVisibleAreaAndCountsFrames) {
    Pattern();
    const uint64_t frames = displayhw_frameCount();
    scrndrvFlush();
    scrndrvWaitFlush();
    EXPECT_EQ(displayhw_frameCount(), frames + 1);
    const std::vector<uint32_t> panel = displayhw_panelImage();
    ASSERT_EQ(panel.size(), 640u * 480u);
    for (int y = 0; y < 480; y += 7)
        for (int x = 0; x < 640; x += 3) ASSERT_EQ(panel[y * 640 + x], Fb(x, y));
    EXPECT_EQ(CountContaining(DrainLog(), "scrndrv"), 0);

    // The device screen hands its frames over the same way.
    guitest::Harness h;
    GuiThing::mpScreen->FlushScreen();
    GuiThing::mpScreen->WaitFlushFinish();
    EXPECT_EQ(displayhw_frameCount(), 1u); // the harness starts from a clean controller
    // The panel image can be saved for a look from outside.
    const std::string ppm = root.file("panel.ppm");
    ASSERT_TRUE(displayhw_savePanel(ppm));
    EXPECT_EQ(testsupport::readFile(ppm).size(), 15u + 640u * 480u * 3u);
}

TEST_F(ScrnDrv, LayerWordsAndTheFloodRuleForBadLayers) {
    scrndrvLayerEnable(1);
    EXPECT_EQ(*displayhw_layerControl(1), 3u);
    EXPECT_EQ(*static_cast<uint32_t*>(displayhw_map(0x400101B8, 4)), 3u);
    scrndrvLayerEnable(4);
    EXPECT_EQ(*static_cast<uint32_t*>(displayhw_map(0x40010338, 4)), 3u);
    scrndrvLayerDisable(1);
    EXPECT_EQ(*displayhw_layerControl(1), 0u);
    *displayhw_saturation() = 0x55;
    for (int i = 0; i < 20; ++i) scrndrvLayerEnable(5);
    scrndrvLayerDisable(-1);
    for (int l = 0; l < DISPLAY_LAYERS; ++l) EXPECT_EQ(*displayhw_layerControl(l), l == 4 ? 3u : 0u);
    EXPECT_EQ(*displayhw_saturation(), 0x55u);
    EXPECT_EQ(displayhw_layerControl(5), nullptr);
    const auto log = DrainLog();
    EXPECT_EQ(CountContaining(log, "scrndrvLayerEnable(): unexpected layer 5"), 13);
    EXPECT_EQ(CountContaining(log, "Flooding suspicion"), 1);
    EXPECT_EQ(CountContaining(log, "scrndrvLayerDisable(): unexpected layer -1"), 1);
}

TEST_F(ScrnDrv, OneColourScreenDumpsAsOnePaletteEntryAndNoData) {
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) Fb(x, y) = 0x00336699;
    ASSERT_EQ(scrndrvDumpImg("cfg:/one.scrn"), 0);
    const DumpFile d = ParseDump(testsupport::readFile(HostPath("cfg:/one.scrn")));
    EXPECT_EQ(d.pal, 1u);
    EXPECT_EQ(d.data, 0u);
    ASSERT_EQ(d.palette.size(), 1u);
    EXPECT_EQ(d.palette[0], 0x00336699u);
    uint32_t total = 0;
    for (uint16_t n : d.lengths) {
        EXPECT_LE(n, 65535);
        total += n;
    }
    EXPECT_EQ(total, 640u * 480u);
    EXPECT_EQ(d.runs, 5u);
    const auto log = DrainLog();
    EXPECT_EQ(CountContaining(log, "Dumping screen: 1 pal, 5 run, 0 data, 0 bits"), 1);
}

TEST_F(ScrnDrv, DumpedScreenLoadsBackIntoTheFrameBuffer) {
    Pattern();
    ASSERT_EQ(scrndrvDumpImg("meas:/screen.scrn"), 0);
    const DumpFile d = ParseDump(testsupport::readFile(HostPath("meas:/screen.scrn")));
    EXPECT_EQ(d.pal, 80u); // 10 column bands x 8 row bands
    displayhw_reset();
    const uint64_t frames = displayhw_frameCount();
    ASSERT_EQ(scrndrvLoadImg("meas:/screen.scrn"), 0);
    EXPECT_EQ(displayhw_frameCount(), frames + 1);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            ASSERT_EQ(Fb(x, y), (((x / 64) * 0x111111u) ^ (y / 60)) | 0xFF000000u) << x << "," << y;
    EXPECT_EQ(Fb(640, 0), 0u); // nothing outside the visible area
    EXPECT_EQ(CountContaining(DrainLog(), "Loading screen dump: 80 pal"), 1);
}

TEST_F(ScrnDrv, DumpsInMemoryAreCheckedAgainstTheirRange) {
    alignas(4) uint8_t mem[64] = {};
    scrn_dump_t d{};
    EXPECT_EQ(scrndrvInitDumpByMem(&d, mem, mem + 11), 0);
    EXPECT_EQ(scrndrvInitDumpByMem(nullptr, mem, mem + 20), 0);
    EXPECT_EQ(scrndrvInitDumpByMem(&d, mem + 20, mem), 0);
    const uint32_t counts[3] = {2, 3, 1};
    std::memcpy(mem, counts, 12);
    EXPECT_EQ(scrndrvInitDumpByMem(&d, mem, mem + 12 + 8 + 6), 0); // one data byte short
    ASSERT_EQ(scrndrvInitDumpByMem(&d, mem, mem + 12 + 8 + 6 + 1), 1);
    EXPECT_EQ(d.palCount, 2u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(d.palette), mem + 12);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(d.runs), mem + 20);
    EXPECT_EQ(d.data, mem + 26);
    // Counts near 2^32 cannot wrap the size check.
    const uint32_t huge[3] = {0x40000000, 0x80000000, 0xFFFFFFF0};
    std::memcpy(mem, huge, 12);
    EXPECT_EQ(scrndrvInitDumpByMem(&d, mem, mem + sizeof mem), 0);
    EXPECT_EQ(scrndrvGetColorIdx(3, 4, reinterpret_cast<const uint8_t*>("\xA8\x01")), 0x5u);
    EXPECT_EQ(scrndrvGetColorIdx(6, 3, reinterpret_cast<const uint8_t*>("\xC0\x01")), 0x7u);
}

TEST_F(ScrnDrv, DamagedDumpsAreRefusedBeforeAnythingIsDrawn) {
    Fb(0, 0) = 0x123456;
    uint32_t palette[2] = {0x111111, 0x222222};
    uint16_t runs[2] = {10, 10};
    uint8_t data[1] = {0x02}; // second index is 1: fine; make it point past the palette below
    scrn_dump_t d{2, 2, 1, palette, runs, data, 0};
    uint8_t bad[1] = {0x03};
    d.palCount = 1;
    d.data = bad; // b = 0 with P = 1: fine, everything is colour 0
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    EXPECT_EQ(Fb(0, 0), 0xFF111111u);
    Fb(0, 0) = 0x123456;
    scrn_dump_t e{3, 2, 1, palette, runs, bad, 0}; // 2-bit indices 3 and 0: 3 has no colour
    EXPECT_EQ(scrndrvDrawImg(&e), -1);
    EXPECT_EQ(Fb(0, 0), 0x123456u);
    scrn_dump_t f{4, 5, 1, palette, runs, bad, 0}; // 5 runs of 2 bits need 2 bytes
    EXPECT_EQ(scrndrvDrawImg(&f), -1);
    scrn_dump_t g{0, 0, 0, palette, runs, bad, 0};
    EXPECT_EQ(scrndrvDrawImg(&g), -1);
    EXPECT_EQ(scrndrvDrawImg(nullptr), -1);
    EXPECT_EQ(Fb(0, 0), 0x123456u);

    // A file whose counts promise more than it holds is refused before any allocation.
    const uint32_t counts[3] = {1000000, 1000000, 1000000};
    std::string file(reinterpret_cast<const char*>(counts), 12);
    file += std::string(100, '\0');
    testsupport::writeFile(HostPath("cfg:/bad.scrn"), file);
    scrn_dump_t r{};
    EXPECT_EQ(scrndrvReadDump("cfg:/bad.scrn", &r), -1);
    EXPECT_EQ(r.palette, nullptr);
    testsupport::writeFile(HostPath("cfg:/short.scrn"), "abc");
    EXPECT_EQ(scrndrvReadDump("cfg:/short.scrn", &r), -1);
    EXPECT_EQ(scrndrvReadDump("cfg:/missing.scrn", &r), -1);
    EXPECT_EQ(scrndrvReadDump("cfg:/x", nullptr), -1);
    EXPECT_EQ(scrndrvLoadImg("cfg:/missing.scrn"), -1);
    EXPECT_EQ(scrndrvWriteDump("/etc/outside.scrn", &d), -1); // not a device path
    const auto log = DrainLog();
    EXPECT_EQ(CountContaining(log, "scrndrvDrawImg(): damaged screen dump"), 4);
    EXPECT_EQ(CountContaining(log, "scrndrvReadDump(): cant open file, cfg:/missing.scrn"), 2);
    EXPECT_EQ(CountContaining(log, "scrndrvLoadImg(): Failed to read dump file"), 1);
    EXPECT_EQ(CountContaining(log, "scrndrvWriteDump(): file write open err, /etc/outside.scrn"), 1);
    EXPECT_EQ(CountContaining(log, "shorter than its counts"), 2);
}

TEST_F(ScrnDrv, BootLogoFromTheDeviceRootIsShownOnceAndLayerOneEnabled) {
    void* logo = nullptr;
    int size = -1;
    if (!std::ifstream(displayhw_bootLogoPath()).good()) {
        scrndrvInit(); // no logo in this device root
        scrndrvGetBootLogo(&logo, &size);
        if (!logo) {
            EXPECT_EQ(size, 0);
            EXPECT_GE(CountContaining(DrainLog(), "scrndrvInit(): syscall getBootLogoSize returns error"), 1);
        }
    }
    // The repository's boot logo: a dark screen with a title and a red and amber bar.
    const std::string bytes = testsupport::readFile(testsupport::testdataPath("gui/bootlogo.scrn"));
    ASSERT_GT(bytes.size(), 12u);
    testsupport::writeFile(displayhw_bootLogoPath(), bytes);
    displayhw_reset();
    scrndrvInit();
    scrndrvGetBootLogo(&logo, &size);
    if (size != static_cast<int>(bytes.size()))
        GTEST_SKIP() << "the boot logo was read earlier in this process";
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(std::memcmp(logo, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(Fb(5, 5), 0xFF101418u);
    EXPECT_EQ(Fb(300, 303), 0xFFE03020u);
    EXPECT_EQ(Fb(300, 309), 0xFFF0A020u);
    EXPECT_EQ(Fb(639, 479), 0xFF101418u);
    EXPECT_EQ(*displayhw_layerControl(1), 3u);
    EXPECT_EQ(displayhw_frameCount(), 1u);
    const uint64_t frames = displayhw_frameCount();
    scrndrvInit(); // once only
    EXPECT_EQ(displayhw_frameCount(), frames);
}
