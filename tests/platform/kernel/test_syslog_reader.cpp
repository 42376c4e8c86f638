// The log reader's file: its size bound, the session's first lines kept over its rotation, lines
// on a full disk, and the flood guard.
#include "platform/kernel/syslog_guard.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include "smalldisk.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using testsupport::readFile;

namespace {

constexpr uint32_t kWhen = 1700000000u;
constexpr const char* kWhenText = "2023-11-14 22:13:20"; // kWhen as the reader writes it

SyslogRecord record(const std::string& message, int priority = 151, const char* task = "tTest",
                    uint32_t flags = 0) {
    SyslogRecord rec{};
    rec.priority = priority;
    rec.timeSec = kWhen;
    rec.flags = flags;
    std::snprintf(rec.tag, sizeof(rec.tag), "1234 %s", task);
    std::snprintf(rec.origin, sizeof(rec.origin), "app0");
    std::snprintf(rec.message, sizeof(rec.message), "%s", message.c_str());
    return rec;
}

void post(const std::string& message, int priority = 151, const char* task = "tTest", uint32_t flags = 0) {
    const SyslogRecord rec = record(message, priority, task, flags);
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    ASSERT_EQ(msgQSend(q, &rec, sizeof(rec), WAIT_FOREVER, MSG_PRI_NORMAL), OK);
}

// "line 12 bc": a text of its own for each number (the flood guard masks the number itself).
std::string nth(const std::string& what, int i) {
    std::string letters = std::to_string(i);
    for (char& c : letters) c = char('a' + (c - '0'));
    return what + " " + std::to_string(i) + " " + letters;
}
int numberIn(const std::string& line, const std::string& what) {
    const size_t p = line.find(what + " ");
    return p == std::string::npos ? -1 : std::stoi(line.substr(p + what.size() + 1));
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Every line as the reader writes it: one time stamp at its start, then priority, tag and text.
void expectWholeLines(const std::string& text) {
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << "the file ends inside a line";
    }
    for (const auto& l : linesOf(text)) {
        EXPECT_EQ(l.rfind(std::string(kWhenText) + " <1", 0), 0u) << "torn line: " << l;
        EXPECT_EQ(l.find(kWhenText, 1), std::string::npos) << "two lines run together: " << l;
    }
}

// The process's stderr goes to a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    std::string text() const { return readFile(path_); }

private:
    std::string path_;
    int saved_;
};

} // namespace

// Each new file begins with the session's first lines: up to the record marked as their end, or
// as many as fit in a quarter of the bound.
TEST(SyslogReader, TheFileIsBoundedOneOlderFileKeptAndEachBeginsWithTheSessionsFirstLines) {
    constexpr size_t kMax = 4096;
    for (const int markedAt : {2, -1}) {
        SCOPED_TRACE("head ended at line " + std::to_string(markedAt));
        testsupport::TempDir dir;
        const std::string file = dir.file("syslog-0.log");
        std::string err;
        ASSERT_TRUE(syslogreader_start(file, -1, &err)) << err;
        syslogreader_setFileMax(kMax);
        for (int i = 0; i < 200; ++i) post(nth("line", i), 151, "tTest", i == markedAt ? SYSLOG_HEAD_END : 0);
        syslogreader_stop();
        syslogreader_setFileMax(SYSLOG_FILE_MAX_DEFAULT);

        const std::string current = readFile(file), older = readFile(file + ".1");
        EXPECT_LE(current.size(), kMax);
        EXPECT_LE(older.size(), kMax);
        EXPECT_GT(older.size(), kMax - 200) << "a file is moved only when the next line does not fit";
        expectWholeLines(current);
        expectWholeLines(older);
        auto a = linesOf(older), b = linesOf(current);
        // The session's first lines, after a line that names them, in both files (moved more than
        // once); in the second case as many as fit in a quarter of the bound.
        size_t headLines = 0;
        for (auto* lines : {&a, &b}) {
            ASSERT_FALSE(lines->empty());
            const std::string& note = lines->front();
            const size_t at = note.find("<150> logreader app0: log reader: the next ");
            ASSERT_NE(at, std::string::npos) << note;
            headLines = size_t(std::stoul(note.substr(at + 43)));
            EXPECT_NE(note.find(" lines are the first of this session, kept over the rotation of the log"),
                      std::string::npos)
                << note;
            ASSERT_GT(lines->size(), headLines + 1);
            size_t bytes = 0;
            for (size_t i = 0; i < headLines; ++i) {
                EXPECT_EQ(numberIn((*lines)[i + 1], "line"), int(i)) << (*lines)[i + 1];
                bytes += (*lines)[i + 1].size() + 1;
            }
            if (markedAt >= 0)
                EXPECT_EQ(headLines, size_t(markedAt + 1));
            else
                EXPECT_TRUE(bytes <= kMax / 4 &&
                            bytes + syslogreader_format(record(nth("line", int(headLines)))).size() + 1 >
                                kMax / 4)
                    << bytes;
            lines->erase(lines->begin(), lines->begin() + long(headLines) + 1);
        }
        // The two files hold the newest lines without a gap between them.
        EXPECT_EQ(numberIn(b.back(), "line"), 199);
        EXPECT_EQ(numberIn(b.front(), "line"), numberIn(a.back(), "line") + 1) << a.back() << "\n"
                                                                               << b.front();
    }
}

