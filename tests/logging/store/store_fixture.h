// Shared set-up of the store tests: a temporary device root whose "meas:" and "usb_meas:" take the
// files, the calibration values the store reads, and file records and frames as the file store
// hands them over.
#pragma once

#include "testsupport.h"

#include "framework/syslog.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_frame.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/seram.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/hostclock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace storetest {

// A frame of block `id` with `samples` records, its payload taken as opaque bytes.
inline std::vector<uint8_t> frame(uint8_t id, uint8_t samples, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f = {id, samples, uint8_t(payload.size() >> 8), uint8_t(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A frame coded by MeasFrame: `n` records of `size` bytes (stamps from `ts`, 10 apart; values from
// `seed`), its first and last stamps into *first and *last.
inline std::vector<uint8_t> codedFrame(uint8_t id, uint32_t size, uint32_t ts, int n, uint32_t seed,
                                       uint32_t* first = nullptr, uint32_t* last = nullptr) {
    MeasFrame* f = MeasFrame_alloc(64, 4096, size, 1);
    std::minstd_rand rng(seed + 1);
    for (int k = 0; f && k < n; ++k) {
        std::vector<uint8_t> r(size);
        const uint32_t t = ts + 10 * uint32_t(k);
        r[0] = uint8_t(t >> 24), r[1] = uint8_t(t >> 16), r[2] = uint8_t(t >> 8), r[3] = uint8_t(t);
        for (uint32_t v = 4; v < size; ++v) r[v] = uint8_t(v < 6 ? k : rng());
        MeasFrame_put(f, r.data(), size);
    }
    uint32_t a = 0, b = 0, len = 0, used = 0, packed = 0;
    uint8_t* data = nullptr;
    std::vector<uint8_t> out;
    if (f && MeasFrame_recode_for_V5_V6(f, size, &a, &b) == 0 &&
        MeasFrame_get(f, id, &data, &len, &used, &packed) == 0 && data)
        out.assign(data, data + len);
    std::free(data);
    MeasFrame_free(f);
    if (first) *first = a;
    if (last) *last = b;
    return out;
}

inline std::vector<uint8_t> metaRecord(uint8_t type, const std::vector<uint8_t>& payload) {
    const uint32_t n = uint32_t(payload.size());
    std::vector<uint8_t> r = {0xFF, type, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

// One configured block with frame id `blockNo` and record size `recordSize`.
struct OneBlockConfig {
    OneBlockConfig(uint16_t blocks = 1) {
        std::memset(&cfg, 0, sizeof cfg);
        blk.resize(blocks);
        for (uint16_t i = 0; i < blocks; ++i) {
            std::memset(&blk[i], 0, sizeof blk[i]);
            blk[i].blockNo = uint16_t(i + 1);
            blk[i].recordSize = 4 + 2 * (i + 1);
        }
        cfg.BlkInfo = blk.data();
        cfg.num_blocks = blocks;
    }
    MEASConfiguration cfg;
    std::vector<MeasBlkInfo> blk;
};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        for (uint8_t page : {SERAM_PAGE_REFERENCE, SERAM_PAGE_WORKING}) {
            seramCalPage(page).PCODE = 0x1234;
            seramCalPage(page).FILEFRAGMENTATION_SIZE = 5;
            seramCalPage(page).FILEFRAGMENTATION_TIME = 300;
        }
        // A stick that was plugged in long ago: no debounce wait.
        cfg_meas_devHwInfo[1].debounceMs = 0;
        testsupport::drainSyslog();
    }
    void TearDown() override {
        hostclock_setManual(false);
        testsupport::drainSyslog();
    }

    // A file record as the file store makes it (malloc'ed; the store owns it after the open).
    MeasAppStore_FileInfo_s* fileInfo(const char* name, uint32_t initTs = 1000, uint16_t lap = 1) {
        auto* f = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
        std::snprintf(f->name, sizeof f->name, "%s", name);
        f->index = 0;
        f->outing = 1;
        f->lap = lap;
        f->fragment = 1;
        f->initTimestamp = initTs;
        f->closeTimestamp = MEAS_TS_NONE;
        f->closeDeadline = MEAS_TS_NONE;
        f->vfIdx = -1;
        f->config = &config.cfg;
        f->configBlob = blob.data();
        f->configBlobSize = uint32_t(blob.size());
        f->headerWritten = &headerWritten;
        return f;
    }
    // Hands a frame over the C interface (the store frees its copy).
    void put(void* h, int vf, const std::vector<uint8_t>& f, uint32_t firstTs, uint32_t lastTs) {
        auto* b = static_cast<uint8_t*>(std::malloc(f.size()));
        std::memcpy(b, f.data(), f.size());
        meas_app_PreTrigPutMeasFrame(h, vf, b, uint32_t(f.size()), firstTs, lastTs);
    }
    std::string measFile(const std::string& name) const { return root.file("meas/" + name); }
    std::string usbFile(const std::string& name) const { return root.file("usb_meas/" + name); }
    static bool readOnly(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
    }
    static void setUsbInserted(bool inserted) {
        drive_stateUpdate("usb_meas:", [&](DriveState& s) {
            s.inserted = inserted;
            return true;
        });
    }
    std::vector<std::string> log() { return testsupport::drainSyslog(); }
    // What a failing check saw: `what`, then the store's log since the last look.
    std::string seenWithLog(std::string what) {
        for (const std::string& line : log()) what += "\n" + line;
        return what;
    }

    testsupport::TempDeviceRoot root;
    OneBlockConfig config;
    std::vector<uint8_t> blob = {'<', 'c', 'f', 'g', '/', '>'};
    std::atomic<uint8_t> headerWritten{0};
};

} // namespace storetest
