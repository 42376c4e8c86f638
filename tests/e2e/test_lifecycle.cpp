// Start-up, shell, post-run and exit of the real application process.
#include "app_process.h"
#include "measfile.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

using testsupport::AppProcess;
using testsupport::countOf;
using testsupport::TempDir;

namespace {

void expectOrderedShutdown(const std::string& log) {
    const size_t begin = log.find("postrun: ordered shutdown begins");
    const size_t pwm = log.find("postrun: stopping PWM outputs");
    const size_t rasters = log.find("postrun: stopping rasters");
    const size_t errmem = log.find("postrun: stopping error memory");
    const size_t done = log.find("postrun: ordered shutdown done");
    ASSERT_NE(begin, std::string::npos) << log;
    ASSERT_NE(done, std::string::npos) << log;
    EXPECT_LT(begin, pwm);
    EXPECT_LT(pwm, rasters);
    EXPECT_LT(rasters, errmem);
    EXPECT_LT(errmem, done);
}

// The thread of `pid` named `comm`; 0 when there is none.
pid_t threadNamed(pid_t pid, const std::string& comm) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
        std::string name;
        std::getline(std::ifstream(t.path() / "comm"), name);
        if (name == comm) return pid_t(std::stoi(t.path().filename()));
    }
    return 0;
}

} // namespace

TEST(Lifecycle, ResetOnTheShellIsAnOrderedShutdownAndTheBootCounterGrows) {
    TempDir root;
    for (int start = 1; start <= 2; ++start) {
        AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        const std::string out = app.shell("reset");
        EXPECT_NE(out.find("value = 0 = 0x0"), std::string::npos) << out;
        ASSERT_EQ(app.waitExit(), 0) << app.stderrText();
        const std::string log = app.logText();
        EXPECT_NE(log.find("boot counter " + std::to_string(start)), std::string::npos) << log;
    }
    const std::string log = testsupport::readFile(root.file("log/syslog-0.log"));
    EXPECT_EQ(countOf(log, "postrun: ordered shutdown done"), 2);
    expectOrderedShutdown(log);
}

