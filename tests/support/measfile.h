// The test suite's own reader of measurement files ("MeasData v6.0"), written from the file format
// alone and sharing no code with the writer, so that a fault of the writer cannot hide in both.
//
//   measfile::File f = measfile::readFile(path);
//   ASSERT_TRUE(f.ok()) << f.error;
//   f.header.lap, f.blocks, f.metaOfType(4), f.records (absolute time stamps), f.truncated
//
// A file reads up to its end or up to a piece cut short at the end (`truncated`: what a crash
// leaves); anything else that does not parse is an error with its file offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace measfile {

struct Header {
    uint16_t pcode; // from the program code word (its complement checked)
    uint16_t lap, outing, fragment, absLap;
    uint8_t blockCount; // as the header says
    uint8_t measIndex;  // 0 m01, 2 m03
    uint8_t date[6];    // packed BCD: year % 100, month, day, hour, minute, second
    uint16_t crc;
};

struct Block {
    uint8_t frameId;
    uint32_t recordSize; // bytes of one uncompressed record, time stamp included
};

struct Meta {
    uint8_t type; // 1..7 (type 0 reads as a data frame)
    std::vector<uint8_t> payload;
    size_t offset; // in the file
};

struct Record {
    uint8_t frameId;
    uint32_t ts; // absolute, 100 us
    std::vector<uint8_t>
        values; // the record behind its time stamp; burst records: sub-sample after sub-sample
};

struct Frame {
    uint8_t frameId;
    uint8_t samples;    // as the frame header says
    uint32_t factor;    // sub-samples per record (1 unless burst)
    size_t offset;      // in the file
    size_t firstRecord; // index into File::records
    size_t recordCount;
};

struct File {
    Header header{};
    std::vector<Block> blocks;
    std::vector<Meta> metas;   // in file order
    std::vector<Frame> frames; // in file order
    std::vector<Record> records;
    bool truncated = false;   // the last piece was cut short; what came before it is complete
    size_t completeBytes = 0; // bytes up to the end of the last complete piece
    std::string error;        // empty when the file parses

    bool ok() const { return error.empty(); }
    // Payloads of the meta records of one type, in file order.
    std::vector<const Meta*> metaOfType(uint8_t type) const;
    // Records of one block, in file order.
    std::vector<Record> recordsOf(uint8_t frameId) const;
};

File readBytes(const std::vector<uint8_t>& bytes);
// A file that cannot be opened reads as an error.
File readFile(const std::string& path);

// One data frame (4-byte header and coded planes, exactly `length` bytes) of records of
// `recordSize` bytes, appended to `records`; the sub-samples per record into `factor`. An error
// text, empty when the frame decodes.
std::string decodeFrame(const uint8_t* frame, size_t length, uint32_t recordSize,
                        std::vector<Record>& records, uint32_t* factor = nullptr);
// The run-length code of the frames (c >= 0: c + 1 literal bytes; c < 0: next byte 2 - c times).
// False when the code runs past its input or yields more than `limit` bytes.
bool unpack(const uint8_t* in, size_t length, std::vector<uint8_t>& out, size_t limit);
// The header CRC (MCRF4XX: reflected 0x1021, seed 0xFFFF) of 42 header bytes with the length, CRC
// and date fields taken as 0.
uint16_t headerCrc(const uint8_t* header42);

} // namespace measfile
