#include "gui/device/scrndrv.h"

#include <cstdlib>
#include <cstring>

#include "framework/appman.h"
#include "framework/syslog.h"
#include "platform/board/display_hw.h"

namespace {

bool g_initialized = false;
uint8_t* g_bootLogo = nullptr;
int g_bootLogoSize = 0;

long Syscall(intptr_t a1, intptr_t a2, intptr_t a3, int number) {
    return displaydrv_syscall(a1, a2, a3, 0, 0, 0, 0, 0, number);
}

uint32_t* FrameBuffer() {
    return static_cast<uint32_t*>(displayhw_map(DISPLAY_FB_PHYS, 4u * DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT));
}

// Checks a record before anything is drawn from it: a colour for every index, packed data for
// every run. Sums are 64-bit so that no count can wrap.
bool DumpIsSound(const scrn_dump_t* d) {
    if (!d || d->palCount == 0 || !d->palette) return false;
    if (d->runCount && !d->runs) return false;
    if (d->dataBytes && !d->data) return false;
    const unsigned b = scrndrvIndexBits(d->palCount);
    if (static_cast<uint64_t>(d->runCount) * b > static_cast<uint64_t>(d->dataBytes) * 8) return false;
    for (uint32_t i = 0; i < d->runCount; ++i)
        if (scrndrvGetColorIdx(static_cast<uint64_t>(i) * b, b, d->data) >= d->palCount) return false;
    return true;
}

} // namespace

unsigned scrndrvIndexBits(uint32_t palCount) {
    unsigned b = 0;
    for (uint32_t v = palCount ? palCount - 1 : 0; v; v >>= 1) ++b;
    return b;
}

uint32_t scrndrvGetColorIdx(uint64_t bitpos, unsigned nbits, const uint8_t* data) {
    uint32_t v = 0;
    for (unsigned i = 0; i < nbits && i < 32; ++i) {
        const uint64_t bit = bitpos + i;
        if ((data[bit >> 3] >> (bit & 7)) & 1u) v |= 1u << i;
    }
    return v;
}

void scrndrvFlush() {
    if (Syscall(RtpIndex, DISPLAY_PRESENT_REQUEST, 1, DISPLAY_SYSCALL_PRESENT) != 0)
        syslogx(LOG_PRIO_ERR, "scrndrvFlush(): could not set flush display");
}

void scrndrvWaitFlush() {
    if (Syscall(RtpIndex, DISPLAY_PRESENT_REQUEST, 2, DISPLAY_SYSCALL_WAIT) != 0)
        syslogx(LOG_PRIO_ERR, "scrndrvWaitFlush(): could not wait for flushing display");
}

void scrndrvLayerEnable(int layer) {
    static uint8_t flood = 0;
    if (volatile uint32_t* ctrl = displayhw_layerControl(layer))
        displayhw_regWrite(ctrl, 3);
    else
        SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "scrndrvLayerEnable(): unexpected layer %i", layer);
}

void scrndrvLayerDisable(int layer) {
    static uint8_t flood = 0;
    if (volatile uint32_t* ctrl = displayhw_layerControl(layer))
        displayhw_regWrite(ctrl, 0);
    else
        SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "scrndrvLayerDisable(): unexpected layer %i", layer);
}

void scrndrvInit() {
    if (g_initialized) return;
    int32_t size = 0;
    if (Syscall(reinterpret_cast<intptr_t>(&size), 0, 0, DISPLAY_SYSCALL_LOGO_SIZE) == -1) {
        syslogx(LOG_PRIO_ERR, "scrndrvInit(): syscall getBootLogoSize returns error");
        return;
    }
    if (size <= 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvInit(): error getting boot logo size");
        return;
    }
    auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (!buffer) {
        syslogx(LOG_PRIO_ERR, "scrndrvInit(): no memory for boot logo");
        return;
    }
    if (Syscall(reinterpret_cast<intptr_t>(buffer), size, 0, DISPLAY_SYSCALL_LOGO) == -1) {
        syslogx(LOG_PRIO_ERR, "scrndrvInit(): couldnt get boot logo, syscall returns error");
        std::free(buffer);
        return;
    }
    g_bootLogo = buffer;
    g_bootLogoSize = size;
    g_initialized = true;
    scrndrvLoadObj();
}

void scrndrvGetBootLogo(void** data, int* size) {
    if (data) *data = g_initialized ? g_bootLogo : nullptr;
    if (size) *size = g_initialized ? g_bootLogoSize : 0;
}

