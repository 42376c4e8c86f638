// The page tick: the views within the change budget, the overlay groups with the reset mark, the
// reset (acknowledge) input, the flash notice, the flush of the frame and the gateway status.
#include <cstdio>

#include "display/control/display_sig.h"
#include "display/data/cdata.h"
#include "display/pages/cdataview.h"
#include "display/pages/cdisppage.h"
#include "framework/calc_round.h"
#include "framework/syslog.h"
#include "gui/core/guiscreen.h"

namespace {

// The gateway status of the previous tick and how often it changed since its last line.
struct GatewayStatus {
    unsigned long mask = 0, total = 0;
    unsigned short minimum = 0, maximum = 0;
    bool allOnline = false, anyOnline = false;
    bool operator==(const GatewayStatus&) const = default;
};
GatewayStatus gPrevStatus;
unsigned gRepeat = 0;

void LogRepeat(unsigned count, const GatewayStatus& s) {
    syslogx(LOG_PRIO_DEBUG,
            "Display: timeout status change %ux repeatedly (0x%X,to %d,tmn %d, tmx %d, omn %d, omx %d)",
            count, static_cast<unsigned>(s.mask), static_cast<int>(s.total), s.minimum, s.maximum,
            s.allOnline ? 1 : 0, s.anyOnline ? 1 : 0);
}

void LogChange(const GatewayStatus& s) {
    syslogx(LOG_PRIO_DEBUG, "Display: timeout status change (0x%X,to %d,tmn %d, tmx %d, omn %d, omx %d)",
            static_cast<unsigned>(s.mask), static_cast<int>(s.total), s.minimum, s.maximum,
            s.allOnline ? 1 : 0, s.anyOnline ? 1 : 0);
}

} // namespace

void CDispPage::redrawInFront(CDataView* view) {
    if (!view || view->Parent() != this) return;
    if (mpFirstChild != view) Add(view, 0);
    if (!mpScreen || !view->IsVisible()) return;
    mpScreen->Invalidate(view->mRealRect);
    view->Draw();
}

int CDispPage::updateViews() {
    int changed = 0;
    uint16_t updated = 0;
    // Alarm views every tick.
    for (int i = 0; i < miElemCount; ++i) {
        CDataView* v = element(i);
        if (!v || !v->isAlarm()) continue;
        const int r = v->update();
        changed += r;
        if (r) ++updated;
        if (v == mpResetElem && v->getAlarmState_old() && !v->getAlarmState()) {
            mpResetElem = nullptr;
            v->setElemResetFlag(0);
            for (Group& g : mGroups)
                if (g.shown == v) g.shown = nullptr;
        }
    }
    // The others round robin, until the changes exceed the budget (all of them right after a page
    // switch); at least one element per tick.
    int visits = 0;
    bool budget = false;
    if (miElemCount > 0) {
        int i = miRoundRobin % miElemCount;
        for (;;) {
            CDataView* v = element(i);
            ++visits;
            if (v && !v->isAlarm()) {
                const int r = v->update();
                changed += r;
                if (r) ++updated;
            }
            i = (i + 1) % miElemCount;
            if (visits >= miElemCount) break;
            if (changed > CHANGE_BUDGET && !switched_page) {
                budget = true;
                break;
            }
        }
        miRoundRobin = i;
    }
    switched_page = 0;
    SeramSigPage& sig = seramSig();
    dispSigPut(sig.display_elements_updated, updated);
    dispSigPut(sig.display_elements_skipped, static_cast<uint16_t>(budget ? miElemCount - visits + 1 : 0));
    return changed;
}

