// Small shared values of the display interface: the external alarm record, the alarm flags, the
// page maximum and display status, and the configuration channels that the display control reads.
#include <cstring>
#include <mutex>

#include "display/control/display.h"
#include "display/data/cdata.h"
#include "display/data/cdata_conv.h"

ext_alarm_s ext_alarm{};
std::atomic<uint8_t> disp_alarm_inhibit{0};
std::atomic<uint8_t> disp_reset_alarm_active{0};
CData* CDispPageChannels::reset_chan = nullptr;
CData* CDispPageChannels::page_chan = nullptr;
CData* CDispPageChannels::brightness_chan = nullptr;

namespace {

std::mutex gExtAlarmMutex;
std::recursive_mutex gChannelMutex;
uint32_t gMaxPages = 0;
uint8_t gStatus = 0;

int ReadChannel(CData* const& channel, int* value, unsigned char* fresh) {
    DispChannelGuard lock; // the GUI task may be taking the channel away
    CData* chan = channel;
    if (!chan) return 0;
    const bool isFresh = chan->getMeasUpdateState();
    chan->updateData();
    double v = 0;
    chan->getQuantData(v);
    chan->setTimeout();
    if (value) *value = cdataTruncI32(v > 0 ? v + 0.5 : v - 0.5);
    if (fresh) *fresh = isFresh ? 1 : 0;
    return 1;
}

} // namespace

DispChannelGuard::DispChannelGuard() {
    gChannelMutex.lock();
}

DispChannelGuard::~DispChannelGuard() {
    gChannelMutex.unlock();
}

ExtAlarmGuard::ExtAlarmGuard() {
    gExtAlarmMutex.lock();
}

ExtAlarmGuard::~ExtAlarmGuard() {
    gExtAlarmMutex.unlock();
}

int display_alarm(uint8_t active, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                  uint32_t text_colour, uint32_t bg_colour, uint8_t mark, const char* text) {
    {
        ExtAlarmGuard lock;
        ext_alarm.active = active;
        ext_alarm.mark = mark;
        ext_alarm.x = x;
        ext_alarm.y = y;
        ext_alarm.width = width;
        ext_alarm.height = height;
        ext_alarm.text_colour = text_colour;
        ext_alarm.bg_colour = bg_colour;
        size_t n = 0;
        for (; text && text[n] && n < DISP_ALARM_TEXT - 1; ++n)
            ext_alarm.text[n] = text[n] == ' ' ? static_cast<char>(0x81) : text[n];
        ext_alarm.text[n] = '\0';
        ext_alarm.acknowledged = 0;
        ext_alarm.changed = 1;
    }
    return displayUpdateExtWnd();
}

void display_get_alarm_state(ext_alarm_s** record) {
    if (record) *record = &ext_alarm;
}

uint8_t display_get_reset_alarm_active() {
    return disp_reset_alarm_active;
}

uint8_t display_get_alarm_hidden() {
    return disp_alarm_inhibit;
}

void display_trigger_inhibit_alarms() {
    disp_alarm_inhibit = 1;
}

void display_reset_inhibit_alarms() {
    disp_alarm_inhibit = 0;
}

uint32_t displayMaxPages(uint32_t n) {
    if (n != 0xFFFFFFFFu) gMaxPages = n;
    return gMaxPages;
}

uint8_t displayStatus(uint8_t s) {
    if (s == 1) gStatus = 1;
    return gStatus;
}

int displayGetPageChan(int* value, unsigned char* fresh) {
    return ReadChannel(CDispPageChannels::page_chan, value, fresh);
}

int displayGetBrightnessChan(int* value, unsigned char* fresh) {
    return ReadChannel(CDispPageChannels::brightness_chan, value, fresh);
}
