// The lap-trigger exchange: the lap message as it leaves, the receive road on every device, the
// counter question of a late device, the status reply's limit, short messages and the lap
// function's requests.
#include "lapfixture.h"

#include "framework/time_util.h"
#include "laptiming/laptrigger_internal.h"

#include <cmath>

using namespace laptest;
using testsupport::countContaining;
using testsupport::drainSyslog;

namespace {

std::vector<uint8_t> wire(const comint_msg& m) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&m);
    return std::vector<uint8_t>(p, p + ci_wire_len(&m));
}

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

void serve(uint16_t cmd, uint16_t src, const std::vector<uint8_t>& payload, uint32_t ctx = 0,
           uint32_t rctx = 0) {
    comint_msg m = message(cmd, src, payload, ctx, rctx);
    ci_serve_command(&m);
}

std::vector<int> counters() {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    return {s.lap, s.outing, s.fragment, int(s.valid)};
}

} // namespace

class LapTrigger : public CounterTest {
protected:
    void SetUp() override {
        CounterTest::SetUp();
        laptrigger_ini();
    }
};

TEST_F(LapTrigger, GoldenLapMessagesAndLapTimes) {
    hostclock_setManual(true);
    const uint32_t t = time_getTimestamp();
    laptrigger_event(5, 2, 83.456f);
    laptrigger_update(6, 2, 0.0f);
    const auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    char ts[9];
    std::snprintf(ts, sizeof ts, "%08X", unsigned(t));
    EXPECT_EQ(wire(out[0]), hex("0000 0010 0010 FFFE 00000000 00000000 1200 0000  FFFFFFFF" +
                                std::string(ts) + "0000209A 0005 0002"));
    EXPECT_EQ(wire(out[1]), hex("0000 0010 0010 FFFE 00000000 00000000 1200 0000  FFFFFFFD" +
                                std::string(ts) + "00000000 0006 0002"));

    const struct {
        float seconds;
        uint32_t hundredths;
    } times[] = {{83.456f, 8346}, {0.125f, 13}, {0.0f, 0},      {-1.0f, 0},
                 {-0.004f, 0},    {NAN, 0},     {600.0f, 60000}};
    for (const auto& c : times) EXPECT_EQ(laptrigger_laptime(c.seconds), c.hundredths) << c.seconds;

    // The lap function's requests go to every device with an empty payload.
    const struct {
        int channel;
        uint16_t cmd;
    } sends[] = {{0, 0x1205}, {1, 0x1206}, {2, 0x1207}, {3, 0x1208}, {6, 0x120B}};
    for (const auto& c : sends) {
        lapfunc_ctrl_Send(c.channel);
        const auto m = sent();
        ASSERT_EQ(m.size(), 1u);
        char head[64];
        std::snprintf(head, sizeof head, "0000 0000 0010 FFFE 00000000 00000000 %04X 0000", unsigned(c.cmd));
        EXPECT_EQ(wire(m[0]), hex(head));
    }
    lapfunc_ctrl_Send(4);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(countContaining(drainSyslog(), "lapfunc_ctrl_Send(): unknown channel (4)"), 1);
}

TEST_F(LapTrigger, EveryDeviceFollowsTheMastersLapEventsOnly) {
    cfg_system = systemConfig(42, CFG_SYSTEM_PID_NONE);
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_initLapOutCnt(4, 2);
    drainSyslog();

    serve(0x1200, 42, lapMessage(LAPTRIGGER_EVENT, 0xABCD0001, 8346, 5, 2));
    auto log = drainSyslog();
    EXPECT_EQ(
        countContaining(log, "Received Laptrigger Event. Outing 2, Lap 5, Laptime 83,46, fuelcons  0.00"), 1);
    EXPECT_EQ(counters(), (std::vector<int>{5, 2, 1, 1}));
    EXPECT_EQ(LapOutFra_getTimeStamp(), 0xABCD0001u);
    EXPECT_EQ(laptrigger_getLapTimeStamp(), 0xABCD0001u);
    // The entry of the lap just completed: the lap number of the message before (none yet: 0).
    EXPECT_EQ(lapStack(), (std::vector<std::vector<int>>{{0, 1, 23, 46, 0}}));

    // Another sender's lap event only moves the receiver record.
    serve(0x1200, 43, lapMessage(LAPTRIGGER_EVENT, 0xABCD0002, 9000, 6, 2));
    log = drainSyslog();
    EXPECT_EQ(
        countContaining(
            log, "Ignoring received Laptrigger Event from non-LTM (43). Outing: 2, Lap: 6, Laptime 90,00"),
        1);
    EXPECT_EQ(counters(), (std::vector<int>{5, 2, 1, 1}));
    EXPECT_EQ(laptrigger_getLapTimeStamp(), 0xABCD0002u);
    EXPECT_EQ(lapStack().size(), 1u);

    serve(0x1200, 42, lapMessage(LAPTRIGGER_EVENT, 0xABCD0003, 6001, 7, 2));
    EXPECT_EQ(lapStack().back(), (std::vector<int>{6, 1, 0, 1, 0})) << "previous lap: the message before";

    // Updates are taken from any sender.
    serve(0x1200, 43, lapMessage(LAPTRIGGER_UPDATE, 0, 0, 9, 3));
    EXPECT_EQ(countContaining(drainSyslog(), "Received Laptrigger Update. Outing 3, Lap 9, Laptime 0,00"), 1);
    EXPECT_EQ(counters(), (std::vector<int>{9, 3, 1, 1}));

    // Test-bench mode: a lap event is logged and changes nothing.
    seramCalPage(SERAM_PAGE_REFERENCE).OUTINGCTR_MODE = 1;
    serve(0x1200, 42, lapMessage(LAPTRIGGER_EVENT, 0xABCD0004, 8346, 10, 3));
    EXPECT_EQ(countContaining(
                  drainSyslog(),
                  "Testbenchmode! Ignoring received Laptrigger Event. Outing: 3, Lap: 10, Laptime 83,46"),
              1);
    EXPECT_EQ(counters(), (std::vector<int>{9, 3, 1, 1}));
}

