#include "platform/kernel/shellhost.h"

#include "platform/rtos/rtos.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

thread_local std::string* tlOutput = nullptr;

constexpr auto kStallLimit = std::chrono::milliseconds(SHELL_STALL_MS);
constexpr size_t kOutputHigh = 64 * 1024; // queued answers above which a client's commands wait

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

// Cuts a byte stream into command lines; a line longer than SHELL_LINE_MAX is refused whole.
class LineSplitter {
public:
    // Takes one byte; true when it ended a line, which answer() then runs.
    bool feed(char c) {
        if (c == '\n') return true;
        if (overlong_) return false;
        if (line_.size() >= SHELL_LINE_MAX)
            overlong_ = true, line_.clear();
        else
            line_ += c;
        return false;
    }
    // Runs the line just ended and appends its answer to `out`.
    void answer(std::string* out) {
        if (overlong_) {
            out->append("line too long (at most " + std::to_string(SHELL_LINE_MAX) + " characters)\n");
            appendValue(out, -1);
        } else if (line_.find_first_not_of(" \t\r") != std::string::npos) {
            shellhost_execute(line_, out);
        }
        line_.clear();
        overlong_ = false;
    }

private:
    std::string line_;
    bool overlong_ = false;
};

// A socket client. The shell never waits for one: its output is queued and sent as the client
// takes it; while much of it waits, no further command of that client is read.
struct Client {
    int fd = -1;
    std::string in;  // received, not yet run
    std::string out; // answers not yet taken by the client
    LineSplitter lines;
    bool peerClosed = false;
    Clock::time_point waitingSince; // since when `out` has waited without progress
};

struct Shell {
    std::mutex m;
    std::map<std::string, ShellFunc> commands;
    std::mutex runMutex; // one command at a time, as on the device's shell task
    int listenFd = -1;
    int wakeFds[2] = {-1, -1}; // written by the stop, so the loop never sleeps through it
    std::string socketPath;
    std::atomic<bool> run{false};
    std::thread loopThread;
    std::thread stdinThread;
    std::array<Client, SHELL_CLIENTS_MAX> clients;
};

Shell& shell() {
    static auto* s = new Shell;
    return *s;
}

void closeClient(Client& c) {
    ::close(c.fd);
    c.fd = -1;
    c.peerClosed = false;
    c.lines = LineSplitter();
    // Memory of a client that queued much goes back; a small one keeps its buffers for the next.
    for (std::string* s : {&c.in, &c.out}) {
        s->clear();
        if (s->capacity() > 4096) s->shrink_to_fit();
    }
}

// Runs the client's received lines while its queued answers stay below the mark.
void runCommands(Client& c) {
    size_t used = 0;
    while (used < c.in.size() && c.out.size() < kOutputHigh) {
        const bool wasEmpty = c.out.empty();
        if (c.lines.feed(c.in[used++])) c.lines.answer(&c.out);
        if (wasEmpty && !c.out.empty()) c.waitingSince = Clock::now();
    }
    c.in.erase(0, used);
}

// Sends what the client takes without waiting; false when the client is gone.
bool sendQueued(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, size_t(n));
            c.waitingSince = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void refuse(int fd) {
    static const std::string line =
        "shell: too many connections (at most " + std::to_string(SHELL_CLIENTS_MAX) + "), try again later\n";
    (void)!::send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(fd);
}

