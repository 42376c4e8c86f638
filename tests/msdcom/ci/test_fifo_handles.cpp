// Handle numbers and the handle-based FIFO lifecycle.
#include "ci_fixture.h"
#include "framework/nvram.h"
#include "framework/raster.h"
#include "msdcom/ci/dynkomm.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"
#include "testsupport.h"

#include <chrono>
#include <thread>

using namespace citest;

namespace {

struct TableDeleter {
    void operator()(magic_table* t) const { magicNumber_destroyMem(t); }
};
using Table = std::unique_ptr<magic_table, TableDeleter>;

// Gives this process a boot counter, as start-up does from the NV store.
void bootWithCounter(uint32_t stored) {
    testsupport::TempDeviceRoot root;
    std::string err;
    ASSERT_TRUE(appman_init(0, &err)) << err;
    ASSERT_TRUE(nvram_init());
    nvram_dbs_write(NV_REC_BOOTCOUNT, 0, &stored, sizeof(stored));
    boot_count_init();
    nvram_close();
    ASSERT_EQ(boot_count_get(), stored + 1);
}

} // namespace

TEST(MagicNumber, FirstHandleCarriesTheBootByteAndOtherBootsNeverValidate) {
    bootWithCounter(0x1233);
    Table t(magicNumber_createMem(MAGIC_TABLE_SIZE, MAGIC_HOLD_TICKS));
    ASSERT_TRUE(t);
    const uint32_t h = magicNumber_getNewMagic(t.get());
    EXPECT_EQ(h, 0x34000001u);
    EXPECT_EQ(magicNumber_magic2index(t.get(), h), 1u);
    EXPECT_EQ(magicNumber_magic2index(t.get(), 0x33000001), MAGIC_INVALID) << "a handle of the previous boot";
    EXPECT_EQ(magicNumber_magic2index(t.get(), 0), MAGIC_INVALID);

    dynkomm_exit();
    ASSERT_TRUE(dynkomm_ini());
    EXPECT_EQ(dynkomm_get_magic(), 0x34000001u);
    dynkomm_exit();
}

TEST(MagicNumber, IndexZeroIsSkippedWhenTheCounterWraps) {
    Table t(magicNumber_createMem(MAGIC_TABLE_SIZE, MAGIC_HOLD_TICKS));
    ASSERT_TRUE(t);
    const uint32_t boot = uint32_t(magicNumber_bootByte(t.get())) << 24;
    const uint32_t first = magicNumber_getNewMagic(t.get());
    EXPECT_EQ(first, boot | 1);
    ASSERT_EQ(magicNumber_deleteMagic_noTimeout(t.get(), first), 1u);
    for (uint32_t c = 2; c < 65536; ++c) {
        const uint32_t h = magicNumber_getNewMagic(t.get());
        ASSERT_EQ(h, boot | c);
        ASSERT_EQ(magicNumber_deleteMagic_noTimeout(t.get(), h), 1u);
    }
    const uint32_t wrapped = magicNumber_getNewMagic(t.get());
    EXPECT_EQ(wrapped, boot | 0x010001) << "counter 65536 has index 0 and is skipped";
    EXPECT_EQ(magicNumber_magic2index(t.get(), wrapped), 1u);
    EXPECT_EQ(magicNumber_magic2index(t.get(), first), MAGIC_INVALID) << "same index, earlier round";
}

TEST(MagicNumber, DeletedHandleIsHeldForItsTicksBeforeItsIndexReturns) {
    Table t(magicNumber_createMem(4, MAGIC_HOLD_TICKS)); // room for three handles
    ASSERT_TRUE(t);
    const uint32_t a = magicNumber_getNewMagic(t.get()), b = magicNumber_getNewMagic(t.get()),
                   c = magicNumber_getNewMagic(t.get());
    ASSERT_NE(c, 0u);
    EXPECT_EQ(magicNumber_getNewMagic(t.get()), 0u) << "full";
    EXPECT_EQ(magicNumber_deleteMagic(t.get(), b), 1u);
    EXPECT_EQ(magicNumber_deleteMagic(t.get(), b), 0u);
    EXPECT_EQ(magicNumber_deleteMagic(t.get(), 0), 0u);
    EXPECT_EQ(magicNumber_magic2index(t.get(), b), MAGIC_INVALID);
    EXPECT_EQ(magicNumber_magic2index(t.get(), a), a & 3);
    for (uint32_t tick = 0; tick < MAGIC_HOLD_TICKS; ++tick) {
        magicNumber_garbageCollection(t.get());
        ASSERT_EQ(magicNumber_getNewMagic(t.get()), 0u) << "reissued after " << tick + 1 << " ticks";
    }
    magicNumber_garbageCollection(t.get()); // the tick that finds the hold at 0
    const uint32_t again = magicNumber_getNewMagic(t.get());
    EXPECT_EQ(again & 3, b & 3);
    EXPECT_NE(again, b);
    EXPECT_EQ(magicNumber_deletedCount(t.get()), 0u);

    EXPECT_EQ(magicNumber_getNewMagic(nullptr), 0u);
    EXPECT_EQ(magicNumber_magic2index(nullptr, a), MAGIC_INVALID);
    EXPECT_EQ(magicNumber_createMem(6, 1), nullptr) << "not a power of two";
}

