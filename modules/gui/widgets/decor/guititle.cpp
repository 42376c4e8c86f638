// The title bar: its buttons, the system menu, and the moves, closes, maximises, minimises and
// restores it asks of its window.
#include <algorithm>

#include "gui/core/guiart.h"
#include "gui/core/guiscreen.h"
#include "gui/widgets/decor/guidecor.h"

namespace {

constexpr char kSystem[3][10] = {"KKKKKKKKK", "KWWWWWWWK", "KKKKKKKKK"};
constexpr char kClose[7][9] = {
    "KK....KK", ".KK..KK.", "..KKKK..", "...KK...", "..KKKK..", ".KK..KK.", "KK....KK",
};
constexpr char kMaximize[8][10] = {
    "KKKKKKKKK", "KKKKKKKKK", "K.......K", "K.......K", "K.......K", "K.......K", "K.......K", "KKKKKKKKK",
};
constexpr char kMinimize[7][7] = {"......", "......", "......", "......", "......", "KKKKKK", "KKKKKK"};
constexpr char kRestore[9][10] = {
    "...KKKKKK", "...KKKKKK", "...K....K", "KKKKKK..K", "KKKKKK..K",
    "K....KKKK", "K....K...", "K....K...", "KKKKKK...",
};
constinit std::array<uint8_t, 27> gSystem = guiart::Art<9, 3>(kSystem);
constinit std::array<uint8_t, 56> gClose = guiart::Art<8, 7>(kClose);
constinit std::array<uint8_t, 72> gMaximize = guiart::Art<9, 8>(kMaximize);
constinit std::array<uint8_t, 42> gMinimize = guiart::Art<6, 7>(kMinimize);
constinit std::array<uint8_t, 81> gRestore = guiart::Art<9, 9>(kRestore);

// The system menu: the buttons' choices once more.
GuiMenuDescription kSystemMenu[] = {
    {"Close", GUI_ID_CLOSE, GUI_MENU_ENABLED, nullptr},
    {nullptr, 0, GUI_MENU_SEPARATOR, nullptr},
    {"Minimize", GUI_ID_MINIMIZE, GUI_MENU_ENABLED, nullptr},
    {"Maximize", GUI_ID_RETRY, GUI_MENU_ENABLED, nullptr},
    {nullptr, 0, 0, nullptr},
};

constexpr uint16_t kMaximizeId = GUI_ID_RETRY; // 1008

uint16_t Click(uint16_t id) {
    return GuiSignalType(id, GUI_SIGNAL_CLICK);
}

} // namespace

GuiBitmap gbSystemButtonBitmap = {GUI_BMP_TRANSPARENT, 8, 9, 3, 255, gSystem.data()};
GuiBitmap gbCloseBitmap = {GUI_BMP_TRANSPARENT, 8, 8, 7, 255, gClose.data()};
GuiBitmap gbMaximizeBitmap = {GUI_BMP_TRANSPARENT, 8, 9, 8, 255, gMaximize.data()};
GuiBitmap gbMinimizeBitmap = {GUI_BMP_TRANSPARENT, 8, 6, 7, 255, gMinimize.data()};
GuiBitmap gbRestoreBitmap = {GUI_BMP_TRANSPARENT, 8, 9, 9, 255, gRestore.data()};

