#include "gui/guieditbox.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "gui/guiedit.h"
#include "gui/guipm.h"
#include "gui/guiscreen.h"
#include "gui/guiscroll.h"
#include "gui/guitextops.h"

namespace {

constexpr uint32_t kCursorColour = 0x0000FF;
constexpr uint8_t kTextPointer = 5;

GuiPresentationManager* ScratchOwner() {
    return dynamic_cast<GuiPresentationManager*>(GuiThing::mpPresentation);
}

bool Before(const CURSOR_POS& a, const CURSOR_POS& b) {
    return a.row < b.row || (a.row == b.row && a.col < b.col);
}

} // namespace

GuiEditBox::GuiEditBox(const GuiRect& rect, unsigned short id, unsigned short style, const char* text,
                       int maxLength)
    : GuiTextBox(rect, id, static_cast<unsigned short>((style & ~GUI_TB_ALIGN_MASK) | GUI_STYLE_LEFT), text,
                 maxLength) {
    muThingType = GUI_TYPE_EDIT_BOX;
}

void GuiEditBox::signal(unsigned n) {
    if (mpParentThing && mwThingId && (mwSignals & (1u << n)) && mpParentThing->IsVisible())
        SendSignal(static_cast<unsigned char>(n));
}

void GuiEditBox::pointerShape(uint8_t shape) {
    if (mpScreen) mpScreen->SetPointerType(shape);
    if (shape)
        mEditFlags |= GUI_EB_POINTER_SHAPE;
    else
        mEditFlags &= ~GUI_EB_POINTER_SHAPE;
}

void GuiEditBox::clearMark() {
    mEditFlags &= ~GUI_EB_MARKED;
    mAnchor = mMarkEnd = CURSOR_POS{-1, -1};
}

int GuiEditBox::rowLength(int row) {
    int n = 0;
    return GetLineStart(row, &n) ? n : 0;
}

int GuiEditBox::CursorIndex() {
    const int start = GetLineIndex(mCursor.row);
    if (start < 0) return Length();
    return std::clamp(start + mCursor.col, 0, Length());
}

void GuiEditBox::setText(const std::string& text) {
    GuiTextThing::DataSet(text.c_str());
    UpdateLineStarts();
}

void GuiEditBox::SetCursorRowColFromIndex(int index) {
    mCursor = CURSOR_POS{0, 0};
    if (!mpTextData) return;
    index = std::clamp(index, 0, Length());
    const int w = wrapWidth();
    const char* line = mpTextData;
    int row = 0;
    for (const char* next = FindNextLine(line, w, 1); next && next - mpTextData <= index;
         next = FindNextLine(line, w, 1)) {
        line = next;
        ++row;
    }
    mCursor = CURSOR_POS{static_cast<int32_t>(index - (line - mpTextData)), row};
}

void GuiEditBox::SetCursorRowCol(int index) {
    SetCursorRowColFromIndex(index);
    SetTopLine(mCursor.row, 1);
}

GuiPoint GuiEditBox::GetCursorPointFromRowCol() {
    const GuiRect& c = mClientRect;
    int n = 0;
    const char* p = GetLineStart(mCursor.row, &n);
    const int x =
        c.left + miBorderWhitespace - miHOffset + (p ? GuiSpanW(mpTextFont, p, std::min(mCursor.col, n)) : 0);
    const int y = c.top + miBorderWhitespace + (mCursor.row - miTopLine) * miLineHeight;
    mCursorPoint = GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)};
    return mCursorPoint;
}

CURSOR_POS GuiEditBox::GetCursorRowColFromClick(GuiPoint p) {
    if (!mpTextData || miTotalLines <= 0) return CURSOR_POS{0, 0};
    const GuiRect& c = mClientRect;
    const int lh = std::max(1, static_cast<int>(miLineHeight));
    const int dy = p.y - (c.top + miBorderWhitespace + lh);
    const int row = miTopLine + (dy >= 0 ? dy / lh + 1 : 0);
    if (row >= miTotalLines) {
        const int last = miTotalLines - 1;
        return CURSOR_POS{rowLength(last), last};
    }
    int n = 0;
    const char* s = GetLineStart(row, &n);
    const int limit = p.x - c.left - miBorderWhitespace + miHOffset;
    int col = 0, sum = 0;
    while (s && col < n && sum + GuiCharW(mpTextFont, s[col]) <= limit) sum += GuiCharW(mpTextFont, s[col++]);
    if (s && col < n) {
        const int w = GuiCharW(mpTextFont, s[col]);
        if (2 * (limit - sum) > w) ++col;
    }
    return CURSOR_POS{col, row};
}

