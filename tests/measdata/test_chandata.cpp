// Channel data built from XML tags: attributes, conversion, values of this device through
// measurement handles, values of other devices through the gateway's subscription.
#include "measdata/chandata.h"
#include "measdata/seram.h"

#include "framework/appman.h"

#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

using measdata_test::logged;
using measdata_test::takeLog;

namespace {

constexpr uint32_t sigAddress(size_t member) {
    return SERAM_SIG_OFFSET + uint32_t(member);
}

// Scans to the first tag named `tagName` and builds a channel from it.
std::unique_ptr<ChanData> channelFrom(XmlScan& scan, const char* tagName) {
    XmlTok_t tok;
    while (scan.getTok(tok) != XMLTOK_EOF) {
        if (tok.type == XMLTOK_START_ATTR && tok.name == tagName)
            return std::make_unique<ChanData>(&scan, &tok);
    }
    return nullptr;
}

std::string errorOf(const std::string& xml) {
    try {
        XmlScan scan(xml.c_str());
        channelFrom(scan, "ch");
    } catch (const char* text) {
        return text;
    }
    return "no error";
}

class ChannelData : public ::testing::Test {
protected:
    testsupport::TempDeviceRoot root;
    void SetUp() override {
        measdata_test::startLog();
        seramInit();
        takeLog();
    }
    void TearDown() override { chan_setRemoteSubscriber(nullptr); }
};

} // namespace

TEST_F(ChannelData, AttributesOfTheTagMakeTheChannel) {
    const std::string xml = "<TeleInfo baudrate=\"9600\">\n"
                            "  <lapdist name=\"lapdist\" adr=\"0x3C000120\" mask=\"0x0F00\" type=\"UINT16\"\n"
                            "           a=\"0\" b=\"2\" c=\"1\" d=\"0\" e=\"0\" f=\"4\" vtab=\"VT_1\"/>\n"
                            "  <GPSLat adr=\"0010\" type=\"FLOAT\"/>\n"
                            "</TeleInfo>";
    XmlScan scan(xml.c_str());
    auto lap = channelFrom(scan, "lapdist");
    ASSERT_NE(lap, nullptr);
    EXPECT_STREQ(lap->name(), "lapdist");
    EXPECT_STREQ(lap->valueTable(), "VT_1");
    EXPECT_EQ(lap->pid(), 0x3C);
    EXPECT_EQ(lap->address(), 0x3C000120u);
    EXPECT_EQ(lap->mask(), 0x0F00u);
    EXPECT_EQ(lap->typeCode(), 3);
    EXPECT_EQ(lap->valueSize(), 2u);
    auto lat = channelFrom(scan, "GPSLat");
    ASSERT_NE(lat, nullptr);
    EXPECT_STREQ(lat->name(), "");
    EXPECT_EQ(lat->pid(), 0);
    EXPECT_EQ(lat->typeCode(), 6);
    EXPECT_NE(lat->id(), 0u);
    EXPECT_NE(lat->id(), lap->id());
}

TEST_F(ChannelData, ATagWithContentIsReadPastToItsEnd) {
    const std::string xml =
        "<TeleInfo><lapdist adr=\"0\" type=\"UINT8\"><x/>text</lapdist><after/></TeleInfo>";
    XmlScan scan(xml.c_str());
    auto ch = channelFrom(scan, "lapdist");
    ASSERT_NE(ch, nullptr);
    XmlTok_t tok;
    scan.getTok(tok);
    EXPECT_EQ(tok.name, "after");
    EXPECT_EQ(scan.getDepth(), 2);
}

TEST_F(ChannelData, FaultyTagsRaiseTheReadersErrorTexts) {
    const std::string missing = errorOf("<r>\n <ch type=\"UINT8\"/></r>");
    EXPECT_EQ(missing.rfind("mandatory attribute not found (adr) in line 2 column ", 0), 0u) << missing;
    EXPECT_EQ(errorOf("<r><ch adr=\"10\" type=\"UINT7\"/></r>").rfind("attribute has wrong value (type)", 0),
              0u);
    EXPECT_EQ(errorOf("<r><ch adr=\"xyz\" type=\"UINT8\"/></r>").rfind("attribute is no hex number (adr)", 0),
              0u);
    EXPECT_EQ(errorOf("<r><ch adr=\"10\" type=\"UINT8\" b=\"two\"/></r>")
                  .rfind("attribute has wrong number (b)", 0),
              0u);
    EXPECT_EQ(errorOf("<r><ch adr=\"10\" type=\"UINT8\"/></r>"), "no error");
}

