// Drawing of the notebook: the page frame and the tabs, the current one last and in front.
#include "gui/core/guiscreen.h"
#include "gui/widgets/notebook/guinotebook.h"
#include "gui/widgets/slider/guislider.h"
#include "gui/window/guipm.h"

void GuiNotebook::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    DrawFrame(1);
    DrawTabs(0);
    DrawTabs(1);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiNotebook::DrawFrame(int fill) {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    const bool wide = mwStyleFlags & GUI_NB_WIDE_FRAME;
    const int w = wide ? 5 : 2, e = wide ? 4 : 2;
    const GuiRect& R = mRealRect;
    const GuiRect& c = mClientRect;
    const GuiRect page = above() ? MakeGuiRect(R.left, c.top - e, R.right, R.bottom)
                                 : MakeGuiRect(R.left, R.top, R.right, c.bottom + e);
    const GuiRect row = above() ? MakeGuiRect(R.left, R.top, R.right, page.top - 1)
                                : MakeGuiRect(R.left, page.bottom + 1, R.right, R.bottom);
    const uint8_t flags = fill ? GUI_COLOR_FILL : 0;
    if (!row.IsEmpty()) s.Rectangle(this, row, GuiColor{mColors[0], mColors[0], flags}, 0);
    s.Rectangle(this, page, GuiColor{GUI_LIGHT_GREY, mColors[0], flags}, w);
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t col) {
        s.Line(this, x1, y1, x2, y2, GuiColor{col, col, 0}, 1);
    };
    const int l = page.left, t = page.top, r = page.right, b = page.bottom;
    line(l + 1, t + 1, r - 1, t + 1, GUI_WHITE);
    line(l + 1, t + 1, l + 1, b - 1, GUI_WHITE);
    line(r - 1, t + 1, r - 1, b - 1, GUI_DARK_GREY);
    line(l + 1, b - 1, r - 1, b - 1, GUI_DARK_GREY);
    line(r, t, r, b, GUI_BLACK);
    line(l, b, r, b, GUI_BLACK);
    if (wide) {
        line(c.left - 1, c.top - 1, c.right + 1, c.top - 1, GUI_DARK_GREY);
        line(c.left - 1, c.top - 1, c.left - 1, c.bottom + 1, GUI_DARK_GREY);
        line(c.left - 1, c.bottom + 1, c.right + 1, c.bottom + 1, GUI_WHITE);
        line(c.right + 1, c.top - 1, c.right + 1, c.bottom + 1, GUI_WHITE);
    }
}

void GuiNotebook::DrawTabs(int pass) {
    if (!mpScreen || miTabWidth <= 0) return;
    GuiScreen& s = *mpScreen;
    const GuiRect& R = mRealRect;
    const int top = rowTop();
    GuiRect tab = MakeGuiRect(R.left + 2, top + 1, R.left + 2 + miTabWidth - 1, top + miTabHeight);
    GuiRect clip = MakeGuiRect(R.left, top, mpTabScroller ? R.right - 36 : R.right - 2, top + miTabHeight);
    ++clip;
    const GuiRect saved = mClipRect;
    mClipRect &= clip;
    if (pass == 0) tab -= 2;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t col) {
        s.Line(this, x1, y1, x2, y2, GuiColor{col, col, 0}, 1);
    };
    for (int k = muFirstVisibleTab; k < muNumTabs && tab.left < clip.right; ++k, tab.Shift(miTabWidth, 0)) {
        const bool current = k == muCurrentTab;
        if (current != (pass == 1)) continue;
        const int L = tab.left, T = tab.top, Rr = tab.right, B = tab.bottom;
        const uint32_t face = mColors[current ? 1 : 0];
        s.Rectangle(this, tab, GuiColor{face, face, GUI_COLOR_FILL}, 0);
        if (above()) {
            line(L + 1, T - 1, Rr + 1, T - 1, GUI_WHITE);
            line(L - 1, T + 1, L - 1, B, GUI_WHITE);
            s.PutPixel(this, L, T, GUI_WHITE);
            line(Rr + 1, T - 1, Rr + 1, B, GUI_DARK_GREY);
            line(Rr + 2, T, Rr + 2, B, GUI_BLACK);
        } else {
            line(L - 1, T, L - 1, B, GUI_WHITE);
            line(Rr + 1, T, Rr + 1, B, GUI_DARK_GREY);
            line(L, B + 1, Rr + 1, B + 1, GUI_DARK_GREY);
            line(Rr + 2, current ? T + 1 : T, Rr + 2, B + 1, GUI_BLACK);
            line(L + 1, B + 2, Rr + 2, B + 2, GUI_BLACK);
        }
        if (textTabs() && mppTabStrings && mppTabStrings[k] && mpTextFont) {
            const int tw = GuiFontTextWidth(mppTabStrings[k], mpTextFont);
            const int y = T + 1 + ((mwStyleFlags & 0x0001) ? 1 : 0);
            GuiColor colour{mColors[current ? 3 : 2], face, 0};
            s.DrawText(this, GuiPoint{static_cast<int16_t>((L + Rr) / 2 - tw / 2), static_cast<int16_t>(y)},
                       mppTabStrings[k], colour, mpTextFont, -1, 0);
        }
        const auto* pm = dynamic_cast<GuiPresentationManager*>(mpPresentation);
        if (current && pm && pm->InputFocus() == this) {
            GuiRect inner = tab;
            --inner;
            s.Rectangle(this, inner, GuiColor{GUI_DARK_GREY, GUI_DARK_GREY, 0}, 1);
        }
    }
    mClipRect = saved;
}
