// A private network namespace for tests that talk over the network: nothing they send can leave
// the machine's loopback inside it.
#pragma once

#include <string>

namespace testsupport {

// Moves the calling thread into a fresh network namespace with loopback up and a multicast route
// on it (or, without `loopbackUp`, with loopback left down: a device network that is not up);
// threads and processes started from it afterwards live there too. The destructor moves the thread
// back. ok() is false (with the reason) where namespaces are not permitted.
class NetNamespace {
public:
    explicit NetNamespace(bool loopbackUp = true);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }

private:
    int origFd_ = -1;
    bool ok_ = false;
    std::string reason_;
};

} // namespace testsupport
