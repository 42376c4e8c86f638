// The logging state machine, stepped once per tick of the measurement raster: requests (start,
// stop, re-initialise, destroy, fast stop) become the create/start/stop/destroy operations of the
// blocks in a fixed order; a time stamp that runs backwards or new lap/outing counts restart the
// measurement; files are cut into fragments by size, time or a USB stick's arrival.
#include "framework/board_io.h"
#include "framework/msd_shell.h"
#include "framework/postrun.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lap_hooks.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_remote.h"
#include "logging/app/meas_app_store.h"
#include "logging/app/sb_lapstack.h"
#include "logging/app/sblk_task.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/fifo/meas_fifo_data.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

std::atomic<uint8_t> meas_app_stopreq{0}, meas_app_reinitreq{0}, meas_app_destroyreq{0}, meas_app_startreq{0},
    meas_app_blkstopreq{0}, meas_app_faststopreq{0}, meas_app_hstinitreq{0}, meas_app_running{0},
    meas_app_remoteread{0};
std::atomic<uint8_t> meas_app_remotestart_lock{0}, meas_app_remotestop_active{0};
std::atomic<uint8_t> powerdown{0};
std::atomic<uint8_t> meas_compression_m01{0}, meas_compression_m03{0};
std::atomic<uint16_t> meas_rate_m01{0}, meas_rate_m03{0};
std::atomic<uint32_t> meas_cnt_ecu{0}, meas_cnt_fde{0};

namespace {

std::atomic<uint32_t> meas_app_stopstart{0};
std::atomic<uint16_t> lt_update_lap_cnt{0}, lt_update_out_cnt{0};
uint8_t meas_stopstart_req = 0;
uint32_t timestamp_old = 0;
// Read by the remote control too (start condition).
std::atomic<uint8_t> timestamp_valid{0};
uint8_t LOGGING2_TARGET_PARTITION_ram = 0;
uint32_t gTick = 0;

// A destroy waiting for its files to close: it waits as a stop does, as long as they move (the
// PC's answer says what it waits for).
std::unique_ptr<MeasAppStore_FilesWait> destroyClosing;

struct BufStats {
    uint8_t state = 0;
    uint16_t ptSize = 0, ptSizeMax = 0, beSize = 0, beSizeMax = 0;
    uint32_t ptCnt = 0, ptCntMax = 0, beCnt = 0, beCntMax = 0;
};
BufStats gStats[MEAS_INSTANCES];

uint16_t mib200(uint32_t bytes) {
    return uint16_t(((bytes >> 10) * 200) >> 10);
}

bool loggingActive() {
    return cfg_system.loggingActive != 0;
}

void statistics() {
    meas_cnt_ecu = meas[MEAS_M01].savedRecords.load();
    meas_cnt_fde = meas[MEAS_M03].savedRecords.load();
    meas_cnt_update();
    for (int i : {MEAS_M01, MEAS_M03}) {
        BufStats& s = gStats[i];
        void* h = meas[i].pretrig;
        if (!h) {
            s = BufStats{};
            continue;
        }
        uint32_t b = 0, bm = 0, c = 0, cm = 0;
        meas_app_PreTrigGetMeasVarsPT(h, &s.state, &b, &bm, &c, &cm);
        s.ptSize = mib200(b);
        s.ptSizeMax = mib200(bm);
        s.ptCnt = c;
        s.ptCntMax = cm;
        meas_app_PreTrigGetMeasVarsBE(h, &b, &bm, &c, &cm);
        s.beSize = mib200(b);
        s.beSizeMax = mib200(bm);
        s.beCnt = c;
        s.beCntMax = cm;
    }
}

} // namespace

