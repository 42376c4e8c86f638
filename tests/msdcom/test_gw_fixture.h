// Set-up of the gateway tests: this device is PID 5; device PID 3 is reached over a (fake) CI
// link, and the test plays that device from the byte layouts of its requests and answers. The
// gateway's periodic work runs by hand (tick) or from the raster tasks on the hand-driven clock.
#pragma once

#include "ci_fixture.h"

#include "msdcom/ci/dynkomm.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/network/bc2_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace gwtest {

inline constexpr uint16_t SELF = 5;
inline constexpr uint16_t DEV = 3;

// What the consumer's callbacks heard, per pair.
struct Heard {
    uint32_t pair;
    uint32_t event;
    void* data;
    void* user;
    std::vector<uint8_t> bytes; // for data event 0: the record
};

struct Consumer {
    std::mutex m;
    std::vector<Heard> heard;
    uint32_t consume = 1; // what the data callback returns for a record
    uint16_t recordBytes = 8;
    bool startByName = false; // start event 0 carries a name answer (kept as bytes)

    std::vector<Heard> events(uint32_t pair) {
        std::lock_guard<std::mutex> g(m);
        std::vector<Heard> out;
        for (const Heard& h : heard)
            if (h.pair == pair) out.push_back(h);
        return out;
    }
    int count(uint32_t pair, uint32_t event) {
        int n = 0;
        for (const Heard& h : events(pair)) n += h.event == event;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m);
        heard.clear();
    }
};

inline Consumer* gConsumer = nullptr;

template <uint32_t Pair> uint32_t record(uint32_t event, void* data, void* user) {
    Consumer* c = gConsumer;
    std::lock_guard<std::mutex> g(c->m);
    Heard h{Pair, event, data, user, {}};
    if (Pair == GW_CB_DATA && event == GW_EVT_OK && data) {
        const auto* p = static_cast<const uint8_t*>(data);
        h.bytes.assign(p, p + c->recordBytes);
    }
    if (Pair == GW_CB_START && event == GW_EVT_OK && data) {
        // The data lives only as long as the call: the latency, or a name answer's count and
        // signal records, are copied.
        const auto* p = static_cast<const uint8_t*>(data);
        h.bytes.assign(p, p + (c->startByName ? 4 + 20 * std::min<uint32_t>(ci_get32(p), 23) : 2));
    }
    c->heard.push_back(h);
    return Pair == GW_CB_DATA ? c->consume : 0;
}

inline const callback_list kCallbacks = {{
    {nullptr, 0},
    {record<GW_CB_DATA>, 100},
    {record<GW_CB_STOP>, 0},
    {record<GW_CB_START>, 0},
    {record<GW_CB_SPEED>, 0},
    {record<GW_CB_TIMEOUT>, 0},
}};

// A single value as the display subscribes it.
inline const uint32_t kSingle[4] = {0xFFFFFFFC, 0x00012340, 0, 0};

class GwTest : public citest::CiTest {
protected:
    void SetUp() override {
        CiTest::SetUp();
        app_pid = SELF;
        gConsumer = &consumer;
        ASSERT_TRUE(dynkomm_ini());
        routing_set_table_entries({ROUTE_ETH, 0x7F000003}, DEV, DEV);
        link(DEV, true);
        gw_meas_exit();
        ASSERT_TRUE(gw_meas_ini());
        conn = gw_connect(&kCallbacks);
        ASSERT_NE(conn, nullptr);
        tick(); // the device answers its first state poll: online
    }
    void TearDown() override {
        gw_meas_exit();
        for (dynkomm_fifo* f : fifos) dynkomm_fifo_release(f);
        link(DEV, false);
        dynkomm_exit();
        gConsumer = nullptr;
        CiTest::TearDown();
    }

    static void link(uint16_t pid, bool up, uint16_t version = 0x0204) {
        if (up) {
            local_host.setBit(BC2_REC_CIMASK, pid);
            local_host.setBit(BC2_REC_DKMASK, pid);
        } else {
            local_host.clearBit(BC2_REC_CIMASK, pid);
            local_host.clearBit(BC2_REC_DKMASK, pid);
        }
        hosts_list[pid].version.store(up ? version : 0);
    }

    // Everything the device was sent so far (and forgets it).
    std::vector<comint_msg> takeSent() {
        citest::pump();
        std::lock_guard<std::mutex> g(citest::fakeNet().lock);
        std::vector<comint_msg> out;
        out.swap(citest::fakeNet().eth);
        return out;
    }
    static std::vector<comint_msg> only(const std::vector<comint_msg>& msgs, uint16_t cmd) {
        std::vector<comint_msg> out;
        for (const comint_msg& m : msgs)
            if (ci_cmd(&m) == cmd) out.push_back(m);
        return out;
    }

