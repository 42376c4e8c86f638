// The lap, outing and fragment counters (`LapOutFra`) that name the measurement files, with the
// absolute lap counter that never repeats. They live in NV record 0 (fragment, outing, lap) and NV
// record 261 (absolute lap), little-endian, and in the signal-page variables lapctr, outctr,
// fractr and abslap. New counters come from lap events, from the logging and from the shell.
//
// The mutex `LapOutFraSem` guards the state; a second mutex serialises the stores, so the NV
// records never end up older than the state after parallel stores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t NV_REC_LAPOUTFRA = 0;          // 6 bytes: u16 fragment, outing, lap
inline constexpr uint32_t NV_REC_LAPOUTFRA_ABSLAP = 261; // 2 bytes: u16 absolute lap
inline constexpr int LAPOUTFRA_LTMAVAIL_PRIORITY = 161;
inline constexpr int LAPOUTFRA_LTMAVAIL_STACK = 100000;

struct LapOutFraState {
    uint16_t lap;
    uint16_t outing;
    uint16_t absLap;    // wraps from 0xFFFF to 0
    uint16_t fragment;  // 1..255
    uint32_t timestamp; // of the last lap or fragment trigger (100 us); 0 after start
    uint8_t valid;      // 1 once LapOutFra_initLapOutCnt has run
};

// Start-up: the counters from NV (a new absolute lap per start) and the mutex. 0 ok, 1 failed.
int LapOutFra_init();
// The start's decision right after LapOutFra_init: counters at once on a device that is not a
// lap-trigger slave (or in test-bench mode), else the task "r_ltmAvail" asks the master.
void LapOutFra_start();

// Lap and outing; valid from now on. The first of a start has the folder of every drive that takes
// data read, each on its drive's own task, for the absolute laps its files hold (the start's
// search): until the names are fixed (LapOutFra_settleNames) the absolute lap is provisional.
void LapOutFra_initLapOutCnt(uint16_t lap, uint16_t outing);
// Whether the start's names are fixed: the absolute lap of the counters is final. A file named from
// the counters before is named anew when they are fixed, and no drive gets it before.
bool LapOutFra_namesFinal();
// The drives whose folder the start's search has not read yet (empty once each read has ended, or
// before the search was asked for).
std::vector<std::string> LapOutFra_searchLeft();
// Whether the start's search was asked for: the first LapOutFra_initLapOutCnt of the start.
bool LapOutFra_searchAsked();
// Fixes the start's names: the counters go on after the furthest absolute lap that the folders read
// hold ahead of the start's (a folder not read counts as holding none), their fragment kept. Returns
// by how much the absolute lap moved on (0: not at all): every name given from the counters before
// moves on by as much. Once a start; later calls return 0.
uint16_t LapOutFra_settleNames();
// Logs "LapOutFra_initLapOutCnt(): Starting with file: <name>" once a start, with the name of the
// start's first file, or (null) the name the counters give now.
void LapOutFra_startingWith(const char* name);
// Every change of the counters that ends a measurement file is a cut, kept in a history of the
// running measurement's cuts: its own counters (its file's name) and stamp, and what made it. A
// record belongs to the newest cut stamped before it, so that cuts that come close together, or
// before the logging has seen a record after the one before, each keep a file of their own. A cut's
// counters and stamp never change once it is made: a later cut never renames an earlier one's file.
enum LapOutFraCutKind : uint8_t {
    LOF_CUT_START,    // the logging starts: its files begin with the counters as they stand
    LOF_CUT_LAP,      // a new lap
    LOF_CUT_OUTING,   // a new outing
    LOF_CUT_FRAGMENT, // the fragment trigger
    // Forced fragments: the file they end has no close stamp record.
    LOF_CUT_SIZE,    // the file's size limit
    LOF_CUT_TIME,    // its time limit
    LOF_CUT_ARRIVAL, // a USB stick's arrival
    LOF_CUT_DRIVE,   // a drive cannot take the open file, or answers again
    LOF_CUT_STOP,    // a stop or destroy moves the fragment on
};
struct LapOutFraCut {
    uint32_t seq;   // 1, 2, ... in the order the cuts were made; 0: none
    uint32_t stamp; // 100 us; never before the stamp of the cut made before it
    uint16_t lap;
    uint16_t outing;
    uint16_t absLap;
    uint16_t fragment;
    uint8_t kind; // LapOutFraCutKind
};
// How many cuts the history keeps: far more than a measurement's records can lag behind.
inline constexpr uint32_t LAPOUTFRA_CUTS_KEPT = 256;

