// The generated model's partitions: entry tables filled by hooks looked up by name
// ("codegen_hookPartition_P1" ... "_P3"), and the calls of their slots from the rasters. Partition
// index 0 is the model behind "codegen_hookPartition_P1", 1 and 2 those behind "_P2" and "_P3".
#pragma once

#include <cstdint>
#include <functional>

inline constexpr int SIMULINK_PARTITIONS = 3; // partition indices 0..2
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

// The generated model's export, looked up by name: the address of the entry of one slot, or null.
// Slots 0-9, 16, 21 and 24 hold a `SimulinkStep`, slot 23 a `SimulinkInit`, slot 22 the partition's
// conversion table (data).
using CodegenHook = void* (*)(uint32_t slot);
using SimulinkStep = void (*)();
using SimulinkInit = void (*)(int firstTime);

// Stands for the kernel side's symbol lookup: makes a hook findable by its name.
void simulink_registerHook(const char* name, CodegenHook hook);
// Registers a partition's conversion table under its partition index (the measurement access
// fills this in); non-zero when registered.
void simulink_setConvRegister(std::function<int(int partition, const void* table)> registerFn);

// Looks up and initialises the partitions; 1 when all three came up, 0 otherwise (each failed
// partition is logged). A partition without a hook or an initialise entry is left out; one whose
// conversion table is refused keeps its steps but skips its event init and first run. Connects
// slots 0, 3, 6 to the 1, 10 and 100 ms rasters and slot 16 to the lap raster.
int simulink_initialize();
// Calls the slot of the partition (index 0..2) if it is set.
void callSimulinkFunc(int slot, int partition);
