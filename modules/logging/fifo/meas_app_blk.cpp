#include "logging/fifo/meas_app_blk.h"

#include "logging/fifo/meas_fifo_data.h"
#include "msdcom/gateway/gw_meas.h"

#include <cstdio>

meas_instance meas[MEAS_INSTANCES];
meas_blk* meas_app_measlist[MEAS_RASTER_CODES];
meas_blk* meas_app_condlist[MEAS_INSTANCES];
meas_blk* meas_app_blkcondlist[MEAS_INSTANCES];
std::atomic<uint64_t> ALL_SBLK_CONTROLLERS[MEAS_INSTANCES];
std::atomic<uint8_t> meas_globcond_m01{0};
std::atomic<uint8_t> meas_globcond_m03{0};

const char* meas_app_blktype(const meas_blk* block) {
    if (block->type & MEAS_BLK_COND) return "COND";
    if (block->type & MEAS_BLK_FIFOCOND) return "FIFOCOND";
    if (block->type & MEAS_BLK_DATA) return "DATA";
    return "TELE";
}

const char* convraster2ascii(uint16_t code, char* buffer) {
    static const char* const names[] = {"1ms",   "2ms",   "5ms", "10ms", "20ms", "50ms",  "100ms",
                                        "200ms", "500ms", "1s",  "Sync", "Lap",  "SB-Lap"};
    if (code < sizeof names / sizeof names[0])
        std::snprintf(buffer, 16, "%s", names[code]);
    else if (code == MEAS_RASTER_NONE)
        std::snprintf(buffer, 16, "Off");
    else
        std::snprintf(buffer, 16, "R:0x%X", unsigned(code));
    return buffer;
}

int meas_app_set_blockspeed(meas_blk* block, uint16_t divisor) {
    if (!block || !block->instance) return 0;
    const int sent = gw_list_speed(block->instance->gw, block->gwHandle.load(), divisor);
    block->divisor = divisor;
    if (block->fifoId != 0xFFFF) {
        if (divisor == 0)
            fifo_data_pause(block->fifoId);
        else
            fifo_data_resume(block->fifoId);
    }
    if (divisor == 0)
        block->state.fetch_or(MEAS_BS_PAUSED);
    else
        block->state.fetch_and(uint16_t(~MEAS_BS_PAUSED));
    return sent;
}