// The copy of a closed file to the stick: through the measurement's store, whose drive writer
// starts it after what it has in hand, or at once when there is no store (destroyed).
void meas_app_copyToStick(int index, const meas_filecounters& c) {
    if (!c.valid) return;
    static char target[] = "usb_meas:";
    // A stop, destroy or shutdown meanwhile waits for it too: the stick gets the file whole.
    const uint32_t id = MeasAppStore_copyAsked(index, c.outing, c.lap, c.absLap, c.fragment);
    CopyFile_t rq{c.outing, c.lap, c.absLap, c.fragment, target, 0, id};
    if (meas[index].pretrig)
        meas_app_PreTrigCopyFile(meas[index].pretrig, &rq);
    else
        meas_app_copyFileStart(rq, index);
}

namespace {

// A writer whose drive cannot take the open file (its name taken there, the drive failed it, or
// the drive answers again after it failed): logging goes on in a new file. Several asks that come
// together cut once. Any cut made after the writer's newest file (a lap's, a fragment's, an
// arrival's, one forced for an earlier ask), its file opened by its first record yet or not, is its
// new file: no cut is forced then, and none ever moves that cut's counters.
void checkCutNeeded() {
    bool cut = false;
    int index = 0;
    std::string why;
    bool overtaken = false;
    uint32_t seen = 0;
    while (meas_app_PreTrigTakeNewFileAsk(&index, &why, &overtaken, &seen)) {
        const bool ending = postrun_requested(), running = meas_app_running.load() != 0 && !ending;
        if (overtaken || (running && seen != 0 && LapOutFra_newestCut() > seen)) {
            syslogx(LOG_PRIO_INFO,
                    "meas_app_main(): %s; a file was cut since, which it takes as any drive: "
                    "no other is cut",
                    why.c_str());
            continue;
        }
        syslogx(running ? LOG_PRIO_ERR : LOG_PRIO_INFO, "meas_app_main(): %s; %s", why.c_str(),
                running  ? "a new file is cut"
                : ending ? "the shutdown has begun, no file is cut"
                         : "logging does not run, no file is cut");
        cut = cut || running;
    }
    if (cut) meas_app_forceFragment(LOF_CUT_DRIVE);
}

// While no block writes (stopped, destroying, shutting down) the files left are closed at once,
// each as soon as the status-block task can take its block. Files closed on every drive leave the
// file queue.
void closeFilesLeft() {
    if (destroyClosing || powerdown.load() ||
        (meas_app_running.load() == 0 && (meas_app_get_flags() & 0x7F) == 0))
        MeasAppStore_checkForFlushIdx(7, true);
    MeasAppStore_pruneFiles();
}

// Re-arming a pretrigger needs the open frames of its measurement handed over first.
void armFlushes() {
    for (int i : {MEAS_M01, MEAS_M03}) {
        void* h = meas[i].pretrig;
        if (h && meas_app_PreTrigArmFlushRequested(h)) {
            MeasAppStore_checkForFlushIdx(1 << i);
            meas_app_PreTrigArmFlushDone(h);
        }
    }
}

} // namespace

uint16_t meas_app_get_flags() {
    const uint8_t f[] = {meas_app_stopreq,           meas_app_reinitreq,  meas_app_destroyreq,
                         meas_app_startreq,          meas_app_blkstopreq, meas_app_faststopreq,
                         meas_app_hstinitreq,        meas_app_running,    meas_app_remotestart_lock,
                         meas_app_remotestop_active, meas_app_remoteread};
    uint16_t w = 0;
    for (int i = 0; i < 11; ++i) w |= uint16_t((f[i] & 1) << i);
    return w;
}

// Logging starts while the start's search still reads the drives' folders: the files wait in the
// store for their names (meas_app_namesStep).
bool meas_app_startreq_condition() {
    return meas_app_startreq.load() == 1 && LapOutFra_isValid() && timestamp_valid == 1;
}

uint8_t meas_app_hstinit() {
    return 1; // no streaming writer in this system
}

