// The spreadsheet's selections: whole rows (through the row headers), whole columns (through the
// column headers) and single cells, each kind clearing the others, reported to the owner; and the
// sheet's messages.
#include "gui/widgets/sheet/guisheet.h"

void GuiSpreadSheet::signal(unsigned n, int col, int row) {
    if (!mwThingId || !mpOwner) return;
    // Straight to the owner, not through the queue.
    GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, n));
    m.SetDataPoint(GuiPoint{static_cast<int16_t>(col), static_cast<int16_t>(row)});
    mpOwner->Message(m);
}

int GuiSpreadSheet::RowSelected(int row) {
    return (GetRowStyle(row) & GUI_ROW_SELECTED) ? 1 : 0;
}

int GuiSpreadSheet::ColSelected(int col) {
    return validCol(col) && (mColStyles[static_cast<size_t>(col)] & GUI_COL_SELECTED) ? 1 : 0;
}

int GuiSpreadSheet::GetSelectedRow(int n) {
    for (int r = 0; r < miRows; ++r)
        if (RowSelected(r) && n-- == 0) return r;
    return -1;
}

int GuiSpreadSheet::GetSelectedColumn(int n) {
    for (int c = 0; c < miCols; ++c)
        if (ColSelected(c) && n-- == 0) return c;
    return -1;
}

int GuiSpreadSheet::UnselectRows() {
    int any = 0;
    for (int r = 0; r < miRows; ++r)
        if (RowSelected(r)) {
            SelectRow(r, 0);
            any = 1;
        }
    return any;
}

int GuiSpreadSheet::UnselectColumns() {
    int any = 0;
    for (int c = 0; c < miCols; ++c)
        if (ColSelected(c)) {
            SelectColumn(c, 0);
            any = 1;
        }
    return any;
}

int GuiSpreadSheet::UnselectCells() {
    for (int r = 0; r < miRows; ++r)
        for (int c = 0; c < miCols; ++c) {
            GuiSpreadSheetCell* cl = cell(r, c);
            if (!cl || !cl->mbSelected) continue;
            cl->mbSelected = 0;
            RedrawOneCell(r, c);
            return 1;
        }
    return 0;
}

int GuiSpreadSheet::UnselectAll() {
    if (GetSelectedRow(0) >= 0) return UnselectRows();
    if (GetSelectedColumn(0) >= 0) return UnselectColumns();
    return UnselectCells();
}

void GuiSpreadSheet::SelectRow(int row, int select) {
    if (!validRow(row)) return;
    if (select) {
        if (mwStyleFlags & GUI_SHEET_MULTI_ROW) {
            if (!UnselectColumns() && GetSelectedRow(0) < 0) UnselectCells();
        } else if (GetSelectedRow(0) < 0) {
            if (!UnselectColumns()) UnselectCells();
        } else {
            UnselectRows();
        }
    }
    mRows[static_cast<size_t>(row)]->SetRowSelected(select);
    redrawRowCells(row);
    signal(select ? GUI_SIGNAL_ROW_SELECTED : GUI_SIGNAL_ROW_UNSELECTED, 0, row);
}

void GuiSpreadSheet::SelectColumn(int col, int select) {
    if (!validCol(col)) return;
    if (!select && !ColSelected(col)) return;
    if (select) {
        if (mwStyleFlags & GUI_SHEET_MULTI_COL) {
            if (!UnselectRows() && GetSelectedColumn(0) < 0) UnselectCells();
        } else if (GetSelectedRow(0) < 0) {
            bool other = false;
            for (int c = 0; c < miCols; ++c)
                if (c != col && ColSelected(c)) {
                    SelectColumn(c, 0);
                    other = true;
                }
            if (!other) UnselectCells();
        } else {
            UnselectRows();
        }
    }
    uint32_t& st = mColStyles[static_cast<size_t>(col)];
    st = select ? (st | GUI_COL_SELECTED) : (st & ~uint32_t{GUI_COL_SELECTED});
    for (auto& r : mRows) r->SetCellSelected(col, select);
    redrawColCells(col);
    signal(select ? GUI_SIGNAL_COL_SELECTED : GUI_SIGNAL_COL_UNSELECTED, col, 0);
}

void GuiSpreadSheet::SelectCell(int row, int col, int select) {
    GuiSpreadSheetCell* c = cell(row, col);
    if (!c) return;
    if (!UnselectRows() && !UnselectColumns()) UnselectCells();
    if (!select) return;
    c->mbSelected = 1;
    RedrawOneCell(row, col);
}

int GuiSpreadSheet::SelectCell(const GuiPoint& p) {
    const GuiRect& c = mClientRect;
    const int top = c.top + TopBorder();
    // The row header band.
    if (p.x >= c.left + 6 && p.x < c.left + 6 + miRowHeaderWidth) {
        const int index = (p.y - top) / miRowHeight; // toward zero: just above the first row is row 0
        if (index >= 0) {
            const int row = std::min(miFirstRow + index, miLastRow);
            if (validRow(row) && (GetRowStyle(row) & GUI_ROW_HEADER_SELECT))
                SelectRow(row, !RowSelected(row));
            return 1;
        }
    }
    // The column header band.
    const int64_t left = x0();
    if (p.x >= left && p.x < left + miShownWidth && p.y >= c.top + 6 &&
        p.y < c.top + 6 + static_cast<int>(mHeaderRows.size()) * miHeaderHeight) {
        const int col = colAt(p.x);
        if (col >= 0) {
            const uint32_t st = mColStyles[static_cast<size_t>(col)];
            if ((st & GUI_COL_HEADER_SELECT) && !(st & GUI_COL_SPACER)) SelectColumn(col, !ColSelected(col));
        }
        return 1;
    }
    return (mwStyleFlags & GUI_SHEET_CELL_SELECT) ? CheckCellSelect(p) : 0;
}

int GuiSpreadSheet::CheckCellSelect(const GuiPoint& p) {
    const int top = mClientRect.top + TopBorder();
    if (p.y < top || p.y >= top + miVisibleRows * miRowHeight) return 0;
    const int col = colAt(p.x);
    if (col < 0 || !(mColStyles[static_cast<size_t>(col)] & GUI_COL_CELL_SELECT)) return 0;
    const int row = miFirstRow + (p.y - top) / miRowHeight;
    GuiSpreadSheetCell* c = cell(row, col);
    if (!c || row > miLastRow) return 0;
    // A second click on the selected cell leaves it unselected.
    const bool was = c->mbSelected;
    if (!UnselectRows() && !UnselectColumns()) UnselectCells();
    if (!was) {
        c->mbSelected = 1;
        RedrawOneCell(row, col);
    }
    signal(GUI_SIGNAL_CELL_CLICKED, col, row);
    return 1;
}

int GuiSpreadSheet::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
        GuiWindow::Message(msg);
        UpdateScrollBars();
        if (!mpOwner) mpOwner = mpParentThing;
        return 0;
    case GM_BUTTON_DOWN:
        SelectCell(msg.DataPoint());
        return 0;
    default:
        break;
    }
    if (msg.Type == GuiSignalType(GUI_SHEET_VBAR_ID, GUI_SIGNAL_SCROLLED) && msg.Source &&
        msg.Source == mpVBar) {
        DoVerticalScrolling(msg.DataWord(0));
        return 0;
    }
    if (msg.Type == GuiSignalType(GUI_SHEET_HBAR_ID, GUI_SIGNAL_SCROLLED) && msg.Source &&
        msg.Source == mpHBar) {
        DoHorizontalScrolling(msg.DataWord(0));
        return 0;
    }
    return GuiWindow::Message(msg);
}
