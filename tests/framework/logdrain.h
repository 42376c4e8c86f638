// Reads back what the framework put into "/syslogq".
#pragma once

#include "testsupport.h"

#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include <string>
#include <vector>

namespace testlog {

inline std::vector<std::string> drain() { return testsupport::drainSyslog(); }

inline int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return testsupport::countContaining(lines, text);
}

} // namespace testlog
