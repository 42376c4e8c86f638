// The names of a start's files. Logging starts as soon as the counters and the time stamp are valid,
// while the start's search still reads the folders of the drives that take data (a large folder on a
// slow drive takes many seconds): the files cut meanwhile are opened in the store at once and their
// records wait there, but their absolute lap is provisional and no drive gets them. Once the search
// has ended (or a drive it waits for hangs, or the shutdown begins) the names are fixed here, on the
// task that names the files, so that no file is named from counters of the other kind: the counters
// and every file named so far move on together, and only then do the writers create them.
#include "framework/postrun.h"
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/cfg_system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string listed(const std::vector<std::string>& drives) {
    std::string out;
    for (const std::string& d : drives) out += (out.empty() ? "" : ", ") + d;
    return out;
}

// Whether the names may be fixed now, though drives are left unread: each of them hangs, or the
// shutdown has begun (its files must reach the drives that answer). Logged once.
bool settleWithout(const std::vector<std::string>& left, bool ending) {
    if (left.empty()) return true;
    std::vector<std::string> hung;
    for (const std::string& d : left)
        if (meas_app_driveHung(d.c_str())) hung.push_back(d);
    if (ending) {
        syslogx(LOG_PRIO_WARNING,
                "meas_app_main(): the shutdown began before the folder of %s was read: the files are named "
                "from what the other drives hold and the lap counters as stored",
                listed(left).c_str());
        return true;
    }
    if (hung.size() != left.size()) return false;
    syslogx(LOG_PRIO_ERR,
            "meas_app_main(): %s hangs before its folder was read: the files are named from what the other "
            "drives hold and the lap counters as stored",
            listed(hung).c_str());
    return true;
}

} // namespace

std::vector<std::string> meas_app_dataDrives() {
    std::vector<std::string> drives;
    auto add = [&](const char* d) {
        if (!d || !*d || std::strcmp(d, "none") == 0) return;
        if (std::find(drives.begin(), drives.end(), d) == drives.end()) drives.emplace_back(d);
    };
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        const cfg_meas_t* c = cfg_meas_getCfgPartition(i);
        if (!c || c->fileLess) continue;
        add(c->targetPartition);
        add(c->usbDrive);
    }
    return drives;
}

void meas_app_namesNew(MeasAppStore_FileInfo_s* file) {
    file->namePending.store(LapOutFra_namesFinal() ? 0 : 1, std::memory_order_release);
}

void meas_app_namesOpened(const MeasAppStore_FileInfo_s* file) {
    if (file->namePending.load() == 0) LapOutFra_startingWith(file->name);
}

void meas_app_namesStep() {
    if (LapOutFra_namesFinal()) {
        // A logging that makes no file (not active, or no measurement with files is built or to be
        // built) names the file the counters give.
        const bool noFiles =
            !cfg_system.loggingActive || (!meas[MEAS_M01].pretrig.load() && !meas[MEAS_M03].pretrig.load() &&
                                          meas_app_reinitreq.load() == 0 && meas_app_hstinitreq.load() == 0);
        if (noFiles) LapOutFra_startingWith(nullptr);
        return;
    }
    if (!LapOutFra_searchAsked()) return;
    const bool ending = postrun_requested() || powerdown.load() != 0 || meas_app_faststopreq.load() != 0;
    if (!settleWithout(LapOutFra_searchLeft(), ending)) return;
    std::vector<std::pair<std::string, std::string>> renamed;
    std::string first;
    {
        // Without a file store (not set up) no file was named yet.
        std::optional<MeasAppStore_QueueLock> lk;
        if (gFileQueueSem) lk.emplace("meas_app_namesStep()");
        const uint16_t shift = LapOutFra_settleNames();
        for (NODE* n = gFileQueueSem ? lstFirst(&gFileQueue) : nullptr; n; n = lstNext(n)) {
            MeasAppStore_FileInfo_s* f = MeasAppStore_fileOfNode(n);
            if (f->namePending.load() == 0) continue;
            const uint16_t absLap = uint16_t(f->absLap + shift);
            char name[MEAS_FILENAME_LEN] = {};
            std::memcpy(name, f->name, sizeof name);
            if (shift != 0) {
                LapOutFra_genFilenameAbsLap(name, sizeof name, uint8_t(f->index), uint8_t(f->outing),
                                            uint8_t(f->lap), uint8_t(f->fragment), absLap);
                meas_filecounters& last = meas[f->index].lastFile;
                if (last.valid && last.outing == f->outing && last.lap == f->lap &&
                    last.absLap == f->absLap && last.fragment == f->fragment)
                    last.absLap = absLap;
                renamed.emplace_back(f->name, name);
            }
            if (first.empty()) first = name;
            meas_app_PreTrigFileNamed(f, absLap, name);
        }
    }
    // No drive has any of them yet: each is made under its new name.
    for (const auto& [from, to] : renamed)
        syslogx(LOG_PRIO_WARNING,
                "meas_app_main(): %s is named %s: the start's files go on after the absolute laps the drives "
                "hold",
                from.c_str(), to.c_str());
    // The start's first file, as it is made.
    if (!first.empty()) LapOutFra_startingWith(first.c_str());
}
