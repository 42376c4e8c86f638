#include "campaign.h"

#include "app_process.h"
#include "measfile.h"
#include "testsupport.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace campaign {

std::vector<std::string> measurementFiles(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.size() == 12 && (name[0] == 'A' || name[0] == 'B') && name[8] == '.')
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

FileState fileState(const std::string& dir, const std::string& name) {
    FileState s;
    s.name = name;
    const std::string path = dir + "/" + name;
    s.exists = std::filesystem::exists(path);
    if (!s.exists) return s;
    s.readOnly = testsupport::readOnly(path);
    const measfile::File f = measfile::readFile(path);
    if (!f.ok())
        s.why = "does not parse: " + f.error;
    else if (f.truncated)
        s.why = "ends in a piece cut short";
    else if (f.metas.empty() || f.metas.back().type != 2)
        s.why = "does not end with its status block";
    else if (!s.readOnly)
        s.why = "is whole but writable";
    s.whole = s.why.empty();
    return s;
}

bool namedUnfinished(const std::string& log, const std::string& name, const std::string& drive) {
    static const std::string kOn = "not finished on ";
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(name) == std::string::npos || line.find("not finished") == std::string::npos) continue;
        if (drive.empty() || line.find(kOn) == std::string::npos ||
            line.find(kOn + drive) != std::string::npos)
            return true;
    }
    return false;
}

std::vector<std::string> checkDrives(const std::string& measDir, const std::string& stickDir,
                                     const std::string& log) {
    std::vector<std::string> broken;
    for (const std::string* dir : {&measDir, &stickDir}) {
        const std::string& other = dir == &measDir ? stickDir : measDir;
        for (const std::string& name : measurementFiles(*dir)) {
            const FileState s = fileState(*dir, name);
            if (s.whole) {
                const FileState o = fileState(other, name);
                if (o.whole &&
                    testsupport::readBinary(*dir + "/" + name) != testsupport::readBinary(other + "/" + name))
                    broken.push_back(*dir + "/" + name + " differs from its copy on the other drive");
                continue;
            }
            if (s.readOnly)
                broken.push_back(*dir + "/" + name + " is read-only but not whole: it " + s.why);
            else if (!namedUnfinished(log, name))
                broken.push_back(*dir + "/" + name + " is not whole (it " + s.why +
                                 ") and no line names it not finished");
        }
    }
    return broken;
}

std::vector<std::string> filesMade(const std::string& log) {
    static const std::string kMade = "VirtualFile::VirtualFile() created", kNamed = " is named ",
                             kWhy = ": the start's files go on after the absolute laps the drives hold";
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(kMade) != std::string::npos) out.push_back(line.substr(line.rfind(' ') + 1));
        // A file made while the start's search read the drives, under the name it takes then:
        // "meas_app_main(): A0201000.001 is named A0201000.301: ...".
        const size_t named = line.find(kNamed), why = line.find(kWhy);
        if (named == std::string::npos || why == std::string::npos || named < 12) continue;
        const std::string from = line.substr(named - 12, 12), to = line.substr(named + kNamed.size(), 12);
        const auto it = std::find(out.rbegin(), out.rend(), from);
        if (it != out.rend()) *it = to;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> unfinishedAtExit(const std::string& log) {
    static const std::string kLook = "main(): ", kNot = " is not finished ";
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(kLook), n = line.find(kNot);
        if (at == std::string::npos || n == std::string::npos || n < at) continue;
        const std::string name = line.substr(at + kLook.size(), n - at - kLook.size());
        if (name.find(' ') == std::string::npos) out.emplace_back(name, line.substr(n + kNot.size()));
    }
    return out;
}

size_t recordsIn(const std::string& dir, uint8_t frameId) {
    size_t n = 0;
    for (const std::string& name : measurementFiles(dir)) {
        const measfile::File f = measfile::readFile(dir + "/" + name);
        if (f.ok()) n += f.recordsOf(frameId).size();
    }
    return n;
}

int absLapOf(const std::string& name) {
    if (name.size() != 12 || name[8] != '.') return -1;
    const std::string digits = name.substr(5, 3) + name.substr(9, 1);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return int(std::strtol(digits.c_str(), nullptr, 16));
}

