// Stopping a 10 ms block whose source is seconds late (a busy host holds the device's ticks back):
// the block takes every record up to the stop while the source still delivers, however long it
// takes to catch up, and gives up 3 s after the source has gone silent or 30 s after the stop.
#include "lapfixture.h"
#include "logcfg_fixture.h"

#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/fifo/meas_fifo_data.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/hostclock.h"

#include <new>
#include <string>

using namespace logcfgtest;

namespace {

class StopTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        std::string error;
        ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
        hostclock_setManual(true);
        LapOutFra_exit();
        ASSERT_EQ(LapOutFra_init(), 0);
        LapOutFra_initLapOutCnt(1, 1);
        fifo_data_release_all();
        meas_instance& m = meas[MEAS_M01];
        m.config = &cfg;
        m.lockDataSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        info.recordSize = 8;
        info.numAddr = 1;
        info.addrSize[0] = 4;
        info.blockNo = 1;
    }
    void TearDown() override {
        meas_list_unlink(&meas_app_measlist[MEAS_RASTER_10MS], &block);
        fifo_data_release_all();
        meas_instance& m = meas[MEAS_M01];
        m.started = 0;
        m.firstSampleTs = 0;
        m.config = nullptr;
        semDelete(m.lockDataSem);
        m.lockDataSem = SEM_ID_NULL;
        meas_app_blkstopreq = 0;
        LapOutFra_exit();
        nvram_writeBehindEnd(10000); // what is queued goes into this test's store, none into the next one's
        sb_lapstack_forget();
        nvdb_close();
        LogTest::TearDown();
    }

    // The block running, its source `lateMs` behind the clock.
    void start(uint32_t lateMs) {
        block.~meas_blk();
        new (&block) meas_blk();
        block.instance = &meas[MEAS_M01];
        block.blkinfo = &info;
        block.type = MEAS_BLK_DATA;
        block.raster = MEAS_RASTER_10MS;
        block.pid = 16;
        block.blockId = 1;
        block.divisor = 1;
        block.state = MEAS_BS_ACKED | MEAS_BS_SETUP;
        block.fifoId = 0;
        fifo_data_request_t rq{};
        rq.signalCount = 1;
        rq.widths[0] = 4;
        rq.raster = MEAS_RASTER_10MS;
        rq.factorA = rq.factorB = 1;
        rq.pid = 16;
        rq.blockNo = 1;
        ASSERT_EQ(fifo_data_request(&rq), 0);
        meas_list_push(&meas_app_measlist[MEAS_RASTER_10MS], &block);
        sourceTs = time_getTimestamp() - lateMs * 10;
    }
    // The source's next record.
    void deliver() {
        sourceTs += 100;
        uint8_t rec[8] = {uint8_t(sourceTs >> 24), uint8_t(sourceTs >> 16), uint8_t(sourceTs >> 8),
                          uint8_t(sourceTs)};
        fifo_data_put(0, rec, sizeof rec);
    }
    // One cycle of the 10 ms raster's saving, 10 ms later.
    void cycle() {
        hostclock_advanceMs(10);
        fifo_data_set_curr_ts(time_getTimestamp());
        meas_app_saveblock(MEAS_RASTER_10MS);
    }
    bool stopped() const { return block.fifoId == 0xFFFF; }

    laptest::NvFolder nv;
    MEASConfiguration cfg{};
    MeasBlkInfo info{};
    meas_blk block{};
    uint32_t sourceTs = 0;
};

} // namespace

TEST_F(StopTest, ALateSourceIsWaitedForWhileItDeliversAndNoLongerOnceItIsSilent) {
    struct Row {
        const char* what;
        uint32_t lateMs;   // how far the source is behind the clock at the stop
        uint32_t silentMs; // after the stop it delivers a record every 20 ms up to this, then none
        uint32_t stopsAfterMs;
        bool reachesStop; // the block's last record is the one of the stop's period
    };
    const Row rows[] = {
        // At half the clock's pace it takes 7 s to make up 3.5 s.
        {"a source 3.5 s late that catches up", 3500, 100000, 7000, true},
        // Given up 3 s after its last record.
        {"a source that falls silent 1 s after the stop", 3500, 1000, 4000, false},
        // 100 s late, it would take 200 s.
        {"a source that would take longer than 30 s", 100000, 100000, 30000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        start(row.lateMs);
        const uint32_t stopTs = time_getTimestamp();
        meas_app_measstop(0);
        uint32_t ms = 0;
        while (!stopped() && ms < 60000) {
            if (ms < row.silentMs && ms % 20 == 0) deliver();
            cycle();
            ms += 10;
        }
        ASSERT_TRUE(stopped());
        EXPECT_NEAR(double(ms), double(row.stopsAfterMs), 40.0);
        EXPECT_EQ(int32_t(block.lastTs + 100 - stopTs) >= 0, row.reachesStop) << block.lastTs;
        meas_list_unlink(&meas_app_measlist[MEAS_RASTER_10MS], &block);
        meas[MEAS_M01].started = 0;
        log();
    }
}