const char* GuiEditBox::GetCharAtCursor() {
    if (!mpTextData) return nullptr;
    const int i = CursorIndex();
    return i < Length() ? mpTextData + i : nullptr;
}

void GuiEditBox::GetMarkStartAndEnd(CURSOR_POS* start, CURSOR_POS* end) {
    const bool anchorFirst = Before(mAnchor, mMarkEnd);
    if (start) *start = anchorFirst ? mAnchor : mMarkEnd;
    if (end) *end = anchorFirst ? mMarkEnd : mAnchor;
}

void GuiEditBox::NewEditDataSet() {
    NewDataSet();
    clearMark();
    if (!mpTextData || mCursor.row >= miTotalLines) mCursor = CURSOR_POS{0, 0};
    // The row may have become shorter.
    mCursor.col = std::clamp(mCursor.col, 0, rowLength(mCursor.row));
    GetCursorPointFromRowCol();
}

void GuiEditBox::DataSet(const char* text) {
    GuiTextThing::DataSet(text);
    NewEditDataSet();
}

void GuiEditBox::Append(const char* text, int redraw) {
    RemoveCursor();
    mCursor = CURSOR_POS{0, 0};
    GuiTextBox::Append(text, 0);
    SetCursorRowColFromIndex(Length());
    GetCursorPointFromRowCol();
    if (redraw) Draw();
}

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

int GuiEditBox::scrollTo(bool vertical, int value) {
    auto* bar = dynamic_cast<GuiScroll*>(vertical ? mpVScrollBar : mpHScrollBar);
    if (bar) {
        GuiScrollInfo info = bar->Info();
        info.current = value;
        bar->Reset(&info);
        if (IsVisible()) bar->Draw();
    }
    GuiMessage m = GuiMakeMessage(vertical ? GM_VSCROLL : GM_HSCROLL, this, bar);
    m.SetDataWord(0, value);
    Message(m);
    return 1;
}

int GuiEditBox::CheckAutoScrollDown() {
    if (!mpVScrollBar || mCursor.row < miTopLine + miLinesPerPage) return 0;
    return scrollTo(true, mCursor.row - miLinesPerPage + 1);
}

int GuiEditBox::AutoScrollUp() {
    if (!mpVScrollBar || miTopLine <= 0 || mCursor.row >= miTopLine) return 0;
    return scrollTo(true, std::max(0, mCursor.row));
}

int GuiEditBox::CheckAutoScrollRight() {
    if (!mpHScrollBar) return 0;
    GetCursorPointFromRowCol();
    const int x = mCursorPoint.x - mClientRect.left + miHOffset;
    const int visible = mClientRect.Width() - 2 * miBorderWhitespace;
    if (x < miHOffset + visible) return 0;
    return scrollTo(false, x - visible + 1);
}

int GuiEditBox::AutoScrollLeft() {
    if (!mpHScrollBar || miHOffset == 0) return 0;
    GetCursorPointFromRowCol();
    const int x = mCursorPoint.x - mClientRect.left + miHOffset;
    if (miHOffset <= x - 2) return 0;
    GuiScrollInfo info{};
    GetHScrollInfo(&info);
    return scrollTo(false, std::max(x - 2, info.minimum));
}

void GuiEditBox::ExitEditMode() {
    mEditFlags &= ~GUI_EB_EDIT;
    signal(GUI_SIGNAL_EDIT_DONE);
}

void GuiEditBox::InsertCharAtCursor(unsigned int ch) {
    RemoveCursor();
    const int len = Length();
    const int at = CursorIndex();
    const std::string one(1, static_cast<char>(ch));
    if (!mpTextData) {
        if (miMaxLength == 0) return;
        setText(one);
        autoScroll();
        SetCursorRowColFromIndex(1);
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
        return;
    }
    if (miMaxLength >= 0 && len >= miMaxLength) {
        DrawCursor();
        return;
    }
    const CURSOR_POS old = mCursor;
    const int oldTop = miTopLine;
    const int oldNext = GetLineIndex(old.row + 1);
    setText(GuiSplice(mpTextData, len, at, one, at));
    const int bars = autoScroll();
    SetCursorRowColFromIndex(at + 1);
    if (bars) {
        CheckAutoScrollDown();
        CheckAutoScrollRight();
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
    } else if (CheckAutoScrollDown()) {
        DrawOneLine(mCursor.row - 1);
        DrawCursor();
    } else if (CheckAutoScrollRight()) {
        Draw();
    } else if (mCursor.row != old.row || miTopLine != oldTop || GetLineIndex(old.row) != at - old.col ||
               (oldNext >= 0 && GetLineIndex(old.row + 1) != oldNext + 1)) {
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
    } else {
        DrawOneLine(mCursor.row);
        DrawCursor();
    }
}

