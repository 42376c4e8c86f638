// The flat interface of the store for the logging application.
#include "logging/store/meas_app_pretrig.h"

#include "framework/syslog.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_bfswriter.h"
#include "logging/store/store_pretrigger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>

using namespace measure::store;

namespace {

// The stores by measurement index, for the calls that take no handle.
Lock& storesLock() {
    static Lock* lock = new Lock;
    return *lock;
}
Pretrigger* gStores[kMeasCount] = {};

Pretrigger* pt(void* handle) {
    return static_cast<Pretrigger*>(handle);
}

uint8_t* copyOf(const void* data, uint32_t length) {
    auto* p = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (p && length) std::memcpy(p, data, length);
    return p;
}

void noFileClosing(MeasAppStore_FileInfo_s*) {}
const meas_app_PreTrigFileQueue kNoFileQueue{noFileClosing};
std::atomic<const meas_app_PreTrigFileQueue*> gFileQueueHooks{&kNoFileQueue};

// Starts a writer's task; raises a text when it cannot.
void startWriter(Writer* w, const char* kind, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "r_%sWriter%d", kind, index + 1);
    if (!w->taskStart(name, kWriterPriority, kWriterStack, VX_FP_TASK, 0)) throw "writer task not started";
}

} // namespace

void meas_app_PreTrigSetFileQueue(const meas_app_PreTrigFileQueue* queue) {
    gFileQueueHooks.store(queue ? queue : &kNoFileQueue, std::memory_order_release);
}

const meas_app_PreTrigFileQueue& meas_app_PreTrigFileQueueInForce() {
    return *gFileQueueHooks.load(std::memory_order_acquire);
}

void* meas_app_PreTrigInit(int index, float bufferTime) {
    if (index < 0 || index >= kMeasCount) return nullptr;
    Backend* backend = nullptr;
    try {
        backend = new Backend(index);
    } catch (const char*) {
    } catch (const std::bad_alloc&) {
    }
    if (!backend) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigInit%d failed (Backend could not be created)", index);
        return nullptr;
    }
    Pretrigger* p = nullptr;
    try {
        p = new Pretrigger(index, bufferTime, backend);
    } catch (const char*) {
    } catch (const std::bad_alloc&) {
    }
    if (!p) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigInit%d failed (Pretrigger could not be started)", index);
        delete backend;
        return nullptr;
    }
    bool bfs = false, usb = false, failed = false;
    try {
        dataWriteCounts_t counts{};
        meas_cnt_reference(&counts, index, 0);
        const char* drive = cfg_meas_getTargetPartition(index);
        auto* w = new BFSWriter(*backend, index, drive ? drive : "", counts);
        p->adoptWriter(w); // owned by the store from here on, started or not
        startWriter(w, "BFS", index);
        bfs = true;
        const cfg_meas_t* cfg = cfg_meas_getCfgPartition(index);
        if (cfg && cfg_meas_getHwIdxFromDrvName(cfg->usbDrive) >= 0) {
            meas_cnt_reference(&counts, index, 4);
            auto* u = new USBWriter(*backend, index, cfg->usbDrive, counts);
            p->adoptWriter(u);
            startWriter(u, "USB", index);
            usb = true;
        }
    } catch (const char* text) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigInit%d failure (%s)", index, text);
        failed = true;
    } catch (const std::bad_alloc&) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigInit%d failure (%s)", index, "out of memory");
        failed = true;
    }
    if (failed) {
        if (!bfs && !usb) {
            syslogx(LOG_PRIO_ERR, "meas_app_PreTrigInit%d - no writer available - shutdown", index);
            delete p;
            return nullptr;
        }
        syslogx(LOG_PRIO_WARNING, "meas_app_PreTrigInit%d - any writer available - BFS %u - USB %u", index,
                unsigned(bfs), unsigned(usb));
    }
    ScopeLock guard(storesLock(), "meas_app_PreTrigInit");
    gStores[index] = p;
    return p;
}

