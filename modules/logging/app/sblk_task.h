// The status block: a record that describes the car and the devices at a lap or at the end of a
// measurement file (project and ECU codes, device name, program identifiers of all devices, the
// file's description, the lap stack). The task "r_sblk_task" collects what the block needs (data
// blocks of the lap rasters, version texts, the lap-stack entry), waits for it at most 0.5 s, then
// writes the block into the file as meta record type 2 and, for a closing request, closes the file.
#pragma once

#include <atomic>
#include <cstdint>

class SeqRecord;
struct meas_blk;

inline constexpr uint32_t SB_STATIC_VERSIONS_AWAITED = 0x0001;
inline constexpr uint32_t SB_STATIC_LAPSTACK_AWAITED = 0x0002;
inline constexpr uint32_t SB_STATIC_WRITTEN = 0x1000;
inline constexpr uint32_t SB_DYN_LAP = 0x4000;
inline constexpr uint32_t SB_DYN_PER = 0x8000;
inline constexpr uint32_t SB_DYN_DATA_MISSING = 0x0001;
inline constexpr int SB_BLOCK_SIZE = 4212;
inline constexpr int SB_PRIORITY = 130;
inline constexpr int SB_STACK = 12288;

extern std::atomic<uint32_t> sb_static_status;
extern std::atomic<uint32_t> sb_dyn_status[2];
extern std::atomic<uint8_t> sb_SwOff; // set at power-down: no lap-stack entry from the network

// What the file store asks a status block for. Only the BCD times and the texts reach the file.
struct sb_request_t {
    int32_t vfIdx; // file; -1 none
    void* hst;
    void* pretrig;
    uint8_t bcdNow[6];
    uint8_t bcdCreate[6];
    char fileName[80];
    char cfgName1[80];
    char cfgName2[80];
    char syslogName[80];
};

// Start-up: spawns "r_sblk_task" and waits for it; 1 ok, 0 failed or a second call.
int sblk_task_init(const char* name = "r_sblk_task", int priority = SB_PRIORITY, int stack = SB_STACK);
// An accepted lap event. Returns 1.
int sblk_task_laptrigger(uint16_t previousLap, uint16_t previousOuting, uint32_t timestamp, uint32_t laptime);
void sblk_task_trigger_fast(); // 5 ms raster
void sblk_task_trigger_slow(); // 1000 ms raster
void sblk_power_down();
// A status block ending the file: 3 busy (the caller closes the file itself), else 2: the task
// writes the block and closes the file. After the power-down a busy task takes the request as
// soon as the running one is done (2): the last files of a session keep their blocks.
int sb_create(const sb_request_t* request, int closeType, int index);
// A status block of measurement `index` (0 or 2) is being collected, waits for the task or waits
// behind a running one: a closing request would find the task busy.
bool sb_busy(int index);
// A status block written into the open file by the task: 2, or -1 while a lap's block runs.
int sb_create_write(const sb_request_t* request, int closeType, int index);
// A status-block data block received (the latest record of a lap-raster block).
void sb_store_block_dyn(meas_blk* block, const uint8_t* data);
SeqRecord* sb_per_buffer_request(uint16_t size);
void sb_per_buffer_release(SeqRecord* buffer);
const char* sb_get_meas_name(int index);
uint32_t sb_get_project_code();
// The bytes of block 0 or 1 as written last (tests and diagnostics): its length.
int sb_copy_block(int block, uint8_t* out, int size);
// Host and tests: ends the task.
void sblk_task_exit();
