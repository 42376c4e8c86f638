// The tree view: placing and drawing the shown nodes, clicks on nodes and boxes, selection,
// opening and closing branches with the scroll bars that follow, finding and removing nodes.
#include "gui/widgets/tree/guitree.h"

#include <algorithm>
#include <cstring>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiscroll.h"

namespace {

int16_t Clamp16(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

GuiRect Rect64(int64_t l, int64_t t, int64_t r, int64_t b) {
    return GuiRect{Clamp16(l), Clamp16(t), Clamp16(r), Clamp16(b)};
}

constexpr uint32_t kLines = GUI_LIGHT_GREY;
constexpr uint32_t kSign = 0xBF0000;

// The column of the children's bitmaps: the widest of them + 2.
int ChildColumn(const GuiTreeNode* node) {
    int w = 0;
    for (GuiTreeNode* c = node->FirstNode(); c; c = c->NextNode())
        if (c->mpBitmap) w = std::max<int>(w, c->mpBitmap->width);
    return w + 2;
}

} // namespace

GuiTreeView::GuiTreeView(const GuiRect& rect, unsigned short style, const char* rootText,
                         GuiBitmap* rootBitmap)
    : GuiWindow(rect, style), mpRoot(new GuiTreeNode(rootText, rootBitmap)) {
    muThingType = GUI_TYPE_TREE_VIEW;
    RemoveStatus(GUI_ST_MOVABLE);
    SetScrollMode(GUI_SCROLL_AUTO_V);
    mwSignals = (1u << GUI_SIGNAL_NODE_SELECTED) | (1u << 9);
    mpRoot->mbOpen = 1;
    mColors[0] = GUI_WHITE;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
}

GuiTreeView::~GuiTreeView() {
    delete mpRoot;
}

void GuiTreeView::signal(unsigned n, GuiTreeNode* node) {
    if (!mwThingId || !mpMessageQueue) return;
    GuiMessage m =
        GuiMakeMessage(GuiSignalType(mwThingId, n), mpParentThing, this, static_cast<int16_t>(mwThingId));
    m.SetDataPtr(0, node);
    mpMessageQueue->Push(&m);
}

void GuiTreeView::invalidateClient() {
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mClientRect);
}

void GuiTreeView::resetBar(GuiThing* bar) {
    if (auto* s = dynamic_cast<GuiScroll*>(bar)) s->Reset();
}

void GuiTreeView::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int h = mClientRect.Height();
    const int64_t max = mpRoot->BranchHeight() + 4;
    *info = GuiScrollInfo{0, static_cast<int32_t>(std::min<int64_t>(max, INT32_MAX)), miVOffset, h / 10, h};
}

void GuiTreeView::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int w = mClientRect.Width();
    const int64_t max = mpRoot->BranchWidth(this);
    *info = GuiScrollInfo{0, static_cast<int32_t>(std::min<int64_t>(max, INT32_MAX)), miHOffset, w / 10, w};
}

bool GuiTreeView::tallerThanView() {
    return mpRoot->BranchHeight() > mClientRect.bottom - mClientRect.top - 15;
}

bool GuiTreeView::widerThanView() {
    return mpRoot->BranchWidth(this) > mClientRect.right - mClientRect.left - 15;
}

int64_t GuiTreeView::CalcNodePositions(GuiTreeNode* node, int64_t x, int64_t y, int columnWidth) {
    if (!node) return 0;
    const int h = node->NodeHeight();
    const int bw = node->mpBitmap ? node->mpBitmap->width : 0;
    node->miX = x;
    node->miY = y;
    node->mRealRect = node->mClientRect = node->mClipRect =
        Rect64(x, y, x + node->NodeWidth() + std::max(0, columnWidth - bw), y + h);
    int64_t total = h;
    if (node->mbOpen) {
        const int column = ChildColumn(node);
        for (GuiTreeNode* c = node->FirstNode(); c; c = c->NextNode())
            total += CalcNodePositions(c, x + 5 + miIndent, y + total, column);
    }
    node->miBranch = total;
    return total;
}

void GuiTreeView::calcAll() {
    const int column = (mpRoot->mpBitmap ? mpRoot->mpBitmap->width : 0) + 2;
    CalcNodePositions(mpRoot, int64_t{mClientRect.left} - miHOffset + 2,
                      int64_t{mClientRect.top} - miVOffset + 2, column);
}

void GuiTreeView::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiWindow::Draw();
    const GuiRect saved = mClipRect;
    mClipRect &= mClientRect;
    calcAll();
    DrawNode(mpRoot, mpRoot->miX, mpRoot->miY, (mpRoot->mpBitmap ? mpRoot->mpBitmap->width : 0) + 2);
    mClipRect = saved;
    mpScreen->EndDraw();
}

