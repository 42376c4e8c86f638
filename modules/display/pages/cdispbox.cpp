#include "display/pages/cdispbox.h"

#include <cstring>

#include "display/fonts/vektafonts.h"
#include "display/pages/dispview_draw.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

namespace {

uint32_t Colour(const rgb_s& c, bool dim) {
    return dim ? CDataView::dispElem_GhostColor(&c) : CDataView::dispElem_Color(&c);
}

} // namespace

CDispBox::CDispBox(const GuiRect& page, display_elem_s* element, GuiWindow* parent, unsigned int style)
    : CDataView(element, style), mpParentWin(parent) {
    const alphanum_s& a = element->alphanum;
    const int left = page.left + static_cast<int>(element->pos_x);
    const int top = page.top + static_cast<int>(element->pos_y);
    mRealRect = mClientRect = mClipRect = MakeGuiRect(left, top, left + static_cast<int>(element->size_x) - 1,
                                                      top + static_cast<int>(element->size_y) - 1);
    InitClient();
    mbHasLower = a.has_lower != 0;
    mbHasUpper = a.has_upper != 0;
    mLowerLimit = a.lower_limit;
    mLowerHyst = a.lower_hyst;
    mUpperLimit = a.upper_limit;
    mUpperHyst = a.upper_hyst;

    const alphanum_deco_s& mid = a.deco_middle;
    mBorderFg = Colour(mid.border_fg_col, true);
    mBorderBg = Colour(mid.border_bg_col, true);
    mTitleFg = Colour(mid.title_fg_col, true);
    mTitleBg = Colour(mid.title_bg_col, true);
    mTextFg = Colour(mid.text_fg_col, true);
    mTextBg = Colour(mid.text_bg_col, true);
    mColors[0] = mBorderBg;
    muFrameStyle = mid.style;

    const GuiRect& c = mClientRect;
    GuiScreen* s = mpScreen;
    if (a.title[0] && s) {
        mpTitle = a.title;
        miTitleWidth = s->TextWidth(mpTitle, &VektaTiny, -1);
        miTitleHeight = s->TextHeight(mpTitle, &VektaTiny);
        miTitleX = static_cast<int16_t>(c.left + (c.right - c.left) / 2 - miTitleWidth / 2);
        miTitleY = c.top;
        auto render = [&](const alphanum_deco_s& d, bool dim) {
            return DispRenderText(this, mpTitle, &VektaTiny, Colour(d.title_fg_col, dim),
                                  Colour(d.title_bg_col, dim));
        };
        mpTitleGhost = render(mid, true);
        mpTitleMiddle = render(mid, false);
        if (mbHasLower) mpTitleLower = render(a.deco_lower, false);
        if (mbHasUpper) mpTitleUpper = render(a.deco_upper, false);
        mpTitleShown = mpTitleMiddle;
    }
    // The reset mark: the title colours inverted, black on white when they are equal.
    const uint32_t tf = Colour(mid.title_fg_col, false), tb = Colour(mid.title_bg_col, false);
    mpResetMark = tf == tb ? DispRenderText(this, "R", &VektaTiny, 0x000000, 0xFFFFFF)
                           : DispRenderText(this, "R", &VektaTiny, tb, tf);

    // The value prompt: rows top, middle, bottom of three columns left, centre, right.
    const auto size = static_cast<FontSizeType_t>(a.font_size);
    const GuiFont* font = Vekta_getFont(size);
    const bool doubled = VektaFonts_isDouble(size);
    const int h = (s ? s->TextHeight("0", font) : 0) * (doubled ? 2 : 1);
    const uint32_t align = a.align;
    const uint32_t row = align >= 9 ? 1 : align / 3, column = align >= 9 ? 2 : align % 3;
    GuiRect p;
    p.left = static_cast<int16_t>(c.left + 16);
    p.right = static_cast<int16_t>(c.right - 16);
    if (row == 1) {
        p.top = static_cast<int16_t>(c.top + miTitleHeight);
        p.bottom = static_cast<int16_t>(c.bottom - 16);
    } else if (row == 2) {
        p.bottom = static_cast<int16_t>(c.bottom - 16);
        p.top = static_cast<int16_t>(c.top + miTitleHeight + h < c.bottom - 16 ? c.bottom - h - 16
                                                                               : c.top + miTitleHeight);
    } else {
        p.top = static_cast<int16_t>(c.top + miTitleHeight);
        const int bottom = p.top + h;
        p.bottom = static_cast<int16_t>(bottom < c.bottom - 16 ? bottom : c.bottom - 16);
    }
    static constexpr uint16_t kJustify[3] = {0x40, 0x80, 0x20};
    mpPrompt =
        new GuiPrompt(p, "", 0, static_cast<unsigned short>(0x4001 | kJustify[column]), doubled ? 1 : 0);
    mpPrompt->SetFont(font);
    mpPrompt->mColors[2] = mTextFg;
    mpPrompt->mColors[0] = mTextBg;
    Add(mpPrompt, 0);
}

