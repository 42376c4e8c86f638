// Address requests (0x0500) and the commands on address lists: answers byte by byte, records of
// every group kind, the path to a remote requester, refusals of malformed requests, stop, speed,
// kill and state.
#include "framework/time_util.h"
#include "test_mm_fixture.h"

#include "measdata/seram_layout.h"

#include <bit>

using namespace mmtest;

namespace {

constexpr uint16_t PEER = 7;

std::vector<uint32_t> fourGroups() {
    return {MEAS_MAN_MARK_4,
            addressOf("RtpIndex"),
            addressOf("can_NodeState", 2),
            0,
            MEAS_MAN_MARK_2,
            addressOf("ana01"),
            0,
            MEAS_MAN_MARK_1,
            addressOf("can_samplepoint", 1),
            0,
            0};
}

} // namespace

TEST_F(MeasManTest, LocalAddressListAnswersAndCopiesEveryGroupBigEndian) {
    seramSig().RtpIndex = -2;
    seramSig().can_NodeState[2] = 0x11223344;
    seramSig().ana01 = 0xBEEF;
    seramSig().can_samplepoint[1] = 0x5A;
    // A raw group of 3 bytes straight from the signal page.
    const uint32_t rawAt = addressOf("ana01");
    std::vector<uint32_t> words = fourGroups();
    words.pop_back();
    words.insert(words.end(), {3, rawAt, 0, 0});

    const comint_msg a = createLocal(3, 1, 4 + 4 + 4 + 2 + 1 + 3, 8, 0, words, 0xC0FFEE);
    ASSERT_EQ(ci_cmd(&a), 0x0501);
    EXPECT_EQ(ci_dst(&a), OWN_PID);
    EXPECT_EQ(ci_rctx(&a), 0xC0FFEEu);
    EXPECT_NE(ci_ctx(&a), 0u);
    // FIFO word and one latency per value; the byte count counts as a value.
    EXPECT_EQ(ci_len(&a), 4 + 2 * 6);
    dynkomm_fifo* fifo = fifoOf(a);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(fifo->slot_size, 20);

    meas_man_copy(3, 0x01020304);
    const auto records = drain(fifo);
    ASSERT_EQ(records.size(), 1u);
    const std::vector<uint8_t> expect = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE,
                                         0x11, 0x22, 0x33, 0x44, 0xBE, 0xEF, 0x5A};
    EXPECT_EQ(std::vector<uint8_t>(records[0].begin(), records[0].begin() + 15), expect);
    // The raw bytes lie as in memory.
    EXPECT_EQ(std::memcmp(records[0].data() + 15, seramMemPtr(rawAt, 3), 3), 0);

    // Other rasters do not touch the list.
    meas_man_copy(4, 1);
    EXPECT_TRUE(drain(fifo).empty());
}

TEST_F(MeasManTest, RemoteAddressRequestOpensThePathAndAnswersWithThePeerWord) {
    const auto sent =
        serve(message(0x0500, PEER, 0xAB, 0,
                      addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0})));
    ASSERT_EQ(sent.size(), 1u);
    const comint_msg& open = sent[0];
    ASSERT_EQ(ci_cmd(&open), 0x0300);
    EXPECT_EQ(ci_dst(&open), PEER);
    EXPECT_EQ(get16(open.data + 6), 8); // slot size
    const uint32_t listIdent = get32(open.data + 8);

    // The requester made its FIFO 0x77 under handle 0x01000042 and answers.
    std::vector<uint8_t> reply;
    put32(reply, listIdent);
    put32(reply, 0x01000042);
    put32(reply, 0x77);
    put16(reply, PEER);
    put16(reply, 0);
    const auto answers = serve(message(0x0107, PEER, ci_ctx(&open), ci_rctx(&open), reply));
    ASSERT_EQ(answers.size(), 1u);
    const comint_msg& a = answers[0];
    EXPECT_EQ(ci_cmd(&a), 0x0501);
    EXPECT_EQ(ci_dst(&a), PEER);
    EXPECT_EQ(ci_ctx(&a), listIdent);
    EXPECT_EQ(ci_rctx(&a), 0xABu);
    EXPECT_EQ(ci_len(&a), 6);
    EXPECT_EQ(get32(a.data), 0x77u);
    EXPECT_EQ(meas_man_get_stats().chained, 1u);

    // A second answer for the same list is not taken.
    serve(message(0x0107, PEER, ci_ctx(&open), ci_rctx(&open), reply));
    EXPECT_EQ(meas_man_get_stats().chained, 1u);

    // The stop by the list identity closes the path towards the requester.
    const auto closed = serve(message(0x0502, PEER, 0, listIdent, {}));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(ci_cmd(&closed[0]), 0x0301);
    EXPECT_EQ(get32(closed[0].data), 0x01000042u);
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
}

