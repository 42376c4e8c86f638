// The fix time of a line of a replayed receiver file: any bytes give a time of day or none, and the
// parse reads nothing beyond the line.
#include "platform/board/serial_fixtime.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that a read past the line is caught.
    std::unique_ptr<char[]> line(new char[size ? size : 1]);
    if (size) std::memcpy(line.get(), data, size);
    int64_t t = -1;
    if (serial_fixTime(line.get(), size, &t) && !(t >= 0 && t < 86401000)) std::abort();
    return 0;
}
