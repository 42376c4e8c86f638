// Identities on the wire and the time service's commands.
#include "ci_fixture.h"
#include "framework/time_util.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/timeserv_cmd.h"

using namespace citest;

TEST(CiIdent, IdentifiersMapBackOnlyWhileLiveAndOnlyToTheirKind) {
    int a = 0, b = 0;
    const uint32_t ia = ci_ident_register(CiIdentKind::Object, &a);
    const uint32_t ib = ci_ident_register(CiIdentKind::Fifo, &b);
    ASSERT_NE(ia, 0u);
    ASSERT_NE(ib, 0u);
    EXPECT_NE(ia, ib);
    EXPECT_EQ(ci_ident_object(CiIdentKind::Object, ia), &a);
    EXPECT_EQ(ci_ident_object(CiIdentKind::Fifo, ia), nullptr) << "wrong kind";
    EXPECT_EQ(ci_ident_object(CiIdentKind::Object, 0), nullptr);
    EXPECT_EQ(ci_ident_object(CiIdentKind::Object, 0xDEADBEEF), nullptr) << "never handed out";

    EXPECT_TRUE(ci_ident_release(ia));
    EXPECT_FALSE(ci_ident_release(ia));
    EXPECT_EQ(ci_ident_object(CiIdentKind::Object, ia), nullptr) << "stale";
    // Places are reused only after every place released before them, and never with the same
    // identifier.
    std::vector<uint32_t> again;
    for (int i = 0; i < 4; ++i) again.push_back(ci_ident_register(CiIdentKind::Object, &a));
    for (uint32_t id : again) EXPECT_NE(id, ia);
    EXPECT_EQ(ci_ident_object(CiIdentKind::Object, ia), nullptr);
    for (uint32_t id : again) ci_ident_release(id);
    ci_ident_release(ib);
    EXPECT_EQ(ci_ident_register(CiIdentKind::Object, nullptr), 0u);
}

TEST_F(CiTest, DistributedTimeMastersAreTakenAndShortMessagesDropped) {
    timeserv_setMasterIds(0, 0);
    comint_msg m = makeMsg(TIMESERV_CMD_DISTRIBUTE, 4, OWN_PID, 0, 0, 8);
    ci_put32(m.data, 0x01020304);
    ci_put32(m.data + 4, 0x0A0B0C0D);
    ci_serve_command(&m);
    uint32_t first = 0, second = 0;
    ASSERT_EQ(timeserv_getMasterIds(&first, &second), 1);
    EXPECT_EQ(first, 0x01020304u);
    EXPECT_EQ(second, 0x0A0B0C0Du);

    comint_msg shortMsg = makeMsg(TIMESERV_CMD_DISTRIBUTE, 4, OWN_PID, 0, 0, 7, 0xFF);
    drainLog();
    ci_serve_command(&shortMsg);
    timeserv_getMasterIds(&first, &second);
    EXPECT_EQ(first, 0x01020304u);
    EXPECT_EQ(countContaining(drainLog(), "timeserv_distributeTime_cmd(): payload 7 bytes of 8"), 1);
    timeserv_setMasterIds(0, 0);
}

TEST_F(CiTest, SuggestOwnTimeIsAnsweredWithThisDevicesTime) {
    routing_set_table_entries({ROUTE_ETH, 0x0A000004}, 4, 4);
    comint_msg ask = makeMsg(TIMESERV_CMD_SUGGEST, 4, OWN_PID, 0x1111, 0x2222);
    ci_serve_command(&ask);
    pump();
    const auto sent = sentEth();
    ASSERT_EQ(sent.size(), 1u);
    const comint_msg& a = sent[0];
    EXPECT_EQ(ci_cmd(&a), TIMESERV_CMD_NEW_TIME);
    EXPECT_EQ(ci_dst(&a), 4);
    EXPECT_EQ(ci_ctx(&a), 0x2222u);
    EXPECT_EQ(ci_rctx(&a), 0x1111u);
    ASSERT_EQ(ci_len(&a), 14);
    timeserv_time_t now{};
    timeserv_readSystemTime(&now);
    EXPECT_EQ(ci_get16(a.data), now.year);
    EXPECT_GE(ci_get16(a.data + 2), 1);
    EXPECT_LE(ci_get16(a.data + 2), 12);

    // The answer as it arrives at the requester: taken when plausible, dropped otherwise.
    comint_msg arrived = a;
    drainLog();
    ci_serve_command(&arrived);
    EXPECT_EQ(countContaining(drainLog(), "timeserv_newSystemTime_cmd(): system time"), 1);
    ci_put16(arrived.data + 2, 13);
    ci_serve_command(&arrived);
    ci_set_len(&arrived, 13);
    ci_serve_command(&arrived);
    const auto log = drainLog();
    EXPECT_EQ(countContaining(log, "implausible time"), 1);
    EXPECT_EQ(countContaining(log, "payload 13 bytes of 14"), 1);
}
