// The display's start-up and its C interface. Other tasks never touch a widget: every function
// here either reads a small shared value or posts one GUI message into the GUI task's queue, which
// the main container handles in the GUI task "r_GuiMn".
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/rtos/rtos.h"

class CData;

// Display messages (application messages of the GUI).
enum : uint16_t {
    DISP_MSG_START = 0x4001,
    DISP_MSG_STOP = 0x4002,
    DISP_MSG_COLOR = 0x4003,
    DISP_MSG_SWITCH_PAGE = 0x4004,
    DISP_MSG_BRIGHTNESS = 0x4007,
    DISP_MSG_UPDATE_RATE = 0x4008,
    DISP_MSG_FLASH_START = 0x4009,
    DISP_MSG_FLASH_STOP = 0x400A,
    DISP_MSG_TXT_SHOW = 0x400B,
    DISP_MSG_TXT_SHOW2 = 0x400C,
    DISP_MSG_TXT_SHOW_FREE = 0x400D,
    DISP_MSG_TXT_HIDE = 0x400E,
    DISP_MSG_UPDATE_EXT_WND = 0x400F,
};

inline constexpr unsigned DISP_PAGES = 12;
// Where the page-step press lands: inside the main container, which steps the page.
inline constexpr int16_t DISP_PAGE_STEP_X = 0;
inline constexpr int16_t DISP_PAGE_STEP_Y = 0;
inline constexpr int DISP_ALARM_TEXT = 255; // 254 characters and the terminator

// The external alarm window that any module can fill.
struct ext_alarm_s {
    uint8_t shown;        // added to the main container
    uint8_t acknowledged; // suppressed until the next change
    uint8_t active;       // wanted by the caller
    uint8_t changed;      // position, colours or text changed since the last update
    uint8_t mark;         // carries the small inverse "R" mark
    uint16_t x;
    uint16_t y;
    uint16_t width;
    uint16_t height;
    uint32_t text_colour; // 0x00RRGGBB
    uint32_t bg_colour;
    char text[DISP_ALARM_TEXT]; // every space stored as 0x81
};
extern ext_alarm_s ext_alarm;

// The one small lock that display_alarm and the GUI task's reading of ext_alarm share.
class ExtAlarmGuard {
public:
    ExtAlarmGuard();
    ~ExtAlarmGuard();
    ExtAlarmGuard(const ExtAlarmGuard&) = delete;
    ExtAlarmGuard& operator=(const ExtAlarmGuard&) = delete;
};

// Written by any task through the interface below and by the GUI task's pages: single bytes.
extern std::atomic<uint8_t> disp_alarm_inhibit;      // alarms hidden by request
extern std::atomic<uint8_t> disp_reset_alarm_active; // maintained by the pages

// The lock of the three configuration inputs below: the GUI task sets and clears them under it,
// and the display control task reads the page and brightness inputs under it.
class DispChannelGuard {
public:
    DispChannelGuard();
    ~DispChannelGuard();
    DispChannelGuard(const DispChannelGuard&) = delete;
    DispChannelGuard& operator=(const DispChannelGuard&) = delete;
};

// The display configuration inputs, class-wide members of the display page (null without input).
struct CDispPageChannels {
    static CData* reset_chan;
    static CData* page_chan;
    static CData* brightness_chan;
};

// Start-up: the GUI tasks and the built-in fonts; "r_dispInitDone" switches the backlight on
// once the GUI is up.
void displayInit();
void displayInitDone(SEM_ID ready);
// Shutdown: the display keeps its last picture until the process exits.
void displayJoin();

// Posting functions: 0 when posted, -1 while the GUI is not up or when a full queue dropped the
// message. Text pointers travel as pointers (DataPtr 0 and 1) and must stay valid until the GUI
// task has handled the message, except for displayTxtShowFree, which posts a heap copy (std::malloc,
// freed by the handler with std::free).
int displayStart();
int displayStop();
int displayColor(uint32_t colour);
int displaySwitchPage(unsigned int page); // 12 and more (and -1) become 11
int displayNext();
int displayPrev();
int displayBrightness(uint32_t step);
int displaySetUpdateRate(uint32_t ticks);
int displayFlashStart();
int displayFlashStop();
int displayTxtShow(const char* text);
int displayTxtShow2(const char* text1, const char* text2);
int displayTxtShowFree(const char* text);
int displayTxtHide();
int displayUpdateExtWnd();

uint32_t displayMaxPages(uint32_t n); // n of 0xFFFFFFFF only reads
uint8_t displayStatus(uint8_t s);     // s of 1 sets the status
// 0 when the channel does not exist; else 1 with the rounded value and the fresh flag (consumed).
int displayGetPageChan(int* value, unsigned char* fresh);
int displayGetBrightnessChan(int* value, unsigned char* fresh);

int display_alarm(uint8_t active, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                  uint32_t text_colour, uint32_t bg_colour, uint8_t mark, const char* text);
void display_get_alarm_state(ext_alarm_s** record);
uint8_t display_get_reset_alarm_active();
uint8_t display_get_alarm_hidden();
void display_trigger_inhibit_alarms();
void display_reset_inhibit_alarms();

// A BMP image of the shown area (0, 0)-(639, 479), or null while the GUI is not up; its length
// through size. The caller frees it with delete[].
unsigned char* DumpReal(unsigned long* size);
