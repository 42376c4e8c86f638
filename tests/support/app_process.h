// Runs the real application executable in a device root and talks to its debug shell.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Path of the built application executable.
std::string appExecutable();

class AppProcess {
public:
    // Starts `msdapp <args...>` with DEVICE_ROOT = root; stdout and stderr go to files in the root
    // (beside it when the root is not a folder). The process ends with the thread that made the
    // object, however the test ends (child_process.h): make it on a thread that outlives it.
    AppProcess(const std::string& deviceRoot, const std::vector<std::string>& args,
               const std::vector<std::string>& extraEnv = {});
    ~AppProcess(); // kills the process if it still runs

    pid_t pid() const { return pid_; }
    // Waits until the shell socket accepts connections (false on time-out or early exit).
    bool waitForShell(int timeoutMs = 15000);
    // Sends one command line and returns the output up to and including the "value = " line.
    std::string shell(const std::string& line, int timeoutMs = 10000);
    // Whether the process has not ended yet.
    bool running();
    // Waits for the exit; returns the exit code, 128 + signal when killed, -1 on time-out.
    int waitExit(int timeoutMs = 15000);
    void signal(int sig);
    std::string stderrText() const;
    std::string logText() const; // log/syslog-<index>.log

private:
    std::string root_;
    std::string index_;
    std::string outDir_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
};

// The process has ended, or at least its main thread has: a thread that the kernel holds in a frozen
// file system keeps the process (and its exit code) until the thaw.
bool mainThreadEnded(AppProcess& dev);

// The log of the last start of application `index` in `log` (all of it when none is there).
std::string lastRun(const std::string& log, const std::string& index = "0");

// Starts `msdapp <index>` once on a dataset of length 0, which makes it log its program identifier
// and the data page length it expects, and stops it. False (with the log) when either is missing.
bool learnDatasetIdentity(const std::string& deviceRoot, const std::string& index, std::string* program,
                          std::string* pageLength, std::string* log);

// The millisecond stamp of the first log line holding `what` (the clock of the records' time
// stamps), in seconds; -1 when there is none.
double loggedStamp(const std::string& log, const std::string& what);
// The stamps (s) of every log line holding `what`, in the log's order.
std::vector<double> loggedStamps(const std::string& log, const std::string& what);

// A lap event as the device logged it ("Received Laptrigger Event. Outing o, Lap l, Laptime s,hh"),
// with its log line's millisecond stamp in seconds.
struct LoggedLap {
    int outing = 0, lap = 0;
    double laptime = 0, stamp = 0;
};
std::vector<LoggedLap> loggedLaps(const std::string& log);

// Runs vcconfig on the device root with `text` (written to <work>/vcconfig-in.txt, the root when
// `work` is empty) and the further arguments `args`, after the shell command `before`; its exit code
// (-1 when it was killed), and its output in `out`.
int runVcconfig(const std::string& deviceRoot, const std::string& text, std::string* out,
                const std::string& before = "", const std::string& work = "", const std::string& args = "");

// Connects to a Unix socket, sends `line` + "\n", reads until a "value = " line.
std::string shellRoundTrip(const std::string& socketPath, const std::string& line, int timeoutMs);

} // namespace testsupport
