// Measurement files written through the store's C interface: header, descriptor table, header
// records, frames and meta records in the order handed over, on the logging drive and the USB drive.
#include "store_fixture.h"

#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "measdata/crc.h"

using namespace storetest;
using testsupport::readBinary;
using testsupport::waitUntil;

namespace {

std::vector<uint8_t> bytesOf(const std::vector<uint8_t>& v, size_t from) {
    return from <= v.size() ? std::vector<uint8_t>(v.begin() + long(from), v.end()) : std::vector<uint8_t>{};
}

} // namespace

TEST_F(StoreTest, FileHoldsHeaderThenRecordsInOrderOnBothDrives) {
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    ASSERT_GE(vf, 0);
    const uint32_t headerLength = f->headerLength;

    std::vector<uint8_t> fed;
    auto add = [&](const std::vector<uint8_t>& r) { fed.insert(fed.end(), r.begin(), r.end()); };
    // A status block before the first frame opens the file (it was lost before).
    const std::vector<uint8_t> sb = {'S', 't', 'a', 't', 'e'};
    meas_app_PreTrigPutMetaDataVfCopy(h, vf, sb.data(), uint32_t(sb.size()), MEAS_META_STATUSBLOCK);
    add(metaRecord(MEAS_META_STATUSBLOCK, sb));
    for (int i = 0; i < 50; ++i) {
        const auto fr = frame(1, 2, std::vector<uint8_t>(size_t(10 + i), uint8_t(i)));
        put(h, vf, fr, 1000 + 20 * uint32_t(i), 1010 + 20 * uint32_t(i));
        add(fr);
    }
    const std::vector<uint8_t> ev = {1, 2, 3};
    meas_app_PreTrigPutMetaDataCopy(h, ev.data(), 3, 1500, MEAS_META_EVENT);
    add(metaRecord(MEAS_META_EVENT, ev));
    const std::vector<uint8_t> close = {0, 0, 0x10, 0};
    meas_app_PreTrigPutMetaDataVfCopy(h, vf, close.data(), 4, MEAS_META_CLOSE_TS);
    add(metaRecord(MEAS_META_CLOSE_TS, close));
    meas_app_PreTrigCloseFile(h, vf);

    ASSERT_TRUE(waitUntil(
        [&] { return readOnly(measFile("A0101000.001")) && readOnly(usbFile("A0101000.001")); }, 10000));
    ASSERT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
    const auto meas = readBinary(measFile("A0101000.001"));
    EXPECT_EQ(bytesOf(meas, headerLength), fed);
    EXPECT_EQ(readBinary(usbFile("A0101000.001")), meas);
    EXPECT_EQ(headerWritten, 1);
    // Header records: configuration, start stamp and car identity behind one descriptor entry.
    ASSERT_GE(meas.size(), size_t(42 + 9 + 6));
    const std::vector<uint8_t> descr = {1, 0, 0, 0, 6, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(meas.begin() + 42, meas.begin() + 51), descr);
    EXPECT_EQ(std::vector<uint8_t>(meas.begin() + 51, meas.begin() + 57),
              (std::vector<uint8_t>{0xFF, MEAS_META_CONFIG, 0, 0, 0, uint8_t(blob.size())}));
    meas_app_PreTrigDelete(h);
}

// The header of a known file: its CRC leaves out length, CRC and date; the name follows the counters.
TEST_F(StoreTest, GoldenHeader) {
    OneBlockConfig two(2);
    config = two;
    config.cfg.BlkInfo = config.blk.data();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    char name[40];
    ASSERT_GT(LapOutFra_genFilenameAbsLap(name, sizeof name, 0, 3, 12, 2, 0x01A7), 0);
    EXPECT_STREQ(name, "A030c01a.702");
    MeasAppStore_FileInfo_s* f = fileInfo(name, 0, 12);
    f->outing = 3;
    f->fragment = 2;
    f->absLap = 0x01A7;
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    put(h, vf, frame(2, 1, {9, 9}), 777, 777);
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([&] { return readOnly(measFile(name)); }, 10000));
    const auto file = readBinary(measFile(name));
    ASSERT_GE(file.size(), 42u);
    const std::vector<uint8_t> fixed = {0x00, 0x2A, 'M', 'e', 'a', 's', 'D', 'a', 't',  'a',  ' ',  'v',
                                        '6',  '.',  '0', 0,   0,   0,   0,   6,   0xDA, 0x07, 0xED, 0xCB,
                                        0x12, 0x34, 0,   12,  0,   3,   0,   2,   2,    0};
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 34), fixed);
    EXPECT_EQ(file[40], 0x01);
    EXPECT_EQ(file[41], 0xA7);
    // Zeroing length, CRC and date gives back the CRC.
    std::vector<uint8_t> copy(file.begin(), file.begin() + 42);
    for (int i : {0, 1, 20, 21, 34, 35, 36, 37, 38, 39}) copy[size_t(i)] = 0;
    EXPECT_EQ(crc16_ccitt_lsb_accu(copy.data(), 42, 0xFFFF), 0xDA07);
    // A start stamp of 0 becomes the first sample's stamp of the first frame.
    const size_t start = 42 + 2 * 9 + 6 + blob.size();
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + long(start), file.begin() + long(start) + 10),
              (std::vector<uint8_t>{0xFF, 4, 0, 0, 0, 4, 0, 0, 0x03, 0x09}));
    meas_app_PreTrigDelete(h);
}
