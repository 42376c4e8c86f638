// The record that the application puts into "/syslogq" and the host's log reader, which stands in
// for the device's log process: it writes each record as a line to a log file and, up to a chosen
// severity, to stderr.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* SYSLOG_QUEUE_NAME = "/syslogq";
inline constexpr int SYSLOG_QUEUE_DEPTH = 512;
inline constexpr int SYSLOG_MESSAGE_MAX = 200;

struct SyslogRecord {
    int32_t priority;  // facility * 8 + severity
    uint32_t timeSec;  // application clock, seconds since 1970
    char tag[48];      // "<millisecond time> <task name>"
    char origin[24];   // the application that wrote it
    char message[SYSLOG_MESSAGE_MAX + 1];
};

// Starts reading "/syslogq" (created here if missing) into `logFile` (appended); records whose
// severity (priority & 7) is at most `stderrMaxSeverity` are also written to stderr.
bool syslogreader_start(const std::string& logFile, int stderrMaxSeverity, std::string* error);
// Writes what is still queued and stops the reader.
void syslogreader_stop();
// Formats a record as the reader writes it (no newline).
std::string syslogreader_format(const SyslogRecord& rec);
