// Shared set-up of the lap counter, lap-trigger and lap-stack tests: this device is PID 16 in a
// temporary device root, its NV store in a folder of its own, the command queue without its task
// (tests take what the handlers send), cfg_system set by the test, every record as at start.
#pragma once

#include "testsupport.h"

#include "framework/appman.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "logging/app/meas_app.h"
#include "logging/app/sb_info.h"
#include "logging/app/sb_lapstack.h"
#include "logging/app/sblk_task.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace laptest {

inline constexpr uint16_t OWN_PID = 16;

// The NV store copies every element with an fsync; on tmpfs that costs nothing, so the store's
// folder goes there when the machine has one.
class NvFolder {
public:
    NvFolder() {
        std::string base = "/dev/shm";
        if (!std::filesystem::is_directory(base)) {
            const char* t = std::getenv("TMPDIR");
            base = t && *t ? t : "/tmp";
        }
        std::string tmpl = base + "/msdnv.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~NvFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline cfg_system_t systemConfig(uint16_t ltm, uint16_t fcm, uint8_t logging = 1) {
    cfg_system_t c{};
    c.loggingActive = logging;
    c.ltmPid = ltm;
    c.fcmPid = fcm;
    c.laptrigSlave = ltm != CFG_SYSTEM_PID_NONE && ltm != OWN_PID;
    return c;
}

// Everything queued by the handlers right now, in order.
inline std::vector<comint_msg> sent() {
    std::vector<comint_msg> out;
    comint_msg m;
    while (comint_receive(&m, NO_WAIT)) out.push_back(m);
    return out;
}

inline comint_msg message(uint16_t cmd, uint16_t src, const std::vector<uint8_t>& payload, uint32_t ctx = 0,
                          uint32_t rctx = 0) {
    comint_msg m;
    std::memset(&m, 0, sizeof m);
    ci_init(&m, cmd, src, OWN_PID, ctx, rctx, uint16_t(payload.size()));
    if (!payload.empty()) std::memcpy(m.data, payload.data(), payload.size());
    return m;
}

inline std::vector<uint8_t> lapMessage(uint32_t code, uint32_t timestamp, uint32_t laptime, uint16_t lap,
                                       uint16_t outing) {
    std::vector<uint8_t> p(16);
    ci_put32(p.data(), code);
    ci_put32(p.data() + 4, timestamp);
    ci_put32(p.data() + 8, laptime);
    ci_put16(p.data() + 12, lap);
    ci_put16(p.data() + 14, outing);
    return p;
}

// The lap stack as the status block copies it: (lap, minutes, seconds, hundredths, fuel) per entry.
inline std::vector<std::vector<int>> lapStack() {
    std::vector<uint8_t> buf(2 + 6 * LAPSTACK_SLOTS + 2);
    const size_t n = sb_lapstack_get(buf.data(), buf.size());
    std::vector<std::vector<int>> out;
    const int count = n >= 2 ? ci_get16(buf.data()) : 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = buf.data() + 2 + 6 * i;
        out.push_back({e[0], e[1], e[2], e[3], ci_get16(e + 4)});
    }
    return out;
}

class CounterTest : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        app_pid = OWN_PID;
        std::string error;
        ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
        comint_exit();
        ASSERT_TRUE(comint_queue_ini());
        std::memset(&seramCalPage(SERAM_PAGE_REFERENCE), 0, sizeof(SeramCalData));
        seramSetActivePage(SERAM_PAGE_REFERENCE);
        cfg_system = systemConfig(CFG_SYSTEM_PID_NONE, CFG_SYSTEM_PID_NONE);
        laptrigger_reset();
        sb_lapstack_forget();
        sb_static_status = 0;
        sb_SwOff = 0;
        LapOutFra_exit();
        meas_app_lap_connect();
        testsupport::drainSyslog();
    }
    void TearDown() override {
        LapOutFra_exit();
        comint_exit();
        // What is queued for NV goes into this test's store, none into the next one's.
        nvram_writeBehindEnd(10000);
        sb_lapstack_forget();
        nvdb_close();
        hostclock_setManual(false);
        testsupport::drainSyslog();
    }

    testsupport::TempDeviceRoot root;
    NvFolder nv;
};

} // namespace laptest
