// The real process with its display: the GUI comes up with the backlight; without a display
// configuration the boot logo stays; the sample device root's display.xml is shown with live
// values, zone colours, an absent device's cross and its pictures, in BMP dumps read by PIL; pages
// follow the shell and the page input, and the page survives a restart; failed display commands
// answer a non-zero value.
#include "app_process.h"
#include "imagetools.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kDumpBytes = 1228854; // 54-byte header and 640 x 480 pixels of 32 bits

// The screen as the shell's dump writes it, read back by PIL.
struct Shot {
    std::vector<uint32_t> rgb;
    uint32_t at(int x, int y) const { return rgb.empty() ? 0xFFFFFFFFu : rgb[size_t(y) * 640 + x]; }
    bool hasNear(int x, int y, int r, uint32_t colour) const {
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx)
                if (at(x + dx, y + dy) == colour) return true;
        return false;
    }
};

Shot Dump(testsupport::AppProcess& app, const std::string& root) {
    Shot s;
    const std::string file = root + "/c/screen.bmp";
    std::remove(file.c_str());
    app.shell("display bmpdump c:/screen.bmp");
    if (testsupport::readBinary(file).size() != kDumpBytes) return s;
    int w = 0, h = 0;
    if (!testsupport::pilReadRgb(file, &w, &h, &s.rgb) || w != 640 || h != 480) s.rgb.clear();
    return s;
}

// Dumps until the pixel has the colour (the display draws on its own ticks).
bool ShowsAt(testsupport::AppProcess& app, const std::string& root, int x, int y, uint32_t colour,
             Shot* last) {
    return testsupport::waitUntil(
        [&] {
            *last = Dump(app, root);
            return last->at(x, y) == colour;
        },
        15000);
}

const std::string kPageInput =
    "  <PageInput adr=\"100404C2\" type=\"UINT16\" mask=\"FFFF\" quant_a=\"0\" quant_b=\"1\" "
    "quant_c=\"0\" quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>\n";

} // namespace

TEST(DisplayE2E, TheProcessStartsWithItsGuiUpAndBacklightOnAndWithoutConfigurationKeepsTheBootLogo) {
    testsupport::TempDir root;
    testsupport::AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    std::string board;
    // The backlight, output 5 and layer 1 follow once the GUI task has built its windows.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            board = app.shell("board");
            return board.find("pwm 0: 95.0 % at 1000.0 Hz") != std::string::npos &&
                   board.find("digital outputs: 0 0 0 0 0 1 0") != std::string::npos &&
                   board.find("display layers : 0 3 0 0 0") != std::string::npos;
        },
        30000))
        << board;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return app.logText().find("reading of display control file failed") != std::string::npos; },
        10000));
    const std::string log = app.logText();
    EXPECT_NE(log.find("<155>"), std::string::npos);
    EXPECT_NE(log.find("MainContainer::setupMeas - XML:File not found !"), std::string::npos) << log;
    if (!testsupport::pilPython().empty()) {
        const Shot logo = Dump(app, root.path());
        EXPECT_EQ(logo.at(160, 120), 0xFF0000u); // a start light
        EXPECT_EQ(logo.at(8, 216), 0x000000u);   // the chequered band
        EXPECT_EQ(logo.at(24, 216), 0xFFFFFFu);
        EXPECT_EQ(logo.at(300, 400), 0x555555u); // the grey ramp
    }
    app.shell("reset");
    EXPECT_EQ(app.waitExit(), 0) << app.stderrText();
    EXPECT_NE(app.logText().find("postrun: stopping display"), std::string::npos);
}

