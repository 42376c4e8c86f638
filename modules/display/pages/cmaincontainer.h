// The main container: the one top-level window of the display. It owns the loaded display
// configuration, the image container, the data manager, up to twelve pages and one page of a
// single colour, shows one page at a time over the boot-logo wallpaper, and carries the notice
// window and the external alarm window. It handles the messages of the display interface
// (display.h) in the GUI task.
#pragma once

#include <cstdint>
#include <vector>

#include "display/config/display_records.h"
#include "display/control/display.h"
#include "gui/window/guiwindow.h"

class CDataManager;
class CDispPage;
class CImageContainer;
class GuiPresentationManager;
class GuiPrompt;
struct awm_meas_in;

class CMainContainer : public GuiWindow {
public:
    CMainContainer(const GuiRect& rect, unsigned int style);
    ~CMainContainer() override;

    // What the application's GuiAppInitialize does: the container over the screen, added to the
    // presentation manager, drawn and presented.
    static CMainContainer* Install(GuiPresentationManager* pm);

    int Message(const GuiMessage& msg) override;
    void setupMeas();
    void stopMeas();
    void show_text(const char* text);
    void show_text2(const char* text1, const char* text2);
    void hide_text();
    void update_ext_wnd(bool force);
    void initDispCfgChan(CData** channel, awm_meas_in* input, unsigned short rate);

    int currentPage() const { return miCurrentPage; }
    CDispPage* page(int index) const {
        return (index >= 0 && index < int(DISP_PAGES)) ? mpPages[index] : nullptr;
    }
    CDispPage* colourPage() const { return mpColourPage; }
    uint32_t brightnessSwitchPos() const { return muBrightnessSwitchPos; }

private:
    void stepPage();
    void switchPage(uint32_t index);
    void showColour(uint32_t colour);
    void applyBrightness(uint32_t step);
    void dropNotice();
    void present();
    void retireManager(CDataManager* manager);

    display_s* mpConfig = nullptr;
    int32_t miCurrentPage = 0;
    CDispPage* mpPages[DISP_PAGES] = {};
    CDispPage* mpColourPage = nullptr;
    bool mbFlashMode = false;
    int32_t miFrameInterval = 1;
    GuiWindow* mpNoticeWin = nullptr;
    GuiPrompt* mpNotice1 = nullptr;
    GuiPrompt* mpNotice2 = nullptr;
    GuiWindow* mpAlarmWin = nullptr;
    GuiPrompt* mpAlarmPrompt = nullptr;
    GuiPrompt* mpAlarmMark = nullptr;
    CDataManager* mpDataManager = nullptr;
    CImageContainer* mpImages = nullptr;
    uint32_t muColour = 0xFFFFFF;
    uint32_t muBrightnessSwitchPos = 0;
    // Managers stopped whose lists have not all confirmed their stop yet.
    std::vector<CDataManager*> mRetired;
};
