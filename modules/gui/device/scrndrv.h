// The screen-driver client: asks the kernel-side display driver to present the frame buffer and
// to report when it is done, switches display layers on and off, and (in functions the running
// system does not start) reads the boot logo, paints the screen with one colour, and saves and
// loads compressed screen images.
#pragma once

#include <cstdint>

// A screen image of the visible 640 x 480 area, row by row from the top. Run i covers runs[i]
// pixels (continuing across row ends) of colour palette[index i]; the indices are packed with b
// bits each, b = bits of (palCount - 1), least significant bit first. File form: the three counts
// (u32), then the palette (u32 words), the runs (u16) and the packed data, little-endian.
struct scrn_dump_t {
    uint32_t palCount;
    uint32_t runCount;
    uint32_t dataBytes;
    uint32_t* palette;
    uint16_t* runs;
    uint8_t* data;
    int owned; // the arrays are this record's own (read from a file), not a view into memory
};

inline constexpr int SCRN_WIDTH = 640;
inline constexpr int SCRN_HEIGHT = 480;

void scrndrvFlush();
void scrndrvWaitFlush();
void scrndrvLayerEnable(int layer);
void scrndrvLayerDisable(int layer);
void scrndrvInit();
void scrndrvGetBootLogo(void** data, int* size);
void scrndrvSetColor(uint32_t colour);
int scrndrvDumpImg(const char* path);
int scrndrvWriteDump(const char* path, const scrn_dump_t* dump);
int scrndrvReadDump(const char* path, scrn_dump_t* dump);
int scrndrvInitDumpByMem(scrn_dump_t* dump, const void* start, const void* end);
int scrndrvInitDumpWithBootLogo(scrn_dump_t* dump);
// Paints the image into the frame buffer and presents it; -1 (nothing drawn) for a damaged image.
int scrndrvDrawImg(const scrn_dump_t* dump);
int scrndrvLoadImg(const char* path);
void scrndrvLoadObj();
uint32_t scrndrvGetColorIdx(uint64_t bitpos, unsigned nbits, const uint8_t* data);
// Frees the arrays of a record read from a file and clears it.
void scrndrvFreeDump(scrn_dump_t* dump);
// Bits per packed index for a palette of palCount colours.
unsigned scrndrvIndexBits(uint32_t palCount);
