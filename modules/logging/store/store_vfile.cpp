#include "logging/store/store_vfile.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/store/store_writer.h"
#include "measdata/crc.h"
#include "measdata/diagservice.h"
#include "measdata/seram.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace measure::store {

// Never destroyed: writer tasks may still look files up while the process ends.
VirtualFiles& virtualFiles = *new VirtualFiles;

namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, uint16_t(v >> 16));
    put16(p + 2, uint16_t(v));
}
uint8_t bcd(unsigned v) {
    return uint8_t((v / 10 % 10) << 4 | v % 10);
}

// The real-time clock as six BCD bytes; zeros when it cannot be converted.
void bcdNow(uint8_t out[6]) {
    std::memset(out, 0, 6);
    appl_time_t t{};
    clock_appltime(&t);
    conv_date_t d{};
    if (!conv_time_to_date(&t, &d)) return;
    const unsigned v[6] = {unsigned(d.year % 100), d.month, d.day, d.hour, d.minute, d.second};
    for (int i = 0; i < 6; ++i) out[i] = bcd(v[i]);
}

// The file header's absolute lap and its CRC, which covers the header with its length, CRC and
// date bytes zero.
void sealHeader(uint8_t* h, uint16_t absLap) {
    uint8_t date[6];
    std::memcpy(date, h + 34, sizeof date);
    std::memset(h + 34, 0, sizeof date);
    put16(h, 0);
    put16(h + 20, 0);
    put16(h + 40, absLap);
    put16(h + 20, crc16_ccitt_lsb_accu(h, kFileHeaderSize, 0xFFFF));
    put16(h, uint16_t(kFileHeaderSize));
    std::memcpy(h + 34, date, sizeof date);
}

uint8_t* dup(const void* data, size_t n) {
    auto* p = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (p && n) std::memcpy(p, data, n);
    return p;
}

} // namespace

VirtualFile::VirtualFile(int vfIdx, MeasAppStore_FileInfo_s* info, uint32_t writers, uint32_t stickWriters)
    : vfIdx_(vfIdx), info_(info) {
    if (!info_ || !createHeader()) {
        info_ = nullptr; // stays the caller's
        throw "VirtualFile::VirtualFile() failed to create header!";
    }
    info_->writers.store(writers);
    info_->stickWriters.store(stickWriters);
    info_->refs.fetch_add(1);
}

VirtualFile::~VirtualFile() {
    header_.clear();
    meas_app_PreTrigFileInfoRelease(info_);
}

bool VirtualFile::addHeaderAction(Action* action) {
    if (!action) return false;
    if (!header_.add(action, action->size())) {
        delete action;
        return false;
    }
    return true;
}