void meas_app_ini() {
    LOGGING2_TARGET_PARTITION_ram = seramCal().LOGGING2_TARGET_PARTITION;
    MeasAppStore_init();
    powerdown = 0;
    meas_app_stopstart = 0;
    for (auto* f : {&meas_app_stopreq, &meas_app_reinitreq, &meas_app_destroyreq, &meas_app_startreq,
                    &meas_app_blkstopreq, &meas_app_faststopreq, &meas_app_hstinitreq, &meas_app_running,
                    &meas_app_remoteread})
        *f = 0;
    meas_app_reinitreq = loggingActive() ? 1 : 0;
    if (cfg_system.ecuCode == 0) meas_led_set_status(0x800000);
    meas_fifo_data_init_load_vars();
    // The tasks the logging's own drive calls run on (cfg: is read, never written by the logging).
    for (const cfg_meas_drv2Hw_t& d : cfg_meas_drv2Hw)
        if (std::strcmp(d.drive, "cfg:") != 0) meas_app_driveCallStart(d.drive);
    meas_app_remote_ini();
    meas_app_cmds_init();
}

void meas_app_main() {
    // 1. Time.
    const uint32_t t = time_getTimestamp();
    fifo_data_set_curr_ts(t);
    fifo_cond_set_curr_ts(t);
    bool resynced = false;
    if (timestamp_valid == 1 && int32_t(t - timestamp_old) < 0) {
        meas_stopstart_req = 1;
        fifo_data_time_resync(true);
        resynced = true;
        syslogx(LOG_PRIO_WARNING, "meas_app_main(): timestamp reset detected: restarting measurement");
    }
    if (timestamp_valid == 1) timestamp_old = t;
    timestamp_valid = time_getSyncState() > 2 ? 1 : 0;
    if (!resynced) fifo_data_time_resync(false);

    // The start's names, before any file is named in this step.
    meas_app_namesStep();
    // Once the shutdown's fast stop is asked for nothing is started, built or walked any more (asked
    // for by another task, so looked at before each step).
    auto ending = [] { return powerdown.load() != 0 || meas_app_faststopreq.load() != 0; };
    // 2. Restart sequence.
    if (ending()) {
    } else if (meas_app_stopstart.load() == 0) {
        if (meas_stopstart_req) {
            meas_stopstart_req = 0;
            meas_app_stopstart = 3;
        }
    } else if ((meas_app_get_flags() & 0x7F) == 0) {
        if (meas_app_stopstart.load() == 3) {
            if (meas_app_remotestop_active.load()) {
                meas_app_stopstart = 0;
                LapOutFra_initLapOutCnt(lt_update_lap_cnt, lt_update_out_cnt);
            } else {
                meas_app_stopreq = 1;
                meas_app_stopstart = 4;
            }
        } else if (meas_app_stopstart.load() == 4) {
            LapOutFra_initLapOutCnt(lt_update_lap_cnt, lt_update_out_cnt);
            fifo_data_time_resync(true);
            meas_app_startreq = 1;
            meas_app_stopstart = 0;
        }
    }
    // 3. Stop.
    if (meas_app_stopreq.load() == 1) {
        syslogx(LOG_PRIO_INFO, "Stopping measurement");
        meas_app_measstop(1);
        syslogx(LOG_PRIO_INFO, "Measurement stopped, meas_app_get_flags %03X",
                unsigned(meas_app_get_flags()));
        // Not running before the request reads done: the remote control answers on that.
        meas_app_running = 0;
        meas_app_stopreq = 0;
    }
    // 4. Destroy: everything stops first; the measurement is freed only once every file is closed
    // on its drives as a stop closes it (its last records and its status block written, read-only),
    // and the PC's answer waits for that.
    if (meas_app_destroyreq.load() == 1 && meas_app_stopreq.load() == 0 && meas_app_blkstopreq.load() == 0) {
        if (!destroyClosing) {
            destroyClosing = std::make_unique<MeasAppStore_FilesWait>("meas_app_main(): the destroy");
            meas_app_measstop(0);
        } else if (destroyClosing->poll() != 0 && !MeasAppStore_statusBlockAsked()) {
            // A status block being collected still goes into the store: the store goes after it.
            meas_app_measdestroy();
            destroyClosing.reset();
        }
    }
    // A start or init that came while a stop or destroy was under way.
    meas_app_remoteDeferred();
    // 5. Re-initialise.
    if (!ending() && meas_app_reinitreq.load() == 1 && meas_app_DisksReady() == 0) {
        syslogx(LOG_PRIO_INFO, "Init new measurement");
        meas_app_measinit();
        syslogx(LOG_PRIO_INFO, "New measurement initialized");
        meas_app_reinitreq = 0;
        meas_app_hstinitreq = 1;
        meas_app_hstinit();
    }
    // 6. Streaming writer.
    if (!ending() && meas_app_hstinitreq.load() == 1 && meas_app_hstinit()) {
        meas_app_hstinitreq = 0;
        meas_app_startreq = 1;
    }
    // 7. Start.
    if (!ending() && meas_app_startreq_condition()) {
        syslogx(LOG_PRIO_INFO, "Start new measurement");
        // On the drive's own task, beside the start: logging begins at once on every drive, and a
        // drive that hangs in its check fails only its own files. The walk deletes only the files
        // it found downloaded, never those the measurement makes meanwhile.
        for (int i = 0; i < MEAS_INSTANCES; ++i) {
            const cfg_meas_t* c = cfg_meas_getCfgPartition(i);
            if (!c || c->fileLess) continue;
            const std::string drive = c->targetPartition;
            bool checked = false; // two instances on one drive check it once
            for (int j = 0; j < i; ++j) {
                const cfg_meas_t* o = cfg_meas_getCfgPartition(j);
                checked = checked || (o && !o->fileLess && drive == o->targetPartition);
            }
            if (checked) continue;
            // Made also after a check that hung: it waits for the drive's hung call to return.
            meas_app_driveCallAsync(
                drive.c_str(), "the D-flag check",
                [drive] { return MeasAppStore_driveCheckDirectoryFlags(drive.c_str()); }, true);
        }
        meas_app_clearsegmentation();
        MeasAppStore_newRun();
        // The run's files begin with the counters as they stand now.
        LapOutFraCut start{};
        if (LapOutFra_startCut(time_getTimestamp(), &start)) MeasAppStore_runStarted(start);
        meas_app_measstart();
        syslogx_headEnd(LOG_PRIO_INFO, "New measurement started");
        meas_app_startreq = 0;
        meas_app_running = 1;
    }
    // 8. Statistics, 9. fragmentation.
    statistics();
    armFlushes();
    meas_app_checksegmentation();
}

