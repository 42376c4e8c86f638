// Input of the edit box: keys fed by the owner, pointer marking, the messages it handles and the
// automatic scrolling that keeps the cursor in view.
#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"
#include "gui/window/guiscroll.h"

namespace {

constexpr uint8_t kTextPointer = 5;

} // namespace

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
