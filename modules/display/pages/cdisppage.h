// One display page: a full-screen window with the views of one page record and of the all-pages
// record. On every tick of its GUI timer it updates the alarm views and then, round robin, the
// other views until the reported changes add up to more than 20; it rotates overlapping alarms,
// handles the reset (acknowledge) input, animates the flash notice, flushes the screen and
// publishes the gateway status. The main container shows one page at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "display/config/display_records.h"
#include "display/control/display.h"
#include "display/pages/chashelem.h"
#include "gui/window/guiwindow.h"

class CDataManager;
class CDataView;
class CImageContainer;
class GuiPrompt;

class CDispPage : public GuiWindow, public CDispPageChannels {
public:
    // The most reported changes that one tick draws before it leaves the rest to the next.
    static constexpr int CHANGE_BUDGET = 20;
    // Ticks that overlapping alarms stay in front before the next one takes its turn.
    static constexpr int ROTATE_TICKS = 15;

    CDispPage(int left, int top, int width, int height, int index, page_s* page, page_s* allPages,
              CDataManager* manager, CImageContainer* images);
    // A page of one colour.
    CDispPage(int left, int top, int right, int bottom, int unused, int colour);
    ~CDispPage() override;

    int Message(const GuiMessage& msg) override;
    void setFrameRate(int interval);
    void setFlashMode(bool on);
    void SwitchedPage();
    static int getTimeSlot(unsigned short ms);
    static bool checkOverlap(const GuiRect& a, const GuiRect& b);

    int elementCount() const { return miElemCount; }
    CDataView* element(int index) const { return mElems.GetElem(static_cast<short>(index)); }
    size_t groupCount() const { return mGroups.size(); }
    const std::vector<CDataView*>& groupMembers(size_t g) const { return mGroups[g].members; }
    CDataView* resetElement() const { return mpResetElem; }
    int16_t flashBarPosition() const { return miFlashPos; }

    static uint8_t switched_page; // set by SwitchedPage: the next tick visits every view
    static uint8_t reset_old;     // the reset input of the previous tick

private:
    struct Group {
        std::vector<CDataView*> members;
        size_t current = 0;
        int ticks = 0;
        CDataView* shown = nullptr; // the member currently in front
    };

    void addOverlayElement(CDataView* view);
    void processOverlayElements();
    void tick();
    int updateViews();
    void processGroups(bool extActive, const GuiRect& extRect);
    void rotateGroup(size_t g, bool extActive, const GuiRect& extRect);
    void acknowledge(bool extActive);
    void moveFlashBar();
    void publishGatewayStatus();
    void redrawInFront(CDataView* view);

    int32_t miPageIndex = 0;
    CHashElem mElems;
    int32_t miElemCount = 0;
    int32_t miFrameInterval = 1;
    CDataView* mpResetElem = nullptr;
    size_t muResetGroup = 0; // equal to the group count when no group owns the reset mark
    GuiWindow* mpFlashWin = nullptr;
    GuiWindow* mpFlashBar = nullptr;
    GuiPrompt* mpFlashPrompt = nullptr;
    std::vector<Group> mGroups;
    std::vector<CDataView*> mOverlay; // alarm views in the order they were added
    bool mbFlashMode = false;
    int16_t miFlashPos = 0;
    int16_t miFlashDir = 1; // 1 right, 0 left
    uint16_t muResetTicks = 0;
    uint8_t muResetState = 0; // 0 idle, 1 pressed, 2 counting
    int32_t miRoundRobin = 0;
    CDataManager* mpDataManager = nullptr;
};
