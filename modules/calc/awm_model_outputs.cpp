#include "calc/awm_model_outputs.h"

#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_vc_config.h"
#include "calc/model/application_dor.h"
#include "measdata/seram.h"

#include <iterator>

namespace {

#define OUT(name, type)                                                                                      \
    {                                                                                                        \
#name, type, [] { return static_cast<const void*>(&name); }                                          \
    }
#define OUT_AT(name, type, expr)                                                                             \
    {                                                                                                        \
        name, type, [] { return static_cast<const void*>(expr); }                                            \
    }

constexpr uint8_t U8 = 1, U32 = 5, F32 = 6;

const awm_model_output kLapfunc[] = {
    OUT(laptime, F32),
    OUT(laptimeold, F32),
    OUT_AT("laptimebest", F32, laptimebest),
    OUT(lapdiff, F32),
    OUT(lapdiffb, F32),
    OUT(lapdiffpred, F32),
    OUT(lapcurrpred, F32),
    OUT(lapcurrpred_intrpl, F32),
    OUT(lapintrpl_dlast, F32),
    OUT(lapintrpl_dbest, F32),
    OUT(lapintrpl_dpred, F32),
    OUT(lapseg_dlast, F32),
    OUT(lapseg_dbest, F32),
    OUT(lapseg_dpred, F32),
    OUT(laptimeseg, F32),
    OUT(laptime_sb, F32),
    OUT(lapcurr, F32),
    OUT(lapcurr_sb, F32),
    OUT(lapctr_lapfunc, F32),
    OUT(outing, F32),
    OUT(cntdowntime, F32),
    OUT(distlap, F32),
    OUT(ddistlap, F32),
    OUT(dist, F32),
    OUT(lapsegctr, U8),
    OUT(b_lapin, U8),
    OUT(b_laptrgm, U8),
    OUT(b_laptrgi, U8),
    OUT(b_laptrg, U8),
    OUT(b_laptrgb, U8),
    OUT(b_laptrgim, U8),
    OUT(b_gpslaptrg, U8),
    OUT(e_lap, U8),
    OUT(b_speedlapmn, U8),
    OUT(b_llapmn, U8),
    OUT(b_lapset, U8),
    OUT(b_laptimevalid, U8),
    OUT(b_bestlap, U8),
    OUT(b_lapseg, U8),
    OUT(b_lapval_changed, U8),
    OUT_AT("gps_dist2trig", F32, awm_0x08_lapfunc_dist2trig(0)),
    OUT_AT("gps_longdist2trig", F32, awm_0x08_lapfunc_dist2trig(1)),
    OUT_AT("gps_vertdist2trig", F32, awm_0x08_lapfunc_dist2trig(2)),
};

const awm_model_output kFuelcons[] = {
    OUT_AT("fuelcons", F32, fuelcons),
    OUT_AT("fueltotal", F32, fueltotal),
    OUT(fuelrem, F32),
    OUT(fuellap, F32),
    OUT(fuellapold, F32),
    OUT(laprem, F32),
    OUT_AT("fuelcons_scope1", F32, &seramSig().fuelcons_scope1),
    OUT_AT("fuelcons_scope2", F32, &seramSig().fuelcons_scope2),
    OUT(laptimestamp, U32),
};

#undef OUT
#undef OUT_AT

// The segment tables, one channel each after the lap function's own.
float* const kTables[] = {lapseg_curr, lapseg_last, lapseg_best};
const char* const kTableNames[] = {"lapseg_curr", "lapseg_last", "lapseg_best"};

awm_model_output tableOutputs[3][APPLICATION_DOR_TABLE];

const awm_model_output* tableOutput(uint32_t table, uint8_t sub) {
    static const bool filled = [] {
        for (int t = 0; t < 3; ++t)
            for (int i = 0; i < APPLICATION_DOR_TABLE; ++i)
                tableOutputs[t][i] = {kTableNames[t], F32, nullptr};
        return true;
    }();
    (void)filled;
    return &tableOutputs[table][sub];
}

} // namespace

const awm_model_output* awm_model_output_at(uint16_t module, uint32_t offset, uint8_t sub) {
    if (module == AWM_MODULE_LAPFUNC) {
        if (offset == 0) return sub < std::size(kLapfunc) ? &kLapfunc[sub] : nullptr;
        if (offset <= 3 && sub < APPLICATION_DOR_TABLE) return tableOutput(offset - 1, sub);
        return nullptr;
    }
    if (module == AWM_MODULE_FUELCONS && offset == 0)
        return sub < std::size(kFuelcons) ? &kFuelcons[sub] : nullptr;
    return nullptr;
}

bool awm_model_output_cell(uint16_t module, uint32_t offset, uint8_t sub, SeramMeasCell* cell) {
    const awm_model_output* out = awm_model_output_at(module, offset, sub);
    if (!out) return false;
    *cell = SeramMeasCell{};
    cell->ptr = out->cell ? out->cell() : &kTables[offset - 1][sub];
    cell->size = out->type == U8 ? 1 : 4;
    return cell->ptr != nullptr;
}
