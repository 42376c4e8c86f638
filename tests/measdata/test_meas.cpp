// Measurement handles: memory addresses, producers' addresses, addresses nobody serves; the
// engine-control-unit masters' list checks; conversion tables; the car identifier.
#include "measdata/convtab.h"
#include "measdata/diagservice.h"
#include "measdata/ecumaster.h"
#include "measdata/seram.h"
#include "measdata/seram_meas.h"

#include "framework/errmem.h"
#include "platform/kernel/nvdb.h"

#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using measdata_test::logged;
using measdata_test::takeLog;

namespace {

constexpr uint32_t addrOf(uint8_t source, uint32_t rest) {
    return (uint32_t(source) << 18) | rest;
}

class MeasHandles : public ::testing::Test {
protected:
    testsupport::TempDeviceRoot root;
    testsupport::TempDir nv;
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(nvdb_open(nv.path(), &err)) << err;
        error_mgr_init();
        measdata_test::startLog();
        seramInit();
        takeLog();
    }
    void TearDown() override {
        for (uint8_t s : {SERAM_SRC_XCPMR, SERAM_SRC_CCPMR, SERAM_SRC_CALC}) seramMeasRegisterSource(s, {});
        nvdb_close();
    }
    static std::vector<ErrorMemEntry> errors() {
        std::vector<ErrorMemEntry> e(ERROR_MEM_ENTRIES);
        e.resize(error_mgr_list(e.data(), e.size()));
        return e;
    }
    static std::vector<uint8_t> read(const seramMeasHandle_t& h, uint32_t size) {
        std::vector<uint8_t> out(size, 0xEE);
        seramMeasCopy_bigEndian(out.data(), size, &h);
        return out;
    }
};

} // namespace

TEST_F(MeasHandles, UnservedAddressesReadTheDummyCellAndEnterTheErrorMemory) {
    struct Case {
        uint32_t address;
        uint8_t type;
    };
    const Case cases[] = {
        {0x25000000 + sizeof(SeramImage) + 16, SERAM_UNSERVED_MEMORY}, // gap behind the reference image
        {0x00060000, SERAM_UNSERVED_MEMORY},                           // behind the window
        {0x00812345, SERAM_UNSERVED_CONVERSION},                       // conversion page
        {addrOf(SERAM_SRC_CALC, 0x0501), SERAM_SRC_CALC},              // no calculation channels yet
        {addrOf(SERAM_SRC_CCPMR, 0x10), SERAM_SRC_CCPMR},
        {addrOf(SERAM_SRC_XCPMR, 0x10), SERAM_SRC_XCPMR},
    };
    for (const Case& c : cases) {
        error_mgr_clear_all();
        error_mgr_clear(SERAM_ERRMEM_PATH_UNSERVED);
        error_mgr_clear_all();
        seramMeasHandle_t h;
        seramMeasSetupMeas(c.address, 3, &h);
        EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_DUMMY)) << std::hex << c.address;
        EXPECT_EQ(read(h, 8), std::vector<uint8_t>(8, 0));
        EXPECT_EQ(seramMeasGetLatency(&h), 0);
        const auto e = errors();
        ASSERT_EQ(e.size(), 1u) << std::hex << c.address;
        EXPECT_EQ(e[0].path, SERAM_ERRMEM_PATH_UNSERVED);
        EXPECT_EQ(e[0].type, c.type);
        EXPECT_EQ(e[0].mil, 0);
        EXPECT_TRUE(logged(takeLog(), "not served")) << std::hex << c.address;
        seramMeasFreeMeas(&h);
        EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_NONE));
    }
}

