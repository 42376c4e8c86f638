// The whole application walks the close path with one drive fault: start with the stick in, a lap,
// a fragment, the stick pulled and put back (its arrival cuts the file and copies it over the piece
// the stick kept), a stop (0xE1) while the PC stops answering pings, its end (0xEE), a destroy
// (0xE0), the stick pulled, the destroy's end (0xED), a stop and a destroy with the stick out, then
// the stick back (it asks for a copy of the file the destroy closed) and SIGTERM at once. A run
// without a fault counts the calls of each drive operation, and of each task; the faults are those
// real drives make at one of those calls: an error (ENOSPC, a drive that stays full, EIO, ENOENT,
// EROFS, EACCES), the stick pulled, a hang of 0.5 s, of 15 s or for good, the file deleted or
// renamed under its writer, the power cut; and each of them at a call of the stick's copy.
//
// After every run:
// - every file on either drive is whole, or writable and named not finished in the log;
// - a stop or destroy answers 00 only when every file it closed is whole on its drives, and every
//   answer comes within 12 s; the process ends within 12 s of SIGTERM;
// - exit 3 exactly when a file is left unfinished: 0 only with every file on both drives whole and
//   every file the logging made on the logging drive, 3 only when one is not (or the exit names one
//   that is not whole there);
// - the drive without the fault has every file whole, and gets new records within 15 s of the
//   fault when it hit while logging ran;
// - one 0xED after a destroy's answer brings logging back: new records in a new file within 15 s;
// - the stick's piece is never shorter after its copy than before, and a copy asked for at the
//   stick's arrival is waited for by the shutdown;
// - no file name is used twice, and each file the logging made is on the logging drive or named.
// After a power cut the device starts again on what is left: nothing answered 00 is lost, every file
// parses to its last complete record, no name comes twice and the boot counter and the absolute lap
// go on.
// CI runs a few runs; MSD_FAULT_CAMPAIGN=all runs 65, MSD_FAULT_CAMPAIGN_FAULTS="meas:open:26:EIO|..."
// the runs of those faults (see the README).
#include "app_process.h"
#include "caldataset.h"
#include "campaign.h"
#include "measfile.h"
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
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
constexpr double kBackBound = 15.0;       // new records in a new file after 0xED
const std::string kHit = "msdapp: drive fault hit: ";

// A fault as MSD_DRIVE_FAULT takes it; a run given again may name several ("<fault>;<fault>"): the
// rules about the drive without the fault follow the first, and a power cut among them is one.
struct Fault {
    std::string text; // MSD_DRIVE_FAULT, empty for none
    std::string first;
    std::string drive;
    std::string what;  // ENOSPC, pull, hold0, cut, ...
    bool lasting;      // the drive stays failed once it hit (a drive that stays full, a pull, hold0)
    std::string group; // the sample's stratum
    std::string cut;   // the power cut among them
};

