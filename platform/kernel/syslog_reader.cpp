#include "platform/kernel/syslogq.h"

#include "platform/kernel/syslog_guard.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string formatLine(int priority, uint32_t timeSec, const char* tag, const char* origin,
                       const char* message);

struct Reader {
    std::mutex m;
    std::thread thread;
    std::atomic<bool> run{false};
    std::string path; // empty: no log file
    int fd = -1;
    std::atomic<uint64_t> fileMax{SYSLOG_FILE_MAX_DEFAULT};
    uint64_t lost = 0; // lines not written since the last one that was
    int lostErrno = 0;
    int stderrMax = 6;
    MSG_Q_ID queue = MSG_Q_ID_NULL;
    SyslogFloodGuard guard;
    std::vector<SyslogFloodGuard::Count> counts;
    // The session's first lines, written again at the top of each new file.
    std::string head;
    size_t headLines = 0;
    bool headOpen = true;
    bool headDue = false; // the current file does not begin with them yet
    std::string origin;   // of the session's records
};

Reader& reader() {
    static auto* r = new Reader;
    return *r;
}

constexpr int kHeadPriority = 150; // the line that names the kept head: information

uint64_t nowMs() {
    return hostclock_nowNs() / 1000000ULL;
}

int openLog(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// The current file goes to "<file>.1" (replacing the older one) and a new file begins.
void rotate(Reader& r) {
    r.headDue = true;
    if (::rename(r.path.c_str(), (r.path + ".1").c_str()) != 0) {
        // Without the older file the bound still holds: this one starts again.
        if (::ftruncate(r.fd, 0) == 0) return;
    }
    const int fd = openLog(r.path);
    if (fd < 0) return; // the old descriptor stays; the next line tries again
    ::close(r.fd);
    r.fd = fd;
}

// The kept head as it begins a new file: a line that names it, then its lines.
std::string headBlock(const Reader& r, uint32_t timeSec) {
    if (r.headLines == 0) return {};
    const std::string note = "log reader: the next " + std::to_string(r.headLines) +
                             " lines are the first of this session, kept over the rotation of the log";
    return formatLine(kHeadPriority, timeSec, "logreader", r.origin.c_str(), note.c_str()) + "\n" + r.head;
}

// Appends `text` (lines of time `timeSec`) whole or not at all; 0 or the errno of the failure.
int appendWhole(Reader& r, uint32_t timeSec, std::string text) {
    if (r.fd < 0) r.fd = openLog(r.path);
    if (r.fd < 0) return errno;
    struct stat st {};
    if (::fstat(r.fd, &st) != 0) return errno;
    if (st.st_size > 0 && uint64_t(st.st_size) + text.size() > r.fileMax.load()) {
        rotate(r);
        if (::fstat(r.fd, &st) != 0) return errno;
    }
    const bool withHead = r.headDue && st.st_size == 0;
    if (withHead) text = headBlock(r, timeSec) + text;
    size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(r.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(n);
    }
    // A line cut short by a full disk is taken back, so the next one never runs into it.
    if (err && done > 0 && ::ftruncate(r.fd, st.st_size) != 0) err = errno;
    if (withHead && err == 0) r.headDue = false;
    return err;
}

void mirror(const Reader& r, int priority, const std::string& line) {
    if ((priority & 7) <= r.stderrMax) std::fprintf(stderr, "%s", line.c_str());
}

// Writes one line (with its newline) to the file, and up to the chosen severity to stderr.
void writeLine(Reader& r, int priority, uint32_t timeSec, const std::string& line) {
    if (!r.path.empty()) {
        std::string text = line;
        std::string note;
        if (r.lost > 0) {
            // The count of the lines missing goes in with the first line that fits again.
            const std::string message = "log reader: " + std::to_string(r.lost) + " lines not written (" +
                                        std::strerror(r.lostErrno) + ")";
            note =
                formatLine(SYSLOG_READER_PRIORITY, timeSec, "logreader", r.origin.c_str(), message.c_str()) +
                "\n";
            text = note + text;
        }
        const int err = appendWhole(r, timeSec, text);
        if (err == 0 && r.lost > 0) {
            r.lost = 0;
            mirror(r, SYSLOG_READER_PRIORITY, note);
        } else if (err != 0 && r.lost++ == 0) {
            r.lostErrno = err;
            std::fprintf(stderr,
                         "log reader: cannot write '%s' (%s); lines are counted until it works again\n",
                         r.path.c_str(), std::strerror(err));
        }
        // The session's first lines, as long as they are not ended and fit the bound.
        if (r.headOpen) {
            const uint64_t max = std::min<uint64_t>(SYSLOG_HEAD_MAX, r.fileMax.load() / 4);
            if (r.head.size() + line.size() <= max) {
                r.head += line;
                ++r.headLines;
            } else {
                r.headOpen = false;
            }
        }
    }
    mirror(r, priority, line);
}

void writeCountLines(Reader& r) {
    for (const auto& c : r.counts) {
        SyslogRecord tagged = c.last; // the fields may lack their terminators in a damaged record
        tagged.tag[sizeof(tagged.tag) - 1] = '\0';
        tagged.origin[sizeof(tagged.origin) - 1] = '\0';
        writeLine(r, int(c.last.priority), c.last.timeSec,
                  formatLine(int(c.last.priority), c.last.timeSec, tagged.tag, tagged.origin,
                             SyslogFloodGuard::countMessage(c).c_str()) +
                      "\n");
    }
    r.counts.clear();
}

void writeCounts(Reader& r, uint64_t now, bool all) {
    r.counts.clear();
    r.guard.due(now, &r.counts, all);
    writeCountLines(r);
}

// When the record was logged: its tag's milliseconds, of the clock the reader reads too, so that a
// reader that ran late judges repetitions by the task's own time. A tag without a time, or one
// more than a minute old, counts as now.
uint64_t loggedAt(const SyslogRecord& rec, uint64_t now) {
    char tag[sizeof(rec.tag) + 1];
    std::memcpy(tag, rec.tag, sizeof(rec.tag));
    tag[sizeof(rec.tag)] = '\0';
    char* end = nullptr;
    const unsigned long ms = std::strtoul(tag, &end, 10);
    if (end == tag || *end != ' ') return now;
    const uint32_t behind = uint32_t(now) - uint32_t(ms);
    return behind <= 60000 ? now - behind : now;
}

// Writes or counts `rec`; when it was logged.
uint64_t writeOne(Reader& r, const SyslogRecord& rec) {
    if (r.origin.empty()) r.origin.assign(rec.origin, strnlen(rec.origin, sizeof(rec.origin)));
    const uint64_t at = loggedAt(rec, nowMs());
    r.counts.clear();
    const bool written = r.guard.admit(rec, at, &r.counts);
    writeCountLines(r); // what was held back of its text comes before it
    if (written) writeLine(r, int(rec.priority), rec.timeSec, syslogreader_format(rec) + "\n");
    if (rec.flags & SYSLOG_HEAD_END) r.headOpen = false;
    return at;
}

void loop() {
    taskNameThread("tLogReader");
    Reader& r = reader();
    SyslogRecord rec;
    while (r.run.load()) {
        const ssize_t n = msgQReceive(r.queue, &rec, sizeof(rec), 100);
        // While records come, the counts go by the time they were logged: a reader that runs late
        // takes a flood that still waits in the queue for one that has ended.
        writeCounts(r, n == ssize_t(sizeof(rec)) ? writeOne(r, rec) : nowMs(), false);
    }
    while (msgQReceive(r.queue, &rec, sizeof(rec), NO_WAIT) == ssize_t(sizeof(rec))) writeOne(r, rec);
    writeCounts(r, nowMs(), true);
}

} // namespace

