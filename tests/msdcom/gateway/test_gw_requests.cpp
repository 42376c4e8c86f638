// The gateway's requests and the devices' answers: the bytes of a start, list sharing, stop and
// divisor change, and every answer checked before its identities are used.
#include "test_gw_fixture.h"

#include "framework/appman.h"

using namespace gwtest;

namespace {

std::vector<uint8_t> wire(const comint_msg& m) {
    const auto* p = reinterpret_cast<const uint8_t*>(&m);
    return std::vector<uint8_t>(p, p + ci_wire_len(&m));
}

} // namespace

TEST_F(GwTest, SingleValueStartCarriesExactlyTheAddressRequest) {
    const uint32_t sub = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5);
    ASSERT_NE(sub, 0u);
    gw_start_list(sub);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OFFLINE), 0) << "the device has its links";
    tick();
    const auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    // The request's context is the gateway's second handle number (the subscription took the
    // first): boot byte on top, running counter below.
    const uint32_t ctx = (boot_count_get() & 0xFFu) << 24 | 2u;
    const std::vector<uint8_t> expected = {0x00,
                                           0x00,
                                           0x00,
                                           0x1C,
                                           0x00,
                                           0x05,
                                           0x00,
                                           0x03, // length 28, PID 5 -> 3
                                           uint8_t(ctx >> 24),
                                           uint8_t(ctx >> 16),
                                           uint8_t(ctx >> 8),
                                           uint8_t(ctx), // context: the request
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x05,
                                           0x00,
                                           0x00,
                                           0x00, // reply context 0, 0x0500
                                           0x00,
                                           0x03,
                                           0x00,
                                           0x01,
                                           0x00,
                                           0x08,
                                           0x00,
                                           0x10,
                                           0x00,
                                           0x04,
                                           0x00,
                                           0x00, // raster..flags
                                           0xFF,
                                           0xFF,
                                           0xFF,
                                           0xFC,
                                           0x00,
                                           0x01,
                                           0x23,
                                           0x40,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00,
                                           0x00};
    EXPECT_EQ(wire(req[0]), expected);

    // The answer starts the list; its start callback gets the first latency.
    dynkomm_fifo* fifo = makeFifo();
    accept(req[0], fifo, 0x5E000001, {0x0123});
    const auto starts = consumer.events(GW_CB_START);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].event, GW_EVT_OK);
    ASSERT_NE(starts[0].data, nullptr);
    EXPECT_EQ(ci_get16(starts[0].bytes.data()), 0x0123) << "big-endian, as answered";
    EXPECT_EQ(starts[0].user, &consumer);
}

TEST_F(GwTest, EqualSingleValuesShareOneRequestAndOneStop) {
    dynkomm_fifo* fifo = nullptr;
    const uint32_t a = running(&fifo);
    consumer.clear();
    const uint32_t b = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5);
    ASSERT_NE(b, 0u);
    ASSERT_NE(a, b);
    // The joiner hears at once that the list runs, with the list's latency.
    const auto joined = consumer.events(GW_CB_START);
    ASSERT_EQ(joined.size(), 1u);
    ASSERT_EQ(joined[0].bytes.size(), 2u);
    uint16_t latency = 0;
    std::memcpy(&latency, joined[0].bytes.data(), 2);
    EXPECT_EQ(latency, 7) << "the list's latency, host order";
    gw_start_list(b);
    tick(3);
    EXPECT_TRUE(takeGot(0x0500).empty()) << "one request for both";

    // Each record reaches both; removing one leaves the other fed.
    feed(fifo, 100, 0xAABBCCDD);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 2);
    gw_kill_list(a);
    EXPECT_EQ(consumer.count(GW_CB_STOP, GW_EVT_OK), 1);
    tick();
    EXPECT_TRUE(takeGot(0x0502).empty());
    feed(fifo, 200, 1);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 3);

    gw_kill_list(b);
    EXPECT_EQ(consumer.count(GW_CB_STOP, GW_EVT_OK), 2);
    tick(15);
    const auto stops = takeGot(0x0502);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(ci_rctx(&stops[0]), 0x5E000001u);
    EXPECT_EQ(ci_len(&stops[0]), 0);
    EXPECT_EQ(debugout()[3], 0) << "the list is freed after its hold";
}

