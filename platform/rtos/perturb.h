// A seeded perturbation of the tasks' timing, for tests: the orders in which tasks meet on a loaded
// or slower host, found on an idle one and replayed by the seed.
//
// While it is on, every task (not a foreign thread: the main thread, a test's) is held late after
// each wake-up from a wait of this RTOS layer (taskDelay, a semaphore, a queue's either side, its
// events; a wait that ends by a give or by its time-out alike, not a call that had no need to
// wait): 1 to maxMs milliseconds of real time, drawn at random, at one wake-up in four; a task the
// configuration names, at every wake-up. The tick core comes late as a whole: of its members only
// the one that takes the base tick is held (named or not, the others never are), at its wake-ups by
// the tick, and while it is ready, so that every worse member waits behind it as on one loaded
// processor. The clock runs on; the ticks a late taker missed wait for it, each with its own time,
// as on a busy host.
//
// Each task draws from a stream of its own, made from the seed and the task's name: a seed gives
// each task the same draws whatever the order in which the tasks were made. The host's own timing
// still differs between runs, so a seed makes an order likely again, not certain.
//
// The application takes it from the environment variable MSD_PERTURB, read once at its start:
// "<seed>[:<maxMs>[:<task>,<task>...]]", e.g. "17", "17:30" or "17:30:r_BFSSync*,tLapTrg": a seed
// of 0 to 2^64-1, the most a wake-up is held (1 to 1000 ms, 20 by default), and the tasks late at
// every wake-up, each by its name (the whole name or, as the host's thread names, its first 15
// characters), or the prefix of the names when it ends in '*'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t kPerturbDefaultMaxMs = 20;
inline constexpr uint32_t kPerturbMaxMsLimit = 1000;

struct PerturbConfig {
    uint64_t seed = 0;
    uint32_t maxMs = kPerturbDefaultMaxMs;
    std::vector<std::string> tasks; // late at every wake-up
};

// Parses a value of MSD_PERTURB; false with the reason.
bool perturb_parse(const std::string& text, PerturbConfig* config, std::string* error);
// What the configuration does, in the words of the log, with the value that replays it.
std::string perturb_describe(const PerturbConfig& config);
// Whether the configuration names the task (late at every wake-up).
bool perturb_names(const PerturbConfig& config, const std::string& task);

// Switches the perturbation on with `config`, or off (nullptr). The counts start from 0, and every
// task draws from a fresh stream from its next wake-up on.
void perturb_set(const PerturbConfig* config);

// Reads MSD_PERTURB and switches the perturbation on when it names one. Returns the line for the
// log: what it does (perturb_describe), or why the value is refused (then `*refused` is true and
// nothing is switched on); empty without the variable.
std::string perturb_fromEnvironment(bool* refused);

// The draws of one task.
class PerturbStream {
public:
    PerturbStream(const PerturbConfig& config, const std::string& task);
    // How late the task's next wake-up comes, in ms: 0 on time.
    uint32_t nextLateMs();

private:
    uint64_t state_;
    uint32_t maxMs_;
    bool everyWakeup_;
};

struct PerturbCounts {
    uint64_t wakeups = 0; // wake-ups that drew
    uint64_t late = 0;    // of them, those held late
    uint64_t lateMs = 0;  // the time they were held, in all
};
// Of the tasks of that name, since the last perturb_set.
PerturbCounts perturb_counts(const std::string& task);
