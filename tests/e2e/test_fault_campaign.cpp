// The whole application walks the close path with one drive fault: start with the stick in, a lap,
// a fragment, the stick pulled and put back (its arrival cuts the file and copies it over the piece
// the stick kept), a stop (0xE1) while the PC stops answering pings, its end (0xEE), a destroy
// (0xE0), the stick pulled, the destroy's end (0xED), a stop and a destroy with the stick out, then
// the stick back (it asks for a copy of the file the destroy closed) and SIGTERM at once. A run
// without a fault counts the calls of each drive operation, and of each task; the faults are those
// real drives make at one of those calls: an error (ENOSPC, a drive that stays full, EIO, ENOENT,
// EROFS, EACCES), the stick pulled, a hang of 0.5 s, of 15 s, of 20 s or for good, EIO on every
// call for 1 s, a slow drive (every call 1 s longer for good, or 2 s longer for 15 s), the file
// deleted or renamed under its writer, the power cut; each of them at a call of the stick's copy
// and at a call of the logging's own drive task (the start-up's D-flag check). Two variants of the
// scenario: 10,000 files the PC has downloaded on meas: with its D flag set before the start (the
// walk that deletes them, alone or with a hang or EIO in it: "walk10000;<fault>"), and the PC's
// commands at random moments instead of the fixed steps ("pc<seed>"): every command, a stop and a
// stick pull in the same second, a lap with a stop and its end queued behind it.
// And scenarios where two of the device's jobs meet, at moments drawn from the number that ends
// their token, each with the drive fault that makes them meet:
// - "lost-<E1|E0|EE|ED>-<silent|noroute><seed>": the PC lost during a stop or destroy that a slow
//   drive holds past the watch's five failed pings (its pings silent, or its address with no route
//   so that each ping fails at once), in EE and ED with the PC's own end of it queued behind;
// - "reseat-<once|twice><seed>": the stick re-seated during a slow copy of the file a stop closed;
// - "stickwalk<files>": files the PC downloaded on the stick with its D flag, the piece of the open
//   file among them, and the walk and the copy over that piece at one arrival;
// - "rewrite-<inplace|rename><seed>": the stick pulled and put back from outside at laps, its state
//   file written in place (emptied, then written) or renamed over;
// - "laps<seconds>", "span<seconds>": logging with a lap every 3 s, or none, while one drive is
//   broken or slow, then SIGTERM;
// - "queue<seed>": a second and a third request queued behind a slow stop or destroy;
// - "walk<files>;<a power cut of the walk's task>": a cut between the walk's deletions and its
//   change of the drive's state, on either side;
// - "copyfail<seed>": copies of one file with the first failing: the stick re-seated while its copy
//   of the stopped file is held at its first write-through, that copy's rename failing;
// - "statewalk<seed>": the PC's tool rewrites meas:'s state in place, with a pause, during a slow
//   walk, marking files downloaded that the walk did not list;
// - "fifth-<EE|ED><seed>": the PC silent from its stop (destroy) on, its end of it 0.55 to 0.7 s
//   before the watch's fifth failed ping and, in odd seeds, the stop (destroy) again 0.2 s later;
//   "behind-ED<seed>": an 0xED queued behind a stop whose read-only marks are held 9 s, the PC lost
//   right after it;
// - "stall<seed>": a call of either drive held past the hang bound early in the run; once it has
//   returned, 10 to 30 s of logging with laps, then SIGTERM;
// - "pullclose<seed>": the stick pulled in its close of a lap's file, and put back;
// - (a drive's return) "return-<hang|eio|thaw><seed>": the stick's write-through hung for 20 s,
//   meas: failing every call for 0.5 s, or the stick frozen in the kernel (ext4 on a loop device)
//   for 12-14 s, and a lap or a fragment at a seeded moment 0-2 s after the drive's join;
//   "stickhung<seconds>": the stick's writer held for that long in the open of the file of a seeded
//   lap, a lap every 3 s meanwhile.
//
// After every run:
// - every file on either drive is whole, or writable and named not finished in the log; every file
//   the log says is finished, and every read-only one, parses whole from its header to its status
//   block;
// - a stop or destroy answers 00 only when every file it closed is whole on its drives, and every
//   answer comes within 12 s; the process ends within 12 s of SIGTERM;
// - exit 3 exactly when a file is left unfinished: 0 only with every file on both drives whole and
//   every file the logging made on the logging drive, 3 only when one is not (or the exit names one
//   that is not whole there);
// - the drive without the fault has every file whole, its records from the measurement's start,
//   and new records within 15 s of the fault when it hit while logging ran;
// - once a fault ends while logging runs, its drive gets records again within 2 s, in a file not
//   given up;
// - a drive whose calls all return (a slow one, the D-flag walk) is never given up: no hang is
//   told and no file is left for want of progress there;
// - with the D-flag walk the first records reach meas: within 2 s of the measurement's start;
// - after every command that the remote-control table says ends in running, logging runs: new
//   records in a new file within 15 s (0xED after a destroy, 0xEE after a stop, every such command
//   of the PC's); after a stop or destroy it is not running;
// - the stick's piece is never shorter after its copy than before, a copy asked for at the stick's
//   arrival is waited for by the shutdown, and no copy's ".part" is left on the stick after its
//   next arrival;
// - no file name is used twice, and each file the logging made is on the logging drive or named;
// - (m) logging runs where the remote-control table says within 2 s of the end of a step's last
//   request (a stop or destroy whose PC is lost ends in running, with no command after it);
// - (n) no text comes more than 20 times within a second of the log (each file named not finished
//   once is none), and the session's first lines are still in it (or in the file its rotation
//   kept);
// - (o) no two copies of one file at once: no copy writes a piece that another removed;
// - (p) every file a copy finished on the stick is still there (only the D-flag walk deletes there);
// - (q) with laps, the drive without the fault has a file from the start, each arrival and each lap,
//   no other, and its records up to the last 0.3 s before SIGTERM;
// - (s) the stick pulled or put back from outside is seen within 8 s;
// - (w) a copy of a file asked for while another copy of it fails ends on its own: within 25 s of
//   the stick's arrival that asked for it, the stick holds the file whole, read-only, the same bytes.
// - (u) after an in-place rewrite of the state during the walk no file marked downloaded is left with
//   the D flag cleared, and no file never marked downloaded is deleted.
// - (y) where the PC's command meets its watch, logging is in the state that the PC's commands and
//   the table say: the watch asks nothing after the PC's own command, and logging starts at most
//   once in the step;
// - (z) no line says a request is not carried out unless it is the listener's refusal of one whose
//   time was over before its turn (then the table counts it refused).
// - (g) after a stall that returned (on every drive it held), every file made since is whole on
//   both drives at SIGTERM;
// - (h) data are named lost at the exit only beside a file the exit names not finished, and with
//   laps and every file whole the process ends within 3 s of the last file turning whole (with a
//   slow NV store, within the shutdown's bound: its records are written until 10.5 s into it).
// - (x) every file a pull left unfinished on the stick is whole there, read-only with the bytes of
//   meas:, within 25 s of its next arrival;
// - (v) (a drive's return) the healthy drive's files only at laps, fragments and commands, with at
//   most one join for the fault's one return; at most 2 files on meas: in the 10 s after the join,
//   and the drive says it takes data again within 2 s of it; with the stick hung, meas: has every
//   record and the store lets go of no writer of meas:.
// After a power cut the device starts again on what is left: nothing answered 00 or said finished
// is lost, every file parses to its last complete record, no name comes twice, no ".part" is left
// after the restart's arrival, the boot counter and the absolute lap go on, and (r) after a cut in
// the walk no downloaded file is left without its line, nor with the D flag cleared, and (t) no NV
// record has lost both its copies (also on a disk whose syncfs writes nothing).
// Each broken rule's line starts with its letter: (a) back after the fault, (b) slow is not hung,
// (c) the walk beside logging, (d) from the start on the other drive, (e) only whole files
// finished, (f) no stale piece, (k) logging after a command, (l) every answer in time, (g) and
// (h), and (m) to (z) above.
// CI runs a few runs; MSD_FAULT_CAMPAIGN=all runs 8 of each stratum, MSD_FAULT_CAMPAIGN_FAULTS=
// "meas:open:26:EIO|..." the runs of those faults (see docs/tests.md); MSD_FAULT_CAMPAIGN_LOG=1 prints
// the log of a run that broke a rule, =all of every run.
#include "app_process.h"
#include "caldataset.h"
#include "campaign.h"
#include "loopdisk.h"
#include "measfile.h"
#include "netns.h"
#include "pcservice.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration
const std::vector<uint8_t> DONE = {0, 0, 0, 0, 0};
constexpr double kAnswerBound = 12.0;
constexpr double kOtherDriveBound = 15.0; // new records on the drive without the fault
constexpr double kBackBound = 15.0;       // new records in a new file after 0xED or 0xEE
constexpr double kBackOnDrive = 2.0;      // records on a drive again after its fault's end
constexpr double kFromStart = 1.0;        // the first record after the measurement's start
constexpr double kPollSlack = 0.3;        // what the test's own polls add to a time it measures
constexpr int kHungMs = 10000;            // a call that has not returned for this long hangs
const std::string kHit = "msdapp: drive fault hit: ";
// An address that no route in the run's own network reaches (a documentation address).
constexpr uint8_t kNoRoute[4] = {192, 0, 2, 1};

// A run: one or more faults as MSD_DRIVE_FAULT takes them ("<fault>;<fault>") and the scenario's
// variants among them ("walk<files>", "pc<seed>"). The rules about the fault's drive follow the
// first fault; a power cut among them is one.
struct Fault {
    std::string text; // as the campaign names the run, empty for none
    std::string env;  // MSD_DRIVE_FAULT
    std::string first;
    std::string drive;
    std::string what;      // ENOSPC, pull, hold0, cut, EIOfor1000, slow1000, ...
    bool lasting = false;  // the drive stays failed once it hit (a drive that stays full, a pull, hold0)
    bool copyOnly = false; // only the stick's copy meets it
    std::string group;
    std::string cut;      // the power cut among them
    double endsMs = -1;   // when the first fault ends after it hit (-1: it does not, or is no fault of
                          // the logging's calls)
    bool working = false; // its drive's calls all return (a slow drive, the walk)
    int walk = 0;         // files the PC downloaded on meas:, its D flag set
    uint32_t pcSeed = 0;  // the PC's commands at random moments
    std::string meet;     // two of the device's jobs meet ("lost-E0-silent", "reseat-twice", ...)
    uint32_t meetN = 0;   // its seed (its seconds for "laps" and "span", its files for "stickwalk")
};

// The scenarios where two of the device's jobs meet, by their token's name (its number follows).
// clang-format off
const char* const kMeets[] = {"lost-E1-silent", "lost-E1-noroute",
                              "lost-E0-silent", "lost-E0-noroute",
                              "lost-EE-silent", "lost-EE-noroute",
                              "lost-ED-silent", "lost-ED-noroute",
                              "reseat-once",    "reseat-twice",
                              "stickwalk",      "rewrite-inplace",
                              "rewrite-rename", "laps",
                              "span",           "queue",
                              "copyfail",       "statewalk",
                              "fifth-EE",       "fifth-ED",
                              "behind-ED",      "stall",
                              "return-hang",    "return-eio",
                              "return-thaw",    "stickhung",
                              "pullclose",      "held"};
// clang-format on

// The milliseconds a kind carries after its name ("hold20000" -> 20000), -1 for none.
long msOf(const std::string& what, const std::string& kind) {
    if (what.rfind(kind, 0) != 0 || what.size() == kind.size()) return -1;
    return std::strtol(what.c_str() + kind.size(), nullptr, 10);
}

Fault faultOf(const std::string& text, const std::string& group = "") {
    Fault f;
    f.text = text;
    f.group = group;
    std::istringstream all(text);
    for (std::string one; std::getline(all, one, ';');) {
        const size_t digits = one.find_last_not_of("0123456789") + 1;
        if (digits < one.size() &&
            std::find(std::begin(kMeets), std::end(kMeets), one.substr(0, digits)) != std::end(kMeets)) {
            f.meet = one.substr(0, digits);
            f.meetN = uint32_t(std::strtoul(one.c_str() + digits, nullptr, 10));
            continue;
        }
        if (one.rfind("walk", 0) == 0) {
            f.walk = std::atoi(one.c_str() + 4);
            continue;
        }
        if (one.rfind("pc", 0) == 0) {
            f.pcSeed = uint32_t(std::strtoul(one.c_str() + 2, nullptr, 10));
            continue;
        }
        f.env += (f.env.empty() ? "" : ";") + one;
        std::vector<std::string> parts;
        const size_t at = one.find('@');
        std::istringstream in(one.substr(0, at));
        for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
        if (parts.size() < 4) continue;
        if (parts[3] == "cut") f.cut = one;
        if (!f.first.empty()) continue;
        f.first = one;
        f.drive = parts[0] + ":";
        f.what = parts[3];
        const std::string task = at == std::string::npos ? "" : one.substr(at + 1);
        // A fault of the copy's task holds or fails the copy only; a pull takes the stick all the same.
        f.copyOnly = task.rfind("r_FileCpyTask", 0) == 0 && f.what != "pull";
        const bool once = parts.size() < 5 || parts[4] == "1";
        const long hold = msOf(f.what, "hold"), eio = msOf(f.what, "EIOfor"), slow = msOf(f.what, "slow");
        // A hold shorter than a hang, on every call from the nth, leaves a slow drive, not a failed one.
        const bool slowHolds = hold > 0 && hold < kHungMs;
        f.lasting = !f.copyOnly && (f.what == "hold0" || f.what == "pull" ||
                                    (parts.size() == 5 && parts[4] == "0" && !slowHolds));
        f.working = !f.copyOnly && slowHolds;
        const size_t spanAt = f.what.find("for", 4);
        const long span = f.what.rfind("slow", 0) == 0 && spanAt != std::string::npos
                              ? std::strtol(f.what.c_str() + spanAt + 3, nullptr, 10)
                              : -1;
        if (f.copyOnly || f.lasting) {
        } else if (hold > 0) {
            f.endsMs = once ? double(hold) : -1;
        } else if (eio > 0) {
            f.endsMs = double(eio);
        } else if (slow > 0) {
            f.endsMs = span > 0 ? double(span) : -1;
            f.working = slow < kHungMs;
        } else if (once && (f.what == "EIO" || f.what == "ENOSPC" || f.what == "ENOENT" ||
                            f.what == "EROFS" || f.what == "EACCES")) {
            f.endsMs = 0;
        }
    }
    f.first = f.first.empty() ? f.env : f.first;
    // The frozen stick is a fault of the kernel's, not of the seam's.
    if (f.meet == "return-thaw") f.drive = "usb_meas:";
    // The walk's calls all return, unless a fault of its own holds them.
    if (f.walk > 0 && f.env.empty()) {
        f.drive = "meas:";
        f.working = true;
    }
    return f;
}

