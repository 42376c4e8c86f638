// The GUI library's own fonts: one record each, variable width, characters 0 to 255, ascent equal
// to the height, descent 0, 1 bit per pixel.
#pragma once

#include "gui/core/guibitmap.h"

extern const GuiFont SysFont;  // 16 rows, glyph rows of 213 bytes
extern const GuiFont MenuFont; // 13 rows, glyph rows of 163 bytes