GuiTitle::GuiTitle(const char* text, unsigned short style) : GuiTextThing(0, style, text, 1) {
    miTitleHeight = std::max(18, GuiFontHeight(mpTextFont) + 2);
    mRealRect = mClientRect = mClipRect = MakeGuiRect(0, 0, 100, miTitleHeight);
    mColors[0] = GUI_DARK_GREY;
    mColors[1] = 0x0000BF;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    AddStatus(GUI_ST_NONCLIENT | GUI_ST_MOVABLE);
    muThingType = GUI_TYPE_TITLE;
    auto attach = [&](GuiButton* b) {
        b->AddStatus(GUI_ST_NONCLIENT);
        b->RemoveStatus(GUI_ST_FOCUS);
        GuiThing::Add(b, 0);
    };
    const GuiRect corner = MakeGuiRect(2, 2, 15, 15), square = MakeGuiRect(0, 0, 16, 16);
    if (style & GUI_TITLE_SYSTEM_MENU) {
        mpSystemMenu = new GuiMenu(kSystemMenu, 1);
        mpSystemMenu->SetOwner(this);
        mpSystemButton = new GuiSystemButton(corner, &gbSystemButtonBitmap, GUI_ID_SYSTEM);
        attach(mpSystemButton);
    }
    if (style & GUI_TITLE_CLOSE) {
        mpCloseButton = new GuiBitmapButton(corner, &gbCloseBitmap, GUI_ID_CLOSE, GUI_BTN_ENABLED);
        attach(mpCloseButton);
    }
    if (style & GUI_TITLE_MIN_MAX) {
        mpMaximizeButton = new GuiBitmapButton(square, &gbMaximizeBitmap, kMaximizeId, GUI_BTN_ENABLED);
        mpMinimizeButton = new GuiBitmapButton(square, &gbMinimizeBitmap, GUI_ID_MINIMIZE, GUI_BTN_ENABLED);
        attach(mpMaximizeButton);
        attach(mpMinimizeButton);
    }
    if (!mpSystemMenu) return;
    if (!mpCloseButton)
        if (GuiMenuButton* e = menuEntry(GUI_ID_CLOSE)) e->SetEnabled(0);
    if (!mpMaximizeButton)
        for (uint16_t id : {uint16_t{GUI_ID_MINIMIZE}, kMaximizeId})
            if (GuiMenuButton* e = menuEntry(id)) e->SetEnabled(0);
}

GuiTitle::~GuiTitle() {
    hideMenu();
    delete mpSystemMenu;
}

GuiMenuButton* GuiTitle::menuEntry(unsigned short id) {
    return mpSystemMenu ? dynamic_cast<GuiMenuButton*>(mpSystemMenu->Find(id, 0)) : nullptr;
}

void GuiTitle::hideMenu() {
    if (mpSystemMenu && mpSystemMenu->Parent()) mpSystemMenu->Parent()->Remove(mpSystemMenu, 1);
}

void GuiTitle::showMenu() {
    if (!mpSystemMenu || !mpPresentation) return;
    const GuiRect min = mpSystemMenu->GetMinSize();
    const int l = mRealRect.left, t = mRealRect.bottom + 2;
    GuiSendResize(mpSystemMenu, MakeGuiRect(l, t, l + min.Width() - 1, t + min.Height() - 1));
    mpPresentation->Add(mpSystemMenu, 1);
}

void GuiTitle::AssignMenu(GuiMenuDescription* description) {
    if (!mpSystemMenu) return;
    hideMenu();
    delete mpSystemMenu;
    mpSystemMenu = new GuiMenu(description, 1);
    mpSystemMenu->SetOwner(this);
}

int GuiTitle::toParent(uint16_t type) {
    if (!mpParentThing) return 0;
    return mpParentThing->Message(GuiMakeMessage(type, mpParentThing, this));
}

void GuiTitle::placeButtons() {
    // Right to left, each 16 pixels wide.
    int x = mRealRect.right;
    const int top = mRealRect.top + 2;
    auto place = [&](GuiThing* b, int right) {
        if (!b) return;
        GuiSendResize(b, MakeGuiRect(right - 15, top, right, top + 15));
        x = right - 15;
    };
    place(mpCloseButton, x - 2);
    place(mpMaximizeButton, x - 2);
    place(mpMinimizeButton, x - 1);
    mClientRect.right = static_cast<int16_t>(x - 4);
}

