// The device root of the logging's end-to-end tests: a dataset of the build's identity with the
// values a test asks for, the sample logging configuration, empty drives and the stick's state.
#pragma once

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace testsupport {

// What a root differs in; the defaults are the sample's logging with no stick. A value of 0 leaves
// the dataset's default.
struct LoggingRoot {
    const char* index = "0";   // the application index the dataset is for
    uint32_t pcode = 0;        // PCODE
    uint32_t dataDelayMs = 0;  // DATADELAY
    uint32_t deviceConfig = 0; // DEVICE_CONFIG
    bool stickIn = false;      // usb_meas.drive says "inserted 1" (else "inserted 0")
    bool stickFolder = false;  // an empty usb_meas/ is made
    bool nvFolder = false;     // an empty nv/ is made (to mount a drive on)
    bool freshLog = false;     // the identity run's log is removed
};

// Learns the build's dataset identity in `root` (a run of the device) and writes the dataset with
// the values of `options`; the program identifier to `program` when given.
::testing::AssertionResult writeRootDataset(const TempDir& root, const LoggingRoot& options,
                                            std::string* program = nullptr);

// The dataset as writeRootDataset writes it; no NV store and an empty meas/; cfg/m01.xml the sample
// root's; usb_meas.drive with the stick's `inserted` line only.
::testing::AssertionResult prepareLoggingRoot(const TempDir& root, const LoggingRoot& options = {});

// The stick's state file with its `inserted` line set and every other line kept, renamed over.
void setStick(const TempDir& root, bool inserted);

} // namespace testsupport