class PathTest : public CiTest {
protected:
    void SetUp() override {
        CiTest::SetUp();
        dynkomm_exit();
        ASSERT_TRUE(dynkomm_ini());
    }
    void TearDown() override {
        dynkomm_exit();
        CiTest::TearDown();
    }
};

TEST_F(PathTest, HandleEntryGoesReservedPreparedCreatedAndUnlinksLocally) {
    const uint32_t h = dynkomm_fifo_reserve(OWN_PID);
    ASSERT_NE(h, 0u);
    dynkomm_fifo* f = reinterpret_cast<dynkomm_fifo*>(1);
    EXPECT_EQ(dynkomm_get_fifo(h, &f), 2);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(dynkomm_fifo_create(h, OWN_PID, h, OWN_PID, 3, 8, 12, 0), nullptr) << "not prepared";
    ASSERT_EQ(dynkomm_fifo_prepare(h), 1);
    EXPECT_EQ(dynkomm_get_fifo(h, &f), 2);

    ASSERT_EQ(dynkomm_fifo_link(h, OWN_PID, OWN_PID, 3, 8, 12, DYNKOMM_FLAG_QUEUE), h);
    ASSERT_EQ(dynkomm_get_fifo(h, &f), 1);
    EXPECT_EQ(f->peer, h);
    EXPECT_EQ(f->handle, h);
    EXPECT_EQ(f->route_tag, DYNKOMM_ROUTE_LOCAL);
    EXPECT_EQ(f->depth, 8);

    EXPECT_EQ(dynkomm_fifo_unlink(OWN_PID, OWN_PID, h), 0u);
    EXPECT_FALSE(dynkomm_fifo_isLive(f));
    EXPECT_EQ(dynkomm_get_fifo(h, &f), 0);
    EXPECT_EQ(dynkomm_fifo_unlink(OWN_PID, OWN_PID, h), 0u);
    EXPECT_EQ(dynkomm_fifo_free(h), 0);
    EXPECT_EQ(dynkomm_fifo_prepare(0x12345678), 0);
}

TEST_F(PathTest, SinkForAnotherSourceTakesTheRouteTagOfItsNextHop) {
    routing_set_table_entries({ROUTE_ETH, 0x0A000005}, 5, 5);
    routing_set_table_entries({ROUTE_LOCSOCK, 0}, 6, 6);
    const uint32_t h = dynkomm_fifo_reserve(5); // prepared by the path manager's default
    dynkomm_fifo* f = nullptr;
    EXPECT_EQ(dynkomm_get_fifo(h, &f), 2);
    ASSERT_EQ(dynkomm_fifo_activate(h, 5, 4, 32, 20, 0), h);
    ASSERT_EQ(dynkomm_get_fifo(h, &f), 1);
    EXPECT_EQ(f->src_pid, 5);
    EXPECT_EQ(f->dst_pid, OWN_PID);
    EXPECT_EQ(f->route_tag, DYNKOMM_ROUTE_LOCAL) << "the sink's destination is this device";
    EXPECT_EQ(dynkomm_fifo_free(h), 1);
    EXPECT_FALSE(dynkomm_fifo_isLive(f));

    const uint32_t g = dynkomm_fifo_reserve(6);
    dynkomm_fifo* e = dynkomm_fifo_create(g, OWN_PID, 0x99, 6, 3, 4, 8, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->route_tag, DYNKOMM_ROUTE_LOCSOCK);
    const uint32_t k = dynkomm_fifo_reserve(5);
    dynkomm_fifo* d = dynkomm_fifo_create(k, OWN_PID, 0x98, 5, 3, 4, 8, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->route_tag, DYNKOMM_ROUTE_ETH);
    EXPECT_EQ(dynkomm_fifo_activate(0x7777, 5, 4, 32, 20, 0), 0u) << "a handle that does not validate";
}

