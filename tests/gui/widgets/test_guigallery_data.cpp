// One of each data and structure widget on one screen, compared with the committed golden image:
// lists and the combo box, a menu, a decorated window, the three charts, the spreadsheet, the
// table layout and the tree view.
#include <gtest/gtest.h>

#include <cmath>

#include "goldenimage.h"
#include "gui/widgets/chart/guichart.h"
#include "gui/widgets/chart/guistripchart.h"
#include "gui/widgets/decor/guidecor.h"
#include "gui/widgets/list/guilist.h"
#include "gui/widgets/menu/guimenu.h"
#include "gui/widgets/sheet/guisheet.h"
#include "gui/widgets/table/guitable.h"
#include "gui/widgets/tree/guitree.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

GuiMenuDescription gRecent[] = {{"one.log", 21, GUI_MENU_ENABLED, nullptr}, {nullptr, 0, 0, nullptr}};
GuiMenuDescription gFile[] = {{"Open", 11, GUI_MENU_ENABLED, nullptr},
                              {"Save", 12, 0, nullptr},
                              {nullptr, 0, GUI_MENU_SEPARATOR, nullptr},
                              {"Wrap", 13, GUI_MENU_ENABLED | GUI_MENU_CHECK | GUI_MENU_CHECKED, nullptr},
                              {"Fast", 14, GUI_MENU_ENABLED | GUI_MENU_DOT | GUI_MENU_DOTTED, nullptr},
                              {"Recent", 15, GUI_MENU_ENABLED, gRecent},
                              {nullptr, 0, 0, nullptr}};
GuiMenuDescription gBar[] = {
    {"File", 1, GUI_MENU_ENABLED, gFile}, {"View", 2, GUI_MENU_ENABLED, nullptr}, {nullptr, 0, 0, nullptr}};

// A 10 x 10 bitmap of the tree nodes: a framed square.
uint8_t gIconPixels[100];
GuiBitmap gIcon{0, 8, 10, 10, 255, gIconPixels};

int Wave(int i, int period, int amplitude) {
    return static_cast<int>(std::lround(amplitude * std::sin(i * 2 * M_PI / period)));
}

} // namespace

