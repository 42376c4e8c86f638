#include "msdcom/ci/magic_number.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace {

enum : uint8_t { ENTRY_FREE = 0, ENTRY_USED = 1, ENTRY_DELETED = 2 };

// One entry: hold counter, state, bits 16..23 of the counter value, boot byte.
struct MagicEntry {
    uint8_t hold;
    uint8_t state;
    uint8_t counterHigh;
    uint8_t boot;
};
static_assert(sizeof(MagicEntry) == 4, "four bytes per entry");

} // namespace

struct magic_table {
    uint32_t used = 0;
    uint32_t deleted = 0; // entries waiting for collection
    uint32_t hold = 0;
    uint32_t mask = 0;
    uint32_t size = 0;
    uint32_t counter = 1;
    uint8_t boot = 0;
    SEM_ID mutex = SEM_ID_NULL;
    std::vector<MagicEntry> entries;
};

namespace {

// Takes the table's mutex; logs with the caller's name on failure.
bool lockTable(magic_table* t, const char* who) {
    if (t->mutex != SEM_ID_NULL && semTake(t->mutex, WAIT_FOREVER) == OK) return true;
    static uint8_t flood = 0;
    SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "%s(): Error acquiring semaphore %s", who, std::strerror(errno));
    return false;
}

void unlockTable(magic_table* t) {
    semGive(t->mutex);
}

bool validatesLocked(const magic_table* t, uint32_t handle) {
    if (handle == 0) return false;
    const MagicEntry& e = t->entries[handle & t->mask];
    return e.hold == 0 && e.state == ENTRY_USED && e.counterHigh == uint8_t(handle >> 16) &&
           e.boot == uint8_t(handle >> 24);
}

} // namespace

magic_table* magicNumber_createMem(uint32_t size, uint32_t hold) {
    if (size < 2 || size > MAGIC_TABLE_SIZE || (size & (size - 1)) != 0) return nullptr;
    magic_table* t = new (std::nothrow) magic_table;
    if (!t) return nullptr;
    try {
        t->entries.assign(size, MagicEntry{0, ENTRY_FREE, 0, 0});
    } catch (const std::bad_alloc&) {
        delete t;
        return nullptr;
    }
    t->size = size;
    t->mask = size - 1;
    t->hold = hold > 255 ? 255 : hold;
    t->boot = uint8_t(boot_count_get());
    t->mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    if (t->mutex == SEM_ID_NULL) syslogx(LOG_PRIO_ERR, "magicNumber_createMem() semMCreate magic failed");
    return t;
}

void magicNumber_destroyMem(magic_table* table) {
    if (!table) return;
    if (table->mutex != SEM_ID_NULL) semDelete(table->mutex);
    delete table;
}

uint32_t magicNumber_getNewMagic(magic_table* t) {
    if (!t || !lockTable(t, "magicNumber_getNewMagic")) return 0;
    uint32_t handle = 0;
    if (t->used + t->deleted + 1 < t->size) {
        // A free index other than 0 exists (counts above), so the walk ends within one round.
        uint32_t c = t->counter;
        for (uint32_t n = 0; n <= t->size; ++n, ++c) {
            const uint32_t index = c & t->mask;
            if (index == 0 || t->entries[index].state != ENTRY_FREE) continue;
            t->entries[index] = MagicEntry{0, ENTRY_USED, uint8_t(c >> 16), t->boot};
            handle = (uint32_t(t->boot) << 24) | (c & 0xFFFFFF);
            ++t->used;
            t->counter = c + 1;
            break;
        }
    }
    unlockTable(t);
    return handle;
}

uint32_t magicNumber_magic2index(magic_table* t, uint32_t handle) {
    if (!t || !lockTable(t, "magicNumber_magic2index")) return MAGIC_INVALID;
    const uint32_t index = validatesLocked(t, handle) ? (handle & t->mask) : MAGIC_INVALID;
    unlockTable(t);
    return index;
}

uint32_t magicNumber_deleteMagic(magic_table* t, uint32_t handle) {
    if (!t) return 0;
    if (!lockTable(t, "magicNumber_deleteMagic")) return MAGIC_INVALID;
    uint32_t result = 0;
    if (validatesLocked(t, handle)) {
        MagicEntry& e = t->entries[handle & t->mask];
        e.hold = uint8_t(t->hold);
        e.state = ENTRY_DELETED;
        --t->used;
        ++t->deleted;
        result = 1;
    }
    unlockTable(t);
    return result;
}

uint32_t magicNumber_deleteMagic_noTimeout(magic_table* t, uint32_t handle) {
    if (!t) return 0;
    if (!lockTable(t, "magicNumber_deleteMagic_noTimeout")) return MAGIC_INVALID;
    uint32_t result = 0;
    if (validatesLocked(t, handle)) {
        MagicEntry& e = t->entries[handle & t->mask];
        e.hold = 0;
        e.state = ENTRY_FREE;
        --t->used;
        result = 1;
    }
    unlockTable(t);
    return result;
}

void magicNumber_garbageCollection(magic_table* t) {
    if (!t || !lockTable(t, "magicNumber_garbageCollection")) return;
    // Backwards from the next candidate, so the entries issued longest ago are seen last.
    uint32_t index = t->counter & t->mask;
    uint32_t remaining = t->deleted;
    for (uint32_t n = 0; n < t->size && remaining > 0; ++n, index = (index - 1) & t->mask) {
        MagicEntry& e = t->entries[index];
        if (e.state != ENTRY_DELETED) continue;
        --remaining;
        if (e.hold == 0) {
            e.state = ENTRY_FREE;
            --t->deleted;
        } else {
            --e.hold;
        }
    }
    unlockTable(t);
}

bool magicNumber_collectEverySecond(magic_table* table, const char* name) {
    if (!table) return false;
    return raster_addPeriodic(RASTER_R1000MS, 500, name, [table] { magicNumber_garbageCollection(table); });
}

namespace {
uint32_t readLocked(const magic_table* t, uint32_t magic_table::*field) {
    magic_table* m = const_cast<magic_table*>(t);
    if (!m || !lockTable(m, "magicNumber_count")) return 0;
    const uint32_t v = m->*field;
    unlockTable(m);
    return v;
}
} // namespace

uint32_t magicNumber_usedCount(const magic_table* t) {
    return readLocked(t, &magic_table::used);
}
uint32_t magicNumber_deletedCount(const magic_table* t) {
    return readLocked(t, &magic_table::deleted);
}
uint32_t magicNumber_counter(const magic_table* t) {
    return readLocked(t, &magic_table::counter);
}
uint8_t magicNumber_bootByte(const magic_table* t) {
    return t ? t->boot : 0;
}
