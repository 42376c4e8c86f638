// The store's close path with one drive operation failed, each in turn: three files written on the
// logging drive and the stick, handed over, closed, and the store deleted. After every run each
// file on either drive is whole or writable and named not finished; a file the store calls whole
// on its drives is whole there; the drive without the fault has every file whole with every
// record; and every file settles (or stands still, which a stop's answer counts as unfinished)
// within 12 s of the fault.
//
// A power cut ends the run where it strikes: the store is stopped at once (in-process it runs on
// after the cut, and nothing it does then reaches a drive), and only the drives are looked at:
// every file parses up to its last complete record, none is read-only without being whole, and a
// file the store called whole before the cut is there and whole on both drives.
//
// CI runs a seeded part; MSD_FAULT_CAMPAIGN=all runs every fault, MSD_FAULT_CAMPAIGN_FAULTS=
// "meas:write:3:EIO|usb_meas:sync:2:cut" the faults given (in the form of MSD_DRIVE_FAULT), each
// printing one line per run.
#include "store_fixture.h"

#include "campaign.h"
#include "framework/time_util.h"
#include "logging/store/store_sync.h"
#include "measfile.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
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
    const char* what; // as MSD_DRIVE_FAULT names it
    DriveFaultKind kind;
    int error;
    uint32_t holdMs;
    bool stickOnly;
    bool writeOnly;
};
const Kind kKinds[] = {
    {"ENOSPC", DRIVE_FAULT_ERROR, ENOSPC, 0, false, false},
    {"EIO", DRIVE_FAULT_ERROR, EIO, 0, false, false},
    {"ENOENT", DRIVE_FAULT_ERROR, ENOENT, 0, false, false},
    {"EROFS", DRIVE_FAULT_ERROR, EROFS, 0, false, false},
    {"EACCES", DRIVE_FAULT_ERROR, EACCES, 0, false, false},
    {"pull", DRIVE_FAULT_PULL, 0, 0, true, false},
    {"hold300", DRIVE_FAULT_HOLD, 0, 300, false, false},
    {"delete", DRIVE_FAULT_DELETE, 0, 0, false, true},
    {"rename", DRIVE_FAULT_RENAME, 0, 0, false, true},
    {"cut", DRIVE_FAULT_CUT, 0, 0, false, false},
};
const DriveOp kOps[] = {DRIVE_OP_OPEN,   DRIVE_OP_WRITE, DRIVE_OP_SYNC,    DRIVE_OP_CHMOD,
                        DRIVE_OP_RENAME, DRIVE_OP_CLOSE, DRIVE_OP_TRUNCATE};

// The fault in the form of MSD_DRIVE_FAULT: "meas:write:3:EIO".
std::string faultText(const DriveFault& f) {
    std::string what = "?";
    for (const Kind& k : kKinds)
        if (k.kind == f.kind && (k.kind != DRIVE_FAULT_ERROR || k.error == f.error)) what = k.what;
    if (f.kind == DRIVE_FAULT_HOLD) what = "hold" + std::to_string(f.holdMs);
    if (f.kind == DRIVE_FAULT_EIO_FOR) what = "EIOfor" + std::to_string(f.spanMs);
    if (f.kind == DRIVE_FAULT_SLOW)
        what = "slow" + std::to_string(f.slowMs) + (f.spanMs ? "for" + std::to_string(f.spanMs) : "");
    return f.drive + drivefault_opName(f.op) + ":" + std::to_string(f.nth) + ":" + what +
           (f.times == 1 ? "" : ":" + std::to_string(f.times));
}

// The power is gone: from now on no call reaches either drive. The store runs on until the test
// stops it.
std::atomic<bool> gPowerCut{false};
void powerCut() {
    gPowerCut = true;
    for (const char* drive : {"meas:", "usb_meas:"})
        for (DriveOp op : kOps) {
            DriveFault f;
            f.drive = drive;
            f.op = op;
            f.times = 0;
            f.error = EIO;
            drivefault_arm(f);
        }
}

struct Outcome {
    int settled[3] = {};         // 1 whole everywhere, -1 unfinished somewhere, 0 stood still
    bool wholeBeforeCut[3] = {}; // the store called it whole before any fault struck
    std::map<std::pair<std::string, int>, uint32_t> calls; // of each operation on each drive
    double settleSeconds = 0;                              // from the closes to the last file settled
    std::vector<std::string> broken;
    bool hit = false;
};

} // namespace

class StoreCampaign : public StoreTest {
protected:
    std::vector<std::string> lastLog_;

