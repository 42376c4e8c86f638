#include "framework/simulink.h"

#include "framework/raster.h"
#include "framework/syslog.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Partitions {
    std::mutex m;
    std::map<std::string, CodegenHook> hooks;
    std::function<int(int, const void*)> convRegister;
    SimulinkEntry table[SIMULINK_PARTITIONS + 1][SIMULINK_SLOTS] = {};
    std::atomic<bool> ready[SIMULINK_PARTITIONS + 1] = {};
    bool connected = false;
};

Partitions& parts() {
    static auto* p = new Partitions;
    return *p;
}

bool initPartition(Partitions& p, int partition) {
    char name[40];
    std::snprintf(name, sizeof(name), "codegen_hookPartition_P%d", partition);
    CodegenHook hook = nullptr;
    {
        std::lock_guard<std::mutex> lk(p.m);
        auto it = p.hooks.find(name);
        if (it != p.hooks.end()) hook = it->second;
    }
    if (!hook) return false;
    SimulinkEntry* t = p.table[partition];
    for (int i = 0; i < SIMULINK_SLOTS; ++i) t[i] = SimulinkEntry{};
    hook(t);
    if (!t[SL_SLOT_INITIALIZE].initialize) {
        syslogx(LOG_PRIO_ERR, "codegen_wrapperInit(): No model initialize!");
        return false;
    }
    t[SL_SLOT_INITIALIZE].initialize(1);
    if (t[SL_SLOT_CONV_TABLE].data && p.convRegister) p.convRegister(partition, t[SL_SLOT_CONV_TABLE].data);
    if (t[SL_SLOT_EVENT_INIT].step) t[SL_SLOT_EVENT_INIT].step();
    for (int slot = SL_SLOT_RASTER_LAST; slot >= SL_SLOT_RASTER_FIRST; --slot)
        if (t[slot].step) t[slot].step();
    return true;
}

void callAll(int slot) {
    for (int partition = 1; partition <= SIMULINK_PARTITIONS; ++partition) callSimulinkFunc(slot, partition);
}

} // namespace

void simulink_registerHook(const char* name, CodegenHook hook) {
    if (!name || !hook) return;
    Partitions& p = parts();
    std::lock_guard<std::mutex> lk(p.m);
    p.hooks[name] = hook;
}

void simulink_setConvRegister(std::function<int(int, const void*)> registerFn) {
    Partitions& p = parts();
    std::lock_guard<std::mutex> lk(p.m);
    p.convRegister = std::move(registerFn);
}

int simulink_initialize() {
    Partitions& p = parts();
    int result = 1;
    for (int partition = 1; partition <= SIMULINK_PARTITIONS; ++partition) {
        const bool ok = initPartition(p, partition);
        p.ready[partition].store(ok);
        if (!ok) {
            syslogx(LOG_PRIO_ERR, "codegen_wrapperInit(): Init failed for Partition %d", partition);
            result = 0;
        }
    }
    if (!p.connected) {
        p.connected = true;
        // The model steps run after the inputs of their raster and before its outputs.
        raster_addPeriodic(RASTER_R1MS, 500, "model 1ms", [] { callAll(0); });
        raster_addPeriodic(RasterTaskId(3), 500, "model 10ms", [] { callAll(3); });
        raster_addPeriodic(RasterTaskId(6), 500, "model 100ms", [] { callAll(6); });
        raster_addPeriodic(RASTER_LAP, 500, "model lap", [] { callAll(SL_SLOT_LAP); });
    }
    return result;
}

void callSimulinkFunc(int slot, int partition) {
    if (slot < 0 || slot >= SIMULINK_SLOTS || partition < 1 || partition > SIMULINK_PARTITIONS) return;
    Partitions& p = parts();
    if (!p.ready[partition].load(std::memory_order_acquire)) return;
    if (void (*fn)() = p.table[partition][slot].step) fn();
}
