#include "calc/awm_0x0A_fuelcons.h"

#include "calc/awm_model_cfg.h"
#include "calc/awm_sched.h"
#include "calc/model/application_dor.h"
#include "framework/board_io.h"
#include "framework/nvram.h"
#include "framework/syslog.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

constexpr uint16_t kRasterInputs = 3;
constexpr int kStoreEvery = 10; // 100 ms steps

struct FuelCons {
    std::atomic<bool> configured{false};
    uint32_t channel = 0;
    awm_fuelcons_cfg cfg;
    AwmInput fuel, reset;
    std::atomic<uint8_t> lapFlag{0};
    float cells[2] = {};  // consumed, total: written by the model
    float stored[2] = {}; // as in NV
    int steps = 0;
};

FuelCons& fc() {
    static FuelCons f;
    return f;
}

bool running() {
    return fc().configured.load(std::memory_order_acquire) && !AWM_sched_STOP.load(std::memory_order_relaxed);
}

} // namespace

bool awm_0x0A_fuelcons_ini(uint32_t channel, const awm_fuelcons_cfg& cfg) {
    FuelCons& f = fc();
    if (f.configured.load()) {
        syslogx(LOG_PRIO_ERR2,
                "awm_0x0A_fuelcons_ini(): channel %u refused: the fuel consumption is channel %u",
                unsigned(channel), unsigned(f.channel));
        return false;
    }
    f.channel = channel;
    f.cfg = cfg;
    FC_SIG_ACT_LVL = cfg.fcSigActLvl;
    FUEL_INPUT_MODE = cfg.fuelInputMode;
    ADAPTION_FACTOR = cfg.adaptionFactor;
    CORRECTION_FACTOR = cfg.correctionFactor;
    TANK_CAPACITY = cfg.tankCapacity;
    TARGET_LAP_CONS = cfg.targetLapCons;
    LAP_REMAINING_MODE = cfg.lapRemainingMode;

    float stored[2] = {};
    if (nvram_dbs_read(NV_REC_LAPMODEL, NV_LAPMODEL_FUEL, stored, sizeof stored) != int(sizeof stored) ||
        !std::isfinite(stored[0]) || !std::isfinite(stored[1]))
        stored[0] = stored[1] = 0.0f;
    f.cells[0] = f.stored[0] = FUELCONS_INIT = stored[0];
    f.cells[1] = f.stored[1] = FUELTOTAL_INIT = stored[1];
    fuelcons = &f.cells[0];
    fueltotal = &f.cells[1];
    f.lapFlag = 0;
    f.steps = 0;
    f.fuel.start(cfg.fuel, kRasterInputs, "awm_0x0A_fuelcons", "fuel");
    f.reset.start(cfg.reset, kRasterInputs, "awm_0x0A_fuelcons", "reset");
    f.configured.store(true, std::memory_order_release);
    syslogx(LOG_PRIO_INFO2,
            "awm_0x0A_fuelcons_ini(): fuel consumption at channel %u, consumed %.2f, total %.2f",
            unsigned(channel), double(stored[0]), double(stored[1]));
    return true;
}

void awm_0x0A_fuelcons_exit() {
    FuelCons& f = fc();
    if (!f.configured.exchange(false)) return;
    f.fuel.stop();
    f.reset.stop();
}

bool awm_0x0A_fuelcons_configured() {
    return fc().configured.load(std::memory_order_acquire);
}

float awm_0x0A_fuelcons_getFuel() {
    double v = 0;
    return running() && fc().fuel.read(&v) ? float(v) : 0.0f;
}

uint8_t awm_0x0A_fuelcons_getReset() {
    const FuelCons& f = fc();
    const uint8_t inactive = (FC_SIG_ACT_LVL & 1u) ? 0 : 1;
    double v = 0;
    if (!running() || !supply_isGood() || !f.reset.read(&v)) return inactive;
    return v >= f.cfg.resetThreshold ? 1 : 0;
}

uint8_t awm_0x0A_fuelcons_getLaptrigger() {
    return fc().lapFlag.exchange(0);
}

float awm_0x0A_fuelcons_setLaptrigger() {
    FuelCons& f = fc();
    if (!f.configured.load(std::memory_order_acquire)) return 0.0f;
    f.lapFlag.store(1);
    // The model's 100 ms step has not yet seen the mark: its lap fuel is still that of this lap.
    return std::atomic_ref<float>(fuellap).load(std::memory_order_relaxed);
}

void awm_0x0A_fuelcons_store() {
    FuelCons& f = fc();
    if (!f.configured.load(std::memory_order_acquire) || ++f.steps < kStoreEvery) return;
    f.steps = 0;
    if (std::memcmp(f.cells, f.stored, sizeof f.stored) == 0) return;
    float cells[2];
    std::memcpy(cells, f.cells, sizeof cells);
    // A value the NV store's queue refused is not stored: the next store queues it again.
    if (nvram_dbs_writeLater(NV_REC_LAPMODEL, NV_LAPMODEL_FUEL, cells, sizeof cells,
                             "the fuel consumption") != 0)
        std::memcpy(f.stored, cells, sizeof f.stored);
}
