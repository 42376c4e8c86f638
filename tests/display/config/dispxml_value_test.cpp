// Value converters and keyword readers of display.xml.
#include "display/config/display_records.h"
#include "display/config/dispxml_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Converters, Bool) {
    uint8_t b = 7;
    EXPECT_EQ(XmlGetBool("true", &b), 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(XmlGetBool("false", &b), 0);
    EXPECT_EQ(b, 0);
    for (const char* bad : {"True", "1", "", "true ", "yes"}) EXPECT_EQ(XmlGetBool(bad, &b), -1) << bad;
}

TEST(Converters, UnsignedDecimal) {
    uint32_t v = 0;
    EXPECT_EQ(XmlGetUInt("4294967295", &v, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(v, 4294967295u);
    EXPECT_EQ(XmlGetUInt("007", &v, 0, 10), 0);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(XmlGetUInt("", &v, 0, 10), 0);
    EXPECT_EQ(v, 0u);
    v = 99;
    // No sign, no blanks, no overflow wrapping into a small valid value, and the range holds.
    for (const char* bad :
         {"+1", "-1", "1 ", " 1", "1a", "0x10", "4294967296", "4294967297", "99999999999999999999"})
        EXPECT_EQ(XmlGetUInt(bad, &v, 0, 0xFFFFFFFF), -1) << bad;
    EXPECT_EQ(XmlGetUInt("65536", &v, 0, 65535), -1);
    EXPECT_EQ(XmlGetUInt("4", &v, 5, 10), -1);
    EXPECT_EQ(v, 99u); // nothing stored on failure
}

TEST(Converters, SignedDecimal) {
    int32_t v = 0;
    EXPECT_EQ(XmlGetInt("-2147483648", &v, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_EQ(XmlGetInt("+2147483647", &v, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_EQ(XmlGetInt("-0", &v, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(v, 0);
    v = 5;
    EXPECT_EQ(XmlGetInt("-", &v, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(v, 0);
    v = 5;
    EXPECT_EQ(XmlGetInt("", &v, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(v, 0);
    v = 5;
    for (const char* bad : {"2147483648", "-2147483649", "4294967297", "--1", "+-1", "1-", " 1", "1.0"})
        EXPECT_EQ(XmlGetInt(bad, &v, INT32_MIN, INT32_MAX), -1) << bad;
    EXPECT_EQ(XmlGetInt("-5", &v, 0, 10), -1);
    EXPECT_EQ(v, 5);
}

TEST(Converters, Hexadecimal) {
    uint32_t v = 0;
    EXPECT_EQ(XmlGetHex("aBcD1234", &v, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(v, 0xABCD1234u);
    EXPECT_EQ(XmlGetHex("1A0", &v, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(v, 416u);
    EXPECT_EQ(XmlGetHex("", &v, 0, 0xFF), 0);
    EXPECT_EQ(v, 0u);
    v = 3;
    for (const char* bad : {"123456789", "000000000", "0x10", "-1", "G", "f "})
        EXPECT_EQ(XmlGetHex(bad, &v, 0, 0xFFFFFFFF), -1) << bad;
    EXPECT_EQ(XmlGetHex("100", &v, 0, 0xFF), -1);
    EXPECT_EQ(v, 3u);
}

TEST(Converters, Float) {
    float f = 0;
    const std::pair<const char*, float> good[] = {
        {"-1.25e+2", -125.0f}, {".5", 0.5f}, {"5.", 5.0f},   {"1e", 1.0f},        {"+3", 3.0f},
        {"2E-1", 0.2f},        {"-0", 0.0f}, {"0e99", 0.0f}, {"12000", 12000.0f}, {"1e-50", 0.0f},
    };
    for (const auto& [text, want] : good) {
        EXPECT_EQ(XmlGetFloat(text, &f), 0) << text;
        EXPECT_FLOAT_EQ(f, want) << text;
    }
    f = 42.0f;
    for (const char* bad : {"", ".", "-", "+.", "e5", "1.2.3", "1,5", "inf", "nan", "0x10", " 1", "1 ",
                            "1e5x", "1e39", "-1e99"})
        EXPECT_EQ(XmlGetFloat(bad, &f), -1) << bad;
    EXPECT_EQ(f, 42.0f);
}

TEST(Keywords, ExactAndCaseSensitive) {
    uint32_t v = 99;
    uint16_t t = 99;
    EXPECT_EQ(XmlStr2Style("single_side", &v), 0);
    EXPECT_EQ(v, DECO_SINGLE_SIDE);
    EXPECT_EQ(XmlStr2VisMode("limit_resetable", &v), 0);
    EXPECT_EQ(v, VIS_LIMIT_RESETABLE);
    EXPECT_EQ(XmlStr2Type("SINT32", &t), 0);
    EXPECT_EQ(t, TYPE_SINT32);
    EXPECT_EQ(XmlStr2Type("BOOL", &t), 0);
    EXPECT_EQ(t, TYPE_BOOL);
    EXPECT_EQ(XmlStr2FontSize("extralarge", &v), 0);
    EXPECT_EQ(v, FONT_EXTRALARGE);
    EXPECT_EQ(XmlStr2Align("BR", &v), 0);
    EXPECT_EQ(v, ALIGN_BR);
    EXPECT_EQ(XmlStr2DispOpt("time_u_sss_ms", &v), 0);
    EXPECT_EQ(v, DISPMODE_TIME_U_SSS_MS);
    EXPECT_EQ(XmlStr2DispOpt("ascii", &v), 0);
    EXPECT_EQ(v, DISPMODE_ASCII);
    EXPECT_EQ(XmlStr2BargrStyle("stacked", &v), 0);
    EXPECT_EQ(v, BARGR_STACKED);
    EXPECT_EQ(XmlStr2BargrBargrOrient("vert_tb", &v), 0);
    EXPECT_EQ(v, BARGR_VERT_TB);
    EXPECT_EQ(XmlStr2BlinkType("fast", &v), 0);
    EXPECT_EQ(v, BLINK_FAST);

    v = 77;
    EXPECT_EQ(XmlStr2Style("None", &v), -1);
    EXPECT_EQ(XmlStr2VisMode("always ", &v), -1);
    EXPECT_EQ(XmlStr2Type("uint8", &t), -1);
    EXPECT_EQ(XmlStr2FontSize("", &v), -1);
    EXPECT_EQ(XmlStr2Align("mm", &v), -1);
    EXPECT_EQ(XmlStr2DispOpt("time", &v), -1);
    EXPECT_EQ(XmlStr2BargrStyle("solid2", &v), -1);
    EXPECT_EQ(XmlStr2BargrBargrOrient("vert", &v), -1);
    EXPECT_EQ(XmlStr2BlinkType("OFF", &v), -1);
    EXPECT_EQ(v, 77u);
}

} // namespace
