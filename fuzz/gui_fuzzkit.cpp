#include "gui_fuzzkit.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/device/l24logi.h"
#include "platform/board/display_hw.h"

namespace fuzzkit {

namespace {
GuiPresentationManager* gPm = nullptr;
}

int32_t Reader::value() {
    static const int32_t special[] = {
        0, 1, -1, 2, 7, 100, -100, 1000, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
    const uint8_t k = u8();
    if (k < 2 * std::size(special)) return special[k % std::size(special)];
    return static_cast<int32_t>(u32());
}

GuiPresentationManager* Init() {
    if (gPm) return gPm;
    tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiLockTask = 0;
    giCriticalNesting = 0;
    tBaseGuiTask = taskIdSelf();
    GuiThing::mpScreen = CreateGuiScreen();
    GuiThing::mpMessageQueue = new GuiMessageQueue();
    gPm = new GuiPresentationManager(MakeGuiRect(0, 0, 1023, 479));
    gPm->SetColor(0, kUntouched);
    GuiThing::mpPresentation = gPm;
    GuiThing::mpPresentationLink = gPm;
    GuiThing::mpScreen->GenerateViewportList(gPm);
    gbGuiTimerEventPending = 0;
    gbGuiInitialized = 1;
    return gPm;
}

// A sentinel behind the queued messages ends each round, so that popping never waits (a tick is
// taken by Pop itself and would leave it waiting on an empty queue).
void DispatchAll() {
    constexpr uint16_t kSentinel = 0x7FFF;
    for (int rounds = 0; rounds < 64 && GuiQueueCount(gpGuiMesgQueue) > 0; ++rounds) {
        const GuiMessage sentinel = GuiMakeMessage(kSentinel);
        std::vector<GuiMessage> batch;
        while (!GuiEnqueue(&sentinel, gpGuiMesgQueue)) { // full: make room first
            GuiMessage m;
            GuiPopMessage(&m, gpGuiMesgQueue);
            batch.push_back(m);
        }
        for (;;) {
            GuiMessage m;
            GuiThing::mpMessageQueue->Pop(&m);
            if (m.Type == kSentinel && !m.Target) break;
            batch.push_back(m);
        }
        for (GuiMessage& m : batch)
            if (!gPm->RouteMessageToTask(&m)) gPm->DispatchMessage(gPm, &m);
    }
}

void Tick() {
    GuiTimerTaskPost();
    DispatchAll();
}

void ClearScreen() {
    std::fill_n(displayhw_frameBuffer(), DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT, kUntouched);
}

// Row by row with memcmp, cheap enough to run after every operation.
void CheckOutsideUntouched(const GuiRect& window) {
    static const std::vector<uint32_t> untouched(DISPLAY_FB_WIDTH, kUntouched);
    auto same = [](const uint32_t* row, int x0, int x1) {
        return x1 < x0 || std::memcmp(row + x0, untouched.data(), 4u * static_cast<size_t>(x1 - x0 + 1)) == 0;
    };
    const uint32_t* fb = displayhw_frameBuffer();
    for (int y = 0; y < DISPLAY_FB_HEIGHT; ++y) {
        const uint32_t* row = fb + static_cast<size_t>(y) * DISPLAY_FB_WIDTH;
        if (y < window.top || y > window.bottom)
            Check(same(row, 0, DISPLAY_FB_WIDTH - 1));
        else
            Check(same(row, 0, window.left - 1) && same(row, window.right + 1, DISPLAY_FB_WIDTH - 1));
    }
}

void Pointer(uint16_t type, int x, int y) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataPoint(GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)});
    GuiThing::mpMessageQueue->Push(&m);
}

void ToggleShown(GuiThing* window, GuiThing* child) {
    if (child->IsVisible())
        window->Remove(child, 1);
    else
        window->Add(child, 1);
}

void RedrawWhole(GuiThing* window) {
    GuiThing::mpScreen->Invalidate(window->mRealRect);
    window->Draw();
}

} // namespace fuzzkit
