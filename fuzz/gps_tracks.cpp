// Arbitrary text as the track file: a list of tracks or no list, never a crash, a hang or a leak.
#include "laptiming/gps_trackdet.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    tracks_s* tracks = nullptr;
    const int n = xml_load_tracks(text.c_str(), &tracks);
    if (n < 0 || n > TRACKS_MAX || (n == 0) != (tracks == nullptr)) std::abort();
    // Every record handed out is readable.
    volatile float sum = 0;
    for (int i = 0; i < n; ++i) sum = sum + tracks[i].tracklen;
    std::free(tracks);
    return 0;
}
