// The multi-line message window (its message in a word-wrapping text box that grows the window
// until the text fits) and the progress window.
#include <algorithm>
#include <cstring>

#include "gui/core/guiscreen.h"
#include "gui/widgets/dialog/guidialog.h"
#include "gui/widgets/dialog/guidialog_parts.h"
#include "gui/window/guibutton.h"

namespace {

constexpr int kMessageFont = 14;
// A message never makes the box taller than this.
constexpr int kMaxBoxHeight = 2000;

} // namespace

GuiMLMessageWindow::GuiMLMessageWindow(const GuiRect& rect, const char* title, const char* message,
                                       unsigned int style, GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(rect, style), mpOwner(owner), mpIcon(icon) {
    muThingType = GUI_TYPE_ML_MESSAGE_WINDOW;
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    mpTitle = guidialog::AddTitle(this, title);
    CalcButtonWidth();
    CalcButtonTop();
    AddTextBox(message);
    AddButtons();
}

GuiMLMessageWindow::GuiMLMessageWindow(const char* title, const char* message, unsigned int style,
                                       GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(MakeGuiRect(0, 0, 0, 0), style), mpOwner(owner), mpIcon(icon) {
    muThingType = GUI_TYPE_ML_MESSAGE_WINDOW;
    mColors[0] = GUI_LIGHT_GREY;
    mColors[2] = GUI_BLACK;
    const int h = (style & GUI_MW_BUTTONS) ? guidialog::ButtonFontHeight() : 0;
    mRealRect = MakeGuiRect(0, 0, 79, h + 25);
    InitClient();
    int titleWidth = 0;
    if (title) {
        mpTitle = guidialog::AddTitle(this, title);
        AddStatus(GUI_ST_SIZEABLE);
        titleWidth = GuiFontTextWidth(title, mpTitle->Font()) + 16;
        guidialog::Grow(this, mpTitle->mRealRect.Height());
    }
    CalcButtonWidth();
    int w = std::max(titleWidth, miRowWidth);
    if (w == 0) w = 80;
    if (icon) {
        w += 24 + icon->width;
        guidialog::Grow(this, icon->height + 24);
    }
    mRealRect.right = static_cast<int16_t>(mRealRect.left + w);
    guidialog::FitClient(this);
    CalcButtonTop();
    AddTextBox(message);
    guidialog::Centre(this, owner);
    AddButtons();
}

void GuiMLMessageWindow::CalcButtonWidth() {
    miButtonWidth = guidialog::ButtonWidth();
    miRowWidth = guidialog::RowWidth(mwStyleFlags, miButtonWidth);
}

void GuiMLMessageWindow::CalcButtonTop() {
    miButtonTop =
        mClientRect.bottom - ((mwStyleFlags & GUI_MW_BUTTONS) ? guidialog::ButtonFontHeight() + 16 : 0);
}

void GuiMLMessageWindow::AddButtons() {
    CalcButtonTop(); // the text box may have made the window taller
    const GuiRect& c = mClientRect;
    guidialog::AddRow(this, mwStyleFlags, c.left + (c.Width() - miRowWidth) / 2, miButtonTop, c.bottom - 4,
                      miButtonWidth);
}

void GuiMLMessageWindow::AddTextBox(const char* text) {
    mpTextBox = nullptr;
    if (!text) return;
    const GuiRect& c = mClientRect;
    const int iconW = mpIcon ? mpIcon->width : 0;
    GuiRect r = MakeGuiRect(mpIcon ? c.left + iconW + 24 : c.left + 8, c.top + (mpIcon ? 12 : 8), c.right - 8,
                            miButtonTop - 8);
    auto* box = new GuiTextBox(r, 0, static_cast<unsigned short>(0x4441 | (mwStyleFlags & GUI_STYLE_COPY)),
                               text, static_cast<int>(std::strlen(text)) + 1);
    box->SetFont(mFontTable[kMessageFont]);
    box->SetColor(0, mColors[0]);
    const int fh = GuiFontHeight(mFontTable[kMessageFont]);
    int grown = 0;
    while (int64_t{box->TotalLines()} * fh > r.Height() + grown && r.Height() + grown < kMaxBoxHeight)
        grown += fh + 3;
    if (grown) {
        r.bottom = static_cast<int16_t>(r.bottom + grown);
        box->Resize(r);
        guidialog::Grow(this, grown);
    }
    mpTextBox = box;
    Add(box, 0);
}

int GuiMLMessageWindow::Message(const GuiMessage& msg) {
    return guidialog::MessageWindowMessage(this, mpTitle, mpOwner, msg);
}

void GuiMLMessageWindow::Draw() {
    if (!mpScreen || !(IsVisible() || mpScreen->IsDrawingToBitmap())) return;
    GuiScreen& s = *mpScreen;
    s.BeginDraw(this);
    GuiWindow::Draw();
    if (mpIcon) {
        const GuiRect saved = mClipRect;
        mClipRect &= mClientRect;
        s.Bitmap(
            this,
            GuiPoint{static_cast<int16_t>(mClientRect.left + 12), static_cast<int16_t>(mClientRect.top + 12)},
            mpIcon, 0);
        mClipRect = saved;
    }
    s.EndDraw();
}

// --- GuiProgressWindow ------------------------------------------------------------------------------

GuiProgressWindow::GuiProgressWindow(const GuiRect& rect, const char* title, const char* message,
                                     unsigned int style, unsigned short barStyle, GuiBitmap* icon,
                                     GuiThing* owner)
    : GuiMessageWindow(rect, title, message, style, icon, owner), mwBarStyle(barStyle) {
    AddProgBar();
}

GuiProgressWindow::GuiProgressWindow(const char* title, const char* message, unsigned int style,
                                     unsigned short barStyle, GuiBitmap* icon, GuiThing* owner)
    : GuiMessageWindow(title, message, style, icon, owner), mwBarStyle(barStyle) {
    const bool buttons = style & GUI_MW_BUTTONS;
    guidialog::Grow(this, buttons ? 40 : 24);
    for (GuiThing* c = mpFirstChild; c; c = c->NextSibling()) {
        if (c->muThingType != GUI_TYPE_TEXT_BUTTON) continue;
        GuiRect r = c->mRealRect;
        r.Shift(0, 40);
        c->Resize(r);
    }
    AddProgBar();
}

void GuiProgressWindow::AddProgBar() {
    const GuiRect& c = mClientRect;
    const bool buttons = mwStyleFlags & GUI_MW_BUTTONS;
    const GuiRect r = buttons ? MakeGuiRect(c.left + 10, c.bottom - 56, c.right - 10, c.bottom - 32)
                              : MakeGuiRect(c.left + 10, c.bottom - 28, c.right - 10, c.bottom - 4);
    mpProgressBar = new GuiProgressBar(r, mwBarStyle, 0, 100, 0);
    Add(mpProgressBar, 0);
}
