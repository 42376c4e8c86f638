#include "measdata/seram.h"

#include "measdata/seram_internal.h"

#include "framework/appman.h"

#include <cstring>

SeramWindow seramWindow;
std::atomic<uint32_t> seramActiveOffset{0};

namespace {

static_assert(sizeof(SERAM_PROGRAM_IDENTIFIER) == 14);

std::atomic<SeramDatasetResult> lastLoadResult{SERAM_DATASET_MISSING};

void applyDefaults(SeramCalData& d) {
#define MSD_CAL(name, type, count, code, bitmask, sens, offset, ...)                                         \
    __VA_OPT__(d.name = SeramCell<type, count>{__VA_ARGS__};)
#define MSD_CAL_ROW(name, type, count, ...) __VA_OPT__(d.name = SeramCell<type, count>{__VA_ARGS__};)
#include "measdata/seram_vars.def"
}

} // namespace

SeramDatasetResult seramInit() {
    std::memset(static_cast<void*>(&seramWindow), 0, sizeof(seramWindow));
    SeramImage& ref = seramWindow.ref.page;
    std::memcpy(ref.epk, SERAM_PROGRAM_IDENTIFIER, sizeof(SERAM_PROGRAM_IDENTIFIER));
    applyDefaults(ref.data);
    const SeramDatasetResult result = seramLoadDataset(ref.data);
    seramWindow.work.page = ref;
    seramActiveOffset.store(0);
    seramSig().RtpIndex = RtpIndex; // the application index is a measurement variable too
    lastLoadResult.store(result);
    return result;
}

SeramDatasetResult seramDatasetLoadResult() {
    return lastLoadResult.load();
}

bool seramSetActivePage(uint8_t page) {
    if (page == SERAM_PAGE_REFERENCE) {
        seramActiveOffset.store(0);
    } else if (page == SERAM_PAGE_WORKING) {
        seramActiveOffset.store(SERAM_WORK_OFFSET);
    } else {
        return false;
    }
    return true;
}

const char* seramGetEPKPtr() {
    // The image carries the string; before seramInit it is still the program's own.
    const char* epk = seramWindow.ref.page.epk;
    return epk[0] != '\0' ? epk : SERAM_PROGRAM_IDENTIFIER;
}

uint32_t seramMemSpan(uint32_t address) {
    struct Region {
        uint32_t begin;
        uint32_t length;
    };
    static constexpr Region kRegions[] = {
        {0, sizeof(SeramImage)},
        {SERAM_WORK_OFFSET, sizeof(SeramImage)},
        {SERAM_SIG_OFFSET, sizeof(SeramSigPage)},
        {SERAM_ADP_OFFSET, sizeof(SeramAdpPage)},
    };
    const uint32_t offset = address & 0x00FFFFFFu;
    for (const Region& r : kRegions) {
        if (offset >= r.begin && offset - r.begin < r.length) {
            return r.length - (offset - r.begin);
        }
    }
    return 0;
}

uint8_t* seramMemPtr(uint32_t address, uint32_t size) {
    const uint32_t span = seramMemSpan(address);
    if (span == 0 || size > span) {
        return nullptr;
    }
    return reinterpret_cast<uint8_t*>(&seramWindow) + (address & 0x00FFFFFFu);
}