void GuiTitle::SizeToParent() {
    GuiThing* p = mpParentThing;
    if (!p) return;
    const auto* w = dynamic_cast<GuiWindow*>(p);
    const bool maximised = w && w->mbMaximized;
    const uint16_t id = maximised ? uint16_t{GUI_ID_RESTORE} : kMaximizeId;
    if (mpMaximizeButton) {
        mpMaximizeButton->SetBitmap(maximised ? &gbRestoreBitmap : &gbMaximizeBitmap);
        mpMaximizeButton->mwThingId = id;
    }
    GuiMenuButton* e = menuEntry(kMaximizeId);
    if (!e) e = menuEntry(GUI_ID_RESTORE);
    if (e) {
        e->DataSet(maximised ? "Restore" : "Maximize");
        e->mwThingId = id;
    }
    GuiRect r = p->mRealRect;
    const uint16_t ps = p->mwStyleFlags;
    const int inset = (ps & GUI_BORDER_THICK) ? 4 : !(ps & GUI_BORDER_NONE) ? 2 : 0;
    if (inset) {
        r.left = static_cast<int16_t>(r.left + inset);
        r.top = static_cast<int16_t>(r.top + inset);
        r.right = static_cast<int16_t>(r.right - 3);
    }
    r.bottom = static_cast<int16_t>(r.top + miTitleHeight);
    GuiSendResize(this, r);
}

void GuiTitle::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    const int h = std::max(18, GuiFontHeight(font) + 2);
    const int d = h - miTitleHeight;
    if (!d) return;
    miTitleHeight = h;
    GuiThing* p = mpParentThing;
    const bool again = IsVisible() && p;
    // Out of the window and back, so that the window's client area follows the new height.
    if (again) p->Remove(this, 0);
    mRealRect.bottom = static_cast<int16_t>(mRealRect.bottom + d);
    mClientRect.bottom = static_cast<int16_t>(mClientRect.bottom + d);
    if (again) p->Add(this, 1);
}

int GuiTitle::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_RESIZE:
        GuiThing::Message(msg);
        placeButtons();
        return 0;
    case GM_SHOW:
    case GM_PARENT_RESIZED:
        SizeToParent();
        return GuiThing::Message(msg);
    case GM_BUTTON_DOWN: {
        hideMenu();
        const auto* w = dynamic_cast<GuiWindow*>(mpParentThing);
        if (!mpParentThing || (w && w->mbMaximized)) return 0;
        GuiMessage m = GuiMakeMessage(GM_MOVE_RESIZE, mpParentThing, this, GUI_BORDER_MOVE);
        m.SetDataPoint(msg.DataPoint());
        return mpParentThing->Message(m);
    }
    case GM_NOT_CURRENT:
        hideMenu();
        return GuiThing::Message(msg);
    default:
        break;
    }
    if (msg.Type == Click(GUI_ID_CLOSE)) return toParent(GM_CLOSE);
    if (msg.Type == Click(GUI_ID_SYSTEM)) {
        showMenu();
        return 0;
    }
    const struct {
        uint16_t id, type;
    } window[] = {{kMaximizeId, GM_MAXIMIZE}, {GUI_ID_MINIMIZE, GM_MINIMIZE}, {GUI_ID_RESTORE, GM_RESTORE}};
    for (const auto& w : window)
        if (msg.Type == Click(w.id)) {
            hideMenu();
            return toParent(w.type);
        }
    return GuiThing::Message(msg);
}

void GuiTitle::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const bool current = mpParentThing && (mpParentThing->mwStatusFlags & GUI_ST_CURRENT);
    const uint32_t fill = mColors[current ? 1 : 0];
    s.Rectangle(this, mRealRect, GuiColor{fill, fill, GUI_COLOR_FILL}, 0);
    if (mpTextData && mpTextFont) {
        const int x = (mpSystemButton ? mpSystemButton->mRealRect.right : mRealRect.left) + 4;
        const GuiRect saved = mClipRect;
        if (mClipRect.right > mClientRect.right) mClipRect.right = mClientRect.right;
        GuiColor c{mColors[current ? 3 : 2], fill, 0};
        s.DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(mRealRect.top + 2)},
                   mpTextData, c, mpTextFont, -1, 0);
        mClipRect = saved;
    }
    DrawChildren();
    s.EndDraw();
}
