// Display data: value objects shared per channel, lists per device and raster, conversion, display
// texts, the gateway's callbacks, and values of this device's signal page arriving through the real
// gateway as texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "display/config/dispxml_vtab.h"
#include "display/data/cdata.h"
#include "test_gw_fixture.h"

#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/measman/meas_man.h"

namespace {

constexpr uint16_t kRaster20ms = 4;

enum : uint16_t {
    T_UINT8 = 1,
    T_SINT8 = 2,
    T_UINT16 = 3,
    T_SINT16 = 4,
    T_UINT32 = 5,
    T_SINT32 = 6,
    T_FLOAT = 7
};

awm_meas_in Input(uint32_t adr, uint16_t type, uint32_t mask = 0xFFFFFFFF) {
    awm_meas_in in{};
    in.adr = adr;
    in.type = type;
    in.mask = mask;
    in.quant_b = 1;
    in.quant_f = 1;
    return in;
}

display_elem_s Alpha(uint32_t adr, uint16_t type, uint32_t mode = DISPMODE_NORMAL) {
    display_elem_s e{};
    e.kind = ELEM_ALPHANUM;
    e.alphanum.ch_input = Input(adr, type);
    e.alphanum.dispmode = mode;
    e.alphanum.vis_mode = VIS_LIMIT;
    e.alphanum.vis_input = Input(adr, type);
    return e;
}

display_elem_s Bar(uint32_t adr, uint16_t type) {
    display_elem_s e{};
    e.kind = ELEM_BARGRAPH;
    e.bargraph.ch_input = Input(adr, type);
    return e;
}

std::vector<uint32_t> Words(const CDataList* l) {
    return std::vector<uint32_t>(l->addresses, l->addresses + l->words + 1);
}

// A manager on a gateway that runs but reaches no device.
class DisplayData : public ::testing::Test {
protected:
    void SetUp() override {
        gw_meas_exit();
        ASSERT_TRUE(gw_meas_ini());
    }
    void TearDown() override { gw_meas_exit(); }
};

} // namespace

TEST_F(DisplayData, ValuesShareObjectsAndFillListsPerDeviceAndRaster) {
    CDataManager man;
    display_elem_s a = Alpha(0x21001000, T_UINT16), b = Alpha(0x21001002, T_UINT16),
                   c = Alpha(0x21002000, T_FLOAT);
    CData* da = man.addData(&a, kRaster20ms, CDATA_VALUE);
    man.addData(&b, kRaster20ms, CDATA_VALUE);
    man.addData(&c, kRaster20ms, CDATA_VALUE);
    ASSERT_EQ(man.listCount(), 1);
    man.createMeaslists();
    const CDataList* l = man.lists();
    EXPECT_EQ(l->pid, 0x21);
    EXPECT_EQ(l->rate, kRaster20ms);
    EXPECT_EQ(Words(l), (std::vector<uint32_t>{0xFFFFFFFC, 0x2000, 0, 0xFFFFFFFE, 0x1002, 0x1000, 0, 0}));
    EXPECT_EQ(4 * l->words + 4, 32);
    EXPECT_EQ(l->recordSize, 12);

    // Sharing: an equal value channel shares, a bar graph or a visibility channel does not, and two
    // visibility channels on one address do; the sharer uses the first one's object.
    display_elem_s a2 = Alpha(0x21001000, T_UINT16), bar = Bar(0x21001000, T_UINT16);
    EXPECT_EQ(man.addData(&a2, kRaster20ms, CDATA_VALUE)->meas, da->meas);
    CData* vis1 = man.addData(&a, kRaster20ms, CDATA_VISIBILITY);
    EXPECT_NE(vis1->meas, da->meas);
    EXPECT_EQ(man.addData(&a2, kRaster20ms, CDATA_VISIBILITY)->meas, vis1->meas);
    EXPECT_NE(man.addData(&bar, kRaster20ms, CDATA_VALUE)->meas, da->meas);
    const awm_meas_in page = Input(0x21001000, T_UINT16);
    auto* cfg1 = new CData(&page);
    auto* cfg2 = new CData(&page);
    man.addData(cfg1, kRaster20ms);
    man.addData(cfg2, kRaster20ms);
    EXPECT_NE(cfg1->meas, cfg2->meas) << "configuration inputs never share";
    display_elem_s picture{};
    picture.kind = ELEM_PICTURE;
    EXPECT_EQ(man.addData(&picture, kRaster20ms, CDATA_VALUE), nullptr);
}

