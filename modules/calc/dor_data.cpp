#include "calc/dor_data.h"

#include "framework/board_io.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "measdata/diagservice.h"
#include "measdata/seram.h"

#include <array>
#include <atomic>
#include <cstring>

namespace {

struct Glue {
    std::atomic<uint8_t> laptrig1ms{0}; // written by the 1 ms task, read by the 10 ms task
    std::atomic<uint8_t> pinAllow{0};
    uint8_t init = 1;
    uint8_t prevAnnotationWrite = 0, prevCarIdWrite = 0;
    // A write the NV store's queue refused, queued again every 100 ms until it is taken.
    bool annotationDue = false, carIdDue = false;
    uint8_t ticks = 0;
};

Glue& glue() {
    static Glue g;
    return g;
}

template <typename T> void store(T& cell, T value) {
    std::atomic_ref<T>(cell).store(value, std::memory_order_relaxed);
}

template <typename T> T load(T& cell) {
    return std::atomic_ref<T>(cell).load(std::memory_order_relaxed);
}

// An NV record, rewritten from the calibration value when missing, handed to `set` for its
// signal-page field. The rewrite is queued for the NV store's task; false when the queue refused it.
template <size_t N, typename Set>
bool restore(uint32_t id, const std::array<char, N>& calibration, const char* message, const char* what,
             Set set) {
    std::array<char, N> value{};
    bool queued = true;
    if (nvram_dbs_read(id, 0, value.data(), N) < int(N)) {
        syslogx(LOG_PRIO_WARNING, "%s", message);
        queued = nvram_dbs_writeLater(id, 0, calibration.data(), N, what) != 0;
        value = calibration;
    }
    set(value);
    return queued;
}

constexpr const char* kAnnotation = "the ECU annotation";
constexpr const char* kCarId = "the car id";

} // namespace

void dor_data_init() {
    Glue& g = glue();
    g.init = 0;
    const SeramCalData& cal = seramCal();
    g.annotationDue =
        !restore(NV_REC_ANNOTATION, cal.ECU_ANNOTATION,
                 "dor_data_init(): no valid ECU_ANNOTATION in nvram, initializing", kAnnotation,
                 [](const auto& value) { diagService_SetAnnotation(value.data(), value.size()); });
    g.carIdDue =
        !restore(NV_REC_CARID, cal.CARID_DOR, "dor_data_init(): no valid CARID_DOR in nvram, initializing",
                 kCarId, [](const auto& value) { diagService_SetCarId(value.data(), value.size()); });
    // Read from the calibration image itself, most significant byte first.
    const auto& ip = seramCalPage(SERAM_PAGE_REFERENCE).DEFAULT_GATEWAY_DEVICE_IP;
    const uint32_t gateway = uint32_t(ip[0]) << 24 | uint32_t(ip[1]) << 16 | uint32_t(ip[2]) << 8 | ip[3];
    if (gateway != 0) setDefaultGateway(gateway);
}

void dor_data_100ms() {
    Glue& g = glue();
    if (g.init) dor_data_init(); // the start-up made it already, unless a test did not
    g.pinAllow.store(1);
    const SeramCalData& cal = seramCal();
    SeramSigPage& sig = seramSig();
    // Write requests act on their change to 1 only.
    const uint8_t annotationWrite = cal.ECU_ANNOTATION_WRITE, carIdWrite = cal.CARID_DOR_WRITE;
    const bool annotationAsked = g.prevAnnotationWrite == 0 && annotationWrite == 1;
    if (annotationAsked || g.annotationDue)
        g.annotationDue = nvram_dbs_writeLater(NV_REC_ANNOTATION, 0, cal.ECU_ANNOTATION.data(),
                                               cal.ECU_ANNOTATION.size(), kAnnotation) == 0;
    if (annotationAsked) diagService_SetAnnotation(cal.ECU_ANNOTATION.data(), cal.ECU_ANNOTATION.size());
    const bool carIdAsked = g.prevCarIdWrite == 0 && carIdWrite == 1;
    if (carIdAsked || g.carIdDue)
        g.carIdDue =
            nvram_dbs_writeLater(NV_REC_CARID, 0, cal.CARID_DOR.data(), cal.CARID_DOR.size(), kCarId) == 0;
    if (carIdAsked) diagService_SetCarId(cal.CARID_DOR.data(), cal.CARID_DOR.size());
    g.prevAnnotationWrite = annotationWrite;
    g.prevCarIdWrite = carIdWrite;

    store(sig.simu8_1, cal.SIMU8_1);
    store(sig.simu8_2, cal.SIMU8_2);
    store(sig.simu8_3, cal.SIMU8_3);
    store(sig.simu8_4, cal.SIMU8_4);
    store(sig.simu8_5, cal.SIMU8_5);
    store(sig.simu16_1, cal.SIMU16_1);
    store(sig.simu16_2, cal.SIMU16_2);
    store(sig.simu16_3, cal.SIMU16_3);
    store(sig.simu16_4, cal.SIMU16_4);
    store(sig.simu16_5, cal.SIMU16_5);

    timeserv_time_t now{};
    timeserv_readSystemTime(&now);
    dor_data_setTime(now);

    if (++g.ticks >= 10) {
        g.ticks = 0;
        const uint16_t on = load(sig.time_on);
        if (on < 65530) store(sig.time_on, uint16_t(on + 1));
    }
}

void dor_data_setTime(const timeserv_time_t& now) {
    SeramSigPage& sig = seramSig();
    const uint8_t hour = uint8_t(now.hour), minute = uint8_t(now.minute), second = uint8_t(now.second);
    store(sig.time_year, uint8_t(now.year + 48)); // the year - 2000 for the years 2000 to 2255
    store(sig.time_mon, uint8_t(now.month));
    store(sig.time_day, uint8_t(now.day));
    store(sig.time_hour, hour);
    store(sig.time_min, minute);
    store(sig.time_sec, second);
    store(sig.time_msec, now.millisecond);
    store(sig.time_hhmmss, uint32_t(hour) * 3600u + uint32_t(minute) * 60u + second);
}

void dor_data_1ms() {
    Glue& g = glue();
    if (g.pinAllow.load() == 0) return;
    const uint8_t pin = uint8_t(digital_ioIn(0));
    const uint8_t published = load(seramSig().B_Laptriggerpin);
    // A pulse of 1 ms is kept until the 10 ms copy has published it.
    if (pin != 0 && published == 0)
        g.laptrig1ms.store(1);
    else if (pin == 0 && published != 0)
        g.laptrig1ms.store(0);
}

void dor_data_10ms() {
    store(seramSig().B_Laptriggerpin, glue().laptrig1ms.load());
}

void dor_ftest_100ms() {}

void dor_data_reset() {
    Glue& g = glue();
    g.laptrig1ms = 0;
    g.pinAllow = 0;
    g.init = 1;
    g.prevAnnotationWrite = g.prevCarIdWrite = 0;
    g.ticks = 0;
}
