// The compact logging configuration ("cfg:/m0N.dat", big-endian, with a CRC-16 over its header),
// the choice between it and the XML file, and the release of configurations.
#include "logging/config/meas_app_cfg.h"

#include "framework/appman.h"
#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "logging/disk/cfg_meas.h"
#include "measdata/chandata.h"
#include "measdata/crc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kShortHeader = 66;
constexpr size_t kLongHeader = 72;
constexpr size_t kCrcAt = 18;
constexpr size_t kBlockV2 = 24;
constexpr size_t kBlockV3 = 30;
constexpr size_t kTeleRecord = 16;
constexpr uint64_t kBadConditionBits = uint64_t(3) << 62; // no condition FIFO behind bits 62 and 63

uint32_t be(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

uint16_t headerCrc(const uint8_t* file, size_t headerLength) {
    const uint16_t head = crc16_ccitt_lsb_accu(file, kCrcAt, 0xFFFF);
    return crc16_ccitt_lsb_accu(file + kCrcAt + 2, headerLength - kCrcAt - 2, head);
}

// Element size of a type word: low byte times bits 0-5 of the high byte.
uint32_t elementSize(uint16_t typeWord) {
    return uint32_t(typeWord & 0xFF) * uint32_t((typeWord >> 8) & 0x3F);
}

uint32_t rasterCode(uint16_t word) {
    switch (word) {
    case 0x0101:
        return 0;
    case 0x0102:
        return 1;
    case 0x0103:
        return 2;
    case 0x0104:
        return 3;
    case 0x0105:
        return 4;
    case 0x0106:
        return 5;
    case 0x0107:
        return 6;
    case 0x0108:
        return 7;
    case 0x0109:
        return 8;
    case 0x010B:
        return 14;
    case 0x010C:
        return 15;
    case 0x010D:
        return 16;
    case 0x010E:
        return 17;
    case 0x010F:
        return 18;
    case 0x0300:
        return 10;
    case 0x0400:
        return 11;
    case 0x0401:
        return 12;
    default:
        return 9;
    }
}

// The decoding of one file; every read is checked against its length first.
class Compact {
public:
    Compact(const uint8_t* file, size_t length) : f_(file), n_(length) {}

    // `bytes` bytes at `offset` lie inside the file.
    bool has(uint64_t offset, uint64_t bytes) const { return offset <= n_ && bytes <= n_ - offset; }
    // A text at `offset`; the zero byte behind the file ends the last one.
    bool text(uint32_t offset, char* field) const {
        if (offset >= n_) return false;
        std::snprintf(field, MEAS_TEXT_LEN, "%s", reinterpret_cast<const char*>(f_ + offset));
        return true;
    }
    uint32_t at(size_t offset, int bytes) const { return be(f_ + offset, bytes); }
    const uint8_t* ptr(size_t offset) const { return f_ + offset; }
    size_t length() const { return n_; }

private:
    const uint8_t* f_;
    size_t n_;
};

MEASConfiguration* refuse(char* buffer, MEASConfiguration* record, const char* why, long value) {
    syslogx(LOG_PRIO_ERR2, "meas_app_load: measurement configuration refused, %s (%ld)", why, value);
    meas_app_free_MEASConfiguration(record);
    std::free(buffer);
    return nullptr;
}

bool readBlocks(const Compact& c, MEASConfiguration* m, uint32_t table, bool v3, const char** why,
                long* value) {
    const size_t recordSize = v3 ? kBlockV3 : kBlockV2;
    if (!c.has(table, uint64_t(m->num_blocks) * recordSize)) {
        *why = "block table outside the file";
        *value = long(table);
        return false;
    }
    for (uint16_t i = 0; i < m->num_blocks; ++i) {
        const size_t r = table + size_t(i) * recordSize;
        MeasBlkInfo& b = m->BlkInfo[i];
        const uint32_t seqAt = c.at(r, 4);
        if (!c.text(c.at(r + 4, 4), b.name) || seqAt > c.length()) {
            *why = "block text or sequences outside the file";
            *value = i;
            return false;
        }
        b.raster = rasterCode(uint16_t(c.at(r + 8, 2)));
        size_t p = r + 10;
        if (v3) {
            b.condMask = (uint64_t(c.at(p, 4)) << 32) | c.at(p + 4, 4);
            p += 8;
        } else {
            b.condMask = c.at(p, 2);
            p += 2;
        }
        if (b.condMask & kBadConditionBits) {
            *why = "condition mask of a block with bit 62 or 63";
            *value = i;
            return false;
        }
        b.condFlags = uint16_t(c.at(p, 2));
        b.true_div = uint16_t(c.at(p + 2, 2));
        b.false_div = uint16_t(c.at(p + 4, 2));
        b.blockNo = uint16_t(c.at(p + 6, 2));
        b.reserved = uint16_t(c.at(p + 8, 2));
        const uint16_t sequences = uint16_t(c.at(p + 10, 2));
        b.pretrigger = 0;
        b.tele_blk = 0xFFFF;
        if (meas_app_convert_seq2MeasList(b.blockNo, c.ptr(seqAt), sequences, &b, c.length() - seqAt) != 0) {
            *why = "copy sequences of a block";
            *value = i;
            return false;
        }
    }
    return true;
}

bool readConditions(const Compact& c, MEASConfiguration* m, uint32_t table, const char** why, long* value) {
    uint64_t p = table;
    for (uint16_t i = 0; i < m->num_conditions; ++i) {
        if (!c.has(p, 6)) {
            *why = "condition table outside the file";
            *value = i;
            return false;
        }
        const uint32_t address = c.at(size_t(p), 4);
        const uint32_t size = elementSize(uint16_t(c.at(size_t(p) + 4, 2)));
        const uint32_t constSize = size == 2 ? 2 : size == 4 ? 4 : 1;
        if (size == 0 || size > MEAS_MAX_ELEMENT_SIZE || !c.has(p + 6, 2 * constSize)) {
            *why = size == 0 ? "condition of element size 0" : "condition table outside the file";
            *value = i;
            return false;
        }
        uint32_t unused = 0;
        const uint8_t* behind = parsePackedConst(c.ptr(size_t(p) + 6), size, &unused);
        behind = parsePackedConst(behind, size, &unused);
        p = uint64_t(behind - c.ptr(0));
        MeasBlkInfo& k = m->Conds_ptr[i];
        k.measList[0] = uint32_t(-int32_t(size));
        k.measList[1] = address & 0x00FFFFFF;
        k.addrSize[0] = uint8_t(size);
        k.measListLen = 12;
        k.recordSize = size + 4;
        k.numAddr = 1;
        std::snprintf(k.name, sizeof k.name, "CondBlk #%d", int(i));
        k.pid = uint16_t(address >> 24);
        k.condMask = uint64_t(1) << i;
        k.raster = 0;
        k.true_div = k.false_div = 1;
        k.tele_blk = 0xFFFF;
        k.samplesPerRecord = 1;
    }
    return true;
}

} // namespace