bool VirtualFile::createHeader() {
    const MEASConfiguration* cfg = info_->config;
    auto* h = static_cast<uint8_t*>(std::calloc(1, kFileHeaderSize));
    if (!h) return false;
    std::memcpy(h + 2, "MeasData v6.0", 14);
    put16(h + 18, 6);
    const uint16_t pcode = seramCal().PCODE;
    put16(h + 22, uint16_t(~pcode));
    put16(h + 24, pcode);
    put16(h + 26, info_->lap);
    put16(h + 28, info_->outing);
    put16(h + 30, info_->fragment);
    h[32] = uint8_t(cfg ? cfg->num_blocks : 0);
    h[33] = uint8_t(info_->index);
    sealHeader(h, info_->absLap);
    bcdNow(h + 34);
    auto* head = new (std::nothrow) ActionData(vfIdx_, h, kFileHeaderSize, 0, 0);
    if (!head) std::free(h);
    if (head) head->setWriterType(WRITER_FILES);
    if (!addHeaderAction(head)) return false;

    // Descriptor table: every block and condition record with a frame id.
    std::vector<uint8_t> table;
    const uint32_t declared = cfg ? cfg->num_blocks : 0;
    uint32_t entries = 0;
    auto addEntry = [&](const MeasBlkInfo& b) {
        const uint8_t id = uint8_t(b.blockNo);
        if (id == 0) return;
        if (++entries == declared + 1)
            syslogx(LOG_PRIO_WARNING, "VirtualFile::createHeader() - tried to overflow blockdescr array!");
        uint8_t e[kBlockDescrSize] = {id};
        put32(e + 1, b.recordSize);
        table.insert(table.end(), e, e + kBlockDescrSize);
    };
    if (cfg) {
        for (uint32_t i = 0; cfg->BlkInfo && i < cfg->num_blocks; ++i) addEntry(cfg->BlkInfo[i]);
        for (uint32_t i = 0; cfg->Conds_ptr && i < cfg->num_conditions; ++i) addEntry(cfg->Conds_ptr[i]);
    }
    if (!table.empty()) {
        uint8_t* t = dup(table.data(), table.size());
        auto* a = t ? new (std::nothrow) ActionData(vfIdx_, t, uint32_t(table.size()), 0, 0) : nullptr;
        if (t && !a) std::free(t);
        if (a) a->setWriterType(WRITER_FILES);
        if (!addHeaderAction(a)) return false;
    }

    auto meta = [&](const void* data, uint32_t n, uint8_t type) {
        uint8_t* p = dup(data, n);
        auto* a = p ? new (std::nothrow) ActionMetaData(vfIdx_, p, n, type) : nullptr;
        if (p && !a) std::free(p);
        return addHeaderAction(a);
    };
    if (!meta(info_->configBlob, info_->configBlob ? info_->configBlobSize : 0, MEAS_META_CONFIG))
        return false;
    uint8_t start[4];
    put32(start, info_->initTimestamp);
    if (!meta(start, 4, MEAS_META_START_TS)) return false;
    uint8_t car[36] = {0, 1, 0, 1};
    char id[32] = "";
    diagService_GetCarId(id, sizeof id);
    std::memcpy(car + 4, id, strnlen(id, 31));
    if (!meta(car, sizeof car, MEAS_META_CARID)) return false;
    uint32_t first = 0, second = 0;
    const bool masters = timeserv_getMasterIds(&first, &second) != 0;
    if (masters) {
        uint8_t tm[12];
        put32(tm, first);
        put32(tm + 4, second);
        put32(tm + 8, info_->loggerId);
        if (!meta(tm, sizeof tm, MEAS_META_TIMEMASTER)) return false;
    }
    const uint32_t cfgLen = info_->configBlob ? info_->configBlobSize : 0;
    info_->headerLength =
        kFileHeaderSize + kBlockDescrSize * entries + (6 + cfgLen) + 10 + 42 + (masters ? 18 : 0);
    return true;
}

bool VirtualFile::writeHeader(Writer& writer) {
    int written = 0;
    bool failed = false;
    header_.forEach([&](Action* a) {
        const int r = a->execute(writer);
        if (r == ACTION_FAILED || !writer.alive()) {
            failed = true;
            return false;
        }
        if (r == ACTION_OK) ++written;
        return true;
    });
    if (failed || written == 0) return false;
    if ((writer.type() & WRITER_FILES) && info_->headerWritten) info_->headerWritten->store(1);
    return true;
}

void VirtualFile::renumber() {
    auto* head = dynamic_cast<ActionData*>(header_.first());
    if (head && head->length() >= kFileHeaderSize) sealHeader(head->bytes(), info_->absLap);
}

void VirtualFile::fixName(uint8_t* data, uint32_t length) const {
    const size_t n = strnlen(info_->provisionalName, sizeof info_->provisionalName);
    if (n == 0 || n != strnlen(info_->name, sizeof info_->name) || !data) return;
    // The name as a text of its own: its characters and the end of the text.
    for (uint32_t at = 0; at + n < length; ++at)
        if (std::memcmp(data + at, info_->provisionalName, n + 1) == 0 && (at == 0 || data[at - 1] == 0)) {
            std::memcpy(data + at, info_->name, n);
            at += uint32_t(n);
        }
}

bool VirtualFile::getFileName(char* buffer, size_t size) const {
    if (!buffer || size == 0) return false;
    if (size > MEAS_FILENAME_LEN) size = MEAS_FILENAME_LEN;
    const size_t n = strnlen(info_->name, MEAS_FILENAME_LEN);
    if (n == 0 || n >= size) return false;
    std::memcpy(buffer, info_->name, n + 1);
    return true;
}

bool VirtualFile::checkFileInfoMatch(int measIdx, uint32_t ts) const {
    if (info_->index != measIdx) return false;
    if (tsDiff(ts, info_->initTimestamp) < 0) return false;
    return info_->closeTimestamp == MEAS_TS_NONE || tsDiff(info_->closeTimestamp, ts) >= 0;
}

