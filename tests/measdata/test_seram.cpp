// Calibration memory: defaults, page switching, the stored dataset and what damaged datasets get.
#include "measdata/crc.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"

#include "framework/appman.h"

#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using measdata_test::logged;
using measdata_test::takeLog;

namespace {

class Seram : public ::testing::Test {
protected:
    testsupport::TempDeviceRoot root;
    void SetUp() override {
        measdata_test::startLog();
        seramInit();
        takeLog();
    }
    std::vector<uint8_t> datasetFile() { return testsupport::readBinary(seramDatasetPath()); }
    void writeDataset(const std::vector<uint8_t>& bytes) {
        testsupport::writeFile(seramDatasetPath(), std::string(bytes.begin(), bytes.end()));
    }
    // Re-seals a dataset after a header edit, as the documented format says.
    static void resealCrc(std::vector<uint8_t>& f) {
        uint16_t crc = crc16_ccitt_lsb_accu(f.data(), 44, 0xFFFF);
        crc = crc16_ccitt_lsb_accu(f.data() + 46, f.size() - 46, crc);
        f[44] = uint8_t(crc >> 8);
        f[45] = uint8_t(crc);
    }
};

// The dataset that a calibration tool leaves behind.
void calibrateWorkingPage() {
    SeramCalData& w = seramCalPage(SERAM_PAGE_WORKING);
    w.GPS_BAUDRATE = 115200;
    w.DATADELAY = 120;
    w.CL_DISP_BRIGHT_BG[2] = 4.5f;
    std::strcpy(w.CARID_DOR.data(), "CAR 17");
}

// Each named calibration value, read at its name's address plus the active page offset, is the
// value in effect.
void checkEveryValueAtItsActiveAddress() {
    int checked = 0;
    auto check = [&](const char* name, const void* inEffect, size_t bytes) {
        const meascalinfo_t* info = meascalinfo_getInfo(name);
        ASSERT_NE(info, nullptr) << name;
        const uint8_t* p = seramMemPtr(info->pAdr + seramActiveOffset.load(), uint32_t(bytes));
        ASSERT_NE(p, nullptr) << name;
        EXPECT_EQ(p, inEffect) << name;
        ++checked;
    };
#define MSD_CAL(name, ...) check(#name, &seramCal().name, sizeof(seramCal().name));
#include "measdata/seram_vars.def"
    EXPECT_EQ(checked, 170);
}

} // namespace

TEST_F(Seram, DefaultsWithoutDatasetAreThoseTheConfigurationDocuments) {
    EXPECT_EQ(seramDatasetLoadResult(), SERAM_DATASET_MISSING);
    const SeramCalData& c = seramCal();
    EXPECT_EQ(c.GPS_BAUDRATE, 9600u);
    EXPECT_EQ(c.DATADELAY, 300);
    EXPECT_EQ(c.FILEFRAGMENTATION_TIME, 300);
    EXPECT_EQ(c.FILEFRAGMENTATION_SIZE, 5);
    EXPECT_EQ(c.OUTINGCTR_MODE, 0);
    EXPECT_EQ(c.ECU_TYPE, 0);
    EXPECT_EQ(c.DEVICE_CONFIG, 0u);
    EXPECT_EQ(c.CL_DISP_BRIGHT_BG, (std::array<float, 6>{0, 1, 3, 10, 30, 100}));
    EXPECT_EQ(c.CL_DISP_BRIGHT_BG_row_, (std::array<float, 6>{0, 50, 60, 75, 85, 100}));
    EXPECT_EQ(c.CL_DISP_BRIGHT_COLSAT, (std::array<float, 8>{40, 40, 55, 80, 120, 170, 255, 255}));
    EXPECT_EQ(c.CL_DISP_BRIGHT_COLSAT_row_, (std::array<float, 8>{0, 1, 10, 20, 30, 40, 50, 100}));
    const std::array<float, 11> ledX{0, 2, 8, 15, 25, 35, 50, 60, 75, 90, 100};
    const std::array<float, 11> ledY{0.05f, 0.05f, 0.1f, 0.3f, 0.8f, 2, 8, 15, 30, 60, 100};
    for (const auto* curve :
         {&c.CL_DISP_BRIGHT_LED_RED, &c.CL_DISP_BRIGHT_LED_GREEN, &c.CL_DISP_BRIGHT_LED_BLUE})
        EXPECT_EQ(*curve, ledY);
    for (const auto* row :
         {&c.CL_DISP_BRIGHT_LED_RED_row_, &c.CL_DISP_BRIGHT_LED_GREEN_row_, &c.CL_DISP_BRIGHT_LED_BLUE_row_})
        EXPECT_EQ(*row, ledX);
    // The working page starts as a copy; the reference page is active.
    EXPECT_EQ(seramActiveOffset.load(), 0u);
    EXPECT_EQ(std::memcmp(&seramWindow.ref.page, &seramWindow.work.page, sizeof(SeramImage)), 0);
    EXPECT_STREQ(seramGetEPKPtr(), "MSD_APPL_0100");
    const int index = RtpIndex;
    RtpIndex = 1;
    seramInit();
    EXPECT_EQ(seramSig().RtpIndex, 1);
    RtpIndex = index;
}

