// The gateway's delivery: records of one running list handed by gw_raster to the data callbacks
// of its subscribers (1 and 4 sharing the list), per record, against the bare loop that reads the
// same FIFO and calls one callback directly (ratio "vs_fifo_loop": what the gateway adds).
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/network/bc2_internal.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t SELF = 1;
constexpr uint16_t DEV = 3;
constexpr uint16_t DEPTH = 512;
constexpr int kBatches = 2000;

uint32_t gSum = 0;

uint32_t onData(uint32_t event, void* data, void*) {
    if (event == 0 && data) gSum += static_cast<const uint8_t*>(data)[7];
    return 1;
}

const callback_list kCallbacks = {
    {{nullptr, 0}, {onData, 100}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};

uint16_t sent(const comint_msg*) {
    return 1;
}
int up() {
    return 1;
}

// Served by hand: what the gateway queued, answered as the device would.
void serveQueue(dynkomm_fifo* fifo) {
    comint_msg m;
    while (comint_receive(&m, NO_WAIT)) {
        comint_msg a;
        if (ci_cmd(&m) == 0x0516) {
            ci_init(&a, 0x0517, DEV, SELF, 0, SELF, 4);
            ci_put32(a.data, 0);
            ci_serve_command(&a);
        } else if (ci_cmd(&m) == 0x0500) {
            ci_init(&a, 0x0501, DEV, SELF, 0x5E000001, ci_ctx(&m), 6);
            ci_put32(a.data, dynkomm_fifo_ident(fifo));
            ci_put16(a.data + 4, 0);
            ci_serve_command(&a);
        }
    }
}

// A queue-mode FIFO of 512 slots with one running list on it and `subscribers` sharing it.
dynkomm_fifo* runningList(int subscribers) {
    static bool once = [] {
        syslog_init(0);
        app_pid = SELF;
        routing_ini();
        comint_queue_ini();
        dynkomm_ini();
        msdcom_netops ops{};
        ops.comint_put_eth = sent;
        ops.comint_status = up;
        msdcom_netops_install(ops);
        routing_set_table_entries({ROUTE_ETH, 0x7F000003}, DEV, DEV);
        local_host.setBit(BC2_REC_CIMASK, DEV);
        local_host.setBit(BC2_REC_DKMASK, DEV);
        hosts_list[DEV].version.store(0x0204);
        return true;
    }();
    (void)once;
    gw_meas_exit();
    gw_meas_ini();
    dynkomm_fifo_params p;
    p.src_pid = DEV;
    p.dst_pid = SELF;
    p.depth = DEPTH;
    p.slot_size = 8;
    p.raster = 3;
    p.flags = DYNKOMM_FLAG_QUEUE;
    dynkomm_fifo* fifo = dynkomm_fifo_new(p);
    gw_connection* c = gw_connect(&kCallbacks);
    const uint32_t list[4] = {0xFFFFFFFC, 0x00012340, 0, 0};
    for (int i = 0; i < subscribers; ++i)
        gw_start_list(gw_setup_list(c, list, nullptr, 16, 3, DEV, 0, DYNKOMM_FLAG_QUEUE, 1, DEPTH, 8, 0));
    for (int i = 0; i < 3; ++i) {
        gw_meas_monitoring();
        serveQueue(fifo);
    }
    return fifo;
}

void fill(dynkomm_fifo* fifo) {
    while (uint8_t* slot = dynkomm_write(fifo)) {
        std::memset(slot, 0x11, 8);
        dynkomm_writedone(fifo);
    }
}

double bareLoopNsPerRecord(dynkomm_fifo* fifo) {
    double total = 0;
    for (int b = 0; b < kBatches; ++b) {
        fill(fifo);
        const auto t0 = Clock::now();
        while (uint8_t* r = dynkomm_read(fifo)) {
            onData(0, r, nullptr);
            dynkomm_readdone(fifo);
        }
        total += double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    }
    return total / (double(kBatches) * DEPTH);
}

void BM_GwRasterDelivery(benchmark::State& state) {
    const int subscribers = int(state.range(0));
    dynkomm_fifo* fifo = runningList(subscribers);
    for (auto _ : state) {
        double total = 0;
        uint64_t records = 0;
        for (int b = 0; b < kBatches; ++b) {
            fill(fifo);
            const uint32_t before = gSum;
            const auto t0 = Clock::now();
            gw_raster(3);
            total += double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
            records += (gSum - before) / (0x11u * uint32_t(subscribers));
        }
        if (records != uint64_t(kBatches) * DEPTH)
            state.SkipWithError("the list did not deliver every record");
        const double ns = total / double(records ? records : 1);
        const double bare = bareLoopNsPerRecord(fifo);
        state.counters["ns_per_record"] = ns;
        state.counters["fifo_loop_ns"] = bare;
        state.counters["vs_fifo_loop"] = ns / bare;
    }
    gw_meas_exit();
    dynkomm_fifo_release(fifo);
}
BENCHMARK(BM_GwRasterDelivery)->Arg(1)->Arg(4)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