struct Result {
    std::vector<std::string> broken;
    std::map<std::string, uint32_t> counts; // "<drive> <operation>[@<task>]" -> calls
    std::string log;
    bool allDone = false; // every answer 00, exit 0
    bool hit = false;     // the fault came
    std::string notes;
};

std::string fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

std::string hex(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", unsigned(v));
    return text;
}

// Polls every 50 ms: the states waited for here are read from files that a poll parses.
bool waitFor(const std::function<bool()>& ready, int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < until) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

// The device root; with `walk`, that many files on meas: that the PC has downloaded (no archive
// attribute) and the drive's D flag set: the start deletes them.
void prepare(const TempDir& root, int walk) {
    static std::mutex m;
    static std::string program;
    {
        // The dataset's identity is the build's: learnt once.
        std::lock_guard<std::mutex> lk(m);
        if (program.empty()) {
            std::string pageLength, log;
            ASSERT_TRUE(learnDatasetIdentity(root.path(), "0", &program, &pageLength, &log)) << log;
        }
    }
    caldata::CalDataset data;
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));
    // Only this run's lines in the log, whichever root learnt the identity.
    for (const char* made : {"nv", "meas", "log"}) std::filesystem::remove_all(root.file(made));
    makeDirs(root.file("meas"));
    makeDirs(root.file("usb_meas"));
    makeDirs(root.file("cfg"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
    if (walk > 0) {
        std::string state = "dirattr 1\n";
        for (int i = 0; i < walk; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "D%07d.DAT", i);
            std::ofstream(root.file("meas/") + name) << "downloaded by the PC\n";
            state += std::string("attr ") + name + " 0x00\n";
        }
        writeFile(root.file("meas.drive"), state);
    }
}

// When the fault came (the seam's line on stderr) and when it ends; the rules that the drive
// without it gets new records within 15 s when it came while logging ran, and that its own drive
// gets records again within 2 s of its end; and when the measurement's start and its first records
// on meas: came. The scenario settles the checks before each step that ends logging or takes the
// other drive away.
class HitWatch {
public:
    HitWatch(const Fault& fault, AppProcess& dev, const std::string& meas, const std::string& stick)
        : fault_(fault), dev_(dev), meas_(meas), stick_(stick) {
        thread_ = std::thread([this] { loop(); });
    }
    ~HitWatch() { stop(); }
    void stop() {
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    // Waits until no check is pending and a fault under way while logging runs has ended, then
    // logging runs or not from here on.
    void settle(bool logging) {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            poll();
            if (!pending_ && !backPending_ && !(ending_ && logging_)) break;
            cv_.wait_for(lk, std::chrono::milliseconds(100));
        }
        logging_ = logging;
    }
    void logging(bool on) {
        std::lock_guard<std::mutex> lk(m_);
        logging_ = on;
    }
    void stick(bool in) {
        std::lock_guard<std::mutex> lk(m_);
        poll();
        stickIn_ = in;
    }
    bool hit() {
        std::lock_guard<std::mutex> lk(m_);
        poll();
        return hit_;
    }
    // Whether the fault keeps its drive failed now (a hang or EIO for its time).
    bool failing(const std::string& drive) {
        std::lock_guard<std::mutex> lk(m_);
        poll();
        if (!hit_ || fault_.drive != drive || fault_.copyOnly) return false;
        return fault_.lasting || (fault_.endsMs > 0 && !fault_.working && Clock::now() < endAt_ &&
                                  (fault_.what.rfind("EIOfor", 0) == 0 || fault_.endsMs >= kHungMs));
    }
    // Seconds from the measurement's start (its log line) to the first records on meas:, -1 when
    // either never came.
    double firstRecordsAfter() {
        std::lock_guard<std::mutex> lk(m_);
        if (!startSeen_ || !recordsSeen_) return -1;
        return std::chrono::duration<double>(recordsAt_ - startAt_).count();
    }
    std::vector<std::string> broken() {
        std::lock_guard<std::mutex> lk(m_);
        return broken_;
    }
    std::string notes() {
        std::lock_guard<std::mutex> lk(m_);
        return notes_;
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lk(m_);
        while (!stop_) {
            poll();
            cv_.notify_all();
            cv_.wait_for(lk, std::chrono::milliseconds(100));
        }
    }
    void watchStart() {
        if (!startSeen_ && dev_.logText().find("Start new measurement") != std::string::npos) {
            startSeen_ = true;
            startAt_ = Clock::now();
        }
        if (startSeen_ && !recordsSeen_ && campaign::recordsIn(meas_, COUNTERS) > 0) {
            recordsSeen_ = true;
            recordsAt_ = Clock::now();
        }
    }
    // One copy of a file at a time: no descriptor of the process holds a copy's piece that is gone
    // from the stick (another copy of the same file removed it under the one that writes it). A
    // fault that deletes a file under its writer does the same on purpose.
    void watchCopies() {
        static const std::string kGone = ".part (deleted)";
        if (twoCopies_ || fault_.env.find("usb_meas:write:") != std::string::npos) return;
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/proc/" + std::to_string(dev_.pid()) + "/fd", ec), end;
             !ec && it != end; it.increment(ec)) {
            std::error_code gone;
            const std::string target = std::filesystem::read_symlink(it->path(), gone).string();
            if (gone || target.rfind(stick_ + "/", 0) != 0 || target.size() < stick_.size() + kGone.size() ||
                target.compare(target.size() - kGone.size(), kGone.size(), kGone) != 0)
                continue;
            twoCopies_ = true;
            broken_.push_back("(o) two copies of one file at once: one writes " +
                              target.substr(stick_.size() + 1, target.size() - stick_.size() - 11) +
                              ", which the other removed");
            return;
        }
    }
    void poll() {
        watchCopies();
        if (!recordsSeen_) watchStart();
        if (!hit_) {
            const std::string err = fault_.env.empty() ? std::string() : dev_.stderrText();
            const size_t at = fault_.env.empty() ? std::string::npos : err.find(kHit + fault_.first + " in ");
            if (at == std::string::npos) return;
            hit_ = true;
            const size_t task = at + kHit.size() + fault_.first.size() + 4;
            notes_ += "in " + err.substr(task, err.find('\n', task) - task) + "; ";
            hitAt_ = Clock::now();
            if (fault_.what == "cut") return;
            if (fault_.endsMs >= 0) {
                ending_ = true;
                endAt_ = hitAt_ + std::chrono::milliseconds(long(fault_.endsMs));
            }
            other_ = fault_.drive == "meas:" ? (stickIn_ ? stick_ : "") : meas_;
            if (!logging_ || other_.empty()) {
                notes_ += logging_ ? "hit with the stick out; " : "hit while logging did not run; ";
            } else {
                before_ = campaign::recordsIn(other_, COUNTERS);
                pending_ = true;
            }
        }
        if (pending_) {
            if (campaign::recordsIn(other_, COUNTERS) > before_) {
                pending_ = false;
                notes_ += "the other drive went on after " + fixed(since(hitAt_)) + " s; ";
            } else if (since(hitAt_) > kOtherDriveBound) {
                pending_ = false;
                broken_.push_back("the drive without the fault (" + other_ + ") got no new records within " +
                                  fixed(kOtherDriveBound) + " s of the fault");
            }
        }
        if (ending_ && Clock::now() >= endAt_) {
            ending_ = false;
            backDir_ = fault_.drive == "meas:" ? meas_ : stick_;
            if (!logging_ || (fault_.drive != "meas:" && !stickIn_)) {
                notes_ += std::string("it ended while ") +
                          (logging_ ? "the stick was out" : "logging did not run") + "; ";
            } else {
                backBefore_ = campaign::recordsByFile(backDir_, COUNTERS);
                backPending_ = true;
            }
        }
        if (backPending_) {
            const std::string log = dev_.logText();
            for (const auto& [name, records] : campaign::recordsByFile(backDir_, COUNTERS)) {
                const auto was = backBefore_.find(name);
                if (records > (was == backBefore_.end() ? 0 : was->second) &&
                    !campaign::namedUnfinished(log, name, fault_.drive)) {
                    backPending_ = false;
                    notes_ += fault_.drive + " got records again " + fixed(since(endAt_)) +
                              " s after the fault's end (" + name + "); ";
                    return;
                }
            }
            if (since(endAt_) > kBackOnDrive + kPollSlack) {
                backPending_ = false;
                broken_.push_back(
                    "(a) " + fault_.drive + " got no records within " + fixed(kBackOnDrive) +
                    " s of the fault's end, in no file that is not named unfinished (its end came " +
                    fixed(std::chrono::duration<double>(endAt_ - hitAt_).count()) +
                    " s after it hit, while logging ran)");
            }
        }
    }

    const Fault fault_;
    AppProcess& dev_;
    const std::string meas_, stick_;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
    bool stop_ = false, hit_ = false, pending_ = false, logging_ = true, stickIn_ = true;
    bool ending_ = false, backPending_ = false, startSeen_ = false, recordsSeen_ = false, twoCopies_ = false;
    Clock::time_point hitAt_, endAt_, startAt_, recordsAt_;
    std::string other_, backDir_;
    size_t before_ = 0;
    std::map<std::string, size_t> backBefore_;
    std::vector<std::string> broken_;
    std::string notes_;
};

// The exit code against the drives: 0 only with every file whole on both drives and every file the
// logging made on the logging drive; 3 only when one is not, or when the exit names a file not
// finished on a drive where it is not whole (a copy that never came). A file is whole only once its
// data and its entry are written through: one that a power cut at the exit would cut back or
// remove (`unsafe`, as the drive layer counted it, "<folder>/<name>") is not, whatever its bytes.
// Nor is one whose close the drive failed: the entry then holds what the drive last wrote of it (its
// size, its time), which the host folder does not show.
// `onlyMade`: only the files this run of the process made count (after a power cut the drives hold
// those of the run before too).
// `lost`: what else is seen lost on a drive (a piece the stick kept that is gone).
void checkExitCode(int exitCode, const std::string& meas, const std::string& stick, const std::string& log,
                   const std::set<std::string>& unsafe, bool onlyMade, const std::vector<std::string>& lost,
                   std::vector<std::string>& broken) {
    std::set<std::string> made;
    for (const std::string& n : campaign::filesMade(log)) made.insert(n);
    std::vector<std::string> notWhole;
    for (const std::string* dir : {&meas, &stick})
        for (const std::string& name : campaign::measurementFiles(*dir)) {
            const campaign::FileState s = campaign::fileState(*dir, name);
            if (!s.whole && (!onlyMade || made.count(name)))
                notWhole.push_back(*dir + "/" + name + " " + s.why);
        }
    for (const std::string& name : made)
        if (!std::filesystem::exists(meas + "/" + name))
            notWhole.push_back(name + ", made by the logging, is not on the logging drive");
    notWhole.insert(notWhole.end(), lost.begin(), lost.end());
    for (const std::string& file : unsafe)
        notWhole.push_back(file +
                           " would not survive a power cut (its data or its entry not written through)");
    if (exitCode == 0) {
        for (const std::string& n : notWhole) broken.push_back("exit 0 while " + n);
        return;
    }
    if (exitCode != 3) {
        broken.push_back("exit code " + std::to_string(exitCode));
        return;
    }
    if (!notWhole.empty()) return;
    std::string named;
    for (const auto& [name, where] : campaign::unfinishedAtExit(log)) {
        named += name + " " + where + "; ";
        if (where.find("close failed") != std::string::npos) return;
        for (size_t at = where.find("meas:"); at != std::string::npos; at = where.find("meas:", at + 1)) {
            const bool onStick = at >= 4 && where.compare(at - 4, 4, "usb_") == 0;
            if (!campaign::fileState(onStick ? stick : meas, name).whole) return;
        }
        // "its copy to the stick"
        if (where.find("stick") != std::string::npos && !campaign::fileState(stick, name).whole) return;
    }
    broken.push_back("exit 3 while every file is whole on both drives and on the logging drive (the exit "
                     "names: " +
                     (named.empty() ? std::string("none") : named) + ")");
}

// Every file the log says is finished parses whole on the logging drive, and on the stick where it
// is there and no line names it not finished (a piece the stick kept from a pull).
void checkSaidFinished(const std::string& log, const std::string& meas, const std::string& stick,
                       const std::set<std::string>& only, std::vector<std::string>& broken) {
    std::set<std::string> seen;
    for (const std::string& name : campaign::saidFinished(log)) {
        if (!seen.insert(name).second || (!only.empty() && !only.count(name))) continue;
        const campaign::FileState s = campaign::fileState(meas, name);
        if (!s.whole)
            broken.push_back(
                "(e) " + name + ", which the log says is finished, " +
                (s.exists ? "on the logging drive " + s.why : std::string("is not on the logging drive")));
        const campaign::FileState o = campaign::fileState(stick, name);
        if (o.exists && !o.whole && !campaign::namedUnfinished(log, name))
            broken.push_back("(e) " + name + ", which the log says is finished, on the stick " + o.why);
    }
}

