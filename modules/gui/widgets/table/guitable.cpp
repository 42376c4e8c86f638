// The table layout: cell records, sizing rows and columns to their clients, placing and clipping
// the clients, and the 3-D grid.
#include "gui/widgets/table/guitable.h"

#include <algorithm>

#include "gui/core/guiscreen.h"

namespace {

int16_t Clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

GuiRect Rect64(int64_t l, int64_t t, int64_t r, int64_t b) {
    return GuiRect{Clamp16(l), Clamp16(t), Clamp16(r), Clamp16(b)};
}

bool Covers(const GuiTableCell& c, int row, int col) {
    return row >= c.row && row < c.row + c.rowSpan && col >= c.col && col < c.col + c.colSpan;
}

} // namespace

GuiTable::GuiTable(int left, int top, int rows, int cols)
    : GuiWindow(MakeGuiRect(left, top, left + 1, top + 1), 0x3001) {
    muThingType = GUI_TYPE_TABLE;
    RemoveStatus(GUI_ST_MOVABLE);
    miRows = std::max(0, rows);
    miCols = std::max(0, cols);
    mRowHeights.assign(static_cast<size_t>(miRows), 0);
    mColWidths.assign(static_cast<size_t>(miCols), 0);
}

GuiTable::~GuiTable() {
    // Clients that never took their places are not children: they go with the table too.
    for (GuiTableCell& c : mCells)
        if (c.client && !c.client->Parent()) delete c.client;
}

bool GuiTable::inGrid(const GuiTableCell& c) const {
    return c.row >= 0 && c.col >= 0 && c.rowSpan >= 1 && c.colSpan >= 1 &&
           int64_t{c.row} + c.rowSpan <= miRows && int64_t{c.col} + c.colSpan <= miCols;
}

GuiTableCell* GuiTable::record(int row, int col) {
    for (GuiTableCell& c : mCells)
        if (c.row == row && c.col == col) return &c;
    return nullptr;
}

int64_t GuiTable::widths(int from, int count) const {
    int64_t s = 0;
    for (int i = std::max(from, 0); i < from + count && i < miCols; ++i)
        s += mColWidths[static_cast<size_t>(i)];
    return s;
}

int64_t GuiTable::heights(int from, int count) const {
    int64_t s = 0;
    for (int i = std::max(from, 0); i < from + count && i < miRows; ++i)
        s += mRowHeights[static_cast<size_t>(i)];
    return s;
}

void GuiTable::setSize(std::vector<int32_t>& sizes, int index, int size, int force) {
    if (!miRows || !miCols || index < 0 || index >= static_cast<int>(sizes.size())) return;
    const int32_t v = static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{size} + 2 * int64_t{miPadding} + miGridWidth, 0, INT16_MAX));
    int32_t& cur = sizes[static_cast<size_t>(index)];
    if (force || v > cur) cur = v;
}

void GuiTable::SetColWidth(int col, int width, int force) {
    setSize(mColWidths, col, width, force);
}

void GuiTable::SetRowHeight(int row, int height, int force) {
    setSize(mRowHeights, row, height, force);
}

int GuiTable::SetCellClient(int row, int col, GuiThing* thing, int rowSpan, int colSpan, unsigned int style) {
    if (!miRows || !miCols || row < 0 || row >= miRows || col < 0 || col >= miCols || thing == this) return 0;
    rowSpan = std::clamp(rowSpan, 1, miRows - row);
    colSpan = std::clamp(colSpan, 1, miCols - col);
    // A client belongs to one cell only.
    if (thing)
        for (GuiTableCell& c : mCells)
            if (c.client == thing && (c.row != row || c.col != col)) c.client = nullptr;
    if (GuiTableCell* r = record(row, col)) {
        if (r->client && r->client != thing) {
            GuiThing* old = r->client;
            r->client = nullptr;
            Destroy(old);
        }
        r->client = thing;
        r->rowSpan = rowSpan;
        r->colSpan = colSpan;
        r->style = style;
    } else {
        mCells.push_back(GuiTableCell{thing, row, col, rowSpan, colSpan, style});
    }
    if (thing && IsVisible()) Layout();
    return 1;
}

GuiThing* GuiTable::RemoveCellClient(int row, int col) {
    auto it = std::find_if(mCells.begin(), mCells.end(),
                           [&](const GuiTableCell& c) { return c.row == row && c.col == col; });
    if (it == mCells.end()) return nullptr;
    GuiThing* client = it->client;
    mCells.erase(it);
    if (!client) return nullptr;
    if (client->Parent() == this) {
        if (mwStyleFlags & GUI_TABLE_NO_BORDER) {
            GuiThing::Remove(client, 0);
            if (mpParentThing && mpParentThing->IsVisible() && mpScreen) {
                mpScreen->Invalidate(mpParentThing->mRealRect);
                mpParentThing->Draw();
            }
        } else {
            GuiThing::Remove(client, 1);
        }
    }
    return client;
}

