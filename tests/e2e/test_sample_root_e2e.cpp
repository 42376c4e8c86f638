// The sample device root as run.sh prepares it, on the real executable and nothing else: the
// replayed lap of the Red Bull Ring is timed by the device as its own lap-trigger master, the
// measurement file is cut at the lap, and the display shows the lap time and the best lap, both
// dimmed and blank until the lap has ended.
#include "app_process.h"
#include "imagetools.h"
#include "measfile.h"
#include "netns.h"
#include "testsupport.h"

#include "../gui/glyphs.h"
#include "display/fonts/vektafonts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

// The lap of sample-root/gps/redbullring-lap.nmea by its fix times: the car passes the start/finish
// point 5.197 s after the first fix (between the fixes of 5.0 and 5.2 s) and again at 107.627 s
// (between 107.6 and 107.8 s), each where the straight between two fixes passes the point.
constexpr double kTraceLapSeconds = 102.430;

using Pixels = std::set<std::pair<int, int>>;

// The pixels moved so that the lowest x and y are 0.
Pixels Normalised(const Pixels& in) {
    int x0 = 1 << 20, y0 = 1 << 20;
    for (const auto& [x, y] : in) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
    }
    Pixels out;
    for (const auto& [x, y] : in) out.insert({x - x0, y - y0});
    return out;
}

// The white text inside the box whose text area has the colour `area` on a 640 x 480 dump, below
// the box's title (white on 0x202020), which reaches into the area.
Pixels BoxText(const std::vector<uint32_t>& rgb, uint32_t area) {
    auto at = [&](int x, int y) { return rgb[size_t(y) * 640 + x]; };
    int x0 = 640, y0 = 480, x1 = -1, y1 = -1;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            if (at(x, y) == area) {
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            }
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (at(x, y) == 0x202020) y0 = y + 1;
    Pixels out;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (at(x, y) == 0xFFFFFF) out.insert({x, y});
    return Normalised(out);
}

// mm:ss:hh of a time in hundredths, as the display's lap time mode writes it.
std::string Clock(int hundredths) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", hundredths / 6000, hundredths / 100 % 60,
                  hundredths % 100);
    return text;
}

bool HasFileOf(const std::string& dir, int outing, int lap) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "A%02x%02x", outing, lap);
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) return true;
    return false;
}

