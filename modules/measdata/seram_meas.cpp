#include "measdata/seram_meas.h"

#include "measdata/seram_internal.h"

#include "framework/errmem.h"
#include "framework/syslog.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kConversionPages = 0x800000u;
constexpr uint16_t kMaxReadable = 0xFFFF;

// What an unserved address reads: zeros, never anything else.
constexpr uint8_t kDummyCell[8] = {};

struct Sources {
    std::mutex lock;
    SeramMeasSource xcpmr;
    SeramMeasSource ccpmr;
    SeramMeasSource calc;

    SeramMeasSource* of(uint8_t source) {
        switch (source) {
        case SERAM_SRC_XCPMR:
            return &xcpmr;
        case SERAM_SRC_CCPMR:
            return &ccpmr;
        case SERAM_SRC_CALC:
            return &calc;
        default:
            return nullptr;
        }
    }
};

Sources& sources() {
    static Sources s;
    return s;
}

uint32_t kindOfSource(uint8_t source) {
    switch (source) {
    case SERAM_SRC_XCPMR:
        return SERAM_MEAS_XCPMR;
    case SERAM_SRC_CCPMR:
        return SERAM_MEAS_CCPMR;
    default:
        return SERAM_MEAS_CALC;
    }
}

uint8_t sourceOfKind(uint32_t kind) {
    switch (kind) {
    case SERAM_MEAS_XCPMR:
        return SERAM_SRC_XCPMR;
    case SERAM_MEAS_CCPMR:
        return SERAM_SRC_CCPMR;
    case SERAM_MEAS_CALC:
    case SERAM_MEAS_CALC_F64:
        return SERAM_SRC_CALC;
    default:
        return 0;
    }
}

void setDummy(seramMeasHandle_t* handle, uint32_t address, uint8_t unservedType) {
    handle->ptr = kDummyCell;
    handle->kind = SERAM_MEAS_DUMMY;
    handle->extra = sizeof(kDummyCell);
    error_mgr_set(SERAM_ERRMEM_PATH_UNSERVED, unservedType, 0);
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "seramMeasSetupMeas(): address 0x%08X not served, reading dummy cell",
                      static_cast<unsigned>(address));
}

// The bytes the handle's value lies in now; none when nothing can be read.
const uint8_t* cellOf(const seramMeasHandle_t* handle, uint32_t* readable) {
    *readable = 0;
    if (handle == nullptr || handle->ptr == nullptr || handle->kind == SERAM_MEAS_NONE) {
        return nullptr;
    }
    *readable = handle->extra & 0xFFFFu;
    if (handle->kind == SERAM_MEAS_CALPAGE) {
        // Same place in the active page; both page images have the same size.
        return handle->ptr + seramActiveOffset.load(std::memory_order_relaxed);
    }
    return handle->ptr;
}

// A double cell read at `size` bytes (native order): see SeramMeasCell::f64.
void f64ToWidth(uint8_t* value, uint32_t size, const seramMeasHandle_t* handle) {
    double d = 0.0;
    uint32_t readable = 0;
    const uint8_t* cell = cellOf(handle, &readable);
    if (cell != nullptr && readable >= sizeof d) {
        std::memcpy(&d, cell, sizeof d);
    }
    if (size == 8) {
        std::memcpy(value, &d, 8);
    } else if (size == 4) {
        const auto f = static_cast<float>(d);
        std::memcpy(value, &f, 4);
    } else {
        int32_t i = 0;
        if (!std::isnan(d)) {
            const double r = d > 0 ? d + 0.5 : d - 0.5;
            i = r >= 2147483648.0 ? INT32_MAX : r <= -2147483649.0 ? INT32_MIN : static_cast<int32_t>(r);
        }
        const auto u = static_cast<uint32_t>(i);
        for (uint32_t b = 0; b < size; ++b) value[b] = static_cast<uint8_t>(u >> (8 * b));
        if constexpr (std::endian::native == std::endian::big) {
            std::reverse(value, value + size);
        }
    }
}

} // namespace

bool seramMeasRegisterSource(uint8_t source, const SeramMeasSource& producer) {
    Sources& s = sources();
    std::lock_guard<std::mutex> guard(s.lock);
    SeramMeasSource* slot = s.of(source);
    if (slot == nullptr) {
        return false;
    }
    *slot = producer.setup ? producer : SeramMeasSource{};
    return true;
}

