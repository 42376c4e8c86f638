#include "calc/awm_0x0A_fuelcons.h"

float awm_0x0A_fuelcons_setLaptrigger() {
    return 0.0f;
}