Fault faultOf(const std::string& text, const std::string& group = "") {
    Fault f{text, text.substr(0, text.find(';')), "", "", false, group, ""};
    std::istringstream all(text);
    for (std::string one; std::getline(all, one, ';');) {
        std::vector<std::string> parts;
        std::istringstream in(one.substr(0, one.find('@')));
        for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
        if (parts.size() < 4) continue;
        if (parts[3] == "cut") f.cut = one;
        if (one != f.first) continue;
        f.drive = parts[0] + ":";
        f.what = parts[3];
        // A fault of the copy's task holds or fails the copy only; a pull takes the stick all the same.
        const bool copyOnly = one.find('@') != std::string::npos && f.what != "pull";
        f.lasting =
            !copyOnly && (f.what == "hold0" || f.what == "pull" || (parts.size() == 5 && parts[4] == "0"));
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

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
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

void prepare(const TempDir& root) {
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), "0", &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));
    std::filesystem::remove_all(root.file("nv"));
    std::filesystem::remove_all(root.file("meas"));
    makeDirs(root.file("meas"));
    makeDirs(root.file("usb_meas"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
}

// When the fault came (the seam's line on stderr), and the rule that the drive without it gets new
// records within 15 s when it came while logging ran. The scenario settles the check before each
// step that ends logging or takes the other drive away.
class HitWatch {
public:
    HitWatch(const Fault& fault, AppProcess& dev, const std::string& meas, const std::string& stick)
        : fault_(fault), dev_(dev), meas_(meas), stick_(stick) {
        if (!fault_.text.empty()) thread_ = std::thread([this] { loop(); });
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
    // Waits until no check is pending, then logging runs or not from here on.
    void settle(bool logging) {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            poll();
            if (!pending_) break;
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
    // Whether the fault keeps its drive failed now (a hold of 15 s for its 15 s).
    bool failing(const std::string& drive) {
        std::lock_guard<std::mutex> lk(m_);
        poll();
        if (!hit_ || fault_.drive != drive) return false;
        return fault_.lasting || (fault_.what == "hold15000" && fault_.first.find('@') == std::string::npos &&
                                  since(hitAt_) < 15.0);
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
    void poll() {
        if (!hit_) {
            const std::string err = dev_.stderrText();
            const size_t at =
                fault_.text.empty() ? std::string::npos : err.find(kHit + fault_.first + " in ");
            if (at == std::string::npos) return;
            hit_ = true;
            const size_t task = at + kHit.size() + fault_.first.size() + 4;
            notes_ += "in " + err.substr(task, err.find('\n', task) - task) + "; ";
            hitAt_ = Clock::now();
            if (fault_.what == "cut") return;
            other_ = fault_.drive == "meas:" ? (stickIn_ ? stick_ : "") : meas_;
            if (!logging_ || other_.empty()) {
                notes_ += logging_ ? "hit with the stick out; " : "hit while logging did not run; ";
                return;
            }
            before_ = campaign::recordsIn(other_, COUNTERS);
            pending_ = true;
            return;
        }
        if (!pending_) return;
        if (campaign::recordsIn(other_, COUNTERS) > before_) {
            pending_ = false;
            notes_ += "the other drive went on after " + fixed(since(hitAt_)) + " s; ";
        } else if (since(hitAt_) > kOtherDriveBound) {
            pending_ = false;
            broken_.push_back("the drive without the fault (" + other_ + ") got no new records within " +
                              fixed(kOtherDriveBound) + " s of the fault");
        }
    }

    const Fault fault_;
    AppProcess& dev_;
    const std::string meas_, stick_;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
    bool stop_ = false, hit_ = false, pending_ = false, logging_ = true, stickIn_ = true;
    Clock::time_point hitAt_;
    std::string other_;
    size_t before_ = 0;
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

// The stick's state as the test sets it from outside.
void setStick(const TempDir& root, bool inserted) {
    writeFile(root.file("usb_meas.drive.new"), std::string("inserted ") + (inserted ? "1" : "0") + "\n");
    std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
}

// After a power cut: the device starts again on what is left (no fault), logs a while and shuts
// down. Nothing answered 00 before the cut is missing or not whole; every file parses to its last
// complete record (a file being written when the power went may be cut back to its last write-
// through and stay writable, with no log line left to name it); a read-only one is whole; the second
// run's files follow the rules of any run; no name is made twice; the boot counter and the absolute
// lap go on.
void checkAfterPowerCut(const TempDir& root, const std::string& log1, const std::set<std::string>& answered,
                        std::vector<std::string>& broken, std::string* logAfter) {
    const std::string counts = root.file("fault-counts-2.txt");
    const std::string meas = root.file("meas"), stick = root.file("usb_meas");
    std::set<std::string> before; // the first run's names: made, or on a drive after the cut
    for (const std::string& n : campaign::filesMade(log1)) before.insert(n);
    for (const std::string* dir : {&meas, &stick})
        for (const std::string& n : campaign::measurementFiles(*dir)) before.insert(n);
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
    const auto term = Clock::now();
    dev.signal(SIGTERM);
    const int exitCode = dev.waitExit(30000);
    if (since(term) > kAnswerBound)
        broken.push_back("after the power cut: the process ended " + fixed(since(term)) + " s after SIGTERM");
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
    for (const std::string* dir : {&meas, &stick})
        for (const std::string& name : campaign::measurementFiles(*dir)) {
            const campaign::FileState s = campaign::fileState(*dir, name);
            if (s.whole) continue;
            const measfile::File f = measfile::readFile(*dir + "/" + name);
            if (!f.ok())
                broken.push_back(*dir + "/" + name +
                                 " does not parse to its last complete record: " + f.error);
            else if (s.readOnly)
                broken.push_back(*dir + "/" + name + " is read-only but not whole: it " + s.why);
            else if (made.count(name) && !campaign::namedUnfinished(log, name))
                broken.push_back(*dir + "/" + name + " of the run after the power cut is not whole (it " +
                                 s.why + ") and no line names it not finished");
        }
    checkExitCode(exitCode, meas, stick, log, unsafeIn(root, counts), true, {}, broken);

    auto bootCounter = [](const std::string& text) {
        static const std::string kBoot = "start-up done, boot counter ";
        const size_t at = text.rfind(kBoot);
        return at == std::string::npos ? -1L : std::strtol(text.c_str() + at + kBoot.size(), nullptr, 10);
    };
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

// Runs the scenario once, with `fault` given to the process; what broke the rules.
Result runScenario(const Fault& fault) {
    Result r;
    TempDir root;
    prepare(root);
    const std::string counts = root.file("fault-counts.txt");
    std::vector<std::string> env = {"MSD_DRIVE_FAULT_COUNTS=" + counts};
    if (!fault.text.empty()) env.push_back("MSD_DRIVE_FAULT=" + fault.text);
    auto dev = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{"0"}, env);
    const std::string meas = root.file("meas"), stick = root.file("usb_meas");
    HitWatch watch(fault, *dev, meas, stick);
    if (!dev->waitForShell(30000)) {
        r.broken.push_back("no shell: " + dev->stderrText());
        return r;
    }
    dev->shell("board ping answer");
    PcConnectionService pcs(root.path());
    if (!pcs.ok()) {
        r.broken.push_back("no remote-control queues");
        return r;
    }
    // A step waits for its state at most a while: under a fault it may never come, and the run goes
    // on all the same; once a power cut has killed the process nothing is waited for.
    auto alive = [&] { return dev->running(); };
    auto until = [&](const std::function<bool()>& ready, int ms) {
        return waitFor([&] { return !alive() || ready(); }, ms) && alive();
    };
    auto logged = [&](const std::string& what, int above, int ms) {
        return until([&] { return countOf(dev->logText(), what) > above; }, ms);
    };
    auto newFile = [&](int ms) {
        const int made = countOf(dev->logText(), "VirtualFile::VirtualFile() created");
        return logged("VirtualFile::VirtualFile() created", made, ms);
    };
    auto stickState = [&](bool in) {
        watch.stick(in);
        setStick(root, in);
    };
    // A stop or a destroy: its answer within its bound, and 00 only with every file whole. The files
    // the answer 00 covered are kept: a power cut must not lose them.
    int done = 0;
    bool unanswered = false;
    std::set<std::string> answered;
    auto request = [&](uint8_t code, const char* what, bool pingSilent) {
        if (!alive()) return;
        const std::string before = dev->logText();
        const auto sent = Clock::now();
        pcs.command(code);
        if (pingSilent) dev->shell("board ping silent");
        std::vector<uint8_t> answer;
        until(
            [&] {
                answer = pcs.reply(100);
                return !answer.empty();
            },
            int(kAnswerBound * 1000) + 3000);
        if (pingSilent) dev->shell("board ping answer");
        const double took = since(sent);
        if (answer.empty()) {
            if (alive()) {
                r.broken.push_back(std::string(what) + " got no answer in " + fixed(kAnswerBound + 3) + " s");
                unanswered = true;
            }
            return;
        }
        if (took > kAnswerBound)
            r.broken.push_back(std::string(what) + " answered after " + fixed(took) + " s");
        if (answer != DONE) return;
        ++done;
        // The files of the logging started again while it waited (by the watch) are not the
        // request's: they are still open.
        const std::string log = dev->logText();
        const size_t restart = log.find("New measurement started", before.size());
        std::set<std::string> later;
        if (restart != std::string::npos)
            for (const std::string& n : campaign::filesMade(log.substr(restart))) later.insert(n);
        for (const std::string* dir : {&meas, &stick})
            for (const std::string& name : campaign::measurementFiles(*dir)) {
                if (later.count(name)) continue;
                const campaign::FileState s = campaign::fileState(*dir, name);
                if (s.whole)
                    answered.insert(*dir + "/" + name);
                else if (!campaign::namedUnfinished(before, name))
                    r.broken.push_back(std::string(what) + " answered 00 while " + *dir + "/" + name + " " +
                                       s.why);
            }
    };
    // One 0xED after a destroy's answer brings logging back: new records in a new file, on a drive
    // that can take them.
    auto bringBack = [&] {
        std::set<std::string> there;
        for (const std::string* dir : {&meas, &stick})
            for (const std::string& n : campaign::measurementFiles(*dir)) there.insert(n);
        pcs.command(0xED);
        watch.logging(true);
        const auto sent = Clock::now();
        const bool back = until(
            [&] {
                for (const std::string* dir : {&meas, &stick})
                    for (const std::string& n : campaign::measurementFiles(*dir))
                        if (!there.count(n) &&
                            !measfile::readFile(*dir + "/" + n).recordsOf(COUNTERS).empty())
                            return true;
                return false;
            },
            int(kBackBound * 1000));
        if (back || !alive()) return;
        // Held to it only where a drive could take them all along.
        const bool stickIn = readFile(root.file("usb_meas.drive")).find("inserted 1") != std::string::npos;
        if (!watch.failing("meas:") || (stickIn && !watch.failing("usb_meas:")))
            r.broken.push_back(
                "0xED after the destroy's answer brought no new records in a new file within " +
                fixed(kBackBound) + " s (" + fixed(since(sent)) + " s)");
    };

    // The start with the stick in, a lap and a fragment.
    logged("a stick arrived", 0, 15000);
    until(
        [&] {
            const auto files = campaign::measurementFiles(meas);
            return !files.empty() &&
                   measfile::readFile(meas + "/" + files.back()).recordsOf(COUNTERS).size() >= 30;
        },
        10000);
    dev->shell("lof_laptrig");
    newFile(8000);
    dev->shell("lof_fratrig");
    newFile(8000);
    // The stick is pulled while it writes one file only, with records in it, every file before it
    // settled: the one its return cuts and copies.
    until(
        [&] {
            const std::string log = dev->logText();
            const std::vector<std::string> made = campaign::filesMade(log);
            const auto files = campaign::measurementFiles(stick);
            if (made.empty() || files.empty() || files.back() != made.back() ||
                files != campaign::measurementFiles(meas) ||
                measfile::readFile(stick + "/" + files.back()).recordsOf(COUNTERS).empty())
                return false;
            for (size_t i = 0; i + 1 < files.size(); ++i)
                if (log.find("deleted file (" + files[i] + ") from gFileQueue") == std::string::npos)
                    return false;
            return true;
        },
        8000);
    watch.settle(true);
    stickState(false);
    logged("the stick is gone", 0, 8000);
    std::string piece;
    uintmax_t pieceSize = 0;
    if (const auto files = campaign::measurementFiles(stick); !files.empty()) {
        piece = files.back();
        pieceSize = std::filesystem::file_size(stick + "/" + piece);
    }
    const int cuts = countOf(dev->logText(), "VirtualFile::VirtualFile() created");
    stickState(true);
    logged("a stick arrived", 1, 8000);
    logged("VirtualFile::VirtualFile() created", cuts, 8000); // the arrival's cut

    // A stop while the PC stops answering pings (the watch gives logging back in a new file, which
    // the stop's answer does not wait for), its end, a destroy, the stick pulled, and one 0xED.
    if (alive()) {
        watch.settle(false);
        const int starts = countOf(dev->logText(), "New measurement started");
        request(0xE1, "the stop", true);
        if (!unanswered && alive()) {
            pcs.command(0xEE);
            logged("New measurement started", starts, 8000);
            watch.settle(false);
            request(0xE0, "the destroy", false);
        }
    }
    if (!unanswered && alive()) {
        stickState(false);
        logged("the stick is gone", 1, 8000);
        bringBack();
    }
    // A stop and a destroy with the stick out; then the stick back, and SIGTERM as soon as the
    // device sees it: the shutdown waits for the copy its arrival asks for.
    if (!unanswered && alive()) {
        watch.settle(false);
        const int starts = countOf(dev->logText(), "New measurement started");
        request(0xE1, "the stop with the stick out", false);
        if (!unanswered && alive()) {
            pcs.command(0xEE);
            watch.logging(true);
            logged("New measurement started", starts, 8000);
            watch.settle(false);
            request(0xE0, "the destroy with the stick out", false);
        }
    }
    if (alive()) {
        const int arrivals = countOf(dev->logText(), "a stick arrived");
        stickState(true);
        logged("a stick arrived", arrivals, 8000);
    }

    const auto term = Clock::now();
    dev->signal(SIGTERM);
    const int exitCode = dev->waitExit(30000);
    const double ended = since(term);
    watch.stop();
    r.log = dev->logText();
    r.hit = watch.hit();
    r.notes = watch.notes();
    for (const std::string& b : watch.broken()) r.broken.push_back(b);
    {
        std::istringstream in(readFile(counts));
        std::string drive, op;
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            uint32_t calls = 0;
            if (words >> drive >> op >> calls) r.counts[drive + " " + op] = calls;
        }
    }
    const bool cut =
        !fault.cut.empty() && dev->stderrText().find(kHit + fault.cut + " in ") != std::string::npos;
    if (cut) {
        r.notes += "the power cut came; ";
        // The power cut kills the process (SIGKILL); the device starts again on what is left.
        if (exitCode != 128 + SIGKILL)
            r.broken.push_back("the power cut ended the process with " + std::to_string(exitCode));
        dev.reset();
        pcs.discardPending();
        std::string after;
        checkAfterPowerCut(root, r.log, answered, r.broken, &after);
        r.log += "\n(the start after the power cut)\n" + after;
        return r;
    }
    if (ended > kAnswerBound) r.broken.push_back("the process ended " + fixed(ended) + " s after SIGTERM");
    // A request still waiting at the shutdown is answered before the process ends.
    if (unanswered && pcs.reply(100).empty())
        r.broken.push_back("the waiting request got no answer at the shutdown");
    r.allDone = done == 4 && exitCode == 0;
    for (const std::string& b : campaign::checkDrives(meas, stick, r.log)) r.broken.push_back(b);
    std::set<std::string> made;
    for (const std::string& n : campaign::filesMade(r.log)) {
        // Each file name once; a file the logging made is on the logging drive, or named not
        // finished there.
        if (!made.insert(n).second) r.broken.push_back("the name " + n + " is used twice");
        if (!std::filesystem::exists(meas + "/" + n) && !campaign::namedUnfinished(r.log, n))
            r.broken.push_back(n + " is not on the logging drive and no line names it not finished");
    }
    // The copy over the stick's piece replaces it only once whole: a failed one leaves it as it was.
    std::vector<std::string> lost;
    if (!piece.empty()) {
        std::error_code ec;
        const uintmax_t now = std::filesystem::file_size(stick + "/" + piece, ec);
        if (ec || now < pieceSize)
            lost.push_back("the stick's piece " + piece + " of " + std::to_string(pieceSize) + " bytes is " +
                           (ec ? std::string("gone") : std::to_string(now) + " bytes") + " after its copy");
    }
    r.broken.insert(r.broken.end(), lost.begin(), lost.end());
    checkExitCode(exitCode, meas, stick, r.log, unsafeIn(root, counts), false, lost, r.broken);
    // The drive without the fault misses nothing. (The stick gets the file it was pulled from as a
    // copy from the logging drive: with a fault there, it is held to the rules above only.)
    for (const char* drive : {"meas:", "usb_meas:"}) {
        const bool faultFree =
            fault.drive != drive && !(fault.drive == "meas:" && std::string(drive) == "usb_meas:");
        const std::string& dir = std::string(drive) == "meas:" ? meas : stick;
        if (faultFree)
            for (const std::string& name : campaign::measurementFiles(dir)) {
                const campaign::FileState s = campaign::fileState(dir, name);
                if (!s.whole)
                    r.broken.push_back(dir + "/" + name + " on the drive without the fault " + s.why);
            }
    }
    // A copy asked for at the stick's last arrival ends before the exit, or its file is named.
    const size_t arrival = r.log.rfind("a stick arrived: ");
    if (arrival != std::string::npos &&
        r.log.substr(arrival, r.log.find('\n', arrival) - arrival).find("copied to it") !=
            std::string::npos) {
        const std::string after = r.log.substr(arrival);
        const auto files = campaign::filesMade(r.log.substr(0, arrival));
        const std::string asked = files.empty() ? "" : files.back();
        if (after.find("r_FileCpyTaskA") == std::string::npos && !campaign::namedUnfinished(after, asked))
            r.broken.push_back(
                "the copy of " + asked +
                " asked for at the stick's arrival neither ended before the exit nor is named");
    }
    return r;
}

// The faults of the sample, in strata: a hang for good, a fault of the stick's copy, a power cut,
// a file taken away under its writer, and the errors and shorter hangs.
const char* const kGroups[] = {"hold0", "copy", "cut", "take-away", "error"};

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
            if (task.rfind("r_FileCpyTask", 0) != 0) continue; // the stick's copy: the task's own calls
        }
        // The logging's drives only: a hang of the configuration's drive is no fault of the logging.
        if (drive != "meas:" && drive != "usb_meas:") continue;
        const bool copy = !task.empty();
        for (uint32_t nth = 1; nth <= calls; ++nth) {
            for (const std::string& what : errors) add(drive, op, nth, what, task, copy ? "copy" : "error");
            if (drive == "usb_meas:") add(drive, op, nth, "pull", task, copy ? "copy" : "error");
            add(drive, op, nth, "hold0", task, copy ? "copy" : "hold0");
            add(drive, op, nth, "cut", task, copy ? "copy" : "cut");
            if (op == "write")
                for (const char* what : {"delete", "rename"})
                    add(drive, op, nth, what, task, copy ? "copy" : "take-away");
        }
    }
    return faults;
}

} // namespace

