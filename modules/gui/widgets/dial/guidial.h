// Round gauges: a needle turning over a dial face to show an integer value. GuiDial holds the
// value, needle, anchor, face and tick geometry and the redraw that repaints only the needle's
// surroundings; finite dials sweep between two angles for a value range, circular dials turn
// endlessly, one turn per fixed number of values; the bitmap dials replace the drawn face by a
// background bitmap and compose face and needle off screen.
//
// Angles are whole degrees, 0 pointing right, growing counter-clockwise on the screen.
#pragma once

#include <cstdint>

#include "gui/core/guibitmap.h"
#include "gui/core/guithing.h"

enum : uint8_t {
    GUI_TYPE_FINITE_DIAL = 50,
    GUI_TYPE_FINITE_BITMAP_DIAL = 51,
    GUI_TYPE_CIRCULAR_DIAL = 56,
    GUI_TYPE_CIRCULAR_BITMAP_DIAL = 57,
};

// Style bits of the dials.
inline constexpr uint16_t GUI_DIAL_TICKS = 0x0040;
inline constexpr uint16_t GUI_DIAL_NEEDLE_LINE = 0x0080;    // one pixel wide
inline constexpr uint16_t GUI_DIAL_NEEDLE_WIDE = 0x0100;    // three pixels wide
inline constexpr uint16_t GUI_DIAL_NEEDLE_POLYGON = 0x0200; // filled five-point polygon
inline constexpr uint16_t GUI_DIAL_TRUE_COR = 0x0400;       // bitmap dials: turn about the client centre
inline constexpr uint16_t GUI_DIAL_OFFSET_COR = 0x0800;     // bitmap dials: turn about the stored offset

class GuiDial : public GuiThing {
public:
    GuiDial(const GuiRect& rect, unsigned int style);
    GuiDial(int x, int y, unsigned int style); // 101 x 101
    ~GuiDial() override = default;

    virtual void SetValue(int32_t value, int redraw);
    virtual int32_t IncrementValue(int32_t delta, int redraw);
    virtual int ValToAngle(int32_t value) = 0;
    virtual void CalcNeedlePos() = 0;
    virtual void DrawTicMarks() = 0;
    virtual void DrawNeedle();
    virtual void DrawAnchor();
    virtual void EraseNeedle();
    virtual void CalcClipAndDraw();
    virtual void DrawDial();
    virtual void CalcTicPos(int32_t value, GuiPoint& outer, GuiPoint& inner);

    // Looks that no operation changes after construction; the caller redraws.
    void SetTickStep(int32_t step) { miTickStep = step; } // below 1: no ticks
    void SetTickLength(int32_t percent) { miTickLength = percent; }
    void SetNeedleLength(int32_t percent) { miNeedleLength = percent; }
    void SetAnchorRadius(int32_t radius) { miAnchorRadius = radius; }
    void SetNeedleColor(uint32_t c) { mNeedleColor = c; }
    void SetFaceColor(uint32_t c) { mFaceColor = c; }
    void SetAnchorColor(uint32_t c) { mAnchorColor = c; }

    int32_t GetValue() const { return miValue; }
    // Radius of the face and its centre, from the client rectangle.
    int Radius(GuiPoint* centre) const;

    int32_t miValue = 0;
    int32_t miNeedleAngle = 0;
    GuiPoint mNeedleTip{};
    GuiPoint mNeedleCenter{};
    int32_t miNeedleLength = 80; // per cent of the radius
    int32_t miTickStep = 0;
    int32_t miTickLength; // per cent of the tick radius
    int32_t miAnchorRadius = 4;
    uint32_t mNeedleColor = 0xBF0000;
    uint32_t mFaceColor = GUI_LIGHT_GREY;
    uint32_t mAnchorColor = GUI_BLACK;
    int32_t miStartAngle = 0;
    int32_t miEndAngle = 0;
    int32_t miMin = 0;
    int32_t miMax = 0;
    int32_t mbNeedleOnly = 0;

protected:
    // The needle from the centre over length pixels at the needle angle.
    void PlaceNeedle(GuiPoint centre, int64_t length);
    // The needle about the face's centre, needle length per cent of the radius.
    void PlainNeedle();
    // The border's fill: colour slot 0, or the parent's when transparent.
    uint32_t BorderColour();
    // The drawn face, ticks, children, needle and anchor, between BeginDraw and EndDraw.
    void DrawGauge(bool border);
    // True when the clip rectangle lies inside the face's inner disc.
    bool ClipInsideFace();
    // One-pixel ticks k = firstK .. n - 1 at the minimum plus k tick steps.
    void DrawTickRun(int64_t firstK, int64_t n);
    // The end point at distance d from the centre at angle a.
    static GuiPoint PointAt(GuiPoint centre, int angle, int64_t d);

private:
    void init(unsigned int style);
};

class GuiFiniteDial : public GuiDial {
public:
    GuiFiniteDial(const GuiRect& rect, int startAngle, int endAngle, int32_t min, int32_t max,
                  unsigned int style);
    GuiFiniteDial(int x, int y, int startAngle, int endAngle, int32_t min, int32_t max, unsigned int style);
    ~GuiFiniteDial() override = default;

    void Draw() override;
    int ValToAngle(int32_t value) override;
    void CalcNeedlePos() override;
    void DrawTicMarks() override;
    virtual void SetLimits(int startAngle, int endAngle, int32_t min, int32_t max);

protected:
    int NeedleAngle();
};

class GuiCircularDial : public GuiDial {
public:
    GuiCircularDial(const GuiRect& rect, int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max,
                    unsigned int style);
    GuiCircularDial(int x, int y, int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max,
                    unsigned int style);
    ~GuiCircularDial() override = default;

    void Draw() override;
    int ValToAngle(int32_t value) override;
    void CalcNeedlePos() override;
    void DrawTicMarks() override;
    virtual void SetLimits(int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max);

    int32_t miRefAngle = 0;
    int32_t miValuesPerTurn = 2; // at least 2

protected:
    int NeedleAngle();
};

// What both bitmap dials add: the background and anchor bitmaps (not owned), the composite they
// are drawn into (owned) and the centre of rotation as an offset from the client's top-left.
struct GuiDialImage {
    GuiBitmap* background = nullptr;
    GuiBitmap* anchor = nullptr;
    GuiBitmap* composite = nullptr;
    int16_t corX = 0;
    int16_t corY = 0;
};

class GuiFiniteBitmapDial : public GuiFiniteDial {
public:
    GuiFiniteBitmapDial(const GuiRect& rect, int startAngle, int endAngle, int32_t min, int32_t max,
                        GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    GuiFiniteBitmapDial(int x, int y, int startAngle, int endAngle, int32_t min, int32_t max,
                        GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    ~GuiFiniteBitmapDial() override;

    void Draw() override;
    void CalcNeedlePos() override;
    void UseTrueCOR(int on);
    void SetCOR(int x, int y, int redraw);
    void SetBkgBitmap(GuiBitmap* background);

    GuiDialImage mImage;
};

class GuiCircularBitmapDial : public GuiCircularDial {
public:
    GuiCircularBitmapDial(const GuiRect& rect, int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max,
                          GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    GuiCircularBitmapDial(int x, int y, int refAngle, int32_t valuesPerTurn, int32_t min, int32_t max,
                          GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    ~GuiCircularBitmapDial() override;

    void Draw() override;
    void CalcNeedlePos() override;
    void UseTrueCOR(int on);
    void SetCOR(int x, int y, int redraw);

    GuiDialImage mImage;
};
