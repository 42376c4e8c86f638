// Shell prints of the logging: the state machine's flags with the instances' start counts, and
// the devices that are offline, refused or silent.
#include "framework/msd_shell.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

void addf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void addf(std::string& out, const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    out += buf;
}

const char* yes(bool v) {
    return v ? "YES" : "NO";
}

} // namespace

std::string meas_app_print_measstate() {
    std::string o;
    addf(o, "meas_app_startreq          = %i \n", int(meas_app_startreq.load()));
    addf(o, "meas_app_stopreq           = %i \n", int(meas_app_stopreq.load()));
    addf(o, "meas_app_blkstopreq        = %i \n", int(meas_app_blkstopreq.load()));
    addf(o, "meas_app_reinitreq         = %i \n", int(meas_app_reinitreq.load()));
    addf(o, "meas_app_destroyreq        = %i \n", int(meas_app_destroyreq.load()));
    addf(o, "meas_app_running           = %i \n", int(meas_app_running.load()));
    addf(o, "meas_app_hstinitreq        = %i \n", int(meas_app_hstinitreq.load()));
    addf(o, "meas_app_lapstate_ok       = %i \n", int(LapOutFra_isValid()));
    addf(o, "remotectrl_remotestart_lock = %i \n\n", int(meas_app_remotestart_lock.load()));
    static const char* const heads[] = {"MEASURE SG  ", "MEASURE TELE", "MEASURE FDE "};
    static const char* const missing[] = {"MEASURE SG not found \n\n", "MEASURE TELE not found \n\n",
                                          "MEASURE FDE not found \n\n"};
    // The instances are made and freed under their lock (a destroy may free one meanwhile).
    std::lock_guard<std::mutex> life(meas_app_instanceLock());
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        const meas_instance& m = meas[i];
        if (!m.config) {
            o += missing[i];
        } else {
            const bool condValid = !m.globCondMask || (m.state.load() & MEAS_ST_GLOBCOND);
            addf(o,
                 "%s : loaded = %s, configured (incl. cond.) = %i, started = %s\n --> start_cnt       = %i\n "
                 "--> "
                 "reply_cnt       = %i\n --> reply_errcnt    = %i\n --> condition valid = %s\n --> blkcount  "
                 "      = "
                 "%i\n\n",
                 heads[i], yes(true), int(m.numBlocks), yes(m.started.load() & MEAS_STARTED),
                 int(m.startCnt.load()), int(m.replyCnt.load()), int(m.replyErrCnt.load()), yes(condValid),
                 int(m.savedRecords.load()));
        }
        addf(o, "ENGINE blks:%i w/ cond blks:%i, CHASSIS blks :%i w/ cond blks: %i\n\n", int(m.engineBlocks),
             int(m.engineCondBlocks), int(m.chassisBlocks), int(m.chassisCondBlocks));
    }
    if (meas_app_blkstopreq.load()) {
        o += "Blockstoprequest not finished\n";
        char r[16];
        for (auto*& head : meas_app_measlist)
            for (meas_blk* b : meas_list_snapshot(&head))
                addf(o, " Block not stopped! m0%d PID: 0x%X, Type: %s, BLK #%d, Ch #%d, Raster: %s\n",
                     b->index + 1, unsigned(b->pid), meas_app_blktype(b), int(b->blockId),
                     int(b->blkinfo->blockNo), convraster2ascii(b->raster, r));
    }
    return o;
}

std::string meas_app_print_errorPIDS() {
    std::string o;
    bool any = false;
    meas_app_pidlist_walk([&](const meas_pidnode& n) {
        const meas_blk* b = n.block;
        if (!b) return;
        const uint16_t st = b->state.load();
        if (!(st & MEAS_BS_SETUP) || (st & MEAS_BS_ACKSEEN)) return;
        any = true;
        char r[16];
        convraster2ascii(b->raster, r);
        if (st & MEAS_BS_OFFLINE)
            addf(o, "-->pid %i [0x%X] rate %s is offline!\n", int(n.pid), unsigned(n.pid), r);
        else if (st & MEAS_BS_FAILED)
            addf(o, "-->pid %i [0x%X] rate %s replied with error!  0x%x\n", int(n.pid), unsigned(n.pid), r,
                 unsigned(st));
        else
            addf(o, "-->pid %i [0x%X] rate %s not replied!  0x%x\n", int(n.pid), unsigned(n.pid), r,
                 unsigned(st));
    });
    if (!any) o += "no error found ! \n";
    o += "\n";
    return o;
}

void meas_app_cmds_init() {
    static bool done = false;
    if (done) return;
    done = true;
    msd_shellAddCommand("meas_state", MsdShellFunc([](int, char**) {
                            shell_printf("%s", meas_app_print_measstate().c_str());
                            return 0;
                        }));
    msd_shellAddCommand("meas_errpids", MsdShellFunc([](int, char**) {
                            shell_printf("%s", meas_app_print_errorPIDS().c_str());
                            return 0;
                        }));
}
