// The spreadsheet's layout (rows and columns that fit, its own scroll bars), scrolling, and drawing
// of headers, cells, footers and row headers inside the face.
#include <algorithm>
#include <new>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/sheet/guisheet.h"

namespace {

int16_t Clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

GuiRect Rect64(int64_t l, int64_t t, int64_t r, int64_t b) {
    return GuiRect{Clamp16(l), Clamp16(t), Clamp16(r), Clamp16(b)};
}

} // namespace

int64_t GuiSpreadSheet::sumWidths(int from, int to) const {
    int64_t s = 0;
    for (int c = std::max(from, 0); c < to && c < miCols; ++c) s += mColWidths[static_cast<size_t>(c)];
    return s;
}

int64_t GuiSpreadSheet::colLeft(int col) const {
    if (col < miFixedCols) return x0() + sumWidths(0, col);
    const int64_t base = int64_t{x0()} + miFixedWidth;
    return col >= miFirstCol ? base + sumWidths(miFirstCol, col) : base - sumWidths(col, miFirstCol);
}

bool GuiSpreadSheet::shownCol(int col) const {
    return validCol(col) && (col < miFixedCols || (col >= miFirstCol && col <= miLastCol));
}

int GuiSpreadSheet::colAt(int x) const {
    int64_t left = x0();
    for (int c = 0; c < miFixedCols; ++c) {
        const int64_t w = mColWidths[static_cast<size_t>(c)];
        if (x >= left && x < left + w) return c;
        left += w;
    }
    left = int64_t{x0()} + miFixedWidth;
    for (int c = miFirstCol; c <= miLastCol && c < miCols; ++c) {
        const int64_t w = mColWidths[static_cast<size_t>(c)];
        if (x >= left && x < left + w) return c;
        left += w;
    }
    return -1;
}

GuiRect GuiSpreadSheet::GetCellRect(int row, int col) {
    const int64_t x = colLeft(col);
    const int64_t y = int64_t{mClientRect.top} + TopBorder() + int64_t{row - miFirstRow} * miRowHeight;
    const int64_t w = validCol(col) ? mColWidths[static_cast<size_t>(col)] : 0;
    return Rect64(x, y, x + w - 1, y + miRowHeight - 1);
}

int GuiSpreadSheet::UpdateRowLayout(int force) {
    const int T = TopBorder();
    const GuiRect& c = mClientRect;
    mbHBarNeeded = 0;
    int64_t need = int64_t{c.left} + miRowHeaderWidth + 6 + ((mpVBar || force) ? 16 : 0);
    for (int i = 0; i < miCols && need <= c.right; ++i) need += mColWidths[static_cast<size_t>(i)];
    if (need > c.right - 6) mbHBarNeeded = 1;
    const int64_t room = int64_t{c.Height()} - T - 6 -
                         static_cast<int64_t>(mFooterRows.size()) * miHeaderHeight - (mbHBarNeeded ? 16 : 0);
    const int64_t fit = room > 0 ? room / miRowHeight : 0;
    if (fit >= miRows) {
        miVisibleRows = miRows;
        miFirstRow = 0;
        miLastRow = miRows - 1;
        return T;
    }
    miVisibleRows = static_cast<int32_t>(fit);
    miLastRow = miFirstRow + miVisibleRows - 1;
    if (miLastRow > miRows - 1) {
        miLastRow = miRows - 1;
        miFirstRow = std::max(0, miLastRow - miVisibleRows + 1);
    }
    // Not all rows fit: lay out again with room for the vertical bar.
    if (!mpVBar && !force) return UpdateRowLayout(1);
    return T;
}

int GuiSpreadSheet::UpdateColLayout() {
    const GuiRect& c = mClientRect;
    miFixedWidth = static_cast<int32_t>(std::min<int64_t>(sumWidths(0, miFixedCols), INT32_MAX));
    int64_t shown = miFixedWidth;
    const bool allRows = miVisibleRows >= miRows;
    const int64_t room = int64_t{c.right} - c.left - 5 - (allRows ? 0 : 16);
    int64_t sum = int64_t{miRowHeaderWidth} + miFixedWidth + 6;
    int col = miFirstCol, taken = 0;
    while (col < miCols && sum <= room) {
        const int64_t w = mColWidths[static_cast<size_t>(col)];
        sum += w;
        shown += w;
        ++taken;
        ++col;
    }
    mbLastColCut = sum > room;
    miVisibleCols = taken + miFixedCols;
    if (mbLastColCut) shown -= sum - room;
    miShownWidth = static_cast<int32_t>(std::clamp<int64_t>(shown, INT32_MIN, INT32_MAX));
    miLastCol = miFirstCol + taken - 1 - ((!(mwStyleFlags & GUI_SHEET_COUNT_CUT) && mbLastColCut) ? 1 : 0);
    return miRowHeaderWidth + miFixedWidth + 6;
}

