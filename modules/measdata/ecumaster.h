// What the measurement manager asks of the engine-control-unit masters (CCP and XCP master):
// whether a queue-mode list can be acquired by a master itself, and to start that acquisition.
// The masters plug in through ccpmr_registerMaster / xcpmr_registerMaster when an engine-control
// unit is configured; until then no master cells exist and every list stays with the manager.
#pragma once

#include <cstdint>
#include <functional>

// Ends a master's acquisition of one list.
using ecumr_stopfn_t = void (*)(const uint32_t* list);

struct EcuMasterOps {
    // Acquisition group of one of the master's cells; negative when the address is none of them.
    std::function<int32_t(uint32_t address)> daqOf;
    // From now on the master's acquisition task writes the list's records into the list's data
    // FIFO; returns the function that ends this, or none when it cannot.
    std::function<ecumr_stopfn_t(const uint32_t* list, uint32_t daq)> create;
};

// Registers a master (an empty daqOf unregisters it).
void ccpmr_registerMaster(const EcuMasterOps& ops);
void xcpmr_registerMaster(const EcuMasterOps& ops);

// Non-zero when every value of the address list (`length` bytes, groups as in the measurement
// list) is a cell of that master in one acquisition group, which `daq` receives. A list that is
// not ended within its length, holds no value, or has a raw copy group is not accepted. `flag`
// (1 address request, 0 name request) makes no difference to either master.
uint8_t ccpmr_checkMeasList(const uint32_t* list, uint32_t length, uint32_t* daq, uint8_t flag);
uint8_t xcpmr_checkMeasList(const uint32_t* list, uint32_t length, uint32_t* daq, uint8_t flag);
// Starts the master's acquisition of an accepted list; none when no master takes it.
ecumr_stopfn_t ccpmr_measlist_create(const uint32_t* list, uint32_t daq);
ecumr_stopfn_t xcpmr_measlist_create(const uint32_t* list, uint32_t daq);

// True while a calibration tool is connected to the first XCP connection point; the XCP slave
// reports it with xcpMasterPresent_set.
bool xcpMasterPresent();
void xcpMasterPresent_set(bool present);
