// Measurements of calculation channels (source 31): a value cell per measurement, filled by its
// measure function at the tail of the measurement's raster; equal filter measurements share one.
#include "calc/awm_man_internal.h"
#include "calc/awm_model_outputs.h"

#include "framework/appman.h"
#include "framework/syslog.h"

namespace awm {
namespace {

// Formula and condition values are computed in the tick they are read in (the channel's cyclic
// function runs before the measure functions of its raster), so they carry no latency.
constexpr uint16_t kLatency = 0;

void measure(void* instance, uint32_t) {
    auto* m = static_cast<Measurement*>(instance);
    m->value = m->channel->value;
}

void describe(Measurement& m, SeramMeasCell* cell) {
    *cell = SeramMeasCell{};
    cell->ptr = &m.value;
    cell->size = sizeof m.value;
    cell->latency = kLatency;
    cell->f64 = true;
}

} // namespace

bool setupMeasurement(uint32_t address, uint16_t raster, SeramMeasCell* cell) {
    const uint32_t number = (address >> 8) & 0x3FFu;
    if (raster >= AWM_SCHED_QUEUES) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                          "awm_man: measurement of 0x%08X refused: raster index %u, only %u queues",
                          unsigned(address), unsigned(raster), unsigned(AWM_SCHED_QUEUES));
        return false;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    // The lap model's outputs are read where the model keeps them.
    if (number < reg.outputs.size() && reg.outputs[number].module != 0)
        return awm_model_output_cell(reg.outputs[number].module, reg.outputs[number].offset,
                                     uint8_t(address & 0xFFu), cell);
    Channel* c = number < reg.channels.size() ? reg.channels[number].get() : nullptr;
    if (c == nullptr || (address & 0xFFu) != 0) return false; // not served: the caller logs it

    awm_sched_fn fn = measure;
    const uint32_t channelId = uint32_t(uint8_t(app_pid)) << 24 | number << 8;
    if (c->isFilter()) {
        fn = awm_fir_filter_measure;
        // An equal filter already measured at this raster is shared, not run twice.
        if (const uintptr_t user = awm_sched_check_filter_in_queue(channelId, raster, fn)) {
            const auto* h = reinterpret_cast<const seramMeasHandle_t*>(user);
            const auto found = reg.measurements.find(h->ptr);
            if (found != reg.measurements.end()) {
                ++found->second->users;
                describe(*found->second, cell);
                return true;
            }
        }
    }
    auto m = std::make_unique<Measurement>();
    m->channel = c;
    m->handle.ptr = reinterpret_cast<const uint8_t*>(&m->value);
    m->handle.kind = SERAM_MEAS_CALC_F64;
    m->handle.extra = uint32_t(kLatency) << 16 | sizeof m->value;
    m->filter = awm_fir_filter{uint8_t(app_pid), uint16_t(number), raster, &m->value};
    void* instance = c->isFilter() ? static_cast<void*>(&m->filter) : static_cast<void*>(m.get());
    m->node = awm_sched_queue_tail(fn, instance, reinterpret_cast<uintptr_t>(&m->handle), raster);
    if (m->node == nullptr) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "awm_man: measurement of channel %u at raster %u not queued",
                          unsigned(number), unsigned(raster));
        return false;
    }
    describe(*m, cell);
    reg.measurements.emplace(&m->value, std::move(m));
    return true;
}

void releaseMeasurement(const void* cellPtr) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    const auto found = reg.measurements.find(cellPtr);
    if (found == reg.measurements.end() || --found->second->users > 0) return;
    awm_sched_unqueue(found->second->node);
    reg.measurements.erase(found);
}

} // namespace awm
