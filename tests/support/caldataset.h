// The calibration dataset of a device root, written as the device reads it: header, CRC-16/MCRF4XX,
// and the data page laid out from the variable list (members in list order, natural alignment) with
// the list's defaults.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct CalVariable {
    std::string type;
    uint32_t count = 1;
    uint32_t code = 0;
    float sens = 1, offset = 0;
    uint32_t at = 0; // data page offset (calibration values)
};

class CalDataset {
public:
    CalDataset();
    size_t length() const { return page_.size(); }
    const CalVariable& var(const std::string& name) const { return vars_.at(name); }
    void set(const std::string& name, uint32_t element, double value);
    // Raw bytes into the data page at a variable's offset plus `byteOffset`.
    void setBytes(const std::string& name, uint32_t byteOffset, const std::vector<uint8_t>& bytes);
    // The file as the device reads it; an empty page gives a dataset of length 0.
    std::vector<uint8_t> file(const std::string& program, bool withPage = true) const;

private:
    struct Default {
        uint32_t at;
        std::string type;
        double value;
    };
    void store(uint32_t at, const std::string& type, double value);
    std::map<std::string, CalVariable> vars_;
    std::vector<Default> defaults_;
    std::vector<uint8_t> page_;
};

// Writes the dataset file into the device root.
void writeDataset(const std::string& root, const std::vector<uint8_t>& bytes);

} // namespace testsupport