TEST(DisplayE2E, SampleRootShowsLiveValuesZonesAbsentDevicesPicturesAndKeepsItsPage) {
    if (testsupport::pilPython().empty() || testsupport::pngtopamPath().empty())
        GTEST_SKIP() << "python3-pil and netpbm are needed";
    testsupport::TempDir root;
    const std::string sample = testsupport::sourceDir() + "/sample-root/cfg/";
    const std::string xml = testsupport::readFile(sample + "display.xml");
    const std::vector<uint8_t> pics = testsupport::readBinary(sample + "pics.bin");
    testsupport::makeDirs(root.file("cfg"));
    testsupport::writeFile(root.file("cfg/display.xml"), xml);
    testsupport::writeFile(root.file("cfg/pics.bin"), std::string(pics.begin(), pics.end()));
    // The two pictures as netpbm decodes them.
    std::vector<uint32_t> rgbPicture, alphaPicture;
    int w = 0, h = 0;
    testsupport::writeFile(root.file("rgb.png"), std::string(pics.begin(), pics.begin() + 0x91));
    testsupport::writeFile(root.file("alpha.png"),
                           std::string(pics.begin() + 0x91, pics.begin() + 0x91 + 0xB8));
    ASSERT_TRUE(testsupport::netpbmDecode(root.file("rgb.png"), &w, &h, &rgbPicture));
    ASSERT_TRUE(testsupport::netpbmDecode(root.file("alpha.png"), &w, &h, &alphaPicture));
    ASSERT_EQ(w, 32);

    Shot s;
    {
        testsupport::AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        ASSERT_TRUE(ShowsAt(app, root.path(), 300, 400, 0x102040, &s)) << app.logText(); // page 1
        EXPECT_EQ(testsupport::readBinary(root.file("c/screen.bmp")).size(), kDumpBytes);
        ASSERT_TRUE(ShowsAt(app, root.path(), 40, 110, 0x005000, &s)); // LAP: middle zone
        EXPECT_EQ(s.at(441, 21), 0x404040u);           // REMOTE (PID 0x30, absent): dimmed border
        EXPECT_EQ(s.at(530, 50), 0x003060u);           // and dimmed inner area
        EXPECT_TRUE(s.hasNear(530, 75, 3, 0xFF0000u)); // and the red cross
        int wrong = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                const uint32_t c = rgbPicture[size_t(y) * 32 + x], a = alphaPicture[size_t(y) * 32 + x];
                wrong += s.at(456 + x, 166 + y) != c >> 8; // inside its frame
                wrong += s.at(530 + x, 160 + y) != ((a & 0xFF) > 127 ? a >> 8 : 0x102040u); // over the page
            }
        EXPECT_EQ(wrong, 0);
        // Brightness step 1 of 10, 50, 100 % without a stored step: 0.2 % backlight.
        EXPECT_TRUE(testsupport::waitUntil(
            [&] { return app.shell("board").find("pwm 0: 0.2 % at 1000.0 Hz") != std::string::npos; },
            10000));

        app.shell("lof_set 7 1"); // above the upper decoration at 5
        EXPECT_TRUE(ShowsAt(app, root.path(), 40, 110, 0xC00000, &s));
        // A failed display command answers a non-zero value; the page switch last of all is done.
        const struct {
            const char* line;
            bool done;
        } commands[] = {
            {"display page 7", false}, // the configuration has pages 0 to 2
            {"display bmpdump c:/missing/screen.bmp", false},
            {"display pages", false},
            {"display page 1", true},
        };
        for (const auto& c : commands) {
            const std::string out = app.shell(c.line);
            const size_t value = out.rfind("value = ");
            ASSERT_NE(value, std::string::npos) << c.line << ": " << out;
            EXPECT_EQ(std::atoi(out.c_str() + value + 8) == 0, c.done) << c.line << ": " << out;
        }
        EXPECT_TRUE(ShowsAt(app, root.path(), 300, 400, 0x401030, &s)); // page 2
        app.shell("reset");
        ASSERT_EQ(app.waitExit(), 0);
    }
    {
        // The page follows the outing counter and is stored.
        std::string withInput = xml;
        withInput.insert(withInput.find("  <VerbTabs>"), kPageInput);
        testsupport::writeFile(root.file("cfg/display.xml"), withInput);
        testsupport::AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell());
        ASSERT_TRUE(ShowsAt(app, root.path(), 300, 400, 0x102040, &s));
        app.shell("lof_set 1 3");
        EXPECT_TRUE(ShowsAt(app, root.path(), 300, 400, 0x104040, &s)); // page 3
        app.shell("reset");
        ASSERT_EQ(app.waitExit(), 0);
    }
    {
        testsupport::writeFile(root.file("cfg/display.xml"), xml);
        testsupport::AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell());
        EXPECT_TRUE(ShowsAt(app, root.path(), 300, 400, 0x104040, &s)); // page 3 again, from NV record 8
        app.shell("reset");
        EXPECT_EQ(app.waitExit(), 0);
    }
}
