// The channel lines of a text placed into the channel table of the dataset. A channel takes its
// record and, for a lap-function, fuel or GPS segment channel, the extension records after it
// (calc/awm_vc_config.h); no record may belong to two channels, or the device skips the channel
// whose extension records another one overwrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcconfig {

class ChannelTable {
public:
    // `table`: the channel table of the dataset as it is.
    explicit ChannelTable(std::vector<uint8_t> table);

    // The records of a channel line, from channel `n` on. A Fault when an earlier line gives the
    // channel too or holds one of its records.
    void add(int line, uint32_t n, std::vector<uint8_t> records);
    // A Fault (with its line) when a channel of the text would take a record of a channel that the
    // dataset holds and the text does not give anew.
    void checkDataset() const;
    // The table with the channels of the text. Every record that a channel given anew held in the
    // dataset is cleared first, so that no extension record of its old kind is left over.
    std::vector<uint8_t> result() const;
    size_t size() const { return lines_.size(); }

private:
    struct Line {
        int line;
        uint32_t n;
        std::vector<uint8_t> records;
        uint32_t count() const;
        uint32_t end() const { return n + count(); }
    };
    bool given(uint32_t n) const;

    std::vector<uint8_t> table_;
    std::vector<int> holder_; // per record: the dataset's channel that holds it, -1 none
    std::vector<Line> lines_;
};

} // namespace vcconfig
