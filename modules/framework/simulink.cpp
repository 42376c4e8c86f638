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
    void* table[SIMULINK_PARTITIONS][SIMULINK_SLOTS] = {};
    std::atomic<bool> ready[SIMULINK_PARTITIONS] = {};
    bool connected = false;
};

Partitions& parts() {
    static auto* p = new Partitions;
    return *p;
}

// The hook hands out plain addresses; the slot says what lies behind each.
SimulinkStep stepAt(void* entry) {
    return reinterpret_cast<SimulinkStep>(entry);
}

enum class PartitionState { Failed, StepsOnly, Complete };

PartitionState initPartition(Partitions& p, int partition) {
    char name[40];
    std::snprintf(name, sizeof(name), "codegen_hookPartition_P%d", partition + 1);
    CodegenHook hook = nullptr;
    std::function<int(int, const void*)> convRegister;
    {
        std::lock_guard<std::mutex> lk(p.m);
        auto it = p.hooks.find(name);
        if (it != p.hooks.end()) hook = it->second;
        convRegister = p.convRegister;
    }
    if (!hook) return PartitionState::Failed;
    void** t = p.table[partition];
    for (int slot = 0; slot < SIMULINK_SLOTS; ++slot) t[slot] = hook(uint32_t(slot));
    if (!t[SL_SLOT_INITIALIZE]) {
        syslogx(LOG_PRIO_ERR, "codegen_wrapperInit(): No model initialize!");
        return PartitionState::Failed;
    }
    reinterpret_cast<SimulinkInit>(t[SL_SLOT_INITIALIZE])(1);
    // A refused conversion table leaves the steps in place: the rasters still run the model.
    if (t[SL_SLOT_CONV_TABLE] && convRegister && !convRegister(partition, t[SL_SLOT_CONV_TABLE])) {
        syslogx(
            LOG_PRIO_ERR,
            "convRegisterVirtualMeasTable(): Registering virtual conversion table failed for partition %d",
            partition);
        return PartitionState::StepsOnly;
    }
    if (t[SL_SLOT_EVENT_INIT]) stepAt(t[SL_SLOT_EVENT_INIT])();
    return PartitionState::Complete;
}

void callAll(int slot) {
    for (int partition = 0; partition < SIMULINK_PARTITIONS; ++partition) callSimulinkFunc(slot, partition);
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
    bool complete[SIMULINK_PARTITIONS] = {};
    for (int partition = 0; partition < SIMULINK_PARTITIONS; ++partition) {
        p.ready[partition].store(false);
        const PartitionState state = initPartition(p, partition);
        p.ready[partition].store(state != PartitionState::Failed, std::memory_order_release);
        complete[partition] = state == PartitionState::Complete;
        if (!complete[partition]) {
            syslogx(LOG_PRIO_ERR, "codegen_wrapperInit(): Init failed for Partition %d", partition);
            result = 0;
        }
    }
    // Once every partition is set up, each raster step runs once, the slowest first.
    for (int slot = SL_SLOT_RASTER_LAST; slot >= SL_SLOT_RASTER_FIRST; --slot)
        for (int partition = 0; partition < SIMULINK_PARTITIONS; ++partition)
            if (complete[partition] && p.table[partition][slot]) stepAt(p.table[partition][slot])();
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
    if (slot < 0 || slot >= SIMULINK_SLOTS || partition < 0 || partition >= SIMULINK_PARTITIONS) return;
    Partitions& p = parts();
    if (!p.ready[partition].load(std::memory_order_acquire)) return;
    if (void* entry = p.table[partition][slot]) stepAt(entry)();
}
