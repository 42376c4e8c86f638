#include "laptiming/lapoutfra.h"
#include "logging/meas_app.h"

void meas_app_laptrigger_update(uint16_t lap, uint16_t outing) {
    LapOutFra_initLapOutCnt(lap, outing);
}

void meas_app_clearsegmentation() {}