TEST(FaultCampaignE2E, EveryRuleHoldsWithADriveFault) {
    const auto started = Clock::now();
    const Result base = runScenario({});
    for (const std::string& b : base.broken) ADD_FAILURE() << "without a fault: " << b;
    EXPECT_TRUE(base.allDone && base.broken.empty()) << base.log;
    // Closed files leave the file queue while logging runs: the lap's and the fragment's before the
    // stop.
    EXPECT_GE(countOf(base.log.substr(0, base.log.find("Trevanox connected")), "from gFileQueue"), 2);
    ASSERT_FALSE(base.counts.empty());
    const double baseTook = since(started);

    std::vector<Fault> faults = faultsOf(base.counts);
    // Runs of a seeded sample, stratum after stratum: CI's runs are the first of the whole sample.
#if defined(__SANITIZE_THREAD__)
    const size_t runs = campaign::whole() ? 65 : 1;
#else
    const size_t runs = campaign::whole() ? 65 : 4;
#endif
    std::vector<Fault> picked;
    if (const char* again = std::getenv("MSD_FAULT_CAMPAIGN_FAULTS")) {
        // A run again by its fault, as the campaign printed it: "meas:open:26:EIO|...".
        std::istringstream in(again);
        for (std::string text; std::getline(in, text, '|');)
            if (!text.empty()) picked.push_back(faultOf(text, "again"));
    } else {
        std::map<std::string, std::vector<Fault>> groups;
        for (const Fault& f : faults) groups[f.group].push_back(f);
        std::mt19937 rng(20261208);
        for (size_t i = 0; i < runs; ++i) {
            const std::vector<Fault>& g = groups[kGroups[i % std::size(kGroups)]];
            if (!g.empty()) picked.push_back(g[std::uniform_int_distribution<size_t>(0, g.size() - 1)(rng)]);
        }
    }
    std::mutex m;
    std::vector<std::string> broken;
    std::atomic<size_t> next{0}, hits{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < picked.size();) {
            const Fault& f = picked[i];
            const auto began = Clock::now();
            const Result r = runScenario(f);
            std::lock_guard<std::mutex> lk(m);
            if (r.hit) ++hits;
            std::string line = "fault " + f.text + " (" + f.group + ", " + fixed(since(began)) + " s, " +
                               (r.hit ? "hit; " + r.notes : std::string("it never came")) + "): ";
            if (r.broken.empty()) line += "every rule holds";
            for (const std::string& b : r.broken) {
                line += "\n    BROKEN: " + b;
                broken.push_back(f.text + ": " + b);
            }
            std::printf("%s\n", line.c_str());
            if (!r.broken.empty() && std::getenv("MSD_FAULT_CAMPAIGN_LOG"))
                std::printf("%s\n", r.log.c_str());
            std::fflush(stdout);
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < (campaign::whole() ? 4 : 2); ++w) workers.emplace_back(worker);
    for (std::thread& t : workers) t.join();
    for (const std::string& b : broken) ADD_FAILURE() << b;
    std::printf(
        "fault campaign of the application: %zu runs of %zu faults, %zu hit; %.0f s (%.0f s without a "
        "fault)\n",
        picked.size(), faults.size(), hits.load(), since(started), baseTook);
}