    // After a power cut the log says nothing (the process would be gone): every file parses up to
    // its last complete record, none is read-only without being whole, and each file the store
    // called whole before the cut is whole on both drives.
    void checkAfterPowerCut(Outcome& out, MeasAppStore_FileInfo_s* const* files) {
        for (const char* dir : {"meas", "usb_meas"})
            for (const std::string& name : campaign::measurementFiles(root.file(dir))) {
                const std::string path = std::string(dir) + "/" + name;
                const measfile::File f = measfile::readFile(root.file(path));
                const campaign::FileState st = campaign::fileState(root.file(dir), name);
                if (!f.ok())
                    out.broken.push_back(path + " does not parse after the cut: " + f.error);
                else if (st.readOnly && !st.whole)
                    out.broken.push_back(path + " is read-only but not whole after the cut: it " + st.why);
            }
        for (int k = 0; k < 3; ++k) {
            for (const char* dir : {"meas", "usb_meas"})
                if (out.wholeBeforeCut[k] && !campaign::fileState(root.file(dir), kNames[k]).whole)
                    out.broken.push_back(std::string(dir) + "/" + kNames[k] +
                                         " was called whole before the cut, but is not after it");
            meas_app_PreTrigFileInfoRelease(files[k]);
        }
    }

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
        gPowerCut = false;
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
            // Seen whole, and no fault had struck yet when it was.
            if (drivefault_hits() == 0)
                for (int k = 0; k < 3; ++k)
                    out.wholeBeforeCut[k] = out.wholeBeforeCut[k] || out.settled[k] == 1;
            if (gPowerCut) break; // the store stops at once
            const auto now = std::chrono::steady_clock::now();
            if (sig != moved) {
                moved = sig;
                movedAt = now;
            }
            if (!pending || now - movedAt >= std::chrono::microseconds(uint64_t(kStall) * 100)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        out.settleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
        meas_app_PreTrigDelete(h);
        // The write-through task is the process's, not the store's: what it still has queued for
        // this run's files (a store stopped at a power cut leaves some) is done before the next
        // run (what it knows of a file is the file's own, not its name's).
        waitUntil([] { return measure::store::syncPending() == 0; }, 10000);
        // A call already under way when the power went may have put something on a drive after the
        // cut: a real cut lets nothing through, so the drives lose once more what was not written
        // through.
        if (gPowerCut) driveloss_powerCut();
        out.hit = drivefault_hits() != 0;
        for (const char* drive : {"meas:", "usb_meas:"})
            for (DriveOp op : kOps) out.calls[{drive, int(op)}] = drivefault_calls(drive, op);
        drivefault_clear();
        std::string text;
        lastLog_ = log();
        for (const std::string& line : lastLog_) text += line + "\n";
        const std::string meas = root.file("meas"), stick = root.file("usb_meas");
        if (gPowerCut) {
            checkAfterPowerCut(out, files);
            return out;
        }
        out.broken = campaign::checkDrives(meas, stick, text);
        const std::string faulty = fault ? fault->drive : "";
        const bool stickStays = !fault || fault->kind != DRIVE_FAULT_PULL;
        for (int k = 0; k < 3; ++k) {
            const campaign::FileState m = campaign::fileState(meas, kNames[k]);
            const campaign::FileState s = campaign::fileState(stick, kNames[k]);
            // Whole on every drive it is written to, when the store says so (the stick's file may be
            // gone with a pulled stick).
            const bool stickWhole = s.whole || (!stickStays && !s.exists);
            if (out.settled[k] == 1 && (!m.whole || !stickWhole))
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
    drivefault_setPowerCut(powerCut);
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
                    if (k.writeOnly && op != DRIVE_OP_WRITE) continue;
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
    const size_t all = faults.size();
    std::vector<size_t> picked;
    const char* given = std::getenv("MSD_FAULT_CAMPAIGN_FAULTS");
    if (given) {
        // Runs again by their faults, as the campaign printed them: "meas:write:3:EIO|...".
        std::istringstream in(given);
        for (std::string text; std::getline(in, text, '|');) {
            DriveFault f;
            std::string error;
            if (!drivefault_parse(text, &f, &error)) {
                ADD_FAILURE() << "MSD_FAULT_CAMPAIGN_FAULTS: '" << text << "' " << error;
                continue;
            }
            faults.push_back(f);
            picked.push_back(faults.size() - 1);
        }
    } else {
        picked = campaign::sample(all, kCiRuns, 20261208);
    }
    const bool eachRun = given || campaign::whole();
    const bool withLog = std::getenv("MSD_FAULT_CAMPAIGN_LOG") != nullptr;
    size_t hits = 0, cuts = 0;
    for (size_t i : picked) {
        const std::string what = faultText(faults[i]);
        if (withLog && !eachRun) {
            std::printf("run %s\n", what.c_str());
            std::fflush(stdout);
        }
        const Outcome o = run(&faults[i]);
        hits += o.hit ? 1 : 0;
        cuts += faults[i].kind == DRIVE_FAULT_CUT && o.hit ? 1 : 0;
        if (eachRun) {
            std::string broke;
            for (const std::string& b : o.broken) broke += (broke.empty() ? "" : "; ") + b;
            std::printf("fault %s: %s\n", what.c_str(), broke.empty() ? "every rule holds" : broke.c_str());
            std::fflush(stdout);
        }
        if (withLog && !o.broken.empty())
            for (const std::string& line : lastLog_) std::printf("  %s\n", line.c_str());
        for (const std::string& b : o.broken) ADD_FAILURE() << "fault " << what << ": " << b;
    }
    drivefault_setPowerCut(nullptr);
    // Counted among the faults the runs were taken from: those given, or the walk's (each kind at
    // each call of this process's run without a fault, whose write-throughs the drive's task may
    // join: the walk's size varies a little from one process to the next).
    const std::string from = given ? std::to_string(picked.size()) + " faults given"
                                   : "the walk's " + std::to_string(all) + " faults";
    std::printf("fault campaign of the store: %zu runs of %s, %zu faults hit (%zu power cuts), %.1f s\n",
                picked.size(), from.c_str(), hits, cuts,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}
