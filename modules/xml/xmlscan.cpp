// Pull scanner: expat runs until the next markup event, the handlers turn the event into tokens
// and suspend the parser; getTok hands the tokens out and resumes expat when none are left.
#include "xml/xmlscan.h"

#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "xml/xmlerror.h"

namespace {

constexpr XML_Char kNsSeparator = '|';

int clampInt(XML_Size v) {
    return v > static_cast<XML_Size>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

// Element names without their namespace: "uri|Block" is "Block".
std::string localName(const XML_Char* name) {
    const char* sep = std::strrchr(name, kNsSeparator);
    return sep != nullptr ? std::string(sep + 1) : std::string(name);
}

// Walks the raw text of a start tag (as expat accepted it) and keeps line and column the way expat
// counts them: "\r\n", "\r" and "\n" each end a line, a UTF-8 sequence is one column.
class TagCursor {
public:
    TagCursor(const char* p, const char* end, int line, int column)
        : p_(p), end_(end), line_(line), column_(column) {}

    bool atEnd() const { return p_ >= end_; }
    char peek() const { return atEnd() ? '\0' : *p_; }
    int line() const { return line_; }
    int column() const { return column_; }

    void step() {
        if (atEnd()) return;
        const char c = *p_++;
        if (c == '\n' || c == '\r') {
            if (c == '\r' && !atEnd() && *p_ == '\n') ++p_;
            ++line_;
            column_ = 1;
            return;
        }
        while (!atEnd() && (static_cast<unsigned char>(*p_) & 0xC0) == 0x80) ++p_;
        ++column_;
    }
    void skipSpace() {
        while (!atEnd() && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) step();
    }
    // Reads a name up to white space, '=', '/' or '>'.
    std::string name() {
        const char* start = p_;
        while (!atEnd() && std::strchr(" \t\r\n=/>", *p_) == nullptr) step();
        return std::string(start, p_);
    }
    void skipQuoted() {
        const char quote = peek();
        if (quote != '"' && quote != '\'') return;
        step();
        while (!atEnd() && *p_ != quote) step();
        step();
    }

private:
    const char* p_;
    const char* end_;
    int line_;
    int column_;
};

struct Position {
    int line;
    int column;
};

// Positions of the specified attributes (namespace declarations left out, as expat leaves them
// out) and of the tag's closing '>' or "/>".
std::vector<Position> attributePositions(TagCursor cur, Position* close) {
    std::vector<Position> found;
    cur.step(); // '<'
    cur.name();
    for (;;) {
        cur.skipSpace();
        if (cur.atEnd() || cur.peek() == '/' || cur.peek() == '>') break;
        const Position at{cur.line(), cur.column()};
        const std::string raw = cur.name();
        cur.skipSpace();
        if (cur.peek() == '=') cur.step();
        cur.skipSpace();
        cur.skipQuoted();
        if (raw.empty()) break; // not a tag expat would accept; stop rather than loop
        if (raw != "xmlns" && raw.rfind("xmlns:", 0) != 0) found.push_back(at);
    }
    *close = {cur.line(), cur.column()};
    return found;
}

} // namespace

XmlScan::XmlScan(const char* text) {
    parser_ = XML_ParserCreateNS(nullptr, kNsSeparator);
    routing_.start = onStart;
    routing_.end = onEnd;
    routing_.empty = onEmpty;
    routing_.userData = this;
    if (parser_ == nullptr || !XML_SetEmptyElementHandler(parser_, &routing_)) {
        fail("XmlScan Error: parser not available", 0, 0);
        return;
    }
    XML_SetCharacterDataHandler(parser_, onText);
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length > static_cast<size_t>(INT_MAX)) {
        fail("XmlScan Error: text too long", 0, 0);
        return;
    }
    settle(XML_Parse(parser_, text != nullptr ? text : "", static_cast<int>(length), XML_TRUE));
}

XmlScan::~XmlScan() {
    if (parser_ != nullptr) XML_ParserFree(parser_);
}

int XmlScan::currentLine() const {
    return clampInt(XML_GetCurrentLineNumber(parser_));
}
int XmlScan::currentColumn() const {
    return clampInt(XML_GetCurrentColumnNumber(parser_)) + 1;
}

void XmlScan::push(XmlTokType_t type, std::string name, std::string value, int line, int column) {
    Pending p;
    p.tok.type = type;
    p.tok.name = std::move(name);
    p.tok.value = std::move(value);
    p.line = line;
    p.column = column;
    pending_.push_back(std::move(p));
}

void XmlScan::suspend() {
    XML_StopParser(parser_, XML_TRUE);
}

void XmlScan::flushText() {
    if (!chars_.empty() && !XML_IsWhiteSpace(chars_.data(), static_cast<int>(chars_.size()))) {
        push(XMLTOK_EMPTY, std::string(), chars_, charsLine_, charsColumn_);
    }
    chars_.clear();
}