void VirtualFile::invalidateFileInfo() {
    info_->vfIdx = -1;
    meas_app_PreTrigFileQueueInForce().fileClosing(info_);
}

void VirtualFile::closedBy(int measIdx, uint8_t id) {
    info_->closedOn.fetch_or(writerBit(measIdx, id));
    info_->progress.fetch_add(1);
}

void VirtualFile::failedBy(int measIdx, uint8_t id) {
    info_->failedOn.fetch_or(writerBit(measIdx, id));
    info_->progress.fetch_add(1);
}

void VirtualFile::writerLost(int measIdx, uint8_t id, const char* drive, const char* why) {
    const uint32_t bit = writerBit(measIdx, id);
    if (!(info_->writers.load() & bit) || (info_->closedOn.load() & bit) || (info_->finishingOn.load() & bit))
        return;
    meas_app_PreTrigFileUnfinishedReason(info_, drive, why);
    failedBy(measIdx, id);
}

void VirtualFile::getLapValues(uint16_t* absLap, uint16_t* outing, uint16_t* lap, uint16_t* fragment,
                               uint32_t* startTs) const {
    if (absLap) *absLap = info_->absLap;
    if (outing) *outing = info_->outing;
    if (lap) *lap = info_->lap;
    if (fragment) *fragment = info_->fragment;
    if (startTs) *startTs = info_->initTimestamp;
}

bool VirtualFile::isRegisteredWriter(int measIdx, uint8_t id) const {
    const uint32_t bit = writerBit(measIdx, id);
    return bit && (info_->writers.load() & bit);
}
void VirtualFile::registerWriter(int measIdx, uint8_t id, bool stick) {
    const uint32_t bit = writerBit(measIdx, id);
    if (stick) info_->stickWriters.fetch_or(bit);
    info_->writers.fetch_or(bit);
}
void VirtualFile::deregisterWriter(int measIdx, uint8_t id) {
    const uint32_t bit = writerBit(measIdx, id);
    // A close still made on a write-through task keeps the file waiting for what it tells.
    if (info_->finishingOn.load() & bit) return;
    info_->writers.fetch_and(~bit);
}

VirtualFiles::VirtualFiles() = default;

VirtualFiles::~VirtualFiles() {
    for (int m = 0; m < kMeasCount; ++m) reset(m);
}

VirtualFile* VirtualFiles::create(int measIdx, MeasAppStore_FileInfo_s* info, const char** why) {
    ScopeLock guard(*this, "VirtualFiles::create");
    const char* reason = nullptr;
    VirtualFile* vf = nullptr;
    if (measIdx < 0 || measIdx >= kMeasCount) {
        syslogx(LOG_PRIO_ERR, "VirtualFiles::create() illegal measIdx (%d)", measIdx);
        reason = "illegal measIdx";
    } else {
        Meas& m = meas_[measIdx];
        const int index = m.last + 1;
        if (m.slots[index % kVfSlots]) {
            syslogx(LOG_PRIO_ERR, "VirtualFiles::create() file slots full");
            reason = "file slots full";
        } else {
            try {
                vf = new VirtualFile(index, info, writers_ & writerMask(measIdx),
                                     stickWriters_ & writerMask(measIdx));
            } catch (const char* text) {
                syslogx(LOG_PRIO_ERR, "%s", text);
                reason = text;
            } catch (const std::bad_alloc&) {
                syslogx(LOG_PRIO_ERR, "VirtualFiles::create() failed to create virtual file");
                reason = "failed to create virtual file";
            }
            if (vf) {
                if (const uint32_t hung = hung_ & writerMask(measIdx)) {
                    info->writers.fetch_or(hung);
                    for (int bit = 0; bit < 32; ++bit)
                        if (hung & (1u << bit))
                            meas_app_PreTrigFileUnfinishedReason(info, hungDrive_[bit],
                                                                 "its writer hangs in the drive");
                    info->failedOn.fetch_or(hung);
                }
                m.slots[index % kVfSlots] = vf;
                m.last = index;
                info->vfIdx = index;
                syslogx(LOG_PRIO_INFO2,
                        "VirtualFile::VirtualFile() created with index %d, writers 0x%08Xh, %s", index,
                        vf->writers(), info->name);
            }
        }
    }
    if (why) *why = reason;
    return vf;
}

