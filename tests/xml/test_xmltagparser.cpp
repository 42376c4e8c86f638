#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "xml/xmltagparser.h"
#include "xml/xmlvtabparser.h"
#include "xmltest_util.h"

using xmltest::fixture;
using xmltest::raised;
using xmltest::scanTo;

namespace {

XmlVTabParser rasterTable() {
    XmlVTabParser t(4);
    t.addPair("R10ms", 3);
    t.addPair("R10us", 15);
    t.addPair("R5us", 300); // too large for a one-byte destination
    t.addPair("RNone", 19);
    return t;
}

} // namespace

TEST(XmlTagParser, ReadsEveryTypeIntoItsDestination) {
    const std::string text = fixture("attributes.xml");
    XmlScan scan(text.c_str());
    XmlTok_t tok;

    ASSERT_TRUE(scanTo(scan, tok, "Hex"));
    uint8_t a1 = 0;
    uint16_t a2 = 0;
    uint32_t a4 = 0, plain = 0;
    XmlTagParser hex(4);
    hex.addAttribute("a1", &a1, 1, XMLTYPE_HEX);
    hex.addAttribute("a2", &a2, 2, XMLTYPE_HEX);
    hex.addAttribute("a4", &a4, 4, XMLTYPE_HEX);
    hex.addAttribute("plain", &plain, 4, XMLTYPE_HEX);
    EXPECT_EQ(hex.parse(&scan), XMLTOK_EMPTY_END);
    EXPECT_EQ(a1, 0xFF);
    EXPECT_EQ(a2, 0xFFFF);
    EXPECT_EQ(a4, 0x12345678u);
    EXPECT_EQ(plain, 0x1Au);

    ASSERT_TRUE(scanTo(scan, tok, "Hex64"));
    uint64_t v = 0, max = 0;
    XmlTagParser hex64(2);
    hex64.addAttribute("v", &v, 8, XMLTYPE_HEX64);
    hex64.addAttribute("max", &max, 8, XMLTYPE_HEX64);
    hex64.parse(&scan);
    EXPECT_EQ(v, 0x0123456789ABCDEFull);
    EXPECT_EQ(max, UINT64_MAX);

    ASSERT_TRUE(scanTo(scan, tok, "Signed"));
    int8_t s1 = 0;
    int16_t s2 = 0;
    int32_t s4 = 0, plus = 0;
    int64_t s8 = 0;
    XmlTagParser sig(5);
    sig.addAttribute("s1", &s1, 1, XMLTYPE_SIGNED);
    sig.addAttribute("s2", &s2, 2, XMLTYPE_SIGNED);
    sig.addAttribute("s4", &s4, 4, XMLTYPE_SIGNED);
    sig.addAttribute("s8", &s8, 8, XMLTYPE_SIGNED);
    sig.addAttribute("plus", &plus, 4, XMLTYPE_SIGNED);
    sig.parse(&scan);
    EXPECT_EQ(s1, INT8_MIN);
    EXPECT_EQ(s2, INT16_MAX);
    EXPECT_EQ(s4, INT32_MIN);
    EXPECT_EQ(s8, INT64_MIN);
    EXPECT_EQ(plus, 7);

    ASSERT_TRUE(scanTo(scan, tok, "Unsigned"));
    uint8_t u1 = 0;
    uint16_t u2 = 0;
    uint32_t u4 = 0;
    uint64_t u8 = 0;
    XmlTagParser uns(4);
    uns.addAttribute("u1", &u1, 1, XMLTYPE_UNSIGNED);
    uns.addAttribute("u2", &u2, 2, XMLTYPE_UNSIGNED);
    uns.addAttribute("u4", &u4, 4, XMLTYPE_UNSIGNED);
    uns.addAttribute("u8", &u8, 8, XMLTYPE_UNSIGNED);
    uns.parse(&scan);
    EXPECT_EQ(u1, UINT8_MAX);
    EXPECT_EQ(u2, UINT16_MAX);
    EXPECT_EQ(u4, UINT32_MAX);
    EXPECT_EQ(u8, UINT64_MAX);

    ASSERT_TRUE(scanTo(scan, tok, "Float"));
    float f = 0, i = 0;
    double d = 0;
    XmlTagParser flt(3);
    flt.addAttribute("f", &f, sizeof f, XMLTYPE_FLOAT);
    flt.addAttribute("d", &d, sizeof d, XMLTYPE_FLOAT);
    flt.addAttribute("i", &i, sizeof i, XMLTYPE_FLOAT);
    flt.parse(&scan);
    EXPECT_EQ(f, 1.5f);
    EXPECT_DOUBLE_EQ(d, -2.25e-3);
    EXPECT_EQ(i, 42.0f);

    // Text is cut to the destination and always terminated; a cut never splits a character.
    ASSERT_TRUE(scanTo(scan, tok, "Text"));
    char shortText[8], longText[6], utf[5];
    std::memset(longText, 'X', sizeof longText);
    XmlTagParser txt(3);
    txt.addAttribute("short", shortText, sizeof shortText, XMLTYPE_TEXT);
    txt.addAttribute("long", longText, sizeof longText, XMLTYPE_TEXT);
    txt.addAttribute("utf", utf, sizeof utf, XMLTYPE_TEXT);
    txt.parse(&scan);
    EXPECT_STREQ(shortText, "abc");
    EXPECT_STREQ(longText, "abcde");
    EXPECT_STREQ(utf, "Gr\xC3\xB6"); // "Grö": the 'ß' would not fit whole

    // A loader's tag with content: value table, optional attributes left as preset.
    ASSERT_TRUE(scanTo(scan, tok, "Block"));
    const XmlVTabParser rasters = rasterTable();
    char name[16];
    int32_t idx = -5, seqs = 0, condId = -1;
    uint8_t raster = 0;
    XmlTagParser block(5);
    block.addAttribute("name", name, sizeof name, XMLTYPE_TEXT);
    block.addAttribute("idx", &idx, 4, XMLTYPE_SIGNED);
    block.addAttribute("num_seqs", &seqs, 4, XMLTYPE_SIGNED);
    block.addAttribute("cond_id", &condId, 4, XMLTYPE_SIGNED, true);
    block.addAttributeVTab("Raster", &rasters, &raster, 1);
    EXPECT_EQ(block.parse(&scan), XMLTOK_TAG_END);
    EXPECT_STREQ(name, "Engine");
    EXPECT_EQ(idx, 0);
    EXPECT_EQ(seqs, 2);
    EXPECT_EQ(condId, -1);
    EXPECT_EQ(raster, 15);
    EXPECT_EQ(scan.getDepth(), 2) << "inside Block";

    // The same parser again on a tag that lacks a mandatory attribute (CopySeq has no name).
    ASSERT_TRUE(scanTo(scan, tok, "CopySeq"));
    EXPECT_EQ(raised([&] { block.parse(&scan); }),
              "mandatory attribute not found (name) in line 10 column 48");
}

