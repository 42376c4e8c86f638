#include "gui/widgets/scale/guiprogress.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "gui/core/guiltoa.h"
#include "gui/core/guiscreen.h"

GuiProgressBar::GuiProgressBar(const GuiRect& rect, unsigned short style, int min, int max, int current)
    : GuiTextThing(rect, 0, style, nullptr, 16), miMin(min), miMax(max), miCurrent(current) {
    muThingType = GUI_TYPE_PROGRESS_BAR;
    mColors[0] = GUI_DARK_GREY;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_WHITE;
    mColors[3] = GUI_WHITE;
    Reconfig(style, min, max);
}

GuiRect GuiProgressBar::GetButtonRect() const {
    GuiRect r = mClientRect;
    if (miMax <= miMin) return r;
    const int64_t range = int64_t{miMax} - miMin, off = int64_t{miCurrent} - miMin;
    // Values outside the range keep the bar inside the client area.
    if (mwStyleFlags & GUI_PROGRESS_VERTICAL) {
        const int64_t h = r.Height();
        r.top = static_cast<int16_t>(r.bottom -
                                     std::clamp<int64_t>(off * h / range, 0, std::max<int64_t>(h - 1, 0)));
    } else {
        const int64_t w = r.Width();
        r.right = static_cast<int16_t>(r.left +
                                       std::clamp<int64_t>(off * w / range, 0, std::max<int64_t>(w - 1, 0)));
    }
    return r;
}

void GuiProgressBar::Reconfig(unsigned short style, int min, int max) {
    Style(style);
    miMin = min;
    miMax = max;
    InitClient();
    mBarRect = GetButtonRect();
    if (mpBarButton) {
        Remove(mpBarButton, 0);
        delete mpBarButton;
        mpBarButton = nullptr;
    }
    if (style & GUI_PROGRESS_BLOCKS) return;
    const uint16_t look = (style & GUI_PROGRESS_PRESSED) ? GUI_BTN_PRESSED : 0;
    mpBarButton = new (std::nothrow) GuiButton(mBarRect, 0, look, nullptr, 0);
    if (mpBarButton) Add(mpBarButton, 0);
}

void GuiProgressBar::Update(int value, int redraw) {
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
    miCurrent = value;
    mBarRect = GetButtonRect();
    if (mpBarButton) mpBarButton->Resize(mBarRect);
    if (redraw) Draw();
}

void GuiProgressBar::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    mBarRect = GetButtonRect();
    if (mpBarButton) mpBarButton->Resize(mBarRect);
}

void GuiProgressBar::ValueText(char* out) const {
    if (!(mwStyleFlags & GUI_PROGRESS_PERCENT)) {
        _ltoa(miCurrent, out, 10);
        return;
    }
    // An empty range is complete, as the full bar shows.
    int64_t pct = 100;
    if (miMax != miMin) pct = 100 * (int64_t{miCurrent} - miMin) / (int64_t{miMax} - miMin);
    _ltoa(static_cast<int32_t>(std::clamp<int64_t>(pct, INT32_MIN, INT32_MAX)), out, 10);
    std::strcat(out, "%");
}

void GuiProgressBar::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    if (!(mwStyleFlags & GUI_PROGRESS_NO_BORDER)) StandardBorder(mColors[0]);
    const GuiRect& c = mClientRect;
    if (mwStyleFlags & GUI_PROGRESS_BLOCKS) {
        const GuiColor block{mColors[1], mColors[1], GUI_COLOR_FILL};
        if (mwStyleFlags & GUI_PROGRESS_VERTICAL) {
            const int p = std::max(c.Height() / 20, 3);
            for (int bottom = c.bottom; bottom - p + 2 > mBarRect.top; bottom -= p)
                s.Rectangle(this, MakeGuiRect(c.left, bottom - p + 2, c.right, bottom), block, 0);
        } else {
            const int p = std::max(c.Width() / 20, 3);
            for (int left = c.left; left + p - 2 < mBarRect.right; left += p)
                s.Rectangle(this, MakeGuiRect(left, c.top, left + p - 2, c.bottom), block, 0);
        }
    } else if (mpBarButton) {
        mpBarButton->mColors[0] = mColors[1];
        mpBarButton->Draw();
    }
    if (mwStyleFlags & GUI_PROGRESS_TEXT) DrawValueText();
    s.EndDraw();
}

void GuiProgressBar::DrawValueText() {
    if (!mpTextFont) return;
    GuiScreen& s = *mpScreen;
    char text[40];
    ValueText(text);
    const GuiRect& c = mClientRect;
    const int w = s.TextWidth(text, mpTextFont, -1), h = s.TextHeight(text, mpTextFont);
    const int x = (c.left + c.right) / 2 - w / 2, y = (c.top + c.bottom) / 2 - h / 2;
    const GuiPoint at{static_cast<int16_t>(x), static_cast<int16_t>(y)};
    auto draw = [&](uint32_t colour) {
        GuiColor col{colour, colour, 0};
        s.DrawText(this, at, text, col, mpTextFont, -1, 0);
    };
    const uint32_t outside = mColors[2], over = mColors[3];
    if (outside == over) {
        draw(outside);
        return;
    }
    // The part over the bar in one colour, the rest in the other.
    const bool vertical = mwStyleFlags & GUI_PROGRESS_VERTICAL;
    const int first = vertical ? y : x, last = first + (vertical ? h : w) - 1;
    const int edge = vertical ? mBarRect.top : mBarRect.right;
    const bool allOver = vertical ? first >= edge : last <= edge;
    const bool allOutside = vertical ? last < edge : first > edge;
    if (allOver || allOutside) {
        draw(allOver ? over : outside);
        return;
    }
    const GuiRect saved = mClipRect;
    if (vertical) {
        mClipRect.bottom = static_cast<int16_t>(std::min<int>(saved.bottom, edge - 1));
        draw(outside);
        mClipRect = saved;
        mClipRect.top = static_cast<int16_t>(std::max<int>(saved.top, edge));
        draw(over);
    } else {
        mClipRect.right = static_cast<int16_t>(std::min<int>(saved.right, edge));
        draw(over);
        mClipRect = saved;
        mClipRect.left = static_cast<int16_t>(std::max<int>(saved.left, edge + 1));
        draw(outside);
    }
    mClipRect = saved;
}