TEST_F(MeasHandles, AReadNeverLeavesThePage) {
    // The last two bytes of the signal page, with the bytes behind them in the window marked.
    const uint32_t last = SERAM_SIG_OFFSET + sizeof(SeramSigPage) - 2;
    uint8_t* p = seramMemPtr(last, 2);
    ASSERT_NE(p, nullptr);
    p[0] = 0x11;
    p[1] = 0x22;
    seramWindow.sig.bytes[sizeof(SeramSigPage)] = 0xAA;
    seramWindow.sig.bytes[sizeof(SeramSigPage) + 1] = 0xBB;
    seramMeasHandle_t h;
    seramMeasSetupMeas(last, 0, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_MEMORY));
    uint8_t raw[4];
    seramMeasCopyRaw(raw, 4, &h);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 4), (std::vector<uint8_t>{0x11, 0x22, 0, 0}));
    EXPECT_EQ(read(h, 2), (std::vector<uint8_t>{0x22, 0x11}));
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{0, 0, 0x22, 0x11}));
    // Same at the end of the reference image, read through the working page.
    const uint32_t calLast = sizeof(SeramImage) - 1;
    seramMeasSetupMeas(0x25000000 + calLast, 0, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_CALPAGE));
    seramSetActivePage(SERAM_PAGE_WORKING);
    seramMemPtr(SERAM_WORK_OFFSET + calLast, 1)[0] = 0x5A;
    EXPECT_EQ(read(h, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x5A}));
    seramSetActivePage(SERAM_PAGE_REFERENCE);
}

TEST_F(MeasHandles, SizesOtherThanOneTwoFourEightCopyNothing) {
    seramSig().time_hhmmss = 0x01020304;
    seramMeasHandle_t h;
    seramMeasSetupMeas(SERAM_SIG_OFFSET + offsetof(SeramSigPage, time_hhmmss), 0, &h);
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(read(h, 3), std::vector<uint8_t>(3, 0xEE));
    EXPECT_EQ(read(h, 0), std::vector<uint8_t>{});
    seramMeasHandle_t cleared;
    seramMeasClearHandle(&cleared);
    EXPECT_EQ(read(cleared, 4), std::vector<uint8_t>(4, 0));
    seramMeasSetupMeas(0, 0, nullptr); // tolerated
    seramMeasCopy_bigEndian(nullptr, 4, &h);
}

TEST_F(MeasHandles, ProducersServeTheirAddressesThroughRegistration) {
    struct Channel {
        float value = 12.5f;
        int released = 0;
        uint16_t raster = 0;
    } ch;
    SeramMeasSource calc;
    calc.setup = [&](uint32_t address, uint16_t raster, SeramMeasCell* cell) {
        if ((address & 0x3FFFF) != 0x0501) return false; // channel 5, sub-channel 1 only
        ch.raster = raster;
        *cell = {&ch.value, sizeof(ch.value), 7};
        return true;
    };
    calc.release = [&](const void* p) { ch.released += p == &ch.value; };
    ASSERT_TRUE(seramMeasRegisterSource(SERAM_SRC_CALC, calc));
    EXPECT_FALSE(seramMeasRegisterSource(30, calc));

    seramMeasHandle_t h;
    seramMeasSetupMeas(addrOf(SERAM_SRC_CALC, 0x0501), 4, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_CALC));
    EXPECT_EQ(ch.raster, 4);
    EXPECT_EQ(seramMeasGetLatency(&h), 7);
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{0x41, 0x48, 0x00, 0x00})); // 12.5f
    ch.value = -1.0f;
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{0xBF, 0x80, 0x00, 0x00}));
    EXPECT_EQ(read(h, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0xBF, 0x80, 0, 0})); // only 4 bytes exist
    seramMeasFreeMeas(&h);
    EXPECT_EQ(ch.released, 1);
    EXPECT_EQ(h.ptr, nullptr);

    // A channel the producer does not have is unserved.
    seramMeasSetupMeas(addrOf(SERAM_SRC_CALC, 0x0601), 4, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_DUMMY));
    seramMeasFreeMeas(&h);
    EXPECT_EQ(ch.released, 1);

    // Master values carry no latency; unregistering makes the source unserved again.
    SeramMeasSource xcp;
    xcp.setup = [&](uint32_t, uint16_t, SeramMeasCell* cell) {
        *cell = {&ch.value, sizeof(ch.value), 9};
        return true;
    };
    seramMeasRegisterSource(SERAM_SRC_XCPMR, xcp);
    seramMeasSetupMeas(addrOf(SERAM_SRC_XCPMR, 0x20), 4, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_XCPMR));
    EXPECT_EQ(seramMeasGetLatency(&h), 0);
    seramMeasRegisterSource(SERAM_SRC_XCPMR, {});
    seramMeasSetupMeas(addrOf(SERAM_SRC_XCPMR, 0x20), 4, &h);
    EXPECT_EQ(h.kind, uint32_t(SERAM_MEAS_DUMMY));
}