void rMeasure() {
    const uint32_t c = gTick++;
    meas_app_main();
    meas_app_saveblock(0);
    if (c & 1) {
        meas_app_saveblock(1);
        meas_app_saveblock(10);
    }
    if (c % 5 == 2) meas_app_saveblock(2);
    if (c % 10 == 3) {
        meas_app_saveblock(3);
        LapOutFra_checkExtLaptrgInit();
        closeFilesLeft();
    }
    if (c % 20 == 11) meas_app_saveblock(4);
    if (c % 50 == 16) meas_app_saveblock(5);
    if (c % 100 == 33) {
        meas_app_driveWatch(); // a hung drive call is named at 10 s, from the start on
        meas_app_saveblock(6);
        meas_app_saveblock(11);
        meas_app_saveblock(12);
        meas_app_timeout_close(11);
        meas_app_timeout_close(12);
        meas_fifo_data_update_load_vars();
        checkCutNeeded();
    }
    if (c % 200 == 111) meas_app_saveblock(7);
    if (c % 500 == 123) meas_app_saveblock(8);
    if (c % 1000 == 187) {
        meas_app_saveblock(9);
        MeasAppStore_checkForFlush();
        meas_app_calc_recording_rates();
        meas_fifo_data_syslog();
        meas_app_check_datatimeout();
        meas_app_checkFragmentTrigOnUSBEvent();
    }
}

