#include "calc/awm_model.h"

#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_0x0A_fuelcons.h"
#include "calc/dor_data.h"
#include "calc/model/application_dor.h"
#include "framework/msd_shell.h"
#include "framework/raster.h"
#include "framework/simulink.h"
#include "laptiming/laptrigger.h"

#include <mutex>

namespace {

// The framework runs the model steps at order 500 of their rasters.
constexpr int kBeforeModel = 400;
constexpr int kRequests = 450;
constexpr int kAfterModel = 600;
constexpr RasterTaskId kR10ms = RasterTaskId(3);
constexpr RasterTaskId kR100ms = RasterTaskId(6);

int loopbackCommand(int, char**) {
    return rs232_loopback() == TASK_ID_ERROR ? -1 : 0;
}

const application_dor_Imports kImports{awm_0x08_lapfunc_getTrigger,
                                       awm_0x08_lapfunc_getGpsTrigger,
                                       awm_0x08_lapfunc_getGpsTriggerTimestamp,
                                       awm_0x08_lapfunc_getGpsSegmentTrigger,
                                       awm_0x08_lapfunc_getSpeed,
                                       awm_0x08_lapfunc_getOutIncrReq,
                                       awm_0x08_lapfunc_ini_lof,
                                       awm_0x0A_fuelcons_getReset,
                                       awm_0x0A_fuelcons_getFuel,
                                       awm_0x0A_fuelcons_getLaptrigger,
                                       laptrigger_getLapTimeStamp,
                                       laptrigger_eventAt,
                                       laptrigger_update,
                                       raster_passTimestamp};

} // namespace

void awm_model_connect() {
    application_dor_setImports(&kImports);
}

void awm_model_ini() {
    awm_model_connect();
    static std::once_flag once;
    std::call_once(once, [] {
        simulink_registerHook("codegen_hookPartition_P1", codegen_hookPartition_P1);
        raster_addPeriodic(RASTER_R1MS, kBeforeModel, "dor_data_1ms", dor_data_1ms);
        raster_addPeriodic(kR10ms, kBeforeModel, "dor_data_10ms", dor_data_10ms);
        raster_addPeriodic(kR10ms, kRequests, "awm_0x08_lapfunc_requests", awm_0x08_lapfunc_requests);
        raster_addPeriodic(kR10ms, kAfterModel, "awm_0x08_lapfunc_cyclicCall", awm_0x08_lapfunc_cyclicCall);
        raster_addPeriodic(kR100ms, kBeforeModel, "dor_data_100ms", dor_data_100ms);
        raster_addPeriodic(kR100ms, kBeforeModel + 1, "dor_ftest_100ms", dor_ftest_100ms);
        raster_addPeriodic(kR100ms, kAfterModel, "awm_0x0A_fuelcons_store", awm_0x0A_fuelcons_store);
        msd_shellAddCommand("rs232_loopback", loopbackCommand);
    });
}
