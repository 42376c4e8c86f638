// The calculation-channel table: the calibration value CfgMat_VC_config (32768 bytes of the
// calibration data page) holds 256 records of 128 bytes; record n configures channel n, whose
// value is read at the measurement address (31 << 18) | (n << 8) | sub-channel (sub-channel 0 is
// the value). Fields lie in host order, as the whole data page does:
//
//   offset size  field
//      0     2   module id: 0 unused, 0x10 formula, 0x11 condition function, 256 and 257 FIR filter
//      2     1   raster index 0..19 of the channel's cyclic function (tools preset 3, 10 ms)
//      3     1   program length in bytes (modules 0x10 and 0x11), 5..100
//      4    16   inputs 1..4: measurement address (u32) of a value of this device (its top byte
//                is not looked at), 0 = no input
//     20     4   inputs 1..4: raw data type code (0 s8, 1 u8, 2 s16, 3 u16, 4 s32, 5 u32, 6 f32, 7 flag)
//     24   100   program area (RPN program, awm_upn.h)
//    124     4   reserved, 0
//
// The device reads the table (awm_man.h) and the tool tools/caldata/vcconfig writes it; both use
// the encoding below.
#pragma once

#include "measdata/seram_layout.h"
#include "measdata/seram_meas.h"

#include <cstdint>
#include <cstring>

inline constexpr uint32_t AWM_VC_RECORD_SIZE = 128;
inline constexpr uint32_t AWM_VC_CHANNELS = uint32_t(SERAM_N_VC_CONFIG) / AWM_VC_RECORD_SIZE;
inline constexpr uint32_t AWM_VC_INPUTS = 4;
inline constexpr uint32_t AWM_VC_PROGRAM_SIZE = 100;
inline constexpr uint8_t AWM_VC_RASTER_PRESET = 3;
inline constexpr uint32_t AWM_VC_RASTERS = 20; // raster indices 0..19, one queue each (awm_sched.h)

enum : uint16_t { AWM_MODULE_NONE = 0, AWM_MODULE_FORMULA = 0x10, AWM_MODULE_CONDITION = 0x11 };

struct awm_vc_entry {
    uint16_t module = AWM_MODULE_NONE;
    uint8_t raster = AWM_VC_RASTER_PRESET;
    uint8_t programLength = 0;
    uint32_t input[AWM_VC_INPUTS] = {};
    uint8_t inputType[AWM_VC_INPUTS] = {};
    uint8_t program[AWM_VC_PROGRAM_SIZE] = {};
};

// Measurement address of a channel's sub-channel (this device).
constexpr uint32_t awm_vc_address(uint32_t channel, uint8_t subChannel = 0) {
    return uint32_t(SERAM_SRC_CALC) << 18 | (channel & 0x3FFu) << 8 | subChannel;
}

inline void awm_vc_encode(const awm_vc_entry& e, uint8_t* record) {
    std::memset(record, 0, AWM_VC_RECORD_SIZE);
    std::memcpy(record + 0, &e.module, 2);
    record[2] = e.raster;
    record[3] = e.programLength;
    std::memcpy(record + 4, e.input, sizeof e.input);
    std::memcpy(record + 20, e.inputType, sizeof e.inputType);
    std::memcpy(record + 24, e.program, sizeof e.program);
}

inline awm_vc_entry awm_vc_decode(const uint8_t* record) {
    awm_vc_entry e;
    std::memcpy(&e.module, record + 0, 2);
    e.raster = record[2];
    e.programLength = record[3];
    std::memcpy(e.input, record + 4, sizeof e.input);
    std::memcpy(e.inputType, record + 20, sizeof e.inputType);
    std::memcpy(e.program, record + 24, sizeof e.program);
    return e;
}

static_assert(24 + AWM_VC_PROGRAM_SIZE <= AWM_VC_RECORD_SIZE);
static_assert(AWM_VC_CHANNELS * AWM_VC_RECORD_SIZE == SERAM_N_VC_CONFIG);