void meas_app_PreTrigDelete(void* handle) {
    if (!handle) return;
    {
        ScopeLock guard(storesLock(), "meas_app_PreTrigDelete");
        for (Pretrigger*& s : gStores)
            if (s == handle) s = nullptr;
    }
    delete pt(handle);
}

void meas_app_PreTrigArm(void* handle) {
    if (handle) pt(handle)->trigArm();
}

void meas_app_PreTrigTrigger(void* handle) {
    if (handle) pt(handle)->trigTrigger();
}

void meas_app_PreTrigTriggerAt(void* handle, uint32_t ts) {
    if (handle) pt(handle)->trigTrigger(ts);
}

void meas_app_PreTrigConditionChecked(void* handle, uint32_t ts) {
    if (handle) pt(handle)->conditionChecked(ts);
}

bool meas_app_PreTrigConditionCheckedAt(void* handle, uint32_t* ts) {
    return handle && pt(handle)->conditionCheckedAt(ts);
}

void meas_app_PreTrigGetMeasVarsPT(void* handle, uint8_t* state, uint32_t* bytes, uint32_t* peakBytes,
                                   uint32_t* entries, uint32_t* peakEntries) {
    if (handle) {
        pt(handle)->getMeasValues(state, bytes, peakBytes, entries, peakEntries);
        return;
    }
    for (uint32_t* p : {bytes, peakBytes, entries, peakEntries})
        if (p) *p = 0;
    if (state) *state = 0;
}

void meas_app_PreTrigGetMeasVarsBE(void* handle, uint32_t* bytes, uint32_t* peakBytes, uint32_t* entries,
                                   uint32_t* peakEntries) {
    Backend* b = handle ? pt(handle)->getBackend() : nullptr;
    if (b) {
        b->getMeasValues(bytes, peakBytes, entries, peakEntries);
        return;
    }
    for (uint32_t* p : {bytes, peakBytes, entries, peakEntries})
        if (p) *p = 0;
}

void meas_app_PreTrigOpenFile(void* handle, MeasAppStore_FileInfo_s* file) {
    if (!handle) return;
    if (file) file->storeId = pt(handle)->id();
    pt(handle)->openFile(file);
}

void meas_app_PreTrigPutMeasFrame(void* handle, int vfIdx, uint8_t* frame, uint32_t length, uint32_t firstTs,
                                  uint32_t lastTs) {
    if (!handle) return;
    pt(handle)->putFrame(vfIdx, frame, length, firstTs, lastTs);
}

void meas_app_PreTrigPutMeasFrameCopy(void* handle, int vfIdx, const uint8_t* frame, uint32_t length,
                                      uint32_t firstTs, uint32_t lastTs) {
    if (!handle) return;
    uint8_t* copy = copyOf(frame, length);
    if (!copy) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigPutMeasFrameCopy failed to allocate memory.");
        return;
    }
    pt(handle)->putFrame(vfIdx, copy, length, firstTs, lastTs);
}

void meas_app_PreTrigPutMetaDataCopy(void* handle, const void* payload, uint32_t length, uint32_t ts,
                                     uint8_t type) {
    if (!handle) return;
    uint8_t* copy = copyOf(payload, length);
    if (!copy) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigPutMetaDataCopy failed to allocate memory.");
        return;
    }
    pt(handle)->putMetaData(copy, length, ts, type);
}

void meas_app_PreTrigPutMetaDataVfCopy(void* handle, int vfIdx, const void* payload, uint32_t length,
                                       uint8_t type) {
    if (!handle) return;
    uint8_t* copy = copyOf(payload, length);
    if (!copy) {
        syslogx(LOG_PRIO_ERR, "meas_app_PreTrigPutStatusBlockCopy failed to allocate memory.");
        return;
    }
    pt(handle)->putMetaDataVf(vfIdx, copy, length, type);
}

void meas_app_PreTrigCloseFile(void* handle, int vfIdx) {
    if (handle) pt(handle)->closeFile(vfIdx);
}

