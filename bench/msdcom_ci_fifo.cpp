// The command interpreter and the data FIFOs:
// - CI messages from comint_put_cmd to their handler, through the command queue and r_Comint
//   (and on one task without the hand-over), against a plain memcpy of one 512-byte queue slot
//   (ratio "vs_memcpy512": how many such copies one message costs);
// - one FIFO write plus read of a slot, with the record copied in and out, against a memcpy of
//   the slot (ratio "vs_memcpy").
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> gHandled{0};
void countHandler(comint_msg*) {
    gHandled.fetch_add(1, std::memory_order_relaxed);
}
int channelUp() {
    return 1;
}

void setUp() {
    static const bool done = [] {
        syslog_init(0);
        app_pid = 1;
        routing_ini();
        msdcom_netops ops{};
        ops.comint_status = channelUp;
        msdcom_netops_install(ops);
        ci_register_handler(0x1500, countHandler);
        return true;
    }();
    (void)done;
}

double memcpyNs(size_t bytes, int rounds) {
    std::vector<uint8_t> a(bytes, 0x5A), b(bytes);
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        a[0] = uint8_t(i);
        std::memcpy(b.data(), a.data(), bytes);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / rounds;
}

comint_msg eventMessage(uint16_t payload) {
    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    ci_init(&m, 0x1500, 2, 1, 0, 0, payload);
    return m;
}

// Through the queue to r_Comint: the producer keeps at most half the queue in flight.
void BM_CiPutToHandler(benchmark::State& state) {
    setUp();
    comint_ini();
    const comint_msg m = eventMessage(uint16_t(state.range(0)));
    constexpr uint64_t kMessages = 200000;
    for (auto _ : state) {
        const uint64_t start = gHandled.load();
        const auto t0 = Clock::now();
        uint64_t sent = 0;
        while (sent < kMessages) {
            if (sent - (gHandled.load(std::memory_order_relaxed) - start) < COMINT_QUEUE_MSGS / 2 &&
                comint_put_cmd(&m, 1) == 1)
                ++sent;
            else
                std::this_thread::yield();
        }
        while (gHandled.load() - start < kMessages) std::this_thread::yield();
        const double ns =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) /
            double(kMessages);
        const double copy = memcpyNs(CI_SLOT_LEN, 1000000);
        state.counters["msgs_per_s"] = 1e9 / ns;
        state.counters["ns_per_msg"] = ns;
        state.counters["memcpy512_ns"] = copy;
        state.counters["vs_memcpy512"] = ns / copy;
    }
    comint_exit();
}
BENCHMARK(BM_CiPutToHandler)->Arg(0)->Arg(492)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same path on one task: queue in, receive, dispatch; no thread hand-over.
void BM_CiPutToHandlerOneTask(benchmark::State& state) {
    setUp();
    comint_queue_ini();
    const comint_msg m = eventMessage(uint16_t(state.range(0)));
    comint_msg slot;
    constexpr int kMessages = 200000;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kMessages; ++i) {
            comint_put_cmd(&m, 1);
            comint_receive(&slot, 0);
            ci_serve_command(&slot);
        }
        const double ns =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) /
            double(kMessages);
        const double copy = memcpyNs(CI_SLOT_LEN, 1000000);
        state.counters["msgs_per_s"] = 1e9 / ns;
        state.counters["ns_per_msg"] = ns;
        state.counters["vs_memcpy512"] = ns / copy;
    }
    comint_exit();
}
BENCHMARK(BM_CiPutToHandlerOneTask)->Arg(0)->Arg(492)->Iterations(3)->Unit(benchmark::kMillisecond);

// One record in and out of a queue-mode FIFO, copied as a writer and a reader do.
void BM_FifoWriteRead(benchmark::State& state) {
    const uint16_t slot = uint16_t(state.range(0));
    dynkomm_fifo_params p;
    p.depth = 64;
    p.slot_size = slot;
    p.flags = DYNKOMM_FLAG_QUEUE;
    dynkomm_fifo* f = dynkomm_fifo_new(p);
    std::vector<uint8_t> in(slot, 0x33), out(slot);
    constexpr int kRounds = 2000000;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            in[0] = uint8_t(i);
            uint8_t* w = dynkomm_write(f);
            std::memcpy(w, in.data(), slot);
            dynkomm_writedone(f);
            const uint8_t* r = dynkomm_read(f);
            std::memcpy(out.data(), r, slot);
            dynkomm_readdone(f);
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        const double ns =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / kRounds;
        const double copy = memcpyNs(slot, kRounds);
        state.counters["fifo_ns"] = ns;
        state.counters["memcpy_ns"] = copy;
        state.counters["vs_memcpy"] = ns / copy;
    }
    dynkomm_fifo_release(f);
}
BENCHMARK(BM_FifoWriteRead)->Arg(16)->Arg(64)->Arg(512)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