TEST_F(DisplayData, AListTakesValuesUntilItsCapacityAndItsAddressesFitItsWords) {
    CDataManager man;
    // 113 four-byte values (115 words) and a two-byte value (3 more words): the fullest list.
    std::vector<display_elem_s> elems;
    for (uint32_t i = 0; i < 113; ++i) elems.push_back(Alpha(0x22000000 + 4 * i, T_UINT32, 1));
    elems.push_back(Alpha(0x22100000, T_UINT16));
    for (display_elem_s& e : elems) man.addData(&e, kRaster20ms, CDATA_VALUE);
    ASSERT_EQ(man.listCount(), 1);
    man.createMeaslists();
    const CDataList* full = man.lists();
    ASSERT_EQ(full->words, 118);
    EXPECT_EQ(4 * full->words + 4, 476);
    const std::vector<uint32_t> w = Words(full);
    EXPECT_EQ(w[0], 0xFFFFFFFC);
    EXPECT_EQ(w[114], 0u);
    EXPECT_EQ(w[115], 0xFFFFFFFE);
    EXPECT_EQ(w[116], 0x100000u);
    EXPECT_EQ(w[117], 0u);
    EXPECT_EQ(w[118], 0u);
    EXPECT_EQ(full->recordSize, 4 + 4 * 113 + 2);

    // The next value of that device and raster opens a list; other devices and rasters have their own.
    display_elem_s more = Alpha(0x22200000, T_UINT8), other = Alpha(0x23000000, T_UINT8),
                   slow = Alpha(0x22300000, T_UINT8);
    man.addData(&more, kRaster20ms, CDATA_VALUE);
    man.addData(&other, kRaster20ms, CDATA_VALUE);
    man.addData(&slow, 6, CDATA_VALUE);
    EXPECT_EQ(man.listCount(), 4);
}

TEST_F(DisplayData, SamplesConvertAndSaturate) {
    struct Case {
        uint16_t type;
        uint32_t mask;
        std::vector<uint8_t> sample; // big-endian
        float a, b, c;
        double converted;
        int rawInt;
        unsigned rawUnsigned;
    } cases[] = {
        {T_UINT16, 0x0F00, {0x12, 0x34}, 0, 1, 0, 2, 0x1234, 0x1234},     // masked, shifted by 8
        {T_SINT16, 0x0F00, {0xFF, 0x00}, 0, 1, 0, -1, -256, 0xFFFFFF00u}, // shifted, not masked
        {T_SINT8, 0xFFFFFFFF, {0xFF}, 0, 2, 1, -1, -1, 0xFFFFFFFFu},      // 2x + 1
        {T_UINT32, 0xFFFFFFFF, {0, 0, 0, 3}, 1, 0, 0, 9, 3, 3},           // x squared
        {T_FLOAT, 0xFFFFFFFF, {0x60, 0xAD, 0x78, 0xEC}, 0, 1, 0, 1e20, INT32_MAX, UINT32_MAX},
        {T_FLOAT, 0xFFFFFFFF, {0xC0, 0x6C, 0xCC, 0xCD}, 0, 1, 0, -3.7, -3, 0}, // truncated toward zero
        {T_FLOAT, 0xFFFFFFFF, {0x7F, 0xC0, 0x00, 0x00}, 0, 1, 0, NAN, 0, 0},   // NaN gives 0
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.converted);
        awm_meas_in in = Input(0x21000000, k.type, k.mask);
        in.quant_a = k.a;
        in.quant_b = k.b;
        in.quant_c = k.c;
        CData d(&in);
        ASSERT_NE(d.newMeas(), nullptr);
        EXPECT_FALSE(d.getMeasUpdateState());
        d.meas->putData(k.sample.data());
        EXPECT_TRUE(d.getMeasUpdateState());
        d.updateData();
        double v = 0;
        int i = 7;
        unsigned u = 7;
        d.getQuantData(v);
        if (std::isnan(k.converted))
            EXPECT_TRUE(std::isnan(v));
        else
            EXPECT_NEAR(v, k.converted, std::fabs(k.converted) * 1e-6);
        d.getRawData(i);
        d.getRawData(u);
        EXPECT_EQ(i, k.rawInt);
        EXPECT_EQ(u, k.rawUnsigned);
        d.getQuantData(i);
        EXPECT_EQ(i, std::isnan(k.converted) ? 0
                     : k.converted > 2e9     ? INT32_MAX
                                             : static_cast<int>(k.converted));
        d.setTimeout();
        EXPECT_FALSE(d.getMeasUpdateState());
        delete d.meas;
    }
}

