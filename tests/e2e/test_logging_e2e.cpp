// The logging on the real executable: the sample configuration logs the device's own values into
// files named by the counters, read back by the test suite's own reader; a lap cuts a new file and
// the old one ends with its close record and status block; the PC's delete flag clears downloaded
// files before logging starts; files survive SIGKILL up to their last complete record.
#include "app_process.h"
#include "caldataset.h"
#include "measfile.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>

using namespace testsupport;

namespace {

constexpr const char* INDEX = "0";
constexpr uint8_t FAST = 1;     // 1 ms block: RtpIndex, ana01, ana02
constexpr uint8_t COUNTERS = 2; // 10 ms block: lap, outing, fragment, absolute lap

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// A device root with the sample logging configuration, PCODE 0x1234 and no USB stick.
void prepare(const TempDir& root) {
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), INDEX, &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    data.set("PCODE", 0, 0x1234);
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));
    std::filesystem::remove_all(root.file("nv"));
    std::filesystem::remove_all(root.file("meas"));
    makeDirs(root.file("meas"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), "inserted 0\n");
}

std::unique_ptr<AppProcess> start(const TempDir& root) {
    auto dev = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{INDEX});
    EXPECT_TRUE(dev->waitForShell()) << dev->stderrText();
    return dev;
}

// Waits until the file holds at least `n` records of `frameId`.
bool waitRecords(const std::string& path, uint8_t frameId, size_t n, int timeoutMs = 20000) {
    return waitUntil([&] { return measfile::readFile(path).recordsOf(frameId).size() >= n; }, timeoutMs);
}

bool readOnly(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

uint16_t be16(const std::vector<uint8_t>& v, size_t at) {
    return uint16_t(v[at] << 8 | v[at + 1]);
}

} // namespace

TEST(LoggingE2E, CountedFilesWithStatusBlocksAndTheDeleteFlag) {
    TempDir root;
    prepare(root);
    // The PC downloaded one file (archive bit cleared) and asks for its deletion.
    writeFile(root.file("meas/A0109000.001"), "downloaded");
    writeFile(root.file("meas/A0108000.001"), "not yet downloaded");
    writeFile(root.file("meas.drive"), "dirattr 1\nattr A0109000.001 0x01\nattr A0108000.001 0x21\n");

    auto dev = start(root);
    const std::string first = root.file("meas/A0101000.001");
    ASSERT_TRUE(waitRecords(first, COUNTERS, 50)) << dev->logText();
    EXPECT_FALSE(std::filesystem::exists(root.file("meas/A0109000.001")));
    EXPECT_TRUE(std::filesystem::exists(root.file("meas/A0108000.001")));
    EXPECT_EQ(countOf(readFile(root.file("meas.drive")), "dirattr 1"), 0) << "the D flag is cleared";

    {
        const measfile::File f = measfile::readFile(first);
        ASSERT_TRUE(f.ok()) << f.error;
        EXPECT_EQ(f.header.lap, 1);
        EXPECT_EQ(f.header.outing, 1);
        EXPECT_EQ(f.header.fragment, 1);
        EXPECT_EQ(f.header.absLap, 0);
        EXPECT_EQ(f.header.pcode, 0x1234);
        const auto counters = f.recordsOf(COUNTERS);
        for (size_t i = 1; i < counters.size(); ++i) {
            ASSERT_EQ(counters[i].ts - counters[i - 1].ts, 100u) << "10 ms records, record " << i;
            ASSERT_EQ(counters[i].values.size(), 8u);
            // lap 1, outing 1, fragment 1, absolute lap 0
            EXPECT_EQ(std::vector<uint16_t>({be16(counters[i].values, 0), be16(counters[i].values, 2),
                                             be16(counters[i].values, 4), be16(counters[i].values, 6)}),
                      (std::vector<uint16_t>{1, 1, 1, 0}));
        }
        const auto fast = f.recordsOf(FAST);
        ASSERT_GE(fast.size(), 100u);
        for (size_t i = 1; i < fast.size(); ++i)
            ASSERT_EQ(fast[i].ts - fast[i - 1].ts, 10u) << "1 ms records";
    }

    // A lap: the next file, and the first one closed with its close record and status block.
    EXPECT_NE(dev->shell("lof_laptrig").find("value = "), std::string::npos);
    const std::string second = root.file("meas/A0102000.101");
    ASSERT_TRUE(waitRecords(second, COUNTERS, 10)) << dev->logText();
    ASSERT_TRUE(waitUntil([&] { return readOnly(first); }, 10000)) << dev->logText();
    {
        const measfile::File f = measfile::readFile(first);
        ASSERT_TRUE(f.ok()) << f.error;
        EXPECT_FALSE(f.truncated);
        ASSERT_GE(f.metas.size(), 2u);
        const measfile::Meta& close = f.metas[f.metas.size() - 2];
        const measfile::Meta& sb = f.metas.back();
        EXPECT_EQ(close.type, 5);
        ASSERT_EQ(sb.type, 2);
        ASSERT_GE(sb.payload.size(), 1186u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(sb.payload.data())), "StateData V");
        EXPECT_EQ(be16(sb.payload, 22), 0x0FDE) << "ECU code 0";
        EXPECT_EQ(be16(sb.payload, 32), 0x1234);
        EXPECT_EQ(be16(sb.payload, 34), 0xEDCB);
        EXPECT_EQ(be16(sb.payload, 20), sb.payload.size() - 20) << "header length";
        const auto counters = f.recordsOf(COUNTERS);
        ASSERT_FALSE(counters.empty());
        const uint32_t closeTs = uint32_t(close.payload[0] << 24 | close.payload[1] << 16 |
                                          close.payload[2] << 8 | close.payload[3]);
        EXPECT_LE(counters.back().ts, closeTs) << "no record after the lap in the old file";
    }

    dev->signal(SIGTERM);
    ASSERT_EQ(dev->waitExit(), 0) << dev->stderrText();
    for (const auto& e : std::filesystem::directory_iterator(root.file("meas"))) {
        const std::string name = e.path().filename().string();
        if (name.rfind("A01", 0) != 0 || name == "A0108000.001") continue;
        const measfile::File f = measfile::readFile(e.path().string());
        EXPECT_TRUE(f.ok()) << name << ": " << f.error;
        EXPECT_FALSE(f.truncated) << name;
        EXPECT_EQ(f.metaOfType(2).size(), 1u) << name << " ends with its status block";
    }
}

