// The routing table and the generic answers of the CI protocol (0x0100-0x0107), with the golden
// frames a peer sees on its link.
#include "ci_fixture.h"
#include "msdcom/ci/ci_ident.h"

using namespace citest;

namespace {

std::vector<uint8_t> wire(const comint_msg& m) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&m);
    return std::vector<uint8_t>(b, b + ci_wire_len(&m));
}

comint_msg setRange(uint16_t first, uint16_t last, uint32_t kind, uint32_t param, uint32_t ctx) {
    comint_msg m = makeMsg(0x0100, 3, OWN_PID, ctx, 0, 12);
    ci_put16(m.data, first);
    ci_put16(m.data + 2, last);
    ci_put32(m.data + 4, kind);
    ci_put32(m.data + 8, param);
    return m;
}

std::vector<uint8_t> gBounced;
void bounceSink(const uint8_t* payload, uint16_t len) {
    gBounced.assign(payload, payload + len);
}

std::vector<std::pair<uint16_t, uint16_t>> gReplies; // (command, pid)
void replySink(comint_msg* m, uint16_t pid) {
    gReplies.emplace_back(ci_cmd(m), pid);
}

} // namespace

class RouteTest : public CiTest {
protected:
    void SetUp() override {
        CiTest::SetUp();
        routing_set_table_entries({ROUTE_ETH, 0x0A000003}, 3, 3); // the requester's link
    }
};

TEST_F(RouteTest, GoldenBounceOf492BytesComesBackWithContextsExchanged) {
    comint_msg req = makeMsg(0x0105, 3, OWN_PID, 0xAAAA0001, 0xBBBB0002, 492);
    for (int i = 0; i < 492; ++i) req.data[i] = uint8_t(i * 7);
    ASSERT_EQ(comint_put_cmd(&req, 0), 1);
    pump();
    ASSERT_EQ(sentEth().size(), 1u);
    // length 492, source 1, destination 3, context B, reply context A, command 0x0106
    std::vector<uint8_t> expected = {0,    0,    0x01, 0xEC, 0,    1,    0,    3,    0xBB, 0xBB,
                                     0x00, 0x02, 0xAA, 0xAA, 0x00, 0x01, 0x01, 0x06, 0,    0};
    for (int i = 0; i < 492; ++i) expected.push_back(uint8_t(i * 7));
    EXPECT_EQ(wire(sentEth()[0]), expected);

    // 493 bytes: refused on the way in, no answer; the next message is still served.
    ci_set_len(&req, 493);
    EXPECT_EQ(comint_put_cmd(&req, 0), 0);
    ci_set_len(&req, 1);
    ASSERT_EQ(comint_put_cmd(&req, 0), 1);
    pump();
    ASSERT_EQ(sentEth().size(), 2u);
    EXPECT_EQ(ci_cmd(&sentEth()[1]), 0x0106);
    EXPECT_EQ(ci_len(&sentEth()[1]), 1);
}

TEST_F(RouteTest, GoldenRefusalOfAnEmptyRangeCarriesTheRequestersContext) {
    comint_msg req = setRange(5, 4, ROUTE_ETH, 0x0A000005, 0xC0FFEE01);
    ci_serve_command(&req);
    pump();
    ASSERT_EQ(sentEth().size(), 1u);
    const std::vector<uint8_t> expected = {0, 0, 0,    0,    0,    1, 0, 3, 0, 0,
                                           0, 0, 0xC0, 0xFF, 0xEE, 1, 1, 4, 0, 0};
    EXPECT_EQ(wire(sentEth()[0]), expected);
    EXPECT_EQ(routing_get_next(5).kind, ROUTE_ILLEGAL);
}

TEST_F(RouteTest, SetRangeCoversEveryPidAndShortRequestsAreRefused) {
    EXPECT_EQ(routing_get_next(OWN_PID).kind, ROUTE_LOCAL);
    EXPECT_EQ(routing_get_next(64).kind, ROUTE_ILLEGAL);
    EXPECT_EQ(routing_get_next(0xFFFE).kind, ROUTE_ILLEGAL);

    comint_msg all = setRange(0, 63, ROUTE_ETH, 0x0A0000FF, 1);
    ci_serve_command(&all);
    for (uint32_t pid = 0; pid < 64; ++pid) EXPECT_EQ(routing_get_next(pid).param, 0x0A0000FFu) << pid;
    EXPECT_EQ(routing_get_next(OWN_PID).kind, ROUTE_ETH) << "the own PID included";
    comint_msg shortReq = setRange(0, 1, ROUTE_LOCAL, 0, 2);
    ci_set_len(&shortReq, 11);
    ci_serve_command(&shortReq);
    EXPECT_EQ(routing_get_next(0).kind, ROUTE_ETH) << "nothing read beyond the payload";
    pump();
    const auto sent = sentEth();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(ci_cmd(&sent[0]), 0x0103);
    EXPECT_EQ(ci_cmd(&sent[1]), 0x0104);
    EXPECT_EQ(ci_rctx(&sent[1]), 2u);

    comint_msg reset = makeMsg(0x0102, 3, OWN_PID);
    ci_serve_command(&reset);
    EXPECT_EQ(routing_get_next(OWN_PID).kind, ROUTE_LOCAL);
    EXPECT_EQ(routing_get_next(3).kind, ROUTE_ILLEGAL);
}