namespace {

std::string formatLine(int priority, uint32_t timeSec, const char* tag, const char* origin,
                       const char* message) {
    char when[32];
    const time_t t = time_t(timeSec);
    struct tm tmv;
    gmtime_r(&t, &tmv);
    std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tmv);
    return std::string(when) + " <" + std::to_string(priority) + "> " + tag + " " + origin + ": " + message;
}

} // namespace

std::string syslogreader_format(const SyslogRecord& rec) {
    SyslogRecord copy = rec; // the fields may lack their terminators in a damaged record
    copy.tag[sizeof(copy.tag) - 1] = '\0';
    copy.origin[sizeof(copy.origin) - 1] = '\0';
    copy.message[sizeof(copy.message) - 1] = '\0';
    return formatLine(int(rec.priority), rec.timeSec, copy.tag, copy.origin, copy.message);
}

bool syslogreader_appendLine(const std::string& logFile, int priority, const std::string& origin,
                             const std::string& message, std::string* error) {
    const size_t slash = logFile.rfind('/');
    if (slash != std::string::npos && slash > 0 && ::mkdir(logFile.substr(0, slash).c_str(), 0755) != 0 &&
        errno != EEXIST) {
        if (error) *error = "cannot make the folder of log file '" + logFile + "': " + std::strerror(errno);
        return false;
    }
    const char* task = taskName(0);
    const std::string tag = std::to_string(hostclock_nowNs() / 1000000ULL) + " " + (task ? task : "?");
    const std::string line = formatLine(priority, uint32_t(hostclock_realtimeNs() / 1000000000LL),
                                        tag.c_str(), origin.c_str(), message.c_str()) +
                             "\n";
    const int fd = openLog(logFile);
    int err = fd < 0 ? errno : 0;
    // One write of the whole line: appended whole beside another process's lines.
    if (fd >= 0) {
        const ssize_t n = ::write(fd, line.data(), line.size());
        if (n != ssize_t(line.size())) err = n < 0 ? errno : ENOSPC;
    }
    if (fd >= 0) ::close(fd);
    if (err && error) *error = "cannot write log file '" + logFile + "': " + std::strerror(err);
    return err == 0;
}

bool syslogreader_start(const std::string& logFile, int stderrMaxSeverity, std::string* error) {
    Reader& r = reader();
    std::lock_guard<std::mutex> lk(r.m);
    if (r.run.load()) return true;
    r.queue = msgQOpen(SYSLOG_QUEUE_NAME, SYSLOG_QUEUE_DEPTH, int(sizeof(SyslogRecord)), MSG_Q_FIFO,
                       OM_CREATE, nullptr);
    if (!r.queue) {
        if (error) *error = "cannot open the log queue";
        return false;
    }
    r.path = logFile;
    r.fd = logFile.empty() ? -1 : openLog(logFile);
    if (!logFile.empty() && r.fd < 0) {
        if (error) *error = "cannot open log file '" + logFile + "': " + std::strerror(errno);
        return false;
    }
    r.lost = 0;
    r.stderrMax = stderrMaxSeverity;
    r.guard = SyslogFloodGuard();
    r.head.clear();
    r.headLines = 0;
    r.headOpen = true;
    r.headDue = false;
    r.origin.clear();
    r.run.store(true);
    r.thread = std::thread(loop);
    return true;
}

void syslogreader_setFileMax(uint64_t bytes) {
    reader().fileMax.store(bytes);
}

void syslogreader_stop() {
    Reader& r = reader();
    std::lock_guard<std::mutex> lk(r.m);
    if (!r.run.load()) return;
    r.run.store(false);
    if (r.thread.joinable()) r.thread.join();
    if (r.fd >= 0) ::close(r.fd);
    r.fd = -1;
}