TEST_F(Seram, CalibrationValuesAreReadAtTheirAddressPlusTheActiveOffset) {
    ASSERT_EQ(meascalinfo_init(), 1);
    // Distinct contents in the two pages: the reference page keeps its defaults.
    calibrateWorkingPage();

    checkEveryValueAtItsActiveAddress();
    EXPECT_EQ(seramCal().GPS_BAUDRATE, 9600u);
    ASSERT_TRUE(seramSetActivePage(SERAM_PAGE_WORKING));
    EXPECT_EQ(seramActiveOffset.load(), SERAM_WORK_OFFSET);
    checkEveryValueAtItsActiveAddress();
    EXPECT_EQ(seramCal().GPS_BAUDRATE, 115200u);
    EXPECT_STREQ(seramCal().CARID_DOR.data(), "CAR 17");
    EXPECT_FALSE(seramSetActivePage(2));
    EXPECT_EQ(seramActiveOffset.load(), SERAM_WORK_OFFSET);
}

TEST_F(Seram, StoredDatasetIsTakenOverAtTheNextStart) {
    calibrateWorkingPage();
    ASSERT_TRUE(seramStoreDataset());
    EXPECT_TRUE(logged(takeLog(), "calibration dataset stored"));
    seramSig().lapctr = 9;

    EXPECT_EQ(seramInit(), SERAM_DATASET_LOADED);
    EXPECT_TRUE(logged(takeLog(), "calibration dataset of 'MSD_APPL_0100' loaded"));
    EXPECT_EQ(seramCal().GPS_BAUDRATE, 115200u);
    EXPECT_EQ(seramCal().DATADELAY, 120);
    EXPECT_EQ(seramCal().CL_DISP_BRIGHT_BG[2], 4.5f);
    EXPECT_STREQ(seramCal().CARID_DOR.data(), "CAR 17");
    EXPECT_EQ(seramCalPage(SERAM_PAGE_WORKING).GPS_BAUDRATE, 115200u);
    EXPECT_EQ(seramSig().lapctr, 0); // measurement variables start cleared
    // The header as documented: magic, version, header length, identifier, data length.
    const auto f = datasetFile();
    ASSERT_EQ(f.size(), 48 + sizeof(SeramCalData));
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "MSDC");
    EXPECT_EQ((f[4] << 8) | f[5], 1);
    EXPECT_EQ((f[6] << 8) | f[7], 48);
    EXPECT_STREQ(reinterpret_cast<const char*>(&f[8]), "MSD_APPL_0100");
    EXPECT_EQ(uint32_t(f[40]) << 24 | uint32_t(f[41]) << 16 | uint32_t(f[42]) << 8 | f[43],
              sizeof(SeramCalData));
}