// The copies' pieces seen on the stick at its arrivals: none may be left after it (each by its
// inode: a later copy's piece of the same name is another one).
void checkStaleParts(const std::multimap<std::string, uint64_t>& atArrival, const std::string& stick,
                     const std::string& when, std::vector<std::string>& broken) {
    const std::map<std::string, uint64_t> now = campaign::partFiles(stick);
    for (const auto& [name, inode] : atArrival) {
        const auto it = now.find(name);
        if (it != now.end() && it->second == inode)
            broken.push_back("(f) the copy's piece " + name +
                             ", on the stick at its arrival, is still there " + when);
    }
}

// The files the drive layer counted as not written through at the exit ("unsafe <drive> <name>"
// lines of the counts), by folder.
std::set<std::string> unsafeIn(const TempDir& root, const std::string& counts) {
    std::set<std::string> out;
    std::istringstream in(readFile(counts));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string tag, drive, name;
        // Measurement files only: a copy's piece of its own ("<name>.part") is no file of the run.
        if (words >> tag >> drive >> name && tag == "unsafe" && (drive == "meas:" || drive == "usb_meas:") &&
            campaign::absLapOf(name) >= 0)
            out.insert(root.file(drive == "meas:" ? "meas" : "usb_meas") + "/" + name);
    }
    return out;
}

// The stick's state as the test sets it from outside (`text`: the whole state file), by a new file
// renamed over, or with `inPlaceMs` in place: emptied, then written that long after, as `echo >` does.
void setStick(const TempDir& root, bool inserted, const std::string& text = "", int inPlaceMs = -1) {
    const std::string state = text.empty() ? std::string("inserted ") + (inserted ? "1" : "0") + "\n" : text;
    if (inPlaceMs >= 0) {
        std::ofstream out(root.file("usb_meas.drive"), std::ios::trunc);
        out.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(inPlaceMs));
        out << state;
        return;
    }
    writeFile(root.file("usb_meas.drive.new"), state);
    std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
}

// No text floods the log (one text at most a few times within a second, its numbers masked), and
// the session's first lines are still in it (or in the file its rotation kept).
constexpr int kMostPerSecond = 20;
void checkLogKept(const TempDir& root, const std::string& log, std::vector<std::string>& broken) {
    // A file named not finished once is no flood, however many files a drive that hung left (the
    // exit names each): only such a line that comes again counts.
    std::map<std::string, int> named;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" is not finished on ") != std::string::npos) ++named[line.substr(line.find(": ") + 1)];
    std::string counted;
    std::istringstream again(log);
    for (std::string line; std::getline(again, line);)
        if (line.find(" is not finished on ") == std::string::npos ||
            named[line.substr(line.find(": ") + 1)] > 1)
            counted += line + "\n";
    const auto [text, n] = campaign::busiestText(counted);
    if (n > kMostPerSecond)
        broken.push_back("(n) one text " + std::to_string(n) +
                         " times within a second in the log: " + text.substr(0, 160));
    const std::string kept = readFile(root.file("log/syslog-0.log.1")) + log;
    for (const char* first : {"main(): application 0 starting", "Start new measurement"})
        if (kept.find(first) == std::string::npos)
            broken.push_back(std::string("(n) the session's first lines are gone from the log: no \"") +
                             first + "\"");
}

// The files meas:'s state marks downloaded (no archive bit), and whether its D flag is set.
std::set<std::string> markedDownloaded(const TempDir& root, bool* flag) {
    std::set<std::string> downloaded;
    *flag = false;
    std::istringstream in(readFile(root.file("meas.drive")));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key, name, value;
        words >> key >> name >> value;
        if (key == "dirattr") *flag = std::strtoul(name.c_str(), nullptr, 0) & 1;
        if (key == "attr" && !(std::strtoul(value.c_str(), nullptr, 0) & 0x20)) downloaded.insert(name);
    }
    return downloaded;
}

// After a power cut in the D-flag walk over meas: and the start after it: every downloaded file
// still there has its line (it is still to be deleted), and while one is left the D flag is set.
void checkWalkAfterCut(const TempDir& root, std::vector<std::string>& broken) {
    bool flag = false;
    const std::set<std::string> downloaded = markedDownloaded(root, &flag);
    int left = 0, lineless = 0;
    std::string example;
    for (const auto& e : std::filesystem::directory_iterator(root.file("meas"))) {
        const std::string name = e.path().filename().string();
        if (name.size() != 12 || name[0] != 'D' || name.compare(8, 4, ".DAT") != 0) continue;
        ++left;
        if (!downloaded.count(name)) {
            ++lineless;
            example = name;
        }
    }
    if (lineless > 0)
        broken.push_back("(r) after the power cut in the walk " + std::to_string(lineless) +
                         " downloaded files are on meas: without their line (" + example + ")");
    if (left > 0 && !flag)
        broken.push_back("(r) after the power cut in the walk " + std::to_string(left) +
                         " downloaded files are left on meas: and its D flag is cleared");
}

// After a power cut: the device starts again on what is left (no fault), logs a while and shuts
// down. Nothing answered 00 or said finished before the cut is missing or not whole; every file
// parses to its last complete record (a file being written when the power went may be cut back to
// its last write-through and stay writable, with no log line left to name it); a read-only one is
// whole; the second run's files follow the rules of any run; no name is made twice; the stick's
// arrival at the start leaves no copy's piece from before; the boot counter and the absolute lap go
// on.
void checkAfterPowerCut(const TempDir& root, const std::string& log1, const std::set<std::string>& answered,
                        int walk, std::vector<std::string>& broken, std::string* logAfter) {
    const std::string counts = root.file("fault-counts-2.txt");
    const std::string meas = root.file("meas"), stick = root.file("usb_meas");
    std::set<std::string> before; // the first run's names: made, or on a drive after the cut
    for (const std::string& n : campaign::filesMade(log1)) before.insert(n);
    for (const std::string* dir : {&meas, &stick})
        for (const std::string& n : campaign::measurementFiles(*dir)) before.insert(n);
    const std::map<std::string, uint64_t> now = campaign::partFiles(stick);
    const std::multimap<std::string, uint64_t> parts(now.begin(), now.end());
    setStick(root, true);
    AppProcess dev(root.path(), {"0"}, {"MSD_DRIVE_FAULT_COUNTS=" + counts});
    if (!dev.waitForShell(30000)) {
        broken.push_back("after the power cut: no shell: " + dev.stderrText());
        return;
    }
    const size_t from = log1.size();
    auto log2 = [&] {
        const std::string all = dev.logText();
        return all.size() > from ? all.substr(from) : std::string();
    };
    // A file of its own with records on the logging drive, then the shutdown.
    waitFor(
        [&] {
            for (const std::string& n : campaign::filesMade(log2()))
                if (!before.count(n) && measfile::readFile(meas + "/" + n).recordsOf(COUNTERS).size() >= 30)
                    return true;
            return false;
        },
        20000);
    // The D-flag walk that the cut broke off goes on at the start.
    if (walk > 0) waitFor([&] { return log2().find("check on 'meas:' took") != std::string::npos; }, 30000);
    // The stick in at the start counts as arriving: the pieces left on it go once its arrival is
    // seen (a few seconds in).
    waitFor(
        [&] {
            const std::map<std::string, uint64_t> left = campaign::partFiles(stick);
            for (const auto& [name, inode] : parts)
                if (left.count(name) && left.at(name) == inode) return false;
            return true;
        },
        15000);
    const auto term = Clock::now();
    dev.signal(SIGTERM);
    const int exitCode = dev.waitExit(30000);
    if (since(term) > kAnswerBound)
        broken.push_back("(l) after the power cut: the process ended " + fixed(since(term)) +
                         " s after SIGTERM");
    const std::string log = log2();
    *logAfter = log;
    std::set<std::string> made;
    for (const std::string& n : campaign::filesMade(log)) made.insert(n);
    if (made.empty()) broken.push_back("after the power cut: the logging made no file");
    for (const std::string& n : made)
        if (before.count(n)) broken.push_back("after the power cut: the name " + n + " is made again");

    for (const std::string& key : answered) {
        const std::string dir = key.substr(0, key.rfind('/')), name = key.substr(key.rfind('/') + 1);
        const campaign::FileState s = campaign::fileState(dir, name);
        if (!s.whole)
            broken.push_back(key + " was answered 00 before the power cut and " +
                             (s.exists ? "now " + s.why : std::string("is gone")));
    }
    // Said finished before the cut: written through, so whole after it.
    checkSaidFinished(log1, meas, stick, {}, broken);
    checkStaleParts(parts, stick, "after the start after the power cut", broken);
    for (const std::string* dir : {&meas, &stick})
        for (const std::string& name : campaign::measurementFiles(*dir)) {
            const campaign::FileState s = campaign::fileState(*dir, name);
            if (s.whole) continue;
            const measfile::File f = measfile::readFile(*dir + "/" + name);
            if (!f.ok())
                broken.push_back(*dir + "/" + name +
                                 " does not parse to its last complete record: " + f.error);
            else if (s.readOnly)
                broken.push_back("(e) " + *dir + "/" + name + " is read-only but not whole: it " + s.why);
            else if (made.count(name) && !campaign::namedUnfinished(log, name))
                broken.push_back(*dir + "/" + name + " of the run after the power cut is not whole (it " +
                                 s.why + ") and no line names it not finished");
        }
    checkExitCode(exitCode, meas, stick, log, unsafeIn(root, counts), true, {}, broken);
    if (walk > 0) checkWalkAfterCut(root, broken);

    auto bootCounter = [](const std::string& text) {
        static const std::string kBoot = "start-up done, boot counter ";
        const size_t at = text.rfind(kBoot);
        return at == std::string::npos ? -1L : std::strtol(text.c_str() + at + kBoot.size(), nullptr, 10);
    };
    // (t) The NV store writes each copy of a record through before the other: a cut leaves one whole.
    if (const size_t damaged = log.find("both copies damaged"); damaged != std::string::npos)
        broken.push_back("(t) after the power cut the NV store lost both copies of a record: " +
                         log.substr(damaged, log.find('\n', damaged) - damaged));
    const long boot1 = bootCounter(log1), boot2 = bootCounter(log);
    if (boot1 < 0 || boot2 <= boot1)
        broken.push_back("the boot counter went from " + std::to_string(boot1) + " to " +
                         std::to_string(boot2) + " over the power cut");
    int lastLap = -1;
    for (const std::string& n : before) lastLap = std::max(lastLap, campaign::absLapOf(n));
    static const std::string kStart = "Starting with file: ";
    const size_t at = log.find(kStart);
    std::set<std::string> firsts(made);
    if (at != std::string::npos) firsts.insert(log.substr(at + kStart.size(), 12));
    for (const std::string& n : firsts)
        if (campaign::absLapOf(n) <= lastLap)
            broken.push_back("the absolute lap went back over the power cut: " + n + " after absolute lap " +
                             std::to_string(lastLap));
}

// One run of the scenario, or of its variant of the PC's commands, with `fault` given to the
// process; what broke the rules.
class ScenarioRun {
public:
    explicit ScenarioRun(const Fault& fault) : fault_(fault) {}

    Result run() {
        prepare(root_, fault_.walk);
        if (::testing::Test::HasFatalFailure()) {
            r_.broken.push_back("the device root could not be prepared");
            return r_;
        }
        // A drive's return: the stick a file system of its own that the kernel can freeze.
        if (fault_.meet == "return-thaw") {
            disk_ = std::make_unique<LoopDisk>(64 << 20, stick_);
            if (!disk_->ok()) returnNotes_ += "the stick is not frozen: " + disk_->reason() + "; ";
        }
        counts_ = root_.file("fault-counts.txt");
        std::vector<std::string> env = {"MSD_DRIVE_FAULT_COUNTS=" + counts_};
        if (!fault_.env.empty()) env.push_back("MSD_DRIVE_FAULT=" + fault_.env);
        dev_ = std::make_unique<AppProcess>(root_.path(), std::vector<std::string>{"0"}, env);
        watch_ = std::make_unique<HitWatch>(fault_, *dev_, meas_, stick_);
        if (!dev_->waitForShell(30000)) {
            r_.broken.push_back("no shell: " + dev_->stderrText());
            return r_;
        }
        dev_->shell("board ping answer");
        pcs_ = std::make_unique<PcConnectionService>(root_.path());
        if (!pcs_->ok()) {
            r_.broken.push_back("no remote-control queues");
            return r_;
        }
        if (fault_.pcSeed != 0)
            pcCommands();
        else if (!fault_.meet.empty())
            meetSteps();
        else
            fixedSteps();
        return finish();
    }

private:
    // A step waits for its state at most a while: under a fault it may never come, and the run goes
    // on all the same; once a power cut has killed the process nothing is waited for.
    bool alive() { return dev_->running(); }
    bool until(const std::function<bool()>& ready, int ms) {
        return waitFor([&] { return !alive() || ready(); }, ms) && alive();
    }
    bool logged(const std::string& what, int above, int ms) {
        return until([&] { return countOf(dev_->logText(), what) > above; }, ms);
    }
    bool newFile(int ms) {
        const int made = countOf(dev_->logText(), "VirtualFile::VirtualFile() created");
        return logged("VirtualFile::VirtualFile() created", made, ms);
    }
    bool stickIn() { return readFile(root_.file("usb_meas.drive")).find("inserted 1") != std::string::npos; }
    void stickState(bool in, const std::string& text = "", int inPlaceMs = -1) {
        if (in)
            for (const auto& [name, inode] : campaign::partFiles(stick_)) staleParts_.emplace(name, inode);
        watch_->stick(in);
        setStick(root_, in, text, inPlaceMs);
    }
    std::set<std::string> allFiles() {
        std::set<std::string> there;
        for (const std::string* dir : {&meas_, &stick_})
            for (const std::string& n : campaign::measurementFiles(*dir)) there.insert(n);
        return there;
    }

