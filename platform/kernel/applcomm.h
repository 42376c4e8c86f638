// The status exchange with the companion process: a small shared record per application index in
// the shared memory "/shm/ApplComm", guarded by the named semaphore "/ApplComSem".
//
// How the host differs from the device:
// - Both are POSIX objects (shm_open, sem_open), so another host process can map them. Their names
//   carry a hash of the device root, "/msd-ApplComm-<hash>" and "/msd-ApplComSem-<hash>", so
//   processes of one root meet and tests in different roots never collide.
// - The semaphore is taken with a bound of one second: a peer that died holding it makes accesses
//   fail instead of hanging the caller.
// - The objects outlive the processes, as on the device; applcomm_unlink removes them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr uint32_t APPLCOMM_MAGIC = 0x4D4F4341; // "ACOM"
inline constexpr uint16_t APPLCOMM_VERSION = 1;
inline constexpr int APPLCOMM_APPS = 2;

// What one application publishes.
struct ApplCommApp {
    uint16_t pid;
    uint16_t laptrigPid;  // lap-trigger master PID, 0 = none
    uint16_t fuelconsPid; // fuel-consumption master PID, 0 = none
    uint16_t reserved;
    uint32_t status;
    uint32_t heartbeat;
};

// The shared memory's layout.
struct ApplCommShared {
    uint32_t magic;
    uint16_t version;
    uint16_t size; // sizeof(ApplCommShared)
    ApplCommApp app[APPLCOMM_APPS];
};

struct ApplComm;

// Host names of the two objects for a device root.
std::string applcomm_shmName(const std::string& deviceRoot);
std::string applcomm_semName(const std::string& deviceRoot);

// Opens the exchange of a device root, creating and zeroing it when missing. nullptr with the
// reason in `error` when it cannot be made or holds another layout version.
ApplComm* applcomm_open(const std::string& deviceRoot, std::string* error);
void applcomm_close(ApplComm* comm);
// Removes both objects of a device root (mappings that are open stay valid).
void applcomm_unlink(const std::string& deviceRoot);

// Reads or writes the record of application `index` (0 or 1) under the semaphore. False for a bad
// index or when the semaphore cannot be taken.
bool applcomm_read(ApplComm* comm, int index, ApplCommApp* out);
bool applcomm_write(ApplComm* comm, int index, const ApplCommApp& in);
// Changes fields of the record in place under the semaphore (read-modify-write in one step).
bool applcomm_update(ApplComm* comm, int index, const std::function<void(ApplCommApp&)>& change);
