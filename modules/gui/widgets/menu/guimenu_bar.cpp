// Pop-up menus and menu bars: built from a description array, laid out as a column or a row of
// entries, searched by text.
#include <cstring>

#include "gui/core/guiscreen.h"
#include "gui/widgets/menu/guimenu.h"

namespace {

// One entry per description, in array order.
void AddEntries(GuiThing* container, const GuiMenuDescription* d) {
    for (; d && (d->id || d->style); ++d) container->AddToEnd(new GuiMenuButton(*d), 1);
}

GuiMenuButton* FindIn(GuiThing* container, const char* text) {
    if (!container || !text) return nullptr;
    for (GuiThing* c = container->FirstChild(); c; c = c->NextSibling()) {
        auto* b = dynamic_cast<GuiMenuButton*>(c);
        if (!b || !b->Text()) continue;
        if (std::strcmp(b->Text(), text) == 0) return b;
        if (GuiMenuButton* deeper = b->FindButton(text)) return deeper;
    }
    return nullptr;
}

template <class F> void ForEachEntry(GuiThing* container, F&& f) {
    for (GuiThing* c = container->FirstChild(); c;) {
        GuiThing* next = c->NextSibling();
        if (c->muThingType == GUI_TYPE_MENU_BUTTON)
            if (auto* b = dynamic_cast<GuiMenuButton*>(c)) f(b);
        c = next;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// GuiMenu

GuiMenu::GuiMenu(const GuiMenuDescription* description, int takesFocus) : GuiThing(0, GUI_BORDER_NONE) {
    mRealRect = mClipRect = MakeGuiRect(0, 0, 100, 20);
    mClientRect = MakeGuiRect(2, 2, 98, 18);
    mColors[0] = GUI_LIGHT_GREY;
    AddStatus(0xC038);
    muThingType = GUI_TYPE_MENU;
    if (!takesFocus) RemoveStatus(GUI_ST_FOCUS);
    AddEntries(this, description);
}

GuiRect GuiMenu::GetMinSize() {
    int w = 0, h = 0;
    ForEachEntry(this, [&](GuiMenuButton* b) {
        const GuiRect r = b->GetMinSize(GUI_TYPE_MENU);
        if (r.right > w) w = r.right;
        h += r.Height();
    });
    return MakeGuiRect(0, 0, w + 6, h + 6);
}

void GuiMenu::PositionButtons() {
    int y = mRealRect.top + 2;
    ForEachEntry(this, [&](GuiMenuButton* b) {
        const int h = b->GetMinSize(GUI_TYPE_MENU).Height();
        GuiSendResize(b, MakeGuiRect(mRealRect.left + 2, y, mRealRect.right - 2, y + h - 1));
        y += h;
    });
}

void GuiMenu::CloseSiblings(GuiMenuButton* except) {
    ForEachEntry(this, [&](GuiMenuButton* b) {
        if (b == except) return;
        b->CloseMenu();
        if (b->mbHighlighted) b->Message(GuiMakeMessage(GM_POINTER_EXIT, b));
    });
}

GuiMenuButton* GuiMenu::FindButton(const char* text) {
    return FindIn(this, text);
}

void GuiMenu::SetOwner(GuiThing* owner) {
    ForEachEntry(this, [&](GuiMenuButton* b) { b->SetOwner(owner); });
}

int GuiMenu::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
        PositionButtons();
        GuiThing::Message(msg);
        return 0;
    case GM_CURRENT: {
        GuiThing::Message(msg);
        GuiMenuButton* first = nullptr;
        ForEachEntry(this, [&](GuiMenuButton* b) {
            if (!first && (b->Style() & GUI_MENU_ENABLED) && !b->IsSeparator()) first = b;
        });
        if (first) first->Message(GuiMakeMessage(GM_POINTER_ENTER, first));
        return 0;
    }
    case GM_NOT_CURRENT:
        // The menu vanishes when the focus leaves it.
        GuiThing::Message(msg);
        CloseSiblings(nullptr);
        if (mpParentThing) mpParentThing->Remove(this, 1);
        return 0;
    case GM_KEY:
        return 0;
    default:
        GuiThing::Message(msg);
        return 0;
    }
}

void GuiMenu::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    const GuiRect r = mRealRect;
    const int l = r.left, t = r.top, R = r.right, B = r.bottom;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s.Line(this, x1, y1, x2, y2, GuiColor{c, c, 0}, 1);
    };
    s.Rectangle(this, r, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    line(l + 1, t + 1, l + 1, B, GUI_WHITE);
    line(l + 1, t + 1, R - 1, t + 1, GUI_WHITE);
    line(l + 1, B - 1, R - 1, B - 1, GUI_DARK_GREY);
    line(R - 1, t + 1, R - 1, B - 1, GUI_DARK_GREY);
    line(l, B, R, B, GUI_BLACK);
    line(R, t, R, B, GUI_BLACK);
    DrawChildren();
    s.EndDraw();
}

