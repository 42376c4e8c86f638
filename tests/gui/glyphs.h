// The pixels that text sets, read straight from a font's records: the reference that drawn text is
// compared with.
#pragma once

#include <set>
#include <utility>

#include "gui/core/guibitmap.h"

namespace guitest {

// Pixels of text in a font drawn at (x, y); doubled: each glyph pixel a 2 x 2 block.
inline std::set<std::pair<int, int>> Glyphs(const GuiFont* font, const char* text, int x, int y,
                                            bool doubled = false) {
    std::set<std::pair<int, int>> out;
    const int k = doubled ? 2 : 1;
    for (const char* p = text; *p; ++p) {
        const int c = static_cast<unsigned char>(*p) - font->firstChar;
        const int first = font->offsets[c], width = font->offsets[c + 1] - first;
        for (int row = 0; row < font->height; ++row)
            for (int col = 0; col < width; ++col) {
                const int bit = first + col;
                if (!(font->data[row * font->bytesPerLine + bit / 8] & (0x80 >> (bit % 8)))) continue;
                for (int dy = 0; dy < k; ++dy)
                    for (int dx = 0; dx < k; ++dx) out.insert({x + k * col + dx, y + k * row + dy});
            }
        x += k * width;
    }
    return out;
}

} // namespace guitest
