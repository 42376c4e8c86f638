// The spreadsheet: selections by pointer through the row and column headers and the cells, with the
// owner's signals in order; the sheet's own bars as rows and columns come and go; one cell redrawn
// alone.
#include <gtest/gtest.h>

#include "gui/widgets/sheet/guisheet.h"
#include "guiharness.h"

using guitest::Harness;
using guitest::Recorder;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

struct Signal {
    unsigned n;
    int col, row;
    bool operator==(const Signal&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Signal& s) {
    return o << "signal " << s.n << " (" << s.col << ", " << s.row << ")";
}

// The sheet's signals (id 7) that the owner got, in order.
std::vector<Signal> Signals(Recorder& owner) {
    std::vector<Signal> out;
    for (const guitest::Received& r : owner.signals())
        out.push_back(Signal{static_cast<unsigned>(r.type - GuiSignalType(7, 0)), r.data0 & 0xFFFF,
                             static_cast<int>(static_cast<uint32_t>(r.data0) >> 16)});
    owner.log.clear();
    return out;
}

} // namespace

TEST(GuiSpreadSheet, HeadersAndCellsSelectAndTellTheOwner) {
    Harness h(true);
    h.useTestFont();
    auto* owner = new Recorder(R(0, 0, 399, 299));
    auto* sheet = new GuiSpreadSheet(R(10, 10, 389, 289), 4, 3, 7,
                                     GUI_BORDER_NONE | unsigned{GUI_SHEET_CELL_SELECT}, nullptr);
    for (int c = 0; c < 3; ++c) {
        sheet->SetHeader(1, c, "Col");
        sheet->SetColumnStyle(c, GUI_COL_HEADER_SELECT | GUI_COL_CELL_SELECT);
    }
    for (int r = 0; r < 4; ++r) {
        sheet->SetRowHeader(r, "Row");
        sheet->SetRowStyle(r, GUI_ROW_HEADER_SELECT);
    }
    sheet->SetHeader(5, 0, "ignored");
    sheet->SetHeader(0, 0, "ignored");
    owner->Add(sheet, 0);
    h.pm().Add(owner, 1);
    h.dispatchAll();
    ASSERT_EQ(sheet->mHeaderRows.size(), 1u);
    EXPECT_EQ(sheet->VBar(), nullptr) << "four rows fit";

    const GuiRect cell = sheet->GetCellRect(2, 1);
    const int headerY = sheet->mClientRect.top + 6 + 2;
    const int rowHeaderX = sheet->mClientRect.left + 8;
    struct Click {
        int x, y;
        std::vector<Signal> signals;
    } clicks[] = {
        {cell.left + 2, headerY, {{8, 1, 0}}},               // column 1 selected
        {rowHeaderX, cell.top + 2, {{9, 1, 0}, {10, 0, 2}}}, // row 2: column 1 goes first
        // Less than a row above the first row still counts as the first row.
        {rowHeaderX, sheet->mClientRect.top + sheet->TopBorder() - 2, {{11, 0, 2}, {10, 0, 0}}},
        {cell.left + 2, cell.top + 2, {{11, 0, 0}, {12, 1, 2}}}, // a cell clears the row
        {cell.left + 2, cell.top + 2, {{12, 1, 2}}},             // again: deselected, still 12
    };
    for (const Click& c : clicks) {
        h.pointer(GM_BUTTON_DOWN, c.x, c.y);
        h.dispatchAll();
        EXPECT_EQ(Signals(*owner), c.signals) << c.x << "," << c.y;
    }
    EXPECT_EQ(sheet->GetSelectedRow(0), -1);
    EXPECT_EQ(sheet->GetSelectedColumn(0), -1);
    EXPECT_EQ(sheet->UnselectCells(), 0) << "the second click left no cell selected";
}

