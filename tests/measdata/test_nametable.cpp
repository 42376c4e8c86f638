// The name table: every name of the variable list is found with its descriptor, the descriptors
// fit the calibration memory window, and a handle made from a name's address reads the value.
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "measdata/seram_meas.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct NamedArea {
    std::string area;
    std::string name;
};

// The names in table order, as the system's documentation lists them by area.
std::vector<NamedArea> expectedNames() {
    std::ifstream in(testsupport::testdataPath("measdata/names.txt"));
    std::vector<NamedArea> out;
    std::string line, area;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            area = line.substr(1, line.size() - 2);
            continue;
        }
        out.push_back({area, line});
    }
    return out;
}

uint32_t bytesOf(const meascalinfo_t* info) {
    return getSizeofType(info->dType) * info->dLength;
}

class NameTable : public ::testing::Test {
protected:
    testsupport::TempDeviceRoot root;
    void SetUp() override {
        seramInit();
        ASSERT_EQ(meascalinfo_init(), 1);
    }
};

} // namespace

TEST_F(NameTable, AllNamesAreFoundWithTheDescriptorOfTheirListEntry) {
    const auto names = expectedNames();
    ASSERT_EQ(names.size(), MEASCALINFO_COUNT);
    for (uint32_t i = 0; i < MEASCALINFO_COUNT; ++i) {
        EXPECT_STREQ(labelNames[i], names[i].name.c_str()) << "table order at entry " << i;
        EXPECT_EQ(meascalinfo_getInfo(names[i].name.c_str()), &allmeascalinfo[i]) << names[i].name;
    }
    EXPECT_EQ(meascalinfo_getInfo("epkid"), nullptr);
    EXPECT_EQ(meascalinfo_getInfo(""), nullptr);
    EXPECT_EQ(meascalinfo_getInfo("CL_DISP_BRIGHT_BG_row_"), nullptr); // in the page, not named
}

TEST_F(NameTable, EachAreaLiesInItsPageWithoutOverlaps) {
    std::map<std::string, std::vector<const meascalinfo_t*>> byArea;
    for (const auto& n : expectedNames()) byArea[n.area].push_back(meascalinfo_getInfo(n.name.c_str()));
    ASSERT_EQ(byArea["ident"].size(), 2u);
    ASSERT_EQ(byArea["data"].size(), 170u);
    ASSERT_EQ(byArea["signal"].size(), 363u);
    ASSERT_EQ(byArea["adaptation"].size(), 2u);

    struct Page {
        const char* area;
        uint32_t begin, end;
    };
    const Page pages[] = {{"data", 0x25000044, 0x25020000},
                          {"signal", 0x25040000, 0x25050000},
                          {"adaptation", 0x25050000, 0x25060000}};
    for (const Page& page : pages) {
        auto entries = byArea[page.area];
        std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->pAdr < b->pAdr; });
        uint32_t end = page.begin;
        for (const auto* e : entries) {
            EXPECT_GE(e->pAdr, end) << page.area << " entry at 0x" << std::hex << e->pAdr << " overlaps";
            EXPECT_EQ(e->pAdr % getSizeofType(e->dType), 0u) << "misaligned 0x" << std::hex << e->pAdr;
            end = e->pAdr + bytesOf(e);
        }
        EXPECT_LE(end, page.end) << page.area;
    }
    // The data page reaches into 0x2501xxxx.
    EXPECT_GE(byArea["data"].back()->pAdr + bytesOf(byArea["data"].back()), 0x25010000u);
}

TEST_F(NameTable, IdentificationStringEntries) {
    const meascalinfo_t* epk = meascalinfo_getInfo("EPKID");
    ASSERT_NE(epk, nullptr);
    EXPECT_EQ(epk, &allmeascalinfo[0]);
    EXPECT_EQ(epk->pAdr, 0x25000020u);
    EXPECT_EQ(epk->dType, 0u);
    EXPECT_EQ(epk->dLength, 14u);
    const meascalinfo_t* dor = meascalinfo_getInfo("epkid_dor_info");
    EXPECT_EQ(dor->pAdr, 0x25000020u);
    EXPECT_EQ(dor->dLength, 32u);
    // The 14 bytes there are the program identifier with its NUL.
    seramMeasHandle_t h;
    seramMeasSetupMeas(epk->pAdr, 0, &h);
    char text[14];
    for (uint32_t i = 0; i < 14; ++i) {
        seramMeasSetupMeas(epk->pAdr + i, 0, &h);
        seramMeasCopy_bigEndian(&text[i], 1, &h);
    }
    EXPECT_EQ(std::strlen(seramGetEPKPtr()), 13u);
    EXPECT_EQ(std::memcmp(text, seramGetEPKPtr(), 14), 0);
}