// The sample's device root as run.sh makes it.
bool Prepared(const TempDir& root) {
    const std::string prepare = sourceDir() + "/scripts/prepare-root.sh " + root.path() + " " + buildDir() +
                                "/tools/caldata/vcconfig >" + root.file("prepare.txt") + " 2>&1";
    const int status = std::system(prepare.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(SampleRootE2E, TheReplayedLapIsTimedCutsTheFileAndIsShown) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a lap of real time runs once, not again under ThreadSanitizer";
#endif
    if (pilPython().empty()) GTEST_SKIP() << "python3-pil is needed";
    NetNamespace net; // the lap messages go to the CI multicast group
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    ASSERT_TRUE(Prepared(root)) << readFile(root.file("prepare.txt"));

    // The replay never runs ahead of its fix times: the first crossing cannot come sooner than
    // 5.2 s after the start.
    const auto started = std::chrono::steady_clock::now();
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    // Until the first lap ends there is no last and no best lap: both boxes are dimmed and blank,
    // with no placeholder text. Judged on page 0 as soon as it is shown, before the crossing.
    {
        std::vector<uint32_t> rgb;
        auto at = [&](int x, int y) { return rgb[size_t(y) * 640 + x]; };
        bool beforeCrossing = false;
        ASSERT_TRUE(waitUntil(
            [&] {
                std::remove(root.file("c/first.bmp").c_str());
                dev.shell("display bmpdump c:/first.bmp");
                const bool early = std::chrono::steady_clock::now() - started < std::chrono::seconds(5);
                beforeCrossing = early || loggedLaps(dev.logText()).empty();
                int w = 0, h = 0;
                if (!pilReadRgb(root.file("c/first.bmp"), &w, &h, &rgb) || w != 640 || h != 480) rgb.clear();
                // Page 0: the LAP box's middle zone and the LAST LAP box's title.
                return !rgb.empty() && at(40, 110) == 0x005000u && at(210, 280) == 0x202020u;
            },
            20000))
            << "page 0 is not shown: " << dev.logText();
        ASSERT_TRUE(beforeCrossing) << "the first crossing came before page 0 was shown: the boxes' blank "
                                       "state before the first lap ends cannot be judged";
        int lit = 0;
        for (int y = 290; y < 350; ++y)
            for (int x : {40, 350})
                for (int dx = 0; dx < 250; ++dx) lit += at(x + dx, y) != 0;
        EXPECT_EQ(lit, 0) << "LAST LAP or BEST LAP shows something before the first lap ends";
        EXPECT_EQ(at(25, 265), 0x808080u) << "the LAST LAP box is not dimmed";
        EXPECT_EQ(at(335, 265), 0x808080u) << "the BEST LAP box is not dimmed";
    }
    const std::string detected =
        "gps_trackdet_task: detected bc only track in range:  47.219921  14.764875,   4279.9 id:1";
    ASSERT_TRUE(waitUntil([&] { return dev.logText().find(detected) != std::string::npos; }, 20000))
        << dev.logText();
    // The start/finish line at 5.2 s of the trace starts the lap, the one at 107.6 s ends it.
    std::vector<LoggedLap> laps;
    ASSERT_TRUE(waitUntil([&] { return (laps = loggedLaps(dev.logText())).size() >= 2; }, 180000))
        << dev.logText();
    const LoggedLap& lap = laps[1];
    // The crossings are found from the fixes' own times, whenever the host ran the lap model.
    std::printf("lap %.2f s, the trace's %.3f s\n", lap.laptime, kTraceLapSeconds);
    EXPECT_NEAR(lap.laptime, kTraceLapSeconds, 0.05);

    // The file of the lap that ended is closed read-only and the next is named by the new counters.
    EXPECT_TRUE(waitUntil([&] { return HasFileOf(root.file("meas"), lap.outing, lap.lap); }, 15000));
    EXPECT_TRUE(HasFileOf(root.file("meas"), lap.outing, lap.lap - 1));

    // Page 1 shows the last and the best lap, both this lap (the lap before it started at the
    // start-up). The display writes the time rounded, the log cut to the hundredth.
    VektaFonts_ini();
    std::set<Pixels> shown;
    const int inHundredths = int(std::lround(lap.laptime * 100));
    for (int h : {inHundredths, inHundredths + 1})
        shown.insert(Normalised(guitest::Glyphs(&VektaNormal, Clock(h).c_str(), 0, 0)));
    Pixels last, best;
    const bool showsLap = waitUntil(
        [&] {
            std::remove(root.file("c/lap.bmp").c_str());
            dev.shell("display bmpdump c:/lap.bmp");
            std::vector<uint32_t> rgb;
            int w = 0, h = 0;
            if (!pilReadRgb(root.file("c/lap.bmp"), &w, &h, &rgb) || w != 640 || h != 480) return false;
            last = BoxText(rgb, 0x000060);
            best = BoxText(rgb, 0x600060);
            return shown.count(last) && shown.count(best);
        },
        15000);
    EXPECT_TRUE(showsLap) << "the boxes do not show " << Clock(inHundredths) << ": " << last.size() << " and "
                          << best.size() << " white pixels";

    EXPECT_EQ(countOf(dev.logText(), "meas_app_check_silence()"), 0) << "the device's own values come";
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

// Held back for most of a second as the car nears the line, the process catches up on its ticks: the
// lap model's late steps take no fix that came after their time. Held back for longer, it loses the
// records of the ticks the clock drops, and names them.
TEST(SampleRootE2E, AProcessHeldBackKeepsTheOutLapAndNamesTheRecordsItLost) {
    NetNamespace net; // the lap messages go to the CI multicast group
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    ASSERT_TRUE(Prepared(root)) << readFile(root.file("prepare.txt"));
    AppProcess dev(root.path(), {"0"});
    double opened = -1, started = -1; // the first fix; the lap model's first update, after its start
    ASSERT_TRUE(waitUntil(
        [&] {
            opened = loggedStamp(dev.logText(), "gps_intf_open() fOpened '/tyCo/1'");
            started = loggedStamp(dev.logText(), "Received Laptrigger Update. Outing 2, Lap 1");
            return opened >= 0 && started >= 0;
        },
        20000))
        << dev.logText();
    const auto hold = [&](int ms) {
        dev.signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        dev.signal(SIGCONT);
    };
    // From 0.75 s before the line until the fix 0.2 s before it has come (stamps of the monotonic clock).
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(opened + 4.45))));
    hold(950);
    std::vector<LoggedLap> laps;
    ASSERT_TRUE(waitUntil([&] { return !(laps = loggedLaps(dev.logText())).empty(); }, 20000))
        << dev.logText();
    // No step sees the crossing, 5.197 s into the trace, before the fix past it has come.
    EXPECT_GE(laps[0].laptime, opened + 5.197 - started - 0.02) << dev.logText();

    hold(1200);
    const auto logged = [&](const char* text) { return countOf(dev.logText(), text) > 0; };
    EXPECT_TRUE(waitUntil(
        [&] { return logged("ms of base ticks were dropped") && logged("Raster 1ms, PID 0x10: "); }, 20000))
        << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

