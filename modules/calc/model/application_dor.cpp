// The model's frame: parameters, outputs, the three records, the entry table, the conversion table,
// initialisation, and the counter and accumulator blocks.
#include "calc/model/application_dor.h"

#include "calc/model/rt_nonfinite.h"
#include "measdata/convtab.h"

#include <cstring>

// Parameters
uint8_t SIG_ACT_LVL;
float MAIN_TRIG_TIME_MIN;
float IM_TRIG_TIME_MIN;
uint8_t TRIG_CFG;
float MAIN_RETRIG_LOCK;
float IM_RETRIG_LOCK;
float CND_SPEED_MIN;
float TRACK_LEN;
float CND_DIST_MIN;
float CND_DIST_MAX;
uint8_t SEGTIME_MODE;
float LAPSEG[APPLICATION_DOR_TABLE];
float LAPSEGPRED[APPLICATION_DOR_TABLE];
float LAPTIMEPRED;
float LAPTIBEST_PL;
float LAPTIBEST_SET;
uint8_t CNTDOWNTIME_MODE;
float CNTDOWNTIME_SET;
float CNTDOWNTIME_INIT;
float LAP_CTR_SET, LAP_CTR_INIT, OUT_CTR_SET, OUT_CTR_INIT;
float DISTLAP_INIT;
uint8_t MACRO_LAPTRG_SET, MACRO_LAPDIST_SET, MACRO_LAP_SET, MACRO_OUT_SET, MACRO_SEGTIME_SET,
    MACRO_LAPTIBEST_SET;
uint8_t FC_SIG_ACT_LVL;
uint8_t FUEL_INPUT_MODE;
float ADAPTION_FACTOR, CORRECTION_FACTOR;
float TANK_CAPACITY, TARGET_LAP_CONS;
uint8_t LAP_REMAINING_MODE;
float FUELCONS_INIT, FUELTOTAL_INIT;
uint8_t MACRO_FUELCONS_SET, MACRO_FUELTOTAL_SET;

// Outputs
uint8_t b_lapin, b_laptrgm, b_laptrgi;
uint8_t b_laptrg, b_laptrgb, b_laptrgim, b_gpslaptrg, e_lap, b_speedlapmn, b_llapmn, b_lapset, b_laptimevalid,
    b_bestlap, b_lapseg, b_lapval_changed, lapsegctr;
float laptime, laptimeold, laptimeseg, laptime_sb, lapcurr, lapcurr_sb, lapctr_lapfunc, outing, lapdiff,
    lapdiffb, lapdiffpred, lapcurrpred, lapcurrpred_intrpl, lapintrpl_dlast, lapintrpl_dbest, lapintrpl_dpred,
    lapseg_dlast, lapseg_dbest, lapseg_dpred, cntdowntime, distlap, ddistlap, dist;
float lapseg_curr[APPLICATION_DOR_TABLE], lapseg_last[APPLICATION_DOR_TABLE],
    lapseg_best[APPLICATION_DOR_TABLE];
float fuelrem, fuellap, fuellapold, laprem;
uint32_t laptimestamp;

namespace {
float laptimebest_old = APPLICATION_DOR_NO_BEST;
float fuelcons_def;
float fueltotal_def;

RT_MODEL_application_dor application_dor_M_;

// Conversion table of the partition: an address map of two empty entries (so conversion-page
// addresses keep reading the dummy cell) and one identity conversion.
const convAddrMapEntry_t at_convAddrMap_P1[2] = {};
const uint32_t u32_data_conversion_tab_size_P1 = 2;
const convListEntry_t at_convList_P1[1] = {{1.0f, 0.0f}};
const uint32_t u32_convList_size_P1 = 1;
} // namespace

float* laptimebest = &laptimebest_old;
float* fuelcons = &fuelcons_def;
float* fueltotal = &fueltotal_def;

RT_MODEL_application_dor* const application_dor_M = &application_dor_M_;
BlockIO_application_dor application_dor_B;
D_Work_application_dor application_dor_DWork;
PrevZCSigStates_application_dor application_dor_PrevZCSigState;
float application_dor_ConstWithInitP;

