// The lap and fuel model `application_dor`: a fixed-step model in the style of generated
// block-diagram code, plain functions over three static records (block signals, block states,
// trigger states) with global parameters and outputs. The lap-function and fuel-consumption
// channels fill the parameters and publish the outputs; the framework's rasters call the steps:
// step 0 every 1 ms (beacon filtering), step 1 every 10 ms (lap events, times, segments,
// counters, distances), step 2 every 100 ms (fuel).
//
// Booleans are u8, analogue values f32, integrator states f64; built without contraction of
// multiply-add, so lap times are the same on every build. The few bytes that one step writes and
// another step's task reads are read and written whole (rt_shared).
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int APPLICATION_DOR_TABLE = 100; // entries of the segment tables

// ---------------------------------------------------------------------------------------------
// Parameters (written by the lap-function and fuel-consumption channels)

extern uint8_t SIG_ACT_LVL;                     // bit 0: lap trigger input active when high
extern float MAIN_TRIG_TIME_MIN;                // ms
extern float IM_TRIG_TIME_MIN;                  // ms
extern uint8_t TRIG_CFG;                        // bit 0: split mode
extern float MAIN_RETRIG_LOCK;                  // s
extern float IM_RETRIG_LOCK;                    // s
extern float CND_SPEED_MIN;                     // speed unit of the speed input
extern float TRACK_LEN;                         // m
extern float CND_DIST_MIN;                      // fraction of TRACK_LEN
extern float CND_DIST_MAX;                      // fraction of TRACK_LEN, 0 = off
extern uint8_t SEGTIME_MODE;                    // 1 beacon, 2/3 distance table, 4 GPS segments, other none
extern float LAPSEG[APPLICATION_DOR_TABLE];     // m; a first value 0 or below ends the table
extern float LAPSEGPRED[APPLICATION_DOR_TABLE]; // s
extern float LAPTIMEPRED;                       // s
extern float LAPTIBEST_PL;                      // s
extern float LAPTIBEST_SET;                     // s
extern uint8_t CNTDOWNTIME_MODE;
extern float CNTDOWNTIME_SET;  // s
extern float CNTDOWNTIME_INIT; // s
extern float LAP_CTR_SET, LAP_CTR_INIT, OUT_CTR_SET, OUT_CTR_INIT;
extern float DISTLAP_INIT; // m
extern uint8_t MACRO_LAPTRG_SET, MACRO_LAPDIST_SET, MACRO_LAP_SET, MACRO_OUT_SET, MACRO_SEGTIME_SET,
    MACRO_LAPTIBEST_SET;
extern uint8_t FC_SIG_ACT_LVL;  // bit 0: fuel reset input active when high
extern uint8_t FUEL_INPUT_MODE; // bit 0: 1 flow, 0 running total
extern float ADAPTION_FACTOR, CORRECTION_FACTOR;
extern float TANK_CAPACITY, TARGET_LAP_CONS;
extern uint8_t LAP_REMAINING_MODE; // bit 0: laps remaining from TARGET_LAP_CONS
extern float FUELCONS_INIT, FUELTOTAL_INIT;
extern uint8_t MACRO_FUELCONS_SET, MACRO_FUELTOTAL_SET;

// ---------------------------------------------------------------------------------------------
// Outputs

// Step 0
extern uint8_t b_lapin, b_laptrgm, b_laptrgi;
// Step 1
extern uint8_t b_laptrg, b_laptrgb, b_laptrgim, b_gpslaptrg, e_lap, b_speedlapmn, b_llapmn, b_lapset,
    b_laptimevalid, b_bestlap, b_lapseg, b_lapval_changed, lapsegctr;
extern float laptime, laptimeold, laptimeseg, laptime_sb, lapcurr, lapcurr_sb, lapctr_lapfunc, outing,
    lapdiff, lapdiffb, lapdiffpred, lapcurrpred, lapcurrpred_intrpl, lapintrpl_dlast, lapintrpl_dbest,
    lapintrpl_dpred, lapseg_dlast, lapseg_dbest, lapseg_dpred, cntdowntime, distlap, ddistlap, dist;
extern float lapseg_curr[APPLICATION_DOR_TABLE], lapseg_last[APPLICATION_DOR_TABLE],
    lapseg_best[APPLICATION_DOR_TABLE];
// Step 2 (fuelcons_scope1 and fuelcons_scope2 are the signal-page variables of those names)
extern float fuelrem, fuellap, fuellapold, laprem;
extern uint32_t laptimestamp;

