#include "platform/drives/drive_fault.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_loss.h"
#include "platform/drives/drive_state.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr const char* kOpNames[DRIVE_OP_COUNT] = {"open",   "write", "sync",     "chmod",
                                                  "rename", "close", "truncate", "syncfs"};

struct Errno {
    const char* name;
    int value;
};
constexpr Errno kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"ENOENT", ENOENT}, {"EROFS", EROFS}, {"EACCES", EACCES}};

// An armed fault; one from the environment tells its first hit on stderr.
struct Armed {
    DriveFault fault;
    std::string text; // as MSD_DRIVE_FAULT gave it; empty for a test's own
    bool told = false;
    // EIOfor, slow: since when it lasts (from its nth call on).
    bool started = false;
    std::chrono::steady_clock::time_point since{};
    uint32_t ofTasks = 0; // its operation's calls by the tasks a task pattern ("r_BFSSync*") names
};

// Whether a fault of `pattern`'s task (none: every task; "<prefix>*": every task whose name begins
// with the prefix) takes the calls of `task`.
bool takesTask(const std::string& pattern, const std::string& task) {
    if (pattern.empty()) return true;
    if (pattern.back() == '*')
        return task.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == task;
}

bool lastsItsTime(DriveFaultKind kind) {
    return kind == DRIVE_FAULT_EIO_FOR || kind == DRIVE_FAULT_SLOW;
}

struct Faults {
    std::mutex m;
    std::condition_variable released;
    uint64_t releases = 0;
    uint64_t clears = 0; // a slow call's wait ends with its fault
    std::map<std::pair<std::string, int>, uint32_t> calls;
    std::map<std::tuple<std::string, int, std::string>, uint32_t> taskCalls;
    std::vector<Armed> armed;
    uint32_t hits = 0;
    uint32_t holding = 0;
    // A power cut strikes every drive at once: from its start no other call gets through (each fails
    // with EIO, as one after the cut does), so that nothing reaches a drive while its loss is made.
    bool cut = false;
    uint64_t cuts = 0; // cuts so far: a held call that wakes after one fails
    // Threads in a call (DriveFaultCall) that the seam let through, and those of them it holds now:
    // a cut makes its loss once the others have left.
    uint32_t inFlight = 0;
    uint32_t heldInFlight = 0;
    std::condition_variable left;
};

std::atomic<void (*)()> gPowerCut{nullptr};
std::once_flag gFromEnvironment;
thread_local int tQuiet = 0;
thread_local int tCallDepth = 0;     // DriveFaultCalls of this thread
thread_local bool tInFlight = false; // counted in Faults::inFlight

Faults& faults() {
    static auto* f = new Faults; // drive calls may come while the process ends
    return *f;
}

