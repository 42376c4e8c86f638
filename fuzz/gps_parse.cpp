// Arbitrary bytes as lines from the GPS port into one NMEA data record, as the receiver task hands
// them on (any length here, so that the parsers see more than the task's 82 characters). The
// record must stay inside its satellite table and domains whatever arrives.
#include "laptiming/gps_nmea.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nmeaINFO info;
    gps_nmea_data_reset(&info);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        gps_parse(line.c_str(), int(line.size()) + 1, &info);
        start = end + 1;
    }
    check(info.domains >= 1 && info.domains <= GPS_NMEA_DOMAINS);
    for (int d = 0; d < info.domains; ++d) {
        const nmeaDOMAIN& dom = info.domain[d];
        check(dom.start >= 0 && dom.capacity >= 0 && dom.start + dom.capacity <= GPS_NMEA_SATS);
    }
    gps_outputStatus(&info);
    return 0;
}
