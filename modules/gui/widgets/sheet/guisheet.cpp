// The spreadsheet's data: cells, rows, columns, headers and footers, fonts, widths and styles, and
// inserting and deleting rows and columns.
#include "gui/widgets/sheet/guisheet.h"

#include <algorithm>
#include <cstring>

#include "gui/core/guiscreen.h"

namespace {

char* CopyText(const char* text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text);
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n + 1);
    return copy;
}

// A column is at most as wide as a rectangle can be.
int32_t Width(int64_t w) {
    return static_cast<int32_t>(std::clamp<int64_t>(w, 0, INT16_MAX));
}

const GuiFont* CellFont() {
    return GuiTextThing::mFontTable[11];
}

int RowHeightOf(int fontHeight) {
    return std::max(1, fontHeight + fontHeight / 2);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Cells and rows

GuiSpreadSheetCell::~GuiSpreadSheetCell() {
    delete[] mpText;
}

void GuiSpreadSheetCell::DataSet(const char* text) {
    mbText = 1;
    if (!text) {
        delete[] mpText;
        mpText = nullptr;
        miBufferSize = 0;
        return;
    }
    const size_t n = std::strlen(text);
    if (n >= static_cast<size_t>(miBufferSize)) {
        char* fresh = new char[n + 8];
        std::memcpy(fresh, text, n + 1);
        delete[] mpText;
        mpText = fresh;
        miBufferSize = static_cast<int32_t>(std::min<size_t>(n + 8, INT32_MAX));
    } else {
        std::memmove(mpText, text, n + 1); // the text may be the cell's own
    }
}

void GuiSpreadSheetCell::BmpSet(const GuiBitmap* bitmap) {
    mpBitmap = bitmap;
    mbText = 0;
}

GuiSpreadSheetRow::GuiSpreadSheetRow(int count) {
    for (int i = 0; i < count; ++i) mCells.push_back(std::make_unique<GuiSpreadSheetCell>());
}

GuiSpreadSheetRow::~GuiSpreadSheetRow() {
    delete[] mpHeader;
}

GuiSpreadSheetCell* GuiSpreadSheetRow::Cell(int col) const {
    return col >= 0 && col < Count() ? mCells[static_cast<size_t>(col)].get() : nullptr;
}

const char* GuiSpreadSheetRow::DataGet(int col) const {
    const GuiSpreadSheetCell* c = Cell(col);
    return c ? c->mpText : nullptr;
}

const GuiBitmap* GuiSpreadSheetRow::BmpGet(int col) const {
    const GuiSpreadSheetCell* c = Cell(col);
    return c ? c->mpBitmap : nullptr;
}

void GuiSpreadSheetRow::DataSet(int col, const char* text) {
    if (GuiSpreadSheetCell* c = Cell(col)) c->DataSet(text);
}

void GuiSpreadSheetRow::BmpSet(int col, const GuiBitmap* bitmap) {
    if (GuiSpreadSheetCell* c = Cell(col)) c->BmpSet(bitmap);
}

void GuiSpreadSheetRow::SetRowSelected(int on) {
    if (on)
        mStyle |= GUI_ROW_SELECTED;
    else
        mStyle &= ~uint32_t{GUI_ROW_SELECTED};
    for (auto& c : mCells) c->mbSelected = on ? 1 : 0;
}

void GuiSpreadSheetRow::SetCellSelected(int col, int on) {
    if (GuiSpreadSheetCell* c = Cell(col)) c->mbSelected = on ? 1 : 0;
}

int GuiSpreadSheetRow::GetCellSelected(int col) const {
    const GuiSpreadSheetCell* c = Cell(col);
    return c ? c->mbSelected : 0;
}

int GuiSpreadSheetRow::IsText(int col) const {
    const GuiSpreadSheetCell* c = Cell(col);
    return c ? c->mbText : 0;
}

void GuiSpreadSheetRow::SetRowHeader(const char* text) {
    char* copy = CopyText(text);
    delete[] mpHeader;
    mpHeader = copy;
}

void GuiSpreadSheetRow::DeleteColumn(int col) {
    if (col >= 0 && col < Count()) mCells.erase(mCells.begin() + col);
}

void GuiSpreadSheetRow::InsertColumn(int col, const char* text) {
    // Also into a row without cells: the first column of an empty sheet gets its cells too.
    if (col < 0 || col > Count()) return;
    auto cell = std::make_unique<GuiSpreadSheetCell>();
    if (text) cell->DataSet(text);
    mCells.insert(mCells.begin() + col, std::move(cell));
}

// ---------------------------------------------------------------------------------------------
// The sheet

GuiSpreadSheet::GuiSpreadSheet(const GuiRect& rect, int rows, int cols, unsigned int id, unsigned int style,
                               GuiThing* owner)
    : GuiWindow(rect, style), mpHeaderFont(mFontTable[12]),
      mpOwner(owner), mExtraColors{GUI_LIGHT_GREY, GUI_WHITE,     GUI_WHITE,
                                   GUI_BLACK,      GUI_DARK_GREY, GUI_LIGHT_GREY} {
    mwThingId = static_cast<uint16_t>(id);
    miHeaderHeight = GuiFontHeight(mpHeaderFont);
    miRowHeight = RowHeightOf(GuiFontHeight(CellFont()));
    mColors[0] = GUI_LIGHT_GREY;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    muThingType = GUI_TYPE_SPREADSHEET;
    SetSize(rows, cols);
}

GuiSpreadSheet::~GuiSpreadSheet() = default;

GuiSpreadSheetCell* GuiSpreadSheet::cell(int row, int col) const {
    return validRow(row) ? mRows[static_cast<size_t>(row)]->Cell(col) : nullptr;
}

void GuiSpreadSheet::clampScroll() {
    // Positions into columns and rows that are gone would be read past the ends.
    miFixedCols = std::clamp(miFixedCols, 0, miCols);
    miFirstCol = std::clamp(miFirstCol, miFixedCols, std::max(miFixedCols, miCols - 1));
    miFirstRow = std::clamp(miFirstRow, 0, std::max(0, miRows - 1));
}

void GuiSpreadSheet::SetSize(int rows, int cols) {
    rows = std::max(0, rows);
    cols = std::max(0, cols);
    mRows.clear();
    mHeaderRows.clear();
    miRows = rows;
    miCols = cols;
    for (int r = 0; r < rows; ++r) mRows.push_back(std::make_unique<GuiSpreadSheetRow>(cols));
    const GuiFont* f = CellFont();
    mColWidths.assign(static_cast<size_t>(cols), Width(GuiFontTextWidth(" ", f) + 8));
    mColStyles.assign(static_cast<size_t>(cols), 0x0888);
    mColFonts.assign(static_cast<size_t>(cols), f);
    clampScroll();
}

void GuiSpreadSheet::SetColor(unsigned char index, unsigned long colour) {
    if (index < 4) {
        GuiWindow::SetColor(index, colour);
        return;
    }
    if (index > 9) return;
    mExtraColors[index - 4] = static_cast<uint32_t>(colour);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

unsigned long GuiSpreadSheet::GetColor(unsigned char index) {
    if (index < 4) return GuiWindow::GetColor(index);
    return index <= 9 ? mExtraColors[index - 4] : 255;
}

const char* GuiSpreadSheet::GetCellData(int row, int col) {
    const GuiSpreadSheetCell* c = cell(row, col);
    return c ? c->mpText : nullptr;
}

const GuiBitmap* GuiSpreadSheet::GetCellBmp(int row, int col) {
    const GuiSpreadSheetCell* c = cell(row, col);
    return c ? c->mpBitmap : nullptr;
}

const char* GuiSpreadSheet::GetRowHeader(int row) {
    return validRow(row) ? mRows[static_cast<size_t>(row)]->mpHeader : nullptr;
}

const char* GuiSpreadSheet::GetColHeader(int col) {
    return validCol(col) && !mHeaderRows.empty() ? mHeaderRows[0]->DataGet(col) : nullptr;
}

void GuiSpreadSheet::SetHeader(int n, int col, const char* text) {
    if (n < 1 || n > 4 || !validCol(col)) return;
    while (static_cast<int>(mHeaderRows.size()) < n)
        mHeaderRows.push_back(std::make_unique<GuiSpreadSheetRow>(miCols));
    const int w = Width(GuiFontTextWidth(text, mpHeaderFont) + 8);
    const bool wider = w > mColWidths[static_cast<size_t>(col)];
    if (wider) mColWidths[static_cast<size_t>(col)] = w;
    mHeaderRows[static_cast<size_t>(n - 1)]->DataSet(col, text);
    if (IsVisible() && wider) UpdateScrollBars();
}

void GuiSpreadSheet::SetFooter(int n, int col, const char* text) {
    if (n < 1 || n > 4 || !validCol(col)) return;
    while (static_cast<int>(mFooterRows.size()) < n)
        mFooterRows.push_back(std::make_unique<GuiSpreadSheetRow>(miCols));
    CheckColWidths(col, GuiFontTextWidth(text, mpHeaderFont) + 8);
    mFooterRows[static_cast<size_t>(n - 1)]->DataSet(col, text);
}

void GuiSpreadSheet::SetRowHeader(int row, const char* text) {
    if (!validRow(row)) return;
    mRows[static_cast<size_t>(row)]->SetRowHeader(text);
    const int w = GuiFontTextWidth(text, mpHeaderFont);
    if (w <= miRowHeaderWidth - 8) return;
    miRowHeaderWidth = Width(int64_t{w} + 8);
    if (IsVisible()) UpdateScrollBars();
}

void GuiSpreadSheet::rowHeightFromFonts() {
    int h = 0;
    for (const GuiFont* f : mColFonts) h = std::max(h, GuiFontHeight(f));
    miRowHeight = RowHeightOf(h);
}

void GuiSpreadSheet::SetCellFont(const GuiFont* font) {
    std::fill(mColFonts.begin(), mColFonts.end(), font);
    miRowHeight = RowHeightOf(GuiFontHeight(font));
    if (IsVisible()) UpdateScrollBars();
}

void GuiSpreadSheet::SetColumnFont(int col, const GuiFont* font) {
    if (!validCol(col)) return;
    mColFonts[static_cast<size_t>(col)] = font;
    rowHeightFromFonts();
    if (IsVisible()) UpdateScrollBars();
}

void GuiSpreadSheet::SetHeaderFont(const GuiFont* font) {
    mpHeaderFont = font;
    miHeaderHeight = GuiFontHeight(font);
    if (IsVisible()) UpdateScrollBars();
}

void GuiSpreadSheet::SetColumnStyle(int col, uint32_t style) {
    if (!validCol(col)) return;
    mColStyles[static_cast<size_t>(col)] = style;
    if (style & GUI_COL_SPACER) mColWidths[static_cast<size_t>(col)] = 4;
}

void GuiSpreadSheet::SetRowStyle(int row, uint32_t style) {
    if (validRow(row)) mRows[static_cast<size_t>(row)]->mStyle = style;
}

uint32_t GuiSpreadSheet::GetRowStyle(int row) {
    return validRow(row) ? mRows[static_cast<size_t>(row)]->mStyle : 0;
}

void GuiSpreadSheet::ForceColWidth(int col, int width) {
    if (validCol(col)) mColWidths[static_cast<size_t>(col)] = Width(width);
}

void GuiSpreadSheet::CheckColWidths(int col, int width) {
    if (validCol(col) && width > mColWidths[static_cast<size_t>(col)])
        mColWidths[static_cast<size_t>(col)] = Width(width);
}

int GuiSpreadSheet::SetColWidth(int col, const char* text, const GuiFont* font) {
    const int w = GuiFontTextWidth(text, font) + 8;
    CheckColWidths(col, w);
    return w;
}

int GuiSpreadSheet::TopBorder() {
    return mHeaderRows.empty() ? 6 : static_cast<int>(mHeaderRows.size()) * miHeaderHeight + 10;
}

int GuiSpreadSheet::GetOptimumWidth() {
    return static_cast<int>(std::clamp<int64_t>(sumWidths(0, miCols) + 16 + miRowHeaderWidth, 0, INT32_MAX));
}

int GuiSpreadSheet::GetOptimumHeight() {
    const int64_t h = int64_t{TopBorder()} + int64_t{miRows} * miRowHeight +
                      static_cast<int64_t>(mFooterRows.size()) * miHeaderHeight + 10;
    return static_cast<int>(std::clamp<int64_t>(h, 0, INT32_MAX));
}

unsigned long GuiSpreadSheet::GetCellBackColor(int row, int col) {
    const GuiSpreadSheetCell* c = cell(row, col);
    const bool spacer = validCol(col) && (mColStyles[static_cast<size_t>(col)] & GUI_COL_SPACER);
    return mColors[c && c->mbSelected && !spacer ? 1 : 0];
}

unsigned long GuiSpreadSheet::GetCellTextColor(int row, int col) {
    const GuiSpreadSheetCell* c = cell(row, col);
    return mColors[c && c->mbSelected ? 3 : 2];
}

void GuiSpreadSheet::SetCellData(int row, int col, const char* text, int redraw) {
    GuiSpreadSheetCell* c = cell(row, col);
    if (!c) return;
    c->DataSet(text);
    if (IsVisible()) {
        if (redraw) RedrawOneCell(row, col);
    } else if (text && *text) {
        CheckColWidths(col, GuiFontTextWidth(text, mColFonts[static_cast<size_t>(col)]) + 8);
    }
}

void GuiSpreadSheet::SetCellBmp(int row, int col, const GuiBitmap* bitmap, int redraw) {
    GuiSpreadSheetCell* c = cell(row, col);
    if (!c) return;
    c->BmpSet(bitmap);
    if (IsVisible()) {
        if (redraw) RedrawOneCell(row, col);
    } else if (bitmap) {
        CheckColWidths(col, bitmap->width);
    }
}

void GuiSpreadSheet::SetScrollStartCol(int col) {
    miFixedCols = std::clamp(col, 0, miCols);
    miFirstCol = miFixedCols;
    clampScroll();
    UpdateScrollBars();
    if (IsVisible() && mpScreen) {
        mpScreen->Invalidate(mRealRect);
        Draw();
    }
}

int GuiSpreadSheet::InsertColumn(int col, int width, const char* headerText) {
    if (col < 0 || col > miCols) return -1;
    mColStyles.insert(mColStyles.begin() + col,
                      (mwStyleFlags & GUI_SHEET_CELL_SELECT) ? uint32_t{GUI_COL_CELL_SELECT} : 0u);
    mColWidths.insert(mColWidths.begin() + col, Width(width));
    mColFonts.insert(mColFonts.begin() + col, CellFont());
    for (auto& r : mRows) r->InsertColumn(col, nullptr);
    for (auto& r : mFooterRows) r->InsertColumn(col, nullptr);
    for (auto& r : mHeaderRows) r->InsertColumn(col, headerText);
    ++miCols;
    UpdateScrollBars();
    return miCols;
}

int GuiSpreadSheet::DeleteColumn(int col) {
    if (miCols < 2 || !validCol(col)) return -1;
    mColStyles.erase(mColStyles.begin() + col);
    mColWidths.erase(mColWidths.begin() + col);
    mColFonts.erase(mColFonts.begin() + col);
    for (auto* rows : {&mRows, &mHeaderRows, &mFooterRows})
        for (auto& r : *rows) r->DeleteColumn(col);
    --miCols;
    clampScroll();
    UpdateScrollBars();
    return miCols;
}

int GuiSpreadSheet::InsertRow(int row, const char* headerText) {
    if (miRows == 0 && row != 0) return 0;
    if (row < 0 || row > miRows) return miRows;
    mRows.insert(mRows.begin() + row, std::make_unique<GuiSpreadSheetRow>(miCols));
    ++miRows;
    if (headerText) SetRowHeader(row, headerText);
    UpdateScrollBars();
    return miRows;
}

int GuiSpreadSheet::DeleteRow(int row) {
    if (!validRow(row)) return miRows;
    mRows.erase(mRows.begin() + row);
    --miRows;
    clampScroll();
    UpdateScrollBars();
    return miRows;
}
