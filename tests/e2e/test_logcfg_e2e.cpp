// Drive preparation at start-up on the real executable: a second logging partition that never
// comes times the wait out and leaves the drives-ready light off; a partition whose directory size
// differs from the calibration dataset is re-formatted once, and not again at the next start.
#include "app_process.h"
#include "caldataset.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using namespace testsupport;

namespace {

constexpr const char* INDEX = "0";
constexpr uint32_t DRIVES_READY = 0x8000;

void configure(const std::string& root, const std::string& name, double value) {
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root, INDEX, &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    data.set(name, 0, value);
    ASSERT_TRUE(caldata::writeDataset(root, data.file(program)));
}

// Starts the process and waits for the end of its start-up (the `starts`-th in its log).
std::unique_ptr<AppProcess> start(const TempDir& root, int starts) {
    auto dev = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{INDEX});
    EXPECT_TRUE(dev->waitForShell()) << dev->stderrText();
    EXPECT_TRUE(waitUntil([&] { return countOf(dev->logText(), "main(): start-up done") >= starts; }, 20000))
        << dev->logText();
    return dev;
}

uint32_t statusLights(AppProcess& dev) {
    const std::string out = dev.shell("board");
    const size_t at = out.find("status lights 0x");
    return at == std::string::npos ? 0xDEADBEEF : uint32_t(std::strtoul(out.c_str() + at + 16, nullptr, 16));
}

void stop(AppProcess& dev) {
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

} // namespace

TEST(LogCfgE2E, SecondPartitionThatNeverComesTimesOut) {
    TempDir root;
    configure(root.path(), "LOGGING2_TARGET_PARTITION", 1);
    writeFile(root.file("meas2.drive"), "present 0\n");
    const auto begin = std::chrono::steady_clock::now();
    auto dev = start(root, 2);
    const std::string log = dev->logText();
    EXPECT_EQ(countOf(log, "meas_app_BootPrepareDisks() timeout checking mask '0x04' "), 1) << log;
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << "the wait lasts its 2 s";
    EXPECT_EQ(statusLights(*dev) & DRIVES_READY, 0u);
    stop(*dev);
}

TEST(LogCfgE2E, ChangedDirectorySizeIsFormattedOnce) {
    TempDir root;
    configure(root.path(), "MEAS_MAXFILECNT_PART1", 2000);
    writeFile(root.file("meas.drive"), "dirsize 1000\n");
    writeFile(root.file("meas/A0101000.001"), "old measurement");
    const std::string asked =
        "meas_app_BootPrepareDisks_checkDir(meas:) should be reformated NOW: directory size 1000 -> 2000 ";
    {
        auto dev = start(root, 2);
        EXPECT_EQ(countOf(dev->logText(), asked), 1) << dev->logText();
        EXPECT_TRUE(std::filesystem::is_empty(root.file("meas")));
        EXPECT_NE(readFile(root.file("meas.drive")).find("dirsize 2000"), std::string::npos);
        EXPECT_NE(statusLights(*dev) & DRIVES_READY, 0u);
        stop(*dev);
    }
    writeFile(root.file("meas/A0101000.002"), "new measurement");
    auto dev = start(root, 3);
    EXPECT_EQ(countOf(dev->logText(), "should be reformated"), 1) << "not asked again";
    EXPECT_EQ(readFile(root.file("meas/A0101000.002")), "new measurement");
    EXPECT_NE(statusLights(*dev) & DRIVES_READY, 0u);
    stop(*dev);
}
