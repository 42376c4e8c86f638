#include "platform/board/serial.h"

#include "platform/board/serial_fixtime.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Port {
    SerialPortMap map;
    int baud = SERIAL_DEFAULT_BAUD;
    int master = -1; // pty: the application's end, non-blocking
    int slave = -1;  // pty: held open so the line never hangs up when a peer detaches
    std::string link;
};

// One open descriptor. The descriptor is closed when the last user lets go of the handle, so a
// read blocked in another thread never sees its number reused.
struct Handle {
    int port = 0;
    SerialKind kind = SerialKind::Pty;
    int fd = -1;
    int cancel = -1; // eventfd, signalled by serial_close
    bool canRead = true;
    bool canWrite = true;

    std::mutex paceLock; // replay pacing
    int baud = SERIAL_DEFAULT_BAUD;
    Clock::time_point paceStart;
    uint64_t delivered = 0;
    std::string ahead;      // replay: bytes read from the file, not yet delivered
    bool fileEnd = false;   // replay: the file has nothing beyond `ahead`
    bool headPaced = false; // replay: the line at the head of `ahead` has its start set
    bool timed = false;     // replay: a fix time was seen; fix times count from fixBase
    Clock::time_point fixBase;
    int64_t lastFix = 0;      // replay: milliseconds of the last fix after fixBase's fix
    int64_t lastFixOfDay = 0; // replay: the last fix's time, milliseconds since midnight

    ~Handle() {
        if (fd >= 0) ::close(fd);
        if (cancel >= 0) ::close(cancel);
    }
};

std::mutex g_lock;
std::string g_root;
int g_appIndex = 0;
bool g_configured = false;
Port g_ports[SERIAL_PORTS];
std::map<int, std::shared_ptr<Handle>> g_handles;

std::string linkPath(int port) {
    std::string name = "/tty/tyCo" + std::to_string(port);
    if (g_appIndex != 0) name += "-" + std::to_string(g_appIndex);
    return g_root + name;
}

void closePty(Port& p) {
    if (!p.link.empty()) ::unlink(p.link.c_str());
    if (p.slave >= 0) ::close(p.slave);
    if (p.master >= 0) ::close(p.master);
    p.master = p.slave = -1;
    p.link.clear();
}

speed_t termiosSpeed(int baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

bool applyPtyBaud(int slave, int baud) {
    speed_t speed = termiosSpeed(baud);
    termios t{};
    if (speed == B0 || tcgetattr(slave, &t) != 0) return false;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(slave, TCSANOW, &t) == 0;
}

// Makes the port's pseudo-terminal and publishes its other end. Called with g_lock held.
bool openPty(Port& p, int port, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        closePty(p);
        return false;
    };
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0) return fail("posix_openpt");
    char name[128];
    if (grantpt(p.master) != 0 || unlockpt(p.master) != 0 || ptsname_r(p.master, name, sizeof name) != 0)
        return fail("pseudo-terminal set-up");
    p.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave < 0) return fail(std::string("open ") + name);
    termios t{};
    if (tcgetattr(p.slave, &t) != 0) return fail("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(p.slave, TCSANOW, &t) != 0) return fail("tcsetattr");
    applyPtyBaud(p.slave, p.baud);
    int fl = fcntl(p.master, F_GETFL);
    if (fl < 0 || fcntl(p.master, F_SETFL, fl | O_NONBLOCK) != 0) return fail("fcntl");

    // Publish through a temporary link renamed over the old one, so the path is never missing.
    std::string link = linkPath(port);
    std::string tmp = link + ".new";
    ::mkdir((g_root + "/tty").c_str(), 0755);
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0) return fail("symlink " + tmp);
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return fail("publish " + link);
    }
    p.link = link;
    return true;
}

int portOfName(const char* name) {
    if (name == nullptr) return -1;
    if (std::strcmp(name, "/tyCo/0") == 0) return 0;
    if (std::strcmp(name, "/tyCo/1") == 0) return 1;
    return -1;
}

std::shared_ptr<Handle> findHandle(int fd) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(fd);
    if (it == g_handles.end()) return nullptr;
    return it->second;
}

