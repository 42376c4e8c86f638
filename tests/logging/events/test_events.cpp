// Event channels, the event service and the event logger in one process: configurations read from
// "cfg:/eventcfg.xml", inputs fed through the gateway's callbacks, events read back from the
// command queue as the service hands them to the network, and records as the logger writes them.
#include "logcfg_fixture.h"

#include "framework/errmem.h"
#include "framework/time_util.h"
#include "logging/events/eventchannels.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "measdata/seram.h"
#include "msdcom/ci/comint.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/measman/meas_man_internal.h"
#include "platform/rtos/hostclock.h"
#include "xml/xmlscan.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

using logcfgtest::contains;

namespace {

constexpr uint16_t DEV = 3;

std::string input(const char* type, uint32_t adr, const char* extra = "") {
    char buf[200];
    std::snprintf(buf, sizeof buf, "<triggerInput type=\"%s\" adr=\"%X\" mask=\"0\" %s/>", type, adr, extra);
    std::string s = buf;
    if (std::strstr(extra, "a=") == nullptr)
        s.insert(s.size() - 2, " a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"");
    return s;
}

std::string event(int idx, const char* edge, const std::string& inputs, int delay = 0,
                  const char* severity = "Warning") {
    return "<Event name=\"E" + std::to_string(idx) + "\" text=\"t" + std::to_string(idx) +
           "\" evMeasChDelayTime=\"" + std::to_string(delay) + "\" severity=\"" + severity +
           "\" triggerEdge=\"" + edge + "\" eventId=\"1\" idx=\"" + std::to_string(idx) + "\">" + inputs +
           "</Event>";
}

std::string file(const std::string& events) {
    return "<?xml version=\"1.0\"?><EventConfig><Other><x/></Other><EventList>" + events +
           "</EventList></EventConfig>";
}

uint32_t adr(uint32_t low) {
    return (uint32_t(DEV) << 24) | low;
}

struct Heard {
    uint32_t id, time, duration;
    uint8_t kind, severity;
    uint16_t pid;
    std::string name, text;
};

class EventTest : public logcfgtest::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_TRUE(gw_meas_ini());
        ASSERT_TRUE(comint_queue_ini());
        mm::copyOfflineEnabled.store(true);
        ASSERT_EQ(eventlogging_service_init(), 1);
        hostclock_setManual(true);
        log();
    }
    void TearDown() override {
        set.reset();
        eventlogging_service_exit();
        comint_exit();
        gw_meas_exit();
        mm::copyOfflineEnabled.store(false);
        LogTest::TearDown();
    }

    // Builds the set; the thrown text when it fails.
    std::string build(const std::string& text) {
        cfgFile("eventcfg.xml", text);
        try {
            set.reset(new eventchannels("cfg:/eventcfg.xml"));
        } catch (const char* t) {
            return t;
        }
        return "";
    }
    // Starts every list as the gateway would once the device answers.
    void startLists() {
        for (CEvDataList* l = set->manager()->lists(); l; l = l->next) evch::c2cpp_startMeas(0, nullptr, l);
    }
    // One gateway record for the only list, values in record order.
    void deliver(const std::vector<uint8_t>& values) {
        std::vector<uint8_t> rec(4, 0);
        rec.insert(rec.end(), values.begin(), values.end());
        CEvDataList* l = set->manager()->lists();
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(evch::c2cpp_readCyclic(0, rec.data(), l), 1u);
    }
    // One 10 ms cycle: the check, then the service's cycle; the events that left.
    std::vector<Heard> cycle() {
        hostclock_advanceMs(10);
        set->cyclic();
        eventloggingServiceTask();
        std::vector<Heard> out;
        comint_msg m;
        while (comint_receive(&m, 0)) {
            EXPECT_EQ(ci_cmd(&m), EVLOG_CMD);
            EXPECT_EQ(ci_dst(&m), CI_PID_ALL);
            const uint8_t* p = m.data;
            Heard h{ci_get32(p), ci_get32(p + 4), ci_get32(p + 8), p[12], p[13], ci_get16(p + 14), "", ""};
            h.name = reinterpret_cast<const char*>(p + 16);
            h.text = reinterpret_cast<const char*>(p + 17 + h.name.size());
            EXPECT_EQ(ci_len(&m), 18 + h.name.size() + h.text.size());
            out.push_back(h);
        }
        return out;
    }
    uint8_t flag(int idx) { return seramSig().Cfg_events_arr[idx]; }

