// The record that the application puts into "/syslogq" and the host's log reader, which stands in
// for the device's log process: it writes each record as a line to a log file and, up to a chosen
// severity, to stderr.
//
// The log file is bounded: a line that would take it past the limit first moves it to
// "<file>.1" (replacing the older one). The session's first lines (the reader's from its start up
// to the record marked SYSLOG_HEAD_END, at most a quarter of the bound and 64 KiB) are kept: each
// new file begins with them, after a line that names them. A line is written whole or not at all;
// lines that cannot be written (a full disk) are counted, the first failure of a run is reported
// on stderr, and once a line fits again the count goes into the log ahead of it.
//
// Every record passes the flood guard (syslog_guard.h) first: one text is written at most a few
// times a second, its repetitions beyond that as a count.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* SYSLOG_QUEUE_NAME = "/syslogq";
inline constexpr int SYSLOG_QUEUE_DEPTH = 512;
inline constexpr int SYSLOG_MESSAGE_MAX = 200;
inline constexpr uint64_t SYSLOG_FILE_MAX_DEFAULT = 4 * 1024 * 1024;
inline constexpr int SYSLOG_READER_PRIORITY = 148; // the reader's own line: a warning

// SyslogRecord::flags: the session's first lines end with this record (the measurement's start).
inline constexpr uint32_t SYSLOG_HEAD_END = 1;
inline constexpr uint64_t SYSLOG_HEAD_MAX = 64 * 1024;

struct SyslogRecord {
    int32_t priority; // facility * 8 + severity
    uint32_t timeSec; // application clock, seconds since 1970
    uint32_t flags;   // SYSLOG_HEAD_END
    char tag[48];     // "<millisecond time> <task name>"
    char origin[24];  // the application that wrote it
    char message[SYSLOG_MESSAGE_MAX + 1];
};

// Starts reading "/syslogq" (created here if missing) into `logFile` (appended); records whose
// severity (priority & 7) is at most `stderrMaxSeverity` are also written to stderr.
bool syslogreader_start(const std::string& logFile, int stderrMaxSeverity, std::string* error);
// Size bound of the log file in bytes (SYSLOG_FILE_MAX_DEFAULT until set).
void syslogreader_setFileMax(uint64_t bytes);
// Writes what is still queued and stops the reader.
void syslogreader_stop();
// Formats a record as the reader writes it (no newline).
std::string syslogreader_format(const SyslogRecord& rec);
// Appends one line to `logFile` without the reader, as the reader writes a record of `priority` from
// `origin`, the message whole: for a start refused before the reader runs. The log's folder is made
// when missing; the file is never moved on (it may be the log of the running process that holds
// what was refused). False with the reason in `error`.
bool syslogreader_appendLine(const std::string& logFile, int priority, const std::string& origin,
                             const std::string& message, std::string* error);
