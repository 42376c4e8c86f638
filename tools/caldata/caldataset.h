// The calibration dataset of a device root, written as the device reads it: header, CRC-16/MCRF4XX,
// and the data page laid out from the variable list (members in list order, natural alignment) with
// the list's defaults. The layout is read from the variable list's text in the source tree, not
// from the device's compiled structures, so a mismatch between the two shows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace caldata {

struct CalVariable {
    std::string type;
    uint32_t count = 1;
    uint32_t code = 0;
    float sens = 1, offset = 0;
    uint32_t at = 0;     // data page offset (calibration values) or signal page offset
    bool signal = false; // a measurement variable of the signal page
    bool row = false;    // curve x values: on the data page, not in the name table
};

class CalDataset {
public:
    // Layout from the source tree named by MSD_SOURCE_DIR, else the tree this was built from.
    CalDataset();
    explicit CalDataset(const std::string& sourceDir);

    size_t length() const { return page_.size(); }
    bool has(const std::string& name) const { return vars_.count(name) != 0; }
    const CalVariable& var(const std::string& name) const { return vars_.at(name); }
    // Measurement address of an element of a calibration value (reference page) or of a variable
    // of the signal page.
    uint32_t address(const std::string& name, uint32_t element = 0) const;

    void set(const std::string& name, uint32_t element, double value);
    // Raw bytes into the data page at a variable's offset plus `byteOffset`.
    void setBytes(const std::string& name, uint32_t byteOffset, const std::vector<uint8_t>& bytes);
    // The raw bytes of a calibration value on the data page.
    std::vector<uint8_t> bytes(const std::string& name) const;
    // The file as the device reads it; an empty page gives a dataset of length 0.
    std::vector<uint8_t> file(const std::string& program, bool withPage = true) const;
    // Takes over the page of a dataset file; false with the reason when the file is not an intact
    // dataset of this layout (then nothing changes).
    bool load(const std::vector<uint8_t>& file, std::string* program, std::string* error);

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

// Host path of the dataset file in a device root.
std::string datasetPath(const std::string& root);
// Writes the dataset file into the device root, whose caldata folder it makes when missing. The old
// file stays whole until the new one is complete, and keeps its mode; a dataset that is a link stays
// one and its target is replaced. False (with the reason in `error`) when it cannot be written.
bool writeDataset(const std::string& root, const std::vector<uint8_t>& bytes, std::string* error = nullptr);
// Reads the dataset file of a device root; false when there is none, or (with the reason in `error`)
// when it is there but cannot be read.
bool readDataset(const std::string& root, std::vector<uint8_t>* bytes, std::string* error);

// Holds the dataset of a device root from its reading to its writing, so that a change made
// meanwhile by another holder, in this process or another, is not lost: a second holder waits.
// Makes the caldata folder when missing. `waiting`, when given, is called before a wait for
// another holder, so that the wait can be told.
class DatasetLock {
public:
    explicit DatasetLock(const std::string& root, const std::function<void()>& waiting = {});
    ~DatasetLock();
    DatasetLock(const DatasetLock&) = delete;
    DatasetLock& operator=(const DatasetLock&) = delete;
    // Why the dataset could not be held; empty once it is.
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

} // namespace caldata