    std::unique_ptr<eventchannels> set;
};

} // namespace

TEST_F(EventTest, FaultyConfigurationsFailWholeWithTheirTextAndPosition) {
    std::string fifty;
    for (int i = 0; i < 50; ++i) fifty += event(i, "rising", input("UINT8", adr(0x100 + i)));
    const struct {
        std::string text, error;
    } rows[] = {
        {file(event(50, "rising", input("UINT8", adr(1)))), "illegal index in line 1 column"},
        {file(fifty + event(3, "rising", input("UINT8", adr(1)))), "events exceed supported number in line"},
        {file(event(1, "up", input("UINT8", adr(1)))), "illegal trigger mode in line"},
        {file(event(1, "rising", input("UINT8", adr(1)), 0, "Fatal")), "unsupported severity in line"},
        {file(event(1, "rising", input("INT8", adr(1)))), "attribute has wrong value"},
        {file(event(1, "rising",
                    "<triggerInput type=\"UINT8\" adr=\"zz\" mask=\"0\" a=\"0\" b=\"1\" c=\"0\" "
                    "d=\"0\" e=\"0\" f=\"1\"/>")),
         "attribute is no hex number"},
        {"<EventList><Event", "XmlScan Error:"},
    };
    for (const auto& r : rows) {
        const std::string error = build(r.text);
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
        EXPECT_FALSE(evch::initEventConfigXML.load());
    }
    // After the faults a good file builds, with the events in the list newest first.
    EXPECT_EQ(build("<Root>" + fifty + "</Root>"), "") << "events outside EventList are read past";
    EXPECT_EQ(set->eventCount(), 0);
    set.reset();
    EXPECT_EQ(build(file(fifty)), "");
    EXPECT_EQ(set->eventCount(), 50);
    EXPECT_EQ(set->events()->eventId, 0x02000000u + 49);
    EXPECT_TRUE(evch::initEventConfigXML.load());
    EXPECT_TRUE(contains(log(), "Eventlogging channel setup with 50/50 events"));
}

TEST_F(EventTest, InputListsAreSizedFromTheirWords) {
    // Ten 1-byte inputs of one device: one list, header, ten addresses, zero, final zero.
    std::string ten;
    for (int i = 0; i < 10; ++i) ten += event(i, "rising", input(i % 2 ? "BOOL" : "UINT8", adr(0x40 + i)));
    ASSERT_EQ(build(file(ten)), "");
    CEvDataList* l = set->manager()->lists();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->next, nullptr);
    EXPECT_EQ(l->recordSize, 14u);
    EXPECT_EQ(4u * l->words + 4u, 52u);
    ASSERT_EQ(l->addresses.size(), 13u);
    EXPECT_EQ(l->addresses[0], 0xFFFFFFFFu);
    EXPECT_EQ(l->addresses[1], 0x49u); // newest first
    EXPECT_EQ(l->addresses[11], 0u);
    EXPECT_EQ(l->addresses[12], 0u);
    set.reset();

    // 113 one-byte inputs fill 115 words; a 2-byte input still fits and opens its group: the list
    // reaches 119 words (476 bytes) with the final zero.
    std::string many;
    for (int i = 0; i < 49; ++i) {
        std::string inputs;
        for (int k = 0; k < 3 && i * 3 + k < 113; ++k) inputs += input("SINT8", adr(0x1000 + i * 3 + k));
        if (i == 48) inputs += input("UINT16", adr(0x2000));
        many += event(i, "rising", inputs);
    }
    ASSERT_EQ(build(file(many)), "");
    l = set->manager()->lists();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->next, nullptr);
    ASSERT_EQ(l->addresses.size(), 119u);
    EXPECT_EQ(l->addresses[0], 0xFFFFFFFEu);
    EXPECT_EQ(l->addresses[1], 0x2000u);
    EXPECT_EQ(l->addresses[3], 0xFFFFFFFFu);
    EXPECT_EQ(l->addresses[118], 0u);
    EXPECT_EQ(l->recordSize, 4u + 2u + 113u);
}