void meas_app_PreTrigCopyFile(void* handle, CopyFile_t* request) {
    if (handle && request) pt(handle)->copyFile(*request);
}

void meas_app_PreTrigFlushFile(void* handle, int vfIdx) {
    if (handle) pt(handle)->flushFile(vfIdx);
}

void meas_app_PreTrigFlushDir(void* handle) {
    if (handle) pt(handle)->flushDir();
}

namespace {

// Where the records of a file went, block by block and drive by drive, until its record is let go.
// A writer hands a block's frames over in their order: what it handed is a span from the first it
// got, and what it got and did not hand over follows that span.
struct Span {
    uint32_t first = 0;
    uint32_t last = 0;
};
struct DriveWay {
    Span seen;
    bool handedAny = false;
    Span handed;
};
struct BlockWay {
    std::string name;                 // "1 (Fast)"
    std::map<uint8_t, DriveWay> ways; // by drive bit
};
struct FileWay {
    uint8_t drives = 0; // bits of the drives of its writers
    bool told = false;
    std::map<uint8_t, BlockWay> blocks; // by frame id
};
struct RecordWays {
    std::mutex m;
    std::map<MeasAppStore_FileInfo_s*, FileWay> files;
    uint32_t filesLost = 0;
};
RecordWays& recordWays() {
    static auto* w = new RecordWays; // writers may still write while the process ends
    return *w;
}

constexpr const char* kLossDrives[] = {"meas:", "meas2:", "usb_meas:", "c:"};
constexpr uint8_t kOtherDrive = 0x80;
constexpr uint8_t kInTheStore = 0x40; // frames of the store that no writer took

uint8_t driveBit(const char* drive) {
    for (size_t i = 0; i < std::size(kLossDrives); ++i)
        if (drive && std::strcmp(drive, kLossDrives[i]) == 0) return uint8_t(1u << i);
    return kOtherDrive;
}

void widen(Span& s, uint32_t first, uint32_t last) {
    if (tsDiff(first, s.first) < 0) s.first = first;
    if (tsDiff(last, s.last) > 0) s.last = last;
}

BlockWay& blockOf(FileWay& way, const MeasAppStore_FileInfo_s& f, uint8_t block) {
    BlockWay& b = way.blocks[block];
    if (b.name.empty()) {
        b.name = std::to_string(block);
        const MEASConfiguration* cfg = f.config;
        for (uint16_t i = 0; cfg && cfg->BlkInfo && i < cfg->num_blocks; ++i)
            if (uint8_t(cfg->BlkInfo[i].blockNo) == block && cfg->BlkInfo[i].name[0])
                b.name += " (" + std::string(cfg->BlkInfo[i].name) + ")";
    }
    return b;
}

void seen(FileWay& way, const MeasAppStore_FileInfo_s& f, uint8_t bit, uint8_t block, uint32_t first,
          uint32_t last) {
    if (bit != kInTheStore) way.drives |= bit;
    BlockWay& b = blockOf(way, f, block);
    const bool fresh = !b.ways.count(bit);
    DriveWay& d = b.ways[bit];
    if (fresh)
        d.seen = Span{first, last};
    else
        widen(d.seen, first, last);
}

// A part of a block's records on no drive, relative to `base`: [lo, hi]; `after` and `before` tell
// that it begins right after, or ends right before, records that reached a drive.
struct Piece {
    int64_t lo, hi;
    bool after, before;
};

std::string stamp(uint32_t base, int64_t at) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", uint32_t(base + uint32_t(at)) / 10000.0);
    return text;
}