void XmlScan::tag(const XML_Char* name, const XML_Char** atts, bool empty) {
    flushText();
    const int line = currentLine();
    const int column = currentColumn();
    std::string element = localName(name);
    if (atts[0] == nullptr && !empty) {
        push(XMLTOK_START, std::move(element), std::string(), line, column);
        suspend();
        return;
    }

    int offset = 0;
    int size = 0;
    const char* buffer = XML_GetInputContext(parser_, &offset, &size);
    const int count = XML_GetCurrentByteCount(parser_);
    Position close{line, column};
    std::vector<Position> at;
    if (buffer != nullptr && offset >= 0 && count > 0 && offset + count <= size) {
        at = attributePositions(TagCursor(buffer + offset, buffer + offset + count, line, column), &close);
    }
    const int specified = XML_GetSpecifiedAttributeCount(parser_) / 2;

    push(XMLTOK_START_ATTR, element, std::string(), line, column);
    for (int i = 0; atts[2 * i] != nullptr; ++i) {
        // Defaulted attributes (from a DTD) have no place of their own: they take the tag's end.
        const Position p = (i < specified && i < static_cast<int>(at.size())) ? at[i] : close;
        push(XMLTOK_ATTR, atts[2 * i], atts[2 * i + 1], p.line, p.column);
    }
    push(empty ? XMLTOK_EMPTY_END : XMLTOK_TAG_END, std::move(element), std::string(), close.line,
         close.column);
    suspend();
}

void XMLCALL XmlScan::onStart(void* user, const XML_Char* name, const XML_Char** atts) {
    static_cast<XmlScan*>(user)->tag(name, atts, false);
}

void XMLCALL XmlScan::onEmpty(void* user, const XML_Char* name, const XML_Char** atts) {
    static_cast<XmlScan*>(user)->tag(name, atts, true);
}

void XMLCALL XmlScan::onEnd(void* user, const XML_Char* name) {
    auto* self = static_cast<XmlScan*>(user);
    self->flushText();
    self->push(XMLTOK_END, localName(name), std::string(), self->currentLine(), self->currentColumn());
    self->suspend();
}

void XMLCALL XmlScan::onText(void* user, const XML_Char* s, int len) {
    // The character handler shares the routing record as its user data.
    auto* self = static_cast<XmlScan*>(static_cast<XML_EmptyElementRouting*>(user)->userData);
    if (self->chars_.empty()) {
        self->charsLine_ = self->currentLine();
        self->charsColumn_ = self->currentColumn();
    }
    self->chars_.append(s, static_cast<size_t>(len));
}

void XmlScan::fail(const std::string& message, int line, int column) {
    phase_ = Phase::Failed;
    failure_.type = XMLTOK_ERROR;
    failure_.name.clear();
    failure_.value = message;
    failLine_ = line;
    failColumn_ = column;
}

void XmlScan::settle(XML_Status status) {
    switch (status) {
    case XML_STATUS_SUSPENDED:
        phase_ = Phase::Suspended;
        break;
    case XML_STATUS_OK:
        flushText();
        phase_ = Phase::Finished;
        endLine_ = currentLine();
        endColumn_ = currentColumn();
        break;
    default:
        chars_.clear();
        fail(std::string("XmlScan Error: ") + XML_ErrorString(XML_GetErrorCode(parser_)),
             clampInt(XML_GetErrorLineNumber(parser_)), clampInt(XML_GetErrorColumnNumber(parser_)) + 1);
        break;
    }
}

XmlTokType_t XmlScan::getTok(XmlTok_t& tok) {
    for (;;) {
        if (!pending_.empty()) {
            Pending& p = pending_.front();
            tok = std::move(p.tok);
            line_ = p.line;
            column_ = p.column;
            pending_.pop_front();
            lastType_ = tok.type;
            depth_ += getNesting(tok);
            return tok.type;
        }
        switch (phase_) {
        case Phase::Failed:
            tok = failure_;
            line_ = failLine_;
            column_ = failColumn_;
            lastType_ = XMLTOK_ERROR;
            throw XmlError(failure_.value.c_str(), this);
        case Phase::Finished:
            tok.type = XMLTOK_EOF;
            tok.name.clear();
            tok.value.clear();
            line_ = endLine_;
            column_ = endColumn_;
            lastType_ = XMLTOK_EOF;
            eof_ = true;
            return XMLTOK_EOF;
        case Phase::Suspended:
            settle(XML_ResumeParser(parser_));
            break;
        }
    }
}

bool XmlScan::isEof() const {
    return eof_ || (phase_ == Phase::Failed && pending_.empty());
}

int XmlScan::getNesting(const XmlTok_t& tok) {
    switch (tok.type) {
    case XMLTOK_START:
    case XMLTOK_START_ATTR:
        return 1;
    case XMLTOK_EMPTY_END:
    case XMLTOK_END:
        return -1;
    default:
        return 0;
    }
}

XmlTokType_t XmlScan::skipAttributes(XmlTok_t& tok) {
    XmlTokType_t type;
    do {
        type = getTok(tok);
    } while (type == XMLTOK_ATTR);
    return type;
}

void XmlScan::scanOverTag(XmlTok_t& tok) {
    switch (lastType_) {
    case XMLTOK_START:
    case XMLTOK_START_ATTR:
    case XMLTOK_ATTR:
    case XMLTOK_TAG_END:
        break;
    default:
        return;
    }
    const int outside = depth_ - 1;
    while (depth_ > outside) {
        if (getTok(tok) == XMLTOK_EOF) return;
    }
}
