// The generated model's partitions: entry tables filled by hooks looked up by name
// ("codegen_hookPartition_P1" ... "_P3"), and the calls of their slots from the rasters.
#pragma once

#include <functional>

inline constexpr int SIMULINK_PARTITIONS = 3; // partitions 1..3
inline constexpr int SIMULINK_SLOTS = 28;

enum SimulinkSlot {
    SL_SLOT_RASTER_FIRST = 0, // slots 0..9: rasters 1 ms .. 1000 ms
    SL_SLOT_RASTER_LAST = 9,
    SL_SLOT_LAP = 16,
    SL_SLOT_EVENT_INIT = 21,
    SL_SLOT_CONV_TABLE = 22,
    SL_SLOT_INITIALIZE = 23,
    SL_SLOT_TERMINATE = 24,
};

// One slot of a partition's entry table: a step function, the initialise function (called with
// 1) or the conversion table, depending on the slot.
struct SimulinkEntry {
    void (*step)() = nullptr;
    void (*initialize)(int) = nullptr;
    const void* data = nullptr;
};
using CodegenHook = void (*)(SimulinkEntry table[SIMULINK_SLOTS]);

// Stands for the kernel side's symbol lookup: makes a hook findable by its name.
void simulink_registerHook(const char* name, CodegenHook hook);
// Registers a partition's conversion table (the measurement access fills this in).
void simulink_setConvRegister(std::function<int(int partition, const void* table)> registerFn);

// Looks up and initialises partitions 1..3; 1 when all three came up, 0 otherwise (each failed
// partition is logged and left out). Connects slots 0, 3, 6 to the 1, 10 and 100 ms rasters and
// slot 16 to the lap raster.
int simulink_initialize();
// Calls the slot of the partition (1..3) if it is set.
void callSimulinkFunc(int slot, int partition);
