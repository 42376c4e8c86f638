// Built-in art of the widget library: small 8-bit bitmaps written as rows of characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace guiart {

// Palette indices 0 black (K), 7 light grey (L), 8 dark grey (G), 15 white (W), 1 dark red (R);
// '.' is the transparent index 255.
template <size_t W, size_t H> constexpr std::array<uint8_t, W * H> Art(const char (&rows)[H][W + 1]) {
    std::array<uint8_t, W * H> out{};
    for (size_t y = 0; y < H; ++y)
        for (size_t x = 0; x < W; ++x) {
            uint8_t c = 255;
            switch (rows[y][x]) {
            case 'K':
                c = 0;
                break;
            case 'R':
                c = 1;
                break;
            case 'L':
                c = 7;
                break;
            case 'G':
                c = 8;
                break;
            case 'W':
                c = 15;
                break;
            default:
                break;
            }
            out[y * W + x] = c;
        }
    return out;
}

} // namespace guiart
