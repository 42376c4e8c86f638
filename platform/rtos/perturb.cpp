#include "platform/rtos/perturb.h"

#include "platform/rtos/rtos_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <time.h>

namespace {

constexpr size_t kOsNameChars = 15; // the host keeps a thread's name to so many characters
constexpr size_t kTaskNameMax = 63;

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t nameHash(const std::string& name) {
    uint64_t h = 0xCBF29CE484222325ULL; // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 0x100000001B3ULL;
    return h;
}

// A number of decimal digits only, at most `max`.
bool number(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max) return false;
    *value = v;
    return true;
}

struct State {
    std::mutex m;            // guards the rest
    PerturbConfig config;    // while on
    uint64_t generation = 0; // moves with each perturb_set
    std::atomic<bool> on{false};
    std::map<std::string, PerturbCounts> counts; // by task name
};

State& state() {
    static auto* s = new State; // tasks may wake during exit
    return *s;
}

} // namespace

bool perturb_parse(const std::string& text, PerturbConfig* config, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        const size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    if (parts.size() > 3) return fail("not <seed>[:<max ms>[:<task>,<task>...]]");
    PerturbConfig c;
    if (!number(parts[0], UINT64_MAX, &c.seed))
        return fail("the seed '" + parts[0] + "' is no number of 0 to 2^64-1");
    if (parts.size() > 1) {
        uint64_t max = 0;
        if (!number(parts[1], kPerturbMaxMsLimit, &max) || max == 0)
            return fail("the most a wake-up is held, '" + parts[1] + "', is no number of 1 to " +
                        std::to_string(kPerturbMaxMsLimit) + " ms");
        c.maxMs = uint32_t(max);
    }
    if (parts.size() > 2) {
        const std::string& list = parts[2];
        for (size_t from = 0;;) {
            const size_t comma = list.find(',', from);
            const std::string name =
                list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
            const size_t star = name.find('*');
            if (name.empty() || name == "*" || name.size() > kTaskNameMax ||
                name.find_first_of(" \t,:") != std::string::npos ||
                (star != std::string::npos && star + 1 != name.size()))
                return fail("the task '" + name + "' is no task name (or prefix ending in '*') of 1 to " +
                            std::to_string(kTaskNameMax) + " characters");
            c.tasks.push_back(name);
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    *config = c;
    return true;
}

bool perturb_names(const PerturbConfig& config, const std::string& task) {
    for (const std::string& p : config.tasks) {
        if (p.back() == '*'
                ? task.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0
                : task == p || (p.size() == kOsNameChars && task.compare(0, kOsNameChars, p) == 0))
            return true;
    }
    return false;
}

std::string perturb_describe(const PerturbConfig& config) {
    // The value that replays it first: a log line too long for the log loses its end.
    std::string names;
    for (const std::string& t : config.tasks) names += (names.empty() ? "" : ",") + t;
    const std::string seed = std::to_string(config.seed), max = std::to_string(config.maxMs);
    return "perturbation MSD_PERTURB=" + seed + ":" + max + (names.empty() ? "" : ":" + names) + ": seed " +
           seed + ", a task's wake-up held 1 to " + max + " ms late at one in four" +
           (names.empty() ? "" : ", every one of " + names);
}

void perturb_set(const PerturbConfig* config) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.m);
    if (config) s.config = *config;
    s.counts.clear();
    ++s.generation;
    s.on.store(config != nullptr, std::memory_order_release);
}

std::string perturb_fromEnvironment(bool* refused) {
    *refused = false;
    const char* text = std::getenv("MSD_PERTURB");
    if (!text || !*text) return "";
    PerturbConfig config;
    std::string error;
    if (!perturb_parse(text, &config, &error)) {
        *refused = true;
        return std::string("MSD_PERTURB='") + text + "' refused: " + error;
    }
    perturb_set(&config);
    return perturb_describe(config);
}

PerturbStream::PerturbStream(const PerturbConfig& config, const std::string& task)
    : maxMs_(config.maxMs), everyWakeup_(perturb_names(config, task)) {
    uint64_t mix = nameHash(task);
    state_ = config.seed ^ splitmix(mix);
}

uint32_t PerturbStream::nextLateMs() {
    const uint64_t r = splitmix(state_);
    if (!everyWakeup_ && (r & 3) != 0) return 0;
    return 1 + uint32_t((r >> 2) % maxMs_);
}

PerturbCounts perturb_counts(const std::string& task) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.m);
    const auto it = s.counts.find(task);
    return it == s.counts.end() ? PerturbCounts{} : it->second;
}

namespace rtos_detail {

void perturb_afterWait(TaskRec* me, WokeBy how) {
    State& s = state();
    if (me->foreign || !s.on.load(std::memory_order_acquire)) return;
    // The tick core comes late as a whole, behind the task that takes the base tick: a member held
    // at each of its own wake-ups would hold every worse one back with it, and the core, several wake-ups
    // each millisecond, would fall seconds behind.
    if (me->coreMember && how != WokeBy::Clock) return;
    uint32_t ms = 0;
    {
        std::lock_guard<std::mutex> lk(s.m);
        if (!s.on.load()) return;
        if (!me->perturb || me->perturbGeneration != s.generation) {
            me->perturb = std::make_unique<PerturbStream>(s.config, me->name);
            me->perturbGeneration = s.generation;
        }
        ms = me->perturb->nextLateMs();
        PerturbCounts& n = s.counts[me->name];
        ++n.wakeups;
        n.late += ms > 0;
        n.lateMs += ms;
    }
    if (ms == 0) return;
    // Real time, on the hand-driven clock too: a tick given by hand waits for a late member.
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

} // namespace rtos_detail