TEST(EcuMasters, WithoutAnEngineControlUnitNoListGoesToAMaster) {
    const uint32_t list[] = {0xFFFFFFFC, addrOf(SERAM_SRC_CCPMR, 0x100), 0, 0};
    uint32_t daq = 77;
    EXPECT_EQ(ccpmr_checkMeasList(list, sizeof(list), &daq, 1), 0);
    EXPECT_EQ(xcpmr_checkMeasList(list, sizeof(list), &daq, 0), 0);
    EXPECT_EQ(daq, 77u);
    EXPECT_EQ(ccpmr_measlist_create(list, 0), nullptr);
    EXPECT_EQ(xcpmr_measlist_create(list, 0), nullptr);
    EXPECT_FALSE(xcpMasterPresent());
    xcpMasterPresent_set(true);
    EXPECT_TRUE(xcpMasterPresent());
    xcpMasterPresent_set(false);
}

namespace {
int stopCalls = 0;
void stopAcquisition(const uint32_t*) {
    ++stopCalls;
}
} // namespace

TEST(EcuMasters, ARegisteredMasterTakesListsOfOneAcquisitionGroupOnly) {
    EcuMasterOps ops;
    ops.daqOf = [](uint32_t address) { return int32_t((address >> 8) & 0xF); }; // group in bits 8-11
    ops.create = [](const uint32_t*, uint32_t daq) { return daq == 2 ? &stopAcquisition : nullptr; };
    ccpmr_registerMaster(ops);
    const uint32_t g2a = addrOf(SERAM_SRC_CCPMR, 0x210), g2b = addrOf(SERAM_SRC_CCPMR, 0x244);
    const uint32_t g3 = addrOf(SERAM_SRC_CCPMR, 0x310);

    const std::vector<uint32_t> good = {0xFFFFFFFC, g2a, 0, 0xFFFFFFFF, g2b, 0, 0};
    uint32_t daq = 0;
    EXPECT_EQ(ccpmr_checkMeasList(good.data(), uint32_t(good.size() * 4), &daq, 1), 1);
    EXPECT_EQ(daq, 2u);
    EXPECT_EQ(xcpmr_checkMeasList(good.data(), uint32_t(good.size() * 4), &daq, 1),
              0); // not the XCP master's
    ecumr_stopfn_t stop = ccpmr_measlist_create(good.data(), daq);
    ASSERT_EQ(stop, &stopAcquisition);
    stopCalls = 0;
    stop(good.data());
    EXPECT_EQ(stopCalls, 1);

    const std::vector<std::vector<uint32_t>> refused = {
        {0xFFFFFFFC, g2a, g3, 0, 0},         // two groups
        {0xFFFFFFFC, g2a, 0x25040010, 0, 0}, // a calibration-memory address
        {4, g2a, 0, 0},                      // raw copy group
        {0xFFFFFFFC, 0, 0},                  // no value
        {0},                                 // empty list
        {0xFFFFFFFC, g2a, g2b},              // group not ended within the length
        {0xFFFFFFFC, g2a, 0},                // list not ended
        {0x1234, g2a, 0, 0},                 // no marker
    };
    for (const auto& l : refused) {
        // Exactly sized, so a read past the given length would be caught.
        std::vector<uint32_t> exact(l);
        EXPECT_EQ(ccpmr_checkMeasList(exact.data(), uint32_t(exact.size() * 4), &daq, 1), 0)
            << "list of " << l.size() << " words starting " << std::hex << l[0];
    }
    // A length shorter than the words given counts.
    EXPECT_EQ(ccpmr_checkMeasList(good.data(), 8, &daq, 1), 0);
    EXPECT_EQ(ccpmr_checkMeasList(nullptr, 64, &daq, 1), 0);
    ccpmr_registerMaster({});
    EXPECT_EQ(ccpmr_checkMeasList(good.data(), uint32_t(good.size() * 4), &daq, 1), 0);
}

