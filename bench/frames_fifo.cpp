// What the storage path costs per block before anything reaches a file. Each runs side by side with
// its baselines in alternating blocks timed by the thread's CPU time and reports the median of the
// blocks' ratios (bench_seconds.h).
// - BM_FrameRecode: 58 records of 70 bytes (a 10 ms block: slowly changing values and a few noisy
//   bytes) put into a frame, transposed and run-length coded, against memcpy of the same bytes
//   ("ratio_to_memcpy") and zlib level 1 through one deflate stream that is reset for every frame
//   ("ratio_to_zlib1"); "frame_ratio" and "zlib_ratio" are coded bytes per input byte. The coder
//   takes about a hundred times memcpy's time (90 to 110 times), and it is not a bottleneck:
//   "core_pct_200ch_1khz" is the share of a core it takes for the 200 channels at 1 kHz that
//   bench/process_cpu.py logs (495 bytes of values in four blocks, with their time stamps 511,000
//   bytes a second): about 0.1 %.
// - BM_FifoPutGet100Signals: one record of 100 signals (40 of 4, 30 of 2, 30 of 1 bytes) put into a
//   block FIFO and taken out again, against the same record through a plain memcpy ring
//   ("ratio_to_memcpy_ring"); "percent_of_tick" is put and get against the 1 ms base tick
//   (target < 1).
#include "bench_seconds.h"
#include "logging/fifo/meas_fifo_data.h"
#include "logging/fifo/meas_frame.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

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
    z_stream zs{};
    if (deflateInit(&zs, 1) != Z_OK) std::abort();
    uint32_t packed = 0;
    uLong zipped = 0;
    auto frame = [&] {
        for (uint32_t r = 0; r < count; ++r) MeasFrame_put(f, &in[r * size], size);
        uint32_t first = 0, last = 0, length = 0, used = 0, coded = 0;
        uint8_t* data = nullptr;
        MeasFrame_recode_for_V5_V6(f, size, &first, &last);
        MeasFrame_get(f, 1, &data, &length, &used, &coded);
        std::free(data);
        packed = coded;
    };
    auto memcopy = [&] {
        std::memcpy(copy.data(), in.data(), in.size());
        benchmark::ClobberMemory();
    };
    auto zlib = [&] {
        deflateReset(&zs);
        zs.next_in = const_cast<Bytef*>(in.data());
        zs.avail_in = uInt(in.size());
        zs.next_out = z.data();
        zs.avail_out = uInt(z.size());
        if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
        zipped = zs.total_out;
    };
    const double seconds = msdbench::SideBySide(state, frame, {{"memcpy", memcopy}, {"zlib1", zlib}});
    deflateEnd(&zs);
    MeasFrame_free(f);
    constexpr double kBytesPerSecond200 = 1000.0 * (495 + 4 * 4);
    state.counters["core_pct_200ch_1khz"] = seconds / double(in.size()) * kBytesPerSecond200 * 100.0;
    state.counters["frame_ratio"] = double(packed) / double(in.size());
    state.counters["zlib_ratio"] = double(zipped) / double(in.size());
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
    auto fifo = [&] {
        be32(rec.data(), ++ts);
        fifo_data_set_curr_ts(ts);
        fifo_data_put(0, rec.data(), size);
        fifo_data_get(0, out.data(), false, nullptr);
    };
    auto plain = [&] {
        std::memcpy(&ring[slot * size], rec.data(), size);
        std::memcpy(out.data(), &ring[slot * size], size);
        benchmark::ClobberMemory();
        slot = (slot + 1) % 2048;
    };
    const double seconds = msdbench::SideBySide(state, fifo, {{"memcpy_ring", plain}});
    fifo_data_release_all();
    state.counters["put_get_ns"] = seconds * 1e9;
    state.counters["percent_of_tick"] = seconds / 1e-3 * 100;
}

} // namespace

BENCHMARK(BM_FrameRecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FifoPutGet100Signals)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
