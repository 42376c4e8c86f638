// Arbitrary text as "cfg:/apps.xml": the names change only for a faultless file, every name stays
// terminated within its 17 bytes.
#include "logging/events/eventlogger.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const AppNameTable before = appNames_defaults();
    AppNameTable names = before;
    std::string error;
    const bool ok = appNames_parse(text.c_str(), &names, &error);
    if (!ok && std::memcmp(&names, &before, sizeof names) != 0) std::abort();
    if (ok != error.empty()) std::abort();
    for (const auto& n : names.name)
        if (std::memchr(n, 0, sizeof n) == nullptr) std::abort();
    return 0;
}
