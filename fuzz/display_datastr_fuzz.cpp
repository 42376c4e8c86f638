// Fuzz target: display texts of any value in any mode through any format, as a configuration file
// may give them. Input: mode, raw type, 4 sample bytes, 4 mask bytes, then the format text. Besides
// the sanitizers it checks that the text always ends inside its 256-byte buffer.
#include "display/config/dispxml_vtab.h"
#include "display/data/cdata.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    const uint32_t mode = data[0] % 10;
    const uint8_t type = CData::convDataType(data[1] % 10);
    const uint8_t* sample = data + 2;
    uint32_t mask;
    std::memcpy(&mask, data + 6, 4);
    const std::string format(reinterpret_cast<const char*>(data + 10), size - 10);

    verbtab_entry_s entry{};
    entry.num = 1;
    std::strcpy(entry.str, "one");
    verbtab_s table{};
    std::strcpy(table.default_str, "other");
    table.root = &entry;

    const float coeff[6] = {0, 1, 0, 0, 0, 1};
    CDataMeas m(0x10000000, mask, type, coeff, &table, mode);
    m.putData(sample);
    m.updateData();
    char out[CDATA_STR_SIZE + 1];
    out[CDATA_STR_SIZE] = 0x5A; // a guard behind the buffer
    m.getDataStr(format.c_str(), out);
    if (std::memchr(out, 0, CDATA_STR_SIZE) == nullptr || out[CDATA_STR_SIZE] != 0x5A) __builtin_trap();
    return 0;
}