GuiScrollInfo GuiSpreadSheet::hbarInfo(int32_t maximum) const {
    const int visible = miVisibleCols - miFixedCols - (mbLastColCut ? 1 : 0);
    return GuiScrollInfo{miFixedCols, maximum, miFirstCol, 1, visible};
}

GuiScroll* GuiSpreadSheet::CreateVertScroll(GuiRect rect, GuiScrollInfo* info, unsigned short id) {
    return new (std::nothrow) GuiVScroll(rect, info, id);
}

GuiScroll* GuiSpreadSheet::CreateHorzScroll(GuiRect rect, GuiScrollInfo* info, unsigned short id) {
    return new (std::nothrow) GuiHScroll(rect, info, id);
}

void GuiSpreadSheet::dropSheetBar(GuiScroll*& bar) {
    if (!bar) return;
    GuiScroll* gone = bar;
    bar = nullptr;
    GuiThing::Remove(gone, 0);
    gone->StopArrows(); // an arrow held down keeps a repeat timer
    if (mpMessageQueue) {
        mpMessageQueue->KillTimer(gone, 0);
        mpMessageQueue->PurgeThing(gone);
    }
    delete gone;
}

void GuiSpreadSheet::UpdateScrollBars() {
    const int T = UpdateRowLayout(0);
    const int X = UpdateColLayout();
    const GuiRect& c = mClientRect;
    bool dropped = false;
    auto place = [&](GuiScroll*& bar, const GuiRect& r, GuiScrollInfo info, bool vertical, uint16_t id) {
        if (!bar) {
            bar = vertical ? CreateVertScroll(r, &info, id) : CreateHorzScroll(r, &info, id);
            if (bar) Add(bar, 1);
        } else {
            bar->Resize(r);
            bar->Reset(&info);
        }
    };
    if (miVisibleRows >= miRows) {
        dropped = dropped || mpVBar;
        dropSheetBar(mpVBar);
    } else {
        place(mpVBar,
              Rect64(int64_t{c.right} - 23, int64_t{c.top} + T, int64_t{c.right} - 7,
                     int64_t{c.top} + T + int64_t{miVisibleRows} * miRowHeight),
              GuiScrollInfo{0, miRows - 1, miFirstRow, 1, miVisibleRows}, true, GUI_SHEET_VBAR_ID);
    }
    if (!mbHBarNeeded) {
        dropped = dropped || mpHBar;
        dropSheetBar(mpHBar);
    } else {
        // Every column can be scrolled to: the range ends at the last column.
        place(mpHBar,
              Rect64(int64_t{c.left} + X, int64_t{c.bottom} - 22, int64_t{c.right} - (mpVBar ? 22 : 6),
                     int64_t{c.bottom} - 6),
              hbarInfo(miCols - 1), false, GUI_SHEET_HBAR_ID);
    }
    if (dropped && IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}

void GuiSpreadSheet::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    miFirstCol = miFixedCols;
    UpdateScrollBars();
    for (GuiThing* c = mpFirstChild; c;) {
        GuiThing* next = c->NextSibling();
        c->Message(GuiMakeMessage(GM_PARENT_RESIZED, c));
        c = next;
    }
}

void GuiSpreadSheet::DoVerticalScrolling(int top) {
    const int first = std::clamp(top, 0, std::max(0, miRows - 1));
    const int d = first - miFirstRow;
    miFirstRow = first;
    miLastRow = std::min(miLastRow + d, miRows - 1);
    if (!IsVisible() || !mpScreen) return;
    const GuiRect& c = mClientRect;
    const int right = mpVBar ? mpVBar->mRealRect.left - 1 : c.right - 6;
    const int bottom = mpHBar ? mpHBar->mRealRect.top - 1 : c.bottom - 6;
    mpScreen->Invalidate(Rect64(c.left, int64_t{c.top} + TopBorder(), right, bottom));
    Draw();
}

