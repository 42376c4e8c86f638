// Model partitions: lookup by name, initialisation order, conversion table, slot calls.
#include "framework/simulink.h"
#include "framework/syslog.h"
#include "logdrain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;
const int kConvTable = 42;

void p1Init(int arg) {
    calls.push_back("init" + std::to_string(arg));
}
void p1EventInit() {
    calls.push_back("eventinit");
}
template <int N> void p1Raster() {
    calls.push_back("r" + std::to_string(N));
}

template <class F> void* entry(F* f) {
    return reinterpret_cast<void*>(f);
}

// Exported as the generated code does it: one address per slot, null for an empty slot.
void* hookP1(uint32_t slot) {
    switch (slot) {
    case 0:
        return entry(p1Raster<0>);
    case 3:
        return entry(p1Raster<3>);
    case 9:
        return entry(p1Raster<9>);
    case SL_SLOT_EVENT_INIT:
        return entry(p1EventInit);
    case SL_SLOT_CONV_TABLE:
        return const_cast<int*>(&kConvTable);
    case SL_SLOT_INITIALIZE:
        return entry(p1Init);
    default:
        return nullptr;
    }
}

void* hookWithoutInit(uint32_t slot) {
    return slot == 0 ? entry(p1Raster<0>) : nullptr;
}

class SimulinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        testlog::drain();
        calls.clear();
        simulink_registerHook("codegen_hookPartition_P1", hookP1);
        simulink_registerHook("codegen_hookPartition_P3", hookWithoutInit);
    }
};

} // namespace

TEST_F(SimulinkTest, FirstPartitionIsIndexZeroAndStartsInOrder) {
    std::vector<int> registered;
    simulink_setConvRegister([&](int partition, const void* table) {
        registered.push_back(partition);
        EXPECT_EQ(table, &kConvTable);
        calls.push_back("conv");
        return 1;
    });
    EXPECT_EQ(simulink_initialize(), 0) << "the partitions behind P2 and P3 are not usable";
    simulink_setConvRegister(nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"init1", "conv", "eventinit", "r9", "r3", "r0"}));
    EXPECT_EQ(registered, (std::vector<int>{0})) << "P1's conversion table is that of partition 0";
    const auto log = testlog::drain();
    EXPECT_EQ(testlog::countContaining(log, "codegen_wrapperInit(): No model initialize!"), 1) << "P3";
    EXPECT_EQ(testlog::countContaining(log, "codegen_wrapperInit(): Init failed for Partition 0"), 0);
    EXPECT_EQ(testlog::countContaining(log, "codegen_wrapperInit(): Init failed for Partition"), 2);

    calls.clear();
    callSimulinkFunc(3, 0);
    callSimulinkFunc(5, 0);  // empty slot
    callSimulinkFunc(0, 2);  // partition without initialise: left out
    callSimulinkFunc(0, 1);  // partition missing
    callSimulinkFunc(0, 3);  // no such partition
    callSimulinkFunc(40, 0); // no such slot
    EXPECT_EQ(calls, (std::vector<std::string>{"r3"}));
}

TEST_F(SimulinkTest, RefusedConversionTableKeepsTheStepsButSkipsEventInitAndFirstRun) {
    simulink_setConvRegister([](int, const void*) {
        calls.push_back("conv");
        return 0;
    });
    EXPECT_EQ(simulink_initialize(), 0);
    simulink_setConvRegister(nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"init1", "conv"}));
    const auto log = testlog::drain();
    EXPECT_EQ(testlog::countContaining(log,
                                       "convRegisterVirtualMeasTable(): Registering virtual conversion table "
                                       "failed for partition 0"),
              1);
    EXPECT_EQ(testlog::countContaining(log, "codegen_wrapperInit(): Init failed for Partition 0"), 1);

    calls.clear();
    callSimulinkFunc(0, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"r0"})) << "the rasters still run the model";
}
