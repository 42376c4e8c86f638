// The progress bar: a bar (a raised or pressed-in button, or a row of blocks) filled in proportion
// to a value between a minimum and a maximum, optionally with the value or its percentage as text
// in two colours split at the bar's edge.
#pragma once

#include <cstdint>

#include "gui/core/guitextthing.h"
#include "gui/window/guibutton.h"

enum : uint8_t { GUI_TYPE_PROGRESS_BAR = 19 };
// Style bits of the progress bar.
inline constexpr uint16_t GUI_PROGRESS_TEXT = 0x0100;
inline constexpr uint16_t GUI_PROGRESS_PRESSED = 0x0200;
inline constexpr uint16_t GUI_PROGRESS_BLOCKS = 0x0400;
inline constexpr uint16_t GUI_PROGRESS_VERTICAL = 0x0800;
inline constexpr uint16_t GUI_PROGRESS_PERCENT = 0x1000;
inline constexpr uint16_t GUI_PROGRESS_NO_BORDER = 0x4000;

class GuiProgressBar : public GuiTextThing {
public:
    GuiProgressBar(const GuiRect& rect, unsigned short style, int min, int max, int current);
    ~GuiProgressBar() override = default;

    void Draw() override;
    void Resize(GuiRect rect) override;

    void Reconfig(unsigned short style, int min, int max);
    void Update(int value, int redraw);
    // The part of the client area that the bar covers.
    GuiRect GetButtonRect() const;
    // The text shown: the value, or the percentage followed by "%".
    void ValueText(char* out) const;

    GuiButton* mpBarButton = nullptr; // a child, or none with blocks
    GuiRect mBarRect{};
    int32_t miMin, miMax, miCurrent;

private:
    void DrawValueText();
};
