#include "guiharness.h"

#include <algorithm>
#include <iterator>

#include "gui/core/guitextthing.h"
#include "platform/board/display_hw.h"

namespace guitest {

namespace {
constexpr uint16_t kSentinel = 0x7FFF; // an application message no test uses
}

Root::Root(const GuiRect& r) : GuiThing(r, 0, GUI_BORDER_NONE) {
    mwStatusFlags = GUI_ST_VISIBLE | GUI_ST_CURRENT | GUI_ST_FOCUS | GUI_ST_VIEWPORTS;
}

Panel::Panel(const GuiRect& r, uint16_t id, uint32_t colour, uint16_t status)
    : GuiThing(r, id, GUI_BORDER_NONE) {
    mColors[0] = colour;
    mwStatusFlags = static_cast<uint16_t>(mwStatusFlags | status);
}

void Panel::Draw() {
    ++draws;
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    DrawChildren();
    mpScreen->EndDraw();
}

Harness::Harness(bool presentationManager) {
    displayhw_reset();
    tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiLockTask = 0;
    giCriticalNesting = 0;
    tBaseGuiTask = taskIdSelf();
    GuiThing::mpScreen = new RecordingScreen(MakeGuiRect(0, 0, 1023, 479));
    GuiThing::mpMessageQueue = new GuiMessageQueue();
    const GuiRect all = MakeGuiRect(0, 0, GuiThing::mpScreen->HRes() - 1, GuiThing::mpScreen->VRes() - 1);
    if (presentationManager) {
        pm_ = new GuiPresentationManager(all);
        GuiThing::mpPresentation = pm_;
        GuiThing::mpPresentationLink = pm_;
    } else {
        root_ = new Root(all);
        GuiThing::mpPresentation = root_;
        GuiThing::mpPresentationLink = root_;
    }
    GuiThing::mpScreen->GenerateViewportList(GuiThing::mpPresentation);
    gbGuiTimerEventPending = 0;
    gbGuiInitialized = 1;
}

Harness::~Harness() {
    if (fontsSaved_) std::copy(std::begin(savedFonts_), std::end(savedFonts_), GuiTextThing::mFontTable);
    delete root_;
    delete pm_;
    GuiThing::mpPresentation = nullptr;
    GuiThing::mpPresentationLink = nullptr;
    delete GuiThing::mpMessageQueue;
    GuiThing::mpMessageQueue = nullptr;
    delete GuiThing::mpScreen;
    GuiThing::mpScreen = nullptr;
    semDelete(tGuiPresentationMutex);
    semDelete(tGuiTimerMutex);
    tGuiPresentationMutex = tGuiTimerMutex = SEM_ID_NULL;
    gbGuiTimerEventPending = 1;
    gbGuiInitialized = 0;
}

std::vector<GuiMessage> Harness::collect() {
    std::vector<GuiMessage> out;
    GuiMessage s = GuiMakeMessage(kSentinel);
    // The sentinel goes past a full queue by waiting for room: pop first when needed.
    while (!GuiEnqueue(&s, gpGuiMesgQueue)) {
        GuiMessage m;
        GuiPopMessage(&m, gpGuiMesgQueue);
        out.push_back(m);
    }
    for (;;) {
        GuiMessage m;
        queue().Pop(&m);
        if (m.Type == kSentinel && m.Target == nullptr) break;
        out.push_back(m);
    }
    return out;
}

std::vector<GuiMessage> Harness::tick() {
    GuiTimerTaskPost();
    std::vector<GuiMessage> out = collect();  // processes the tick
    std::vector<GuiMessage> more = collect(); // the expiries it folded in
    out.insert(out.end(), more.begin(), more.end());
    return out;
}

std::vector<int> Harness::dispatchAll() {
    std::vector<int> results;
    // A tick yields nothing itself but may fold expiries in behind: go on while anything is queued.
    for (;;) {
        std::vector<GuiMessage> batch = collect();
        for (GuiMessage& m : batch) {
            if (pm_->RouteMessageToTask(&m)) continue;
            if (const int r = pm_->DispatchMessage(pm_, &m)) results.push_back(r);
        }
        if (batch.empty() && GuiQueueCount(gpGuiMesgQueue) == 0) return results;
    }
}

void Harness::pointer(uint16_t type, int x, int y) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataPoint(GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)});
    queue().Push(&m);
}

void Harness::click(int x, int y) {
    pointer(GM_BUTTON_DOWN, x, y);
    pointer(GM_BUTTON_UP, x, y);
    dispatchAll();
}

