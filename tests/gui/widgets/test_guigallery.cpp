// One of each widget of the catalogue on one screen, compared with the committed golden image.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "goldenimage.h"
#include "gui/widgets/dial/guidial.h"
#include "gui/widgets/polygon/guipolygon.h"
#include "gui/widgets/scale/guilight.h"
#include "gui/widgets/scale/guiprogress.h"
#include "gui/widgets/scale/guiscale.h"
#include "gui/widgets/slider/guislider.h"
#include "gui/window/guibutton.h"
#include "gui/window/guiscroll.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

// An 8-bit bitmap drawn by a function of the pixel.
struct Art {
    Art(int w, int h, int (*index)(int x, int y), bool transparent = false)
        : pixels(static_cast<size_t>(w * h)) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                pixels[static_cast<size_t>(y * w + x)] = static_cast<uint8_t>(index(x, y));
        bitmap = GuiBitmap{static_cast<uint8_t>(transparent ? GUI_BMP_TRANSPARENT : 0),
                           8,
                           static_cast<uint16_t>(w),
                           static_cast<uint16_t>(h),
                           255,
                           pixels.data()};
    }
    std::vector<uint8_t> pixels;
    GuiBitmap bitmap{};
};

int Ring(int x, int y) {
    const double d = std::hypot(x - 39.5, y - 39.5);
    return d > 39 ? 7 : d > 37 ? 0 : d > 33 && (x + y) % 6 < 3 ? 8 : 15;
}

} // namespace