void GuiEditBox::RemoveCharAtCursor(int backspace) {
    const int len = Length();
    const int at = CursorIndex() - (backspace ? 1 : 0);
    // Nothing before the start or behind the end of the text.
    if (!mpTextData || at < 0 || at >= len) return;
    if (len == 1) {
        setText("");
        mCursor = CURSOR_POS{0, 0};
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
        return;
    }
    const CURSOR_POS old = mCursor;
    const int oldTop = miTopLine, oldTotal = miTotalLines;
    const int oldNext = GetLineIndex(old.row + 1);
    setText(GuiSplice(mpTextData, len, at, "", at + 1));
    const int bars = autoScroll();
    SetCursorRowColFromIndex(at);
    const bool same = !bars && miTopLine == oldTop && miTotalLines == oldTotal && mCursor.row == old.row &&
                      (oldNext < 0 || GetLineIndex(old.row + 1) == oldNext - 1);
    if (same) {
        redrawRows(old.row, mCursor.row);
    } else {
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
    }
}

void GuiEditBox::ReplaceMarkedText(unsigned int ch) {
    if (!mpTextData) return;
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int len = Length();
    const int a = std::clamp(GetLineIndex(s.row) + s.col, 0, len);
    const int b = std::clamp(GetLineIndex(e.row) + e.col, a, len);
    // An empty mark would grow the text: not past the maximum.
    if (a == b && miMaxLength >= 0 && len >= miMaxLength) return;
    setText(GuiSplice(mpTextData, len, a, std::string(1, static_cast<char>(ch)), b));
    clearMark();
    SetCursorRowColFromIndex(a + 1);
    autoScroll();
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
    Draw();
}

void GuiEditBox::DeleteMarkedText() {
    if (!(mEditFlags & GUI_EB_MARKED) || !mpTextData) return;
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int len = Length();
    const int a = std::clamp(GetLineIndex(s.row) + s.col, 0, len);
    const int b = std::clamp(GetLineIndex(e.row) + e.col, a, len);
    setText(GuiSplice(mpTextData, len, a, "", b));
    SetCursorRowColFromIndex(a);
    autoScroll();
    clearMark();
    mEditFlags |= GUI_EB_EDIT;
    if (mCursor.row >= miTotalLines) {
        mCursor.row = std::max(0, miTotalLines - 1);
        mCursor.col = rowLength(mCursor.row);
    }
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
    Draw();
}

void GuiEditBox::CopyToScratchPad() {
    GuiPresentationManager* pm = ScratchOwner();
    if (!pm || !(mEditFlags & GUI_EB_MARKED) || !mpTextData) return;
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int len = Length();
    const int a = std::clamp(GetLineIndex(s.row) + s.col, 0, len);
    const int b = std::clamp(GetLineIndex(e.row) + e.col, a, len);
    if (b > a) pm->SetScratchPad(std::string(mpTextData + a, static_cast<size_t>(b - a)).c_str());
}

void GuiEditBox::PasteFromScratchPad() {
    GuiPresentationManager* pm = ScratchOwner();
    const char* pad = pm ? pm->GetScratchPad() : nullptr;
    if (!pad || !*pad) return;
    std::string text = pad;
    if (!mpTextData) {
        if (miMaxLength >= 0 && static_cast<int64_t>(text.size()) > miMaxLength)
            text.resize(static_cast<size_t>(miMaxLength));
        DataSet(text.c_str());
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
        return;
    }
    RemoveCursor();
    const int len = Length();
    if (miMaxLength >= 0 && len + static_cast<int64_t>(text.size()) > miMaxLength)
        text.resize(static_cast<size_t>(std::max(0, miMaxLength - len)));
    if (!text.empty()) {
        const int at = CursorIndex();
        setText(GuiSplice(mpTextData, len, at, text, at));
        autoScroll();
        SetCursorRowColFromIndex(at + static_cast<int>(text.size()));
    }
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
    Draw();
    if (!text.empty()) CheckAutoScrollDown();
}

