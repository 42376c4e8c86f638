// The three measurement instances of the logging (m01 main logging, m02 telemetry, m03 second
// logging) and their block descriptors: one block is one list of values of one device in one
// raster, subscribed at the measurement gateway; condition blocks switch recording on and off.
#pragma once

#include "logging/config/meas_app_cfg.h"
#include "logging/fifo/seq_record.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>

struct gw_connection;
struct MeasAppStore_FileInfo_s;
struct MeasFrame;
struct meas_instance;
struct meas_blk;

inline constexpr int MEAS_INSTANCES = 3;
inline constexpr int MEAS_RASTER_CODES = 20;

// Type word of a block.
enum : uint16_t {
    MEAS_BLK_TELE = 0x01,
    MEAS_BLK_COND = 0x02,
    MEAS_BLK_FIFOCOND = 0x04,
    MEAS_BLK_DATA = 0x08,
    MEAS_BLK_LAPSB = 0x10, // lap or status-block raster (codes 11, 12)
};
// State word of a block.
enum : uint16_t {
    MEAS_BS_PAUSED = 0x01,
    MEAS_BS_ACKED = 0x02,   // start acknowledged
    MEAS_BS_SETUP = 0x04,   // list set up at the gateway
    MEAS_BS_OFFLINE = 0x08, // start failed: device offline or silent
    MEAS_BS_FAILED = 0x10,  // start failed otherwise
    MEAS_BS_ACKSEEN = 0x20,
    MEAS_BS_SPEEDINIT = 0x40,
};
// Condition and telemetry record states.
enum : int8_t {
    MEAS_REC_NONE = 0,
    MEAS_REC_VALUE = 1,
    MEAS_REC_FAILED = -1,
    MEAS_REC_NOTACKED = -128,
};
// Status-block buffer flags.
enum : uint8_t { MEAS_SB_LAPREQ = 0x01, MEAS_SB_STOPPENDING = 0x02 };

// What the file store keeps per block.
struct MeasAppStore_data {
    NODE node; // membership in its file's block list (first: the node is the record)
    meas_blk* block;
    MeasAppStore_FileInfo_s* file; // null: no file open
    uint32_t initTs;               // init time stamp of that file; all ones = none
    uint32_t nextTs;               // the stamp of the cut after that file's; all ones = none known yet
    MeasFrame* frame;
};

struct meas_blk {
    meas_blk* prev; // links in the running list the block belongs to
    meas_blk* next;
    meas_instance* instance;
    uint16_t index; // instance index 0..2
    const MeasBlkInfo* blkinfo;
    uint32_t lastTs; // of the last sample taken from its FIFO
    uint16_t samplesPerRecord;
    uint64_t condBit; // condition blocks: 1 << n
    uint16_t pid;
    uint16_t teleId;
    uint16_t blockId;
    uint16_t fifoId; // 0xFFFF none
    uint8_t activeCondChannel;
    uint8_t cfgCondChannel;
    uint8_t condRef; // 1 + lowest condition bit (+ 62 for m03); 0 unconditional
    uint16_t type;
    uint16_t raster; // raster code (condition blocks: 2 or 3 by their kind)
    uint8_t refused; // refused at creation (PID, frame id, frame): never started
    // Latest record of a status-block (lap) block; written by the measurement raster, read by the
    // status-block task.
    SeqRecord* sbBuf;
    std::atomic<uint8_t> sbNew; // a record not yet written
    std::atomic<uint8_t> sbFlags;
    std::atomic<uint8_t> sbLocked; // lap-triggered data held for the lap's status block
    // Condition and telemetry blocks: the latest record and its state.
    SeqRecord* condBuf;
    std::atomic<uint32_t> condCnt;
    std::atomic<int8_t> condState;
    SeqRecord* teleBuf;
    std::atomic<int8_t> teleState;
    std::atomic<uint16_t> state;
    uint16_t divisor;
    // A stopping block takes what its source still delivers up to the stop (a late calculation
    // task stamps its records with their tick's time): until a record of its last period before
    // stopTs, or until stopUntil, which each record delivered meanwhile moves on up to a limit (all
    // ones: no wait). Noted by the stop, moved on by the measurement raster.
    std::atomic<uint32_t> stopTs;
    std::atomic<uint32_t> stopPeriod;
    std::atomic<uint32_t> stopUntil;
    MeasAppStore_data store;
    std::atomic<uint32_t> gwHandle;
};

