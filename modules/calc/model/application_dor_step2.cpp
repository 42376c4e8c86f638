// Step 2, every 100 ms: consumed and total fuel, fuel per lap, fuel and laps remaining, and the
// time stamp of the last lap event in milliseconds.
#include "calc/model/application_dor.h"
#include "calc/model/util_simulink.h"
#include "measdata/seram.h"

void application_dor_step2() {
    BlockIO_application_dor& B = application_dor_B;
    D_Work_application_dor& DW = application_dor_DWork;
    SeramSigPage& sig = seramSig();

    // 1.-2. Reset: the level must stand in two samples; the macro request is a level too.
    const application_dor_Imports& in = application_dor_imports();
    const uint8_t raw = in.fuelcons_getReset();
    B.resetLevel = (FC_SIG_ACT_LVL & 1u) == 1 ? raw : uint8_t(raw == 0);
    util_simulink_turnOn(B.resetLevel, 100, 0.1f, &DW.fuelResetTimer, &B.resetOn);
    B.fuelReset = uint8_t((MACRO_FUELCONS_SET & 1u) != 0 || B.resetOn != 0);

    // 3.-4. Fuel flow per second.
    const float scope1 = in.fuelcons_getFuel();
    B.fuelRaw = scope1 * ADAPTION_FACTOR * CORRECTION_FACTOR * 0.001f;
    float scope2;
    if ((FUEL_INPUT_MODE & 1u) == 1)
        scope2 = B.fuelRaw;
    else
        scope2 = DW.prevRaw == 0.0f || B.fuelRaw == 0.0f ? 0.0f : (B.fuelRaw - DW.prevRaw) * 10.0f;
    std::atomic_ref<float>(sig.fuelcons_scope1).store(scope1, std::memory_order_relaxed);
    std::atomic_ref<float>(sig.fuelcons_scope2).store(scope2, std::memory_order_relaxed);

    // 5.-6. Consumed and remaining fuel.
    B.consumed = application_dor_EmbeddedMATLABFunction_c(B.fuelReset, 1, 0.0f, scope2, 1.0f, B.fuelStepCons,
                                                          0.0f, application_dor_ConstWithInitP, FUELCONS_INIT,
                                                          &DW.fuelConsAcc);
    fuelrem = TANK_CAPACITY - B.consumed;
    const float rem = fuelrem > 1000.0f ? 1000.0f : fuelrem < 0.0f ? 0.0f : fuelrem;

    // 7.-8. Fuel of the last lap and laps remaining.
    B.lapFlag = in.fuelcons_getLaptrigger();
    B.lapRise = uint8_t(B.lapFlag != 0 && DW.prevFuelLapFlag == 0);
    if (B.lapRise) {
        B.heldLapFuel = DW.lastLapFuel;
        fuellapold = DW.lastLapFuel;
    }
    const float perLap = (LAP_REMAINING_MODE & 1u) == 1 ? TARGET_LAP_CONS : B.heldLapFuel;
    laprem = perLap == 0.0f ? 100.0f : rem / perLap;
    *fuelcons = B.consumed;

    // 10. Fuel of the current lap.
    const uint8_t lapReset = uint8_t(B.fuelReset != 0 || B.lapRise != 0);
    const uint8_t always = 1;
    const float zero = 0.0f, one = 1.0f;
    float lapFuel = 0.0f;
    util_simulink_integratorK(&DW.fuelLapFirst, &lapReset, 1, &always, 1, &zero, 1, &scope2, 1, &one, 1, 0.1f,
                              &zero, 1, &application_dor_ConstWithInitP, 1, 0.0f, &lapFuel, &DW.fuelLapState);
    std::atomic_ref<float>(fuellap).store(lapFuel, std::memory_order_relaxed);

    // 11. Total fuel.
    *fueltotal = application_dor_EmbeddedMATLABFunction_c(
        uint8_t(MACRO_FUELTOTAL_SET & 1u), 1, 0.0f, scope2, 1.0f, B.fuelStepTotal, 0.0f,
        application_dor_ConstWithInitP, FUELTOTAL_INIT, &DW.fuelTotalAcc);

    // 12. States.
    DW.prevRaw = B.fuelRaw;
    DW.lastLapFuel = lapFuel;
    DW.prevFuelLapFlag = B.lapFlag;

    // 13. Time stamp of the last lap event, ms.
    laptimestamp = mul_u32_loSR(in.laptrigger_getLapTimeStamp(), 13421773u, 27);
}