// The block's records that no drive took: what any drive got, less what any handed over.
std::vector<Piece> lostOf(const BlockWay& b) {
    std::vector<Piece> lost;
    if (b.ways.empty()) return lost;
    uint32_t base = b.ways.begin()->second.seen.first;
    for (const auto& [bit, d] : b.ways)
        if (tsDiff(d.seen.first, base) < 0) base = d.seen.first;
    auto at = [&](uint32_t ts) { return int64_t(uint32_t(ts - base)); };
    std::vector<std::pair<int64_t, int64_t>> handed;
    for (const auto& [bit, d] : b.ways)
        if (d.handedAny) handed.emplace_back(at(d.handed.first), at(d.handed.last));
    std::sort(handed.begin(), handed.end());
    for (const auto& [bit, d] : b.ways) {
        Piece p{at(d.seen.first), at(d.seen.last), false, false};
        if (d.handedAny) {
            p.lo = at(d.handed.last) + 1;
            p.after = true;
        }
        // Less what the other drives handed over.
        for (const auto& [lo, hi] : handed) {
            if (p.lo > p.hi) break;
            if (hi < p.lo || lo > p.hi) continue;
            if (lo > p.lo) lost.push_back(Piece{p.lo, lo - 1, p.after, true});
            p.lo = hi + 1;
            p.after = true;
        }
        if (p.lo <= p.hi) lost.push_back(p);
    }
    // Pieces of several drives that meet are one.
    std::sort(lost.begin(), lost.end(), [](const Piece& a, const Piece& b) { return a.lo < b.lo; });
    std::vector<Piece> merged;
    for (const Piece& p : lost) {
        if (!merged.empty() && p.lo <= merged.back().hi + 1) {
            if (p.hi > merged.back().hi) {
                merged.back().hi = p.hi;
                merged.back().before = p.before;
            }
            continue;
        }
        merged.push_back(p);
    }
    for (Piece& p : merged) {
        // Printed in the records' own stamps.
        p.lo += p.after ? -1 : 0;
        p.hi += p.before ? 1 : 0;
        p.lo = int64_t(base) + p.lo;
        p.hi = int64_t(base) + p.hi;
    }
    return merged;
}

// What reached no drive of the file (the ways' lock held); empty when nothing did, or it was told.
std::string onNoDrive(const MeasAppStore_FileInfo_s& f, const FileWay& way) {
    // Whole on a drive: every record its writer got is there (a copy to the stick comes from one).
    if (way.told || f.closedOn.load() != 0 || f.copyState.load() == MEAS_COPY_DONE) return {};
    std::string spans;
    for (const auto& [id, b] : way.blocks)
        for (const Piece& p : lostOf(b)) {
            spans += spans.empty() ? ": block " : ", block ";
            spans += b.name + (p.after ? " after " : " from ") + stamp(0, p.lo) + " to " +
                     (p.before ? "before " : "") + stamp(0, p.hi);
        }
    if (spans.empty()) return {};
    std::string drives;
    for (size_t i = 0; i < std::size(kLossDrives); ++i)
        if (way.drives & (1u << i)) drives += std::string(drives.empty() ? "" : ", ") + kLossDrives[i];
    if (way.drives & kOtherDrive) drives += std::string(drives.empty() ? "" : ", ") + "another drive";
    const std::string where = drives.empty() ? "no writer took them" : "not finished on " + drives;
    return "the records of " + std::string(f.name, strnlen(f.name, sizeof f.name)) + " are on no drive (" +
           where + ")" + spans;
}

} // namespace

void meas_app_PreTrigFileRecordsSeen(MeasAppStore_FileInfo_s* file, const char* drive, uint8_t block,
                                     uint32_t firstTs, uint32_t lastTs) {
    if (!file) return;
    RecordWays& w = recordWays();
    std::lock_guard<std::mutex> lk(w.m);
    seen(w.files[file], *file, driveBit(drive), block, firstTs, lastTs);
}

