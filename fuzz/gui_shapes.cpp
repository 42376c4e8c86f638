// Fuzz target: the screen's shape primitives (polygons, dashed lines, circles, ellipses, arcs,
// chords, pies) with arbitrary coordinates over the 16-bit range, radii, widths, angles, pattern
// words and point counts. Each operation draws either into a small bitmap with guard words around
// it or onto the screen inside a drawing frame; besides the sanitizers it checks that the guard
// words are intact and that no screen pixel outside the area the frame allows has changed.
//
// Coordinates, radii and widths are taken as they come: ring figures do only the work that the clip
// can show, however many rings and however large they are. Only a chord's width is bounded by a
// work budget (lines times length): after each ring its border draws the chord once more, a whole
// Line, so that one input cannot run for minutes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guithing.h"
#include "gui/device/l24logi.h"
#include "platform/board/display_hw.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr uint32_t kUntouched = 0xFF5A5A5Au; // no drawn colour has a top byte
constexpr uint32_t kGuard = 0xFFC0FFEEu;
constexpr int kBmpW = 37, kBmpH = 23, kGuardWords = 64;
constexpr long kLineBudget = 1L << 20;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    int16_t s16() { return static_cast<int16_t>(u8() | u8() << 8); }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    GuiPoint point() { return GuiPoint{s16(), s16()}; }
    GuiRect rect() {
        GuiRect r;
        r.left = s16(), r.top = s16(), r.right = s16(), r.bottom = s16();
        return r;
    }
    GuiColor colour() {
        GuiColor c{u32() & 0xFFFFFF, u32() & 0xFFFFFF, 0};
        c.flags = u8();
        return c;
    }
};

// The screen and its things: a window covered in its middle by another one (four viewports), a
// child kept in front that draws in its own clip, and a hidden child.
struct Scene {
    GuiScreen* screen = nullptr;
    GuiThing* root = nullptr;
    GuiThing* window = nullptr;
    GuiThing* cover = nullptr;
    GuiThing* front = nullptr;
    GuiThing* hidden = nullptr;
    std::vector<uint32_t> bitmapWords;
    GuiBitmap bitmap{};
    uint32_t pattern[12] = {};
    GuiBitmap fill{};
};
Scene* gScene = nullptr;

GuiThing* MakeThing(GuiThing* parent, GuiRect r, uint16_t status) {
    auto* t = new GuiThing(r, 0, GUI_BORDER_NONE);
    t->mwStatusFlags = static_cast<uint16_t>(t->mwStatusFlags | status);
    if (parent) parent->Add(t, 0);
    return t;
}

// Chord lines times their length within the budget.
int ChordWidth(int width, long extent) {
    const long most = kLineBudget / (std::max(extent, 0L) + 1);
    return static_cast<int>(std::clamp<long>(width, -4, std::max(most, 1L)));
}

void DrawOne(Reader& in, GuiThing* thing) {
    GuiScreen& s = *gScene->screen;
    const uint8_t op = in.u8();
    switch (op % 8) {
    case 0: { // polygon; the outline goes through Line, whose width is kept small
        const int count = static_cast<int8_t>(in.u8());
        std::vector<GuiPoint> pts(static_cast<size_t>(std::max(count, 0)));
        for (auto& p : pts) p = in.point();
        const GuiColor c = in.colour();
        s.Polygon(thing, pts.empty() ? nullptr : pts.data(), count, c, in.u8() % 8);
        break;
    }
    case 1: { // dashed line
        const GuiPoint a = in.point(), b = in.point();
        GuiColor c = in.colour();
        const int width = in.s16();
        s.PatternLine(thing, a.x, a.y, b.x, b.y, c, width, in.u32(), in.u8() & 1);
        break;
    }
    case 2: { // circle
        const GuiPoint p = in.point();
        const int r = in.u16();
        GuiColor c = in.colour();
        s.Circle(thing, p.x, p.y, r, c, in.s16());
        break;
    }
    case 3: { // ellipse
        const GuiRect r = in.rect();
        const GuiColor c = in.colour();
        s.Ellipse(thing, r, c, in.s16());
        break;
    }
    case 4: { // arc
        const GuiPoint p = in.point();
        const int r = in.u16();
        const int start = static_cast<int32_t>(in.u32()), end = static_cast<int32_t>(in.u32());
        const GuiColor c = in.colour();
        s.Arc(thing, p.x, p.y, r, start, end, c, in.s16());
        break;
    }
    case 5:
    case 6: { // chord or pie
        GuiRect r = in.rect();
        const GuiPoint a = in.point(), b = in.point();
        const GuiColor c = in.colour();
        int width = in.s16();
        if (op % 8 == 5) {
            s.Chord(thing, r, a, b, c, ChordWidth(width, long(r.right) - r.left + r.bottom - r.top));
        } else {
            width = std::min(width, 8); // the rays are Lines of this width
            s.Pie(thing, r, a, b, c, width);
        }
        break;
    }
    default: { // a new fill pattern of up to 3 x 4 pixels
        const int w = in.u8() % 3 + 1, h = in.u8() % 4 + 1;
        for (int i = 0; i < w * h; ++i) gScene->pattern[i] = in.u32() & 0xFFFFFF;
        gScene->fill = GuiBitmap{static_cast<uint8_t>(in.u8() & GUI_BMP_TRANSPARENT),
                                 32,
                                 static_cast<uint16_t>(w),
                                 static_cast<uint16_t>(h),
                                 1,
                                 reinterpret_cast<uint8_t*>(gScene->pattern)};
        s.SetFillPattern(&gScene->fill);
        break;
    }
    }
}

