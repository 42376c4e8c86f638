// The store's close path with one drive operation failed, each in turn: three files written on the
// logging drive and the stick, handed over, closed, and the store deleted. After every run each
// file on either drive is whole or writable and named not finished; a file the store calls whole
// on its drives is whole there; the drive without the fault has every file whole with every
// record; and every file settles (or stands still, which a stop's answer counts as unfinished)
// within 12 s of the fault.
#include "store_fixture.h"

#include "campaign.h"
#include "framework/time_util.h"
#include "measfile.h"
#include "platform/drives/drive_fault.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

using namespace storetest;
using testsupport::waitUntil;

namespace {

constexpr const char* kNames[] = {"A0101000.001", "A0102000.001", "A0102000.002"};
constexpr int kFrames = 10;         // per file, 10 records each
constexpr uint32_t kStall = 100000; // a file that stands still this long (100 us) counts as unfinished
// The seeded part CI runs (fewer under the thread sanitizer, which runs it again at a tenth of the
// speed).
#if defined(__SANITIZE_THREAD__)
constexpr size_t kCiRuns = 24;
#else
constexpr size_t kCiRuns = 96;
#endif

struct Kind {
    const char* what;
    DriveFaultKind kind;
    int error;
    uint32_t holdMs;
    bool stickOnly;
};
const Kind kKinds[] = {
    {"ENOSPC", DRIVE_FAULT_ERROR, ENOSPC, 0, false},  {"EIO", DRIVE_FAULT_ERROR, EIO, 0, false},
    {"ENOENT", DRIVE_FAULT_ERROR, ENOENT, 0, false},  {"EROFS", DRIVE_FAULT_ERROR, EROFS, 0, false},
    {"EACCES", DRIVE_FAULT_ERROR, EACCES, 0, false},  {"pull", DRIVE_FAULT_PULL, 0, 0, true},
    {"hold 300 ms", DRIVE_FAULT_HOLD, 0, 300, false},
};
const DriveOp kOps[] = {DRIVE_OP_OPEN,   DRIVE_OP_WRITE, DRIVE_OP_SYNC,    DRIVE_OP_CHMOD,
                        DRIVE_OP_RENAME, DRIVE_OP_CLOSE, DRIVE_OP_TRUNCATE};

struct Outcome {
    int settled[3] = {}; // 1 whole everywhere, -1 unfinished somewhere, 0 stood still
    std::map<std::pair<std::string, int>, uint32_t> calls; // of each operation on each drive
    double settleSeconds = 0;                              // from the closes to the last file settled
    std::vector<std::string> broken;
    bool hit = false;
};

} // namespace