void GuiTreeView::DrawNode(GuiTreeNode* node, int64_t x, int64_t y, int columnWidth) {
    if (!node || !mpScreen) return;
    GuiScreen& s = *mpScreen;
    const GuiRect clip = mClipRect;
    auto line = [&](int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t c) {
        s.Line(this, Clamp16(x1), Clamp16(y1), Clamp16(x2), Clamp16(y2), GuiColor{c, c, 0}, 1);
    };
    const int h = node->NodeHeight();
    // Only what can be seen is drawn: a tree of thousands of open nodes costs what the window shows.
    if (y <= clip.bottom && y + h >= clip.top) {
        const GuiBitmap* b = node->mpBitmap;
        const char* text = node->Text();
        const int fh = GuiFontHeight(node->Font());
        int bitmapOffset = 0, textOffset = 0;
        if (b && text) {
            auto centre = [h](int size) { return h - size >= 2 ? (h - size) / 2 + 1 : 0; };
            bitmapOffset = centre(b->height);
            textOffset = centre(fh);
        }
        if (b)
            s.Bitmap(this, GuiPoint{Clamp16(x + (columnWidth - b->width) / 2), Clamp16(y + bitmapOffset)},
                     const_cast<GuiBitmap*>(b), 0);
        if (text && node->Font()) {
            GuiColor c{mColors[2], mColors[2], 0};
            if (node->mbSelected)
                c = GuiColor{mColors[3], mColors[1], GUI_COLOR_FILL};
            else if (node == mpSelected)
                c = GuiColor{mColors[3], GUI_DARK_GREY, GUI_COLOR_FILL};
            s.DrawText(this, GuiPoint{Clamp16(x + columnWidth + 2), Clamp16(y + textOffset)}, text, c,
                       node->Font(), -1, 0);
        }
    }
    if (!node->mbOpen) return;
    const int64_t lx = x + 5;
    const int column = ChildColumn(node);
    int64_t ry = y + h;
    for (GuiTreeNode* c = node->FirstNode(); c; c = c->NextNode()) {
        if (ry > clip.bottom) break; // the rest lies lower still
        const int ch = c->NodeHeight();
        const int64_t bh = c->miBranch, m = ry + ch / 2;
        if (ry + bh < clip.top) {
            ry += bh;
            continue;
        }
        const bool sibling = c->NextNode() != nullptr;
        if (!c->HasChildren()) {
            line(lx, ry, lx, sibling ? ry + bh : m, kLines);
            line(lx, m, lx + miIndent, m, kLines);
        } else {
            s.Rectangle(this, Rect64(lx - 4, m - 4, lx + 4, m + 4), GuiColor{kLines, kLines, 0}, 1);
            line(lx, ry, lx, m - 5, kLines);
            line(lx + 5, m + 1, lx + miIndent, m + 1, kLines);
            if (sibling) line(lx, m + 5, lx, ry + bh, kLines);
            line(lx - 2, m, lx + 2, m, kSign);
            if (!c->mbOpen) line(lx, m - 2, lx, m + 2, kSign);
        }
        DrawNode(c, lx + miIndent, ry, column);
        ry += bh;
    }
}

int GuiTreeView::click(GuiPoint p, GuiTreeNode* first) {
    for (GuiTreeNode* n = first; n; n = n->NextNode()) {
        if (n->mRealRect.Contains(p)) {
            Select(n, 1);
            return 1;
        }
        if (n->HasChildren()) {
            const int64_t cx = n->miX - miIndent, cy = n->miY + n->NodeHeight() / 2;
            if (p.x >= cx - 4 && p.x <= cx + 4 && p.y >= cy - 4 && p.y <= cy + 4) {
                ToggleBranch(n);
                return -1; // the positions have changed: nothing else is looked at
            }
        }
        if (n->mbOpen)
            if (const int r = click(p, n->FirstNode())) return r;
    }
    return 0;
}

int GuiTreeView::CheckNodeClick(GuiPoint point, GuiTreeNode* first) {
    return click(point, first) > 0 ? 1 : 0;
}

bool GuiTreeView::scrollTo(GuiTreeNode* node, int redraw) {
    const GuiRect& c = mClientRect;
    if (node->miY < c.top && miVOffset) {
        miVOffset = static_cast<int32_t>(std::max<int64_t>(0, miVOffset - (c.top - node->miY)));
        resetBar(mpVScrollBar);
        invalidateClient();
        if (redraw && IsVisible()) Draw();
        return true;
    }
    const int64_t bottom = node->miY + node->NodeHeight();
    if (bottom > c.bottom) {
        miVOffset = static_cast<int32_t>(std::min<int64_t>(miVOffset + (bottom - c.bottom), INT32_MAX));
        resetBar(mpVScrollBar);
        invalidateClient();
    }
    return false;
}