TEST_F(MeasManTest, RefusedOrForeignPathFreesTheList) {
    // An answer that names the FIFO of another path is no answer for this list.
    const comint_msg local = createLocal(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    const auto pending =
        serve(message(0x0500, PEER, 0xAB, 0,
                      addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0})));
    ASSERT_EQ(pending.size(), 1u);
    std::vector<uint8_t> forged;
    put32(forged, get32(pending[0].data + 8));
    put32(forged, get32(local.data));
    put32(forged, get32(local.data));
    put16(forged, PEER);
    put16(forged, 0);
    const auto refused = serve(message(0x0107, PEER, 0, ci_ident_replyFn(meas_man_openreply), forged));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(get32(refused[0].data), 0u);
    EXPECT_EQ(meas_man_get_stats().lists, 1u);
    EXPECT_TRUE(dynkomm_fifo_isLive(fifoOf(local)));

    const auto sent =
        serve(message(0x0500, PEER, 0xAB, 0,
                      addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0})));
    ASSERT_EQ(sent.size(), 1u);
    std::vector<uint8_t> reply;
    put32(reply, get32(sent[0].data + 8));
    put32(reply, 0);
    put32(reply, 0);
    put16(reply, PEER);
    put16(reply, 0);
    const auto answers = serve(message(0x0107, PEER, ci_ctx(&sent[0]), ci_rctx(&sent[0]), reply));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(ci_len(&answers[0]), 4);
    EXPECT_EQ(get32(answers[0].data), 0u);
    EXPECT_EQ(ci_rctx(&answers[0]), 0xABu);
    EXPECT_EQ(meas_man_get_stats().lists, 1u);
}

TEST_F(MeasManTest, MalformedAddressRequestsAreRefusedBeforeAnythingIsMade) {
    const uint32_t a4 = addressOf("RtpIndex");
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
    };
    std::vector<uint8_t> shortList = addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, a4, 0, 0});
    shortList[7] = 20; // list length beyond the payload
    const std::vector<Case> cases = {
        {"payload shorter than its head", {0, 3, 0, 1}},
        {"raster 20", addressPayload(20, 1, 8, 4, 0, {MEAS_MAN_MARK_4, a4, 0, 0})},
        {"list beyond payload", shortList},
        {"no final 0", addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, a4, 0})},
        {"group not ended", addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, a4})},
        {"unknown head", addressPayload(3, 1, 8, 4, 0, {0xFFFFFFF0, a4, 0, 0})},
        {"marker inside a group",
         addressPayload(3, 1, 12, 4, 0, {MEAS_MAN_MARK_4, a4, MEAS_MAN_MARK_2, 0, 0})},
        {"record too small", addressPayload(3, 1, 7, 4, 0, {MEAS_MAN_MARK_4, a4, 0, 0})},
        {"record over 1464", addressPayload(3, 1, 1468, 4, 0, {MEAS_MAN_MARK_4, a4, 0, 0})},
        {"depth 3", addressPayload(3, 1, 8, 3, 0, {MEAS_MAN_MARK_4, a4, 0, 0})},
        {"depth 0", addressPayload(3, 1, 8, 0, 0, {MEAS_MAN_MARK_4, a4, 0, 0})},
        {"raw group outside the window", addressPayload(3, 1, 8, 4, 0, {4, 0x00700000, 0, 0})},
        {"raw group running past its page",
         addressPayload(3, 1, 36, 4, 0, {32, SERAM_MEAS_BASE + SERAM_WINDOW_SIZE - 16, 0, 0})},
    };
    for (const Case& c : cases) {
        const auto answers = serveLocal(message(0x0500, OWN_PID, 0x99, 0, c.payload));
        ASSERT_EQ(answers.size(), 1u) << c.what;
        EXPECT_EQ(ci_cmd(&answers[0]), 0x0501) << c.what;
        EXPECT_EQ(ci_len(&answers[0]), 4) << c.what;
        EXPECT_EQ(get32(answers[0].data), 0u) << c.what;
        EXPECT_EQ(ci_ctx(&answers[0]), 0u) << c.what;
        EXPECT_EQ(ci_rctx(&answers[0]), 0x99u) << c.what;
        EXPECT_EQ(meas_man_get_stats().lists, 0u) << c.what;
    }
    // The same raw group inside the window is taken; words after the list's end are not part of it.
    const comint_msg ok =
        createLocal(3, 1, 36, 4, 0, {32, SERAM_MEAS_BASE + SERAM_SIG_OFFSET, 0, 0, 0xDEADBEEF});
    EXPECT_NE(get32(ok.data), 0u);
    EXPECT_EQ(ci_len(&ok), 4 + 2 * 2);
}

