// Measurement addresses and handles: how a 32-bit measurement address becomes a value.
//
// Address: bits 24-31 name the source process (the caller routes other processes' addresses;
// here only the low 24 bits count). From 0x800000 up a conversion page; below that, bits 18-23
// select the source: 28 XCP-master value, 29 CCP-master value, 31 calculation channel (channel in
// bits 8-17, sub-channel in bits 0-7); any other value is a calibration-memory address.
//
// Calibration-memory addresses are served here directly; the three producers serve their own
// addresses through seramMeasRegisterSource. An address that nobody serves gets a handle on the
// dummy cell (it reads zeros), an error-memory entry and a log line; a read never leaves memory.
#pragma once

#include <cstdint>
#include <functional>

// The three words of a resolved address.
struct seramMeasHandle_t {
    const uint8_t* ptr; // the value's cell
    uint32_t kind;      // SERAM_MEAS_*
    uint32_t extra;     // bits 0-15 readable bytes at ptr, bits 16-31 latency
};

enum : uint32_t {
    SERAM_MEAS_NONE = 0,    // cleared
    SERAM_MEAS_CALPAGE = 1, // reference-page address: read through the active page offset
    SERAM_MEAS_MEMORY = 2,  // working image, signal or adaptation page: read where it lies
    SERAM_MEAS_XCPMR = 3,
    SERAM_MEAS_CCPMR = 4,
    SERAM_MEAS_CALC = 5,
    SERAM_MEAS_DUMMY = 6,
    SERAM_MEAS_CALC_F64 = 7, // a calculation channel's value held as a double (SeramMeasCell::f64)
};

// Source selectors (address bits 18-23) of the producers.
enum : uint8_t { SERAM_SRC_XCPMR = 28, SERAM_SRC_CCPMR = 29, SERAM_SRC_CALC = 31 };

// Error-memory entry of an address that nobody serves: path 485, the type tells what kind of
// address it was (SERAM_UNSERVED_*), MIL off.
inline constexpr uint16_t SERAM_ERRMEM_PATH_UNSERVED = 485;
enum : uint8_t {
    SERAM_UNSERVED_MEMORY = 1,      // outside every page of the window
    SERAM_UNSERVED_CONVERSION = 32, // conversion-page address
    // a producer's address carries its source selector (28, 29, 31) as the type
};

// What a producer hands out for one of its addresses.
struct SeramMeasCell {
    const void* ptr = nullptr; // the value, native byte order, valid until released
    uint16_t size = 0;         // bytes readable at ptr (8 covers every value width)
    uint16_t latency = 0;      // calculation channels: latency of the value; others 0
    // The cell holds a double, and a read converts it to the width asked: 8 bytes the double,
    // 4 bytes IEEE single, 2 and 1 bytes the low bytes of the value rounded to a 32-bit integer
    // (half away from zero, saturating, NaN 0). Raw copies give the double's bytes.
    bool f64 = false;
};

struct SeramMeasSource {
    // Sets the cell of `address` up for reading at `raster`; false when the producer has no such
    // cell.
    std::function<bool(uint32_t address, uint16_t raster, SeramMeasCell* cell)> setup;
    // Gives a cell back (the handle is freed); may be empty.
    std::function<void(const void* cellPtr)> release;
};

// Registers the producer of one source selector (SERAM_SRC_*); an empty setup unregisters it.
// False for any other selector.
bool seramMeasRegisterSource(uint8_t source, const SeramMeasSource& producer);

// Resolves `address` into `handle` (the calculation channel is set up for reading at `raster`).
void seramMeasSetupMeas(uint32_t address, uint16_t raster, seramMeasHandle_t* handle);
// Copies the current value of `size` bytes (1, 2, 4 or 8) to `dest` in big-endian order; a value
// the handle cannot supply reads as zeros. Other sizes copy nothing.
void seramMeasCopy_bigEndian(void* dest, uint32_t size, const seramMeasHandle_t* handle);
// Copies `size` bytes from the handle's cell unconverted (raw copy groups); bytes beyond what the
// cell holds read as zeros.
void seramMeasCopyRaw(void* dest, uint32_t size, const seramMeasHandle_t* handle);
// Latency of the handle's value; non-zero only for calculation channels.
uint16_t seramMeasGetLatency(const seramMeasHandle_t* handle);
// Releases a handle from seramMeasSetupMeas (and the producer's cell) and clears it.
void seramMeasFreeMeas(seramMeasHandle_t* handle);
// Zeroes the three words.
void seramMeasClearHandle(seramMeasHandle_t* handle);
