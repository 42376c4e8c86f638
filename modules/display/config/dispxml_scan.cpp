// Scanner of the display configuration. The text is not terminated in memory: every look-ahead goes
// through peek(), which yields 0 beyond the end, so a text that stops inside a tag never makes the
// scanner read past its buffer.
#include "display/config/dispxml_scan.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

char g_msg[XML_MSG_SIZE];

bool atEnd(const xml_scan_s* s) {
    return s->pos >= s->len;
}

// The character `ahead` places after the current one, 0 beyond the end of the text.
char peek(const xml_scan_s* s, int ahead) {
    return static_cast<int64_t>(s->pos) + ahead < s->len ? s->p[ahead] : '\0';
}

// Consumes one character outside the blanks: one column, whatever it is.
void advance(xml_scan_s* s, int count = 1) {
    s->p += count;
    s->pos += count;
    s->col += count;
}

int fail(const char* message, const xml_scan_s* s) {
    xml_error(message, s);
    return -1;
}

struct Entity {
    const char* text;
    char ch;
};
constexpr Entity kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};

// Reads the entity at the current "&"; 0 with its character, -1 when it is none of the accepted ones.
int scanEntity(xml_scan_s* s, char* out) {
    for (const Entity& e : kEntities) {
        const int n = static_cast<int>(std::strlen(e.text));
        int i = 0;
        while (i < n && peek(s, i) == e.text[i]) ++i;
        if (i == n) {
            advance(s, n);
            *out = e.ch;
            return 0;
        }
    }
    if (peek(s, 1) != '#') return -1;
    int i = 2;
    unsigned value = 0;
    while (isDigit(peek(s, i))) {
        value = (value * 10u + static_cast<unsigned>(peek(s, i) - '0')) % 256u;
        ++i;
    }
    if (i == 2 || peek(s, i) != ';') return -1;
    advance(s, i + 1);
    *out = static_cast<char>(value);
    return 0;
}

// Attributes of a start tag being skipped: 0 at ">", 1 at "/>" (the element is complete), -1 else.
int skipAttributes(xml_scan_s* s) {
    xml_token_s t;
    for (;;) {
        const int r = XmlGetTok(s, &t);
        if (r != 0) return -1;
        if (t.type == XML_TOK_ATTR) continue;
        if (t.type == XML_TOK_TAG_END) return 0;
        if (t.type == XML_TOK_EMPTY_END) return 1;
        return fail("parse error: expecting attributes", s);
    }
}

} // namespace

xml_scan_s xml_scan_init(const char* text, int32_t len) {
    return xml_scan_s{text, text != nullptr && len > 0 ? len : 0, 0, 1, 0};
}

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int skip_blank(xml_scan_s* s) {
    while (!atEnd(s)) {
        switch (*s->p) {
        case ' ':
            s->col += 1;
            break;
        case '\t':
            s->col += 8;
            break;
        case '\r':
            s->col = 0;
            break;
        case '\n':
        case '\v':
            s->line += 1;
            break;
        case '\0':
            break;
        default:
            return 0;
        }
        ++s->p;
        ++s->pos;
    }
    return 1;
}

int xml_scan_name(xml_scan_s* s, char* buffer, int size) {
    if (atEnd(s) || !isLetter(*s->p) || size < 2) return -1;
    // The buffer stays terminated even when the name does not fit.
    int n = 0;
    buffer[0] = '\0';
    while (!atEnd(s) && (isLetter(*s->p) || *s->p == ':')) {
        if (n >= size - 1) return -1;
        buffer[n++] = *s->p;
        buffer[n] = '\0';
        advance(s);
    }
    return 0;
}

int xml_scan_string(xml_scan_s* s, char* buffer, int size) {
    if (peek(s, 0) != '"') return -1;
    advance(s);
    return xml_scan_content(s, buffer, size);
}

int xml_scan_content(xml_scan_s* s, char* buffer, int size) {
    if (size < 1) return -1;
    // The buffer stays terminated also when the value fails.
    int n = 0;
    buffer[0] = '\0';
    for (;;) {
        if (atEnd(s)) return -1;
        char c = *s->p;
        if (c == '"') {
            advance(s);
            return 0;
        }
        if (n >= size - 1 || c == '<' || c == '>') return -1;
        if (c == '&') {
            if (scanEntity(s, &c) != 0) return -1;
        } else {
            advance(s);
        }
        buffer[n++] = c;
        buffer[n] = '\0';
    }
}

int XmlScanContent(xml_scan_s* scan, int size, char* buffer) {
    return xml_scan_content(scan, buffer, size);
}

