// The own PID takes the road of any other device: the gateway polls it, requests its lists by
// address and by name, and the own measurement manager serves them through local FIFOs.
#include "test_gw_fixture.h"

#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/measman/meas_man.h"

using namespace gwtest;

namespace {

class GwOwnPid : public GwTest {
protected:
    void SetUp() override {
        GwTest::SetUp();
        if (HasFatalFailure()) return;
        seramInit();
        ASSERT_EQ(meascalinfo_init(), 1);
        ASSERT_TRUE(meas_man_ini());
        meas_man_virtChan_registered = 1;
        meas_man_CanIO_initialized = 1;
        link(SELF, true);
        tick(2); // polled and answered by the own manager
    }
    void TearDown() override {
        gw_meas_exit();
        meas_man_exit();
        meas_man_virtChan_registered = 0;
        meas_man_CanIO_initialized = 0;
        link(SELF, false);
        GwTest::TearDown();
    }
    // The calculation task's copy of the 10 ms raster, then delivery.
    void copyAndDeliver(uint32_t stamp) {
        meas_man_copy(3, stamp);
        gw_raster(3);
    }
};

} // namespace

TEST_F(GwOwnPid, AddressListOfTheOwnDeviceIsServedByTheOwnManager) {
    EXPECT_EQ(gw_pid_offline(SELF), 0) << "the own manager answers the state poll";
    seramSig().RtpIndex = 0x01020304;
    const meascalinfo_t* info = meascalinfo_getInfo("RtpIndex");
    ASSERT_NE(info, nullptr);
    const uint32_t list[4] = {0xFFFFFFFC, info->pAdr & 0xFFFFFF, 0, 0};
    const uint32_t byAddress = gw_setup_list(conn, list, &consumer, 16, 3, SELF, 1, 0, 1, 4, 8, 5);
    ASSERT_NE(byAddress, 0u);
    gw_start_list(byAddress);
    tick(2);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 1);
    copyAndDeliver(1234);
    const auto data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(ci_get32(data[0].bytes.data()), 1234u);
    EXPECT_EQ(ci_get32(data[0].bytes.data() + 4), 0x01020304u);

    // Removal: the own manager drops the list and its FIFO; nothing is delivered any more.
    gw_kill_list(byAddress);
    tick(12);
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    consumer.clear();
    copyAndDeliver(2000);
    EXPECT_TRUE(consumer.events(GW_CB_DATA).empty());
}

TEST_F(GwOwnPid, NameListOfTheOwnDeviceRunsOnALocalFifo) {
    seramSig().RtpIndex = 77;
    // A name list addressed to this device: its PID comes from the device-type table.
    const uint16_t self = SELF;
    app_pid = 16;
    link(16, true);
    tick(2);
    static const char names[] = "RtpIndex";
    const uint32_t sub =
        gw_setup_list_measByName(conn, "MSD_APP0", names, &consumer, sizeof(names), 1, 3, 1, 0, 1, 4, 5);
    ASSERT_NE(sub, 0u);
    consumer.startByName = true;
    gw_start_list(sub);
    tick(2);
    const auto starts = consumer.events(GW_CB_START);
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(starts[0].event, GW_EVT_OK);
    ASSERT_GE(starts[0].bytes.size(), 24u);
    const uint8_t* answer = starts[0].bytes.data();
    EXPECT_EQ(ci_get32(answer), 1u) << "one signal";
    EXPECT_EQ(ci_get16(answer + 4), 4) << "at offset 4";
    copyAndDeliver(4320); // a new name list writes one divisor after it was chained
    copyAndDeliver(4321);
    const auto data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(ci_get32(data[0].bytes.data()), 4321u);
    EXPECT_EQ(ci_get32(data[0].bytes.data() + 4), 77u);
    gw_kill_list(sub);
    tick(12);
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
    link(16, false);
    app_pid = self;
}
