// The command interpreter: the message codec, the routing decision of comint_put_cmd, the queue,
// the error ring, the command table and the task r_Comint.
#include "ci_fixture.h"
#include "testsupport.h"

#include <chrono>
#include <functional>
#include <thread>

using namespace citest;

namespace {

bool eventually(const std::function<bool()>& f) {
    return testsupport::waitUntil(f, 10000);
}

std::atomic<int> gServed{0};
void countingHandler(comint_msg*) {
    ++gServed;
}

} // namespace

TEST(CiCodec, HeaderIsTwentyBigEndianBytesInWireOrder) {
    comint_msg m = makeMsg(0x0105, 0x0003, 0x0001, 0x11223344, 0xA1B2C3D4, 2);
    m.data[0] = 0xEE;
    m.data[1] = 0xFF;
    const uint8_t expected[22] = {0,    0,    0,    2,    0,    3,    0,    1, 0x11, 0x22, 0x33,
                                  0x44, 0xA1, 0xB2, 0xC3, 0xD4, 0x01, 0x05, 0, 0,    0xEE, 0xFF};
    EXPECT_EQ(std::memcmp(&m, expected, sizeof(expected)), 0);
    EXPECT_EQ(ci_wire_len(&m), 22u);
    const ci_header h = ci_get_header(&m);
    EXPECT_EQ(h.cmd, 0x0105);
    EXPECT_EQ(h.ctx, 0x11223344u);
    EXPECT_EQ(h.rctx, 0xA1B2C3D4u);
}

TEST(CiCodec, FromBytesTakesWholeMessagesOnly) {
    comint_msg out;
    uint8_t bytes[CI_HDR_LEN + 505] = {};
    EXPECT_FALSE(ci_from_bytes(bytes, 19, &out)) << "shorter than a header";
    ci_put16(bytes + 2, 10);
    EXPECT_FALSE(ci_from_bytes(bytes, CI_HDR_LEN + 9, &out)) << "payload cut off";
    EXPECT_TRUE(ci_from_bytes(bytes, CI_HDR_LEN + 10, &out));
    ci_put16(bytes + 2, 504);
    EXPECT_TRUE(ci_from_bytes(bytes, sizeof(bytes), &out));
    ci_put16(bytes + 2, 505);
    EXPECT_FALSE(ci_from_bytes(bytes, sizeof(bytes), &out)) << "more than a CI link carries";
}

TEST_F(CiTest, OwnDestinationIsQueuedEvenWhenRoutedAtOnce) {
    comint_msg m = makeMsg(0x0600, 5, OWN_PID);
    EXPECT_EQ(comint_put_cmd(&m, 0), 1);
    const auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(ci_cmd(&q[0]), 0x0600);
    EXPECT_TRUE(sentEth().empty());
}

TEST_F(CiTest, ForeignMessageQueuedByFlagIsRoutedByTheTaskAndMissingRouteIsRecordedTwice) {
    comint_msg m = makeMsg(0x0500, OWN_PID, 9, 0x77);
    EXPECT_EQ(comint_put_cmd(&m, 1), 1) << "flag 1 queues whatever the destination";
    EXPECT_EQ(comint_error_count(), 0u);
    pump();
    ASSERT_EQ(comint_error_count(), 2u);
    EXPECT_EQ(comint_error_entry(0).code, COMINT_ERR_NO_ROUTE);
    EXPECT_EQ(comint_error_entry(1).code, COMINT_ERR_FORWARD);
    EXPECT_EQ(comint_error_entry(1).ctx, ci_swap32(0x77)) << "header words kept in network order";

    routing_set_table_entries({ROUTE_ETH, 0x0A000009}, 9, 9);
    routing_set_table_entries({ROUTE_LOCSOCK, 0}, 10, 10);
    EXPECT_EQ(comint_put_cmd(&m, 0), 1);
    comint_msg l = makeMsg(0x0500, OWN_PID, 10);
    EXPECT_EQ(comint_put_cmd(&l, 0), 1);
    ASSERT_EQ(sentEth().size(), 1u);
    EXPECT_EQ(ci_dst(&sentEth()[0]), 9);
    EXPECT_EQ(fakeNet().locSock.size(), 1u);
    fakeNet().ethResult = 0;
    EXPECT_EQ(comint_put_cmd(&m, 0), 0) << "a link that refuses";
    EXPECT_EQ(comint_error_entry(2).code, COMINT_ERR_REFUSED);
}