extern const convInitTab_t ConvInitTab_P1;
const convInitTab_t ConvInitTab_P1 = {at_convAddrMap_P1, &u32_data_conversion_tab_size_P1, at_convList_P1,
                                      &u32_convList_size_P1};
extern const char* const EPKID_FOR_P1;
const char* const EPKID_FOR_P1 = nullptr; // no identification string of its own

namespace {

template <class F> void* entry(F* function) {
    return reinterpret_cast<void*>(function);
}

uint8_t noLevel() {
    return 0;
}
uint16_t noSegment() {
    return 0;
}
float noValue() {
    return 0.0f;
}
uint32_t noTimestamp() {
    return 0;
}
void noInit() {}
void noMessage(uint16_t, uint16_t, float) {}
void noEvent(uint16_t, uint16_t, float, uint32_t) {}

const application_dor_Imports kNoImports{noLevel,     noLevel, noTimestamp, noSegment,  noValue,
                                         noLevel,     noInit,  noLevel,     noValue,    noLevel,
                                         noTimestamp, noEvent, noMessage,   noTimestamp};
std::atomic<const application_dor_Imports*> gImports{&kNoImports};

void clearOutputs() {
    b_lapin = b_laptrgm = b_laptrgi = 0;
    b_laptrg = b_laptrgb = b_laptrgim = b_gpslaptrg = e_lap = b_speedlapmn = b_llapmn = b_lapset = 0;
    b_laptimevalid = b_bestlap = b_lapseg = b_lapval_changed = lapsegctr = 0;
    laptime = laptimeold = laptimeseg = laptime_sb = lapcurr = lapcurr_sb = lapctr_lapfunc = outing = 0.0f;
    lapdiff = lapdiffb = lapdiffpred = lapcurrpred = lapcurrpred_intrpl = 0.0f;
    lapintrpl_dlast = lapintrpl_dbest = lapintrpl_dpred = lapseg_dlast = lapseg_dbest = lapseg_dpred = 0.0f;
    cntdowntime = distlap = ddistlap = dist = 0.0f;
    std::memset(lapseg_curr, 0, sizeof lapseg_curr);
    std::memset(lapseg_last, 0, sizeof lapseg_last);
    std::memset(lapseg_best, 0, sizeof lapseg_best);
    fuelrem = fuellap = fuellapold = laprem = 0.0f;
    laptimestamp = 0;
}

} // namespace

void application_dor_setImports(const application_dor_Imports* imports) {
    gImports.store(imports ? imports : &kNoImports, std::memory_order_release);
}

const application_dor_Imports& application_dor_imports() {
    return *gImports.load(std::memory_order_acquire);
}

void* codegen_hookPartition_P1(uint32_t slot) {
    switch (slot) {
    case 0:
        return entry(application_dor_step0);
    case 3:
        return entry(application_dor_step1);
    case 6:
        return entry(application_dor_step2);
    case 21:
        return entry(event_init_func_P1);
    case 22:
        return const_cast<convInitTab_t*>(&ConvInitTab_P1);
    case 23:
        return entry(application_dor_initialize);
    case 24:
        return entry(application_dor_terminate);
    default:
        return nullptr;
    }
}

