#include "gui/widgets/scale/guilight.h"

#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

GuiLight::GuiLight(const GuiRect& rect, unsigned int states, unsigned int style)
    : GuiThing(rect, 0, static_cast<unsigned short>(style)), muStates(states) {}

GuiLight::GuiLight(int x, int y, unsigned int states, unsigned int style)
    : GuiThing(MakeGuiRect(x, y, x + 100, y + 100), 0, static_cast<unsigned short>(style)), muStates(states) {
}

unsigned int GuiLight::show(int redraw) {
    if (redraw && IsVisible() && mpScreen) {
        // One frame around the draw: a light with nothing to show still ends the invalidation.
        mpScreen->Invalidate(mClientRect);
        mpScreen->BeginDraw(this);
        Draw();
        mpScreen->EndDraw();
    }
    return muState;
}

// A light without states stays at state 0.
unsigned int GuiLight::IncrementState(int redraw) {
    if (muStates) muState = muState + 1 >= muStates ? 0 : muState + 1;
    return show(redraw);
}

unsigned int GuiLight::DecrementState(int redraw) {
    if (muStates) muState = muState == 0 ? muStates - 1 : muState - 1;
    return show(redraw);
}

unsigned int GuiLight::SetState(unsigned int state, int redraw) {
    if (state < muStates) muState = state;
    return show(redraw);
}

unsigned int GuiLight::SetNumStates(unsigned int n) {
    if (n == 0 || n == muStates) return muStates;
    muStates = n;
    if (muState >= n) muState = n - 1;
    return muStates;
}

// ---------------------------------------------------------------------------------------------
// GuiColorLight

GuiColorLight::GuiColorLight(const GuiRect& rect, unsigned int states, unsigned int style)
    : GuiLight(rect, states, style) {
    muThingType = GUI_TYPE_COLOR_LIGHT;
}

GuiColorLight::GuiColorLight(int x, int y, unsigned int states, unsigned int style)
    : GuiLight(x, y, states, style) {
    muThingType = GUI_TYPE_COLOR_LIGHT;
}

unsigned int GuiColorLight::SetNumStates(unsigned int n) {
    if (n && n != muStates && mbHasTable) mColorTable.resize(n, 0);
    return GuiLight::SetNumStates(n);
}

int GuiColorLight::SetStateColor(unsigned int state, unsigned long colour) {
    if (!mbHasTable) {
        mColorTable.assign(muStates, 0);
        mbHasTable = true;
    }
    if (state >= muStates) return 0;
    mColorTable[state] = static_cast<uint32_t>(colour);
    return 1;
}

void GuiColorLight::Draw() {
    if (!muStates || !mbHasTable || !mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const uint32_t colour = mColorTable[muState];
    if (mwStyleFlags & GUI_LIGHT_FILL) StandardBorder(colour);
    if (mwStyleFlags & GUI_LIGHT_ROUND) {
        if ((mwStyleFlags & GUI_STYLE_TRANSPARENT) && mpParentThing)
            StandardBorder(mpParentThing->GetColor(0));
        const GuiRect& c = mClientRect;
        const int cx = c.left + c.Width() / 2, cy = c.top + c.Height() / 2;
        const int r = std::min(c.Width() / 2, c.Height() / 2);
        GuiColor lamp{colour, colour, GUI_COLOR_FILL}, rim{GUI_BLACK, GUI_BLACK, 0};
        s.Circle(this, cx, cy, r, lamp, 0);
        s.Circle(this, cx, cy, r, rim, 1);
    }
    DrawChildren();
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiBitmapLight

GuiBitmapLight::GuiBitmapLight(const GuiRect& rect, unsigned int states, unsigned int)
    : GuiLight(rect, states, GUI_BORDER_NONE) {
    muThingType = GUI_TYPE_BITMAP_LIGHT;
}

GuiBitmapLight::GuiBitmapLight(int x, int y, unsigned int states, unsigned int)
    : GuiLight(x, y, states, GUI_BORDER_NONE) {
    muThingType = GUI_TYPE_BITMAP_LIGHT;
}

unsigned int GuiBitmapLight::SetNumStates(unsigned int n) {
    if (n && n != muStates && mbHasTable) mBitmapTable.resize(n, nullptr);
    return GuiLight::SetNumStates(n);
}

int GuiBitmapLight::SetStateBitmap(unsigned int state, GuiBitmap* bitmap) {
    if (!mbHasTable) {
        mBitmapTable.assign(muStates, nullptr);
        mbHasTable = true;
        if (bitmap)
            Resize(MakeGuiRect(mRealRect.left, mRealRect.top, mRealRect.left + bitmap->width - 1,
                               mRealRect.top + bitmap->height - 1));
    }
    if (state >= muStates) return 0;
    mBitmapTable[state] = bitmap;
    return 1;
}

void GuiBitmapLight::Draw() {
    if (!muStates || !mbHasTable || !mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    if (GuiBitmap* b = mBitmapTable[muState])
        s.Bitmap(this, GuiPoint{mRealRect.left, mRealRect.top}, b, 0);
    else
        StandardBorder(mColors[0]); // a state without a bitmap shows the light's colour slot 0
    DrawChildren();
    s.EndDraw();
}
