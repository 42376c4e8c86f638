// The real process starts with its GUI up: backlight, digital output 5 and display layer 1.
#include "app_process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

TEST(DisplayE2E, TheProcessStartsWithItsGuiUpAndBacklightOn) {
    testsupport::TempDir root;
    testsupport::AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    std::string board;
    // The backlight follows once the GUI task has built its windows.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            board = app.shell("board");
            return board.find("display layers : 0 3 0 0 0") != std::string::npos;
        },
        10000))
        << board;
    EXPECT_NE(board.find("pwm 0: 95.0 % at 1000.0 Hz"), std::string::npos) << board;
    EXPECT_NE(board.find("digital outputs: 0 0 0 0 0 1 0"), std::string::npos) << board;
    app.shell("reset");
    EXPECT_EQ(app.waitExit(), 0) << app.stderrText();
    EXPECT_NE(app.logText().find("postrun: stopping display"), std::string::npos);
}