void GuiSpreadSheet::DoHorizontalScrolling(int col) {
    col = std::clamp(col, miFixedCols, std::max(miFixedCols, miCols - 1));
    if (col == miFirstCol) return;
    miFirstCol = col;
    UpdateColLayout();
    if (mpHBar) {
        GuiScrollInfo info = hbarInfo(miCols - 1);
        mpHBar->Reset(&info);
    }
    if (!IsVisible() || !mpScreen) return;
    const GuiRect& c = mClientRect;
    const int right = mpVBar ? mpVBar->mRealRect.left - 1 : c.right - 6;
    const int bottom = mpHBar ? mpHBar->mRealRect.top - 1 : c.bottom - 6;
    mpScreen->Invalidate(Rect64(int64_t{x0()} + miFixedWidth, c.top + 6, right, bottom));
    Draw();
}

void GuiSpreadSheet::VScrollIntoView(int row) {
    if (!mpVBar) return;
    int top = row - miVisibleRows / 2;
    if (top + miVisibleRows - 1 > miRows - 1) top = miRows - miVisibleRows;
    top = std::max(top, 0);
    GuiScrollInfo info = mpVBar->Info();
    info.current = top;
    mpVBar->Reset(&info);
    DoVerticalScrolling(top);
}

void GuiSpreadSheet::ClipToFace() {
    if (miClipDepth++ > 0) return;
    mSavedClip = mClipRect;
    // The face: the client area less 6 pixels all round, left of the vertical bar.
    const GuiRect& c = mClientRect;
    mClipRect &= Rect64(int64_t{c.left} + 6, int64_t{c.top} + 6, int64_t{c.right} - 6, int64_t{c.bottom} - 6);
    if (mpVBar && mpVBar->mRealRect.left <= mClipRect.right)
        mClipRect.right = static_cast<int16_t>(mpVBar->mRealRect.left - 3);
}

void GuiSpreadSheet::EndClipToFace() {
    if (miClipDepth > 0 && --miClipDepth == 0) mClipRect = mSavedClip;
}

void GuiSpreadSheet::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    const uint32_t face = mColors[0];
    mColors[0] = mExtraColors[5]; // the frame's face colour stands in for colour 0
    DrawFrame(1);
    mColors[0] = face;
    ClipToFace();
    DrawHeaders();
    DrawAllCells();
    DrawFooters();
    DrawRowHeaders();
    EndClipToFace();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiSpreadSheet::drawCell(int row, int col, GuiRect rect) {
    const unsigned long bg = GetCellBackColor(row, col), fg = GetCellTextColor(row, col);
    DrawCellBorder(rect, bg, row, col);
    UpdateCell(rect, fg, bg, row, col);
}

void GuiSpreadSheet::DrawAllCells() {
    if (!miRows) return;
    const GuiRect clip = mClipRect;
    const int64_t top = int64_t{mClientRect.top} + TopBorder();
    auto column = [&](int col, int64_t x) {
        const int64_t w = mColWidths[static_cast<size_t>(col)];
        for (int row = miFirstRow; row <= miLastRow && row < miRows; ++row) {
            const int64_t y = top + int64_t{row - miFirstRow} * miRowHeight;
            if (y > clip.bottom) break;
            const GuiRect r = Rect64(x, y, x + w - 1, y + miRowHeight - 1);
            if (r.Overlap(clip)) drawCell(row, col, r);
        }
    };
    int64_t x = x0();
    for (int col = 0; col < miFixedCols && x <= clip.right; ++col) {
        column(col, x);
        x += mColWidths[static_cast<size_t>(col)];
    }
    x = int64_t{x0()} + miFixedWidth;
    for (int col = miFirstCol; col <= miLastCol && col < miCols && x <= clip.right; ++col) {
        column(col, x);
        x += mColWidths[static_cast<size_t>(col)];
    }
}

void GuiSpreadSheet::DrawCellBorder(GuiRect& rect, unsigned long colour, int row, int col) {
    const uint32_t st = validCol(col) ? mColStyles[static_cast<size_t>(col)] : 0;
    if (st & GUI_COL_SPACER) return; // no border or fill
    if (st & GUI_COL_RECESSED)
        DrawRecessed(rect, colour, row, col);
    else if (st & GUI_COL_RAISED)
        DrawRaised(rect, colour, row, col);
    else
        DrawFlat(rect, colour, (st & GUI_COL_THIN) ? 1 : 0);
}

void GuiSpreadSheet::DrawFlat(GuiRect& rect, unsigned long colour, int width) {
    mpScreen->Rectangle(this, rect, GuiColor{mExtraColors[4], static_cast<uint32_t>(colour), GUI_COLOR_FILL},
                        width);
}

