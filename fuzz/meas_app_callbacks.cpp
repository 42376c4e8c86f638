// Arbitrary start replies, records and time-out events fed to the logging's three gateway
// callbacks for one block of each kind: no crash, no read outside a record or reply, counts that
// never run below zero, and every FIFO and buffer given back when the block stops.
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/sblk_task.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/fifo/meas_fifo_data.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Input {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    // `len` bytes in a buffer of exactly that size, so that reading past it is caught.
    std::vector<uint8_t> bytes(size_t len) {
        std::vector<uint8_t> v(len, 0);
        for (auto& b : v) b = byte();
        return v;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    static const uint16_t kinds[] = {MEAS_BLK_DATA, MEAS_BLK_COND, MEAS_BLK_FIFOCOND, MEAS_BLK_TELE,
                                     MEAS_BLK_DATA | MEAS_BLK_LAPSB};
    const uint16_t type = kinds[in.byte() % 5];
    MeasBlkInfo info{};
    info.numAddr = 1 + in.byte() % 8;
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < info.numAddr; ++i) {
        static const uint8_t widths[] = {1, 2, 4};
        info.addrSize[i] = widths[in.byte() % 3];
        bytes += info.addrSize[i];
    }
    info.recordSize = 4 + bytes;
    info.blockNo = 1;
    info.true_div = info.false_div = 1;
    info.samplesPerRecord = 1;
    MEASConfiguration cfg{};
    cfg.BlkInfo = &info;
    cfg.num_blocks = 1;

    meas_instance& m = meas[0];
    m.config = &cfg;
    m.lockDataSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    m.lockCondSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    meas_blk b{};
    b.instance = &m;
    b.blkinfo = &info;
    b.pid = 16;
    b.type = type;
    b.teleId = 1;
    b.fifoId = 0xFFFF;
    b.activeCondChannel = 0xFF;
    b.cfgCondChannel = in.byte() % 62;
    b.raster = (type & MEAS_BLK_LAPSB) ? 12 : (type & MEAS_BLK_FIFOCOND) ? 2 : 3;
    b.condBit = (type & (MEAS_BLK_COND | MEAS_BLK_FIFOCOND)) ? 1 : 0;
    if (type & MEAS_BLK_COND) b.condBuf = new SeqRecord(info.recordSize);
    m.startCnt = 1;

    uint32_t starts = 0;
    for (int ops = 0; in.n && ops < 64; ++ops) {
        const uint8_t op = in.byte() % 3;
        const uint32_t event = in.byte() % 14;
        if (op == 0) {
            ++starts;
            // A reply holds a latency per value, or none.
            std::vector<uint8_t> reply = in.bytes(2 * info.numAddr);
            meas_app_gw_cbStart(event, in.byte() & 1 ? reply.data() : nullptr, &b);
        } else if (op == 1) {
            std::vector<uint8_t> rec = in.bytes(info.recordSize);
            meas_app_gw_cbData(event, in.byte() & 1 ? rec.data() : nullptr, &b);
        } else {
            uint16_t pid = b.pid;
            meas_app_gw_cbTout(event, in.byte() & 1 ? &pid : nullptr, in.byte() & 1 ? &b : nullptr);
        }
        if (m.replyCnt.load() + m.replyErrCnt.load() > starts || m.replyCnt.load() > 0x7FFFFFFF) std::abort();
    }
    // The block stops: everything it took is given back.
    meas_app_blkstopreq = 0;
    meas_app_blockstop(&b);
    if (b.fifoId != 0xFFFF && fifo_data_release(b.fifoId) == 0) std::abort();
    for (auto& l : meas_app_measlist)
        if (l == &b) std::abort();
    delete b.condBuf;
    delete b.teleBuf;
    sb_per_buffer_release(b.sbBuf);
    semDelete(m.lockDataSem);
    semDelete(m.lockCondSem);
    m.config = nullptr;
    m.lockDataSem = m.lockCondSem = SEM_ID_NULL;
    m.startCnt = m.replyCnt = m.replyErrCnt = 0;
    fifo_data_release_all();
    meas_app_fifo_numbering_reset();
    return 0;
}
