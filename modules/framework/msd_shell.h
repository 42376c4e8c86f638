// The debug shell as the application uses it: commands registered by name; their text output
// (shell_printf) goes back to the shell client.
#pragma once

#include "platform/kernel/shellhost.h"

using MsdShellFunc = int (*)(int argc, char** argv);

// True when registered; false for a missing function or a name already taken (logged).
bool msd_shellAddCommand(const char* name, MsdShellFunc function);
bool msd_shellAddCommand(const char* name, ShellFunc function);
// Registers the common commands: "reset" (starts the post-run), "errmem" (error memory), "display"
// (the display application's command, when it was given) and on the host "board" (the board's
// inputs and outputs).
void MsdShell_AddCommonCmd();
// The display application's command handler (`displayCommandFunc`), given before the common
// commands are registered.
void MsdShell_setDisplayCommand(MsdShellFunc function);
// Start-up: opens the shell to clients ("shell-<index>.sock" in the device root, and the terminal).
bool msd_shellStart(int rtpIndex);
void msd_shellStop();
