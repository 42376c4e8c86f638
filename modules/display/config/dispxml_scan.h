// The display configuration's own small scanner: tags, attributes with double-quoted values, the xml
// declaration, comments and the five named entities, over a text held whole in memory. No text
// content, CDATA, DOCTYPE or namespaces. All functions return 0 on success and -1 on failure; the
// text of the last failure is kept in one message buffer with line and column.
#pragma once

#include <cstdint>

// Scan state: a plain value that parsers copy freely to look ahead.
struct xml_scan_s {
    const char* p; // current character
    int32_t len;   // length of the whole text
    int32_t pos;   // index of the current character; the text ends when it reaches len
    int32_t line;  // from 1
    int32_t col;   // from 0
};

enum : int {
    XML_NAME_SIZE = 255, // at most 254 characters and the terminator
    XML_MSG_SIZE = 254,  // message buffer including the terminator
};

enum XmlTokType : int32_t {
    XML_TOK_TAG = 0,       // "<name>"
    XML_TOK_TAG_ATTR = 1,  // "<name" followed by attributes (or "/>")
    XML_TOK_TAG_END = 2,   // ">" closing a start tag with attributes
    XML_TOK_EMPTY_END = 3, // "/>"
    XML_TOK_END_TAG = 4,   // "</name>"
    XML_TOK_DECL = 5,      // "<?xml"
    XML_TOK_DECL_END = 6,  // "?>"
    XML_TOK_ATTR = 7,      // name="value"
    XML_TOK_EOF = 9,
};

struct xml_token_s {
    int32_t type;
    char name[XML_NAME_SIZE];
    char value[XML_NAME_SIZE];
};

// A scan state over `len` bytes at `text`, at line 1, column 0.
xml_scan_s xml_scan_init(const char* text, int32_t len);

// Next token: 0 with a token, 1 at the end of the text (type 9), -1 on a scan error.
int XmlGetTok(xml_scan_s* scan, xml_token_s* token);

// Skips blanks; 1 when the end of the text is reached, else 0.
int skip_blank(xml_scan_s* scan);
int xml_scan_name(xml_scan_s* scan, char* buffer, int size);
int xml_scan_string(xml_scan_s* scan, char* buffer, int size);
int xml_scan_content(xml_scan_s* scan, char* buffer, int size);
int XmlScanContent(xml_scan_s* scan, int size, char* buffer);
bool isLetter(char c);
bool isDigit(char c);

// Skips the element whose start token (type 0 or 1) was just read, with all its content.
int XmlIgnore_Tag(xml_scan_s* scan, xml_token_s* token);

// Formats the message buffer: "%s in line %d column %d" with a scan state, the message alone without.
void xml_error(const char* message, const xml_scan_s* scan);
// Copies the last message into `buffer` of `n` bytes (at most 254), always terminated.
void xml_get_error_msg(char* buffer, int n);
// Empties the message buffer; every load starts with it.
void xml_clear_error();
