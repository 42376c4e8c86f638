// The table layout: a grid of rows and columns in which any widget can be placed in a cell,
// spanning rows and columns, aligned inside its cell with padding around it, with 3-D grid lines
// between the cells. Rows and columns grow to fit the widgets that ask for it, and the table sizes
// itself to their sum.
#pragma once

#include <cstdint>
#include <vector>

#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_TABLE = 152 };

// Cell style bits.
enum : uint32_t {
    GUI_CELL_FIT = 0x0001, // the row(s) and column(s) grow to fit the client
    GUI_CELL_HCENTRE = 0x0100,
    GUI_CELL_RIGHT = 0x0400,
    GUI_CELL_VCENTRE = 0x0800,
    GUI_CELL_BOTTOM = 0x2000,
};
// Table style bits (the window style).
enum : uint16_t { GUI_TABLE_HGRID = 0x1000, GUI_TABLE_VGRID = 0x2000, GUI_TABLE_NO_BORDER = 0x4000 };

struct GuiTableCell {
    GuiThing* client; // may be none
    int32_t row, col;
    int32_t rowSpan, colSpan;
    uint32_t style;
};

class GuiTable : public GuiWindow {
public:
    GuiTable(int left, int top, int rows, int cols);
    ~GuiTable() override;

    void Draw() override;
    void DrawChildren() override;

    virtual void DrawGrid();
    virtual void SetCellPadding(int padding) { miPadding = padding; }
    virtual void SetColWidth(int col, int width, int force);
    virtual void SetRowHeight(int row, int height, int force);
    // 1 when the cell took the client (the table then owns it), 0 for a cell outside the grid.
    virtual int SetCellClient(int row, int col, GuiThing* thing, int rowSpan, int colSpan,
                              unsigned int style);
    virtual void Reconfigure(int rows, int cols, int gridWidth, int padding);
    virtual void Layout();

    void SetGridWidth(int width) { miGridWidth = width; }
    GuiThing* GetCellClient(int row, int col);
    int GetRowCol(GuiThing* thing, int* row, int* col);
    uint32_t GetCellStyle(int row, int col);
    void GetCellSpan(int row, int col, int* rowSpan, int* colSpan);
    int CellSpansRow(int row, int col);
    int CellSpansCol(int row, int col);
    int GetForcedColWidth(int col);
    int GetForcedRowHeight(int row);
    // The client of the cell, removed from the table and no longer owned by it.
    GuiThing* RemoveCellClient(int row, int col);

    std::vector<int32_t> mRowHeights;
    std::vector<int32_t> mColWidths;
    std::vector<GuiTableCell> mCells; // in order of creation
    int32_t miPadding = 0;
    int32_t miGridWidth = 5;
    int32_t miRows = 0, miCols = 0;

private:
    bool inGrid(const GuiTableCell& c) const;
    GuiTableCell* record(int row, int col);
    int64_t widths(int from, int count) const;
    int64_t heights(int from, int count) const;
    // Grows (or with force sets) one entry of sizes to size + 2 x padding + grid width.
    void setSize(std::vector<int32_t>& sizes, int index, int size, int force);
};
