// What the widget benchmarks share: the screen, a root over it and a window-like thing over the
// visible area, as the GUI task has them. Timing is msdbench::SideBySide (bench_seconds.h).
#pragma once

#include <benchmark/benchmark.h>

#include "bench_seconds.h"
#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"

namespace benchkit {

struct Gui {
    Gui() {
        tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
        tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
        tBaseGuiTask = taskIdSelf();
        screen = CreateGuiScreen();
        GuiThing::mpScreen = screen;
        root = new GuiThing(MakeGuiRect(0, 0, 1023, 479), 0, GUI_BORDER_NONE);
        root->mwStatusFlags = GUI_ST_VISIBLE | GUI_ST_VIEWPORTS;
        GuiThing::mpPresentation = root;
        screen->GenerateViewportList(root);
        window = new GuiThing(MakeGuiRect(0, 0, 639, 479), 0, GUI_BORDER_NONE);
        window->AddStatus(GUI_ST_VIEWPORTS);
        root->Add(window, 0);
    }
    GuiScreen* screen;
    GuiThing* root;
    GuiThing* window;
};

inline Gui& gui() {
    static Gui g;
    return g;
}

// Redraws the thing completely, as one frame.
inline void FullRedraw(GuiThing* t) {
    gui().screen->Invalidate(t->mRealRect);
    t->Draw();
    benchmark::ClobberMemory();
}

} // namespace benchkit