TEST_F(MeasManTest, DivisorAndSpeedChangeSpaceTheRecords) {
    // Divisor 3: the first record one divisor after the start, then every third tick.
    const comint_msg a = createLocal(3, 3, 8, 64, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    dynkomm_fifo* fifo = fifoOf(a);
    ASSERT_NE(fifo, nullptr);
    std::vector<uint32_t> written;
    for (uint32_t tick = 1; tick <= 9; ++tick) {
        meas_man_copy(3, tick);
        for (const auto& r : drain(fifo)) written.push_back(get32(r.data()));
    }
    EXPECT_EQ(written, (std::vector<uint32_t>{3, 6, 9}));

    // 0x0503 sets divisor and countdown, from its arrival on in the data's time: the ticks stamped
    // before it that a late calculation task copies now still count by the old divisor (3), the
    // first one after it reloads: 2 ticks to the next record.
    std::vector<uint8_t> p;
    put16(p, 2);
    serveLocal(message(0x0503, OWN_PID, 0, ci_ctx(&a), p));
    const uint32_t now = time_getTimestamp();
    written.clear();
    for (uint32_t ts : {now - 20, now - 10, now + 10, now + 20, now + 30, now + 40}) {
        meas_man_copy(3, ts);
        for (const auto& r : drain(fifo)) written.push_back(get32(r.data()));
    }
    EXPECT_EQ(written, (std::vector<uint32_t>{now + 20, now + 40}));
}

TEST_F(MeasManTest, StopOfAnUnknownOrForeignIdentityTellsTheRequesterOfTheLeak) {
    int foreign = 0;
    const uint32_t foreignId = ci_ident_register(CiIdentKind::Object, &foreign);
    for (uint32_t id : {0x12345u, foreignId}) {
        const auto sent = serve(message(0x0502, PEER, 0x31, id, {}));
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(ci_cmd(&sent[0]), 0x1100);
        EXPECT_EQ(ci_ctx(&sent[0]), 0u);
        EXPECT_EQ(ci_rctx(&sent[0]), 0x31u);
        // A speed change for it is ignored without a word.
        std::vector<uint8_t> p;
        put16(p, 5);
        EXPECT_TRUE(serve(message(0x0503, PEER, 0, id, p)).empty());
    }
    ci_ident_release(foreignId);
    EXPECT_EQ(foreign, 0);

    // A list stopped once is gone: the second stop reports the leak.
    const comint_msg a = createLocal(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    EXPECT_TRUE(serveLocal(message(0x0502, OWN_PID, 0, ci_ctx(&a), {})).empty());
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    const auto again = serveLocal(message(0x0502, OWN_PID, 0, ci_ctx(&a), {}));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(ci_cmd(&again[0]), 0x1100);
}

TEST_F(MeasManTest, KillStopsEveryListOfTheRequesterOnly) {
    createLocal(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    createLocal(5, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    uint32_t fifoHandle = 0;
    createLocalByName(3, 1, 4, 0, {"ana01"}, &fifoHandle);
    // A remote list of another requester, open and running.
    const auto sent =
        serve(message(0x0500, PEER, 0xAB, 0,
                      addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0})));
    std::vector<uint8_t> reply;
    put32(reply, get32(sent[0].data + 8));
    put32(reply, 0x01000042);
    put32(reply, 0x77);
    put16(reply, PEER);
    put16(reply, 0);
    serve(message(0x0107, PEER, ci_ctx(&sent[0]), ci_rctx(&sent[0]), reply));
    ASSERT_EQ(meas_man_get_stats().chained, 4u);
    EXPECT_EQ(meas_man_get_stats().handles_used, 1u);

    serveLocal(message(0x0504, OWN_PID, 0, 0, {}));
    const meas_man_stats s = meas_man_get_stats();
    EXPECT_EQ(s.chained, 1u);
    EXPECT_EQ(s.lists, 1u);
    EXPECT_EQ(s.handles_used, 0u);
    // The name list's FIFO entry went with its path: no frame can find the released FIFO.
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, nullptr), 0);
}

