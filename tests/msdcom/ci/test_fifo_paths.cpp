// Address-based data paths: opening on this device and towards a requester, the answer, closing.
#include "ci_fixture.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/dynkomm.h"

#include <string>

using namespace citest;

namespace {

struct Reply {
    uint32_t ctx, fifo, peer;
    uint16_t pid, payloadPid;
};
std::vector<Reply> gReplies;

void openReply(comint_msg* m, uint16_t pid) {
    gReplies.push_back(
        {ci_get32(m->data), ci_get32(m->data + 4), ci_get32(m->data + 8), pid, ci_get16(m->data + 12)});
}

std::vector<dynkomm_fifo*> gStarted;
std::vector<std::string> gSenderEvents;
int gStopResult = 1;
void fakeStart(dynkomm_fifo* f) {
    gStarted.push_back(f);
    gSenderEvents.push_back("start");
}
int fakeStop(dynkomm_fifo*) {
    gSenderEvents.push_back("stop");
    return gStopResult;
}

// A requester that gives the path up as soon as it hears of it.
void closingReply(comint_msg* m, uint16_t pid) {
    openReply(m, pid);
    dynkomm_closepath(OWN_PID, dynkomm_fifo_byIdent(ci_get32(m->data + 4)), pid);
}

constexpr uint16_t REQ = 5;

} // namespace

class OpenPathTest : public CiTest {
protected:
    void SetUp() override {
        CiTest::SetUp();
        gReplies.clear();
        gStarted.clear();
        gSenderEvents.clear();
        gStopResult = 1;
        msdcom_netops ops{};
        ops.comint_put_eth = fakePutEth;
        ops.comint_status = fakeStatus;
        ops.SerNet_man_start_sending = fakeStart;
        ops.SerNet_man_stop_sending = fakeStop;
        msdcom_netops_install(ops);
        routing_set_table_entries({ROUTE_ETH, 0x0A000005}, REQ, REQ);
    }

    // The requester's answer to our 0x0300, as SerNet_man_send_openreply builds it.
    comint_msg answer(const comint_msg& open, uint32_t handle, uint32_t targetFifo) {
        comint_msg a = makeMsg(0x0107, REQ, OWN_PID, ci_ctx(&open), ci_rctx(&open), 16);
        ci_put32(a.data, ci_get32(open.data + 8));
        ci_put32(a.data + 4, handle);
        ci_put32(a.data + 8, targetFifo);
        ci_put16(a.data + 12, REQ);
        return a;
    }
};

TEST_F(OpenPathTest, LocalPathAnswersThroughTheQueueWithTheFifosIdentity) {
    dynkomm_openpath(OWN_PID, OWN_PID, 10, 3, 8, DYNKOMM_FLAG_QUEUE, openReply, 0x4C495354);
    EXPECT_TRUE(gReplies.empty()) << "the answer comes through r_Comint";
    pump();
    ASSERT_EQ(gReplies.size(), 1u);
    const Reply r = gReplies[0];
    EXPECT_EQ(r.ctx, 0x4C495354u);
    EXPECT_EQ(r.fifo, r.peer);
    EXPECT_EQ(r.payloadPid, OWN_PID);
    dynkomm_fifo* f = dynkomm_fifo_byIdent(r.fifo);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->slot_size, 12) << "record size rounded up to a multiple of 4";
    EXPECT_EQ(f->depth, 8);
    EXPECT_EQ(f->handle, 0u);
    EXPECT_EQ(dynkomm_closepath(OWN_PID, f, OWN_PID), 1);
    EXPECT_EQ(dynkomm_fifo_byIdent(r.fifo), nullptr);
    EXPECT_EQ(dynkomm_closepath(OWN_PID, f, OWN_PID), 0) << "closed twice";

    dynkomm_openpath(OWN_PID, OWN_PID, 10, 3, 6, 0, openReply, 7); // depth not a power of two
    pump();
    ASSERT_EQ(gReplies.size(), 2u);
    EXPECT_EQ(gReplies[1].fifo, 0u);
}

TEST_F(OpenPathTest, RemotePathAsksTheRequesterWithSlotsByRasterAndStartsSendingOnItsAnswer) {
    dynkomm_openpath(OWN_PID, REQ, 10, 3, 2, DYNKOMM_FLAG_QUEUE, openReply, 0x11112222);
    pump();
    ASSERT_EQ(sentEth().size(), 1u);
    const comint_msg open = sentEth()[0];
    EXPECT_EQ(ci_cmd(&open), 0x0300);
    EXPECT_EQ(ci_dst(&open), REQ);
    ASSERT_EQ(ci_len(&open), 20);
    const uint8_t expected[20] = {0, 1, 0, 5, 0, 3, 0, 12, 0x11, 0x11, 0x22, 0x22, 0, 64, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(open.data, expected, 20), 0) << "10 ms raster: 64 slots whatever was asked";
    dynkomm_fifo* f = dynkomm_fifo_byIdent(ci_ctx(&open));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->route_tag, DYNKOMM_ROUTE_ETH);
    EXPECT_EQ(f->depth, 64);

    comint_msg a = answer(open, 0x35000042, 0x0000ABCD);
    ci_serve_command(&a);
    ASSERT_EQ(gReplies.size(), 1u);
    EXPECT_EQ(gReplies[0].ctx, 0x11112222u);
    EXPECT_EQ(gReplies[0].fifo, ci_ctx(&open)) << "our FIFO replaces the answer's handle";
    EXPECT_EQ(gReplies[0].peer, 0x0000ABCDu);
    EXPECT_EQ(gReplies[0].pid, REQ);
    EXPECT_EQ(f->peer, 0x35000042u);
    EXPECT_EQ(f->dst_pid, REQ);
    ASSERT_EQ(gStarted.size(), 1u);
    EXPECT_EQ(gStarted[0], f);

    comint_msg again = answer(open, 0x35000043, 1);
    ci_serve_command(&again);
    EXPECT_EQ(gReplies.size(), 1u) << "a second answer for an open path is ignored";
    EXPECT_EQ(f->peer, 0x35000042u);

    EXPECT_EQ(dynkomm_closepath(OWN_PID, f, REQ), 1);
    EXPECT_FALSE(dynkomm_fifo_isLive(f));
    pump();
    ASSERT_EQ(sentEth().size(), 2u);
    const comint_msg close = sentEth()[1];
    EXPECT_EQ(ci_cmd(&close), 0x0301);
    EXPECT_EQ(ci_dst(&close), REQ);
    ASSERT_EQ(ci_len(&close), 8);
    EXPECT_EQ(ci_get32(close.data), 0x35000042u);
    EXPECT_EQ(ci_get16(close.data + 4), REQ);
    EXPECT_EQ(ci_get16(close.data + 6), REQ);
}

