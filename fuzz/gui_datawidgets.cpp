// Fuzz target: the data and structure widgets of the catalogue (lists, the combo box, line,
// multi-line and strip charts, a menu bar with sub-menus, a decorated window with title, status
// and tool bar, the spreadsheet, the table layout and the tree view) in one window, built with
// arbitrary ranges and sizes and then driven by arbitrary call sequences (indices, spans, ids,
// sample counts, styles) and pointer messages, every queued message dispatched as the GUI task's
// loop does. Besides the sanitizers it checks that nothing is drawn outside the window while no
// pop-up is open, and that destroying the window leaves no pop-up behind.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/chart/guichart.h"
#include "gui/widgets/chart/guistripchart.h"
#include "gui/widgets/decor/guidecor.h"
#include "gui/widgets/list/guilist.h"
#include "gui/widgets/menu/guimenu.h"
#include "gui/widgets/sheet/guisheet.h"
#include "gui/widgets/table/guitable.h"
#include "gui/widgets/tree/guitree.h"
#include "gui_fuzzkit.h"

namespace {

using fuzzkit::Check;
using fuzzkit::DispatchAll;
using fuzzkit::Reader;

const GuiRect kWindow = MakeGuiRect(100, 20, 619, 459);
GuiPresentationManager* gPm = nullptr;

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

const char* const kTexts[] = {"", "a", "Entry", "A longer text than a cell", "-2147483648", "x"};

const char* Text(Reader& in) {
    return kTexts[in.u8() % std::size(kTexts)];
}

GuiMenuDescription gSub2[] = {{"Deep", 31, GUI_MENU_ENABLED, nullptr}, {nullptr, 0, 0, nullptr}};
GuiMenuDescription gSub[] = {{"Plain", 21, GUI_MENU_ENABLED, nullptr},
                             {nullptr, 0, GUI_MENU_SEPARATOR, nullptr},
                             {"Check", 22, GUI_MENU_ENABLED | GUI_MENU_CHECK, nullptr},
                             {"Dot1", 23, GUI_MENU_ENABLED | GUI_MENU_DOT, nullptr},
                             {"Dot2", 24, GUI_MENU_ENABLED | GUI_MENU_DOT | GUI_MENU_DOTTED, nullptr},
                             {"More", 25, GUI_MENU_ENABLED, gSub2},
                             {"Grey", 26, 0, nullptr},
                             {nullptr, 0, 0, nullptr}};
GuiMenuDescription gBar[] = {{"File", 1, GUI_MENU_ENABLED, gSub},
                             {"Edit", 2, GUI_MENU_ENABLED, gSub2},
                             {"Help", 3, GUI_MENU_ENABLED, nullptr},
                             {nullptr, 0, 0, nullptr}};
const char* const kEntries[] = {"File", "Plain", "Check", "Dot1", "Dot2", "More", "Deep", "Grey", "none"};

// Takes the window requests of its decorations without acting on them: a closed, maximised or
// minimised window would leave this scene.
class Framed : public GuiDecoratedWindow {
public:
    explicit Framed(const GuiRect& r) : GuiDecoratedWindow(r, GUI_BORDER_THICK) {}
    int Message(const GuiMessage& m) override {
        if (m.Type == GM_CLOSE || m.Type == GM_MAXIMIZE || m.Type == GM_MINIMIZE || m.Type == GM_RESTORE)
            return 0;
        return GuiDecoratedWindow::Message(m);
    }
};

struct Scene {
    GuiWindow* window = nullptr;
    GuiList* lists[2] = {};
    GuiComboBox* combo = nullptr;
    GuiLineChart* line = nullptr;
    GuiMultiLineChart* multi = nullptr;
    GuiStripChart* strip = nullptr;
    Framed* framed = nullptr;
    GuiTitle* title = nullptr;
    GuiStatusBar* status = nullptr;
    GuiToolBar* tools = nullptr;
    GuiToolBarPanel* panel = nullptr;
    GuiMenuBar* bar = nullptr;
    GuiSpreadSheet* sheet = nullptr;
    GuiTable* table = nullptr;
    GuiTreeView* tree = nullptr;
    GuiThing* all[12] = {};
};

GuiThing* Entry(Reader& in) {
    const int h = 1 + in.u8() % 40;
    return new GuiTextButton(R(0, 0, in.u8() % 80, h - 1), Text(in), static_cast<unsigned short>(in.u8() % 8),
                             GUI_BTN_ENABLED);
}

void Build(Scene& s, Reader& in) {
    auto* w = new GuiWindow(kWindow, GUI_BORDER_NONE);
    w->SetColor(0, 0xC0C0C0);
    s.window = w;
    s.lists[0] = new GuiVertList(R(105, 25, 105 + in.u8() % 100, 25 + in.u8() % 100), in.u8() % 3,
                                 GUI_BORDER_NONE | (in.u16() & 0x201E));
    s.lists[1] = new GuiHorzList(R(215, 25, 215 + in.u8() % 100, 25 + in.u8() % 60), in.u8() % 3,
                                 GUI_BORDER_THIN | (in.u16() & 0x2000));
    for (GuiList* l : s.lists) {
        for (int n = in.u8() % 8; n > 0; --n) l->AddToEnd(Entry(in), 0);
        l->SetScrollMode(in.u8() & 0x0A);
    }
    s.combo = new GuiComboBox(R(325, 25, 325 + in.u8() % 120, 25 + in.u8() % 200), 6,
                              static_cast<unsigned short>(in.u8() & 0x00AE));
    for (int n = in.u8() % 6; n > 0; --n) s.combo->AddToEnd(Entry(in), 0);
    s.line = new GuiLineChart(R(105, 135, 105 + in.u8() % 160, 135 + in.u8() % 100), in.value(), in.value(),
                              in.value(), in.value(), in.u32(), in.u32(), in.u16());
    s.multi = new GuiMultiLineChart(R(275, 135, 275 + in.u8() % 160, 135 + in.u8() % 100), in.value(),
                                    in.value(), in.value(), in.value(), in.u32(), in.u32(), in.u16());
    s.strip = new GuiStripChart(R(445, 135, 445 + in.u8() % 170, 135 + in.u8() % 100), in.u16() % 2000,
                                in.value(), in.value(), in.u32(), in.u32());
    s.framed = new Framed(R(450, 25, 450 + in.u8() % 170, 25 + in.u8() % 110));
    s.title = new GuiTitle(Text(in), static_cast<unsigned short>(in.u16() & 0x0E00));
    s.status = new GuiStatusBar();
    s.tools = new GuiToolBar(0);
    s.panel = new GuiToolBarPanel(0);
    for (int n = in.u8() % 4; n > 0; --n) s.panel->AddToEnd(Entry(in), 0);
    s.tools->AddPanel(s.panel, 0);
    s.bar = new GuiMenuBar(gBar);
    for (GuiThing* d : {static_cast<GuiThing*>(s.title), static_cast<GuiThing*>(s.bar),
                        static_cast<GuiThing*>(s.tools), static_cast<GuiThing*>(s.status)})
        s.framed->Add(d, 0);
    s.sheet = new GuiSpreadSheet(R(105, 245, 105 + in.u8() % 250, 245 + in.u8() % 200), in.u8() % 40,
                                 in.u8() % 12, 7, GUI_BORDER_RAISED | (in.u16() & 0x3C00), nullptr);
    s.table = new GuiTable(365, 245, in.u8() % 5, in.u8() % 5);
    s.tree = new GuiTreeView(R(480, 245, 480 + in.u8() % 130, 245 + in.u8() % 200),
                             static_cast<unsigned short>(GUI_BORDER_RECESSED | (in.u16() & 0x000A)), Text(in),
                             nullptr);
    s.tree->mwThingId = 5;
    GuiThing* all[] = {s.lists[0], s.lists[1], s.combo, s.line, s.multi, s.strip,
                       s.framed,   s.sheet,    s.table, s.tree, nullptr, nullptr};
    std::copy(std::begin(all), std::end(all), s.all);
    for (GuiThing* t : s.all)
        if (t) w->Add(t, 0);
    gPm->Add(w, 1);
}

// Every node of the tree, closed branches included.
void Nodes(GuiTreeNode* n, std::vector<GuiTreeNode*>& out) {
    out.push_back(n);
    for (GuiTreeNode* c = n->FirstNode(); c; c = c->NextNode()) Nodes(c, out);
}

void OperateList(Scene& s, Reader& in) {
    GuiList* l = s.lists[in.u8() % 2];
    const int i = static_cast<int>(in.u8() % 12) - 2;
    switch (in.u8() % 9) {
    case 0:
        l->Insert(Entry(in), i, in.u8() & 1, in.u8() & 1);
        break;
    case 1:
        l->SetSelected(i);
        break;
    case 2:
        in.u8() & 1 ? l->SelectNext() : l->SelectPrevious();
        break;
    case 3:
        in.u8() & 1 ? l->PageDown() : l->PageUp();
        break;
    case 4:
        if (GuiThing* t = l->GetThing(i)) delete l->Remove(t, in.u8() & 1);
        break;
    case 5:
        l->Clear();
        break;
    case 6:
        l->SetScrollMode(in.u8() & 0x0A);
        break;
    case 7:
        l->Style(in.u16());
        break;
    default:
        l->miSeparation = in.u8() % 5 - 1;
        break;
    }
}

void OperateCombo(Scene& s, Reader& in) {
    GuiComboBox* c = s.combo;
    const int i = static_cast<int>(in.u8() % 10) - 2;
    switch (in.u8() % 6) {
    case 0:
        c->Insert(Entry(in), i, in.u8() & 1, in.u8() & 1);
        break;
    case 1:
        c->SetSelected(i);
        break;
    case 2:
        if (c->IsVisible()) c->IsOpen() ? c->CloseList() : c->OpenList();
        break;
    case 3:
        if (GuiThing* t = c->GetThing(i)) delete c->Remove(t, 1);
        break;
    case 4:
        c->Clear();
        break;
    default:
        c->AddToEnd(Entry(in), 1);
        break;
    }
}

void OperateCharts(Scene& s, Reader& in) {
    const unsigned char id = in.u8();
    const int redraw = in.u8() & 1;
    switch (in.u8() % 10) {
    case 0:
        s.multi->AddLine(in.u32());
        break;
    case 1:
        s.multi->RemoveLine(id);
        break;
    case 2:
        s.multi->AddPoint(id, in.value(), in.value(), redraw);
        break;
    case 3: {
        GuiChartLine* l = s.multi->GetLineFromID(id);
        GuiChartPoint* after = l ? l->mpFirstPoint : nullptr;
        for (int n = in.u8() % 4; after && n > 0; --n) after = after->next;
        s.multi->InsertPoint(id, after, in.value(), in.value(), redraw);
        break;
    }
    case 4:
        in.u8() & 1 ? s.multi->ResetLine(id, redraw) : s.multi->ResetAllLines(redraw);
        break;
    case 5: {
        GuiChart* c = in.u8() & 1 ? static_cast<GuiChart*>(s.line) : s.multi;
        c->mwChartStyle = in.u16();
        c->muXMinor = in.u32();
        c->muYMinor = in.u32();
        c->muXLabelInterval = in.u32();
        c->RecalcLayout(1);
        break;
    }
    case 6:
        s.line->AddPoint(in.value(), in.value());
        break;
    case 7:
        if (s.line->mpFirstPoint)
            s.line->RemovePoint(in.u8() & 1 ? s.line->mpFirstPoint : s.line->mpFirstPoint->next);
        break;
    case 8:
        s.line->InsertPoint(s.line->mpFirstPoint, in.value(), in.value());
        break;
    default:
        s.line->ResetLine();
        break;
    }
}

void OperateStrip(Scene& s, Reader& in) {
    GuiStripChart* c = s.strip;
    const unsigned char id = in.u8() % 4;
    switch (in.u8() % 6) {
    case 0:
        c->AddLine(in.u32(), in.u32(), in.u32());
        break;
    case 1:
        c->RemoveLine(id);
        break;
    case 2:
        for (int n = in.u8(); n > 0; --n) c->AddData(id, in.value(), 1);
        break;
    case 3:
        c->mwChartStyle = in.u16();
        c->RecalcLayout(1);
        break;
    case 4:
        c->SetLineLeaderColor(id, in.u32());
        c->SetLineFillColor(id, in.u32());
        break;
    default:
        if (GuiStripChartLine* l = c->GetLineByID(id)) Check(l->GetData(in.u32()) == 0 || l->muSampleCount);
        break;
    }
}

void OperateDecorations(Scene& s, Reader& in) {
    switch (in.u8() % 6) {
    case 0:
        s.status->AddTextField(in.u8(), in.u8() % 4, Text(in));
        break;
    case 1:
        s.status->SetTextField(in.u8() % 4, Text(in));
        break;
    case 2:
        if (GuiMenuButton* b = s.bar->FindButton(kEntries[in.u8() % std::size(kEntries)])) {
            switch (in.u8() % 3) {
            case 0:
                b->SetChecked(in.u8() & 1);
                break;
            case 1:
                b->SetDotted(in.u8() & 1);
                break;
            default:
                b->SetEnabled(in.u8() & 1);
                break;
            }
        }
        break;
    case 3:
        s.title->SetFont(in.u8() & 1 ? GuiTextThing::mFontTable[0] : GuiTextThing::mFontTable[2]);
        break;
    case 4:
        in.u8() & 1 ? s.tools->RemovePanel(s.panel, 1) : s.tools->AddPanel(s.panel, 1);
        break;
    default:
        s.framed->mbMaximized = in.u8() & 1;
        break;
    }
}

void OperateSheet(Scene& s, Reader& in) {
    GuiSpreadSheet* sh = s.sheet;
    const int row = static_cast<int>(in.u8() % 48) - 2, col = static_cast<int>(in.u8() % 16) - 2;
    switch (in.u8() % 14) {
    case 0:
        sh->SetCellData(row, col, Text(in), 1);
        break;
    case 1:
        sh->InsertRow(row, in.u8() & 1 ? Text(in) : nullptr);
        break;
    case 2:
        sh->DeleteRow(row);
        break;
    case 3:
        sh->InsertColumn(col, in.u8() % 60, Text(in));
        break;
    case 4:
        sh->DeleteColumn(col);
        break;
    case 5:
        sh->SelectRow(row, in.u8() & 1);
        break;
    case 6:
        sh->SelectColumn(col, in.u8() & 1);
        break;
    case 7:
        sh->SelectCell(row, col, in.u8() & 1);
        break;
    case 8:
        in.u8() & 1 ? sh->SetHeader(in.u8() % 7 - 1, col, Text(in))
                    : sh->SetFooter(in.u8() % 7 - 1, col, Text(in));
        break;
    case 9:
        sh->SetRowHeader(row, Text(in));
        sh->SetRowStyle(row, in.u16());
        sh->SetColumnStyle(col, in.u16());
        break;
    case 10:
        sh->SetScrollStartCol(col);
        break;
    case 11:
        sh->VScrollIntoView(row);
        sh->RedrawOneCell(row, col);
        break;
    case 12:
        sh->SetSize(in.u8() % 40, in.u8() % 12);
        break;
    default:
        if (in.u8() & 1)
            sh->UnselectAll();
        else
            sh->ForceColWidth(col, in.u8() % 80);
        break;
    }
}

void OperateTable(Scene& s, Reader& in) {
    GuiTable* t = s.table;
    const int row = static_cast<int>(in.u8() % 8) - 1, col = static_cast<int>(in.u8() % 8) - 1;
    switch (in.u8() % 6) {
    case 0: {
        GuiThing* client = in.u8() % 4 ? Entry(in) : nullptr;
        if (!t->SetCellClient(row, col, client, static_cast<int>(in.u8() % 5) - 1,
                              static_cast<int>(in.u8() % 5) - 1, in.u16()))
            delete client;
        break;
    }
    case 1:
        delete t->RemoveCellClient(row, col);
        break;
    case 2:
        t->Reconfigure(in.u8() % 6, in.u8() % 6, in.u8() % 8, in.u8() % 5);
        break;
    case 3:
        in.u8() & 1 ? t->SetColWidth(col, in.u8(), in.u8() & 1) : t->SetRowHeight(row, in.u8(), in.u8() & 1);
        break;
    case 4:
        t->Style(static_cast<uint16_t>(in.u16() | 1));
        break;
    default:
        t->Layout();
        break;
    }
}

void OperateTree(Scene& s, Reader& in) {
    GuiTreeView* v = s.tree;
    std::vector<GuiTreeNode*> nodes;
    Nodes(v->Root(), nodes);
    GuiTreeNode* n = nodes[in.u8() % nodes.size()];
    switch (in.u8() % 7) {
    case 0:
        for (int k = in.u8() % 8; k > 0 && nodes.size() < 300; --k)
            n->Add(new GuiTreeNode(Text(in), nullptr), 0);
        break;
    case 1:
        v->ToggleBranch(n);
        break;
    case 2:
        v->Select(n, in.u8() & 1);
        break;
    case 3:
        delete v->RemoveNode(n);
        break;
    case 4:
        v->DestroyNode(n);
        break;
    case 5:
        v->FindNode(in.u8() % 4, Text(in));
        break;
    default:
        v->Reset(Text(in));
        break;
    }
}

void Operate(Scene& s, Reader& in) {
    switch (in.u8() % 13) {
    case 0: { // the pointer, over the window and the pop-ups
        static const uint16_t types[] = {GM_POINTER_MOVE, GM_BUTTON_DOWN, GM_BUTTON_UP, GM_BUTTON2_UP};
        fuzzkit::Pointer(types[in.u8() % 4], kWindow.left + in.u16() % 560, in.u16() % 470);
        break;
    }
    case 1:
        for (int n = in.u8() % 10; n > 0; --n) fuzzkit::Tick();
        break;
    case 2:
        OperateList(s, in);
        break;
    case 3:
        OperateCombo(s, in);
        break;
    case 4:
        OperateCharts(s, in);
        break;
    case 5:
        OperateStrip(s, in);
        break;
    case 6:
        OperateDecorations(s, in);
        break;
    case 7:
        OperateSheet(s, in);
        break;
    case 8:
        OperateTable(s, in);
        break;
    case 9:
        OperateTree(s, in);
        break;
    case 10: // a widget shows or hides
        fuzzkit::ToggleShown(s.window, s.all[in.u8() % 10]);
        break;
    default:
        fuzzkit::RedrawWhole(s.window);
        break;
    }
}

bool PopupOpen(const Scene& s) {
    return gPm->FirstChild() != s.window || s.window->NextSibling() || s.window->PrevSibling();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gPm = fuzzkit::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, std::min<size_t>(size, 4096)};
    fuzzkit::ClearScreen();
    Scene s;
    Build(s, in);
    DispatchAll();
    for (int ops = 0; in.n && ops < 48; ++ops) {
        Operate(s, in);
        DispatchAll();
        if (!PopupOpen(s)) fuzzkit::CheckOutsideUntouched(kWindow);
    }
    // Widgets taken out of the window go with it.
    for (GuiThing* t : s.all)
        if (t && !t->Parent()) s.window->Add(t, 0);
    if (!s.panel->Parent()) delete s.panel; // a panel taken off the tool bar is the caller's
    gPm->Remove(s.window, 0);
    delete s.window;
    DispatchAll();
    Check(gPm->FirstChild() == nullptr); // no pop-up outlives its widget
    Check(GuiQueueCount(gpGuiMesgQueue) == 0);
    Check(GuiThing::mpMessageQueue->TimerCount() == 0);
    return 0;
}

// Undefined behaviour ends the run, as a memory error does.
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}