// The model writes the best lap time and the consumed and total fuel through these; they start at
// private cells (best lap 100000.0 s) and the channels may point them at cells of their own.
extern float* laptimebest;
extern float* fuelcons;
extern float* fueltotal;
inline constexpr float APPLICATION_DOR_NO_BEST = 100000.0f;

// ---------------------------------------------------------------------------------------------
// Records

struct RT_MODEL_application_dor {
    uint8_t TID1; // 1 ms steps within the 10 ms cycle, 0..9
};

struct BlockIO_application_dor {
    // Step 0
    float tIm, tMain; // delay times, s
    uint8_t raw, sigActLvl, actBit, lapin, mainOn, imOn, splitSampled, split, imReq, imPulse, mainReq,
        mainPulse;
    // Step 1
    double segBound; // 100.0, bounds the segment index
    double distStep; // step of the distance integrators: the device's time since the step before, s
    float speed;
    float lastLap, bestLap, frac;
    float segLen, segInv, segStart, segEnd, segPrevEnd, segStamp;
    uint8_t stuck, imAccept, imTrig, gps, mainAccept, lapReq, lapPulse, lapEvent, outIncr, newLap, segEvent,
        segIdx, lastSeg, mainLock, imLock, wrap, lapPresetReq, outPresetReq;
    float scratchA[APPLICATION_DOR_TABLE], scratchB[APPLICATION_DOR_TABLE]; // table rewrites
    // Step 2
    float fuelStepCons, fuelStepTotal; // 0.1 s
    float fuelRaw, consumed, heldLapFuel;
    uint8_t resetLevel, resetOn, fuelReset, lapFlag, lapRise;
};

struct application_dor_CounterState {
    float value;
    uint8_t initialised;
};

struct D_Work_application_dor {
    double distState;    // total distance, m
    double fuelLapState; // fuel of the current lap
    float distPrev, prevLaptime, prevLastLap, prevBest, segTarget, prevRaw, lastLapFuel;
    // Step 1's clock (100 us): the time of the last lap event, and the due time of the step before;
    // set by the first step.
    uint32_t lapStamp, prevStamp;
    uint8_t clockStarted;
    // Step 0's due time (100 us) of the 1 ms step in which the main pulse last rose: a beacon lap's
    // stamp, however late step 1 runs (published before the pulse, read by step 1).
    uint32_t mainPulseAt;
    // Delay timers, ms (0xFFFFFFFF idle)
    uint32_t mainOnTimer, imOnTimer, imPulseTimer, mainPulseTimer, laptrgmTimer, laptrgiTimer;
    uint32_t stuckTimer, imTrigTimer, lapPulseTimer, mainLockTimer, elapTimer, imLockTimer;
    uint32_t fuelResetTimer;
    // Step 0
    uint8_t prevMainOn, prevImOn, splitSample;
    // Step 1 (splitState is read by step 0)
    uint8_t splitState;
    uint8_t prevMainPulse, prevLapPulse, prevLapTrgSet, prevLapSet, prevOutSet, prevCntSrc;
    uint8_t prevLapDistSet, prevDistCond, prevSegIdx, prevSegTimeSet, prevLaptiBestSet, lapValChanged;
    uint8_t mainNotLocked, imNotLocked, validState, segCtr;
    uint8_t segChartActive, segMode, segSub, segLatch;
    uint8_t ipolActive, ipolState, ipolLapSub, ipolSegSub;
    uint8_t distFirst, fuelLapFirst, prevFuelLapFlag;
    uint16_t holdCnt;
    application_dor_CounterState lapCtr, outCtr, cntDown;            // counter blocks
    application_dor_CounterState distAcc, fuelConsAcc, fuelTotalAcc; // accumulator blocks
};

// Previous values of the triggers of step 1's edge-triggered actions.
struct PrevZCSigStates_application_dor {
    uint8_t zc[5]; // [0] update message, [1] lap event message, [2] best-lap preset, [3] segment reset,
                   // [4] segment index change
};

extern RT_MODEL_application_dor* const application_dor_M;
extern BlockIO_application_dor application_dor_B;
extern D_Work_application_dor application_dor_DWork;
extern PrevZCSigStates_application_dor application_dor_PrevZCSigState;
extern float application_dor_ConstWithInitP; // upper limit of the unbounded integrators (+infinity)

// ---------------------------------------------------------------------------------------------
// Imports: what the model reads and calls outside itself. The calculation channels give them at
// start-up: the lap function's inputs and event init, the fuel-consumption channel's inputs, the
// lap-trigger exchange's lap messages and lap time stamp, and the due time of the step's raster
// pass. Until then the inputs read 0, the clock stands and nothing is sent.

