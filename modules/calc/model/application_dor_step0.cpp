// Step 0, every 1 ms: the beacon input filtered by its minimum on-time; in split mode a short
// pulse is the main lap trigger and a long one an intermediate trigger. Its 20 ms pulses are read
// by step 1, which stamps a beacon lap with the due time of the 1 ms step in which its pulse rose.
#include "calc/model/application_dor.h"
#include "calc/model/util_simulink.h"

void application_dor_step0() {
    RT_MODEL_application_dor* const M = application_dor_M;
    BlockIO_application_dor& B = application_dor_B;
    D_Work_application_dor& DW = application_dor_DWork;

    // Rate scheduler: one cycle per 10 ms.
    M->TID1 = uint8_t(M->TID1 + 1);
    if (M->TID1 > 9) M->TID1 = 0;

    B.tIm = IM_TRIG_TIME_MIN * 0.001f;
    B.tMain = MAIN_TRIG_TIME_MIN * 0.001f;
    B.raw = application_dor_imports().lapfunc_getTrigger();
    B.sigActLvl = SIG_ACT_LVL;
    B.actBit = uint8_t(B.sigActLvl & 1u);
    B.lapin = B.actBit == 1 ? B.raw : uint8_t(B.raw == 0);

    uint8_t mainOn = B.mainOn;
    util_simulink_turnOn(B.lapin, 1, B.tMain, &DW.mainOnTimer, &mainOn);
    util_simulink_turnOn(mainOn, 1, B.tIm, &DW.imOnTimer, &B.imOn);

    // The split-mode flag crosses from the 10 ms step once per cycle.
    if (M->TID1 == 1) DW.splitSample = rt_sharedLoad(DW.splitState);
    B.splitSampled = DW.splitSample;
    B.split = uint8_t(B.splitSampled & 1u);

    B.imReq = uint8_t(B.split != 0 && B.imOn != 0);
    uint8_t imPulse = B.imPulse;
    util_simulink_turnOff(B.imReq, 1, 0.02f, &DW.imPulseTimer, &imPulse);

    if (B.split == 0)
        B.mainReq = mainOn;
    else
        B.mainReq = uint8_t(mainOn == 0 && DW.prevMainOn == 1 && DW.prevImOn == 0);
    uint8_t mainPulse = B.mainPulse;
    util_simulink_turnOff(B.mainReq, 1, 0.02f, &DW.mainPulseTimer, &mainPulse);

    util_simulink_turnOff(mainPulse, 1, 1.0f, &DW.laptrgmTimer, &b_laptrgm);
    util_simulink_turnOff(imPulse, 1, 1.0f, &DW.laptrgiTimer, &b_laptrgi);
    b_lapin = B.lapin;

    rt_sharedStore(B.mainOn, mainOn);
    rt_sharedStore(B.imPulse, imPulse);
    if (mainPulse != 0 && B.mainPulse == 0)
        rt_sharedStore(DW.mainPulseAt, application_dor_imports().raster_getPassTimestamp());
    rt_sharedRelease(B.mainPulse, mainPulse);
    DW.prevMainOn = mainOn;
    DW.prevImOn = B.imOn;
}
