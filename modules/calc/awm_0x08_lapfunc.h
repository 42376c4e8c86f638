// The lap function (calculation-channel module 0x08) as the lap-trigger exchange reaches it. The
// channel module itself is not part of this build: it never counts as configured, so the exchange
// calls none of its operations; the request operations keep their flags for the lap model.
#pragma once

#include <cstdint>

// True when the lap-function channel is set up completely; always false in this build.
bool awm_0x08_lapfunc_configured();
// Decides whether the outing has ended and asks the lap model for an outing increment; without
// the channel it logs "awm_0x08_lapfunc_checkOutCtr(): lapfunc not operational".
void awm_0x08_lapfunc_checkOutCtr();

// Requests to the lap model, each taken at its next step.
void lapfunc_resetLap();
void lapfunc_resetOut();
void lapfunc_resetLapDist();
void lapfunc_resetBestLapTime();
void lapfunc_incrOuting(); // also logs "lapfunc_incrOuting(): outing increment requested from extern"
void lapfunc_incrLap();
void lapfunc_resetSegments();

enum LapfuncRequest : uint32_t {
    LAPFUNC_REQ_RESET_LAP = 1u << 0,
    LAPFUNC_REQ_RESET_OUT = 1u << 1,
    LAPFUNC_REQ_RESET_LAPDIST = 1u << 2,
    LAPFUNC_REQ_RESET_BEST = 1u << 3,
    LAPFUNC_REQ_INCR_OUTING = 1u << 4,
    LAPFUNC_REQ_INCR_LAP = 1u << 5,
    LAPFUNC_REQ_RESET_SEGMENTS = 1u << 6,
};
// The lap model's side: the requests set since the last call (LapfuncRequest bits), cleared.
uint32_t lapfunc_takeRequests();
