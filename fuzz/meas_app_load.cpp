// Arbitrary bytes as a compact logging configuration: a record or none, never a read outside the
// file, a write outside a record, a crash or a leak.
#include "logging/config/meas_app_cfg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As fload hands a file over: its bytes and one terminating zero.
    char* buffer = static_cast<char*>(std::malloc(size + 1));
    if (!buffer) return 0;
    if (size) std::memcpy(buffer, data, size);
    buffer[size] = '\0';
    MEASConfiguration* m = meas_app_load(0, buffer, size);
    if (!m) return 0; // the buffer went with the refusal
    std::free(buffer);
    // Every record is whole: its list ends inside the list, its texts inside their fields.
    for (uint16_t i = 0; i < m->num_blocks; ++i) {
        const MeasBlkInfo& b = m->BlkInfo[i];
        if (b.measListLen > sizeof b.measList || b.numAddr > MEAS_LIST_WORDS ||
            !std::memchr(b.name, 0, sizeof b.name))
            std::abort();
    }
    if (m->num_conditions > MEAS_MAX_CONDITIONS || (m->globStartMask >> 62) != 0) std::abort();
    meas_app_free_MEASConfiguration(m);
    return 0;
}
