#include "logging_root.h"

#include "app_process.h"
#include "caldataset.h"

#include <filesystem>
#include <sstream>

namespace testsupport {

::testing::AssertionResult writeRootDataset(const TempDir& root, const LoggingRoot& options,
                                            std::string* program) {
    std::string identity, pageLength, log;
    if (!learnDatasetIdentity(root.path(), options.index, &identity, &pageLength, &log))
        return ::testing::AssertionFailure() << "no dataset identity: " << log;
    caldata::CalDataset data;
    if (options.pcode) data.set("PCODE", 0, options.pcode);
    if (options.dataDelayMs) data.set("DATADELAY", 0, options.dataDelayMs);
    if (options.deviceConfig) data.set("DEVICE_CONFIG", 0, options.deviceConfig);
    if (!caldata::writeDataset(root.path(), data.file(identity)))
        return ::testing::AssertionFailure() << "the dataset is not written in " << root.path();
    if (program) *program = identity;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult prepareLoggingRoot(const TempDir& root, const LoggingRoot& options) {
    if (::testing::AssertionResult written = writeRootDataset(root, options); !written) return written;
    std::filesystem::remove_all(root.file("nv"));
    std::filesystem::remove_all(root.file("meas"));
    if (options.freshLog) std::filesystem::remove_all(root.file("log"));
    makeDirs(root.file("meas"));
    if (options.stickFolder) makeDirs(root.file("usb_meas"));
    if (options.nvFolder) makeDirs(root.file("nv"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), options.stickIn ? "inserted 1\n" : "inserted 0\n");
    return ::testing::AssertionSuccess();
}

void setStick(const TempDir& root, bool inserted) {
    std::string state = "inserted " + std::string(inserted ? "1" : "0") + "\n";
    std::istringstream was(readFile(root.file("usb_meas.drive")));
    for (std::string line; std::getline(was, line);)
        if (line.rfind("inserted ", 0) != 0) state += line + "\n";
    writeFile(root.file("usb_meas.drive.new"), state);
    std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
}

} // namespace testsupport
