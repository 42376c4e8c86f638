// Multi-state indicators: a light has a number of states and a current one, shown by
// GuiColorLight as a colour (the whole light, or a round lamp) and by GuiBitmapLight as a bitmap.
#pragma once

#include <cstdint>
#include <vector>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

enum : uint8_t { GUI_TYPE_COLOR_LIGHT = 52, GUI_TYPE_BITMAP_LIGHT = 53 };
// Style bits of the colour light: the whole light takes the colour, or a round lamp.
inline constexpr uint16_t GUI_LIGHT_FILL = 0x0100;
inline constexpr uint16_t GUI_LIGHT_ROUND = 0x0200;

class GuiLight : public GuiThing {
public:
    GuiLight(const GuiRect& rect, unsigned int states, unsigned int style);
    GuiLight(int x, int y, unsigned int states, unsigned int style); // 101 x 101
    ~GuiLight() override = default;

    // Each returns the current state; with redraw a visible light is drawn again.
    virtual unsigned int IncrementState(int redraw);
    virtual unsigned int DecrementState(int redraw);
    virtual unsigned int SetState(unsigned int state, int redraw);
    // Ignored for 0 or an unchanged count; returns the count.
    virtual unsigned int SetNumStates(unsigned int n);

    unsigned int GetState() const { return muState; }
    unsigned int GetNumStates() const { return muStates; }

    uint32_t muStates;
    uint32_t muState = 0;

private:
    unsigned int show(int redraw);
};

class GuiColorLight : public GuiLight {
public:
    GuiColorLight(const GuiRect& rect, unsigned int states, unsigned int style);
    GuiColorLight(int x, int y, unsigned int states, unsigned int style);
    ~GuiColorLight() override = default;

    void Draw() override;
    unsigned int SetNumStates(unsigned int n) override;
    // 1 when stored, 0 for a state at or beyond the number of states.
    int SetStateColor(unsigned int state, unsigned long colour);

    std::vector<uint32_t> mColorTable; // made on demand
    bool mbHasTable = false;
};

class GuiBitmapLight : public GuiLight {
public:
    GuiBitmapLight(const GuiRect& rect, unsigned int states, unsigned int style);
    GuiBitmapLight(int x, int y, unsigned int states, unsigned int style);
    ~GuiBitmapLight() override = default;

    void Draw() override;
    unsigned int SetNumStates(unsigned int n) override;
    // 1 when stored, 0 for a state at or beyond the number of states. The first call sizes the
    // light to the bitmap.
    int SetStateBitmap(unsigned int state, GuiBitmap* bitmap);

    std::vector<GuiBitmap*> mBitmapTable; // made on demand; the bitmaps are not owned
    bool mbHasTable = false;
};
