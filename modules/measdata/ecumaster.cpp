#include "measdata/ecumaster.h"

#include "measdata/seram_meas.h"

#include <atomic>
#include <mutex>

namespace {

struct Master {
    uint8_t source; // address selector of the master's cells
    std::mutex lock;
    EcuMasterOps ops;
};

Master& ccpMaster() {
    static Master m{SERAM_SRC_CCPMR, {}, {}};
    return m;
}
Master& xcpMaster() {
    static Master m{SERAM_SRC_XCPMR, {}, {}};
    return m;
}

std::atomic<bool> toolConnected{false};

void registerMaster(Master& m, const EcuMasterOps& ops) {
    std::lock_guard<std::mutex> guard(m.lock);
    m.ops = ops.daqOf ? ops : EcuMasterOps{};
}

EcuMasterOps opsOf(Master& m) {
    std::lock_guard<std::mutex> guard(m.lock);
    return m.ops;
}

bool isMarker(uint32_t word) {
    return word == 0xFFFFFFF8u || word == 0xFFFFFFFCu || word == 0xFFFFFFFEu || word == 0xFFFFFFFFu;
}

uint8_t checkMeasList(Master& m, const uint32_t* list, uint32_t length, uint32_t* daq) {
    const EcuMasterOps ops = opsOf(m);
    if (!ops.daqOf || list == nullptr) {
        return 0;
    }
    const uint32_t words = length / 4;
    int32_t group = -1;
    bool anyValue = false;
    uint32_t i = 0;
    while (i < words && list[i] != 0) { // one group per pass
        if (!isMarker(list[i])) {
            return 0; // a raw copy group (or garbage) is not a master's
        }
        for (++i; i < words && list[i] != 0; ++i) {
            const uint32_t address = list[i];
            const int32_t d = ((address & 0x00FFFFFFu) >> 18) == m.source ? ops.daqOf(address) : -1;
            if (d < 0 || (group >= 0 && d != group)) {
                return 0;
            }
            group = d;
            anyValue = true;
        }
        if (i >= words) {
            return 0; // group not ended within the list
        }
        ++i;
    }
    if (i >= words || !anyValue) {
        return 0; // list not ended, or nothing to acquire
    }
    if (daq != nullptr) {
        *daq = static_cast<uint32_t>(group);
    }
    return 1;
}

ecumr_stopfn_t createList(Master& m, const uint32_t* list, uint32_t daq) {
    const EcuMasterOps ops = opsOf(m);
    return ops.create && list != nullptr ? ops.create(list, daq) : nullptr;
}

} // namespace

void ccpmr_registerMaster(const EcuMasterOps& ops) {
    registerMaster(ccpMaster(), ops);
}
void xcpmr_registerMaster(const EcuMasterOps& ops) {
    registerMaster(xcpMaster(), ops);
}

uint8_t ccpmr_checkMeasList(const uint32_t* list, uint32_t length, uint32_t* daq, uint8_t) {
    return checkMeasList(ccpMaster(), list, length, daq);
}
uint8_t xcpmr_checkMeasList(const uint32_t* list, uint32_t length, uint32_t* daq, uint8_t) {
    return checkMeasList(xcpMaster(), list, length, daq);
}

ecumr_stopfn_t ccpmr_measlist_create(const uint32_t* list, uint32_t daq) {
    return createList(ccpMaster(), list, daq);
}
ecumr_stopfn_t xcpmr_measlist_create(const uint32_t* list, uint32_t daq) {
    return createList(xcpMaster(), list, daq);
}

bool xcpMasterPresent() {
    return toolConnected.load();
}
void xcpMasterPresent_set(bool present) {
    toolConnected.store(present);
}
