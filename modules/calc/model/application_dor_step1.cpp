// Step 1, every 10 ms: qualifies the beacon and GPS triggers into the lap event, runs the lap
// time, the segment (split) times with their deltas against the last, best and predicted laps,
// the best lap and its validity, the lap and outing counters, the countdown and the distances,
// and sends the lap event and the counter updates to the lap-trigger exchange.
#include "calc/model/application_dor.h"
#include "calc/model/util_simulink.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int N = APPLICATION_DOR_TABLE;

// Segment chart: modes and their substates.
enum : uint8_t { SEG_NONE = 0, SEG_BEACON = 1, SEG_DISTANCE = 2, SEG_GPS = 3 };
enum : uint8_t {
    SUB_ARMED = 0,
    SUB_FIRED = 1,
    SUB_WAIT = 0,
    SUB_RUN = 1,
    SUB_PASSED = 2,
    SUB_WAITING = 0,
    SUB_CLEARED = 1
};
enum : uint8_t { LATCH_IDLE = 0, LATCH_SET = 1 };
// Interpolation chart.
enum : uint8_t { IPOL_LAP = 0, IPOL_SEGMENTS = 1 };
enum : uint8_t { LAP_SEG1 = 0, LAP_HOLD = 1, SEGS_INNER = 0, SEGS_LAST = 1 };

uint8_t rises(uint8_t now, uint8_t previous) {
    return uint8_t(now != 0 && previous == 0);
}

// An edge-triggered action fires when its trigger rises against the trigger state.
bool fire(uint8_t trigger, uint8_t* zc) {
    const bool f = trigger != 0 && *zc == 0;
    *zc = uint8_t(trigger != 0);
    return f;
}

float segPoint(int index) {
    return LAPSEG[index < 0 ? 0 : index >= N ? N - 1 : index];
}

void segmentChart(BlockIO_application_dor& B, D_Work_application_dor& DW, uint8_t gpsSeg) {
    if (DW.segChartActive == 0) {
        DW.segChartActive = 1;
        DW.segCtr = 1;
        switch (SEGTIME_MODE) {
        case 1:
            DW.segMode = SEG_BEACON;
            DW.segSub = SUB_ARMED;
            break;
        case 2:
        case 3:
            DW.segMode = SEG_DISTANCE;
            DW.segSub = SUB_WAIT;
            DW.segTarget = LAPSEG[0];
            break;
        case 4:
            DW.segMode = SEG_GPS;
            DW.segSub = SUB_WAITING;
            break;
        default:
            DW.segMode = SEG_NONE;
            break;
        }
        DW.segLatch = LATCH_IDLE;
        B.segEvent = 0;
        return;
    }
    if (B.newLap) DW.segCtr = 1;
    switch (DW.segMode) {
    case SEG_DISTANCE:
        if (B.newLap) {
            DW.segSub = SUB_WAIT;
            DW.segTarget = segPoint(DW.segCtr - 1);
        } else if (DW.segSub == SUB_WAIT) {
            if (DW.segCtr < N && DW.segTarget > 0.0f) DW.segSub = SUB_RUN;
        } else if (DW.segSub == SUB_RUN) {
            if (DW.distPrev >= DW.segTarget) {
                DW.segSub = SUB_PASSED;
                B.segEvent = 1;
            }
        } else {
            DW.segSub = SUB_WAIT;
            DW.segTarget = segPoint(DW.segCtr - 1);
        }
        break;
    case SEG_GPS:
        if (B.newLap) {
            DW.segSub = SUB_WAITING;
        } else if (DW.segSub == SUB_CLEARED) {
            if (gpsSeg == 0) DW.segSub = SUB_WAITING;
        } else if (gpsSeg != 0) {
            DW.segSub = SUB_CLEARED;
            if (gpsSeg == DW.segCtr)
                B.segEvent = 1;
            else
                DW.segCtr = uint8_t(gpsSeg < 255 ? gpsSeg + 1 : 255);
        }
        break;
    case SEG_BEACON:
        if (B.newLap) {
            DW.segSub = SUB_ARMED;
        } else if (DW.segSub == SUB_ARMED) {
            if (B.imTrig) {
                DW.segSub = SUB_FIRED;
                B.segEvent = 1;
            }
        } else if (!B.imTrig) {
            DW.segSub = SUB_ARMED;
        }
        break;
    default:
        break;
    }
    // The event latch: an event stands for exactly one step.
    if (DW.segLatch == LATCH_SET) {
        DW.segLatch = LATCH_IDLE;
        B.segEvent = 0;
    } else if (B.segEvent == 1) {
        DW.segLatch = LATCH_SET;
        DW.segCtr = uint8_t(DW.segCtr < 255 ? DW.segCtr + 1 : 255);
        B.segStamp = laptime;
    }
}

