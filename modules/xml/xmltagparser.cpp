#include "xml/xmltagparser.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "framework/syslog.h"
#include "xml/xmlerror.h"

namespace {

// The error text with the attribute (or tag) name in parentheses, then the scanner's position.
[[noreturn]] void raise(const char* text, const std::string& name, const XmlScan* scanner) {
    char message[200];
    if (name.empty()) {
        std::snprintf(message, sizeof message, "%s", text);
    } else {
        std::snprintf(message, sizeof message, "%s (%s)", text, name.c_str());
    }
    throw XmlError(message, scanner);
}

std::string_view trimmed(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return std::string_view(s).substr(b, e - b);
}

// The text of a decimal number: surrounding spaces and one leading '+' dropped.
std::string_view decimal(const std::string& s) {
    std::string_view t = trimmed(s);
    if (t.size() > 1 && t[0] == '+' && t[1] != '-' && t[1] != '+') t.remove_prefix(1);
    return t;
}

// The whole text as one number; C locale whatever the process's locale is.
template <typename T> bool parseWhole(std::string_view text, T* out, int base = 10) {
    if (text.empty()) return false;
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<T>) {
        (void)base;
        r = std::from_chars(text.data(), text.data() + text.size(), *out);
    } else {
        r = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    }
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

enum class HexResult { Ok, NotHex, TooLarge };

HexResult parseHex(const std::string& value, uint64_t* out) {
    std::string_view t = trimmed(value);
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
    if (t.empty()) return HexResult::NotHex;
    for (char c : t) {
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit) return HexResult::NotHex;
    }
    return parseWhole(t, out, 16) ? HexResult::Ok : HexResult::TooLarge;
}

bool fitsSigned(int64_t v, size_t size) {
    switch (size) {
    case 1:
        return v >= INT8_MIN && v <= INT8_MAX;
    case 2:
        return v >= INT16_MIN && v <= INT16_MAX;
    case 4:
        return v >= INT32_MIN && v <= INT32_MAX;
    default:
        return true;
    }
}

bool fitsUnsigned(uint64_t v, size_t size) {
    return size >= 8 || v < (uint64_t{1} << (8 * size));
}

// Stores the low `size` bytes of `v` in host order (destinations need not be aligned).
void storeInt(void* dest, size_t size, uint64_t v) {
    switch (size) {
    case 1: {
        const uint8_t x = static_cast<uint8_t>(v);
        std::memcpy(dest, &x, 1);
        break;
    }
    case 2: {
        const uint16_t x = static_cast<uint16_t>(v);
        std::memcpy(dest, &x, 2);
        break;
    }
    case 4: {
        const uint32_t x = static_cast<uint32_t>(v);
        std::memcpy(dest, &x, 4);
        break;
    }
    default:
        std::memcpy(dest, &v, 8);
        break;
    }
}

// Copies at most size - 1 bytes and terminates; a cut never splits a UTF-8 sequence.
void storeText(char* dest, size_t size, const std::string& value) {
    size_t n = value.size();
    if (n >= size) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dest, value.data(), n);
    dest[n] = '\0';
}

bool sizeFits(xmlType_t type, size_t size) {
    switch (type) {
    case XMLTYPE_TEXT:
        return size >= 1;
    case XMLTYPE_HEX:
    case XMLTYPE_VTAB:
        return size == 1 || size == 2 || size == 4;
    case XMLTYPE_HEX64:
        return size == 8;
    case XMLTYPE_SIGNED:
    case XMLTYPE_UNSIGNED:
        return size == 1 || size == 2 || size == 4 || size == 8;
    case XMLTYPE_FLOAT:
        return size == sizeof(float) || size == sizeof(double);
    }
    return false;
}

} // namespace

XmlTagParser::XmlTagParser(int capacity) : capacity_(capacity > 0 ? static_cast<size_t>(capacity) : 0) {
    slots_.reserve(capacity_);
}

void XmlTagParser::addAttribute(const char* name, void* destination, size_t size, xmlType_t type,
                                bool optional) {
    add(name, nullptr, destination, size, type, optional);
}

void XmlTagParser::addAttributeVTab(const char* name, const XmlVTabParser* table, void* destination,
                                    size_t size, bool optional) {
    add(name, table, destination, size, XMLTYPE_VTAB, optional);
}

