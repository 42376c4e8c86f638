// The display's six built-in fonts: 1-bit strips packed with zlib in read-only data, unpacked once
// at start-up into heap buffers, then ordinary GUI fonts chosen by the configuration's font size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/config/display_records.h"
#include "gui/core/guibitmap.h"

// Variable width (0x01), with 0x08 also set.
inline constexpr uint8_t VEKTA_FONT_TYPE = 0x09;

// The records: strip null until VektaFonts_ini has unpacked it (text in such a font draws nothing).
extern GuiFont VektaTiny, VektaSmall, VektaNormal, VektaLarge, VektaXLarge, VektaXXLarge;
// Offset tables (257 entries) and packed tables (32-bit little-endian length, then the zlib stream).
extern const uint16_t VektaTiny_offset_table[257], VektaSmall_offset_table[257],
    VektaNormal_offset_table[257], VektaLarge_offset_table[257], VektaXLarge_offset_table[257],
    VektaXXLarge_offset_table[257];
extern const uint8_t VektaTiny_data_table[], VektaSmall_data_table[], VektaNormal_data_table[],
    VektaLarge_data_table[], VektaXLarge_data_table[], VektaXXLarge_data_table[];
extern const size_t VektaTiny_data_table_size, VektaSmall_data_table_size, VektaNormal_data_table_size,
    VektaLarge_data_table_size, VektaXLarge_data_table_size, VektaXXLarge_data_table_size;

// Unpacks the six strips in the order tiny to XXLarge; stops at the first failure (logged), the
// remaining fonts then stay without strip. A font already unpacked is kept.
void VektaFonts_ini();
// The font of a size code (FontSizeType_t); codes beyond xxxlarge give the tiny font.
GuiFont* Vekta_getFont(FontSizeType_t size);
// True only for xxxlarge, which draws the XXLarge font doubled.
bool VektaFonts_isDouble(FontSizeType_t size);
