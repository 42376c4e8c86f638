// Headless display: displayInit starts "r_dispInitDone", "r_GuiMn" and "r_t_GuiTmr" on their
// threads as in the process; the test's build function takes the application's place in the GUI
// task, and code can be run in the GUI task on request. The destructor ends the GUI tasks, so the
// next test starts afresh.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <utility>

#include "glyphs.h"
#include "gui/core/guibitmap.h"
#include "gui/window/guipm.h"
#include "platform/rtos/rtos.h"

namespace disptest {

class GuiRun {
public:
    explicit GuiRun(std::function<void(GuiPresentationManager*)> build = {});
    ~GuiRun();
    GuiRun(const GuiRun&) = delete;
    GuiRun& operator=(const GuiRun&) = delete;

    GuiPresentationManager* pm() const;
    // Runs fn in the GUI task, behind every message queued before, and waits for it.
    void inGui(const std::function<void()>& fn);
    // Flushes the screen in the GUI task: the panel image then shows the frame buffer.
    void present();

private:
    class Hook;
    Hook* hook_;
};

using Pixels = std::set<std::pair<int, int>>;
using guitest::Glyphs;
// The pixels of the panel image inside the box that have the colour.
Pixels PanelPixels(int left, int top, int right, int bottom, uint32_t colour);
// Waits until cond holds; the bound only ends a wait for a state that never comes (a busy host
// with a sanitizer may take seconds to draw).
bool WaitFor(const std::function<bool()>& cond, int ms = 30000);

} // namespace disptest
