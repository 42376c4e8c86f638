#include "measdata/meascalinfo.h"

#include "measdata/seram_layout.h"

#include "framework/syslog.h"

#include <atomic>
#include <mutex>

namespace {

constexpr uint32_t kEpkAddress = SERAM_MEAS_BASE + SERAM_EPK_OFFSET;
constexpr uint32_t kCalBase = SERAM_MEAS_BASE + offsetof(SeramWindow, ref) + offsetof(SeramImage, data);
constexpr uint32_t kSigBase = SERAM_MEAS_BASE + SERAM_SIG_OFFSET;
constexpr uint32_t kAdpBase = SERAM_MEAS_BASE + SERAM_ADP_OFFSET;

// Each entry's type code must give its C type's size, and a flag must be a byte.
#define MSD_CHECK(name, type, code, bitmask)                                                                 \
    static_assert(getSizeofType(code) == sizeof(type), "type code does not fit " #name);                     \
    static_assert((bitmask) == 0 || sizeof(type) == 1, "flag wider than a byte: " #name);
#define MSD_CAL(name, type, count, code, bitmask, ...) MSD_CHECK(name, type, code, bitmask)
#define MSD_SIG(name, type, count, code, bitmask, ...) MSD_CHECK(name, type, code, bitmask)
#define MSD_ADP(name, type, count, code, bitmask, ...) MSD_CHECK(name, type, code, bitmask)
#include "measdata/seram_vars.def"
#undef MSD_CHECK

msdhash_elem_t preAllocHashTabEntries[MEASCALINFO_COUNT];

std::mutex initLock; // one start-up at a time
std::mutex tableLock;
msdhash_t* filledTable = nullptr; // the table the entries are chained in
std::atomic<msdhash_t*> nameTable{nullptr};

} // namespace

const char* const labelNames[MEASCALINFO_COUNT] = {
#define MSD_EPK(name, ...) #name,
#define MSD_CAL(name, ...) #name,
#define MSD_SIG(name, ...) #name,
#define MSD_ADP(name, ...) #name,
#include "measdata/seram_vars.def"
};

const meascalinfo_t allmeascalinfo[MEASCALINFO_COUNT] = {
#define MSD_EPK(name, code, count) {kEpkAddress, code, count, 0, 1.0f, 0.0f},
#define MSD_CAL(name, type, count, code, bitmask, sens, offset, ...)                                         \
    {kCalBase + offsetof(SeramCalData, name), code, count, bitmask, sens, offset},
#define MSD_SIG(name, type, count, code, bitmask, sens, offset)                                              \
    {kSigBase + offsetof(SeramSigPage, name), code, count, bitmask, sens, offset},
#define MSD_ADP(name, type, count, code, bitmask, sens, offset)                                              \
    {kAdpBase + offsetof(SeramAdpPage, name), code, count, bitmask, sens, offset},
#include "measdata/seram_vars.def"
};

uint32_t meascalinfo_createTable(msdhash_t* table) {
    std::lock_guard<std::mutex> guard(tableLock);
    if (table != nullptr && table == filledTable) {
        return MEASCALINFO_COUNT;
    }
    if (table == nullptr || filledTable != nullptr) {
        syslogx(LOG_PRIO_ERR, "meascalinfo_createTable(): %s",
                table == nullptr ? "no table" : "names already entered in another table");
        return 0;
    }
    for (uint32_t i = 0; i < MEASCALINFO_COUNT; ++i) {
        msdhash_addPreAllocElement(table, &preAllocHashTabEntries[i], labelNames[i], &allmeascalinfo[i]);
    }
    filledTable = table;
    return MEASCALINFO_COUNT;
}

uint8_t meascalinfo_init() {
    std::lock_guard<std::mutex> guard(initLock);
    if (nameTable.load() != nullptr) {
        return 1;
    }
    msdhash_t* table = msdhash_create(MEASCALINFO_BUCKETS);
    if (table == nullptr) {
        syslogx(LOG_PRIO_CRIT, "meascalinfo_init(): no memory for the name table");
        return 0;
    }
    const uint32_t entered = meascalinfo_createTable(table);
    if (entered != MEASCALINFO_COUNT || msdhash_find(table, "EPKID") == nullptr) {
        syslogx(LOG_PRIO_CRIT, "meascalinfo_init(): name table incomplete (%u entries, EPKID %s)",
                static_cast<unsigned>(entered), msdhash_find(table, "EPKID") ? "found" : "missing");
        if (entered == 0) {
            msdhash_delete(table);
        }
        return 0;
    }
    nameTable.store(table);
    syslogx(LOG_PRIO_INFO, "meascalinfo_init(): %u variables", static_cast<unsigned>(entered));
    return 1;
}

const meascalinfo_t* meascalinfo_getInfo(const char* name) {
    return static_cast<const meascalinfo_t*>(msdhash_find(nameTable.load(), name));
}
