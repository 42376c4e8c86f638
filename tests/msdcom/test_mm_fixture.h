// Set-up of the measurement-manager tests: the command-interpreter fixture (this device is PID 1,
// answers land in the queue or on the fake network), a calibration window with its defaults, the
// name table, the FIFO handle table and a fresh measurement manager. Helpers build the requests
// byte by byte as a peer sends them.
#pragma once

#include "ci_fixture.h"
#include "framework/time_util.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/measman/meas_man.h"
#include "testsupport.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace mmtest {

using citest::OWN_PID;

inline void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
inline void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, uint16_t(x >> 16));
    put16(v, uint16_t(x));
}
inline uint16_t get16(const uint8_t* p) {
    return ci_get16(p);
}
inline uint32_t get32(const uint8_t* p) {
    return ci_get32(p);
}
inline float getFloat(const uint8_t* p) {
    const uint32_t bits = ci_get32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline comint_msg message(uint16_t cmd, uint16_t src, uint32_t ctx, uint32_t rctx,
                          const std::vector<uint8_t>& payload, uint16_t dst = OWN_PID) {
    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    ci_init(&m, cmd, src, dst, ctx, rctx, uint16_t(payload.size()));
    if (!payload.empty()) std::memcpy(m.data, payload.data(), payload.size());
    return m;
}

// 0x0500 payload: raster, divisor, record size, list length, depth, flags, then the list words.
inline std::vector<uint8_t> addressPayload(uint16_t raster, uint16_t divisor, uint16_t recordSize,
                                           uint16_t depth, uint16_t flags,
                                           const std::vector<uint32_t>& words) {
    std::vector<uint8_t> p;
    put16(p, raster);
    put16(p, divisor);
    put16(p, recordSize);
    put16(p, uint16_t(words.size() * 4));
    put16(p, depth);
    put16(p, flags);
    for (uint32_t w : words) put32(p, w);
    return p;
}

// 0x0510 payload: raster, divisor, name-list length, name count, depth, flags, then the names.
inline std::vector<uint8_t> namePayload(uint16_t raster, uint16_t divisor, uint16_t depth, uint16_t flags,
                                        const std::vector<std::string>& names) {
    std::vector<uint8_t> list;
    for (const std::string& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    std::vector<uint8_t> p;
    put16(p, raster);
    put16(p, divisor);
    put16(p, uint16_t(list.size()));
    put16(p, uint16_t(names.size()));
    put16(p, depth);
    put16(p, flags);
    p.insert(p.end(), list.begin(), list.end());
    return p;
}

// The measurement address of a variable of the name table.
inline uint32_t addressOf(const char* name, uint32_t element = 0) {
    const meascalinfo_t* info = meascalinfo_getInfo(name);
    EXPECT_NE(info, nullptr) << name;
    return info ? (info->pAdr + getSizeofType(info->dType) * element) & 0xFFFFFF : 0;
}

class MeasManTest : public citest::CiTest {
protected:
    void SetUp() override {
        citest::CiTest::SetUp();
        seramInit();
        ASSERT_EQ(meascalinfo_init(), 1);
        ASSERT_TRUE(dynkomm_ini());
        ASSERT_TRUE(meas_man_ini());
        meas_man_virtChan_registered = 0;
        meas_man_CanIO_initialized = 0;
        // PID 7 is a peer behind the Ethernet links (the fake network).
        ASSERT_EQ(routing_set_table_entries(routing_entry{ROUTE_ETH, 0x7F000007}, 7, 7), 1);
    }
    void TearDown() override {
        meas_man_exit();
        time_setSyncState(3);
        dynkomm_exit();
        citest::CiTest::TearDown();
    }

    // Serves the request and everything it queued for this device; returns what was queued for
    // others (they went to the fake network) since the last call.
    std::vector<comint_msg> serve(comint_msg m) {
        ci_serve_command(&m);
        citest::pump();
        return takeSent();
    }
    std::vector<comint_msg> takeSent() {
        std::vector<comint_msg> all = citest::sentEth();
        std::vector<comint_msg> fresh(all.begin() + long(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    // Serves a request from this device itself; returns its answers (they stay in this device).
    std::vector<comint_msg> serveLocal(comint_msg m) {
        ci_serve_command(&m);
        std::vector<comint_msg> answers;
        comint_msg q;
        while (comint_receive(&q, NO_WAIT)) {
            const uint16_t cmd = ci_cmd(&q);
            if (cmd == 0x0107)
                ci_serve_command(&q); // the path answer inside this device
            else
                answers.push_back(q);
        }
        return answers;
    }

    // A local address list on raster `raster`; returns the 0x0501 answer.
    comint_msg createLocal(uint16_t raster, uint16_t divisor, uint16_t recordSize, uint16_t depth,
                           uint16_t flags, const std::vector<uint32_t>& words, uint32_t ctx = 0x51) {
        const auto answers = serveLocal(message(
            0x0500, OWN_PID, ctx, 0, addressPayload(raster, divisor, recordSize, depth, flags, words)));
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? comint_msg{} : answers.front();
    }

    // A local name list under a fresh FIFO handle; returns the 0x0511 answer.
    comint_msg createLocalByName(uint16_t raster, uint16_t divisor, uint16_t depth, uint16_t flags,
                                 const std::vector<std::string>& names, uint32_t* fifoHandle = nullptr) {
        const uint32_t handle = dynkomm_fifo_reserve(OWN_PID);
        if (fifoHandle) *fifoHandle = handle;
        const auto answers = serveLocal(
            message(0x0510, OWN_PID, 0x600D, handle, namePayload(raster, divisor, depth, flags, names)));
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? comint_msg{} : answers.front();
    }

    static dynkomm_fifo* fifoOf(const comint_msg& answer0501) {
        return dynkomm_fifo_byIdent(get32(answer0501.data));
    }
    static dynkomm_fifo* fifoOfHandle(uint32_t handle) {
        dynkomm_fifo* f = nullptr;
        dynkomm_get_fifo(handle, &f);
        return f;
    }
    // Every record now in the FIFO, oldest first.
    static std::vector<std::vector<uint8_t>> drain(dynkomm_fifo* f) {
        std::vector<std::vector<uint8_t>> out;
        while (const uint8_t* r = dynkomm_read(f)) {
            out.emplace_back(r, r + f->slot_size);
            dynkomm_readdone(f);
        }
        return out;
    }

    testsupport::TempDeviceRoot root_;
    size_t seen_ = 0;
};

} // namespace mmtest