TEST_F(NameTable, TypeCodesFlagsFactorsAndOffsetsAsDocumented) {
    std::map<uint32_t, int> perType;
    int flags = 0;
    for (const auto& e : allmeascalinfo) {
        ++perType[e.dType];
        EXPECT_TRUE(e.bitmask == 0 || e.bitmask == 1);
        flags += e.bitmask == 1;
        EXPECT_GT(e.sens, 0.0f);
    }
    EXPECT_EQ(perType,
              (std::map<uint32_t, int>{{0, 193}, {1, 6}, {2, 170}, {3, 3}, {4, 86}, {5, 10}, {6, 69}}));
    EXPECT_EQ(flags, 59);
    for (const char* flag : {"B_Laptriggerpin", "CARID_DOR_WRITE", "b_pwr_good"})
        EXPECT_EQ(meascalinfo_getInfo(flag)->bitmask, 1u) << flag;
    const std::pair<const char*, float> factors[] = {
        {"sb_laptime_dor", 100.0f}, {"sb_fueltotal_dor", 10.0f},      {"iusb", 0.2f},
        {"sens_5V_1_u", 1000.0f},   {"meas_write_rate_usb", 1024.0f}, {"PCODE", 1.0f}};
    for (auto [name, sens] : factors) EXPECT_FLOAT_EQ(meascalinfo_getInfo(name)->sens, sens) << name;
    EXPECT_FLOAT_EQ(meascalinfo_getInfo("tecu_core")->offset, 40.0f);
    EXPECT_FLOAT_EQ(meascalinfo_getInfo("lttecu_max")->offset, 40.0f);
    EXPECT_FLOAT_EQ(meascalinfo_getInfo("gps_lat")->offset, 0.0f);
}

TEST_F(NameTable, SizesOfTheValuesOtherPartsRelyOn) {
    const std::pair<const char*, uint32_t> sizes[] = {{"PCODE", 2},
                                                      {"ECU_TYPE", 2},
                                                      {"DEVICE_CONFIG", 4},
                                                      {"LOGGING2_TARGET_PARTITION", 1},
                                                      {"MEAS_MAXFILECNT_PART1", 4},
                                                      {"MEAS_MAXFILECNT_PART2", 4},
                                                      {"OUTINGCTR_MODE", 1},
                                                      {"OUTINGCTR_MODE_TESTBENCH_RESET", 1},
                                                      {"MEAS_APP_DEBUG", 1},
                                                      {"FILEFRAGMENTATION_SIZE", 1},
                                                      {"FILEFRAGMENTATION_TIME", 2},
                                                      {"DATADELAY", 2},
                                                      {"MSDCOM_DBG_PID_1", 1},
                                                      {"MSDCOM_DBG_PID_2", 1},
                                                      {"MSDCOM_DBG_PING_PID", 1},
                                                      {"MSDCOM_DBG_PING_FREQ", 1},
                                                      {"GPS_BAUDRATE", 4},
                                                      {"ECU_ANNOTATION", 256},
                                                      {"CARID_DOR", 32},
                                                      {"ECU_ANNOTATION_WRITE", 1},
                                                      {"SIMU8_3", 1},
                                                      {"SIMU16_3", 2},
                                                      {"DEFAULT_GATEWAY_DEVICE_IP", 4},
                                                      {"CL_DISP_BRIGHT_BG", 24},
                                                      {"CL_DISP_BRIGHT_COLSAT", 32},
                                                      {"CL_DISP_BRIGHT_LED_RED", 44},
                                                      {"lapctr", 2},
                                                      {"outctr", 2},
                                                      {"fractr", 2},
                                                      {"abslap", 2},
                                                      {"ecu_annotation_info", 256},
                                                      {"carid_dor_info", 32},
                                                      {"B_Laptriggerpin", 1},
                                                      {"time_on", 2},
                                                      {"time_hhmmss", 4},
                                                      {"time_msec", 2},
                                                      {"display_page", 1},
                                                      {"display_page_mx", 1},
                                                      {"display_brightness", 1},
                                                      {"display_elements_updated", 2},
                                                      {"disp_timeout_pids", 4},
                                                      {"gps_lat", 4},
                                                      {"gps_year", 2},
                                                      {"gps_msg_cnt", 2},
                                                      {"gps_fix", 4},
                                                      {"gps_info_satid", 48},
                                                      {"Cfg_events_arr", 50},
                                                      {"event_write_cnt", 4},
                                                      {"meas_cnt_int_arr", 8},
                                                      {"meas_write_rate_usb", 8},
                                                      {"fifo_load_max_R1ms", 1},
                                                      {"fifo_full_ctr", 4},
                                                      {"msdcom_dbg_ping_max", 2},
                                                      {"msdcom_dbg_bcRemSeqCnt_2", 4},
                                                      {"msdcom_gw_mlistCnt_mlist_err_2", 2},
                                                      {"meas_fileCnt_usb", 4}};
    for (auto [name, bytes] : sizes) {
        const meascalinfo_t* info = meascalinfo_getInfo(name);
        ASSERT_NE(info, nullptr) << name;
        EXPECT_EQ(bytesOf(info), bytes) << name;
    }
    EXPECT_EQ(meascalinfo_getInfo("gps_lat")->dType, 6u);
    EXPECT_EQ(meascalinfo_getInfo("CL_DISP_BRIGHT_BG")->dType, 6u);
}

