#include "vcconfig_table.h"

#include "vcconfig_parse.h"

#include "calc/awm_model_cfg.h"
#include "calc/awm_vc_config.h"

#include <cstring>
#include <string>
#include <utility>

namespace vcconfig {
namespace {

uint16_t moduleOfRecord(const std::vector<uint8_t>& records) {
    return awm_vc_module(records.data(), 0);
}

std::string span(uint32_t first, uint32_t end) {
    return "channels " + std::to_string(first) + " to " + std::to_string(end - 1);
}

} // namespace

uint32_t ChannelTable::Line::count() const {
    return uint32_t(records.size() / AWM_VC_RECORD_SIZE);
}

ChannelTable::ChannelTable(std::vector<uint8_t> table)
    : table_(std::move(table)), holder_(AWM_VC_CHANNELS, -1) {
    // As the device reads the table (awm_man_ini): a channel holds the extension records that
    // follow it, as many as its kind needs; an extension record that none claims holds nothing.
    for (uint32_t n = 0; n < AWM_VC_CHANNELS; ++n) {
        const uint16_t module = awm_vc_module(table_.data(), n);
        if (module == AWM_MODULE_NONE || module == AWM_MODULE_EXTENSION) continue;
        holder_[n] = int(n);
        for (uint32_t r = 1; r < awm_model_records(module) && n + r < AWM_VC_CHANNELS &&
                             awm_vc_module(table_.data(), n + r) == AWM_MODULE_EXTENSION;
             ++r)
            holder_[n + r] = int(n);
    }
}

bool ChannelTable::given(uint32_t n) const {
    for (const Line& l : lines_)
        if (l.n == n) return true;
    return false;
}

void ChannelTable::add(int line, uint32_t n, std::vector<uint8_t> records) {
    const Line p{line, n, std::move(records)};
    for (const Line& q : lines_) {
        const std::string ofLine = " of line " + std::to_string(q.line);
        if (q.n == n)
            throw Fault{"channel " + std::to_string(n) + " is given twice (line " + std::to_string(q.line) +
                        " sets it)"};
        if (q.n < n && n < q.end())
            throw Fault{"channel " + std::to_string(n) + " is an extension record of the " +
                        kindOf(moduleOfRecord(q.records)) + " channel " + std::to_string(q.n) + ofLine +
                        " (" + span(q.n, q.end()) + ")"};
        if (n < q.n && q.n < p.end())
            throw Fault{"the " + kindOf(moduleOfRecord(p.records)) + " channel " + std::to_string(n) +
                        " takes " + span(n, p.end()) + ", over channel " + std::to_string(q.n) + ofLine};
    }
    lines_.push_back(p);
}

void ChannelTable::checkDataset() const {
    for (const Line& p : lines_) {
        for (uint32_t r = p.n; r < p.end(); ++r) {
            const int h = holder_[r];
            if (h < 0 || uint32_t(h) == p.n || given(uint32_t(h))) continue;
            uint32_t end = uint32_t(h);
            while (end < AWM_VC_CHANNELS && holder_[end] == h) ++end;
            const std::string held = kindOf(awm_vc_module(table_.data(), uint32_t(h))) + " channel " +
                                     std::to_string(h) + " in the dataset";
            // A channel of the dataset that lies before p and holds records of p also holds p's own.
            if (r == p.n)
                throw Fault{"channel " + std::to_string(p.n) + " is an extension record of the " + held +
                                " (" + span(uint32_t(h), end) + ")",
                            p.line};
            throw Fault{"the " + kindOf(moduleOfRecord(p.records)) + " channel " + std::to_string(p.n) +
                            " takes " + span(p.n, p.end()) + ", over the " + held,
                        p.line};
        }
    }
}

std::vector<uint8_t> ChannelTable::result() const {
    std::vector<uint8_t> table = table_;
    for (uint32_t r = 0; r < AWM_VC_CHANNELS; ++r)
        if (holder_[r] >= 0 && given(uint32_t(holder_[r])))
            std::memset(&table[r * AWM_VC_RECORD_SIZE], 0, AWM_VC_RECORD_SIZE);
    for (const Line& l : lines_)
        std::memcpy(&table[l.n * AWM_VC_RECORD_SIZE], l.records.data(), l.records.size());
    return table;
}

} // namespace vcconfig
