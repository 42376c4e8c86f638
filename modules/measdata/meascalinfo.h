// The name table of measurement and calibration variables: name -> descriptor, for PC tools'
// name requests, the configuration and the virtual channels.
#pragma once

#include <cstdint>

#include "measdata/msdhash.h"

struct meascalinfo_t {
    uint32_t pAdr;    // measurement address (0x25000000 + offset in the calibration memory window)
    uint32_t dType;   // raw data type code
    uint32_t dLength; // 1 for a scalar, the number of elements of an array
    uint32_t bitmask; // 0x1 for a one-bit flag, else 0
    float sens;       // physical = (raw - offset) / sens
    float offset;
};

inline constexpr uint32_t MEASCALINFO_COUNT = 537;
inline constexpr uint32_t MEASCALINFO_BUCKETS = 4096;

// The table's content, in table order (built from seram_vars.def).
extern const char* const labelNames[MEASCALINFO_COUNT];
extern const meascalinfo_t allmeascalinfo[MEASCALINFO_COUNT];

// Bytes of one element of a raw data type: codes 0 and 1 give 1, 2 and 3 give 2, 4, 5 and 6
// give 4, any other 0.
constexpr uint32_t getSizeofType(uint32_t type) {
    switch (type) {
    case 0:
    case 1:
        return 1;
    case 2:
    case 3:
        return 2;
    case 4:
    case 5:
    case 6:
        return 4;
    default:
        return 0;
    }
}

// Enters the 537 variables into `table` in table order and returns 537. The entries are entered
// once: a repeat call with the same table changes nothing and returns 537 again; a call with
// another table is refused (logged, 0), since each entry can be chained in one table only.
uint32_t meascalinfo_createTable(msdhash_t* table);

// Start-up: creates the name table (4096 buckets), fills it and requires "EPKID" in it. 1 when
// the table is ready (also on a repeat call), 0 otherwise (logged).
uint8_t meascalinfo_init();

// The variable's descriptor; none when the name is unknown or the table is not built.
const meascalinfo_t* meascalinfo_getInfo(const char* name);