void GuiEditBox::horizontalCorrection() {
    GetCursorPointFromRowCol();
    if (mCursorPoint.x < mClientRect.left + 2) AutoScrollLeft();
}

int GuiEditBox::keyUp() {
    if (mCursor.row == 0) return 1;
    if (mCursor.row > miTopLine) {
        RemoveCursor();
        GetCursorPointFromRowCol();
        mCursor = GetCursorRowColFromClick(
            GuiPoint{mCursorPoint.x, static_cast<int16_t>(mCursorPoint.y - miLineHeight / 2)});
        horizontalCorrection();
        DrawCursor();
    } else if (miTopLine > 0 && mpVScrollBar) {
        RemoveCursor();
        mCursor.col = 0;
        --mCursor.row;
        AutoScrollUp();
        if (mpHScrollBar) AutoScrollLeft();
        DrawCursor();
    } else {
        horizontalCorrection();
    }
    return 1;
}

int GuiEditBox::keyLeft() {
    if (mCursor.col > 0) {
        RemoveCursor();
        --mCursor.col;
        horizontalCorrection();
        DrawCursor();
        return 1;
    }
    if (mCursor.row == 0) return 1;
    RemoveCursor();
    if (mCursor.row - 1 >= miTopLine || mpVScrollBar) {
        --mCursor.row;
        mCursor.col = rowLength(mCursor.row);
        AutoScrollUp();
    }
    CheckAutoScrollRight();
    DrawCursor();
    return 1;
}

int GuiEditBox::InsertKey(unsigned int key) {
    const int k = static_cast<int>(key);
    const bool nav = k == GUI_KEY_HOME || k == GUI_KEY_END || k == GUI_KEY_UP || k == GUI_KEY_DOWN ||
                     k == GUI_KEY_LEFT || k == GUI_KEY_RIGHT;
    if (mEditFlags & GUI_EB_MARKED) {
        if (GuiIsPrintableKey(k)) {
            ReplaceMarkedText(key);
            mEditFlags = (mEditFlags | GUI_EB_EDIT) & ~GUI_EB_MARKED;
            DrawCursor();
            return 1;
        }
        if (k == GUI_KEY_DELETE) {
            DeleteMarkedText();
            return 1;
        }
        if (!nav) return 0;
        clearMark();
        mEditFlags |= GUI_EB_EDIT;
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
    }
    if (GuiIsPrintableKey(k)) {
        InsertCharAtCursor(key);
        return 1;
    }
    switch (k) {
    case GUI_KEY_ENTER:
        RemoveCursor();
        if (miHOffset) {
            mCursor.col = 0;
            AutoScrollLeft();
        }
        InsertCharAtCursor(13);
        mCursor.col = 0;
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
        Draw();
        return 1;
    case GUI_KEY_BACKSPACE:
        if (mCursor.row != 0 || mCursor.col != 0) RemoveCharAtCursor(1);
        return 1;
    case GUI_KEY_DELETE:
        if (mpTextData) RemoveCharAtCursor(0);
        return 1;
    case GUI_KEY_HOME:
        if (mCursor.col != 0) {
            RemoveCursor();
            mCursor.col = 0;
            AutoScrollLeft();
            DrawCursor();
        }
        return 1;
    case GUI_KEY_END:
        RemoveCursor();
        mCursor.col = rowLength(mCursor.row);
        CheckAutoScrollRight();
        DrawCursor();
        return 1;
    case GUI_KEY_UP:
        return keyUp();
    case GUI_KEY_DOWN:
        if (mCursor.row >= miTotalLines - 1) return 1;
        RemoveCursor();
        GetCursorPointFromRowCol();
        mCursor = GetCursorRowColFromClick(
            GuiPoint{mCursorPoint.x, static_cast<int16_t>(mCursorPoint.y + miLineHeight + miLineHeight / 2)});
        CheckAutoScrollDown();
        horizontalCorrection();
        DrawCursor();
        return 1;
    case GUI_KEY_LEFT:
        return keyLeft();
    case GUI_KEY_RIGHT:
        RemoveCursor();
        if (mCursor.col < rowLength(mCursor.row)) {
            ++mCursor.col;
            CheckAutoScrollRight();
        } else if (mCursor.row + 1 < miTotalLines) {
            mCursor.col = 0;
            ++mCursor.row;
            AutoScrollLeft();
            CheckAutoScrollDown();
        }
        DrawCursor();
        return 1;
    default:
        return 0;
    }
}

