// Cuts that come close together, on the real executable: laps, fragments, a new outing, a stick's
// arrival, a drive's failure and its return, in bursts of 2 to 5 cuts 0.01 to 0.5 s apart (closer
// than the data delay that the store's records come after) and in each order. Every cut has a file
// of its own on every drive that takes data, named by the counters that the shell printed for it
// (or that the log names for a forced cut), holding exactly the records stamped after the cut up to
// the next one, and the file before it ends with the cut's close stamp record (a lap, an outing, a
// fragment) or without one (a forced cut). A cut with no record before the next is named in the log.
#include "app_process.h"
#include "campaign.h"
#include "logging_root.h"
#include "measfile.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

constexpr const char* INDEX = "0";
constexpr uint8_t COUNTERS = 2; // the 10 ms block
using Clock = std::chrono::steady_clock;

// One cut as the device made it: its file's name on meas:, its stamp (100 us), and what made it.
struct Cut {
    std::string name;
    uint32_t stamp = 0;
    bool stampKnown = true; // the start's is not logged
    bool counters = false;  // a lap, an outing or the fragment trigger: the file before ends with its stamp
    char kind = '?';        // L lap, O outing, F fragment, A arrival, D drive, S start, Z size/time
    int absLap = 0, fragment = 0;
};

std::string nameOf(int outing, int lap, int absLap, int fragment) {
    char name[16];
    std::snprintf(name, sizeof name, "A%02x%02x%03x.%1x%02x", unsigned(outing & 0xFF), unsigned(lap & 0xFF),
                  unsigned(absLap >> 4), unsigned(absLap & 0xF), unsigned(fragment & 0xFF));
    return name;
}

// The cut a shell command made, from the counters it printed.
Cut shellCut(const std::string& printed, char kind) {
    Cut c;
    c.kind = kind;
    c.counters = true;
    int lap = 0, outing = 0;
    unsigned ts = 0;
    const size_t at = printed.find("Lap counter:");
    if (at == std::string::npos ||
        std::sscanf(printed.c_str() + at,
                    "Lap counter: %d Outing counter: %d Fragment counter: %d Timestamp: %u Absolute lap "
                    "counter: %d",
                    &lap, &outing, &c.fragment, &ts, &c.absLap) != 5)
        return c;
    c.stamp = ts;
    c.name = nameOf(outing, lap, c.absLap, c.fragment);
    return c;
}

// The store's own cuts, as it logs them ("meas_app_forceFragment(): the files are cut at 12.3456 s
// for the stick's arrival: A0101000.003"), and the run's start ("Measstart with Outing ...").
std::vector<Cut> loggedCuts(const std::string& log) {
    std::vector<Cut> cuts;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        static const std::string kForced = "meas_app_forceFragment(): the files are cut at ",
                                 kStart = "Measstart with Outing ";
        size_t at = line.find(kForced);
        if (at != std::string::npos) {
            Cut c;
            unsigned s = 0, frac = 0;
            const size_t colon = line.rfind(": ");
            if (std::sscanf(line.c_str() + at + kForced.size(), "%u.%u s", &s, &frac) != 2 ||
                colon == std::string::npos)
                continue;
            c.stamp = s * 10000 + frac;
            c.name = line.substr(colon + 2, 12);
            c.kind = line.find("for the stick's arrival") != std::string::npos ? 'A'
                     : line.find("for the drive's") != std::string::npos       ? 'D'
                                                                               : 'Z';
            c.absLap = std::stoi(c.name.substr(5, 3) + c.name.substr(9, 1), nullptr, 16);
            c.fragment = std::stoi(c.name.substr(10, 2), nullptr, 16);
            cuts.push_back(c);
            continue;
        }
        at = line.find(kStart);
        int outing = 0, lap = 0, absLap = 0, fragment = 0;
        if (at != std::string::npos && std::sscanf(line.c_str() + at + kStart.size(),
                                                   "%d (0x%*X), Lap %d (0x%*X), AbsLap %d (0x%*X), Frag %d",
                                                   &outing, &lap, &absLap, &fragment) == 4) {
            Cut c;
            c.kind = 'S';
            c.stampKnown = false;
            c.absLap = absLap;
            c.fragment = fragment;
            c.name = nameOf(outing, lap, absLap, fragment);
            cuts.push_back(c);
        }
    }
    return cuts;
}