namespace {

// A 3-D cell: lines along its edges, the inside filled.
void Bevel(GuiThing* t, const GuiRect& r, uint32_t topLeft, uint32_t bottomRight, unsigned long fill) {
    GuiScreen& s = *GuiThing::mpScreen;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(t, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    line(r.left, r.top, r.right, r.top, topLeft);
    line(r.left, r.top, r.left, r.bottom, topLeft);
    line(r.left, r.bottom, r.right, r.bottom, bottomRight);
    line(r.right, r.top, r.right, r.bottom, bottomRight);
    GuiRect inside = r;
    --inside;
    s.Rectangle(t, inside, GuiColor{static_cast<uint32_t>(fill), static_cast<uint32_t>(fill), GUI_COLOR_FILL},
                0);
}

} // namespace

void GuiSpreadSheet::DrawRecessed(GuiRect& rect, unsigned long colour, int, int col) {
    if (validCol(col) && (mColStyles[static_cast<size_t>(col)] & GUI_COL_SPACER)) return;
    Bevel(this, rect, GUI_DARK_GREY, GUI_WHITE, colour);
}

void GuiSpreadSheet::DrawRaised(GuiRect& rect, unsigned long colour, int, int col) {
    if (validCol(col) && (mColStyles[static_cast<size_t>(col)] & GUI_COL_SPACER)) return;
    Bevel(this, rect, GUI_WHITE, GUI_DARK_GREY, colour);
}

void GuiSpreadSheet::UpdateCell(GuiRect& rect, unsigned long textColour, unsigned long background, int row,
                                int col) {
    const GuiSpreadSheetCell* c = cell(row, col);
    const uint32_t st = validCol(col) ? mColStyles[static_cast<size_t>(col)] : 0;
    if (!c || c->mbText) {
        const GuiFont* f = validCol(col) ? mColFonts[static_cast<size_t>(col)] : nullptr;
        UpdateCell(rect, c ? c->mpText : nullptr, st, f, textColour, background);
        return;
    }
    const GuiBitmap* b = c->mpBitmap;
    if (!b) return;
    const GuiRect saved = mClipRect;
    mClipRect &= MakeGuiRect(rect.left + 1, rect.top, rect.right, rect.bottom - 1);
    const GuiPoint at{static_cast<int16_t>(rect.left + (rect.Width() - b->width) / 2),
                      static_cast<int16_t>(rect.top + (rect.Height() - b->height) / 2)};
    mpScreen->Bitmap(this, at, const_cast<GuiBitmap*>(b), 0);
    mClipRect = saved;
}

void GuiSpreadSheet::UpdateCell(GuiRect& rect, const char* text, unsigned int style, const GuiFont* font,
                                unsigned long textColour, unsigned long background) {
    if (!text || !font || !mpScreen) return;
    const int inset = (style & GUI_COL_THIN) ? 2 : (style & (GUI_COL_RAISED | GUI_COL_RECESSED)) ? 3 : 0;
    const GuiRect saved = mClipRect;
    mClipRect &= MakeGuiRect(rect.left + inset, rect.top + inset, rect.right - inset, rect.bottom - inset);
    const int tw = GuiFontTextWidth(text, font), th = GuiFontHeight(font);
    const int y = rect.top + (rect.Height() - th) / 2;
    int x = rect.left + inset;
    if (style & GUI_COL_RIGHT)
        x = rect.right - inset - tw;
    else if (style & GUI_COL_CENTRE)
        x = rect.left + (rect.Width() - tw) / 2;
    GuiColor colour{static_cast<uint32_t>(textColour), static_cast<uint32_t>(background), 0};
    mpScreen->DrawText(this, GuiPoint{Clamp16(x), Clamp16(y)}, text, colour, font, -1, 0);
    mClipRect = saved;
}

void GuiSpreadSheet::DrawHeaders() {
    const uint32_t fill = mExtraColors[0], ink = mExtraColors[1];
    for (size_t h = 0; h < mHeaderRows.size(); ++h) {
        const GuiSpreadSheetRow& row = *mHeaderRows[h];
        const int64_t top = int64_t{mClientRect.top} + 6 + static_cast<int64_t>(h) * miHeaderHeight;
        auto header = [&](int col, int64_t left) {
            GuiRect r = Rect64(left + 1, top, left + mColWidths[static_cast<size_t>(col)] - 1,
                               top + miHeaderHeight - 1);
            DrawFlat(r, fill, 0);
            UpdateCell(r, row.DataGet(col), GUI_COL_CENTRE, mpHeaderFont, ink, fill);
        };
        int64_t x = x0();
        for (int col = 0; col < miFixedCols; ++col) {
            header(col, x);
            x += mColWidths[static_cast<size_t>(col)];
        }
        x = int64_t{x0()} + miFixedWidth;
        for (int col = miFirstCol; col <= miLastCol && col < miCols; ++col) {
            header(col, x);
            x += mColWidths[static_cast<size_t>(col)];
        }
    }
}

void GuiSpreadSheet::DrawFooters() {
    if (mFooterRows.empty() || !mpScreen) return;
    const int64_t top = int64_t{mClientRect.top} + TopBorder() + int64_t{miVisibleRows} * miRowHeight;
    const int64_t left = int64_t{x0()} + miFixedWidth;
    const int64_t h = static_cast<int64_t>(mFooterRows.size()) * miHeaderHeight;
    mpScreen->Rectangle(this, Rect64(left, top, left + miShownWidth - 1, top + h - 1),
                        GuiColor{GUI_LIGHT_GREY, GUI_LIGHT_GREY, GUI_COLOR_FILL}, 0);
    for (size_t f = 0; f < mFooterRows.size(); ++f) {
        const GuiSpreadSheetRow& row = *mFooterRows[f];
        const int64_t y = top + static_cast<int64_t>(f) * miHeaderHeight;
        auto footer = [&](int col, int64_t x) {
            GuiRect r = Rect64(x, y, x + mColWidths[static_cast<size_t>(col)] - 1, y + miHeaderHeight - 1);
            UpdateCell(r, row.DataGet(col), GUI_COL_CENTRE, mpHeaderFont, mExtraColors[1], GUI_LIGHT_GREY);
        };
        int64_t x = x0();
        for (int col = 0; col < miFixedCols; ++col) {
            footer(col, x);
            x += mColWidths[static_cast<size_t>(col)];
        }
        x = left;
        for (int col = miFirstCol; col <= miLastCol && col < miCols; ++col) {
            footer(col, x);
            x += mColWidths[static_cast<size_t>(col)];
        }
    }
}

void GuiSpreadSheet::DrawRowHeaders() {
    if (!miRows) return;
    const GuiRect& c = mClientRect;
    int64_t y = int64_t{c.top} + TopBorder();
    for (int row = miFirstRow; row <= miLastRow && row < miRows; ++row) {
        const char* text = mRows[static_cast<size_t>(row)]->mpHeader;
        if (!text) continue; // takes no place
        GuiRect r =
            Rect64(int64_t{c.left} + 6, y, int64_t{c.left} + 6 + miRowHeaderWidth - 2, y + miRowHeight - 2);
        DrawFlat(r, mExtraColors[2], 0);
        UpdateCell(r, text, GUI_COL_RIGHT, mpHeaderFont, mExtraColors[3], mExtraColors[2]);
        y += miRowHeight;
    }
}

int GuiSpreadSheet::RedrawOneCell(int row, int col) {
    if (!validRow(row) || row < miFirstRow || row > miLastRow || !shownCol(col)) return 0;
    if (!IsVisible() || !mpScreen) return 0;
    ClipToFace();
    const GuiRect r = GetCellRect(row, col);
    int drawn = 0;
    if (r.Overlap(mClipRect)) {
        mpScreen->Invalidate(r);
        mpScreen->BeginDraw(this);
        drawCell(row, col, r);
        mpScreen->EndDraw();
        drawn = 1;
    }
    EndClipToFace();
    return drawn;
}

void GuiSpreadSheet::redrawRowCells(int row) {
    if (!IsVisible() || !mpScreen || row < miFirstRow || row > miLastRow) return;
    ClipToFace();
    auto one = [&](int col) {
        const GuiRect r = GetCellRect(row, col);
        if (!r.Overlap(mClipRect)) return false;
        mpScreen->Invalidate(r);
        mpScreen->BeginDraw(this);
        drawCell(row, col, r);
        mpScreen->EndDraw();
        return true;
    };
    bool inside = true;
    for (int col = 0; col < miFixedCols && inside; ++col) inside = one(col);
    inside = true;
    for (int col = miFirstCol; col <= miLastCol && col < miCols && inside; ++col) inside = one(col);
    EndClipToFace();
}

void GuiSpreadSheet::redrawColCells(int col) {
    if (!IsVisible() || !mpScreen || !shownCol(col)) return;
    ClipToFace();
    for (int row = miFirstRow; row <= miLastRow && row < miRows; ++row) {
        const GuiRect r = GetCellRect(row, col);
        if (!r.Overlap(mClipRect)) break;
        mpScreen->Invalidate(r);
        mpScreen->BeginDraw(this);
        drawCell(row, col, r);
        mpScreen->EndDraw();
    }
    EndClipToFace();
}