TEST_F(GwTest, OnlyEqualUnstoppableSingleValuesAreShared) {
    const uint32_t pair[6] = {0xFFFFFFFC, 0x00012340, 0x00012344, 0, 0, 0};
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5));
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 1, 0, 1, 4, 8, 5));
    gw_start_list(gw_setup_list(conn, pair, &consumer, 24, 3, DEV, 0, 0, 1, 4, 12, 5));
    gw_start_list(gw_setup_list(conn, pair, &consumer, 24, 3, DEV, 0, 0, 1, 4, 12, 5));
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 4, DEV, 0, 0, 1, 4, 8, 5)); // other raster
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5)); // shares the first
    tick();
    EXPECT_EQ(takeGot(0x0500).size(), 5u);
}

TEST_F(GwTest, ListLongerThan480BytesGivesEvent12AndNoRequest) {
    std::vector<uint32_t> list(121, 0x00012340);
    list[0] = 0xFFFFFFFC;
    list[119] = 0;
    list[120] = 0;
    const uint32_t sub = gw_setup_list(conn, list.data(), &consumer, 484, 3, DEV, 1, 0, 1, 4, 8, 5);
    ASSERT_NE(sub, 0u);
    gw_start_list(sub);
    tick(200);
    EXPECT_TRUE(takeGot(0x0500).empty());
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_TOO_LONG), 1);
    EXPECT_EQ(listsIn(GW_LS_STERR), 1);
}

TEST_F(GwTest, BadSetUpIsRefused) {
    EXPECT_EQ(gw_connect(nullptr), nullptr);
    EXPECT_EQ(gw_setup_list(conn, kSingle, nullptr, 16, 20, DEV, 0, 0, 1, 4, 8, 5), 0u) << "raster";
    EXPECT_EQ(gw_setup_list(conn, kSingle, nullptr, 16, 3, 64, 0, 0, 1, 4, 8, 5), 0u) << "PID";
    EXPECT_EQ(gw_setup_list(conn, kSingle, nullptr, 14, 3, DEV, 0, 0, 1, 4, 8, 5), 0u) << "length";
    EXPECT_EQ(gw_setup_list(conn, nullptr, nullptr, 16, 3, DEV, 0, 0, 1, 4, 8, 5), 0u);
    gw_connection* other = gw_connect(&kCallbacks);
    gw_disconnect(other);
    EXPECT_EQ(gw_setup_list(other, kSingle, nullptr, 16, 3, DEV, 0, 0, 1, 4, 8, 5), 0u) << "gone";
    EXPECT_EQ(gw_disconnect(nullptr), 0);
    EXPECT_EQ(gw_pid_offline(64), 1);
    EXPECT_EQ(gw_debugoutPID(DEV, nullptr), 0);
    const auto log = citest::drainLog();
    EXPECT_EQ(citest::countContaining(log, "gw_connect() callback_list NULL"), 1);
}

TEST_F(GwTest, StartWithoutLinkTellsEvent8AndWaitsForTheDevice) {
    link(DEV, false);
    const uint32_t sub = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5);
    gw_start_list(sub);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OFFLINE), 1);
    tick(20);
    EXPECT_TRUE(takeGot(0x0500).empty());
    link(DEV, true);
    tick();
    EXPECT_EQ(takeGot(0x0500).size(), 1u) << "still marked for start";
}