void meas_app_PreTrigFileRecordsHanded(MeasAppStore_FileInfo_s* file, const char* drive, uint8_t block,
                                       uint32_t firstTs, uint32_t lastTs) {
    if (!file) return;
    RecordWays& w = recordWays();
    std::lock_guard<std::mutex> lk(w.m);
    FileWay& way = w.files[file];
    const uint8_t bit = driveBit(drive);
    seen(way, *file, bit, block, firstTs, lastTs);
    DriveWay& d = way.blocks[block].ways[bit];
    if (!d.handedAny)
        d.handed = Span{firstTs, lastTs};
    else
        widen(d.handed, firstTs, lastTs);
    d.handedAny = true;
}

std::vector<std::string> meas_app_PreTrigRecordsOnNoDrive() {
    // The frames the stores hold that a writer may not have taken: looked up outside the lists' locks.
    struct Held {
        int measIdx;
        measure::store::HeldFrame frame;
    };
    std::vector<Held> held;
    {
        ScopeLock guard(storesLock(), "meas_app_PreTrigRecordsOnNoDrive");
        for (int i = 0; i < kMeasCount; ++i) {
            Backend* b = gStores[i] ? gStores[i]->getBackend() : nullptr;
            if (!b) continue;
            std::vector<HeldFrame> frames;
            b->framesHeld(&frames);
            for (const HeldFrame& f : frames) held.push_back(Held{i, f});
        }
    }
    std::vector<std::pair<MeasAppStore_FileInfo_s*, HeldFrame>> found;
    if (!held.empty()) {
        ScopeLock guard(virtualFiles, "meas_app_PreTrigRecordsOnNoDrive");
        for (const Held& h : held)
            if (VirtualFile* vf = virtualFiles.get(h.measIdx, h.frame.vfIdx))
                if (vf->fileInfo()) found.emplace_back(vf->fileInfo(), h.frame);
    }
    std::vector<std::string> items;
    RecordWays& w = recordWays();
    std::lock_guard<std::mutex> lk(w.m);
    for (const auto& [file, frame] : found)
        seen(w.files[file], *file, kInTheStore, frame.block, frame.first, frame.last);
    for (auto& [file, way] : w.files) {
        std::string text = onNoDrive(*file, way);
        if (text.empty()) continue;
        way.told = true;
        ++w.filesLost;
        items.push_back(std::move(text));
    }
    return items;
}

uint32_t meas_app_PreTrigFilesWithRecordsLost() {
    RecordWays& w = recordWays();
    std::lock_guard<std::mutex> lk(w.m);
    return w.filesLost;
}

void meas_app_PreTrigFileNamed(MeasAppStore_FileInfo_s* file, uint16_t absLap, const char* name) {
    if (!file) return;
    {
        // The writers and the names of the records on no drive read the name under these locks.
        ScopeLock guard(virtualFiles, "meas_app_PreTrigFileNamed");
        std::lock_guard<std::mutex> lk(recordWays().m);
        if (name && std::strncmp(name, file->name, sizeof file->name) != 0) {
            std::memcpy(file->provisionalName, file->name, sizeof file->provisionalName);
            std::snprintf(file->name, sizeof file->name, "%s", name);
        }
        if (absLap != file->absLap) {
            file->absLap = absLap;
            // Its close may be handed on already (the record's index is let go then).
            if (VirtualFile* vf = virtualFiles.of(file->index, file)) vf->renumber();
        }
    }
    file->namePending.store(0, std::memory_order_release);
}

void meas_app_PreTrigFileInfoRelease(MeasAppStore_FileInfo_s* file) {
    if (!file || file->refs.fetch_sub(1) != 1) return;
    // Settled on every drive: what reached none is named now.
    std::string lost;
    {
        RecordWays& w = recordWays();
        std::lock_guard<std::mutex> lk(w.m);
        const auto it = w.files.find(file);
        if (it != w.files.end()) {
            lost = onNoDrive(*file, it->second);
            if (!lost.empty()) ++w.filesLost;
            w.files.erase(it);
        }
    }
    if (!lost.empty()) syslogx(LOG_PRIO_ERR, "meas_app_PreTrigFileInfoRelease(): %s", lost.c_str());
    std::free(file);
}

