// The combo box: a closed field with a picture of the selected entry and an arrow button, and the
// drop-down list that floats above every window under the presentation manager while open.
#include "gui/widgets/list/guilist.h"

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiscroll.h"

namespace {

const uint16_t kArrowClick = GuiSignalType(GUI_ID_CLOSE, GUI_SIGNAL_CLICK);

bool IsClickSignal(const GuiMessage& m) {
    return m.Type >= GM_SIGNAL && m.Type < GM_USER && ((m.Type - GM_SIGNAL) & 15) == GUI_SIGNAL_CLICK;
}

} // namespace

ComboList::ComboList(GuiComboBox* owner, const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiVertList(rect, id, style), mpOwner(owner) {
    RemoveStatus(GUI_ST_FOCUS | GUI_ST_WINDOW);
    AddStatus(GUI_ST_FRONT);
}

int ComboList::Message(const GuiMessage& msg) {
    if (IsClickSignal(msg) && mpOwner && msg.Source && msg.Source->Parent() == this && IsEntry(msg.Source)) {
        if (msg.Source != mpSelected) SetSelected(msg.Source);
        mpOwner->CloseList();
    }
    return GuiList::Message(msg);
}

GuiComboBox::GuiComboBox(const GuiRect& rect, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style), miOpenHeight(rect.Height()) {
    muThingType = GUI_TYPE_COMBO_BOX;
    mColors[0] = GUI_WHITE;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    mpButton = new GuiBitmapButton(GuiRect{}, &gbDownArrowBitmap, GUI_ID_CLOSE, GUI_BTN_ENABLED | 0x0010);
    mpButton->AddStatus(GUI_ST_NONCLIENT);
    mpButton->RemoveStatus(GUI_ST_FOCUS);
    GuiThing::Add(mpButton, 1);
    AddStatus(GUI_ST_FOCUS | GUI_ST_WINDOW);
    mwSignals = 1u << GUI_SIGNAL_LIST_SELECT;
    mpList = new ComboList(this, mRealRect, id, style);
}

GuiComboBox::~GuiComboBox() {
    // An open list lives under the presentation manager: it leaves the screen before it goes.
    if (GuiThing* p = mpList->Parent()) p->Remove(mpList, 1);
    delete mpList;
    if (mpScreen) mpScreen->DestroyBitmap(mpCaptured);
}

int GuiComboBox::borderInset() const {
    if (mwStyleFlags & (GUI_BORDER_RAISED | GUI_BORDER_RECESSED)) return 2;
    return (mwStyleFlags & GUI_BORDER_THIN) ? 1 : 0;
}

void GuiComboBox::redraw() {
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mRealRect);
    Draw();
}

void GuiComboBox::CalcCloseHeight() {
    int h = 16;
    if (!IsVisible())
        for (GuiThing* c = mpList->FirstChild(); c; c = c->NextSibling())
            if (GuiList::IsEntry(c) && c->mRealRect.Height() > h) h = c->mRealRect.Height();
    h += 2 * borderInset();
    miCloseHeight = h;
    GuiRect r = mRealRect;
    r.bottom = static_cast<int16_t>(r.top + h - 1);
    GuiThing::Resize(r);
    InitClient();
    GuiRect b = mRealRect;
    b -= borderInset();
    b.left = static_cast<int16_t>(b.right - 15);
    mpButton->Resize(b);
    mClientRect.right = static_cast<int16_t>(b.left - 1);
}

void GuiComboBox::CaptureSelectedToBitmap() {
    GuiThing* sel = mpList->GetSelected();
    if (!sel || !mpScreen) return;
    mpScreen->DestroyBitmap(mpCaptured);
    mpCaptured = mpScreen->CreateBitmap(sel->mRealRect.Width(), sel->mRealRect.Height(), 1);
    if (mpCaptured) {
        const int dx = sel->mRealRect.left, dy = sel->mRealRect.top;
        sel->ParentShift(-dx, -dy);
        const bool highlight = (mwStatusFlags & GUI_ST_CURRENT) && !mbOpen;
        const unsigned short style = sel->Style();
        sel->Style(static_cast<unsigned short>(highlight ? style | GUI_STYLE_HIGHLIGHT
                                                         : style & ~GUI_STYLE_HIGHLIGHT));
        mpScreen->BeginDraw(this, mpCaptured);
        sel->Draw();
        mpScreen->EndDraw(mpCaptured);
        sel->ParentShift(dx, dy);
    }
    mpLastCaptured = sel;
    if (IsVisible()) {
        mpScreen->Invalidate(mClientRect);
        Draw();
    }
}

void GuiComboBox::forget(GuiThing* entry) {
    if (!entry || entry != mpLastCaptured) return;
    mpLastCaptured = nullptr;
    if (mpScreen) mpScreen->DestroyBitmap(mpCaptured);
    mpCaptured = nullptr;
    redraw();
}

void GuiComboBox::SendListSelect() {
    GuiThing* sel = mpList->GetSelected();
    if (!mpLastCaptured || !mpParentThing || !sel || sel == mpLastCaptured) return;
    if (!mwThingId || !(mwSignals & (1u << GUI_SIGNAL_LIST_SELECT)) || !mpMessageQueue) return;
    GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, GUI_SIGNAL_LIST_SELECT), mpParentThing, this,
                                  static_cast<int16_t>(sel->mwThingId));
    mpMessageQueue->Push(&m);
}

