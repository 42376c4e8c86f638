// The calibration memory: reference and working page of the calibration data, the signal page of
// measurement variables and the adaptation page, in one window (layout in seram_layout.h), and the
// calibration dataset that fills the reference page at start-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "measdata/seram_layout.h"

extern SeramWindow seramWindow;

// Offset of the active calibration page: 0 (reference page) or SERAM_WORK_OFFSET (working page).
extern std::atomic<uint32_t> seramActiveOffset;

enum : uint8_t { SERAM_PAGE_REFERENCE = 0, SERAM_PAGE_WORKING = 1 };

// The calibration values in effect: those of the active page.
inline const SeramCalData& seramCal() {
    return seramActiveOffset.load(std::memory_order_relaxed) == SERAM_WORK_OFFSET ? seramWindow.work.page.data
                                                                                  : seramWindow.ref.page.data;
}
// One page for writing (calibration tool, tests).
inline SeramCalData& seramCalPage(uint8_t page) {
    return page == SERAM_PAGE_WORKING ? seramWindow.work.page.data : seramWindow.ref.page.data;
}
// The measurement variables of the signal page and the adaptation page.
inline SeramSigPage& seramSig() {
    return seramWindow.sig.page;
}
inline SeramAdpPage& seramAdp() {
    return seramWindow.adp.page;
}

// Result of the dataset load at start-up.
enum SeramDatasetResult : uint8_t {
    SERAM_DATASET_LOADED = 0,
    SERAM_DATASET_MISSING,       // no dataset stored yet
    SERAM_DATASET_READ_ERROR,    // stored but unreadable
    SERAM_DATASET_BAD_FORMAT,    // not a dataset of this store (header)
    SERAM_DATASET_BAD_LENGTH,    // data length differs from this program's data page
    SERAM_DATASET_BAD_CRC,       // contents damaged
    SERAM_DATASET_OTHER_PROGRAM, // intact, but made for another program identifier
};

// Start-up: the reference page gets its identification string and the defaults of the variable
// list, then the stored dataset when it is intact and made for this program (otherwise the reason
// is logged and the defaults stay); the working page becomes a copy of the reference page, the
// reference page is active, and the signal and adaptation pages are cleared (the signal page's
// RtpIndex takes the application index). Runs at start-up after the parameter block is read.
SeramDatasetResult seramInit();
// The result of the last seramInit.
SeramDatasetResult seramDatasetLoadResult();

// Stores the working page's calibration data as the dataset (taken over at the next start).
// False (logged) when it cannot be written; an earlier dataset then stays as it was.
bool seramStoreDataset();
// Called by seramStoreDataset before it stores (the calculation channels stop there); one hook,
// null removes it.
void seramSetStoreHook(void (*hook)());
// Host path of the dataset file in the device root.
std::string seramDatasetPath();

// Makes the reference or the working page active. False for any other page.
bool seramSetActivePage(uint8_t page);

// The program identifier of this calibration image, NUL-terminated, at most 32 bytes.
const char* seramGetEPKPtr();

// Pointer to `size` bytes at a measurement address of this process's window (the top byte, the
// source PID, is not looked at), or none when any of them lies outside the reference image, the
// working image, the signal page or the adaptation page.
uint8_t* seramMemPtr(uint32_t address, uint32_t size);
