#include "platform/kernel/syslog_guard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr uint64_t kSecondMs = 1000;
constexpr uint64_t kLookEveryMs = 100;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool inNumber(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' || c == 'X';
}

struct Fnv {
    uint64_t h = 1469598103934665603ULL;
    void add(char c) {
        h ^= uint8_t(c);
        h *= 1099511628211ULL;
    }
};

} // namespace

uint64_t SyslogFloodGuard::textKey(const SyslogRecord& rec) {
    Fnv f;
    for (int i = 0; i < 4; ++i) f.add(char(uint32_t(rec.priority) >> (8 * i)));
    // The tag is "<millisecond time> <task name>": the task alone.
    size_t i = 0;
    while (i < sizeof(rec.tag) && rec.tag[i] && rec.tag[i] != ' ') ++i;
    for (++i; i < sizeof(rec.tag) && rec.tag[i]; ++i) f.add(rec.tag[i]);
    f.add('\0');
    // A number that stands as a word of its own (decimal, or hexadecimal that begins with a digit:
    // 0x1F, 0A0B, 12.5) counts as one '#'; digits within a name ("A0101000.002", "r_BFSWriter1")
    // are the name's, so that lines about different files stay different texts.
    const size_t n = strnlen(rec.message, sizeof(rec.message));
    auto nameChar = [](char c) { return isDigit(c) || isLetter(c) || c == '_' || c == '.' || c == '/'; };
    for (i = 0; i < n;) {
        if (isDigit(rec.message[i]) && (i == 0 || !nameChar(rec.message[i - 1]))) {
            size_t end = i;
            while (end < n && (inNumber(rec.message[end]) || rec.message[end] == '.')) ++end;
            if (end == n || !(isLetter(rec.message[end]) || rec.message[end] == '_')) {
                f.add('#');
                i = end;
                continue;
            }
        }
        f.add(rec.message[i++]);
    }
    return f.h;
}

void SyslogFloodGuard::Text::saw(uint64_t ms) {
    newest = (newest + 1) % std::size(recent);
    recent[newest] = ms;
    seen = std::min<uint32_t>(seen + 1, std::size(recent));
}

bool SyslogFloodGuard::Text::calm(uint64_t nowMs, uint32_t most) const {
    if (seen <= most) return true;
    const uint64_t before = recent[(newest + std::size(recent) - most) % std::size(recent)];
    return nowMs >= before + kSecondMs;
}

bool SyslogFloodGuard::admit(const SyslogRecord& rec, uint64_t nowMs, std::vector<Count>* ended) {
    const uint64_t key = textKey(rec);
    auto it = texts_.find(key);
    if (it == texts_.end()) {
        if (texts_.size() >= kTextsMax) return true;
        Text& t = texts_[key];
        t.windowMs = nowMs;
        t.written = 1;
        t.saw(nowMs);
        lookAtMs_ = std::min(lookAtMs_, nowMs + kSecondMs);
        return true;
    }
    Text& t = it->second;
    if (t.counting && t.calm(nowMs, kLinesPerSecond - 1)) {
        // The second up to this one held the text at most kLinesPerSecond times: it is written again.
        if (t.counted > 0) ended->push_back(Count{t.last, t.counted, t.lastMs - t.firstMs});
        t.counting = false;
        t.counted = 0;
        t.windowMs = nowMs;
        t.written = 0;
    }
    t.saw(nowMs);
    if (!t.counting) {
        if (nowMs - t.windowMs >= kSecondMs) {
            t.windowMs = nowMs;
            t.written = 0;
        }
        if (t.written < kLinesPerSecond) {
            ++t.written;
            return true;
        }
        t.counting = true;
        t.intervalMs = kSecondMs;
        t.countAtMs = t.windowMs + kSecondMs;
        lookAtMs_ = std::min(lookAtMs_, t.countAtMs);
    }
    if (t.counted++ == 0) t.firstMs = nowMs;
    t.lastMs = nowMs;
    t.last = rec;
    return false;
}

void SyslogFloodGuard::due(uint64_t nowMs, std::vector<Count>* out, bool all) {
    if (!all && nowMs < lookAtMs_) return;
    uint64_t next = UINT64_MAX;
    for (auto it = texts_.begin(); it != texts_.end();) {
        Text& t = it->second;
        if (t.counting) {
            const bool calm = t.calm(nowMs, kLinesPerSecond);
            if (all || calm || nowMs >= t.countAtMs) {
                if (t.counted > 0) out->push_back(Count{t.last, t.counted, t.lastMs - t.firstMs});
                // Calm, or nothing new since the last count: the next one is a new text.
                if (calm || t.counted == 0) {
                    it = texts_.erase(it);
                    continue;
                }
                t.counted = 0;
                t.intervalMs = std::min(2 * t.intervalMs, kCountMaxMs);
                t.countAtMs = nowMs + t.intervalMs;
            }
            // Its oldest record kept leaves the second: it may be calm from then on.
            const uint64_t calmAt = t.recent[(t.newest + 1) % std::size(t.recent)] + kSecondMs;
            next = std::min({next, t.countAtMs, calmAt});
        } else if (nowMs - t.windowMs >= kSecondMs) {
            it = texts_.erase(it); // quiet for a second: nothing to follow
            continue;
        } else {
            next = std::min(next, t.windowMs + kSecondMs);
        }
        ++it;
    }
    lookAtMs_ = next == UINT64_MAX ? next : std::max(next, nowMs + kLookEveryMs);
}

std::string SyslogFloodGuard::countMessage(const Count& c) {
    char text[sizeof(c.last.message) + 1];
    std::snprintf(text, sizeof(text), "%.*s", int(sizeof(c.last.message)), c.last.message);
    char tail[96];
    std::snprintf(tail, sizeof(tail), " ... repeated %llu time%s in %.1f s, held back",
                  (unsigned long long)c.times, c.times == 1 ? "" : "s", double(c.spanMs) / 1000.0);
    return std::string(text) + tail;
}