void scrndrvSetColor(uint32_t colour) {
    uint32_t* fb = FrameBuffer();
    for (int y = 0; y < SCRN_HEIGHT; ++y) {
        uint32_t* row = fb + static_cast<size_t>(y) * DISPLAY_FB_WIDTH;
        for (int x = 0; x < SCRN_WIDTH; ++x) row[x] = colour;
    }
    scrndrvFlush();
}

void scrndrvFreeDump(scrn_dump_t* dump) {
    if (!dump) return;
    if (dump->owned) {
        std::free(dump->palette);
        std::free(dump->runs);
        std::free(dump->data);
    }
    *dump = scrn_dump_t{};
}

int scrndrvInitDumpByMem(scrn_dump_t* dump, const void* start, const void* end) {
    if (!dump || !start || !end || start > end) return 0;
    const auto* p = static_cast<const uint8_t*>(start);
    const uint64_t length = static_cast<uint64_t>(static_cast<const uint8_t*>(end) - p);
    // The arrays are used in place: their words must be aligned.
    if (length < 12 || reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) != 0) return 0;
    uint32_t counts[3];
    std::memcpy(counts, p, 12);
    const uint64_t need = 12 + 4ull * counts[0] + 2ull * counts[1] + counts[2];
    if (need > length) return 0;
    scrndrvFreeDump(dump);
    dump->palCount = counts[0];
    dump->runCount = counts[1];
    dump->dataBytes = counts[2];
    auto* base = const_cast<uint8_t*>(p);
    dump->palette = reinterpret_cast<uint32_t*>(base + 12);
    dump->runs = reinterpret_cast<uint16_t*>(base + 12 + 4ull * counts[0]);
    dump->data = base + 12 + 4ull * counts[0] + 2ull * counts[1];
    dump->owned = 0;
    return 1;
}

int scrndrvInitDumpWithBootLogo(scrn_dump_t* dump) {
    void* logo = nullptr;
    int size = 0;
    scrndrvGetBootLogo(&logo, &size);
    if (!logo) return 0;
    return scrndrvInitDumpByMem(dump, logo, static_cast<uint8_t*>(logo) + size);
}

int scrndrvDrawImg(const scrn_dump_t* dump) {
    scrndrvInit();
    if (!DumpIsSound(dump)) {
        syslogx(LOG_PRIO_ERR, "scrndrvDrawImg(): damaged screen dump, not drawn");
        return -1;
    }
    const unsigned b = scrndrvIndexBits(dump->palCount);
    syslogx(LOG_PRIO_DEBUG, "Loading screen dump: %u pal, %u run, %u data, %u bits", dump->palCount,
            dump->runCount, dump->dataBytes, b);
    uint32_t* fb = FrameBuffer();
    const uint32_t total = SCRN_WIDTH * SCRN_HEIGHT;
    uint32_t pixel = 0;
    for (uint32_t i = 0; i < dump->runCount && pixel < total; ++i) {
        const uint32_t colour =
            dump->palette[scrndrvGetColorIdx(static_cast<uint64_t>(i) * b, b, dump->data)] | 0xFF000000u;
        for (uint32_t n = dump->runs[i]; n > 0 && pixel < total; --n, ++pixel)
            fb[(pixel / SCRN_WIDTH) * DISPLAY_FB_WIDTH + pixel % SCRN_WIDTH] = colour;
    }
    scrndrvFlush();
    return 0;
}

int scrndrvLoadImg(const char* path) {
    scrn_dump_t dump{};
    if (scrndrvReadDump(path, &dump) != 0) {
        syslogx(LOG_PRIO_ERR, "scrndrvLoadImg(): Failed to read dump file");
        scrndrvFreeDump(&dump);
        return -1;
    }
    const int rc = scrndrvDrawImg(&dump);
    scrndrvFreeDump(&dump);
    return rc;
}

void scrndrvLoadObj() {
    void* logo = nullptr;
    scrndrvGetBootLogo(&logo, nullptr);
    if (!logo) {
        syslogx(LOG_PRIO_ERR, "Scrndrv: Failed to load screen dump BootLogo");
        return;
    }
    scrn_dump_t dump{};
    if (!scrndrvInitDumpWithBootLogo(&dump)) {
        syslogx(LOG_PRIO_ERR, "Scrndrv: Failed to convert screen dump BootLogo");
        return;
    }
    scrndrvDrawImg(&dump);
    scrndrvLayerEnable(1);
}