namespace {
struct SenderFake {
    std::vector<dynkomm_fifo*> started, stopped;
    int stopResult = 1;
    uint32_t sourceResult = 0;
    uint32_t sourceLocal = 0;
};
SenderFake gSender;
void fakeStart(dynkomm_fifo* f) {
    gSender.started.push_back(f);
}
int fakeStop(dynkomm_fifo* f) {
    gSender.stopped.push_back(f);
    return gSender.stopResult;
}
uint32_t fakeSource(uint32_t req, uint32_t local, uint16_t own, uint16_t reqPid, uint16_t raster,
                    uint16_t slot, uint16_t flags) {
    gSender.sourceLocal = local;
    if (gSender.sourceResult == 0) return 0;
    dynkomm_fifo* f = dynkomm_fifo_create(local, own, req, reqPid, raster, 4, slot, flags);
    return f ? local : 0;
}
} // namespace

TEST_F(PathTest, RemoteUnlinkReturnsThePeerHandleAndNeverReleasesAListedFifo) {
    gSender = SenderFake{};
    msdcom_netops ops{};
    ops.comint_put_eth = fakePutEth;
    ops.comint_status = fakeStatus;
    ops.SerNet_man_start_sending = fakeStart;
    ops.SerNet_man_stop_sending = fakeStop;
    ops.sernet_man_fifo_create_source = fakeSource;
    msdcom_netops_install(ops);

    EXPECT_EQ(dynkomm_fifo_link(0x22000005, OWN_PID, 7, 3, 0, 16, 0), 0u);
    dynkomm_fifo* f = nullptr;
    EXPECT_EQ(dynkomm_get_fifo(gSender.sourceLocal, &f), 0) << "the handle of a failed source goes back";

    gSender.sourceResult = 1;
    const uint32_t local = dynkomm_fifo_link(0x22000006, OWN_PID, 7, 3, 0, 16, 0);
    ASSERT_NE(local, 0u);
    ASSERT_EQ(dynkomm_get_fifo(local, &f), 1);
    EXPECT_EQ(dynkomm_fifo_unlink(7, OWN_PID, local), 0x22000006u);
    EXPECT_FALSE(dynkomm_fifo_isLive(f));

    gSender.sourceResult = 1;
    const uint32_t stuck = dynkomm_fifo_link(0x22000007, OWN_PID, 7, 3, 0, 16, 0);
    ASSERT_EQ(dynkomm_get_fifo(stuck, &f), 1);
    gSender.stopResult = 0;
    EXPECT_EQ(dynkomm_fifo_unlink(7, OWN_PID, stuck), 0x22000007u);
    EXPECT_TRUE(dynkomm_fifo_isLive(f)) << "may still be in a sender list";
    dynkomm_fifo_release(f);
}

TEST_F(PathTest, TidyUpOnlyLogsTheRemainingFifo) {
    comint_msg m = makeMsg(0x1100, 4, OWN_PID, 0, 0xABCD0123);
    drainLog();
    ci_serve_command(&m);
    EXPECT_EQ(countContaining(drainLog(), "dynkomm_tidy_up(): mem leak:  fifo will remain 0xabcd0123"), 1);
}

// dynkomm_ini gives the FIFO side its once-a-second collection in the 1000 ms raster.
TEST_F(PathTest, CollectionTickRunsOnceASecondInTheRasters) {
    hostclock_setManual(true);
    ASSERT_NE(basetick_start(), SEM_ID_NULL);
    ASSERT_TRUE(raster_init());
    ASSERT_TRUE(raster_start());
    dynkomm_fifo_collect();
    dynkomm_fifo_collect();
    ASSERT_EQ(dynkomm_fifo_retiredCount(), 0u);
    dynkomm_fifo_params p;
    p.depth = 2;
    p.slot_size = 4;
    dynkomm_fifo* f = dynkomm_fifo_new(p);
    ASSERT_NE(f, nullptr);
    dynkomm_fifo_release(f);
    EXPECT_EQ(dynkomm_fifo_retiredCount(), 1u);
    hostclock_advanceMs(2000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dynkomm_fifo_retiredCount() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(dynkomm_fifo_retiredCount(), 0u);
    raster_stop();
    basetick_stop();
    hostclock_setManual(false);
}