int XmlGetTok(xml_scan_s* s, xml_token_s* t) {
    t->type = XML_TOK_EOF;
    t->name[0] = '\0';
    t->value[0] = '\0';

    // Comments, each followed by blanks, until a token starts.
    for (;;) {
        if (skip_blank(s)) return 1;
        if (*s->p != '<' || peek(s, 1) != '!') break;
        advance(s, 2);
        if (peek(s, 0) != '-' || peek(s, 1) != '-')
            return fail("scan error: '!' unexpected, only XML comments are supported...", s);
        advance(s, 2);
        for (;;) {
            if (skip_blank(s)) return fail("scan error: unexpected EOF during comment", s);
            if (*s->p == '-' && peek(s, 1) == '-' && peek(s, 2) == '>') {
                advance(s, 3);
                break;
            }
            advance(s);
        }
    }

    const char c = *s->p;
    if (c == '<') {
        const char c1 = peek(s, 1);
        if (c1 == '/') {
            advance(s, 2);
            if (xml_scan_name(s, t->name, sizeof t->name) != 0)
                return fail("scan error: tag name expected", s);
            if (skip_blank(s)) return fail("scan error: unexpected EOF", s);
            if (*s->p != '>') return fail("scan error: '>' expected", s);
            advance(s);
            t->type = XML_TOK_END_TAG;
            return 0;
        }
        if (c1 == '?') {
            advance(s, 2);
            if (peek(s, 0) != 'x' || peek(s, 1) != 'm' || peek(s, 2) != 'l')
                return fail("scan error: xml expected", s);
            advance(s, 3);
            std::strcpy(t->name, "xml");
            t->type = XML_TOK_DECL;
            return 0;
        }
        if (!isLetter(c1)) return fail("scan error", s);
        advance(s);
        if (xml_scan_name(s, t->name, sizeof t->name) != 0) return fail("scan error: tag name expected", s);
        if (skip_blank(s)) return fail("scan error: unexpected EOF", s);
        if (*s->p == '>') {
            advance(s);
            t->type = XML_TOK_TAG;
        } else {
            t->type = XML_TOK_TAG_ATTR;
        }
        return 0;
    }
    if (c == '>') {
        advance(s);
        t->type = XML_TOK_TAG_END;
        return 0;
    }
    if (c == '/' || c == '?') {
        advance(s);
        if (peek(s, 0) != '>') return fail("scan error: '>' expected", s);
        advance(s);
        t->type = c == '/' ? XML_TOK_EMPTY_END : XML_TOK_DECL_END;
        return 0;
    }
    if (isLetter(c)) {
        if (xml_scan_name(s, t->name, sizeof t->name) != 0)
            return fail("scan error: parameter name expected", s);
        if (skip_blank(s)) return fail("scan error: unexpected EOF", s);
        if (*s->p != '=') return fail("scan error: '=' expected", s);
        advance(s);
        if (skip_blank(s)) return fail("scan error: unexpected EOF", s);
        if (xml_scan_string(s, t->value, sizeof t->value) != 0)
            return fail("scan error: error scanning parameter value", s);
        t->type = XML_TOK_ATTR;
        return 0;
    }
    if (isDigit(c)) return fail("scan error: unexpected digit", s);
    return fail("scan error", s);
}

// Skips iteratively: a file of deeply nested unknown tags must not exhaust the GUI task's stack. The
// names of the open elements are kept in one growing buffer, each followed by its terminator.
int XmlIgnore_Tag(xml_scan_s* s, xml_token_s* token) {
    if (token->type == XML_TOK_TAG_ATTR) {
        const int r = skipAttributes(s);
        if (r != 0) return r < 0 ? -1 : 0;
    } else if (token->type != XML_TOK_TAG) {
        return fail("parse error: unexpected token", s);
    }

    std::string names(token->name);
    names.push_back('\0');
    std::vector<size_t> open{0};
    xml_token_s t;
    while (!open.empty()) {
        const int r = XmlGetTok(s, &t);
        if (r < 0) return fail("parse error: error during unknown tag", s);
        if (r > 0) return -1; // the text ends inside the element
        if (t.type == XML_TOK_TAG_ATTR) {
            const int a = skipAttributes(s);
            if (a < 0) return -1;
            if (a > 0) continue; // empty element
        }
        if (t.type == XML_TOK_TAG || t.type == XML_TOK_TAG_ATTR) {
            open.push_back(names.size());
            names.append(t.name);
            names.push_back('\0');
            continue;
        }
        if (t.type == XML_TOK_END_TAG && std::strcmp(names.c_str() + open.back(), t.name) == 0) {
            names.resize(open.back());
            open.pop_back();
            continue;
        }
        return fail("parse error: unexpected token", s);
    }
    return 0;
}

void xml_error(const char* message, const xml_scan_s* scan) {
    if (scan != nullptr)
        std::snprintf(g_msg, sizeof g_msg, "%s in line %d column %d", message, scan->line, scan->col);
    else
        std::snprintf(g_msg, sizeof g_msg, "%s", message);
}

void xml_get_error_msg(char* buffer, int n) {
    if (buffer == nullptr || n <= 0) return;
    const size_t room = static_cast<size_t>(n < XML_MSG_SIZE ? n : XML_MSG_SIZE) - 1;
    const size_t len = strnlen(g_msg, room);
    std::memcpy(buffer, g_msg, len);
    buffer[len] = '\0';
}

void xml_clear_error() {
    g_msg[0] = '\0';
}
