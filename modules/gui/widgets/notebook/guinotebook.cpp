#include "gui/widgets/notebook/guinotebook.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/slider/guislider.h"

namespace {

constexpr int kFontEntry = 13;

char* Copy(const char* text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text);
    auto* c = new (std::nothrow) char[n + 1];
    if (c) std::memcpy(c, text, n + 1);
    return c;
}

template <class T> T** Slots(int n) {
    return n > 0 ? new (std::nothrow) T*[static_cast<size_t>(n)]() : nullptr;
}

} // namespace

GuiNotebook::GuiNotebook(const GuiRect& rect, unsigned int style, unsigned char tabs)
    : GuiWindow(rect, style), muNumTabs(tabs) {
    muThingType = GUI_TYPE_NOTEBOOK;
    RemoveStatus(GUI_ST_MOVABLE);
    mColors[0] = GUI_LIGHT_GREY;
    mColors[1] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_BLACK;
    mwSignals = 1u << GUI_SIGNAL_TAB;
    mpTextFont = mFontTable[kFontEntry];
    if (textTabs())
        mppTabStrings = Slots<char>(tabs);
    else
        mppTabClients = Slots<GuiThing>(tabs);
    mppPageClients = Slots<GuiThing>(tabs);
    if (!mppPageClients || (!mppTabStrings && !mppTabClients)) muNumTabs = 0;
}

GuiNotebook::~GuiNotebook() {
    for (int i = 0; i < muNumTabs; ++i) {
        // The shown page goes with the children; the others are deleted here.
        if (mppPageClients && mppPageClients[i] && mppPageClients[i]->Parent() != this)
            delete mppPageClients[i];
        if (mppTabStrings) delete[] mppTabStrings[i];
    }
    delete[] mppTabStrings;
    delete[] mppTabClients;
    delete[] mppPageClients;
}

int GuiNotebook::rowTop() const {
    return above() ? mRealRect.top : mRealRect.bottom - 3 - miTabHeight;
}

void GuiNotebook::CalculateTabPositions() {
    int w = -1, h = -1;
    for (int i = 0; i < muNumTabs; ++i) {
        if (textTabs()) {
            if (mppTabStrings && mppTabStrings[i])
                w = std::max(w, GuiFontTextWidth(mppTabStrings[i], mpTextFont));
            h = GuiFontHeight(mpTextFont);
        } else if (mppTabClients && mppTabClients[i]) {
            w = std::max(w, mppTabClients[i]->mRealRect.Width());
            h = std::max(h, mppTabClients[i]->mRealRect.Height());
        }
    }
    miTabWidth = w + 12;
    miTabHeight = h + 6;
    const bool wide = mwStyleFlags & GUI_NB_WIDE_FRAME;
    InitClient();
    if (above())
        mClientRect.top = static_cast<int16_t>(mRealRect.top + miTabHeight + (wide ? 4 : 2));
    else
        mClientRect.bottom = static_cast<int16_t>(mRealRect.bottom - miTabHeight - (wide ? 5 : 3));
    const int span = mClientRect.right - mClientRect.left;
    int visible = (span - 3) / miTabWidth;
    if (visible < muNumTabs) {
        const GuiRect r = above() ? MakeGuiRect(mRealRect.right - 34, mClientRect.top - 19,
                                                mRealRect.right - 2, mClientRect.top - 3)
                                  : MakeGuiRect(mRealRect.right - 34, mClientRect.bottom + 3,
                                                mRealRect.right - 2, mClientRect.bottom + 19);
        if (mpTabScroller) {
            mpTabScroller->Resize(r);
        } else if ((mpTabScroller =
                        new (std::nothrow) GuiSpinButton(r, GUI_NB_SCROLLER_ID, GUI_STYLE_SELECTABLE))) {
            mpTabScroller->AddStatus(GUI_ST_NONCLIENT);
            Add(mpTabScroller, 0);
        }
        visible = (span - 35) / miTabWidth;
    } else if (mpTabScroller) {
        GuiThing* gone = mpTabScroller;
        mpTabScroller = nullptr;
        Destroy(gone);
    }
    muVisibleTabs = static_cast<uint8_t>(std::clamp(visible, 0, 255));
    if (textTabs() || !mppTabClients) return;
    for (int k = 0; k < muNumTabs; ++k) {
        GuiThing* t = mppTabClients[k];
        if (!t) continue;
        const int left = mRealRect.left + (k - muFirstVisibleTab) * miTabWidth + 6;
        const int top = above() ? mRealRect.top + 3 : mRealRect.bottom - 3 - miTabHeight + 7;
        const int bottom = above() ? top + miTabHeight - 7 : mRealRect.bottom - 3;
        t->Resize(MakeGuiRect(left, top, left + miTabWidth - 13, bottom));
    }
}