TEST(XmlTagParser, RangeAndFormatFaultsNameTheAttributeAndItsPosition) {
    const XmlVTabParser rasters = rasterTable();
    struct Case {
        xmlType_t type;
        size_t size;
        const char* error;
    } cases[] = {
        {XMLTYPE_HEX, 1, "attribute has wrong number (v) in line 2 column 9"},
        {XMLTYPE_HEX, 4, "attribute has wrong number (v) in line 3 column 9"},
        {XMLTYPE_HEX, 4, "attribute is no hex number (v) in line 4 column 9"},
        {XMLTYPE_HEX, 2, "attribute is no hex number (v) in line 5 column 9"},
        {XMLTYPE_HEX64, 8, "attribute is no hex64 number (v) in line 6 column 9"},
        {XMLTYPE_HEX64, 8, "attribute has wrong number (v) in line 7 column 9"},
        {XMLTYPE_SIGNED, 1, "attribute has wrong number (v) in line 8 column 9"},
        {XMLTYPE_SIGNED, 2, "attribute has wrong number (v) in line 9 column 9"},
        {XMLTYPE_SIGNED, 4, "attribute has wrong number (v) in line 10 column 9"},
        {XMLTYPE_SIGNED, 8, "attribute has wrong number (v) in line 11 column 9"},
        {XMLTYPE_SIGNED, 4, "attribute has wrong number (v) in line 12 column 9"},
        {XMLTYPE_UNSIGNED, 1, "attribute has wrong number (v) in line 13 column 9"},
        {XMLTYPE_UNSIGNED, 4, "attribute has wrong number (v) in line 14 column 9"},
        {XMLTYPE_UNSIGNED, 2, "attribute has wrong number (v) in line 15 column 9"},
        {XMLTYPE_UNSIGNED, 8, "attribute has wrong number (v) in line 16 column 9"},
        {XMLTYPE_FLOAT, 4, "attribute has wrong number (v) in line 17 column 9"},
        {XMLTYPE_FLOAT, 4, "attribute has wrong number (v) in line 18 column 9"},
        {XMLTYPE_FLOAT, 8, "attribute has wrong number (v) in line 19 column 9"},
        {XMLTYPE_VTAB, 4, "attribute has wrong value (v) in line 20 column 9"},
        {XMLTYPE_VTAB, 1, "attribute has wrong number (v) in line 21 column 9"},
        {XMLTYPE_HEX, 4, "mandatory attribute not found (v) in line 22 column 14"},
        {XMLTYPE_HEX, 1, "attribute has wrong number (v) in line 25 column 7"},
    };
    const std::string text = fixture("attr_errors.xml");
    XmlScan scan(text.c_str());
    XmlTok_t tok;
    for (const Case& c : cases) {
        ASSERT_TRUE(scanTo(scan, tok, "Case")) << c.error;
        alignas(8) unsigned char dest[8];
        std::memset(dest, 0xA5, sizeof dest);
        XmlTagParser p(2);
        if (c.type == XMLTYPE_VTAB) {
            p.addAttributeVTab("v", &rasters, dest, c.size);
        } else {
            p.addAttribute("v", dest, c.size, c.type);
        }
        uint32_t w = 0;
        p.addAttribute("w", &w, 4, XMLTYPE_UNSIGNED, true);
        EXPECT_EQ(raised([&] { p.parse(&scan); }), c.error);
        for (unsigned char b : dest) EXPECT_EQ(b, 0xA5) << "a refused value is not stored: " << c.error;
        scan.scanOverTag(tok);
    }
    EXPECT_FALSE(scanTo(scan, tok, "Case"));
}