const uint8_t* parsePackedConst(const uint8_t* p, uint32_t size, uint32_t* value) {
    const int bytes = size == 2 ? 2 : size == 4 ? 4 : 1;
    if (value) *value = be(p, bytes);
    return p + bytes;
}

int meas_app_convert_seq2MeasList(uint16_t blockNo, const uint8_t* data, uint16_t count, MeasBlkInfo* record,
                                  size_t available) {
    if (!record) {
        syslogx(LOG_PRIO_ERR, "meas_app_convert_seq2MeasList: called with NULL pointer...");
        return -1;
    }
    const auto refused = [blockNo](const char* why) {
        syslogx(LOG_PRIO_ERR, "meas_app_convert_seq2MeasList(): %s in measblock #%d", why, int(blockNo));
        return -1;
    };
    uint16_t pid = app_pid;
    int firstPid = -1;
    size_t p = 0;
    uint32_t w = 0, numAddr = 0, sampleBytes = 0;
    for (uint16_t s = 0; s < count; ++s) {
        if (!data || available < 4 || p > available - 4) return refused("copy sequence outside the file");
        const uint32_t n = be(data + p, 2);
        const uint32_t size = elementSize(uint16_t(be(data + p + 2, 2)));
        p += 4;
        if (size == 0 || size > MEAS_MAX_ELEMENT_SIZE)
            return refused("copy sequence of invalid element size");
        if ((uint64_t(n) + 1) * 4 > available - p) return refused("copy sequence outside the file");
        // The header, the addresses and the end word, and one more word to end the list.
        if (uint64_t(w) + n + 3 > MEAS_LIST_WORDS) return refused("copy sequences longer than the list");
        record->measList[w++] = uint32_t(-int32_t(size));
        for (uint32_t a = 0; a < n; ++a, p += 4) {
            const uint32_t address = be(data + p, 4);
            record->measList[w++] = address & 0x00FFFFFF;
            record->addrSize[numAddr++] = uint8_t(size);
            sampleBytes += size;
            pid = uint16_t(address >> 24);
            if (firstPid < 0)
                firstPid = pid;
            else if (pid != firstPid)
                syslogx(LOG_PRIO_ERR,
                        "meas_app_convert_seq2MeasList(): unexpected pid id (0x%02x) measblock #%d",
                        unsigned(pid), int(blockNo));
        }
        record->measList[w++] = 0;
        if (be(data + p, 4) != 0)
            syslogx(
                LOG_PRIO_ERR,
                "meas_app_convert_seq2MeasList(): no expected NULL at end of copy sequence in measblock #%d",
                int(blockNo));
        p += 4;
    }
    record->measList[w++] = 0;
    record->measListLen = w * 4;
    record->recordSize = 4 + sampleBytes;
    record->numAddr = numAddr;
    record->samplesPerRecord = 1;
    record->pid = pid;
    return 0;
}

