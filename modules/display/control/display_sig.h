// Writes and reads of the display's measurement variables in the signal page (display_page,
// display_elements_updated, disp_timeout_all, ...). PC tools and the display's two tasks read them
// without a lock; each is one aligned byte, half-word or word, written whole.
#pragma once

#include <atomic>

#include "measdata/seram.h"

template <typename T> inline void dispSigPut(T& cell, T value) {
    std::atomic_ref<T>(cell).store(value, std::memory_order_relaxed);
}

template <typename T> inline T dispSigGet(T& cell) {
    return std::atomic_ref<T>(cell).load(std::memory_order_relaxed);
}