TEST_F(OpenPathTest, APathClosedByItsReplyFunctionLeavesNoFifoInTheSenderList) {
    dynkomm_openpath(OWN_PID, REQ, 10, 3, 2, DYNKOMM_FLAG_QUEUE, closingReply, 0x2222);
    pump();
    ASSERT_EQ(sentEth().size(), 1u);
    const comint_msg open = sentEth()[0];
    dynkomm_fifo* f = dynkomm_fifo_byIdent(ci_ctx(&open));
    ASSERT_NE(f, nullptr);
    comint_msg a = answer(open, 0x35000044, 0x0000ABCD);
    ci_serve_command(&a);
    ASSERT_EQ(gReplies.size(), 1u);
    // Sending starts before the requester hears of the path, so its close takes the FIFO out again.
    EXPECT_EQ(gSenderEvents, (std::vector<std::string>{"start", "stop"}));
    EXPECT_FALSE(dynkomm_fifo_isLive(f));
}

TEST_F(OpenPathTest, RefusedAnswerReleasesTheFifoAndTellsTheReplyFunction) {
    const uint32_t live = dynkomm_fifo_liveCount();
    dynkomm_openpath(OWN_PID, REQ, 8, 9, 0, 0, openReply, 3);
    pump();
    ASSERT_EQ(sentEth().size(), 1u);
    const comint_msg open = sentEth()[0];
    EXPECT_EQ(ci_get16(open.data + 12), 2) << "1 s raster";
    comint_msg a = answer(open, 0, 0);
    ci_serve_command(&a);
    ASSERT_EQ(gReplies.size(), 1u);
    EXPECT_EQ(gReplies[0].fifo, 0u);
    EXPECT_EQ(gReplies[0].peer, 0u);
    EXPECT_EQ(gReplies[0].pid, 0);
    EXPECT_TRUE(gStarted.empty());
    EXPECT_EQ(dynkomm_fifo_liveCount(), live);

    // An answer that names no FIFO of ours, or that is too short, changes nothing.
    comint_msg stray = answer(open, 0x35000001, 1);
    ci_serve_command(&stray);
    EXPECT_EQ(gReplies.size(), 1u);
}

TEST_F(OpenPathTest, RequestThatCannotBeQueuedIsRefusedAtOnceWithoutLeavingAFifo) {
    const uint32_t live = dynkomm_fifo_liveCount();
    comint_msg filler = makeMsg(0x0600, 2, OWN_PID);
    while (comint_queue_cmd(&filler) == 1) {
    }
    dynkomm_openpath(OWN_PID, REQ, 8, 3, 0, 0, openReply, 0x51);
    dynkomm_openpath(OWN_PID, OWN_PID, 8, 3, 4, 0, openReply, 0x52);
    ASSERT_EQ(gReplies.size(), 2u);
    EXPECT_EQ(gReplies[0].ctx, 0x51u);
    EXPECT_EQ(gReplies[0].fifo, 0u);
    EXPECT_EQ(gReplies[1].ctx, 0x52u);
    EXPECT_EQ(gReplies[1].fifo, 0u);
    EXPECT_EQ(dynkomm_fifo_liveCount(), live);
    drainQueue();
}

TEST_F(OpenPathTest, ClosingAnUnlistedRemoteFifoKeepsItButStillTellsThePeer) {
    dynkomm_openpath(OWN_PID, REQ, 8, 3, 0, 0, openReply, 3);
    pump();
    const comint_msg open = sentEth()[0];
    comint_msg a = answer(open, 0x35000099, 2);
    ci_serve_command(&a);
    dynkomm_fifo* f = dynkomm_fifo_byIdent(ci_ctx(&open));
    ASSERT_NE(f, nullptr);
    gStopResult = 0;
    drainLog();
    EXPECT_EQ(dynkomm_closepath(OWN_PID, f, REQ), 1);
    EXPECT_TRUE(dynkomm_fifo_isLive(f));
    EXPECT_EQ(countContaining(drainLog(), "dynkomm_close_SerNet_path(): tried to stop not listed fifo"), 1);
    pump();
    ASSERT_EQ(sentEth().size(), 2u);
    EXPECT_EQ(ci_cmd(&sentEth()[1]), 0x0301);
    dynkomm_fifo_release(f);
}