MEASConfiguration* meas_app_load(int /*index*/, char* buffer, size_t length) {
    if (!buffer) {
        syslogx(LOG_PRIO_ERR2, "Loading measurement configuration failed");
        return nullptr;
    }
    auto* m = static_cast<MEASConfiguration*>(std::calloc(1, sizeof(MEASConfiguration)));
    if (!m) {
        syslogx(LOG_PRIO_ERR2, "meas_app_load: out of memory");
        std::free(buffer);
        return nullptr;
    }
    syslogx(LOG_PRIO_INFO2, "Loading measurement configuration %.16s", buffer);
    const Compact c(reinterpret_cast<const uint8_t*>(buffer), length);
    if (!c.has(0, kShortHeader)) return refuse(buffer, m, "shorter than its header", long(length));

    const int version = int(c.at(16, 2));
    const uint16_t stored = uint16_t(c.at(kCrcAt, 2));
    uint16_t computed = 0;
    bool longHeader = true;
    int reported = version;
    if (version == 2) {
        computed = headerCrc(c.ptr(0), kShortHeader);
        longHeader = false;
        if (computed != stored && c.has(0, kLongHeader) && headerCrc(c.ptr(0), kLongHeader) == stored) {
            computed = stored;
            longHeader = true;
            reported = -1;
        }
    } else if (version == 3) {
        if (!c.has(0, kLongHeader)) return refuse(buffer, m, "shorter than its header", long(length));
        computed = headerCrc(c.ptr(0), kLongHeader);
    } else {
        syslogx(LOG_PRIO_ERR2, "Measurement configuration has invalid version, %d", version);
        meas_app_free_MEASConfiguration(m);
        std::free(buffer);
        return nullptr;
    }
    if (computed != stored) {
        syslogx(LOG_PRIO_ERR2, "Measurement configuration invalid! Checksum is: %X expected: %X ",
                unsigned(computed), unsigned(stored));
        meas_app_free_MEASConfiguration(m);
        std::free(buffer);
        return nullptr;
    }
    syslogx(LOG_PRIO_INFO2, "Measurement configuration is valid, version %d", reported);

    if (!c.text(c.at(20, 4), m->projectFileName) || !c.text(c.at(24, 4), m->asapName) ||
        !c.text(c.at(28, 4), m->pstName) || !c.text(c.at(32, 4), m->userInfo))
        return refuse(buffer, m, "text outside the file", 0);
    m->protocol = uint16_t(c.at(38, 2));
    const uint32_t teleAt = c.at(40, 4);
    const uint32_t blockTable = c.at(44, 4);
    const uint32_t conditionTable = c.at(48, 4);
    const uint32_t numBlocks = c.at(52, 2);
    const uint32_t numConditions = c.at(54, 2);
    if (longHeader) {
        m->globStartMask = (uint64_t(c.at(56, 4)) << 32) | c.at(60, 4);
        m->globStartCond = uint16_t(c.at(64, 2));
    } else {
        m->globStartMask = c.at(56, 2);
        m->globStartCond = uint16_t(c.at(58, 2));
    }
    if (numBlocks > MEAS_MAX_BLOCKS) return refuse(buffer, m, "too many blocks", long(numBlocks));
    if (numConditions > MEAS_MAX_CONDITIONS)
        return refuse(buffer, m, "too many conditions", long(numConditions));
    if (m->globStartMask & kBadConditionBits)
        return refuse(buffer, m, "global start mask with bit 62 or 63", 0);
    if (teleAt != 0 && !c.has(teleAt, kTeleRecord))
        return refuse(buffer, m, "telemetry record outside the file", long(teleAt));

    if (numBlocks > 0) {
        m->BlkInfo = static_cast<MeasBlkInfo*>(std::calloc(numBlocks, sizeof(MeasBlkInfo)));
        if (!m->BlkInfo) {
            syslogx(LOG_PRIO_ERR2,
                    longHeader ? "out of memory, cannot allocate memor for BlkInfo #%d"
                               : "out of memory, cannot allocate memory for BlkInfo #%d",
                    int(numBlocks));
            meas_app_free_MEASConfiguration(m);
            std::free(buffer);
            return nullptr;
        }
    }
    m->num_blocks = uint16_t(numBlocks);
    const char* why = nullptr;
    long value = 0;
    if (!readBlocks(c, m, blockTable, version == 3, &why, &value)) return refuse(buffer, m, why, value);

    if (numConditions > 0) {
        m->Conds_ptr = static_cast<MeasBlkInfo*>(std::calloc(numConditions, sizeof(MeasBlkInfo)));
        if (!m->Conds_ptr) {
            syslogx(LOG_PRIO_ERR2,
                    longHeader ? "out of memory, cannot allocate memory for Conds_ptr #%d"
                               : "out of memory, cannot allocate memor for Conds_ptr #%d",
                    int(numConditions));
            meas_app_free_MEASConfiguration(m);
            std::free(buffer);
            return nullptr;
        }
    }
    m->num_conditions = uint16_t(numConditions);
    if (!readConditions(c, m, conditionTable, &why, &value)) return refuse(buffer, m, why, value);

    if (teleAt != 0) {
        m->teleInfo = static_cast<tele_config*>(std::calloc(1, sizeof(tele_config)));
        if (!m->teleInfo) return refuse(buffer, m, "out of memory for the telemetry record", 0);
        m->teleInfoSize = sizeof(tele_config);
        m->teleInfo->baudrate = c.at(teleAt, 4);
        m->teleInfo->projectCode = c.at(teleAt + 4, 4);
        m->teleInfo->pause = uint8_t(c.at(teleAt + 14, 1));
        m->teleInfo->SoftwareID = uint8_t(c.at(teleAt + 15, 1));
    }
    syslogx(LOG_PRIO_INFO2, "Configuration based on: %s", m->projectFileName);
    return m;
}