TEST_F(EventTest, DelayTimesAreCorrectedAndHoldTheFlag) {
    ASSERT_EQ(build(file(event(0, "rising", input("UINT8", adr(1)), 300) +
                         event(1, "rising", input("UINT8", adr(2)), 10) +
                         event(2, "rising", input("UINT8", adr(3)), 5))),
              "");
    EXPECT_TRUE(
        contains(log(), "eventchannels::eventchannels(): illegal delay time 300 ms, using 250 ms instead"));
    startLists();
    deliver({0, 0, 0});
    EXPECT_TRUE(cycle().empty());
    deliver({1, 1, 1});
    const auto fired = cycle();
    ASSERT_EQ(fired.size(), 3u);
    int held[3] = {0, 0, 0};
    for (int c = 0; c < 30; ++c) {
        for (int i = 0; i < 3; ++i) held[i] += flag(i);
        deliver({1, 1, 1});
        EXPECT_TRUE(cycle().empty());
    }
    EXPECT_EQ(held[0], 24);
    EXPECT_EQ(held[1], 1);
    EXPECT_EQ(held[2], 1); // hold 0: dropped at the next cycle all the same
}

TEST_F(EventTest, EdgesFireOnChangesSeenOnTwoValidReadings) {
    // Group order of the record: 4-byte (FLOAT), 2-byte (SINT16), 1-byte (UINT8, BOOL).
    ASSERT_EQ(build(file(event(1, "rising", input("UINT8", adr(0x10))) +
                         event(2, "falling", input("BOOL", adr(0x11)), 0, "Alert") +
                         event(7, "both", input("SINT16", adr(0x12))) +
                         event(9, "rising", input("FLOAT", adr(0x13))))),
              "");
    startLists();
    auto f32 = [](float v) {
        uint32_t b;
        std::memcpy(&b, &v, 4);
        return std::vector<uint8_t>{uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
    };
    auto rec = [&](float f, int16_t s, uint8_t bl, uint8_t u) {
        std::vector<uint8_t> r = f32(f);
        r.push_back(uint8_t(uint16_t(s) >> 8));
        r.push_back(uint8_t(s));
        r.push_back(bl); // BOOL is newer than UINT8 in its group
        r.push_back(u);
        return r;
    };
    // First values after the start: 1s fire nothing.
    deliver(rec(-1.0f, 1, 1, 1));
    EXPECT_TRUE(cycle().empty());
    // rising 1 -> 0 nothing; falling 1 -> 0 fires; both 1 -> 0 closes (from the creation time);
    // a float of 0.7 counts as 0 after -1.0 counted as 1: its rising event stays quiet.
    deliver(rec(0.7f, 0, 0, 0));
    auto h = cycle();
    ASSERT_EQ(h.size(), 2u);
    deliver(rec(0.7f, 0, 0, 1));
    h = cycle();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].id, 0x02000001u);
    EXPECT_EQ(h[0].kind, EVCH_KIND);
    EXPECT_EQ(h[0].severity, 4);
    EXPECT_EQ(h[0].pid, 16);
    EXPECT_EQ(h[0].name, "E1");
    EXPECT_EQ(h[0].text, "t1");
    EXPECT_EQ(h[0].duration, 0u);
    EXPECT_EQ(h[0].time, time_getTimestamp());

    // both: open at the rising edge, closed with its duration and the rising time.
    deliver(rec(0.7f, 5, 0, 1));
    h = cycle();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].id, 0x02000007u);
    EXPECT_EQ(h[0].duration, EVLOG_DURATION_NONE);
    const uint32_t rising = h[0].time;
    EXPECT_EQ(rising, time_getTimestamp());
    for (int i = 0; i < 3; ++i) {
        deliver(rec(0.7f, 5, 0, 1));
        EXPECT_TRUE(cycle().empty());
    }
    deliver(rec(0.7f, 0, 0, 1));
    h = cycle();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].time, rising);
    EXPECT_EQ(h[0].duration, 400u); // four cycles of 10 ms
    EXPECT_EQ(flag(7), 1);

    // Four time-outs in a row keep the values; the fifth loses them, and a change needs two valid
    // readings again.
    CEvDataList* l = set->manager()->lists();
    for (int i = 0; i < 4; ++i) evch::c2cpp_readCyclic(GW_EVT_NODATA, nullptr, l);
    EXPECT_EQ(l->dataValid.load(), 1);
    evch::c2cpp_readCyclic(GW_EVT_NODATA, nullptr, l);
    EXPECT_EQ(l->dataValid.load(), 0);
    EXPECT_TRUE(cycle().empty());
    deliver(rec(0.7f, 0, 0, 0));
    EXPECT_TRUE(cycle().empty());
    deliver(rec(0.7f, 0, 0, 1));
    EXPECT_EQ(cycle().size(), 1u);
    unsigned long count = 0, mask = 0;
    set->manager()->getStatus(nullptr, nullptr, nullptr, nullptr, &count, &mask);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(mask, 1u); // PID 3 is below 10
}

