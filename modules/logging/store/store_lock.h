// The named lock of the store: a recursive, priority-inheriting mutex that remembers the name under
// which its holder took it, so that a failed take can tell who holds it.
#pragma once

#include "platform/rtos/rtos.h"

#include <atomic>

namespace measure::store {

class Lock {
public:
    explicit Lock(bool inversionSafe = true); // raises a text when no semaphore can be made
    virtual ~Lock();
    // One holder at a time owns the semaphore; a copy would share or lose it.
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool lock(const char* name);
    bool unlock();
    const char* owner() const { return owner_.load(std::memory_order_relaxed); }
    int nesting() const { return nesting_; } // meaningful to the holder only

private:
    SEM_ID sem_ = SEM_ID_NULL;
    std::atomic<const char*> owner_{"none"};
    int nesting_ = 0;
};

// Holds a lock for its scope.
class ScopeLock {
public:
    ScopeLock(Lock& lock, const char* name) : lock_(lock), locked_(lock.lock(name)) {}
    virtual ~ScopeLock() {
        if (locked_) lock_.unlock();
    }
    ScopeLock(const ScopeLock&) = delete;
    ScopeLock& operator=(const ScopeLock&) = delete;
    bool locked() const { return locked_; }

private:
    Lock& lock_;
    bool locked_;
};

} // namespace measure::store
