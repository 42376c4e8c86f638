// Menu entries: size, marks, the sub-menu that opens below a bar entry or beside a menu entry, and
// the signals to the owner.
#include "gui/widgets/menu/guimenu.h"

#include <algorithm>
#include <cstring>

#include "gui/core/guiart.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guipresentationlink.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guiscroll.h"

namespace {

constexpr char kCheck[7][8] = {
    "......K", ".....KK", "K...KK.", "KK.KK..", ".KKK...", "..K....", ".......",
};
constexpr char kDot[5][6] = {".KKK.", "KKKKK", "KKKKK", "KKKKK", ".KKK."};
constinit std::array<uint8_t, 49> gCheck = guiart::Art<7, 7>(kCheck);
constinit std::array<uint8_t, 25> gDot = guiart::Art<5, 5>(kDot);

GuiMenuButton* AsEntry(GuiThing* t) {
    return dynamic_cast<GuiMenuButton*>(t);
}

bool IsSeparatorEntry(GuiThing* t) {
    GuiMenuButton* b = AsEntry(t);
    return b && b->IsSeparator();
}

void DrawMark(GuiThing* entry, int x, const GuiBitmap* b) {
    const GuiRect& r = entry->mRealRect;
    const int y = r.top + (r.Height() - b->height) / 2;
    GuiThing::mpScreen->Bitmap(entry, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)},
                               const_cast<GuiBitmap*>(b), 0);
}

} // namespace

GuiBitmap gbCheckBitmap = {GUI_BMP_TRANSPARENT, 8, 7, 7, 255, gCheck.data()};
GuiBitmap gbDotBitmap = {GUI_BMP_TRANSPARENT, 8, 5, 5, 255, gDot.data()};

int GuiMenuFontHeight() {
    return GuiFontHeight(GuiTextThing::mFontTable[2]);
}

GuiMenuButton::GuiMenuButton(const GuiMenuDescription& d) : GuiTextThing(d.id, d.style, d.text, 2) {
    mRealRect = mClientRect = mClipRect = MakeGuiRect(0, 0, 100, 18);
    mColors[0] = GUI_LIGHT_GREY;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    muThingType = GUI_TYPE_MENU_BUTTON;
    if (d.subMenu)
        mpSubMenu = new GuiMenu(d.subMenu, 0);
    else if (d.style & GUI_MENU_DOT)
        mwSignals = 1u << 10;
    else if (d.style & GUI_MENU_CHECK)
        mwSignals = (1u << 8) | (1u << 9);
    else if (d.style & GUI_MENU_ENABLED)
        mwSignals = 1u << 4;
    else
        RemoveStatus(GUI_ST_SELECTABLE);
    AddStatus(GUI_ST_MOVABLE | GUI_ST_NONCLIENT);
    RemoveStatus(GUI_ST_FOCUS);
}

GuiMenuButton::~GuiMenuButton() {
    dropSubMenu();
}

void GuiMenuButton::dropSubMenu() {
    if (!mpSubMenu) return;
    // An open sub-menu lives under the presentation manager: it leaves the screen before it goes.
    if (GuiThing* p = mpSubMenu->Parent()) p->Remove(mpSubMenu, 1);
    delete mpSubMenu;
    mpSubMenu = nullptr;
    mbSubMenuOpen = 0;
}

GuiMenuBar* GuiMenuButton::bar() const {
    return mpParentThing && mpParentThing->muThingType == GUI_TYPE_MENU_BAR
               ? dynamic_cast<GuiMenuBar*>(mpParentThing)
               : nullptr;
}

void GuiMenuButton::redraw() {
    if (!IsVisible() || !mpScreen) return;
    mpScreen->Invalidate(mRealRect);
    Draw();
}

void GuiMenuButton::signal(unsigned n, uint16_t mask) {
    if (!mwThingId || !mpOwner || !mpMessageQueue) return;
    if (mask && !(mwSignals & mask)) return;
    GuiMessage m =
        GuiMakeMessage(GuiSignalType(mwThingId, n), mpOwner, this, static_cast<int16_t>(mwThingId));
    mpMessageQueue->Push(&m);
}

