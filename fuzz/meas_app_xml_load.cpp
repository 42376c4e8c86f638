// Arbitrary text as an XML logging configuration; the part after the first zero byte, when there
// is one, as "cfg:/no_check.xml". A whole record or none, never a crash, a hang or a leak.
#include "logging/config/meas_app_cfg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string xml = input.substr(0, split);
    const std::string noCheck = split == std::string::npos ? std::string() : input.substr(split + 1);
    MEASConfiguration* m =
        meas_app_xml_load(0, xml.c_str(), split == std::string::npos ? nullptr : noCheck.c_str());
    if (!m) return 0;
    if (m->num_blocks > MEAS_MAX_BLOCKS || m->num_conditions > MEAS_MAX_CONDITIONS) std::abort();
    for (uint16_t i = 0; i < m->num_blocks; ++i) {
        const MeasBlkInfo& b = m->BlkInfo[i];
        if (b.measListLen > sizeof b.measList || (b.measListLen && b.measList[b.measListLen / 4 - 1] != 0))
            std::abort();
    }
    meas_app_free_MEASConfiguration(m);
    return 0;
}
