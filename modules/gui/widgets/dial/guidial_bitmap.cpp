// The bitmap dials: a background bitmap in place of the drawn face and, optionally, an anchor
// bitmap. Face and needle are composed off screen into a bitmap of the background's size, which is
// then drawn in one piece, so the needle never flickers over an erased face.
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"
#include "gui/widgets/dial/guidial.h"

namespace {

// Exactly one of the two centres of rotation.
unsigned int CorStyle(unsigned int style, bool allowOffset) {
    const unsigned int cor =
        (allowOffset && (style & GUI_DIAL_OFFSET_COR)) ? GUI_DIAL_OFFSET_COR : GUI_DIAL_TRUE_COR;
    return (style & ~0x0C00u) | cor;
}

GuiRect SizeOf(int x, int y, const GuiBitmap* b) {
    return b ? MakeGuiRect(x, y, x + b->width - 1, y + b->height - 1) : MakeGuiRect(x, y, x + 100, y + 100);
}

bool OffsetCor(const GuiDial& d) {
    return (d.mwStyleFlags & 0x0C00) == GUI_DIAL_OFFSET_COR;
}

// The needle about the stored offset from the client's top-left, its length measured on the
// larger side.
void OffsetNeedle(GuiDial& d, const GuiDialImage& img) {
    const GuiRect& c = d.mClientRect;
    const GuiPoint centre{static_cast<int16_t>(c.left + img.corX), static_cast<int16_t>(c.top + img.corY)};
    const int64_t length = int64_t{d.miNeedleLength} * std::max(c.Width(), c.Height()) / 100;
    int s = 0, k = 0;
    GuiLookupSinCos(d.miNeedleAngle, &s, &k);
    d.mNeedleCenter = centre;
    d.mNeedleTip = GuiPoint{
        static_cast<int16_t>(std::clamp<int64_t>(centre.x + ((length * k) >> 10), INT16_MIN, INT16_MAX)),
        static_cast<int16_t>(std::clamp<int64_t>(centre.y - ((length * s) >> 10), INT16_MIN, INT16_MAX))};
}

void Shift(GuiDial& d, int dx, int dy) {
    d.mRealRect.Shift(dx, dy);
    d.mClientRect.Shift(dx, dy);
    d.mClipRect.Shift(dx, dy);
    d.mNeedleTip =
        GuiPoint{static_cast<int16_t>(d.mNeedleTip.x + dx), static_cast<int16_t>(d.mNeedleTip.y + dy)};
    d.mNeedleCenter =
        GuiPoint{static_cast<int16_t>(d.mNeedleCenter.x + dx), static_cast<int16_t>(d.mNeedleCenter.y + dy)};
}

GuiBitmap* MakeComposite(const GuiBitmap& background, bool copyTransparency) {
    GuiBitmap* c = GuiThing::mpScreen->CreateBitmap(background.width, background.height, 1);
    if (c && copyTransparency) {
        c->flags = static_cast<uint8_t>((c->flags & ~GUI_BMP_TRANSPARENT) |
                                        (background.flags & GUI_BMP_TRANSPARENT));
        c->transparentColor = background.transparentColor;
    }
    return c;
}

// Face, needle and anchor into the composite, with the dial's top-left at (0, 0).
void Compose(GuiDial& d, GuiDialImage& img, bool finite) {
    GuiScreen& s = *GuiThing::mpScreen;
    if (!img.composite) img.composite = MakeComposite(*img.background, finite);
    if (!img.composite) return;
    if (!d.mbNeedleOnly) d.CalcNeedlePos();
    const int dx = -d.mRealRect.left, dy = -d.mRealRect.top;
    Shift(d, dx, dy);
    const bool clearBackground = img.background->flags & GUI_BMP_TRANSPARENT;
    if (!finite && clearBackground) {
        // What the background does not cover starts clear again, without the last needle.
        auto* w = reinterpret_cast<uint32_t*>(img.composite->data);
        std::fill_n(w, static_cast<size_t>(img.composite->width) * img.composite->height, 1u);
    }
    s.BeginDraw(&d, img.composite);
    if (finite && ((d.mwStyleFlags & GUI_STYLE_TRANSPARENT) || clearBackground)) {
        const bool fromParent = d.Parent() && (d.mwStyleFlags & GUI_BORDER_MASK) == GUI_BORDER_NONE;
        const uint32_t c = fromParent ? static_cast<uint32_t>(d.Parent()->GetColor(0)) : d.mColors[0];
        s.Rectangle(&d, d.mRealRect, GuiColor{c, c, GUI_COLOR_FILL}, 0);
    }
    s.Bitmap(&d, GuiPoint{0, 0}, img.background, 0);
    d.DrawNeedle();
    if (!img.anchor) {
        d.DrawAnchor();
    } else if (d.mwStyleFlags & GUI_DIAL_TRUE_COR) {
        const GuiPoint c = d.mNeedleCenter;
        s.Bitmap(&d,
                 GuiPoint{static_cast<int16_t>(c.x - img.anchor->width / 2),
                          static_cast<int16_t>(c.y - img.anchor->height / 2)},
                 img.anchor, 0);
    }
    s.EndDraw(img.composite);
    Shift(d, -dx, -dy);
}

void DrawBitmapDial(GuiDial& d, GuiDialImage& img, bool finite) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || !(d.IsVisible() || s->IsDrawingToBitmap())) return;
    if (img.background) {
        Compose(d, img, finite);
        s->BeginDraw(&d);
        if (img.composite) s->Bitmap(&d, GuiPoint{d.mRealRect.left, d.mRealRect.top}, img.composite, 0);
        d.DrawChildren();
        s->EndDraw();
        return;
    }
    s->BeginDraw(&d);
    const bool transparent = d.mwStyleFlags & GUI_STYLE_TRANSPARENT;
    if (finite && transparent) {
        if (d.Parent() && !(d.mwStyleFlags & GUI_BORDER_MASK)) {
            const uint32_t c = static_cast<uint32_t>(d.Parent()->GetColor(0));
            s->Rectangle(&d, d.mRealRect, GuiColor{c, c, GUI_COLOR_FILL}, 0);
        } else {
            d.StandardBorder(d.mColors[0]);
        }
    }
    d.DrawChildren();
    if (!d.mbNeedleOnly) d.CalcNeedlePos();
    d.DrawNeedle();
    if (finite) d.DrawAnchor();
    s->EndDraw();
}

