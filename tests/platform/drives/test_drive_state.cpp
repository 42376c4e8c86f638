// The drive state file against a writer from outside (the PC's flag, a pulled stick) that replaces
// it while the process changes it.
#include "testsupport.h"

#include "platform/drives/drive_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

// The counter of the file's "note <k>" line, -1 without one.
long noteOf(const std::string& file) {
    char buf[4096];
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    const char* note = std::strstr(buf, "note ");
    return note ? std::strtol(note + 5, nullptr, 10) : -1;
}

} // namespace

// The outside writer replaces the file back to back, each version with the next counter, while the
// process changes an attribute back to back. A process's change swapped in over a version it did
// not read may show for a moment before it is swapped back, so each version is waited for; one that
// never comes back was undone.
TEST(DriveState, AChangeOfTheProcessNeverUndoesAVersionFromOutside) {
    TempDeviceRoot root;
    const std::string file = drive_stateFile("meas:");
    const std::string next = file + ".outside";
    constexpr long kChanges = 20000;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> changed{0};
    std::thread device([&] {
        for (uint32_t i = 0; !stop.load(); ++i) {
            const uint8_t attr = (i & 1) ? 0x21 : 0x01;
            if (drive_stateUpdate("meas:", [&](DriveState& s) {
                    s.setAttr("A0101000.001", attr);
                    return true;
                }))
                ++changed;
        }
    });
    long lost = 0;
    for (long k = 1; k <= kChanges && lost == 0; ++k) {
        if (k > 1 && !waitUntil([&] { return noteOf(file) >= k - 1; }, 5000)) lost = k - 1;
        const std::string text = "note " + std::to_string(k) + "\n";
        const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
        ::close(fd);
        ASSERT_EQ(std::rename(next.c_str(), file.c_str()), 0);
    }
    if (lost == 0 && !waitUntil([&] { return noteOf(file) >= kChanges; }, 5000)) lost = kChanges;
    // The process's changes go on once the outside writer is done.
    const uint32_t before = changed.load();
    EXPECT_TRUE(waitUntil([&] { return changed.load() > before + 1; }));
    stop = true;
    device.join();
    EXPECT_EQ(lost, 0) << "the version with note " << lost << " was undone";
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas:", &s));
    EXPECT_NE(s.attrs.count("A0101000.001"), 0u) << "the process's last change stands";
    EXPECT_EQ(noteOf(file), kChanges) << "the last version from outside stands";
}
