// The GUI task "r_GuiMn": creates the GUI locks, the screen, the message queue object and the
// presentation manager in a fixed order, lets the application build its windows, signals
// readiness and runs the presentation manager's message loop for the rest of the process's life.
#pragma once

#include "platform/rtos.h"

class GuiPresentationManager;

// Body of the GUI task; ready (if not null) is given once the application's windows exist.
// Returns only when the message loop ends.
void GuiTaskMain(SEM_ID ready);

// Required of the application, called by the GUI task: before the windows are built, to build
// them, and after the message loop has ended.
void ConfigureGuiInput();
void GuiAppInitialize(GuiPresentationManager* pm);
void RestoreGuiInput();
