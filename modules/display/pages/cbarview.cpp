#include "display/pages/cbarview.h"

#include <algorithm>
#include <cmath>

#include "display/fonts/vektafonts.h"
#include "display/pages/dispview_draw.h"
#include "framework/calc_round.h"
#include "gui/core/guiscreen.h"

namespace {

uint32_t Colour(const rgb_s& c, bool dim) {
    return dim ? CDataView::dispElem_GhostColor(&c) : CDataView::dispElem_Color(&c);
}

} // namespace

CBarView::CBarView(const GuiRect& page, display_elem_s* element, GuiWindow* parent, unsigned int style)
    : CDataView(element, style), mpParentWin(parent) {
    const bargraph_s& g = element->bargraph;
    const int left = page.left + static_cast<int>(element->pos_x);
    const int top = page.top + static_cast<int>(element->pos_y);
    mRealRect = mClientRect = mClipRect = MakeGuiRect(left, top, left + static_cast<int>(element->size_x) - 1,
                                                      top + static_cast<int>(element->size_y) - 1);
    InitClient();
    mbHasLower = g.has_lower != 0;
    mbHasUpper = g.has_upper != 0;
    mLowerLimit = g.lower_limit;
    mLowerHyst = g.lower_hyst;
    mUpperLimit = g.upper_limit;
    mUpperHyst = g.upper_hyst;
    mMin = g.min;
    mMax = g.max;

    const bargraph_deco_s& mid = g.deco_middle;
    const uint32_t middleBar = Colour(mid.bar_fg_col, false);
    mSegment[LOWER] = mSegment[MIDDLE] = mSegment[UPPER] = middleBar;
    if (g.style == BARGR_STACKED) {
        if (mbHasLower) mSegment[LOWER] = Colour(g.deco_lower.bar_fg_col, false);
        if (mbHasUpper) mSegment[UPPER] = Colour(g.deco_upper.bar_fg_col, false);
    }
    mBarBg = Colour(mid.bar_bg_col, true);
    mBorderFg = Colour(mid.border_fg_col, true);
    mBorderBg = Colour(mid.border_bg_col, true);
    mTitleFg = Colour(mid.title_fg_col, true);
    mTitleBg = Colour(mid.title_bg_col, true);
    mTicks = Colour(mid.ticks_col, true);
    mColors[0] = mBorderBg;
    muFrameStyle = mid.style;
    mbHorizontal = g.orientation == BARGR_HORI_LR || g.orientation == BARGR_HORI_RL;
    mbReversed = g.orientation == BARGR_HORI_RL || g.orientation == BARGR_VERT_BT;

    const GuiRect& c = mClientRect;
    GuiScreen* s = mpScreen;
    const bargraph_deco_s* decos[3] = {mbHasLower ? &g.deco_lower : nullptr, &mid,
                                       mbHasUpper ? &g.deco_upper : nullptr};
    if (g.title[0] && s) {
        mpTitle = g.title;
        miTitleWidth = s->TextWidth(mpTitle, &VektaTiny, -1);
        miTitleHeight = s->TextHeight(mpTitle, &VektaTiny);
        miTitleX = static_cast<int16_t>(c.left + (c.right - c.left) / 2 - miTitleWidth / 2);
        miTitleY = c.top;
        mpTitleGhost = DispRenderText(this, mpTitle, &VektaTiny, mTitleFg, mTitleBg);
        for (int z = 0; z < 3; ++z)
            if (decos[z])
                mpTitle3[z] = DispRenderText(this, mpTitle, &VektaTiny, Colour(decos[z]->title_fg_col, false),
                                             Colour(decos[z]->title_bg_col, false));
        mpTitleShown = mpTitle3[MIDDLE];
    }

    // The bar area leaves room for the labels above a horizontal bar, right of a vertical one.
    const int zeroW = s ? s->TextWidth("0", &VektaTiny, -1) : 0;
    const int zeroH = s ? s->TextHeight("0", &VektaTiny) : 0;
    int titleRoom = miTitleHeight;
    if (mbHorizontal && g.show_ticks) titleRoom += zeroH;
    const int margin = (!mbHorizontal && g.show_ticks) ? zeroW + 17 : 16;
    mBar = MakeGuiRect(c.left + 16, c.top + titleRoom, c.right - margin, c.bottom - 16);
    const float l = mBar.left, t = mBar.top, r = mBar.right, b = mBar.bottom;
    if (mMin < mMax) {
        switch (g.orientation) {
        case BARGR_HORI_LR:
            mK = (r - l) / (mMax - mMin);
            mO = l - mK * mMin;
            break;
        case BARGR_HORI_RL:
            mK = (r - l) / (mMin - mMax);
            mO = r - mK * mMin;
            break;
        case BARGR_VERT_BT:
            mK = (b - t) / (mMin - mMax);
            mO = b - mK * mMin;
            break;
        default:
            mK = (b - t) / (mMax - mMin);
            mO = t - mK * mMin;
            break;
        }
    }
    miLowerPos = pixelOf(mLowerLimit);
    miUpperPos = pixelOf(mUpperLimit);

    if (g.show_ticks && s) {
        const uint16_t n = std::min<uint16_t>(g.tick_cnt, DISP_MAX_TICKS);
        for (uint16_t i = 0; i < n; ++i) {
            const char* name = g.ticks[i].name;
            const int p = pixelOf(g.ticks[i].value);
            miTickPos[i] = static_cast<int16_t>(p);
            const int w = s->TextWidth(name, &VektaTiny, -1), h = s->TextHeight(name, &VektaTiny);
            int bw = w;
            if (mbHorizontal) {
                mTickLabelPos[i] =
                    GuiPoint{static_cast<int16_t>(p - w / 2), static_cast<int16_t>(c.top + miTitleHeight)};
            } else {
                mTickLabelPos[i] = GuiPoint{static_cast<int16_t>(mRealRect.right - zeroW - 16),
                                            static_cast<int16_t>(p - h / 2)};
                bw = zeroW;
            }
            for (int z = 0; z < 3; ++z)
                if (decos[z])
                    mpTickLabels[z][i] =
                        DispRenderTextSized(this, name, &VektaTiny, Colour(decos[z]->ticks_col, false),
                                            Colour(decos[z]->border_bg_col, false), bw, h);
        }
        mpTickLabelsShown = mpTickLabels[MIDDLE];
    }
}