void meas_app_laptrigger_update(uint16_t lap, uint16_t outing) {
    lt_update_lap_cnt = lap;
    lt_update_out_cnt = outing;
    if (loggingActive()) {
        meas_app_stopstart = 3;
        if (meas_app_running.load() == 0) LapOutFra_initLapOutCnt(lap, outing);
    } else {
        LapOutFra_initLapOutCnt(lap, outing);
    }
}

void meas_app_setForcedFrag(int index) {
    if (index >= 0 && index < MEAS_INSTANCES) meas[index].forcedFrag = 1;
}

void meas_app_clearsegmentation() {
    meas_app_PreTrigTriggerFragment(meas[MEAS_M01].pretrig);
    meas_app_PreTrigTriggerFragment(meas[MEAS_M03].pretrig);
}

void meas_app_lap_connect() {
    // Not waited for (the same job not begun yet stands for a later one): what lap timing reads of a
    // drive's folder holds neither the start nor the state machine.
    static const auto onDrive = [](const char* drive, const char* what, int (*job)(const char*)) {
        return meas_app_driveCallAsync(
            drive, what, [d = std::string(drive), job] { return job(d.c_str()); }, true);
    };
    // The names are fixed on the measurement raster, which names the files (meas_app_namesStep).
    static const auto searchEnded = [] {};
    static const LapLoggingHooks hooks{sb_lapstack_reset_history,  sb_lapstack_add_entry,
                                       sblk_task_laptrigger,       meas_app_clearsegmentation,
                                       meas_app_laptrigger_update, onDrive,
                                       meas_app_dataDrives,        searchEnded};
    lap_setLogging(&hooks);
}

LapOutFraCut meas_app_forceFragment(uint8_t kind) {
    meas[MEAS_M01].forcedFrag = 1;
    meas[MEAS_M03].forcedFrag = 1;
    meas_app_clearsegmentation();
    LapOutFraCut cut{};
    LapOutFra_setFragmentTrig(time_getTimestamp(), kind, &cut);
    if (cut.seq != 0) {
        char name[MEAS_FILENAME_LEN] = "";
        LapOutFra_genFilenameAbsLap(name, sizeof name, 0, uint8_t(cut.outing), uint8_t(cut.lap),
                                    uint8_t(cut.fragment), cut.absLap);
        syslogx(LOG_PRIO_INFO, "meas_app_forceFragment(): the files are cut at %u.%04u s for the %s: %s",
                unsigned(cut.stamp / 10000), unsigned(cut.stamp % 10000), LapOutFra_cutKindName(kind), name);
    }
    return cut;
}

void meas_app_checksegmentation() {
    int r = meas_app_PreTrigCheckFragment(meas[MEAS_M01].pretrig);
    if (r == 0) r = meas_app_PreTrigCheckFragment(meas[MEAS_M03].pretrig);
    if (r == 0) return;
    meas_app_forceFragment(r == 1 ? LOF_CUT_SIZE : LOF_CUT_TIME);
    if (r == 1)
        syslogx(LOG_PRIO_INFO, "meas_app: Fragmentation because of size (%d kbytes)",
                int(seramCal().FILEFRAGMENTATION_SIZE) << 10);
    else if (r == 2)
        syslogx(LOG_PRIO_INFO, "meas_app: Fragmentation because of time (%d s)",
                int(seramCal().FILEFRAGMENTATION_TIME));
}

void meas_app_fastmeasstop() {
    MeasAppStore_closeAllFilesFast();
    meas_app_fragmentAfterStop();
    powerdown = 1;
    syslogx(LOG_PRIO_INFO, "meas_app_fastmeasstop(): the files are closed at once; nothing is stored, built "
                           "or started any more");
    meas_app_faststopreq = 0;
}

void meas_app_remotefaststop() {
    if (loggingActive()) meas_app_faststopreq = 1;
}

