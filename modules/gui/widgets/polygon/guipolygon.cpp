#include "gui/widgets/polygon/guipolygon.h"

#include <algorithm>
#include <new>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

Gui2DPolygon::Gui2DPolygon(const GuiRect& rect, GuiPoint* points, unsigned int count, unsigned int id,
                           unsigned short style)
    : GuiThing(rect, static_cast<unsigned short>(id), style), muCount(points ? count : 0), mpPoints(points),
      mbOwnsPoints((style & GUI_POLYGON_COPY) ? 1 : 0) {
    if (mbOwnsPoints && muCount) {
        mOwned.reset(new (std::nothrow) GuiPoint[muCount]);
        if (mOwned) std::copy(points, points + muCount, mOwned.get());
        mpPoints = mOwned.get();
    }
    if (!mpPoints) muCount = 0;
    // The points become screen coordinates.
    for (unsigned int i = 0; i < muCount; ++i)
        mpPoints[i] = GuiPoint{static_cast<int16_t>(mpPoints[i].x + rect.left),
                               static_cast<int16_t>(mpPoints[i].y + rect.top)};
    if (muCount) {
        mTurned.reset(new (std::nothrow) GuiPoint[muCount]);
        if (mTurned)
            std::copy(mpPoints, mpPoints + muCount, mTurned.get());
        else
            muCount = 0;
    }
}

void Gui2DPolygon::move(int dx, int dy) {
    for (unsigned int i = 0; i < muCount; ++i) {
        mpPoints[i] =
            GuiPoint{static_cast<int16_t>(mpPoints[i].x + dx), static_cast<int16_t>(mpPoints[i].y + dy)};
        mTurned[i] =
            GuiPoint{static_cast<int16_t>(mTurned[i].x + dx), static_cast<int16_t>(mTurned[i].y + dy)};
    }
}

void Gui2DPolygon::ParentShift(int dx, int dy) {
    move(dx, dy);
    GuiThing::ParentShift(dx, dy);
}

void Gui2DPolygon::Resize(GuiRect rect) {
    // The polygon moves with the corner and keeps its size.
    move(rect.left - mRealRect.left, rect.top - mRealRect.top);
    GuiThing::Resize(rect);
}

void Gui2DPolygon::SetCurAngle(int angle) {
    if (angle == miAngle) return;
    miAngle = angle;
    const int cx = mRealRect.left + mRealRect.Width() / 2, cy = mRealRect.top + mRealRect.Height() / 2;
    int s = 0, c = 0;
    GuiLookupSinCos(angle, &s, &c);
    for (unsigned int i = 0; i < muCount; ++i) {
        const int dx = mpPoints[i].x - cx, dy = mpPoints[i].y - cy;
        mTurned[i] = GuiPoint{static_cast<int16_t>(cx + ((c * dx) >> 10) + ((s * dy) >> 10)),
                              static_cast<int16_t>(cy + ((c * dy) >> 10) - ((s * dx) >> 10))};
    }
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void Gui2DPolygon::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const bool transparent = mwStyleFlags & GUI_STYLE_TRANSPARENT;
    const uint32_t background =
        transparent && mpParentThing ? static_cast<uint32_t>(mpParentThing->GetColor(0)) : mColors[0];
    if (!(transparent && (mwStyleFlags & GUI_BORDER_MASK) == GUI_BORDER_NONE)) StandardBorder(background);
    if (muCount)
        s.Polygon(this, mTurned.get(), static_cast<int>(std::min<uint32_t>(muCount, INT32_MAX - 1)),
                  GuiColor{mColors[2], mColors[3], static_cast<uint8_t>(miFill ? GUI_COLOR_FILL : 0)},
                  miLineWidth);
    s.EndDraw();
}