void SetCor(GuiDial& d, GuiDialImage& img, int x, int y, int redraw) {
    img.corX = static_cast<int16_t>(x);
    img.corY = static_cast<int16_t>(y);
    if (d.IsVisible() && redraw && GuiThing::mpScreen) {
        GuiThing::mpScreen->Invalidate(d.mClientRect);
        d.Draw();
    }
}

void TrueCor(GuiDial& d, int on) {
    d.mwStyleFlags =
        static_cast<uint16_t>((d.mwStyleFlags & ~0x0C00) | (on ? GUI_DIAL_TRUE_COR : GUI_DIAL_OFFSET_COR));
}

void FreeComposite(GuiDialImage& img) {
    if (img.composite && GuiThing::mpScreen) GuiThing::mpScreen->DestroyBitmap(img.composite);
    img.composite = nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiFiniteBitmapDial

GuiFiniteBitmapDial::GuiFiniteBitmapDial(const GuiRect& rect, int startAngle, int endAngle, int32_t min,
                                         int32_t max, GuiBitmap* background, GuiBitmap* anchor,
                                         unsigned int style)
    : GuiFiniteDial(rect, startAngle, endAngle, min, max, CorStyle(style, true)) {
    muThingType = GUI_TYPE_FINITE_BITMAP_DIAL;
    mImage.background = background;
    mImage.anchor = anchor;
    CalcNeedlePos();
}

GuiFiniteBitmapDial::GuiFiniteBitmapDial(int x, int y, int startAngle, int endAngle, int32_t min, int32_t max,
                                         GuiBitmap* background, GuiBitmap* anchor, unsigned int style)
    : GuiFiniteDial(SizeOf(x, y, background), startAngle, endAngle, min, max, CorStyle(style, true)) {
    muThingType = GUI_TYPE_FINITE_BITMAP_DIAL;
    mImage.background = background;
    mImage.anchor = anchor;
    CalcNeedlePos();
}

GuiFiniteBitmapDial::~GuiFiniteBitmapDial() {
    FreeComposite(mImage);
}

void GuiFiniteBitmapDial::CalcNeedlePos() {
    miNeedleAngle = NeedleAngle();
    if (OffsetCor(*this))
        OffsetNeedle(*this, mImage);
    else
        PlainNeedle();
}

void GuiFiniteBitmapDial::Draw() {
    DrawBitmapDial(*this, mImage, true);
}

void GuiFiniteBitmapDial::UseTrueCOR(int on) {
    TrueCor(*this, on);
}

void GuiFiniteBitmapDial::SetCOR(int x, int y, int redraw) {
    SetCor(*this, mImage, x, y, redraw);
}

void GuiFiniteBitmapDial::SetBkgBitmap(GuiBitmap* background) {
    mImage.background = background;
    FreeComposite(mImage);
    if (!background) return;
    mImage.composite = MakeComposite(*background, true);
    if (mRealRect.Width() != background->width || mRealRect.Height() != background->height)
        Resize(MakeGuiRect(mRealRect.left, mRealRect.top, mRealRect.left + background->width - 1,
                           mRealRect.top + background->height - 1));
}

// ---------------------------------------------------------------------------------------------
// GuiCircularBitmapDial

GuiCircularBitmapDial::GuiCircularBitmapDial(const GuiRect& rect, int refAngle, int32_t valuesPerTurn,
                                             int32_t min, int32_t max, GuiBitmap* background,
                                             GuiBitmap* anchor, unsigned int style)
    : GuiCircularDial(rect, refAngle, valuesPerTurn, min, max, CorStyle(style, false)) {
    muThingType = GUI_TYPE_CIRCULAR_BITMAP_DIAL;
    mImage.background = background;
    mImage.anchor = anchor;
    CalcNeedlePos();
}

GuiCircularBitmapDial::GuiCircularBitmapDial(int x, int y, int refAngle, int32_t valuesPerTurn, int32_t min,
                                             int32_t max, GuiBitmap* background, GuiBitmap* anchor,
                                             unsigned int style)
    : GuiCircularDial(SizeOf(x, y, background), refAngle, valuesPerTurn, min, max, CorStyle(style, false)) {
    muThingType = GUI_TYPE_CIRCULAR_BITMAP_DIAL;
    mImage.background = background;
    mImage.anchor = anchor;
    CalcNeedlePos();
}

GuiCircularBitmapDial::~GuiCircularBitmapDial() {
    FreeComposite(mImage);
}

void GuiCircularBitmapDial::CalcNeedlePos() {
    miNeedleAngle = NeedleAngle();
    if (OffsetCor(*this))
        OffsetNeedle(*this, mImage);
    else
        PlainNeedle();
}

void GuiCircularBitmapDial::Draw() {
    DrawBitmapDial(*this, mImage, false);
}

void GuiCircularBitmapDial::UseTrueCOR(int on) {
    TrueCor(*this, on);
}

void GuiCircularBitmapDial::SetCOR(int x, int y, int redraw) {
    SetCor(*this, mImage, x, y, redraw);
}