void GuiComboBox::OpenList() {
    mbOpen = 1;
    CaptureSelectedToBitmap();
    mpList->Resize(
        MakeGuiRect(mRealRect.left, mRealRect.bottom + 2, mRealRect.right, mRealRect.top + miOpenHeight - 1));
    if (mpPresentation) mpPresentation->Add(mpList, 1);
}

void GuiComboBox::CloseList() {
    mbOpen = 0;
    if (GuiThing* p = mpList->Parent()) p->Remove(mpList, 1);
    SendListSelect();
    CaptureSelectedToBitmap();
}

void GuiComboBox::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    StandardBorder(mColors[(mwStatusFlags & GUI_ST_CURRENT) ? 1 : 0]);
    mpButton->Draw();
    if (mpCaptured) {
        const GuiRect saved = mClipRect;
        mClipRect &= mClientRect;
        const GuiRect& c = mClientRect;
        const int w = mpCaptured->width;
        int x = c.left;
        if (mwStyleFlags & GUI_COMBO_RIGHT)
            x = c.right - w + 1;
        else if (mwStyleFlags & GUI_COMBO_CENTRE)
            x = c.left + (c.Width() - w) / 2;
        s.Bitmap(this, GuiPoint{static_cast<int16_t>(x), c.top}, mpCaptured, 0);
        mClipRect = saved;
    }
    s.EndDraw();
}

void GuiComboBox::Resize(GuiRect rect) {
    const bool sameSides = rect.left == mRealRect.left && rect.right == mRealRect.right;
    GuiThing::Resize(rect);
    if (sameSides) return;
    GuiRect b = mpButton->mRealRect;
    b.right = static_cast<int16_t>(mRealRect.right - borderInset());
    b.left = static_cast<int16_t>(b.right - 15);
    mpButton->Resize(b);
    mClientRect.right = static_cast<int16_t>(b.left - 1);
}

GuiThing* GuiComboBox::Find(unsigned short id, int recursive) {
    return mpList->Find(id, recursive);
}

int GuiComboBox::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW: {
        CalcCloseHeight();
        mbOpen = 0;
        GuiThing* sel = mpList->GetSelected();
        if (!sel) sel = mpList->SetSelected(0);
        if (sel) {
            mpList->Resize(MakeGuiRect(mRealRect.left, mRealRect.bottom + 1, mRealRect.right,
                                       mRealRect.top + miOpenHeight - 1));
            mpList->PositionChildren();
            CaptureSelectedToBitmap();
        }
        return GuiThing::Message(msg);
    }
    case GM_CURRENT:
        GuiThing::Message(msg);
        CaptureSelectedToBitmap(); // the highlighted look
        return 0;
    case GM_NOT_CURRENT:
        GuiThing::Message(msg);
        if (mbOpen) CloseList();
        CaptureSelectedToBitmap();
        return 0;
    default:
        if (msg.Type == kArrowClick && msg.Source == mpButton) {
            if (mbOpen)
                CloseList();
            else
                OpenList();
            return 0;
        }
        return GuiThing::Message(msg);
    }
}

void GuiComboBox::Add(GuiThing* thing, int draw) {
    mpList->Add(thing, 0);
    if (IsVisible()) {
        mpList->PositionChildren();
        if (draw) redraw();
    }
    CalcCloseHeight();
}

void GuiComboBox::AddToEnd(GuiThing* thing, int draw) {
    mpList->AddToEnd(thing, 0);
    if (IsVisible()) {
        mpList->PositionChildren();
        if (draw) redraw();
    }
    CalcCloseHeight();
}

void GuiComboBox::Insert(GuiThing* thing, int index, int select, int draw) {
    mpList->Insert(thing, index, 0, 0);
    if (!IsVisible()) return;
    mpList->PositionChildren();
    if (select) SetSelected(thing);
    if (draw) redraw();
}

GuiThing* GuiComboBox::Remove(GuiThing* thing, int draw) {
    if (thing && thing == mpButton) return GuiThing::Remove(thing, draw);
    GuiThing* removed = mpList->Remove(thing, draw);
    forget(removed);
    return removed;
}

GuiThing* GuiComboBox::GetSelected() {
    return mpList->GetSelected();
}

void GuiComboBox::SetSelected(GuiThing* thing) {
    mpList->SetSelected(thing);
    CaptureSelectedToBitmap();
}

GuiThing* GuiComboBox::SetSelected(int index) {
    GuiThing* t = mpList->SetSelected(index);
    CaptureSelectedToBitmap();
    return t;
}

int GuiComboBox::GetIndex(GuiThing* thing) {
    return mpList->GetIndex(thing);
}

GuiThing* GuiComboBox::GetThing(int index) {
    return mpList->GetThing(index);
}

int GuiComboBox::GetSelectedIndex() {
    return mpList->GetSelectedIndex();
}

int GuiComboBox::Clear() {
    forget(mpLastCaptured);
    return mpList->Clear();
}

void GuiComboBox::SetScrollMode(unsigned int mode) {
    mpList->SetScrollMode(mode);
}
