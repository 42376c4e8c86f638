// The ping sender and its answers on the hand-driven clock: ages and response times in 100 us,
// saturated at 0xFFFF, late answers of an earlier pass, and the bounce answer finding the callback
// by the identity in its context word.
#include "ci_fixture.h"

#include "framework/time_util.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/debug/msdcom_dbg.h"
#include "platform/rtos/hostclock.h"

namespace {

class PingTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostclock_setManual(true);
        msdcom_dbg_reset();
        SeramSigPage& s = seramSig();
        s.msdcom_dbg_ping_cnt = 0;
        s.msdcom_dbg_ping_max = 0;
        s.msdcom_dbg_ping_error = 0;
        s.msdcom_dbg_ping_over = 0;
        cal().MSDCOM_DBG_PING_PID = 3; // a peer that is not connected
        cal().MSDCOM_DBG_PING_FREQ = 2;
    }
    void TearDown() override {
        cal().MSDCOM_DBG_PING_PID = 0;
        cal().MSDCOM_DBG_PING_FREQ = 0;
        hostclock_setManual(false);
    }
    static SeramCalData& cal() { return seramCalPage(SERAM_PAGE_REFERENCE); }
    static std::vector<uint8_t> answer(uint16_t index, uint16_t loop) {
        return {0, 0, 0, 0, uint8_t(index >> 8), uint8_t(index), uint8_t(loop >> 8), uint8_t(loop)};
    }
};

} // namespace

TEST_F(PingTest, AgesAndResponseTimesSaturateAndLateAnswersCount) {
    SeramSigPage& s = seramSig();
    // Not connected: entries get their send times but stay free; no error.
    for (int i = 0; i < 150; ++i) {
        hostclock_advanceMs(10);
        msdcom_dbg_10ms();
    }
    EXPECT_EQ(pingLoop.load(), 1u);
    EXPECT_EQ(s.msdcom_dbg_ping_error, 0);
    EXPECT_EQ(s.msdcom_dbg_ping_max, 0);
    EXPECT_EQ(pings[49].sendTime.load(), time_getTimestamp());
    EXPECT_EQ(pings[49].state.load(), uint32_t(PING_FREE));

    // An entry sent 7 s ago and not answered: its age saturates; reused, it counts an error.
    const uint32_t now = time_getTimestamp();
    pings[60].sendTime.store(now - 70000);
    pings[60].state.store(PING_SENT);
    pings[60].loop.store(0);
    hostclock_advanceMs(10);
    msdcom_dbg_10ms();
    EXPECT_EQ(s.msdcom_dbg_ping_max, 0xFFFF);

    // Its answer of the earlier pass: late, response saturated.
    const auto a = answer(60, 1);
    pingCallBack(a.data(), uint16_t(a.size()));
    EXPECT_EQ(s.msdcom_dbg_ping_cnt, 1u);
    EXPECT_EQ(s.msdcom_dbg_ping_over, 1);
    EXPECT_EQ(pings[60].response.load(), 0xFFFF);
    EXPECT_EQ(pings[60].state.load(), uint32_t(PING_ANSWERED));
    hostclock_advanceMs(10);
    msdcom_dbg_10ms();
    EXPECT_EQ(s.msdcom_dbg_ping_max, 0xFFFF);
    EXPECT_EQ(pings[60].state.load(), uint32_t(PING_FREE));

    // An index outside the table and an answer stamped before its ping are errors.
    const auto bad = answer(100, 1);
    pingCallBack(bad.data(), uint16_t(bad.size()));
    pings[70].sendTime.store(time_getTimestamp() + 5);
    pings[70].state.store(PING_SENT);
    pings[70].loop.store(1);
    const auto early = answer(70, 1);
    pingCallBack(early.data(), uint16_t(early.size()));
    EXPECT_EQ(s.msdcom_dbg_ping_error, 2);
    EXPECT_EQ(pings[70].state.load(), uint32_t(PING_FREE));
    EXPECT_EQ(s.msdcom_dbg_ping_over, 1);

    // The bounce answer (0x0106) finds the sender's callback by the identity in its context word.
    pings[10].sendTime.store(time_getTimestamp() - 12);
    pings[10].state.store(PING_SENT);
    pings[10].loop.store(1);
    const auto ok = answer(10, 1);
    comint_msg m = citest::makeMsg(0x0106, 3, citest::OWN_PID, 0, ci_ident_payloadFn(pingCallBack), 8);
    std::memcpy(m.data, ok.data(), ok.size());
    routing_bounce_return_cmd(&m);
    EXPECT_EQ(s.msdcom_dbg_ping_cnt, 3u);
    EXPECT_EQ(pings[10].response.load(), 12);
}