TEST(LoggingE2E, KilledWhileLoggingKeepsCompleteRecordsAndRestartsInANewFile) {
    TempDir root;
    prepare(root);
    auto dev = start(root);
    const std::string first = root.file("meas/A0101000.001");
    // When the first sample was taken, as the log tells it (seen a little later than it happened).
    std::chrono::steady_clock::time_point seen;
    ASSERT_TRUE(waitUntil(
        [&] {
            seen = std::chrono::steady_clock::now();
            return countOf(dev->logText(), "meas_app_saveblock(): starting measurement m01") > 0;
        },
        20000));
    ASSERT_TRUE(waitRecords(first, COUNTERS, 600, 30000)) << dev->logText();
    const auto killedAt = std::chrono::steady_clock::now();
    dev->signal(SIGKILL);
    dev->waitExit();
    const auto runMs = std::chrono::duration_cast<std::chrono::milliseconds>(killedAt - seen).count();

    const measfile::File f = measfile::readFile(first);
    ASSERT_TRUE(f.ok()) << f.error;
    const auto fast = f.recordsOf(FAST);
    ASSERT_FALSE(fast.empty());
    for (size_t i = 1; i < fast.size(); ++i) ASSERT_EQ(fast[i].ts - fast[i - 1].ts, 10u);
    // Everything older than about 4 s at the kill is on disk.
    const int64_t spanMs = int64_t(fast.back().ts - fast.front().ts) / 10;
    EXPECT_GE(spanMs, runMs - 4000) << "ran " << runMs << " ms";
    const auto before = readBinary(first);

    auto again = start(root);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
                if (e.path().string() != first &&
                    measfile::readFile(e.path().string()).recordsOf(COUNTERS).size() > 10)
                    return true;
            return false;
        },
        20000))
        << again->logText();
    EXPECT_EQ(readBinary(first), before) << "the old file is left alone";
    again->signal(SIGTERM);
    EXPECT_EQ(again->waitExit(), 0);
}

