#include "msdcom/network/bc_socket.h"

#include "framework/syslog.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

std::atomic<bool> bcShutdown{false};
bcSocket bcSock;

namespace {
constexpr int kErrnoTooMany = 35; // the device's code for "no more sockets"
} // namespace

bcSocket::bcSocket() {
    std::memset(fds_, 0xFF, sizeof fds_);
}

bcSocket::~bcSocket() {
    bcShutdown.store(true);
    std::lock_guard<std::mutex> lk(mutex_);
    const int n = count_.load();
    if (n > 0) {
        // No log line here ("bcSocket shutdown - closing %u pending sockets" on the device): this
        // runs among the exit handlers, after the log reader has stopped and the exiting thread's
        // task record is gone, where the system log can no longer be used.
        for (int i = n - 1; i >= 0; --i) {
            shutdown(fds_[i], SHUT_WR);
            close(fds_[i]);
            fds_[i] = -1;
        }
        count_.store(0);
    }
}

bool bcSocket::add(int fd) {
    const int n = count_.load();
    if (n >= MAX_SOCKETS) return false;
    fds_[n] = fd;
    count_.store(n + 1);
    return true;
}

bool bcSocket::registered(int fd) {
    std::lock_guard<std::mutex> lk(mutex_);
    bool found = false;
    for (int i = 0; i < count_.load() && !found; ++i) found = fds_[i] == fd;
    return found;
}

int bcSocket::get_socket(int domain, int type, int protocol) {
    std::unique_lock<std::mutex> lk(mutex_);
    int fd = -1;
    if (count_.load() >= MAX_SOCKETS) {
        syslogx(LOG_PRIO_ERR, "bcSocket::get_socket(): maximum socket reached, no socket given");
    } else {
        fd = socket(domain, type, protocol);
        if (fd >= 0) add(fd);
    }
    return fd;
}

int bcSocket::accept_socket(int listening, sockaddr* address, socklen_t* length) {
    const int fd = accept(listening, address, length);
    if (fd < 0) return -1;
    bool added;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        added = add(fd);
    }
    if (!added) {
        syslogx(LOG_PRIO_ERR,
                "bcSocket::accept_socket(): maximum socket reached, no socket added to the array");
        close(fd);
        errno = kErrnoTooMany;
        return -1;
    }
    return fd;
}

int bcSocket::close_socket(int fd) {
    int at = -1;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const int n = count_.load();
        for (int i = 0; i < n && at < 0; ++i)
            if (fds_[i] == fd) at = i;
        if (at >= 0) {
            // The order is not kept: the last descriptor takes the freed place.
            fds_[at] = fds_[n - 1];
            fds_[n - 1] = -1;
            count_.store(n - 1);
        }
    }
    // Every socket of the network closes here, those of connections from anyone included: both
    // lines are under the flood rule.
    if (at < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG_PREV, "bcSocket::close_socket(%u): invalid file descriptor",
                          unsigned(fd));
        errno = EBADF;
        return -1;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG_PREV, "bcSocket::close_socket(%u)", unsigned(fd));
    shutdown(fd, SHUT_WR);
    return close(fd);
}

int bcSocket_get(int domain, int type, int protocol) {
    return bcSock.get_socket(domain, type, protocol);
}
int bcSocket_accept(int listening, sockaddr* address, socklen_t* length) {
    return bcSock.accept_socket(listening, address, length);
}
int bcSocket_close(int fd) {
    return bcSock.close_socket(fd);
}
bool bcSocket_isShutdown() {
    return bcShutdown.load();
}
