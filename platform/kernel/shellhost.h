// The debug shell of the kernel side. Commands registered by name run with (argc, argv), argv[0]
// being the command word. Lines come from the process's standard input when it is a terminal and
// from a Unix-domain socket; each command's output goes back to where its line came from,
// followed by the line "value = <result> = 0x<result>".
//
// Host differences: there is no C interpreter behind the shell; only registered commands run.
// One task serves every socket client and never waits for one: a client's answers are queued and
// sent as it takes them, its further lines wait while much is queued, and a client that takes
// nothing for SHELL_STALL_MS is dropped. At most SHELL_CLIENTS_MAX clients are served at once; one
// more is told so in a line and closed. The stop ends the shell without waiting for any client.
#pragma once

#include <functional>
#include <string>

using ShellFunc = std::function<int(int argc, char** argv)>;

inline constexpr size_t SHELL_LINE_MAX = 1023;
inline constexpr int SHELL_ARGS_MAX = 32;
inline constexpr size_t SHELL_CLIENTS_MAX = 32;
inline constexpr int SHELL_STALL_MS = 1000;

// False for an empty or taken name.
bool shellhost_register(const std::string& name, ShellFunc function);
bool shellhost_isRegistered(const std::string& name);
// Runs one line as a client would; the output (including the value line) is appended to `output`.
int shellhost_execute(const std::string& line, std::string* output);
// Starts listening on `socketPath` (an old socket file is replaced) and, when `useStdin` and the
// standard input is a terminal, reading commands from it.
bool shellhost_start(const std::string& socketPath, bool useStdin, std::string* error);
void shellhost_stop();

// printf to the client of the command being run (stdout outside a command).
int shell_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