void application_dor_initialize(int) {
    rt_InitInfAndNaN(sizeof(double));
    application_dor_ConstWithInitP = rtInfF;

    std::memset(&application_dor_M_, 0, sizeof application_dor_M_);
    std::memset(&application_dor_B, 0, sizeof application_dor_B);
    std::memset(&application_dor_DWork, 0, sizeof application_dor_DWork);
    clearOutputs();
    laptimebest_old = APPLICATION_DOR_NO_BEST;
    fuelcons_def = 0.0f;
    fueltotal_def = 0.0f;

    BlockIO_application_dor& B = application_dor_B;
    D_Work_application_dor& DW = application_dor_DWork;
    B.segBound = 100.0;
    B.distStep = 0.01;
    B.fuelStepCons = 0.1f;
    B.fuelStepTotal = 0.1f;
    DW.prevRaw = 1.0f;
    for (uint8_t& zc : application_dor_PrevZCSigState.zc) zc = 1;
    // No edge is seen in the first step.
    DW.prevMainPulse = DW.prevLapPulse = DW.prevLapTrgSet = DW.prevLapSet = DW.prevOutSet = DW.prevCntSrc = 1;
    DW.mainNotLocked = DW.imNotLocked = 1;
    DW.prevSegIdx = 1;
    DW.segCtr = 1;
    DW.distFirst = DW.fuelLapFirst = 1;
    DW.mainOnTimer = DW.imOnTimer = DW.fuelResetTimer = 0;
    DW.imPulseTimer = DW.mainPulseTimer = DW.laptrgmTimer = DW.laptrgiTimer = 0xFFFFFFFFu;
    DW.stuckTimer = DW.imTrigTimer = DW.lapPulseTimer = DW.mainLockTimer = DW.elapTimer = DW.imLockTimer =
        0xFFFFFFFFu;
    DW.segChartActive = 0;
    DW.ipolActive = 0;
    application_dor_RVICCounterK_Init(&DW.lapCtr);
    application_dor_RVICCounterK_Init(&DW.outCtr);
    application_dor_RVICCounterK_a_Init(&DW.cntDown);
    application_dor_EmbeddedMATLABFunction_Init(&DW.distAcc);
    application_dor_EmbeddedMATLABFunction_i_Init(&DW.fuelConsAcc);
    application_dor_EmbeddedMATLABFunction_i_Init(&DW.fuelTotalAcc);
}

void event_init_func_P1() {
    application_dor_imports().lapfunc_ini_lof();
}

void application_dor_terminate() {}

namespace {

float counter(float increment, uint8_t enable, uint8_t preset, float presetValue, float start,
              application_dor_CounterState* s) {
    if (!s->initialised) {
        s->value = start;
        s->initialised = 1;
    }
    if (preset != 0)
        s->value = presetValue;
    else if (enable != 0)
        s->value = s->value + increment;
    return s->value;
}

float accumulate(uint8_t reset, uint8_t enable, float resetValue, float in, float gain, float step,
                 float lower, float upper, float start, application_dor_CounterState* s) {
    if (!s->initialised) {
        s->value = start;
        s->initialised = 1;
    }
    float v;
    if (reset != 0) {
        v = resetValue;
    } else if (enable != 0) {
        const float delta = in * step;
        v = s->value + delta * gain;
    } else {
        return s->value;
    }
    if (v > upper)
        v = upper;
    else if (v < lower)
        v = lower;
    s->value = v;
    return v;
}

} // namespace

float application_dor_RVICCounterK(float increment, uint8_t enable, uint8_t preset, float presetValue,
                                   float start, application_dor_CounterState* state) {
    return counter(increment, enable, preset, presetValue, start, state);
}

float application_dor_RVICCounterK_f(float increment, uint8_t enable, uint8_t preset, float presetValue,
                                     float start, application_dor_CounterState* state) {
    return counter(increment, enable, preset, presetValue, start, state);
}

void application_dor_RVICCounterK_Init(application_dor_CounterState* state) {
    state->initialised = 0;
}

void application_dor_RVICCounterK_a_Init(application_dor_CounterState* state) {
    state->initialised = 0;
}

float application_dor_EmbeddedMATLABFunction(uint8_t reset, uint8_t enable, float resetValue, float in,
                                             float gain, float step, float lower, float upper, float start,
                                             application_dor_CounterState* state) {
    return accumulate(reset, enable, resetValue, in, gain, step, lower, upper, start, state);
}

float application_dor_EmbeddedMATLABFunction_c(uint8_t reset, uint8_t enable, float resetValue, float in,
                                               float gain, float step, float lower, float upper, float start,
                                               application_dor_CounterState* state) {
    return accumulate(reset, enable, resetValue, in, gain, step, lower, upper, start, state);
}

void application_dor_EmbeddedMATLABFunction_Init(application_dor_CounterState* state) {
    state->initialised = 0;
}

void application_dor_EmbeddedMATLABFunction_i_Init(application_dor_CounterState* state) {
    state->initialised = 0;
}

uint16_t application_dor_counterU16(float value) {
    if (!(value > 0.0f)) return 0; // negative, zero and NaN
    if (value >= 4294967296.0f) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<uint32_t>(value));
}