    // The files a stop's or destroy's 00 covered are whole and kept: a power cut must not lose them.
    // The files of the logging started again while it waited (by the watch or a command queued
    // behind it) are not the request's: they are still open.
    void answeredDone(const std::string& before, const std::string& what) {
        ++done_;
        // The files first, then the log: a file that a start after the request made (and is writing)
        // has its line by then, once the log has reached the test.
        std::vector<std::pair<const std::string*, std::string>> files;
        for (const std::string* dir : {&meas_, &stick_})
            for (const std::string& name : campaign::measurementFiles(*dir)) files.emplace_back(dir, name);
        auto madeLater = [&](const std::string& name) {
            const std::string log = dev_->logText();
            const size_t restart = log.find("New measurement started", before.size());
            if (restart == std::string::npos) return false;
            for (const std::string& n : campaign::filesMade(log.substr(restart)))
                if (n == name) return true;
            return false;
        };
        for (const auto& [dir, name] : files) {
            if (madeLater(name)) continue;
            const campaign::FileState s = campaign::fileState(*dir, name);
            if (s.whole)
                answered_.insert(*dir + "/" + name);
            else if (!campaign::namedUnfinished(before, name) &&
                     !waitUntil([&] { return madeLater(name); }, 1000))
                r_.broken.push_back(what + " answered 00 while " + *dir + "/" + name + " " + s.why);
        }
    }

    // A stop or a destroy: its answer within its bound, and 00 only with every file whole.
    void request(uint8_t code, const std::string& what, bool pingSilent) {
        if (!alive()) return;
        const std::string before = dev_->logText();
        requestAt_ = before.size();
        const auto sent = Clock::now();
        pcs_->command(code);
        if (pingSilent) dev_->shell("board ping silent");
        std::vector<uint8_t> answer;
        until(
            [&] {
                answer = pcs_->reply(100);
                return !answer.empty();
            },
            int(kAnswerBound * 1000) + 3000);
        if (pingSilent) dev_->shell("board ping answer");
        const double took = since(sent);
        if (answer.empty()) {
            if (alive()) {
                r_.broken.push_back("(l) " + what + " got no answer in " + fixed(kAnswerBound + 3) + " s");
                unanswered_ = true;
            }
            return;
        }
        if (took > kAnswerBound) r_.broken.push_back("(l) " + what + " answered after " + fixed(took) + " s");
        if (answer == DONE) answeredDone(before, what);
    }

    // A command that the table says ends in running (0xED after a destroy's answer, 0xEE after a
    // stop's) brings logging back: new records in a new file within 15 s, on a drive that can take
    // them.
    void comesBack(uint8_t code, const std::string& what) {
        const std::set<std::string> there = allFiles();
        const std::string log = dev_->logText();
        const int starts = countOf(log, "New measurement started");
        // The watch of a PC that stopped answering gave logging back already: it goes on.
        const bool running = log.find("remote lost, do a remote", requestAt_) != std::string::npos;
        std::map<std::string, size_t> before[2] = {campaign::recordsByFile(meas_, COUNTERS),
                                                   campaign::recordsByFile(stick_, COUNTERS)};
        pcs_->command(code);
        watch_->logging(true);
        const auto sent = Clock::now();
        const bool back = until(
            [&] {
                for (int d = 0; d < 2; ++d)
                    for (const auto& [n, records] :
                         campaign::recordsByFile(d == 0 ? meas_ : stick_, COUNTERS)) {
                        const auto was = before[d].find(n);
                        if (records > 0 && !there.count(n)) return true;
                        if (running && was != before[d].end() && records > was->second) return true;
                    }
                return false;
            },
            int(kBackBound * 1000));
        logged("New measurement started", starts, 1000);
        if (back || !alive()) return;
        // Held to it only where a drive could take them all along.
        if (!watch_->failing("meas:") || (stickIn() && !watch_->failing("usb_meas:")))
            r_.broken.push_back("(k) " + hex(code) + " " + what +
                                " brought no new records in a new file within " + fixed(kBackBound) + " s (" +
                                fixed(since(sent)) + " s)");
    }

    // The stick pulled (and seen gone), then put back (and seen arrived).
    void reseat() {
        const std::string log = dev_->logText();
        const int gone = countOf(log, "the stick is gone"), arrivals = countOf(log, "a stick arrived");
        stickState(false);
        logged("the stick is gone", gone, 8000);
        stickState(true);
        logged("a stick arrived", arrivals, 8000);
    }

    // Waits until the stick writes one file only, with records in it, every file before it settled:
    // the one a pull leaves as a piece, and the stick's return cuts and copies over it.
    void stickWritesOne() {
        until(
            [&] {
                const std::string log = dev_->logText();
                const std::vector<std::string> made = campaign::filesMade(log);
                const auto files = campaign::measurementFiles(stick_);
                if (made.empty() || files.empty() || files.back() != made.back() ||
                    files != campaign::measurementFiles(meas_) ||
                    measfile::readFile(stick_ + "/" + files.back()).recordsOf(COUNTERS).empty())
                    return false;
                for (size_t i = 0; i + 1 < files.size(); ++i)
                    if (log.find("deleted file (" + files[i] + ") from gFileQueue") == std::string::npos)
                        return false;
                return true;
            },
            8000);
    }

