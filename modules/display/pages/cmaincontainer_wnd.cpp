// The main container's overlays: the notice window (one or two lines on red) and the external
// alarm window that any module fills through display_alarm.
#include "display/fonts/vektafonts.h"
#include "display/pages/cdisppage.h"
#include "display/pages/cmaincontainer.h"
#include "gui/core/guiscreen.h"
#include "gui/core/guitextthing.h"

namespace {

// Copying, transparent prompt without border, centred.
constexpr unsigned short kTextStyle = 0x6081;
constexpr unsigned short kMarkStyle = 0x2081;

} // namespace

void CMainContainer::dropNotice() {
    if (!mpNoticeWin) return;
    for (GuiPrompt** p : {&mpNotice1, &mpNotice2}) {
        if (!*p) continue;
        mpNoticeWin->Remove(*p, 0);
        Destroy(*p);
        *p = nullptr;
    }
    Remove(mpNoticeWin, 1);
    Destroy(mpNoticeWin);
    mpNoticeWin = nullptr;
}

void CMainContainer::show_text(const char* text) {
    dropNotice();
    const int L = mRealRect.left, T = mRealRect.top;
    mpNoticeWin = new GuiWindow(MakeGuiRect(L + 15, T + 150, L + 625, T + 250), 1);
    mpNotice1 = new GuiPrompt(MakeGuiRect(L + 40, T + 160, L + 600, T + 240), text, 0, kTextStyle, 0);
    mpNotice1->SetFont(&VektaTiny);
    mpNoticeWin->Add(mpNotice1, 0);
    Add(mpNoticeWin, 0);
    mpNoticeWin->mColors[0] = 0xFF0000;
    if (mpScreen && mpNoticeWin->IsVisible()) {
        mpScreen->Invalidate(mpNoticeWin->mRealRect);
        mpNoticeWin->Draw();
    }
    MoveToFront(mpNoticeWin, 1);
    present();
}

void CMainContainer::show_text2(const char* text1, const char* text2) {
    dropNotice();
    const int L = mRealRect.left, T = mRealRect.top;
    mpNoticeWin = new GuiWindow(MakeGuiRect(L + 15, T + 130, L + 625, T + 270), 1);
    mpNotice1 = new GuiPrompt(MakeGuiRect(L + 40, T + 140, L + 600, T + 200), text1, 0, kTextStyle, 0);
    mpNotice2 = new GuiPrompt(MakeGuiRect(L + 40, T + 200, L + 600, T + 260), text2, 0, kTextStyle, 0);
    mpNotice1->SetFont(&VektaTiny);
    mpNotice2->SetFont(&VektaTiny);
    mpNoticeWin->Add(mpNotice1, 0);
    mpNoticeWin->Add(mpNotice2, 0);
    Add(mpNoticeWin, 0);
    mpNoticeWin->mColors[0] = 0xFF0000;
    if (mpScreen && mpNoticeWin->IsVisible()) {
        mpScreen->Invalidate(mpNoticeWin->mRealRect);
        mpNoticeWin->Draw();
    }
    MoveToFront(mpNoticeWin, 1);
    present();
}

void CMainContainer::hide_text() {
    dropNotice();
    present();
}

void CMainContainer::update_ext_wnd(bool force) {
    if (displayStatus(0) == 0) return;
    ExtAlarmGuard lock; // the record is filled by other tasks
    ext_alarm_s& a = ext_alarm;
    if (force) a.acknowledged = 0;
    const bool noPage = page(miCurrentPage) == nullptr;
    if (a.active && !a.acknowledged) {
        const GuiRect r = MakeGuiRect(a.x, a.y, a.x + a.width - 1, a.y + a.height - 1);
        if (!mpAlarmWin) {
            mpAlarmWin = new GuiWindow(r, 1);
            mpAlarmWin->mColors[0] = a.bg_colour;
            mpAlarmPrompt = new GuiPrompt(r, a.text, 0, kTextStyle, 0);
            mpAlarmPrompt->SetFont(&VektaNormal);
            mpAlarmPrompt->mColors[2] = a.text_colour;
            mpAlarmPrompt->mColors[0] = a.bg_colour;
            mpAlarmWin->Add(mpAlarmPrompt, 0);
            a.changed = 0;
            if (!mpAlarmMark && a.mark && mpScreen) {
                const int w = mpScreen->TextWidth("R", &VektaTiny, -1),
                          h = mpScreen->TextHeight("R", &VektaTiny);
                mpAlarmMark = new GuiPrompt(MakeGuiRect(a.x, a.y, a.x + w, a.y + h), "R", 0, kMarkStyle, 0);
                mpAlarmMark->SetFont(&VektaTiny);
                mpAlarmMark->mColors[0] = a.text_colour;
                mpAlarmMark->mColors[2] = a.bg_colour;
                mpAlarmWin->Add(mpAlarmMark, 0);
            }
        } else if (a.changed) {
            mpAlarmWin->Resize(r);
            mpAlarmPrompt->Resize(r);
            mpAlarmWin->mColors[0] = a.bg_colour;
            mpAlarmPrompt->DataSet(a.text);
            mpAlarmPrompt->mColors[2] = a.text_colour;
            mpAlarmPrompt->mColors[0] = a.bg_colour;
            if (mpAlarmMark) {
                mpAlarmMark->mColors[0] = a.text_colour;
                mpAlarmMark->mColors[2] = a.bg_colour;
            }
            if (mpScreen && mpAlarmWin->IsVisible()) {
                mpScreen->Invalidate(mpAlarmWin->mRealRect);
                mpAlarmWin->Draw();
            }
            a.changed = 0;
        }
        a.shown = 1;
        Add(mpAlarmWin, 1);
        if (noPage) present();
    } else if (a.shown && mpAlarmWin) {
        Remove(mpAlarmWin, 1);
        if (noPage) present();
        a.shown = 0;
    }
}
