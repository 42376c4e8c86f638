#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml/xml_expat_ext.h"

namespace {

struct Calls {
    std::vector<std::string> seen;
};

void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** atts) {
    static_cast<Calls*>(user)->seen.push_back(std::string("start ") + name + (atts[0] ? " +" : ""));
}
void XMLCALL onEnd(void* user, const XML_Char* name) {
    static_cast<Calls*>(user)->seen.push_back(std::string("end ") + name);
}
void XMLCALL onEmpty(void* user, const XML_Char* name, const XML_Char** atts) {
    static_cast<Calls*>(user)->seen.push_back(std::string("empty ") + name + (atts[0] ? " +" : ""));
}
void XMLCALL onText(void* user, const XML_Char*, int) {
    auto* routing = static_cast<XML_EmptyElementRouting*>(user);
    static_cast<Calls*>(routing->userData)->seen.push_back("text");
}

} // namespace

TEST(XmlExpatExt, EmptyElementsGoToTheirOwnHandler) {
    const std::string doc = "<r><a/><b x='/'></b><c x='/>'/>t<d\n/><e></e></r>";
    Calls calls;
    XML_EmptyElementRouting routing{onStart, onEnd, onEmpty, &calls, nullptr, 0};
    XML_Parser p = XML_ParserCreate(nullptr);
    ASSERT_EQ(XML_SetEmptyElementHandler(p, &routing), 1);
    XML_SetCharacterDataHandler(p, onText);
    ASSERT_EQ(XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE), XML_STATUS_OK);
    XML_ParserFree(p);
    const std::vector<std::string> expected = {"start r", "empty a", "start b +", "end b", "empty c +",
                                               "text",    "empty d", "start e",   "end e", "end r"};
    EXPECT_EQ(calls.seen, expected);

    // Without an empty handler such elements are simply not reported.
    Calls quiet;
    XML_EmptyElementRouting noEmpty{onStart, onEnd, nullptr, &quiet, nullptr, 0};
    p = XML_ParserCreate(nullptr);
    ASSERT_EQ(XML_SetEmptyElementHandler(p, &noEmpty), 1);
    ASSERT_EQ(XML_Parse(p, "<r><a/></r>", 11, XML_TRUE), XML_STATUS_OK);
    XML_ParserFree(p);
    EXPECT_EQ(quiet.seen, (std::vector<std::string>{"start r", "end r"}));
    EXPECT_EQ(XML_SetEmptyElementHandler(nullptr, &noEmpty), 0);
}

TEST(XmlExpatExt, WhiteSpaceIsSpaceLineFeedCarriageReturnAndTab) {
    EXPECT_TRUE(XML_IsWhiteSpace(" \n\r\t ", 5));
    EXPECT_TRUE(XML_IsWhiteSpace("", 0));
    EXPECT_TRUE(XML_IsWhiteSpace("  x", 2)) << "only the given length counts";
    EXPECT_FALSE(XML_IsWhiteSpace("  x", 3));
    EXPECT_FALSE(XML_IsWhiteSpace("\v", 1));
    EXPECT_FALSE(XML_IsWhiteSpace("\xC2\xA0", 2)) << "no-break space is content";
}