    // The scenarios where two of the device's jobs meet, at moments drawn from the run's seed.
    void meetSteps() {
        std::mt19937 rng(fault_.meetN);
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        const std::string& m = fault_.meet;
        if (m == "statewalk") return stateRewriteDuringTheWalk(pick);
        logged("a stick arrived", 0, 15000);
        until([&] { return campaign::recordsIn(meas_, COUNTERS) >= 30; }, 15000);
        campaign::Logging state = campaign::Logging::Running;
        if (m.rfind("lost-", 0) == 0) {
            // A stop or destroy that the slow drive of the run's fault holds past the watch's five
            // failed pings, the PC lost during it (silent, or with no route: each ping fails at once),
            // and in "EE" and "ED" the PC's own end of it queued behind while it runs.
            const std::string end = m.substr(5, 2);
            noRoute_ = m.find("noroute") != std::string::npos;
            if (noRoute_) {
                dev_->shell("board ping off");
                std::copy(std::begin(kNoRoute), std::end(kNoRoute), pcAddress_);
            }
            std::vector<Send> sends = {command(end == "E1" || end == "EE" ? 0xE1 : 0xE0, 0)};
            if (!noRoute_) sends.push_back({Do::Lose, pick(1500)});
            if (end == "EE" || end == "ED")
                sends.push_back(command(end == "EE" ? 0xEE : 0xED, 200 + pick(2500)));
            watch_->settle(false);
            step(state, sends, noRoute_ ? "the PC with no route" : "the PC lost");
        } else if (m == "queue") {
            // A stop or destroy that the run's fault makes slow, a second and a third request queued
            // behind it; then the PC's end of what they left.
            static const uint8_t kRequests[] = {0xE1, 0xE0, 0xD1, 0xE2};
            const uint8_t first = pick(2) ? 0xE0 : 0xE1;
            const int second = 300 + pick(300), third = 200 + pick(400);
            watch_->settle(false);
            if (step(state,
                     {command(first, 0), command(kRequests[pick(4)], second),
                      command(kRequests[pick(4)], third)},
                     "requests queued") &&
                state != campaign::Logging::Running) {
                watch_->settle(false);
                step(state, {command(state == campaign::Logging::Stopped ? 0xEE : 0xED, 0)}, "their end");
            }
        } else if (m.rfind("reseat-", 0) == 0) {
            // A stop with the stick out, then the stick back: the file closed last is copied to it,
            // slowly (the run's fault slows the copy's calls). During the copy the stick is re-seated,
            // once or twice: each arrival asks for a copy of that file again.
            const int gone = countOf(dev_->logText(), "the stick is gone");
            stickState(false);
            logged("the stick is gone", gone, 8000);
            watch_->settle(false);
            if (!step(state, {command(0xE1, pick(1000))}, "the stop with the stick out")) return;
            const int arrivals = countOf(dev_->logText(), "a stick arrived");
            stickState(true);
            logged("a stick arrived", arrivals, 8000);
            auto copying = [&] { return !campaign::partFiles(stick_).empty(); };
            until(copying, 20000);
            for (int k = m == "reseat-twice" ? 2 : 1; k > 0 && alive(); --k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(3000)));
                reseat();
                // The next one in the copy that this arrival asked for.
                if (k > 1) std::this_thread::sleep_for(std::chrono::milliseconds(5000));
            }
            until(copying, 10000);
            until([&] { return !copying(); }, 60000);
            step(state, {command(0xEE, 0)}, "the restart");
        } else if (m == "copyfail") {
            copiesWithTheFirstFailing(state, pick);
        } else if (m == "pullclose") {
            pulledCloses(pick);
        } else if (m == "stickwalk") {
            // The stick pulled while it writes one file. While it is out the PC downloads what it
            // holds: its folder gets the run's number of downloaded files named before that file and
            // the D flag, the piece of that file marked downloaded too. Its arrival starts the walk
            // and the copy of the file over the piece at once (the run's fault holds the walk's start
            // into the copy's time).
            stickWritesOne();
            const int gone = countOf(dev_->logText(), "the stick is gone");
            stickState(false);
            logged("the stick is gone", gone, 8000);
            const std::vector<std::string> files = campaign::measurementFiles(stick_);
            std::string text = "inserted 1\ndirattr 1\n";
            if (!files.empty()) text += "attr " + files.back() + " 0x00\n";
            for (uint32_t i = 0; i < fault_.meetN; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "0%07u.DAT", unsigned(i));
                std::ofstream(stick_ + "/" + name).flush();
                text += std::string("attr ") + name + " 0x00\n";
            }
            const std::string log = dev_->logText();
            stickState(true, text);
            logged("a stick arrived", countOf(log, "a stick arrived"), 8000);
            logged("check on 'usb_meas:' took", countOf(log, "check on 'usb_meas:' took"), 60000);
            until([&] { return campaign::partFiles(stick_).empty(); }, 30000);
        } else if (m.rfind("rewrite-", 0) == 0) {
            // Laps, and the stick pulled or put back from outside at each, at a moment drawn among the
            // lap's closes: its state file written in place (emptied, then written, as `echo >` does)
            // or renamed over. The device sees every change.
            bool in = true;
            for (int i = 0; i < 6 && alive(); ++i) {
                watch_->settle(true);
                const char* line = in ? "the stick is gone" : "a stick arrived";
                const int seen = countOf(dev_->logText(), line);
                dev_->shell("lof_laptrig");
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(300)));
                in = !in;
                stickState(in, "", m == "rewrite-inplace" ? 20 + pick(300) : -1);
                if (!logged(line, seen, 8000)) {
                    if (alive())
                        r_.broken.push_back(std::string("(s) the stick ") + (in ? "put back" : "pulled") +
                                            " from outside at a lap is not seen within 8 s (its state file " +
                                            (m == "rewrite-inplace" ? "written in place" : "renamed over") +
                                            " holds \"" + oneLine(readFile(root_.file("usb_meas.drive"))) +
                                            "\")");
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1000 + pick(2000)));
            }
            if (alive() && !in) {
                const int arrivals = countOf(dev_->logText(), "a stick arrived");
                stickState(true);
                logged("a stick arrived", arrivals, 8000);
            }
        } else if (m.rfind("fifth-", 0) == 0) {
            // The PC silent from its stop (destroy) on; its end of it 0.55 to 0.7 s before the
            // watch's fifth failed ping and, in odd seeds, the stop (destroy) again 0.2 s later; the
            // PC answers again right after.
            const bool destroy = m == "fifth-ED";
            const uint8_t closing = destroy ? 0xE0 : 0xE1;
            std::vector<Send> sends = {{Do::Pings, 0},
                                       command(closing, 0),
                                       {Do::Fifth, 0},
                                       command(destroy ? 0xED : 0xEE, 300 + pick(150))};
            if (fault_.meetN % 2) sends.push_back(command(closing, 200));
            sends.push_back({Do::Pings, 0, 1});
            watch_->settle(false);
            step(state, sends, "the PC's command in the watch's fifth ping");
        } else if (m == "behind-ED") {
            // A stop whose read-only marks the run's fault holds 9 s, the PC's 0xED 0.8 to 1.2 s after
            // it and the PC lost 0.3 s later.
            watch_->settle(false);
            step(state, {command(0xE1, 0), command(0xED, 800 + pick(400)), {Do::Lose, 300}},
                 "an 0xED behind a slow stop, the PC lost");
        } else if (m == "stall") {
            stallSteps(pick);
        } else if (m.rfind("return-", 0) == 0 || m == "stickhung") {
            returnSteps();
        } else if (m == "held") {
            heldSteps(pick);
        } else {
            // Logging for the run's seconds, a lap every 3 s in "laps"; then SIGTERM.
            watch_->settle(true);
            const auto end = Clock::now() + std::chrono::seconds(fault_.meetN);
            while (alive() && Clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(m == "laps" ? 2700 + pick(600) : 500));
                if (m != "laps" || Clock::now() >= end) continue;
                dev_->shell("lof_laptrig");
                ++laps_;
            }
        }
    }

    // ---- Copies of one file with the first failing ----
    // The stick pulled from the file that a stop then closes, and back: its copy is held 8 s at its
    // first write-through and its rename fails (the run's faults). Re-seated in the hold (pulled up
    // to 1.5 s into it, its arrival seen while the copy is held), it asks for a second copy, which
    // ends on its own: (w) within 25 s the stick holds the file whole, read-only, as on meas:.
    void copiesWithTheFirstFailing(campaign::Logging& state, const std::function<int(int)>& pick) {
        stickWritesOne();
        const int gone = countOf(dev_->logText(), "the stick is gone");
        stickState(false);
        logged("the stick is gone", gone, 8000);
        watch_->settle(false);
        const auto files = campaign::measurementFiles(stick_);
        if (files.empty() || !step(state, {command(0xE1, pick(1000))}, "the stop with the stick out")) return;
        const int arrivals = countOf(dev_->logText(), "a stick arrived");
        stickState(true);
        logged("a stick arrived", arrivals, 8000);
        if (!until([&] { return dev_->stderrText().find(kHit + fault_.first) != std::string::npos; }, 20000))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(1500)));
        reseat();
        const auto back = Clock::now();
        const std::string& name = files.back();
        const bool whole = until(
            [&] {
                return campaign::fileState(stick_, name).readOnly &&
                       readBinary(stick_ + "/" + name) == readBinary(meas_ + "/" + name);
            },
            25000);
        if (!whole && alive())
            r_.broken.push_back("(w) usb_meas:/" + name +
                                " is not read-only as on meas: 25 s after its re-seat (" +
                                campaign::fileState(stick_, name).why + ")");
        r_.notes += whole ? "the stick's file whole " + fixed(since(back)) + " s after the re-seat; " : "";
        step(state, {command(0xEE, 0)}, "the restart");
    }
    // ---- end of: copies of one file with the first failing ----

    // ---- The stick pulled in its close of a lap's file ("pullclose<seed>") ----
    // A lap, and 0.3 to 1.8 s after it (every read-only mark of the stick held 2 s by the run's fault)
    // the stick pulled in its close of the lap's file; put back once that file and the open one are
    // named unfinished there (5 s at most); three times. (x) Within 25 s of each arrival every file a
    // pull left unfinished on the stick is whole there, read-only with the bytes of meas:.
    void pulledCloses(const std::function<int(int)>& pick) {
        static const std::string kFile = "BFSWriter: usb_meas:/",
                                 kPulled = "not finished on usb_meas: the stick was pulled";
        auto pulled = [&] {
            std::set<std::string> names;
            std::istringstream lines(dev_->logText());
            for (std::string line; std::getline(lines, line);)
                if (const size_t at = line.find(kFile);
                    at != std::string::npos && line.find(kPulled) != std::string::npos)
                    names.insert(line.substr(at + kFile.size(), 12));
            return names;
        };
        auto whole = [&](const std::string& name) {
            return campaign::fileState(stick_, name).whole && campaign::fileState(meas_, name).whole &&
                   readBinary(stick_ + "/" + name) == readBinary(meas_ + "/" + name);
        };
        for (int i = 0; i < 3 && alive(); ++i) {
            watch_->settle(true);
            dev_->shell("lof_laptrig");
            ++laps_;
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + pick(1500)));
            const std::string log = dev_->logText();
            const size_t before = pulled().size();
            stickState(false);
            logged("the stick is gone", countOf(log, "the stick is gone"), 8000);
            until([&] { return pulled().size() >= before + 2; }, 5000);
            stickState(true);
            if (!logged("a stick arrived", countOf(log, "a stick arrived"), 8000)) return;
            const std::set<std::string> left = pulled();
            if (until([&] { return std::all_of(left.begin(), left.end(), whole); }, 25000) || !alive())
                continue;
            for (const std::string& name : left)
                if (!whole(name))
                    r_.broken.push_back("(x) usb_meas:/" + name +
                                        ", left unfinished by a pull, is not whole there 25 s after the "
                                        "stick's next arrival (" +
                                        campaign::fileState(stick_, name).why + ")");
            return;
        }
        r_.notes += std::to_string(pulled().size()) + " files left unfinished by the pulls; ";
    }
    // ---- end of: the stick pulled in its close ----

    void fixedSteps() {
        // The start with the stick in, a lap and a fragment.
        logged("a stick arrived", 0, 15000);
        until(
            [&] {
                const auto files = campaign::measurementFiles(meas_);
                return !files.empty() &&
                       measfile::readFile(meas_ + "/" + files.back()).recordsOf(COUNTERS).size() >= 30;
            },
            10000);
        dev_->shell("lof_laptrig");
        newFile(8000);
        dev_->shell("lof_fratrig");
        newFile(8000);
        stickWritesOne();
        watch_->settle(true);
        stickState(false);
        logged("the stick is gone", 0, 8000);
        if (const auto files = campaign::measurementFiles(stick_); !files.empty()) {
            piece_ = files.back();
            pieceSize_ = std::filesystem::file_size(stick_ + "/" + piece_);
        }
        const int cuts = countOf(dev_->logText(), "VirtualFile::VirtualFile() created");
        stickState(true);
        logged("a stick arrived", 1, 8000);
        logged("VirtualFile::VirtualFile() created", cuts, 8000); // the arrival's cut

        // A stop, its end and a destroy, each answered; `pingSilent`: the PC stops answering pings
        // at the stop (the watch gives logging back in a new file, which the stop's answer does not
        // wait for).
        auto stopStartDestroy = [&](const std::string& with, bool pingSilent) {
            watch_->settle(false);
            request(0xE1, "the stop" + with, pingSilent);
            if (!unanswered_ && alive()) {
                comesBack(0xEE, "after the stop" + with);
                watch_->settle(false);
                request(0xE0, "the destroy" + with, false);
            }
        };
        // A stop while the PC stops answering pings, its end, a destroy, the stick pulled, and one
        // 0xED.
        if (alive()) stopStartDestroy("", true);
        if (!unanswered_ && alive()) {
            stickState(false);
            logged("the stick is gone", 1, 8000);
            comesBack(0xED, "after the destroy's answer");
        }
        // A stop and a destroy with the stick out; then the stick back, and SIGTERM as soon as the
        // device sees it: the shutdown waits for the copy its arrival asks for.
        if (!unanswered_ && alive()) stopStartDestroy(" with the stick out", false);
        if (alive()) {
            const int arrivals = countOf(dev_->logText(), "a stick arrived");
            stickState(true);
            logged("a stick arrived", arrivals, 8000);
        }
    }

    // One thing a step does, after the one before it: a command of the PC, the stick pulled or put
    // back, a lap or a fragment, or the PC lost (its pings go silent); or the pings silent or answered
    // again, and the wait for the watch's fifth ping.
    enum class Do { Command, Pull, Insert, Lap, Fragment, Lose, Pings, Fifth };
    struct Send {
        Do what;
        int afterMs;
        uint8_t code = 0;
    };
    static Send command(uint8_t code, int afterMs) { return {Do::Command, afterMs, code}; }

    // Does `sends` in their order, then: every answer within 12 s of its own request, 00 only with
    // its files whole, and logging in the state the remote-control table leaves from `state` (a stop
    // or destroy whose PC is lost ends in running: its watch gives logging back at the fifth failed
    // ping, with no command after it), running again within 2 s of the end of the step's last request
    // where the table says so. False when the run cannot go on.
    bool step(campaign::Logging& state, const std::vector<Send>& sends, const std::string& name) {
        const std::map<std::string, size_t> before = campaign::recordsByFile(meas_, COUNTERS);
        const std::string logBefore = dev_->logText();
        std::string what;
        std::vector<std::pair<uint8_t, Clock::time_point>> requests;
        std::vector<uint8_t> codes;
        bool lapOrFragment = false, fifth = false;
        std::optional<Clock::time_point> lostAt;
        const int decisions = campaign::watchDecisions(logBefore);
        for (const Send& s : sends) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.afterMs));
            std::string did;
            switch (s.what) {
            case Do::Command:
                pcs_->send({s.code, pcAddress_[0], pcAddress_[1], pcAddress_[2], pcAddress_[3]});
                codes.push_back(s.code);
                did = hex(s.code);
                if (campaign::isRequest(s.code)) requests.emplace_back(s.code, Clock::now());
                break;
            case Do::Pull:
            case Do::Insert:
                stickState(s.what == Do::Insert);
                did = s.what == Do::Insert ? "insert" : "pull";
                break;
            case Do::Lap:
            case Do::Fragment:
                dev_->shell(s.what == Do::Lap ? "lof_laptrig" : "lof_fratrig");
                did = s.what == Do::Lap ? "lap" : "fragment";
                lapOrFragment = true;
                break;
            case Do::Lose:
                dev_->shell("board ping silent");
                lostAt = Clock::now();
                did = "the PC lost";
                break;
            case Do::Pings: // answered again (code 1) or silent, the PC not lost
                dev_->shell(s.code ? "board ping answer" : "board ping silent");
                did = s.code ? "pings answered" : "pings silent";
                break;
            case Do::Fifth:
                // The double counts each ping as it begins.
                until([&] { return campaign::pingsToTheDouble(*dev_) >= 5; }, 15000);
                fifth = true;
                did = "the fifth ping";
                break;
            }
            what += (what.empty() ? "" : ", ") + did;
        }
        // A PC with no route is lost from its first request on.
        if (noRoute_ && !requests.empty()) lostAt = requests.front().second;
        what = name + " (" + what + ", logging " + campaign::nameOf(state) + ")";
        int failedAnswers = 0;
        Clock::time_point ended = Clock::now();
        for (const auto& [code, sent] : requests) {
            std::vector<uint8_t> answer;
            until(
                [&] {
                    answer = pcs_->reply(100);
                    return !answer.empty();
                },
                int(kAnswerBound * 1000) + 3000 - int(since(sent) * 1000));
            if (answer.empty()) {
                if (alive()) {
                    r_.broken.push_back("(l) " + hex(code) + " of " + what + " got no answer in " +
                                        fixed(since(sent)) + " s");
                    unanswered_ = true;
                }
                break;
            }
            ended = Clock::now();
            if (since(sent) > kAnswerBound)
                r_.broken.push_back("(l) " + hex(code) + " of " + what + " answered after " +
                                    fixed(since(sent)) + " s");
            if (answer == DONE && code != 0xE2) answeredDone(logBefore, hex(code) + " of " + what);
            if (answer != DONE) ++failedAnswers;
        }
        // The PC stays away until the watch has had its five failed pings (one second each).
        if (lostAt) {
            until([&] { return since(*lostAt) > 5.5; }, 6000);
            dev_->shell("board ping answer");
        }
        // The command came in the fifth ping: the watch decides once that ping has failed.
        if (fifth) until([&] { return campaign::watchDecisions(dev_->logText()) > decisions; }, 10000);
        if (unanswered_ || !alive()) return false;
        // What the table leaves: the commands in their order, a refused request changing nothing.
        if (!codes.empty()) {
            // The listener has taken the last of them.
            const char* line = campaign::receivedLine(codes.back());
            logged(line,
                   countOf(logBefore, line) + int(std::count(codes.begin(), codes.end(), codes.back())) - 1,
                   5000);
        }
        const std::vector<bool> taken =
            campaign::takenByLog(campaign::logWithAnswers(*dev_, logBefore.size(), failedAnswers), codes);
        campaign::Logging expected = state;
        bool fresh = false, watched = false;
        for (size_t i = 0; i < codes.size(); ++i) {
            if (taken[i] && campaign::startsNewFile(expected, codes[i])) fresh = true;
            watched = watched || (taken[i] && (codes[i] == 0xE1 || codes[i] == 0xE0 || codes[i] == 0xD1));
            expected = campaign::after(expected, codes[i], taken[i]);
        }
        if (lostAt && watched && expected != campaign::Logging::Running) {
            expected = campaign::Logging::Running;
            fresh = true;
        }
        if (expected != campaign::Logging::Running) fresh = false;
        // A lap or fragment alone, or a pull, changes nothing of the logging's state.
        if (codes.empty() && expected == campaign::Logging::Running) fresh = lapOrFragment;
        if (expected == campaign::Logging::Running && !requests.empty()) {
            // The request ends once it is answered and carried out, and not before its watch has seen
            // the PC's fifth failed ping (one second each).
            waitFor([&] { return campaign::requestsPending(*dev_) <= 0; }, 5000);
            Clock::time_point end = std::max(ended, Clock::now() - std::chrono::milliseconds(50));
            if (lostAt && watched) end = std::max(end, *lostAt + std::chrono::milliseconds(5500));
            while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            // Its files are closed by then: records that come after are logging's again.
            const std::map<std::string, size_t> atEnd[2] = {campaign::recordsByFile(meas_, COUNTERS),
                                                            campaign::recordsByFile(stick_, COUNTERS)};
            const double bound = kBackOnDrive + kPollSlack;
            const bool back = until(
                [&] {
                    for (int d = 0; d < 2; ++d)
                        for (const auto& [n, records] :
                             campaign::recordsByFile(d == 0 ? meas_ : stick_, COUNTERS))
                            if (records > (atEnd[d].count(n) ? atEnd[d].at(n) : 0)) return true;
                    return false;
                },
                int(1000 * (bound - std::chrono::duration<double>(Clock::now() - end).count())));
            if (!back && alive() &&
                (!watch_->failing("meas:") || (stickIn() && !watch_->failing("usb_meas:"))))
                r_.broken.push_back("(m) after " + what + ": logging does not run " + fixed(bound) +
                                    " s after the end of its last request" +
                                    (lostAt && watched ? " and the watch's fifth failed ping" : ""));
        }
        const std::string wrong = campaign::awaitLogging(*dev_, meas_, COUNTERS, expected, before, fresh,
                                                         int(kBackBound * 1000), fault_.env.empty());
        checkWatchMeets(logBefore, what);
        state = expected;
        watch_->logging(state == campaign::Logging::Running);
        if (!wrong.empty() && alive()) {
            r_.broken.push_back("(k) after " + what + ": " + wrong);
            return false;
        }
        return true;
    }

    // (y) Where the PC's command meets its watch: the watch asks nothing after it, and logging
    // starts at most once in the step.
    void checkWatchMeets(const std::string& logBefore, const std::string& what) {
        if (fault_.meet.rfind("fifth-", 0) != 0 && fault_.meet != "behind-ED") return;
        const std::string log = dev_->logText(), step = log.substr(std::min(logBefore.size(), log.size()));
        const size_t asked = step.find("remote lost, do a remote");
        if (asked != std::string::npos)
            r_.broken.push_back("(y) after " + what + " the watch asked all the same: " +
                                step.substr(asked, step.find('\n', asked) - asked));
        const int starts = countOf(step, "New measurement started");
        if (starts > 1)
            r_.broken.push_back("(y) after " + what + " logging started " + std::to_string(starts) +
                                " times");
    }

    // The PC's commands at random moments (seeded): each command alone, a stop and the stick pulled
    // or put back in the same second, a lap with a stop and its end queued right behind it, a stop,
    // its end and a destroy queued, the stick pulled or put back, a lap or a fragment alone.
    void pcCommands() {
        std::mt19937 rng(fault_.pcSeed);
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        until([&] { return campaign::recordsIn(meas_, COUNTERS) >= 30; }, 15000);
        static const uint8_t kCommands[] = {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF};
        campaign::Logging state = campaign::Logging::Running;
        bool in = true;
        for (int i = 0; i < 12 && alive() && !unanswered_; ++i) {
            watch_->settle(state == campaign::Logging::Running);
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(1500)));
            const int kind = pick(15);
            const Send stick{in ? Do::Pull : Do::Insert, 0};
            std::vector<Send> sends;
            if (kind < 7) {
                sends = {command(kCommands[kind], 0)};
            } else if (kind == 7) {
                // A stop, then the stick within the same second.
                sends = {command(0xE1, 0), {stick.what, pick(500)}};
            } else if (kind == 8) {
                sends = {stick, command(0xE1, pick(500))};
            } else if (kind <= 10) {
                const int stop = pick(300);
                sends = {{Do::Lap, 0}, command(0xE1, stop), command(0xEE, pick(200))};
            } else if (kind == 11) {
                sends = {stick};
            } else if (kind == 14) {
                // A PC that reconnects: a stop, its end and a destroy queued behind one another.
                const int end = pick(200);
                sends = {command(0xE1, 0), command(0xEE, end), command(0xE0, pick(200))};
            } else {
                sends = {{kind == 12 ? Do::Lap : Do::Fragment, 0}};
            }
            for (const Send& s : sends)
                if (s.what == Do::Pull || s.what == Do::Insert) in = s.what == Do::Insert;
            if (!step(state, sends, "step " + std::to_string(i + 1))) break;
        }
        if (alive() && !in) {
            const int arrivals = countOf(dev_->logText(), "a stick arrived");
            stickState(true);
            logged("a stick arrived", arrivals, 8000);
        }
    }

    Result finish() {
        const auto term = Clock::now();
        dev_->signal(SIGTERM);
        const int exitCode = dev_->waitExit(30000);
        const double ended = since(term);
        watch_->stop();
        r_.log = dev_->logText();
        r_.hit = watch_->hit();
        r_.notes = watch_->notes() + returnNotes_ + r_.notes; // after what the steps noted
        for (const std::string& b : watch_->broken()) r_.broken.push_back(b);
        {
            std::istringstream in(readFile(counts_));
            std::string drive, op;
            for (std::string line; std::getline(in, line);) {
                std::istringstream words(line);
                uint32_t calls = 0;
                if (words >> drive >> op >> calls) r_.counts[drive + " " + op] = calls;
            }
        }
        const bool cut =
            !fault_.cut.empty() && dev_->stderrText().find(kHit + fault_.cut + " in ") != std::string::npos;
        if (cut) {
            r_.notes += "the power cut came; ";
            // The power cut kills the process (SIGKILL); the device starts again on what is left.
            if (exitCode != 128 + SIGKILL)
                r_.broken.push_back("the power cut ended the process with " + std::to_string(exitCode));
            dev_.reset();
            pcs_->discardPending();
            std::string after;
            checkAfterPowerCut(root_, r_.log, answered_, fault_.walk, r_.broken, &after);
            r_.log += "\n(the start after the power cut)\n" + after;
            checkLogKept(root_, r_.log, r_.broken);
            return r_;
        }
        if (ended > kAnswerBound)
            r_.broken.push_back("(l) the process ended " + fixed(ended) + " s after SIGTERM");
        // A request still waiting at the shutdown is answered before the process ends.
        if (unanswered_ && pcs_->reply(100).empty())
            r_.broken.push_back("(l) the waiting request got no answer at the shutdown");
        r_.allDone = done_ == 4 && exitCode == 0;
        for (const std::string& b : campaign::checkDrives(meas_, stick_, r_.log))
            r_.broken.push_back((b.find("read-only") != std::string::npos ? "(e) " : "") + b);
        checkSaidFinished(r_.log, meas_, stick_, {}, r_.broken);
        // A stick that hangs for good (or a copy that does) keeps the piece it holds: nothing can
        // remove it there.
        if (!(fault_.drive == "usb_meas:" && fault_.what == "hold0" && watch_->hit()))
            checkStaleParts(staleParts_, stick_, "after the run", r_.broken);
        std::set<std::string> made;
        for (const std::string& n : campaign::filesMade(r_.log)) {
            // Each file name once; a file the logging made is on the logging drive, or named not
            // finished there.
            if (!made.insert(n).second) r_.broken.push_back("the name " + n + " is used twice");
            if (!std::filesystem::exists(meas_ + "/" + n) && !campaign::namedUnfinished(r_.log, n))
                r_.broken.push_back(n + " is not on the logging drive and no line names it not finished");
        }
        // The copy over the stick's piece replaces it only once whole: a failed one leaves it as it was.
        std::vector<std::string> lost;
        if (!piece_.empty()) {
            std::error_code ec;
            const uintmax_t now = std::filesystem::file_size(stick_ + "/" + piece_, ec);
            if (ec || now < pieceSize_)
                lost.push_back("the stick's piece " + piece_ + " of " + std::to_string(pieceSize_) +
                               " bytes is " + (ec ? std::string("gone") : std::to_string(now) + " bytes") +
                               " after its copy");
        }
        r_.broken.insert(r_.broken.end(), lost.begin(), lost.end());
        checkExitCode(exitCode, meas_, stick_, r_.log, unsafeIn(root_, counts_), false, lost, r_.broken);
        // The drive without the fault misses nothing. (The stick gets the file it was pulled from as
        // a copy from the logging drive: with a fault there, it is held to the rules above only.)
        for (const char* drive : {"meas:", "usb_meas:"}) {
            const bool faultFree =
                fault_.drive != drive && !(fault_.drive == "meas:" && std::string(drive) == "usb_meas:");
            const std::string& dir = std::string(drive) == "meas:" ? meas_ : stick_;
            if (faultFree)
                for (const std::string& name : campaign::measurementFiles(dir)) {
                    const campaign::FileState s = campaign::fileState(dir, name);
                    // The PC's variant and those where jobs meet pull the stick at any moment: a
                    // piece its copy does not replace stays (named).
                    if (anyPull() && dir == stick_ && pulledPiece(name)) continue;
                    if (!s.whole)
                        r_.broken.push_back(dir + "/" + name + " on the drive without the fault " + s.why);
                }
        }
        // (z) A request not carried out is one whose time was over before its turn, nothing else.
        if (const std::string line = campaign::notCarriedOutWhileTaken(r_.log); !line.empty())
            r_.broken.push_back("(z) a request that is carried out is said not to be: " + line);
        checkFromTheStart();
        checkWorking();
        checkWalk();
        checkStateWalk();
        checkLogKept(root_, r_.log, r_.broken);
        checkCopiesKept();
        checkHealthyDrive();
        checkAfterStall();
        checkShutdownEnd(exitCode, term, ended);
        checkReturn();
        // A copy asked for at the stick's last arrival ends before the exit, or its file is named (also
        // as a copy the shutdown ended before it replaced the stick's file).
        const size_t arrival = r_.log.rfind("a stick arrived: ");
        if (arrival != std::string::npos &&
            r_.log.substr(arrival, r_.log.find('\n', arrival) - arrival).find("copied to it") !=
                std::string::npos) {
            const std::string after = r_.log.substr(arrival);
            const auto files = campaign::filesMade(r_.log.substr(0, arrival));
            const std::string asked = files.empty() ? "" : files.back();
            if (after.find("r_FileCpyTaskA") == std::string::npos &&
                !campaign::namedUnfinished(after, asked) &&
                after.find("the copy of " + asked + " to the stick is not made") == std::string::npos)
                r_.broken.push_back(
                    "the copy of " + asked +
                    " asked for at the stick's arrival neither ended before the exit nor is named");
        }
        return r_;
    }

    // ---- A host that holds the process back ("held<seconds>") ----
    // A lap every 3 s for the run's seconds; before every other lap the process is stopped for 1 to
    // 3 s (SIGSTOP, SIGCONT) at a seeded moment, in odd holds with the lap sent while it is held.
    void heldSteps(const std::function<int(int)>& pick) {
        watch_->settle(true);
        const auto end = Clock::now() + std::chrono::seconds(fault_.meetN);
        while (alive() && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2700 + pick(600)));
            if (pick(2) == 0) {
                const bool overLap = pick(2) == 1;
                ::kill(dev_->pid(), SIGSTOP);
                std::jthread lap;
                if (overLap) lap = std::jthread([this] { dev_->shell("lof_laptrig"); });
                std::this_thread::sleep_for(std::chrono::milliseconds(1000 + pick(2001)));
                ::kill(dev_->pid(), SIGCONT);
                r_.notes += std::string("held") + (overLap ? " over a lap" : "") + "; ";
                if (lap.joinable()) {
                    lap.join();
                    ++laps_;
                    continue;
                }
            }
            dev_->shell("lof_laptrig");
            ++laps_;
        }
    }
    // ---- The shutdown: after a stall early in the run ("stall<seed>"), and its end ----
    // Once the stall has returned: laps for 10 to 30 s, then SIGTERM (finish).
    void stallSteps(const std::function<int(int)>& pick) {
        until([&] { return watch_->hit(); }, 30000);
        watch_->settle(true); // the call has returned, and records are on its drive again
        const auto end = Clock::now() + std::chrono::seconds(10 + pick(21));
        while (alive() && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2700 + pick(600)));
            dev_->shell("lof_laptrig");
        }
    }
    // (g) Every file made after the stall returned (on every drive it held) is whole on both drives.
    void checkAfterStall() {
        if (fault_.meet != "stall") return;
        size_t back = 0;
        std::stringstream faults(fault_.env);
        for (std::string one; std::getline(faults, one, ';');) {
            const size_t colon = one.find(':');
            if (colon == std::string::npos || one.compare(0, 4, "nv:") == 0) continue;
            const size_t at = r_.log.find("the drive '" + one.substr(0, colon + 1) + "' answers again");
            if (at == std::string::npos) return;
            back = std::max(back, at);
        }
        const std::vector<std::string> made = campaign::filesMade(r_.log);
        for (size_t i = campaign::filesMade(r_.log.substr(0, back)).size(); i < made.size(); ++i)
            for (const std::string* dir : {&meas_, &stick_})
                if (const campaign::FileState s = campaign::fileState(*dir, made[i]); !s.whole)
                    r_.broken.push_back("(g) " + *dir + "/" + made[i] + ", made after the stall returned, " +
                                        "is not whole at SIGTERM: it " + s.why);
    }
    // (h) Data are named lost at the exit only beside a file the exit names not finished; with laps
    // and exit 0, the process ends within 3 s of the last read-only mark (its drive's state).
    void checkShutdownEnd(int exitCode, Clock::time_point term, double ended) {
        if (countOf(r_.log, "main(): the logger's data are not all on disk: ") > 0 &&
            campaign::unfinishedAtExit(r_.log).empty())
            r_.broken.push_back("(h) the exit names data lost while it names no file not finished");
        // A slow NV store's write-throughs go on after the last file, up to the shutdown's NV bound
        // (10.5 s into it): the process then ends within the shutdown's own bound, checked above.
        if (exitCode != 0 || fault_.meet != "laps" || fault_.env.find("nv:") != std::string::npos) return;
        auto marked = std::filesystem::file_time_type::min();
        for (const char* state : {"meas.drive", "usb_meas.drive"}) {
            std::error_code ec;
            marked = std::max(marked, std::filesystem::last_write_time(root_.file(state), ec));
        }
        const double after =
            std::chrono::duration<double>(std::filesystem::file_time_type::clock::now() - marked).count() -
            (since(term) - ended);
        r_.notes += "the process ended " + fixed(after) + " s after the last file turned whole; ";
        if (after > 3.0)
            r_.broken.push_back("(h) the process ended " + fixed(after) +
                                " s after the last file turned whole");
    }
    // ---- end of the shutdown's rules ----
    // ---- A drive's return: its steps and rule (v). ----

    // "return-*": the drive's fault (a hang of the stick's write-through, EIO on meas:, the stick
    // frozen at a seeded moment for 12-14 s), its join, a lap or a fragment at a seeded moment 0-2 s
    // after it, then 10 s of logging. "stickhung": a lap every 3 s while the stick's writer is held,
    // and for 10 s after the stick answers again.
    void returnSteps() {
        std::mt19937 rng(fault_.meetN);
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        static const std::string kJoined = "; a new file is cut";
        if (fault_.meet == "stickhung") {
            const std::string answers = "meas_app_driveCall(): the drive 'usb_meas:' answers again";
            const auto began = Clock::now();
            std::optional<Clock::time_point> back;
            while (alive() && since(began) < fault_.meetN + 60.0 && !(back && since(*back) > 10.0)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2700 + pick(600)));
                dev_->shell("lof_laptrig");
                ++laps_;
                if (!back && dev_->logText().find(answers) != std::string::npos) back = Clock::now();
            }
            return;
        }
        std::unique_ptr<DiskFreeze> frozen;
        if (disk_ && disk_->ok()) {
            // After the store's start-up of 25 s, when it cuts what its writers have passed.
            std::this_thread::sleep_for(std::chrono::milliseconds(26000 + pick(3000)));
            frozen = std::make_unique<DiskFreeze>(stick_, 12 + pick(3));
            if (!frozen->ok()) returnNotes_ += "the stick is not frozen: " + frozen->reason() + "; ";
        }
        // The fault's drive joins once it is back (no join comes before it here).
        if (!logged(kJoined, 0, 60000)) return;
        joinAt_ = loggedStamp(dev_->logText(), kJoined);
        // Seeds 1, 2, 3: 0.45, 0.9 and 1.35 s after the join (a cut 0.35-0.66 s after it made the join
        // repeat without end).
        const int after = int(fault_.meetN * 450 % 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(after));
        const bool lap = pick(2) != 0;
        dev_->shell(lap ? "lof_laptrig" : "lof_fratrig");
        ++(lap ? laps_ : fragments_);
        returnNotes_ +=
            std::string(lap ? "a lap " : "a fragment ") + fixed(after / 1000.0) + " s after the join; ";
        until(
            [&] {
                uint32_t last = 0;
                return campaign::lastRecord(meas_, COUNTERS, &last) && last / 10000.0 >= joinAt_ + 10.5;
            },
            30000);
        if (frozen) frozen->waitThawed();
    }

    // (v) The healthy drive's files only at laps, fragments and commands, with at most one join for
    // the fault's one return; at most 2 files on meas: in the 10 s after the join, and the drive says
    // that it takes data again within 2 s of it. With the stick hung: meas: has every record, and no
    // writer of meas: is let go.
    void checkReturn() {
        if (fault_.meet.rfind("return-", 0) != 0 && fault_.meet != "stickhung") return;
        if (fault_.meet == "return-thaw" && !(disk_ && disk_->ok())) return;
        const bool onMeas = fault_.drive == "meas:";
        const std::string& dir = onMeas ? stick_ : meas_;
        const int joins = countOf(r_.log, "a new file is cut");
        const size_t files = campaign::measurementFiles(dir).size(),
                     cuts = 1 + size_t(laps_ + fragments_) + size_t(joins) +
                            size_t(countOf(r_.log, "a stick arrived: the open files are cut"));
        r_.notes += std::to_string(joins) + " join(s); ";
        if (joins > 1)
            r_.broken.push_back("(v) " + fault_.drive + " joined " + std::to_string(joins) +
                                " times for the fault's one return");
        // A cut that comes before the join's file is made cuts that file.
        if (files > cuts)
            r_.broken.push_back("(v) " + dir + ", the healthy drive, has " + std::to_string(files) +
                                " files for " + std::to_string(cuts) +
                                " laps, fragments, arrivals and joins");
        if (joinAt_ > 0) {
            int made = 0;
            for (double at : loggedStamps(r_.log, "VirtualFile::VirtualFile() created"))
                made += at >= joinAt_ && at <= joinAt_ + 10.0;
            const double takes = loggedStamp(r_.log.substr(r_.log.find("a new file is cut")),
                                             fault_.drive + " takes data again");
            r_.notes += std::to_string(made) +
                        " files on meas: in the 10 s after the join, takes data again " +
                        fixed(takes - joinAt_) + " s after it; ";
            if (made > 2)
                r_.broken.push_back("(v) meas: has " + std::to_string(made) +
                                    " files made in the 10 s after the join");
            if (takes < 0 || takes - joinAt_ > kBackOnDrive)
                r_.broken.push_back("(v) " + fault_.drive + " does not take data again within " +
                                    fixed(kBackOnDrive) + " s of its join");
        }
        if (fault_.meet != "stickhung") return;
        for (const char* never : {"dropSlowest", "file slots full", "removing writer r_BFSWriter1"})
            if (r_.log.find(never) != std::string::npos)
                r_.broken.push_back(std::string("(v) with the stick hung the store says \"") + never + "\"");
        const std::string gap = campaign::recordGap(meas_, COUNTERS, 100);
        if (!gap.empty()) r_.broken.push_back("(v) meas: lacks the records " + gap + " with the stick hung");
        const double letGo = loggedStamp(r_.log, "removing writer r_USBWriter1") -
                             loggedStamp(r_.log, "the drive 'usb_meas:' does not answer");
        if (!(letGo >= 0 && letGo <= 1.0))
            r_.broken.push_back("(v) the stick's writer was let go " + fixed(letGo) +
                                " s after it was named hung");
    }

    // ---- End of a drive's return. ----

    bool anyPull() const { return fault_.pcSeed != 0 || !fault_.meet.empty(); }

    bool pulledPiece(const std::string& name) {
        std::istringstream in(r_.log);
        for (std::string line; std::getline(in, line);)
            if (line.find(name) != std::string::npos &&
                line.find("not finished on usb_meas:") != std::string::npos &&
                line.find("the stick was pulled") != std::string::npos)
                return true;
        return false;
    }

    // Only the D-flag walk deletes files on the stick, and only those the PC downloaded: each file
    // that a copy finished there is still there.
    void checkCopiesKept() {
        static const std::string kDone = "copy success from '", kTo = "' to 'usb_meas:/";
        std::set<std::string> seen;
        std::istringstream in(r_.log);
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(kDone), to = line.find(kTo);
            if (at == std::string::npos || to == std::string::npos) continue;
            const std::string name = line.substr(to + kTo.size(), 12);
            if (seen.insert(name).second && !std::filesystem::exists(stick_ + "/" + name))
                r_.broken.push_back(
                    "(p) usb_meas:/" + name +
                    ", which a copy finished, is gone from the stick: only the D-flag walk deletes "
                    "there, and it had not listed this file");
        }
    }

    // A broken or slow drive costs the other nothing while logging runs with laps: the other has a
    // file from the start and one from each lap, no other, and its records up to the last 0.3 s
    // before SIGTERM.
    void checkHealthyDrive() {
        if (fault_.meet != "laps" && fault_.meet != "span") return;
        const std::string& dir = fault_.drive == "meas:" ? stick_ : meas_;
        // The stick's arrival cuts the open file (its first one too, a few seconds after the start).
        const size_t files = campaign::measurementFiles(dir).size(),
                     cuts = 1 + size_t(laps_) +
                            size_t(countOf(r_.log, "a stick arrived: the open files are cut"));
        if (files != cuts)
            r_.broken.push_back(
                "(q) " + dir + ", the drive without the fault, has " + std::to_string(files) +
                " files for the start, its arrivals and " + std::to_string(laps_) + " laps: " +
                (files > cuts ? "files cut for no lap, fragment or command" : "a lap cut no file on it"));
        const double term = loggedStamp(r_.log, "main(): signal 15");
        uint32_t last = 0;
        if (term > 0 && campaign::lastRecord(dir, COUNTERS, &last) && last / 10000.0 < term - 0.3 - 0.05)
            r_.broken.push_back("(q) the records on " + dir + ", the drive without the fault, end " +
                                fixed(term - last / 10000.0) + " s before SIGTERM");
    }

    // The drive without the fault has the records from the measurement's start: a fault of the
    // other drive at the start (its start-up check hung) stops only that drive.
    void checkFromTheStart() {
        if (anyPull()) return; // the stick may be pulled before its first record
        const double start = loggedStamp(r_.log, "Start new measurement");
        const bool onMeas = fault_.drive == "meas:" || fault_.drive.empty();
        const std::string& dir = onMeas ? stick_ : meas_;
        if (start < 0 || (!onMeas && fault_.what == "pull")) return;
        uint32_t first = 0;
        if (!campaign::firstRecord(dir, COUNTERS, &first)) {
            if (!campaign::measurementFiles(dir).empty())
                r_.broken.push_back("(d) the drive without the fault (" + dir + ") holds no records");
            return;
        }
        const double late = first / 10000.0 - start;
        r_.notes += "first record on the other drive " + fixed(late) + " s after the start; ";
        if (late > kFromStart)
            r_.broken.push_back("(d) the drive without the fault (" + dir + ") has its first record " +
                                fixed(late) + " s after the measurement's start");
    }

    // A drive whose calls all return is never given up: no hang told, no writer dropped, no file
    // left for want of progress.
    void checkWorking() {
        if (!fault_.working) return;
        std::istringstream in(r_.log);
        for (std::string line; std::getline(in, line);) {
            const bool told =
                line.find("the drive '" + fault_.drive + "' does not answer") != std::string::npos;
            const bool left =
                line.find("not finished on " + fault_.drive) != std::string::npos &&
                (line.find("hangs") != std::string::npos || line.find("too slow") != std::string::npos ||
                 line.find("nothing for 10 s") != std::string::npos ||
                 line.find("nothing went on") != std::string::npos);
            if (told || left) {
                r_.broken.push_back(
                    "(b) " + fault_.drive + " was given up while its calls returned: " +
                    line.substr(line.find(" app0: ") == std::string::npos ? 0 : line.find(" app0: ") + 7));
                return;
            }
        }
    }

    // The D-flag walk runs beside logging: the first records reach meas: within 2 s of the
    // measurement's start, and (without a fault of its own) no file is left unfinished.
    void checkWalk() {
        if (fault_.walk == 0) return;
        const double after = watch_->firstRecordsAfter();
        r_.notes += "first records on meas: " + fixed(after) + " s after the start; ";
        if (after < 0 || after > kBackOnDrive + kPollSlack)
            r_.broken.push_back(
                "(c) with " + std::to_string(fault_.walk) +
                " downloaded files the first records reached meas: " +
                (after < 0 ? std::string("never") : fixed(after) + " s after the measurement's start"));
        if (!fault_.env.empty()) return;
        for (const std::string* dir : {&meas_, &stick_})
            for (const std::string& name : campaign::measurementFiles(*dir))
                if (!campaign::fileState(*dir, name).whole) {
                    r_.broken.push_back("(c) " + *dir + "/" + name +
                                        " is unfinished after the D-flag walk's run: it " +
                                        campaign::fileState(*dir, name).why);
                    return;
                }
    }

    // ---- The PC's in-place rewrite of meas:'s state during the D-flag walk ("statewalk<seed>") ----
    // While the walk (its reads slowed by the run's fault) lists meas:, files are made there and the
    // state file is written in place as the PC's tool does it: emptied, then a second later written
    // with what it held, lines marking most of the new files downloaded, and the D flag. The walk
    // deletes those it listed; a file marked downloaded that it leaves keeps the flag set, and the log
    // names it once; a new file never marked downloaded stays.
    static constexpr int kNewFiles = 10, kMarkedNew = 8;
    double rewrittenAt_ = -1;
    static std::string pcFile(int i) { return "E" + std::to_string(1000000 + i) + ".DAT"; }
    void stateRewriteDuringTheWalk(const std::function<int(int)>& pick) {
        logged("D-Flag on 'meas:' set", 0, 15000);
        const auto walking = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(3000)));
        std::string text = "dirattr 1\n", line;
        std::istringstream was(readFile(root_.file("meas.drive")));
        while (std::getline(was, line)) text += line.rfind("dirattr", 0) == 0 ? "" : line + "\n";
        for (int i = 0; i < kNewFiles; ++i) {
            std::ofstream(meas_ + "/" + pcFile(i)) << "the PC's\n";
            if (i < kMarkedNew) text += "attr " + pcFile(i) + " 0x01\n";
        }
        std::ofstream out(root_.file("meas.drive"), std::ios::trunc);
        out.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        out << text << std::flush;
        rewrittenAt_ = since(walking);
        logged("check on 'meas:' took", 0, 60000);
    }
    void checkStateWalk() {
        if (fault_.meet != "statewalk") return;
        bool flag = false;
        int left = 0;
        for (const std::string& name : markedDownloaded(root_, &flag)) {
            if (!std::filesystem::exists(meas_ + "/" + name)) continue;
            if (++left == 1 && !flag)
                r_.broken.push_back(
                    "(u) files marked downloaded are left on meas: and its D flag is cleared (" + name + ")");
            if (countOf(r_.log, "'meas:/" + name + "' stays: marked downloaded") > 1)
                r_.broken.push_back("(u) meas:/" + name + " is named more than once as staying");
        }
        r_.notes += "the state rewritten in place " + fixed(rewrittenAt_) + " s into the walk, " +
                    std::to_string(left) + " files marked downloaded left; ";
        for (int i = kMarkedNew; i < kNewFiles; ++i)
            if (!std::filesystem::exists(meas_ + "/" + pcFile(i)))
                r_.broken.push_back("(u) " + pcFile(i) + ", never marked downloaded, was deleted");
    }
    // ---- end of "statewalk" ----

    const Fault fault_;
    Result r_;
    TempDir root_;
    const std::string meas_ = root_.file("meas"), stick_ = root_.file("usb_meas");
    std::string counts_;
    std::unique_ptr<AppProcess> dev_;
    std::unique_ptr<HitWatch> watch_;
    std::unique_ptr<PcConnectionService> pcs_;
    int done_ = 0;
    size_t requestAt_ = 0; // the log's length at the last stop's or destroy's request
    bool unanswered_ = false;
    std::set<std::string> answered_;
    std::string piece_;
    uintmax_t pieceSize_ = 0;
    std::multimap<std::string, uint64_t> staleParts_;
    uint8_t pcAddress_[4] = {kPcAddress[0], kPcAddress[1], kPcAddress[2], kPcAddress[3]};
    bool noRoute_ = false; // the PC's address has no route: every ping fails at once
    int laps_ = 0;
    // A drive's return: the fragments cut, the join's stamp (s), the stick's own disk.
    int fragments_ = 0;
    double joinAt_ = -1;
    std::string returnNotes_;
    std::unique_ptr<LoopDisk> disk_;
};

