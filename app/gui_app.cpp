// The application's windows, built by the GUI task once the presentation manager exists: the
// display's main container over the screen.
#include "display/pages/cmaincontainer.h"
#include "gui/device/guitask.h"

void GuiAppInitialize(GuiPresentationManager* pm) {
    CMainContainer::Install(pm);
}