TEST_F(NameTable, RepeatCreateChangesNothingAndAnotherTableIsRefused) {
    msdhash_t* own = msdhash_create(MEASCALINFO_BUCKETS);
    // The entries are already chained in the table of meascalinfo_init.
    EXPECT_EQ(meascalinfo_createTable(own), 0u);
    EXPECT_EQ(own->count, 0u);
    EXPECT_EQ(meascalinfo_createTable(nullptr), 0u);
    msdhash_delete(own);

    EXPECT_EQ(meascalinfo_init(), 1); // second start-up call: the same table
    const meascalinfo_t* before = meascalinfo_getInfo("fuelcons_scope2");
    EXPECT_EQ(meascalinfo_getInfo("no_such_variable"), nullptr); // terminates: no chain loops
    EXPECT_EQ(meascalinfo_getInfo("fuelcons_scope2"), before);
}

TEST_F(NameTable, EveryVariableIsReadableWholeAtItsAddress) {
    for (uint32_t i = 0; i < MEASCALINFO_COUNT; ++i) {
        const meascalinfo_t& e = allmeascalinfo[i];
        EXPECT_NE(seramMemPtr(e.pAdr, bytesOf(&e)), nullptr) << labelNames[i];
        seramMeasHandle_t h;
        seramMeasSetupMeas(e.pAdr, 3, &h);
        EXPECT_NE(h.kind, uint32_t(SERAM_MEAS_DUMMY)) << labelNames[i];
        EXPECT_GE(h.extra & 0xFFFFu, std::min<uint32_t>(bytesOf(&e), 0xFFFF)) << labelNames[i];
    }
}

TEST_F(NameTable, HandleFromANamesAddressReadsWhatWasWrittenBigEndian) {
    seramSig().time_hhmmss = 0x01020304u;
    seramSig().lapctr = 0xA1B2;
    seramSig().display_page = 0x7E;
    seramSig().gps_lat = -48.1173f;
    seramSig().gps_info_satazimuth[5] = -2;

    auto readBe = [](const char* name, uint32_t size, uint32_t index = 0) {
        const meascalinfo_t* info = meascalinfo_getInfo(name);
        seramMeasHandle_t h;
        seramMeasSetupMeas(info->pAdr + index * getSizeofType(info->dType), 3, &h);
        std::vector<uint8_t> out(size, 0xEE);
        seramMeasCopy_bigEndian(out.data(), size, &h);
        seramMeasFreeMeas(&h);
        return out;
    };
    EXPECT_EQ(readBe("time_hhmmss", 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(readBe("lapctr", 2), (std::vector<uint8_t>{0xA1, 0xB2}));
    EXPECT_EQ(readBe("display_page", 1), (std::vector<uint8_t>{0x7E}));
    uint32_t bits;
    const float lat = -48.1173f;
    std::memcpy(&bits, &lat, 4);
    EXPECT_EQ(readBe("gps_lat", 4), (std::vector<uint8_t>{uint8_t(bits >> 24), uint8_t(bits >> 16),
                                                          uint8_t(bits >> 8), uint8_t(bits)}));
    EXPECT_EQ(readBe("gps_info_satazimuth", 4, 5), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFE}));
}

TEST_F(NameTable, CalibrationValueHandleFollowsTheActivePage) {
    seramCalPage(SERAM_PAGE_REFERENCE).PCODE = 0x1234;
    seramCalPage(SERAM_PAGE_WORKING).PCODE = 0xBEEF;
    const meascalinfo_t* info = meascalinfo_getInfo("PCODE");
    seramMeasHandle_t h;
    seramMeasSetupMeas(info->pAdr, 3, &h);
    uint8_t be[2];
    seramMeasCopy_bigEndian(be, 2, &h);
    EXPECT_EQ(be[0], 0x12);
    EXPECT_EQ(be[1], 0x34);
    ASSERT_TRUE(seramSetActivePage(SERAM_PAGE_WORKING));
    seramMeasCopy_bigEndian(be, 2, &h);
    EXPECT_EQ(be[0], 0xBE);
    EXPECT_EQ(be[1], 0xEF);
    // The working page's own address always reads the working page.
    seramMeasHandle_t w;
    seramMeasSetupMeas(info->pAdr + SERAM_WORK_OFFSET, 3, &w);
    ASSERT_TRUE(seramSetActivePage(SERAM_PAGE_REFERENCE));
    seramMeasCopy_bigEndian(be, 2, &w);
    EXPECT_EQ(be[0], 0xBE);
    seramMeasCopy_bigEndian(be, 2, &h);
    EXPECT_EQ(be[0], 0x12);
}