void GuiTable::Reconfigure(int rows, int cols, int gridWidth, int padding) {
    miRows = std::max(0, rows);
    miCols = std::max(0, cols);
    miGridWidth = gridWidth;
    miPadding = padding;
    mRowHeights.assign(static_cast<size_t>(miRows), 0);
    mColWidths.assign(static_cast<size_t>(miCols), 0);
    Layout();
}

void GuiTable::Layout() {
    const int64_t pad2 = 2 * int64_t{miPadding};
    // Single cells first, then the spanning ones with what is left to give.
    for (const GuiTableCell& c : mCells) {
        if (!c.client || !(c.style & GUI_CELL_FIT) || !inGrid(c) || c.rowSpan != 1 || c.colSpan != 1)
            continue;
        SetRowHeight(c.row, c.client->mRealRect.Height(), 0);
        SetColWidth(c.col, c.client->mRealRect.Width(), 0);
    }
    auto spread = [&](std::vector<int32_t>& sizes, int from, int span, int need) {
        int64_t sum = 0;
        for (int i = from; i < from + span; ++i) sum += sizes[static_cast<size_t>(i)];
        if (sum) sum -= miGridWidth + pad2;
        if (sum >= need) return;
        const int64_t missing = need - sum;
        for (int i = from; i < from + span; ++i)
            if (sizes[static_cast<size_t>(i)] == 0) {
                setSize(sizes, i, static_cast<int>(std::min<int64_t>(missing, INT32_MAX)), 0);
                return;
            }
        for (int i = from; i < from + span; ++i)
            setSize(sizes, i,
                    static_cast<int>(
                        std::min<int64_t>(sizes[static_cast<size_t>(i)] + missing / span + 1, INT32_MAX)),
                    0);
    };
    for (const GuiTableCell& c : mCells) {
        if (!c.client || !(c.style & GUI_CELL_FIT) || !inGrid(c) || (c.rowSpan == 1 && c.colSpan == 1))
            continue;
        spread(mRowHeights, c.row, c.rowSpan, c.client->mRealRect.Height());
        spread(mColWidths, c.col, c.colSpan, c.client->mRealRect.Width());
    }
    const GuiRect r = mRealRect;
    Resize(Rect64(r.left, r.top, int64_t{r.left} - 1 + miGridWidth + widths(0, miCols),
                  int64_t{r.top} - 1 + miGridWidth + heights(0, miRows)));
    for (const GuiTableCell& c : mCells) {
        if (!c.client || !inGrid(c)) continue;
        GuiThing* t = c.client;
        const int64_t cw = t->mRealRect.Width(), ch = t->mRealRect.Height();
        const int64_t x = int64_t{mRealRect.left} + miGridWidth + widths(0, c.col);
        const int64_t y = int64_t{mClientRect.top} + miGridWidth + heights(0, c.row);
        const int64_t aw = widths(c.col, c.colSpan), ah = heights(c.row, c.rowSpan);
        int64_t dx = 0, dy = 0;
        if (c.style & GUI_CELL_HCENTRE)
            dx = (aw - pad2 - cw) / 2 - 1;
        else if (c.style & GUI_CELL_RIGHT)
            dx = aw - pad2 - cw;
        if (c.style & GUI_CELL_VCENTRE)
            dy = (ah - pad2 - ch) / 2 - 1;
        else if (c.style & GUI_CELL_BOTTOM)
            dy = ah - pad2 - ch;
        const int64_t nx = x + dx + miPadding, ny = y + dy + miPadding;
        t->Resize(Rect64(nx, ny, nx + cw - 1, ny + ch - 1));
        Add(t, 1);
    }
}