void XmlTagParser::add(const char* name, const XmlVTabParser* table, void* destination, size_t size,
                       xmlType_t type, bool optional) {
    const char* shown = name != nullptr ? name : "(null)";
    if (slots_.size() >= capacity_) {
        syslogx(LOG_PRIO_ERR, "XmlTagParser::addAttribute(): no slot left for %s", shown);
        refused_ = true;
        return;
    }
    if (name == nullptr || destination == nullptr || !sizeFits(type, size) ||
        (type == XMLTYPE_VTAB && table == nullptr)) {
        syslogx(LOG_PRIO_ERR, "XmlTagParser::addAttribute(): %s refused (type %d, size %zu)", shown,
                static_cast<int>(type), size);
        refused_ = true;
        return;
    }
    slots_.push_back({name, destination, size, type, optional, table, false});
}

void XmlTagParser::store(const Slot& slot, const XmlTok_t& tok, const XmlScan* scanner) const {
    switch (slot.type) {
    case XMLTYPE_TEXT:
        storeText(static_cast<char*>(slot.destination), slot.size, tok.value);
        return;
    case XMLTYPE_HEX:
    case XMLTYPE_HEX64: {
        uint64_t v = 0;
        const HexResult r = parseHex(tok.value, &v);
        if (r == HexResult::NotHex) {
            raise(slot.type == XMLTYPE_HEX ? "attribute is no hex number" : "attribute is no hex64 number",
                  tok.name, scanner);
        }
        if (r == HexResult::TooLarge || !fitsUnsigned(v, slot.size)) {
            raise("attribute has wrong number", tok.name, scanner);
        }
        storeInt(slot.destination, slot.size, v);
        return;
    }
    case XMLTYPE_SIGNED: {
        const std::string_view t = decimal(tok.value);
        int64_t v = 0;
        if (!parseWhole(t, &v) || !fitsSigned(v, slot.size))
            raise("attribute has wrong number", tok.name, scanner);
        storeInt(slot.destination, slot.size, static_cast<uint64_t>(v));
        return;
    }
    case XMLTYPE_UNSIGNED: {
        const std::string_view t = decimal(tok.value);
        uint64_t v = 0;
        if (!parseWhole(t, &v) || !fitsUnsigned(v, slot.size))
            raise("attribute has wrong number", tok.name, scanner);
        storeInt(slot.destination, slot.size, v);
        return;
    }
    case XMLTYPE_FLOAT: {
        const std::string_view t = decimal(tok.value);
        double v = 0;
        if (!parseWhole(t, &v) || !std::isfinite(v)) raise("attribute has wrong number", tok.name, scanner);
        if (slot.size == sizeof(float)) {
            if (std::fabs(v) > std::numeric_limits<float>::max())
                raise("attribute has wrong number", tok.name, scanner);
            const float f = static_cast<float>(v);
            std::memcpy(slot.destination, &f, sizeof f);
        } else {
            std::memcpy(slot.destination, &v, sizeof v);
        }
        return;
    }
    case XMLTYPE_VTAB: {
        int v = 0;
        if (!slot.table->lookup(tok.value.c_str(), &v)) raise("attribute has wrong value", tok.name, scanner);
        if (!fitsSigned(v, slot.size) && !(v >= 0 && fitsUnsigned(static_cast<uint64_t>(v), slot.size))) {
            raise("attribute has wrong number", tok.name, scanner);
        }
        storeInt(slot.destination, slot.size, static_cast<uint64_t>(static_cast<int64_t>(v)));
        return;
    }
    }
}

int XmlTagParser::parse(XmlScan* scanner) {
    if (scanner == nullptr) throw XmlError("parse: less tags used!", nullptr);
    if (refused_ || slots_.size() < capacity_) raise("parse: less tags used!", std::string(), scanner);
    for (Slot& s : slots_) s.seen = false;

    int result = XMLTOK_TAG_END;
    switch (scanner->lastType()) {
    case XMLTOK_START: // no attributes, content follows
        break;
    case XMLTOK_START_ATTR:
    case XMLTOK_ATTR: {
        XmlTok_t tok;
        for (;;) {
            const XmlTokType_t type = scanner->getTok(tok);
            if (type == XMLTOK_TAG_END || type == XMLTOK_EMPTY_END) {
                result = type;
                break;
            }
            if (type != XMLTOK_ATTR) raise("unexpected token after parsing attributes", tok.name, scanner);
            for (Slot& s : slots_) {
                if (s.name == tok.name) {
                    store(s, tok, scanner);
                    s.seen = true;
                    break;
                }
            }
        }
        break;
    }
    default:
        raise("unexpected token after parsing attributes", std::string(), scanner);
    }

    for (const Slot& s : slots_) {
        if (!s.seen && !s.optional) raise("mandatory attribute not found", s.name, scanner);
    }
    return result;
}
