// The calibration dataset in the device root, the host's stand-in for the dataset that the
// kernel side stores. One file, "caldata/dataset.bin" under the root; header fields big-endian:
//
//   0  4  "MSDC"
//   4  2  format version (1)
//   6  2  header length (48)
//   8 32  program identifier, NUL-padded
//  40  4  data length N (bytes of the calibration data page)
//  44  2  CRC-16 (crc16_ccitt_lsb_accu, seed 0xFFFF) over bytes 0-43, continued over 46-(47+N)
//  46  2  0
//  48  N  the calibration data page, as it lies in memory
//
// The file is replaced whole (written beside it, then renamed), so a dataset is either the old
// one or the new one, never half of each.
#include "measdata/crc.h"
#include "measdata/seram_internal.h"

#include "framework/syslog.h"
#include "platform/drives/devroot.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kMagic[4] = {'M', 'S', 'D', 'C'};
constexpr uint16_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 48;
constexpr size_t kCrcPos = 44;
constexpr size_t kDataSize = sizeof(SeramCalData);

uint32_t getBe(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void putBe(uint8_t* p, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

uint16_t datasetCrc(const uint8_t* file, size_t dataLength) {
    const uint16_t head = crc16_ccitt_lsb_accu(file, kCrcPos, 0xFFFF);
    return crc16_ccitt_lsb_accu(file + kCrcPos + 2, kHeaderSize - kCrcPos - 2 + dataLength, head);
}

std::string folderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

std::atomic<void (*)()> gStoreHook{nullptr};

} // namespace

std::string seramDatasetPath() {
    return devroot_path() + "/caldata/dataset.bin";
}

SeramDatasetResult seramLoadDataset(SeramCalData& data) {
    const std::string path = seramDatasetPath();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        if (errno == ENOENT) {
            syslogx(LOG_PRIO_INFO, "seramInit(): no calibration dataset stored, using defaults");
            return SERAM_DATASET_MISSING;
        }
        syslogx(LOG_PRIO_ERR, "seramInit(): calibration dataset unreadable (%s), using defaults",
                std::strerror(errno));
        return SERAM_DATASET_READ_ERROR;
    }
    // One byte more than a dataset of this program can hold tells a longer file.
    std::vector<uint8_t> file(kHeaderSize + kDataSize + 1);
    const size_t got = std::fread(file.data(), 1, file.size(), f);
    const bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (readError) {
        syslogx(LOG_PRIO_ERR, "seramInit(): calibration dataset unreadable (read error), using defaults");
        return SERAM_DATASET_READ_ERROR;
    }
    if (got < kHeaderSize || std::memcmp(file.data(), kMagic, sizeof(kMagic)) != 0 ||
        getBe(&file[4], 2) != kFormatVersion || getBe(&file[6], 2) != kHeaderSize) {
        syslogx(LOG_PRIO_ERR, "seramInit(): calibration dataset has no valid header, using defaults");
        return SERAM_DATASET_BAD_FORMAT;
    }
    const uint32_t dataLength = getBe(&file[40], 4);
    if (dataLength != kDataSize || got != kHeaderSize + dataLength) {
        syslogx(LOG_PRIO_ERR,
                "seramInit(): calibration dataset length %u (file %u) does not match %u, using defaults",
                static_cast<unsigned>(dataLength), static_cast<unsigned>(got - kHeaderSize),
                static_cast<unsigned>(kDataSize));
        return SERAM_DATASET_BAD_LENGTH;
    }
    const uint16_t stored = static_cast<uint16_t>(getBe(&file[kCrcPos], 2));
    const uint16_t computed = datasetCrc(file.data(), dataLength);
    if (stored != computed) {
        syslogx(LOG_PRIO_ERR,
                "seramInit(): calibration dataset CRC 0x%04X does not match 0x%04X, using defaults", stored,
                computed);
        return SERAM_DATASET_BAD_CRC;
    }
    char program[SERAM_EPK_SIZE + 1] = {};
    std::memcpy(program, &file[8], SERAM_EPK_SIZE);
    if (std::strcmp(program, seramGetEPKPtr()) != 0) {
        syslogx(LOG_PRIO_ERR, "seramInit(): calibration dataset is for '%s', not '%s', using defaults",
                program, seramGetEPKPtr());
        return SERAM_DATASET_OTHER_PROGRAM;
    }
    std::memcpy(static_cast<void*>(&data), &file[kHeaderSize], kDataSize);
    syslogx(LOG_PRIO_INFO, "seramInit(): calibration dataset of '%s' loaded", program);
    return SERAM_DATASET_LOADED;
}

void seramSetStoreHook(void (*hook)()) {
    gStoreHook.store(hook);
}

bool seramStoreDataset() {
    if (void (*hook)() = gStoreHook.load()) {
        hook();
    }
    std::vector<uint8_t> file(kHeaderSize + kDataSize, 0);
    std::memcpy(file.data(), kMagic, sizeof(kMagic));
    putBe(&file[4], kFormatVersion, 2);
    putBe(&file[6], kHeaderSize, 2);
    std::strncpy(reinterpret_cast<char*>(&file[8]), seramGetEPKPtr(), SERAM_EPK_SIZE - 1);
    putBe(&file[40], kDataSize, 4);
    std::memcpy(&file[kHeaderSize], static_cast<const void*>(&seramWindow.work.page.data), kDataSize);
    putBe(&file[kCrcPos], datasetCrc(file.data(), kDataSize), 2);

    const std::string path = seramDatasetPath();
    const std::string temp = path + ".new";
    if (::mkdir(folderOf(path).c_str(), 0755) != 0 && errno != EEXIST) {
        syslogx(LOG_PRIO_ERR, "seramStoreDataset(): cannot create %s (%s)", folderOf(path).c_str(),
                std::strerror(errno));
        return false;
    }
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        syslogx(LOG_PRIO_ERR, "seramStoreDataset(): cannot write %s (%s)", temp.c_str(),
                std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    ok = std::fflush(f) == 0 && ok;
    ok = ::fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        syslogx(LOG_PRIO_ERR, "seramStoreDataset(): writing %s failed (%s)", path.c_str(),
                std::strerror(errno));
        std::remove(temp.c_str());
        return false;
    }
    syslogx(LOG_PRIO_INFO, "seramStoreDataset(): calibration dataset stored (%u bytes)",
            static_cast<unsigned>(kDataSize));
    return true;
}
