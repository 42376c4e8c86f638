// The spreadsheet: a scrollable grid window of text or bitmap cells with up to four header rows
// above and four footer rows below the cells, an optional column of row headers, columns that stay
// fixed while the rest scroll across, per-column and per-row styles, and three kinds of selection
// (whole rows, whole columns, single cells) reported straight to an owner as signals 8 to 12.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gui/window/guiscroll.h"
#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_SPREADSHEET = 153 };

// Column style bits.
enum : uint32_t {
    GUI_COL_THIN = 0x0002,
    GUI_COL_RAISED = 0x0004,
    GUI_COL_RECESSED = 0x0008,
    GUI_COL_RIGHT = 0x0020,
    GUI_COL_CENTRE = 0x0080,
    GUI_COL_HEADER_SELECT = 0x0100,
    GUI_COL_SELECTED = 0x0200,
    GUI_COL_SPACER = 0x0400,
    GUI_COL_CELL_SELECT = 0x0800,
};
// Row style bits.
enum : uint32_t { GUI_ROW_HEADER_SELECT = 0x0100, GUI_ROW_SELECTED = 0x0200 };
// Spreadsheet style bits (the window style).
enum : uint16_t {
    GUI_SHEET_CELL_SELECT = 0x0400,
    GUI_SHEET_COUNT_CUT = 0x0800,
    GUI_SHEET_MULTI_ROW = 0x1000,
    GUI_SHEET_MULTI_COL = 0x2000,
};
// Signals to the owner; Data holds the column, then the row (two 16-bit values).
enum : unsigned {
    GUI_SIGNAL_COL_SELECTED = 8,
    GUI_SIGNAL_COL_UNSELECTED = 9,
    GUI_SIGNAL_ROW_SELECTED = 10,
    GUI_SIGNAL_ROW_UNSELECTED = 11,
    GUI_SIGNAL_CELL_CLICKED = 12,
};
// The sheet's own bars.
enum : uint16_t { GUI_SHEET_VBAR_ID = 1000, GUI_SHEET_HBAR_ID = 1001 };

class GuiSpreadSheetCell {
public:
    GuiSpreadSheetCell() = default;
    virtual ~GuiSpreadSheetCell();
    GuiSpreadSheetCell(const GuiSpreadSheetCell&) = delete;
    GuiSpreadSheetCell& operator=(const GuiSpreadSheetCell&) = delete;

    void DataSet(const char* text);
    void BmpSet(const GuiBitmap* bitmap);

    char* mpText = nullptr; // owned
    const GuiBitmap* mpBitmap = nullptr;
    int32_t mbSelected = 0;
    int32_t mbText = 1; // shows its text (else its bitmap)
    int32_t miBufferSize = 0;
};

class GuiSpreadSheetRow {
public:
    explicit GuiSpreadSheetRow(int count);
    ~GuiSpreadSheetRow();
    GuiSpreadSheetRow(const GuiSpreadSheetRow&) = delete;
    GuiSpreadSheetRow& operator=(const GuiSpreadSheetRow&) = delete;

    const char* DataGet(int col) const;
    const GuiBitmap* BmpGet(int col) const;
    void DataSet(int col, const char* text);
    void BmpSet(int col, const GuiBitmap* bitmap);
    void SetRowSelected(int on);
    void SetCellSelected(int col, int on);
    int GetCellSelected(int col) const;
    int IsText(int col) const;
    void SetRowHeader(const char* text);
    void DeleteColumn(int col);
    void InsertColumn(int col, const char* text);
    int Count() const { return static_cast<int>(mCells.size()); }
    GuiSpreadSheetCell* Cell(int col) const;

    std::vector<std::unique_ptr<GuiSpreadSheetCell>> mCells;
    uint32_t mStyle = 0;
    char* mpHeader = nullptr; // owned
};

class GuiSpreadSheet : public GuiWindow {
public:
    GuiSpreadSheet(const GuiRect& rect, int rows, int cols, unsigned int id, unsigned int style,
                   GuiThing* owner);
    ~GuiSpreadSheet() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetColor(unsigned char index, unsigned long colour) override;
    unsigned long GetColor(unsigned char index) override;
    void Resize(GuiRect rect) override;

    virtual void SetCellData(int row, int col, const char* text, int redraw);
    virtual void SetCellBmp(int row, int col, const GuiBitmap* bitmap, int redraw);
    virtual void SetScrollStartCol(int col);
    virtual int SelectCell(const GuiPoint& point);
    virtual GuiRect GetCellRect(int row, int col);
    virtual void UpdateScrollBars();
    virtual GuiScroll* CreateVertScroll(GuiRect rect, GuiScrollInfo* info, unsigned short id);
    virtual GuiScroll* CreateHorzScroll(GuiRect rect, GuiScrollInfo* info, unsigned short id);
    virtual void DrawHeaders();
    virtual int CheckCellSelect(const GuiPoint& point);
    virtual void DrawCellBorder(GuiRect& rect, unsigned long colour, int row, int col);
    virtual void DrawFlat(GuiRect& rect, unsigned long colour, int width);
    virtual void DrawRecessed(GuiRect& rect, unsigned long colour, int row, int col);
    virtual void DrawRaised(GuiRect& rect, unsigned long colour, int row, int col);
    virtual void UpdateCell(GuiRect& rect, const char* text, unsigned int style, const GuiFont* font,
                            unsigned long textColour, unsigned long background);
    virtual void UpdateCell(GuiRect& rect, unsigned long textColour, unsigned long background, int row,
                            int col);
    virtual void DoVerticalScrolling(int top);
    virtual void DoHorizontalScrolling(int col);
    virtual void ClipToFace();