// A new lap from a lap event: absolute lap + 1, fragment 1. `cut` (may be null) gets the cut made.
void LapOutFra_setLapOutCnt(uint16_t lap, uint16_t outing, uint32_t timestamp, LapOutFraCut* cut = nullptr);
// An update of lap or outing from the master: hands a change on to the logging.
void LapOutFra_chngLapOutCnt(uint16_t lap, uint16_t outing);
// The next fragment of the same lap, cut for `kind` (the fragment trigger, or a forced fragment);
// a time stamp of 0 is the moment of the call. `cut` (may be null) gets the cut made.
void LapOutFra_setFragmentTrig(uint32_t timestamp, uint8_t kind = LOF_CUT_FRAGMENT,
                               LapOutFraCut* cut = nullptr);
// The logging starts at `timestamp`: a cut with the counters as they stand (they do not change).
// False when the counters are not valid or their lock cannot be taken.
bool LapOutFra_startCut(uint32_t timestamp, LapOutFraCut* cut);
// The number of the newest cut (0: none yet), read without the lock.
uint32_t LapOutFra_newestCut();
// The cut numbered `seq`, while the history keeps it.
bool LapOutFra_cut(uint32_t seq, LapOutFraCut* out);
// The cut in force for a record stamped `ts`: the newest cut from number `from` on stamped before
// it, or the first kept from `from` on when none is (a record older than that cut belongs to it).
// False when no cut from `from` on is kept.
bool LapOutFra_cutAt(uint32_t ts, uint32_t from, LapOutFraCut* out);
// Whether the file a cut of this kind ends closes as the counters moving on (a close stamp record)
// rather than as a forced fragment.
bool LapOutFra_countersCut(uint8_t kind);
// "lap", "new outing", "fragment", "size limit", ..., as the log names what made a cut.
const char* LapOutFra_cutKindName(uint8_t kind);
// Whether the counters of every change made so far are in NV; waits up to `ms` for them. A change
// stores them on the NV store's own task; no file waits for it, as the next start's search of the drives
// goes on after any absolute lap that a power cut left the stored counters behind.
bool LapOutFra_waitStored(int ms);

// The 12-character file name of measurement index 0 ('A') or 2 ('B') with the current (or a given)
// absolute lap counter. The length written; -1 for a bad argument or index 1 (no files, "");
// size - 1 when the name was cut.
int LapOutFra_genFilename(char* buffer, uint32_t size, uint8_t index, uint8_t outing, uint8_t lap,
                          uint8_t fragment);
int LapOutFra_genFilenameAbsLap(char* buffer, uint32_t size, uint8_t index, uint8_t outing, uint8_t lap,
                                uint8_t fragment, uint16_t absLap);

uint8_t LapOutFra_isValid();
uint32_t LapOutFra_getTimeStamp();
// Copy of the state; when the lock cannot be taken only `valid` is set (to 0).
void LapOutFra_getState(LapOutFraState* out);

// Asks the lap-trigger master for the counters while this logging slave has none (10 ms).
void LapOutFra_checkExtLaptrgInit();
// Body of "r_ltmAvail".
void LapOutFra_queryLapOutCntTask();
// The shell commands "lof_set", "lof_laptrig", "lof_outtrig", "lof_fratrig", "lof_get". 0, or -1
// at the first registration that fails.
int LapOutFra_cmds_init();
// The logging drive reports changed configuration data: a new outing in test-bench mode.
void fde_system_sd_data_changed();

// Host and tests: drops the mutexes, as before LapOutFra_init.
void LapOutFra_exit();