// A time-out in ms as the point in time it ends; none for a negative time-out (wait forever).
std::optional<Clock::time_point> deadlineIn(int timeoutMs) {
    if (timeoutMs < 0) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Waits until `fd` is readable (fd < 0: only for the cancel signal) or until `deadline`, to the
// nanosecond: a wait that ended early in whole milliseconds would turn every wait below one into
// a poll that returns at once. 1 readable, 0 deadline passed, -1 cancelled or error.
int waitReadable(const Handle& h, int fd, std::optional<Clock::time_point> deadline) {
    pollfd fds[2] = {{h.cancel, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        timespec left{};
        if (deadline) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count();
            if (ns > 0) left = timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
        }
        int r = ::ppoll(fds, fd >= 0 ? 2 : 1, deadline ? &left : nullptr, nullptr);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (fds[0].revents) {
            errno = EBADF;
            return -1;
        }
        if (r == 0) return 0;
        if (fds[1].revents & POLLIN) return 1;
        errno = EIO;
        return -1; // hang-up or error on the line
    }
}

bool passed(const std::optional<Clock::time_point>& deadline) {
    return deadline && Clock::now() >= *deadline;
}

ssize_t readStream(Handle& h, void* buf, size_t n, int timeoutMs) {
    const std::optional<Clock::time_point> deadline = deadlineIn(timeoutMs);
    for (;;) {
        int w = waitReadable(h, h.fd, deadline);
        if (w <= 0) return w;
        ssize_t got = ::read(h.fd, buf, n);
        if (got > 0) return got;
        if (got < 0 && errno != EAGAIN && errno != EINTR) return -1;
        // Another reader took the data first: wait again for what is left of the time-out.
        if (passed(deadline)) return 0;
    }
}

// Rounded up, so that a wait until a byte is due never ends just before it.
Clock::duration seconds(double s) {
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(s));
}

// Replay: how many of the next bytes make the next hand-over: up to and including the next line
// end, at most n; the rest of the file at its end. Reads the file ahead as far as needed; -1 when
// it cannot be read.
ssize_t nextHandOver(Handle& h, size_t n) {
    for (;;) {
        const size_t limit = std::min(n, h.ahead.size());
        if (const void* lf = std::memchr(h.ahead.data(), '\n', limit))
            return static_cast<const char*>(lf) - h.ahead.data() + 1;
        if (h.ahead.size() >= n) return ssize_t(n);
        if (h.fileEnd) return ssize_t(h.ahead.size());
        char chunk[4096];
        const ssize_t got = ::read(h.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) h.fileEnd = true;
        h.ahead.append(chunk, size_t(got));
    }
}

// Replay: sets when the line at the head of `ahead` starts on the wire, once per line. A receiver
// sends each fix's sentences when the fix is made: a line that carries a fix time starts no sooner
// than that time, counted from the trace's first fix, which goes at once; any line starts no
// sooner than the line before it has ended at the line's rate. A line starting after a pause
// starts a new pace, so a pause never lets the next lines go faster than the rate.
// A fix follows the one before it by at most a receiver's longest pause, also across midnight
// (a day that ends in a leap second, 23:59:60, is a second longer). A step back, or on by more, is
// a receiver that started again (after a cold boot its clock may say 23:59:48 of the day before,
// after 00:03:45) or two logs joined: the trace starts again at once from that fix, so no replay
// waits longer than that pause for a fix. Steps are whole milliseconds: a pause of exactly the
// longest is one run whatever the fix times' fractions.
int paceHead(Handle& h) {
    constexpr size_t kLongest = 256;         // longer than any sentence
    constexpr int64_t kLongestPause = 60000; // ms between two fixes of one receiver's run
    constexpr int64_t kDay = 86400000;       // ms
    if (h.headPaced) return 0;
    const ssize_t length = nextHandOver(h, kLongest);
    if (length <= 0) return int(length); // unreadable, or the end of the data
    h.headPaced = true;
    int64_t fix = 0;
    if (!serial_fixTime(h.ahead.data(), size_t(length), &fix)) return 0;
    const Clock::time_point lineFree = h.paceStart + seconds(double(h.delivered) / (h.baud / 10.0));
    int64_t step = fix - h.lastFixOfDay;
    const int64_t day = h.lastFixOfDay >= kDay ? kDay + 1000 : kDay; // from 23:59:60 a second more
    if (step < 0 && step + day <= kLongestPause) step += day;        // past midnight
    if (!h.timed || step < 0 || step > kLongestPause) {              // the first fix, or a new start
        h.timed = true;
        h.fixBase = lineFree;
        step = 0;
        h.lastFix = 0;
    }
    h.lastFix += step;
    h.lastFixOfDay = fix;
    const Clock::time_point due = h.fixBase + std::chrono::milliseconds(h.lastFix);
    if (due > lineFree) {
        h.paceStart = due;
        h.delivered = 0;
    }
    return 0;
}

