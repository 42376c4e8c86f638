// Processes a test starts end with the test, however it ends: its own end, a failed assertion, an
// abort (std::terminate) or ctest's time-out killing it (SIGKILL, SIGTERM). The kernel kills each
// such child (SIGKILL) when the thread that started it ends, so that no device runs on orphaned
// beside the tests after it.
//
// That thread, not the process: a child started from a helper thread that ends before the child
// should is killed with the thread. Start children from the test's own thread, or from a thread that
// outlives them (e.g. a campaign's worker that ends each run's device before the next).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Descriptors the child gets as its standard input, output and error (dup2 clears their
// close-on-exec flag); -1 leaves the test's own.
struct ChildStreams {
    int in = -1, out = -1, err = -1;
};

// Forks and runs argv[0] (a path) with `argv` and, when `env` is given, that environment (else the
// test's), tied to the calling thread as above. The pid, or -1 when the fork failed; 127 is the exit
// code of a child that could not run the program or whose test had ended before it began.
pid_t startTiedChild(const std::vector<std::string>& argv, const std::vector<std::string>* env = nullptr,
                     const ChildStreams& streams = {});

// In a child between fork and exec (only calls that are safe after a fork of a process with
// threads): asks the kernel for `signal` when the forking thread ends. False when the test process
// `parent` (its getpid() before the fork) has ended already, before the request took effect: the
// child must end then.
bool tieToParent(pid_t parent, int signal);

} // namespace testsupport
