// Value controls: the slider (a track with tick marks and a draggable thumb that maps its position
// to a value between a minimum and a maximum, optionally snapping to whole steps, reported to the
// parent as signal 9) and the spin button (two arrow buttons that step a value and the decimal
// text of a linked text thing, reported as signals 8 and 9).
#pragma once

#include <cstdint>

#include "gui/core/guithing.h"
#include "gui/window/guibutton.h"

enum : uint8_t { GUI_TYPE_SLIDER = 23, GUI_TYPE_SPIN_BUTTON = 24 };
// Style bits: the slider snaps to whole steps; the spin button is vertical.
inline constexpr uint16_t GUI_SLIDER_SNAP = 0x0100;
inline constexpr uint16_t GUI_SPIN_VERTICAL = 0x1000;
// The thumb's report of a new value to its slider (32-bit data: the value).
inline constexpr uint16_t GM_SLIDER_VALUE = 35;
inline constexpr unsigned GUI_SIGNAL_STEP_UP = 8;
inline constexpr unsigned GUI_SIGNAL_STEP_DOWN = 9;
inline constexpr unsigned GUI_SIGNAL_SLIDER = 9;
// Ids of the spin button's arrows.
enum : uint16_t {
    GUI_ID_SPIN_UP = 1010,
    GUI_ID_SPIN_DOWN = 1011,
    GUI_ID_SPIN_LEFT = 1012,
    GUI_ID_SPIN_RIGHT = 1013
};

class GuiSlideButton : public GuiThing {
public:
    GuiSlideButton(int min, int max, int scale, unsigned int style);
    ~GuiSlideButton() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void ParentShift(int dx, int dy) override;

    virtual void SetSize();
    virtual void UpdatePosition(GuiPoint point);
    virtual void RecalcCurrentPos(int redraw);
    virtual void UpdateHorzPos(int delta, int redraw);
    virtual void SetDragLimits();
    void UpdateVertPos(int delta, int redraw);
    // Moves the thumb's middle to the point and takes the nearest whole step.
    void CheckSnap(GuiPoint point, int vertical);

    void SetMinValue(int v);
    void SetMaxValue(int v);
    void SetCurrentValue(int v, int redraw);
    void Reset(int min, int max, int current);
    int GetCurrentValue() const { return miCurrent; }
    bool Vertical() const;

    int32_t mbDragging = 0;
    int32_t miMin, miMax, miScale;
    int32_t miCurrent;
    int32_t miTravelStart = 0;
    int32_t miTravelEnd = 0;
    int16_t miLastX = 0, miLastY = 0;

private:
    // The value of the thumb's leading edge; false when the track leaves the thumb no room.
    bool valueAtEdge(int64_t edge, int64_t* value) const;
};

class GuiSlider : public GuiThing {
public:
    GuiSlider(const GuiRect& rect, int min, int max, unsigned int id, unsigned int style, int scale);
    ~GuiSlider() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;

    virtual void SetMinValue(int v);
    virtual void SetMaxValue(int v);
    virtual void SetScale(int scale) { miScale = scale; }
    virtual int GetMinValue() { return miMin; }
    virtual int GetMaxValue() { return miMax; }
    virtual int GetScale() { return miScale; }
    virtual void SetCurrentValue(int value, int redraw);
    virtual int GetCurrentValue();
    virtual void Reset(int min, int max, int current);

    void DrawScale();
    GuiSlideButton* Thumb() const { return mpThumb; }

    GuiSlideButton* mpThumb = nullptr; // a child
    int32_t miMin, miMax;
    int32_t miScale; // value between ticks and snap step; -1: no ticks

private:
    GuiSlideButton* thumb(); // made and added on first need
    void changed();          // the limits moved: the thumb follows, the slider redraws
};

class GuiSpinButton : public GuiThing {
public:
    GuiSpinButton(int x, int y, unsigned short id, unsigned short style);
    GuiSpinButton(int x, int y, GuiTextThing* slave, int32_t min, int32_t max, int step, unsigned short id,
                  unsigned short style);
    GuiSpinButton(const GuiRect& rect, unsigned short id, unsigned short style);
    GuiSpinButton(const GuiRect& rect, GuiTextThing* slave, int32_t min, int32_t max, int step,
                  unsigned short id, unsigned short style);
    ~GuiSpinButton() override = default;

    int Message(const GuiMessage& msg) override;

    void SetLimits(int32_t min, int32_t max, int step);
    // Pads the slave's text with '0' to at least this many characters (at most 15).
    void SetDigits(int digits) { miDigits = digits; }
    void UpdateSlave(unsigned int direction);
    void AddSpinButtons();

    GuiTextThing* mpSlave = nullptr; // not owned
    int32_t miMin = 0, miMax = 0, miStep = 0;
    int32_t miDigits = 0;

private:
    void adopt(GuiTextThing* slave);
};