TEST(GuiSpreadSheet, BarsFollowTheGridAndOneCellRedrawsAlone) {
    Harness h(true);
    h.useTestFont();
    auto* owner = new Recorder(R(0, 0, 399, 299));
    auto* sheet = new GuiSpreadSheet(R(10, 10, 209, 109), 1, 4, 7, GUI_BORDER_NONE, nullptr);
    owner->Add(sheet, 0);
    h.pm().Add(owner, 1);
    h.dispatchAll();
    EXPECT_EQ(sheet->VBar(), nullptr);
    // Rows of 15 (10 + 5) from client top + 6: more than fit make the vertical bar.
    while (!sheet->VBar() && sheet->Rows() < 20) sheet->AddRow(nullptr);
    ASSERT_NE(sheet->VBar(), nullptr);
    EXPECT_EQ(sheet->VBar()->Id(), GUI_SHEET_VBAR_ID);
    const int fit = sheet->Rows() - 1;
    EXPECT_EQ(sheet->miVisibleRows, fit);

    // The bar's position scrolls the rows.
    sheet->VScrollIntoView(sheet->Rows() - 1);
    EXPECT_EQ(sheet->miLastRow, sheet->Rows() - 1);
    EXPECT_EQ(sheet->miFirstRow, 1);

    // One cell: only its pixels change, and only a shown cell is drawn.
    sheet->SetCellData(sheet->miFirstRow, 1, "XX", 0);
    const std::vector<uint32_t> before = Harness::snapshot();
    EXPECT_EQ(sheet->RedrawOneCell(sheet->miFirstRow, 1), 1);
    EXPECT_EQ(sheet->RedrawOneCell(0, 1), 0) << "scrolled away";
    const GuiRect r = sheet->GetCellRect(sheet->miFirstRow, 1);
    const std::vector<uint32_t> after = Harness::snapshot();
    int changed = 0;
    for (size_t k = 0; k < after.size(); ++k)
        if (after[k] != before[k]) {
            ++changed;
            const int x = static_cast<int>(k % 640), y = static_cast<int>(k / 640);
            ASSERT_TRUE(x >= r.left && x <= r.right && y >= r.top && y <= r.bottom) << x << "," << y;
        }
    EXPECT_GT(changed, 0) << "the text is drawn";

    // Wider columns than fit: the horizontal bar; a click on its right arrow scrolls the columns
    // after the fixed one.
    for (int c = 0; c < 4; ++c) sheet->ForceColWidth(c, 60);
    sheet->SetScrollStartCol(1);
    ASSERT_NE(sheet->HBar(), nullptr);
    EXPECT_EQ(sheet->HBar()->Id(), GUI_SHEET_HBAR_ID);
    const int x0 = sheet->GetCellRect(sheet->miFirstRow, 0).left;
    EXPECT_EQ(sheet->GetCellRect(sheet->miFirstRow, 1).left, x0 + 60);
    const GuiRect hbar = sheet->HBar()->mRealRect;
    h.click(hbar.right - 3, hbar.top + 3);
    EXPECT_EQ(sheet->miFirstCol, 2);
    EXPECT_EQ(sheet->GetCellRect(sheet->miFirstRow, 0).left, x0) << "fixed";
    EXPECT_EQ(sheet->GetCellRect(sheet->miFirstRow, 2).left, x0 + 60);

    // Columns: the fixed count and the scroll position stay inside the grid as it shrinks.
    sheet->SetScrollStartCol(3);
    EXPECT_EQ(sheet->DeleteColumn(3), 3);
    EXPECT_EQ(sheet->DeleteColumn(2), 2);
    EXPECT_LE(sheet->miFixedCols, 2);
    EXPECT_LE(sheet->miFirstCol, sheet->Cols());
    EXPECT_EQ(sheet->DeleteColumn(1), 1);
    EXPECT_EQ(sheet->DeleteColumn(0), -1) << "the last column stays";
    EXPECT_EQ(sheet->InsertColumn(0, 30, "New"), 2);
    EXPECT_EQ(sheet->mColWidths[0], 30);
    h.redraw(sheet->mRealRect);

    // A new size drops the header rows with the data.
    sheet->SetHeader(2, 0, "H");
    sheet->SetSize(3, 3);
    EXPECT_EQ(sheet->GetColHeader(0), nullptr);
    for (int row = sheet->Rows(); row > 0; --row) EXPECT_EQ(sheet->DeleteRow(row - 1), row - 1);
    EXPECT_EQ(sheet->InsertRow(1, nullptr), 0) << "an empty sheet takes a row only at 0";
    EXPECT_EQ(sheet->InsertRow(0, "only"), 1);
    EXPECT_STREQ(sheet->GetRowHeader(0), "only");
    EXPECT_EQ(sheet->VBar(), nullptr);
    h.redraw(sheet->mRealRect);
}