// Takes what a client sent, up to one buffer's worth; false when it is gone.
bool receive(Client& c) {
    char buf[4096];
    while (c.in.size() < sizeof(buf)) {
        const ssize_t n = ::recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(buf, size_t(n));
            continue;
        }
        if (n == 0) {
            c.peerClosed = true;
            return true;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

bool wantsInput(const Client& c) {
    return !c.peerClosed && c.in.empty() && c.out.size() < kOutputHigh;
}

// Serves one client: takes its input, runs its lines, sends the answers; closes it when it is
// gone, done, or has taken none of its answers for too long.
void serveClient(Client& c, bool readable, bool failed, Clock::time_point now) {
    bool alive = !failed && (!readable || receive(c));
    // Lines left waiting for room run as soon as the client took enough of the answers.
    while (alive) {
        runCommands(c);
        alive = sendQueued(c);
        if (c.in.empty() || c.out.size() >= kOutputHigh) break;
    }
    if (alive && !c.out.empty() && now - c.waitingSince > kStallLimit) alive = false;
    if (alive && c.peerClosed && c.in.empty() && c.out.empty()) alive = false;
    if (!alive) closeClient(c);
}

Client* freeSlot(Shell& s) {
    for (Client& c : s.clients)
        if (c.fd < 0) return &c;
    return nullptr;
}

void acceptAll(Shell& s) {
    for (;;) {
        const int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return; // EAGAIN, or a connection that went away before it was taken
        Client* slot = freeSlot(s);
        if (!slot) {
            // Clients that hung up since the last poll give their places first.
            const auto now = Clock::now();
            for (Client& c : s.clients)
                if (c.fd >= 0) serveClient(c, wantsInput(c), false, now);
            slot = freeSlot(s);
        }
        if (!slot) {
            refuse(fd);
            continue;
        }
        slot->fd = fd;
    }
}

// Serves the socket's clients on one task until the stop: accepting, reading, running commands
// and sending answers never waits for a client.
void serveLoop() {
    taskNameThread("tShell"); // the commands run here and log under its name
    Shell& s = shell();
    std::vector<pollfd> fds;
    std::vector<Client*> owners;
    while (s.run.load()) {
        fds.clear();
        owners.clear();
        fds.push_back({s.wakeFds[0], POLLIN, 0});
        fds.push_back({s.listenFd, POLLIN, 0});
        bool waiting = false;
        for (Client& c : s.clients) {
            if (c.fd < 0) continue;
            short events = wantsInput(c) ? POLLIN : 0;
            if (!c.out.empty()) events |= POLLOUT, waiting = true;
            fds.push_back({c.fd, events, 0});
            owners.push_back(&c);
        }
        // While answers wait, wake in time to drop a client that stopped taking them.
        const int pr = poll(fds.data(), fds.size(), waiting ? 50 : -1);
        if (pr < 0 && errno != EINTR) break;
        if (!s.run.load()) break;
        const auto now = Clock::now();
        for (size_t i = 0; i < owners.size(); ++i) {
            const short re = pr > 0 ? fds[i + 2].revents : 0;
            // A hang-up is read as the end of the input; an error ends the client.
            if (owners[i]->fd >= 0)
                serveClient(*owners[i], re & (POLLIN | POLLHUP), re & (POLLERR | POLLNVAL), now);
        }
        if (pr > 0 && (fds[1].revents & POLLIN)) acceptAll(s);
    }
    for (Client& c : s.clients)
        if (c.fd >= 0) closeClient(c);
}

// The terminal: one line at a time, answers written to stdout.
void stdinLoop() {
    taskNameThread("tShellTty");
    Shell& s = shell();
    LineSplitter lines;
    char buf[4096];
    while (s.run.load()) {
        pollfd p{0, POLLIN, 0};
        const int pr = poll(&p, 1, 100);
        if (pr < 0 && errno != EINTR) break;
        if (pr <= 0) continue;
        const ssize_t n = ::read(0, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (!lines.feed(buf[i])) continue;
            std::string out;
            lines.answer(&out);
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
        }
    }
}

void closeFds(Shell& s) {
    for (int* fd : {&s.listenFd, &s.wakeFds[0], &s.wakeFds[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
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
    auto fail = [&](const std::string& why) {
        if (error) *error = why + ": " + std::strerror(errno);
        closeFds(s);
        return false;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(addr.sun_path)) {
        if (error) *error = "shell socket path too long: " + socketPath;
        return false;
    }
    std::strcpy(addr.sun_path, socketPath.c_str());
    s.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.listenFd < 0) return fail("shell socket");
    ::unlink(socketPath.c_str());
    if (::bind(s.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(s.listenFd, 64) != 0)
        return fail("shell socket " + socketPath);
    if (::pipe2(s.wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return fail("shell wake-up pipe");
    s.socketPath = socketPath;
    s.run.store(true);
    s.loopThread = std::thread(serveLoop);
    if (useStdin && isatty(0)) s.stdinThread = std::thread(stdinLoop);
    return true;
}

void shellhost_stop() {
    Shell& s = shell();
    if (!s.run.exchange(false)) return;
    (void)!::write(s.wakeFds[1], "x", 1);
    // A command may be stopping the process from the shell's own task: never join the caller.
    const auto self = std::this_thread::get_id();
    for (std::thread* t : {&s.loopThread, &s.stdinThread}) {
        if (!t->joinable()) continue;
        if (t->get_id() == self)
            t->detach();
        else
            t->join();
    }
    closeFds(s);
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