GuiRect GuiMenuButton::GetMinSize(unsigned char parentType) {
    const int w = GuiFontTextWidth(mpTextData, mpTextFont) + 8 + (parentType == GUI_TYPE_MENU ? 32 : 0);
    const int h = IsSeparator() ? 6 : GuiFontHeight(mpTextFont) + 2;
    return MakeGuiRect(0, 0, w, h);
}

void GuiMenuButton::SetOwner(GuiThing* owner) {
    mpOwner = owner;
    if (mpSubMenu) mpSubMenu->SetOwner(owner);
}

void GuiMenuButton::SetEnabled(int on) {
    if (on) {
        mwStyleFlags |= GUI_MENU_ENABLED;
        AddStatus(GUI_ST_SELECTABLE);
    } else {
        mwStyleFlags &= static_cast<uint16_t>(~GUI_MENU_ENABLED);
        RemoveStatus(GUI_ST_SELECTABLE);
    }
    redraw();
}

void GuiMenuButton::SetChecked(int on) {
    if (on)
        mwStyleFlags |= GUI_MENU_CHECKED;
    else
        mwStyleFlags &= static_cast<uint16_t>(~GUI_MENU_CHECKED);
    redraw();
    signal(on ? 8 : 9, on ? 0x0100 : 0x0200);
}

void GuiMenuButton::SetDotted(int on) {
    if (on) {
        RemoveSiblingDots();
        mwStyleFlags |= GUI_MENU_DOTTED;
    } else {
        mwStyleFlags &= static_cast<uint16_t>(~GUI_MENU_DOTTED);
    }
    redraw();
    signal(on ? 10 : 11, on ? 0x0400 : 0x0800);
}

void GuiMenuButton::RemoveSiblingDots() {
    if (!mpParentThing) return;
    // The group: from the nearest separator before this entry (or the first entry) to the next
    // separator after it.
    GuiThing* start = mpParentThing->FirstChild();
    for (GuiThing* c = mpPrevSibling; c; c = c->PrevSibling())
        if (IsSeparatorEntry(c)) {
            start = c;
            break;
        }
    bool passed = false;
    for (GuiThing* c = start; c; c = c->NextSibling()) {
        if (c == this) {
            passed = true;
            continue;
        }
        if (passed && IsSeparatorEntry(c)) break;
        if (GuiMenuButton* b = AsEntry(c)) b->SetDotted(0);
    }
}

void GuiMenuButton::SendOwnerMessage() {
    if (mpSubMenu || !mpOwner || bar()) return;
    // A greyed entry does nothing, whatever marks it carries.
    if (!(mwStyleFlags & GUI_MENU_ENABLED)) return;
    // The menu loses the focus and closes.
    if (mpPresentationLink) mpPresentationLink->MoveFocusTree(mpOwner);
    if (mwStyleFlags & GUI_MENU_CHECK) {
        SetChecked(!IsChecked());
    } else if (mwStyleFlags & GUI_MENU_DOT) {
        RemoveSiblingDots();
        SetDotted(1);
    } else {
        signal(GUI_SIGNAL_CLICK, 0);
    }
}

void GuiMenuButton::AddSubMenu(int fromBar) {
    if (!mpSubMenu || !mpPresentation) return;
    const GuiRect min = mpSubMenu->GetMinSize();
    const GuiRect& e = mRealRect;
    const GuiRect& screen = mpPresentation->mRealRect;
    const int w = min.Width(), h = min.Height();
    const int x = fromBar ? e.left : e.right, y = fromBar ? e.bottom + 2 : e.top - 4;
    int l = x, t = y;
    if (t + h - 1 >= screen.bottom) {
        if (!fromBar)
            t = screen.bottom - 1 - (h - 1);
        else if (e.top - 1 > h) // room above the bar
            t -= e.Height() + h + 2;
    }
    if (l + w - 1 > screen.right) {
        if (fromBar)
            l = screen.right - (w - 1);
        else
            l -= e.Width() + w + 1; // to the other side
    }
    GuiSendResize(mpSubMenu, MakeGuiRect(l, t, l + w - 1, t + h - 1));
    mpPresentation->Add(mpSubMenu, 1);
    mbSubMenuOpen = 1;
}

void GuiMenuButton::CloseMenu() {
    if (!mbSubMenuOpen) return;
    mbSubMenuOpen = 0;
    if (mpSubMenu && mpSubMenu->Parent()) {
        mpSubMenu->Parent()->Remove(mpSubMenu, 1);
        redraw();
    }
}

