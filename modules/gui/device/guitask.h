// The GUI task "r_GuiMn": creates the GUI locks, the screen, the message queue object and the
// presentation manager in a fixed order, lets the application build its windows, signals
// readiness and runs the presentation manager's message loop for the rest of the process's life.
#pragma once

#include "platform/rtos/rtos.h"

class GuiPresentationManager;

// Body of the GUI task; ready (if not null) is given once the application's windows exist.
// Returns only when the message loop ends.
void GuiTaskMain(SEM_ID ready);

// The application's part, called by the GUI task: before the windows are built, to build them,
// and after the message loop has ended. Given before the GUI task starts; a table that lives as
// long as the process. Without one the GUI task builds no windows.
struct GuiApplication {
    void (*configureInput)();                       // ConfigureGuiInput
    void (*initialize)(GuiPresentationManager* pm); // GuiAppInitialize
    void (*restoreInput)();                         // RestoreGuiInput
};
void GuiSetApplication(const GuiApplication* application);

// The application's functions of those names.
void ConfigureGuiInput();
void GuiAppInitialize(GuiPresentationManager* pm);
void RestoreGuiInput();
