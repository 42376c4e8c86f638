// Headless GUI: the test thread plays the GUI task. It owns the locks, the device screen over the
// in-memory frame buffer, the message queue object and a root thing that stands in for the
// presentation manager; timer ticks are posted by hand.
#pragma once

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"
#include "gui/window/guipm.h"
#include "gui/window/guiwindow.h"

namespace guitest {

// The tree root: a visible, current thing over the whole screen that owns viewports.
class Root : public GuiThing, public GuiPresentationLink {
public:
    explicit Root(const GuiRect& r);
    void NullInput(GuiThing* t) override { nulled.push_back(t); }
    void MoveFocusTree(GuiThing* t) override { focused.push_back(t); }
    void CapturePointer(GuiThing*) override {}
    void ReleasePointer(GuiThing*) override {}
    GuiQueue* GetThingMessageQueue(GuiThing*) override { return nullptr; }
    GuiQueue* GetCurrentMessageQueue() override { return nullptr; }
    int RouteMessageToTask(GuiMessage*) override { return 0; }

    std::vector<GuiThing*> nulled;
    std::vector<GuiThing*> focused;
};

// A window-like thing that owns viewports and paints its whole rectangle in colour slot 0.
class Panel : public GuiThing {
public:
    Panel(const GuiRect& r, uint16_t id = 0, uint32_t colour = 0xFF0000, uint16_t status = GUI_ST_VIEWPORTS);
    void Draw() override;
    int draws = 0;
};

// Records the messages it receives.
class Probe : public GuiThing {
public:
    explicit Probe(const GuiRect& r, uint16_t id = 0) : GuiThing(r, id, GUI_BORDER_NONE) {}
    int Message(const GuiMessage& m) override {
        received.push_back(m);
        return GuiThing::Message(m);
    }
    std::vector<GuiMessage> received;
};

// The device screen, recording the pointer shapes it is asked for.
class RecordingScreen : public L24logi {
public:
    explicit RecordingScreen(const GuiRect& r) : L24logi(r) {}
    void SetPointerType(unsigned char type) override { pointerShapes.push_back(type); }
    std::vector<int> pointerShapes;
};

// One message as a recording window got it.
struct Received {
    uint16_t type;
    int16_t param;
    GuiThing* source;
    int32_t data0;
    int32_t data1;
};

// A window that logs every message it gets, queued or handed over at once, before its own
// handling.
class Recorder : public GuiWindow {
public:
    explicit Recorder(const GuiRect& r, uint32_t colour = 0x2040A0);
    int Message(const GuiMessage& m) override;
    // The messages of one type, in order.
    std::vector<Received> of(uint16_t type) const;
    int count(uint16_t type) const { return static_cast<int>(of(type).size()); }
    // Only the signals (types 128 to 0x3FFF).
    std::vector<Received> signals() const;
    std::vector<Received> log;
};

// A fixed-width font for exact text layout: characters 32 to 126, each 6 pixels wide and 10 high;
// every glyph but the space is a solid 5 x 8 block at columns 0 to 4, rows 1 to 8.
extern const GuiFont TestFont;
inline constexpr int kTestGlyphW = 6, kTestGlyphH = 10;

class Harness {
public:
    // With the stand-in root, or (presentationManager) with the real presentation manager.
    explicit Harness(bool presentationManager = false);
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    L24logi& screen() { return *static_cast<L24logi*>(GuiThing::mpScreen); }
    GuiMessageQueue& queue() { return *GuiThing::mpMessageQueue; }
    Root& root() { return *root_; }
    GuiPresentationManager& pm() { return *pm_; }

    // Pops everything queued so far (the ticks among it are processed by Pop) and returns it.
    std::vector<GuiMessage> collect();
    // One 50 ms tick as the timer task posts it; returns what it and the messages before it yield.
    std::vector<GuiMessage> tick();
    // With the presentation manager: dispatches everything queued, and what that queues, as the
    // GUI task's loop does; returns the results that were not 0.
    std::vector<int> dispatchAll();
    // Posts an untargeted pointer message at (x, y).
    void pointer(uint16_t type, int x, int y);
    // A press and release of the primary button at (x, y), dispatched.
    void click(int x, int y);
    // Adds a thing to the root and draws the screen.
    void addAndDraw(GuiThing* t);
    // Invalidates r and draws the root, as one frame.
    void redraw(const GuiRect& r);

    static uint32_t px(int x, int y);
    static void fill(uint32_t colour); // the whole frame buffer

    // Every font of the font table becomes the test font until the harness goes.
    void useTestFont();
    RecordingScreen& recording() { return *static_cast<RecordingScreen*>(GuiThing::mpScreen); }
    // The frame buffer's visible words, to tell whether a redraw changed any.
    static std::vector<uint32_t> snapshot();

private:
    const GuiFont* savedFonts_[GUI_FONT_TABLE_SIZE] = {};
    bool fontsSaved_ = false;
    Root* root_ = nullptr;
    GuiPresentationManager* pm_ = nullptr;
};

// One drawing pass over `area` on behalf of `thing`: Invalidate and BeginDraw, EndDraw at the end.
struct Frame {
    Frame(GuiThing* thing, const GuiRect& area);
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
};

using PixelSet = std::set<std::pair<int, int>>;
// Pixels of the frame buffer inside the area that have the colour.
PixelSet Painted(const GuiRect& area, uint32_t colour);
// Every pixel of the box (inclusive).
PixelSet Box(int l, int t, int r, int b);
// The pixels that the test font sets for text drawn at (x, y).
PixelSet TestText(const char* text, int x, int y);
// A message with a point, as the pointer gives it.
GuiMessage PointerMessage(uint16_t type, int x, int y);

} // namespace guitest