TEST(SyslogReader, OnAFullDiskLinesAreWholeOrCountedAndTheCountIsLoggedWhenSpaceReturns) {
    testsupport::SmallDisk disk(64 * 1024);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    testsupport::TempDir dir;
    StderrCapture err(dir.file("stderr.txt"));
    const std::string file = disk.file("syslog-0.log");
    std::string why;
    ASSERT_TRUE(syslogreader_start(file, 6, &why)) << why;
    post("before the disk filled");
    ASSERT_TRUE(testsupport::waitUntil([&] { return readFile(file).find("before") != std::string::npos; }));

    disk.fill();
    constexpr int posted = 100;
    for (int i = 0; i < posted; ++i) post(nth("while full", i));
    ASSERT_TRUE(testsupport::waitUntil([&] { return err.text().find("cannot write") != std::string::npos; }));
    disk.free();
    post("after space returned");
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return readFile(file).find("after space") != std::string::npos; }));
    syslogreader_stop();

    const std::string log = readFile(file);
    expectWholeLines(log);
    // Lines fitted in the last page until one did not; from then on every line is counted until
    // one fits again, and the count goes in right before that one.
    const auto lines = linesOf(log);
    int written = 0, gapAt = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("while full ") != std::string::npos) ++written;
        if (lines[i].find("log reader: ") != std::string::npos) gapAt = int(i);
    }
    EXPECT_LT(written, posted);
    const std::string note =
        "log reader: " + std::to_string(posted - written) + " lines not written (No space left on device)";
    ASSERT_GT(gapAt, 0) << log;
    EXPECT_NE(lines[size_t(gapAt)].find("<148> logreader app0: " + note), std::string::npos) << log;
    EXPECT_EQ(testsupport::countContaining(lines, "log reader: "), 1);
    const std::string before = lines[size_t(gapAt) - 1], after = lines.at(size_t(gapAt) + 1);
    const auto indexIn = [](const std::string& l) {
        const size_t p = l.find("while full ");
        return p == std::string::npos ? posted : std::stoi(l.substr(p + 11));
    };
    EXPECT_EQ(indexIn(after) - indexIn(before) - 1, posted - written) << before << "\n" << after;

    const std::string stderrText = err.text();
    size_t reports = 0;
    for (size_t p = stderrText.find("cannot write"); p != std::string::npos;
         p = stderrText.find("cannot write", p + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << stderrText;
    EXPECT_NE(stderrText.find(note), std::string::npos) << "the count is shown where the failure was";
}

// Through the queue and the file: a task repeating two texts with no pause (one with changing
// flags) beside another task's lines. The file shows the first of each a few times, then counts
// that account for every record, which come on the reader's own time once the repetition stops;
// the other task's lines and a new text of the repeating task are all there.
TEST(SyslogReader, ARepeatedTextIsWrittenAFewTimesThenCountedAndNothingElseIsHeldBack) {
    testsupport::TempDir dir;
    const std::string file = dir.file("syslog-0.log");
    std::string err;
    ASSERT_TRUE(syslogreader_start(file, -1, &err)) << err;
    const std::string lost = "remote lost, do a remoteinit", busy = "logging cannot take it now (flags 0x";
    constexpr int kRounds = 10000;
    for (int i = 0; i < kRounds; ++i) {
        post(lost, 148, "r_rCtrlLost");
        char flags[80];
        std::snprintf(flags, sizeof flags, "meas_app_remoteinit: %s%x)", busy.c_str(), unsigned(i % 7));
        post(flags, 148, "r_rCtrlLost");
        if (i % 1000 == 0) post(nth("MeasGate: PID 0x10 is MEAS", i), 158, "r_r10ms");
        if (i == kRounds / 2)
            post("remote lost, ping returns errno Network is unreachable(101)", 148, "r_rCtrlLost");
    }
    std::string log;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            log = readFile(file);
            return testsupport::countLogged(log, lost) == kRounds &&
                   testsupport::countLogged(log, busy) == kRounds;
        },
        60000))
        << testsupport::countLogged(log, lost) << " " << testsupport::countLogged(log, busy);
    syslogreader_stop();
    const auto lines = linesOf(log);

    EXPECT_LE(testsupport::countContaining(lines, lost), 50) << readFile(file);
    EXPECT_LE(testsupport::countContaining(lines, busy), 50) << readFile(file);
    EXPECT_EQ(testsupport::countContaining(lines, "<148> 1234 r_rCtrlLost app0: " + lost + " ... repeated "),
              testsupport::countContaining(lines, lost + " ... repeated "));
    EXPECT_EQ(testsupport::countContaining(lines, "MeasGate: PID 0x10 is MEAS"), kRounds / 1000);
    EXPECT_EQ(testsupport::countContaining(lines, "errno Network is unreachable(101)"), 1);
}

