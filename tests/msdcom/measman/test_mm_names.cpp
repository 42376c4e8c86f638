// Name requests (0x0510): the record layout of the answer, element indices, refused names, the
// limit of 23 signals, refusals of malformed requests, and stop and speed by list handle.
#include "test_mm_fixture.h"

using namespace mmtest;

namespace {

constexpr uint16_t PEER = 7;

struct SignalRecord {
    uint16_t offset, position, latency;
    uint8_t type;
    float factor, offset0;
    uint32_t mask;
};

std::vector<SignalRecord> signalsOf(const comint_msg& a) {
    std::vector<SignalRecord> out;
    const uint32_t n = get32(a.data + 12);
    for (uint32_t i = 0; i < n && 16 + 20 * (i + 1) <= ci_len(&a); ++i) {
        const uint8_t* s = a.data + 16 + 20 * i;
        out.push_back(
            {get16(s), get16(s + 2), get16(s + 4), s[6], getFloat(s + 8), getFloat(s + 12), get32(s + 16)});
    }
    return out;
}

void expectRefused(const comint_msg& a) {
    EXPECT_EQ(ci_cmd(&a), 0x0511);
    ASSERT_EQ(ci_len(&a), 12);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(a.data[i], 0) << i;
}

} // namespace

TEST_F(MeasManTest, NameRequestGroupsBySizeAndAnswersTheLayout) {
    seramSig().ftp_UserLoggedIn = 1;
    seramSig().RtpIndex = 0x01020304;
    seramSig().sb_fueltotal_dor = 0x0A0B;
    uint32_t fifoHandle = 0;
    // 1-byte, unknown, 4-byte, 2-byte: groups 4, 2, 1 at offsets 4, 8, 10; 11 bytes answered as 12.
    const comint_msg a = createLocalByName(
        3, 1, 8, 0, {"ftp_UserLoggedIn", "NoSuchVariable", "RtpIndex", "sb_fueltotal_dor"}, &fifoHandle);
    ASSERT_EQ(ci_cmd(&a), 0x0511);
    EXPECT_EQ(ci_ctx(&a), fifoHandle);
    EXPECT_EQ(ci_rctx(&a), 0x600Du);
    ASSERT_EQ(ci_len(&a), 16 + 3 * 20);
    const uint32_t listHandle = get32(a.data);
    EXPECT_NE(listHandle, 0u);
    EXPECT_EQ(get16(a.data + 4), 8);  // depth as requested
    EXPECT_EQ(get16(a.data + 6), 12); // record size
    EXPECT_EQ(get16(a.data + 8), 0);
    EXPECT_EQ(get16(a.data + 10), 3);

    const auto sig = signalsOf(a);
    ASSERT_EQ(sig.size(), 3u);
    EXPECT_EQ(sig[0].offset, 4);
    EXPECT_EQ(sig[0].position, 2);
    EXPECT_EQ(sig[0].type, meascalinfo_getInfo("RtpIndex")->dType);
    EXPECT_EQ(sig[1].offset, 8);
    EXPECT_EQ(sig[1].position, 3);
    const meascalinfo_t* fuel = meascalinfo_getInfo("sb_fueltotal_dor");
    EXPECT_FLOAT_EQ(sig[1].factor, 1.0f / fuel->sens);
    EXPECT_FLOAT_EQ(sig[1].offset0, -fuel->offset / fuel->sens);
    EXPECT_EQ(sig[2].offset, 10);
    EXPECT_EQ(sig[2].position, 0);
    EXPECT_EQ(sig[2].mask, meascalinfo_getInfo("ftp_UserLoggedIn")->bitmask);

    // Name lists start with countdown 0: the first tick reloads, the second writes.
    dynkomm_fifo* fifo = fifoOfHandle(fifoHandle);
    ASSERT_NE(fifo, nullptr);
    meas_man_copy(3, 100);
    EXPECT_TRUE(drain(fifo).empty());
    meas_man_copy(3, 200);
    const auto records = drain(fifo);
    ASSERT_EQ(records.size(), 1u);
    const std::vector<uint8_t> expect = {0, 0, 0, 200, 1, 2, 3, 4, 0x0A, 0x0B, 1};
    EXPECT_EQ(std::vector<uint8_t>(records[0].begin(), records[0].begin() + 11), expect);
}

