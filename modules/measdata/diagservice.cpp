#include "measdata/diagservice.h"

#include "measdata/seram.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {
std::mutex gCarIdLock; // the car id and the annotation
}

void diagService_GetCarId(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    std::lock_guard<std::mutex> hold(gCarIdLock);
    const auto& carId = seramSig().carid_dor_info;
    const size_t stored = strnlen(carId.data(), carId.size());
    const size_t n = std::min(stored, size - 1);
    std::memcpy(buffer, carId.data(), n);
    buffer[n] = '\0';
}

void diagService_SetCarId(const char* id, size_t size) {
    std::lock_guard<std::mutex> hold(gCarIdLock);
    auto& carId = seramSig().carid_dor_info;
    const size_t n = id == nullptr ? 0 : std::min(size, carId.size());
    if (n > 0) std::memcpy(carId.data(), id, n);
    std::fill(carId.begin() + std::ptrdiff_t(n), carId.end(), '\0');
}

void diagService_GetAnnotation(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    std::lock_guard<std::mutex> hold(gCarIdLock);
    const auto& annotation = seramSig().ecu_annotation_info;
    const size_t n = std::min(size, annotation.size());
    std::memcpy(buffer, annotation.data(), n);
    std::fill(buffer + n, buffer + size, '\0');
}

void diagService_SetAnnotation(const char* annotation, size_t size) {
    std::lock_guard<std::mutex> hold(gCarIdLock);
    auto& stored = seramSig().ecu_annotation_info;
    const size_t n = annotation == nullptr ? 0 : std::min(size, stored.size());
    if (n > 0) std::memcpy(stored.data(), annotation, n);
    std::fill(stored.begin() + std::ptrdiff_t(n), stored.end(), '\0');
}
