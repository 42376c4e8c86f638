#include "measdata/convtab.h"

#include "framework/syslog.h"

#include <mutex>

namespace {

std::mutex lock;
const convInitTab_t* pages[CONV_VIRTUAL_PAGES] = {};
uint32_t entries = 0; // address-map entries of all registered partitions

} // namespace

uint8_t convRegisterVirtualMeasTable(uint32_t partition, const convInitTab_t* table) {
    if (table == nullptr || table->addrMapSize == nullptr || table->convListSize == nullptr ||
        (*table->addrMapSize != 0 && table->addrMap == nullptr) ||
        (*table->convListSize != 0 && table->convList == nullptr)) {
        syslogx(LOG_PRIO_ERR, "convRegisterVirtualMeasTable(): incomplete table");
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (partition >= CONV_VIRTUAL_PAGES) {
        syslogx(LOG_PRIO_ERR, "convRegisterVirtualMeasTable(): Virtual page index too high");
        return 0;
    }
    if (pages[partition] != nullptr) {
        syslogx(LOG_PRIO_ERR, "convRegisterVirtualMeasTable(): Virtual page already in use");
        return 0;
    }
    if (*table->addrMapSize > CONV_VIRTUAL_ENTRIES_MAX - entries) {
        syslogx(LOG_PRIO_ERR, "convRegisterVirtualMeasTable(): Virtual page entries exceeded");
        return 0;
    }
    pages[partition] = table;
    entries += *table->addrMapSize;
    syslogx(LOG_PRIO_INFO, "convRegisterVirtualMeasTable(): Successfully done. New table size: %d of %d",
            static_cast<int>(entries), static_cast<int>(CONV_VIRTUAL_ENTRIES_MAX));
    return 1;
}
