// Tree nodes: their sub-nodes, measures and neighbours in the shown tree.
#include <algorithm>

#include "gui/widgets/tree/guitree.h"

namespace {

GuiTreeNode* NodeFrom(GuiThing* t, bool forward) {
    for (; t; t = forward ? t->NextSibling() : t->PrevSibling())
        if (auto* n = dynamic_cast<GuiTreeNode*>(t)) return n;
    return nullptr;
}

} // namespace

GuiTreeNode::GuiTreeNode(const char* text, GuiBitmap* bitmap)
    : GuiTextThing(0, GUI_STYLE_COPY, text, 15), mpBitmap(bitmap) {}

void GuiTreeNode::Add(GuiThing* thing, int) {
    // A node never holds itself or a node above it.
    if (!thing || GuiIsInside(this, thing)) return;
    GuiThing::AddToEnd(thing, 0);
}

GuiTreeNode* GuiTreeNode::FirstNode() const {
    return NodeFrom(mpFirstChild, true);
}

GuiTreeNode* GuiTreeNode::NextNode() const {
    return NodeFrom(mpNextSibling, true);
}

GuiTreeNode* GuiTreeNode::PrevNode() const {
    return NodeFrom(mpPrevSibling, false);
}

GuiTreeNode* GuiTreeNode::ParentNode() const {
    return dynamic_cast<GuiTreeNode*>(mpParentThing);
}

void GuiTreeNode::Insert(GuiTreeNode* node) {
    GuiThing* parent = mpParentThing;
    if (!node || !parent || node == this || GuiIsInside(this, node)) return;
    if (node->Parent()) node->Parent()->Remove(node, 0);
    node->mpParentThing = parent;
    node->mpNextSibling = this;
    node->mpPrevSibling = mpPrevSibling;
    if (mpPrevSibling)
        mpPrevSibling->mpNextSibling = node;
    else
        parent->mpFirstChild = node;
    mpPrevSibling = node;
}

int GuiTreeNode::NodeHeight() const {
    return std::max(GuiFontHeight(mpTextFont), mpBitmap ? int{mpBitmap->height} : 0) + 2;
}

int GuiTreeNode::NodeWidth() const {
    return (mpTextFont ? GuiFontTextWidth(mpTextData, mpTextFont) + 4 : 0) +
           (mpBitmap ? mpBitmap->width + 2 : 0);
}

int64_t GuiTreeNode::BranchHeight() const {
    int64_t h = NodeHeight();
    if (mbOpen)
        for (GuiTreeNode* c = FirstNode(); c; c = c->NextNode()) h += c->BranchHeight();
    return h;
}

int64_t GuiTreeNode::BranchWidth(const GuiTreeView* view) const {
    const int indent = view ? view->miIndent : 14;
    int64_t w = int64_t{NodeWidth()} + indent;
    if (mbOpen)
        for (GuiTreeNode* c = FirstNode(); c; c = c->NextNode())
            w = std::max(w, indent + c->BranchWidth(view));
    return w;
}

GuiTreeNode* GuiTreeNode::NodeBottom() {
    GuiTreeNode* n = this;
    while (n->mbOpen && n->FirstNode()) {
        GuiTreeNode* last = n->FirstNode();
        while (GuiTreeNode* next = last->NextNode()) last = next;
        n = last;
    }
    return n;
}

GuiTreeNode* GuiTreeNode::NodeAbove() {
    GuiTreeNode* parent = ParentNode();
    if (!parent) return nullptr;
    GuiTreeNode* prev = PrevNode();
    return prev ? prev->NodeBottom() : parent;
}

GuiTreeNode* GuiTreeNode::NodeBelow() {
    if (mbOpen)
        if (GuiTreeNode* first = FirstNode()) return first;
    for (GuiTreeNode* n = this; n; n = n->ParentNode())
        if (GuiTreeNode* next = n->NextNode()) return next;
    return nullptr;
}

void GuiTreeNode::MoveToTop(GuiTreeNode* child) {
    GuiThing::MoveToFront(child, 1);
}

int GuiTreeNode::Count() const {
    int n = 0;
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) ++n;
    return n;
}