Result runScenario(const Fault& fault) {
    return ScenarioRun(fault).run();
}

// The faults of the sample, in strata: a hang for good, faults that end (EIO for a time, a hang
// that returns), a fault of the stick's copy, a power cut, a fault of the start-up's D-flag check,
// a file taken away under its writer, the errors and short hangs, a slow drive, the D-flag walk,
// the PC's commands.
const char* const kGroups[] = {
    "hold0",    "ends",      "copy",   "cut",       "start",   "take-away", "error",     "slow",    "walk",
    "pc",       "lost",      "reseat", "stickwalk", "rewrite", "queue",     "healthy",   "walkcut", "nv",
    "copyfail", "statewalk", "watch",  "stall",     "return",  "stickhung", "pullclose", "host"};

std::vector<Fault> faultsOf(const std::map<std::string, uint32_t>& counts) {
    const std::vector<std::string> errors = {"ENOSPC", "ENOSPC:0", "EIO",     "ENOENT",
                                             "EROFS",  "EACCES",   "hold500", "hold15000"};
    std::vector<Fault> faults;
    auto add = [&](const std::string& drive, const std::string& op, uint32_t nth, const std::string& what,
                   const std::string& task, const std::string& group) {
        faults.push_back(faultOf(drive.substr(0, drive.size() - 1) + ":" + op + ":" + std::to_string(nth) +
                                     ":" + what + (task.empty() ? "" : "@" + task),
                                 group));
    };
    for (const auto& [key, calls] : counts) {
        const std::string drive = key.substr(0, key.find(' '));
        std::string op = key.substr(key.find(' ') + 1), task;
        if (const size_t at = op.find('@'); at != std::string::npos) {
            task = op.substr(at + 1);
            op = op.substr(0, at);
            // The stick's copy and the logging's own drive calls: the task's own calls.
            if (task.rfind("r_FileCpyTask", 0) != 0 && task.rfind("r_DrvCall_", 0) != 0) continue;
        }
        // The logging's drives only: a hang of the configuration's drive is no fault of the logging.
        if (drive != "meas:" && drive != "usb_meas:") continue;
        if (task.rfind("r_DrvCall_", 0) == 0) {
            for (uint32_t nth = 1; nth <= calls; ++nth)
                for (const char* what : {"hold20000", "hold0", "EIOfor1000", "EIO", "slow1000", "cut"})
                    add(drive, op, nth, what, task, "start");
            continue;
        }
        const bool copy = !task.empty();
        for (uint32_t nth = 1; nth <= calls; ++nth) {
            for (const std::string& what : errors) add(drive, op, nth, what, task, copy ? "copy" : "error");
            if (drive == "usb_meas:") add(drive, op, nth, "pull", task, copy ? "copy" : "error");
            add(drive, op, nth, "hold0", task, copy ? "copy" : "hold0");
            add(drive, op, nth, "cut", task, copy ? "copy" : "cut");
            for (const char* what : {"hold20000", "EIOfor1000"})
                add(drive, op, nth, what, task, copy ? "copy" : "ends");
            for (const char* what : {"slow1000", "slow2000for15000"})
                add(drive, op, nth, what, task, copy ? "copy" : "slow");
            if (op == "write")
                for (const char* what : {"delete", "rename"})
                    add(drive, op, nth, what, task, copy ? "copy" : "take-away");
        }
    }
    // The D-flag walk over 10,000 downloaded files, alone, hung for 20 s or failing for 1 s at the
    // calls of its task that the drive layer can fail: an open, and the write-through and rename of
    // the state it changes (its listing and deletions are not calls a fault is armed on).
    faults.push_back(faultOf("walk10000", "walk"));
    for (const char* call : {"open:2", "sync:1", "rename:2"})
        for (const char* what : {"hold20000", "EIOfor1000"})
            faults.push_back(
                faultOf(std::string("walk10000;meas:") + call + ":" + what + "@r_DrvCall_meas", "walk"));
    // The PC's commands alone, and with every close of a file held 9 s twice (no call hangs,
    // yet a stop or destroy outlasts its answer's bound, and what is queued behind it waits).
    for (uint32_t seed = 1; seed <= 40; ++seed) faults.push_back(faultOf("pc" + std::to_string(seed), "pc"));
    for (uint32_t seed = 41; seed <= 50; ++seed)
        faults.push_back(faultOf("pc" + std::to_string(seed) +
                                     ";meas:close:1:hold9000:0@r_BFSSync*;meas:chmod:1:hold9000:0@r_BFSSync*",
                                 "pc"));
    // Where two of the device's jobs meet, each at moments drawn from its run's seed.
    auto meet = [&](const std::string& text, const std::string& group) {
        faults.push_back(faultOf(text, group));
    };
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string n = std::to_string(seed);
        // The PC lost (silent, or with no route) during a stop or a destroy, or with its own end of
        // it queued behind, every write-through of meas: held 8 s: the request outlasts the
        // watch's five failed pings.
        for (const char* lost : {"lost-E1-silent", "lost-E1-noroute", "lost-E0-silent", "lost-E0-noroute",
                                 "lost-EE-silent", "lost-EE-noroute", "lost-ED-silent", "lost-ED-noroute"})
            meet(lost + n + ";meas:sync:1:hold8000:0", "lost");
        // The stick re-seated once or twice during its copy, every call of the copy 2 s late.
        for (const char* reseat : {"reseat-once", "reseat-twice"})
            meet(reseat + n + ";usb_meas:open:1:slow2000@r_FileCpyTaskA", "reseat");
        // The stick pulled and put back from outside at laps: its state written in place or renamed.
        for (const char* rewrite : {"rewrite-inplace", "rewrite-rename"}) meet(rewrite + n, "rewrite");
        // A second and a third request queued behind a stop or destroy whose closes are held 9 s.
        meet("queue" + n + ";meas:close:1:hold9000:0@r_BFSSync*;meas:chmod:1:hold9000:0@r_BFSSync*", "queue");
    }
    // 20,000 downloaded files on the stick with its D flag, the walk and the copy at one arrival, the
    // walk's start held into the copy's time.
    for (const char* hold : {"4000", "4300", "4600", "4900"})
        meet(std::string("stickwalk20000;usb_meas:open:3:hold") + hold + "@r_DrvCall_usb_m", "stickwalk");
    // A stick that fails every open for a minute; meas: slow (0.3 to 2 s a call) with laps every 3 s.
    meet("span60;usb_meas:open:1:EIO:0", "healthy");
    for (const char* slow : {"slow300", "slow800", "slow2000"})
        meet(std::string("laps30;meas:open:1:") + slow, "healthy");
    // A power cut between the D-flag walk's deletions and its change of the state, on either side.
    for (const char* cut : {"sync:1", "rename:1", "rename:2", "sync:2"})
        meet(std::string("walk3000;meas:") + cut + ":cut@r_DrvCall_meas", "walkcut");
    // The PC's in-place rewrite of meas:'s state, with a pause, during a walk whose reads are slow.
    for (uint32_t seed = 1; seed <= 4; ++seed)
        meet("walk3000;statewalk" + std::to_string(seed) + ";meas:open:1:slow300@r_DrvCall_meas",
             "statewalk");
    // NV on a disk whose syncfs writes nothing, a power cut during the lap stack's clear of a fresh
    // store (each slot file's first write-through, then its second copy's) or after it.
    for (const char* cut : {"nv:sync:40:cut", "nv:sync:601:cut", "meas:sync:30:cut"})
        meet(std::string(cut) + ";nv:syncfs:1:nothing:0", "nv");
    // ---- Copies of one file with the first failing: the stick re-seated during the first copy,
    // which is held 8 s at its first write-through and whose rename fails. ----
    for (uint32_t seed = 1; seed <= 3; ++seed)
        meet("copyfail" + std::to_string(seed) +
                 ";usb_meas:sync:1:hold8000@r_FileCpyTaskA;usb_meas:rename:1:EIO@r_FileCpyTaskA",
             "copyfail");
    // --- The PC's commands beside its watch ---
    // Its end of a stop or destroy during the watch's fifth ping (the request again behind it in odd
    // seeds); an 0xED queued behind a stop whose read-only marks are held 9 s, the PC lost after it.
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const std::string n = std::to_string(seed);
        for (const char* fifth : {"fifth-EE", "fifth-ED"}) meet(fifth + n, "watch");
        meet("behind-ED" + n + ";meas:chmod:1:hold9000:0@r_BFSSync*", "watch");
    }
    // --- end of the PC's commands beside its watch ---
    // A stall early in the run, SIGTERM much later: the first write-through of either drive, or a
    // write of meas:, held past the hang bound; it returns.
    for (uint32_t seed = 1; seed <= 2; ++seed)
        for (const char* stall :
             {"usb_meas:sync:1:hold20000", "meas:sync:1:hold20000", "meas:write:5:hold12000"})
            meet("stall" + std::to_string(seed) + ";" + stall, "stall");
    // Every read-only mark of meas: 6 s late, laps: the shutdown's last file whole 6 s in.
    meet("laps30;meas:chmod:1:hold6000:0@r_BFSSync*", "healthy");
    // A write-through of the NV store's task held 5 s (a host disk busy with another's flush): every
    // lap has its file on both drives.
    meet("laps30;nv:sync:3:hold5000@r_nvStore", "healthy");
    // A drive's return (the stick's write-through hung 20 s, meas: failing every call for 0.5 s, the
    // stick frozen in the kernel) with a cut at a seeded moment after its join; the stick's writer
    // held for 100 s in the open of a seeded lap's file while laps come.
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string n = std::to_string(seed);
        meet("return-hang" + n + ";usb_meas:sync:" + std::to_string(3 * seed) + ":hold20000", "return");
        meet("return-eio" + n + ";meas:write:" + std::to_string(10 + 5 * seed) + ":EIOfor500", "return");
        meet("return-thaw" + n, "return");
        meet("stickhung100;usb_meas:open:" + std::to_string(2 + seed) + ":hold100000@r_USBWriter1",
             "stickhung");
    }
    // The stick pulled in its close of a lap's file (each read-only mark of the stick held 2 s) and
    // put back: every file a pull left unfinished there is copied at its next arrival.
    for (uint32_t seed = 1; seed <= 3; ++seed)
        meet("pullclose" + std::to_string(seed) + ";usb_meas:chmod:1:hold2000:0@r_BFSSync*", "pullclose");
    // The host: the NV store slow for the whole run (every write-through 1.5 s), the process held
    // back 1 to 3 s at seeded moments (over a lap too), both drives' writers let go in one file and
    // out together for about 3 s (a write of each held past the hang bound), back in either order.
    meet("laps30;nv:sync:1:hold1500:0", "host");
    for (const char* held : {"held20", "held25"}) meet(held, "host");
    meet("stall3;meas:write:8:hold16000@r_BFSWriter1;usb_meas:write:8:hold16000@r_USBWriter1", "host");
    meet("stall4;meas:write:8:hold18000@r_BFSWriter1;usb_meas:write:8:hold13000@r_USBWriter1", "host");
    return faults;
}

} // namespace