TEST_F(GwTest, AnswersWithoutLatencyOrWithAForeignFifoAreHandledSafely) {
    // A 4-byte answer: the list runs, the start event has no latency to point at.
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5));
    tick();
    auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    dynkomm_fifo* fifo = makeFifo();
    accept(req[0], fifo, 0x5E000001, {});
    auto starts = consumer.events(GW_CB_START);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].event, GW_EVT_OK);
    EXPECT_EQ(starts[0].data, nullptr);

    // A FIFO word that names no FIFO of this device, one of another source, and one too small for
    // the record: refused (event 7), the device is told to drop its list, nothing is delivered.
    consumer.clear();
    const uint32_t two[5] = {0xFFFFFFFC, 0x00012340, 0x00012344, 0, 0};
    gw_start_list(gw_setup_list(conn, two, &consumer, 20, 3, DEV, 0, 0, 1, 4, 12, 5));
    tick();
    req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    comint_msg bogus = citest::makeMsg(0x0501, DEV, SELF, 0x5E000002, ci_ctx(&req[0]), 4);
    ci_put32(bogus.data, 0x00FF1234);
    ci_serve_command(&bogus);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_REFUSED), 1);
    tick();
    auto stops = takeGot(0x0502);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(ci_rctx(&stops[0]), 0x5E000002u);

    req = takeGot(0x0500); // requested again on the next tick
    ASSERT_EQ(req.size(), 1u);
    dynkomm_fifo_params own;
    own.src_pid = SELF; // fed by this device, not by the answering one
    own.dst_pid = SELF;
    own.depth = 4;
    own.slot_size = 12;
    dynkomm_fifo* foreign = dynkomm_fifo_new(own);
    fifos.push_back(foreign);
    accept(req[0], foreign, 0x5E000003);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_REFUSED), 2);
    tick();
    req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    accept(req[0], makeFifo(8), 0x5E000004); // slots of 8 bytes for 12-byte records
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_REFUSED), 3);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 0);
}

TEST_F(GwTest, LateAnswerIsNotTrustedAndItsListIsDropped) {
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5));
    tick();
    const auto first = takeGot(0x0500);
    ASSERT_EQ(first.size(), 1u);
    tick(150); // no answer: time-out, event 3, and a new request
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_NOREPLY), 1);
    ASSERT_EQ(takeGot(0x0500).size(), 1u);
    dynkomm_fifo* fifo = makeFifo();
    accept(first[0], fifo, 0x5E000009); // the first answer arrives late
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 0);
    tick();
    const auto stops = takeGot(0x0502);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(ci_rctx(&stops[0]), 0x5E000009u);
    feed(fifo, 1, 2);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 0);
}

TEST_F(GwTest, AddressListRemovedBeforeItsAnswerIsStoppedByTheIdentityTheAnswerNames) {
    const uint32_t sub = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5);
    gw_start_list(sub);
    tick();
    const auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    gw_kill_list(sub);
    tick();
    // No stop yet: the device has named no list, and a stop naming none would only come back as
    // the tidy-up message that reports a lost FIFO.
    EXPECT_TRUE(takeGot(0x0502).empty());
    dynkomm_fifo* fifo = makeFifo();
    accept(req[0], fifo, 0x5E00000A); // within the kill hold
    tick();
    const auto stops = takeGot(0x0502);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(ci_rctx(&stops[0]), 0x5E00000Au);
    tick(11);
    EXPECT_TRUE(takeGot(0x0502).empty());
    EXPECT_EQ(listsIn(GW_LS_DEST, DEV), 0);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 0);
}

TEST_F(GwTest, DivisorChangeOfAnAddressListIsSentDirectlyAndNeverTimesOut) {
    dynkomm_fifo* fifo = nullptr;
    const uint32_t shared = running(&fifo, 0x5E000001, 0);
    EXPECT_EQ(gw_list_speed(conn, shared, 4), 0) << "a shareable list keeps its divisor";
    const uint32_t own = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 1, 0, 1, 4, 8, 5);
    EXPECT_EQ(gw_list_speed(conn, own, 4), 0) << "not running";
    EXPECT_EQ(gw_list_speed(nullptr, own, 4), 0);
    gw_start_list(own);
    tick();
    auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    accept(req[0], makeFifo(), 0x5E000002);
    ASSERT_EQ(gw_list_speed(conn, own, 4), 1);
    tick();
    const auto speed = takeGot(0x0503);
    ASSERT_EQ(speed.size(), 1u);
    EXPECT_EQ(ci_rctx(&speed[0]), 0x5E000002u);
    ASSERT_EQ(ci_len(&speed[0]), 2);
    EXPECT_EQ(ci_get16(speed[0].data), 4);
    tick(300);
    EXPECT_EQ(consumer.count(GW_CB_SPEED, GW_EVT_NOREPLY), 0);
    EXPECT_TRUE(takeGot(0x0503).empty()) << "no correction: the divisor is in force";
}

