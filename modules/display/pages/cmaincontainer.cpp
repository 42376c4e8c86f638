// The main container: construction, the message table, loading and stopping the configuration,
// page switching, the colour page and the brightness steps.
#include "display/pages/cmaincontainer.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "display/config/dispxml_load.h"
#include "display/control/display_sig.h"
#include "display/control/displayctrl.h"
#include "display/data/cdata.h"
#include "display/pages/bootlogo.h"
#include "display/pages/cdisppage.h"
#include "display/pages/cimagecontainer.h"
#include "framework/board_io.h"
#include "framework/syslog.h"
#include "gui/core/guiscreen.h"
#include "gui/window/guipm.h"
#include "platform/board/display_hw.h"

namespace {

constexpr unsigned short kRaster20ms = 4;

void ResetCounters() {
    SeramSigPage& sig = seramSig();
    dispSigPut(sig.display_err, uint8_t{0});
    dispSigPut(sig.display_elements_skipped, uint16_t{0});
    dispSigPut(sig.display_elements_updated, uint16_t{0});
}

} // namespace

CMainContainer::CMainContainer(const GuiRect& rect, unsigned int style) : GuiWindow(rect, style) {
    mColors[0] = mColors[1] = 0xFFFFFF;
    SetWallpaper(&gbBootLogoBitmap, 0);
    DispChannelGuard lock;
    CDispPageChannels::reset_chan = CDispPageChannels::page_chan = CDispPageChannels::brightness_chan =
        nullptr;
}

CMainContainer::~CMainContainer() {
    stopMeas();
    // The alarm window is kept while it is hidden; then it is no child that goes with the container.
    if (mpAlarmWin && mpAlarmWin->Parent() != this) delete mpAlarmWin;
    for (CDataManager* m : mRetired) delete m;
    mRetired.clear();
}

CMainContainer* CMainContainer::Install(GuiPresentationManager* pm) {
    auto* c = new CMainContainer(MakeGuiRect(0, 0, 640, 480), 1);
    if (!pm) return c;
    pm->Add(c, 0);
    if (mpScreen) {
        mpScreen->Invalidate(pm->mRealRect);
        pm->Draw();
        mpScreen->FlushScreen();
        mpScreen->WaitFlushFinish();
    }
    return c;
}

void CMainContainer::present() {
    if (!mpScreen) return;
    mpScreen->FlushScreen();
    mpScreen->WaitFlushFinish();
}

int CMainContainer::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_BUTTON_DOWN:
        stepPage();
        return 0;
    case DISP_MSG_START:
        setupMeas();
        if (mpNoticeWin) MoveToFront(mpNoticeWin, 1);
        return 0;
    case DISP_MSG_STOP:
        stopMeas();
        present();
        return 0;
    case DISP_MSG_COLOR:
        showColour(static_cast<uint32_t>(msg.DataWord(0)));
        return 0;
    case DISP_MSG_SWITCH_PAGE:
        switchPage(static_cast<uint32_t>(msg.DataWord(0)));
        return 0;
    case 0x4005:
    case 0x4006:
        return 0;
    case DISP_MSG_BRIGHTNESS:
        applyBrightness(static_cast<uint32_t>(msg.DataWord(0)));
        return 0;
    case DISP_MSG_UPDATE_RATE:
        if (CDispPage* p = page(miCurrentPage)) {
            p->setFrameRate(msg.DataWord(0));
            miFrameInterval = msg.DataWord(0);
        }
        return 0;
    case DISP_MSG_FLASH_START:
    case DISP_MSG_FLASH_STOP:
        if (CDispPage* p = page(miCurrentPage)) {
            mbFlashMode = msg.Type == DISP_MSG_FLASH_START;
            p->setFlashMode(mbFlashMode);
        }
        return 0;
    case DISP_MSG_TXT_SHOW:
        show_text(static_cast<const char*>(msg.DataPtr(0)));
        return 0;
    case DISP_MSG_TXT_SHOW2:
        show_text2(static_cast<const char*>(msg.DataPtr(0)), static_cast<const char*>(msg.DataPtr(1)));
        return 0;
    case DISP_MSG_TXT_SHOW_FREE:
        if (auto* text = static_cast<char*>(msg.DataPtr(0))) {
            char copy[DISP_ALARM_TEXT];
            std::snprintf(copy, sizeof copy, "%s", text);
            std::free(text);
            show_text(copy);
        }
        return 0;
    case DISP_MSG_TXT_HIDE:
        hide_text();
        return 0;
    case DISP_MSG_UPDATE_EXT_WND:
        update_ext_wnd(false);
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void CMainContainer::stepPage() {
    CDispPage* current = page(miCurrentPage);
    int index = (miCurrentPage >= 0 && miCurrentPage < int(DISP_PAGES)) ? miCurrentPage : 0;
    for (unsigned n = 0; n < DISP_PAGES; ++n) {
        index = (index + 1) % int(DISP_PAGES);
        if (mpPages[index]) break;
    }
    miCurrentPage = index;
    CDispPage* next = mpPages[index];
    if (current) Remove(current, next ? 0 : 1);
    if (next) {
        Center(next);
        Add(next, 1);
    }
    update_ext_wnd(true);
}

void CMainContainer::switchPage(uint32_t index) {
    ResetCounters();
    if (index >= DISP_PAGES) return; // posted clamped already; an index is never trusted
    if (CDispPage* current = page(miCurrentPage)) {
        Remove(current, 1);
        if (!mpPages[index]) present();
    }
    miCurrentPage = static_cast<int32_t>(index);
    if (CDispPage* p = mpPages[index]) {
        p->SwitchedPage();
        Add(p, 1);
        p->setFrameRate(miFrameInterval);
        p->setFlashMode(mbFlashMode);
    }
    if (mpNoticeWin) MoveToFront(mpNoticeWin, 1);
    update_ext_wnd(true);
}