// SIGTERM to the process, or to one of its threads alone (tgkill), found by its name: a task's, or
// the main thread.
TEST(Lifecycle, SigtermIsAnOrderedShutdown) {
    for (const std::string target : {"", "r_rMeas", "r_gpsTask", "tMain"}) {
        SCOPED_TRACE(target);
        TempDir root;
        AppProcess app(root.path(), {"1"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        if (!target.empty()) {
            pid_t tid = 0;
            ASSERT_TRUE(testsupport::waitUntil([&] { return (tid = threadNamed(app.pid(), target)) > 0; }));
            EXPECT_EQ(tid == app.pid(), target == "tMain") << "the main thread's id is the process's";
            ASSERT_EQ(syscall(SYS_tgkill, app.pid(), tid, SIGTERM), 0);
        } else {
            app.signal(SIGTERM);
        }
        ASSERT_EQ(app.waitExit(), 0) << app.stderrText();
        const std::string log = app.logText();
        expectOrderedShutdown(log);
        // Each line names its thread, the same in every run: no thread of the process is unnamed.
        EXPECT_NE(log.find(" tSignal app1: main(): signal 15, starting post-run"), std::string::npos) << log;
        EXPECT_NE(log.find(" tMain app1: main(): application 1 starting, PID 17, address 127.0.0.2"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find(" tMain app1: main(): exit 0"), std::string::npos) << log;
        EXPECT_EQ(countOf(log, " tHost"), 0) << log;
    }
}

TEST(Lifecycle, BadArgumentsExitWithTwo) {
    TempDir root;
    for (const auto& args :
         std::vector<std::vector<std::string>>{{}, {"2"}, {"x"}, {"0", "1"}, {"00"}, {"-1"}}) {
        AppProcess app(root.path(), args);
        EXPECT_EQ(app.waitExit(), 2);
    }
    EXPECT_NE(testsupport::readFile(root.file("stderr.txt")).find("usage:"), std::string::npos);
}

TEST(Lifecycle, DamagedParameterFileIsRefusedWithAReason) {
    TempDir root;
    testsupport::writeFile(root.file("appparam-0.conf"), "pid = 12\nip_address = 300.1.2.3\n");
    AppProcess app(root.path(), {"0"});
    EXPECT_EQ(app.waitExit(), 1);
    const std::string err = app.stderrText();
    EXPECT_NE(err.find("appparam-0.conf"), std::string::npos) << err;
    EXPECT_NE(err.find("appparam-0.conf:2: ip_address"), std::string::npos) << err;
}

TEST(Lifecycle, UnusableDeviceRootIsRefused) {
    TempDir dir;
    testsupport::writeFile(dir.file("file"), "not a folder");
    AppProcess app(dir.file("file"), {"0"});
    EXPECT_EQ(app.waitExit(), 1);
    // A mistyped root is not made: the device would start empty in it.
    AppProcess missing(dir.file("missing"), {"0"});
    EXPECT_EQ(missing.waitExit(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_NE(missing.stderrText().find("msdapp: device root '" + dir.file("missing") + "' does not exist\n"),
              std::string::npos)
        << missing.stderrText();
}

// A start with its tasks' timing perturbed names the perturbation and the value that replays it in
// its log; a value that cannot be read refuses the start with the reason.
TEST(Lifecycle, ThePerturbationIsNamedAtTheStartOrRefused) {
    TempDir root;
    {
        AppProcess app(root.path(), {"0"}, {"MSD_PERTURB=17:30:tLapTrg"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        const std::string line = " tMain app0: main(): perturbation MSD_PERTURB=17:30:tLapTrg: seed 17, ";
        EXPECT_TRUE(testsupport::waitUntil([&] { return countOf(app.logText(), line) == 1; }))
            << app.logText();
        app.signal(SIGTERM);
        EXPECT_EQ(app.waitExit(), 0) << app.stderrText();
    }
    AppProcess bad(root.path(), {"0"}, {"MSD_PERTURB=17:5000"});
    EXPECT_EQ(bad.waitExit(), 1);
    const std::string reason =
        "MSD_PERTURB='17:5000' refused: the most a wake-up is held, '5000', is no number";
    EXPECT_NE(bad.stderrText().find("msdapp: " + reason), std::string::npos) << bad.stderrText();
    EXPECT_NE(bad.logText().find("app0: main(): " + reason), std::string::npos) << bad.logText();
}

TEST(Lifecycle, ShellSurvivesBadLines) {
    TempDir root;
    AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    EXPECT_NE(app.shell("nosuchcommand 1 2").find("unknown command 'nosuchcommand'"), std::string::npos);
    const std::string huge(100 * 1024, 'a');
    EXPECT_NE(app.shell(huge).find("line too long"), std::string::npos);
    EXPECT_NE(app.shell("board din 9 1").find("usage: board"), std::string::npos);
    EXPECT_NE(app.shell("board din 3 1").find("value = 0"), std::string::npos);
    EXPECT_NE(app.shell("board").find("digital inputs : 0 0 0 1"), std::string::npos);
    EXPECT_NE(app.shell("errmem").find("0 entries"), std::string::npos);
    app.shell("reset");
    EXPECT_EQ(app.waitExit(), 0);
}

// Both applications on one root log into folders of their own; a third process on the same folders
// stops before it writes anything, also with the files beside the folders deleted or from another
// root whose meas/ is a symlink to this one's, and so does one on the same NV store or with its NV
// store in its own logging folder: it makes nothing in its root but the log with its reason; a
// process that is killed leaves no lock behind.
TEST(Lifecycle, TwoApplicationsOnOneRootNeverLogIntoOneFolder) {
    testsupport::NetNamespace net; // application 1 logs application 0's values over the device network
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    testsupport::makeDirs(root.file("cfg"));
    std::filesystem::copy_file(testsupport::sourceDir() + "/sample-root/cfg/m01.xml",
                               root.file("cfg/m01.xml"));
    AppProcess app0(root.path(), {"0"});
    auto app1 = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{"1"});
    ASSERT_TRUE(app0.waitForShell()) << app0.stderrText();
    ASSERT_TRUE(app1->waitForShell()) << app1->stderrText();
    // A file of the folder holds the counters (when the first values come, the stick may have cut
    // the first file already).
    auto logs = [&](const std::string& folder) {
        return testsupport::waitUntil([&] {
            for (const auto& e : std::filesystem::directory_iterator(root.file(folder)))
                if (measfile::readFile(e.path().string()).recordsOf(2).size() >= 10) return true;
            return false;
        });
    };
    EXPECT_TRUE(logs("meas")) << app0.logText();
    EXPECT_TRUE(logs("meas-1")) << app1->logText();

    auto inUse = [&](const std::string& folder) {
        return "msdapp: the logging folder '" + folder + "' is in use by another running process (pid " +
               std::to_string(app0.pid()) + "): two processes never log into one folder\n";
    };
    // What a refused start leaves in its root beside what was there: its output and its log, which
    // holds the refusal.
    auto leftOnly = [](const TempDir& dir, std::set<std::string> was, const std::string& refusal) {
        std::set<std::string> now;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) now.insert(e.path().filename());
        was.insert({"log", "stdout.txt", "stderr.txt"});
        EXPECT_EQ(now, was);
        EXPECT_EQ(std::filesystem::directory_iterator(dir.file("log"))->path().filename(), "syslog-0.log");
        const std::string log = testsupport::readFile(dir.file("log/syslog-0.log"));
        EXPECT_EQ(countOf(log, "\n"), 1) << log;
        EXPECT_NE(log.find("app0: main(): " + refusal.substr(std::string("msdapp: ").size())),
                  std::string::npos)
            << log;
    };
    for (const char* f : {"meas.lock", "meas2.lock", "usb_meas.lock"}) std::filesystem::remove(root.file(f));
    AppProcess second(root.path(), {"0"});
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_NE(second.stderrText().find(inUse(root.file("meas"))), std::string::npos) << second.stderrText();
    TempDir other;
    std::filesystem::create_directory_symlink(root.file("meas"), other.file("meas"));
    AppProcess third(other.path(), {"0"});
    EXPECT_EQ(third.waitExit(), 1);
    EXPECT_NE(third.stderrText().find(inUse(other.file("meas"))), std::string::npos) << third.stderrText();
    leftOnly(other, {"meas"}, inUse(other.file("meas")));
    // Logging folders of its own, but application 0's NV store.
    TempDir nvShared;
    testsupport::writeFile(nvShared.file("appparam-0.conf"), "nv_dir = " + root.file("nv") + "\n");
    AppProcess fourth(nvShared.path(), {"0"});
    EXPECT_EQ(fourth.waitExit(), 1);
    const std::string nvInUse = "msdapp: the NV folder '" + root.file("nv") +
                                "' is in use by another running process (pid " + std::to_string(app0.pid()) +
                                "): two processes never share one NV store\n";
    EXPECT_NE(fourth.stderrText().find(nvInUse), std::string::npos) << fourth.stderrText();
    leftOnly(nvShared, {"appparam-0.conf"}, nvInUse);
    // Its NV store in its own logging folder: not a store of another process.
    TempDir nvOwn;
    testsupport::writeFile(nvOwn.file("appparam-0.conf"), "nv_dir = meas\n");
    AppProcess fifth(nvOwn.path(), {"0"});
    EXPECT_EQ(fifth.waitExit(), 1);
    const std::string nvIsMeas = "msdapp: the NV folder '" + nvOwn.file("meas") +
                                 "' is one of this process's own logging folders: "
                                 "nv_dir must name a folder of its own\n";
    EXPECT_NE(fifth.stderrText().find(nvIsMeas), std::string::npos) << fifth.stderrText();
    leftOnly(nvOwn, {"appparam-0.conf"}, nvIsMeas);

    app1.reset(); // killed
    app1 = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{"1"});
    EXPECT_TRUE(app1->waitForShell()) << app1->stderrText();
    for (AppProcess* app : {&app0, app1.get()}) {
        app->signal(SIGTERM);
        EXPECT_EQ(app->waitExit(), 0) << app->stderrText();
        EXPECT_EQ(countOf(app->logText(), "a file of that name was there"), 0) << app->logText();
    }
}
