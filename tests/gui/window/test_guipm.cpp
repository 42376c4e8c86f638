// The presentation manager: where messages go, focus, pointer capture, refocus and the end of the
// loop.
#include <gtest/gtest.h>

#include <algorithm>

#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// A window that records the types it receives.
class Win : public GuiWindow {
public:
    Win(const GuiRect& r, uint16_t id = 0) : GuiWindow(r, GUI_BORDER_NONE) { mwThingId = id; }
    int Message(const GuiMessage& m) override {
        got.push_back(m.Type);
        return GuiWindow::Message(m);
    }
    int count(uint16_t type) const { return static_cast<int>(std::count(got.begin(), got.end(), type)); }
    std::vector<uint16_t> got;
};

class Thing : public GuiThing {
public:
    Thing(const GuiRect& r, uint16_t id, uint16_t status) : GuiThing(r, id, GUI_BORDER_NONE) {
        mwStatusFlags = status;
    }
    int Message(const GuiMessage& m) override {
        got.push_back(m.Type);
        return GuiThing::Message(m);
    }
    std::vector<uint16_t> got;
};

void Post(Harness& h, uint16_t type, GuiThing* target, GuiThing* source, int16_t param = 0) {
    GuiMessage m = GuiMakeMessage(type, target, source, param);
    h.queue().Push(&m);
}

} // namespace

TEST(GuiPresentationManagerDispatch, PressesMoveTheFocusAndCapturesTakeThePointer) {
    Harness h(true);
    auto* a = new Win(R(0, 0, 199, 199), 1);
    auto* b = new Win(R(300, 0, 499, 199), 2);
    h.pm().Add(a, 1);
    h.pm().Add(b, 1);
    EXPECT_EQ(h.pm().InputFocus(), b);
    // A thing that takes the pointer but not the focus: the press gives A the focus.
    auto* knob = new Thing(R(10, 10, 49, 49), 7, GUI_ST_SELECTABLE);
    a->Add(knob, 1);
    h.pointer(GM_BUTTON_DOWN, 20, 20);
    h.dispatchAll();
    EXPECT_EQ(h.pm().InputFocus(), a);
    EXPECT_EQ(h.pm().FirstChild(), a) << "brought to the front";
    EXPECT_TRUE(knob->got.size() >= 1 && knob->got.back() == GM_BUTTON_DOWN);

    // A user message with Param 7 reaches id 7 though A holds the focus; with Param 0 the focus.
    Post(h, GM_USER + 5, nullptr, nullptr, 7);
    Post(h, GM_USER + 6, nullptr, nullptr, 0);
    h.dispatchAll();
    EXPECT_EQ(knob->got.back(), GM_USER + 5);
    EXPECT_EQ(a->count(GM_USER + 6), 1);

    // With a capture held a release anywhere goes to the capturer; the capture stack holds eight.
    h.pm().CapturePointer(knob);
    h.pointer(GM_BUTTON_UP, 600, 400);
    h.dispatchAll();
    EXPECT_EQ(knob->got.back(), GM_BUTTON_UP);
    EXPECT_EQ(h.pm().InputFocus(), knob);
    for (int i = 0; i < 8; ++i) h.pm().CapturePointer(b);
    EXPECT_EQ(h.pm().CaptureDepth(), 8);
    h.pm().ReleasePointer(b);
    EXPECT_EQ(h.pm().GetPointerOwner(), b) << "released from the top, the others stay";
    EXPECT_EQ(h.pm().CaptureDepth(), 7);
    h.pm().NullInput(b);
    EXPECT_EQ(h.pm().GetPointerOwner(), knob);
    h.pm().ReleasePointer(knob);
    EXPECT_EQ(h.pm().InputFocus(), a) << "the focus from before the capture";
}

TEST(GuiPresentationManagerDispatch, RefocusAfterRemovalAndTheEndOfTheLoop) {
    Harness h(true);
    auto* a = new Win(R(0, 0, 199, 199));
    auto* b = new Win(R(300, 0, 499, 199));
    h.pm().Add(a, 1);
    h.pm().Add(b, 1);
    ASSERT_EQ(h.pm().InputFocus(), b);
    Post(h, GM_USER + 1, nullptr, nullptr); // queued before the refocus
    h.pm().Remove(b, 1);
    const std::vector<int> results = h.dispatchAll();
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(a->count(GM_USER + 1), 1);
    EXPECT_EQ(h.pm().InputFocus(), a);
    EXPECT_TRUE(a->mwStatusFlags & GUI_ST_CURRENT);
    delete b;

    // GM_EXIT from a window ends at once; from the presentation manager not while windows remain.
    Post(h, GM_EXIT, &h.pm(), &h.pm());
    EXPECT_TRUE(h.dispatchAll().empty());
    Post(h, GM_EXIT, &h.pm(), a);
    EXPECT_EQ(h.dispatchAll(), std::vector<int>{GUI_EXIT_RESULT});
    EXPECT_EQ(h.pm().InputFocus(), nullptr);
    h.pm().Remove(a, 0);
    delete a;
    Post(h, GM_EXIT, &h.pm(), &h.pm());
    EXPECT_EQ(h.dispatchAll(), std::vector<int>{GUI_EXIT_RESULT}) << "posted again, then ends";
}
