#include "app_process.h"

#include "caldataset.h"
#include "child_process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

std::string appExecutable() {
    return buildDir() + "/app/msdapp";
}

AppProcess::AppProcess(const std::string& deviceRoot, const std::vector<std::string>& args,
                       const std::vector<std::string>& extraEnv)
    : root_(deviceRoot), index_(args.empty() ? "0" : args[0]),
      // A root that is no folder (the application must refuse it) cannot hold them: beside it then.
      outDir_(std::filesystem::is_directory(deviceRoot)
                  ? deviceRoot
                  : std::filesystem::path(deviceRoot).parent_path().string()) {
    const std::string exe = appExecutable();
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const std::string name = kv.substr(0, kv.find('='));
        bool replaced = name == "DEVICE_ROOT";
        for (const auto& x : extraEnv) replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced) env.push_back(kv);
    }
    bool rootGiven = false;
    for (const auto& kv : extraEnv) rootGiven = rootGiven || kv.rfind("DEVICE_ROOT=", 0) == 0;
    if (!rootGiven) env.push_back("DEVICE_ROOT=" + root_);
    for (const auto& kv : extraEnv) env.push_back(kv);
    std::vector<std::string> argv = {exe};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildStreams io;
    io.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    io.out = open((outDir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    io.err = open((outDir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // The device ends with the test, however the test ends (child_process.h).
    pid_ = startTiedChild(argv, &env, io);
    for (int fd : {io.in, io.out, io.err})
        if (fd >= 0) close(fd);
}

AppProcess::~AppProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    // A sanitizer's report ends the process early; the test would see only what stopped coming.
    const std::string err = stderrText();
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "the application reported:\n" << err;
}

bool AppProcess::waitForShell(int timeoutMs) {
    const std::string sock = root_ + "/shell-" + index_ + ".sock";
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        int st;
        if (!exited_ && waitpid(pid_, &st, WNOHANG) == pid_) {
            exited_ = true;
            status_ = st;
        }
        if (exited_) return false;
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, sock.c_str(), sizeof(addr.sun_path) - 1);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string shellRoundTrip(const std::string& socketPath, const std::string& line, int timeoutMs) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return "<connect failed>";
    }
    const std::string msg = line + "\n";
    size_t off = 0;
    while (off < msg.size()) {
        const ssize_t n = send(fd, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += size_t(n);
    }
    std::string out;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        const size_t v = out.find("value = ");
        if (v != std::string::npos && out.find('\n', v) != std::string::npos) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return out;
}

std::string AppProcess::shell(const std::string& line, int timeoutMs) {
    return shellRoundTrip(root_ + "/shell-" + index_ + ".sock", line, timeoutMs);
}

bool AppProcess::running() {
    int st;
    if (!exited_ && pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        status_ = st;
    }
    return pid_ > 0 && !exited_;
}

int AppProcess::waitExit(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!exited_) {
        int st;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = st;
            break;
        }
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

void AppProcess::signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

std::string AppProcess::stderrText() const {
    return readFile(outDir_ + "/stderr.txt");
}
std::string AppProcess::logText() const {
    return readFile(root_ + "/log/syslog-" + index_ + ".log");
}

namespace {

std::string between(const std::string& text, const std::string& before, const std::string& after) {
    const size_t a = text.find(before);
    if (a == std::string::npos) return {};
    const size_t b = text.find(after, a + before.size());
    return b == std::string::npos ? std::string{} : text.substr(a + before.size(), b - a - before.size());
}

// The stamp of the log line holding position `at` ("<date> <time> <prio> <ms> <task> ..."), in
// seconds; -1 when it has none.
double stampOfLine(const std::string& log, size_t at) {
    unsigned long ms = 0;
    return std::sscanf(log.c_str() + log.rfind('\n', at) + 1, "%*s %*s %*s %lu", &ms) == 1 ? ms / 1000.0 : -1;
}

} // namespace

double loggedStamp(const std::string& log, const std::string& what) {
    const size_t at = log.find(what);
    return at == std::string::npos ? -1 : stampOfLine(log, at);
}

std::vector<double> loggedStamps(const std::string& log, const std::string& what) {
    std::vector<double> stamps;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
        stamps.push_back(stampOfLine(log, at));
    return stamps;
}

std::vector<LoggedLap> loggedLaps(const std::string& log) {
    static const std::string kEvent = "Received Laptrigger Event. Outing ";
    std::vector<LoggedLap> laps;
    for (size_t at = log.find(kEvent); at != std::string::npos; at = log.find(kEvent, at + 1)) {
        LoggedLap l;
        int seconds = 0, hundredths = 0;
        l.stamp = stampOfLine(log, at);
        if (l.stamp < 0 || std::sscanf(log.c_str() + at + kEvent.size(), "%d, Lap %d, Laptime %d,%d",
                                       &l.outing, &l.lap, &seconds, &hundredths) != 4)
            continue;
        l.laptime = seconds + hundredths / 100.0;
        laps.push_back(l);
    }
    return laps;
}

int runVcconfig(const std::string& deviceRoot, const std::string& text, std::string* out,
                const std::string& before, const std::string& work, const std::string& args) {
    const std::string dir = work.empty() ? deviceRoot : work;
    writeFile(dir + "/vcconfig-in.txt", text);
    const std::string cmd = before + buildDir() + "/tools/caldata/vcconfig " + deviceRoot + " " + dir +
                            "/vcconfig-in.txt " + args + " >" + dir + "/vcconfig-out.txt 2>&1";
    const int status = std::system(cmd.c_str());
    *out = readFile(dir + "/vcconfig-out.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool learnDatasetIdentity(const std::string& deviceRoot, const std::string& index, std::string* program,
                          std::string* pageLength, std::string* log) {
    caldata::writeDataset(deviceRoot, caldata::CalDataset().file("unknown", false));
    AppProcess dev(deviceRoot, {index});
    if (!dev.waitForShell()) {
        *log = dev.stderrText();
        return false;
    }
    const bool found = waitUntil(
        [&] {
            *log = dev.logText();
            *program = between(*log, "program identifier ", "\n");
            *pageLength = between(*log, "(file 0) does not match ", ",");
            return !program->empty() && !pageLength->empty();
        },
        20000); // a loaded host (two cores, busy) starts slowly
    dev.signal(SIGTERM);
    const int exitCode = dev.waitExit();
    if (!found) *log = "no identity in the log:\n" + dev.logText();
    // Only the identity is learnt here: the run's own end does not matter, but it must end.
    return found && exitCode >= 0;
}

bool mainThreadEnded(AppProcess& dev) {
    if (dev.waitExit(0) != -1) return true;
    const std::string stat =
        readFile("/proc/" + std::to_string(dev.pid()) + "/task/" + std::to_string(dev.pid()) + "/stat");
    const size_t name = stat.rfind(')');
    if (name == std::string::npos || name + 2 >= stat.size()) return true; // gone
    const char state = stat[name + 2];
    return state == 'Z' || state == 'X';
}

std::string lastRun(const std::string& log, const std::string& index) {
    const size_t at = log.rfind("main(): application " + index + " starting");
    return at == std::string::npos ? log : log.substr(log.rfind('\n', at) + 1);
}

} // namespace testsupport
