// Inside the channel manager: channels, measurements and the registry they live in.
#pragma once

#include "calc/awm_fir.h"
#include "calc/awm_sched.h"
#include "calc/awm_upn.h"
#include "calc/awm_vc_config.h"
#include "measdata/seram_meas.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace awm {

struct Channel {
    uint16_t number = 0;
    awm_vc_entry cfg;
    seramMeasHandle_t input[AWM_VC_INPUTS] = {};
    std::unique_ptr<awm_man_cell_t[]> cells;
    awm_man_upn_mem mem;
    awm_man_upn_prog program; // cfg's program, decoded at set-up
    uint32_t previous = 0;    // time stamp of the previous evaluation
    uint8_t first = 1;
    double value = 0.0; // written and read in the calculation task only
    awm_sched_node* node = nullptr;

    bool isFilter() const { return cfg.module == AWM_FIR_TYPE_A || cfg.module == AWM_FIR_TYPE_B; }
};

struct Measurement {
    // The measurement's own handle on its value cell; its address is the queue node's user word.
    seramMeasHandle_t handle = {};
    double value = 0.0;
    Channel* channel = nullptr;
    awm_fir_filter filter = {};
    awm_sched_node* node = nullptr;
    uint32_t users = 1;
};

// The lap model's outputs behind a channel number: the module that owns it and the number of
// records after the module's own (awm_model_outputs.h); module 0 for none.
struct ModelOutputs {
    uint16_t module = 0;
    uint32_t offset = 0;
};

struct Registry {
    // Taken before the queue lock, never inside a queued function.
    std::mutex lock;
    std::vector<std::unique_ptr<Channel>> channels;                   // by channel number; empty places null
    std::map<const void*, std::unique_ptr<Measurement>> measurements; // by value cell
    std::vector<ModelOutputs> outputs;                                // by channel number
    uint32_t models = 0; // lap-function, fuel and GPS segment channels set up
    uint32_t skipped = 0;
    bool running = false;
};

Registry& registry();

// Producer of source 31 (seramMeasRegisterSource).
bool setupMeasurement(uint32_t address, uint16_t raster, SeramMeasCell* cell);
void releaseMeasurement(const void* cellPtr);

} // namespace awm