// A step of a burst: a shell command `what` ms after the burst's anchor: L lap, O new outing,
// F fragment, P two fragments at once (two shell connections).
struct Step {
    char what;
    int atMs;
};
// The anchor: "now"; "arrival", the stick's arrival (pulled, seen gone, put back: the arrival comes at
// the once-a-second check 4 s after the one that saw it gone, its 3 s debounce passed); "hit", the
// moment the run's next drive fault hit (the drive's return, and its cut, come by themselves).
struct Burst {
    const char* name;
    const char* anchor;
    std::vector<Step> steps;
};
struct CutRun {
    const char* name;
    const char* fault; // MSD_DRIVE_FAULT, "" none
    std::vector<Burst> bursts;
    int exitCode;
    // A lap right before SIGTERM: the shutdown's fast stop writes none of the records the data delay
    // holds back, and a lap among them has no record after it (it is named so).
    bool lapAtTheEnd = false;
};

void PrintTo(const CutRun& row, std::ostream* out) {
    *out << row.name;
}

class CutBurstE2E : public ::testing::TestWithParam<CutRun> {};

// The cuts in the order they were made: the counters only go on.
bool madeBefore(const Cut& a, const Cut& b) {
    return a.absLap != b.absLap ? a.absLap < b.absLap : a.fragment < b.fragment;
}

Cut newestOf(const std::vector<Cut>& cuts) {
    return *std::max_element(cuts.begin(), cuts.end(), madeBefore);
}

// Device time is the host's monotonic clock (the records' and the log's stamps).
Clock::time_point atDeviceSeconds(double s) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)));
}

// The records of every complete measurement file of a folder, by file name.
std::map<std::string, measfile::File> filesOf(const std::string& dir) {
    std::map<std::string, measfile::File> files;
    for (const std::string& name : campaign::measurementFiles(dir))
        files[name] = measfile::readFile(dir + "/" + name);
    return files;
}

uint32_t be32(const std::vector<uint8_t>& p) {
    return p.size() == 4 ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3] : 0;
}

// What is wrong with the file of cut `k` (followed by `next`, null for the last) on a drive; empty
// when nothing is: whole, its start stamp the cut's, every record after the cut and up to the next,
// and a close stamp record at the next cut exactly when that one moved the counters.
std::string fileWrong(const std::string& dir, const Cut& k, const Cut* next, const measfile::File& f) {
    const campaign::FileState s = campaign::fileState(dir, k.name);
    if (!s.whole) return k.name + " " + s.why;
    if (k.stampKnown) {
        const auto start = f.metaOfType(4);
        if (start.size() != 1 || be32(start[0]->payload) != k.stamp)
            return k.name + " does not begin at its cut's stamp " + std::to_string(k.stamp);
    }
    for (const measfile::Record& r : f.records) {
        if (k.stampKnown && int32_t(r.ts - k.stamp) <= 0)
            return k.name + " holds a record at " + std::to_string(r.ts) + ", not after its cut at " +
                   std::to_string(k.stamp);
        if (next && int32_t(r.ts - next->stamp) > 0)
            return k.name + " holds a record at " + std::to_string(r.ts) + ", after the next cut (" +
                   next->name + ") at " + std::to_string(next->stamp);
    }
    const auto close = f.metaOfType(5);
    if (next && next->counters) {
        if (close.size() != 1 || be32(close[0]->payload) != next->stamp)
            return k.name + " does not end with the close stamp of " + next->name + " (" +
                   std::to_string(next->stamp) + ")";
    } else if (!close.empty()) {
        return k.name + " has a close stamp record, but a forced cut or the shutdown ends it";
    }
    return "";
}

} // namespace

