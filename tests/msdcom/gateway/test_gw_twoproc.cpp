// Two devices on the vehicle network of a private network namespace: this test process is
// device 0 (PID 16 at 127.0.0.1) with its network stack and gateway started as the application
// starts them, and the real application runs as device 1 (PID 17 at 127.0.0.2). A consumer here
// subscribes device 1's application index at the 20 ms raster, gets its records, hears event 8
// when device 1 is killed and gets the records back when it runs again, with no new subscription.
#include "app_process.h"
#include "test_net_support.h"
#include "testsupport.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "measdata/meascalinfo.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/net_init.h"
#include "platform/rtos/basetick.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <vector>

using testsupport::AppProcess;

namespace {

constexpr uint16_t DEV1 = 17;

struct Seen {
    std::mutex m;
    std::vector<std::vector<uint8_t>> records;
    int offline = 0; // data event 8
    int lost = 0;    // start event 11
    int started = 0; // start event 0
};
Seen* gSeen = nullptr;

uint32_t onData(uint32_t event, void* data, void*) {
    std::lock_guard<std::mutex> g(gSeen->m);
    if (event == GW_EVT_OK && data) {
        const auto* p = static_cast<const uint8_t*>(data);
        gSeen->records.emplace_back(p, p + 8);
        return 1;
    }
    if (event == GW_EVT_OFFLINE) ++gSeen->offline;
    return 0;
}

uint32_t onStart(uint32_t event, void*, void*) {
    std::lock_guard<std::mutex> g(gSeen->m);
    if (event == GW_EVT_OK) ++gSeen->started;
    if (event == GW_EVT_LOST) ++gSeen->lost;
    return 0;
}

const callback_list kCallbacks = {
    {{nullptr, 0}, {onData, 100}, {nullptr, 0}, {onStart, 0}, {nullptr, 0}, {nullptr, 0}}};

size_t recordCount() {
    std::lock_guard<std::mutex> g(gSeen->m);
    return gSeen->records.size();
}

// The start-up of device 0's network side, as the application does it.
class Device0 {
public:
    bool start(std::string* why) {
        std::string error;
        if (!appman_init(0, &error)) {
            *why = error;
            return false;
        }
        if (!meascalinfo_init()) {
            *why = "name table";
            return false;
        }
        routing_ini();
        if (!dynkomm_ini() || !comint_ini() || !net_ini() || !gw_meas_ini()) {
            *why = "network stack";
            return false;
        }
        basetick_start();
        raster_init();
        raster_start();
        BC2_init();
        up_ = true;
        return true;
    }
    ~Device0() {
        if (!up_) return;
        gw_meas_exit();
        raster_stop();
        BC2_stop();
        comint_exit();
        bc2_release();
        dynkomm_exit();
        msdcom_netops_reset();
        basetick_stop();
    }

private:
    bool up_ = false;
    testsupport::TempDeviceRoot root_;
};

} // namespace

TEST(GwTwoProcesses, RecordsOfTheOtherProcessSurviveItsRestartWithoutNewSubscription) {
    nettest::NetNamespace ns;
    if (!ns.ok()) GTEST_SKIP() << "needs a private network namespace: " << ns.reason();
    struct stat st {};
    ASSERT_EQ(stat(testsupport::appExecutable().c_str(), &st), 0)
        << "the application is not built: " << testsupport::appExecutable();
    Seen seen;
    gSeen = &seen;

    testsupport::TempDir root1;
    auto dev1 = std::make_unique<AppProcess>(root1.path(), std::vector<std::string>{"1"});
    ASSERT_TRUE(dev1->waitForShell()) << dev1->stderrText();

    Device0 dev0;
    std::string why;
    ASSERT_TRUE(dev0.start(&why)) << why;
    ASSERT_TRUE(nettest::waitUntil([] { return BC2_connected(DEV1); }, 8000)) << dev1->logText();

    const meascalinfo_t* index = meascalinfo_getInfo("RtpIndex");
    ASSERT_NE(index, nullptr);
    const uint32_t list[4] = {0xFFFFFFFC, index->pAdr, 0, 0};
    gw_connection* conn = gw_connect(&kCallbacks);
    const uint32_t sub = gw_setup_list(conn, list, nullptr, sizeof(list), 4, DEV1, 0, 0, 1, 4, 8, 5);
    ASSERT_NE(sub, 0u);
    gw_start_list(sub);

    ASSERT_TRUE(nettest::waitUntil([] { return gw_pid_offline(DEV1) == 0; }, 10000))
        << "device 1 answers no state poll (0x0516)\n"
        << dev1->logText();
    ASSERT_TRUE(nettest::waitUntil([] { return recordCount() >= 10; }, 10000)) << dev1->logText();
    {
        std::lock_guard<std::mutex> g(seen.m);
        uint32_t last = 0;
        for (size_t i = 0; i < seen.records.size(); ++i) {
            const auto& r = seen.records[i];
            EXPECT_EQ(ci_get32(r.data() + 4), 1u) << "device 1's application index";
            const uint32_t stamp = ci_get32(r.data());
            if (i > 0) {
                // Whole 20 ms steps of 100 µs, give or take how late the host ran the tick the
                // stamp was taken in (a loaded or sanitized build runs late by a few ms).
                const int32_t step = int32_t(stamp - last);
                const int32_t steps = (step + 100) / 200;
                EXPECT_GE(steps, 1) << step;
                EXPECT_LE(std::abs(step - 200 * steps), 50) << step;
            }
            last = stamp;
        }
        EXPECT_EQ(seen.started, 1);
    }

    // Device 1 is killed: the consumer hears that its device went offline.
    dev1->signal(SIGKILL);
    dev1->waitExit();
    ASSERT_TRUE(nettest::waitUntil(
        [&] {
            std::lock_guard<std::mutex> g(seen.m);
            return seen.offline >= 1;
        },
        6000));
    EXPECT_GE(seen.lost, 1);

    // It runs again: the same subscription brings the records back.
    const size_t before = recordCount();
    dev1 = std::make_unique<AppProcess>(root1.path(), std::vector<std::string>{"1"});
    ASSERT_TRUE(dev1->waitForShell()) << dev1->stderrText();
    EXPECT_TRUE(nettest::waitUntil([&] { return recordCount() >= before + 10; }, 10000)) << dev1->logText();
    {
        std::lock_guard<std::mutex> g(seen.m);
        EXPECT_EQ(seen.started, 2);
    }

    gw_kill_list(sub);
    dev1->signal(SIGTERM);
    EXPECT_EQ(dev1->waitExit(), 0);
    gSeen = nullptr;
}
