#include "platform/drives/drive_fault.h"

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
#include <utility>
#include <vector>

namespace {

constexpr const char* kOpNames[DRIVE_OP_COUNT] = {"open",   "write", "sync",    "chmod",
                                                  "rename", "close", "truncate"};

struct Errno {
    const char* name;
    int value;
};
constexpr Errno kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"ENOENT", ENOENT}, {"EROFS", EROFS}, {"EACCES", EACCES}};

struct Faults {
    std::mutex m;
    std::condition_variable released;
    uint64_t releases = 0;
    std::map<std::pair<std::string, int>, uint32_t> calls;
    std::vector<DriveFault> armed;
    uint32_t hits = 0;
    uint32_t holding = 0;
};

std::atomic<void (*)()> gPowerCut{nullptr};
thread_local int tQuiet = 0;

Faults& faults() {
    static auto* f = new Faults; // drive calls may come while the process ends
    return *f;
}

// The drive of a device path: "meas:" of "meas:/A0101000.001".
std::string driveOf(const std::string& path) {
    const size_t colon = path.find(':');
    return colon == std::string::npos ? path : path.substr(0, colon + 1);
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
            drivefault_arm(f);
        else
            std::fprintf(stderr, "msdapp: MSD_DRIVE_FAULT '%s' ignored: %s\n", one.c_str(), error.c_str());
    }
}

} // namespace

const char* drivefault_opName(DriveOp op) {
    return op >= 0 && op < DRIVE_OP_COUNT ? kOpNames[op] : "?";
}

bool drivefault_parse(const std::string& text, DriveFault* fault, std::string* error) {
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
    if (!number(parts[2], &f.nth) || f.nth == 0)
        return fail("call '" + parts[2] + "' is not a number from 1");
    const std::string& what = parts[3];
    if (what == "pull") {
        f.kind = DRIVE_FAULT_PULL;
    } else if (what == "cut") {
        f.kind = DRIVE_FAULT_CUT;
    } else if (what == "delete" || what == "rename") {
        if (f.op != DRIVE_OP_WRITE) return fail("'" + what + "' applies to write only");
        f.kind = what == "delete" ? DRIVE_FAULT_DELETE : DRIVE_FAULT_RENAME;
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
    if (parts.size() == 5 && !number(parts[4], &f.times))
        return fail("times '" + parts[4] + "' is not a number");
    *fault = f;
    return true;
}

void drivefault_arm(const DriveFault& fault) {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    f.armed.push_back(fault);
}

void drivefault_clear() {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    f.armed.clear();
    f.calls.clear();
    f.hits = 0;
    ++f.releases;
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

DriveFaultQuiet::DriveFaultQuiet() {
    ++tQuiet;
}

DriveFaultQuiet::~DriveFaultQuiet() {
    --tQuiet;
}

uint32_t drivefault_calls(const char* drive, DriveOp op) {
    Faults& f = faults();
    std::lock_guard<std::mutex> lk(f.m);
    const auto it = f.calls.find({driveOf(drive ? drive : ""), int(op)});
    return it == f.calls.end() ? 0 : it->second;
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
    std::fclose(out);
}

int drivefault_enter(const std::string& path, DriveOp op) {
    if (tQuiet > 0) return 0;
    static std::once_flag fromEnvironment;
    std::call_once(fromEnvironment, armFromEnvironment);
    Faults& f = faults();
    const std::string drive = driveOf(path);
    DriveFault due;
    bool hit = false;
    uint64_t releasesBefore = 0;
    {
        std::lock_guard<std::mutex> lk(f.m);
        const uint32_t n = ++f.calls[{drive, int(op)}];
        for (const DriveFault& a : f.armed) {
            if (a.drive != drive || a.op != op || n < a.nth || (a.times != 0 && n >= a.nth + a.times))
                continue;
            if ((a.kind == DRIVE_FAULT_DELETE || a.kind == DRIVE_FAULT_RENAME) && op != DRIVE_OP_WRITE)
                continue;
            due = a;
            hit = true;
            ++f.hits;
            // Taken with the hit: a release that comes before the hold begins to wait still frees it.
            releasesBefore = f.releases;
            break;
        }
    }
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
        auto released = [&] { return f.releases != releasesBefore; };
        ++f.holding;
        if (due.holdMs == 0)
            f.released.wait(lk, released);
        else
            f.released.wait_for(lk, std::chrono::milliseconds(due.holdMs), released);
        --f.holding;
        return 0;
    }
    case DRIVE_FAULT_CUT: {
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
    }
    return 0;
}
