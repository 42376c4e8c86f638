#include "child_process.h"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

bool tieToParent(pid_t parent, int signal) {
    if (prctl(PR_SET_PDEATHSIG, signal) != 0) return false;
    // A parent that ended between the fork and the request has left the child to another one: the
    // request would never fire.
    return getppid() == parent;
}

pid_t startTiedChild(const std::vector<std::string>& argv, const std::vector<std::string>* env,
                     const ChildStreams& streams) {
    // Made before the fork: the child of a process with threads may call only what is safe after a
    // fork (another thread may hold the allocator's lock at the fork).
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (env) {
        for (const std::string& kv : *env) envp.push_back(const_cast<char*>(kv.c_str()));
        envp.push_back(nullptr);
    }
    if (args.size() < 2) return -1;
    char* const* const environment = env ? envp.data() : environ;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (!tieToParent(parent, SIGKILL)) _exit(127);
    const int fds[3] = {streams.in, streams.out, streams.err};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0) continue;
        // dup2 onto itself would keep the flag that closes it at the exec.
        if (fds[i] == i ? fcntl(i, F_SETFD, 0) != 0 : dup2(fds[i], i) < 0) _exit(127);
    }
    execve(args[0], args.data(), environment);
    _exit(127);
}

} // namespace testsupport
