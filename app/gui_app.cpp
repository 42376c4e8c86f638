// The application's windows, built by the GUI task once the presentation manager exists. The
// display's main container takes this place; until it does, the GUI runs with no window of the
// application.
#include "gui/guitask.h"

void GuiAppInitialize(GuiPresentationManager*) {}