// A replayed file is handed over a line at a time, once the line's last byte is due at the line's
// rate (as the receiver's port in line mode does): a reader wakes once per line, not once per
// byte. At the time-out the bytes due so far are handed over.
ssize_t readReplay(Handle& h, void* buf, size_t n, int timeoutMs) {
    const std::optional<Clock::time_point> deadline = deadlineIn(timeoutMs);
    for (;;) {
        std::unique_lock<std::mutex> pace(h.paceLock);
        if (paceHead(h) < 0) return -1;
        const ssize_t want = nextHandOver(h, n);
        if (want < 0) return -1;
        const double bytesPerSecond = h.baud / 10.0;
        const double elapsed =
            std::max(0.0, std::chrono::duration<double>(Clock::now() - h.paceStart).count());
        const uint64_t allowed = uint64_t(elapsed * bytesPerSecond);
        const size_t due =
            allowed > h.delivered ? size_t(std::min<uint64_t>(allowed - h.delivered, uint64_t(want))) : 0;
        const bool late = passed(deadline);
        if (want > 0 && (due == size_t(want) || (late && due > 0))) {
            std::memcpy(buf, h.ahead.data(), due);
            if (h.ahead[due - 1] == '\n') h.headPaced = false;
            h.ahead.erase(0, due);
            h.delivered += due;
            return ssize_t(due);
        }
        // Sleep until the hand-over is due; at the end of the data sleep out the time-out.
        if (late) return 0;
        std::optional<Clock::time_point> until = deadline;
        if (want > 0) {
            const Clock::time_point next =
                h.paceStart + seconds(std::min(double(h.delivered + uint64_t(want)) / bytesPerSecond, 1e9));
            if (!until || next < *until) until = next;
        }
        pace.unlock();
        if (waitReadable(h, -1, until) < 0) return -1;
    }
}

} // namespace

bool serial_parseMapping(const std::string& text, const std::string& deviceRoot, SerialPortMap* out,
                         std::string* error) {
    SerialPortMap m;
    std::string path;
    if (text == "pty") {
        m.kind = SerialKind::Pty;
    } else if (text.rfind("file:", 0) == 0) {
        m.kind = SerialKind::File;
        path = text.substr(5);
    } else if (text.rfind("fifo:", 0) == 0) {
        m.kind = SerialKind::Fifo;
        path = text.substr(5);
    } else {
        if (error) *error = "serial mapping '" + text + "' is not pty, file:<path> or fifo:<path>";
        return false;
    }
    if (m.kind != SerialKind::Pty) {
        if (path.empty()) {
            if (error) *error = "serial mapping '" + text + "' names no path";
            return false;
        }
        m.path = path[0] == '/' ? path : deviceRoot + "/" + path;
    }
    if (out) *out = m;
    return true;
}

void serial_configure(const std::string& deviceRoot, int appIndex, const SerialPortMap ports[SERIAL_PORTS]) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (Port& p : g_ports) closePty(p);
    g_root = deviceRoot;
    g_appIndex = appIndex;
    for (int i = 0; i < SERIAL_PORTS; ++i) {
        g_ports[i] = Port{};
        if (ports) g_ports[i].map = ports[i];
    }
    g_configured = true;
}

std::string serial_publishedPath(int port) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_configured || port < 0 || port >= SERIAL_PORTS) return {};
    return linkPath(port);
}

