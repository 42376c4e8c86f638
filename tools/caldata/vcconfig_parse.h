// Pieces of the vcconfig text form shared by its channel kinds.
#pragma once

#include "caldataset.h"

#include "calc/awm_vc_config.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace vcconfig {

struct Fault {
    std::string text;
    int line = 0; // the line, for a fault found only once the whole text is read
};

// A word of the text as a message shows it: an over-long one by its beginning and its length.
inline constexpr size_t kShown = 64;
inline std::string shown(const std::string& text) {
    if (text.size() <= kShown) return text;
    return text.substr(0, kShown) + "... (" + std::to_string(text.size()) + " characters)";
}
inline std::string quoted(const std::string& text) {
    if (text.size() <= kShown) return "'" + text + "'";
    return "'" + text.substr(0, kShown) + "...' (" + std::to_string(text.size()) + " characters)";
}

inline uint32_t number(const std::string& text, uint32_t max, const char* what) {
    try {
        size_t used = 0;
        const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
        const unsigned long v = std::stoul(text, &used, hex ? 16 : 10); // "010" is ten, not eight
        if (used == text.size() && v <= max) return uint32_t(v);
    } catch (const std::exception&) {
    }
    throw Fault{std::string(what) + " " + quoted(text) + " is not a number up to " + std::to_string(max)};
}

// The kind of a channel as a text names it.
inline std::string kindOf(uint16_t module) {
    switch (module) {
    case AWM_MODULE_NONE:
        return "off";
    case AWM_MODULE_FORMULA:
        return "formula";
    case AWM_MODULE_CONDITION:
        return "condition";
    case 256:
        return "filter-a";
    case 257:
        return "filter-b";
    case AWM_MODULE_LAPFUNC:
        return "lapfunc";
    case AWM_MODULE_FUELCONS:
        return "fuelcons";
    case AWM_MODULE_GPSSEG:
        return "gpsseg";
    default:
        char id[16];
        std::snprintf(id, sizeof id, "0x%04X", unsigned(module));
        return id;
    }
}

// A float of a value line or a channel field (`what` names it), rounded as the page keeps it: any
// number that rounds to a finite float is taken (3.40282347e38 rounds to the largest, 1e-40 to a
// subnormal one); one that rounds beyond the largest, or one not 0 that would become 0, does not fit.
inline float real(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const float x = std::strtof(text.c_str(), &end);
    if (text.empty() || *end != '\0' || (!std::isfinite(x) && errno != ERANGE))
        throw Fault{what + " is not a number"};
    char range[96];
    if (!std::isfinite(x)) {
        std::snprintf(range, sizeof range, " does not fit its type float (%.8g to %.8g)", -FLT_MAX, FLT_MAX);
        throw Fault{what + range};
    }
    if (x == 0) {
        // Zero only when every digit before the exponent is: 0x1p-200 and 1e-50 are not.
        const size_t digits = text.find_first_not_of("+-");
        const bool hex = text.compare(digits, 2, "0x") == 0 || text.compare(digits, 2, "0X") == 0;
        const std::string mantissa = text.substr(digits + (hex ? 2 : 0));
        for (const char c : mantissa.substr(0, mantissa.find_first_of(hex ? "pP" : "eE"))) {
            if (c == '0' || !(hex ? std::isxdigit(uint8_t(c)) : std::isdigit(uint8_t(c)))) continue;
            std::snprintf(range, sizeof range,
                          " does not fit its type float (not 0, but nearer 0 than the smallest float, %.8g)",
                          double(FLT_TRUE_MIN));
            throw Fault{what + range};
        }
    }
    return x;
}

inline uint16_t moduleOf(const std::string& kind) {
    if (kind == "formula") return AWM_MODULE_FORMULA;
    if (kind == "condition") return AWM_MODULE_CONDITION;
    if (kind == "filter-a") return 256;
    if (kind == "filter-b") return 257;
    if (kind == "off") return AWM_MODULE_NONE;
    if (kind.rfind("0x", 0) == 0) {
        const auto module = uint16_t(number(kind, 0xFFFF, "module id"));
        if (module == AWM_MODULE_EXTENSION)
            throw Fault{"module id 0xFFFF marks the extension records of a channel, it is no channel"};
        // The lap model's configuration is fields that only its named kind writes; by its id alone
        // the channel would have no extension records and a configuration of zeros.
        if (module == AWM_MODULE_LAPFUNC || module == AWM_MODULE_FUELCONS || module == AWM_MODULE_GPSSEG)
            throw Fault{"module id " + shown(kind) + " is a " + kindOf(module) +
                        " channel: name its kind, as 'channel <n> " + kindOf(module) +
                        " <field> <value>...'"};
        return module;
    }
    throw Fault{"unknown channel kind " + quoted(kind)};
}

// "NAME" or "NAME[i]": the name, and the element (0 without one). True when an element is given.
inline bool nameAndElement(const std::string& text, std::string* name, uint32_t* element) {
    const size_t open = text.find('[');
    *name = text.substr(0, open);
    *element = 0;
    if (open == std::string::npos) return false;
    if (text.back() != ']') throw Fault{quoted(text) + " lacks its ']'"};
    *element = number(text.substr(open + 1, text.size() - open - 2), 0xFFFFFFFFu, "element");
    return true;
}

inline void parseInput(const caldata::CalDataset& data, const std::string& text, uint32_t* address,
                       uint8_t* type) {
    if (text.rfind("calc:", 0) == 0) {
        *address = awm_vc_address(number(text.substr(5), AWM_VC_CHANNELS - 1, "channel"));
        *type = 6;
        return;
    }
    if (text.rfind("0x", 0) == 0) {
        const size_t colon = text.find(':');
        if (colon == std::string::npos)
            throw Fault{"address " + quoted(text) + " needs its type code (0xADDR:code)"};
        *address = number(text.substr(0, colon), 0xFFFFFFFFu, "address");
        *type = uint8_t(number(text.substr(colon + 1), 7, "type code"));
        return;
    }
    std::string name;
    uint32_t element = 0;
    nameAndElement(text, &name, &element);
    if (!data.has(name))
        throw Fault{quoted(name) + " is neither a calibration value nor a measurement variable"};
    const caldata::CalVariable& v = data.var(name);
    if (element >= v.count)
        throw Fault{quoted(text) + " is beyond the " + std::to_string(v.count) + " elements"};
    *address = data.address(name, element);
    *type = uint8_t(v.code);
}

// A lap-function ("lapfunc"), fuel ("fuelcons") or GPS segment ("gpsseg") channel: its records
// (the channel's own and its extension records) from the rest of the line; false for another kind.
bool parseModelChannel(const caldata::CalDataset& data, const std::string& kind, uint8_t raster,
                       std::istringstream& in, std::vector<uint8_t>* records);

} // namespace vcconfig
