#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml/xmlscan.h"
#include "xmltest_util.h"

using xmltest::fixture;
using xmltest::raised;

namespace {

struct Seen {
    int type;
    std::string name;
    std::string value;
    int line;
    int column;
    int depth;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "{" << s.type << " '" << s.name << "'='" << s.value << "' " << s.line << ":" << s.column
              << " d" << s.depth << "}";
}

std::vector<Seen> allTokens(XmlScan& scan) {
    std::vector<Seen> out;
    XmlTok_t tok;
    do {
        scan.getTok(tok);
        out.push_back({tok.type, tok.name, tok.value, scan.getLine(), scan.getColumn(), scan.getDepth()});
    } while (tok.type != XMLTOK_EOF && out.size() < 1000);
    return out;
}

} // namespace

TEST(XmlScan, HandsOutEveryTokenTypeWithItsPosition) {
    const std::string text = fixture("tokens.xml");
    XmlScan scan(text.c_str());
    const std::vector<Seen> expected = {
        {XMLTOK_START, "EventList", "", 3, 1, 1},
        {XMLTOK_START_ATTR, "Event", "", 4, 3, 2},
        {XMLTOK_ATTR, "name", "Oil", 4, 10, 2},
        {XMLTOK_ATTR, "idx", "3", 4, 21, 2},
        {XMLTOK_TAG_END, "Event", "", 4, 28, 2},
        {XMLTOK_START_ATTR, "triggerInput", "", 5, 5, 3},
        {XMLTOK_ATTR, "type", "UINT8", 5, 19, 3},
        {XMLTOK_ATTR, "adr", "0x0A001234", 5, 32, 3},
        {XMLTOK_EMPTY_END, "triggerInput", "", 5, 48, 2},
        {XMLTOK_START, "Note", "", 6, 5, 3},
        {XMLTOK_EMPTY, "", "low oil & pressure", 6, 11, 3},
        {XMLTOK_END, "Note", "", 6, 33, 2},
        {XMLTOK_START_ATTR, "Spare", "", 7, 5, 3},
        {XMLTOK_EMPTY_END, "Spare", "", 7, 11, 2},
        {XMLTOK_END, "Event", "", 8, 3, 1},
        {XMLTOK_END, "EventList", "", 9, 1, 0},
        {XMLTOK_EOF, "", "", 10, 1, 0},
    };
    EXPECT_EQ(allTokens(scan), expected);
    EXPECT_TRUE(scan.isEof());
    XmlTok_t tok;
    EXPECT_EQ(scan.getTok(tok), XMLTOK_EOF) << "the end stays the end";
}

TEST(XmlScan, NamespacesDoNotChangeNamesAndDeclarationsAreNotReported) {
    XmlScan scan("<AcqInfo xmlns=\"urn:cfg\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
                 "         xsi:type=\"t\" ident=\"x\"><p:Block xmlns:p=\"urn:p\" p:idx=\"1\"/></AcqInfo>");
    const std::vector<Seen> got = allTokens(scan);
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got[0], (Seen{XMLTOK_START_ATTR, "AcqInfo", "", 1, 1, 1}));
    // A prefixed attribute keeps its namespace, so that it never passes for a plain one.
    EXPECT_EQ(got[1], (Seen{XMLTOK_ATTR, "http://www.w3.org/2001/XMLSchema-instance|type", "t", 2, 10, 1}));
    EXPECT_EQ(got[2], (Seen{XMLTOK_ATTR, "ident", "x", 2, 23, 1}));
    EXPECT_EQ(got[4].name, "Block");
    EXPECT_EQ(got[5].name, "urn:p|idx");
    EXPECT_EQ(got[7], (Seen{XMLTOK_END, "AcqInfo", "", 2, 69, 0}));
}

TEST(XmlScan, EmptyElementsWithAndWithoutAttributes) {
    XmlScan scan("<r><a/><b x='/'></b><c x='/>'/><d\n/></r>");
    std::vector<int> types;
    for (const Seen& s : allTokens(scan)) types.push_back(s.type);
    const std::vector<int> expected = {0, 1, 3, 1, 5, 2, 4, 1, 5, 3, 1, 3, 4, 6};
    EXPECT_EQ(types, expected);
}

