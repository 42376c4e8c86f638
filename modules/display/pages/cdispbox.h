// The alphanumeric box: a framed box with an optional title and the value text of its channel.
// Colours and frame follow the decoration of the zone the value lies in (lower, middle, upper,
// with hysteresis), or a dimmed middle decoration with a red cross while no value arrives. Only
// what changed is redrawn.
#pragma once

#include <cstdint>

#include "display/pages/cdataview.h"

class GuiPrompt;

// Zones of a value.
enum : int32_t { ZONE_LOWER = 0, ZONE_MIDDLE = 1, ZONE_UPPER = 2, ZONE_NO_DATA = 3 };

class CDispBox : public CDataView {
public:
    static constexpr int TEXT_LEN = 255;

    CDispBox(const GuiRect& page, display_elem_s* element, GuiWindow* parent, unsigned int style);
    ~CDispBox() override;

    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;

    int32_t zone() const { return miZone; }
    const char* text() const { return mText; }

private:
    void applyZone();

    GuiWindow* mpParentWin;
    char mText[TEXT_LEN + 1] = {};
    char mShown[TEXT_LEN + 1] = {};
    GuiPrompt* mpPrompt = nullptr;
    bool mbForceText = true;
    const char* mpTitle = nullptr;
    int16_t miTitleX = 0;
    int16_t miTitleY = 0;
    GuiBitmap* mpTitleLower = nullptr;
    GuiBitmap* mpTitleMiddle = nullptr;
    GuiBitmap* mpTitleGhost = nullptr;
    GuiBitmap* mpTitleUpper = nullptr;
    GuiBitmap* mpTitleShown = nullptr;
    GuiBitmap* mpResetMark = nullptr;
    uint32_t mBorderFg = 0, mBorderBg = 0, mTitleFg = 0, mTitleBg = 0, mTextFg = 0, mTextBg = 0;
    uint32_t muFrameStyle = 0;
    bool mbHasLower = false;
    bool mbHasUpper = false;
    bool mbHadData = false;
    int32_t miTitleWidth = 0;
    int32_t miTitleHeight = 16;
    int32_t miZone = ZONE_NO_DATA;
    float mLowerLimit = 0, mUpperLimit = 0, mLowerHyst = 0, mUpperHyst = 0;
};
