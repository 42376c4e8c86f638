#include "platform/kernel/appparam.h"

#include "platform/kernel/syslogq.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <utility>

#include <arpa/inet.h>
#include <sys/stat.h>

namespace {

constexpr uint16_t kDefaultPid[APPPARAM_APPS] = {16, 17};
constexpr uint16_t kDefaultXcpPort = 5555;
constexpr uint32_t kHighestBc2BasePort = 9861; // DK data link, the highest port the offset moves
constexpr size_t kMaxFileSize = 64 * 1024;

std::string dotted(uint32_t hostOrder) {
    in_addr a{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Unsigned number, decimal or 0x-hex, the whole text, not above max.
bool parseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + uint64_t(d);
        if (v > max) return false;
    }
    *out = v;
    return true;
}

bool parseAddress(const std::string& text, uint32_t* out) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *out = ntohl(a.s_addr);
    return true;
}

std::string folder(const std::string& value, const std::string& deviceRoot) {
    return value[0] == '/' ? value : deviceRoot + "/" + value;
}

// One key's parser: applies the value to the block or returns the reason it is refused.
using Setter = std::function<std::string(const std::string&, AppParam&)>;

Setter number(uint64_t min, uint64_t max, std::function<void(AppParam&, uint64_t)> store) {
    return [=](const std::string& v, AppParam& p) -> std::string {
        uint64_t n = 0;
        if (!parseNumber(v, max, &n) || n < min)
            return "bad number '" + v + "' (" + std::to_string(min) + ".." + std::to_string(max) + ")";
        store(p, n);
        return {};
    };
}

std::map<std::string, Setter> setters(int index, const std::string& root) {
    std::map<std::string, Setter> s;
    s["pid"] = number(0, APPPARAM_MAX_PID, [index](AppParam& p, uint64_t n) { p.pids[index] = uint16_t(n); });
    for (int i = 0; i < APPPARAM_APPS; ++i)
        s["pid." + std::to_string(i)] =
            number(0, APPPARAM_MAX_PID, [i](AppParam& p, uint64_t n) { p.pids[i] = uint16_t(n); });
    s["core_affinity"] = number(1, UINT32_MAX, [](AppParam& p, uint64_t n) { p.coreAffinity = uint32_t(n); });
    s["boot_counter_base"] =
        number(0, UINT32_MAX, [](AppParam& p, uint64_t n) { p.baseBootCounter = uint32_t(n); });
    s["xcp_port"] = number(1, 65535, [](AppParam& p, uint64_t n) { p.xcpPort = uint16_t(n); });
    s["port_offset"] = number(0, 65535 - kHighestBc2BasePort,
                              [](AppParam& p, uint64_t n) { p.bc2PortOffset = uint16_t(n); });
    s["ccp_enable"] = number(0, 1, [](AppParam& p, uint64_t n) { p.ccpEnable = n != 0; });
    s["log_file_size"] = number(APPPARAM_LOG_FILE_MIN, APPPARAM_LOG_FILE_MAX,
                                [](AppParam& p, uint64_t n) { p.logFileSize = uint32_t(n); });
    s["ip_address"] = [](const std::string& v, AppParam& p) -> std::string {
        if (!parseAddress(v, &p.ipAddress)) return "bad IPv4 address '" + v + "'";
        p.ipAddressText = dotted(p.ipAddress);
        return {};
    };
    s["json_receiver"] = [](const std::string& v, AppParam& p) -> std::string {
        if (!parseAddress(v, &p.jsonReceiver)) return "bad IPv4 address '" + v + "'";
        return {};
    };
    s["ip_mask"] = [](const std::string& v, AppParam& p) -> std::string {
        uint32_t m = 0;
        // A network mask is ones followed by zeros: its complement plus one is a power of two.
        if (!parseAddress(v, &m) || m == 0 || ((~m + 1) & ~m) != 0) return "bad network mask '" + v + "'";
        p.ipMask = m;
        p.ipMaskText = dotted(m);
        return {};
    };
    s["home_dir"] = [root](const std::string& v, AppParam& p) -> std::string {
        p.homeDir = folder(v, root);
        return {};
    };
    s["nv_dir"] = [root](const std::string& v, AppParam& p) -> std::string {
        p.nvDir = folder(v, root);
        return {};
    };
    for (int i = 0; i < SERIAL_PORTS; ++i) {
        s["serial.tyCo" + std::to_string(i)] = [root, i](const std::string& v, AppParam& p) -> std::string {
            std::string why;
            return serial_parseMapping(v, root, &p.serial[i], &why) ? std::string() : why;
        };
    }
    return s;
}

