// The application process: start-up in the system's fixed order, the wait for post-run, and the
// ordered shutdown. Each subsystem's init takes its place in this sequence.
#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_man.h"
#include "calc/awm_model.h"
#include "calc/dor_data.h"
#include "display/control/display.h"
#include "display/control/display_cmd.h"
#include "display/control/displayctrl.h"
#include "framework/appman.h"
#include "framework/board_io.h"
#include "framework/errmem.h"
#include "framework/msd_shell.h"
#include "framework/nvram.h"
#include "framework/postrun.h"
#include "framework/raster.h"
#include "framework/simulink.h"
#include "framework/syslog.h"
#include "gui/device/guitask.h"
#include "laptiming/gps_task.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_remote.h"
#include "logging/app/meas_app_store.h"
#include "logging/app/sb_info.h"
#include "logging/app/sb_lapstack.h"
#include "logging/app/sblk_task.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_disk.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/events/eventchannels.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "logging/store/meas_app_pretrig.h"
#include "logging/telemetry/tele_app.h"
#include "measdata/cfg_system.h"
#include "measdata/convtab.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/debug/msdcom_dbg.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/measman/meas_man.h"
#include "msdcom/network/bc2_net.h"
#include "msdcom/network/net_init.h"
#include "platform/board/serial.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_service.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/perturb.h"
#include "platform/rtos/sysmq.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A call of a drive in flight when the process ends holds it: every call returns by then.
constexpr int kShutdownEndMs = 11700;
// The ordered end's last look at the files is made by then, before the guard's own look at 11.3 s.
constexpr int kLastLookMs = 11000;

int usage(const char* prog) {
    std::fprintf(stderr, "usage: %s <application index 0|1>\n", prog);
    return 2;
}

// SIGINT and SIGTERM start the ordered shutdown, as the device's post-run does, whichever thread
// the kernel gives them to: no thread blocks them, so one sent to a single thread (tgkill) is taken
// there too. The handler only writes the signal's number into a pipe (async-signal-safe), and the
// signal thread starts the post-run from there. It runs with SA_RESTART; the host layer's waits
// that a handler still interrupts (poll, select, timed receives) take EINTR as a wake-up.
int gSignalPipe[2] = {-1, -1};

extern "C" void onShutdownSignal(int sig) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    // A full pipe holds signals enough to start the post-run.
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[1], &number, 1);
    errno = saved;
}

bool installSignalHandler(std::string* error) {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("the signal pipe cannot be made: ") + std::strerror(errno);
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = onShutdownSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) {
        *error = std::string("the signal handler cannot be installed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void startSignalThread() {
    std::thread([] {
        taskNameThread("tSignal"); // the signal's line is logged under this name
        // Waits in poll, which a signal interrupts (a read could be restarted under it, and
        // ThreadSanitizer runs a handler at once only in a call it knows to block).
        for (;;) {
            pollfd p{gSignalPipe[0], POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
            unsigned char sig = 0;
            while (read(gSignalPipe[0], &sig, 1) == 1) {
                syslogx(LOG_PRIO_INFO, "main(): signal %d, starting post-run", int(sig));
                startPostrun();
            }
        }
    }).detach();
}

// Waits until `done` holds, at most `ms` of real time; its last answer.
// Names, once, each file's records that reached no drive and are lost at the exit (those its
// writers did not hand to a drive, and those the store still holds), block by block; a file let go
// before named its own. The files of this process that lost records, those named before included.
uint32_t recordsOnNoDrive() {
    for (const std::string& item : meas_app_PreTrigRecordsOnNoDrive())
        syslogx(LOG_PRIO_ERR, "main(): the logger's data are not all on disk: %s; they are lost at the exit",
                item.c_str());
    return meas_app_PreTrigFilesWithRecordsLost();
}

bool waitFor(bool (*done)(), int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return done();
        taskDelay(1);
    }
    return true;
}

// The display application's part of the GUI task.
const GuiApplication kGuiApplication{ConfigureGuiInput, GuiAppInitialize, RestoreGuiInput};

// A start refused once the root is there: the reason on stderr and in the root's log. The log is
// written only now that the refusal is known, and nothing else is made in the root.
int refuse(int index, const std::string& reason) {
    std::fprintf(stderr, "msdapp: %s\n", reason.c_str());
    std::error_code ec;
    if (!std::filesystem::is_directory(devroot_path(), ec)) return 1;
    std::string error;
    if (!syslogreader_appendLine(devroot_path() + "/log/syslog-" + std::to_string(index) + ".log",
                                 LOG_PRIO_CRIT, "app" + std::to_string(index), "main(): " + reason, &error))
        std::fprintf(stderr, "msdapp: %s\n", error.c_str());
    return 1;
}

int stderrSeverity() {
    const char* v = std::getenv("MSD_LOG_STDERR");
    if (v && *v >= '0' && *v <= '7' && v[1] == '\0') return *v - '0';
    return 6;
}

} // namespace