void GuiTable::Draw() {
    if (!miRows || !miCols || !mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (!(mwStyleFlags & GUI_TABLE_NO_BORDER)) StandardBorder(mColors[0]);
    if (mwStyleFlags & (GUI_TABLE_HGRID | GUI_TABLE_VGRID)) DrawGrid();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiTable::DrawChildren() {
    for (const GuiTableCell& c : mCells) {
        GuiThing* t = c.client;
        if (!t || !inGrid(c) || t->Parent() != this) continue;
        const int64_t x = int64_t{mClientRect.left} + widths(0, c.col);
        const int64_t y = int64_t{mClientRect.top} + heights(0, c.row);
        const int64_t p = miPadding;
        const GuiRect cell =
            Rect64(x + p + miGridWidth, y + p + miGridWidth, x + widths(c.col, c.colSpan) - 1 - p,
                   y + heights(c.row, c.rowSpan) - 1 - p);
        const GuiRect saved = t->mClipRect;
        t->mClipRect &= cell;
        t->Draw();
        t->mClipRect = saved;
    }
}

void GuiTable::DrawGrid() {
    if (!miRows || !miCols || !mpScreen) return;
    GuiScreen& s = *mpScreen;
    const int g = miGridWidth;
    auto line = [&](int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t c, int width) {
        s.Line(this, Clamp16(x1), Clamp16(y1), Clamp16(x2), Clamp16(y2), GuiColor{c, c, 0}, width);
    };
    const GuiRect& cl = mClientRect;
    const GuiRect& r = mRealRect;
    if (mwStyleFlags & GUI_TABLE_VGRID) {
        int64_t x = cl.left;
        for (int col = 0; col < miCols; x += mColWidths[static_cast<size_t>(col)], ++col) {
            if (!mColWidths[static_cast<size_t>(col)]) continue;
            int64_t y = cl.top;
            for (int row = 0; row < miRows; y += mRowHeights[static_cast<size_t>(row)], ++row) {
                const int h = mRowHeights[static_cast<size_t>(row)];
                if (!h || CellSpansCol(row, col)) continue;
                line(x, y, x, y + h, GUI_LIGHT_GREY, g);
                if (g <= 3) continue;
                line(x + 1, y, x + 1, y + h, GUI_WHITE, 1);
                line(x + g - 1, y, x + g - 1, y + h, GUI_DARK_GREY, 1);
            }
        }
    }
    if (mwStyleFlags & GUI_TABLE_HGRID) {
        int64_t y = cl.top;
        for (int row = 0; row < miRows; y += mRowHeights[static_cast<size_t>(row)], ++row) {
            if (!mRowHeights[static_cast<size_t>(row)]) continue;
            int64_t x = cl.left;
            for (int col = 0; col < miCols; x += mColWidths[static_cast<size_t>(col)], ++col) {
                const int w = mColWidths[static_cast<size_t>(col)];
                if (!w || CellSpansRow(row, col)) continue;
                line(x, y, x + w, y, GUI_LIGHT_GREY, g);
                if (g <= 3) continue;
                line(x, y + 1, x + w - 1, y + 1, GUI_WHITE, 1);
                line(x, y + g - 1, x + w, y + g - 1, GUI_DARK_GREY, 1);
            }
        }
    }
    // The closing lines at the right and bottom ends.
    const int64_t xEnd = int64_t{r.left} + widths(0, miCols), yEnd = int64_t{r.top} + heights(0, miRows);
    if (mwStyleFlags & GUI_TABLE_VGRID) {
        line(xEnd, r.top, xEnd, r.bottom, GUI_LIGHT_GREY, g);
        if (g > 3) {
            line(xEnd + 1, r.top + 1, xEnd + 1, int64_t{r.bottom} - g + 1, GUI_WHITE, 1);
            line(r.right, r.top, r.right, r.bottom - 1, GUI_DARK_GREY, 1);
        }
    }
    if (mwStyleFlags & GUI_TABLE_HGRID) {
        line(r.left, yEnd, r.right, yEnd, GUI_LIGHT_GREY, g);
        if (g > 3) {
            line(r.left + 1, yEnd + 1, int64_t{r.right} - g + 2, yEnd + 1, GUI_WHITE, 1);
            line(r.left, r.bottom, r.right, r.bottom, GUI_DARK_GREY, 1);
        }
    }
}

GuiThing* GuiTable::GetCellClient(int row, int col) {
    const GuiTableCell* c = record(row, col);
    return c ? c->client : nullptr;
}

int GuiTable::GetRowCol(GuiThing* thing, int* row, int* col) {
    if (!thing) return 0;
    for (const GuiTableCell& c : mCells)
        if (c.client == thing) {
            if (row) *row = c.row;
            if (col) *col = c.col;
            return 1;
        }
    return 0;
}

uint32_t GuiTable::GetCellStyle(int row, int col) {
    const GuiTableCell* c = record(row, col);
    return c ? c->style : 0;
}

void GuiTable::GetCellSpan(int row, int col, int* rowSpan, int* colSpan) {
    int rs = 1, cs = 1;
    for (const GuiTableCell& c : mCells)
        if (inGrid(c) && Covers(c, row, col)) {
            rs = c.rowSpan;
            cs = c.colSpan;
            break;
        }
    if (rowSpan) *rowSpan = rs;
    if (colSpan) *colSpan = cs;
}

int GuiTable::CellSpansRow(int row, int col) {
    if (row == 0) return 0;
    for (const GuiTableCell& c : mCells)
        if (inGrid(c) && c.row < row && c.col <= col && Covers(c, row, col)) return 1;
    return 0;
}

int GuiTable::CellSpansCol(int row, int col) {
    if (col == 0) return 0;
    for (const GuiTableCell& c : mCells)
        if (inGrid(c) && c.col < col && c.row <= row && Covers(c, row, col)) return 1;
    return 0;
}

int GuiTable::GetForcedColWidth(int col) {
    if (col < 0 || col >= miCols) return -1;
    for (const GuiTableCell& c : mCells)
        if (inGrid(c) && (c.style & GUI_CELL_FIT) && col >= c.col && col < c.col + c.colSpan)
            return mColWidths[static_cast<size_t>(col)];
    return -1;
}

int GuiTable::GetForcedRowHeight(int row) {
    if (row < 0 || row >= miRows) return -1;
    for (const GuiTableCell& c : mCells)
        if (inGrid(c) && (c.style & GUI_CELL_FIT) && row >= c.row && row < c.row + c.rowSpan)
            return mRowHeights[static_cast<size_t>(row)];
    return -1;
}
