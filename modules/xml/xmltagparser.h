// Attribute parser of one tag kind: a fixed number of slots, each naming an attribute, its type
// and where its value goes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "xml/xmlscan.h"
#include "xml/xmlvtabparser.h"

enum xmlType_t {
    XMLTYPE_TEXT = 0,     // copied and NUL-terminated, cut to the destination size
    XMLTYPE_HEX = 1,      // hex number ("0x" optional) of 1, 2 or 4 bytes
    XMLTYPE_HEX64 = 2,    // hex number of 8 bytes
    XMLTYPE_SIGNED = 3,   // decimal integer of 1, 2, 4 or 8 bytes, range by size
    XMLTYPE_UNSIGNED = 4, // decimal integer without sign of 1, 2, 4 or 8 bytes, range by size
    XMLTYPE_FLOAT = 5,    // decimal number into a float (4 bytes) or a double (8 bytes)
    XMLTYPE_VTAB = 6,     // name of a value table, its integer stored in 1, 2 or 4 bytes
};

class XmlTagParser {
public:
    // A parser with `capacity` attribute slots; all of them must be filled before parse().
    explicit XmlTagParser(int capacity);

    // Fills the next slot. `size` is the size of the destination in bytes. A slot that cannot be
    // used (no name or destination, a size the type cannot take, no slot left) is logged and
    // left empty, so that parse() refuses to run.
    void addAttribute(const char* name, void* destination, size_t size, xmlType_t type,
                      bool optional = false);
    void addAttributeVTab(const char* name, const XmlVTabParser* table, void* destination, size_t size,
                          bool optional = false);

    // Reads the attributes of the tag whose start token (type 0 or 1) the scanner read last into
    // their destinations; attributes without a slot are passed over, optional attributes that
    // are missing leave their destination untouched. Returns XMLTOK_TAG_END (2, content follows)
    // or XMLTOK_EMPTY_END (3, empty element). Raises, formatted by XmlError with the attribute
    // name in parentheses: "parse: less tags used!", "mandatory attribute not found",
    // "attribute has wrong number", "attribute has wrong value", "attribute is no hex number",
    // "attribute is no hex64 number", "unexpected token after parsing attributes".
    int parse(XmlScan* scanner);

private:
    struct Slot {
        std::string name;
        void* destination;
        size_t size;
        xmlType_t type;
        bool optional;
        const XmlVTabParser* table;
        bool seen;
    };
    void add(const char* name, const XmlVTabParser* table, void* destination, size_t size, xmlType_t type,
             bool optional);
    void store(const Slot& slot, const XmlTok_t& tok, const XmlScan* scanner) const;

    std::vector<Slot> slots_;
    size_t capacity_;
    bool refused_ = false;
};
