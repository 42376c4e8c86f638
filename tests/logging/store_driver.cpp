// Feeds the store's C interface from outside, as the logging application would, on the device root
// named by DEVICE_ROOT: files of m01 on "meas:" and "usb_meas:", each with frames of two blocks
// and event records, closed after `frames` frames. After each frame it prints "fed <file> <frame>"
// on stdout, so that a test that kills the process knows what was handed over when.
//
//   store_driver <files> <frames per file> <payload bytes> [<delay us between frames>]
#include "store_driver_records.h"

#include "framework/syslog.h"
#include "logging/cfg_meas.h"
#include "logging/meas_app_cfg.h"
#include "logging/meas_app_pretrig.h"
#include "measdata/seram.h"
#include "platform/devroot.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: store_driver <files> <frames> <payload> [<delay us>]\n");
        return 2;
    }
    const int files = std::atoi(argv[1]);
    const int frames = std::atoi(argv[2]);
    const int payload = std::atoi(argv[3]);
    const int delayUs = argc > 4 ? std::atoi(argv[4]) : 0;
    std::string err;
    if (!devroot_prepare(&err)) {
        std::fprintf(stderr, "device root: %s\n", err.c_str());
        return 2;
    }
    cfg_meas_devHwInfo[1].debounceMs = 0; // the stick was plugged in long ago
    seramCalPage(SERAM_PAGE_REFERENCE).PCODE = 0x1234;
    seramCalPage(SERAM_PAGE_REFERENCE).FILEFRAGMENTATION_SIZE = 5;
    MEASConfiguration cfg{};
    MeasBlkInfo blk[2]{};
    blk[0].blockNo = 1;
    blk[0].recordSize = 8;
    blk[1].blockNo = 2;
    blk[1].recordSize = 12;
    cfg.BlkInfo = blk;
    cfg.num_blocks = 2;
    static const char blob[] = "<m01/>";
    uint8_t written = 0;

    void* h = meas_app_PreTrigInit(0, 0.0f);
    if (!h) return 1;
    uint32_t ts = 1;
    for (int f = 0; f < files; ++f) {
        auto* info = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
        std::snprintf(info->name, sizeof info->name, "A01%02x000.001", f + 1);
        info->lap = uint16_t(f + 1);
        info->outing = 1;
        info->fragment = 1;
        info->initTimestamp = ts;
        info->closeTimestamp = MEAS_TS_NONE;
        info->vfIdx = -1;
        info->config = &cfg;
        info->configBlob = blob;
        info->configBlobSize = sizeof blob - 1;
        info->headerWritten = &written;
        meas_app_PreTrigOpenFile(h, info);
        const int vf = info->vfIdx;
        if (vf < 0) return 1;
        std::printf("header %u\n", unsigned(info->headerLength));
        for (int i = 0; i < frames; ++i) {
            const std::vector<uint8_t> fr = storedriver::frame(i, payload);
            meas_app_PreTrigPutMeasFrameCopy(h, vf, fr.data(), uint32_t(fr.size()), ts, ts + 9);
            std::printf("fed %d %d\n", f, i);
            std::fflush(stdout);
            ts += 10;
            std::vector<uint8_t> ev;
            if (storedriver::eventAfter(i, &ev))
                meas_app_PreTrigPutMetaDataVfCopy(h, vf, ev.data(), uint32_t(ev.size()), MEAS_META_EVENT);
            if (delayUs) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        }
        meas_app_PreTrigCloseFile(h, vf);
    }
    while (!meas_app_PreTrigIsOfflineDataFlushed()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("done\n");
    std::fflush(stdout);
    meas_app_PreTrigDelete(h);
    return 0;
}