void segmentGeometry(BlockIO_application_dor& B) {
    const int idx = B.segIdx;
    const int n = idx < N ? idx : N;
    if (idx < N) B.segEnd = LAPSEG[idx];
    if (idx > 0) B.segPrevEnd = LAPSEG[n - 1];
    B.segLen = idx == 0 ? B.segEnd : (B.segEnd != 0.0f ? B.segEnd : TRACK_LEN) - B.segPrevEnd;
    B.segInv = B.segLen == 0.0f ? 0.0f : 1.0f / B.segLen;
    if (B.segInv < 0.0f || B.segInv != B.segInv) B.segInv = 0.0f;
    B.lastSeg = uint8_t(!(idx < N && B.segEnd > 0.0f));
    B.segStart = idx == 0 ? 0.0f : B.segPrevEnd;
}

struct Deltas {
    float last, best, pred;
};

// The running deltas against the three reference tables.
Deltas hold() {
    return {lapdiff, lapdiffb, lapdiffpred};
}
Deltas first(const BlockIO_application_dor& B) {
    return {laptime - lapseg_last[0] * B.frac, laptime - lapseg_best[0] * B.frac,
            laptime - LAPSEGPRED[0] * B.frac};
}
float inside(const float* r, int k, float frac) {
    return (laptime - r[k - 1]) - (r[k] - r[k - 1]) * frac;
}
float end(const float* r, int k, float e, float frac) {
    return (laptime - r[k - 1]) - (e - r[k - 1]) * frac;
}
Deltas inside(const BlockIO_application_dor& B, int k) {
    if (k >= N)
        return {end(lapseg_last, k, B.lastLap, B.frac), end(lapseg_best, k, B.bestLap, B.frac),
                end(LAPSEGPRED, k, LAPTIMEPRED, B.frac)};
    return {inside(lapseg_last, k, B.frac), inside(lapseg_best, k, B.frac), inside(LAPSEGPRED, k, B.frac)};
}
Deltas endOf(const BlockIO_application_dor& B, int k) {
    return {end(lapseg_last, k, B.lastLap, B.frac), end(lapseg_best, k, B.bestLap, B.frac),
            end(LAPSEGPRED, k, LAPTIMEPRED, B.frac)};
}

Deltas interpolationChart(const BlockIO_application_dor& B, D_Work_application_dor& DW, int k) {
    if (DW.ipolActive == 0) {
        DW.ipolActive = 1;
        DW.ipolState = IPOL_LAP;
        DW.ipolLapSub = LAP_HOLD;
        DW.holdCnt = 0;
        return hold();
    }
    if (DW.ipolState == IPOL_LAP) {
        if (DW.ipolLapSub == LAP_SEG1) {
            if (k > 0) {
                DW.ipolState = IPOL_SEGMENTS;
                DW.ipolSegSub = SEGS_INNER;
                return inside(B, k);
            }
            return first(B);
        }
        if (DW.holdCnt < 300) return hold();
        if (k > 0) {
            DW.ipolState = IPOL_SEGMENTS;
            DW.ipolSegSub = SEGS_INNER;
            return inside(B, k);
        }
        DW.ipolLapSub = LAP_SEG1;
        return first(B);
    }
    if (k == 0) {
        DW.ipolState = IPOL_LAP;
        DW.ipolLapSub = LAP_HOLD;
        DW.holdCnt = 0;
        return hold();
    }
    if (DW.ipolSegSub == SEGS_INNER) {
        if (B.lastSeg) {
            DW.ipolSegSub = SEGS_LAST;
            return endOf(B, k);
        }
        return inside(B, k);
    }
    return endOf(B, k);
}

