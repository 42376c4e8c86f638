#include "gui/widgets/dialog/guidialog.h"

#include <algorithm>

#include "gui/core/guiscreen.h"
#include "gui/widgets/dialog/guidialog_parts.h"
#include "gui/window/guibutton.h"

namespace {

struct Standard {
    uint16_t bit;
    const char* text;
    uint16_t id;
};
constexpr Standard kButtons[] = {
    {GUI_MW_OK, "OK", GUI_ID_OK},          {GUI_MW_YES, "Yes", GUI_ID_YES},
    {GUI_MW_NO, "No", GUI_ID_NO},          {GUI_MW_ABORT, "Abort", GUI_ID_ABORT},
    {GUI_MW_RETRY, "Retry", GUI_ID_RETRY}, {GUI_MW_CANCEL, "Cancel", GUI_ID_CANCEL},
};

constexpr int kMessageFont = 14;

} // namespace

bool GuiIsAnswerClick(uint16_t type) {
    if (type < GM_SIGNAL || type >= GM_USER || ((type - GM_SIGNAL) & 15) != GUI_SIGNAL_CLICK) return false;
    const int id = (type - GM_SIGNAL) >> 4;
    return id == GUI_ID_CLOSE || (id >= GUI_ID_OK && id <= GUI_ID_RETRY);
}

namespace guidialog {

int ButtonWidth() {
    return GuiFontTextWidth("Cancel", GuiTextThing::mFontTable[3]) + 8;
}

int ButtonFontHeight() {
    return GuiFontHeight(GuiTextThing::mFontTable[3]);
}

int RowWidth(unsigned style, int buttonWidth) {
    int n = 0;
    for (const Standard& b : kButtons) n += (style & b.bit) ? 1 : 0;
    return n ? n * buttonWidth + (n - 1) * 8 : 0;
}

void AddRow(GuiWindow* w, unsigned style, int left, int top, int bottom, int buttonWidth) {
    GuiRect r = MakeGuiRect(left, top, left + buttonWidth, bottom);
    for (const Standard& b : kButtons) {
        if (!(style & b.bit)) continue;
        w->AddToEnd(new GuiTextButton(r, b.text, b.id, GUI_BTN_ENABLED), 0);
        r.Shift(buttonWidth + 8, 0);
    }
}

GuiTitle* AddTitle(GuiWindow* w, const char* text) {
    if (!text) return nullptr;
    auto* t = new GuiTitle(text, GUI_STYLE_COPY);
    w->Add(t, 0);
    w->mClientRect.top = static_cast<int16_t>(w->mClientRect.top + t->mRealRect.Height());
    return t;
}

int FrameInset(unsigned style) {
    if (style & GUI_BORDER_THIN) return 1;
    if (style & (GUI_BORDER_RAISED | GUI_BORDER_RECESSED)) return 2;
    if (style & GUI_BORDER_THICK) return 5;
    return 0;
}

void FitClient(GuiWindow* w) {
    const int inset = FrameInset(w->mwStyleFlags);
    w->mClientRect.right = static_cast<int16_t>(w->mRealRect.right - inset);
    w->mClientRect.bottom = static_cast<int16_t>(w->mRealRect.bottom - inset);
}

void Grow(GuiWindow* w, int n) {
    w->mRealRect.bottom = static_cast<int16_t>(w->mRealRect.bottom + n);
    w->mClientRect.bottom = static_cast<int16_t>(w->mClientRect.bottom + n);
}

void Centre(GuiWindow* w, GuiThing* owner) {
    GuiThing* around = owner ? owner : GuiThing::mpPresentation;
    if (around) around->Center(w);
}

void Answer(GuiWindow* w, GuiThing* owner, uint16_t type, int16_t param, bool stay) {
    if (owner) owner->Message(GuiMakeMessage(type, owner, w, param));
    if (!stay) w->Destroy(w);
}

} // namespace guidialog

// --- GuiDialog --------------------------------------------------------------------------------------

GuiDialog::GuiDialog(const GuiRect& rect, const char* title, GuiThing* owner, unsigned int style)
    : GuiDecoratedWindow(rect, style), mpOwner(owner) {
    init(title);
}

GuiDialog::GuiDialog(const char* title, GuiThing* owner, unsigned int style)
    : GuiDecoratedWindow(style), mpOwner(owner) {
    init(title);
}

void GuiDialog::init(const char* title) {
    muThingType = GUI_TYPE_DIALOG;
    mColors[0] = GUI_LIGHT_GREY;
    if (!title) return;
    Add(new GuiTitle(title, GUI_STYLE_COPY | GUI_TITLE_CLOSE | GUI_TITLE_SYSTEM_MENU), 0);
    AddStatus(GUI_ST_SIZEABLE);
}

int GuiDialog::Message(const GuiMessage& msg) {
    if (msg.Type == GM_SHOW) {
        const int r = GuiDecoratedWindow::Message(msg);
        if (!mpOwner) mpOwner = mpParentThing;
        return r;
    }
    if (msg.Type == GuiSignalType(GUI_ID_NOTEXT, GUI_SIGNAL_CLICK)) {
        if (!mbModal) guidialog::Answer(this, mpOwner, GM_DIALOG_RESULT, msg.Param, true);
        return 0;
    }
    if (GuiIsAnswerClick(msg.Type) && !mbModal) {
        guidialog::Answer(this, mpOwner, GM_DIALOG_RESULT, msg.Param, false);
        return 0;
    }
    return GuiDecoratedWindow::Message(msg);
}