CDispBox::~CDispBox() {
    // The value prompt is a child: it goes with the window.
    for (GuiBitmap** b : {&mpTitleLower, &mpTitleMiddle, &mpTitleGhost, &mpTitleUpper, &mpResetMark})
        DispFreeBitmap(*b);
}

int CDispBox::forceUpdate() {
    CDataView::forceUpdate();
    mbForceText = true;
    mbResetMark = false;
    return 1;
}

void CDispBox::applyZone() {
    const alphanum_s& a = mpElem->alphanum;
    const bool dim = miZone == ZONE_NO_DATA;
    const alphanum_deco_s& d =
        miZone == ZONE_LOWER ? a.deco_lower : (miZone == ZONE_UPPER ? a.deco_upper : a.deco_middle);
    mBorderFg = Colour(d.border_fg_col, dim);
    mBorderBg = Colour(d.border_bg_col, dim);
    mTitleFg = Colour(d.title_fg_col, dim);
    mTitleBg = Colour(d.title_bg_col, dim);
    mTextFg = Colour(d.text_fg_col, dim);
    mTextBg = Colour(d.text_bg_col, dim);
    muFrameStyle = d.style;
    if (miZone == ZONE_LOWER) mpTitleShown = mpTitleLower;
    if (miZone == ZONE_MIDDLE) mpTitleShown = mpTitleMiddle;
    if (miZone == ZONE_UPPER) mpTitleShown = mpTitleUpper;
    mColors[0] = mBorderBg;
    mpPrompt->mColors[2] = mTextFg;
    mpPrompt->mColors[0] = mTextBg;
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

int CDispBox::updateDisp(int) {
    int result = 0;
    bool zoneChanged = false;
    if (!mpData) {
        mbForceText = false;
        miZone = ZONE_MIDDLE;
        if (!mbHadData) { // the format text itself, as a fixed label
            mbHadData = true;
            mpPrompt->DataSet(mpElem->alphanum.format_str);
            zoneChanged = true;
        }
    } else {
        const bool fresh = mpData->getMeasUpdateState();
        if (!mbHadData && fresh) {
            mbHadData = true;
            miZone = ZONE_MIDDLE;
            zoneChanged = true;
        } else if (mbHadData && !fresh) {
            mbHadData = false;
            miZone = ZONE_NO_DATA;
            zoneChanged = true;
        }
        double v = 0;
        mpData->getQuantData(v);
        if (miZone == ZONE_LOWER && v >= static_cast<double>(mLowerLimit) + mLowerHyst) {
            miZone = ZONE_MIDDLE;
            zoneChanged = true;
        }
        if (miZone == ZONE_MIDDLE && mbHasUpper && v > mUpperLimit) {
            miZone = ZONE_UPPER;
            zoneChanged = true;
        }
        if (miZone == ZONE_UPPER && v <= static_cast<double>(mUpperLimit) - mUpperHyst) {
            miZone = ZONE_MIDDLE;
            zoneChanged = true;
        }
        if (miZone == ZONE_MIDDLE && mbHasLower && v < mLowerLimit) {
            miZone = ZONE_LOWER;
            zoneChanged = true;
        }
        mpData->getDataStr(mpElem->alphanum.format_str, mText);
        mText[TEXT_LEN] = '\0';
        if (mbForceText || std::strncmp(mText, mShown, TEXT_LEN) != 0) {
            std::memcpy(mShown, mText, sizeof mShown);
            mpPrompt->DataSet(mShown); // the prompt shows the box's own copy
            result = 1;
        }
        mbForceText = false;
    }
    if (zoneChanged) {
        applyZone();
        result = 2;
    }
    if (mpVisData && mpParentWin) {
        if (mbActive && !mbWasActive) {
            mpParentWin->Add(this, 1);
            result = 2;
            mbRedrawRequest = false;
        } else if (mbRedrawRequest || (mbWasActive && !mbActive)) {
            mpParentWin->Remove(this, 1);
            result = 2;
        }
        mbRedrawRequest = false;
        mbWasActive = mbActive;
    }
    return result;
}

void CDispBox::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !IsVisible()) return;
    s->BeginDraw(this);
    DrawFrame(1);
    const GuiRect& c = mClientRect;
    const int L = c.left, T = c.top, R = c.right, B = c.bottom;
    DispDrawFrame(this, L, T, R, B, muFrameStyle, mBorderFg, mBorderBg);
    s->Rectangle(this, MakeGuiRect(L + 16, T + 16, R - 16, B - 16),
                 GuiColor{mTextFg, mTextBg, GUI_COLOR_FILL}, 0);
    const GuiPoint title{miTitleX, miTitleY};
    if (miZone != ZONE_NO_DATA) {
        if (mpTitleShown) s->Bitmap(this, title, mpTitleShown, 0);
        mpPrompt->Draw();
    } else {
        DispDrawCross(this, L + 16, T + 16, R - 16, B - 16);
        if (mpTitleGhost) s->Bitmap(this, title, mpTitleGhost, 0);
    }
    if (mbResettable && mbResetMark && mpResetMark)
        s->Bitmap(this, GuiPoint{static_cast<int16_t>(L), static_cast<int16_t>(T)}, mpResetMark, 0);
    s->EndDraw();
}
