#include "platform/syslogq.h"

#include "platform/rtos.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

struct Reader {
    std::mutex m;
    std::thread thread;
    std::atomic<bool> run{false};
    FILE* file = nullptr;
    int stderrMax = 6;
    MSG_Q_ID queue = MSG_Q_ID_NULL;
};

Reader& reader() {
    static auto* r = new Reader;
    return *r;
}

void writeOne(Reader& r, const SyslogRecord& rec) {
    const std::string line = syslogreader_format(rec);
    if (r.file) {
        std::fprintf(r.file, "%s\n", line.c_str());
        std::fflush(r.file);
    }
    if ((rec.priority & 7) <= r.stderrMax) std::fprintf(stderr, "%s\n", line.c_str());
}

void loop() {
    Reader& r = reader();
    SyslogRecord rec;
    while (r.run.load()) {
        const ssize_t n = msgQReceive(r.queue, &rec, sizeof(rec), 100);
        if (n == ssize_t(sizeof(rec))) writeOne(r, rec);
    }
    while (msgQReceive(r.queue, &rec, sizeof(rec), NO_WAIT) == ssize_t(sizeof(rec))) writeOne(r, rec);
}

} // namespace

std::string syslogreader_format(const SyslogRecord& rec) {
    char when[32];
    const time_t t = time_t(rec.timeSec);
    struct tm tmv;
    gmtime_r(&t, &tmv);
    std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tmv);
    SyslogRecord copy = rec; // the fields may lack their terminators in a damaged record
    copy.tag[sizeof(copy.tag) - 1] = '\0';
    copy.origin[sizeof(copy.origin) - 1] = '\0';
    copy.message[sizeof(copy.message) - 1] = '\0';
    char line[400];
    std::snprintf(line, sizeof(line), "%s <%d> %s %s: %s", when, int(rec.priority), copy.tag, copy.origin,
                  copy.message);
    return line;
}

bool syslogreader_start(const std::string& logFile, int stderrMaxSeverity, std::string* error) {
    Reader& r = reader();
    std::lock_guard<std::mutex> lk(r.m);
    if (r.run.load()) return true;
    r.queue = msgQOpen(SYSLOG_QUEUE_NAME, SYSLOG_QUEUE_DEPTH, int(sizeof(SyslogRecord)), MSG_Q_FIFO, OM_CREATE,
                       nullptr);
    if (!r.queue) {
        if (error) *error = "cannot open the log queue";
        return false;
    }
    r.file = logFile.empty() ? nullptr : std::fopen(logFile.c_str(), "a");
    if (!logFile.empty() && !r.file) {
        if (error) *error = "cannot open log file '" + logFile + "'";
        return false;
    }
    r.stderrMax = stderrMaxSeverity;
    r.run.store(true);
    r.thread = std::thread(loop);
    return true;
}

void syslogreader_stop() {
    Reader& r = reader();
    std::lock_guard<std::mutex> lk(r.m);
    if (!r.run.load()) return;
    r.run.store(false);
    if (r.thread.joinable()) r.thread.join();
    if (r.file) std::fclose(r.file);
    r.file = nullptr;
}
