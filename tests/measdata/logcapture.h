// The system log as the tests see it: what the module put into "/syslogq".
#pragma once

#include "testsupport.h"

#include "framework/syslog.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include <string>
#include <vector>

namespace measdata_test {

// Opens the log queue (once) and empties it.
inline void startLog() {
    static const bool opened = syslog_init(0);
    (void)opened;
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    SyslogRecord rec;
    while (q && msgQReceive(q, &rec, sizeof(rec), NO_WAIT) == ssize_t(sizeof(rec))) {
    }
}

// The messages logged since the last call.
inline std::vector<std::string> takeLog() { return testsupport::drainSyslog(); }

inline bool logged(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

} // namespace measdata_test