// --- GuiMessageWindow -------------------------------------------------------------------------------

GuiMessageWindow::GuiMessageWindow(const GuiRect& rect, const char* title, const char* message,
                                   unsigned int style, GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(rect, style), mpOwner(owner), mpIcon(icon) {
    muThingType = GUI_TYPE_MESSAGE_WINDOW;
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mbOwnsText = 1;
    GuiTextThing::DataSet(message);
    mpTextFont = mFontTable[kMessageFont];
    mpTitle = guidialog::AddTitle(this, title);
    CalcButtonWidth();
    miMessageWidth = message ? GuiFontTextWidth(message, mpTextFont) : 0;
    AddButtons();
}

GuiMessageWindow::GuiMessageWindow(const char* title, const char* message, unsigned int style,
                                   GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(MakeGuiRect(0, 0, 0, 0), style), mpOwner(owner), mpIcon(icon) {
    muThingType = GUI_TYPE_MESSAGE_WINDOW;
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mbOwnsText = 1;
    GuiTextThing::DataSet(message);
    mpTextFont = mFontTable[kMessageFont];
    const bool buttons = style & GUI_MW_BUTTONS;
    const int h = buttons ? guidialog::ButtonFontHeight() : 0;
    mRealRect = MakeGuiRect(0, 0, 79, h + 25);
    InitClient();
    int titleWidth = 0;
    if (title) {
        mpTitle = guidialog::AddTitle(this, title);
        AddStatus(GUI_ST_SIZEABLE);
        titleWidth = GuiFontTextWidth(title, mpTitle->Font()) + 16;
        guidialog::Grow(this, mpTitle->mRealRect.Height());
    }
    if (message) {
        miMessageWidth = GuiFontTextWidth(message, mpTextFont) + 16;
        guidialog::Grow(this, GuiFontHeight(mpTextFont) + 8);
    }
    CalcButtonWidth();
    int w = std::max({miMessageWidth, titleWidth, miRowWidth});
    if (w == 0) w = 80;
    if (icon) {
        w = std::max<int>(w, miMessageWidth + icon->width + 24);
        guidialog::Grow(this, icon->height + (message ? 0 : 24));
    }
    mRealRect.right = static_cast<int16_t>(mRealRect.left + w);
    guidialog::FitClient(this);
    guidialog::Centre(this, owner);
    AddButtons();
}

void GuiMessageWindow::CalcButtonWidth() {
    miButtonWidth = guidialog::ButtonWidth();
    miRowWidth = guidialog::RowWidth(mwStyleFlags, miButtonWidth);
}

void GuiMessageWindow::AddButtons() {
    const GuiRect& c = mClientRect;
    guidialog::AddRow(this, mwStyleFlags, c.left + (c.Width() - miRowWidth) / 2,
                      c.bottom - guidialog::ButtonFontHeight() - 10, c.bottom - 4, miButtonWidth);
}

int guidialog::MessageWindowMessage(GuiWindow* w, GuiTitle* title, GuiThing*& owner, const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_SHOW: {
        if (title) {
            GuiMessage m = GuiMakeMessage(GM_RESIZE, title);
            const int top = w->mRealRect.top + 2;
            m.SetDataRect(MakeGuiRect(w->mClientRect.left, top, w->mClientRect.right,
                                      top + title->mRealRect.Height() - 1));
            title->Message(m);
        }
        const int r = w->GuiWindow::Message(msg);
        if (!owner) owner = w->Parent();
        return r;
    }
    case GM_CURRENT:
    case GM_NOT_CURRENT: {
        const int r = w->GuiWindow::Message(msg);
        if (title && title->IsVisible() && GuiThing::mpScreen) {
            GuiThing::mpScreen->Invalidate(title->mClipRect);
            title->Draw();
        }
        return r;
    }
    default:
        break;
    }
    if (GuiIsAnswerClick(msg.Type) && !w->mbModal) {
        Answer(w, owner, GM_MESSAGE_ANSWER, static_cast<int16_t>(msg.Type), false);
        return 0;
    }
    return w->GuiWindow::Message(msg);
}

int GuiMessageWindow::Message(const GuiMessage& msg) {
    return guidialog::MessageWindowMessage(this, mpTitle, mpOwner, msg);
}

void GuiMessageWindow::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    GuiWindow::Draw();
    const GuiRect saved = mClipRect;
    mClipRect &= mClientRect;
    const GuiRect& c = mClientRect;
    int y = c.top + 8, x = c.left + (c.Width() - miMessageWidth) / 2 + 8;
    if (mpIcon) {
        s.Bitmap(this, GuiPoint{static_cast<int16_t>(c.left + 12), static_cast<int16_t>(c.top + 12)}, mpIcon,
                 0);
        y += mpIcon->height / 2;
        x = c.left + mpIcon->width + 23;
    }
    if (mpTextData && mpTextFont) {
        GuiColor colour{mColors[2], GUI_LIGHT_GREY, 0};
        s.DrawText(this, GuiPoint{static_cast<int16_t>(x), static_cast<int16_t>(y)}, mpTextData, colour,
                   mpTextFont, -1, 0);
    }
    mClipRect = saved;
    s.EndDraw();
}