namespace {
struct NewFileAsk {
    int measIdx;
    std::string why;
    int newestSeen;
    uint32_t cutSeen;
};
struct NewFileAsks {
    std::mutex m;
    std::deque<NewFileAsk> asks;
};
NewFileAsks& newFileAsks() {
    static auto* a = new NewFileAsks; // writers may ask while the process ends
    return *a;
}
} // namespace

void meas_app_PreTrigAskNewFile(int measIdx, const std::string& why, int newestSeen) {
    uint32_t cutSeen = 0;
    {
        ScopeLock guard(virtualFiles, "meas_app_PreTrigAskNewFile");
        if (VirtualFile* vf = virtualFiles.get(measIdx, newestSeen)) cutSeen = vf->fileInfo()->cutSeq;
    }
    NewFileAsks& a = newFileAsks();
    std::lock_guard<std::mutex> lk(a.m);
    if (a.asks.size() < 32) // more says nothing new
        a.asks.push_back(NewFileAsk{measIdx, why, newestSeen, cutSeen});
}

bool meas_app_PreTrigTakeNewFileAsk(int* measIdx, std::string* why, bool* overtaken, uint32_t* cutSeen) {
    NewFileAsk ask;
    {
        NewFileAsks& a = newFileAsks();
        std::lock_guard<std::mutex> lk(a.m);
        if (a.asks.empty()) return false;
        ask = a.asks.front();
        a.asks.pop_front();
    }
    if (measIdx) *measIdx = ask.measIdx;
    if (why) *why = ask.why;
    if (overtaken) *overtaken = virtualFiles.newest(ask.measIdx) > ask.newestSeen;
    if (cutSeen) *cutSeen = ask.cutSeen;
    return true;
}

void meas_app_PreTrigFileUnfinishedReason(MeasAppStore_FileInfo_s* file, const char* drive, const char* why) {
    uint8_t none = 0;
    if (!file || !file->reasonState.compare_exchange_strong(none, 1)) return;
    std::snprintf(file->reasonDrive, sizeof file->reasonDrive, "%s", drive ? drive : "");
    std::snprintf(file->reason, sizeof file->reason, "%s", why ? why : "");
    file->reasonState.store(2);
}

int meas_app_PreTrigFileSettled(void* handle, const MeasAppStore_FileInfo_s* file, char* waitsFor,
                                size_t size, uint32_t stallTicks) {
    if (waitsFor && size) waitsFor[0] = '\0';
    if (!file) return 1;
    const uint32_t writers = file->writers.load();
    const uint32_t stick = file->stickWriters.load();
    uint32_t closed = file->closedOn.load();
    // A writer that closed the file whole after all (one dropped while it hung, that came back)
    // has finished it there.
    uint32_t failed = file->failedOn.load() & ~closed;
    const uint8_t copy = file->copyState.load();
    // The stick's copy replaces whatever the stick's writer left of the file.
    if (copy == MEAS_COPY_DONE) {
        closed |= writers & stick;
        failed &= ~stick;
    } else if (copy == MEAS_COPY_DAMAGED) {
        failed |= writers & stick;
    }
    uint32_t pending = writers & ~closed & ~failed;
    uint32_t stalled = 0;
    // Any task may ask while the logging frees the store: it is used only while it is registered, and
    // it is freed only after it left the register.
    ScopeLock guard(storesLock(), "meas_app_PreTrigFileSettled");
    bool live = false;
    for (Pretrigger* p : gStores) live = live || (handle && p == handle && p->id() == file->storeId);
    if (!live) handle = nullptr;
    if (stallTicks && handle) {
        stalled = pt(handle)->stalledWriters(pending | (copy == MEAS_COPY_PENDING ? stick : 0), stallTicks);
        pending &= ~stalled;
        failed |= stalled & writers;
    }
    // A copy is waited for while the file it copies can still become whole and its drive takes data.
    const bool copying = copy == MEAS_COPY_PENDING && !(failed & ~stick) && !(stalled & stick);
    if (pending || copying) {
        if (waitsFor && size && handle && pending) pt(handle)->writerDrives(pending, waitsFor, size);
        if (waitsFor && size && !pending) std::snprintf(waitsFor, size, "its copy to the stick");
        return 0;
    }
    if (!failed && !(stalled & stick && copy == MEAS_COPY_PENDING)) return 1;
    if (waitsFor && size) {
        if (handle) pt(handle)->writerDrives(failed & ~stalled, waitsFor, size, false);
        if (file->reasonState.load() == 2 && (failed & ~stalled)) {
            // The reason of the first writer that could not finish it, with its drive where the
            // drives named are more than that one.
            const size_t used = std::strlen(waitsFor);
            if (!used || std::strcmp(waitsFor, file->reasonDrive) == 0)
                std::snprintf(waitsFor + used, size - used, "%s (%s)", used ? "" : file->reasonDrive,
                              file->reason);
            else
                std::snprintf(waitsFor + used, size - used, " (on %s %s)", file->reasonDrive, file->reason);
        }
        if (handle && stalled) {
            const size_t used = std::strlen(waitsFor);
            char drives[96];
            pt(handle)->writerDrives(stalled, drives, sizeof drives);
            std::snprintf(waitsFor + used, size - used, "%s%s, where nothing went on for %u s",
                          used ? ", " : "", drives, unsigned(stallTicks / 10000));
        }
        if (!waitsFor[0]) std::snprintf(waitsFor, size, "a drive");
    }
    return -1;
}

