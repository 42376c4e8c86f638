// The data view: the common base of every element on a page (value box, bar graph, picture). It
// binds a display element to its value and visibility channels, runs the element's visibility and
// alarm state machine once per page tick (minimum display time, automatic reset, retrigger delay,
// acknowledgement, blinking, the inhibit request) and tells the page whether it was redrawn. The
// derived views decide how to draw.
#pragma once

#include <cstdint>

#include "display/config/display_records.h"
#include "display/data/cdata.h"
#include "gui/window/guiwindow.h"

// Alarm states.
enum : int32_t {
    ALARM_IDLE = 0,
    ALARM_ACKNOWLEDGED = 1,
    ALARM_MIN_DISPLAY = 2,
    ALARM_ACTIVE = 3,
    ALARM_RETRIGGER = 4,
};

// Display times configured in milliseconds run in page ticks of 50 ms, rounded up; computed in 64
// bits, so that no time wraps to 0 ticks.
uint32_t dispMsToTicks(uint32_t ms);

class CDataView : public GuiWindow {
public:
    CDataView(display_elem_s* element, unsigned int style);
    ~CDataView() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override { GuiWindow::Draw(); }
    // 0 nothing changed, 1 text or bar end changed, 2 colours or visibility changed.
    virtual int updateDisp(int) { return 0; }
    // The page tick: values, the alarm state machine, then updateDisp (and Draw when it changed).
    virtual int update();
    virtual int forceUpdate();

    void AlarmReset(int fromTimer);
    void clearAlarmReset();
    int setElemResetFlag(int mark); // true when the mark changed
    bool getAlarmState() const { return alarmShown(miState); }
    bool getAlarmState_old() const { return alarmShown(miPrevState); }
    bool getAlarmStateHidden() const;
    bool getAlarmWasRedrawn() const;
    bool isAlarm() const { return mbHasVisChannel && mbOnTop; }
    bool isResettable() const { return mbResettable; }
    bool getError() const;
    bool getViewIsActive() const { return mbActive; }
    bool hasResetMark() const { return mbResetMark; }
    display_elem_s* getElemP() const { return mpElem; }
    uint32_t getType() const { return mpElem ? mpElem->kind : 3; }
    const char* getFormatStr() const;
    int32_t getState() const { return miState; }
    CData* getData(CDataType_t kind) const { return kind == CDATA_VISIBILITY ? mpVisData : mpData; }
    void setData(CData* data, CDataType_t kind);

    static uint32_t dispElem_Color(const rgb_s* c);
    static uint32_t dispElem_GhostColor(const rgb_s* c);

protected:
    bool alarmShown(int32_t state) const;

    bool mbResetMark = false;
    CData* mpData = nullptr;
    CData* mpVisData = nullptr;
    display_elem_s* mpElem;
    bool mbOnTop = false;
    bool mbHasVisChannel = false;
    bool mbActive = false;
    bool mbWasActive = false;
    bool mbRedrawRequest = false;
    bool mbResetDone = false;
    bool mbResettable = false;
    uint32_t muMinDispTicks = 0;
    uint32_t muAutoResetTicks = 0;
    uint32_t muRetriggerTicks = 0;
    uint32_t muMinDispCount = 0;
    uint32_t muAutoResetCount = 0;
    uint32_t muRetriggerCount = 0;
    uint32_t muBlinkCount = 0;
    uint32_t muBlinkPeriod = 0;
    bool mbBlinkPhase = true;
    int32_t miState = ALARM_IDLE;
    int32_t miPrevState = ALARM_IDLE;
};