    // The gateway's 10 ms work, by hand, then whatever was queued is served or sent.
    void tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            gw_raster(3);
            gw_meas_monitoring();
            gw_request_timeout();
            pumpAndPlay();
        }
    }

    // The device: answers state polls with `reportedState` (negative: silent) and records what
    // else it got.
    int reportedState = 0;
    int polls = 0; // state polls the device got
    std::vector<comint_msg> got;
    void pumpAndPlay() {
        for (const comint_msg& m : takeSent()) {
            if (ci_cmd(&m) == 0x0516 && ci_dst(&m) == DEV) ++polls;
            if (ci_cmd(&m) == 0x0516 && reportedState >= 0) {
                comint_msg a = citest::makeMsg(0x0517, ci_dst(&m), SELF, ci_rctx(&m), ci_ctx(&m), 4);
                ci_put32(a.data, uint32_t(reportedState));
                ci_serve_command(&a);
            } else if (ci_cmd(&m) != 0x0516) {
                got.push_back(m);
            }
        }
        citest::pump();
    }
    // The device's state changes now: it answers so at once (and to every later poll).
    void report(int state) {
        reportedState = state;
        if (state < 0) return;
        comint_msg a = citest::makeMsg(0x0517, DEV, SELF, 0, SELF, 4);
        ci_put32(a.data, uint32_t(state));
        ci_serve_command(&a);
    }
    std::vector<comint_msg> takeGot(uint16_t cmd) {
        std::vector<comint_msg> out, rest;
        for (const comint_msg& m : got) (ci_cmd(&m) == cmd ? out : rest).push_back(m);
        got.swap(rest);
        return out;
    }

    // A receiving FIFO on this device fed by the device, as its path open would make it.
    dynkomm_fifo* makeFifo(uint16_t slot = 8, uint16_t depth = 4, uint16_t flags = 0) {
        dynkomm_fifo_params p;
        p.src_pid = DEV;
        p.dst_pid = SELF;
        p.depth = depth;
        p.slot_size = slot;
        p.raster = 3;
        p.flags = flags;
        dynkomm_fifo* f = dynkomm_fifo_new(p);
        fifos.push_back(f);
        return f;
    }
    // Answers a 0x0500 with 0x0501: the list runs on `fifo` under `serverId`.
    void accept(const comint_msg& request, dynkomm_fifo* fifo, uint32_t serverId,
                const std::vector<uint16_t>& latencies = {7}) {
        comint_msg a = citest::makeMsg(0x0501, DEV, SELF, serverId, ci_ctx(&request),
                                       uint16_t(4 + 2 * latencies.size()));
        ci_put32(a.data, fifo ? dynkomm_fifo_ident(fifo) : 0);
        for (size_t i = 0; i < latencies.size(); ++i) ci_put16(a.data + 4 + 2 * i, latencies[i]);
        ci_serve_command(&a);
    }
    // One record into the FIFO: time stamp and a 4-byte value.
    static void feed(dynkomm_fifo* fifo, uint32_t stamp, uint32_t value) {
        uint8_t* slot = dynkomm_write(fifo);
        ASSERT_NE(slot, nullptr);
        ci_put32(slot, stamp);
        ci_put32(slot + 4, value);
        dynkomm_writedone(fifo);
    }

    // Sets up and starts the single value, lets the device come online and answers the request.
    uint32_t running(dynkomm_fifo** fifo, uint32_t serverId = 0x5E000001, uint16_t stoppable = 0,
                     uint32_t timeout = 5, uint16_t flags = 0) {
        const uint32_t sub =
            gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, stoppable, flags, 1, 4, 8, timeout);
        EXPECT_NE(sub, 0u);
        gw_start_list(sub);
        tick();
        const auto req = takeGot(0x0500);
        EXPECT_EQ(req.size(), 1u);
        if (req.empty()) return sub;
        *fifo = makeFifo(8, 4, flags & DYNKOMM_FLAG_QUEUE);
        accept(req[0], *fifo, serverId);
        return sub;
    }

    std::vector<uint16_t> debugout(uint16_t pid = DEV) {
        std::vector<uint16_t> out(GW_DEBUGOUT_WORDS);
        gw_debugoutPID(pid, out.data());
        return out;
    }
    uint16_t listsIn(uint32_t state, uint16_t pid = DEV) { return debugout(pid)[7 + state]; }

    Consumer consumer;
    gw_connection* conn = nullptr;
    std::vector<dynkomm_fifo*> fifos;
};

} // namespace gwtest
