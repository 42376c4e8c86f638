// Configuration payloads of the lap function (0x08), the fuel consumption (0x0A) and the GPS
// segments (0x17) in the channel table (awm_vc_config.h: from offset 4 of the channel's record,
// continued in its extension records). Host order, f32 unless noted; offsets in the payload.
//
// Lap function, 1080 bytes (the record and 8 extension records):
//      0  u8   trigger mode: 0 beacon, 1 GPS trigger line (with track detection)
//      1  u8   SIG_ACT_LVL (bit 0: the beacon is active when high)
//      2  u8   TRIG_CFG (bit 0: split mode)
//      3  u8   SEGTIME_MODE (1 beacon, 2 or 3 distance table, 4 GPS segments)
//      4  u8   CNTDOWNTIME_MODE
//      5  u8   reserved
//      6  u16  start lap: LAP_CTR_SET, and the lap counter of a new outing
//      8  u16  start outing: OUT_CTR_SET, and the outing of counters that were not valid
//     10  u16  reserved
//     12       MAIN_TRIG_TIME_MIN (ms), IM_TRIG_TIME_MIN (ms), MAIN_RETRIG_LOCK (s),
//              IM_RETRIG_LOCK (s), CND_SPEED_MIN (speed input unit), CND_DIST_MIN, CND_DIST_MAX
//              (fractions of the lap length), lap length (m; TRACK_LEN until a track is detected)
//     44       LAPTIMEPRED, LAPTIBEST_PL, LAPTIBEST_SET, CNTDOWNTIME_SET, CNTDOWNTIME_INIT (s),
//              DISTLAP_INIT (m), outing distance (m; a longer drive since the outing began ends it,
//              0 = off), beacon threshold (a beacon channel is high at or above it), GPS trigger
//              radius (m), GPS trigger point latitude and longitude (degrees)
//     88       inputs, 32 bytes each (awm_input.h): beacon (not configured: digital input 0),
//              speed (converted to m/s), GPS latitude, longitude (degrees), speed (km/h),
//              heading (degrees)
//    280       segment ends, 100 values as fractions of the lap length (LAPSEG = fraction x lap
//              length; a first value 0 or below ends the table)
//    680       LAPSEGPRED, 100 values (s)
//
// Fuel consumption, 88 bytes (one record):
//      0  u8   FC_SIG_ACT_LVL (bit 0: the reset input is active when high)
//      1  u8   FUEL_INPUT_MODE (bit 0: 1 flow, 0 running total)
//      2  u8   LAP_REMAINING_MODE (bit 0: laps remaining from the target consumption)
//      3  u8   reserved
//      4       ADAPTION_FACTOR, CORRECTION_FACTOR, TANK_CAPACITY, TARGET_LAP_CONS, reset threshold
//              (the reset input is high at or above it)
//     24       inputs: fuel, reset (32 bytes each)
//
// GPS segments, 408 bytes (the record and 3 extension records):
//      0  u8   number of segment points, 0..50, in the order they are passed after the line
//      1       reserved (3 bytes)
//      4       trigger radius of the points (m)
//      8       50 points: latitude, longitude (degrees)
#pragma once

#include "calc/awm_input.h"
#include "calc/awm_vc_config.h"

#include <cstdint>

// NV record of the lap model's values that outlive a start: index 0 the best lap time (f32, s),
// index 1 the consumed and the total fuel (f32 each).
inline constexpr uint32_t NV_REC_LAPMODEL = 12;
inline constexpr uint32_t NV_LAPMODEL_BEST = 0;
inline constexpr uint32_t NV_LAPMODEL_FUEL = 1;

inline constexpr int AWM_LAPFUNC_SEGMENTS = 100;
inline constexpr int AWM_GPSSEG_POINTS = 50;

enum : uint8_t { AWM_LAPFUNC_BEACON = 0, AWM_LAPFUNC_GPS = 1 };

struct awm_lapfunc_cfg {
    uint8_t triggerMode = AWM_LAPFUNC_BEACON;
    uint8_t sigActLvl = 1;
    uint8_t trigCfg = 0;
    uint8_t segTimeMode = 0;
    uint8_t cntDownTimeMode = 0;
    uint8_t reserved0 = 0;
    uint16_t startLap = 1;
    uint16_t startOuting = 1;
    uint16_t reserved1 = 0;
    float mainTrigTimeMin = 0, imTrigTimeMin = 0, mainRetrigLock = 0, imRetrigLock = 0, cndSpeedMin = 0,
          cndDistMin = 0, cndDistMax = 0, lapLength = 0;
    float lapTimePred = 0, lapTiBestPl = 0, lapTiBestSet = 0, cntDownTimeSet = 0, cntDownTimeInit = 0,
          distLapInit = 0, outingDistance = 0, beaconThreshold = 0, gpsRadius = 0, gpsLat = 0, gpsLong = 0;
    awm_input_cfg beacon, speed, lat, lon, gpsSpeed, heading;
    float lapSeg[AWM_LAPFUNC_SEGMENTS] = {};
    float lapSegPred[AWM_LAPFUNC_SEGMENTS] = {};
};
static_assert(sizeof(awm_lapfunc_cfg) == 1080);

struct awm_fuelcons_cfg {
    uint8_t fcSigActLvl = 1;
    uint8_t fuelInputMode = 1;
    uint8_t lapRemainingMode = 0;
    uint8_t reserved = 0;
    float adaptionFactor = 1, correctionFactor = 1, tankCapacity = 0, targetLapCons = 0, resetThreshold = 0;
    awm_input_cfg fuel, reset;
};
static_assert(sizeof(awm_fuelcons_cfg) == 88);

struct awm_gpsseg_point {
    float lat, lon;
};

struct awm_gpsseg_cfg {
    uint8_t count = 0;
    uint8_t reserved[3] = {};
    float radius = 0;
    awm_gpsseg_point point[AWM_GPSSEG_POINTS] = {};
};
static_assert(sizeof(awm_gpsseg_cfg) == 408);

// Records of the channel table a channel of this module takes: its own and the extension records
// that follow it (one for every module but the lap model's).
constexpr uint32_t awm_model_records(uint16_t module) {
    switch (module) {
    case AWM_MODULE_LAPFUNC:
        return awm_vc_recordsFor(sizeof(awm_lapfunc_cfg));
    case AWM_MODULE_FUELCONS:
        return awm_vc_recordsFor(sizeof(awm_fuelcons_cfg));
    case AWM_MODULE_GPSSEG:
        return awm_vc_recordsFor(sizeof(awm_gpsseg_cfg));
    default:
        return 1;
    }
}