TEST_F(EventTest, InputConversionMasksShiftsAndSaturates) {
    const struct {
        const char* type;
        uint32_t mask;
        const char* coeff;
        std::vector<uint8_t> raw;
        double quant;
        long truth;
    } rows[] = {
        {"UINT8", 0x0C, "a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"", {0x0E}, 3, 3},
        {"SINT8", 0x0C, "a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"", {0xF0}, -4, -4},
        {"UINT16", 0, "a=\"0\" b=\"2\" c=\"1\" d=\"0\" e=\"0\" f=\"3\"", {0x01, 0x00}, 383.5, 383},
        {"UINT32",
         0,
         "a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1000\"",
         {0xFF, 0xFF, 0xFF, 0xFF},
         4294967295000.0,
         2147483647},
        {"SINT32", 0, "a=\"0\" b=\"0\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"", {0, 0, 0, 0}, NAN, 0},
        {"SINT32",
         0,
         "a=\"0\" b=\"0\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"",
         {0xFF, 0, 0, 0},
         -INFINITY,
         INT32_MIN},
    };
    for (const auto& r : rows) {
        char tag[300];
        std::snprintf(tag, sizeof tag, "<triggerInput type=\"%s\" adr=\"3000010\" mask=\"%X\" %s/>", r.type,
                      r.mask, r.coeff);
        XmlScan scanner(tag);
        XmlTok_t tok;
        scanner.getTok(tok);
        EventChData ch(&scanner);
        EXPECT_EQ(ch.getMeasUpdateState(), 0);
        ch.putData(r.raw.data());
        EXPECT_EQ(ch.getMeasUpdateState(), 1);
        double q = 0;
        long truth = 0;
        ch.getQuantData(q);
        ch.getQuantData(truth);
        if (std::isnan(r.quant))
            EXPECT_TRUE(std::isnan(q)) << tag;
        else
            EXPECT_DOUBLE_EQ(q, r.quant) << tag;
        EXPECT_EQ(truth, r.truth) << tag;
        ch.setTimeout();
        EXPECT_EQ(ch.getMeasUpdateState(), 0);
    }
}
