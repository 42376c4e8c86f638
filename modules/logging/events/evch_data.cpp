// One input channel of the event channels: the attributes of a triggerInput tag, the latest value
// from the gateway and its conversion.
#include "logging/events/eventchannels.h"

#include "xml/xmlscan.h"
#include "xml/xmltagparser.h"
#include "xml/xmlvtabparser.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

struct TypeName {
    const char* name;
    TypeEnum_t type;
};
constexpr TypeName kTypes[] = {{"UINT8", TYPE_UINT8},   {"SINT8", TYPE_SINT8},   {"UINT16", TYPE_UINT16},
                               {"SINT16", TYPE_SINT16}, {"UINT32", TYPE_UINT32}, {"SINT32", TYPE_SINT32},
                               {"FLOAT", TYPE_FLOAT},   {"BOOL", TYPE_BOOL}};

enum : uint8_t { RAW_S8 = 0, RAW_U8, RAW_S16, RAW_U16, RAW_S32, RAW_U32, RAW_F32, RAW_FLAG };

uint64_t bitsOf(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

double doubleOf(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

} // namespace

namespace evch {

// Truncation toward zero with the result held inside the target's range, the same on every host
// (a plain conversion of NaN or of an out-of-range value is undefined).
int32_t toInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

uint32_t toUInt32(double value) {
    if (std::isnan(value) || value <= 0.0) return 0;
    if (value >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

} // namespace evch

EventChData::EventChData(XmlScan* scanner) {
    XmlVTabParser types(static_cast<int>(std::size(kTypes)));
    for (const TypeName& t : kTypes) types.addPair(t.name, t.type);
    uint16_t xmlType = TYPE_NONE;
    XmlTagParser parser(11);
    parser.addAttributeVTab("type", &types, &xmlType, sizeof xmlType);
    parser.addAttribute("adr", &address_, sizeof address_, XMLTYPE_HEX);
    parser.addAttribute("mask", &mask_, sizeof mask_, XMLTYPE_HEX);
    parser.addAttribute("a", &a_, sizeof a_, XMLTYPE_FLOAT);
    parser.addAttribute("b", &b_, sizeof b_, XMLTYPE_FLOAT);
    parser.addAttribute("c", &c_, sizeof c_, XMLTYPE_FLOAT);
    parser.addAttribute("d", &d_, sizeof d_, XMLTYPE_FLOAT);
    parser.addAttribute("e", &e_, sizeof e_, XMLTYPE_FLOAT);
    parser.addAttribute("f", &f_, sizeof f_, XMLTYPE_FLOAT);
    parser.addAttribute("name", name_, sizeof name_, XMLTYPE_TEXT, true);
    parser.addAttribute("vtab", vtab_, sizeof vtab_, XMLTYPE_TEXT, true);
    parser.parse(scanner);
    type_ = convDataType(static_cast<TypeEnum_t>(xmlType));
    shift_ = (mask_ != 0 && (mask_ & 1u) == 0) ? static_cast<uint8_t>(__builtin_ctz(mask_)) : 0;
}

EventChData::~EventChData() = default;

uint8_t EventChData::convDataType(TypeEnum_t type) {
    return chantype_rawCode(type);
}

unsigned EventChData::valueSize() const {
    switch (type_) {
    case RAW_S32:
    case RAW_U32:
    case RAW_F32:
        return 4;
    case RAW_S16:
    case RAW_U16:
        return 2;
    case RAW_S8:
    case RAW_U8:
    case RAW_FLAG:
        return 1;
    default:
        return 0;
    }
}

bool EventChData::isSigned() const {
    return type_ == RAW_S8 || type_ == RAW_S16 || type_ == RAW_S32;
}

bool EventChData::isFloat() const {
    return type_ == RAW_F32;
}

void EventChData::putData(const void* value) {
    const auto* p = static_cast<const uint8_t*>(value);
    uint64_t raw = 0;
    switch (type_) {
    case RAW_S8:
        raw = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0])));
        break;
    case RAW_U8:
    case RAW_FLAG:
        raw = p[0];
        break;
    case RAW_S16:
        raw = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>((p[0] << 8) | p[1])));
        break;
    case RAW_U16:
        raw = static_cast<uint32_t>((p[0] << 8) | p[1]);
        break;
    case RAW_S32:
    case RAW_U32:
        raw = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        break;
    case RAW_F32: {
        const uint32_t bits = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        float f;
        std::memcpy(&f, &bits, sizeof f);
        raw = bitsOf(double(f));
        break;
    }
    default:
        return;
    }
    raw_.store(raw, std::memory_order_relaxed);
    quantFresh_.store(0, std::memory_order_release);
    update_.store(1, std::memory_order_release);
}

void EventChData::updateData() {
    const uint64_t raw = raw_.load(std::memory_order_relaxed);
    double x;
    if (isFloat()) {
        x = doubleOf(raw);
    } else if (isSigned()) {
        x = double(static_cast<int32_t>(static_cast<uint32_t>(raw)) >> shift_);
    } else {
        const auto u = static_cast<uint32_t>(raw);
        x = double(mask_ != 0 ? (u & mask_) >> shift_ : u);
    }
    // The linear case of the rational conversion; a, d and e take no part.
    quant_ = (double(f_) * x - double(c_)) / double(b_);
    quantFresh_.store(1, std::memory_order_release);
}

void EventChData::getRawData(unsigned long& out) const {
    const uint64_t raw = raw_.load(std::memory_order_relaxed);
    if (type_ == 0xFF)
        out = 0;
    else if (isFloat())
        out = evch::toUInt32(doubleOf(raw));
    else
        out = static_cast<uint32_t>(raw);
}

void EventChData::getRawData(long& out) const {
    const uint64_t raw = raw_.load(std::memory_order_relaxed);
    if (type_ == 0xFF)
        out = 0;
    else if (isFloat())
        out = evch::toInt32(doubleOf(raw));
    else
        out = static_cast<int32_t>(static_cast<uint32_t>(raw));
}

void EventChData::getRawData(double& out) const {
    const uint64_t raw = raw_.load(std::memory_order_relaxed);
    if (type_ == 0xFF)
        out = 0;
    else if (isFloat())
        out = doubleOf(raw);
    else if (isSigned())
        out = double(static_cast<int32_t>(static_cast<uint32_t>(raw)));
    else
        out = double(static_cast<uint32_t>(raw));
}

void EventChData::getQuantData(unsigned long& out) {
    double q;
    getQuantData(q);
    out = evch::toUInt32(q);
}

void EventChData::getQuantData(long& out) {
    double q;
    getQuantData(q);
    out = evch::toInt32(q);
}

void EventChData::getQuantData(double& out) {
    if (!quantFresh_.load(std::memory_order_acquire)) updateData();
    out = quant_;
}
