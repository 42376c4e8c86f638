#include "logging/store/store_lock.h"

#include "framework/syslog.h"

#include <cerrno>
#include <cstring>

namespace measure::store {

Lock::Lock(bool inversionSafe) {
    sem_ = semMCreate(SEM_Q_PRIORITY | (inversionSafe ? SEM_INVERSION_SAFE : 0));
    if (sem_ == SEM_ID_NULL) {
        syslogx(LOG_PRIO_ERR, "Lock::Lock(): could not create semaphore (%s)", std::strerror(errno));
        throw "Lock::Lock(): could not create semaphore";
    }
}

Lock::~Lock() {
    if (sem_ == SEM_ID_NULL) return;
    semTake(sem_, WAIT_FOREVER); // "~Lock": nobody may hold it while it goes
    SEM_ID sem = sem_;
    sem_ = SEM_ID_NULL;
    semDelete(sem);
}

bool Lock::lock(const char* name) {
    if (semTake(sem_, WAIT_FOREVER) != OK) {
        if (errno == S_objLib_OBJ_ID_ERROR) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "Lock::lock(%s): could not take semaphore (OBJ_ID_ERROR) - object destroyed?",
                              name);
        } else {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "Lock::lock(%s): could not take semaphore (%s) - locked by (%s)",
                              name, std::strerror(errno), owner());
        }
        return false;
    }
    if (nesting_++ == 0) owner_.store(name ? name : "?", std::memory_order_relaxed);
    return true;
}

bool Lock::unlock() {
    const char* name = owner();
    if (nesting_ > 0 && --nesting_ == 0) owner_.store("none", std::memory_order_relaxed);
    if (semGive(sem_) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "Lock::unlock(%s): failed to give semaphore (%s)", name,
                          std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace measure::store