// Every cut has its own file, in the order of its stamp, however close the cuts come and whatever
// comes between: each run makes its bursts, then the files on meas: and on the stick are checked
// against every cut the shell printed and the store logged.
TEST_P(CutBurstE2E, EveryCutHasItsOwnFileInTheOrderOfItsStamp) {
    const CutRun row = GetParam();
    TempDir root;
    // The sample logging configuration, the stick in from the start.
    ASSERT_TRUE(prepareLoggingRoot(root, {.pcode = 0x1234, .stickIn = true}));
    std::vector<std::string> env;
    if (*row.fault) env.push_back(std::string("MSD_DRIVE_FAULT=") + row.fault);
    AppProcess dev(root.path(), {INDEX}, env);
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    auto logged = [&](const std::string& what, int above) {
        return waitUntil([&] { return countOf(dev.logText(), what) > above; }, 30000);
    };
    // The stick in from the start arrives once its debounce has passed: a cut of its own.
    ASSERT_TRUE(logged("for the stick's arrival: ", 0)) << dev.logText();

    std::vector<Cut> shellCuts;
    std::vector<uint32_t> pulls; // when the stick was pulled (device stamps)
    int hits = 0;                // the run's drive faults that hit so far
    auto run = [&](const Step& s) {
        const char* command = s.what == 'L' ? "lof_laptrig" : s.what == 'O' ? "lof_outtrig" : "lof_fratrig";
        if (s.what != 'P') {
            shellCuts.push_back(shellCut(dev.shell(command), s.what));
            return;
        }
        std::string other;
        std::jthread second([&] { other = dev.shell(command); });
        const std::string first = dev.shell(command);
        second.join();
        shellCuts.push_back(shellCut(first, 'F'));
        shellCuts.push_back(shellCut(other, 'F'));
    };
    for (const Burst& b : row.bursts) {
        Clock::time_point anchor = Clock::now() + std::chrono::milliseconds(200);
        const int arrivals = countOf(dev.logText(), "a stick arrived");
        const int arrivalCuts = countOf(dev.logText(), "for the stick's arrival: ");
        if (std::string(b.anchor) == "arrival") {
            // The newest cut's file is on the stick before it is pulled: that one is cut there by the
            // pull, and copied whole at its next arrival.
            std::vector<Cut> made = loggedCuts(dev.logText());
            made.insert(made.end(), shellCuts.begin(), shellCuts.end());
            const std::string newest = newestOf(made).name;
            ASSERT_TRUE(waitUntil(
                [&] {
                    return measfile::readFile(root.file("usb_meas/" + newest)).recordsOf(COUNTERS).size() >=
                           20;
                },
                30000))
                << b.name << ": " << newest << "\n"
                << dev.logText();
            const int gones = countOf(dev.logText(), "the stick is gone");
            pulls.push_back(uint32_t(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                    .count() /
                100));
            setStick(root, false);
            ASSERT_TRUE(logged("the stick is gone", gones)) << b.name << "\n" << dev.logText();
            // Back half a second after the check that saw it gone: its debounce passes 3.5 s later,
            // between two checks, however late the host runs them.
            const double goneAt = loggedStamps(dev.logText(), "the stick is gone").back();
            std::this_thread::sleep_until(atDeviceSeconds(goneAt + 0.5));
            setStick(root, true);
            anchor = atDeviceSeconds(goneAt + 4.0);
        } else if (std::string(b.anchor) == "hit") {
            ASSERT_TRUE(waitUntil([&] { return countOf(dev.stderrText(), "fault hit") > hits; }, 60000))
                << dev.stderrText();
            anchor = Clock::now();
            ++hits;
        }
        for (const Step& s : b.steps) {
            std::this_thread::sleep_until(anchor + std::chrono::milliseconds(s.atMs));
            run(s);
            ASSERT_FALSE(shellCuts.back().name.empty()) << b.name;
        }
        if (std::string(b.anchor) == "arrival") {
            ASSERT_TRUE(logged("a stick arrived", arrivals)) << b.name << "\n" << dev.logText();
            ASSERT_TRUE(logged("for the stick's arrival: ", arrivalCuts)) << b.name << "\n" << dev.logText();
        }
        // Settled: the newest cut has its records on a drive (the arrival's may come after the
        // shell's cuts that were meant to follow it).
        std::vector<Cut> made = loggedCuts(dev.logText());
        made.insert(made.end(), shellCuts.begin(), shellCuts.end());
        const std::string last = newestOf(made).name;
        ASSERT_TRUE(waitUntil(
            [&] {
                for (const char* dir : {"meas/", "usb_meas/"})
                    if (measfile::readFile(root.file(dir + last)).recordsOf(COUNTERS).size() >= 20)
                        return true;
                return false;
            },
            30000))
            << b.name << ": " << last << "\n"
            << dev.logText();
    }
    if (row.lapAtTheEnd) run(Step{'L', 0});
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(20000), row.exitCode) << dev.logText();
    const std::string log = lastRun(dev.logText()); // not the preparation's

    // Every cut of the run in the order it was made (the counters only go on), with its stamp.
    std::vector<Cut> cuts = loggedCuts(log);
    cuts.insert(cuts.end(), shellCuts.begin(), shellCuts.end());
    std::sort(cuts.begin(), cuts.end(), madeBefore);
    ASSERT_GE(cuts.size(), 2u) << log;
    ASSERT_EQ(cuts.front().kind, 'S') << "the run's start comes first\n" << log;
    std::string order;
    std::set<std::string> names;
    for (size_t i = 0; i < cuts.size(); ++i) {
        EXPECT_TRUE(names.insert(cuts[i].name).second) << cuts[i].name << " twice\n" << log;
        if (i == 0) continue;
        char gap[32] = "";
        if (i > 1) std::snprintf(gap, sizeof gap, " %+.3f ", (cuts[i].stamp - cuts[i - 1].stamp) / 10000.0);
        order += (i == 1 ? "" : gap) + std::string(1, cuts[i].kind);
        if (i > 1) {
            EXPECT_GE(int32_t(cuts[i].stamp - cuts[i - 1].stamp), 0)
                << cuts[i].name << " is stamped before " << cuts[i - 1].name << ", made before it\n"
                << log;
        }
    }
    std::printf("%s: %zu cuts after the start (kind, seconds to the one before): %s\n", row.name,
                cuts.size() - 1, order.c_str());

    // The cuts that took no record: named in the log, and no file of them anywhere.
    auto toldNoFile = [&](const Cut& c) {
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);)
            if (line.find(" cut " + c.name + " at ") != std::string::npos &&
                line.find("has no file") != std::string::npos)
                return true;
        return false;
    };
    uint32_t firstArrival = 0;
    for (const Cut& c : cuts)
        if (c.kind == 'A') {
            firstArrival = c.stamp;
            break;
        }
    int withoutFile = 0;
    std::string noFile; // their kinds and names
    for (const char* drive : {"meas:", "usb_meas:"}) {
        const std::string dir = root.file(std::string(drive).substr(0, std::string(drive).size() - 1));
        const bool stick = std::string(drive) == "usb_meas:";
        const std::map<std::string, measfile::File> files = filesOf(dir);
        std::set<std::string> cutFiles;
        int checked = 0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            const Cut& k = cuts[i];
            const Cut* next = i + 1 < cuts.size() ? &cuts[i + 1] : nullptr;
            cutFiles.insert(k.name);
            const auto f = files.find(k.name);
            // What the drive must hold: meas: every file it did not fail; the stick the files from its
            // first arrival on, but those begun while it was out (a pulled file, and the file before an
            // arrival, are copied to it at the arrival).
            bool required = !campaign::namedUnfinished(log, k.name, drive);
            if (stick) {
                required = required && k.stampKnown && int32_t(k.stamp - firstArrival) >= 0;
                for (size_t p = 0; p < pulls.size() && required; ++p) {
                    size_t arrival = i;
                    while (arrival < cuts.size() &&
                           !(cuts[arrival].kind == 'A' && int32_t(cuts[arrival].stamp - pulls[p]) > 0))
                        ++arrival;
                    if (int32_t(k.stamp - pulls[p]) > 0 && i + 1 < arrival) required = false;
                }
            }
            if (f == files.end()) {
                if (!required) continue;
                // No file: only for a cut that no record came after before the next, which the log names.
                EXPECT_TRUE(toldNoFile(k)) << k.name << " (" << k.kind << ") is not on " << drive << "\n"
                                           << log;
                for (const auto& [name, file] : files)
                    for (const measfile::Record& r : file.records)
                        if (next && int32_t(r.ts - k.stamp) > 0 && int32_t(r.ts - next->stamp) <= 0) {
                            ADD_FAILURE() << name << " holds a record at " << r.ts << " of " << k.name
                                          << "'s span, which has no file on " << drive;
                            break;
                        }
                if (!stick) {
                    ++withoutFile;
                    noFile += std::string(" ") + k.kind + " " + k.name;
                }
                continue;
            }
            if (!required && !campaign::fileState(dir, k.name).whole) continue;
            EXPECT_EQ(fileWrong(dir, k, next, f->second), "") << drive << "\n" << log;
            EXPECT_FALSE(toldNoFile(k)) << k.name << " is named without a file, but " << drive << " has it";
            ++checked;
        }
        for (const auto& [name, file] : files)
            EXPECT_TRUE(cutFiles.count(name) || campaign::namedUnfinished(log, name, drive))
                << name << " on " << drive << " is no cut's file\n"
                << log;
        std::printf("%s: %d files checked on %s\n", row.name, checked, drive);
    }
    EXPECT_EQ(countOf(log, "has no file: no record of m01"), withoutFile) << log;
    std::printf("%s: %d cuts without a file (named in the log):%s\n", row.name, withoutFile, noFile.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, CutBurstE2E,
    ::testing::Values(
        CutRun{"LapsFragmentsAndAnOuting",
               "",
               {{"two laps 0.1 s apart", "now", {{'L', 0}, {'L', 100}}},
                {"three fragments 0.05 s apart", "now", {{'F', 0}, {'F', 50}, {'F', 100}}},
                {"four laps 0.125 s apart", "now", {{'L', 0}, {'L', 125}, {'L', 250}, {'L', 375}}},
                {"a lap, a fragment and a lap 0.01 s apart", "now", {{'L', 0}, {'F', 10}, {'L', 20}}},
                {"a fragment, an outing, a fragment, a lap, up to 0.5 s apart",
                 "now",
                 {{'F', 0}, {'O', 300}, {'F', 310}, {'L', 810}}},
                {"two fragments at once", "now", {{'P', 0}}}},
               0,
               true},
        CutRun{"StickArrivals",
               "",
               {{"a lap and a fragment before the arrival, a lap after it",
                 "arrival",
                 {{'L', -300}, {'F', -100}, {'L', 60}}},
                {"a fragment 0.02 s before the arrival, a lap and a fragment after it",
                 "arrival",
                 {{'F', -20}, {'L', 10}, {'F', 300}}}},
               0},
        // meas:, then the stick, fail every call for 0.4 s. meas: gets a lap and a fragment while it
        // fails: its return takes their files and cuts none. The stick answers again before its cuts
        // come: its return cuts (its join, when the failure took its newest file), then a lap and two
        // fragments.
        CutRun{"DrivesFailAndReturn",
               "meas:write:12:EIOfor400;usb_meas:write:26:EIOfor400",
               {{"a lap and a fragment while meas: fails, another two as it answers again",
                 "hit",
                 {{'L', 150}, {'F', 200}, {'L', 600}, {'F', 610}}},
                {"the stick's join, a lap and two fragments", "hit", {{'L', 800}, {'F', 1000}, {'F', 1010}}}},
               3}),
    [](const ::testing::TestParamInfo<CutRun>& info) { return std::string(info.param.name); });
