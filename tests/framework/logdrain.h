// Reads back what the framework put into "/syslogq".
#pragma once

#include "platform/rtos.h"
#include "platform/syslogq.h"

#include <string>
#include <vector>

namespace testlog {

inline std::vector<std::string> drain() {
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    std::vector<std::string> out;
    SyslogRecord rec;
    while (q && msgQReceive(q, &rec, sizeof(rec), NO_WAIT) == ssize_t(sizeof(rec)))
        out.push_back(rec.message);
    return out;
}

inline int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    int n = 0;
    for (auto& l : lines) n += l.find(text) != std::string::npos;
    return n;
}

} // namespace testlog