    void EndClipToFace();
    void SetSize(int rows, int cols);
    const char* GetCellData(int row, int col);
    const GuiBitmap* GetCellBmp(int row, int col);
    const char* GetRowHeader(int row);
    const char* GetColHeader(int col);
    void SetHeader(int n, int col, const char* text);
    void SetFooter(int n, int col, const char* text);
    void SetRowHeader(int row, const char* text);
    void SetCellFont(const GuiFont* font);
    void SetColumnFont(int col, const GuiFont* font);
    void SetHeaderFont(const GuiFont* font);
    void SetColumnStyle(int col, uint32_t style);
    void SetRowStyle(int row, uint32_t style);
    uint32_t GetRowStyle(int row);
    void ForceColWidth(int col, int width);
    void CheckColWidths(int col, int width);
    int SetColWidth(int col, const char* text, const GuiFont* font);
    int GetOptimumWidth();
    int GetOptimumHeight();
    int TopBorder();
    unsigned long GetCellBackColor(int row, int col);
    unsigned long GetCellTextColor(int row, int col);
    int InsertColumn(int col, int width, const char* headerText);
    int AddColumn(int width, const char* headerText) { return InsertColumn(miCols, width, headerText); }
    int DeleteColumn(int col);
    int InsertRow(int row, const char* headerText);
    int AddRow(const char* headerText) { return InsertRow(miRows, headerText); }
    int DeleteRow(int row);
    int GetSelectedRow(int n);
    int GetSelectedColumn(int n);
    int RowSelected(int row);
    int ColSelected(int col);
    void SelectRow(int row, int select);
    void SelectColumn(int col, int select);
    void SelectCell(int row, int col, int select);
    int UnselectAll();
    int UnselectRows();
    int UnselectColumns();
    int UnselectCells();
    void VScrollIntoView(int row);
    int RedrawOneCell(int row, int col);

    int Rows() const { return miRows; }
    int Cols() const { return miCols; }
    GuiScroll* VBar() const { return mpVBar; }
    GuiScroll* HBar() const { return mpHBar; }

    std::vector<std::unique_ptr<GuiSpreadSheetRow>> mRows;
    std::vector<std::unique_ptr<GuiSpreadSheetRow>> mHeaderRows; // 0 to 4
    std::vector<std::unique_ptr<GuiSpreadSheetRow>> mFooterRows; // 0 to 4
    std::vector<uint32_t> mColStyles;
    std::vector<const GuiFont*> mColFonts;
    const GuiFont* mpHeaderFont;
    std::vector<int32_t> mColWidths;
    GuiThing* mpOwner;
    int32_t miRows = 0, miCols = 0;
    int32_t miClipDepth = 0;
    int32_t miFixedCols = 0;
    int32_t miFixedWidth = 0;
    int32_t miFirstRow = 0, miLastRow = -1;
    int32_t miFirstCol = 0; // first scrolled column
    int32_t miLastCol = -1;
    int32_t miVisibleRows = 0;
    int32_t miVisibleCols = 0;
    int32_t miShownWidth = 0;
    int32_t miRowHeaderWidth = 0;
    int32_t mbLastColCut = 0;
    int32_t mbHBarNeeded = 0;
    int32_t miRowHeight = 1;
    int32_t miHeaderHeight = 0;
    GuiRect mSavedClip{};
    uint32_t mExtraColors[6];

protected:
    int UpdateRowLayout(int force);
    int UpdateColLayout();
    void DrawAllCells();
    void DrawFooters();
    void DrawRowHeaders();

private:
    bool validRow(int row) const { return row >= 0 && row < miRows; }
    bool validCol(int col) const { return col >= 0 && col < miCols; }
    GuiSpreadSheetCell* cell(int row, int col) const;
    int x0() const { return mClientRect.left + miRowHeaderWidth + 6; }
    // Left edge of a column as shown: fixed columns from X0, the others from X0 + the fixed width.
    int64_t colLeft(int col) const;
    int64_t sumWidths(int from, int to) const; // columns from..to-1
    bool shownCol(int col) const;
    void drawCell(int row, int col, GuiRect rect);
    void redrawRowCells(int row);
    void redrawColCells(int col);
    void signal(unsigned n, int col, int row);
    void dropSheetBar(GuiScroll*& bar);
    GuiScrollInfo hbarInfo(int32_t maximum) const;
    void clampScroll();
    void rowHeightFromFonts();
    // The column under x among the shown ones, or -1.
    int colAt(int x) const;

    GuiScroll* mpVBar = nullptr;
    GuiScroll* mpHBar = nullptr;
};