TEST(GuiGallery, OneOfEachDataWidgetMatchesTheGoldenImage) {
    if (const std::string skip = guitest::GoldenSkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    Harness h(true);
    for (int i = 0; i < 100; ++i)
        gIconPixels[i] = (i % 10 == 0 || i % 10 == 9 || i < 10 || i >= 90) ? 0 : i < 50 ? 14 : 11;
    auto* w = new GuiWindow(R(0, 0, 639, 479), GUI_BORDER_NONE);
    w->SetColor(0, GUI_LIGHT_GREY);
    h.pm().Add(w, 0);

    // A decorated window with title, menu bar, tool bar and status bar.
    auto* framed = new GuiDecoratedWindow(R(10, 10, 309, 159), GUI_BORDER_THICK);
    framed->SetColor(0, GUI_WHITE);
    framed->Add(new GuiTitle("Window", GUI_TITLE_SYSTEM_MENU | GUI_TITLE_CLOSE | GUI_TITLE_MIN_MAX), 0);
    framed->Add(new GuiMenuBar(gBar), 0);
    auto* tools = new GuiToolBar(0);
    auto* panel = new GuiToolBarPanel(0);
    panel->AddToEnd(new GuiBitmapButton(R(0, 0, 19, 19), &gbUpArrowBitmap, 41, GUI_BTN_ENABLED), 0);
    panel->AddToEnd(new GuiBitmapButton(R(0, 0, 19, 19), &gbDownArrowBitmap, 42, GUI_BTN_ENABLED), 0);
    tools->AddPanel(panel, 0);
    framed->Add(tools, 0);
    auto* status = new GuiStatusBar();
    framed->Add(status, 0);
    w->Add(framed, 0);
    status->AddTextField(80, 1, "Ready");
    status->AddTextField(60, 2, "12:00");

    // Lists, the combo box and a pop-up menu.
    auto* vert = new GuiVertList(R(320, 10, 419, 109), 3, GUI_BORDER_RECESSED);
    const char* names[] = {"Speed", "Rpm", "Gear", "Oil", "Water", "Fuel", "Lambda"};
    for (const char* n : names) vert->AddToEnd(new GuiTextButton(R(0, 0, 10, 17), n, 1, GUI_BTN_ENABLED), 0);
    vert->SetScrollMode(GUI_SCROLL_AUTO_V);
    w->Add(vert, 0);
    auto* horz = new GuiHorzList(R(430, 10, 629, 35), 4, GUI_BORDER_THIN);
    for (const char* n : {"Lap", "Sector", "Split", "Best"})
        horz->AddToEnd(new GuiTextButton(R(0, 0, 46, 10), n, 1, GUI_BTN_ENABLED), 0);
    w->Add(horz, 0);
    auto* combo = new GuiComboBox(R(430, 45, 589, 145), 5, GUI_BORDER_RECESSED);
    for (const char* n : {"Page 1", "Page 2", "Page 3"})
        combo->AddToEnd(new GuiTextButton(R(0, 0, 10, 17), n, 1, GUI_BTN_ENABLED), 0);
    w->Add(combo, 0);
    auto* menu = new GuiMenu(gFile, 0);
    const GuiRect mr = menu->GetMinSize();
    GuiSendResize(menu, R(430, 75, 430 + mr.right - 1, 75 + mr.bottom - 1));
    w->Add(menu, 0);

    // Charts.
    auto* line = new GuiLineChart(R(10, 170, 209, 309), 0, 100, -50, 50, 20, 25,
                                  GUI_CHART_X_GRID | GUI_CHART_Y_GRID | GUI_CHART_X_TICKS |
                                      GUI_CHART_Y_TICKS | GUI_CHART_X_LABELS | GUI_CHART_Y_LABELS);
    w->Add(line, 0);
    for (int x = 0; x <= 100; x += 5) line->AddPoint(x, Wave(x, 50, 40));
    auto* multi = new GuiMultiLineChart(R(220, 170, 419, 309), 0, 60, -20, 100, 10, 20,
                                        GUI_CHART_X_TICKS | GUI_CHART_Y_TICKS | GUI_CHART_X_AXIS_AT_ZERO |
                                            GUI_CHART_FILL | GUI_CHART_Y_LABELS | GUI_CHART_RIGHT_TICKS);
    w->Add(multi, 0);
    const unsigned char a = multi->AddLine(0x00A000), b = multi->AddLine(0xC00000);
    for (int x = 0; x <= 60; x += 4) {
        multi->AddPoint(a, x, 40 + Wave(x, 30, 30), 0);
        multi->AddPoint(b, x, x - 10, 0);
    }
    auto* strip = new GuiStripChart(R(430, 170, 629, 309), 100, -100, 100, 10, 50);
    w->Add(strip, 0);
    const unsigned char s1 = strip->AddLine(0x00FF00, 0x006000, 0),
                        s2 = strip->AddLine(0xFFFF00, 0x606000, 0);
    for (int i = 0; i < 130; ++i) {
        strip->AddData(s1, Wave(i, 40, 80), 0);
        strip->AddData(s2, Wave(i, 25, 50), 0);
    }

    // Spreadsheet, table and tree view.
    auto* sheet = new GuiSpreadSheet(R(10, 320, 259, 469), 9, 4, 6, GUI_BORDER_RECESSED, nullptr);
    const char* heads[] = {"Lap", "Time", "Vmax", "Gap"};
    for (int c = 0; c < 4; ++c) {
        sheet->SetHeader(1, c, heads[c]);
        sheet->ForceColWidth(c, 48);
    }
    char text[16];
    for (int r = 0; r < 9; ++r) {
        std::snprintf(text, sizeof text, "%d", r + 1);
        sheet->SetRowHeader(r, text);
        sheet->SetCellData(r, 0, text, 0);
        std::snprintf(text, sizeof text, "1:%02d.%d", 30 + r * 7 % 11, r * 3 % 10);
        sheet->SetCellData(r, 1, text, 0);
        std::snprintf(text, sizeof text, "%d", 240 + r * 13 % 17);
        sheet->SetCellData(r, 2, text, 0);
    }
    sheet->SetColumnStyle(2, GUI_COL_RIGHT | GUI_COL_RAISED);
    w->Add(sheet, 0);
    sheet->SelectRow(2, 1);
    auto* table = new GuiTable(270, 320, 2, 2);
    table->SetCellPadding(2);
    table->SetCellClient(0, 0, new GuiPrompt(R(0, 0, 59, 19), "Oil", 0, GUI_BORDER_RAISED, 0), 1, 1,
                         GUI_CELL_FIT);
    table->SetCellClient(0, 1, new GuiPrompt(R(0, 0, 39, 19), "98", 0, GUI_BORDER_THIN, 0), 1, 1,
                         GUI_CELL_FIT);
    table->SetCellClient(1, 0, new GuiPrompt(R(0, 0, 109, 19), "both columns", 0, GUI_BORDER_RECESSED, 0), 1,
                         2, GUI_CELL_FIT | GUI_CELL_HCENTRE);
    w->Add(table, 0);
    table->Layout();
    auto* tree = new GuiTreeView(R(430, 320, 629, 469), GUI_BORDER_RECESSED, "Vehicle", &gIcon);
    GuiTreeNode* engine = new GuiTreeNode("Engine", &gIcon);
    GuiTreeNode* chassis = new GuiTreeNode("Chassis", &gIcon);
    tree->Root()->Add(engine, 0);
    tree->Root()->Add(chassis, 0);
    for (const char* n : {"Rpm", "Oil", "Water"}) engine->Add(new GuiTreeNode(n, nullptr), 0);
    for (const char* n : {"Front", "Rear"}) chassis->Add(new GuiTreeNode(n, nullptr), 0);
    chassis->FirstNode()->Add(new GuiTreeNode("Damper", nullptr), 0);
    w->Add(tree, 0);
    tree->ToggleBranch(engine);
    tree->Select(engine->FirstNode()->NextNode(), 0);

    h.dispatchAll();
    GuiThing::mpScreen->Invalidate(w->mRealRect);
    w->Draw();
    EXPECT_EQ(guitest::CompareScreenWithGolden("gallery-data.bmp"), 0);
}
