// The NV record store of the kernel side, as the application reads and writes it.
// Records 0 to 21 and 256 to 262; each element stored twice with a CRC and a write counter.
#pragma once

#include <cstddef>
#include <cstdint>

// Records the framework keeps for itself.
inline constexpr uint32_t NV_REC_BOOTCOUNT = 257; // index = application index, u32
inline constexpr uint32_t NV_REC_ERRMEM = 258;    // index = application index, the entry table

// Start-up: opens the store in the parameter block's NV directory.
bool nvram_init();
void nvram_close();
// Bytes copied (at most the stored size), or -1 when no valid record exists.
int nvram_dbs_read(uint32_t id, uint32_t index, void* buffer, size_t length);
// Non-zero (the length) when stored, 0 on failure.
int nvram_dbs_write(uint32_t id, uint32_t index, const void* buffer, size_t length);
// Many elements stored together, each as nvram_dbs_write stores it (each copy written through), the
// store held meanwhile; their order among themselves is not kept through a power cut. `count` when
// all are stored, 0 on failure (logged).
struct NvramElement {
    uint32_t id;
    uint32_t index;
    const void* data;
    size_t length;
};
size_t nvram_dbs_writeMany(const NvramElement* elements, size_t count);
