// The display.xml scanner: tokens, values with entities, positions, comments, scan errors, skipping
// unknown elements and the message buffer.
#include "display/config/dispxml_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Tok {
    int result;
    int type;
    std::string name;
    std::string value;
    int line;
    int col;
};

// All tokens of a text, up to the end or the first error (inclusive).
std::vector<Tok> tokens(const std::string& text) {
    xml_scan_s s = xml_scan_init(text.data(), static_cast<int32_t>(text.size()));
    std::vector<Tok> out;
    for (;;) {
        xml_token_s t;
        const int r = XmlGetTok(&s, &t);
        out.push_back({r, t.type, t.name, t.value, s.line, s.col});
        if (r != 0) return out;
    }
}

std::string message() {
    char buf[XML_MSG_SIZE + 10];
    xml_get_error_msg(buf, sizeof buf);
    return buf;
}

// The scan error of a text (after its valid tokens).
std::string scanError(const std::string& text) {
    xml_clear_error();
    const std::vector<Tok> t = tokens(text);
    return t.back().result < 0 ? message() : "(no error)";
}

std::string firstValue(const std::string& text) {
    const std::vector<Tok> t = tokens(text);
    return t.front().result == 0 && t.front().type == XML_TOK_ATTR ? t.front().value : "(failed)";
}

TEST(Scanner, TokenTypesOfTags) {
    const std::vector<Tok> t = tokens("<?xml version=\"1.0\"?><A><B x=\"1\"></B><C/><D >< /");
    const std::vector<std::pair<int, std::string>> want = {
        {XML_TOK_DECL, "xml"},   {XML_TOK_ATTR, "version"}, {XML_TOK_DECL_END, ""}, {XML_TOK_TAG, "A"},
        {XML_TOK_TAG_ATTR, "B"}, {XML_TOK_ATTR, "x"},       {XML_TOK_TAG_END, ""},  {XML_TOK_END_TAG, "B"},
        {XML_TOK_TAG_ATTR, "C"}, {XML_TOK_EMPTY_END, ""},   {XML_TOK_TAG, "D"},
    };
    ASSERT_EQ(t.size(), want.size() + 1);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(t[i].result, 0) << i;
        EXPECT_EQ(t[i].type, want[i].first) << i;
        EXPECT_EQ(t[i].name, want[i].second) << i;
    }
    EXPECT_EQ(t[1].value, "1.0");
    EXPECT_EQ(t.back().result, -1); // "<" followed by a blank
    EXPECT_EQ(scanError("<D >< /"), "scan error in line 1 column 4");

    const std::vector<Tok> end = tokens("  \n\t");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].result, 1);
    EXPECT_EQ(end[0].type, XML_TOK_EOF);
}

TEST(Scanner, NamesStopAtDigitsAndTakeColons) {
    const std::vector<Tok> t = tokens("<ns:Page_x>");
    EXPECT_EQ(t[0].name, "ns:Page_x");
    EXPECT_EQ(t[0].type, XML_TOK_TAG);
    const std::vector<Tok> d = tokens("<Page1>");
    EXPECT_EQ(d[0].type, XML_TOK_TAG_ATTR);
    EXPECT_EQ(d[0].name, "Page");
    EXPECT_EQ(scanError("<Page1>"), "scan error: unexpected digit in line 1 column 5");
}

TEST(Scanner, ValuesAndEntities) {
    EXPECT_EQ(firstValue("v=\"a&#65;&lt;b\""), "aA<b");
    EXPECT_EQ(firstValue("v=\"&lt;&gt;&amp;&apos;&quot;\""), "<>&'\"");
    EXPECT_EQ(firstValue("v=\"&#321;\""), "A"); // modulo 256
    EXPECT_EQ(firstValue("v = \"\""), "");
    EXPECT_EQ(firstValue("v=\"two\nlines\""), "two\nlines");
    for (const char* bad : {"v=\"&nbsp;\"", "v=\"&#;\"", "v=\"&#65\"", "v=\"a<b\"", "v=\"a>b\"", "v='a'",
                            "v=\"open", "v=\"&am"}) {
        EXPECT_EQ(firstValue(bad), "(failed)") << bad;
        EXPECT_EQ(scanError(bad).rfind("scan error: error scanning parameter value", 0), 0u) << bad;
    }
}