CBarView::~CBarView() {
    for (auto& set : mpTickLabels)
        for (GuiBitmap*& b : set) DispFreeBitmap(b);
    for (GuiBitmap*& b : mpTitle3) DispFreeBitmap(b);
    DispFreeBitmap(mpTitleGhost);
}

int16_t CBarView::pixelOf(double value) const {
    double p = static_cast<double>(mO) + static_cast<double>(mK) * value;
    if (std::isnan(p)) p = 0; // as for a bar without a range
    p = std::clamp(p, -32768.0, 32767.0);
    const int v = static_cast<int>(calc::round(p));
    const int lo = mbHorizontal ? mBar.left : mBar.top, hi = mbHorizontal ? mBar.right : mBar.bottom;
    return static_cast<int16_t>(std::clamp(v, lo, std::max(lo, hi)));
}

int CBarView::forceUpdate() {
    CDataView::forceUpdate();
    mbForce = true;
    return 1;
}

void CBarView::applyZone() {
    const bargraph_s& g = mpElem->bargraph;
    const bool dim = miZone == ZONE_NO_DATA;
    const bargraph_deco_s& d =
        miZone == ZONE_LOWER ? g.deco_lower : (miZone == ZONE_UPPER ? g.deco_upper : g.deco_middle);
    mBarBg = Colour(d.bar_bg_col, dim);
    mBorderFg = Colour(d.border_fg_col, dim);
    mBorderBg = Colour(d.border_bg_col, dim);
    mTitleFg = Colour(d.title_fg_col, dim);
    mTitleBg = Colour(d.title_bg_col, dim);
    mTicks = Colour(d.ticks_col, dim);
    muFrameStyle = d.style;
    if (!dim) {
        mpTitleShown = mpTitle3[miZone];
        if (mpTickLabelsShown) mpTickLabelsShown = mpTickLabels[miZone];
        if (g.style == BARGR_SOLID)
            mSegment[LOWER] = mSegment[MIDDLE] = mSegment[UPPER] = Colour(d.bar_fg_col, false);
    }
    mColors[0] = mBorderBg;
}

