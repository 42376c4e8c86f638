#include "measfile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace measfile {

namespace {

constexpr size_t kHeaderLen = 42;
constexpr size_t kEntryLen = 9;
constexpr size_t kMetaHeaderLen = 6;
constexpr size_t kFrameHeaderLen = 4;
constexpr uint8_t kMetaMarker = 0xFF;
constexpr char kMagic[14] = "MeasData v6.0"; // with its NUL

uint16_t rd16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t rd32(const uint8_t* p) {
    return uint32_t(rd16(p)) << 16 | rd16(p + 2);
}

std::string at(size_t offset, const std::string& what) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "offset %zu: ", offset);
    return buf + what;
}

class Parser {
public:
    explicit Parser(const std::vector<uint8_t>& bytes) : b_(bytes) {}

    File run() {
        if (b_.size() < kHeaderLen) {
            cut();
            return f_;
        }
        if (!header()) return f_;
        pos_ = kHeaderLen;
        f_.completeBytes = pos_;
        if (!descriptors()) return f_;
        while (pos_ < b_.size()) {
            const bool complete = b_[pos_] == kMetaMarker ? meta() : frame();
            if (!complete || !f_.ok()) return f_;
            f_.completeBytes = pos_;
        }
        return f_;
    }

private:
    bool cut() {
        f_.truncated = true;
        return false;
    }
    bool fail(size_t offset, const std::string& what) {
        f_.error = at(offset, what);
        return false;
    }
    size_t left() const { return b_.size() - pos_; }

    bool header() {
        const uint8_t* h = b_.data();
        if (rd16(h) != kHeaderLen) return fail(0, "header length is not 42");
        if (std::memcmp(h + 2, kMagic, sizeof kMagic) != 0) return fail(2, "no \"MeasData v6.0\" magic");
        if (rd16(h + 18) != 6) return fail(18, "format version is not 6");
        Header& H = f_.header;
        H.crc = rd16(h + 20);
        if (headerCrc(h) != H.crc) return fail(20, "header CRC does not match");
        const uint32_t code = rd32(h + 22);
        if (uint16_t(code >> 16) != uint16_t(~code))
            return fail(22, "program code word is not ~PCODE, PCODE");
        H.pcode = uint16_t(code);
        H.lap = rd16(h + 26);
        H.outing = rd16(h + 28);
        H.fragment = rd16(h + 30);
        H.blockCount = h[32];
        H.measIndex = h[33];
        std::memcpy(H.date, h + 34, 6);
        H.absLap = rd16(h + 40);
        return true;
    }

    // Entries up to the first meta record.
    bool descriptors() {
        while (pos_ < b_.size() && b_[pos_] != kMetaMarker) {
            if (left() < kEntryLen) return cut();
            const uint8_t id = b_[pos_];
            if (id == 0) return fail(pos_, "descriptor with frame id 0");
            if (block(id)) return fail(pos_, "second descriptor of frame id " + std::to_string(id));
            const uint32_t size = rd32(&b_[pos_ + 1]);
            if (size < 4) return fail(pos_, "record size below the time stamp's 4 bytes");
            f_.blocks.push_back({id, size});
            pos_ += kEntryLen;
            f_.completeBytes = pos_;
        }
        return true;
    }

    const Block* block(uint8_t id) const {
        for (const Block& k : f_.blocks)
            if (k.frameId == id) return &k;
        return nullptr;
    }

    bool meta() {
        if (left() < kMetaHeaderLen) return cut();
        const size_t start = pos_;
        const uint8_t type = b_[pos_ + 1];
        const uint32_t length = rd32(&b_[pos_ + 2]);
        if (type < 1 || type > 7) return fail(start, "meta record of type " + std::to_string(type));
        if (left() - kMetaHeaderLen < length) return cut();
        const auto from = b_.begin() + std::ptrdiff_t(start + kMetaHeaderLen);
        f_.metas.push_back({type, std::vector<uint8_t>(from, from + length), start});
        pos_ += kMetaHeaderLen + length;
        return true;
    }

