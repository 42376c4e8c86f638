#include "framework/nvram.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "platform/kernel/nvdb.h"

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::mutex gReportedMutex;
std::set<std::pair<uint32_t, uint32_t>> gReportedLost; // elements whose loss the log has told

// Tells what a read found wrong with an element's copies: a lost element once per run, a repair
// each time one is made (after it the copy is whole again), a repair that failed under the flood
// rule.
void reportCopies(uint32_t id, uint32_t index, const NvdbReadReport& r) {
    const char* a = nvdb_copyText(r.copy[0]);
    const char* b = nvdb_copyText(r.copy[1]);
    if (r.repaired) {
        syslogx(LOG_PRIO_WARNING,
                "nvram: record %u index %u: copy a %s, copy b %s; rewritten from the good copy", unsigned(id),
                unsigned(index), a, b);
    } else if (r.repairFailed) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram: record %u index %u: copy a %s, copy b %s; rewriting failed",
                          unsigned(id), unsigned(index), a, b);
    } else if (r.copy[0] != NvdbCopy::Good && r.copy[1] != NvdbCopy::Good &&
               !(r.copy[0] == NvdbCopy::Missing && r.copy[1] == NvdbCopy::Missing)) {
        std::lock_guard<std::mutex> lk(gReportedMutex);
        if (!gReportedLost.insert({id, index}).second) return;
        syslogx(LOG_PRIO_ERR, "nvram: record %u index %u lost, both copies damaged: copy a %s, copy b %s",
                unsigned(id), unsigned(index), a, b);
    }
}

} // namespace

bool nvram_init() {
    std::string error;
    if (!nvdb_open(appman_params().nvDir, &error)) {
        syslogx(LOG_PRIO_CRIT, "nvram_init(): NV store not usable: %s", error.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(gReportedMutex);
        gReportedLost.clear();
    }
    // Every record once at start-up: torn copies are repaired, lost records are named.
    nvdb_check(reportCopies);
    return true;
}

void nvram_close() {
    nvdb_close();
}

int nvram_dbs_read(uint32_t id, uint32_t index, void* buffer, size_t length) {
    NvdbReadReport report;
    const int n = nvdb_read(id, index, buffer, length, &report);
    reportCopies(id, index, report);
    return n;
}

size_t nvram_dbs_writeMany(const NvramElement* elements, size_t count) {
    std::vector<NvdbElement> all;
    all.reserve(count);
    for (size_t i = 0; elements && i < count; ++i)
        all.push_back(NvdbElement{elements[i].id, elements[i].index, elements[i].data, elements[i].length});
    if (count > 0 && nvdb_writeMany(all.data(), all.size()) == count) return count;
    static uint8_t flood = 0;
    SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "nvram_dbs_writeMany(): %u records from record %u index %u not stored",
                  unsigned(count), unsigned(count && elements ? elements[0].id : 0),
                  unsigned(count && elements ? elements[0].index : 0));
    return 0;
}

int nvram_dbs_write(uint32_t id, uint32_t index, const void* buffer, size_t length) {
    const int rc = nvdb_write(id, index, buffer, length);
    if (rc <= 0) {
        static uint8_t flood = 0;
        SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "nvram_dbs_write(): record %u index %u not stored", unsigned(id),
                      unsigned(index));
        return 0;
    }
    return rc;
}