MEASConfiguration* meas_app_get_MEASConfiguration(int index, size_t* length) {
    const cfg_meas_t* files = cfg_meas_getCfgPartition(index);
    if (!files) return nullptr;
    const bool xml = fexist(files->xmlFile) != 0;
    if (!xml && !fexist(files->datFile)) {
        if (index != MEAS_M03)
            syslogx(LOG_PRIO_DEBUG, "meas_app_get_MEASConfiguration file '%s' not found", files->xmlFile);
        return nullptr;
    }
    size_t n = 0;
    char* buffer = fload(xml ? files->xmlFile : files->datFile, &n);
    if (!buffer) return nullptr;
    if (length) *length = n;
    if (!xml) {
        MEASConfiguration* m = meas_app_load(index, buffer, n); // frees the buffer when it fails
        if (m) std::free(buffer);
        return m;
    }
    char* noCheck = nullptr;
    if (fexist("cfg:/no_check.xml"))
        noCheck = fload("cfg:/no_check.xml", nullptr);
    else
        syslogx(LOG_PRIO_DEBUG, "meas_app_get_MEASConfiguration file 'cfg:/no_check.xml' not found");
    MEASConfiguration* m = meas_app_xml_load(index, buffer, noCheck);
    std::free(buffer);
    std::free(noCheck);
    return m;
}

void meas_app_free_teleConfig(tele_config* t) {
    if (!t) return;
    delete t->lapdist;
    delete t->GPSLat;
    delete t->GPSLong;
    delete t->StartCond;
    std::free(t);
}

void meas_app_free_MEASConfiguration(MEASConfiguration* configuration) {
    if (!configuration) return;
    meas_app_free_teleConfig(configuration->teleInfo);
    std::free(configuration->BlkInfo);
    std::free(configuration->Conds_ptr);
    std::free(configuration);
}

char* meas_app_get_DCPConfiguration(int index, size_t* length) {
    if (index == MEAS_M02) {
        if (length) *length = 0;
        return nullptr;
    }
    if (index != MEAS_M01 && index != MEAS_M03) return nullptr;
    const char* file = cfg_meas[index].dcpFile;
    char* data = fload(file, length);
    if (!data) syslogx(LOG_PRIO_DEBUG, "meas_app_get_DCPConfiguration file '%s' not found", file);
    return data;
}