    bool frame() {
        if (left() < kFrameHeaderLen) return cut();
        const size_t start = pos_;
        const uint8_t id = b_[pos_];
        const size_t length = kFrameHeaderLen + rd16(&b_[pos_ + 2]);
        const Block* k = block(id);
        if (!k) return fail(start, "frame of frame id " + std::to_string(id) + " without descriptor");
        if (left() < length) return cut();
        Frame frame{id, b_[pos_ + 1], 1, start, f_.records.size(), 0};
        const std::string error = decodeFrame(&b_[pos_], length, k->recordSize, f_.records, &frame.factor);
        if (!error.empty()) return fail(start, error);
        frame.recordCount = f_.records.size() - frame.firstRecord;
        f_.frames.push_back(frame);
        pos_ += length;
        return true;
    }

    const std::vector<uint8_t>& b_;
    size_t pos_ = 0;
    File f_;
};

} // namespace

std::string decodeFrame(const uint8_t* frame, size_t length, uint32_t recordSize,
                        std::vector<Record>& records, uint32_t* factorOut) {
    if (length < kFrameHeaderLen || length != kFrameHeaderLen + rd16(frame + 2))
        return "frame length does not match its header";
    if (recordSize < 4) return "record size below the time stamp's 4 bytes";
    const uint8_t id = frame[0], samples = frame[1];
    const size_t size = recordSize;
    std::vector<uint8_t> planes;
    if (!unpack(frame + kFrameHeaderLen, length - kFrameHeaderLen, planes, 255 * size))
        return "run-length code does not fit its length";
    const size_t n = planes.size() / size;
    if (n == 0 || planes.size() % size != 0)
        return "decoded " + std::to_string(planes.size()) + " bytes, not whole records of " +
               std::to_string(size);
    // Burst records carry `factor` sub-samples each; the header counts sub-samples.
    const size_t factor = samples / n;
    if (factor == 0 || samples % n != 0 || (factor > 1 && (size - 4) % factor != 0))
        return std::to_string(samples) + " samples in " + std::to_string(n) + " records";
    if (factorOut) *factorOut = uint32_t(factor);
    uint32_t ts = 0; // the first delta is absolute
    for (size_t r = 0; r < n; ++r) {
        uint32_t delta = 0;
        for (size_t b = 0; b < 4; ++b) delta = delta << 8 | planes[b * n + r];
        ts += delta;
        Record rec{id, ts, std::vector<uint8_t>(size - 4)};
        if (factor == 1) {
            for (size_t b = 4; b < size; ++b) rec.values[b - 4] = planes[b * n + r];
        } else {
            const size_t s = (size - 4) / factor;
            for (size_t k = 0; k < factor; ++k)
                for (size_t j = 0; j < s; ++j)
                    rec.values[k * s + j] = planes[4 * n + j * factor * n + r * factor + k];
        }
        records.push_back(std::move(rec));
    }
    return {};
}

bool unpack(const uint8_t* in, size_t length, std::vector<uint8_t>& out, size_t limit) {
    out.clear();
    size_t i = 0;
    while (i < length) {
        const int c = int8_t(in[i++]);
        if (c >= 0) {
            const size_t n = size_t(c) + 1;
            if (length - i < n || out.size() + n > limit) return false;
            out.insert(out.end(), in + i, in + i + n);
            i += n;
        } else {
            const size_t n = size_t(2 - c);
            if (i >= length || out.size() + n > limit) return false;
            out.insert(out.end(), n, in[i++]);
        }
    }
    return true;
}

uint16_t headerCrc(const uint8_t* header42) {
    uint8_t h[kHeaderLen];
    std::memcpy(h, header42, kHeaderLen);
    for (size_t z : {0, 1, 20, 21, 34, 35, 36, 37, 38, 39}) h[z] = 0;
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : h) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return crc;
}

std::vector<const Meta*> File::metaOfType(uint8_t type) const {
    std::vector<const Meta*> out;
    for (const Meta& m : metas)
        if (m.type == type) out.push_back(&m);
    return out;
}

std::vector<Record> File::recordsOf(uint8_t frameId) const {
    std::vector<Record> out;
    for (const Record& r : records)
        if (r.frameId == frameId) out.push_back(r);
    return out;
}

File readBytes(const std::vector<uint8_t>& bytes) {
    return Parser(bytes).run();
}

File readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        File f;
        f.error = "cannot open " + path;
        return f;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return readBytes(bytes);
}

} // namespace measfile