int VirtualFiles::find(int measIdx, uint32_t ts) {
    ScopeLock guard(*this, "VirtualFiles::find");
    if (measIdx < 0 || measIdx >= kMeasCount) return -1;
    Meas& m = meas_[measIdx];
    for (int i = m.first; i <= m.last; ++i) {
        VirtualFile* vf = m.slots[i % kVfSlots];
        if (vf && vf->index() == i && vf->checkFileInfoMatch(measIdx, ts)) return i;
    }
    return -1;
}

VirtualFile* VirtualFiles::get(int measIdx, int index) {
    ScopeLock guard(*this, "VirtualFiles::get");
    if (measIdx < 0 || measIdx >= kMeasCount || index < 0) return nullptr;
    Meas& m = meas_[measIdx];
    if (index < m.first || index > m.last) return nullptr;
    VirtualFile* vf = m.slots[index % kVfSlots];
    return vf && vf->index() == index ? vf : nullptr;
}

VirtualFile* VirtualFiles::of(int measIdx, const MeasAppStore_FileInfo_s* info) {
    ScopeLock guard(*this, "VirtualFiles::of");
    if (measIdx < 0 || measIdx >= kMeasCount || !info) return nullptr;
    for (VirtualFile* vf : meas_[measIdx].slots)
        if (vf && vf->fileInfo() == info) return vf;
    return nullptr;
}

int VirtualFiles::inUse(int measIdx) {
    ScopeLock guard(*this, "VirtualFiles::inUse");
    if (measIdx < 0 || measIdx >= kMeasCount) return 0;
    int n = 0;
    for (VirtualFile* vf : meas_[measIdx].slots) n += vf ? 1 : 0;
    return n;
}

int VirtualFiles::newest(int measIdx) {
    ScopeLock guard(*this, "VirtualFiles::newest");
    return measIdx < 0 || measIdx >= kMeasCount ? -1 : meas_[measIdx].last;
}

VirtualFile* VirtualFiles::remove(int measIdx, int index) {
    ScopeLock guard(*this, "VirtualFiles::removeEntry");
    VirtualFile* vf = get(measIdx, index);
    if (!vf) return nullptr;
    Meas& m = meas_[measIdx];
    m.slots[index % kVfSlots] = nullptr;
    if (index == m.first) {
        while (m.first < m.last && !m.slots[m.first % kVfSlots]) ++m.first;
    }
    return vf;
}

void VirtualFiles::registerWriter(int measIdx, uint8_t id, bool stick) {
    ScopeLock guard(*this, "VirtualFiles::registerWriter");
    const uint32_t bit = writerBit(measIdx, id);
    writers_ |= bit;
    stickWriters_ = stick ? stickWriters_ | bit : stickWriters_ & ~bit;
    hung_ &= ~bit;
}

void VirtualFiles::writerHangs(int measIdx, uint8_t id, const char* drive) {
    ScopeLock guard(*this, "VirtualFiles::writerHangs");
    const uint32_t bit = writerBit(measIdx, id);
    if (!bit) return;
    hung_ |= bit;
    std::snprintf(hungDrive_[__builtin_ctz(bit)], sizeof hungDrive_[0], "%s", drive ? drive : "");
}

void VirtualFiles::writerBack(int measIdx, uint8_t id) {
    ScopeLock guard(*this, "VirtualFiles::writerBack");
    hung_ &= ~writerBit(measIdx, id);
}

void VirtualFiles::deregisterWriter(int measIdx, uint8_t id, const char* drive, const char* why) {
    ScopeLock guard(*this, "VirtualFiles::deregisterWriter");
    writers_ &= ~writerBit(measIdx, id);
    if (measIdx < 0 || measIdx >= kMeasCount) return;
    for (VirtualFile* vf : meas_[measIdx].slots)
        if (vf) {
            vf->writerLost(measIdx, id, drive, why);
            vf->deregisterWriter(measIdx, id);
        }
}

void VirtualFiles::reset(int measIdx) {
    ScopeLock guard(*this, "VirtualFiles::reset");
    if (measIdx < 0 || measIdx >= kMeasCount) return;
    Meas& m = meas_[measIdx];
    hung_ &= ~writerMask(measIdx);
    for (VirtualFile*& vf : m.slots) {
        delete vf;
        vf = nullptr;
    }
    m.first = m.last + 1;
}

} // namespace measure::store