TEST(DisplayTexts, ModesFormatsAndLimits) {
    verbtab_entry_s second{};
    second.num = 2;
    std::strcpy(second.str, "second");
    verbtab_s gears{};
    std::strcpy(gears.default_str, "other");
    gears.root = &second;
    const std::string wide(255, ' ');
    struct Case {
        uint32_t mode;
        double v;
        const char* format;
        std::string text;
    } cases[] = {
        {1, -0.04, "%.1f", "-0.0"},
        {1, -0.4, "%.0f", "0"},
        {1, 7, "%.0f.", "7"},
        {1, 12.5, "%.1f\x81km/h", "12.5\x81km/h"},
        {1, 3, "%.0f\x81%.1f",
         "3\x81"
         "3.0"},
        {1, 2, "100%% %4.0f", "100%    2"},
        {1, 1, "%s", "%s"},         // not a number conversion: copied
        {1, 1, "%n", "%n"},         // would write
        {1, 1, "%d", "%d"},         // would read an int
        {1, 1, "%f %f", "%f %f"},   // two arguments
        {1, 1, "%*f", "%*f"},       // a width argument
        {1, 1, "%1000f", "%1000f"}, // width beyond three digits
        {1, 1, "%300.0f", wide},    // bounded to 255 bytes
        {2, -3725, "%s", "-01:02:05"},
        {2, 3725, "T %s", "T 01:02:05"},
        {2, 1e12, "%s", "1193046:28:15"}, // saturated
        {2, 5, "%d", "%d"},
        {2, 5, "%s%s", "%s%s"},
        {3, 62.05, "%s", "01:02:05"},
        {4, 1.234, "%s", "001:23"},
        {4, -1, "%s", "000:00"},
        {5, 1.239, "%s", " 001:23"}, // truncated, not rounded
        {5, -1.239, "%s", "-001:23"},
        {6, 2, "[%s]", "[second]"},
        {6, 3, "%s", "other"},
        {7, 65, "%-3s|", "A  |"},
        {0, 1, "%f", ""},
        {9, 1, "%f", ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.mode) + " " + k.format);
        char out[CDATA_STR_SIZE];
        std::memset(out, 'x', sizeof out);
        const float coeff[6] = {0, 1, 0, 0, 0, 1};
        CDataMeas m(0, 0, RAW_FLOAT, coeff, &gears, k.mode);
        const float f = static_cast<float>(k.v);
        uint32_t w;
        std::memcpy(&w, &f, 4);
        const uint8_t be[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
        m.getDataStr(k.format, out);
        EXPECT_STREQ(out, "") << "not fresh";
        m.putData(be);
        m.updateData();
        if (k.mode == 2 && k.v > 1e9) m.converted = k.v; // beyond a float
        m.getDataStr(k.format, out);
        EXPECT_EQ(std::string(out), k.text);
    }
}