TEST_F(RouteTest, SetListStopsApplyingAtTheFirstRefusedItem) {
    comint_msg m = makeMsg(0x0101, 3, OWN_PID, 9, 0, 25); // two items and a stray byte
    ci_put32(m.data, 7), ci_put32(m.data + 4, ROUTE_ETH), ci_put32(m.data + 8, 0x0A000007);
    ci_put32(m.data + 12, 8), ci_put32(m.data + 16, ROUTE_LOCSOCK), ci_put32(m.data + 20, 0);
    ci_serve_command(&m);
    EXPECT_EQ(routing_get_next(7).kind, ROUTE_ETH);
    EXPECT_EQ(routing_get_next(8).kind, ROUTE_LOCSOCK);

    comint_msg bad = makeMsg(0x0101, 3, OWN_PID, 9, 0, 36);
    const uint32_t items[3][3] = {{20, ROUTE_ETH, 1}, {70, ROUTE_ETH, 2}, {21, ROUTE_ETH, 3}};
    for (int i = 0; i < 3; ++i)
        for (int w = 0; w < 3; ++w) ci_put32(bad.data + 12 * i + 4 * w, items[i][w]);
    drainLog();
    ci_serve_command(&bad);
    EXPECT_EQ(routing_get_next(20).param, 1u);
    EXPECT_EQ(routing_get_next(21).kind, ROUTE_ILLEGAL) << "items after a refusal are not applied";
    EXPECT_EQ(countContaining(drainLog(), "routing_set_table_entries_by_list_cmd entering pid"), 3);
    pump();
    const auto sent = sentEth();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(ci_cmd(&sent[0]), 0x0103);
    EXPECT_EQ(ci_cmd(&sent[1]), 0x0104);
}

TEST_F(RouteTest, AnswersReachOnlyFlagsAndFunctionsThisDeviceHandedOut) {
    static std::atomic<uint16_t> flag{7};
    const uint32_t flagId = ci_ident_flag(&flag);
    ASSERT_NE(flagId, 0u);
    comint_msg yes = makeMsg(0x0103, 3, OWN_PID, 0, flagId);
    ci_serve_command(&yes);
    EXPECT_EQ(flag.load(), 1);
    comint_msg no = makeMsg(0x0104, 3, OWN_PID, 0, flagId);
    ci_serve_command(&no);
    EXPECT_EQ(flag.load(), 0);
    flag = 5;
    comint_msg stranger = makeMsg(0x0103, 3, OWN_PID, 0, flagId + 0x10000); // same place, other reuse
    drainLog();
    ci_serve_command(&stranger);
    EXPECT_EQ(flag.load(), 5);
    EXPECT_EQ(countContaining(drainLog(), "routing_return_cmd(): no result flag"), 1);

    gBounced.clear();
    const uint32_t bounceId = ci_ident_payloadFn(bounceSink);
    comint_msg back = makeMsg(0x0106, 3, OWN_PID, 0, bounceId, 3, 0x21);
    ci_serve_command(&back);
    EXPECT_EQ(gBounced, (std::vector<uint8_t>{0x21, 0x21, 0x21}));
    comint_msg none = makeMsg(0x0106, 3, OWN_PID, 0, 0, 3, 0x22);
    ci_serve_command(&none);
    EXPECT_EQ(gBounced[0], 0x21) << "reply context 0 calls nothing";

    gReplies.clear();
    const uint32_t replyId = ci_ident_replyFn(replySink);
    EXPECT_EQ(ci_ident_replyFn(replySink), replyId) << "a function keeps its identity";
    comint_msg wrongKind = makeMsg(0x0106, 3, OWN_PID, 0, replyId, 1);
    ci_serve_command(&wrongKind);
    comint_msg call = makeMsg(0x0107, 3, OWN_PID, 0, replyId, 16);
    ci_serve_command(&call);
    ASSERT_EQ(gReplies.size(), 1u);
    EXPECT_EQ(gReplies[0], std::make_pair(uint16_t(0x0107), uint16_t(3)));
    comint_msg asFlag = makeMsg(0x0107, 3, OWN_PID, 0, flagId, 16);
    ci_serve_command(&asFlag);
    EXPECT_EQ(gReplies.size(), 1u) << "a flag is not a function";
}

TEST_F(RouteTest, PresenceLearnsARouteOnlyWhereNoneWasSet) {
    EXPECT_TRUE(routing_learn_from_presence(12, 0xC0A80012));
    EXPECT_EQ(routing_get_next(12).kind, ROUTE_ETH);
    EXPECT_EQ(routing_get_next(12).param, 0xC0A80012u);
    EXPECT_FALSE(routing_learn_from_presence(12, 0xC0A80099)) << "a known route keeps its address";
    EXPECT_FALSE(routing_learn_from_presence(3, 0xC0A80003)) << "a route set by command wins";
    EXPECT_EQ(routing_get_next(3).param, 0x0A000003u);
    EXPECT_FALSE(routing_learn_from_presence(64, 1));
}