void seramMeasSetupMeas(uint32_t address, uint16_t raster, seramMeasHandle_t* handle) {
    if (handle == nullptr) {
        return;
    }
    seramMeasClearHandle(handle);
    const uint32_t local = address & 0x00FFFFFFu;
    if (local >= kConversionPages) {
        setDummy(handle, address, SERAM_UNSERVED_CONVERSION);
        return;
    }
    const auto selector = static_cast<uint8_t>(local >> 18);
    if (selector == SERAM_SRC_XCPMR || selector == SERAM_SRC_CCPMR || selector == SERAM_SRC_CALC) {
        std::function<bool(uint32_t, uint16_t, SeramMeasCell*)> setup;
        {
            Sources& s = sources();
            std::lock_guard<std::mutex> guard(s.lock);
            setup = s.of(selector)->setup;
        }
        SeramMeasCell cell;
        if (!setup || !setup(address, raster, &cell) || cell.ptr == nullptr || cell.size == 0) {
            setDummy(handle, address, selector);
            return;
        }
        handle->ptr = static_cast<const uint8_t*>(cell.ptr);
        handle->kind = cell.f64 && selector == SERAM_SRC_CALC ? SERAM_MEAS_CALC_F64 : kindOfSource(selector);
        const uint32_t latency = selector == SERAM_SRC_CALC ? cell.latency : 0;
        handle->extra = (latency << 16) | cell.size;
        return;
    }
    const uint32_t span = seramMemSpan(local);
    if (span == 0) {
        setDummy(handle, address, SERAM_UNSERVED_MEMORY);
        return;
    }
    const uint8_t* p = seramMemPtr(local, 1);
    handle->ptr = p;
    handle->kind = local < sizeof(SeramImage) ? SERAM_MEAS_CALPAGE : SERAM_MEAS_MEMORY;
    handle->extra = std::min<uint32_t>(span, kMaxReadable);
}

namespace {

template <typename T> bool readWord(void* dest, const uint8_t* cell) {
    if (reinterpret_cast<uintptr_t>(cell) % alignof(T) != 0) return false;
    const T value =
        std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<uint8_t*>(cell))).load(std::memory_order_relaxed);
    std::memcpy(dest, &value, sizeof value);
    return true;
}

bool readWhole(void* dest, const uint8_t* cell, uint32_t n) {
    switch (n) {
    case 1:
        return readWord<uint8_t>(dest, cell);
    case 2:
        return readWord<uint16_t>(dest, cell);
    case 4:
        return readWord<uint32_t>(dest, cell);
    case 8:
        return readWord<uint64_t>(dest, cell);
    default:
        return false;
    }
}

} // namespace

void seramMeasCopyRaw(void* dest, uint32_t size, const seramMeasHandle_t* handle) {
    if (dest == nullptr) {
        return;
    }
    uint32_t readable = 0;
    const uint8_t* cell = cellOf(handle, &readable);
    const uint32_t n = cell != nullptr ? std::min(size, readable) : 0;
    // A channel's value is one aligned word that its task writes whole while others read it: it is
    // read whole as well. A longer range (a tool's read of memory) is copied as it stands.
    if (!readWhole(dest, cell, n) && n > 0) {
        std::memcpy(dest, cell, n);
    }
    std::memset(static_cast<uint8_t*>(dest) + n, 0, size - n);
}

void seramMeasCopy_bigEndian(void* dest, uint32_t size, const seramMeasHandle_t* handle) {
    if (dest == nullptr || (size != 1 && size != 2 && size != 4 && size != 8)) {
        return;
    }
    uint8_t value[8];
    if (handle != nullptr && handle->kind == SERAM_MEAS_CALC_F64) {
        f64ToWidth(value, size, handle);
    } else {
        seramMeasCopyRaw(value, size, handle);
    }
    if constexpr (std::endian::native == std::endian::little) {
        std::reverse(value, value + size);
    }
    std::memcpy(dest, value, size);
}

uint16_t seramMeasGetLatency(const seramMeasHandle_t* handle) {
    if (handle == nullptr || (handle->kind != SERAM_MEAS_CALC && handle->kind != SERAM_MEAS_CALC_F64)) {
        return 0;
    }
    return static_cast<uint16_t>(handle->extra >> 16);
}

void seramMeasFreeMeas(seramMeasHandle_t* handle) {
    if (handle == nullptr) {
        return;
    }
    const uint8_t source = sourceOfKind(handle->kind);
    if (source != 0 && handle->ptr != nullptr) {
        std::function<void(const void*)> release;
        {
            Sources& s = sources();
            std::lock_guard<std::mutex> guard(s.lock);
            release = s.of(source)->release;
        }
        if (release) {
            release(handle->ptr);
        }
    }
    seramMeasClearHandle(handle);
}

void seramMeasClearHandle(seramMeasHandle_t* handle) {
    if (handle != nullptr) {
        *handle = seramMeasHandle_t{nullptr, SERAM_MEAS_NONE, 0};
    }
}
