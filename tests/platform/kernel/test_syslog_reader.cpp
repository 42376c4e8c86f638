// The log reader's file: its size bound, and lines on a full disk.
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include "smalldisk.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using testsupport::readFile;

namespace {

constexpr uint32_t kWhen = 1700000000u;
constexpr const char* kWhenText = "2023-11-14 22:13:20"; // kWhen as the reader writes it

void post(const std::string& message, int priority = 151) {
    SyslogRecord rec{};
    rec.priority = priority;
    rec.timeSec = kWhen;
    std::snprintf(rec.tag, sizeof(rec.tag), "1234 tTest");
    std::snprintf(rec.origin, sizeof(rec.origin), "app0");
    std::snprintf(rec.message, sizeof(rec.message), "%s", message.c_str());
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    ASSERT_EQ(msgQSend(q, &rec, sizeof(rec), WAIT_FOREVER, MSG_PRI_NORMAL), OK);
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

TEST(SyslogReader, TheFileIsBoundedAndOneOlderFileKept) {
    testsupport::TempDir dir;
    const std::string file = dir.file("syslog-0.log");
    std::string err;
    ASSERT_TRUE(syslogreader_start(file, -1, &err)) << err;
    syslogreader_setFileMax(4096);
    for (int i = 0; i < 200; ++i) post("line " + std::to_string(i));
    syslogreader_stop();
    syslogreader_setFileMax(SYSLOG_FILE_MAX_DEFAULT);

    const std::string current = readFile(file), older = readFile(file + ".1");
    EXPECT_LE(current.size(), 4096u);
    EXPECT_LE(older.size(), 4096u);
    EXPECT_GT(older.size(), 4096u - 200) << "a file is moved only when the next line does not fit";
    expectWholeLines(current);
    expectWholeLines(older);
    // The two files hold the newest lines without a gap between them.
    const auto a = linesOf(older), b = linesOf(current);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(b.back().find("line 199"), std::string::npos);
    const int lastOld = std::stoi(a.back().substr(a.back().rfind(' ') + 1));
    EXPECT_NE(b.front().find("line " + std::to_string(lastOld + 1)), std::string::npos) << b.front();
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
    for (int i = 0; i < posted; ++i) post("while full " + std::to_string(i));
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
