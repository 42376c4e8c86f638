#include "platform/kernel/applcomm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct ApplComm {
    sem_t* sem = SEM_FAILED;
    ApplCommShared* shared = nullptr;
};

namespace {

constexpr int kSemTimeoutMs = 1000;

std::string rootHash(const std::string& deviceRoot) {
    uint64_t h = 0xcbf29ce484222325ull; // FNV-1a, 64 bit
    for (unsigned char c : deviceRoot) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

bool take(sem_t* sem) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += kSemTimeoutMs / 1000;
    until.tv_nsec += long(kSemTimeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_timedwait(sem, &until) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void release(ApplComm* comm) {
    if (comm->shared) munmap(comm->shared, sizeof(ApplCommShared));
    if (comm->sem != SEM_FAILED) sem_close(comm->sem);
    delete comm;
}

} // namespace

std::string applcomm_shmName(const std::string& deviceRoot) {
    return "/msd-ApplComm-" + rootHash(deviceRoot);
}

std::string applcomm_semName(const std::string& deviceRoot) {
    return "/msd-ApplComSem-" + rootHash(deviceRoot);
}

ApplComm* applcomm_open(const std::string& deviceRoot, std::string* error) {
    auto* comm = new ApplComm;
    auto fail = [&](const std::string& what) -> ApplComm* {
        if (error) *error = "ApplComm: " + what;
        release(comm);
        return nullptr;
    };
    const std::string shmName = applcomm_shmName(deviceRoot);
    const std::string semName = applcomm_semName(deviceRoot);
    comm->sem = sem_open(semName.c_str(), O_CREAT, 0644, 1);
    if (comm->sem == SEM_FAILED) return fail("sem_open " + semName + ": " + std::strerror(errno));

    // Creation and first initialisation happen under the semaphore, so a second process never
    // maps a half-made record.
    if (!take(comm->sem)) return fail("semaphore " + semName + " not available");
    std::string problem;
    int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd < 0) {
        problem = "shm_open " + shmName + ": " + std::strerror(errno);
    } else if (fstat(fd, &st) != 0 ||
               (size_t(st.st_size) < sizeof(ApplCommShared) && ftruncate(fd, sizeof(ApplCommShared)) != 0)) {
        problem = "sizing " + shmName + ": " + std::strerror(errno);
    } else {
        void* mem = mmap(nullptr, sizeof(ApplCommShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mem == MAP_FAILED) {
            problem = "mmap " + shmName + ": " + std::strerror(errno);
        } else {
            comm->shared = static_cast<ApplCommShared*>(mem);
            ApplCommShared& s = *comm->shared;
            if (s.magic == 0) {
                std::memset(&s, 0, sizeof s);
                s.version = APPLCOMM_VERSION;
                s.size = sizeof(ApplCommShared);
                s.magic = APPLCOMM_MAGIC;
            } else if (s.magic != APPLCOMM_MAGIC || s.version != APPLCOMM_VERSION ||
                       s.size != sizeof(ApplCommShared)) {
                problem = shmName + " holds another layout (version " + std::to_string(s.version) + ")";
            }
        }
    }
    if (fd >= 0) close(fd);
    sem_post(comm->sem);
    if (!problem.empty()) return fail(problem);
    return comm;
}

void applcomm_close(ApplComm* comm) {
    if (comm) release(comm);
}

void applcomm_unlink(const std::string& deviceRoot) {
    shm_unlink(applcomm_shmName(deviceRoot).c_str());
    sem_unlink(applcomm_semName(deviceRoot).c_str());
}

namespace {

// Holds the semaphore for one access.
class Taken {
public:
    explicit Taken(ApplComm* comm) : sem_(comm && comm->shared && take(comm->sem) ? comm->sem : nullptr) {}
    ~Taken() {
        if (sem_) sem_post(sem_);
    }
    Taken(const Taken&) = delete;
    Taken& operator=(const Taken&) = delete;
    explicit operator bool() const { return sem_ != nullptr; }

private:
    sem_t* sem_;
};

} // namespace

bool applcomm_update(ApplComm* comm, int index, const std::function<void(ApplCommApp&)>& change) {
    if (index < 0 || index >= APPLCOMM_APPS || !change) return false;
    Taken taken(comm);
    if (!taken) return false;
    ApplCommApp copy = comm->shared->app[index];
    change(copy);
    comm->shared->app[index] = copy;
    return true;
}

bool applcomm_read(ApplComm* comm, int index, ApplCommApp* out) {
    if (index < 0 || index >= APPLCOMM_APPS || !out) return false;
    Taken taken(comm);
    if (!taken) return false;
    *out = comm->shared->app[index];
    return true;
}

bool applcomm_write(ApplComm* comm, int index, const ApplCommApp& in) {
    return applcomm_update(comm, index, [&in](ApplCommApp& a) { a = in; });
}