std::string taskName() {
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

void armWithText(const DriveFault& fault, const std::string& text) {
    drivefault_engage();
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    f.armed.push_back({fault, text});
    // From call 0: the drive is slow (or failing) before its first call.
    if (fault.nth == 0) {
        f.armed.back().started = true;
        f.armed.back().since = std::chrono::steady_clock::now();
    }
}

void armFromEnvironment() {
    const char* text = std::getenv("MSD_DRIVE_FAULT");
    if (!text || !*text) return;
    std::string all(text);
    size_t from = 0;
    while (from <= all.size()) {
        const size_t end = std::min(all.find(';', from), all.size());
        const std::string one = all.substr(from, end - from);
        from = end + 1;
        if (one.empty()) continue;
        DriveFault f;
        std::string error;
        if (drivefault_parse(one, &f, &error))
            armWithText(f, one);
        else
            std::fprintf(stderr, "msdapp: MSD_DRIVE_FAULT '%s' ignored: %s\n", one.c_str(), error.c_str());
    }
}

// The thread's call got through the seam (the lock held): a cut from now on waits for it.
void countInFlight(Faults& f) {
    if (tCallDepth == 0 || tInFlight) return;
    tInFlight = true;
    ++f.inFlight;
}

// While the seam holds the thread's call (the lock held): a cut does not wait for it.
class Held {
public:
    explicit Held(Faults& f) : f_(f), counted_(tInFlight) {
        if (!counted_) return;
        ++f_.heldInFlight;
        f_.left.notify_all();
    }
    ~Held() {
        if (counted_) --f_.heldInFlight;
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Faults& f_;
    bool counted_;
};

bool named(const char* variable) {
    const char* v = std::getenv(variable);
    return v && *v;
}

} // namespace

namespace drivefault_detail {
std::atomic<int> seam{kUnknown};

int seamFromEnvironment() {
    static std::once_flag once;
    std::call_once(once, [] {
        int unknown = kUnknown;
        seam.compare_exchange_strong(
            unknown, named("MSD_DRIVE_FAULT") || named("MSD_DRIVE_FAULT_COUNTS") ? kOn : kOff);
    });
    return seam.load(std::memory_order_acquire);
}
} // namespace drivefault_detail

void drivefault_engage() {
    drivefault_detail::seam.store(drivefault_detail::kOn, std::memory_order_release);
}

const char* drivefault_opName(DriveOp op) {
    return op >= 0 && op < DRIVE_OP_COUNT ? kOpNames[op] : "?";
}

bool drivefault_parse(const std::string& whole, DriveFault* fault, std::string* error) {
    const size_t at = whole.find('@');
    const std::string text = whole.substr(0, at);
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (parts.size() < 4 || parts.size() > 5 || parts[0].empty())
        return fail("not <drive>:<operation>:<n>:<what>[:<times>]");
    DriveFault f;
    f.drive = parts[0] + ":";
    if (at != std::string::npos) {
        f.task = whole.substr(at + 1);
        if (f.task.empty() || f.task.size() > 15) return fail("task '" + f.task + "' is not a task's name");
    }
    bool known = false;
    for (int op = 0; op < DRIVE_OP_COUNT; ++op)
        if (parts[1] == kOpNames[op]) {
            f.op = DriveOp(op);
            known = true;
        }
    if (!known) return fail("unknown operation '" + parts[1] + "'");
    auto number = [](const std::string& s, uint32_t* out) {
        if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
        *out = uint32_t(std::strtoul(s.c_str(), nullptr, 10));
        return true;
    };
    if (!number(parts[2], &f.nth)) return fail("call '" + parts[2] + "' is not a number from 1");
    const std::string& what = parts[3];
    if (what == "pull") {
        f.kind = DRIVE_FAULT_PULL;
    } else if (what == "cut") {
        f.kind = DRIVE_FAULT_CUT;
    } else if (what == "delete" || what == "rename") {
        if (f.op != DRIVE_OP_WRITE) return fail("'" + what + "' applies to write only");
        f.kind = what == "delete" ? DRIVE_FAULT_DELETE : DRIVE_FAULT_RENAME;
    } else if (what == "nothing") {
        if (f.op != DRIVE_OP_SYNCFS) return fail("'nothing' applies to syncfs only");
        f.kind = DRIVE_FAULT_NOTHING;
    } else if (what.rfind("EIOfor", 0) == 0) {
        f.kind = DRIVE_FAULT_EIO_FOR;
        f.error = EIO;
        if (!number(what.substr(6), &f.spanMs) || f.spanMs == 0)
            return fail("EIO time '" + what.substr(6) + "' is not a number from 1");
    } else if (what.rfind("slow", 0) == 0) {
        f.kind = DRIVE_FAULT_SLOW;
        const std::string rest = what.substr(4);
        const size_t forAt = rest.find("for");
        if (!number(rest.substr(0, forAt), &f.slowMs) || f.slowMs == 0)
            return fail("slow time '" + rest.substr(0, forAt) + "' is not a number from 1");
        if (forAt != std::string::npos && (!number(rest.substr(forAt + 3), &f.spanMs) || f.spanMs == 0))
            return fail("slow span '" + rest.substr(forAt + 3) + "' is not a number from 1");
    } else if (what.rfind("hold", 0) == 0) {
        f.kind = DRIVE_FAULT_HOLD;
        if (!number(what.substr(4), &f.holdMs))
            return fail("hold time '" + what.substr(4) + "' is not a number");
    } else {
        bool found = false;
        for (const Errno& e : kErrors)
            if (what == e.name) {
                f.error = e.value;
                found = true;
            }
        if (!found) return fail("unknown fault '" + what + "'");
    }
    if (f.nth == 0 && !lastsItsTime(f.kind))
        return fail("call '" + parts[2] + "' is not a number from 1 ('" + what + "' does not last its time)");
    if (parts.size() == 5 && !number(parts[4], &f.times))
        return fail("times '" + parts[4] + "' is not a number");
    if (parts.size() == 5 && lastsItsTime(f.kind))
        return fail("'" + what + "' lasts its time: it takes no <times>");
    *fault = f;
    return true;
}

void drivefault_arm(const DriveFault& fault) {
    armWithText(fault, "");
}

void drivefault_clear() {
    drivefault_engage();
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    f.armed.clear();
    f.calls.clear();
    f.taskCalls.clear();
    f.hits = 0;
    f.cut = false;
    ++f.releases;
    ++f.clears;
    f.released.notify_all();
}

void drivefault_release() {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    ++f.releases;
    f.released.notify_all();
}

uint32_t drivefault_holding() {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    return f.holding;
}

void drivefault_setPowerCut(void (*hook)()) {
    gPowerCut.store(hook);
}

DriveFaultCall::DriveFaultCall() {
    ++tCallDepth;
}

DriveFaultCall::~DriveFaultCall() {
    if (--tCallDepth > 0 || !tInFlight) return;
    tInFlight = false;
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    --f.inFlight;
    f.left.notify_all();
}

DriveFaultWaiting::DriveFaultWaiting() {
    if (!drivefault_on() || !tInFlight) return;
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    counted_ = true;
    ++f.heldInFlight;
    f.left.notify_all();
}

DriveFaultWaiting::~DriveFaultWaiting() {
    if (!counted_) return;
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    --f.heldInFlight;
}

int drivefault_pass() {
    if (!drivefault_on() || tQuiet > 0) return 0;
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    if (f.cut) return EIO;
    countInFlight(f);
    return 0;
}

DriveFaultQuiet::DriveFaultQuiet() {
    ++tQuiet;
}

DriveFaultQuiet::~DriveFaultQuiet() {
    --tQuiet;
}

uint32_t drivefault_calls(const char* drive, DriveOp op) {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    const auto it = f.calls.find({devpath_drive(drive ? drive : ""), int(op)});
    return it == f.calls.end() ? 0 : it->second;
}

uint32_t drivefault_taskCalls(const char* drive, DriveOp op, const std::string& task) {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    const auto it = f.taskCalls.find({devpath_drive(drive ? drive : ""), int(op), task});
    return it == f.taskCalls.end() ? 0 : it->second;
}

uint32_t drivefault_hits() {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    return f.hits;
}

void drivefault_report() {
    const char* path = std::getenv("MSD_DRIVE_FAULT_COUNTS");
    if (!path || !*path) return;
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    FILE* out = std::fopen(path, "w");
    if (!out) return;
    for (const auto& [key, n] : f.calls)
        std::fprintf(out, "%s %s %u\n", key.first.c_str(), kOpNames[key.second], n);
    for (const auto& [key, n] : f.taskCalls)
        std::fprintf(out, "%s %s@%s %u\n", std::get<0>(key).c_str(), kOpNames[std::get<1>(key)],
                     std::get<2>(key).c_str(), n);
    for (const auto& [drive, name] : driveloss_unsafe())
        std::fprintf(out, "unsafe %s %s\n", drive.c_str(), name.c_str());
    std::fclose(out);
}

int drivefault_lasting(const std::string& path) {
    if (!drivefault_on() || tQuiet > 0) return 0;
    std::call_once(gFromEnvironment, armFromEnvironment);
    Faults& f = faults();
    const std::string drive = devpath_drive(path);
    const std::string task = taskName();
    bool failing = false;
    uint32_t slowMs = 0;
    uint64_t clearsBefore = 0;
    {
        std::lock_guard<std::mutex> lk(f.m);
        const auto now = std::chrono::steady_clock::now();
        for (const Armed& armed : f.armed) {
            const DriveFault& a = armed.fault;
            if (!lastsItsTime(a.kind) || !armed.started || a.drive != drive || !takesTask(a.task, task))
                continue;
            if (a.spanMs != 0 && now - armed.since >= std::chrono::milliseconds(a.spanMs)) continue;
            ++f.hits;
            if (a.kind == DRIVE_FAULT_EIO_FOR)
                failing = true;
            else
                slowMs += a.slowMs;
        }
        clearsBefore = f.clears;
    }
    if (slowMs > 0) {
        std::unique_lock<std::mutex> lk(f.m);
        f.released.wait_for(lk, std::chrono::milliseconds(slowMs), [&] { return f.clears != clearsBefore; });
    }
    return failing ? EIO : 0;
}

int drivefault_enter(const std::string& path, DriveOp op) {
    if (!drivefault_on() || tQuiet > 0) return 0;
    std::call_once(gFromEnvironment, armFromEnvironment);
    Faults& f = faults();
    const std::string drive = devpath_drive(path);
    const std::string task = taskName();
    DriveFault due;
    bool hit = false;
    bool failing = false; // an EIOfor lasts
    uint32_t slowMs = 0;  // slow drives' waits
    uint64_t releasesBefore = 0, clearsBefore = 0, cutsBefore = 0;
    std::string tell;
    {
        std::lock_guard<std::mutex> lk(f.m);
        if (f.cut) return EIO;
        countInFlight(f);
        cutsBefore = f.cuts;
        const uint32_t n = ++f.calls[{drive, int(op)}];
        const uint32_t mine = ++f.taskCalls[{drive, int(op), task}];
        // The nth call a fault counts: the drive's, its task's, or its tasks' (a pattern's).
        auto nthOf = [&](Armed& armed) {
            const DriveFault& a = armed.fault;
            if (a.task.empty()) return n;
            return a.task.back() == '*' ? armed.ofTasks : mine;
        };
        for (Armed& armed : f.armed)
            if (armed.fault.task.size() > 1 && armed.fault.task.back() == '*' && armed.fault.drive == drive &&
                armed.fault.op == op && takesTask(armed.fault.task, task))
                ++armed.ofTasks;
        const auto now = std::chrono::steady_clock::now();
        auto told = [&](Armed& armed) {
            ++f.hits;
            if (!armed.text.empty() && !armed.told) {
                armed.told = true;
                tell += "msdapp: drive fault hit: " + armed.text + " in " + task + "\n";
            }
        };
        // A fault that lasts its time takes every call of its drive (of its task) from its nth on.
        for (Armed& armed : f.armed) {
            const DriveFault& a = armed.fault;
            if (!lastsItsTime(a.kind) || a.drive != drive || !takesTask(a.task, task)) continue;
            if (!armed.started) {
                if (a.op != op || nthOf(armed) < a.nth) continue;
                armed.started = true;
                armed.since = now;
            }
            if (a.spanMs != 0 && now - armed.since >= std::chrono::milliseconds(a.spanMs)) continue;
            told(armed);
            if (a.kind == DRIVE_FAULT_EIO_FOR)
                failing = true;
            else
                slowMs += a.slowMs;
        }
        for (Armed& armed : f.armed) {
            if (failing) break;
            const DriveFault& a = armed.fault;
            const uint32_t nth = nthOf(armed);
            if (lastsItsTime(a.kind) || a.drive != drive || a.op != op || !takesTask(a.task, task) ||
                nth < a.nth || (a.times != 0 && nth >= a.nth + a.times))
                continue;
            if ((a.kind == DRIVE_FAULT_DELETE || a.kind == DRIVE_FAULT_RENAME) && op != DRIVE_OP_WRITE)
                continue;
            due = a;
            hit = true;
            told(armed);
            // A cut starts with its hit: from here no new call gets through.
            if (a.kind == DRIVE_FAULT_CUT) {
                f.cut = true;
                ++f.cuts;
            }
            // Taken with the hit: a release that comes before the hold begins to wait still frees it.
            releasesBefore = f.releases;
            break;
        }
        clearsBefore = f.clears;
    }
    // One write, unbuffered: the line is out before a cut kills the process or a hold begins.
    if (!tell.empty()) {
        [[maybe_unused]] const ssize_t written = ::write(2, tell.data(), tell.size());
    }
    if (slowMs > 0) {
        // A slow drive: the call returns, late (sooner when its fault is cleared); after a cut it
        // fails.
        std::unique_lock<std::mutex> lk(f.m);
        if (f.cuts != cutsBefore) return EIO;
        const Held held(f);
        f.released.wait_for(lk, std::chrono::milliseconds(slowMs), [&] { return f.clears != clearsBefore; });
        if (f.cuts != cutsBefore) return EIO;
    }
    if (failing) return EIO;
    if (!hit) return 0;
    switch (due.kind) {
    case DRIVE_FAULT_ERROR:
        return due.error;
    case DRIVE_FAULT_PULL:
        if (op == DRIVE_OP_RENAME) return DRIVE_FAULT_PULL_HERE; // inside the state's own update
        {
            DriveFaultQuiet quiet;
            drive_stateUpdate(drive.c_str(), [](DriveState& s) {
                s.inserted = false;
                return true;
            });
        }
        return ENODEV;
    case DRIVE_FAULT_HOLD: {
        std::unique_lock<std::mutex> lk(f.m);
        if (f.cuts != cutsBefore) return EIO;
        auto released = [&] { return f.releases != releasesBefore; };
        ++f.holding;
        {
            const Held held(f);
            if (due.holdMs == 0)
                f.released.wait(lk, released);
            else
                f.released.wait_for(lk, std::chrono::milliseconds(due.holdMs), released);
        }
        --f.holding;
        // A hung call that returns after a power cut finds the drive without power.
        return f.cuts != cutsBefore ? EIO : 0;
    }
    case DRIVE_FAULT_CUT: {
        uint32_t stayed = 0;
        {
            std::unique_lock<std::mutex> lk(f.m);
            // What the calls already past the seam do lands before the loss: a real cut stops them
            // all at once. A call that writes after the loss would leave what the drive never held
            // (a hole where the cut took data, data that a write-through under way claims covered).
            const uint32_t self = tInFlight ? 1 : 0;
            auto others = [&] { return f.inFlight - f.heldInFlight - self; };
            f.left.wait_for(lk, std::chrono::milliseconds(kDriveFaultCutWaitMs),
                            [&] { return others() == 0; });
            stayed = others();
        }
        if (stayed > 0) {
            const std::string line =
                "msdapp: power cut: " + std::to_string(stayed) +
                " drive call(s) still under way, the drives lose what they hold all the same\n";
            [[maybe_unused]] const ssize_t written = ::write(2, line.data(), line.size());
        }
        {
            DriveFaultQuiet quiet;
            driveloss_powerCut();
        }
        void (*hook)() = gPowerCut.load();
        if (!hook) std::raise(SIGKILL);
        hook();
        return EIO;
    }
    case DRIVE_FAULT_DELETE:
        return DRIVE_FAULT_DELETE_HERE;
    case DRIVE_FAULT_RENAME:
        return DRIVE_FAULT_RENAME_HERE;
    case DRIVE_FAULT_NOTHING:
        return DRIVE_FAULT_NOTHING_HERE;
    case DRIVE_FAULT_EIO_FOR:
    case DRIVE_FAULT_SLOW:
        break; // taken above
    }
    return 0;
}