struct application_dor_Imports {
    uint8_t (*lapfunc_getTrigger)();              // beacon level (step 0)
    uint8_t (*lapfunc_getGpsTrigger)();           // GPS lap line crossed (step 1)
    uint32_t (*lapfunc_getGpsTriggerTimestamp)(); // when it was crossed, 100 us (step 1)
    uint16_t (*lapfunc_getGpsSegmentTrigger)();   // GPS segment boundary passed (step 1)
    float (*lapfunc_getSpeed)();                  // m/s (step 1)
    uint8_t (*lapfunc_getOutIncrReq)();           // outing increment requested (step 1)
    void (*lapfunc_ini_lof)();                    // the lap function's event init
    uint8_t (*fuelcons_getReset)();               // fuel reset input (step 2)
    float (*fuelcons_getFuel)();                  // fuel input (step 2)
    uint8_t (*fuelcons_getLaptrigger)();          // lap marked for the fuel (step 2)
    uint32_t (*laptrigger_getLapTimeStamp)();     // of the last lap event, 100 us (step 2)
    void (*laptrigger_event)(uint16_t lap, uint16_t outing, float laptime, uint32_t timestamp); // a lap
    void (*laptrigger_update)(uint16_t lap, uint16_t outing, float laptime); // new counters
    // The due time of the pass that runs the step, 100 us (step 1): laps and distances count the
    // device's clock, not the steps run, which a held-back host drops or runs late.
    uint32_t (*raster_getPassTimestamp)();
};

// A complete table that lives as long as the process; null goes back to no imports.
void application_dor_setImports(const application_dor_Imports* imports);
const application_dor_Imports& application_dor_imports();

// ---------------------------------------------------------------------------------------------
// Entry points

// The partition's entry table: the entry of one slot, or null (slots 0, 3, 6 the steps, 21 event
// init, 22 the conversion table, 23 initialise, 24 terminate).
void* codegen_hookPartition_P1(uint32_t slot);
void application_dor_initialize(int firstTime);
void application_dor_step0();
void application_dor_step1();
void application_dor_step2();
void event_init_func_P1();
void application_dor_terminate();

// Counter block (preset wins over counting; starts at `start` on its first call).
float application_dor_RVICCounterK(float increment, uint8_t enable, uint8_t preset, float presetValue,
                                   float start, application_dor_CounterState* state);
float application_dor_RVICCounterK_f(float increment, uint8_t enable, uint8_t preset, float presetValue,
                                     float start, application_dor_CounterState* state);
void application_dor_RVICCounterK_Init(application_dor_CounterState* state);
void application_dor_RVICCounterK_a_Init(application_dor_CounterState* state);
// Limited accumulator block.
float application_dor_EmbeddedMATLABFunction(uint8_t reset, uint8_t enable, float resetValue, float in,
                                             float gain, float step, float lower, float upper, float start,
                                             application_dor_CounterState* state);
float application_dor_EmbeddedMATLABFunction_c(uint8_t reset, uint8_t enable, float resetValue, float in,
                                               float gain, float step, float lower, float upper, float start,
                                               application_dor_CounterState* state);
void application_dor_EmbeddedMATLABFunction_Init(application_dor_CounterState* state);
void application_dor_EmbeddedMATLABFunction_i_Init(application_dor_CounterState* state);

// A counter of the model as the lap messages carry it: fractions dropped, negative and NaN 0,
// 2^32 and above 0xFFFFFFFF, then the low 16 bits.
uint16_t application_dor_counterU16(float value);

// Bytes shared between the steps' tasks: read and written whole.
inline uint8_t rt_sharedLoad(uint8_t& cell) {
    return std::atomic_ref<uint8_t>(cell).load(std::memory_order_relaxed);
}
inline void rt_sharedStore(uint8_t& cell, uint8_t value) {
    std::atomic_ref<uint8_t>(cell).store(value, std::memory_order_relaxed);
}
// A byte whose store publishes what was written before it (a time stamp), and its load.
inline uint8_t rt_sharedAcquire(uint8_t& cell) {
    return std::atomic_ref<uint8_t>(cell).load(std::memory_order_acquire);
}
inline void rt_sharedRelease(uint8_t& cell, uint8_t value) {
    std::atomic_ref<uint8_t>(cell).store(value, std::memory_order_release);
}
inline uint32_t rt_sharedLoad(uint32_t& cell) {
    return std::atomic_ref<uint32_t>(cell).load(std::memory_order_relaxed);
}
inline void rt_sharedStore(uint32_t& cell, uint32_t value) {
    std::atomic_ref<uint32_t>(cell).store(value, std::memory_order_relaxed);
}