TEST_F(GwTest, DivisorAskedBeforeTheListRunsIsRequestedOrCorrectedOnceItRuns) {
    // Asked before the start: the request carries it.
    const uint32_t early = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 1, 0, 1, 4, 8, 5);
    EXPECT_EQ(gw_list_speed(conn, early, 4), 0) << "nothing sent while the list does not run";
    gw_start_list(early);
    tick();
    auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(ci_get16(req[0].data + 2), 4);

    // Asked while the request is out: the running list is corrected to it.
    const uint32_t late = gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 1, 0, 1, 4, 8, 5);
    gw_start_list(late);
    tick();
    req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(ci_get16(req[0].data + 2), 1);
    EXPECT_EQ(gw_list_speed(conn, late, 6), 0);
    accept(req[0], makeFifo(), 0x5E000003);
    tick(3);
    const auto speed = takeGot(0x0503);
    ASSERT_EQ(speed.size(), 1u) << "one correction, then the divisor is in force";
    EXPECT_EQ(ci_rctx(&speed[0]), 0x5E000003u);
    EXPECT_EQ(ci_get16(speed[0].data), 6);
}

TEST_F(GwTest, NameListRequestAnswerClampAndRefusals) {
    static const char names[] = "PCODE\0RtpIndex\0";
    gw_connection* c = conn;
    const uint32_t sub =
        gw_setup_list_measByName(c, "ECU_FR", names, &consumer, sizeof(names) - 1, 2, 3, 1, 0, 1, 0, 5);
    ASSERT_NE(sub, 0u);
    // PID 41 stands for the front right: give it links.
    link(41, true);
    routing_set_table_entries({ROUTE_ETH, 0x7F000029}, 41, 41);
    tick();
    gw_start_list(sub);
    tick();
    auto req = takeGot(0x0510);
    ASSERT_EQ(req.size(), 1u);
    const comint_msg& r = req[0];
    EXPECT_EQ(ci_dst(&r), 41);
    EXPECT_EQ(ci_len(&r), 12 + sizeof(names) - 1);
    EXPECT_EQ(ci_get16(r.data), 3);      // raster
    EXPECT_EQ(ci_get16(r.data + 4), 15); // name bytes
    EXPECT_EQ(ci_get16(r.data + 6), 2);  // names
    EXPECT_EQ(ci_get16(r.data + 8), 64); // depth 0: slots of the 10 ms raster
    EXPECT_EQ(std::memcmp(r.data + 12, names, 15), 0);
    const uint32_t fifoHandle = ci_rctx(&r);
    dynkomm_fifo* probe = nullptr;
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 2) << "reserved for the answer";

    // An answer naming another FIFO handle is not activated; the device drops its list.
    comint_msg wrong = citest::makeMsg(0x0511, 41, SELF, fifoHandle + 1, ci_ctx(&r), 16);
    ci_put32(wrong.data, 0xABCD0001);
    ci_serve_command(&wrong);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 2) << "still reserved, not activated";
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 0);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_REFUSED), 0) << "the request still waits";
    tick();
    ASSERT_EQ(takeGot(0x0512).size(), 1u);

    // The real answer announces 5 signals and holds 2: the consumer sees 2.
    comint_msg ok = citest::makeMsg(0x0511, 41, SELF, fifoHandle, ci_ctx(&r), 16 + 2 * 20);
    ci_put32(ok.data, 0xABCD0002);
    ci_put16(ok.data + 4, 4);  // depth
    ci_put16(ok.data + 6, 12); // record size
    ci_put16(ok.data + 10, 3); // raster
    ci_put32(ok.data + 12, 5);
    ci_put16(ok.data + 16, 4);     // first signal at offset 4
    ci_put16(ok.data + 16 + 4, 9); // its latency
    consumer.startByName = true;
    ci_serve_command(&ok);
    const auto starts = consumer.events(GW_CB_START);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].event, GW_EVT_OK);
    ASSERT_EQ(starts[0].bytes.size(), 4u + 2 * 20);
    EXPECT_EQ(ci_get32(starts[0].bytes.data()), 2u);
    dynkomm_fifo* fifo = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(fifoHandle, &fifo), 1) << "activated for the device";
    EXPECT_EQ(fifo->src_pid, 41);
    EXPECT_EQ(fifo->slot_size, 12);

    // A stop answer naming a FIFO handle that is not the list's leaves that FIFO alone.
    gw_kill_list(sub);
    tick();
    const auto stop = takeGot(0x0512);
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(ci_rctx(&stop[0]), 0xABCD0002u);
    const uint32_t other = dynkomm_fifo_reserve(SELF);
    comint_msg foreign = citest::makeMsg(0x0513, 41, SELF, other, ci_ctx(&stop[0]), 4);
    ci_put32(foreign.data, 1);
    ci_serve_command(&foreign);
    EXPECT_EQ(dynkomm_get_fifo(other, &probe), 2) << "not freed by someone else's answer";
    comint_msg done = citest::makeMsg(0x0513, 41, SELF, fifoHandle, ci_ctx(&stop[0]), 4);
    ci_put32(done.data, 1);
    ci_serve_command(&done);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 0) << "the list's FIFO is given back";
    link(41, false);
}