void CDispPage::rotateGroup(size_t g, bool extActive, const GuiRect& extRect) {
    Group& grp = mGroups[g];
    const size_t n = grp.members.size();
    for (size_t k = 1; k <= n; ++k) {
        const size_t idx = (grp.current + k) % n;
        if (grp.members[idx]->getAlarmState()) {
            grp.current = idx;
            break;
        }
    }
    CDataView* m = grp.members[grp.current];
    if (grp.shown != m) grp.shown = m;
    if (muResetGroup == g && !extActive) {
        if (mpResetElem && mpResetElem != m) {
            mpResetElem->setElemResetFlag(0);
            if (mpResetElem->getViewIsActive()) redrawInFront(mpResetElem);
            mpResetElem = nullptr;
        }
        if (m->isResettable()) {
            mpResetElem = m;
            m->setElemResetFlag(1);
        }
    }
    if (m->getViewIsActive() && (!extActive || !checkOverlap(m->mRealRect, extRect))) redrawInFront(m);
}

void CDispPage::processGroups(bool extActive, const GuiRect& extRect) {
    disp_reset_alarm_active = 0;
    SeramSigPage& sig = seramSig();
    uint8_t err = dispSigGet(sig.display_err);
    for (size_t g = 0; g < mGroups.size(); ++g) {
        Group& grp = mGroups[g];
        bool active = false;
        int resettable = 0;
        for (CDataView* m : grp.members) {
            if (m->getError()) err = 1;
            if (!m->getAlarmState()) {
                if (m->getAlarmStateHidden()) disp_reset_alarm_active = 1;
                if (grp.shown == m) grp.shown = nullptr;
                continue;
            }
            active = true;
            if (!m->isResettable()) continue;
            disp_reset_alarm_active = 1;
            if (extActive) {
                // The external alarm carries the mark now.
                mpResetElem = nullptr;
                muResetGroup = mGroups.size();
                if (m->setElemResetFlag(0) && m->getViewIsActive()) redrawInFront(m);
                continue;
            }
            if (muResetGroup == mGroups.size()) muResetGroup = g;
            if (muResetGroup != g) continue;
            ++resettable;
            if (!mpResetElem && (grp.shown == m || !grp.shown)) {
                grp.shown = m;
                mpResetElem = m;
                if (m->setElemResetFlag(1) && m->getViewIsActive()) redrawInFront(m);
            }
        }
        if (muResetGroup == g && !mpResetElem && resettable == 0) muResetGroup = mGroups.size();
        if (grp.members.size() < 2) continue;
        if (!active) {
            grp.ticks = 0;
            continue;
        }
        if (muResetState == 0) ++grp.ticks;
        if (grp.ticks >= ROTATE_TICKS || !grp.members[grp.current]->getAlarmState()) {
            grp.ticks = 0;
            rotateGroup(g, extActive, extRect);
            continue;
        }
        // A member that blinked back on must not hide the one in front.
        for (CDataView* m : grp.members) {
            if (!m->getAlarmWasRedrawn() || !grp.shown || grp.shown == m) continue;
            if (grp.shown->getViewIsActive() && (!extActive || !checkOverlap(m->mRealRect, extRect)))
                redrawInFront(grp.shown);
            break;
        }
    }
    dispSigPut(sig.display_err, err);
}

void CDispPage::acknowledge(bool extActive) {
    if (!mpResetElem) {
        syslogx(LOG_PRIO_DEBUG, "Display: reset alarm acknowledge, ext active %d, has res elem FALSE",
                extActive ? 1 : 0);
    } else if (mpResetElem->getType() == ELEM_ALPHANUM && mpResetElem->getFormatStr()) {
        syslogx(LOG_PRIO_DEBUG,
                "Display: reset alarm acknowledge, ext active %d, has res elem TRUE, #grps %d, reset group "
                "%d, str '%s'",
                extActive ? 1 : 0, static_cast<int>(mGroups.size()), static_cast<int>(muResetGroup),
                mpResetElem->getFormatStr());
    } else {
        syslogx(
            LOG_PRIO_DEBUG,
            "Display: reset alarm acknowledge, ext active %d, has res elem TRUE, #grps %d, reset group %d",
            extActive ? 1 : 0, static_cast<int>(mGroups.size()), static_cast<int>(muResetGroup));
    }
    if (!extActive) {
        if (mpResetElem) {
            mpResetElem->setElemResetFlag(0);
            mpResetElem->AlarmReset(0);
        }
        muResetGroup = mGroups.size();
        mpResetElem = nullptr;
        return;
    }
    {
        ExtAlarmGuard lock;
        ext_alarm.acknowledged = 1;
    }
    displayUpdateExtWnd();
    if (mpResetElem && mpResetElem->setElemResetFlag(1) && mpResetElem->getViewIsActive())
        redrawInFront(mpResetElem);
}