// A reader that runs late judges repetitions by when they were logged, the records read at once: a
// flood of 50 in 50 ms, then ten lines 300 ms apart. The flood's first 5 are written, the lines are
// held back within a second of its end, then the count of all held back and every later line.
TEST(SyslogReader, RepetitionsAreJudgedByWhenTheyWereLogged) {
    testsupport::TempDir dir;
    const std::string file = dir.file("syslog-0.log");
    // Queued before the reader starts.
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, SYSLOG_QUEUE_DEPTH, int(sizeof(SyslogRecord)), MSG_Q_FIFO,
                          OM_CREATE, nullptr);
    const uint64_t start = hostclock_nowNs() / 1000000 - 6000;
    for (int i = 0; i < 60; ++i) {
        SyslogRecord rec = record("BFSWriter: meas: takes data again");
        const int at = i < 50 ? i : 49 + 300 * (i - 49);
        std::snprintf(rec.tag, sizeof(rec.tag), "%u tTest", unsigned(start + uint64_t(at)));
        ASSERT_EQ(msgQSend(q, &rec, sizeof(rec), WAIT_FOREVER, MSG_PRI_NORMAL), OK);
    }
    std::string err;
    ASSERT_TRUE(syslogreader_start(file, -1, &err)) << err;
    syslogreader_stop();
    std::string seen;
    for (const auto& l : linesOf(readFile(file))) {
        const size_t counted = l.find(" ... repeated ");
        seen += counted == std::string::npos ? "T" : "C" + std::to_string(std::stoi(l.substr(counted + 14)));
    }
    EXPECT_EQ(seen, "TTTTTC48TTTTTTT") << readFile(file);
}

