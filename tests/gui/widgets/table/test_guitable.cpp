// The table layout: rows and columns that grow to fit their clients (also across spans), the
// clients' places inside their cells, the 3-D grid, and cells outside the grid.
#include <gtest/gtest.h>

#include <vector>

#include "gui/widgets/table/guitable.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

GuiThing* Client(int w, int h) {
    return new GuiThing(R(0, 0, w - 1, h - 1), 0, GUI_BORDER_NONE);
}

} // namespace

TEST(GuiTable, RowsAndColumnsFitTheirClients) {
    Harness h;
    // Padding 2 and grid width 5 throughout: a size is the client's + 9.
    struct Cell {
        int row, col, rowSpan, colSpan, w, h;
        unsigned style;
    };
    struct Case {
        const char* what;
        int rows, cols;
        int presetCol1; // a width forced on column 1 first, or -1
        std::vector<Cell> cells;
        std::vector<int> widths, heights;
    } cases[] = {
        {"one cell", 1, 1, -1, {{0, 0, 1, 1, 40, 20, GUI_CELL_FIT}}, {49}, {29}},
        {"no fit asked", 1, 1, -1, {{0, 0, 1, 1, 40, 20, 0}}, {0}, {0}},
        {"a span gives all to the empty column",
         1,
         2,
         21,
         {{0, 0, 1, 2, 50, 10, GUI_CELL_FIT}},
         {38, 30},
         {19}},
        {"a span shares when none is empty",
         2,
         2,
         21,
         {{1, 0, 1, 1, 11, 10, GUI_CELL_FIT}, {0, 0, 1, 2, 60, 10, GUI_CELL_FIT}},
         {20 + 19 / 2 + 1 + 9, 30 + 19 / 2 + 1 + 9},
         {19, 19}},
        {"a span without a client", 2, 1, -1, {{0, 0, 2, 1, 0, 0, GUI_CELL_FIT}}, {0}, {0, 0}},
    };
    for (Case& c : cases) {
        GuiTable table(10, 10, c.rows, c.cols);
        table.Reconfigure(c.rows, c.cols, 5, 2);
        if (c.presetCol1 >= 0) table.SetColWidth(1, c.presetCol1, 1);
        for (const Cell& cell : c.cells)
            ASSERT_EQ(table.SetCellClient(cell.row, cell.col, cell.w ? Client(cell.w, cell.h) : nullptr,
                                          cell.rowSpan, cell.colSpan, cell.style),
                      1)
                << c.what;
        table.Layout();
        EXPECT_EQ(table.mColWidths, c.widths) << c.what;
        EXPECT_EQ(table.mRowHeights, c.heights) << c.what;
    }

    // A table of no rows takes nothing.
    GuiTable empty(0, 0, 0, 3);
    EXPECT_EQ(empty.SetCellClient(0, 0, nullptr, 1, 1, GUI_CELL_FIT), 0);
    empty.SetColWidth(0, 10, 1);
    EXPECT_EQ(empty.mColWidths, std::vector<int>(3, 0));
}

TEST(GuiTable, ClientsSitInTheirCellsAndTheGridIsDrawn) {
    Harness h(true);
    auto* w = new GuiWindow(R(0, 0, 399, 299), GUI_BORDER_NONE);
    auto* table = new GuiTable(10, 10, 2, 2);
    table->Reconfigure(2, 2, 5, 2);
    GuiThing* big = Client(40, 20);
    GuiThing* centred = Client(10, 6);
    ASSERT_EQ(table->SetCellClient(0, 0, big, 1, 1, GUI_CELL_FIT), 1);
    ASSERT_EQ(table->SetCellClient(1, 1, centred, 1, 1, GUI_CELL_HCENTRE), 1);
    table->SetColWidth(1, 31, 0);
    table->SetRowHeight(1, 21, 0);
    GuiThing* outside = Client(5, 5);
    EXPECT_EQ(table->SetCellClient(2, 0, outside, 1, 1, 0), 0) << "below the grid";
    delete outside;
    w->Add(table, 0);
    h.pm().Add(w, 1);
    table->Layout();
    h.redraw(w->mRealRect);
    // Widths 49 and 40, heights 29 and 30: the table spans them and one grid width more.
    EXPECT_EQ(table->mRealRect, R(10, 10, 10 - 1 + 5 + 89, 10 - 1 + 5 + 59));
    // Grid width and padding in front of each client; centred across only: at the top.
    EXPECT_EQ(big->mRealRect, R(17, 17, 56, 36));
    EXPECT_EQ(centred->mRealRect.left, 10 + 5 + 49 + 2 + (40 - 4 - 10) / 2 - 1);
    EXPECT_EQ(centred->mRealRect.top, 10 + 5 + 29 + 2);
    // The grid at the column border: face, then the white and grey edges of a wide grid.
    const int x = 10 + 49, y = 10 + 29 + 10;
    EXPECT_EQ(Harness::px(x, y), GUI_LIGHT_GREY);
    EXPECT_EQ(Harness::px(x + 1, y), GUI_WHITE);
    EXPECT_EQ(Harness::px(x + 4, y), GUI_DARK_GREY);

    // Setting the client a cell already holds keeps it.
    EXPECT_EQ(table->SetCellClient(0, 0, big, 1, 1, GUI_CELL_FIT), 1);
    EXPECT_EQ(table->GetCellClient(0, 0), big);
    int row = -1, col = -1;
    EXPECT_EQ(table->GetRowCol(centred, &row, &col), 1);
    EXPECT_EQ(row * 10 + col, 11);
    // A smaller grid leaves the second row's cell outside: skipped, not lost.
    table->Reconfigure(1, 1, 3, 0);
    EXPECT_EQ(table->mColWidths, std::vector<int>{43});
    h.redraw(w->mRealRect);
    EXPECT_EQ(table->RemoveCellClient(1, 1), centred);
    delete centred;
    delete w;
}