GuiMenuButton* GuiMenuButton::FindButton(const char* text) {
    return mpSubMenu ? mpSubMenu->FindButton(text) : nullptr;
}

GuiThing* GuiMenuButton::Find(unsigned short id, int recursive) {
    return mpSubMenu ? mpSubMenu->Find(id, recursive) : nullptr;
}

void GuiMenuButton::SetSubMenu(GuiMenu* menu) {
    if (menu == mpSubMenu) return;
    dropSubMenu();
    mpSubMenu = menu;
    if (menu) menu->SetOwner(mpOwner);
}

int GuiMenuButton::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_HIDE:
        GuiThing::Message(msg);
        mbHighlighted = 0;
        CloseMenu();
        return 0;
    case GM_BUTTON_DOWN:
        if (GuiMenuBar* b = bar()) {
            b->SetFlyoverMode(!b->InFlyoverMode());
            redraw();
        }
        if (!mpSubMenu)
            SendOwnerMessage();
        else if (!mbSubMenuOpen)
            AddSubMenu(bar() != nullptr);
        else
            CloseMenu();
        return 0;
    case GM_BUTTON_UP:
        // A press that chose the entry has closed its menu already.
        if (!mpSubMenu && IsVisible()) SendOwnerMessage();
        return 0;
    case GM_POINTER_ENTER:
        mbHighlighted = 1;
        redraw();
        if (GuiMenuBar* b = bar()) {
            if (b->InFlyoverMode()) {
                b->CloseSiblings(this);
                if (mpSubMenu && !mbSubMenuOpen) AddSubMenu(1);
            }
        } else if (auto* menu = dynamic_cast<GuiMenu*>(mpParentThing)) {
            menu->CloseSiblings(this);
            if (mpSubMenu && !mbSubMenuOpen) AddSubMenu(0);
        }
        return 0;
    case GM_POINTER_EXIT:
        mbHighlighted = 0;
        if (!mbSubMenuOpen) redraw();
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiMenuButton::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const GuiRect r = mRealRect;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    auto text = [&](int x, int y, uint32_t c) {
        if (!mpTextData || !mpTextFont) return;
        GuiColor colour{c, c, 0};
        s.DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, mpTextData, colour,
                   mpTextFont, -1, 0);
    };
    const bool enabled = mwStyleFlags & GUI_MENU_ENABLED;
    if (IsSeparator()) {
        const int y = (r.top + r.bottom) / 2;
        line(r.left, y, r.right, y, GUI_DARK_GREY);
        line(r.left, y + 1, r.right, y + 1, GUI_WHITE);
    } else if (GuiMenuBar* b = bar()) {
        s.Rectangle(this, r, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
        if ((mbHighlighted && enabled) || mbSubMenuOpen) {
            const bool fly = b->InFlyoverMode();
            const uint32_t lit = fly ? GUI_DARK_GREY : GUI_WHITE, dark = fly ? GUI_WHITE : GUI_DARK_GREY;
            line(r.left, r.top, r.right, r.top, lit);
            line(r.left, r.top, r.left, r.bottom, lit);
            line(r.left, r.bottom, r.right, r.bottom, dark);
            line(r.right, r.top, r.right, r.bottom, dark);
        }
        text(r.left + (r.Width() - GuiFontTextWidth(mpTextData, mpTextFont)) / 2, r.top + 1,
             enabled ? mColors[2] : GUI_DARK_GREY);
    } else {
        const bool lit = mbHighlighted && enabled;
        const uint32_t fill = mColors[lit ? 1 : 0];
        s.Rectangle(this, r, GuiColor{fill, fill, GUI_COLOR_FILL}, 0);
        text(r.left + 16, r.top + 1, !enabled ? GUI_DARK_GREY : mColors[lit ? 3 : 2]);
        if (mpSubMenu)
            DrawMark(this, r.right - 2 * gbMoreBitmap.width, &gbMoreBitmap);
        else if (IsChecked())
            DrawMark(this, r.left + 4, &gbCheckBitmap);
        else if (IsDotted())
            DrawMark(this, r.left + 4, &gbDotBitmap);
    }
    s.EndDraw();
}
