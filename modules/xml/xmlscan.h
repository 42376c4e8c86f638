// Pull scanner over a whole XML text, on expat's namespace-aware SAX interface.
//
// The text is handed out as a sequence of tokens. A start tag with content but no attributes is
// one token (XMLTOK_START); any other start tag opens with XMLTOK_START_ATTR, brings one
// XMLTOK_ATTR per attribute and closes with XMLTOK_TAG_END (content follows) or XMLTOK_EMPTY_END
// ("/>"). Character data that is not only white space comes as XMLTOK_EMPTY with the text as value;
// comments, processing instructions and the document type are passed over.
//
// Element names are local names (a default namespace does not change them). Attributes in a
// namespace keep their expanded name "uri|local", so they never match a plain attribute name;
// namespace declarations are not reported.
//
// Faults of the text (not well-formed, unknown encoding, ...) are raised as a text beginning
// "XmlScan Error:", formatted by XmlError with the position of the fault.
#pragma once

#include <deque>
#include <string>

#include "xml/xml_expat_ext.h"

enum XmlTokType_t {
    XMLTOK_START = 0,      // start tag without attributes, content follows
    XMLTOK_START_ATTR = 1, // start tag with attributes, or empty element
    XMLTOK_TAG_END = 2,    // end of a start tag, content follows
    XMLTOK_EMPTY_END = 3,  // end of an empty element ("/>")
    XMLTOK_END = 4,        // end tag
    XMLTOK_ATTR = 5,       // attribute: name and value
    XMLTOK_EOF = 6,        // end of the document
    XMLTOK_EMPTY = 7,      // no tag: text content in value
    XMLTOK_ERROR = 8,      // fault of the text, message in value
};

struct XmlTok_t {
    XmlTokType_t type = XMLTOK_EMPTY;
    std::string name;  // element or attribute name
    std::string value; // attribute value, text, or fault message
};

class XmlScan {
public:
    // Scans the NUL-terminated `text`. expat takes its own copy at once, so the text need not
    // outlive the constructor.
    explicit XmlScan(const char* text);
    ~XmlScan();
    XmlScan(const XmlScan&) = delete;
    XmlScan& operator=(const XmlScan&) = delete;

    // The next token. After the end of the document every call gives XMLTOK_EOF again. A fault of
    // the text fills `tok` with XMLTOK_ERROR and raises its text (again on every later call).
    XmlTokType_t getTok(XmlTok_t& tok);
    // True once the end of the document was handed out or a fault ended the scan.
    bool isEof() const;
    // Skips the rest of the element whose start tag was read last (when `tok` is that start tag,
    // one of its attributes or the end of that start tag): attributes, content and end tag. `tok`
    // is left holding the element's last token. Does nothing for any other token.
    void scanOverTag(XmlTok_t& tok);
    // Reads past the attributes of the start tag read last; the type of the first token that is
    // not an attribute (the end of the start tag, XMLTOK_EMPTY_END for an empty element, or the end
    // of the document or a fault), held in `tok`.
    XmlTokType_t skipAttributes(XmlTok_t& tok);
    // Nesting change of a token: +1 for a start tag (types 0 and 1), -1 for the end of an element
    // (types 3 and 4), 0 otherwise.
    static int getNesting(const XmlTok_t& tok);

    // Position of the token read last, as editors count: line and column from 1. A start or end
    // tag is at its '<', an attribute at its name, the end of a start tag at its '>' or "/>".
    int getLine() const { return line_; }
    int getColumn() const { return column_; }
    // Number of elements open after the token read last.
    int getDepth() const { return depth_; }
    // Type of the token read last (XMLTOK_EMPTY before the first).
    XmlTokType_t lastType() const { return lastType_; }

private:
    struct Pending {
        XmlTok_t tok;
        int line;
        int column;
    };
    enum class Phase { Suspended, Finished, Failed };

    static void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** atts);
    static void XMLCALL onEnd(void* user, const XML_Char* name);
    static void XMLCALL onEmpty(void* user, const XML_Char* name, const XML_Char** atts);
    static void XMLCALL onText(void* user, const XML_Char* s, int len);

    void tag(const XML_Char* name, const XML_Char** atts, bool empty);
    void push(XmlTokType_t type, std::string name, std::string value, int line, int column);
    void flushText();
    void suspend();
    void settle(XML_Status status);
    void fail(const std::string& message, int line, int column);
    int currentLine() const;
    int currentColumn() const;

    XML_Parser parser_ = nullptr;
    XML_EmptyElementRouting routing_{};
    Phase phase_ = Phase::Suspended;
    std::deque<Pending> pending_;
    std::string chars_; // character data since the last tag
    int charsLine_ = 0;
    int charsColumn_ = 0;
    XmlTok_t failure_;
    int failLine_ = 0;
    int failColumn_ = 0;
    int endLine_ = 0;
    int endColumn_ = 0;
    bool eof_ = false;
    int line_ = 0;
    int column_ = 0;
    int depth_ = 0;
    XmlTokType_t lastType_ = XMLTOK_EMPTY;
};