TEST(Scanner, ValueLengthLimit) {
    const std::string ok(254, 'x');
    EXPECT_EQ(firstValue("v=\"" + ok + "\""), ok);
    EXPECT_EQ(firstValue("v=\"" + ok + "x\""), "(failed)");
    // An entity counts as one stored character.
    EXPECT_EQ(firstValue("v=\"" + std::string(253, 'x') + "&amp;\""), std::string(253, 'x') + "&");
}

TEST(Scanner, PositionsAcrossLineEnds) {
    // CR LF: the line goes up, the column restarts.
    std::vector<Tok> t = tokens("<A>\r\n  <B>");
    EXPECT_EQ(t[1].line, 2);
    EXPECT_EQ(t[1].col, 5);
    // Bare LF: only the line changes, the column keeps counting.
    t = tokens("<A>\n  <B>");
    EXPECT_EQ(t[1].line, 2);
    EXPECT_EQ(t[1].col, 8);
    // A tab counts 8, a vertical tab is a line, a zero byte nothing; the entity counts its length.
    t = tokens(std::string("\t\v\0<A>", 6));
    EXPECT_EQ(t[0].line, 2);
    EXPECT_EQ(t[0].col, 11);
    t = tokens("v=\"&amp;\"");
    EXPECT_EQ(t[0].col, 9);
    // A line feed inside a value is not counted as a line.
    t = tokens("v=\"a\nb\"");
    EXPECT_EQ(t[0].line, 1);
    EXPECT_EQ(scanError("<A>\r\n <B>\r\n  9"), "scan error: unexpected digit in line 3 column 2");
}

TEST(Scanner, Comments) {
    std::vector<Tok> t = tokens("<A><!-- a - b --- c --><!----><B>");
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[1].name, "B");
    t = tokens("<A><!-- last -->  ");
    EXPECT_EQ(t[1].result, 1);
    EXPECT_EQ(t[1].type, XML_TOK_EOF);
    EXPECT_EQ(scanError("<!DOCTYPE display>"),
              "scan error: '!' unexpected, only XML comments are supported... in line 1 column 2");
    EXPECT_EQ(scanError("<!-- open\r\n -"), "scan error: unexpected EOF during comment in line 2 column 2");
    EXPECT_EQ(scanError("<!-"),
              "scan error: '!' unexpected, only XML comments are supported... in line 1 column 2");
}

TEST(Scanner, ScanErrors) {
    EXPECT_EQ(scanError("</ A>"), "scan error: tag name expected in line 1 column 2");
    EXPECT_EQ(scanError("</A x>"), "scan error: '>' expected in line 1 column 4");
    EXPECT_EQ(scanError("</A  "), "scan error: unexpected EOF in line 1 column 5");
    EXPECT_EQ(scanError("<A "), "scan error: unexpected EOF in line 1 column 3");
    EXPECT_EQ(scanError("<?xl"), "scan error: xml expected in line 1 column 2");
    EXPECT_EQ(scanError("/x"), "scan error: '>' expected in line 1 column 1");
    EXPECT_EQ(scanError("?"), "scan error: '>' expected in line 1 column 1");
    EXPECT_EQ(scanError("<A>text</A>"), "scan error: '=' expected in line 1 column 7");
    EXPECT_EQ(scanError("a ="), "scan error: unexpected EOF in line 1 column 3");
    EXPECT_EQ(scanError("a"), "scan error: unexpected EOF in line 1 column 1");
    EXPECT_EQ(scanError("#"), "scan error in line 1 column 0");
    EXPECT_EQ(scanError("<"), "scan error in line 1 column 0");
    EXPECT_EQ(scanError(std::string(255, 'n') + "=\"\""),
              "scan error: parameter name expected in line 1 column 254");
    EXPECT_EQ(scanError("<" + std::string(255, 'n') + ">"),
              "scan error: tag name expected in line 1 column 255");
}

TEST(Scanner, NeverReadsPastTheText) {
    // Texts that stop where the scanner looks ahead; exact-size heap copies let the sanitizer catch
    // any read beyond them.
    for (const char* cut : {"<", "<!", "<!-", "<!--", "<!-- -", "<!-- --", "</", "<?", "<?x", "<?xm", "/",
                            "?", "a=\"", "a=\"&", "a=\"&#", "a=\"&#1", "a=\"&l", "a=\"&lt"}) {
        const std::string text(cut);
        std::vector<char> exact(text.begin(), text.end());
        xml_scan_s s = xml_scan_init(exact.data(), static_cast<int32_t>(exact.size()));
        xml_token_s t;
        EXPECT_EQ(XmlGetTok(&s, &t), -1) << cut;
        EXPECT_LE(s.pos, s.len) << cut;
    }
}