TEST(ConvTables, PartitionsRegisterOnceWithinTheEntryLimit) {
    measdata_test::startLog();
    const convAddrMapEntry_t twoEntries[2] = {};
    const convListEntry_t identity[1] = {{1.0f, 0.0f}};
    const uint32_t two = 2, one = 1, many = 510, rest = 509;
    const convInitTab_t p0{twoEntries, &two, identity, &one};
    std::vector<convAddrMapEntry_t> big(many);
    const convInitTab_t tooMany{big.data(), &many, identity, &one};
    const convInitTab_t fitting{big.data(), &rest, identity, &one};

    EXPECT_EQ(convRegisterVirtualMeasTable(0, &p0), 1);
    EXPECT_TRUE(
        logged(takeLog(), "convRegisterVirtualMeasTable(): Successfully done. New table size: 2 of 511"));
    EXPECT_EQ(convRegisterVirtualMeasTable(0, &p0), 0);
    EXPECT_TRUE(logged(takeLog(), "convRegisterVirtualMeasTable(): Virtual page already in use"));
    EXPECT_EQ(convRegisterVirtualMeasTable(8, &p0), 0);
    EXPECT_TRUE(logged(takeLog(), "convRegisterVirtualMeasTable(): Virtual page index too high"));
    EXPECT_EQ(convRegisterVirtualMeasTable(1, &tooMany), 0);
    EXPECT_TRUE(logged(takeLog(), "convRegisterVirtualMeasTable(): Virtual page entries exceeded"));
    EXPECT_EQ(convRegisterVirtualMeasTable(1, nullptr), 0);
    EXPECT_EQ(convRegisterVirtualMeasTable(1, &fitting), 1);
    EXPECT_TRUE(logged(takeLog(), "New table size: 511 of 511"));
    const uint32_t none = 0;
    const convInitTab_t empty{nullptr, &none, nullptr, &none};
    EXPECT_EQ(convRegisterVirtualMeasTable(7, &empty), 1);
}

TEST(DiagService, CarIdIsCutAndAlwaysTerminated) {
    auto& id = seramSig().carid_dor_info;
    id.fill(0);
    std::strcpy(id.data(), "CAR-17");
    char buf[40];
    std::memset(buf, 'x', sizeof(buf));
    diagService_GetCarId(buf, 32);
    EXPECT_STREQ(buf, "CAR-17");
    diagService_GetCarId(buf, 4);
    EXPECT_STREQ(buf, "CAR");
    buf[0] = 'q';
    diagService_GetCarId(buf, 0);
    EXPECT_EQ(buf[0], 'q');
    id.fill('Z'); // a full field without its NUL
    diagService_GetCarId(buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), std::string(32, 'Z'));
}

// The 100 ms task sets the car id while the measurement task writes a file's header: the header
// takes one identifier whole, never a mix of the old and the new.
TEST(DiagService, ACarIdSetWhileAHeaderReadsItIsReadWhole) {
    const std::string a(31, 'A'), b = "B-7";
    diagService_SetCarId(a.data(), a.size());
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (int i = 0; !done.load(); ++i) {
            const std::string& id = i % 2 ? a : b;
            diagService_SetCarId(id.data(), id.size());
        }
    });
    char buf[33];
    int mixed = 0;
    for (int i = 0; i < 20000; ++i) {
        diagService_GetCarId(buf, sizeof(buf));
        if (buf != a && buf != b) ++mixed;
    }
    done = true;
    setter.join();
    EXPECT_EQ(mixed, 0);
}
