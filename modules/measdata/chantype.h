// The XML channel type, shared by channel data, the event channels and the display data.
#pragma once

#include <cstdint>

enum TypeEnum_t : uint16_t {
    TYPE_NONE = 0, // not given
    TYPE_UINT8 = 1,
    TYPE_SINT8 = 2,
    TYPE_UINT16 = 3,
    TYPE_SINT16 = 4,
    TYPE_UINT32 = 5,
    TYPE_SINT32 = 6,
    TYPE_FLOAT = 7,
    TYPE_BOOL = 8,
};

// Raw data type code (0 s8, 1 u8, 2 s16, 3 u16, 4 s32, 5 u32, 6 f32, 7 flag) of a channel type;
// 0xFF for none.
constexpr uint8_t chantype_rawCode(uint16_t type) {
    constexpr uint8_t kCodes[] = {0xFF, 1, 0, 3, 2, 5, 4, 6, 7};
    return type < sizeof(kCodes) ? kCodes[type] : 0xFF;
}