int meas_app_PreTrigIsOfflineDataFlushed() {
    if (Pretrigger::leftBehindBusy()) return 0;
    ScopeLock guard(storesLock(), "meas_app_PreTrigIsOfflineDataFlushed");
    for (Pretrigger* p : gStores)
        if (p && !p->isOfflineDataFlushed()) return 0;
    return 1;
}

std::vector<std::string> meas_app_PreTrigUnwritten() {
    std::vector<std::string> items;
    if (Pretrigger::leftBehindBusy())
        items.push_back(
            "a record of a store that has ended was not written: its writer was dropped while its "
            "drive hung");
    ScopeLock guard(storesLock(), "meas_app_PreTrigUnwritten");
    for (Pretrigger* p : gStores)
        if (p) p->unwritten(&items);
    return items;
}

void meas_app_PreTrigMeasStop(int spareTelemetry) {
    ScopeLock guard(storesLock(), "meas_app_PreTrigMeasStop");
    for (int i = 0; i < kMeasCount; ++i) {
        if (i == 1 && spareTelemetry) continue;
        if (!gStores[i]) continue;
        syslogx(LOG_PRIO_INFO2, "meas_app_PreTrigMeasStop(%d)", i);
        gStores[i]->measStop();
    }
}

void meas_app_PreTrigShutdown() {
    ScopeLock guard(storesLock(), "meas_app_PreTrigShutdown");
    for (Pretrigger* p : gStores)
        if (p) p->measStop();
}

int meas_app_PreTrigMeasRunning(void* handle) {
    return handle && pt(handle)->measRunning() ? 1 : 0;
}

int meas_app_PreTrigCheckFragment(void* handle) {
    return handle ? pt(handle)->checkFragment() : 0;
}

void meas_app_PreTrigTriggerFragment(void* handle) {
    // Any task cuts (a lap, the shell): only a store still registered, never one being deleted.
    ScopeLock guard(storesLock(), "meas_app_PreTrigTriggerFragment");
    for (Pretrigger* p : gStores)
        if (p && p == handle) p->triggerFragment();
}

int meas_app_PreTrigArmFlushRequested(void* handle) {
    return handle && pt(handle)->armFlushRequested() ? 1 : 0;
}

void meas_app_PreTrigArmFlushDone(void* handle) {
    if (handle) pt(handle)->armFlushDone();
}

void* meas_app_hst_create(int) {
    return nullptr;
}
