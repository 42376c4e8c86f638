// Screen images in files: encoding the visible area into runs with a packed palette index each,
// and reading and writing the file form.
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "framework/syslog.h"
#include "gui/device/scrndrv.h"
#include "platform/board/display_hw.h"
#include "platform/drives/devroot.h"

static_assert(std::endian::native == std::endian::little, "the file form is written as the host stores it");

int scrndrvDumpImg(const char* path) {
    constexpr uint32_t total = SCRN_WIDTH * SCRN_HEIGHT;
    auto* colours = static_cast<uint32_t*>(std::malloc(total * sizeof(uint32_t)));
    auto* runs = static_cast<uint16_t*>(std::malloc(total * sizeof(uint16_t)));
    if (!colours || !runs) {
        std::free(colours);
        std::free(runs);
        return -1;
    }
    const auto* fb = static_cast<const uint32_t*>(
        displayhw_map(DISPLAY_FB_PHYS, 4u * DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT));
    uint32_t runCount = 0;
    for (int y = 0; y < SCRN_HEIGHT; ++y) {
        const uint32_t* row = fb + static_cast<size_t>(y) * DISPLAY_FB_WIDTH;
        for (int x = 0; x < SCRN_WIDTH; ++x) {
            if (runCount > 0 && colours[runCount - 1] == row[x] && runs[runCount - 1] < 65535) {
                ++runs[runCount - 1];
            } else {
                colours[runCount] = row[x];
                runs[runCount] = 1;
                ++runCount;
            }
        }
    }
    // The palette in order of first appearance.
    std::unordered_map<uint32_t, uint32_t> indexOf;
    std::vector<uint32_t> palette;
    for (uint32_t i = 0; i < runCount; ++i)
        if (indexOf.emplace(colours[i], static_cast<uint32_t>(palette.size())).second)
            palette.push_back(colours[i]);
    const uint32_t palCount = static_cast<uint32_t>(palette.size());
    const unsigned b = scrndrvIndexBits(palCount);
    const uint32_t dataBytes = static_cast<uint32_t>((static_cast<uint64_t>(runCount) * b + 7) / 8);
    auto* data = static_cast<uint8_t*>(std::calloc(dataBytes ? dataBytes : 1, 1));
    if (!data) {
        std::free(colours);
        std::free(runs);
        return -1;
    }
    for (uint32_t i = 0; i < runCount; ++i) {
        const uint32_t idx = indexOf[colours[i]];
        for (unsigned k = 0; k < b; ++k) {
            const uint64_t bit = static_cast<uint64_t>(i) * b + k;
            if ((idx >> k) & 1u) data[bit >> 3] = static_cast<uint8_t>(data[bit >> 3] | (1u << (bit & 7)));
        }
    }
    syslogx(LOG_PRIO_DEBUG, "Dumping screen: %u pal, %u run, %u data, %u bits", palCount, runCount, dataBytes,
            b);
    scrn_dump_t dump{palCount, runCount, dataBytes, palette.data(), runs, data, 0};
    const int rc = scrndrvWriteDump(path, &dump);
    std::free(colours);
    std::free(runs);
    std::free(data);
    return rc;
}

int scrndrvWriteDump(const char* path, const scrn_dump_t* dump) {
    if (!path || !dump) return -1;
    // An existing file is not truncated: bytes beyond the new image stay, and readers use only
    // what the counts cover.
    const int fd = dev_open(path, O_RDWR | O_CREAT, 0777);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvWriteDump(): file write open err, %s", path);
        return -1;
    }
    FILE* f = fdopen(fd, "r+");
    if (!f) {
        const int err = errno;
        syslogx(LOG_PRIO_ERR, "scrndrvWriteDump(): failed to open %s, errno=%d: '%s'", path, err,
                std::strerror(err));
        close(fd);
        return -1;
    }
    const uint32_t counts[3] = {dump->palCount, dump->runCount, dump->dataBytes};
    bool ok = std::fwrite(counts, 4, 3, f) == 3;
    ok = ok && (dump->palCount == 0 || std::fwrite(dump->palette, 4, dump->palCount, f) == dump->palCount);
    ok = ok && (dump->runCount == 0 || std::fwrite(dump->runs, 2, dump->runCount, f) == dump->runCount);
    ok = ok && (dump->dataBytes == 0 || std::fwrite(dump->data, 1, dump->dataBytes, f) == dump->dataBytes);
    int rc = 0;
    if (!ok) {
        syslogx(LOG_PRIO_ERR, "scrndrvWriteDump(): fwrite failed");
        rc = -1;
    } else if (std::fflush(f) != 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvWriteDump(): fflush failed");
        rc = -1;
    } else if (fsync(fileno(f)) != 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvWriteDump(): FIOFLUSH failed");
        rc = -1;
    }
    std::fclose(f);
    return rc;
}

int scrndrvReadDump(const char* path, scrn_dump_t* dump) {
    if (!dump) return -1;
    const int fd = path ? dev_open(path, O_RDONLY) : -1;
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvReadDump(): cant open file, %s", path ? path : "(null)");
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        syslogx(LOG_PRIO_ERR, "scrndrvReadDump(): file not found %X %s", static_cast<unsigned>(fd), path);
        close(fd);
        return -1;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        const int err = errno;
        syslogx(LOG_PRIO_ERR, "scrndrvReadDump(): failed to open %s, errno=%d: '%s'", path, err,
                std::strerror(err));
        close(fd);
        return -1;
    }
    // Counts that promise more than the file holds are refused before anything is allocated.
    uint32_t counts[3] = {0, 0, 0};
    const bool header = std::fread(counts, 4, 3, f) == 3;
    const uint64_t need = 12 + 4ull * counts[0] + 2ull * counts[1] + counts[2];
    if (!header || need > static_cast<uint64_t>(st.st_size)) {
        syslogx(LOG_PRIO_ERR, "scrndrvReadDump(): file %s shorter than its counts", path);
        std::fclose(f);
        return -1;
    }
    scrndrvFreeDump(dump);
    dump->palette = static_cast<uint32_t*>(std::malloc(4ull * counts[0] + 1));
    dump->runs = static_cast<uint16_t*>(std::malloc(2ull * counts[1] + 1));
    dump->data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(counts[2]) + 1));
    dump->owned = 1;
    if (!dump->palette || !dump->runs || !dump->data) {
        scrndrvFreeDump(dump);
        std::fclose(f);
        return -1;
    }
    dump->palCount = counts[0];
    dump->runCount = counts[1];
    dump->dataBytes = counts[2];
    const bool ok = std::fread(dump->palette, 4, counts[0], f) == counts[0] &&
                    std::fread(dump->runs, 2, counts[1], f) == counts[1] &&
                    std::fread(dump->data, 1, counts[2], f) == counts[2];
    std::fclose(f);
    if (!ok) {
        scrndrvFreeDump(dump);
        return -1;
    }
    return 0;
}