bool meas_app_faststop_done() {
    return meas_app_faststopreq.load() == 0;
}

void meas_app_calc_recording_rates() {
    auto rate = [](std::atomic<uint32_t>& un, std::atomic<uint32_t>& co, std::atomic<uint8_t>& comp,
                   std::atomic<uint16_t>& r) {
        const uint32_t u = un.exchange(0), c = co.exchange(0);
        comp = c == 0 ? 0 : uint8_t(std::min<uint64_t>(uint64_t(u) * 10 / c, 255));
        // Saturates: the rate is a u16 of 1/51.2 units.
        r = uint16_t(std::min<double>(u * 0.01953125, 65535.0));
    };
    rate(meas_data_size_m01_uncompressed, meas_data_size_m01_compressed, meas_compression_m01, meas_rate_m01);
    rate(meas_data_size_m03_uncompressed, meas_data_size_m03_compressed, meas_compression_m03, meas_rate_m03);
}

void meas_app_check_datatimeout() {
    if (meas_app_datatimeout.exchange(0) == 1)
        meas_led_clr_status(0x20000);
    else
        meas_led_set_status(0x20000);
}

namespace {

// The ordered shutdown has begun (asked for, its fast stop asked for or made): nothing starts any more.
bool shutdownBegun() {
    return postrun_requested() || powerdown.load() != 0 || meas_app_faststopreq.load() != 0;
}

// A job of the stick's arrival on the stick's own task: not begun once the shutdown has.
std::function<int()> arrivalJob(const char* what, int (*job)(const char*)) {
    return [what, job] {
        if (!shutdownBegun()) return job("usb_meas:");
        syslogx(LOG_PRIO_INFO,
                "meas_app_checkFragmentTrigOnUSBEvent(): %s of the stick is not made: the "
                "shutdown has begun",
                what);
        return 0;
    };
}

} // namespace