std::map<std::string, size_t> recordsByFile(const std::string& dir, uint8_t frameId) {
    std::map<std::string, size_t> out;
    for (const std::string& name : measurementFiles(dir)) {
        const measfile::File f = measfile::readFile(dir + "/" + name);
        out[name] = f.ok() ? f.recordsOf(frameId).size() : 0;
    }
    return out;
}

namespace {

bool edgeRecord(const std::string& dir, uint8_t frameId, uint32_t* ts, bool last) {
    bool found = false;
    for (const std::string& name : measurementFiles(dir)) {
        const measfile::File f = measfile::readFile(dir + "/" + name);
        if (!f.ok()) continue;
        const std::vector<measfile::Record> records = f.recordsOf(frameId);
        if (records.empty()) continue;
        const uint32_t t = last ? records.back().ts : records.front().ts;
        if (!found || (int32_t(t - *ts) < 0) != last) *ts = t;
        found = true;
    }
    return found;
}

} // namespace

bool firstRecord(const std::string& dir, uint8_t frameId, uint32_t* ts) {
    return edgeRecord(dir, frameId, ts, false);
}

std::string recordGap(const std::string& dir, uint8_t frameId, uint32_t step) {
    std::vector<uint32_t> stamps;
    for (const std::string& name : measurementFiles(dir))
        for (const auto& r : measfile::readFile(dir + "/" + name).recordsOf(frameId)) stamps.push_back(r.ts);
    std::sort(stamps.begin(), stamps.end());
    for (size_t i = 1; i < stamps.size(); ++i)
        if (stamps[i] - stamps[i - 1] != step) {
            char text[64];
            std::snprintf(text, sizeof text, "between %.1f s and %.1f s", stamps[i - 1] / 10000.0,
                          stamps[i] / 10000.0);
            return text;
        }
    return "";
}

bool lastRecord(const std::string& dir, uint8_t frameId, uint32_t* ts) {
    return edgeRecord(dir, frameId, ts, true);
}

namespace {

// The measurement file names in a line of the log ("A0101000.001").
std::vector<std::string> namesIn(const std::string& line) {
    std::vector<std::string> out;
    for (size_t at = 0; at + 12 <= line.size(); ++at) {
        if ((line[at] != 'A' && line[at] != 'B') || line[at + 8] != '.') continue;
        const std::string name = line.substr(at, 12);
        if (absLapOf(name) >= 0 && std::isxdigit(static_cast<unsigned char>(name[1])) &&
            std::isxdigit(static_cast<unsigned char>(name[10])) &&
            std::isxdigit(static_cast<unsigned char>(name[11])))
            out.push_back(name);
    }
    return out;
}

} // namespace

std::vector<std::string> saidFinished(const std::string& log) {
    static const std::string kPruned = "deleted file (", kAfterAll = " is finished on every drive after all";
    std::vector<std::string> out;
    std::set<std::string> named;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find("not finished") != std::string::npos)
            for (const std::string& n : namesIn(line)) named.insert(n);
        const size_t pruned = line.find(kPruned);
        if (pruned != std::string::npos && line.find(") from gFileQueue", pruned) != std::string::npos) {
            const std::string name = line.substr(pruned + kPruned.size(), 12);
            if (!named.count(name)) out.push_back(name);
        }
        const size_t afterAll = line.find(kAfterAll);
        if (afterAll != std::string::npos && afterAll >= 12) out.push_back(line.substr(afterAll - 12, 12));
    }
    return out;
}

std::map<std::string, uint64_t> partFiles(const std::string& dir) {
    std::map<std::string, uint64_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        struct stat st {};
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 &&
            ::stat(e.path().c_str(), &st) == 0)
            out[name] = uint64_t(st.st_ino);
    }
    return out;
}

