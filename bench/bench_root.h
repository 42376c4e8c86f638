// A folder of the benchmark's own under $TMPDIR (or /tmp), made fresh for it.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace msdbench {

// Makes "<tmp>/<stem>.XXXXXX" and gives its path; aborts when it cannot (a benchmark without its
// folder measures nothing).
inline std::string tempFolder(const std::string& stem) {
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/" + stem + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    return buf.data();
}

} // namespace msdbench