void IntoBitmap(Reader& in) {
    Scene& sc = *gScene;
    std::fill(sc.bitmapWords.begin(), sc.bitmapWords.end(), kGuard);
    std::fill_n(sc.bitmapWords.begin() + kGuardWords, kBmpW * kBmpH, 0u);
    sc.screen->BeginDraw(sc.window, &sc.bitmap);
    DrawOne(in, in.u8() & 1 ? sc.window : nullptr);
    sc.screen->EndDraw(&sc.bitmap);
    for (int i = 0; i < kGuardWords; ++i) {
        Check(sc.bitmapWords[i] == kGuard);
        Check(sc.bitmapWords[sc.bitmapWords.size() - 1 - i] == kGuard);
    }
}

void OntoScreen(Reader& in) {
    Scene& sc = *gScene;
    GuiThing* things[] = {sc.window, sc.front, sc.hidden};
    GuiThing* thing = things[in.u8() % 3];
    const GuiRect invalid = in.rect();
    const bool frame = in.u8() & 1;
    // What may change: the invalid area inside the thing's clip and the screen, and for things
    // drawn through the window's viewports, not the cover.
    GuiRect allowed =
        invalid & thing->mClipRect & MakeGuiRect(0, 0, sc.screen->HRes() - 1, sc.screen->VRes() - 1);
    const bool viewports = thing != sc.front;
    if (!frame) allowed = MakeGuiRect(1, 1, 0, 0);
    if (frame) {
        sc.screen->Invalidate(invalid);
        sc.screen->BeginDraw(thing);
    }
    DrawOne(in, thing);
    if (frame) sc.screen->EndDraw();
    // Row by row: every run outside the allowed area must be untouched; the allowed area is then
    // reset. memcmp keeps the check cheap enough to run after every operation.
    static const std::vector<uint32_t> untouched(DISPLAY_FB_WIDTH, kUntouched);
    uint32_t* fb = displayhw_frameBuffer();
    const GuiRect cov = sc.cover->mRealRect;
    auto same = [&](const uint32_t* row, int x0, int x1) {
        return x1 < x0 || std::memcmp(row + x0, untouched.data(), 4u * static_cast<size_t>(x1 - x0 + 1)) == 0;
    };
    for (int y = 0; y < DISPLAY_FB_HEIGHT; ++y) {
        uint32_t* row = fb + static_cast<size_t>(y) * DISPLAY_FB_WIDTH;
        if (allowed.IsEmpty() || y < allowed.top || y > allowed.bottom) {
            Check(same(row, 0, DISPLAY_FB_WIDTH - 1));
            continue;
        }
        Check(same(row, 0, allowed.left - 1) && same(row, allowed.right + 1, DISPLAY_FB_WIDTH - 1));
        if (viewports && y >= cov.top && y <= cov.bottom)
            Check(same(row, std::max<int>(cov.left, allowed.left), std::min<int>(cov.right, allowed.right)));
        std::fill(row + allowed.left, row + allowed.right + 1, kUntouched);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY);
    tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY);
    tBaseGuiTask = taskIdSelf();
    gScene = new Scene;
    Scene& sc = *gScene;
    sc.screen = CreateGuiScreen();
    GuiThing::mpScreen = sc.screen;
    sc.root = MakeThing(nullptr, MakeGuiRect(0, 0, 1023, 479), GUI_ST_VISIBLE | GUI_ST_VIEWPORTS);
    GuiThing::mpPresentation = sc.root;
    sc.screen->GenerateViewportList(sc.root);
    // The window stays clear of the screen's sides, so that a write past a row's end shows.
    sc.window = MakeThing(sc.root, MakeGuiRect(100, 40, 599, 439), GUI_ST_VIEWPORTS);
    sc.cover = MakeThing(sc.root, MakeGuiRect(300, 200, 399, 279), GUI_ST_VIEWPORTS);
    sc.front = MakeThing(sc.window, MakeGuiRect(250, 150, 449, 329), GUI_ST_FRONT);
    sc.hidden = MakeThing(sc.window, MakeGuiRect(120, 60, 579, 419), 0);
    sc.hidden->mwStatusFlags &= static_cast<uint16_t>(~GUI_ST_VISIBLE);
    int views = 0;
    for (Viewport* v = sc.window->mpViewports; v; v = v->next) ++views;
    if (views != 4 || !sc.window->IsVisible() || sc.hidden->IsVisible()) {
        std::fprintf(stderr, "scene not set up: %d viewports\n", views);
        std::abort();
    }
    sc.bitmapWords.assign(kBmpW * kBmpH + 2 * kGuardWords, kGuard);
    sc.bitmap = GuiBitmap{GUI_BMP_DRAWABLE,
                          32,
                          kBmpW,
                          kBmpH,
                          0,
                          reinterpret_cast<uint8_t*>(sc.bitmapWords.data() + kGuardWords)};
    std::fill_n(displayhw_frameBuffer(), DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT, kUntouched);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, std::min<size_t>(size, 4096)};
    gScene->screen->SetFillPattern(nullptr);
    // The dash phase carries over from one input to the next; a restart keeps runs repeatable.
    GuiColor none{0, 0, 0};
    gScene->screen->PatternLine(gScene->window, 0, 0, 0, 0, none, 1, 0, 1);
    for (int ops = 0; in.n && ops < 16; ++ops) {
        if (in.u8() & 1)
            IntoBitmap(in);
        else
            OntoScreen(in);
    }
    return 0;
}
