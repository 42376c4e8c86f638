// The display page: construction of its views and overlay groups, showing and hiding with its
// timer, the page switch, the frame interval and the flash notice.
#include "display/pages/cdisppage.h"

#include <new>

#include "display/data/cdata.h"
#include "display/fonts/vektafonts.h"
#include "display/pages/cbarview.h"
#include "display/pages/cdispbox.h"
#include "display/pages/cimagecontainer.h"
#include "display/pages/cpicture.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

uint8_t CDispPage::switched_page = 0;
uint8_t CDispPage::reset_old = 0;

namespace {

constexpr unsigned kPageStyle = 1;
constexpr unsigned kViewStyle = 1;
constexpr int kRaster20ms = 4;

int CountElems(const page_s* p) {
    int n = 0;
    for (const display_elem_s* e = p ? p->elems : nullptr; e; e = e->next) ++n;
    return n;
}

} // namespace

CDispPage::CDispPage(int left, int top, int width, int height, int index, page_s* page, page_s* allPages,
                     CDataManager* manager, CImageContainer* images)
    : GuiWindow(MakeGuiRect(left, top, left + width - 1, top + height - 1), kPageStyle), miPageIndex(index),
      mElems(static_cast<short>(CountElems(page) + CountElems(allPages))), mpDataManager(manager) {
    miElemCount = CountElems(page) + CountElems(allPages);
    if (page) mColors[0] = CDataView::dispElem_Color(&page->bg_col);
    const GuiRect& r = mRealRect;
    short i = 0;
    for (page_s* p : {page, allPages}) {
        for (display_elem_s* e = p ? p->elems : nullptr; e; e = e->next, ++i) {
            CDataView* view = nullptr;
            switch (e->kind) {
            case ELEM_ALPHANUM:
                view = new CDispBox(r, e, this, kViewStyle);
                break;
            case ELEM_BARGRAPH:
                view = new CBarView(r, e, this, kViewStyle);
                break;
            case ELEM_PICTURE:
                view = new CPicture(r, e, images ? images->getImage(&e->picture) : nullptr, this, kViewStyle);
                break;
            default:
                continue; // no view: its index stays empty
            }
            Add(view, 0);
            if (manager) {
                view->setData(manager->addData(e, kRaster20ms, CDATA_VALUE), CDATA_VALUE);
                view->setData(manager->addData(e, kRaster20ms, CDATA_VISIBILITY), CDATA_VISIBILITY);
            }
            mElems.AddElemAt(view, i);
            if (view->isAlarm()) addOverlayElement(view);
        }
    }
    processOverlayElements();
}

CDispPage::~CDispPage() {
    // Alarm views that are hidden and the flash notice while it is off are no children that go
    // with the page.
    for (int i = 0; i < miElemCount; ++i) {
        CDataView* v = element(i);
        if (v && v->Parent() != this) delete v;
    }
    if (mpFlashWin && mpFlashWin->Parent() != this) delete mpFlashWin;
}

CDispPage::CDispPage(int left, int top, int right, int bottom, int, int colour)
    : GuiWindow(MakeGuiRect(left, top, right, bottom), kPageStyle), mElems(0) {
    mColors[0] = static_cast<uint32_t>(colour);
}

int CDispPage::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE: {
        const int r = GuiWindow::Message(msg);
        if (mpMessageQueue) mpMessageQueue->KillTimer(this, static_cast<uint16_t>(miPageIndex));
        return r;
    }
    case GM_SHOW: {
        const int r = GuiWindow::Message(msg);
        if (mpMessageQueue)
            mpMessageQueue->SetTimer(this, static_cast<uint16_t>(miPageIndex), miFrameInterval,
                                     miFrameInterval);
        return r;
    }
    case GM_TIMER:
        tick();
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void CDispPage::setFrameRate(int interval) {
    miFrameInterval = interval;
    if (!mpMessageQueue) return;
    mpMessageQueue->KillTimer(this, static_cast<uint16_t>(miPageIndex));
    mpMessageQueue->SetTimer(this, static_cast<uint16_t>(miPageIndex), interval, interval);
}

int CDispPage::getTimeSlot(unsigned short ms) {
    if (ms < 100) return 5;
    if (ms < 200) return 6;
    if (ms < 500) return 7;
    if (ms < 1000) return 8;
    return 9;
}

bool CDispPage::checkOverlap(const GuiRect& a, const GuiRect& b) {
    return a.top < b.bottom && a.bottom > b.top && a.left < b.right && a.right > b.left;
}

void CDispPage::addOverlayElement(CDataView* view) {
    mOverlay.push_back(view);
}

void CDispPage::processOverlayElements() {
    // Every alarm view starts as a group of its own; a later group whose first view overlaps a
    // member of the current group joins it, so chains of overlaps form one group.
    std::vector<std::vector<CDataView*>> groups;
    for (CDataView* v : mOverlay) groups.push_back({v});
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t m = 0; m < groups[g].size(); ++m) {
            for (size_t h = g + 1; h < groups.size();) {
                if (checkOverlap(groups[g][m]->mRealRect, groups[h][0]->mRealRect)) {
                    groups[g].push_back(groups[h][0]);
                    groups.erase(groups.begin() + static_cast<long>(h));
                } else {
                    ++h;
                }
            }
        }
    }
    mGroups.clear();
    for (auto& members : groups) {
        Group grp;
        grp.members = std::move(members);
        mGroups.push_back(std::move(grp));
    }
    muResetGroup = mGroups.size();
}

void CDispPage::SwitchedPage() {
    for (Group& g : mGroups) {
        for (CDataView* m : g.members) m->clearAlarmReset();
        g.shown = nullptr;
    }
    for (int i = 0; i < miElemCount; ++i)
        if (CDataView* v = element(i)) v->forceUpdate();
    mpResetElem = nullptr;
    muResetGroup = mGroups.size();
    miRoundRobin = 0;
    switched_page = 1;
}

void CDispPage::setFlashMode(bool on) {
    mbFlashMode = on;
    const int L = mRealRect.left, T = mRealRect.top;
    if (!on) {
        if (mpFlashWin && mpFlashWin->Parent() == this) Remove(mpFlashWin, 1); // kept for the next time
        return;
    }
    if (!mpFlashWin) {
        mpFlashWin = new GuiWindow(MakeGuiRect(L + 15, T + 150, L + 785, T + 250), 1);
        mpFlashPrompt = new GuiPrompt(L + 40, T + 160, "Please stand by while programming device...", 0,
                                      0x6081, &VektaTiny, 0);
        miFlashPos = static_cast<int16_t>(L + 25);
        miFlashDir = 1;
        mpFlashBar = new GuiWindow(MakeGuiRect(L + 25, T + 210, L + 100, T + 240), 1);
        mpFlashBar->mColors[0] = 0x000000;
        mpFlashWin->Add(mpFlashPrompt, 0);
        mpFlashWin->Add(mpFlashBar, 0);
    }
    Add(mpFlashWin, 0);
    mpFlashWin->mColors[0] = 0xFF0000;
    if (!mpScreen || !mpFlashWin->IsVisible()) return;
    mpScreen->Invalidate(mpFlashWin->mRealRect);
    mpFlashWin->Draw();
    MoveToFront(mpFlashWin, 1);
}