std::pair<std::string, int> busiestText(const std::string& log) {
    std::map<std::pair<unsigned long, std::string>, int> counts;
    std::pair<std::string, int> most{"", 0};
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        unsigned long ms = 0;
        int at = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %*s %lu %n", &ms, &at) < 1 || at <= 0) continue;
        // Numbers, names and hexadecimal words with a digit in them masked.
        std::string text;
        for (size_t i = size_t(at); i < line.size();) {
            size_t j = i;
            bool digit = false;
            for (; j < line.size() && std::isxdigit(static_cast<unsigned char>(line[j])); ++j)
                digit = digit || std::isdigit(static_cast<unsigned char>(line[j]));
            if (j == i) {
                text += line[i++];
                continue;
            }
            text += digit ? std::string("#") : line.substr(i, j - i);
            i = j;
        }
        const int n = ++counts[{ms / 1000, text}];
        if (n > most.second) most = {text, n};
    }
    return most;
}

const char* nameOf(Logging state) {
    switch (state) {
    case Logging::Running:
        return "running";
    case Logging::Stopped:
        return "stopped";
    case Logging::Destroyed:
        return "destroyed";
    }
    return "?";
}

bool isRequest(uint8_t command) {
    return command == 0xE1 || command == 0xE0 || command == 0xD1 || command == 0xE2;
}

const char* receivedLine(uint8_t command) {
    switch (command) {
    case 0xD1:
        return "remotectrl_listenQueue() Flash request";
    case 0xE0:
        return "remotectrl_listenQueue() Plixor connected";
    case 0xE1:
        return "remotectrl_listenQueue() Trevanox connected";
    case 0xE2:
        return "remotectrl_listenQueue() DataTransferMeas connected";
    case 0xED:
        return "remotectrl_listenQueue() Plixor disconnected";
    case 0xEE:
        return "remotectrl_listenQueue() Trevanox disconnected";
    case 0xEF:
        return "remotectrl_listenQueue() DataTransferMeas disconnected";
    }
    return "remotectrl_listenQueue() received unknown command";
}

Logging after(Logging before, uint8_t command, bool taken) {
    if (!taken) return before;
    switch (command) {
    case 0xE1:
        return before == Logging::Running ? Logging::Stopped : before;
    case 0xE0:
    case 0xD1:
        return Logging::Destroyed;
    case 0xED:
        return Logging::Running;
    case 0xEE:
        return before == Logging::Stopped ? Logging::Running : before;
    default:
        return before;
    }
}

bool startsNewFile(Logging before, uint8_t command) {
    return command == 0xED || (command == 0xEE && before == Logging::Stopped);
}

std::vector<bool> takenByLog(const std::string& log, const std::vector<uint8_t>& commands) {
    std::vector<bool> out;
    size_t from = 0;
    for (size_t i = 0; i < commands.size(); ++i) {
        const uint8_t c = commands[i];
        const size_t at = log.find(receivedLine(c), from);
        const bool end = c == 0xED || c == 0xEE;
        if ((!isRequest(c) && !end) || at == std::string::npos) {
            out.push_back(true);
            continue;
        }
        from = at + 1;
        size_t next = std::string::npos;
        for (size_t j = i + 1; j < commands.size() && next == std::string::npos; ++j)
            next = log.find(receivedLine(commands[j]), from);
        const std::string mine = log.substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (end) {
            // Refused by its lock (the watch's own ask that is refused says so after its own line).
            const std::string what = c == 0xEE ? "remotestart" : "remoteinit";
            const size_t failed = mine.find("meas_app_" + what + ": failed");
            out.push_back(failed == std::string::npos ||
                          mine.rfind("remote lost, do a " + what, failed) != std::string::npos);
            continue;
        }
        const char* request = c == 0xE1   ? "meas_app_remotestop refused"
                              : c == 0xE2 ? "meas_app_remoteTransferBegin refused"
                                          : "meas_app_remotedestroy refused";
        out.push_back(mine.find(request) == std::string::npos &&
                      mine.find("behind another request: not carried out") == std::string::npos);
    }
    return out;
}

int pingsToTheDouble(testsupport::AppProcess& dev) {
    static const std::string kPings = "pings to the double: ";
    const std::string board = dev.shell("board", 2000);
    const size_t at = board.find(kPings);
    return at == std::string::npos ? -1 : std::atoi(board.c_str() + at + kPings.size());
}

