// Conversion tables of the generated model's partitions ("virtual" measurement pages): each
// partition registers its table once at start-up.
#pragma once

#include <cstdint>

// One entry of a partition's address map (8 bytes); this module only counts them.
struct convAddrMapEntry_t {
    uint32_t word[2];
};
// One conversion of the partition's list.
struct convListEntry_t {
    float factor;
    float offset;
};
// What a partition hands over: its address map with its entry count, its conversion list with
// its count.
struct convInitTab_t {
    const convAddrMapEntry_t* addrMap;
    const uint32_t* addrMapSize;
    const convListEntry_t* convList;
    const uint32_t* convListSize;
};

inline constexpr uint32_t CONV_VIRTUAL_PAGES = 8;
inline constexpr uint32_t CONV_VIRTUAL_ENTRIES_MAX = 511;

// 1 when registered: the partition is below 8, not yet registered, and the address-map entries
// of all partitions stay at 511 or fewer. 0 otherwise, logged.
uint8_t convRegisterVirtualMeasTable(uint32_t partition, const convInitTab_t* table);