// Cuts a comment: '#' at the start or after a blank.
std::string withoutComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
    return line;
}

} // namespace

AppParam appparam_defaults(int index, const std::string& deviceRoot) {
    AppParam p{};
    const int i = index == 1 ? 1 : 0;
    p.pids[0] = kDefaultPid[0];
    p.pids[1] = kDefaultPid[1];
    p.pid = p.pids[i];
    p.coreAffinity = 1u << i;
    p.baseBootCounter = 0;
    p.ipAddress = 0x7F000001u + uint32_t(i); // 127.0.0.1, 127.0.0.2
    p.ipMask = 0xFF000000u;
    p.jsonReceiver = 0x7F000001u;
    p.ipAddressText = dotted(p.ipAddress);
    p.ipMaskText = dotted(p.ipMask);
    p.xcpPort = kDefaultXcpPort;
    p.bc2PortOffset = 0;
    p.ccpEnable = true;
    p.homeDir = deviceRoot;
    // Two processes in one root stand for two devices, each with its own NV store.
    p.nvDir = deviceRoot + (i == 0 ? "/nv" : "/nv1");
    p.logFileSize = uint32_t(SYSLOG_FILE_MAX_DEFAULT);
    return p;
}

bool appparam_load(int index, const std::string& deviceRoot, AppParam* out, std::string* error) {
    if (index < 0 || index >= APPPARAM_APPS) {
        if (error) *error = "application index " + std::to_string(index) + " is not 0 or 1";
        return false;
    }
    AppParam p = appparam_defaults(index, deviceRoot);
    const std::string path = deviceRoot + "/appparam-" + std::to_string(index) + ".conf";
    auto refuse = [&](int line, const std::string& why) {
        if (error) *error = path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + why;
        return false;
    };

    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return refuse(0, std::strerror(errno));
        if (out) *out = p;
        return true;
    }
    if (!S_ISREG(st.st_mode)) return refuse(0, "not a regular file");
    if (size_t(st.st_size) > kMaxFileSize) return refuse(0, "file larger than 64 KiB");
    std::ifstream in(path, std::ios::binary);
    if (!in) return refuse(0, "cannot be read");

    const std::map<std::string, Setter> keys = setters(index, deviceRoot);
    std::map<std::string, std::pair<std::string, int>> seen; // field: the key as written, its line
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.size() > APPPARAM_MAX_LINE)
            return refuse(lineNo,
                          "line too long (more than " + std::to_string(APPPARAM_MAX_LINE) + " characters)");
        if (raw.find('\0') != std::string::npos) return refuse(lineNo, "NUL character");
        const std::string line = trim(withoutComment(raw));
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return refuse(lineNo, "expected 'key = value'");
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        auto it = keys.find(key);
        if (it == keys.end()) {
            std::string known;
            for (const auto& [name, setter] : keys) known += (known.empty() ? "" : ", ") + name;
            return refuse(lineNo, "unknown key '" + key + "' (the keys: " + known + ")");
        }
        // "pid" is this index's "pid.<index>": one PID, one place. The refusal names the key as
        // written, and the other name where the first line used it.
        const std::string field = key == "pid" ? "pid." + std::to_string(index) : key;
        if (const auto [first, fresh] = seen.emplace(field, std::make_pair(key, lineNo)); !fresh)
            return refuse(lineNo,
                          "'" + key + "' given twice" +
                              (first->second.first == key ? std::string()
                                                          : " (as '" + first->second.first + "' on line " +
                                                                std::to_string(first->second.second) + ")"));
        if (value.empty()) return refuse(lineNo, "no value for '" + key + "'");
        const std::string why = it->second(value, p);
        if (!why.empty()) return refuse(lineNo, key + ": " + why);
    }
    if (in.bad()) return refuse(0, "read error");
    p.pid = p.pids[index];
    if (out) *out = p;
    return true;
}