int watchDecisions(const std::string& log) {
    return testsupport::countOf(log, "remote lost, do a remote") +
           testsupport::countOf(log, "remote lost, no remote");
}

std::string notCarriedOutWhileTaken(const std::string& log) {
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find("not carried out") != std::string::npos &&
            line.find("behind another request: not carried out") == std::string::npos)
            return line;
    return "";
}

std::string logWithAnswers(testsupport::AppProcess& dev, size_t from, int failedAnswers) {
    std::string log;
    testsupport::waitUntil(
        [&] {
            const std::string all = dev.logText();
            log = all.size() > from ? all.substr(from) : std::string();
            return testsupport::countOf(log, "answering MEAS_REPLY_ERROR") >= failedAnswers;
        },
        5000);
    return log;
}

namespace {

// A number of `meas_state`'s output ("meas_app_running           = 1"), -1 when it is not there.
int stateValue(const std::string& state, const std::string& key) {
    const size_t at = state.find(key + " ");
    if (at == std::string::npos) return -1;
    const size_t eq = state.find('=', at);
    return eq == std::string::npos ? -1 : std::atoi(state.c_str() + eq + 1);
}

} // namespace

int requestsPending(testsupport::AppProcess& dev) {
    const std::string state = dev.shell("meas_state", 2000);
    int pending = 0;
    for (const char* flag :
         {"meas_app_stopreq", "meas_app_blkstopreq", "meas_app_reinitreq", "meas_app_destroyreq"}) {
        const int v = stateValue(state, flag);
        if (v < 0) return -1;
        pending += v;
    }
    return pending;
}

std::string awaitLogging(testsupport::AppProcess& dev, const std::string& measDir, uint8_t frameId,
                         Logging expected, const std::map<std::string, size_t>& before, bool newFile,
                         int boundMs, bool strict) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(boundMs);
    std::string seen;
    for (;;) {
        if (expected == Logging::Running && strict) {
            for (const auto& [name, records] : recordsByFile(measDir, frameId)) {
                const auto was = before.find(name);
                if (newFile && was != before.end()) continue;
                if (records > (was == before.end() ? 0 : was->second)) return "";
            }
            seen =
                std::string("no new records") + (newFile ? " in a new file" : "") + " on the logging drive";
        } else {
            const std::string state = dev.shell("meas_state", 2000);
            const int running = stateValue(state, "meas_app_running");
            int pending = 0;
            for (const char* flag : {"meas_app_startreq", "meas_app_stopreq", "meas_app_blkstopreq",
                                     "meas_app_reinitreq", "meas_app_destroyreq"})
                pending += std::max(0, stateValue(state, flag));
            const int lock = stateValue(state, "remotectrl_remotestart_lock");
            std::string open;
            for (const std::string& name : measurementFiles(measDir))
                if (strict && !fileState(measDir, name).whole) open += " " + name;
            const bool on = expected == Logging::Running;
            if (running == (on ? 1 : 0) && pending == 0 &&
                (on || lock == (expected == Logging::Destroyed ? 1 : 0)) && open.empty())
                return "";
            if (running < 0 || lock < 0) {
                seen =
                    "meas_state answers: " + (state.empty() ? std::string("nothing") : state.substr(0, 200));
            } else
                seen = "meas_app_running " + std::to_string(running) + ", requests pending " +
                       std::to_string(pending) + ", remotestart_lock " + std::to_string(lock) +
                       (open.empty() ? std::string() : ", not whole on the logging drive:" + open);
        }
        if (Clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string("logging is not ") + nameOf(expected) + " within " + std::to_string(boundMs / 1000) +
           " s: " + seen;
}

bool whole() {
    const char* v = std::getenv("MSD_FAULT_CAMPAIGN");
    return v && std::string(v) == "all";
}

std::vector<size_t> sample(size_t total, size_t count, uint32_t seed) {
    std::vector<size_t> all(total);
    for (size_t i = 0; i < total; ++i) all[i] = i;
    if (whole() || count >= total) return all;
    std::mt19937 rng(seed);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(count);
    std::sort(all.begin(), all.end());
    return all;
}

} // namespace campaign
