// Model partitions: lookup by name, initialisation order, slot calls.
#include "framework/simulink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;
const int kConvTable = 42;

void p1Init(int arg) { calls.push_back("init" + std::to_string(arg)); }
void p1EventInit() { calls.push_back("eventinit"); }
void p1Lap() { calls.push_back("lap"); }
template <int N>
void p1Raster() {
    calls.push_back("r" + std::to_string(N));
}

void hookP1(SimulinkEntry t[SIMULINK_SLOTS]) {
    t[SL_SLOT_INITIALIZE].initialize = p1Init;
    t[SL_SLOT_EVENT_INIT].step = p1EventInit;
    t[SL_SLOT_CONV_TABLE].data = &kConvTable;
    t[SL_SLOT_LAP].step = p1Lap;
    t[0].step = p1Raster<0>;
    t[3].step = p1Raster<3>;
    t[9].step = p1Raster<9>;
}

void hookP3NoInit(SimulinkEntry t[SIMULINK_SLOTS]) { t[0].step = p1Raster<0>; }

} // namespace

TEST(Simulink, PartitionsInitialiseInOrderAndMissingOnesAreLeftOut) {
    std::vector<int> registered;
    simulink_setConvRegister([&](int partition, const void* table) {
        registered.push_back(partition);
        EXPECT_EQ(table, &kConvTable);
        calls.push_back("conv");
        return 1;
    });
    simulink_registerHook("codegen_hookPartition_P1", hookP1);
    simulink_registerHook("codegen_hookPartition_P3", hookP3NoInit); // no initialise: refused
    EXPECT_EQ(simulink_initialize(), 0) << "partitions 2 and 3 are not usable";
    EXPECT_EQ(calls, (std::vector<std::string>{"init1", "conv", "eventinit", "r9", "r3", "r0"}));
    EXPECT_EQ(registered, (std::vector<int>{1}));

    calls.clear();
    callSimulinkFunc(SL_SLOT_LAP, 1);
    callSimulinkFunc(5, 1);  // empty slot
    callSimulinkFunc(0, 3);  // partition not initialised
    callSimulinkFunc(0, 2);  // partition missing
    callSimulinkFunc(40, 1); // no such slot
    EXPECT_EQ(calls, (std::vector<std::string>{"lap"}));
}
