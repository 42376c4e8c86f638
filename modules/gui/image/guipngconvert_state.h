// The PNG decoder's read state, shared by its chunk and row halves.
#pragma once

#include <cstdint>
#include <vector>
#include <zlib.h>

#include "gui/image/guipngconvert.h"

struct GuiPngConvert::ReadState {
    static constexpr uint32_t kInputBlock = 8192;

    // Chunks.
    bool ihdr = false;
    bool plte = false;
    bool idat = false;
    bool trns = false;
    uint32_t crc = 0;
    uint8_t name[4] = {};
    uint32_t chunkLeft = 0; // data bytes of the current chunk not read yet

    // Image header.
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t depth = 0;
    uint8_t colourType = 0;
    uint8_t interlace = 0;
    uint8_t channels = 0;
    uint32_t bitsPerPixel = 0;
    uint64_t rowBytes = 0;

    // Image data.
    z_stream zs{};
    bool zInit = false;
    bool streamEnd = false;
    std::vector<uint8_t> in = std::vector<uint8_t>(kInputBlock);
    std::vector<uint8_t> row;  // filter byte + row bytes
    std::vector<uint8_t> prev; // the previous row of the pass, unfiltered
    int pass = 0;              // Adam7 pass 0..6 (0 for images without interlace)
    uint32_t passRow = 0;
    uint32_t passRows = 0;
    uint32_t passCols = 0;
    uint64_t passRowBytes = 0;
    bool rowsDone = false;

    // Transparency.
    uint8_t trnsAlpha[256] = {};
    uint32_t trnsCount = 0;

    ~ReadState() {
        if (zInit) inflateEnd(&zs);
    }
};

// Adam7: starting row, row step, starting column, column step of each pass.
inline constexpr uint32_t kAdam7[7][4] = {
    {0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4}, {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1},
};