void GuiNotebook::AddCurrentPageClient(int show) {
    if (!mppPageClients || muCurrentTab >= muNumTabs) return;
    GuiThing* page = mppPageClients[muCurrentTab];
    if (!page) return;
    GuiRect r = mClientRect;
    r -= 4;
    if (!(page->mRealRect == r)) page->Resize(r);
    if (page->Parent() != this) Add(page, show);
}

void GuiNotebook::removeCurrentPage(int redraw) {
    if (!mppPageClients || muCurrentTab >= muNumTabs) return;
    GuiThing* page = mppPageClients[muCurrentTab];
    if (page && page->Parent() == this) Remove(page, redraw);
}

void GuiNotebook::SelectTab(unsigned char n) {
    if (n >= muNumTabs || n == muCurrentTab) return;
    if (mpTabScroller && miTabWidth > 0) {
        const int right = mRealRect.left + (n - muFirstVisibleTab + 1) * miTabWidth;
        if (right >= mpTabScroller->mRealRect.left)
            muFirstVisibleTab = static_cast<uint8_t>(
                std::max(0, n - (mpTabScroller->mRealRect.left - mRealRect.left) / miTabWidth + 1));
        else if (n < muFirstVisibleTab)
            muFirstVisibleTab = n;
    }
    removeCurrentPage(0);
    muCurrentTab = n;
    AddCurrentPageClient(1);
    if (!IsVisible()) return;
    if (mpScreen) mpScreen->Invalidate(mRealRect);
    Draw();
    if (mwThingId && mpParentThing && mpMessageQueue) {
        GuiMessage m = GuiMakeMessage(GuiSignalType(mwThingId, GUI_SIGNAL_TAB), mpParentThing, this,
                                      static_cast<int16_t>(mwThingId));
        m.SetDataWord(0, n);
        mpMessageQueue->Push(&m);
    }
}

int GuiNotebook::CheckTabClick(GuiPoint p) {
    if (above() ? p.y >= mClientRect.top : p.y <= mClientRect.bottom) return 0;
    if (miTabWidth <= 0) return 0;
    for (int k = muFirstVisibleTab; k < muNumTabs && k < muFirstVisibleTab + muVisibleTabs; ++k) {
        const int left = mRealRect.left + (k - muFirstVisibleTab) * miTabWidth;
        if (p.x < left || p.x > left + miTabWidth - 1) continue;
        if (k == muCurrentTab) return 0;
        SelectTab(static_cast<unsigned char>(k));
        return 1;
    }
    return 0;
}

void GuiNotebook::RedrawTabs() {
    if (!textTabs()) CalculateTabPositions();
    if (!IsVisible() || !mpScreen) return;
    const GuiRect row =
        above() ? MakeGuiRect(mRealRect.left, mRealRect.top, mRealRect.right, mRealRect.top + miTabHeight)
                : MakeGuiRect(mRealRect.left, mRealRect.bottom - miTabHeight - 2, mRealRect.right,
                              mRealRect.bottom);
    mpScreen->Invalidate(row);
    Draw();
}

void GuiNotebook::deleteTabClient(GuiThing* t) {
    if (!t) return;
    if (t->Parent()) t->Parent()->Remove(t, 0);
    Destroy(t);
}

void GuiNotebook::SetTabClient(unsigned char n, GuiThing* thing) {
    if (textTabs() || !mppTabClients || n >= muNumTabs) return;
    GuiThing* old = mppTabClients[n];
    if (old == thing) return; // already there: kept
    mppTabClients[n] = nullptr;
    deleteTabClient(old);
    if (thing) {
        thing->mwThingId = static_cast<uint16_t>(n + 1);
        thing->AddStatus(GUI_ST_NONCLIENT);
        thing->RemoveStatus(GUI_ST_SELECTABLE);
        Add(thing, 0);
    }
    mppTabClients[n] = thing;
}

void GuiNotebook::SetPageClient(unsigned char n, GuiThing* thing) {
    if (!mppPageClients || n >= muNumTabs) return;
    GuiThing* old = mppPageClients[n];
    if (old == thing) return; // already there: kept
    if (old) {
        if (old->Parent()) old->Parent()->Remove(old, thing ? 0 : 1);
        Destroy(old);
    }
    mppPageClients[n] = thing;
    if (n == muCurrentTab && IsVisible() && thing) AddCurrentPageClient(1);
}

GuiThing* GuiNotebook::GetPageClient(unsigned char n) {
    return mppPageClients && n < muNumTabs ? mppPageClients[n] : nullptr;
}

