// The bar graph: a framed area with an optional title, a bar that grows from one edge in one of
// four orientations in proportion to the value between a minimum and a maximum, optional ticks
// with labels, and colours that follow the value's zone (lower, middle, upper, with hysteresis) or
// a dimmed middle decoration with a red cross while no value arrives. Between colour changes only
// the bar area is redrawn, and only when the bar end moved by a pixel.
#pragma once

#include <cstdint>

#include "display/pages/cdataview.h"
#include "display/pages/cdispbox.h"

class CBarView : public CDataView {
public:
    CBarView(const GuiRect& page, display_elem_s* element, GuiWindow* parent, unsigned int style);
    ~CBarView() override;

    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;

    // The pixel of a value along the bar, limited to the bar area; NaN counts as 0.
    int16_t pixelOf(double value) const;
    const GuiRect& barArea() const { return mBar; }
    int16_t barEnd() const { return miBarEnd; }
    int32_t zone() const { return miZone; }

private:
    enum { LOWER = 0, MIDDLE = 1, UPPER = 2 };
    void applyZone();
    void fillAlong(int from, int to, uint32_t colour);

    int16_t miBarEnd = 0;
    int16_t miBarEndDrawn = 0;
    bool mbForce = true;
    GuiRect mBar{};
    GuiPoint mTickLabelPos[DISP_MAX_TICKS] = {};
    int16_t miTickPos[DISP_MAX_TICKS] = {};
    GuiBitmap* mpTickLabels[3][DISP_MAX_TICKS] = {};
    GuiBitmap** mpTickLabelsShown = nullptr;
    GuiWindow* mpParentWin;
    const char* mpTitle = nullptr;
    int16_t miTitleX = 0;
    int16_t miTitleY = 0;
    GuiBitmap* mpTitle3[3] = {};
    GuiBitmap* mpTitleGhost = nullptr;
    GuiBitmap* mpTitleShown = nullptr;
    uint32_t mBorderFg = 0, mBorderBg = 0, mTitleFg = 0, mTitleBg = 0;
    uint32_t mSegment[3] = {};
    uint32_t mBarBg = 0, mTicks = 0;
    bool mbHasLower = false;
    bool mbHasUpper = false;
    int32_t miTitleWidth = 0;
    int32_t miTitleHeight = 16;
    int32_t miZone = ZONE_NO_DATA;
    float mLowerLimit = 0, mUpperLimit = 0, mLowerHyst = 0, mUpperHyst = 0;
    uint32_t muFrameStyle = 0;
    float mMin = 0, mMax = 0;
    float mK = 0, mO = 0;
    bool mbReversed = false;
    bool mbHorizontal = false;
    bool mbHadData = false;
    int16_t miLowerPos = 0;
    int16_t miUpperPos = 0;
};
