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
// The lap function (0x08), the fuel consumption (0x0A) and the GPS segments (0x17) keep their
// configuration as a payload (awm_model_cfg.h) from offset 4 of their record on:
//
//   offset size  field
//      0     2   module id 0x08, 0x0A or 0x17
//      2     1   raster index (tools preset 3, 10 ms)
//      3     1   reserved, 0
//      4   124   payload, continued in the extension records that follow
//
// A payload longer than 124 bytes continues at offset 4 of the next records, each of which has
// the module id 0xFFFF (extension) and is no channel of its own; their channel numbers carry the
// channel's further outputs (awm_model_outputs.h).
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

enum : uint16_t {
    AWM_MODULE_NONE = 0,
    AWM_MODULE_LAPFUNC = 0x08,
    AWM_MODULE_FUELCONS = 0x0A,
    AWM_MODULE_FORMULA = 0x10,
    AWM_MODULE_CONDITION = 0x11,
    AWM_MODULE_GPSSEG = 0x17,
    AWM_MODULE_EXTENSION = 0xFFFF,
};
inline constexpr uint32_t AWM_VC_PAYLOAD_AT = 4;
inline constexpr uint32_t AWM_VC_PAYLOAD = AWM_VC_RECORD_SIZE - AWM_VC_PAYLOAD_AT; // per record

// Records a payload of `size` bytes takes (the channel's own and its extensions).
constexpr uint32_t awm_vc_recordsFor(size_t size) {
    return size <= AWM_VC_PAYLOAD
               ? 1
               : 1 + uint32_t((size - AWM_VC_PAYLOAD + AWM_VC_PAYLOAD - 1) / AWM_VC_PAYLOAD);
}

// Module id of record n of a table.
inline uint16_t awm_vc_module(const uint8_t* table, uint32_t n) {
    uint16_t module = 0;
    std::memcpy(&module, table + n * AWM_VC_RECORD_SIZE, 2);
    return module;
}

// The payload of channel n into `out` (`size` bytes). False when the channel's extension records
// are missing or would lie beyond the table; `out` is then untouched.
inline bool awm_vc_payload(const uint8_t* table, uint32_t channels, uint32_t n, void* out, size_t size) {
    const uint32_t records = awm_vc_recordsFor(size);
    if (n + records > channels) return false;
    for (uint32_t r = 1; r < records; ++r)
        if (awm_vc_module(table, n + r) != AWM_MODULE_EXTENSION) return false;
    auto* to = static_cast<uint8_t*>(out);
    for (uint32_t r = 0; r < records; ++r) {
        const size_t part =
            size - r * AWM_VC_PAYLOAD < AWM_VC_PAYLOAD ? size - r * AWM_VC_PAYLOAD : AWM_VC_PAYLOAD;
        std::memcpy(to + r * AWM_VC_PAYLOAD, table + (n + r) * AWM_VC_RECORD_SIZE + AWM_VC_PAYLOAD_AT, part);
    }
    return true;
}

// The records of a payload channel: `records` must hold awm_vc_recordsFor(size) records.
inline void awm_vc_encodePayload(uint16_t module, uint8_t raster, const void* payload, size_t size,
                                 uint8_t* records) {
    const uint32_t count = awm_vc_recordsFor(size);
    std::memset(records, 0, count * AWM_VC_RECORD_SIZE);
    const auto* from = static_cast<const uint8_t*>(payload);
    for (uint32_t r = 0; r < count; ++r) {
        uint8_t* rec = records + r * AWM_VC_RECORD_SIZE;
        const uint16_t id = r == 0 ? module : uint16_t(AWM_MODULE_EXTENSION);
        std::memcpy(rec, &id, 2);
        rec[2] = r == 0 ? raster : 0;
        const size_t part =
            size - r * AWM_VC_PAYLOAD < AWM_VC_PAYLOAD ? size - r * AWM_VC_PAYLOAD : AWM_VC_PAYLOAD;
        std::memcpy(rec + AWM_VC_PAYLOAD_AT, from + r * AWM_VC_PAYLOAD, part);
    }
}

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
