// The edit box: cursor positions, texts set and appended, and the editing operations.
#include "gui/widgets/editbox/guieditbox.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "gui/core/guiscreen.h"
#include "gui/core/guitextops.h"
#include "gui/widgets/edit/guiedit.h"
#include "gui/window/guipm.h"

namespace {

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
