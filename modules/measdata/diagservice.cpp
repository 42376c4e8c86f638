#include "measdata/diagservice.h"

#include "measdata/seram.h"

#include <algorithm>
#include <cstring>

void diagService_GetCarId(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const auto& carId = seramSig().carid_dor_info;
    const size_t stored = strnlen(carId.data(), carId.size());
    const size_t n = std::min(stored, size - 1);
    std::memcpy(buffer, carId.data(), n);
    buffer[n] = '\0';
}