class StoreCampaign : public StoreTest {
protected:
    std::vector<std::string> lastLog_;
    void clearDrives() {
        for (const char* dir : {"meas", "usb_meas"}) {
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(root.file(dir), ec))
                std::filesystem::remove(e.path(), ec);
        }
        for (const char* drive : {"meas:", "usb_meas:"})
            drive_stateUpdate(drive, [](DriveState& s) {
                s.attrs.clear();
                s.inserted = true;
                return true;
            });
    }

    Outcome run(const DriveFault* fault) {
        Outcome out;
        drivefault_clear();
        clearDrives();
        log();
        if (fault) drivefault_arm(*fault);
        void* h = meas_app_PreTrigInit(0, 0.0f);
        if (!h) {
            out.broken.push_back("no store");
            return out;
        }
        // Its writers join the store before its first file, as they do before logging starts.
        waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 10000);
        MeasAppStore_FileInfo_s* files[3] = {};
        uint32_t ts = time_getTimestamp();
        for (int k = 0; k < 3; ++k) {
            MeasAppStore_FileInfo_s* f = fileInfo(kNames[k], ts, uint16_t(k == 0 ? 1 : 2));
            f->refs = 1; // the test's own, to read the record after its close
            files[k] = f;
            meas_app_PreTrigOpenFile(h, f);
            const int vf = f->vfIdx;
            for (int i = 0; i < kFrames; ++i) {
                uint32_t first = 0, last = 0;
                put(h, vf, codedFrame(1, 6, ts, 10, uint32_t(k * 100 + i), &first, &last), first, last);
                ts += 100;
                if (i == kFrames / 2) meas_app_PreTrigFlushFile(h, vf);
            }
            const std::vector<uint8_t> sb = {'S', 'B', uint8_t('0' + k)};
            meas_app_PreTrigPutMetaDataVfCopy(h, vf, sb.data(), uint32_t(sb.size()), MEAS_META_STATUSBLOCK);
            meas_app_PreTrigCloseFile(h, vf);
        }
        // As a stop's answer waits: until every file settles, or nothing moves for 10 s.
        const auto closed = std::chrono::steady_clock::now();
        uint64_t moved = 0;
        auto movedAt = std::chrono::steady_clock::now();
        for (;;) {
            bool pending = false;
            uint64_t sig = 0;
            for (int k = 0; k < 3; ++k) {
                out.settled[k] = meas_app_PreTrigFileSettled(h, files[k], nullptr, 0);
                pending = pending || out.settled[k] == 0;
                sig = sig * 131 + files[k]->progress.load() + files[k]->closedOn.load() * 7 +
                      files[k]->failedOn.load();
            }
            const auto now = std::chrono::steady_clock::now();
            if (sig != moved) {
                moved = sig;
                movedAt = now;
            }
            if (!pending || now - movedAt >= std::chrono::microseconds(uint64_t(kStall) * 100)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        out.settleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
        meas_app_PreTrigDelete(h);
        out.hit = drivefault_hits() != 0;
        for (const char* drive : {"meas:", "usb_meas:"})
            for (DriveOp op : kOps) out.calls[{drive, int(op)}] = drivefault_calls(drive, op);
        drivefault_clear();
        std::string text;
        lastLog_ = log();
        for (const std::string& line : lastLog_) text += line + "\n";
        const std::string meas = root.file("meas"), stick = root.file("usb_meas");
        out.broken = campaign::checkDrives(meas, stick, text);
        const std::string faulty = fault ? fault->drive : "";
        for (int k = 0; k < 3; ++k) {
            const campaign::FileState m = campaign::fileState(meas, kNames[k]);
            const campaign::FileState s = campaign::fileState(stick, kNames[k]);
            // Whole on every drive it is written to, when the store says so.
            if (out.settled[k] == 1 && (!m.whole || (s.exists && !s.whole)))
                out.broken.push_back(std::string(kNames[k]) + " said whole, but is not");
            // The drive without the fault misses nothing.
            for (const auto* d : {&meas, &stick}) {
                if ((d == &meas ? "meas:" : "usb_meas:") == faulty) continue;
                const measfile::File f = measfile::readFile(*d + "/" + kNames[k]);
                if (!f.ok() || f.records.size() != size_t(kFrames) * 10)
                    out.broken.push_back(*d + "/" + kNames[k] +
                                         " lacks records on the drive without the fault");
            }
            meas_app_PreTrigFileInfoRelease(files[k]);
        }
        if (out.settleSeconds > 12.0) out.broken.push_back("a file settled only after 12 s");
        return out;
    }
};

TEST_F(StoreCampaign, EveryDriveOperationFailedInTurn) {
    const auto started = std::chrono::steady_clock::now();
    const Outcome base = run(nullptr);
    for (const std::string& b : base.broken) ADD_FAILURE() << "without a fault: " << b;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(base.settled[k], 1) << kNames[k] << " without a fault";
    // Every call of every operation on either drive, as the run without a fault made them, with
    // each fault (a cut's truncate comes only with a fault: its first call too).
    std::vector<DriveFault> faults;
    for (const char* drive : {"meas:", "usb_meas:"})
        for (DriveOp op : kOps) {
            const uint32_t n = base.calls.at({drive, int(op)}) + (op == DRIVE_OP_TRUNCATE ? 1 : 0);
            for (uint32_t nth = 1; nth <= n; ++nth)
                for (const Kind& k : kKinds) {
                    if (k.stickOnly && std::string(drive) != "usb_meas:") continue;
                    DriveFault f;
                    f.drive = drive;
                    f.op = op;
                    f.nth = nth;
                    f.kind = k.kind;
                    f.error = k.error;
                    f.holdMs = k.holdMs;
                    faults.push_back(f);
                }
        }
    size_t hits = 0, runs = 0;
    for (size_t i : campaign::sample(faults.size(), kCiRuns, 20261208)) {
        const DriveFault& f = faults[i];
        char what[96];
        std::snprintf(what, sizeof what, "%s %s #%u %s", f.drive.c_str(), drivefault_opName(f.op), f.nth,
                      f.kind == DRIVE_FAULT_PULL   ? "pull"
                      : f.kind == DRIVE_FAULT_HOLD ? "hold"
                                                   : std::strerror(f.error));
        if (std::getenv("MSD_FAULT_CAMPAIGN_LOG")) {
            std::printf("run %s\n", what);
            std::fflush(stdout);
        }
        const Outcome o = run(&f);
        if (std::getenv("MSD_FAULT_CAMPAIGN_LOG") && !o.broken.empty())
            for (const std::string& line : lastLog_) std::printf("  %s\n", line.c_str());
        ++runs;
        hits += o.hit ? 1 : 0;
        for (const std::string& b : o.broken) ADD_FAILURE() << what << ": " << b;
    }
    std::printf("fault campaign of the store: %zu of %zu runs, %zu faults hit, %.1f s\n", runs, faults.size(),
                hits, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}