void CDispPage::moveFlashBar() {
    const int L = mRealRect.left, T = mRealRect.top;
    if (miFlashDir == 1) {
        if (miFlashPos + 5 + 75 > L + 610)
            miFlashDir = 0;
        else
            miFlashPos = static_cast<int16_t>(miFlashPos + 5);
    } else {
        if (miFlashPos - 5 < L + 15)
            miFlashDir = 1;
        else
            miFlashPos = static_cast<int16_t>(miFlashPos - 5);
    }
    if (!mpFlashBar || !mpFlashWin) return;
    mpFlashBar->Resize(MakeGuiRect(miFlashPos, T + 210, miFlashPos + 75, T + 240));
    if (!mpScreen || !mpFlashWin->IsVisible()) return;
    mpScreen->Invalidate(mpFlashWin->mRealRect);
    mpFlashWin->Draw();
    MoveToFront(mpFlashWin, 1);
}

void CDispPage::publishGatewayStatus() {
    if (!mpDataManager) return;
    GatewayStatus s;
    mpDataManager->getStatus(&s.allOnline, &s.anyOnline, &s.minimum, &s.maximum, &s.total, &s.mask);
    SeramSigPage& sig = seramSig();
    dispSigPut(sig.disp_online_mn, static_cast<uint8_t>(s.allOnline));
    dispSigPut(sig.disp_online_mx, static_cast<uint8_t>(s.anyOnline));
    dispSigPut(sig.disp_timecnt_mn, static_cast<uint16_t>(s.minimum));
    dispSigPut(sig.disp_timecnt_mx, static_cast<uint16_t>(s.maximum));
    dispSigPut(sig.disp_timeout_all, static_cast<uint32_t>(s.total));
    dispSigPut(sig.disp_timeout_pids, static_cast<uint32_t>(s.mask));
    if (s == gPrevStatus) {
        if (gRepeat != 0) LogRepeat(gRepeat, gPrevStatus);
        gRepeat = 0;
    } else {
        GatewayStatus countOnly = gPrevStatus;
        countOnly.total = s.total;
        countOnly.maximum = s.maximum;
        if (countOnly == s) { // only the counts went on
            if (gRepeat == 0) LogChange(s);
            ++gRepeat;
        } else {
            if (gRepeat > 1) {
                LogRepeat(gRepeat, gPrevStatus);
                gRepeat = 1;
            }
            LogChange(s);
        }
        if (gRepeat > 49) {
            LogRepeat(gRepeat, s);
            gRepeat = 1;
        }
    }
    gPrevStatus = s;
}

void CDispPage::tick() {
    updateViews();
    bool extActive = false;
    GuiRect extRect{};
    {
        ExtAlarmGuard lock;
        extActive = ext_alarm.active && !ext_alarm.acknowledged && ext_alarm.mark;
        extRect = MakeGuiRect(ext_alarm.x, ext_alarm.y, ext_alarm.x + ext_alarm.width,
                              ext_alarm.y + ext_alarm.height);
    }
    bool pressed = false;
    if (reset_chan) {
        reset_chan->updateData();
        double v = 0;
        reset_chan->getQuantData(v);
        pressed = calc::round(v) != 0;
        if (!reset_old && pressed && muResetState == 0) muResetState = 1;
    }
    processGroups(extActive, extRect);
    if (muResetState == 1) {
        muResetTicks = 0;
        muResetState = 2;
    } else if (muResetState == 2 && ++muResetTicks > 3) {
        acknowledge(extActive);
        muResetState = 0;
    }
    if (mbFlashMode) moveFlashBar();
    if (mpScreen) {
        mpScreen->FlushScreen();
        mpScreen->WaitFlushFinish();
    }
    reset_old = pressed ? 1 : 0;
    publishGatewayStatus();
}