// A table rewrite goes through the scratch copy.
void copyTable(float* to, const float* from, float* scratch) {
    std::memcpy(scratch, from, sizeof(float) * N);
    std::memcpy(to, scratch, sizeof(float) * N);
}

void fillTable(float* table, float value) {
    for (int i = 0; i < N; ++i) table[i] = value;
}

// 10 ms steps of device time from `since` to `now` (time stamps of 100 us); none backwards.
float stepsOf(uint32_t now, uint32_t since) {
    const int32_t d = int32_t(now - since);
    return d > 0 ? float(double(d) / 100.0) : 0.0f;
}

// The lap time `steps` after the step that saw the lap event: the line lies within that step.
float lapTimeAt(float steps) {
    return (steps - 1.0f) * 0.01f + 0.005f;
}

// Seconds of device time from `since` to `now` (time stamps of 100 us); none backwards.
float secondsOf(uint32_t now, uint32_t since) {
    const int32_t d = int32_t(now - since);
    return d > 0 ? float(double(d) / 10000.0) : 0.0f;
}

// `at` within [from, to] (time stamps of 100 us).
uint32_t within(uint32_t at, uint32_t from, uint32_t to) {
    if (int32_t(at - from) < 0) return from;
    if (int32_t(at - to) > 0) return to;
    return at;
}

} // namespace