TEST_F(ChannelData, ValuesOfThisDeviceAreReadThroughMeasurementHandles) {
    const std::string xml =
        "<t>"
        "<ch name=\"speed\" adr=\"0x00" +
        [] {
            char b[8];
            std::snprintf(b, sizeof(b), "%06X", sigAddress(offsetof(SeramSigPage, lapctr)));
            return std::string(b);
        }() +
        "\" mask=\"0x0F00\" type=\"UINT16\" a=\"0\" b=\"2\" c=\"1\" f=\"4\"/>"
        "</t>";
    XmlScan scan(xml.c_str());
    auto ch = channelFrom(scan, "ch");
    ASSERT_NE(ch, nullptr);
    double v = -1;
    EXPECT_EQ(chan_meas_getValue(ch->id(), &v, 0), 0); // not set up yet
    ASSERT_EQ(chan_meas_setup(ch->id(), 3, 3), 1);
    EXPECT_EQ(chan_meas_setup(ch->id(), 3, 7), 1); // a second consumer
    seramSig().lapctr = 0x1234;                    // masked 0x0200, shifted 2: (2*2+1)/4
    ASSERT_EQ(chan_meas_getValue(ch->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, 1.25);
    seramSig().lapctr = 0x0F00;
    ASSERT_EQ(chan_meas_getValue(ch->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, 7.75);
    // This device's own PID in the address counts as this device.
    const uint16_t ownPid = app_pid;
    app_pid = 0x21;
    char own[128];
    std::snprintf(own, sizeof(own), "<t><ch adr=\"0x21%06X\" type=\"UINT16\"/></t>",
                  unsigned(sigAddress(offsetof(SeramSigPage, lapctr))));
    XmlScan ownScan(own);
    auto byPid = channelFrom(ownScan, "ch");
    EXPECT_EQ(chan_meas_setup(byPid->id(), 3, 3), 1);
    ASSERT_EQ(chan_meas_getValue(byPid->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, double(0x0F00));
    app_pid = ownPid;

    const uint32_t id = ch->id();
    ch.reset();
    EXPECT_EQ(chan_meas_getValue(id, &v, 0), 0);
    EXPECT_EQ(chan_meas_setup(id, 3, 3), 0);
}

TEST_F(ChannelData, SignedTypesAreShiftedNotMaskedAndBadConversionsAreInvalid) {
    seramSig().gps_year = -8; // s16 at its address
    char xml[256];
    std::snprintf(xml, sizeof(xml),
                  "<t><a adr=\"%X\" mask=\"0x0C\" type=\"SINT16\"/>"
                  "<b adr=\"%X\" type=\"SINT16\" d=\"1\" e=\"0\" f=\"0\"/></t>",
                  unsigned(sigAddress(offsetof(SeramSigPage, gps_year))),
                  unsigned(sigAddress(offsetof(SeramSigPage, gps_year))));
    XmlScan scan(xml);
    auto a = channelFrom(scan, "a");
    auto b = channelFrom(scan, "b");
    ASSERT_EQ(chan_meas_setup(a->id(), 3, 3), 1);
    ASSERT_EQ(chan_meas_setup(b->id(), 3, 3), 1);
    double v = 0;
    ASSERT_EQ(chan_meas_getValue(a->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, -2.0); // -8 >> 2
    v = 99;
    seramSig().gps_year = 0; // 0 / (1*0 + 0): undefined
    EXPECT_EQ(chan_meas_getValue(b->id(), &v, 0), 0);
    EXPECT_EQ(v, 99);
}

TEST_F(ChannelData, AnAddressOfThisDeviceNobodyServesIsNotSetUp) {
    XmlScan scan("<t><ch adr=\"0x007C0101\" type=\"FLOAT\"/></t>"); // calculation channel, none yet
    auto ch = channelFrom(scan, "ch");
    EXPECT_EQ(chan_meas_setup(ch->id(), 3, 3), 0);
    double v;
    EXPECT_EQ(chan_meas_getValue(ch->id(), &v, 0), 0);
    EXPECT_EQ(chan_meas_setup(0xFFFFFF, 3, 3), 0);
}

TEST_F(ChannelData, ValuesOfOtherDevicesComeThroughTheGatewaySubscription) {
    XmlScan scan("<t><ch name=\"rpm\" adr=\"0x3D000010\" type=\"SINT16\" b=\"2\"/></t>");
    auto ch = channelFrom(scan, "ch");
    ASSERT_EQ(ch->pid(), 0x3D);
    EXPECT_EQ(chan_meas_setup(ch->id(), 3, 3), 0);
    EXPECT_TRUE(logged(takeLog(), "channel 'rpm' of PID 61 needs the measurement gateway"));

    ChanData* subscribed = nullptr;
    uint16_t raster = 0;
    chan_setRemoteSubscriber([&](ChanData& c, uint16_t rate, uint16_t) {
        subscribed = &c;
        raster = rate;
        return true;
    });
    ASSERT_EQ(chan_meas_setup(ch->id(), 4, 3), 1);
    EXPECT_EQ(subscribed, ch.get());
    EXPECT_EQ(raster, 4);
    double v = 0;
    EXPECT_EQ(chan_meas_getValue(ch->id(), &v, 0), 0); // nothing arrived yet
    const uint8_t sample[2] = {0xFF, 0xFE};            // -2, big-endian
    ch->putSample(sample);
    ASSERT_EQ(chan_meas_getValue(ch->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, -4.0);
    ch->setTimeout(); // the device went quiet
    EXPECT_EQ(chan_meas_getValue(ch->id(), &v, 0), 0);
    const uint8_t next[2] = {0x00, 0x05};
    ch->putSample(next);
    ASSERT_EQ(chan_meas_getValue(ch->id(), &v, 0), 1);
    EXPECT_DOUBLE_EQ(v, 10.0);

    XmlScan other("<t><ch adr=\"0x3E000010\" type=\"UINT8\"/></t>");
    auto refused = channelFrom(other, "ch");
    chan_setRemoteSubscriber([](ChanData&, uint16_t, uint16_t) { return false; });
    EXPECT_EQ(chan_meas_setup(refused->id(), 3, 3), 0);
}

TEST_F(ChannelData, ASubscriptionUnderWayIsNeitherDoubledNorOutlivedByItsChannel) {
    XmlScan scan("<t><ch adr=\"0x3D000010\" type=\"UINT8\"/><ch adr=\"0x3D000011\" type=\"UINT8\"/></t>");
    auto first = channelFrom(scan, "ch");
    auto second = channelFrom(scan, "ch");
    std::atomic<int> subscribed{0};
    std::atomic<int> unsubscribed{0};
    std::atomic<const ChanData*> unsubscribedChannel{nullptr};
    std::promise<void> entered;
    std::promise<void> go;
    std::shared_future<void> release = go.get_future().share();
    chan_setRemoteSubscriber(
        [&](ChanData&, uint16_t, uint16_t) {
            if (subscribed++ == 0) entered.set_value();
            release.wait(); // the gateway sets the list up
            return true;
        },
        [&](ChanData& c) {
            ++unsubscribed;
            unsubscribedChannel = &c;
        });

    // A second set-up of the same channel while the first subscribes takes its outcome.
    std::atomic<int> results{0};
    std::thread a([&] { results += chan_meas_setup(first->id(), 3, 3); });
    entered.get_future().wait();
    std::thread b([&] { results += chan_meas_setup(first->id(), 3, 3); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    go.set_value();
    a.join();
    b.join();
    EXPECT_EQ(results, 2);
    EXPECT_EQ(subscribed, 1) << "one subscription per channel";

    // A channel released while it subscribes ends the subscription it gets.
    subscribed = 0;
    entered = std::promise<void>();
    go = std::promise<void>();
    release = go.get_future().share();
    const uint32_t id = second->id();
    const ChanData* gone = second.get();
    std::thread setup([&] { chan_meas_setup(id, 3, 3); });
    entered.get_future().wait();
    std::thread release2([&] { second.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    go.set_value();
    setup.join();
    release2.join();
    EXPECT_EQ(unsubscribed, 1) << "no delivery may reach a released channel";
    EXPECT_EQ(unsubscribedChannel, gone);
    double v = 0;
    EXPECT_EQ(chan_meas_getValue(id, &v, 0), 0);
    first.reset();
    EXPECT_EQ(unsubscribed, 2);
}