void GuiEditBox::CheckMarkMove() {
    if (mCursor == mMarkEnd) return;
    const CURSOR_POS old = mMarkEnd;
    mMarkEnd = mCursor;
    mEditFlags |= GUI_EB_MARKED;
    if (mCursor.row >= miTopLine + miLinesPerPage && LineDown()) return; // the scroll drew the rows
    for (int r = std::min(old.row, mCursor.row); r <= std::max(old.row, mCursor.row); ++r) DrawOneLine(r);
}

int GuiEditBox::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE:
        if (mEditFlags & GUI_EB_EDIT) ExitEditMode();
        if (mEditFlags & GUI_EB_POINTER_SHAPE) pointerShape(0);
        return GuiTextBox::Message(msg);
    case GM_POINTER_MOVE:
        if (!(mEditFlags & GUI_EB_MARKING)) return GuiTextBox::Message(msg);
        if (!(mAnchor == mMarkEnd) && msg.DataPoint().y < mClientRect.top) LineUp();
        mCursor = GetCursorRowColFromClick(msg.DataPoint());
        CheckMarkMove();
        return 0;
    case GM_BUTTON_DOWN:
        if (!editable()) return GuiTextBox::Message(msg);
        if (mEditFlags & GUI_EB_EDIT) {
            RemoveCursor();
        } else if (mEditFlags & GUI_EB_MARKED) {
            clearMark();
            if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
            Draw();
        }
        GuiThing::CapturePointer();
        mCursor = GetCursorRowColFromClick(msg.DataPoint());
        mAnchor = mMarkEnd = mCursor;
        mEditFlags = (mEditFlags & ~(GUI_EB_EDIT | GUI_EB_MARKED)) | GUI_EB_MARKING;
        return 0;
    case GM_BUTTON_UP:
        if (!(mEditFlags & GUI_EB_MARKING)) return GuiTextBox::Message(msg);
        mEditFlags &= ~GUI_EB_MARKING;
        if (mAnchor == mMarkEnd) {
            mEditFlags = (mEditFlags | GUI_EB_EDIT) & ~GUI_EB_MARKED;
            DrawCursor();
        } else {
            mEditFlags = (mEditFlags & ~GUI_EB_EDIT) | GUI_EB_MARKED;
            signal(GUI_SIGNAL_MARKED);
        }
        GuiThing::ReleasePointer();
        if ((mEditFlags & GUI_EB_POINTER_SHAPE) && !mRealRect.Contains(msg.DataPoint())) pointerShape(0);
        return 0;
    case GM_CURRENT:
        GuiTextBox::Message(msg);
        if (editable() && !(mEditFlags & GUI_EB_MARKING)) {
            SetCursorRowColFromIndex(Length());
            mEditFlags = (mEditFlags | GUI_EB_EDIT) & ~GUI_EB_MARKED;
            DrawCursor();
        } else if (!editable() && (mwStyleFlags & GUI_STYLE_SELECTABLE) && mpTextData) {
            SetCursorRowColFromIndex(0);
            mAnchor = mCursor;
            SetCursorRowColFromIndex(Length());
            mMarkEnd = mCursor;
            mEditFlags |= GUI_EB_MARKED;
            if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
            Draw();
        }
        return 0;
    case GM_NOT_CURRENT:
        GuiTextBox::Message(msg);
        if (mEditFlags & GUI_EB_POINTER_SHAPE) pointerShape(0);
        if (mEditFlags & GUI_EB_EDIT) {
            RemoveCursor();
            ExitEditMode();
        } else if (mEditFlags & GUI_EB_MARKED) {
            clearMark();
            if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
            Draw();
        }
        return 0;
    case GM_POINTER_ENTER:
        if (editable()) pointerShape(kTextPointer);
        return GuiTextBox::Message(msg);
    case GM_POINTER_EXIT:
        if (mEditFlags & GUI_EB_POINTER_SHAPE) pointerShape(0);
        return GuiTextBox::Message(msg);
    case GM_CUT:
        CopyToScratchPad();
        DeleteMarkedText();
        signal(GUI_SIGNAL_TEXT_CHANGED);
        return 0;
    case GM_COPY:
        CopyToScratchPad();
        return 0;
    case GM_PASTE:
        PasteFromScratchPad();
        signal(GUI_SIGNAL_TEXT_CHANGED);
        return 0;
    default:
        return GuiTextBox::Message(msg);
    }
}