void CMainContainer::showColour(uint32_t colour) {
    muColour = colour;
    if (!mpColourPage) {
        const int l = mRealRect.left, t = mRealRect.top;
        mpColourPage =
            new CDispPage(l, t, l + 639, t + 479, static_cast<int>(colour), static_cast<int>(colour));
        Add(mpColourPage, 0);
    }
    mpColourPage->mColors[0] = muColour;
    if (mpScreen && mpColourPage->IsVisible()) {
        mpScreen->Invalidate(mpColourPage->mRealRect);
        mpColourPage->Draw();
    }
    MoveToFront(mpColourPage, 1);
}

void CMainContainer::applyBrightness(uint32_t step) {
    if (!mpConfig || step >= DISP_PAGES) return;
    muBrightnessSwitchPos = step;
    if (step >= mpConfig->perc_cnt || step >= DISP_MAX_PERC) return;
    const float percent = mpConfig->perc[step];
    PwmOut_Set(0, display_brightness_bg(percent), 1000.0f);
    if (volatile uint32_t* reg = displayhw_saturation()) {
        *reg = display_brightness_colSat(percent);
        *reg = *reg & 0xFF;
    }
}

void CMainContainer::initDispCfgChan(CData** channel, awm_meas_in* input, unsigned short rate) {
    if (!channel || !input) return;
    *channel = nullptr;
    if (input->adr == 0 || !mpDataManager) return;
    auto* data = new (std::nothrow) CData(input);
    if (!data) {
        syslogx(LOG_PRIO_ERR, "CMainContainer::initDispPageConfigChannel(): new CData() failed");
        return;
    }
    mpDataManager->addData(data, rate);
    *channel = data;
}

void CMainContainer::setupMeas() {
    InitClient();
    mColors[0] = 0xFFFFFF;
    miCurrentPage = 0;
    stopMeas();
    display_s* config = nullptr;
    if (XmlLoad("cfg:/display.xml", &config) != 0) {
        XmlFreeDisplay(config);
        config = nullptr;
        char text[100];
        xml_get_error_msg(text, sizeof text);
        syslogx(LOG_PRIO_ERR2, "MainContainer::setupMeas - XML:%s", text);
    }
    mpConfig = config;
    ResetCounters();
    if (!mpConfig) {
        syslogx(LOG_PRIO_ERR2, "MainContainer::setupMeas - reading of display control file failed");
    } else {
        syslogx(LOG_PRIO_INFO2,
                "MainContainer::setupMeas - reading display control file, configuration with %d pages",
                static_cast<int>(mpConfig->page_cnt));
        mpImages = new CImageContainer(mpConfig);
        mpDataManager = new CDataManager();
        {
            DispChannelGuard lock;
            initDispCfgChan(&CDispPageChannels::reset_chan, &mpConfig->reset_input, kRaster20ms);
            initDispCfgChan(&CDispPageChannels::page_chan, &mpConfig->page_input, kRaster20ms);
            initDispCfgChan(&CDispPageChannels::brightness_chan, &mpConfig->brightness_input, kRaster20ms);
        }
        // An element shown on every page always makes every slot a page.
        bool shared = false;
        for (const display_elem_s* e = mpConfig->all_pages.elems; e && !shared; e = e->next)
            shared = !CData::containsVisChan(e);
        int count = 0;
        const GuiRect& r = mRealRect;
        for (unsigned i = 0; i < DISP_PAGES; ++i) {
            if (!shared && !mpConfig->pages[i].valid) continue;
            mpPages[i] = new CDispPage(r.left, r.top, mpConfig->x_res, mpConfig->y_res, static_cast<int>(i),
                                       &mpConfig->pages[i], &mpConfig->all_pages, mpDataManager, mpImages);
            ++count;
        }
        const uint8_t start = displayCtrl_start(static_cast<uint8_t>(count - 1));
        miCurrentPage = start - 1;
        if (CDispPage* p = page(miCurrentPage)) Add(p, 1);
        const uint8_t step = dispSigGet(seramSig().display_brightness);
        muBrightnessSwitchPos = step ? step - 1u : 0u;
        displayBrightness(muBrightnessSwitchPos);
        mpDataManager->createMeaslists();
        mpDataManager->startMeasurement();
        if (count) displayMaxPages(static_cast<uint32_t>(count - 1));
    }
    displayStatus(1);
    update_ext_wnd(false);
}

void CMainContainer::retireManager(CDataManager* manager) {
    if (manager) mRetired.push_back(manager);
    for (auto it = mRetired.begin(); it != mRetired.end();) {
        if ((*it)->allStopped()) {
            delete *it;
            it = mRetired.erase(it);
        } else {
            ++it;
        }
    }
}

void CMainContainer::stopMeas() {
    // The control task first, then the inputs it reads, then the lists that feed them.
    displayCtrl_stop();
    {
        DispChannelGuard lock;
        CDispPageChannels::reset_chan = CDispPageChannels::page_chan = CDispPageChannels::brightness_chan =
            nullptr;
    }
    CDataManager* manager = mpDataManager;
    mpDataManager = nullptr;
    if (manager) manager->stopMeasurement();
    retireManager(manager);
    for (CDispPage*& p : mpPages) {
        if (p) Destroy(p);
        p = nullptr;
    }
    if (mpColourPage) Destroy(mpColourPage);
    mpColourPage = nullptr;
    XmlFreeDisplay(mpConfig);
    mpConfig = nullptr;
    delete mpImages;
    mpImages = nullptr;
}
