// The posting functions of the display interface: one GUI message each, handled by the main
// container in the GUI task.
#include <cstdio>
#include <cstdlib>

#include "display/control/display.h"
#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guithing.h"

namespace {

int Post(GuiMessage& m) {
    if (gbGuiInitialized != 1 || !GuiThing::mpMessageQueue) return -1;
    return GuiThing::mpMessageQueue->TryPush(&m) ? 0 : -1;
}

int PostWords(uint16_t type, int32_t word0 = 0, int32_t word1 = 0) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataWord(0, word0);
    m.SetDataWord(1, word1);
    return Post(m);
}

int PostTexts(uint16_t type, const char* text1, const char* text2 = nullptr) {
    GuiMessage m = GuiMakeMessage(type);
    m.SetDataPtr(0, const_cast<char*>(text1));
    m.SetDataPtr(1, const_cast<char*>(text2));
    return Post(m);
}

int PageStep() {
    GuiMessage m = GuiMakeMessage(GM_BUTTON_DOWN);
    m.SetDataPoint(GuiPoint{DISP_PAGE_STEP_X, DISP_PAGE_STEP_Y});
    return Post(m);
}

} // namespace

int displayStart() {
    return PostWords(DISP_MSG_START);
}

int displayStop() {
    return PostWords(DISP_MSG_STOP);
}

int displayColor(uint32_t colour) {
    return PostWords(DISP_MSG_COLOR, static_cast<int32_t>(colour));
}

int displaySwitchPage(unsigned int page) {
    return PostWords(DISP_MSG_SWITCH_PAGE, static_cast<int32_t>(page < DISP_PAGES ? page : DISP_PAGES - 1));
}

int displayNext() {
    return PageStep();
}

int displayPrev() {
    return PageStep(); // the same press: it steps forward
}

int displayBrightness(uint32_t step) {
    return PostWords(DISP_MSG_BRIGHTNESS, static_cast<int32_t>(step));
}

int displaySetUpdateRate(uint32_t ticks) {
    return PostWords(DISP_MSG_UPDATE_RATE, static_cast<int32_t>(ticks));
}

int displayFlashStart() {
    return PostWords(DISP_MSG_FLASH_START);
}

int displayFlashStop() {
    return PostWords(DISP_MSG_FLASH_STOP);
}

int displayTxtShow(const char* text) {
    return PostTexts(DISP_MSG_TXT_SHOW, text);
}

int displayTxtShow2(const char* text1, const char* text2) {
    return PostTexts(DISP_MSG_TXT_SHOW2, text1, text2);
}

int displayTxtShowFree(const char* text) {
    if (gbGuiInitialized != 1) return -1;
    auto* copy = static_cast<char*>(std::malloc(DISP_ALARM_TEXT));
    if (!copy) return -1;
    std::snprintf(copy, DISP_ALARM_TEXT, "%s", text ? text : "");
    if (PostTexts(DISP_MSG_TXT_SHOW_FREE, copy) != 0) {
        std::free(copy); // nobody else will
        return -1;
    }
    return 0;
}

int displayTxtHide() {
    return PostWords(DISP_MSG_TXT_HIDE);
}

int displayUpdateExtWnd() {
    return PostWords(DISP_MSG_UPDATE_EXT_WND);
}
