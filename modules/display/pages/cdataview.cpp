#include "display/pages/cdataview.h"

#include "display/control/display.h"
#include "framework/calc_round.h"

namespace {

constexpr uint32_t kBlinkSlow = 8;
constexpr uint32_t kBlinkFast = 4;

struct AlarmSettings {
    uint8_t onTop = 0;
    uint32_t visMode = VIS_ALWAYS;
    uint32_t blink = BLINK_OFF;
    uint32_t minDisp = 0, autoReset = 0, retrigger = 0;
};

// The alarm settings of an element; bar graphs have no times and do not blink.
AlarmSettings SettingsOf(const display_elem_s* e) {
    AlarmSettings s;
    if (!e) return s;
    switch (e->kind) {
    case ELEM_ALPHANUM: {
        const alphanum_s& a = e->alphanum;
        return {a.always_on_top, a.vis_mode, a.blink, a.min_disp_time, a.auto_reset_time, a.retrigger_time};
    }
    case ELEM_BARGRAPH:
        s.onTop = e->bargraph.always_on_top;
        s.visMode = e->bargraph.vis_mode;
        return s;
    case ELEM_PICTURE: {
        const picture_s& p = e->picture;
        return {p.always_on_top, p.vis_mode, p.blink, p.min_disp_time, p.auto_reset_time, p.retrigger_time};
    }
    default:
        return s;
    }
}

} // namespace

uint32_t dispMsToTicks(uint32_t ms) {
    return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 49) / 50);
}

CDataView::CDataView(display_elem_s* element, unsigned int style)
    : GuiWindow(GuiRect{}, style), mpElem(element) {
    const AlarmSettings s = SettingsOf(element);
    mbOnTop = s.onTop != 0;
    mbResettable = s.visMode == VIS_LIMIT_RESETABLE;
    muMinDispTicks = dispMsToTicks(s.minDisp);
    muAutoResetTicks = dispMsToTicks(s.autoReset);
    muRetriggerTicks = dispMsToTicks(s.retrigger);
    muBlinkPeriod = s.blink == BLINK_SLOW ? kBlinkSlow : (s.blink == BLINK_FAST ? kBlinkFast : 0);
}

int CDataView::Message(const GuiMessage& msg) {
    const int r = GuiWindow::Message(msg);
    return (msg.Type == GM_HIDE || msg.Type == GM_SHOW) ? 0 : r;
}

void CDataView::setData(CData* data, CDataType_t kind) {
    if (kind == CDATA_VISIBILITY) {
        mpVisData = data;
        mbHasVisChannel = data != nullptr;
    } else {
        mpData = data;
    }
}

const char* CDataView::getFormatStr() const {
    return (mpElem && mpElem->kind == ELEM_ALPHANUM) ? mpElem->alphanum.format_str : nullptr;
}

bool CDataView::alarmShown(int32_t state) const {
    return (state == ALARM_MIN_DISPLAY || state == ALARM_ACTIVE) && mbOnTop &&
           (disp_alarm_inhibit == 0 || !mbResettable);
}

bool CDataView::getAlarmStateHidden() const {
    return (miState == ALARM_MIN_DISPLAY || miState == ALARM_ACTIVE) && mbOnTop && disp_alarm_inhibit != 0 &&
           mbResettable;
}

bool CDataView::getAlarmWasRedrawn() const {
    return muBlinkCount + 1 == muBlinkPeriod && miPrevState != ALARM_IDLE && mbActive;
}

bool CDataView::getError() const {
    return mpVisData && !mpVisData->getMeasUpdateState();
}

int CDataView::setElemResetFlag(int mark) {
    const bool m = mark != 0;
    const bool changed = m != mbResetMark;
    mbResetMark = m;
    return changed ? 1 : 0;
}

void CDataView::AlarmReset(int fromTimer) {
    if (!mbResettable || miState != ALARM_ACTIVE) return;
    mbResetDone = true;
    mbActive = false;
    if (muRetriggerTicks != 0) {
        muRetriggerCount = muRetriggerTicks;
        miState = ALARM_RETRIGGER;
    } else {
        miState = fromTimer ? ALARM_IDLE : ALARM_ACKNOWLEDGED;
    }
}

void CDataView::clearAlarmReset() {
    mbResetMark = false;
    mbResetDone = false;
    miState = ALARM_IDLE;
}

int CDataView::forceUpdate() {
    mbWasActive = false;
    mbRedrawRequest = true;
    miPrevState = ALARM_IDLE;
    return 1;
}

int CDataView::update() {
    if (mpData) mpData->updateData();
    if (mpVisData && mpVisData->getMeasUpdateState()) {
        mpVisData->updateData();
        double raw = 0;
        mpVisData->getQuantData(raw);
        const double v = calc::round(raw);
        miPrevState = miState;
        switch (miState) {
        case ALARM_IDLE:
            if (v != 0) { // the limit is exceeded
                if (muAutoResetTicks != 0) muAutoResetCount = muAutoResetTicks;
                if (muMinDispTicks == 0) {
                    miState = ALARM_ACTIVE;
                } else {
                    muMinDispCount = muMinDispTicks;
                    miState = ALARM_MIN_DISPLAY;
                }
                muBlinkCount = muBlinkPeriod;
                mbBlinkPhase = true;
                disp_alarm_inhibit = 0; // a new alarm is shown again
            }
            break;
        case ALARM_MIN_DISPLAY:
            if (muMinDispCount < 2) {
                muMinDispCount = 0;
                miState = ALARM_ACTIVE;
            } else {
                --muMinDispCount;
            }
            break;
        case ALARM_ACTIVE:
            if (v == 0) {
                miState = ALARM_IDLE;
            } else if (muAutoResetTicks != 0) {
                if (muAutoResetCount == 1) {
                    muAutoResetCount = 0;
                    AlarmReset(1);
                } else if (muAutoResetCount > 1) {
                    --muAutoResetCount;
                }
            }
            break;
        case ALARM_RETRIGGER:
            if (muRetriggerCount < 2) {
                mbResetMark = false;
                mbResetDone = false;
                muRetriggerCount = 0;
                miState = ALARM_IDLE;
            } else {
                --muRetriggerCount;
            }
            break;
        default: // acknowledged: until the page is switched
            break;
        }
        mbActive = (miState == ALARM_MIN_DISPLAY || miState == ALARM_ACTIVE) && !mbResetDone &&
                   mbBlinkPhase && (disp_alarm_inhibit == 0 || !mbResettable);
        if (muBlinkCount >= 2) {
            --muBlinkCount;
        } else if (muBlinkCount == 1) {
            muBlinkCount = muBlinkPeriod;
            mbBlinkPhase = !mbBlinkPhase;
        }
    }
    const int r = updateDisp(0);
    if (r != 0) Draw();
    return r;
}

uint32_t CDataView::dispElem_Color(const rgb_s* c) {
    if (!c) return 0;
    return (static_cast<uint32_t>(c->red) << 16) | (static_cast<uint32_t>(c->green) << 8) | c->blue;
}

uint32_t CDataView::dispElem_GhostColor(const rgb_s* c) {
    if (!c) return 0;
    return (static_cast<uint32_t>(c->red >> 1) << 16) | (static_cast<uint32_t>(c->green >> 1) << 8) |
           static_cast<uint32_t>(c->blue >> 1);
}
