// The channel manager: set-up of the channel table, the cyclic function of formula and condition
// channels, start and stop.
#include "calc/awm_man.h"

#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_0x0A_fuelcons.h"
#include "calc/awm_0x17_gps.h"
#include "calc/awm_man_internal.h"
#include "calc/awm_model_cfg.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/measman/meas_man.h"

#include <cstdio>

namespace awm {

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace awm

namespace {

using namespace awm;

// Order of the calculation task's step: before the measurement manager's copy (900), so that the
// copy of a raster sees the values its channels computed in the same tick.
constexpr int kCalcStepOrder = 100;
static_assert(AWM_VC_RASTERS == AWM_SCHED_QUEUES);

double readInput(const Channel& c, uint32_t i) {
    if (c.cfg.input[i] == 0) return 0.0;
    const uint8_t type = c.cfg.inputType[i];
    const uint32_t width = type == 7 ? 1 : getSizeofType(type); // 7: a one-byte flag
    uint8_t be[4] = {};
    seramMeasCopy_bigEndian(be, width, &c.input[i]);
    uint32_t raw = 0;
    for (uint32_t b = 0; b < width; ++b) raw = raw << 8 | be[b];
    return awm_man_conv2double(raw, type);
}

// Cyclic function of a formula or condition channel.
void evaluate(void* instance, uint32_t timestamp) {
    auto* c = static_cast<Channel*>(instance);
    const double r = awm_man_upn_run(c->program, &c->mem, c->previous, timestamp, readInput(*c, 0),
                                     readInput(*c, 1), readInput(*c, 2), readInput(*c, 3), c->first);
    c->mem.last = r;
    c->previous = timestamp;
    c->first = 0;
    c->value = r;
}

bool isModelModule(uint16_t module) {
    return module == AWM_MODULE_LAPFUNC || module == AWM_MODULE_FUELCONS || module == AWM_MODULE_GPSSEG;
}

// Why the entry cannot be set up, or null.
const char* refusal(const awm_vc_entry& e, char* why, size_t size) {
    const bool program = e.module == AWM_MODULE_FORMULA || e.module == AWM_MODULE_CONDITION;
    if (!program && e.module != AWM_FIR_TYPE_A && e.module != AWM_FIR_TYPE_B && !isModelModule(e.module)) {
        std::snprintf(why, size, "unknown module id 0x%X", unsigned(e.module));
    } else if (e.raster >= AWM_SCHED_QUEUES) {
        std::snprintf(why, size, "raster index %u, only %u queues", unsigned(e.raster),
                      unsigned(AWM_SCHED_QUEUES));
    } else if (program && (e.programLength < AWM_UPN_INSTR || e.programLength > AWM_VC_PROGRAM_SIZE)) {
        std::snprintf(why, size, "program of %u bytes", unsigned(e.programLength));
    } else {
        for (uint32_t i = 0; i < AWM_VC_INPUTS && program; ++i) {
            if (e.input[i] != 0 && e.inputType[i] > 7) {
                std::snprintf(why, size, "input %u type code %u", unsigned(i + 1), unsigned(e.inputType[i]));
                return why;
            }
        }
        return nullptr;
    }
    return why;
}

std::unique_ptr<Channel> makeChannel(uint32_t number, const awm_vc_entry& e) {
    auto c = std::make_unique<Channel>();
    c->number = uint16_t(number);
    c->cfg = e;
    if (c->isFilter()) return c;
    const uint16_t n = awm_man_upn_memsize(e.program, e.programLength);
    if (n > 0) {
        c->cells.reset(new awm_man_cell_t[n]());
        c->mem.cells = c->cells.get();
        c->mem.count = n;
    }
    awm_man_upn_init(e.program, e.programLength, &c->mem);
    awm_man_upn_decode(e.program, e.programLength, &c->program);
    return c;
}

// Input handles and the cyclic function. Runs without the registry lock: an input that is itself
// a calculation channel sets up a measurement, which takes it.
void start(Channel& c) {
    if (c.isFilter()) {
        syslogx(LOG_PRIO_WARNING2,
                "awm_man_ini(): channel %u: FIR filter arithmetic not built, its value reads NaN",
                unsigned(c.number));
        return;
    }
    for (uint32_t i = 0; i < AWM_VC_INPUTS; ++i)
        if (c.cfg.input[i] != 0) seramMeasSetupMeas(c.cfg.input[i], c.cfg.raster, &c.input[i]);
    c.node = awm_sched_queue_head(evaluate, &c, c.cfg.raster);
    if (c.node == nullptr)
        syslogx(LOG_PRIO_ERR2, "awm_man_ini(): channel %u not queued at raster %u", unsigned(c.number),
                unsigned(c.cfg.raster));
}

// A lap-function, fuel or GPS segment channel: its module sets it up (it subscribes its inputs
// through the gateway, so this runs without the registry lock).
bool startModel(uint32_t n, const awm_vc_entry& e, const uint8_t* table) {
    switch (e.module) {
    case AWM_MODULE_LAPFUNC: {
        auto cfg = std::make_unique<awm_lapfunc_cfg>();
        awm_vc_payload(table, AWM_VC_CHANNELS, n, cfg.get(), sizeof *cfg);
        return awm_0x08_lapfunc_ini(n, *cfg);
    }
    case AWM_MODULE_FUELCONS: {
        awm_fuelcons_cfg cfg;
        awm_vc_payload(table, AWM_VC_CHANNELS, n, &cfg, sizeof cfg);
        return awm_0x0A_fuelcons_ini(n, cfg);
    }
    default: {
        auto cfg = std::make_unique<awm_gpsseg_cfg>();
        awm_vc_payload(table, AWM_VC_CHANNELS, n, cfg.get(), sizeof *cfg);
        return awm_0x17_gps_ini(n, e.raster, *cfg);
    }
    }
}

void storeHook() {
    AWM_sched_STOP.store(1);
}

} // namespace

void awm_man_ini() {
    Registry& reg = registry();
    {
        std::lock_guard<std::mutex> g(reg.lock);
        if (reg.running) {
            syslogx(LOG_PRIO_ERR2, "awm_man_ini(): already running");
            return;
        }
        reg.running = true;
        reg.skipped = 0;
        reg.channels.clear();
        reg.channels.resize(AWM_VC_CHANNELS);
        reg.outputs.assign(AWM_VC_CHANNELS, ModelOutputs{});
        reg.models = 0;
    }
    awm_sched_common_ini();
    AWM_sched_STOP.store(0);

    const auto& table = seramCal().CfgMat_VC_config;
    std::vector<Channel*> made;
    std::vector<std::pair<uint32_t, awm_vc_entry>> models;
    uint32_t skipped = 0;
    {
        std::lock_guard<std::mutex> g(reg.lock);
        uint32_t claimed = 0; // extension records that follow a channel
        for (uint32_t n = 0; n < AWM_VC_CHANNELS; ++n) {
            const awm_vc_entry e = awm_vc_decode(table.data() + n * AWM_VC_RECORD_SIZE);
            if (e.module == AWM_MODULE_EXTENSION && claimed > 0) {
                --claimed;
                continue;
            }
            claimed = 0;
            if (e.module == AWM_MODULE_NONE) continue;
            char why[96];
            const char* r = e.module == AWM_MODULE_EXTENSION ? "extension record without its channel"
                                                             : refusal(e, why, sizeof why);
            const size_t records = awm_model_records(e.module);
            uint32_t have = 0; // its extension records, which go with it also when it is skipped
            while (have + 1 < records && n + have + 1 < AWM_VC_CHANNELS &&
                   awm_vc_module(table.data(), n + have + 1) == AWM_MODULE_EXTENSION)
                ++have;
            claimed = have;
            if (!r && have + 1 < records) {
                std::snprintf(why, sizeof why, "%u extension records of %u", unsigned(have),
                              unsigned(records - 1));
                r = why;
            }
            if (r) {
                syslogx(LOG_PRIO_ERR2, "awm_man_ini(): channel %u skipped: %s", unsigned(n), r);
                ++skipped;
                continue;
            }
            if (isModelModule(e.module)) {
                models.push_back({n, e});
                continue;
            }
            reg.channels[n] = makeChannel(n, e);
            made.push_back(reg.channels[n].get());
        }
        reg.skipped = skipped;
    }
    SeramMeasSource source;
    source.setup = setupMeasurement;
    source.release = releaseMeasurement;
    seramMeasRegisterSource(SERAM_SRC_CALC, source);
    for (Channel* c : made) start(*c);
    for (const auto& [n, e] : models) {
        if (!startModel(n, e, table.data())) {
            std::lock_guard<std::mutex> g(reg.lock);
            ++reg.skipped;
            continue;
        }
        std::lock_guard<std::mutex> g(reg.lock);
        const uint32_t records = awm_model_records(e.module);
        for (uint32_t k = 0; k < records; ++k) reg.outputs[n + k] = {e.module, k};
        ++reg.models;
    }

    seramSetStoreHook(storeHook);
    static std::once_flag hooked;
    std::call_once(hooked, [] {
        raster_addCalcStep(kCalcStepOrder, "awm_sched_call",
                           [](int raster, uint32_t ts) { awm_sched_call(uint16_t(raster), ts); });
    });
    uint32_t modelsUp = 0;
    {
        std::lock_guard<std::mutex> g(reg.lock);
        modelsUp = reg.models;
        skipped = reg.skipped;
    }
    syslogx(LOG_PRIO_INFO2, "awm_man_ini(): %u calculation channels set up, %u skipped",
            unsigned(made.size() + modelsUp), unsigned(skipped));
    meas_man_virtChan_registered = 1;
}

void awm_man_stop() {
    AWM_sched_STOP.store(1);
}

void awm_man_exit() {
    seramMeasRegisterSource(SERAM_SRC_CALC, {});
    seramSetStoreHook(nullptr);
    awm_0x17_gps_exit();
    awm_0x08_lapfunc_exit();
    awm_0x0A_fuelcons_exit();
    awm_input_disconnect();
    Registry& reg = registry();
    std::vector<std::unique_ptr<Channel>> channels;
    std::map<const void*, std::unique_ptr<Measurement>> measurements;
    {
        std::lock_guard<std::mutex> g(reg.lock);
        channels.swap(reg.channels);
        measurements.swap(reg.measurements);
        reg.running = false;
        reg.skipped = 0;
        reg.outputs.clear();
        reg.models = 0;
    }
    for (auto& [cell, m] : measurements) awm_sched_unqueue(m->node);
    for (auto& c : channels) {
        if (!c) continue;
        awm_sched_unqueue(c->node);
        for (seramMeasHandle_t& h : c->input) seramMeasFreeMeas(&h);
    }
    AWM_sched_STOP.store(0);
}

awm_man_stats awm_man_get_stats() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    awm_man_stats s{};
    for (const auto& c : reg.channels) s.channels += c != nullptr;
    s.channels += reg.models;
    s.skipped = reg.skipped;
    s.measurements = uint32_t(reg.measurements.size());
    return s;
}