TEST_F(CiTest, BroadcastGoesOutAndIsServedHereOnACopy) {
    comint_msg m = makeMsg(0x1500, OWN_PID, CI_PID_ALL, 0, 0, 4, 0x5A);
    const comint_msg before = m;
    EXPECT_EQ(comint_put_cmd(&m, 0), 1);
    EXPECT_EQ(std::memcmp(&m, &before, sizeof(m)), 0) << "the caller's message is not rewritten";
    ASSERT_EQ(sentEth().size(), 1u);
    EXPECT_EQ(ci_dst(&sentEth()[0]), CI_PID_ALL);
    auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(ci_dst(&q[0]), OWN_PID);
    EXPECT_EQ(q[0].data[3], 0x5A);

    fakeNet().ethResult = 0;
    EXPECT_EQ(comint_put_cmd(&m, 0), 0);
    EXPECT_TRUE(drainQueue().empty()) << "not served here when the multicast send failed";
    ASSERT_EQ(comint_error_count(), 1u);
    EXPECT_EQ(comint_error_entry(0).code, COMINT_ERR_REFUSED);
}

TEST_F(CiTest, QueueTakesAt492PayloadBytesAndRefuses493) {
    comint_msg m = makeMsg(0x0105, 3, OWN_PID, 0, 0, 492);
    EXPECT_EQ(comint_put_cmd(&m, 1), 1);
    ci_set_len(&m, 493);
    EXPECT_EQ(comint_put_cmd(&m, 1), 0);
    EXPECT_EQ(comint_queue_cmd(&m), 0);
    ASSERT_EQ(comint_error_count(), 1u);
    EXPECT_EQ(comint_error_entry(0).code, COMINT_ERR_REFUSED);
    const auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(ci_len(&q[0]), 492);
}

TEST_F(CiTest, FullQueueRefusesEveryMessageButLogsOnlyTheFirstAndBackAliveOnce) {
    comint_msg m = makeMsg(0x0600, 2, OWN_PID, 0, 0, 8);
    for (int i = 0; i < COMINT_QUEUE_MSGS; ++i) ASSERT_EQ(comint_queue_cmd(&m), 1);
    drainLog();
    EXPECT_EQ(comint_queue_cmd(&m), 0);
    EXPECT_EQ(comint_queue_cmd(&m), 0) << "a refused message is never reported as taken";
    EXPECT_EQ(comint_put_cmd(&m, 1), 0);
    EXPECT_TRUE(comint_queue_failing());
    auto log = drainLog();
    EXPECT_EQ(countContaining(log, "Sending CI msg 0x600 to comint task failed, 2->1"), 1);

    comint_msg one;
    ASSERT_TRUE(comint_receive(&one, NO_WAIT));
    EXPECT_EQ(comint_queue_cmd(&m), 1);
    EXPECT_FALSE(comint_queue_failing());
    ASSERT_TRUE(comint_receive(&one, NO_WAIT));
    EXPECT_EQ(comint_queue_cmd(&m), 1);
    log = drainLog();
    EXPECT_EQ(countContaining(log, "back alive"), 1);
}

TEST_F(CiTest, ErrorRingWrapsAfterSixteenAndCountsOn) {
    for (uint32_t i = 0; i < 17; ++i) {
        comint_msg m = makeMsg(uint16_t(0x0700 + i), 2, OWN_PID);
        ci_serve_command(&m);
    }
    EXPECT_EQ(comint_error_count(), 17u);
    EXPECT_EQ(ci_swap16(comint_error_entry(0).cmd), 0x0710) << "the 17th overwrote the first";
    EXPECT_EQ(ci_swap16(comint_error_entry(1).cmd), 0x0701);
    comint_error_ini();
    EXPECT_EQ(comint_error_count(), 0u);
}

