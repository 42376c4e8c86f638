#include "framework/nvram.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "platform/nvdb.h"

#include <string>

bool nvram_init() {
    std::string error;
    if (!nvdb_open(appman_params().nvDir, &error)) {
        syslogx(LOG_PRIO_CRIT, "nvram_init(): NV store not usable: %s", error.c_str());
        return false;
    }
    return true;
}

void nvram_close() { nvdb_close(); }

int nvram_dbs_read(uint32_t id, uint32_t index, void* buffer, size_t length) {
    return nvdb_read(id, index, buffer, length);
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