TEST_F(MeasManTest, ElementIndicesAddressTheElementAndMalformedNamesAreIgnored) {
    seramSig().can_NodeState[2] = 0xCAFEF00D;
    uint32_t fifoHandle = 0;
    const comint_msg a = createLocalByName(
        0, 1, 4, 0,
        {"can_NodeState[2]", "can_NodeState[x]", "can_NodeState[]", "RtpIndex[0]", "can_NodeState",
         "can_NodeState[4]", "can_NodeState[99999999999]", "can_NodeState]", std::string(200, 'a'), "ana01"},
        &fifoHandle);
    const auto sig = signalsOf(a);
    ASSERT_EQ(sig.size(), 2u);
    EXPECT_EQ(sig[0].position, 0);
    EXPECT_EQ(sig[1].position, 9); // every name counts, the ignored ones too
    const auto lines = citest::drainLog();
    EXPECT_GE(citest::countContaining(lines, "measlist parse error"), 3);
    EXPECT_EQ(citest::countContaining(lines, "but RtpIndex is scalar"), 1);
    EXPECT_EQ(citest::countContaining(lines, "can_NodeState is array, but scalar requested"), 1);
    EXPECT_EQ(citest::countContaining(lines, "name too long"), 1);

    dynkomm_fifo* fifo = fifoOfHandle(fifoHandle);
    meas_man_copy(0, 1);
    meas_man_copy(0, 2);
    const auto records = drain(fifo);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(get32(records[0].data() + 4), 0xCAFEF00Du);
}

TEST_F(MeasManTest, RequestWithoutAcceptedNamesOrMalformedIsRefused) {
    expectRefused(createLocalByName(3, 1, 4, 0, {"NoSuchVariable", "RtpIndex[1]"}));
    const uint32_t handle = dynkomm_fifo_reserve(OWN_PID);
    std::vector<uint8_t> beyond = namePayload(3, 1, 4, 0, {"RtpIndex"});
    beyond[5] = 40; // name list longer than the payload
    std::vector<uint8_t> noNul = namePayload(3, 1, 4, 0, {"RtpIndex"});
    noNul.pop_back();
    noNul[5] = uint8_t(noNul[5] - 1);
    const std::vector<std::pair<const char*, comint_msg>> cases = {
        {"short payload", message(0x0510, OWN_PID, 1, handle, {0, 3})},
        {"raster 20", message(0x0510, OWN_PID, 1, handle, namePayload(20, 1, 4, 0, {"RtpIndex"}))},
        {"names beyond payload", message(0x0510, OWN_PID, 1, handle, beyond)},
        {"depth 6", message(0x0510, OWN_PID, 1, handle, namePayload(3, 1, 6, 0, {"RtpIndex"}))},
        {"no FIFO handle", message(0x0510, OWN_PID, 1, 0, namePayload(3, 1, 4, 0, {"RtpIndex"}))},
        {"name without its NUL", message(0x0510, OWN_PID, 1, handle, noNul)},
        {"FIFO handle never issued",
         message(0x0510, OWN_PID, 1, 0x00123456, namePayload(3, 1, 4, 0, {"RtpIndex"}))},
    };
    for (const auto& [what, m] : cases) {
        const auto answers = serveLocal(m);
        ASSERT_EQ(answers.size(), 1u) << what;
        expectRefused(answers[0]);
        EXPECT_EQ(meas_man_get_stats().lists, 0u) << what;
        EXPECT_EQ(meas_man_get_stats().handles_used, 0u) << what;
    }
    EXPECT_GE(citest::countContaining(citest::drainLog(), "no chr(0) ending"), 1);
}

TEST_F(MeasManTest, AtMost23SignalsPerRequestSoTheAnswerFitsTheQueue) {
    std::vector<std::string> names;
    for (int i = 1; i <= 16; ++i) names.push_back((i < 10 ? "ana0" : "ana") + std::to_string(i));
    for (int i = 0; i < 4; ++i) names.push_back("can_NodeState[" + std::to_string(i) + "]");
    for (int i = 0; i < 4; ++i) names.push_back("can_ReceiveCnt[" + std::to_string(i) + "]");
    ASSERT_EQ(names.size(), 24u);
    const comint_msg a = createLocalByName(3, 1, 4, 0, names);
    EXPECT_EQ(get32(a.data + 12), 23u);
    EXPECT_EQ(ci_len(&a), 16 + 23 * 20);
    EXPECT_LE(ci_len(&a), CI_PAYLOAD_MAX_QUEUE);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "can_ReceiveCnt ignored"), 1);
    // The 24th name is the one left out.
    for (const auto& s : signalsOf(a)) EXPECT_NE(s.position, 23);
}

