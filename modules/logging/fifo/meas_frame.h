// Measurement frames: consecutive records of one measurement block, collected in the measurement
// raster and closed into the byte form of the measurement file. Each record's time stamp becomes
// the difference to its predecessor, the records are reordered plane by plane (all first bytes,
// then all second bytes, ...) so that equal bytes stand together, and the planes are run-length
// coded behind a 4-byte header:
//   u8 block id, u8 sample count, u16 big-endian packed length, coded planes.
//
// Run-length code: a control byte c >= 0 copies the next c + 1 bytes; c < 0 repeats the next byte
// 2 - c times (3 .. 130). Note the 2 - c: not the common PackBits 1 - c.
#pragma once

#include <cstddef>
#include <cstdint>

// Most bytes of records one frame holds: the run-length code's input limit.
inline constexpr uint32_t MEASFRAME_MAX_BYTES = 4096;
// Room behind the data area: the 4 header bytes and the code's worst growth (one control byte per
// 128 literal bytes), so that coding never needs a second buffer.
inline constexpr uint32_t MEASFRAME_SPARE = 133;

struct MeasFrame {
    uint8_t* data;        // 4 header bytes, then the data area
    uint8_t* wrPos;       // next record (after recoding: behind the coded bytes)
    uint8_t* end;         // end of the data area
    uint32_t maxRecords;  // records per frame
    uint16_t bytesUsed;   // uncompressed bytes of the records put
    uint16_t packedSize;  // coded length, 0 until recoded
    uint8_t count;        // records put
    uint32_t ageTs;       // system time stamp of the first put
    uint32_t firstTs;     // time stamp of the first record
    uint32_t lastTs;      // time stamp of the last record
    uint32_t factor;      // samples per record (1, or 200/100/20/10/2 for the burst rasters)
    uint16_t* indexTable; // factor rows of one sub-sample each (factor > 1 only)
    uint32_t capacity;    // bytes of the data area
    uint32_t recordSize;  // bytes of one record
};

// A frame for records of `recordSize` bytes: at most `maxRecords` (200 / factor for factor > 1)
// within `maxBytes` (at most MEASFRAME_MAX_BYTES). Null, with a log line, when not even one record
// fits or memory is short.
MeasFrame* MeasFrame_alloc(uint32_t maxRecords, uint32_t maxBytes, uint32_t recordSize, uint32_t factor);
// 0 freed (a null frame too); 3 refused while the frame still holds records.
int MeasFrame_free(MeasFrame* frame);
// 0 stored, 2 stored and the frame is now full, 1 nothing stored (no frame, a record of another
// size than the frame's, no room, or the frame is already recoded).
int MeasFrame_put(MeasFrame* frame, const uint8_t* record, uint32_t size);
// Ticks (100 us) since the first record was put; 0 for an empty frame.
uint32_t MeasFrame_getAgeTS(const MeasFrame* frame);
// Codes the records in place: 0 done (an empty frame: 0 without outputs, a frame already recoded:
// its outputs again), 1 no frame, `recordSize` not the frame's, or a burst frame without its index
// translation.
int MeasFrame_recode_for_V5_V6(MeasFrame* frame, uint32_t recordSize, uint32_t* firstTs, uint32_t* lastTs);
// Hands over the recoded frame (header written with `blockId`) and starts a fresh buffer. The
// receiver owns `*data` and releases it with free(). An empty frame gives no buffer and size 0.
// 0 done, 1 no frame, not yet recoded, or no memory for the fresh buffer (the frame stays as it is).
int MeasFrame_get(MeasFrame* frame, uint8_t blockId, uint8_t** data, uint32_t* size, uint32_t* bytesUsed,
                  uint32_t* packedSize);
// Codes `length` bytes of `in` into `out` (room for length + length / 128 + 1); the coded length.
uint16_t MeasFrame_packBits(const uint8_t* in, uint8_t* out, uint16_t length);
// The index translation of a burst frame whose records hold `cnt4` four-byte, `cnt2` two-byte and
// `cnt1` one-byte signals, each with `factor` sub-samples. 0 built (or not needed for factor 1);
// 1 no frame, no memory, or counts that do not add up to the frame's record size.
int MeasFrame_HSL_calc_IndexTranslation(MeasFrame* frame, uint32_t cnt4, uint32_t cnt2, uint32_t cnt1);