void Harness::addAndDraw(GuiThing* t) {
    GuiThing::mpPresentation->Add(t, 1);
}

void Harness::redraw(const GuiRect& r) {
    GuiThing::mpScreen->Invalidate(r);
    GuiThing::mpPresentation->Draw();
}

uint32_t Harness::px(int x, int y) {
    return displayhw_frameBuffer()[y * DISPLAY_FB_WIDTH + x];
}

Frame::Frame(GuiThing* thing, const GuiRect& area) {
    GuiThing::mpScreen->Invalidate(area);
    GuiThing::mpScreen->BeginDraw(thing);
}

Frame::~Frame() {
    GuiThing::mpScreen->EndDraw();
}

PixelSet Painted(const GuiRect& area, uint32_t colour) {
    PixelSet s;
    for (int y = area.top; y <= area.bottom; ++y)
        for (int x = area.left; x <= area.right; ++x)
            if (Harness::px(x, y) == colour) s.insert({x, y});
    return s;
}

PixelSet Box(int l, int t, int r, int b) {
    PixelSet s;
    for (int y = t; y <= b; ++y)
        for (int x = l; x <= r; ++x) s.insert({x, y});
    return s;
}

void Harness::useTestFont() {
    if (!fontsSaved_)
        std::copy(std::begin(GuiTextThing::mFontTable), std::end(GuiTextThing::mFontTable), savedFonts_);
    fontsSaved_ = true;
    for (const GuiFont*& f : GuiTextThing::mFontTable) f = &TestFont;
}

std::vector<uint32_t> Harness::snapshot() {
    std::vector<uint32_t> out;
    out.reserve(640 * 480);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) out.push_back(px(x, y));
    return out;
}

Recorder::Recorder(const GuiRect& r, uint32_t colour) : GuiWindow(r, GUI_BORDER_NONE) {
    mColors[0] = colour;
}

int Recorder::Message(const GuiMessage& m) {
    log.push_back(Received{m.Type, m.Param, m.Source, m.DataWord(0), m.DataWord(1)});
    return GuiWindow::Message(m);
}

std::vector<Received> Recorder::of(uint16_t type) const {
    std::vector<Received> out;
    for (const Received& r : log)
        if (r.type == type) out.push_back(r);
    return out;
}

std::vector<Received> Recorder::signals() const {
    std::vector<Received> out;
    for (const Received& r : log)
        if (r.type >= GM_SIGNAL && r.type < GM_USER) out.push_back(r);
    return out;
}

namespace {

// Glyph strip of the test font: 95 glyphs of 6 columns, rows of 72 bytes.
constexpr int kFirst = 32, kLast = 126, kCount = kLast - kFirst + 1,
              kRowBytes = (kCount * kTestGlyphW + 7) / 8;

struct TestGlyphs {
    uint8_t rows[kTestGlyphH][kRowBytes] = {};
    TestGlyphs() {
        for (int c = 1; c < kCount; ++c) // the space stays blank
            for (int row = 1; row <= 8; ++row)
                for (int col = 0; col < 5; ++col) {
                    const int bit = c * kTestGlyphW + col;
                    rows[row][bit / 8] = static_cast<uint8_t>(rows[row][bit / 8] | (0x80 >> (bit % 8)));
                }
    }
};
const TestGlyphs kGlyphs;

GuiFont MakeTestFont() {
    GuiFont f{};
    f.type = 0;
    f.ascent = kTestGlyphH;
    f.height = kTestGlyphH;
    f.bytesPerLine = kRowBytes;
    f.firstChar = kFirst;
    f.lastChar = kLast;
    f.charWidth = kTestGlyphW;
    f.next = nullptr;
    f.data = &kGlyphs.rows[0][0];
    return f;
}

} // namespace

const GuiFont TestFont = MakeTestFont();

PixelSet TestText(const char* text, int x, int y) {
    PixelSet s;
    for (const char* p = text; *p; ++p, x += kTestGlyphW)
        if (*p != ' ')
            for (const auto& q : Box(x, y + 1, x + 4, y + 8)) s.insert(q);
    return s;
}

GuiMessage PointerMessage(uint16_t type, int x, int y) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataPoint(GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)});
    return m;
}

void Harness::fill(uint32_t colour) {
    uint32_t* fb = displayhw_frameBuffer();
    for (int i = 0; i < DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT; ++i) fb[i] = colour;
}

} // namespace guitest