int serial_open(const char* name, std::string* error, int flags) {
    const int port = portOfName(name);
    auto fail = [&](const std::string& why) {
        if (error) *error = std::string(name ? name : "(null)") + ": " + why;
        return -1;
    };
    if (port < 0) return fail("no such serial device");
    const int access = flags & O_ACCMODE;
    if (access != O_RDONLY && access != O_WRONLY && access != O_RDWR) return fail("bad open flags");

    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_configured) return fail("serial ports not configured");
    Port& p = g_ports[port];
    auto h = std::make_shared<Handle>();
    h->port = port;
    h->kind = p.map.kind;
    h->canRead = access != O_WRONLY;
    h->canWrite = access != O_RDONLY;
    h->baud = p.baud;
    h->cancel = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->cancel < 0) return fail(std::string("eventfd: ") + std::strerror(errno));

    switch (p.map.kind) {
    case SerialKind::Pty: {
        std::string why;
        if (p.master < 0 && !openPty(p, port, &why)) return fail(why);
        h->fd = fcntl(p.master, F_DUPFD_CLOEXEC, 0);
        break;
    }
    case SerialKind::File:
        h->fd = ::open(p.map.path.c_str(), O_RDONLY | O_CLOEXEC);
        h->paceStart = Clock::now();
        break;
    case SerialKind::Fifo: {
        if (::mkfifo(p.map.path.c_str(), 0644) != 0 && errno != EEXIST)
            return fail("mkfifo " + p.map.path + ": " + std::strerror(errno));
        // Read-write, so the FIFO never reads as ended while no writer is attached.
        h->fd = ::open(p.map.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (h->fd >= 0 && (fstat(h->fd, &st) != 0 || !S_ISFIFO(st.st_mode)))
            return fail(p.map.path + " is not a FIFO");
        break;
    }
    }
    if (h->fd < 0) {
        const std::string what = p.map.kind == SerialKind::Pty ? "pty" : p.map.path;
        return fail(what + ": " + std::strerror(errno));
    }
    g_handles[h->fd] = h;
    return h->fd;
}

ssize_t serial_read(int fd, void* buf, size_t n, int timeoutMs) {
    std::shared_ptr<Handle> h = findHandle(fd);
    if (!h || !h->canRead || (buf == nullptr && n > 0)) {
        errno = EBADF;
        return -1;
    }
    if (n == 0) return 0;
    return h->kind == SerialKind::File ? readReplay(*h, buf, n, timeoutMs)
                                       : readStream(*h, buf, n, timeoutMs);
}

ssize_t serial_write(int fd, const void* buf, size_t n) {
    std::shared_ptr<Handle> h = findHandle(fd);
    if (!h || !h->canWrite || (buf == nullptr && n > 0)) {
        errno = EBADF;
        return -1;
    }
    if (h->kind == SerialKind::File) return ssize_t(n);
    const char* p = static_cast<const char*>(buf);
    size_t left = n;
    while (left > 0) {
        ssize_t put = ::write(h->fd, p, left);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) break; // nobody drains the line: the rest is lost
        if (put < 0) return -1;
        p += put;
        left -= size_t(put);
    }
    return ssize_t(n);
}

int serial_setBaud(int fd, int baud) {
    std::shared_ptr<Handle> h = findHandle(fd);
    if (!h || baud <= 0) {
        errno = h ? EINVAL : EBADF;
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Port& p = g_ports[h->port];
        if (h->kind == SerialKind::Pty && (p.slave < 0 || !applyPtyBaud(p.slave, baud))) {
            errno = EINVAL;
            return -1;
        }
        p.baud = baud;
    }
    // A new rate starts a new pace from here.
    std::lock_guard<std::mutex> pace(h->paceLock);
    h->baud = baud;
    h->paceStart = Clock::now();
    h->delivered = 0;
    return 0;
}

void serial_close(int fd) {
    std::shared_ptr<Handle> h;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find(fd);
        if (it == g_handles.end()) return;
        h = std::move(it->second);
        g_handles.erase(it);
    }
    uint64_t one = 1;
    (void)!::write(h->cancel, &one, sizeof one);
}

void serial_shutdown() {
    std::map<int, std::shared_ptr<Handle>> handles;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handles.swap(g_handles);
        for (Port& p : g_ports) closePty(p);
    }
    for (auto& [fd, h] : handles) {
        uint64_t one = 1;
        (void)!::write(h->cancel, &one, sizeof one);
    }
}
