// The drive state file against a writer from outside (the PC's flag, a pulled stick) that replaces
// it, or rewrites it in place, while the process changes or reads it.
#include "testsupport.h"

#include "platform/drives/drive_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
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

// The outside writer replaces the file back to back, each version with the next counter, while the
// process changes an attribute back to back. A process's change swapped in over a version it did
// not read may show for a moment before it is swapped back (or, without renameat2's flags, the
// file may be missing for a moment), so each version is waited for; one that never comes back was
// undone.
void outsideWriterBesideTheProcess(const long kChanges) {
    const std::string file = drive_stateFile("meas:");
    const std::string next = file + ".outside";
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

} // namespace

TEST(DriveState, AChangeOfTheProcessNeverUndoesAVersionFromOutside) {
    TempDeviceRoot root;
    outsideWriterBesideTheProcess(20000);
}

// Where the file system refuses renameat2's flags, a missing state file is still made and an
// existing one still changed without undoing a version from outside; a change whose folder
// write-through fails counts as failed.
TEST(DriveState, WithoutRenameFlagsNoVersionFromOutsideIsUndoneEither) {
    TempDeviceRoot root;
    drive_stateTestRefuseRenameFlags(true);
    auto flag = [](uint8_t attr) {
        return drive_stateUpdate("meas:", [attr](DriveState& s) {
            s.dirAttr = attr;
            return true;
        });
    };
    ASSERT_NE(::access(drive_stateFile("meas:").c_str(), F_OK), 0) << "no state file yet";
    EXPECT_TRUE(flag(1)) << "made";
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas:", &s));
    EXPECT_EQ(s.dirAttr, 1);
    outsideWriterBesideTheProcess(2000);
    drive_stateTestFailFolderWriteThrough(true);
    EXPECT_FALSE(flag(0)) << "the folder was not written through";
    drive_stateTestFailFolderWriteThrough(false);
    drive_stateTestRefuseRenameFlags(false);
}

// An outside rewrite in place (truncate, then write: `echo 'inserted 0' > usb_meas.drive`) whose
// write comes only after the process has found the file empty and looked again: the process's change
// is made on the version written, and a look sees it, not the defaults of the empty file. A file
// that stays empty is taken as it is after a while.
TEST(DriveState, AnInPlaceRewriteFromOutsideIsReadOnceWrittenAndNeverLost) {
    TempDeviceRoot root;
    const std::string file = drive_stateFile("usb_meas:");
    DriveState seen;
    const auto change = [] {
        return drive_stateUpdate("usb_meas:", [](DriveState& s) {
            s.setAttr("A0101000.001", 0x21);
            return true;
        });
    };
    const struct {
        const char* what;
        bool look;           // a look of the process, else a change
        const char* written; // nullptr: the file stays empty
        bool inserted;
    } rows[] = {
        {"a change of the process", false, "inserted 0\n", false},
        {"a look", true, "inserted 0\n", false},
        {"a change, the file left empty", false, nullptr, true},
    };
    for (const auto& row : rows) {
        writeFile(file + ".new", "inserted 1\n");
        ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
        ASSERT_TRUE(drive_stateRead("usb_meas:", &seen));
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, file.c_str(), IN_OPEN), 0);
        const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::atomic<bool> returned{false};
        // The outside writer writes once the process has opened the empty file twice (it waits for
        // it to be written), or once the process's call has returned.
        std::thread outside([&] {
            int opens = 0; // the writer's own open counts too
            while (!returned.load() && opens < 3) {
                pollfd p{watch, POLLIN, 0};
                if (::poll(&p, 1, 10) <= 0) continue;
                alignas(inotify_event) char buf[4096];
                const ssize_t n = ::read(watch, buf, sizeof buf);
                for (ssize_t at = 0; at < n; ++opens)
                    at += ssize_t(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(buf + at)->len);
            }
            const size_t length = row.written ? std::strlen(row.written) : 0;
            if (length > 0) {
                EXPECT_EQ(::write(fd, row.written, length), ssize_t(length));
            }
            ::close(fd);
        });
        EXPECT_TRUE(row.look ? drive_stateRead("usb_meas:", &seen) : change()) << row.what;
        returned = true;
        outside.join();
        ::close(watch);
        if (row.look) {
            EXPECT_FALSE(seen.inserted) << "the look took the empty file for the defaults";
        }
        ASSERT_TRUE(waitUntil(
            [&] { return drive_stateRead("usb_meas:", &seen) && seen.inserted == row.inserted; }, 5000))
            << row.what << ": the stick is " << (seen.inserted ? "in" : "out") << ", file:\n"
            << readFile(file);
        if (!row.look) {
            EXPECT_EQ(seen.attrOf("A0101000.001"), 0x21) << row.what;
        }
    }
}