TEST_F(MeasManTest, StopAndSpeedByListHandle) {
    uint32_t fifoHandle = 0;
    const comint_msg a = createLocalByName(3, 1, 4, 0, {"RtpIndex"}, &fifoHandle);
    const uint32_t listHandle = get32(a.data);

    std::vector<uint8_t> div;
    put16(div, 4);
    auto speed = serve(message(0x0514, PEER, 0x21, listHandle, div));
    ASSERT_EQ(speed.size(), 1u);
    EXPECT_EQ(ci_cmd(&speed[0]), 0x0515);
    EXPECT_EQ(ci_ctx(&speed[0]), listHandle);
    EXPECT_EQ(ci_rctx(&speed[0]), 0x21u);
    EXPECT_EQ(get32(speed[0].data), 1u);
    speed = serve(message(0x0514, PEER, 0x21, listHandle + 1, div));
    ASSERT_EQ(speed.size(), 1u);
    EXPECT_EQ(get32(speed[0].data), 0u);

    // Context 0: stopped without an answer, the local FIFO goes with it.
    EXPECT_TRUE(serveLocal(message(0x0512, OWN_PID, 0, listHandle, {})).empty());
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    EXPECT_EQ(meas_man_get_stats().handles_used, 0u);
    EXPECT_EQ(dynkomm_get_fifo(fifoHandle, nullptr), 0);

    // The handle names nothing any more: the stop reports 0.
    const auto again = serveLocal(message(0x0512, OWN_PID, 0x77, listHandle, {}));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(ci_cmd(&again[0]), 0x0513);
    EXPECT_EQ(get32(again[0].data), 0u);
    EXPECT_EQ(ci_rctx(&again[0]), 0x77u);

    // A running list stopped with a context reports 1.
    const comint_msg b = createLocalByName(3, 1, 4, 0, {"RtpIndex"});
    const auto stop = serveLocal(message(0x0512, OWN_PID, 0x78, get32(b.data), {}));
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(get32(stop[0].data), 1u);
    EXPECT_EQ(ci_ctx(&stop[0]), 0u); // local FIFO: no handle to give back
}

TEST_F(MeasManTest, RemoteNameRequestLinksASourceFifoAndTheStopGivesTheRequesterHandleBack) {
    // The path manager makes the source FIFO towards the requester (the fake keeps it local).
    static dynkomm_fifo* source = nullptr;
    msdcom_netops ops{};
    ops.comint_put_eth = citest::fakePutEth;
    ops.comint_status = citest::fakeStatus;
    ops.sernet_man_fifo_create_source = [](uint32_t reqHandle, uint32_t local, uint16_t own, uint16_t req,
                                           uint16_t raster, uint16_t slot, uint16_t flags) -> uint32_t {
        source = dynkomm_fifo_create(local, own, reqHandle, req, raster, 4, slot, flags);
        return source ? local : 0;
    };
    ops.sernet_man_fifo_delete_source = [](dynkomm_fifo*) { return 1; };
    msdcom_netops_install(ops);

    const auto answers =
        serve(message(0x0510, PEER, 0x5150, 0x03000021, namePayload(3, 1, 4, 1, {"RtpIndex"})));
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->peer, 0x03000021u);
    EXPECT_EQ(source->dst_pid, PEER);
    const uint32_t listHandle = get32(answers[0].data);
    EXPECT_EQ(ci_ctx(&answers[0]), 0x03000021u);
    EXPECT_EQ(get16(answers[0].data + 8), 1); // flags as requested

    const auto stop = serve(message(0x0512, PEER, 0x5151, listHandle, {}));
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(ci_cmd(&stop[0]), 0x0513);
    EXPECT_EQ(ci_ctx(&stop[0]), 0x03000021u);
    EXPECT_EQ(get32(stop[0].data), 1u);
    EXPECT_FALSE(dynkomm_fifo_isLive(source));
    source = nullptr;
}
