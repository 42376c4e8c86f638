// What the widget fuzz targets share: the GUI set up in-process with the fuzzer's thread as the GUI
// task, a reader of the input that favours the values that matter at the edges of ranges, the
// message loop run by hand, and the check that nothing is drawn outside the widgets' window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gui/core/guirect.h"
#include "gui/window/guipm.h"

namespace fuzzkit {

// Ends the run as a memory error would.
inline void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// The colour of the presentation manager and of the frame buffer before each run.
inline constexpr uint32_t kUntouched = 0x5A5A5A;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    int16_t s16() { return static_cast<int16_t>(u16()); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    // A value of a range: mostly the edges that matter, else anything.
    int32_t value();
};

// Locks, screen, queue and presentation manager, once per process.
GuiPresentationManager* Init();
// Every message queued so far, and what handling them queues, as the GUI task's loop does.
void DispatchAll();
// One 50 ms timer tick and what it sets off.
void Tick();
// The frame buffer painted in kUntouched.
void ClearScreen();
// No pixel outside the window has changed since ClearScreen.
void CheckOutsideUntouched(const GuiRect& window);
// A pointer message at (x, y) queued without target, as the pointer driver posts it.
void Pointer(uint16_t type, int x, int y);
// A shown child leaves the window, one that was taken out comes back, each with drawing.
void ToggleShown(GuiThing* window, GuiThing* child);
// The whole window drawn again, as one frame.
void RedrawWhole(GuiThing* window);

} // namespace fuzzkit
