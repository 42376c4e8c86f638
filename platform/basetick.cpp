#include "platform/basetick.h"

#include "platform/hostclock.h"

SEM_ID basetick_start() {
    SEM_ID tick = semOpen(BASETICK_NAME, SEM_TYPE_COUNTING, 0, SEM_Q_PRIORITY, OM_CREATE, nullptr);
    if (!tick) return SEM_ID_NULL;
    hostclock_setTickSink([tick] { semGive(tick); }, [tick] { return semCount(tick) <= 0; });
    hostclock_startTicker();
    return tick;
}

void basetick_stop() {
    hostclock_setTickSink(nullptr, nullptr);
    hostclock_stopTicker();
}
