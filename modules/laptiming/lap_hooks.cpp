#include "laptiming/lap_hooks.h"

#include "laptiming/lapoutfra.h"

#include <atomic>

namespace {

bool notConfigured() {
    return false;
}
void nothing() {}
float noFuel() {
    return 0.0f;
}
int noHistory() {
    return 0;
}
void noEntry(uint8_t, uint32_t, float) {}
int noBlock(uint16_t, uint16_t, uint32_t, uint32_t) {
    return 0;
}
void noUpdate(uint16_t, uint16_t) {}
bool hereAndNow(const char* drive, const char*, int (*job)(const char*)) {
    job(drive);
    return true;
}
std::vector<std::string> measOnly() {
    return {"meas:"};
}
// Without a logging nothing names files: the names are fixed at once.
void settleAtOnce() {
    LapOutFra_settleNames();
    LapOutFra_startingWith(nullptr);
}

const LapFunctionHooks kNoLapFunction{notConfigured, nothing, nothing, nothing, nothing,
                                      nothing,       nothing, nothing, nothing, noFuel};
const LapLoggingHooks kNoLogging{noHistory, noEntry,    noBlock,  nothing,
                                 noUpdate,  hereAndNow, measOnly, settleAtOnce};

std::atomic<const LapFunctionHooks*> gLapFunction{&kNoLapFunction};
std::atomic<const LapLoggingHooks*> gLogging{&kNoLogging};

} // namespace

void lap_setLapFunction(const LapFunctionHooks* hooks) {
    gLapFunction.store(hooks ? hooks : &kNoLapFunction, std::memory_order_release);
}

void lap_setLogging(const LapLoggingHooks* hooks) {
    gLogging.store(hooks ? hooks : &kNoLogging, std::memory_order_release);
}

const LapFunctionHooks& lap_lapFunction() {
    return *gLapFunction.load(std::memory_order_acquire);
}

const LapLoggingHooks& lap_logging() {
    return *gLogging.load(std::memory_order_acquire);
}
