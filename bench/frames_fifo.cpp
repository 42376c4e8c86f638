// What the storage path costs per block before anything reaches a file.
// - BM_FrameRecode: 58 records of 70 bytes (a 10 ms block: slowly changing values and a few noisy
//   bytes) put into a frame, transposed and run-length coded, against memcpy of the same bytes
//   ("vs_memcpy") and zlib's compress2 at level 1 ("vs_zlib1"); "frame_ratio" and "zlib_ratio" are
//   coded bytes per input byte.
// - BM_FifoPutGet100Signals: one record of 100 signals (40 of 4, 30 of 2, 30 of 1 bytes) put into a
//   block FIFO and taken out again, against the same record through a plain memcpy ring
//   ("vs_memcpy_ring"); "percent_of_tick" is put and get against the 1 ms base tick (target < 1).
#include "logging/meas_fifo_data.h"
#include "logging/meas_frame.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

double nowNs() {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

void be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

std::vector<uint8_t> blockRecords(uint32_t count, uint32_t size) {
    std::mt19937 rng(7);
    std::vector<uint8_t> out(count * size);
    for (uint32_t r = 0; r < count; ++r) {
        uint8_t* rec = &out[r * size];
        be32(rec, 5000000 + 100 * r);
        for (uint32_t b = 4; b < size; ++b) rec[b] = b % 7 == 0 ? uint8_t(rng()) : uint8_t(b + r / 16);
    }
    return out;
}

void BM_FrameRecode(benchmark::State& state) {
    constexpr uint32_t size = 70;
    MeasFrame* f = MeasFrame_alloc(64, 4096, size, 1);
    if (!f) std::abort();
    const uint32_t count = f->maxRecords;
    const std::vector<uint8_t> in = blockRecords(count, size);
    std::vector<uint8_t> copy(in.size()), z(compressBound(uLong(in.size())));
    double frame = 0, memcopy = 0, zlib = 0, packed = 0, zipped = 0;
    for (auto _ : state) {
        double t0 = nowNs();
        for (uint32_t r = 0; r < count; ++r) MeasFrame_put(f, &in[r * size], size);
        uint32_t first = 0, last = 0, length = 0, used = 0, coded = 0;
        uint8_t* data = nullptr;
        MeasFrame_recode_for_V5_V6(f, size, &first, &last);
        MeasFrame_get(f, 1, &data, &length, &used, &coded);
        frame += nowNs() - t0;
        std::free(data);
        packed += coded;
        t0 = nowNs();
        std::memcpy(copy.data(), in.data(), in.size());
        benchmark::ClobberMemory();
        memcopy += nowNs() - t0;
        uLongf zl = uLongf(z.size());
        t0 = nowNs();
        compress2(z.data(), &zl, in.data(), uLong(in.size()), 1);
        zlib += nowNs() - t0;
        zipped += double(zl);
    }
    MeasFrame_free(f);
    const double n = double(state.iterations());
    state.counters["frame_us"] = frame / n / 1e3;
    state.counters["vs_memcpy"] = frame / memcopy;
    state.counters["vs_zlib1"] = frame / zlib;
    state.counters["frame_ratio"] = packed / n / double(in.size());
    state.counters["zlib_ratio"] = zipped / n / double(in.size());
}

void BM_FifoPutGet100Signals(benchmark::State& state) {
    fifo_data_release_all();
    fifo_data_request_t r{};
    r.fifoNo = 0;
    r.signalCount = 100;
    for (int i = 0; i < 100; ++i) r.widths[i] = i < 40 ? 4 : i < 70 ? 2 : 1;
    r.raster = 0;
    r.factorA = r.factorB = 1;
    if (fifo_data_request(&r) != 0) std::abort();
    const uint32_t size = uint32_t(fifo_data_record_size(0));
    std::vector<uint8_t> rec(size), out(size), ring(size * 2048);
    fifo_data_time_resync(true);
    uint32_t ts = 1000, slot = 0;
    double fifo = 0, plain = 0;
    for (auto _ : state) {
        be32(rec.data(), ++ts);
        fifo_data_set_curr_ts(ts);
        double t0 = nowNs();
        fifo_data_put(0, rec.data(), size);
        fifo_data_get(0, out.data(), false, nullptr);
        fifo += nowNs() - t0;
        t0 = nowNs();
        std::memcpy(&ring[slot * size], rec.data(), size);
        std::memcpy(out.data(), &ring[slot * size], size);
        benchmark::ClobberMemory();
        plain += nowNs() - t0;
        slot = (slot + 1) % 2048;
    }
    fifo_data_release_all();
    const double n = double(state.iterations());
    state.counters["put_get_ns"] = fifo / n;
    state.counters["vs_memcpy_ring"] = fifo / plain;
    state.counters["percent_of_tick"] = fifo / n / 1e6 * 100;
}

} // namespace

BENCHMARK(BM_FrameRecode)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FifoPutGet100Signals)->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK_MAIN();
