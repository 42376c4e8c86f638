// The common shell commands and the post-run they start.
#include "framework/msd_shell.h"
#include "framework/postrun.h"
#include "framework/syslog.h"
#include "logdrain.h"
#include "platform/rtos/rtos.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<std::string> displayArgs;
} // namespace

// Stands for the display application's command handler.
int displayCommandFunc(int argc, char** argv) {
    displayArgs.assign(argv, argv + argc);
    return argc == 3 ? 7 : -1;
}

TEST(Shell, CommonCommandsIncludeTheDisplayCommandWithItsResult) {
    MsdShell_setDisplayCommand(displayCommandFunc);
    MsdShell_AddCommonCmd();
    ASSERT_TRUE(shellhost_isRegistered("display"));
    std::string out;
    EXPECT_EQ(shellhost_execute("display page 3", &out), 7);
    EXPECT_EQ(displayArgs, (std::vector<std::string>{"display", "page", "3"}));
    EXPECT_NE(out.find("value = 7 = 0x7"), std::string::npos) << out;
    EXPECT_FALSE(msd_shellAddCommand("display", displayCommandFunc)) << "a name is registered once";
}

TEST(Shell, ResetStartsThePostRunOnceTheSemaphoreExists) {
    syslog_init(0);
    testlog::drain();
    MsdShell_AddCommonCmd();
    startPostrun(); // before start-up made the semaphore
    const auto log = testlog::drain();
    EXPECT_EQ(testlog::countContaining(log, "startPostrun: rejected, Sem not ready"), 1);

    ASSERT_TRUE(postrun_init(0));
    SEM_ID postDrive = semOpen("/SemPostDrive0", SEM_TYPE_BINARY, 0, 0, 0, nullptr);
    ASSERT_NE(postDrive, SEM_ID_NULL);
    EXPECT_EQ(semTake(postDrive, NO_WAIT), ERROR);
    std::string out;
    EXPECT_EQ(shellhost_execute("reset", &out), 0) << out;
    EXPECT_EQ(semTake(postDrive, 1000), OK) << "the main task's wait ends";
}