TEST(XmlTagParser, SlotsThatCannotBeUsedStopTheParse) {
    const std::string text = fixture("attributes.xml");
    uint32_t a = 0, b = 0;
    // Each parser declares two slots; each setup leaves it short of two usable ones.
    const std::function<void(XmlTagParser&)> setups[] = {
        [&](XmlTagParser&) {},
        [&](XmlTagParser& p) { p.addAttribute("a4", &a, 3, XMLTYPE_HEX); },      // size the type cannot take
        [&](XmlTagParser& p) { p.addAttributeVTab("a4", nullptr, &a, 4); },      // no value table
        [&](XmlTagParser& p) { p.addAttribute("a4", nullptr, 4, XMLTYPE_HEX); }, // no destination
        [&](XmlTagParser& p) {                                                   // one slot too many
            p.addAttribute("a4", &a, 4, XMLTYPE_HEX);
            p.addAttribute("a2", &a, 4, XMLTYPE_HEX);
        },
    };
    for (const auto& setup : setups) {
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        ASSERT_TRUE(scanTo(scan, tok, "Hex"));
        XmlTagParser p(2);
        p.addAttribute("plain", &b, 4, XMLTYPE_HEX);
        setup(p);
        EXPECT_EQ(raised([&] { p.parse(&scan); }), "parse: less tags used! in line 3 column 3");
        EXPECT_EQ(a | b, 0u) << "nothing is read";
    }
}

TEST(XmlTagParser, TagsWithoutAttributesAndMisplacedCalls) {
    XmlScan scan("<Doc>\n<Open><x/></Open>\n<Empty/>\n</Doc>");
    XmlTok_t tok;
    uint32_t v = 7;
    XmlTagParser optional(1);
    optional.addAttribute("v", &v, 4, XMLTYPE_UNSIGNED, true);
    XmlTagParser mandatory(1);
    mandatory.addAttribute("v", &v, 4, XMLTYPE_UNSIGNED);

    scan.getTok(tok); // <Doc>
    scan.getTok(tok);
    ASSERT_EQ(tok.type, XMLTOK_START);
    EXPECT_EQ(optional.parse(&scan), XMLTOK_TAG_END) << "no attributes: content follows";
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(raised([&] { mandatory.parse(&scan); }),
              "mandatory attribute not found (v) in line 2 column 1");
    scan.getTok(tok);
    EXPECT_EQ(tok.name, "x") << "the content was not read by the parser";
    scan.scanOverTag(tok);
    scan.getTok(tok); // </Open>

    ASSERT_TRUE(scanTo(scan, tok, "Empty"));
    EXPECT_EQ(optional.parse(&scan), XMLTOK_EMPTY_END);
    EXPECT_EQ(raised([&] { optional.parse(&scan); }),
              "unexpected token after parsing attributes in line 3 column 7")
        << "the tag was parsed already";
}

TEST(XmlVTabParser, HoldsItsCapacityAndMatchesExactly) {
    XmlVTabParser t(2);
    t.addPair("VX40", 0);
    t.addPair("GSM", 1);
    EXPECT_EQ(raised([&] { t.addPair("ETHERNET", 2); }), "addPair #vtags exceeded!");
    int v = -1;
    EXPECT_TRUE(t.lookup("GSM", &v));
    EXPECT_EQ(v, 1);
    EXPECT_FALSE(t.lookup("gsm", &v));
    EXPECT_FALSE(t.lookup("ETHERNET", &v));
    EXPECT_FALSE(t.lookup(nullptr, &v));
}
