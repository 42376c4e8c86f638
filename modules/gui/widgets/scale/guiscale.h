// Straight gauges: a needle sliding along a vertical or horizontal travel shows a value between a
// minimum and a maximum. GuiLinearScale draws a groove and tick marks for it, GuiLinearBitmapScale
// a background bitmap and optionally a needle bitmap, composed off screen.
#pragma once

#include <cstdint>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

enum : uint8_t { GUI_TYPE_LINEAR_SCALE = 54, GUI_TYPE_LINEAR_BITMAP_SCALE = 55 };

// Style bits of the scales.
inline constexpr uint16_t GUI_SCALE_NEAR_SIDE =
    0x0020; // needle and ticks left (top); bitmap needle right (bottom)
inline constexpr uint16_t GUI_SCALE_MIN_AT_START = 0x0040; // minimum at the bottom (left)
inline constexpr uint16_t GUI_SCALE_VERTICAL = 0x0080;
inline constexpr uint16_t GUI_SCALE_TICKS = 0x0100;
inline constexpr uint16_t GUI_SCALE_OFFSETS = 0x0400; // bitmap scale: travel from the stored offsets
inline constexpr uint16_t GUI_SCALE_NEEDLE_LINE = 0x0800;
inline constexpr uint16_t GUI_SCALE_NEEDLE_FIVE = 0x1000;
inline constexpr uint16_t GUI_SCALE_NEEDLE_ARROW = 0x2000;

class GuiScale : public GuiThing {
public:
    GuiScale(const GuiRect& rect, int32_t min, int32_t max, unsigned int style);
    GuiScale(int x, int y, int32_t min, int32_t max, unsigned int style); // 101 x 151
    ~GuiScale() override = default;

    virtual void SetValue(int32_t value, int redraw);
    virtual int32_t IncrementValue(int32_t delta, int redraw);
    virtual void DrawNeedle();
    virtual void ValToPoint(int32_t value, GuiPoint& point);
    virtual void SetTravelPoints();
    virtual void CalcClipAndDraw();
    virtual void CalcNeedleRect(const GuiPoint& point, GuiRect& rect);

    void SetMinValue(int32_t v, int redraw);
    void SetMaxValue(int32_t v, int redraw);
    int32_t GetValue() const { return miValue; }
    bool Vertical() const { return mwStyleFlags & GUI_SCALE_VERTICAL; }

    int32_t miValue;
    int32_t miMin, miMax;
    int32_t miTravelStart = 0, miTravelEnd = 0;
    uint32_t mNeedleColor = 0xBF0000;
    GuiPoint mNeedlePoint{}; // only the coordinate along the travel counts
    int32_t mbNeedleOnly = 0;

protected:
    // The needle's coordinate along the travel: the stored one during a needle-only redraw.
    int NeedleAt();
    // Colour slot 0, or the parent's when transparent.
    uint32_t FillColour();

private:
    void init();
};

class GuiLinearScale : public GuiScale {
public:
    GuiLinearScale(const GuiRect& rect, int32_t min, int32_t max, int32_t tickStep, unsigned int style);
    GuiLinearScale(int x, int y, int32_t min, int32_t max, int32_t tickStep, unsigned int style);
    ~GuiLinearScale() override = default;

    void Draw() override;
    virtual void DrawScale();
    virtual void DrawTicMarks();

    int32_t miTickStep; // 0: no ticks
};

class GuiLinearBitmapScale : public GuiScale {
public:
    GuiLinearBitmapScale(const GuiRect& rect, int32_t min, int32_t max, int startOffset, int endOffset,
                         GuiBitmap* background, GuiBitmap* needle, unsigned int style);
    GuiLinearBitmapScale(int x, int y, int32_t min, int32_t max, int startOffset, int endOffset,
                         GuiBitmap* background, GuiBitmap* needle, unsigned int style);
    ~GuiLinearBitmapScale() override;

    void Draw() override;
    void SetTravelPoints() override;
    void CalcNeedleRect(const GuiPoint& point, GuiRect& rect) override;
    void SetBkgBitmap(GuiBitmap* background);

    GuiBitmap* mpBackground = nullptr; // not owned
    GuiBitmap* mpNeedle = nullptr;     // not owned
    GuiBitmap* mpComposite = nullptr;  // owned
    int32_t miNeedleOffset = 0;        // taken off the needle bitmap's place along the travel
    int32_t miStartOffset, miEndOffset;

private:
    void init(GuiBitmap* background, GuiBitmap* needle);
    // Top-left of the needle bitmap for the needle at `at`, with the scale's top-left at origin.
    GuiPoint NeedleCorner(int at, GuiPoint origin) const;
};
