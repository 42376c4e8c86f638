// A small file system of the test's own, to run out of space on purpose.
#pragma once

#include "testsupport.h"

#include <string>

namespace testsupport {

// Moves the calling thread into a private mount namespace and mounts a file system of `bytes` on a
// fresh folder (or on the folder `at`, which must exist); threads and processes started from the
// thread afterwards see it too. ok() is false (with the reason) where mounting is not permitted.
// The destructor unmounts it.
class SmallDisk {
public:
    explicit SmallDisk(size_t bytes, const std::string& at = "");
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    const std::string& path() const { return at_; }
    std::string file(const std::string& rel) const { return at_ + "/" + rel; }
    // Takes every free byte with a filler file; free() gives them back.
    void fill();
    void free();

private:
    TempDir dir_;
    std::string at_;
    int origNs_ = -1;
    bool ok_ = false;
    std::string reason_;
};

} // namespace testsupport