// ---------------------------------------------------------------------------------------------
// GuiMenuBar

GuiMenuBar::GuiMenuBar(const GuiMenuDescription* description) : GuiThing(0, GUI_BORDER_NONE) {
    mRealRect = mClientRect = mClipRect = MakeGuiRect(0, 0, 100, GuiMenuFontHeight() + 6);
    mColors[0] = GUI_LIGHT_GREY;
    AddStatus(0x0038);
    muThingType = GUI_TYPE_MENU_BAR;
    AddEntries(this, description);
}

void GuiMenuBar::CloseSiblings(GuiMenuButton* except) {
    ForEachEntry(this, [&](GuiMenuButton* b) {
        if (b != except) b->CloseMenu();
    });
}

void GuiMenuBar::SizeToParent() {
    if (!mpParentThing) return;
    GuiRect r = mpParentThing->mRealRect;
    const uint16_t ps = mpParentThing->mwStyleFlags;
    if (ps & GUI_BORDER_THICK) {
        r.left = static_cast<int16_t>(r.left + 4);
        r.top = static_cast<int16_t>(r.top + 4);
        r.right = static_cast<int16_t>(r.right - 3);
    } else if (!(ps & GUI_BORDER_NONE)) {
        r.left = static_cast<int16_t>(r.left + 2);
        r.top = static_cast<int16_t>(r.top + 2);
        r.right = static_cast<int16_t>(r.right - 2);
    }
    for (GuiThing* c = mpParentThing->FirstChild(); c; c = c->NextSibling())
        if (c->muThingType == 2) { // the title bar
            r.top = static_cast<int16_t>(r.top + c->mRealRect.Height());
            break;
        }
    r.bottom = static_cast<int16_t>(r.top + 6 + GuiMenuFontHeight());
    GuiSendResize(this, r);
}

void GuiMenuBar::PositionButtons() {
    int x = mRealRect.left + 6;
    const int top = mRealRect.top + 2;
    ForEachEntry(this, [&](GuiMenuButton* b) {
        const GuiRect min = b->GetMinSize(GUI_TYPE_MENU_BAR);
        const int right = x + min.Width();
        GuiSendResize(b, MakeGuiRect(x, top, right, top + min.Height() - 1));
        x = right + 4;
    });
}

GuiMenuButton* GuiMenuBar::FindButton(const char* text) {
    return FindIn(this, text);
}

int GuiMenuBar::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW:
        ForEachEntry(this, [&](GuiMenuButton* b) { b->SetOwner(mpParentThing); });
        SizeToParent();
        PositionButtons();
        return GuiThing::Message(msg);
    case GM_PARENT_RESIZED:
        SizeToParent();
        PositionButtons();
        return GuiThing::Message(msg);
    case GM_NOT_CURRENT:
        GuiThing::Message(msg);
        CloseSiblings(nullptr);
        mbFlyover = 0;
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiMenuBar::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    mpScreen->Rectangle(this, mRealRect, GuiColor{mColors[0], mColors[0], GUI_COLOR_FILL}, 0);
    DrawChildren();
    mpScreen->EndDraw();
}