namespace {

// m01 with one 10 ms block (the lap-trigger pin, lap and outing counters) started by the global
// condition "lap-trigger pin set", which the shell's board command sets through digital input 0.
std::string conditionConfig(const char* pretrigger) {
    return std::string(
               "<MeasConfig>\n"
               "<AcqInfo ident=\"cond\" num_blocks=\"1\" num_conditions=\"1\" version=\"3\" protocol=\"0\">\n"
               "<GlobStartCond idx=\"0\"/>\n") +
           pretrigger +
           "<Block name=\"Pin\" idx=\"0\" num_seqs=\"2\" true_div=\"1\" false_div=\"1\" Raster=\"R10ms\">\n"
           "<CopySeq align=\"2\" size=\"2\" num=\"2\" idx=\"0\"><adr adr=\"0x100404C0\" idx=\"0\"/>"
           "<adr adr=\"0x100404C2\" idx=\"1\"/></CopySeq>\n"
           "<CopySeq align=\"1\" size=\"1\" num=\"1\" idx=\"1\"><adr adr=\"0x100402B2\" "
           "idx=\"0\"/></CopySeq>\n"
           "</Block>\n"
           "<Condition adr=\"0x100402B2\" idx=\"0\" size=\"1\" pretrigger=\"0\"/>\n"
           "</AcqInfo></MeasConfig>\n";
}

constexpr uint8_t PIN_BLOCK = 1;

} // namespace

TEST(LoggingE2E, AStartConditionPausesAndResumesTheBlocks) {
    TempDir root;
    prepare(root);
    writeFile(root.file("cfg/m01.xml"), conditionConfig(""));
    auto dev = start(root);
    const std::string file = root.file("meas/A0101000.001");
    ASSERT_TRUE(waitUntil([&] { return countOf(dev->logText(), "New measurement started") > 0; }, 20000));
    dev->shell("board din 0 1");
    ASSERT_TRUE(waitRecords(file, PIN_BLOCK, 30)) << dev->logText();
    dev->shell("board din 0 0");
    ASSERT_TRUE(waitUntil([&] { return countOf(dev->logText(), "m01, BLK #0 stopped") > 0; }, 10000))
        << dev->logText().substr(dev->logText().find("Init new measurement"), 6000);
    // The pause the test makes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    dev->shell("board din 0 1");
    // The records after the pause, behind a gap of its length.
    auto gapAt = [](const std::vector<measfile::Record>& r) {
        for (size_t i = 1; i < r.size(); ++i)
            if (r[i].ts - r[i - 1].ts > 100) return i;
        return size_t(0);
    };
    std::vector<measfile::Record> records;
    ASSERT_TRUE(waitUntil(
        [&] {
            records = measfile::readFile(file).recordsOf(PIN_BLOCK);
            const size_t gap = gapAt(records);
            return gap > 0 && records.size() > gap + 30;
        },
        20000))
        << dev->logText();
    const size_t gap = gapAt(records);
    EXPECT_GE(records[gap].ts - records[gap - 1].ts, 4000u) << "the pause lasted 0.5 s";
    int low = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (i > gap) {
            EXPECT_EQ(records[i].ts - records[i - 1].ts, 100u) << "one pause only";
        }
        low += records[i].values[4] == 0; // the pause follows the pin within a few records
    }
    EXPECT_LE(low, 5);
    dev->signal(SIGTERM);
    EXPECT_EQ(dev->waitExit(), 0);
}

TEST(LoggingE2E, WithAPretriggerATriggerWritesTheTenSecondsBeforeIt) {
    TempDir root;
    prepare(root);
    writeFile(root.file("cfg/m01.xml"), conditionConfig("<PreTriggerTime time=\"10\"/>\n"));
    auto dev = start(root);
    const std::string file = root.file("meas/A0101000.001");
    ASSERT_TRUE(waitUntil(
        [&] { return countOf(dev->logText(), "meas_app_saveblock(): starting measurement m01") > 0; },
        20000));
    // Twelve seconds of held records, more than the pretrigger keeps.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    EXPECT_FALSE(std::filesystem::exists(file)) << "nothing is written before the trigger";
    dev->shell("board din 0 1");
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto r = measfile::readFile(file).recordsOf(PIN_BLOCK);
            return !r.empty() && r.back().values[4] == 1 && r.size() > 1000;
        },
        20000))
        << dev->logText();
    const auto records = measfile::readFile(file).recordsOf(PIN_BLOCK);
    size_t trigger = 0;
    while (trigger < records.size() && records[trigger].values[4] == 0) ++trigger;
    ASSERT_LT(trigger, records.size());
    const uint32_t before = records[trigger].ts - records.front().ts;
    EXPECT_GE(before, 95000u) << "the 10 s before the trigger";
    for (size_t i = 1; i < records.size(); ++i) ASSERT_EQ(records[i].ts - records[i - 1].ts, 100u);
    dev->signal(SIGTERM);
    EXPECT_EQ(dev->waitExit(), 0);
}
