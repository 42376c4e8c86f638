// Programs written as the text form shows them: "01 07000000 FF", spaces anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace calctest {

inline std::vector<uint8_t> prog(const std::string& hex) {
    std::string digits;
    for (char ch : hex)
        if (ch != ' ') digits += ch;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace calctest