TEST_F(CiTest, TableKnowsEveryCodeAndServesOnlyRegisteredRows) {
    const uint16_t codes[] = {0x0100, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x0106, 0x0107, 0x0300, 0x0301,
                              0x0500, 0x0501, 0x0502, 0x0503, 0x0504, 0x0505, 0x0506, 0x0510, 0x0511, 0x0512,
                              0x0513, 0x0514, 0x0515, 0x0516, 0x0517, 0x0518, 0x0600, 0x0602, 0x0603, 0x0F00,
                              0x0F01, 0x0F04, 0x1100, 0x1200, 0x1201, 0x1202, 0x1203, 0x1204, 0x1205, 0x1206,
                              0x1207, 0x1208, 0x1209, 0x120A, 0x120B, 0x1500, 0x1600};
    int known = 0;
    for (uint32_t c = 0; c <= 0xFFFF; ++c) known += ci_handler_name(uint16_t(c)) != nullptr;
    EXPECT_EQ(known, int(std::size(codes)));
    for (uint16_t c : codes) EXPECT_NE(ci_handler_name(c), nullptr) << std::hex << c;
    EXPECT_STREQ(ci_handler_name(0x1600), "display_pageset_cmd");
    EXPECT_FALSE(ci_register_handler(0x0507, countingHandler));
    EXPECT_FALSE(ci_register_handler(0x0601, countingHandler));

    // A row whose owner has not registered answers like an unknown code.
    ci_unregister_handler(0x1600);
    comint_msg page = makeMsg(0x1600, 2, OWN_PID, 0, 0, 16);
    ci_serve_command(&page);
    comint_msg odd = makeMsg(0x0507, 2, OWN_PID);
    ci_serve_command(&odd);
    ASSERT_EQ(comint_error_count(), 2u);
    EXPECT_EQ(comint_error_entry(0).code, COMINT_ERR_UNKNOWN);
    EXPECT_EQ(comint_error_entry(1).code, COMINT_ERR_UNKNOWN);

    gServed = 0;
    ASSERT_TRUE(ci_register_handler(0x1600, countingHandler));
    ci_serve_command(&page);
    EXPECT_EQ(gServed.load(), 1);
    EXPECT_EQ(comint_error_count(), 2u);
    ci_unregister_handler(0x1600);

    // A payload length beyond any link is dropped before a handler sees it.
    ASSERT_TRUE(ci_register_handler(0x1500, countingHandler));
    comint_msg big = makeMsg(0x1500, 2, OWN_PID);
    ci_set_len(&big, 505);
    ci_serve_command(&big);
    EXPECT_EQ(gServed.load(), 1);
    ci_unregister_handler(0x1500);
}

TEST_F(CiTest, TaskWaitsForTheMulticastChannelThenServesAndForwards) {
    fakeNet().status = 0;
    gServed = 0;
    ASSERT_TRUE(ci_register_handler(0x1500, countingHandler));
    routing_set_table_entries({ROUTE_ETH, 0x0A000003}, 3, 3);
    comint_msg ev = makeMsg(0x1500, 3, OWN_PID);
    comint_msg fwd = makeMsg(0x0500, OWN_PID, 3, 0x42);
    ASSERT_EQ(comint_put_cmd(&ev, 1), 1);
    ASSERT_EQ(comint_put_cmd(&fwd, 1), 1);
    ASSERT_TRUE(comint_ini());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(gServed.load(), 0) << "nothing is served before the CI multicast channel exists";
    fakeNet().status = 1;
    EXPECT_TRUE(eventually([] { return gServed.load() == 1 && sentEth().size() == 1; }));
    EXPECT_EQ(ci_ctx(&sentEth()[0]), 0x42u);
    comint_exit();
    ci_unregister_handler(0x1500);
}