int ignore(const std::string& text, xml_scan_s* s) {
    *s = xml_scan_init(text.data(), static_cast<int32_t>(text.size()));
    xml_token_s t;
    if (XmlGetTok(s, &t) != 0) return -2;
    return XmlIgnore_Tag(s, &t);
}

TEST(IgnoreTag, SkipsWholeElements) {
    xml_scan_s s;
    const std::string text = "<U a=\"1\"><V/><W><X b=\"2\"></X></W></U><Next>";
    ASSERT_EQ(ignore(text, &s), 0);
    xml_token_s t;
    ASSERT_EQ(XmlGetTok(&s, &t), 0);
    EXPECT_EQ(std::string(t.name), "Next");

    const std::string empty = "<U x=\"1\"/><Next>";
    ASSERT_EQ(ignore(empty, &s), 0);
    ASSERT_EQ(XmlGetTok(&s, &t), 0);
    EXPECT_EQ(std::string(t.name), "Next");
}

TEST(IgnoreTag, Errors) {
    xml_scan_s s;
    EXPECT_EQ(ignore("<U><V></U>", &s), -1);
    EXPECT_EQ(message(), "parse error: unexpected token in line 1 column 10");
    EXPECT_EQ(ignore("<U a=\"1\" ?>", &s), -1);
    EXPECT_EQ(message(), "parse error: expecting attributes in line 1 column 11");
    EXPECT_EQ(ignore("<U><V> 1</V></U>", &s), -1);
    EXPECT_EQ(message(), "parse error: error during unknown tag in line 1 column 7");
    EXPECT_EQ(ignore("<U>a=\"1\"</U>", &s), -1);
    EXPECT_EQ(message(), "parse error: unexpected token in line 1 column 8");
    xml_clear_error();
    EXPECT_EQ(ignore("<U><V></V>", &s), -1); // the text ends inside: no text of its own
    EXPECT_EQ(message(), "");

    const std::string text = "</U>";
    s = xml_scan_init(text.data(), 4);
    xml_token_s t;
    ASSERT_EQ(XmlGetTok(&s, &t), 0);
    EXPECT_EQ(XmlIgnore_Tag(&s, &t), -1);
    EXPECT_EQ(message(), "parse error: unexpected token in line 1 column 4");
}

TEST(IgnoreTag, DeepNestingDoesNotRecurse) {
    // Far deeper than any task stack would allow for recursion; the names must still match.
    const int depth = 200000;
    std::string text;
    for (int i = 0; i < depth; ++i) text += i % 2 ? "<A>" : "<B x=\"1\">";
    for (int i = depth - 1; i >= 0; --i) text += i % 2 ? "</A>" : "</B>";
    xml_scan_s s;
    EXPECT_EQ(ignore(text, &s), 0);
    EXPECT_EQ(s.pos, s.len);

    text.replace(text.size() - 8, 4, "</B>"); // the second outermost end tag has the wrong name
    EXPECT_EQ(ignore(text, &s), -1);
    EXPECT_EQ(message().rfind("parse error: unexpected token", 0), 0u);
}

TEST(ErrorMessage, FormatsCopiesAndAlwaysTerminates) {
    xml_scan_s s = xml_scan_init("", 0);
    s.line = 12;
    s.col = 34;
    xml_error("parse error: wrong value", &s);
    EXPECT_EQ(message(), "parse error: wrong value in line 12 column 34");
    xml_error("plain", nullptr);
    EXPECT_EQ(message(), "plain");

    char buf[16];
    std::fill(std::begin(buf), std::end(buf), 'z');
    xml_error("0123456789abcdef", nullptr);
    xml_get_error_msg(buf, 10);
    EXPECT_STREQ(buf, "012345678"); // ten bytes: nine characters and the terminator
    EXPECT_EQ(buf[10], 'z');

    // A text longer than the buffer is cut; copies out of it stay terminated.
    const std::string longText(400, 'm');
    xml_error(longText.c_str(), nullptr);
    std::vector<char> big(400, 'z');
    xml_get_error_msg(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(std::string(big.data()), std::string(XML_MSG_SIZE - 1, 'm'));
    xml_get_error_msg(big.data(), 0); // nothing to copy into
}

} // namespace
