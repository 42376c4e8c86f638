// Inside the calibration memory module.
#pragma once

#include "measdata/seram.h"

// Loads the stored dataset into `data` when it is intact and made for this program; otherwise
// logs why and leaves `data` untouched.
SeramDatasetResult seramLoadDataset(SeramCalData& data);

// Bytes from a measurement address (low 24 bits) to the end of the page it lies in; 0 outside
// every page.
uint32_t seramMemSpan(uint32_t address);