TEST(XmlScan, FaultsOfTheTextAreRaisedWithTheirPosition) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"<a>\n <b x=\"1\" y=\"2>\n</a>",
         "XmlScan Error: not well-formed (invalid token) in line 3 column 1"},
        {"<a><b></a>", "XmlScan Error: mismatched tag in line 1 column 9"},
        {"<a>\n  <b/>\n", "XmlScan Error: no element found in line 3 column 1"},
        {"", "XmlScan Error: no element found in line 1 column 1"},
        {"<a x=\"1\" x=\"2\"/>", "XmlScan Error: duplicate attribute in line 1 column 10"},
        {"<a/><b/>", "XmlScan Error: junk after document element in line 1 column 5"},
        {"<?xml version=\"1.0\" encoding=\"EBCDIC-X\"?><a/>",
         "XmlScan Error: unknown encoding in line 1 column 31"},
    };
    for (const Case& c : cases) {
        XmlScan scan(c.text);
        XmlTok_t tok;
        std::string error;
        int tokens = 0;
        for (; tokens < 100 && error.empty(); ++tokens) {
            error = raised([&] { scan.getTok(tok); });
            ASSERT_NE(tok.type, XMLTOK_EOF) << c.text;
        }
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(tok.type, XMLTOK_ERROR);
        EXPECT_TRUE(scan.isEof());
        EXPECT_EQ(raised([&] { scan.getTok(tok); }), c.error) << "a fault is raised again, never skipped";
    }
    XmlScan none(nullptr);
    XmlTok_t tok;
    EXPECT_EQ(raised([&] { none.getTok(tok); }), "XmlScan Error: no element found in line 1 column 1");
}

TEST(XmlScan, TokensBeforeAFaultComeFirst) {
    const std::string text = fixture("broken.xml");
    XmlScan scan(text.c_str());
    XmlTok_t tok;
    int ends = 0;
    const std::string error = raised([&] {
        while (scan.getTok(tok) != XMLTOK_EOF) ends += tok.type == XMLTOK_END;
    });
    EXPECT_EQ(ends, 1) << "</CopySeq> is handed out before the mismatched </Blok>";
    EXPECT_EQ(error, "XmlScan Error: mismatched tag in line 7 column 5");
}

TEST(XmlScan, EntityExpansionIsBounded) {
    std::string bomb =
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    std::string prev = "a";
    for (char e = 'b'; e <= 'k'; ++e) {
        bomb += std::string("<!ENTITY ") + e + " \"";
        for (int i = 0; i < 10; ++i) bomb += "&" + prev + ";";
        bomb += "\">";
        prev = std::string(1, e);
    }
    bomb += "]><r>&k;</r>";
    XmlScan scan(bomb.c_str());
    XmlTok_t tok;
    const std::string error = raised([&] {
        while (scan.getTok(tok) != XMLTOK_EOF) {
        }
    });
    EXPECT_EQ(error.rfind("XmlScan Error: ", 0), 0u) << error;
}

TEST(XmlScan, ScanOverTagSkipsTheRestOfTheElement) {
    const std::string text = fixture("rtracks.xml");
    {
        // From the start tag with attributes: attributes, children and end tag.
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        ASSERT_TRUE(xmltest::scanTo(scan, tok, "BaseTracks"));
        scan.scanOverTag(tok);
        EXPECT_EQ(tok.type, XMLTOK_END);
        EXPECT_EQ(tok.name, "BaseTracks");
        EXPECT_EQ(scan.getDepth(), 1);
        scan.getTok(tok);
        EXPECT_EQ(tok.type, XMLTOK_START);
        EXPECT_EQ(tok.name, "CustomTracks");
        // From a start tag without attributes.
        scan.scanOverTag(tok);
        EXPECT_EQ(tok.name, "CustomTracks");
        EXPECT_EQ(scan.getLine(), 9);
        // Mixed content with text and an inner element.
        scan.getTok(tok);
        ASSERT_EQ(tok.name, "Comment");
        scan.scanOverTag(tok);
        EXPECT_EQ(scan.getLine(), 10);
        EXPECT_EQ(tok.name, "Comment");
    }
    {
        // From an attribute, and from the end of the start tag.
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        ASSERT_TRUE(xmltest::scanTo(scan, tok, "BaseTracks"));
        scan.getTok(tok);
        ASSERT_EQ(tok.type, XMLTOK_ATTR);
        scan.scanOverTag(tok);
        EXPECT_EQ(tok.name, "BaseTracks");
        EXPECT_EQ(scan.getLine(), 6);
        ASSERT_TRUE(xmltest::scanTo(scan, tok, "track"));
        scan.scanOverTag(tok);
        EXPECT_EQ(tok.type, XMLTOK_EMPTY_END);
        EXPECT_EQ(scan.getLine(), 8);
        // An end token is no element to skip.
        scan.getTok(tok);
        ASSERT_EQ(tok.type, XMLTOK_END);
        scan.scanOverTag(tok);
        EXPECT_EQ(tok.type, XMLTOK_END);
        EXPECT_EQ(scan.getLine(), 9);
    }
}

TEST(XmlScan, NestingOfEachTokenType) {
    XmlTok_t tok;
    const int nesting[] = {1, 1, 0, -1, -1, 0, 0, 0, 0};
    for (int t = XMLTOK_START; t <= XMLTOK_ERROR; ++t) {
        tok.type = static_cast<XmlTokType_t>(t);
        EXPECT_EQ(XmlScan::getNesting(tok), nesting[t]) << t;
    }
}
