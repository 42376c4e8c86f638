// Feeds the store's C interface from outside, as the logging application would, on the device root
// named by DEVICE_ROOT, which must exist: files of m01 on "meas:" and, while a stick is in (the
// state in usb_meas.drive), on "usb_meas:", each with frames built by MeasFrame, event records and
// a closing status block, closed after `frames` frames. It takes the logging folders as the
// application does, and stops with exit code 1 when another process logs into them. It writes only
// files that are not on those drives yet: a file of such a name is refused before anything is
// written, and a file that is not on "meas:", closed, after the flush is named; both with exit
// code 1. With --fed it prints "fed <file> <frame>" on stdout after each frame, so
// that a test that kills the process knows what was handed over when; "done: ..." once every writer has
// written and flushed everything.
//
//   store_driver [--fed] <files> <frames per file> [<delay us between frames>]
#include "store_driver_records.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_frame.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/seram.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_state.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace storedriver;

namespace {

// One frame of records through MeasFrame, handed over to the store (which frees it).
bool putFrame(void* h, int vf, int f, int i) {
    const uint8_t block = blockOf(i);
    MeasFrame* frame = MeasFrame_alloc(64, 4096, kRecordSize[block], 1);
    if (!frame) return false;
    for (int k = 0; k < kRecordsPerFrame; ++k) {
        const auto r = record(f, i, k);
        if (MeasFrame_put(frame, r.data(), uint32_t(r.size())) == 1) return false;
    }
    uint32_t firstTs = 0, lastTs = 0, size = 0, used = 0, packed = 0;
    uint8_t* data = nullptr;
    if (MeasFrame_recode_for_V5_V6(frame, kRecordSize[block], &firstTs, &lastTs) != 0 ||
        MeasFrame_get(frame, block, &data, &size, &used, &packed) != 0 || !data)
        return false;
    MeasFrame_free(frame);
    meas_app_PreTrigPutMeasFrame(h, vf, data, size, firstTs, lastTs);
    return true;
}

// The name of file f, as the logging names lap f + 1 of outing 1.
std::string fileName(int f) {
    char name[16];
    std::snprintf(name, sizeof name, "A01%02x000.001", f + 1);
    return name;
}

std::string hostFile(const char* drive, int f) {
    std::string path;
    devpath_toHost((std::string(drive) + "/" + fileName(f)).c_str(), &path);
    return path;
}

} // namespace

int main(int argc, char** argv) {
    // Whole numbers only: "10x" or "-1" would feed something else than asked for.
    auto count = [](const char* text, int* out) {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 1000000000) return false;
        *out = int(v);
        return true;
    };
    const bool traceFed = argc > 1 && std::strcmp(argv[1], "--fed") == 0;
    const int first = traceFed ? 2 : 1, given = argc - first;
    int files = 0, frames = 0, delayUs = 0;
    if (given < 2 || given > 3 || !count(argv[first], &files) || !count(argv[first + 1], &frames) ||
        (given == 3 && !count(argv[first + 2], &delayUs))) {
        std::fprintf(stderr,
                     "usage: store_driver [--fed] <files> <frames per file> [<delay us between frames>]\n"
                     "       (whole numbers from 0)\n");
        return 2;
    }
    std::string err;
    // A mistyped root must not become a new device root.
    if (!devroot_check(&err)) {
        std::fprintf(stderr, "store_driver: %s\n", err.c_str());
        return 1;
    }
    if (!devroot_prepare(&err)) {
        std::fprintf(stderr, "device root: %s\n", err.c_str());
        return 2;
    }
    // Before anything is written: the application may be logging into these folders.
    if (!devroot_claimLoggingFolders(&err)) {
        std::fprintf(stderr, "store_driver: %s\n", err.c_str());
        return 1;
    }
    // The store keeps a read-only file of the name (of an earlier run) and writes nothing of this
    // one: only new files are written, on the drives it writes to.
    DriveState stick;
    const bool stickIn = drive_stateRead("usb_meas:", &stick) && drive_stateAvailable(stick, "usb_meas:");
    for (int f = 0; f < files; ++f)
        for (const char* drive : {"meas:", "usb_meas:"}) {
            if (!stickIn && std::strcmp(drive, "usb_meas:") == 0) continue;
            std::error_code ec;
            const std::string path = hostFile(drive, f);
            if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
                std::fprintf(
                    stderr,
                    "store_driver: '%s' is there already: nothing is written (the driver writes only "
                    "files that are not on the drives yet)\n",
                    path.c_str());
                return 1;
            }
        }
    syslog_init(0);
    cfg_meas_devHwInfo[1].debounceMs = 0; // the stick was plugged in long ago
    seramCalPage(SERAM_PAGE_REFERENCE).PCODE = 0x1234;
    seramCalPage(SERAM_PAGE_REFERENCE).FILEFRAGMENTATION_SIZE = 5;
    timeserv_setMasterIds(0x11, 0x22);
    MEASConfiguration cfg{};
    MeasBlkInfo blk[2]{};
    for (int b = 0; b < 2; ++b) {
        blk[b].blockNo = uint16_t(b + 1);
        blk[b].recordSize = kRecordSize[b + 1];
    }
    cfg.BlkInfo = blk;
    cfg.num_blocks = 2;
    static const char blob[] = "<m01/>";
    std::atomic<uint8_t> written{0};

    void* h = meas_app_PreTrigInit(0, 0.0f);
    if (!h) return 1;
    for (int f = 0; f < files; ++f) {
        auto* info = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
        std::snprintf(info->name, sizeof info->name, "%s", fileName(f).c_str());
        info->lap = uint16_t(f + 1);
        info->outing = 1;
        info->fragment = 1;
        info->initTimestamp = stampOf(record(f, 0, 0));
        info->closeTimestamp = MEAS_TS_NONE;
        info->vfIdx = -1;
        info->config = &cfg;
        info->configBlob = blob;
        info->configBlobSize = sizeof blob - 1;
        info->headerWritten = &written;
        info->loggerId = 0xABCD;
        meas_app_PreTrigOpenFile(h, info);
        const int vf = info->vfIdx;
        if (vf < 0) return 1;
        for (int i = 0; i < frames; ++i) {
            if (!putFrame(h, vf, f, i)) return 1;
            if (traceFed) {
                std::printf("fed %d %d\n", f, i);
                std::fflush(stdout);
            }
            std::vector<uint8_t> ev;
            if (eventAfter(i, &ev))
                meas_app_PreTrigPutMetaDataVfCopy(h, vf, ev.data(), uint32_t(ev.size()), MEAS_META_EVENT);
            if (delayUs) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        }
        static const char sb[] = "StateData V1";
        meas_app_PreTrigPutMetaDataVfCopy(h, vf, sb, sizeof sb - 1, MEAS_META_STATUSBLOCK);
        meas_app_PreTrigCloseFile(h, vf);
    }
    while (!meas_app_PreTrigIsOfflineDataFlushed()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    meas_app_PreTrigDelete(h);
    // Each file closed (read-only) on the logging drive, or the run failed (a drive not there, say).
    for (int f = 0; f < files; ++f) {
        const std::string path = hostFile("meas:", f);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0222) != 0) {
            std::fprintf(stderr, "store_driver: '%s' was not written and closed (is the drive there?)\n",
                         path.c_str());
            return 1;
        }
    }
    std::printf("done: %d files of %d frames each, written and flushed\n", files, frames);
    std::fflush(stdout);
    return 0;
}
