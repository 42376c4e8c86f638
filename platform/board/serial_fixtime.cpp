#include "platform/board/serial_fixtime.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// "hhmmss" or "hhmmss.f..." as milliseconds since midnight.
bool clockTime(std::string_view f, int64_t* out) {
    if (f.size() < 6 || !digits(f.substr(0, 6))) return false;
    if (f.size() > 6 && (f[6] != '.' || f.size() > 16 || !digits(f.substr(7)))) return false;
    const int h = (f[0] - '0') * 10 + (f[1] - '0');
    const int m = (f[2] - '0') * 10 + (f[3] - '0');
    const int s = (f[4] - '0') * 10 + (f[5] - '0');
    if (h > 23 || m > 59 || s > 60) return false;
    int64_t ms = 0, scale = 100;
    for (char c : f.substr(std::min<size_t>(f.size(), 7), 3)) {
        ms += (c - '0') * scale;
        scale /= 10;
    }
    *out = ((h * 60 + m) * 60 + s) * int64_t(1000) + ms;
    return true;
}

} // namespace

bool serial_fixTime(const char* line, size_t n, int64_t* msOfDay) {
    std::string_view s(line, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    const size_t star = s.rfind('*');
    if (s.size() < 7 || s[0] != '$' || star == std::string_view::npos || star + 3 != s.size()) return false;
    const int hi = hexDigit(s[star + 1]), lo = hexDigit(s[star + 2]);
    if (hi < 0 || lo < 0) return false;
    unsigned sum = 0;
    for (char c : s.substr(1, star - 1)) sum ^= static_cast<unsigned char>(c);
    if (sum != unsigned(hi << 4 | lo)) return false;

    const std::string_view body = s.substr(1, star - 1);
    const size_t comma = body.find(',');
    if (comma != 5) return false; // talker (2) and sentence (3)
    const std::string_view type = body.substr(2, 3);
    int field = 0;
    if (type == "RMC" || type == "GGA" || type == "GNS" || type == "ZDA")
        field = 1;
    else if (type == "GLL")
        field = 5;
    else
        return false;
    size_t at = comma + 1;
    for (int i = 1; i < field; ++i) {
        at = body.find(',', at);
        if (at == std::string_view::npos) return false;
        ++at;
    }
    const size_t end = std::min(body.find(',', at), body.size());
    return clockTime(body.substr(at, end - at), msOfDay);
}
