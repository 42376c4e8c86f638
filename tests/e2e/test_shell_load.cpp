// The debug shell of the real process under load: many short connections, clients that never read.
#include "app_process.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::AppProcess;
using testsupport::TempDir;

namespace {

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer keeps the shadow of memory once used.
constexpr long kRssGrowthKb = 64 * 1024;
#else
constexpr long kRssGrowthKb = 8 * 1024;
#endif
// Stamp units (100 us) the steps after the ordered shutdown may take with clients connected.
constexpr long kShellStopBound = 5000;

// The time stamp (100 us) of the first log line holding `text`, or -1.
long logStamp(const std::string& log, const std::string& text) {
    const size_t at = log.find(text);
    if (at == std::string::npos) return -1;
    const size_t begin = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
    std::istringstream line(log.substr(begin, at - begin));
    std::string date, time, prio;
    long stamp = -1;
    line >> date >> time >> prio >> stamp;
    return stamp;
}

// A number field of /proc/<pid>/status ("Threads:", "VmRSS:" in kB).
long procStatus(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

int connectTo(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Clients that send many commands and never read the answers.
std::vector<int> silentClients(const std::string& path, int count) {
    std::string burst;
    while (burst.size() < 16 * 1024) burst += "board\n";
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(path);
        EXPECT_GE(fd, 0);
        for (int k = 0; k < 64; ++k)
            if (send(fd, burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) break;
        fds.push_back(fd);
    }
    return fds;
}

} // namespace

TEST(ShellLoad, ManyConnectionsAndClientsThatNeverReadLeaveTheShellAndTheShutdownFree) {
    testsupport::NetNamespace alone; // no peer adds tasks while threads are counted
    TempDir root;
    // Memory that the address sanitizer holds back after it is freed would count as resident.
    const char* asan = std::getenv("ASAN_OPTIONS");
    AppProcess app(root.path(), {"0"},
                   {"ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":quarantine_size_mb=0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return app.logText().find("start-up done") != std::string::npos; }));
    const std::string sock = root.file("shell-0.sock");
    ASSERT_NE(app.shell("board").find("value = 0"), std::string::npos);
    const long threads = procStatus(app.pid(), "Threads:");
    const long rssKb = procStatus(app.pid(), "VmRSS:");

    int failed = 0;
    for (int i = 0; i < 50000; ++i) {
        const int fd = connectTo(sock);
        if (fd < 0)
            ++failed;
        else
            close(fd);
    }
    EXPECT_EQ(failed, 0);
    ASSERT_NE(app.shell("board").find("value = 0"), std::string::npos) << app.stderrText();
    EXPECT_LE(procStatus(app.pid(), "Threads:"), threads); // a start-up task may still end meanwhile
    EXPECT_LT(procStatus(app.pid(), "VmRSS:") - rssKb, kRssGrowthKb)
        << "kB more resident after 50,000 connections";

    // Clients that send commands and never read their answers: dropped, and nothing stays behind.
    std::vector<int> silent = silentClients(sock, 20);
    EXPECT_NE(app.shell("board", 20000).find("value = 0"), std::string::npos) << "the shell still answers";
    EXPECT_LE(procStatus(app.pid(), "Threads:"), threads); // a start-up task may still end meanwhile
    for (int fd : silent) {
        pollfd p{fd, POLLRDHUP, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1) << "a client that takes nothing is dropped";
        close(fd);
    }
    EXPECT_LE(procStatus(app.pid(), "Threads:"), threads); // a start-up task may still end meanwhile
    EXPECT_LT(procStatus(app.pid(), "VmRSS:") - rssKb, kRssGrowthKb)
        << "kB more resident after the silent clients";

    // The ordered shutdown does not wait for such clients either.
    silent = silentClients(sock, 20);
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(5000), 0) << app.stderrText();
    // The shell stops between the end of the ordered shutdown and the exit: that stretch, in the
    // log's own 100 us stamps, shows whether it waited for a client (a dropped client takes 1 s).
    const std::string log = app.logText();
    const long done = logStamp(log, "postrun: ordered shutdown done");
    const long exited = logStamp(log, "main(): exit 0");
    ASSERT_GE(done, 0) << log;
    ASSERT_GE(exited, done) << log;
    EXPECT_LT(exited - done, kShellStopBound) << "the shell's stop waited for clients";
    for (int fd : silent) close(fd);
}

TEST(ShellLoad, AConnectionBeyondTheLimitIsToldSo) {
    TempDir root;
    AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    std::vector<int> idle;
    for (int i = 0; i < 32; ++i) idle.push_back(connectTo(root.file("shell-0.sock")));
    const std::string refused = app.shell("board", 5000);
    EXPECT_NE(refused.find("shell: too many connections (at most 32)"), std::string::npos) << refused;
    close(idle.back());
    idle.pop_back();
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return app.shell("board", 20000).find("value = 0") != std::string::npos; }, 5000));
    for (int fd : idle) close(fd);
}

TEST(ShellLoad, TheReadmesSocatLineGetsTheAnswer) {
    TempDir root;
    AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    const std::string cmd =
        "printf 'board\\nerrmem\\n' | socat - UNIX-CONNECT:" + root.file("shell-0.sock") + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    EXPECT_NE(out.find("digital inputs :"), std::string::npos) << out;
    EXPECT_NE(out.find("0 entries\nvalue = 0 = 0x0"), std::string::npos) << out;
}