TEST(FaultCampaignE2E, EveryRuleHoldsWithADriveFault) {
    // Devices of one PID disturb each other's links and laps on one network: each run's device has
    // a network of its own (each worker's thread moves into one).
    NetNamespace net;
    const auto started = Clock::now();
    const Result base = runScenario({});
    for (const std::string& b : base.broken) ADD_FAILURE() << "without a fault: " << b;
    EXPECT_TRUE(base.allDone && base.broken.empty()) << base.log;
    // Closed files leave the file queue while logging runs: the lap's and the fragment's before the
    // stop.
    EXPECT_GE(countOf(base.log.substr(0, base.log.find("Trevanox connected")), "from gFileQueue"), 2);
    ASSERT_FALSE(base.counts.empty());
    const double baseTook = since(started);
    // The notes end each with "; ": the line shows them without the last.
    const auto notes = [](const std::string& n) { return n.ends_with("; ") ? n.substr(0, n.size() - 2) : n; };
    std::printf("without a fault (%.1f s): %s\n", baseTook, notes(base.notes).c_str());

    std::vector<Fault> faults = faultsOf(base.counts);
    // Runs of a seeded sample, stratum after stratum: CI's runs are the first of the whole sample.
#if defined(__SANITIZE_THREAD__)
    const size_t runs = campaign::whole() ? 8 * std::size(kGroups) : 1;
#else
    const size_t runs = campaign::whole() ? 8 * std::size(kGroups) : 4;
#endif
    std::vector<Fault> picked;
    if (const char* again = std::getenv("MSD_FAULT_CAMPAIGN_FAULTS")) {
        // A run again by its fault, as the campaign printed it: "meas:open:26:EIO|...".
        std::istringstream in(again);
        for (std::string text; std::getline(in, text, '|');)
            if (!text.empty()) picked.push_back(faultOf(text, "again"));
    } else {
        // Each stratum in a seeded order of its own, so that a small one (the walk's) repeats no run
        // before it has run them all.
        std::map<std::string, std::vector<Fault>> groups;
        for (const Fault& f : faults) groups[f.group].push_back(f);
        std::mt19937 rng(20261208);
        // The strata where jobs meet after the others: the others' sample stays as it was.
        for (const bool meets : {false, true})
            for (auto& [name, g] : groups)
                if (g.front().meet.empty() != meets) std::shuffle(g.begin(), g.end(), rng);
        std::map<std::string, size_t> taken;
        for (size_t i = 0; i < runs; ++i) {
            const std::string group = kGroups[i % std::size(kGroups)];
            const std::vector<Fault>& g = groups[group];
            if (!g.empty()) picked.push_back(g[taken[group]++ % g.size()]);
        }
    }
    std::mutex m;
    std::vector<std::string> broken;
    std::atomic<size_t> next{0}, hits{0};
    // A worker starts and ends each run's devices itself: tied to its thread, they never outlive it
    // (child_process.h).
    auto worker = [&] {
        NetNamespace own;
        for (size_t i; (i = next.fetch_add(1)) < picked.size();) {
            const Fault& f = picked[i];
            const auto began = Clock::now();
            const Result r = runScenario(f);
            std::lock_guard<std::mutex> lk(m);
            const bool faultless = f.env.empty();
            if (r.hit) ++hits;
            std::string how = r.hit ? "hit" : faultless ? "" : "it never came";
            if ((r.hit || faultless) && !r.notes.empty()) how += (how.empty() ? "" : "; ") + notes(r.notes);
            std::string line = "fault " + f.text + " (" + f.group + ", " + fixed(since(began)) + " s" +
                               (how.empty() ? "" : ", " + how) + "): ";
            if (r.broken.empty()) line += "every rule holds";
            for (const std::string& b : r.broken) {
                line += "\n    BROKEN: " + b;
                broken.push_back(f.text + ": " + b);
            }
            std::printf("%s\n", line.c_str());
            const char* logs = std::getenv("MSD_FAULT_CAMPAIGN_LOG");
            if (logs && (!r.broken.empty() || std::string(logs) == "all")) std::printf("%s\n", r.log.c_str());
            std::fflush(stdout);
        }
    };
    std::vector<std::jthread> workers;
    for (int w = 0; w < (campaign::whole() ? 4 : 2); ++w) workers.emplace_back(worker);
    for (std::jthread& t : workers) t.join();
    for (const std::string& b : broken) ADD_FAILURE() << b;
    std::printf(
        "fault campaign of the application: %zu runs of %zu faults, %zu hit; %.0f s (%.0f s without a "
        "fault)\n",
        picked.size(), faults.size(), hits.load(), since(started), baseTook);
}
