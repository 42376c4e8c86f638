// The socket registry of the vehicle network: every DivoVur2 socket is opened, accepted and closed
// here, so that the number of open sockets stays bounded and whatever is still open at process
// exit is shut down and closed in one place.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sys/socket.h>

class bcSocket {
public:
    static constexpr int MAX_SOCKETS = 200;

    bcSocket();
    ~bcSocket();
    bcSocket(const bcSocket&) = delete;
    bcSocket& operator=(const bcSocket&) = delete;

    // Opens and registers a socket; -1 at the limit or when the mutex fails.
    int get_socket(int domain, int type, int protocol);
    // Accepts, then registers; a connection beyond the limit is closed at once (-1, errno 35).
    int accept_socket(int listening, sockaddr* address, socklen_t* length);
    // Unregisters, shuts down for writing and closes; -1 (errno 9) for a descriptor not registered.
    int close_socket(int fd);

    int count() const { return count_.load(); }
    bool registered(int fd);

private:
    bool add(int fd);

    int fds_[MAX_SOCKETS];
    std::atomic<int> count_{0};
    // A plain mutex rather than an RTOS semaphore: the destructor runs at process exit, after the
    // exiting thread's task record is gone, and must still be able to lock.
    std::mutex mutex_;
};

extern bcSocket bcSock;
// Set when the registry is being destroyed (process exit): the links stop closing and logging.
extern std::atomic<bool> bcShutdown;

int bcSocket_get(int domain, int type, int protocol);
int bcSocket_accept(int listening, sockaddr* address, socklen_t* length);
int bcSocket_close(int fd);
bool bcSocket_isShutdown();