TEST_F(LapTrigger, ALateDeviceAsksTheMasterForItsCounters) {
    serve(0x1201, 20, {0, 0, 0, 42});
    EXPECT_TRUE(sent().empty()) << "no answer before the master record is valid";

    laptrigger_init(3, 2, 83.456f);
    serve(0x1201, 20, {0x11, 0x22, 0x33, 0x44, 9, 9}, 0xC1, 0xC2);
    const auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(wire(out[0]),
              hex("0000 0010 0010 0014 000000C2 000000C1 1202 0000  11223344 00000000 0000209A 0003 0002"));

    cfg_system = systemConfig(20, CFG_SYSTEM_PID_NONE, 0);
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_start(); // a slave without logging: the counters wait for the master
    EXPECT_EQ(counters()[3], 0);
    serve(0x1202, 20, lapMessage(0, 0, 0, 3, 2));
    EXPECT_EQ(counters(), (std::vector<int>{3, 2, 1, 1}));
    serve(0x1202, 20, lapMessage(0, 0, 0, 9, 9));
    EXPECT_EQ(counters(), (std::vector<int>{3, 2, 1, 1})) << "counters already valid win";
}

TEST_F(LapTrigger, StatusRepliesAtMostEvery5Point9Seconds) {
    hostclock_setManual(true);
    laptrigger_init(3, 2, 1.0f);
    serve(0x1203, 20, std::vector<uint8_t>(16));
    auto out = sent();
    ASSERT_EQ(out.size(), 1u) << "the first request is always answered";
    EXPECT_EQ(ci_get32(out[0].data), LAPTRIGGER_STATUS);
    EXPECT_EQ(ci_get32(out[0].data + 4), 0u);
    EXPECT_EQ(ci_get16(out[0].data + 12), 3);
    hostclock_advanceMs(3000);
    serve(0x1203, 20, std::vector<uint8_t>(16));
    EXPECT_TRUE(sent().empty());
    hostclock_advanceMs(2900);
    serve(0x1203, 20, std::vector<uint8_t>(16));
    EXPECT_EQ(sent().size(), 1u);

    // Near the end of the time stamp's range and across its wrap the limit still holds.
    const struct {
        bool sent;
        uint32_t last, now;
        bool due;
    } rule[] = {{false, 0, 0, true},
                {true, 1000, 1000 + 58999, false},
                {true, 1000, 1000 + 59000, true},
                {true, 0xFFFF8000, 0xFFFFFFF0, false},
                {true, 0xFFFFF000, 0x00000100, false},
                {true, 0xFFFFF000, 0x0000E000, true},
                {true, 5000, 4000, true}}; // the time stamp went backwards
    for (const auto& r : rule)
        EXPECT_EQ(laptrg::statusDue(r.sent, r.last, r.now), r.due) << r.last << " " << r.now;
}

TEST_F(LapTrigger, ShortMessagesAreDroppedUnderTheFloodRule) {
    laptrigger_init(3, 2, 1.0f);
    cfg_system = systemConfig(42, CFG_SYSTEM_PID_NONE);
    for (int i = 0; i < 20; ++i) serve(0x1200, 42, std::vector<uint8_t>(15, 0xFF));
    serve(0x1201, 20, {0, 0, 0});
    serve(0x1202, 42, std::vector<uint8_t>(15));
    const auto log = drainSyslog();
    EXPECT_EQ(
        countContaining(
            log,
            "laptrigger_signal_cmd(): cmd 0x1200 from PID 2A with 15 payload bytes (16 needed), dropped"),
        13);
    EXPECT_EQ(countContaining(log, "Flooding suspicion!"), 1);
    EXPECT_EQ(countContaining(
                  log, "laptrigger_get_info_cmd(): cmd 0x1201 from PID 14 with 3 payload bytes (4 needed)"),
              1);
    EXPECT_EQ(
        countContaining(log, "laptrigger_get_info_reply_cmd(): cmd 0x1202 from PID 2A with 15 payload bytes"),
        1);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(laptrigger_getLapTimeStamp(), 0u);
}

TEST_F(LapTrigger, RequestsOfAnUnconfiguredLapFunctionAreCountedOnly) {
    for (int i = 0; i < 3; ++i) serve(0x1205, 20, {});
    for (uint16_t cmd = 0x1204; cmd <= 0x120B; ++cmd) serve(cmd, 20, {});
    EXPECT_TRUE(drainSyslog().empty());
    uint8_t pending = 9;
    for (int expected : {1, 1, 1, 1, 0, 0}) {
        lapfunc_ctrl_Get(LAPFUNC_CH_RESET_LAP, &pending);
        EXPECT_EQ(pending, expected);
    }
    for (int ch = LAPFUNC_CH_RESET_OUT; ch < LAPFUNC_CHANNELS; ++ch) {
        lapfunc_ctrl_Get(ch, &pending);
        EXPECT_EQ(pending, 1) << ch;
        lapfunc_ctrl_Get(ch, &pending);
        EXPECT_EQ(pending, 0) << ch;
    }
}
