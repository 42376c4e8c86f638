#include "platform/shellhost.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Shell {
    std::mutex m;
    std::map<std::string, ShellFunc> commands;
    std::mutex runMutex; // one command at a time, as on the device's shell task
    int listenFd = -1;
    std::string socketPath;
    std::atomic<bool> run{false};
    std::thread acceptThread;
    std::thread stdinThread;
    std::mutex clientsMutex;
    std::vector<int> clientFds;
    std::vector<std::thread> clientThreads;
};

Shell& shell() {
    static auto* s = new Shell;
    return *s;
}

thread_local std::string* tlOutput = nullptr;

// Splits a line into words; double quotes group words with blanks.
bool tokenize(const std::string& line, std::vector<std::string>* words, std::string* error) {
    std::string cur;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                cur += c;
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words->push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (quoted) {
        *error = "unterminated quote";
        return false;
    }
    if (inWord) words->push_back(cur);
    if (words->size() > size_t(SHELL_ARGS_MAX)) {
        *error = "too many arguments (max " + std::to_string(SHELL_ARGS_MAX) + ")";
        return false;
    }
    return true;
}

void appendValue(std::string* out, int value) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "value = %d = 0x%x\n", value, unsigned(value));
    out->append(buf);
}

bool writeAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += size_t(n);
    }
    return true;
}

// Reads lines from `fd` and answers each; lines longer than SHELL_LINE_MAX are refused whole.
template <class Reply>
void serveLines(int fd, Reply reply, bool isSocket) {
    Shell& s = shell();
    std::string line;
    bool overlong = false;
    char buf[4096];
    while (s.run.load()) {
        pollfd p{fd, POLLIN, 0};
        const int pr = poll(&p, 1, 100);
        if (pr < 0 && errno != EINTR) break;
        if (pr <= 0) continue;
        const ssize_t n = isSocket ? ::recv(fd, buf, sizeof(buf), 0) : ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\n') {
                std::string out;
                if (overlong) {
                    out = "line too long (at most " + std::to_string(SHELL_LINE_MAX) + " characters)\n";
                    appendValue(&out, -1);
                } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
                    shellhost_execute(line, &out);
                }
                line.clear();
                overlong = false;
                if (!out.empty() && !reply(out)) return;
            } else if (!overlong) {
                if (line.size() >= SHELL_LINE_MAX)
                    overlong = true, line.clear();
                else
                    line += c;
            }
        }
    }
}

void serveClient(int fd) {
    serveLines(fd, [fd](const std::string& out) { return writeAll(fd, out); }, true);
    Shell& s = shell();
    std::lock_guard<std::mutex> lk(s.clientsMutex);
    for (auto& c : s.clientFds)
        if (c == fd) c = -1;
    ::close(fd);
}

void acceptLoop() {
    Shell& s = shell();
    while (s.run.load()) {
        pollfd p{s.listenFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lk(s.clientsMutex);
        s.clientFds.push_back(fd);
        s.clientThreads.emplace_back(serveClient, fd);
    }
}

void stdinLoop() {
    serveLines(
        0,
        [](const std::string& out) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
            return true;
        },
        false);
}

} // namespace

bool shellhost_register(const std::string& name, ShellFunc function) {
    if (name.empty() || !function || name.find_first_of(" \t\"") != std::string::npos) return false;
    Shell& s = shell();
    std::lock_guard<std::mutex> lk(s.m);
    return s.commands.emplace(name, std::move(function)).second;
}

bool shellhost_isRegistered(const std::string& name) {
    Shell& s = shell();
    std::lock_guard<std::mutex> lk(s.m);
    return s.commands.count(name) != 0;
}

int shellhost_execute(const std::string& line, std::string* output) {
    std::string local;
    std::string* out = output ? output : &local;
    std::vector<std::string> words;
    std::string error;
    if (!tokenize(line, &words, &error)) {
        out->append(error + "\n");
        appendValue(out, -1);
        return -1;
    }
    if (words.empty()) return 0;
    ShellFunc fn;
    {
        Shell& s = shell();
        std::lock_guard<std::mutex> lk(s.m);
        auto it = s.commands.find(words[0]);
        if (it != s.commands.end()) fn = it->second;
    }
    if (!fn) {
        out->append("unknown command '" + words[0] + "'\n");
        appendValue(out, -1);
        return -1;
    }
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int rc;
    {
        std::lock_guard<std::mutex> run(shell().runMutex);
        tlOutput = out;
        rc = fn(int(words.size()), argv.data());
        tlOutput = nullptr;
    }
    appendValue(out, rc);
    return rc;
}

bool shellhost_start(const std::string& socketPath, bool useStdin, std::string* error) {
    Shell& s = shell();
    if (s.run.load()) return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(addr.sun_path)) {
        if (error) *error = "shell socket path too long: " + socketPath;
        return false;
    }
    std::strcpy(addr.sun_path, socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("shell socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(socketPath.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0) {
        if (error) *error = "shell socket " + socketPath + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    s.listenFd = fd;
    s.socketPath = socketPath;
    s.run.store(true);
    s.acceptThread = std::thread(acceptLoop);
    if (useStdin && isatty(0)) s.stdinThread = std::thread(stdinLoop);
    return true;
}

void shellhost_stop() {
    Shell& s = shell();
    if (!s.run.exchange(false)) return;
    // A command may be stopping the process from a client thread: never join the calling thread.
    const auto self = std::this_thread::get_id();
    if (s.acceptThread.joinable()) s.acceptThread.join();
    if (s.stdinThread.joinable()) {
        if (s.stdinThread.get_id() == self)
            s.stdinThread.detach();
        else
            s.stdinThread.join();
    }
    std::vector<std::thread> clients;
    {
        std::lock_guard<std::mutex> lk(s.clientsMutex);
        clients.swap(s.clientThreads);
        s.clientFds.clear();
    }
    for (auto& t : clients) {
        if (t.get_id() == self)
            t.detach();
        else if (t.joinable())
            t.join();
    }
    ::close(s.listenFd);
    s.listenFd = -1;
    ::unlink(s.socketPath.c_str());
}

int shell_printf(const char* format, ...) {
    char stackBuf[512];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(stackBuf, sizeof(stackBuf), format, ap);
    va_end(ap);
    if (n < 0) return n;
    std::string text;
    if (size_t(n) < sizeof(stackBuf)) {
        text.assign(stackBuf, size_t(n));
    } else {
        text.resize(size_t(n) + 1);
        va_start(ap, format);
        std::vsnprintf(text.data(), text.size(), format, ap);
        va_end(ap);
        text.resize(size_t(n));
    }
    if (tlOutput)
        tlOutput->append(text);
    else
        std::fwrite(text.data(), 1, text.size(), stdout);
    return n;
}