GuiThing* GuiNotebook::GetTabClient(unsigned char n) {
    return mppTabClients && n < muNumTabs ? mppTabClients[n] : nullptr;
}

GuiThing* GuiNotebook::RemovePageClient(unsigned char n) {
    if (!mppPageClients || n >= muNumTabs) return nullptr;
    GuiThing* old = mppPageClients[n];
    mppPageClients[n] = nullptr;
    if (old && old->Parent() == this) Remove(old, 1);
    return old;
}

void GuiNotebook::SetTabString(unsigned char n, const char* text) {
    if (!textTabs() || !mppTabStrings || n >= muNumTabs) return;
    delete[] mppTabStrings[n];
    mppTabStrings[n] = Copy(text);
}

void GuiNotebook::ResetTabStyle(unsigned int style) {
    if (!(style & GUI_NB_TEXT_TABS)) {
        if (mppTabStrings)
            for (int i = 0; i < muNumTabs; ++i) delete[] mppTabStrings[i];
        delete[] mppTabStrings;
        mppTabStrings = nullptr;
        if (!mppTabClients) mppTabClients = Slots<GuiThing>(muNumTabs);
        mwStyleFlags &= static_cast<uint16_t>(~GUI_NB_TEXT_TABS);
    } else {
        if (mppTabClients)
            for (int i = 0; i < muNumTabs; ++i) deleteTabClient(mppTabClients[i]);
        delete[] mppTabClients;
        mppTabClients = nullptr;
        if (!mppTabStrings) mppTabStrings = Slots<char>(muNumTabs);
        mwStyleFlags |= GUI_NB_TEXT_TABS;
    }
}

void GuiNotebook::ResetNumTabs(unsigned char n) {
    removeCurrentPage(0);
    char** strings = textTabs() ? Slots<char>(n) : nullptr;
    GuiThing** clients = textTabs() ? nullptr : Slots<GuiThing>(n);
    GuiThing** pages = Slots<GuiThing>(n);
    if (n && (!pages || (!strings && !clients))) {
        delete[] strings;
        delete[] clients;
        delete[] pages;
        return;
    }
    for (int i = 0; i < muNumTabs; ++i) {
        const bool keep = i < n;
        if (mppPageClients) {
            if (keep)
                pages[i] = mppPageClients[i];
            else if (mppPageClients[i])
                Destroy(mppPageClients[i]);
        }
        if (mppTabStrings) {
            if (keep && strings)
                strings[i] = mppTabStrings[i];
            else
                delete[] mppTabStrings[i];
        }
        if (mppTabClients) {
            if (keep && clients)
                clients[i] = mppTabClients[i];
            else
                deleteTabClient(mppTabClients[i]);
        }
    }
    delete[] mppTabStrings;
    delete[] mppTabClients;
    delete[] mppPageClients;
    mppTabStrings = strings;
    mppTabClients = clients;
    mppPageClients = pages;
    muNumTabs = n;
    muCurrentTab = muFirstVisibleTab = 0;
    CalculateTabPositions();
    AddCurrentPageClient(1);
    if (IsVisible() && mpScreen) mpScreen->Invalidate(mRealRect);
}

void GuiNotebook::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    if (!IsVisible() || !mpScreen) return;
    CalculateTabPositions();
    mpScreen->Invalidate(mRealRect);
    Draw();
}

int GuiNotebook::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_RESIZE:
        removeCurrentPage(0);
        GuiWindow::Message(msg);
        CalculateTabPositions();
        AddCurrentPageClient(0);
        if (IsVisible() && mpParentThing && mpScreen) {
            mpScreen->Invalidate(mpParentThing->mRealRect);
            mpParentThing->Draw();
        }
        return 0;
    case GM_SHOW:
        CalculateTabPositions();
        GuiWindow::Message(msg);
        AddCurrentPageClient(0);
        return 0;
    case GM_BUTTON_DOWN:
        CheckTabClick(msg.DataPoint());
        return 0;
    default:
        break;
    }
    if (msg.Type == GuiSignalType(GUI_NB_SCROLLER_ID, 8)) {
        if (muFirstVisibleTab + muVisibleTabs < muNumTabs) {
            ++muFirstVisibleTab;
            RedrawTabs();
        }
        return 0;
    }
    if (msg.Type == GuiSignalType(GUI_NB_SCROLLER_ID, 9)) {
        if (muFirstVisibleTab > 0) {
            --muFirstVisibleTab;
            RedrawTabs();
        }
        return 0;
    }
    GuiWindow::Message(msg);
    return 0;
}