void application_dor_step1() {
    BlockIO_application_dor& B = application_dor_B;
    D_Work_application_dor& DW = application_dor_DWork;
    uint8_t* const zc = application_dor_PrevZCSigState.zc;
    const uint8_t mainOn = rt_sharedLoad(B.mainOn);
    const uint8_t imPulse = rt_sharedLoad(B.imPulse);
    const uint8_t mainPulse = rt_sharedAcquire(B.mainPulse);
    const uint32_t mainPulseAt = rt_sharedLoad(DW.mainPulseAt);

    // 1. Trigger qualification.
    util_simulink_turnOn(mainOn, 10, 5.0f, &DW.stuckTimer, &B.stuck);
    B.imAccept = uint8_t(imPulse != 0 && B.stuck == 0 && DW.imNotLocked != 0);
    util_simulink_turnOff(B.imAccept, 10, 0.4f, &DW.imTrigTimer, &B.imTrig);
    const application_dor_Imports& in = application_dor_imports();
    // The step's time is its pass's due time: a step the host dropped or ran late takes no time from
    // a lap, and the step after it counts the time it missed.
    const uint32_t now = in.raster_getPassTimestamp();
    if (!DW.clockStarted) {
        DW.clockStarted = 1;
        DW.lapStamp = DW.prevStamp = now - 100u; // as if a lap began one step before the first
    }
    B.distStep = secondsOf(now, DW.prevStamp);
    B.gps = in.lapfunc_getGpsTrigger();
    // A crossing of the GPS line keeps its own time, which fixes that came late put before this step.
    const uint32_t gpsAt = B.gps != 0 ? in.lapfunc_getGpsTriggerTimestamp() : now;
    B.speed = in.lapfunc_getSpeed();
    b_speedlapmn = uint8_t(B.speed >= CND_SPEED_MIN);
    b_llapmn = uint8_t(DW.distPrev >= CND_DIST_MIN * TRACK_LEN);
    b_lapset = uint8_t(DW.distPrev > TRACK_LEN * CND_DIST_MAX && CND_DIST_MAX != 0.0f);
    const uint8_t mainRise = rises(mainPulse, DW.prevMainPulse);
    B.mainAccept =
        uint8_t(((((B.stuck == 0 && mainRise != 0) || B.gps != 0) && b_speedlapmn != 0 && b_llapmn != 0) ||
                 b_lapset != 0) &&
                DW.mainNotLocked != 0);
    const uint8_t lapTrgSet = uint8_t(MACRO_LAPTRG_SET & 1u);
    const uint8_t lapTrgRise = rises(lapTrgSet, DW.prevLapTrgSet);
    B.lapReq = uint8_t(lapTrgRise || B.mainAccept);
    util_simulink_turnOff(B.lapReq, 10, 0.4f, &DW.lapPulseTimer, &B.lapPulse);
    B.lapEvent = rises(B.lapPulse, DW.prevLapPulse);
    // The time of a lap event of this step: a beacon's, the 1 ms step's in which its pulse rose (this
    // step may run late, after it); a crossing of the GPS line, its own; else the step's. Never
    // before the lap it ends began.
    uint32_t eventAt = now;
    if (lapTrgRise == 0 && mainRise != 0 && B.stuck == 0)
        eventAt = int32_t(mainPulseAt - DW.lapStamp) > 0 ? mainPulseAt : DW.lapStamp;
    else if (lapTrgRise == 0 && B.gps != 0)
        eventAt = within(gpsAt, DW.lapStamp, now);

    // 2. Countdown.
    uint8_t cntSrc = 0;
    if (CNTDOWNTIME_MODE == 1)
        cntSrc = B.imTrig;
    else if (CNTDOWNTIME_MODE != 0)
        cntSrc = uint8_t(B.lapEvent != 0 && b_lapset == 0);
    const uint8_t restart = rises(cntSrc, DW.prevCntSrc);
    cntdowntime = application_dor_RVICCounterK_f(-0.01f * stepsOf(now, DW.prevStamp), 1, restart,
                                                 CNTDOWNTIME_SET, CNTDOWNTIME_INIT, &DW.cntDown);

    // 3. New lap.
    B.outIncr = uint8_t(in.lapfunc_getOutIncrReq() & 1u);
    const uint8_t lapDistSet = uint8_t(MACRO_LAPDIST_SET != 0);
    B.newLap = uint8_t(B.lapEvent != 0 || B.outIncr != 0 || rises(lapDistSet, DW.prevLapDistSet));

    // 4. Lap time, by the device's clock since the step that saw the last lap event.
    const float lapSteps = stepsOf(now, DW.lapStamp);
    laptime = lapTimeAt(lapSteps);

    // 5. Segment chart.
    const uint8_t gpsSeg = uint8_t(in.lapfunc_getGpsSegmentTrigger() & 0xFFu);
    segmentChart(B, DW, gpsSeg);

    // 6. Segment geometry, recomputed when the segment index changes.
    B.segIdx = uint8_t(DW.segCtr - 1);
    if (fire(uint8_t(B.segIdx != DW.prevSegIdx), &zc[4])) segmentGeometry(B);
    B.frac = (DW.distPrev - B.segStart) * B.segInv;
    if (B.frac > 1.0f)
        B.frac = 1.0f;
    else if (B.frac < 0.0f)
        B.frac = 0.0f;
    const int k = B.segIdx < B.segBound ? B.segIdx : int(B.segBound);

    // 7. Lap result.
    if (B.lapEvent) {
        B.lastLap = secondsOf(eventAt, DW.lapStamp); // the time between the lap's two stamps
        laptimeold = B.lastLap;
        lapdiff = B.lastLap - DW.prevLastLap;
        lapdiffb = B.lastLap - DW.prevBest;
        lapdiffpred = B.lastLap - LAPTIMEPRED;
    }
    DW.prevBest = *laptimebest;
    b_laptimevalid = DW.validState;
    b_bestlap = uint8_t(B.lapEvent != 0 && B.lastLap < *laptimebest && B.lastLap > LAPTIBEST_PL &&
                        DW.validState != 0);
    if (b_bestlap) {
        B.bestLap = B.lastLap;
        *laptimebest = B.lastLap;
    }

    // 8. Interpolated deltas.
    DW.holdCnt = uint16_t(DW.holdCnt < 511 ? DW.holdCnt + 1 : 511);
    const Deltas d = interpolationChart(B, DW, k);
    lapintrpl_dlast = d.last;
    lapintrpl_dbest = d.best;
    lapintrpl_dpred = d.pred;
    lapcurrpred_intrpl = lapintrpl_dpred + LAPTIMEPRED;

    // 9. Segment deltas.
    const int j = B.segIdx < 1 ? 1 : B.segIdx > N ? N : B.segIdx;
    if (DW.segCtr == 1) {
        lapseg_dlast = lapdiff;
        lapseg_dpred = lapdiffpred;
        lapseg_dbest = lapdiffb;
    } else {
        lapseg_dlast = B.segStamp - lapseg_last[j - 1];
        lapseg_dpred = B.segStamp - LAPSEGPRED[j - 1];
        lapseg_dbest = B.segStamp - lapseg_best[j - 1];
    }
    lapcurrpred = lapseg_dpred + LAPTIMEPRED;
    if (B.segEvent) lapseg_curr[j - 1] = B.segStamp;

    // 10. Table copies.
    if (b_bestlap) copyTable(lapseg_best, lapseg_curr, B.scratchA);
    if (B.newLap && b_laptimevalid) copyTable(lapseg_last, lapseg_curr, B.scratchB);

    // 11. Requests: segment tables reset, best lap preset.
    if (fire(uint8_t(MACRO_SEGTIME_SET != DW.prevSegTimeSet), &zc[3]) && (MACRO_SEGTIME_SET & 1u)) {
        *laptimebest = APPLICATION_DOR_NO_BEST;
        fillTable(lapseg_curr, 6000.0f);
        fillTable(lapseg_best, 6000.0f);
        fillTable(lapseg_last, 6000.0f);
    }
    if (fire(uint8_t(MACRO_LAPTIBEST_SET != DW.prevLaptiBestSet), &zc[2]) && (MACRO_LAPTIBEST_SET & 1u))
        *laptimebest = LAPTIBEST_SET;

    // 12. Publish.
    b_lapseg = B.segEvent;
    lapsegctr = DW.segCtr;
    laptimeseg = B.segStamp;
    laptime_sb = DW.prevLaptime;
    lapcurr_sb = lapcurr;

    // 13. Counters.
    B.wrap = uint8_t(B.lapEvent != 0 && lapcurr >= 255.0f);
    const uint8_t lapSet = uint8_t(MACRO_LAP_SET & 1u);
    const uint8_t outSet = uint8_t(MACRO_OUT_SET & 1u);
    B.lapPresetReq = uint8_t(B.wrap != 0 || rises(lapSet, DW.prevLapSet) || B.outIncr != 0);
    B.outPresetReq = rises(outSet, DW.prevOutSet);
    lapcurr =
        application_dor_RVICCounterK(1.0f, B.lapEvent, B.lapPresetReq, LAP_CTR_SET, LAP_CTR_INIT, &DW.lapCtr);
    lapctr_lapfunc = lapcurr < 2.0f ? 0.0f : lapcurr - 1.0f;
    outing = application_dor_RVICCounterK(1.0f, uint8_t(B.wrap != 0 || B.outIncr != 0), B.outPresetReq,
                                          OUT_CTR_SET, OUT_CTR_INIT, &DW.outCtr);
    b_lapval_changed = DW.lapValChanged;

    // 14. Distances.
    ddistlap = (CND_DIST_MAX - 1.0f) * TRACK_LEN;
    const uint8_t distCond = uint8_t(MACRO_LAPDIST_SET != 0 || B.lapPulse != 0 || B.outIncr != 0);
    const uint8_t distReset = rises(distCond, DW.prevDistCond);
    // Each step adds the distance of the device's time since the step before, however many steps
    // the host dropped; a lap begins with what the car drove since its line.
    const float step = float(B.distStep);
    const float sinceLine = std::max(0.01f, secondsOf(now, eventAt));
    const float resetValue = B.lapEvent != 0 && b_lapset != 0 ? ddistlap : B.speed * sinceLine;
    distlap =
        application_dor_EmbeddedMATLABFunction(distReset, 1, resetValue, B.speed, 1.0f, step, 0.0f,
                                               application_dor_ConstWithInitP, DISTLAP_INIT, &DW.distAcc);
    const uint8_t never = 0, always = 1;
    const float zero = 0.0f, one = 1.0f;
    float distOut = 0.0f;
    util_simulink_integratorK(&DW.distFirst, &never, 1, &always, 1, &zero, 1, &B.speed, 1, &one, 1, step,
                              &zero, 1, &application_dor_ConstWithInitP, 1, 0.0f, &distOut, &DW.distState);
    std::atomic_ref<float>(dist).store(distOut, std::memory_order_relaxed); // also read by the outing check

    // 15. Locks and indicators.
    b_gpslaptrg = B.gps;
    util_simulink_turnOff(B.mainAccept, 10, MAIN_RETRIG_LOCK, &DW.mainLockTimer, &B.mainLock);
    b_laptrgb = B.mainLock;
    util_simulink_turnOff(B.stuck, 10, 0.1f, &DW.elapTimer, &e_lap);
    util_simulink_turnOff(B.imAccept, 10, IM_RETRIG_LOCK, &DW.imLockTimer, &B.imLock);
    b_laptrgim = B.imTrig;
    b_laptrg = B.lapPulse;

    // 16. Messages.
    if (fire(B.lapPulse, &zc[1]))
        in.laptrigger_event(application_dor_counterU16(lapcurr), application_dor_counterU16(outing),
                            B.lastLap, eventAt);
    if (fire(b_lapval_changed, &zc[0]))
        in.laptrigger_update(application_dor_counterU16(lapcurr), application_dor_counterU16(outing), 0.0f);

    // 17. States for the next step.
    rt_sharedStore(DW.splitState, TRIG_CFG);
    DW.imNotLocked = uint8_t(B.imLock == 0);
    DW.mainNotLocked = uint8_t(B.mainLock == 0);
    DW.distPrev = distlap;
    if (B.lapEvent) DW.lapStamp = eventAt;
    DW.prevStamp = now;
    DW.prevLaptime = laptime;
    DW.prevLastLap = B.lastLap;
    if (b_lapset != 0 || B.outIncr != 0)
        DW.validState = 0;
    else if (B.lapEvent != 0)
        DW.validState = 1;
    DW.prevMainPulse = mainPulse;
    DW.prevLapPulse = B.lapPulse;
    DW.prevLapTrgSet = lapTrgSet;
    DW.prevLapSet = lapSet;
    DW.prevOutSet = outSet;
    DW.prevCntSrc = cntSrc;
    DW.prevLapDistSet = lapDistSet;
    DW.prevDistCond = distCond;
    DW.prevSegIdx = B.segIdx;
    DW.prevSegTimeSet = MACRO_SEGTIME_SET;
    DW.prevLaptiBestSet = MACRO_LAPTIBEST_SET;
    DW.lapValChanged = uint8_t(B.outPresetReq != 0 || B.lapPresetReq != 0 || B.outIncr != 0);
}