// Lines whose numbers differ are one text; lines of other words, tasks or priorities are not.
TEST(SyslogFloodGuard, ATextIsItsTaskPriorityAndWordsWithTheNumbersOfTheirOwnMasked) {
    struct Case {
        SyslogRecord a, b;
        bool same;
    };
    const Case cases[] = {
        {record("meas_app_remoteinit: logging cannot take it now (flags 0x1f)"),
         record("meas_app_remoteinit: logging cannot take it now (flags 0x20)"), true},
        {record("meas_app_remoteinit: failed 104"), record("meas_app_remoteinit: failed 100"), true},
        {record("meas: failed its last new file (try 3); 12.5 s"),
         record("meas: failed its last new file (try 14); 2.0 s"), true},
        // Lines about different files are different texts: each file stays named.
        {record("BFSWriter: meas:/A0101000.002 is not finished"),
         record("BFSWriter: meas:/A0101000.003 is not finished"), false},
        {record("main(): A0101000.002 is not finished on meas:"),
         record("main(): A0101000.01A is not finished on meas:"), false},
        {record("remote lost, ping returns errno Network is unreachable(101)"),
         record("remote lost, ping returns errno No route to host(113)"), false},
        {record("BFSWriter: meas: takes data again"), record("BFSWriter: usb_meas: takes data again"), false},
        {record("remote lost, do a remoteinit", 148, "r_rCtrlLost"),
         record("remote lost, do a remoteinit", 148, "r_rCtrlLost2"), false},
        {record("remote lost, do a remoteinit", 148), record("remote lost, do a remoteinit", 147), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SyslogFloodGuard::textKey(c.a) == SyslogFloodGuard::textKey(c.b), c.same)
            << c.a.message << " / " << c.b.message;
}

// A watch whose ping fails at once, looping with no pause for 5 minutes (a round a millisecond on
// the guard's clock), beside a task that logs twice a second: at most 200 lines about the watch,
// every one of its records written or counted, the other task's lines and a new text all written,
// and a second after the watch has stopped, its last counts and then its text written as new again.
TEST(SyslogFloodGuard, FiveMinutesOfALoopWithNoPauseGiveAtMost200Lines) {
    SyslogFloodGuard guard;
    std::vector<SyslogFloodGuard::Count> counts;
    std::map<uint64_t, uint64_t> posted, written, counted; // by text
    int watchLines = 0, countLines = 0;
    const auto pass = [&](const SyslogRecord& rec, uint64_t now) {
        const uint64_t text = SyslogFloodGuard::textKey(rec);
        ++posted[text];
        counts.clear();
        const bool admitted = guard.admit(rec, now, &counts);
        for (const auto& c : counts) counted[SyslogFloodGuard::textKey(c.last)] += c.times;
        countLines += int(counts.size());
        watchLines += int(counts.size());
        if (!admitted) return false;
        ++written[text];
        if (std::string(rec.tag).find("r_rCtrlLost") != std::string::npos) ++watchLines;
        return true;
    };
    const auto flush = [&](uint64_t now) {
        counts.clear();
        guard.due(now, &counts);
        for (const auto& c : counts) {
            const std::string message = SyslogFloodGuard::countMessage(c);
            EXPECT_NE(message.find(" ... repeated "), std::string::npos) << message;
            counted[SyslogFloodGuard::textKey(c.last)] += c.times;
            ++countLines;
            ++watchLines;
        }
    };
    const SyslogRecord lost = record("remote lost, do a remoteinit", 148, "r_rCtrlLost"),
                       failed = record("meas_app_remoteinit: failed 100", 147, "r_rCtrlLost");
    constexpr uint64_t kStart = 5000000, kFlood = 5 * 60 * 1000;
    int otherLines = 0;
    bool newText = false;
    for (uint64_t ms = 0; ms < kFlood; ++ms) {
        const uint64_t now = kStart + ms;
        char flags[80];
        std::snprintf(flags, sizeof flags, "meas_app_remoteinit: logging cannot take it now (flags 0x%x)",
                      unsigned(0x10 + ms % 7));
        pass(lost, now);
        pass(record(flags, 148, "r_rCtrlLost"), now);
        pass(failed, now);
        if (ms % 500 == 0) otherLines += pass(record(nth("MeasGate: PID 0x10 is MEAS", int(ms))), now);
        if (ms == 120000)
            newText = pass(record("remote lost, ping returns errno 101", 148, "r_rCtrlLost"), now);
        flush(now);
    }
    EXPECT_LE(watchLines, 200) << countLines << " of them counts";
    EXPECT_EQ(otherLines, int(kFlood / 500)) << "another task's lines are never held back";
    EXPECT_TRUE(newText) << "a new text is never held back";

    // The counts come by the guard's own time within a second (and its look every 100 ms) of the
    // watch's stop; then its text is new again.
    constexpr uint64_t kCalm = kFlood + 1000 + 100;
    for (uint64_t ms = kFlood; ms <= kCalm; ms += 10) flush(kStart + ms);
    for (const auto& [text, n] : posted) EXPECT_EQ(written[text] + counted[text], n);
    EXPECT_TRUE(pass(lost, kStart + kCalm));
}

// After a flood, a text that comes at most 5 times a second is written as itself from the first
// record that comes a second after the flood's last, after the count of what was held back; one that
// comes more often stays counted.
TEST(SyslogFloodGuard, AfterAFloodATextIsWrittenAsItselfOnceASecondHoldsItAtMostFiveTimes) {
    for (const auto& [everyMs, writtenAgain] :
         {std::pair<uint64_t, bool>{1500, true}, {250, true}, {200, true}, {150, false}, {10, false}}) {
        SCOPED_TRACE("a record every " + std::to_string(everyMs) + " ms");
        SyslogFloodGuard guard;
        std::vector<SyslogFloodGuard::Count> counts; // all of them
        uint64_t posted = 0, written = 0, lookedAt = 0, again = 0, held = 0;
        const auto post = [&](uint64_t now) {
            for (; lookedAt < now; lookedAt += 10) guard.due(lookedAt, &counts); // as the reader looks
            ++posted;
            const bool admitted =
                guard.admit(record("meas: failed its last new file (try 3)", 148), now, &counts);
            written += admitted;
            uint64_t counted = 0;
            for (const auto& c : counts) counted += c.times;
            EXPECT_TRUE(!admitted || written + counted == posted)
                << "the count of what was held back comes first";
            return admitted;
        };
        constexpr uint64_t kFloodEnd = 1000999;
        lookedAt = kFloodEnd - 999;
        for (uint64_t now = lookedAt; now <= kFloodEnd; ++now) post(now); // 1000 a second
        for (uint64_t now = kFloodEnd + everyMs; now < kFloodEnd + 20000; now += everyMs) {
            const bool admitted = post(now);
            if (now >= kFloodEnd + 1000) {
                (admitted ? again : held)++;
            } else {
                EXPECT_FALSE(admitted) << "written within the flood's second";
            }
        }
        EXPECT_EQ(again > 0 && held == 0, writtenAgain) << again << " written, " << held << " held back";
    }
}
