#include "display/pages/cpicture.h"

#include "display/fonts/vektafonts.h"
#include "display/pages/dispview_draw.h"
#include "gui/core/guiscreen.h"

namespace {

uint32_t Colour(const rgb_s& c, bool dim) {
    return dim ? CDataView::dispElem_GhostColor(&c) : CDataView::dispElem_Color(&c);
}

} // namespace

CPicture::CPicture(const GuiRect& page, display_elem_s* element, GuiBitmap* image, GuiWindow* parent,
                   unsigned int flags)
    : CDataView(element, flags), mpParentWin(parent), mpFont(&VektaTiny) {
    const picture_s& p = element->picture;
    const int w = static_cast<int>(element->size_x), h = static_cast<int>(element->size_y);
    const int left = page.left + static_cast<int>(element->pos_x);
    const int top = page.top + static_cast<int>(element->pos_y);
    mRealRect = mClientRect = mClipRect = MakeGuiRect(left, top, left + w - 1, top + h - 1);
    InitClient();
    const bool dim = image == nullptr;
    mBorderFg = Colour(p.deco.border_fg_col, dim);
    mBorderBg = Colour(p.deco.border_bg_col, dim);
    mTitleFg = Colour(p.deco.title_fg_col, dim);
    mTitleBg = Colour(p.deco.title_bg_col, dim);
    mStyle = p.deco.style;
    mAlpha = (image && (image->flags & GUI_BMP_ALPHA)) ? 0x80 : 0;
    mInsetX = mInsetY = mStyle != 0 ? 16 : 0;
    if (mAlpha) {
        // Drawn over what lies beneath it: no viewports of its own.
        mwStyleFlags = 0x4000;
        RemoveStatus(GUI_ST_VIEWPORTS);
    }
    GuiScreen* s = mpScreen;
    if (!s) return;
    int titleX = 0;
    if (p.title[0]) {
        mpTitle = p.title;
        mpTitleBitmap = DispRenderText(this, mpTitle, mpFont, mTitleFg, mAlpha ? 1 : mTitleBg, mAlpha ? 1 : 0,
                                       &mTitleWidth, &mTitleHeight);
        titleX = mClientRect.Width() / 2 - mTitleWidth / 2;
    }
    mpPicBitmap = s->CreateBitmap(w, h, mAlpha ? 1 : 0);
    if (mpPicBitmap) {
        s->BeginDraw(this, mpPicBitmap);
        if (!mAlpha)
            s->Rectangle(this, MakeGuiRect(0, 0, w - 1, h - 1),
                         GuiColor{mBorderBg, mBorderBg, GUI_COLOR_FILL}, 0);
        DispDrawFrame(this, 0, 0, w - 1, h - 1, mStyle, mBorderFg, mBorderBg);
        if (image)
            s->Bitmap(this, GuiPoint{static_cast<int16_t>(mInsetX), static_cast<int16_t>(mInsetY)}, image, 0);
        else
            DispDrawCross(this, mInsetX, mInsetX, w - mInsetX - 1, h - mInsetX - 1);
        if (mpTitleBitmap) s->Bitmap(this, GuiPoint{static_cast<int16_t>(titleX), 0}, mpTitleBitmap, 0);
        s->EndDraw(mpPicBitmap);
    }
    mpResetMarker = DispRenderText(this, "R", mpFont, 0x000000, 0xFFFFFF);
}

CPicture::~CPicture() {
    DispFreeBitmap(mpPicBitmap);
    DispFreeBitmap(mpTitleBitmap);
    DispFreeBitmap(mpResetMarker);
}

void CPicture::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !mpPicBitmap || !IsVisible()) return; // a picture that could not be composed draws nothing
    s->BeginDraw(this);
    const GuiPoint at{mRealRect.left, mRealRect.top};
    s->Bitmap(this, at, mpPicBitmap, 0);
    if (mbResettable && mpResetMarker && mbResetMark) s->Bitmap(this, at, mpResetMarker, 0);
    s->EndDraw();
}

int CPicture::updateDisp(int) {
    if (!mpVisData || !mpParentWin) return 0;
    int result = 0;
    if (mbActive && !mbWasActive) {
        mpParentWin->Add(this, 1);
        mbRedrawRequest = false;
        result = 2;
    } else if (mbRedrawRequest || (!mbActive && mbWasActive)) {
        mpParentWin->Remove(this, 1);
        result = 2;
    }
    mbWasActive = mbActive;
    mbRedrawRequest = false;
    return result;
}

int CPicture::forceUpdate() {
    CDataView::forceUpdate();
    mbResetMark = false;
    return 1;
}
