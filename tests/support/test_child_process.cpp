// A device that a test starts ends with the test, however the test ends: the test here starts a
// second copy of itself as "the test" (the role below), which starts the device as every end-to-end
// test does (AppProcess) and then ends as the row says; the device must be gone soon after.
#include "app_process.h"
#include "child_process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// Set for the copy that plays the test: how it ends, where the device's root is and where its pid
// goes.
constexpr const char* kRole = "MSD_TIED_TEST_ENDS";
constexpr const char* kRoot = "MSD_TIED_TEST_ROOT";
constexpr const char* kPidFile = "MSD_TIED_TEST_PIDFILE";

// The copy that plays the test: starts the device, says its pid once its shell answers, and ends.
void playTheTest(const std::string& ends) {
    AppProcess dev(std::getenv(kRoot), {"0"});
    ASSERT_TRUE(dev.waitForShell(60000)) << dev.stderrText();
    writeFile(std::string(std::getenv(kPidFile)) + ".part", std::to_string(dev.pid()));
    ASSERT_EQ(std::rename((std::string(std::getenv(kPidFile)) + ".part").c_str(), std::getenv(kPidFile)), 0);
    if (ends == "abort") std::terminate(); // as a std::thread left joinable does
    if (ends == "assertion") FAIL() << "the assertion that ends the test (expected)";
    for (;;) pause(); // until a signal ends it
}

// How a process that the test waited for ended.
std::string endOf(int status) {
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return "?";
}

} // namespace

TEST(TiedChild, TheDeviceEndsWithItsTestHoweverTheTestEnds) {
    if (const char* ends = std::getenv(kRole)) return playTheTest(ends);
    // Orphans of the test's copy come to this process: their end is seen here (waitpid), not
    // guessed from a pid that another process may take.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const struct {
        const char* ends; // the role's word
        int signal;       // sent to the test's copy once the device runs (0: none)
        const char* copyEnds;
        bool orphaned; // the copy dies with its device still running
    } kRows[] = {
        {"ctest's time-out: SIGKILL", SIGKILL, "signal Killed", true},
        {"ctest's time-out: SIGTERM", SIGTERM, "signal Terminated", true},
        {"abort", 0, "signal Aborted", true},
        {"assertion", 0, "exit 1", false},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.ends);
        TempDir dir;
        makeDirs(dir.file("root"));
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.push_back(*e);
        env.push_back(std::string(kRole) + "=" + (row.signal ? "signal" : row.ends));
        env.push_back(std::string(kRoot) + "=" + dir.file("root"));
        env.push_back(std::string(kPidFile) + "=" + dir.file("pid"));
        ChildStreams io;
        io.out = io.err = open(dir.file("copy.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t copy = startTiedChild({self, "--gtest_filter=TiedChild.*"}, &env, io);
        close(io.out);
        ASSERT_GT(copy, 0);
        int status = 0;
        bool copyEnded = false;
        ASSERT_TRUE(waitUntil(
            [&] {
                copyEnded = copyEnded || waitpid(copy, &status, WNOHANG) == copy;
                return copyEnded || !readFile(dir.file("pid")).empty();
            },
            90000));
        const pid_t device = std::atoi(readFile(dir.file("pid")).c_str());
        ASSERT_GT(device, 0) << readFile(dir.file("copy.txt"));
        if (row.signal) kill(copy, row.signal);
        if (!copyEnded) {
            ASSERT_EQ(waitpid(copy, &status, 0), copy);
        }
        EXPECT_EQ(endOf(status), row.copyEnds) << readFile(dir.file("copy.txt"));

        // Gone: reaped here (an orphan comes to this process) or by the copy before it ended.
        int deviceStatus = 0;
        bool reapedHere = false;
        const bool gone = waitUntil(
            [&] {
                const pid_t r = waitpid(device, &deviceStatus, WNOHANG);
                reapedHere = reapedHere || r == device;
                return reapedHere || (r < 0 && errno == ECHILD && kill(device, 0) != 0);
            },
            30000);
        EXPECT_TRUE(gone) << "the device " << device << " runs on after its test";
        EXPECT_EQ(reapedHere, row.orphaned);
        if (reapedHere) {
            EXPECT_EQ(endOf(deviceStatus), "signal Killed") << "the kernel ends it with its test";
        }
        if (!gone) {
            kill(device, SIGKILL);
            waitpid(device, nullptr, 0);
        }
    }
}