int CBarView::updateDisp(int) {
    int result = 0;
    bool full = false;
    if (mpData) {
        const bool fresh = mpData->getMeasUpdateState();
        if (!mbHadData && fresh) {
            mbHadData = true;
            miZone = ZONE_MIDDLE;
            full = true;
        } else if (mbHadData && !fresh) {
            mbHadData = false;
            miZone = ZONE_NO_DATA;
            full = true;
        }
        double v = 0;
        mpData->getQuantData(v);
        if (miZone == ZONE_LOWER && v >= static_cast<double>(mLowerLimit) + mLowerHyst) {
            miZone = ZONE_MIDDLE;
            full = true;
        }
        if (miZone == ZONE_MIDDLE && mbHasUpper && v > mUpperLimit) {
            miZone = ZONE_UPPER;
            full = true;
        }
        if (miZone == ZONE_UPPER && v <= static_cast<double>(mUpperLimit) - mUpperHyst) {
            miZone = ZONE_MIDDLE;
            full = true;
        }
        if (miZone == ZONE_MIDDLE && mbHasLower && v < mLowerLimit) {
            miZone = ZONE_LOWER;
            full = true;
        }
        if (full) applyZone();
        miBarEnd = pixelOf(v);
        if ((mbForce || miBarEnd != miBarEndDrawn) && !full) {
            if (IsVisible() && mpScreen) mpScreen->Invalidate(mBar);
            result = 1;
        }
        mbForce = false;
        miBarEndDrawn = miBarEnd;
    }
    if (mpVisData && mpParentWin) {
        if (mbActive && !mbWasActive) {
            mpParentWin->Add(this, 1);
            result = 2;
            full = false; // drawn whole by being added
        } else if (mbRedrawRequest || (mbWasActive && !mbActive)) {
            mpParentWin->Remove(this, 1);
            result = 2;
        }
        mbRedrawRequest = false;
        mbWasActive = mbActive;
    }
    if (full) {
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        result = 2;
    }
    return result;
}

void CBarView::fillAlong(int from, int to, uint32_t colour) {
    const int a = std::min(from, to), b = std::max(from, to);
    const GuiRect r =
        mbHorizontal ? MakeGuiRect(a, mBar.top, b, mBar.bottom) : MakeGuiRect(mBar.left, a, mBar.right, b);
    mpScreen->Rectangle(this, r, GuiColor{colour, colour, GUI_COLOR_FILL}, 0);
}

void CBarView::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !IsVisible()) return;
    s->BeginDraw(this);
    DrawFrame(1);
    const GuiRect& c = mClientRect;
    DispDrawFrame(this, c.left, c.top, c.right, c.bottom, muFrameStyle, mBorderFg, mBorderBg);
    const GuiPoint title{miTitleX, miTitleY};
    if (miZone == ZONE_NO_DATA) {
        DispDrawCross(this, c.left + 16, c.top + 16, c.right - 16, c.bottom - 16);
        if (mpTitleGhost) s->Bitmap(this, title, mpTitleGhost, 0);
        s->EndDraw();
        return;
    }
    // Along the bar from its start edge: lower, middle, upper segments up to the end, then the
    // background to the far edge.
    const int dir = mbReversed ? -1 : 1;
    const int start =
        mbHorizontal ? (mbReversed ? mBar.right : mBar.left) : (mbReversed ? mBar.bottom : mBar.top);
    const int end =
        mbHorizontal ? (mbReversed ? mBar.left : mBar.right) : (mbReversed ? mBar.top : mBar.bottom);
    auto beyond = [dir](int a, int b) { return dir * (a - b) > 0; };
    // A limit without its decoration bounds no segment.
    const int p = miBarEnd, lp = mbHasLower ? miLowerPos : start, up = mbHasUpper ? miUpperPos : end;
    if (beyond(p, lp)) {
        fillAlong(start, lp, mSegment[LOWER]);
        if (beyond(p, up)) {
            fillAlong(lp + dir, up, mSegment[MIDDLE]);
            fillAlong(up + dir, p, mSegment[UPPER]);
        } else {
            fillAlong(lp + dir, p, mSegment[MIDDLE]);
        }
    } else if (beyond(p, start)) {
        fillAlong(start, p, mSegment[LOWER]);
    }
    if (beyond(end, p)) fillAlong(p + dir, end, mBarBg);
    if (mpTickLabelsShown) {
        const uint16_t n = std::min<uint16_t>(mpElem->bargraph.tick_cnt, DISP_MAX_TICKS);
        for (uint16_t i = 0; i < n; ++i) {
            if (mpTickLabelsShown[i]) s->Bitmap(this, mTickLabelPos[i], mpTickLabelsShown[i], 0);
            const int tp = miTickPos[i];
            const GuiColor tc{mTicks, mTicks, 0};
            if (mbHorizontal)
                s->Line(this, tp, mBar.top, tp, mBar.bottom, tc, 2);
            else
                s->Line(this, mBar.left, tp, mBar.right, tp, tc, 2);
        }
    }
    if (mpTitleShown) s->Bitmap(this, title, mpTitleShown, 0);
    s->EndDraw();
}
