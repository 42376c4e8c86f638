// Channel data of another device through the gateway: setting the channel up subscribes its one
// value, each record hands the value in, and a data time-out invalidates it.
#include "test_gw_fixture.h"

#include "measdata/chandata.h"
#include "xml/xmlscan.h"

#include <memory>

using namespace gwtest;

namespace {

std::unique_ptr<ChanData> channel(XmlScan& scan) {
    XmlTok_t tok;
    while (scan.getTok(tok) != XMLTOK_EOF)
        if (tok.type == XMLTOK_START_ATTR && tok.name == "ch") return std::make_unique<ChanData>(&scan, &tok);
    return nullptr;
}

} // namespace

TEST_F(GwTest, ChannelOfAnotherDeviceIsFedByTheGateway) {
    ASSERT_TRUE(gw_chandata_ini());
    // Device 3's 16-bit value at 0x012340, scaled by 2.
    XmlScan scan("<t><ch adr=\"0x03012340\" type=\"UINT16\" b=\"2\"/></t>");
    auto ch = channel(scan);
    ASSERT_TRUE(ch);
    ASSERT_EQ(chan_meas_setup(ch->id(), 3, 3), 1);
    double value = 0;
    EXPECT_EQ(chan_meas_getValue(ch->id(), &value, 0), 0) << "no value yet";

    tick();
    const auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(ci_get16(req[0].data), 3) << "at the channel's raster";
    EXPECT_EQ(ci_get32(req[0].data + 12), 0xFFFFFFFEu) << "a 2-byte group";
    EXPECT_EQ(ci_get32(req[0].data + 16), 0x00012340u) << "the device's own address";
    dynkomm_fifo* fifo = makeFifo();
    accept(req[0], fifo, 0x5E000001);

    uint8_t* slot = dynkomm_write(fifo);
    ASSERT_NE(slot, nullptr);
    ci_put32(slot, 1000);
    ci_put16(slot + 4, 21);
    dynkomm_writedone(fifo);
    gw_raster(3);
    ASSERT_EQ(chan_meas_getValue(ch->id(), &value, 0), 1);
    EXPECT_DOUBLE_EQ(value, 42.0);

    // No record within the time-out: the value is no longer valid.
    for (int i = 0; i < 5; ++i) gw_raster(3);
    EXPECT_EQ(chan_meas_getValue(ch->id(), &value, 0), 0);
    chan_setRemoteSubscriber(nullptr);
}

TEST_F(GwTest, AChannelThatGoesAwayIsNoLongerFed) {
    ASSERT_TRUE(gw_chandata_ini());
    XmlScan scan("<t><ch adr=\"0x03012340\" type=\"UINT16\"/></t>");
    auto ch = channel(scan);
    ASSERT_TRUE(ch);
    ASSERT_EQ(chan_meas_setup(ch->id(), 3, 3), 1);
    tick();
    const auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    dynkomm_fifo* fifo = makeFifo();
    accept(req[0], fifo, 0x5E000002);

    const uint32_t id = ch->id();
    ch.reset(); // the configuration that held it is released
    uint8_t* slot = dynkomm_write(fifo);
    ASSERT_NE(slot, nullptr);
    ci_put32(slot, 1000);
    ci_put16(slot + 4, 21);
    dynkomm_writedone(fifo);
    gw_raster(3); // a record for the gone channel must not reach it (ASan would see it)
    double value = 0;
    EXPECT_EQ(chan_meas_getValue(id, &value, 0), 0);
    tick();
    EXPECT_EQ(takeGot(0x0502).size(), 1u) << "its only subscription ended, so the list is stopped";
    chan_setRemoteSubscriber(nullptr);
}