TEST_F(DisplayData, CallbacksKeepValuesFreshOnlineAndCountTimeouts) {
    CDataManager man;
    display_elem_s e40 = Alpha(0x28000010, T_UINT16), e5 = Alpha(0x05000010, T_UINT8),
                   e31 = Alpha(0x1F000010, T_UINT8);
    CData* d40 = man.addData(&e40, kRaster20ms, CDATA_VALUE);
    CData* d5 = man.addData(&e5, kRaster20ms, CDATA_VALUE);
    man.addData(&e31, kRaster20ms, CDATA_VALUE);
    man.createMeaslists();
    man.startMeasurement();
    CDataList* l40 = d40->meas ? man.lists() : nullptr;
    while (l40 && l40->pid != 40) l40 = l40->next;
    ASSERT_NE(l40, nullptr);
    const uint8_t record[6] = {0, 0, 0, 1, 0x01, 0x02};
    c2cpp_readCyclic(0, const_cast<uint8_t*>(record), l40);
    EXPECT_FALSE(d40->getMeasUpdateState()) << "no samples before the start reply";
    c2cpp_startMeas(0, nullptr, l40);
    EXPECT_EQ(c2cpp_readCyclic(0, const_cast<uint8_t*>(record), l40), 1u);
    unsigned raw = 0;
    d40->getRawData(raw);
    EXPECT_EQ(raw, 0x0102u);
    bool all = true, any = false;
    man.getStatus(&all, &any, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(all);
    EXPECT_TRUE(any);

    for (int i = 0; i < 4; ++i) c2cpp_readCyclic(GW_EVT_NODATA, nullptr, l40);
    EXPECT_TRUE(d40->getMeasUpdateState()) << "four time-outs keep the value";
    c2cpp_readCyclic(GW_EVT_NODATA, nullptr, l40);
    EXPECT_FALSE(d40->getMeasUpdateState()) << "the fifth clears it";
    for (CDataList* l = man.lists(); l; l = l->next) {
        c2cpp_startMeas(0, nullptr, l);
        if (l->pid != 40) c2cpp_readCyclic(GW_EVT_NODATA, nullptr, l);
    }
    unsigned short lo = 0, hi = 0;
    unsigned long events = 0, mask = 0;
    man.getStatus(&all, &any, &lo, &hi, &events, &mask);
    EXPECT_EQ(mask, (1ul << 10) | 1ul | 2ul); // PID 40, PID 5, PID 31
    EXPECT_EQ(events, 7ul);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 5);
    EXPECT_FALSE(any);

    // Another event: the values of that list are lost at once.
    CDataList* l5 = man.lists();
    while (l5->pid != 5) l5 = l5->next;
    const uint8_t one[5] = {0, 0, 0, 2, 9};
    c2cpp_readCyclic(0, const_cast<uint8_t*>(one), l5);
    EXPECT_TRUE(d5->getMeasUpdateState());
    c2cpp_readCyclic(GW_EVT_OFFLINE, nullptr, l5);
    EXPECT_FALSE(d5->getMeasUpdateState());

    man.stopMeasurement();
    EXPECT_EQ(man.lists(), nullptr);
    EXPECT_EQ(man.data(), nullptr);
    man.getStatus(&all, &any, &lo, &hi, nullptr, nullptr);
    EXPECT_TRUE(all);
    EXPECT_EQ(lo, 65535);
    EXPECT_EQ(hi, 0);
}

namespace {

// This device's own PID serves the lists through its own measurement manager.
class DisplayOwnPid : public gwtest::GwTest {
protected:
    void SetUp() override {
        GwTest::SetUp();
        if (HasFatalFailure()) return;
        seramInit();
        ASSERT_EQ(meascalinfo_init(), 1);
        ASSERT_TRUE(meas_man_ini());
        meas_man_virtChan_registered = 1;
        meas_man_CanIO_initialized = 1;
        link(gwtest::SELF, true);
        tick(2);
    }
    void TearDown() override {
        gw_meas_exit();
        meas_man_exit();
        meas_man_virtChan_registered = 0;
        meas_man_CanIO_initialized = 0;
        link(gwtest::SELF, false);
        GwTest::TearDown();
    }
    static uint32_t Address(const char* name) {
        const meascalinfo_t* info = meascalinfo_getInfo(name);
        return info ? (uint32_t(gwtest::SELF) << 24) | (info->pAdr & 0xFFFFFF) : 0;
    }
};

} // namespace

TEST_F(DisplayOwnPid, ValuesOfTheSignalPageComeBackAsTexts) {
    CDataManager man;
    display_elem_s index = Alpha(Address("RtpIndex"), T_SINT32, DISPMODE_TIME_HH_MM_SS);
    display_elem_s ana = Alpha(Address("ana02"), T_UINT16);
    std::strcpy(index.alphanum.format_str, "%s");
    ana.alphanum.ch_input.quant_b = 0.5f; // half the raw value
    std::strcpy(ana.alphanum.format_str, "%.1f\x81V");
    CData* di = man.addData(&index, kRaster20ms, CDATA_VALUE);
    CData* da = man.addData(&ana, kRaster20ms, CDATA_VALUE);
    man.createMeaslists();
    man.startMeasurement();
    tick(2);
    ASSERT_EQ(man.lists()->state.load(), CDL_STARTED);

    seramSig().RtpIndex = -3725;
    seramSig().ana02 = 25;
    meas_man_copy(kRaster20ms, 100);
    gw_raster(kRaster20ms);
    char text[CDATA_STR_SIZE];
    di->updateData();
    di->getDataStr(index.alphanum.format_str, text);
    EXPECT_STREQ(text, "-01:02:05");
    da->updateData();
    da->getDataStr(ana.alphanum.format_str, text);
    EXPECT_STREQ(text, "12.5\x81V");
    bool all = false;
    man.getStatus(&all, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(all);

    man.stopMeasurement();
    tick(12);
    EXPECT_EQ(meas_man_get_stats().lists, 0u) << "the device dropped the list";
}