void GuiTreeView::Select(GuiTreeNode* node, int redraw) {
    if (mpSelected) {
        mpSelected->mbSelected = 0;
        if (IsVisible() && mpScreen) mpScreen->Invalidate(mpSelected->mRealRect);
    }
    mpSelected = node;
    if (node) {
        const bool current = mwStatusFlags & GUI_ST_CURRENT;
        node->mbSelected = current ? 1 : 0;
        if (IsVisible() && mpScreen) mpScreen->Invalidate(node->mRealRect);
        if (current && mpVScrollBar) {
            calcAll();
            if (scrollTo(node, redraw)) return;
        }
    }
    if (redraw && IsVisible()) Draw();
}

void GuiTreeView::ToggleBranch(GuiTreeNode* node) {
    if (!node) return;
    if (node->mbOpen && node != mpRoot) { // the root stays open
        node->mbOpen = 0;
        if (mpHScrollBar) {
            if (widerThanView()) {
                resetBar(mpHScrollBar);
            } else {
                CheckAutoScroll();
                miHOffset = 0;
            }
        }
        if (mpVScrollBar) {
            if (tallerThanView()) {
                resetBar(mpVScrollBar);
            } else {
                CheckAutoScroll();
                miVOffset = 0;
            }
        }
    } else if (!node->mbOpen && node->HasChildren()) {
        node->mbOpen = 1;
        if (mpHScrollBar)
            resetBar(mpHScrollBar);
        else if (widerThanView())
            CheckAutoScroll();
        if (mpVScrollBar)
            resetBar(mpVScrollBar);
        else if (tallerThanView())
            CheckAutoScroll();
    }
    invalidateClient();
    if (IsVisible())
        Draw();
    else
        calcAll();
    if (mwThingId && mpParentThing)
        signal(node->mbOpen ? GUI_SIGNAL_BRANCH_OPENED : GUI_SIGNAL_BRANCH_CLOSED, node);
}

GuiTreeNode* GuiTreeView::FindSubNode(GuiTreeNode* node, int depth, int level, const char* text) {
    if (!node || !text) return nullptr;
    for (GuiTreeNode* c = node->FirstNode(); c; c = c->NextNode()) {
        if ((level == 0 || level == depth) && c->Text() && std::strcmp(c->Text(), text) == 0) return c;
        if (level == 0 || depth < level)
            if (GuiTreeNode* found = FindSubNode(c, depth + 1, level, text)) return found;
    }
    return nullptr;
}

GuiTreeNode* GuiTreeView::FindNode(int level, const char* text) {
    return FindSubNode(mpRoot, 1, level, text);
}

void GuiTreeView::Reset(const char* text) {
    while (GuiThing* c = mpRoot->FirstChild()) {
        mpRoot->GuiThing::Remove(c, 0);
        delete c;
    }
    mpSelected = nullptr;
    mpRoot->DataSet(text);
}

GuiTreeNode* GuiTreeView::RemoveNode(GuiTreeNode* node) {
    if (mpSelected) {
        mpSelected->mbSelected = 0;
        mpSelected = nullptr;
    }
    if (!node || !node->Parent()) return nullptr; // the root stays
    node->Parent()->Remove(node, 1);
    invalidateClient();
    return node;
}

void GuiTreeView::DestroyNode(GuiTreeNode* node) {
    GuiTreeNode* gone = RemoveNode(node);
    if (!gone) return;
    delete gone;
    if (!IsVisible()) return;
    CheckAutoScroll();
    invalidateClient();
}

int GuiTreeView::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
        if (mpSelected) {
            calcAll();
            if (!mpVScrollBar) CheckAutoScroll();
            if (mpVScrollBar) scrollTo(mpSelected, 0);
        }
        return GuiWindow::Message(msg);
    case GM_BUTTON_DOWN:
        GuiWindow::Message(msg);
        if (CheckNodeClick(msg.DataPoint(), mpRoot)) signal(GUI_SIGNAL_NODE_SELECTED, mpSelected);
        return 0;
    case GM_BUTTON2_UP:
        if (mpSelected && mpSelected->mRealRect.Contains(msg.DataPoint()))
            signal(GUI_SIGNAL_NODE_MENU, mpSelected);
        return 0;
    case GM_VSCROLL:
    case GM_HSCROLL:
        (msg.Type == GM_VSCROLL ? miVOffset : miHOffset) = msg.DataWord(0);
        invalidateClient();
        if (IsVisible()) Draw();
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}
