// The lap and fuel model's outputs as measurement values: sub-channels of the calculation-channel
// addresses of the lap-function and fuel-consumption channels, (31 << 18) | (channel << 8) | sub.
// Each is read at its own width and type (raw type codes: 1 u8, 5 u32, 6 f32).
//
// Lap function at channel n:
//   sub name                type   sub name                type   sub name                type
//    0  laptime             f32    15  laptime_sb          f32    30  b_laptrgim          u8
//    1  laptimeold          f32    16  lapcurr             f32    31  b_gpslaptrg         u8
//    2  laptimebest         f32    17  lapcurr_sb          f32    32  e_lap               u8
//    3  lapdiff             f32    18  lapctr_lapfunc      f32    33  b_speedlapmn        u8
//    4  lapdiffb            f32    19  outing              f32    34  b_llapmn            u8
//    5  lapdiffpred         f32    20  cntdowntime         f32    35  b_lapset            u8
//    6  lapcurrpred         f32    21  distlap             f32    36  b_laptimevalid      u8
//    7  lapcurrpred_intrpl  f32    22  ddistlap            f32    37  b_bestlap           u8
//    8  lapintrpl_dlast     f32    23  dist                f32    38  b_lapseg            u8
//    9  lapintrpl_dbest     f32    24  lapsegctr           u8     39  b_lapval_changed    u8
//   10  lapintrpl_dpred     f32    25  b_lapin             u8     40  GPS distance to the trigger point  f32
//   11  lapseg_dlast        f32    26  b_laptrgm           u8     41  GPS distance along the track       f32
//   12  lapseg_dbest        f32    27  b_laptrgi           u8     42  GPS distance across the track      f32
//   13  lapseg_dpred        f32    28  b_laptrg            u8
//   14  laptimeseg          f32    29  b_laptrgb           u8
// Channels n+1, n+2, n+3 (the lap function's extension records): lapseg_curr, lapseg_last and
// lapseg_best, element i at sub-channel i (0..99), f32.
//
// Fuel consumption at channel m:
//    0  fuelcons f32, 1 fueltotal f32, 2 fuelrem f32, 3 fuellap f32, 4 fuellapold f32, 5 laprem f32,
//    6  fuelcons_scope1 f32, 7 fuelcons_scope2 f32, 8 laptimestamp u32 (ms)
#pragma once

#include "measdata/seram_meas.h"

#include <cstdint>

struct awm_model_output {
    const char* name;
    uint8_t type; // raw data type code
    const void* (*cell)();
};

// The output at sub-channel `sub` of the channel `offset` records after the module's own channel;
// null when there is none.
const awm_model_output* awm_model_output_at(uint16_t module, uint32_t offset, uint8_t sub);
// The measurement cell of that output; false when there is none.
bool awm_model_output_cell(uint16_t module, uint32_t offset, uint8_t sub, SeramMeasCell* cell);
