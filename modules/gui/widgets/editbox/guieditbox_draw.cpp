// Drawing of the edit box: rows with the marked range, the cursor line and its removal.
#include <algorithm>
#include <cstring>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextops.h"
#include "gui/widgets/editbox/guieditbox.h"

namespace {

constexpr uint32_t kCursorColour = 0x0000FF;

} // namespace

void GuiEditBox::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiTextBox::Draw();
    DrawCursor();
    mpScreen->EndDraw();
}

void GuiEditBox::DrawCursor() {
    if (!(mEditFlags & GUI_EB_EDIT) || !mpScreen || !IsVisible()) return;
    const GuiPoint p = GetCursorPointFromRowCol();
    mpScreen->Invalidate(MakeGuiRect(p.x, p.y, p.x, p.y + miLineHeight - 1));
    ClipToClient();
    mpScreen->BeginDraw(this);
    mpScreen->Line(this, p.x, p.y, p.x, p.y + miLineHeight - 1, GuiColor{kCursorColour, kCursorColour, 0}, 1);
    mpScreen->EndDraw();
    EndClipToClient();
}

void GuiEditBox::RemoveCursor() {
    if (!(mEditFlags & GUI_EB_EDIT) || !mpScreen || !IsVisible()) return;
    const GuiPoint p = GetCursorPointFromRowCol();
    mpScreen->Invalidate(MakeGuiRect(p.x, p.y, p.x, p.y + miLineHeight - 1));
    ClipToClient();
    mpScreen->BeginDraw(this);
    const char* at = GetCharAtCursor();
    if (at && *at != 13 && *at != 10 && mCursor.col < rowLength(mCursor.row)) {
        GuiColor colour{mColors[2], mColors[0], GUI_COLOR_FILL};
        mpScreen->DrawText(this, p, at, colour, mpTextFont, 1, 0);
    } else {
        mpScreen->Line(this, p.x, p.y, p.x, p.y + miLineHeight - 1, GuiColor{mColors[0], mColors[0], 0}, 1);
    }
    mpScreen->EndDraw();
    EndClipToClient();
}

void GuiEditBox::DrawCharAtCursor(int ch) {
    if (ch == 13 || ch == 10 || !mpScreen || !IsVisible()) return;
    const GuiPoint p = GetCursorPointFromRowCol();
    const char one[2] = {static_cast<char>(ch), 0};
    mpScreen->Invalidate(MakeGuiRect(p.x, p.y, p.x + GuiCharW(mpTextFont, ch) - 1, p.y + miLineHeight - 1));
    ClipToClient();
    mpScreen->BeginDraw(this);
    GuiColor colour{mColors[2], mColors[0], GUI_COLOR_FILL};
    mpScreen->DrawText(this, p, one, colour, mpTextFont, 1, 0);
    mpScreen->EndDraw();
    EndClipToClient();
}

void GuiEditBox::DrawOneLine(int line) {
    if (!mpScreen || !IsVisible() || line < miTopLine || line >= miTopLine + miLinesPerPage) return;
    const GuiRect& c = mClientRect;
    const int bw = miBorderWhitespace;
    const int y = c.top + bw + (line - miTopLine) * miLineHeight;
    mpScreen->Invalidate(MakeGuiRect(c.left + bw, y, c.right - bw, y + miLineHeight - 1));
    ClipToClient();
    mpScreen->BeginDraw(this);
    DrawTextLine(line, GuiPoint{static_cast<int16_t>(c.left + bw - miHOffset), static_cast<int16_t>(y)}, 1);
    mpScreen->EndDraw();
    EndClipToClient();
}

void GuiEditBox::redrawRows(int from, int to) {
    for (int r = std::min(from, to); r <= std::max(from, to); ++r) DrawOneLine(r);
    DrawCursor();
}

void GuiEditBox::DrawTextLine(int line, GuiPoint where, int fill) {
    if (mEditFlags & (GUI_EB_MARKED | GUI_EB_MARKING)) {
        CURSOR_POS s, e;
        GetMarkStartAndEnd(&s, &e);
        if (s.row >= 0 && line >= s.row && line <= e.row) {
            DrawMarkedText(line, where);
            return;
        }
    }
    GuiTextBox::DrawTextLine(line, where, fill);
}

void GuiEditBox::DrawMarkedText(int line, GuiPoint where) {
    if (!mpScreen) return;
    GuiScreen& s = *mpScreen;
    CURSOR_POS start, end;
    GetMarkStartAndEnd(&start, &end);
    int n = 0;
    const char* p = GetLineStart(line, &n);
    const GuiRect& c = mClientRect;
    const int bw = miBorderWhitespace;
    int from = line == start.row ? std::clamp(start.col, 0, n) : 0;
    int to = line == end.row ? std::clamp(end.col, from, n) : n;
    int x = where.x;
    auto run = [&](int a, int b, uint32_t fg, uint32_t bg) {
        if (b <= a || !p) return;
        CheckBufLen(b - a);
        if (miLineBufferSize < b - a + 1) return;
        std::memcpy(mpLineBuffer, p + a, static_cast<size_t>(b - a));
        mpLineBuffer[b - a] = 0;
        const int w = GuiSpanW(mpTextFont, mpLineBuffer, b - a);
        s.Rectangle(this, MakeGuiRect(x, where.y, x + w - 1, where.y + miLineHeight - 1),
                    GuiColor{bg, bg, GUI_COLOR_FILL}, 0);
        GuiColor colour{fg, bg, GUI_COLOR_FILL};
        s.DrawText(this, GuiPoint{static_cast<int16_t>(x), where.y}, mpLineBuffer, colour, mpTextFont, -1, 0);
        x += w;
    };
    // The row's start before the text is the background.
    if (x > c.left + bw)
        s.Rectangle(this, MakeGuiRect(c.left + bw, where.y, x - 1, where.y + miLineHeight - 1),
                    GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    run(0, from, mColors[2], mColors[0]);
    run(from, to, mColors[3], mColors[1]);
    if (n == 0 && line != end.row) {
        const int w = std::max(1, GuiCharW(mpTextFont, ' '));
        s.Rectangle(this, MakeGuiRect(x, where.y, x + w - 1, where.y + miLineHeight - 1),
                    GuiColor{mColors[1], mColors[1], GUI_COLOR_FILL}, 0);
        x += w;
    }
    run(to, n, mColors[2], mColors[0]);
    if (x <= c.right - bw)
        s.Rectangle(this, MakeGuiRect(x, where.y, c.right - bw, where.y + miLineHeight - 1),
                    GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
}
