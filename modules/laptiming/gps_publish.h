// Writes and reads of the gps_* measurement variables. Tools, display and logging read them
// without a lock; each is one aligned word or half-word, written whole.
#pragma once

#include "measdata/seram.h"

#include <atomic>

template <typename T> inline void gps_put(T& cell, T value) {
    std::atomic_ref<T>(cell).store(value, std::memory_order_relaxed);
}

template <typename T> inline T gps_get(T& cell) {
    return std::atomic_ref<T>(cell).load(std::memory_order_relaxed);
}