int main(int argc, char** argv) {
    // Named before any other thread exists: every line of the main thread reads "tMain".
    taskNameThread("tMain");
    // One heap for all tasks, as the device's one memory partition. The C library's default, a
    // heap per thread up to eight per processor, keeps each of some 50 tasks' largest passing need
    // resident: the drives' state and listings, whose size grows with their files, made the
    // process grow by some 3 KB a file for as long as it ran.
    mallopt(M_ARENA_MAX, 1);
    if (argc != 2 || !(std::strcmp(argv[1], "0") == 0 || std::strcmp(argv[1], "1") == 0))
        return usage(argv[0]);
    const int index = argv[1][0] - '0';

    // The handler serves whatever thread takes a signal.
    std::string error;
    if (!installSignalHandler(&error)) {
        std::fprintf(stderr, "msdapp: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);

    // The kernel side of the host: device root, log process, base tick.
    // A root that is not there stops here, before anything is made in it.
    devroot_setApplication(index);
    if (!devroot_check(&error)) {
        std::fprintf(stderr, "msdapp: %s\n", error.c_str());
        return 1;
    }
    // The tasks' timing perturbed for a test (MSD_PERTURB), before the first task: a value that
    // cannot be read refuses the start rather than run a test unperturbed that asked for it.
    bool perturbRefused = false;
    const std::string perturbation = perturb_fromEnvironment(&perturbRefused);
    if (perturbRefused) return refuse(index, perturbation);
    // The parameter block and the folders of this process (the logging folders, and the NV store:
    // a second process on it would count the same outings and boots) before anything is made: a
    // refused start leaves nothing but its reason in the log. What is there is taken first, what
    // is made then is taken once made.
    if (!devroot_claimLoggingFolders(&error)) return refuse(index, error);
    if (!appman_init(index, &error)) return refuse(index, "application parameters refused: " + error);
    const std::string& nvDir = appman_params().nvDir;
    // Its own lock on the folder would refuse it as another process's.
    if (devroot_isLoggingFolder(nvDir))
        return refuse(index, "the NV folder '" + nvDir +
                                 "' is one of this process's own logging folders: "
                                 "nv_dir must name a folder of its own");
    const char* const nvReason = "two processes never share one NV store";
    if (!devroot_claimFolder(nvDir, "NV folder", nvReason, false, &error)) return refuse(index, error);
    if (!devroot_prepare(&error) || !devroot_claimLoggingFolders(&error) ||
        !devroot_claimFolder(nvDir, "NV folder", nvReason, true, &error))
        return refuse(index, error);
    const std::string logFile = devroot_path() + "/log/syslog-" + std::to_string(index) + ".log";
    syslogreader_setFileMax(appman_params().logFileSize);
    if (!syslogreader_start(logFile, stderrSeverity(), &error)) {
        std::fprintf(stderr, "msdapp: %s\n", error.c_str());
        return 1;
    }
    basetick_start();
    // The drive service re-formats with the directory size of the calibration dataset.
    if (!drivesvc_start(cfg_meas_datasetMaxFileCnt))
        std::fprintf(stderr, "msdapp: the drive service's format queues cannot be created\n");
    startSignalThread();

    // Start-up in the system's order.
    syslog_init(index);
    syslogx(LOG_PRIO_INFO, "main(): application %d starting, PID %u, address %s", index, unsigned(app_pid),
            device_ip_addr);
    if (!perturbation.empty()) syslogx(LOG_PRIO_INFO, "main(): %s", perturbation.c_str());
    serial_configure(devroot_path(), index, appman_params().serial);
    sysmq_configure(devroot_path(), index); // queues shared with the device's other processes
    postrun_init(index);
    nvram_init();
    if (!boot_count_init()) {
        std::fprintf(stderr,
                     "msdapp: the boot counter cannot be stored in '%s' (full or unwritable); not starting\n",
                     appman_params().nvDir.c_str());
        serial_shutdown();
        basetick_stop();
        nvram_close();
        syslogreader_stop();
        return 1;
    }
    seramInit(); // calibration memory: the dataset or the defaults
    syslogx(LOG_PRIO_INFO, "main(): program identifier %s", seramGetEPKPtr());
    applComm_init();
    raster_init();
    error_mgr_init();
    raster_addPeriodic(RASTER_R1000MS, 900, "error memory store", error_mgr_flush);
    cfg_system_ini(); // system configuration: logging, lap-trigger and fuel-consumption masters
    MsdShell_setDisplayCommand(displayCommandFunc);
    MsdShell_AddCommonCmd();
    msd_shellStart(index);
    gps_init();         // GPS receiver on "/tyCo/1"
    meascalinfo_init(); // name table
    // Network stack: routing, data paths, command interpreter.
    routing_ini();
    dynkomm_ini();
    comint_ini();
    net_ini();
    meas_man_ini();   // measurement manager: lists, handlers, copy in the calculation task
    gw_init();        // measurement gateway: monitoring, delivery, channel data of other devices
    msdcom_dbg_ini(); // network diagnostics and ping
    awm_man_ini();    // calculation channels: raster queues, channel table, values at source 31
    // CAN I/O of this build has nothing to register; its place in the start-up reports it ready,
    // so that state requests (0x0505, 0x0516) are answered.
    meas_man_CanIO_initialized = 1;
    GuiSetApplication(&kGuiApplication);
    displayInit();     // GUI start: the GUI tasks, the built-in fonts, the backlight once the GUI is up
    displayCtrl_ini(); // display control: page and brightness inputs
    // Logging: the partition of the second logging, the file counts of the logging drives, from
    // now on and once a second (its task starts here, with the others of the start-up).
    cfg_meas_iniPartitions(seramCal().LOGGING2_TARGET_PARTITION);
    cfg_meas_formatInfos_1s();
    raster_addPeriodic(RASTER_R1000MS, 500, "cfg_meas_formatInfos_1s", cfg_meas_formatInfos_1s);
    // Logging and telemetry: the state machine and the saving on the measurement raster (it also
    // asks a logging slave's master for the counters), the start conditions every 10 ms.
    meas_app_ini();
    // The copies to the stick tell the file store their end: a stop or destroy waits for them.
    static const meas_app_CopyHooks copyHooks{MeasAppStore_copyFinished, MeasAppStore_copyProgress,
                                              MeasAppStore_writesFiles, MeasAppStore_copyReplaces};
    meas_app_setCopyHooks(&copyHooks);
    raster_addPeriodic(RASTER_RMEAS, 500, "rMeasure", rMeasure);
    raster_addPeriodic(RASTER_RMEAS, 510, "meas_app_check_silence", meas_app_check_silence);
    raster_addPeriodic(RasterTaskId(3), 600, "meas_app_check_measconditions", meas_app_check_measconditions);
    tele_app_ini();
    // Status block: its task, woken every 5 ms while a lap's block is due and every second else.
    if (!sblk_task_init()) syslogx(LOG_PRIO_ERR, "main(): status block task not started");
    raster_addPeriodic(RasterTaskId(2), 900, "sblk_task_trigger_fast", sblk_task_trigger_fast);
    raster_addPeriodic(RASTER_R1000MS, 900, "sblk_task_trigger_slow", sblk_task_trigger_slow);
    sb_info_ini(); // status block: version and lap-stack information
    // Event channels: their task reads cfg:/eventcfg.xml once the drive is there; checked every 10 ms.
    eventChannelsInit();
    raster_addPeriodic(static_cast<RasterTaskId>(RASTER_R1MS + 3), 600, "eventChannels_10ms",
                       eventChannels_10ms);
    // Lap counters, then the decision whether they are valid now or come from the master. What a
    // lap does to the lap function and to the logging is given to lap timing first.
    awm_0x08_lapfunc_connect();
    meas_app_lap_connect();
    // The NV records that real-time tasks use are read here, once: from now on they work on memory
    // and queue their writes for the NV store's task.
    sb_lapstack_load();
    dor_data_init();
    if (LapOutFra_init() != 0) syslogx(LOG_PRIO_ERR, "initec(): Error LapOutFra_init()");
    LapOutFra_start();
    LapOutFra_cmds_init();
    laptrigger_ini();
    meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()); // drive preparation
    awm_model_ini(); // the lap model's partition and its glue in the rasters
    simulink_setConvRegister([](int partition, const void* table) {
        return int(
            convRegisterVirtualMeasTable(uint32_t(partition), static_cast<const convInitTab_t*>(table)));
    });
    simulink_initialize();
    // Event service: events of this device to every device; received ones to the event loggers,
    // new errors of the error memory as events.
    eventlogging_register();
    eventlogging_service_init();
    // The event loggers of the measurements write their records into the measurement files.
    eventlogger_setMetaDataStore(meas_app_PreTrigPutMetaDataCopy);
    BC2_init(); // DivoVur2 start: presence, links
    // The start-up's reads are done: the NV store's task writes what was queued meanwhile.
    nvram_writeBehindStart();
    raster_start();
    // Last of all the display loads its configuration; it waits for the GUI task to be up.
    for (int i = 0; i < 500 && displayStart() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    syslogx(LOG_PRIO_INFO, "main(): start-up done, boot counter %u", unsigned(boot_count_get()));

    postrun_register(PR_PWM, "PWM outputs", PwmOut_StopAll);
    postrun_register(PR_STATUSBLOCK, "status block", sblk_power_down);
    // The fast stop closes every file at the next tick of the measurement raster; the files are
    // finished before anything else stops (the network still answers the version requests of a
    // status block). The device's supply holds up for 950 ms after power-off; the host loses no
    // power at the end: it waits until every file is closed on each of its drives (its status block
    // written, read-only), at most 10 s: a file that a full or failing drive keeps unfinished is
    // named, a stop or destroy still waiting is answered FF, and the process ends with exit code 3
    // when, at its end, a file of this run of the process is unfinished on a drive.
    static std::chrono::steady_clock::time_point logDeadline; // the steps run one after the other
    postrun_register(PR_LOGGING, "logging", [] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        logDeadline = deadline;
        MeasAppStore_FilesWait wait("main(): the shutdown", UINT32_MAX);
        meas_app_remotefaststop();
        waitFor(meas_app_faststop_done, 1000);
        // Until every file is whole, or one is unfinished and nothing is left that could still
        // finish it: no writer with data in hand (one whose drive comes back finishes its file), no
        // copy under way. A pretrigger that never triggered holds nothing that is kept.
        int r = 0;
        for (;;) {
            meas_app_PreTrigShutdown();
            r = wait.look();
            if (r > 0 || (r < 0 && meas_app_PreTrigIsOfflineDataFlushed())) break;
            if (std::chrono::steady_clock::now() >= deadline) break;
            taskDelay(10);
        }
        // A copy to the stick that has not begun to replace the stick's file leaves it as it was.
        if (r == 0) {
            MeasAppStore_copiesEnd();
            r = wait.look();
        }
        if (r == 0) {
            const std::string waits = wait.waitsFor();
            wait.giveUp("the shutdown's 10 s are over");
            syslogx(LOG_PRIO_ERR, "main(): files not finished at the shutdown: %s", waits.c_str());
        }
        remotectrl_shutdown();
        // The fast stop's last fragment counter, stored on the NV store's task.
        if (!LapOutFra_waitStored(1000))
            syslogx(LOG_PRIO_ERR, "main(): the lap counters are not stored after 1 s: the next start may "
                                  "count from the ones stored before");
    });
    postrun_register(PR_LOGGER_FLUSH, "logger flush", [] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            logDeadline - std::chrono::steady_clock::now());
        const bool flushed = waitFor([] { return meas_app_PreTrigIsOfflineDataFlushed() != 0; },
                                     int(std::max<int64_t>(100, left.count())));
        // Held in memory only: what is named here is lost at the exit, and the files it belongs to
        // end on that drive with their last complete record (each named as not finished).
        std::vector<std::string> items;
        if (!flushed) items = meas_app_PreTrigUnwritten();
        for (const std::string& item : items)
            syslogx(LOG_PRIO_ERR,
                    "main(): the logger's data are not all on disk: %s; they are lost at the exit",
                    item.c_str());
    });
    postrun_register(PR_DISPLAY, "display", displayJoin); // control stopped; keeps its last picture
    postrun_register(PR_GATEWAY, "measurement gateway", gw_stop);
    postrun_register(PR_CALC, "calculation channels", awm_man_stop);
    postrun_register(PR_DIVOVUR2, "DivoVur2", BC2_stop);
    postrun_register(PR_GPS, "GPS task", gps_stop);
    postrun_register(PR_RASTERS, "rasters", raster_stop);
    postrun_register(PR_ERRMEM, "error memory", error_mgr_stop);

    postrun_wait();
    const auto shutdownBegan = std::chrono::steady_clock::now();
    // The kernel holds a process until its threads' calls return: a drive gets no new call that
    // could outlast the 12 s by how long its calls take now (those in flight, from their start, and
    // those of the last seconds; a hang it came back from long ago is not held against it), nor
    // while one of its calls hangs. A call held back is asked again while time is left.
    drivecalls_endBy(
        shutdownBegan + std::chrono::milliseconds(kShutdownEndMs), MEAS_DRIVECALL_BOUND_MS,
        [](const char* drive, uint32_t longestMs) {
            syslogx(LOG_PRIO_WARNING,
                    "main(): the shutdown makes no new call of '%s' while its calls take up to %u.%u s: the "
                    "process ends within 12 s",
                    drive, unsigned(longestMs / 1000), unsigned(longestMs % 1000 / 100));
        },
        [](const char* drive, uint32_t longestMs) {
            syslogx(LOG_PRIO_INFO,
                    "main(): the calls of '%s' take up to %u.%u s now: the shutdown makes them again", drive,
                    unsigned(longestMs / 1000), unsigned(longestMs % 1000 / 100));
        });
    // However a drive holds a thread, the process ends: 12 s after the shutdown began at the latest,
    // with exit code 3 when a file is not finished then (or the files cannot be looked at).
    static std::atomic<bool> ended{false};
    std::thread([] {
        taskNameThread("tExitGuard");
        std::this_thread::sleep_for(std::chrono::milliseconds(11300));
        if (ended.load()) return; // the ordered end is on its way out
        // The look takes the store's locks, which a thread hung in a drive may hold: it has 500 ms,
        // and one that does not come back counts as files not looked at.
        static std::atomic<int> unfinished{-1};
        static std::atomic<bool> looked{false};
        std::thread([] {
            taskNameThread("tExitLook");
            MeasAppStore_copiesEnd(sysClkRateGet() / 10);
            unfinished = MeasAppStore_unfinishedFiles(true, sysClkRateGet() / 10);
            if (recordsOnNoDrive() != 0) unfinished = -1;
            looked = true;
        }).detach();
        for (int i = 0; i < 50 && !looked.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (ended.load()) return;
        const int code = looked.load() && unfinished.load() == 0 ? 0 : 3;
        if (!looked.load())
            syslogx(LOG_PRIO_ERR,
                    "main(): the files cannot be looked at (a thread hung in a drive holds them)");
        syslogx(LOG_PRIO_ERR, "main(): the shutdown did not end in time (a drive holds a thread): exit %d",
                code);
        syslogreader_stop();
        drivefault_report();
        std::_Exit(code);
    }).detach();
    postrun_run();

    comint_exit();
    msd_shellStop();
    serial_shutdown();
    applComm_close();
    drivesvc_stop();
    basetick_stop();
    // What is still queued for NV is written until 10.5 s into the shutdown (0.1 s at least); what is
    // not stored then is named, one line per record kind.
    const auto nvLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
        shutdownBegan + std::chrono::milliseconds(10500) - std::chrono::steady_clock::now());
    nvram_writeBehindEnd(int(std::max<int64_t>(100, nvLeft.count())));
    const bool nvClosed = nvram_close();
    sysmq_unlinkPublished();
    drivefault_report();
    // Once more, just before the exit: a file finished after the bound counts as whole, and each one
    // left unfinished is named (once, from memory: a line lost while a drive failed is made good). A
    // copy that replaces the stick's file ends first, unless its stick hangs.
    MeasAppStore_copiesEnd(sysClkRateGet());
    const auto lookLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
        shutdownBegan + std::chrono::milliseconds(kLastLookMs) - std::chrono::steady_clock::now());
    MeasAppStore_copiesReplacingWait(uint32_t(std::max<int64_t>(0, lookLeft.count())));
    const int unfinished = MeasAppStore_unfinishedFiles(true, sysClkRateGet());
    const uint32_t lost = recordsOnNoDrive();
    ended = true;
    if (unfinished != 0 || lost != 0) {
        // Threads may still hang in a drive: nothing waits for them.
        syslogx(LOG_PRIO_ERR, "main(): exit 3, %s",
                unfinished != 0 ? "files not finished" : "records on no drive");
        syslogreader_stop();
        std::fflush(nullptr);
        std::_Exit(3);
    }
    syslogx(LOG_PRIO_INFO, "main(): exit 0");
    syslogreader_stop();
    std::fflush(nullptr);
    // A task that did not end when its step stopped it (one held in a slow drive), or the NV store's
    // task still in a write (a frozen store), may still use what the destructors of static objects
    // free: the process then ends without them.
    if (taskJoinTimedOut() || !nvClosed) std::_Exit(0);
    std::exit(0);
}