TEST_F(Seram, DamagedDatasetsFallBackToDefaultsAndSayWhy) {
    calibrateWorkingPage();
    ASSERT_TRUE(seramStoreDataset());
    const auto good = datasetFile();
    takeLog();

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        SeramDatasetResult result;
        const char* logText;
    };
    std::vector<Case> cases;
    auto flipped = good;
    flipped[48 + 100] ^= 0x01;
    cases.push_back({"one data bit flipped", flipped, SERAM_DATASET_BAD_CRC, "CRC"});
    auto crcOnly = good;
    crcOnly[45] ^= 0xFF;
    cases.push_back({"CRC field damaged", crcOnly, SERAM_DATASET_BAD_CRC, "CRC"});
    cases.push_back({"cut short", std::vector<uint8_t>(good.begin(), good.end() - 1),
                     SERAM_DATASET_BAD_LENGTH, "length"});
    auto longer = good;
    longer.push_back(0);
    cases.push_back({"one byte longer", longer, SERAM_DATASET_BAD_LENGTH, "length"});
    auto otherLength = good;
    otherLength[43] += 4;
    otherLength.insert(otherLength.end(), 4, 0);
    resealCrc(otherLength);
    cases.push_back({"data page of another size", otherLength, SERAM_DATASET_BAD_LENGTH, "length"});
    auto otherProgram = good;
    otherProgram[8 + 12] = '9';
    resealCrc(otherProgram);
    cases.push_back({"other program", otherProgram, SERAM_DATASET_OTHER_PROGRAM, "is for 'MSD_APPL_0109'"});
    cases.push_back({"header only", std::vector<uint8_t>(good.begin(), good.begin() + 30),
                     SERAM_DATASET_BAD_FORMAT, "no valid header"});
    auto notOurs = good;
    notOurs[0] = 'X';
    cases.push_back({"wrong magic", notOurs, SERAM_DATASET_BAD_FORMAT, "no valid header"});
    cases.push_back({"empty file", {}, SERAM_DATASET_BAD_FORMAT, "no valid header"});

    for (const Case& c : cases) {
        writeDataset(c.bytes);
        EXPECT_EQ(seramInit(), c.result) << c.what;
        EXPECT_EQ(seramDatasetLoadResult(), c.result) << c.what;
        EXPECT_EQ(seramCal().GPS_BAUDRATE, 9600u) << c.what;
        EXPECT_EQ(seramCal().CARID_DOR[0], '\0') << c.what;
        const auto lines = takeLog();
        EXPECT_TRUE(logged(lines, c.logText)) << c.what;
        EXPECT_TRUE(logged(lines, "using defaults")) << c.what;
    }
    // And the intact file still loads.
    writeDataset(good);
    EXPECT_EQ(seramInit(), SERAM_DATASET_LOADED);
}

TEST_F(Seram, UnreadableDatasetAndUnwritableStoreAreReported) {
    std::filesystem::create_directories(seramDatasetPath()); // a folder where the file belongs
    EXPECT_EQ(seramInit(), SERAM_DATASET_READ_ERROR);
    EXPECT_TRUE(logged(takeLog(), "unreadable"));
    EXPECT_EQ(seramCal().GPS_BAUDRATE, 9600u);

    std::filesystem::remove_all(root.path() + "/caldata");
    testsupport::writeFile(root.path() + "/caldata", "not a folder");
    EXPECT_FALSE(seramStoreDataset());
    EXPECT_TRUE(logged(takeLog(), "seramStoreDataset()"));
    EXPECT_EQ(testsupport::readFile(root.path() + "/caldata"), "not a folder");
}

TEST_F(Seram, MissingDatasetIsInformationNotAnError) {
    EXPECT_EQ(seramInit(), SERAM_DATASET_MISSING);
    EXPECT_TRUE(logged(takeLog(), "no calibration dataset stored, using defaults"));
}

TEST(SeramMemory, AddressesOutsideThePagesHaveNoPointer) {
    EXPECT_NE(seramMemPtr(0x25000044, 4), nullptr);
    EXPECT_NE(seramMemPtr(0x00040000, 1), nullptr); // the PID byte is not looked at
    EXPECT_EQ(seramMemPtr(0x25000000 + sizeof(SeramImage), 1), nullptr);
    EXPECT_NE(seramMemPtr(0x25000000 + sizeof(SeramImage) - 4, 4), nullptr);
    EXPECT_EQ(seramMemPtr(0x25000000 + sizeof(SeramImage) - 4, 5), nullptr);
    EXPECT_EQ(seramMemPtr(SERAM_SIG_OFFSET + sizeof(SeramSigPage), 1), nullptr);
    EXPECT_EQ(seramMemPtr(SERAM_ADP_OFFSET + sizeof(SeramAdpPage) - 1, 2), nullptr);
    EXPECT_EQ(seramMemPtr(0x00060000, 1), nullptr);
    EXPECT_EQ(seramMemPtr(0x00FFFFFF, 1), nullptr);
}
