#include "platform/rtos/sysmq.h"

#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mqueue.h>
#include <mutex>
#include <poll.h>
#include <vector>

struct SysMq {
    mqd_t mq;
    long msgSize;
    // A take and a count of the arrivals exclude each other, so that a message is counted once: as
    // taken or as waiting. Nobody waits for a message while holding it.
    std::mutex take;
    uint64_t taken = 0;
};

namespace {

std::mutex gMutex;
std::string gRoot = ".";
int gIndex = 0;
std::map<std::string, std::string> gPublished; // device name -> POSIX name

uint64_t fnv1a64(const std::string& s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hostNameLocked(const char* name) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "/msd-%016llx-%d-", static_cast<unsigned long long>(fnv1a64(gRoot)),
                  gIndex);
    return prefix + std::string(name + 1);
}

// Written beside and renamed over the old list, so a reader never sees half of it.
void publishLocked() {
    const std::string path = gRoot + "/mqueue-" + std::to_string(gIndex) + ".names";
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    for (const auto& [device, host] : gPublished) std::fprintf(f, "%s %s\n", device.c_str(), host.c_str());
    if (std::fclose(f) == 0) std::rename(tmp.c_str(), path.c_str());
}

// Real time to wait in one slice: up to the device-time deadline, but short enough that a
// deletion request is noticed (and that a hand-driven clock's time-out follows it).
timespec sliceEnd(uint64_t deadlineNs) {
    const uint64_t now = hostclock_nowNs();
    uint64_t slice = hostclock_isManual() ? 1000000ull : 50000000ull;
    if (deadlineNs != UINT64_MAX) slice = std::min(slice, deadlineNs > now ? deadlineNs - now : 0);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t ns = uint64_t(ts.tv_nsec) + slice;
    ts.tv_sec += time_t(ns / 1000000000ull);
    ts.tv_nsec = long(ns % 1000000000ull);
    return ts;
}

// Repeats `attempt` (one try until the given real time, -1 with errno) in slices until it
// succeeds, fails otherwise or the time-out has passed (then EAGAIN). NO_WAIT is one try that
// does not wait: a time in the past is not looked at while the try can be served.
template <class Attempt> long sliced(_Vx_ticks_t timeout, Attempt attempt) {
    if (timeout == NO_WAIT) {
        const long r = attempt(timespec{0, 0});
        if (r < 0 && errno == ETIMEDOUT) errno = EAGAIN;
        return r;
    }
    const uint64_t deadline = rtos_detail::deadlineForTicks(timeout);
    for (;;) {
        rtos_detail::checkDeletion();
        const long r = attempt(sliceEnd(deadline));
        if (r < 0 && errno == EINTR) continue; // a signal handler ran
        if (r >= 0 || errno != ETIMEDOUT) return r;
        if (deadline != UINT64_MAX && hostclock_nowNs() >= deadline) {
            errno = EAGAIN;
            return -1;
        }
    }
}

} // namespace

void sysmq_configure(const std::string& deviceRoot, int appIndex) {
    std::lock_guard<std::mutex> lk(gMutex);
    gRoot = deviceRoot;
    gIndex = appIndex;
    gPublished.clear();
}

std::string sysmq_hostName(const char* name) {
    std::lock_guard<std::mutex> lk(gMutex);
    return hostNameLocked(name);
}

SYSMQ_ID sysmq_open(const char* name, int maxMsgs, int msgLen) {
    if (!name || name[0] != '/' || name[1] == '\0' || maxMsgs < 1 || msgLen < 1) {
        errno = EINVAL;
        return nullptr;
    }
    std::lock_guard<std::mutex> lk(gMutex);
    const std::string host = hostNameLocked(name);
    mq_attr attr{};
    attr.mq_maxmsg = maxMsgs;
    attr.mq_msgsize = msgLen;
    const mqd_t mq = mq_open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600, &attr);
    if (mq == mqd_t(-1)) return nullptr;
    mq_attr have{};
    if (mq_getattr(mq, &have) != 0) {
        const int e = errno;
        mq_close(mq);
        errno = e;
        return nullptr;
    }
    gPublished[name] = host;
    publishLocked();
    SysMq* q = new SysMq;
    q->mq = mq;
    q->msgSize = have.mq_msgsize;
    return q;
}

ssize_t sysmq_receiveNumbered(SYSMQ_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout,
                              uint64_t* number) {
    if (!q || (!buffer && maxNBytes)) {
        errno = EINVAL;
        return ERROR;
    }
    // The kernel hands out whole messages only into a buffer of the queue's message size.
    std::vector<char> whole(size_t(q->msgSize));
    uint64_t mine = 0;
    const long n = sliced(timeout, [&](const timespec& until) -> long {
        for (;;) {
            {
                // Taken at once under the lock; the wait for one is outside it.
                std::lock_guard<std::mutex> lk(q->take);
                const timespec now{0, 0};
                const long r = long(mq_timedreceive(q->mq, whole.data(), whole.size(), nullptr, &now));
                if (r >= 0) {
                    mine = ++q->taken;
                    return r;
                }
                if (errno != ETIMEDOUT) return -1;
            }
            timespec left{0, 0};
            timespec real{};
            clock_gettime(CLOCK_REALTIME, &real);
            const int64_t ns =
                (int64_t(until.tv_sec) - real.tv_sec) * 1000000000ll + (until.tv_nsec - real.tv_nsec);
            if (ns > 0) {
                left.tv_sec = time_t(ns / 1000000000ll);
                left.tv_nsec = long(ns % 1000000000ll);
            }
            pollfd p{};
            p.fd = int(q->mq);
            p.events = POLLIN;
            const int ready = ppoll(&p, 1, &left, nullptr);
            if (ready < 0) return -1;
            if (ready == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
        }
    });
    if (n < 0) return ERROR;
    if (number) *number = mine;
    const size_t got = std::min(size_t(n), maxNBytes);
    std::copy_n(whole.data(), got, static_cast<char*>(buffer));
    return ssize_t(got);
}

ssize_t sysmq_receive(SYSMQ_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout) {
    return sysmq_receiveNumbered(q, buffer, maxNBytes, timeout, nullptr);
}

uint64_t sysmq_arrivals(SYSMQ_ID q) {
    if (!q) return 0;
    std::lock_guard<std::mutex> lk(q->take);
    mq_attr a{};
    return q->taken + (mq_getattr(q->mq, &a) == 0 ? uint64_t(a.mq_curmsgs) : 0);
}

STATUS sysmq_send(SYSMQ_ID q, const void* buffer, size_t nBytes, _Vx_ticks_t timeout) {
    if (!q || (!buffer && nBytes)) {
        errno = EINVAL;
        return ERROR;
    }
    const long r = sliced(timeout, [&](const timespec& until) -> long {
        return mq_timedsend(q->mq, static_cast<const char*>(buffer), nBytes, 0, &until);
    });
    return r == 0 ? OK : ERROR;
}

void sysmq_close(SYSMQ_ID q) {
    if (!q) return;
    mq_close(q->mq);
    delete q;
}

void sysmq_unlinkPublished() {
    std::lock_guard<std::mutex> lk(gMutex);
    for (const auto& [device, host] : gPublished) mq_unlink(host.c_str());
    gPublished.clear();
    std::remove((gRoot + "/mqueue-" + std::to_string(gIndex) + ".names").c_str());
}