// A host that holds the process back loses no crossing and takes no time from a lap: the crossing is
// found from the receiver's fixes, each at its own time, however late they came and whatever passes
// the clock dropped. One run of the sample's lap, held three times: 3 s from 2 s before the first
// crossing, 3 s mid-lap, 2.5 s from 1.2 s before the second crossing (the GPS replay is held with the
// process; its fixes come in a burst at the hold's end). The crossings are stamped where the trace
// puts them, the out-lap and the lap are the undisturbed ones, and the lap is the time between its
// stamps. The hand-driven table of holds is LapGpsHolds in tests/calc.
TEST(SampleRootE2E, AHeldBackHostTakesNoTimeFromTheLap) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a lap of real time runs once, not again under ThreadSanitizer";
#endif
    NetNamespace net; // the lap messages go to the CI multicast group
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    constexpr double kUndisturbedLap = 102.41; // the sample's lap on an idle host (README)
    constexpr double kCrossings[2] = {5.197, 107.627};
    // A fix is stamped when it came without delay: its sentence's 75 ms on the line at 9600 baud.
    constexpr double kLine = 0.075;
    struct Hold {
        const char* what;
        double from; // seconds of the trace
        int ms;
    };
    const Hold holds[] = {
        {"3 s from 2 s before the first crossing", kCrossings[0] - 2.0, 3000},
        {"3 s mid-lap", 40.0, 3000},
        {"2.5 s from 1.2 s before the second crossing", kCrossings[1] - 1.2, 2500},
    };
    TempDir root;
    ASSERT_TRUE(Prepared(root)) << readFile(root.file("prepare.txt"));
    AppProcess dev(root.path(), {"0"});
    double opened = -1; // the first fix goes at once
    ASSERT_TRUE(waitUntil(
        [&] { return (opened = loggedStamp(dev.logText(), "gps_intf_open() fOpened '/tyCo/1'")) >= 0; },
        20000))
        << dev.logText();
    const auto atTrace = [&](double seconds) {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(opened + seconds)));
    };
    std::vector<LoggedLap> laps;
    const auto lapsLogged = [&](size_t n) {
        return waitUntil([&] { return (laps = loggedLaps(dev.logText())).size() >= n; }, 30000);
    };
    for (const Hold& h : holds) {
        if (h.from > kCrossings[0]) {
            ASSERT_TRUE(lapsLogged(1)) << "the first crossing was lost: " << dev.logText();
        }
        std::this_thread::sleep_until(atTrace(h.from));
        dev.signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(h.ms));
        dev.signal(SIGCONT);
    }
    ASSERT_TRUE(lapsLogged(2)) << "a crossing was lost: " << dev.logText();
    ASSERT_EQ(laps.size(), 2u) << dev.logText();
    const std::string log = dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    // Each crossing's stamp, in seconds of the device's clock: the start stamp of the first file of
    // the lap it begins. (The counters' stamp that lof_get prints is the newest cut's: a stick's
    // arrival that the first hold put after the crossing moves it.)
    double stamp[2] = {-1, -1};
    const char* firstFiles[2] = {"A0202000.201", "A0203000.301"};
    for (int k = 0; k < 2; ++k) {
        const measfile::File f = measfile::readFile(root.file("meas/") + firstFiles[k]);
        ASSERT_TRUE(f.ok()) << firstFiles[k] << ": " << f.error;
        const auto start = f.metaOfType(4);
        ASSERT_EQ(start.size(), 1u) << firstFiles[k] << " has no start stamp";
        const std::vector<uint8_t>& p = start[0]->payload;
        ASSERT_EQ(p.size(), 4u);
        stamp[k] = (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]) / 10000.0;
    }
    const double lap = laps[1].laptime, outLap = laps[0].laptime;
    // The out-lap counts from the lap model's first step, a step after its start: after the lap
    // function's set-up was logged, before its first counter update was received.
    const double setUp = loggedStamp(log, "awm_0x08_lapfunc_ini(): lap function at channel");
    const double updated = loggedStamp(log, "Received Laptrigger Update. Outing 2, Lap 1");
    std::printf(
        "out-lap %.2f s, lap %.2f s, its stamps %.4f s apart; the crossings stamped %.3f and %.3f s after "
        "the trace's; the lap function started %.3f to %.3f s after the port opened\n",
        outLap, lap, stamp[1] - stamp[0], stamp[0] - opened - kCrossings[0],
        stamp[1] - opened - kCrossings[1], setUp - opened, updated - opened);
    EXPECT_NEAR(lap, stamp[1] - stamp[0], 0.0051) << "the lap is the time between its stamps";
    EXPECT_NEAR(lap, kUndisturbedLap, 0.05);
    for (int k = 0; k < 2; ++k)
        EXPECT_NEAR(stamp[k] - opened - kCrossings[k], kLine, 0.05) << "crossing " << k + 1 << "'s stamp";
    EXPECT_GE(outLap, stamp[0] - updated + 0.01 - 0.005);
    EXPECT_LE(outLap, stamp[0] - setUp + 0.01 + 0.005);
    // Each hold dropped ticks, and the log names them and the records they lost.
    EXPECT_GE(countOf(log, "ms of base ticks were dropped"), 3) << log;
    EXPECT_GE(countOf(log, "Raster 1ms, PID 0x10: "), 1) << log;
}
