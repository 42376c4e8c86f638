#include "caldataset.h"

#include "bytes.h"
#include "testsupport.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

uint32_t sizeOfType(const std::string& t) {
    if (t == "uint8_t" || t == "int8_t" || t == "char") return 1;
    if (t == "uint16_t" || t == "int16_t") return 2;
    return 4; // uint32_t, int32_t, float
}

std::vector<std::string> splitArgs(const std::string& inside) {
    std::vector<std::string> out;
    std::stringstream ss(inside);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        out.push_back(item);
    }
    return out;
}

} // namespace

CalDataset::CalDataset() {
    std::map<std::string, uint32_t> constants;
    std::istringstream layout(readFile(sourceDir() + "/modules/measdata/seram_layout.h"));
    std::string line;
    const std::string lead = "inline constexpr size_t ";
    while (std::getline(layout, line)) {
        // inline constexpr size_t SERAM_N_CAN = 4; // ...
        if (line.rfind(lead + "SERAM_N_", 0) != 0) continue;
        const size_t eq = line.find(" = ");
        constants[line.substr(lead.size(), eq - lead.size())] = uint32_t(std::stoul(line.substr(eq + 3)));
    }
    std::istringstream def(readFile(sourceDir() + "/modules/measdata/seram_vars.def"));
    uint32_t at = 0;
    uint32_t align = 1;
    while (std::getline(def, line)) {
        const bool cal = line.rfind("MSD_CAL(", 0) == 0;
        const bool row = line.rfind("MSD_CAL_ROW(", 0) == 0;
        const bool sig = line.rfind("MSD_SIG(", 0) == 0;
        if (!cal && !row && !sig) continue;
        const auto args = splitArgs(line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1));
        CalVariable v;
        v.type = args[1];
        v.count = constants.count(args[2]) ? constants[args[2]] : uint32_t(std::stoul(args[2]));
        if (!row) {
            v.code = uint32_t(std::stoul(args[3]));
            v.sens = std::stof(args[5]);
            v.offset = std::stof(args[6]);
        }
        vars_[args[0]] = v;
        if (sig) continue;
        const uint32_t size = sizeOfType(v.type);
        at = (at + size - 1) / size * size;
        vars_[args[0]].at = at;
        const size_t firstDefault = row ? 3 : 7;
        for (size_t i = firstDefault; i < args.size(); ++i)
            defaults_.push_back({at + uint32_t(i - firstDefault) * size, v.type, std::stod(args[i])});
        at += size * v.count;
        align = std::max(align, size);
    }
    page_.assign((at + align - 1) / align * align, 0);
    for (const auto& d : defaults_) store(d.at, d.type, d.value);
}

void CalDataset::set(const std::string& name, uint32_t element, double value) {
    const CalVariable& v = vars_.at(name);
    store(v.at + element * sizeOfType(v.type), v.type, value);
}

void CalDataset::setBytes(const std::string& name, uint32_t byteOffset, const std::vector<uint8_t>& bytes) {
    const CalVariable& v = vars_.at(name);
    if (byteOffset + bytes.size() > sizeOfType(v.type) * v.count) throw std::out_of_range(name);
    std::memcpy(&page_[v.at + byteOffset], bytes.data(), bytes.size());
}

std::vector<uint8_t> CalDataset::file(const std::string& program, bool withPage) const {
    const std::vector<uint8_t> page = withPage ? page_ : std::vector<uint8_t>{};
    std::vector<uint8_t> f(48 + page.size(), 0);
    std::memcpy(f.data(), "MSDC", 4);
    f[5] = 1;
    f[7] = 48;
    std::memcpy(&f[8], program.data(), std::min<size_t>(program.size(), 31));
    set32(&f[40], uint32_t(page.size()));
    std::copy(page.begin(), page.end(), f.begin() + 48);
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < f.size(); ++i) {
        if (i == 44 || i == 45) continue;
        crc ^= f[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    f[44] = uint8_t(crc >> 8);
    f[45] = uint8_t(crc);
    return f;
}

void CalDataset::store(uint32_t at, const std::string& type, double value) {
    if (type == "float") {
        const float f = float(value);
        std::memcpy(&page_[at], &f, 4); // the page lies in memory in the device's order
        return;
    }
    const auto n = uint32_t(int64_t(value));
    std::memcpy(&page_[at], &n, sizeOfType(type));
}

void writeDataset(const std::string& root, const std::vector<uint8_t>& bytes) {
    makeDirs(root + "/caldata");
    std::ofstream(root + "/caldata/dataset.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

} // namespace testsupport