TEST(GuiGallery, OneOfEachWidgetMatchesTheGoldenImage) {
    if (const std::string skip = guitest::GoldenSkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    Harness h(true);
    auto* w = new GuiWindow(R(0, 0, 639, 479), GUI_BORDER_NONE);
    w->SetColor(0, GUI_LIGHT_GREY);
    h.pm().Add(w, 0);
    const Art face(80, 80, Ring);
    const Art strip(30, 120, [](int, int y) { return y % 20 < 2 ? 0 : y < 60 ? 10 : 11; });
    const Art pointer(
        12, 6, [](int x, int y) { return x + 2 * std::abs(y * 2 - 5) < 12 ? 1 : 255; }, true);
    GuiBitmap* faceBmp = const_cast<GuiBitmap*>(&face.bitmap);

    // Buttons.
    w->Add(new GuiButton(R(10, 10, 69, 34), 1, GUI_BTN_ENABLED, nullptr, 3), 0);
    auto* pressed = new GuiTextButton(R(80, 10, 139, 34), "Down", 2, GUI_BTN_ENABLED);
    pressed->Style(GUI_BTN_ENABLED | GUI_BTN_PRESSED);
    w->Add(pressed, 0);
    w->Add(new GuiTextButton(150, 10, "Text", 3, GUI_BTN_ENABLED | GUI_BTN_FRAME_VARIANT), 0);
    w->Add(new GuiTextButton(150, 40, 70, "Grey", 4, 0), 0);
    w->Add(new GuiBitmapButton(230, 10, &gbUpArrowBitmap, 5, GUI_BTN_ENABLED), 0);
    w->Add(new GuiSystemButton(R(230, 30, 245, 45), &gbDownArrowBitmap, 6), 0);
    auto* radio = new GuiRadioButton(260, 10, "Radio", 7, GUI_BTN_ENABLED);
    w->Add(radio, 0);
    w->Add(new GuiRadioButton(260, 35, "Other", 8, 0), 0);
    auto* check = new GuiCheckBox(350, 10, "Check", 9, GUI_BTN_ENABLED);
    w->Add(check, 0);
    w->Add(new GuiCheckBox(350, 35, "Off", 10, 0), 0);
    w->Add(new GuiDecoratedButton(440, 10, "Deco", &gbRadioOnBitmap, 11, GUI_BTN_ENABLED, 0), 0);
    w->Add(new GuiDecoratedButton(440, 40, 70, "Above", &gbCheckBoxOnBitmap, 12, GUI_BTN_BMP_ABOVE, 0), 0);
    w->Add(new GuiMLTextButton(540, 10, "Two|lines|", '|', 13, GUI_BTN_ENABLED | GUI_STYLE_RIGHT), 0);

    // Bars, sliders, spin button and progress bars.
    GuiScrollInfo info{0, 99, 40, 10, 25};
    w->Add(new GuiVScroll(R(10, 90, 25, 289), &info, 20), 0);
    w->Add(new GuiHScroll(R(40, 90, 239, 105), &info, 21), 0);
    auto* slider = new GuiSlider(R(40, 115, 239, 154), 0, 100, 22, GUI_BORDER_RAISED, 10);
    w->Add(slider, 0);
    slider->SetCurrentValue(30, 0);
    auto* snap = new GuiSlider(R(250, 90, 289, 289), 0, 100, 23, GUI_BORDER_RECESSED | GUI_SLIDER_SNAP, 25);
    w->Add(snap, 0);
    snap->SetCurrentValue(75, 0);
    auto* slave = new GuiPrompt(R(40, 165, 99, 184), "42", 0, GUI_BORDER_THIN, 0);
    w->Add(slave, 0);
    w->Add(new GuiSpinButton(105, 165, slave, 0, 99, 1, 24, GUI_BTN_ENABLED | GUI_SPIN_VERTICAL), 0);
    w->Add(new GuiSpinButton(130, 165, 25, GUI_BTN_ENABLED), 0);
    w->Add(new GuiProgressBar(R(40, 205, 239, 224),
                              GUI_BORDER_RECESSED | GUI_PROGRESS_TEXT | GUI_PROGRESS_PERCENT |
                                  GUI_PROGRESS_PRESSED,
                              0, 200, 110),
           0);
    w->Add(new GuiProgressBar(R(40, 235, 239, 254), GUI_BORDER_THIN | GUI_PROGRESS_BLOCKS, 0, 10, 7), 0);
    w->Add(new GuiProgressBar(R(40, 265, 59, 364),
                              GUI_PROGRESS_NO_BORDER | GUI_PROGRESS_VERTICAL | GUI_PROGRESS_TEXT, 0, 100, 60),
           0);

    // Dials, scales and lights.
    auto* finite =
        new GuiFiniteDial(R(300, 90, 400, 190), 225, 315, 0, 100,
                          GUI_DIAL_NEEDLE_POLYGON | GUI_DIAL_TICKS | GUI_DIAL_TRUE_COR | GUI_BORDER_RAISED);
    finite->SetTickStep(10);
    finite->SetValue(35, 0);
    w->Add(finite, 0);
    auto* circular = new GuiCircularDial(410, 90, 90, 60, 0, 600,
                                         GUI_DIAL_NEEDLE_WIDE | GUI_DIAL_TICKS | GUI_STYLE_TRANSPARENT);
    circular->SetTickStep(5);
    circular->SetValue(100, 0);
    w->Add(circular, 0);
    auto* bitmapDial =
        new GuiFiniteBitmapDial(520, 90, 200, -20, 0, 10, faceBmp, nullptr, GUI_DIAL_NEEDLE_LINE);
    bitmapDial->SetValue(7, 0);
    w->Add(bitmapDial, 0);
    auto* turning =
        new GuiCircularBitmapDial(520, 180, 90, 12, 0, 11, faceBmp, &gbRadioOnBitmap, GUI_DIAL_NEEDLE_WIDE);
    turning->SetValue(4, 0);
    w->Add(turning, 0);
    auto* scale = new GuiLinearScale(R(300, 200, 350, 350), 0, 100, 10,
                                     GUI_SCALE_VERTICAL | GUI_SCALE_TICKS | GUI_SCALE_NEEDLE_FIVE |
                                         GUI_BORDER_RECESSED);
    scale->SetValue(40, 0);
    w->Add(scale, 0);
    auto* arrow = new GuiLinearScale(R(360, 200, 500, 250), -50, 50, 25,
                                     GUI_SCALE_TICKS | GUI_SCALE_NEEDLE_ARROW | GUI_SCALE_NEAR_SIDE |
                                         GUI_SCALE_MIN_AT_START);
    arrow->SetValue(10, 0);
    w->Add(arrow, 0);
    auto* bitmapScale =
        new GuiLinearBitmapScale(360, 260, 0, 100, 110, 10, const_cast<GuiBitmap*>(&strip.bitmap),
                                 const_cast<GuiBitmap*>(&pointer.bitmap), GUI_SCALE_VERTICAL);
    bitmapScale->SetValue(70, 0);
    w->Add(bitmapScale, 0);
    auto* lamp = new GuiColorLight(R(400, 260, 440, 300), 3, GUI_LIGHT_ROUND | GUI_STYLE_TRANSPARENT);
    lamp->SetStateColor(2, 0x00C000);
    lamp->SetState(2, 0);
    w->Add(lamp, 0);
    auto* block = new GuiColorLight(R(450, 260, 490, 300), 2, GUI_LIGHT_FILL | GUI_BORDER_RAISED);
    block->SetStateColor(1, 0xE00000);
    block->SetState(1, 0);
    w->Add(block, 0);
    auto* icon = new GuiBitmapLight(R(500, 270, 0, 0), 2, 0);
    icon->SetStateBitmap(0, &gbCheckBoxOffBitmap);
    icon->SetStateBitmap(1, &gbCheckBoxOnBitmap);
    icon->SetState(1, 0);
    w->Add(icon, 0);

    // Polygon, animation and a window with its own bars.
    GuiPoint star[10];
    for (int i = 0; i < 10; ++i) {
        const double a = (90 + 36 * i) * M_PI / 180, r = i % 2 ? 18 : 45;
        star[i] = GuiPoint{static_cast<int16_t>(std::lround(50 + r * std::cos(a))),
                           static_cast<int16_t>(std::lround(50 - r * std::sin(a)))};
    }
    auto* polygon = new Gui2DPolygon(R(80, 370, 180, 470), star, 10, 30, GUI_BORDER_THIN | GUI_POLYGON_COPY);
    polygon->SetColor(0, GUI_WHITE);
    polygon->SetColor(2, GUI_BLACK);
    polygon->SetColor(3, 0xFFC000);
    polygon->SetFill(1);
    polygon->SetLineWidth(2);
    polygon->SetCurAngle(20);
    w->Add(polygon, 0);
    GuiAnimationFrame frames[] = {
        {&gbRadioOffBitmap, 5, 2, 2, 0}, {&gbRadioOnBitmap, 5, 10, 10, 4}, {nullptr, 0, 0, 0, 0}};
    auto* animation = new GuiAnimation(R(190, 370, 229, 409), frames, 31, 0);
    animation->SetColor(0, GUI_WHITE);
    animation->SetMode(GUI_ANIM_KEEP);
    w->Add(animation, 0);
    auto* scrolled = new GuiWindow(R(520, 320, 629, 469), GUI_BORDER_THICK);
    scrolled->Add(new GuiPrompt(R(530, 330, 650, 500), "Content", 0, GUI_BORDER_RAISED, 0), 0);
    w->Add(scrolled, 0);
    scrolled->SetScrollMode(GUI_SCROLL_V | GUI_SCROLL_H);
    radio->SetSelected(1);
    check->SetSelected(1);

    GuiThing::mpScreen->Invalidate(w->mRealRect);
    w->Draw();
    animation->Start(1);
    EXPECT_EQ(guitest::CompareScreenWithGolden("gallery.bmp"), 0);
}