namespace {

constexpr const char* kStick = "usb_meas:";

// What the stick's arrival starts on the stick's own task, not waited for: logging goes on while
// the parts that copies left there are removed, then its downloaded files are deleted. The copies
// of this arrival remove the parts first too, while this removal is not made.
void startArrivalJobs() {
    meas_app_copyPartsLeft(kStick);
    meas_app_driveCallAsync(kStick, "the removal of unfinished copies",
                            arrivalJob("the removal of unfinished copies", meas_app_copyRemoveParts), true);
    meas_app_driveCallAsync(kStick, "the D-flag check",
                            arrivalJob("the D-flag check", MeasAppStore_driveCheckDirectoryFlags), true);
}

bool copiesFor(int index) {
    return index == MEAS_M01 || LOGGING2_TARGET_PARTITION_ram == 0;
}

bool sameFile(const meas_filecounters& a, const MeasAppStore_Counters& c) {
    return a.valid && a.outing == c.outing && a.lap == c.lap && a.absLap == c.absLap &&
           a.fragment == c.fragment;
}

// While logging runs with data the arrival is a cut of its own: the stick begins with its file, and
// the file it closes, that of the cut before it, is copied (once it is opened: its first record may
// come after the arrival). Stopped or destroyed: the file the stop or destroy closed (or still
// closes). Into `asked` what each instance copies.
void copyForArrival(bool running, bool copyAllowed, meas_filecounters asked[MEAS_INSTANCES]) {
    if (!running) {
        for (int i : {MEAS_M01, MEAS_M03})
            if (copyAllowed && copiesFor(i)) {
                asked[i] = meas[i].lastFile;
                meas_app_copyToStick(i, asked[i]);
            }
        return;
    }
    const LapOutFraCut cut = meas_app_forceFragment(LOF_CUT_ARRIVAL);
    LapOutFraCut closes{};
    if (!copyAllowed) return;
    if (cut.seq == 0 || !LapOutFra_cut(cut.seq - 1, &closes)) {
        syslogx(LOG_PRIO_WARNING,
                "LapOutFra_checkFragmentTrigOnUSBEvent() lapoutfra invalid, skip file copy");
        return;
    }
    for (int i : {MEAS_M01, MEAS_M03})
        if (copiesFor(i)) {
            asked[i] = {closes.outing, closes.lap, closes.absLap, closes.fragment, true};
            MeasAppStore_copyCutToStick(i, closes);
        }
}

// Every file the stick did not get whole (a pull cut it, also in its close) is copied at its next
// arrival, beside the file this arrival copies.
void copyNotWhole(const std::vector<std::pair<int, MeasAppStore_Counters>>& notWhole,
                  const meas_filecounters asked[MEAS_INSTANCES]) {
    for (const auto& [i, c] : notWhole) {
        if (sameFile(asked[i], c)) continue;
        char name[MEAS_FILENAME_LEN] = {};
        LapOutFra_genFilenameAbsLap(name, sizeof name, uint8_t(i), uint8_t(c.outing), uint8_t(c.lap),
                                    uint8_t(c.fragment), c.absLap);
        syslogx(LOG_PRIO_INFO,
                "meas_app_checkFragmentTrigOnUSBEvent(): %s is copied to the stick too: it did not get it "
                "whole",
                name);
        meas_app_copyToStick(i, {c.outing, c.lap, c.absLap, c.fragment, true});
    }
}

// A stick arrived while no shutdown has begun.
void stickArrived(int hw, bool firstArrival) {
    startArrivalJobs();
    const bool running = meas_app_running.load() == 1 && (meas[MEAS_M01].firstSampleTs.load() != 0 ||
                                                          meas[MEAS_M03].firstSampleTs.load() != 0);
    // written by the writers' availability queries too
    const bool takesCopies =
        !(std::atomic_ref<uint32_t>(cfg_meas_devHwInfo[hw].status).load(std::memory_order_relaxed) & 0x10000);
    const bool copyAllowed = !firstArrival && takesCopies;
    std::vector<std::pair<int, MeasAppStore_Counters>> notWhole;
    for (int i : {MEAS_M01, MEAS_M03})
        if (takesCopies && copiesFor(i))
            for (const MeasAppStore_Counters& c : MeasAppStore_stickUnfinished(i))
                notWhole.emplace_back(i, c);
    const char* only =
        notWhole.empty() ? "nothing is copied" : "only the files it did not get whole are copied";
    syslogx(LOG_PRIO_INFO, "meas_app_checkFragmentTrigOnUSBEvent(): a stick arrived: %s%s",
            !copyAllowed ? (running ? "the open files are cut, " : "") : "",
            !copyAllowed ? only
            : running    ? "the open files are cut and copied to it"
                         : "the files closed last are copied to it");
    meas_filecounters asked[MEAS_INSTANCES] = {};
    copyForArrival(running, copyAllowed, asked);
    copyNotWhole(notWhole, asked);
}

} // namespace

void meas_app_checkFragmentTrigOnUSBEvent() {
    static bool previous = true;
    static bool firstArrival = true;
    static bool checked = false;
    const int hw = cfg_meas_getHwIdxFromDrvName(kStick);
    if (hw < 0) {
        syslogx(LOG_PRIO_ERR, "LapOutFra_checkFragmentTrigOnUSBEvent() could not map drive %s", kStick);
        return;
    }
    const bool available = meas_app_driveAvDebounce(kStick) == 0;
    if (checked && previous && !available)
        syslogx(LOG_PRIO_INFO, "meas_app_checkFragmentTrigOnUSBEvent(): the stick is gone");
    checked = true;
    if (!previous && available && shutdownBegun()) {
        syslogx(LOG_PRIO_INFO, "meas_app_checkFragmentTrigOnUSBEvent(): a stick arrived after the shutdown "
                               "began: it is left alone (no file is cut, walked, removed or copied)");
    } else if (!previous && available) {
        stickArrived(hw, firstArrival);
        firstArrival = false;
    }
    previous = available;
}