TEST_F(MeasManTest, AnswerThatCannotLeaveTakesItsListAlong) {
    // A full command queue refuses the next message.
    auto fillQueue = [] {
        const comint_msg filler = message(0x1500, OWN_PID, 0, 0, {});
        for (int i = 0; i < COMINT_QUEUE_MSGS; ++i) ASSERT_EQ(comint_queue_cmd(&filler), 1);
    };
    auto emptyQueue = [] {
        citest::drainQueue();
        const comint_msg filler = message(0x1500, OWN_PID, 0, 0, {});
        comint_queue_cmd(&filler); // the queue is back: the next refusal is reported again
        citest::drainQueue();
    };

    const uint32_t fifoHandle = dynkomm_fifo_reserve(OWN_PID);
    fillQueue();
    comint_msg req = message(0x0510, OWN_PID, 0x600D, fifoHandle, namePayload(3, 1, 4, 0, {"RtpIndex"}));
    ci_serve_command(&req);
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    EXPECT_EQ(meas_man_get_stats().handles_used, 0u);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, nullptr), 0);
    emptyQueue();

    // The path of a remote requester is open, but the 0x0501 cannot be queued: the list stops.
    const auto sent =
        serve(message(0x0500, PEER, 0xAB, 0,
                      addressPayload(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0})));
    ASSERT_EQ(sent.size(), 1u);
    std::vector<uint8_t> reply;
    put32(reply, get32(sent[0].data + 8));
    put32(reply, 0x01000042);
    put32(reply, 0x77);
    put16(reply, PEER);
    put16(reply, 0);
    fillQueue();
    comint_msg answer = message(0x0107, PEER, ci_ctx(&sent[0]), ci_rctx(&sent[0]), reply);
    ci_serve_command(&answer);
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    emptyQueue();
}

TEST_F(MeasManTest, StateRequestsAreAnsweredOnlyOnceTheDeviceIsReady) {
    createLocal(3, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    auto ask = [&](uint16_t cmd, uint32_t aboutPid) {
        return serve(message(cmd, PEER, 0x4444, aboutPid, {}));
    };
    EXPECT_TRUE(ask(0x0505, OWN_PID).empty());
    EXPECT_TRUE(ask(0x0516, OWN_PID).empty());
    meas_man_virtChan_registered = 1;
    EXPECT_TRUE(ask(0x0516, OWN_PID).empty());
    meas_man_CanIO_initialized = 1;

    auto a = ask(0x0505, OWN_PID);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(ci_cmd(&a[0]), 0x0103);
    EXPECT_EQ(ci_dst(&a[0]), PEER);
    EXPECT_EQ(ci_rctx(&a[0]), 0x4444u);
    EXPECT_EQ(ci_len(&a[0]), 0);
    a = ask(0x0505, PEER);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(ci_cmd(&a[0]), 0x0104);

    a = ask(0x0516, OWN_PID);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(ci_cmd(&a[0]), 0x0517);
    EXPECT_EQ(ci_ctx(&a[0]), uint32_t(OWN_PID));
    EXPECT_EQ(ci_rctx(&a[0]), 0x4444u);
    EXPECT_EQ(get32(a[0].data), 1u);
    a = ask(0x0516, PEER);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(get32(a[0].data), 0u);
}
