// The logging application: three measurement instances driven by one state machine on the
// measurement raster, their blocks at the measurement gateway, the start conditions, and what the
// lap counters, the drive tables and the shutdown ask of it.
#pragma once

#include "logging/disk/meas_app_disk.h"

#include <atomic>
#include <cstdint>
#include <string>

struct meas_blk;
struct meas_filecounters;
struct LapOutFraCut;

// Request flags (bits of meas_app_get_flags).
extern std::atomic<uint8_t> meas_app_stopreq, meas_app_reinitreq, meas_app_destroyreq, meas_app_startreq,
    meas_app_blkstopreq, meas_app_faststopreq, meas_app_hstinitreq, meas_app_running, meas_app_remoteread;
extern std::atomic<uint8_t> meas_app_remotestart_lock, meas_app_remotestop_active;
extern std::atomic<uint8_t> powerdown;
// Set by the data callback when a running block got no record within its time-out.
extern std::atomic<uint8_t> meas_app_datatimeout;
// Statistics of the last second.
extern std::atomic<uint8_t> meas_compression_m01, meas_compression_m03;
extern std::atomic<uint16_t> meas_rate_m01, meas_rate_m03;
extern std::atomic<uint32_t> meas_cnt_ecu, meas_cnt_fde;

uint16_t meas_app_get_flags();
bool meas_app_startreq_condition();

// Start-up after cfg_system_ini.
void meas_app_ini();
// One step of the state machine (first in every tick of the measurement raster).
void meas_app_main();
// The measurement raster's tick: the state machine, then the saving of each raster code in its
// phase.
void rMeasure();
// New lap/outing counts: applied at once while no measurement runs, else by the restart sequence.
void meas_app_laptrigger_update(uint16_t lap, uint16_t outing);
void meas_app_setForcedFrag(int index);
bool meas_app_getMeasStopped(int index);
// Cuts the files of m01 and m03 at their pretrigger.
void meas_app_clearsegmentation();
// Start-up, at the lap counters' place: gives lap timing what a lap does to the logging, the lap
// stack and the lap's status block included (lap_setLogging).
void meas_app_lap_connect();
// The start's names, on the measurement raster: fixed once the start's search of the drives' folders
// has ended, a drive it waits for hangs, or the shutdown begins (meas_app_names.cpp).
void meas_app_namesStep();
void meas_app_checksegmentation();
// Cuts the files of m01 and m03 into a new fragment now, for `kind` (a LapOutFraCutKind of a forced
// fragment: no close stamp record), and logs the cut; the cut made.
LapOutFraCut meas_app_forceFragment(uint8_t kind);
// Asks for the copy of a closed file of instance `index` to the stick: through the measurement's
// store, or at once when there is none (destroyed).
void meas_app_copyToStick(int index, const meas_filecounters& counters);
// After a stop: when a file was opened since the start, the fragment moves on, so that the next
// start never reopens a closed file's name.
void meas_app_fragmentAfterStop();
void meas_app_fastmeasstop();
// Shutdown: the fast stop (only while logging is active); the wait for its end.
void meas_app_remotefaststop();
bool meas_app_faststop_done();
uint8_t meas_app_hstinit();
void meas_app_calc_recording_rates();
void meas_app_check_datatimeout();
void meas_app_checkFragmentTrigOnUSBEvent();

// Shell prints.
std::string meas_app_print_measstate();
std::string meas_app_print_errorPIDS();
// Registers "meas_state" and "meas_errpids".
void meas_app_cmds_init();

// Blocks (create, start, stop, destroy) and the raster work.
void meas_app_measinit();
// Takes the configuration over: 1 created, 0 refused (the configuration freed).
int meas_app_meascreate(int index, struct MEASConfiguration* configuration, size_t size);
uint16_t meas_app_blockinit(meas_blk* block);
void meas_app_measstart();
uint16_t meas_app_measstop(uint8_t keepTelemetry);
uint16_t meas_app_measdestroy();
uint16_t meas_app_blockstart(meas_blk* block);
uint16_t meas_app_blockstop(meas_blk* block);
void meas_app_init_blockspeed();
void meas_app_check_measconditions();
void meas_app_saveblock(int code);
void meas_app_saveblock_lap();
void meas_app_timeout_close(int code);
uint16_t meas_app_get_sbblkcnt(int index);
uint16_t meas_app_get_lrblkcnt(int index);
uint8_t meas_app_get_meas_state_sb();
void meas_app_store_block_sb(meas_blk* block, const uint8_t* data);
void meas_app_pidlist_delete(uint8_t keepTelemetry);
// FIFO slots, data time-out in raster cycles and raster code of a raster identifier.
uint16_t meas_app_getslotnum(uint16_t code);
uint32_t meas_app_getdatatimeout(uint16_t code);
uint16_t meas_app_convraster(uint16_t rasterId);
// Text of a gateway event code.
std::string conv_gwerrors2ascii(uint32_t code);

// The three gateway callbacks.
uint32_t meas_app_gw_cbData(uint32_t event, void* record, void* block);
uint32_t meas_app_gw_cbStart(uint32_t event, void* reply, void* block);
uint32_t meas_app_gw_cbTout(uint32_t event, void* pid, void* block);
// On the measurement raster, after rMeasure: a measurement that has got no value in its first
// 10 s of logging says why, once (a warning): the devices its blocks read sent none, or its start
// waits for the counters of a lap-trigger master that does not answer.
void meas_app_check_silence();
