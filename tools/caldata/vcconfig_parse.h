// Pieces of the vcconfig text form shared by its channel kinds.
#pragma once

#include "caldataset.h"

#include "calc/awm_vc_config.h"

#include <cstdint>
#include <cstdio>
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
        return module;
    }
    throw Fault{"unknown channel kind " + quoted(kind)};
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
    if (!data.has(name)) throw Fault{quoted(name) + " is not a calibration value"};
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