// The counters of a measurement file.
struct meas_filecounters {
    uint16_t outing, lap, absLap, fragment;
    bool valid;
};

struct meas_instance {
    MEASConfiguration* config; // null: instance not configured
    size_t configSize;
    char* dcp;
    size_t dcpSize;
    meas_blk* blocks; // data blocks, then condition blocks
    uint16_t numBlocks;
    meas_blk* firstCond;
    std::atomic<uint16_t> started; // bit 0 started, bit 1 stopping
    std::atomic<uint16_t> state;   // bit 0 configured, bit 1 waiting for the condition, bit 2 condition
    uint16_t dataBlocks;
    uint16_t engineBlocks;
    uint16_t engineCondBlocks;
    uint16_t chassisBlocks;
    uint16_t chassisCondBlocks;
    std::atomic<uint32_t> savedRecords;
    std::atomic<uint32_t> startCnt;
    std::atomic<uint32_t> replyCnt;
    std::atomic<uint32_t> replyErrCnt;
    std::atomic<uint16_t> ackData, ackCond, ackFifoCond, ackTele, ackSbLap, ackLap;
    uint16_t stoppedCond, stoppedFifoCond, stoppedTele;
    uint64_t globCondMask;
    std::atomic<uint64_t> condBits;
    std::atomic<uint16_t> forcedFrag;
    std::atomic<uint8_t> fileWritten;
    std::atomic<uint8_t> fileOpened; // a file was opened since the start
    meas_filecounters lastFile;      // the file opened last (the logging task's)
    gw_connection* gw;
    void* hst; // streaming writer: none in this system
    // Store handle: set and cleared by the logging task, read by the lap and shell tasks too (a cut).
    std::atomic<void*> pretrig;
    void* evLogger; // event logger
    SEM_ID lockDataSem;
    SEM_ID lockCondSem;
    std::atomic<uint32_t> firstSampleTs;
};

enum : uint16_t { MEAS_STARTED = 0x01, MEAS_STOPPING = 0x02 };
enum : uint16_t { MEAS_ST_CONFIGURED = 0x01, MEAS_ST_WAITING = 0x02, MEAS_ST_GLOBCOND = 0x04 };

extern meas_instance meas[MEAS_INSTANCES];

// The running lists: acknowledged DATA, lap and status-block blocks by raster code, COND blocks
// and acknowledged FIFOCOND blocks per instance. Newest first.
extern meas_blk* meas_app_measlist[MEAS_RASTER_CODES];
extern meas_blk* meas_app_condlist[MEAS_INSTANCES];
extern meas_blk* meas_app_blkcondlist[MEAS_INSTANCES];
// Per instance bit PID-1 of every device with an SB-Lap block.
extern std::atomic<uint64_t> ALL_SBLK_CONTROLLERS[MEAS_INSTANCES];

// Global condition of m01 and m03 (1 while it holds or when none is configured).
extern std::atomic<uint8_t> meas_globcond_m01;
extern std::atomic<uint8_t> meas_globcond_m03;

// Type name of a block for messages: "COND", "FIFOCOND", "DATA" or "TELE".
const char* meas_app_blktype(const meas_blk* block);
// Raster names: "1ms" ... "Off", "R:0x%X" for codes without a name.
const char* convraster2ascii(uint16_t code, char* buffer);

// Divisor 1 every sample, 0 paused; the paused bit follows. The gateway's answer (1 sent).
int meas_app_set_blockspeed(meas_blk* block, uint16_t divisor);
