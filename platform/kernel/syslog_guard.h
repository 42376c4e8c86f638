// The log reader's flood guard. A task that repeats one line with no pause would fill the log and,
// through its rotation, push everything else out of it. The guard takes every record before it is
// written: a text (the task, the priority and the message with the numbers that stand as words of
// their own masked, so that a line whose counter or flags change is still one text, while lines
// about two files stay two) is written at most kLinesPerSecond times a second. Beyond that its
// records are held back and counted, and the count goes into the log as one line ("<the last one>
// ... repeated N times in T s, held back") at the end of that second, then after 2, 4, 8, ...
// seconds, at most kCountMaxMs apart, while the text keeps coming. Once a second has held the text
// at most kLinesPerSecond times, its count goes in at once and the text is written as itself again:
// a flood's end never keeps a slow repetition of it out of the log. A new text is never held back,
// and neither is one of another task.
//
// A record costs one hash lookup; the counts are looked at when one is due, at most every 100 ms.
#pragma once

#include "platform/kernel/syslogq.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class SyslogFloodGuard {
public:
    static constexpr uint32_t kLinesPerSecond = 5;
    static constexpr uint64_t kCountMaxMs = 30000;
    // Texts followed at once; a text beyond them is written unguarded.
    static constexpr size_t kTextsMax = 4096;

    // Records of one text that were not written: `times` of them, the last one `last`, the first
    // `spanMs` before it.
    struct Count {
        SyslogRecord last;
        uint64_t times;
        uint64_t spanMs;
    };

    // True when `rec` is to be written; false when it is counted. `nowMs`: when it was logged, on
    // the clock that due() is given. A count that `rec` ends (its text is written again) is added to
    // `ended`, to go into the log before it.
    bool admit(const SyslogRecord& rec, uint64_t nowMs, std::vector<Count>* ended);
    // Adds the counts that are due at `nowMs` to `out` (every count not yet written when `all`,
    // at the reader's end). Cheap while none is due.
    void due(uint64_t nowMs, std::vector<Count>* out, bool all = false);
    // The message of the count's line.
    static std::string countMessage(const Count& c);
    // The key of a record's text: its task, priority and message with every number masked.
    static uint64_t textKey(const SyslogRecord& rec);

private:
    struct Text {
        uint64_t windowMs = 0; // start of the second in which `written` lines went in
        uint32_t written = 0;
        bool counting = false; // past its lines for the second: counted until it stops
        uint64_t counted = 0;  // since the last count's line
        uint64_t firstMs = 0, lastMs = 0;
        uint64_t countAtMs = 0, intervalMs = 0;
        SyslogRecord last{};
        // When its last records came, written or not, the newest at recent[newest].
        uint64_t recent[kLinesPerSecond + 1] = {};
        uint32_t newest = 0, seen = 0;
        void saw(uint64_t ms);
        // True when the second up to `nowMs` holds at most `most` of its records.
        bool calm(uint64_t nowMs, uint32_t most) const;
    };
    std::unordered_map<uint64_t, Text> texts_;
    uint64_t lookAtMs_ = UINT64_MAX;
};
