// The tree view: a scrollable window showing a hierarchy of nodes, each with an optional bitmap and
// a text, indented by level, joined by lines, with a box at every node that has children to open or
// close its branch. One node can be selected. Selection, opening and closing and a secondary click
// reach the view's parent as signals.
#pragma once

#include <cstdint>

#include "gui/window/guiwindow.h"

enum : uint8_t { GUI_TYPE_TREE_VIEW = 159 };

// Signals of the view; the node concerned is the first pointer of Data.
enum : unsigned {
    GUI_SIGNAL_NODE_SELECTED = 8,
    GUI_SIGNAL_BRANCH_OPENED = 10,
    GUI_SIGNAL_BRANCH_CLOSED = 11,
    GUI_SIGNAL_NODE_MENU = 12, // secondary click released on the selected node
};

class GuiTreeView;

// A node; its sub-nodes are its children in the widget tree, in order.
class GuiTreeNode : public GuiTextThing {
public:
    GuiTreeNode(const char* text, GuiBitmap* bitmap);
    ~GuiTreeNode() override = default;

    // Appends a sub-node, without drawing.
    void Add(GuiThing* thing, int draw) override;

    // Puts node directly before this node among its siblings.
    void Insert(GuiTreeNode* node);
    int NodeHeight() const;
    int64_t BranchHeight() const;
    int NodeWidth() const;
    int64_t BranchWidth(const GuiTreeView* view) const;
    GuiTreeNode* NodeBottom();
    GuiTreeNode* NodeAbove();
    GuiTreeNode* NodeBelow();
    void MoveToTop(GuiTreeNode* child);
    int Count() const;

    GuiTreeNode* FirstNode() const;
    GuiTreeNode* NextNode() const;
    GuiTreeNode* PrevNode() const;
    GuiTreeNode* ParentNode() const;
    bool HasChildren() const { return FirstNode() != nullptr; }

    GuiBitmap* mpBitmap; // not owned
    int32_t mbOpen = 0;
    int32_t mbSelected = 0;
    // Where the view placed the node, and the height of its branch then: exact also for trees
    // taller than the 16-bit rectangles.
    int64_t miX = 0, miY = 0, miBranch = 0;
};

class GuiTreeView : public GuiWindow {
public:
    GuiTreeView(const GuiRect& rect, unsigned short style, const char* rootText, GuiBitmap* rootBitmap);
    ~GuiTreeView() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void GetVScrollInfo(GuiScrollInfo* info) override;
    void GetHScrollInfo(GuiScrollInfo* info) override;
    virtual void ToggleBranch(GuiTreeNode* node);

    void Select(GuiTreeNode* node, int redraw);
    // 1 when the point selected a node; 0 otherwise (also when it toggled a branch).
    int CheckNodeClick(GuiPoint point, GuiTreeNode* first);
    // Places the node and, when open, its branch; returns the branch height.
    int64_t CalcNodePositions(GuiTreeNode* node, int64_t x, int64_t y, int columnWidth);
    void DrawNode(GuiTreeNode* node, int64_t x, int64_t y, int columnWidth);
    GuiTreeNode* FindNode(int level, const char* text);
    GuiTreeNode* FindSubNode(GuiTreeNode* node, int depth, int level, const char* text);
    void Reset(const char* text);
    GuiTreeNode* RemoveNode(GuiTreeNode* node);
    void DestroyNode(GuiTreeNode* node);

    GuiTreeNode* Root() const { return mpRoot; }
    GuiTreeNode* Selected() const { return mpSelected; }

    GuiTreeNode* mpRoot;
    GuiTreeNode* mpSelected = nullptr;
    int32_t miVOffset = 0;
    int32_t miHOffset = 0;
    int32_t miIndent = 14;

private:
    void calcAll();
    // -1 when a box was hit (its branch toggled), 1 when a node was selected, 0 otherwise.
    int click(GuiPoint point, GuiTreeNode* first);
    // Scrolls the node into view; true when it moved the offset up (and redrew).
    bool scrollTo(GuiTreeNode* node, int redraw);
    void resetBar(GuiThing* bar);
    void invalidateClient();
    void signal(unsigned n, GuiTreeNode* node);
    bool tallerThanView();
    bool widerThanView();
};
