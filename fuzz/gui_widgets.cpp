// Fuzz target: a window holding one widget of each kind of the catalogue, built with arbitrary
// ranges, and then driven by arbitrary pointer messages, GUI timer ticks and setter values (ranges
// with maximum = minimum, minimum + 1, reversed, huge values, lights without states, empty frame
// lists), every queued message dispatched as the GUI task's loop does. Besides the sanitizers it
// checks that no pixel outside the window changes: the presentation manager's own colour is the
// colour the frame buffer starts with, so a repaint of the root changes nothing either.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiqueue.h"
#include "gui/device/l24logi.h"
#include "gui/widgets/dial/guidial.h"
#include "gui/widgets/polygon/guipolygon.h"
#include "gui/widgets/scale/guilight.h"
#include "gui/widgets/scale/guiprogress.h"
#include "gui/widgets/scale/guiscale.h"
#include "gui/widgets/slider/guislider.h"
#include "gui/window/guibutton.h"
#include "gui/window/guipm.h"
#include "gui/window/guiscroll.h"
#include "gui_fuzzkit.h"
#include "platform/board/display_hw.h"

namespace {

using fuzzkit::Check;
using fuzzkit::Reader;
const GuiRect kWindow = MakeGuiRect(100, 40, 539, 439);

// 8-bit bitmaps the widgets show.
uint8_t gFacePixels[40 * 40], gNeedlePixels[8 * 4];
GuiBitmap gFace{0, 8, 40, 40, 255, gFacePixels};
GuiBitmap gNeedle{GUI_BMP_TRANSPARENT, 8, 8, 4, 255, gNeedlePixels};

// The widgets of one run.
struct Scene {
    GuiWindow* window = nullptr;
    std::vector<GuiButton*> buttons;
    GuiRadioButton* radio = nullptr;
    GuiCheckBox* check = nullptr;
    GuiMLTextButton* lines = nullptr;
    GuiDecoratedButton* deco = nullptr;
    GuiScroll* bars[2] = {};
    GuiSlider* sliders[2] = {};
    GuiSpinButton* spin = nullptr;
    GuiDial* dials[4] = {};
    GuiFiniteDial* finite = nullptr;
    GuiCircularDial* circular = nullptr;
    GuiScale* scales[2] = {};
    GuiColorLight* lamp = nullptr;
    GuiBitmapLight* icon = nullptr;
    GuiProgressBar* progress = nullptr;
    Gui2DPolygon* polygon = nullptr;
    GuiAnimation* animation = nullptr;
    GuiWindow* scrolled = nullptr;
    std::vector<GuiAnimationFrame> frames;
    std::vector<GuiPoint> points;
    std::string text;
};

GuiPresentationManager* gPm = nullptr;
using fuzzkit::DispatchAll;
using fuzzkit::Tick;

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

std::vector<GuiAnimationFrame> Frames(Reader& in) {
    static GuiBitmap* const bitmaps[] = {&gbRadioOnBitmap, &gbCheckBoxOffBitmap, &gFace, &gNeedle};
    std::vector<GuiAnimationFrame> f;
    const int n = in.u8() % 5;
    for (int i = 0; i < n; ++i)
        f.push_back(GuiAnimationFrame{bitmaps[in.u8() % 4], static_cast<int8_t>(in.u8()), in.value() % 4096,
                                      in.value() % 4096, in.u8() % 6});
    f.push_back(GuiAnimationFrame{nullptr, 0, 0, 0, 0});
    return f;
}

void Build(Scene& s, Reader& in) {
    auto* w = new GuiWindow(kWindow, GUI_BORDER_NONE);
    w->SetColor(0, 0xC0C0C0);
    s.window = w;
    s.buttons.push_back(new GuiButton(R(110, 50, 150, 70), 1, GUI_BTN_ENABLED | GUI_BTN_REPEAT, nullptr, 3));
    s.buttons.push_back(new GuiTextButton(160, 50, "Text", 2, GUI_BTN_ENABLED | GUI_BTN_ON_PRESS));
    s.buttons.push_back(new GuiBitmapButton(210, 50, &gbUpArrowBitmap, 3, GUI_BTN_ENABLED));
    s.buttons.push_back(new GuiSystemButton(R(240, 50, 255, 65), &gbDownArrowBitmap, 4));
    s.radio = new GuiRadioButton(260, 50, "A", 5, GUI_BTN_ENABLED);
    s.buttons.push_back(s.radio);
    s.buttons.push_back(new GuiRadioButton(260, 70, "B", 6, GUI_BTN_ENABLED));
    s.check = new GuiCheckBox(300, 50, "C", 7, GUI_BTN_ENABLED);
    s.buttons.push_back(s.check);
    s.deco = new GuiDecoratedButton(340, 50, "D", &gbRadioOffBitmap, 8, GUI_BTN_ENABLED, 1);
    s.buttons.push_back(s.deco);
    s.lines = new GuiMLTextButton(400, 50, "a|b||c", '|', 9, GUI_BTN_ENABLED);
    s.buttons.push_back(s.lines);
    for (GuiButton* b : s.buttons) w->Add(b, 0);

    GuiScrollInfo info{in.value(), in.value(), in.value(), in.value(), in.value()};
    s.bars[0] = new GuiVScroll(R(110, 100, 125, 100 + in.u8() % 200), &info, 20);
    s.bars[1] = new GuiHScroll(R(130, 100, 130 + in.u8() % 200, 115), &info, 0);
    s.sliders[0] = new GuiSlider(R(130, 120, 130 + in.u8() % 150, 120 + in.u8() % 60), in.value(), in.value(),
                                 21, GUI_BORDER_RAISED, in.value());
    s.sliders[1] = new GuiSlider(R(290, 120, 290 + in.u8() % 40, 120 + in.u8() % 150), in.value(), in.value(),
                                 22, GUI_SLIDER_SNAP | (in.u8() & 0x4000), in.value());
    auto* slave = new GuiPrompt(R(340, 120, 380, 135), "7", 0, GUI_BORDER_THIN, 0);
    s.spin = new GuiSpinButton(385, 120, slave, in.value(), in.value(), in.value(), 23,
                               GUI_BTN_ENABLED | (in.u8() & 0x1000));
    for (GuiThing* t : {static_cast<GuiThing*>(s.bars[0]), static_cast<GuiThing*>(s.bars[1]),
                        static_cast<GuiThing*>(s.sliders[0]), static_cast<GuiThing*>(s.sliders[1]),
                        static_cast<GuiThing*>(slave), static_cast<GuiThing*>(s.spin)})
        w->Add(t, 0);

    const unsigned needles[] = {GUI_DIAL_NEEDLE_LINE, GUI_DIAL_NEEDLE_WIDE, GUI_DIAL_NEEDLE_POLYGON, 0};
    auto style = [&](unsigned extra) { return needles[in.u8() % 4] | (in.u16() & 0x4C5F) | extra; };
    s.finite =
        new GuiFiniteDial(R(110, 290, 190, 370), in.value(), in.value(), in.value(), in.value(), style(0));
    s.circular = new GuiCircularDial(200, 290, in.value(), in.value(), in.value(), in.value(), style(0));
    s.dials[0] = s.finite;
    s.dials[1] = s.circular;
    s.dials[2] = new GuiFiniteBitmapDial(310, 290, in.value(), in.value(), in.value(), in.value(), &gFace,
                                         in.u8() & 1 ? &gbRadioOnBitmap : nullptr, style(0));
    s.dials[3] = new GuiCircularBitmapDial(R(360, 290, 420, 350), in.value(), in.value(), in.value(),
                                           in.value(), in.u8() & 1 ? &gFace : nullptr, nullptr, style(0));
    for (GuiDial* d : s.dials) {
        d->SetTickStep(in.value());
        w->Add(d, 0);
    }
    s.scales[0] = new GuiLinearScale(R(430, 100, 430 + in.u8() % 100, 100 + in.u8() % 160), in.value(),
                                     in.value(), in.value(), in.u16());
    s.scales[1] =
        new GuiLinearBitmapScale(470, 280, in.value(), in.value(), in.value() % 1000, in.value() % 1000,
                                 in.u8() & 1 ? &gFace : nullptr, in.u8() & 1 ? &gNeedle : nullptr, in.u16());
    w->Add(s.scales[0], 0);
    w->Add(s.scales[1], 0);

    s.lamp = new GuiColorLight(R(110, 380, 140, 410), in.u8() % 5, in.u16());
    s.icon = new GuiBitmapLight(R(150, 380, 160, 390), in.u8() % 5, 0);
    s.progress = new GuiProgressBar(R(170, 380, 170 + in.u8() % 150, 380 + in.u8() % 50), in.u16(),
                                    in.value(), in.value(), in.value());
    s.points.resize(in.u8() % 12);
    // Near the polygon: the shapes' own target takes the whole coordinate range.
    for (GuiPoint& p : s.points)
        p = GuiPoint{static_cast<int16_t>(in.s16() % 512), static_cast<int16_t>(in.s16() % 512)};
    s.polygon =
        new Gui2DPolygon(R(330, 380, 400, 430), s.points.data(), static_cast<unsigned>(s.points.size()), 30,
                         static_cast<uint16_t>(in.u16() | GUI_POLYGON_COPY));
    s.polygon->SetColor(3, 0xFFC000);
    s.frames = Frames(in);
    s.animation = new GuiAnimation(R(410, 380, 450, 420), s.frames.data(), 31, in.u16());
    s.scrolled = new GuiWindow(R(460, 380, 530, 435), GUI_BORDER_THICK);
    s.scrolled->Add(new GuiPrompt(R(465, 385, 600, 500), "x", 0, GUI_BORDER_RAISED, 0), 0);
    for (GuiThing* t : {static_cast<GuiThing*>(s.lamp), static_cast<GuiThing*>(s.icon),
                        static_cast<GuiThing*>(s.progress), static_cast<GuiThing*>(s.polygon),
                        static_cast<GuiThing*>(s.animation), static_cast<GuiThing*>(s.scrolled)})
        w->Add(t, 0);
    gPm->Add(w, 1);
}

void Operate(Scene& s, Reader& in) {
    switch (in.u8() % 13) {
    case 0: { // the pointer, over and around the window
        const uint16_t type = static_cast<uint16_t>(GM_POINTER_MOVE + in.u8() % 3);
        GuiMessage m = GuiMakeMessage(type);
        m.SetDataPoint(
            GuiPoint{static_cast<int16_t>(80 + in.u16() % 480), static_cast<int16_t>(20 + in.u16() % 440)});
        GuiThing::mpMessageQueue->Push(&m);
        break;
    }
    case 1:
        for (int n = in.u8() % 30; n > 0; --n) Tick();
        break;
    case 2: {
        GuiDial* d = s.dials[in.u8() % 4];
        switch (in.u8() % 6) {
        case 0:
            d->SetValue(in.value(), 1);
            break;
        case 1:
            d->IncrementValue(in.value(), 1);
            break;
        case 2:
            s.finite->SetLimits(in.value(), in.value(), in.value(), in.value());
            break;
        case 3:
            s.circular->SetLimits(in.value(), in.value(), in.value(), in.value());
            break;
        case 4:
            d->SetTickStep(in.value());
            // Lengths in per cent up to ten times the face: longer lines only take longer to clip.
            d->SetTickLength(in.value() % 1000);
            d->SetNeedleLength(in.value() % 1000);
            d->SetAnchorRadius(in.value() % 1000);
            break;
        default:
            d->Style(static_cast<uint16_t>(in.u16()));
            break;
        }
        break;
    }
    case 3: {
        GuiScale* sc = s.scales[in.u8() % 2];
        switch (in.u8() % 4) {
        case 0:
            sc->SetValue(in.value(), 1);
            break;
        case 1:
            sc->IncrementValue(in.value(), 1);
            break;
        case 2:
            sc->SetMinValue(in.value(), 1);
            break;
        default:
            sc->SetMaxValue(in.value(), 1);
            break;
        }
        break;
    }
    case 4: {
        GuiLight* l = in.u8() & 1 ? static_cast<GuiLight*>(s.lamp) : s.icon;
        switch (in.u8() % 6) {
        case 0:
            l->IncrementState(1);
            break;
        case 1:
            l->DecrementState(1);
            break;
        case 2:
            l->SetState(in.u32(), 1);
            break;
        case 3:
            l->SetNumStates(in.u16());
            break;
        case 4:
            s.lamp->SetStateColor(in.u32(), in.u32() & 0xFFFFFF);
            break;
        default:
            s.icon->SetStateBitmap(in.u32(), in.u8() & 1 ? &gbCheckBoxOnBitmap : nullptr);
            break;
        }
        break;
    }
    case 5:
        if (in.u8() & 1)
            s.progress->Update(in.value(), in.u8() & 1);
        else
            s.progress->Reconfig(in.u16(), in.value(), in.value());
        break;
    case 6: {
        GuiSlider* sl = s.sliders[in.u8() % 2];
        switch (in.u8() % 6) {
        case 0:
            sl->SetMinValue(in.value());
            break;
        case 1:
            sl->SetMaxValue(in.value());
            break;
        case 2:
            sl->SetScale(in.value());
            break;
        case 3:
            sl->SetCurrentValue(in.value(), in.u8() & 1);
            break;
        case 4:
            sl->Reset(in.value(), in.value(), in.value());
            break;
        default:
            s.spin->SetLimits(in.value(), in.value(), in.value());
            s.spin->SetDigits(in.value());
            break;
        }
        break;
    }
    case 7: {
        GuiScrollInfo info{in.value(), in.value(), in.value(), in.value(), in.value()};
        if (in.u8() & 1)
            s.bars[in.u8() % 2]->Reset(&info);
        else
            s.scrolled->SetScrollMode(in.u8() & 0x8F);
        break;
    }
    case 8:
        s.polygon->SetCurAngle(in.value());
        s.polygon->SetFill(in.u8() & 1);
        s.polygon->SetLineWidth(in.u8() % 10 - 2);
        break;
    case 9: {
        GuiAnimation* a = s.animation;
        switch (in.u8() % 5) {
        case 0:
            s.frames = Frames(in);
            a->AssignFrameList(s.frames.data());
            break;
        case 1:
            a->Start(in.value());
            break;
        case 2:
            a->Stop();
            break;
        case 3:
            a->SetCurrentFrame(in.value());
            break;
        default:
            a->SetMode(in.u16());
            break;
        }
        break;
    }
    case 10: {
        GuiButton* b = s.buttons[in.u8() % s.buttons.size()];
        switch (in.u8() % 5) {
        case 0:
            b->Style(in.u16());
            break;
        case 1:
            in.u8() & 1 ? b->Enable() : b->Disable();
            break;
        case 2:
            s.radio->SetSelected(in.u8() & 1);
            s.check->SetSelected(in.u8() & 1);
            break;
        case 3:
            s.text.assign(reinterpret_cast<const char*>(in.p), std::min<size_t>(in.n, in.u8() % 16));
            s.text = s.text.c_str(); // up to the first NUL
            s.lines->DataSet(s.text.c_str());
            break;
        default:
            s.deco->SetBitmap(in.u8() & 1 ? &gbCheckBoxOnBitmap : nullptr);
            break;
        }
        break;
    }
    case 11: { // a thing shows or hides
        GuiThing* all[] = {s.sliders[0], s.dials[2], s.animation, s.progress, s.bars[0], s.scales[1]};
        fuzzkit::ToggleShown(s.window, all[in.u8() % std::size(all)]);
        break;
    }
    default:
        fuzzkit::RedrawWhole(s.window);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gPm = fuzzkit::Init();
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) gFacePixels[y * 40 + x] = static_cast<uint8_t>((x * y) % 16);
    std::fill(std::begin(gNeedlePixels), std::end(gNeedlePixels), uint8_t{1});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, std::min<size_t>(size, 4096)};
    fuzzkit::ClearScreen();
    Scene s;
    Build(s, in);
    DispatchAll();
    fuzzkit::CheckOutsideUntouched(kWindow);
    for (int ops = 0; in.n && ops < 48; ++ops) {
        Operate(s, in);
        DispatchAll();
        fuzzkit::CheckOutsideUntouched(kWindow);
    }
    // Things taken out of the window go with it.
    for (GuiThing* t : {static_cast<GuiThing*>(s.sliders[0]), static_cast<GuiThing*>(s.dials[2]),
                        static_cast<GuiThing*>(s.animation), static_cast<GuiThing*>(s.progress),
                        static_cast<GuiThing*>(s.bars[0]), static_cast<GuiThing*>(s.scales[1])})
        if (!t->Parent()) s.window->Add(t, 0);
    gPm->Remove(s.window, 0);
    delete s.window;
    DispatchAll();
    Check(GuiQueueCount(gpGuiMesgQueue) == 0);
    Check(GuiThing::mpMessageQueue->TimerCount() == 0);
    return 0;
}

// Undefined behaviour ends the run, as a memory error does.
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}