TEST_F(GwTest, NameListRefusedThreeTimesGivesUp) {
    static const char names[] = "PCODE";
    link(41, true);
    routing_set_table_entries({ROUTE_ETH, 0x7F000029}, 41, 41);
    const uint32_t sub =
        gw_setup_list_measByName(conn, "X_FR", names, &consumer, sizeof(names), 1, 3, 1, 0, 1, 4, 5);
    tick();
    gw_start_list(sub);
    for (int i = 0; i < 5; ++i) {
        tick();
        for (const comint_msg& r : takeGot(0x0510)) {
            comint_msg no = citest::makeMsg(0x0511, 41, SELF, ci_rctx(&r), ci_ctx(&r), 12);
            ci_serve_command(&no);
        }
    }
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_REFUSED), 3);
    EXPECT_EQ(listsIn(GW_LS_STERR, 41), 1);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "got 3 negative answers for measlist"), 1);
    link(41, false);
}

TEST_F(GwTest, NameListRemovedBeforeItsAnswerGivesItsReservedFifoBack) {
    static const char names[] = "PCODE";
    link(41, true);
    routing_set_table_entries({ROUTE_ETH, 0x7F000029}, 41, 41);
    const uint32_t sub =
        gw_setup_list_measByName(conn, "X_FR", names, &consumer, sizeof(names), 1, 3, 1, 0, 1, 4, 5);
    tick();
    gw_start_list(sub);
    tick();
    const auto req = takeGot(0x0510);
    ASSERT_EQ(req.size(), 1u);
    const uint32_t fifoHandle = ci_rctx(&req[0]);
    dynkomm_fifo* probe = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 2);

    gw_kill_list(sub);
    tick(11); // the kill hold runs out and the list is freed
    EXPECT_EQ(listsIn(GW_LS_DEST, 41), 0);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 0) << "the reserved FIFO handle went with the list";

    // The answer comes late: nothing is activated for it and the device drops its list.
    comint_msg late = citest::makeMsg(0x0511, 41, SELF, fifoHandle, ci_ctx(&req[0]), 16);
    ci_put32(late.data, 0xABCD0007);
    ci_put16(late.data + 4, 4);
    ci_put16(late.data + 6, 8);
    ci_put16(late.data + 10, 3);
    ci_serve_command(&late);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, &probe), 0);
    tick();
    const auto stop = takeGot(0x0512);
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(ci_rctx(&stop[0]), 0xABCD0007u);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 0);
    link(41, false);
}

TEST(GwDeviceNames, PositionSuffixesAndUnknownNames) {
    EXPECT_EQ(pidByDevicename("SENSOR_FR"), 41);
    EXPECT_EQ(pidByDevicename("BOX_GB"), 46);
    EXPECT_EQ(pidByDevicename("A_B_RL"), 42);
    EXPECT_EQ(pidByDevicename("MSD_APP1"), 17);
    EXPECT_EQ(pidByDevicename("SENSOR_XY"), 0);
    EXPECT_EQ(pidByDevicename("NOSUFFIX"), 0);
}
