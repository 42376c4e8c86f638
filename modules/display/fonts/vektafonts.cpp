#include "display/fonts/vektafonts.h"

#include <cstring>
#include <new>

#include "framework/syslog.h"
#include "gui/image/guiunzip.h"

namespace {

struct Packed {
    GuiFont* font;
    const uint8_t* table;
    const size_t* tableSize;
    const char* memoryText;
    const char* unzipText;
};

const Packed kFonts[] = {
    {&VektaTiny, VektaTiny_data_table, &VektaTiny_data_table_size,
     "VektaFonts_ini: not enough memory for tiny font", "VektaFonts_ini: tiny font cannot unzip"},
    {&VektaSmall, VektaSmall_data_table, &VektaSmall_data_table_size,
     "VektaFonts_ini: not enough memory for small font", "VektaFonts_ini: small font cannot unzip"},
    {&VektaNormal, VektaNormal_data_table, &VektaNormal_data_table_size,
     "VektaFonts_ini: not enough memory for normal font", "VektaFonts_ini: normal font cannot unzip"},
    {&VektaLarge, VektaLarge_data_table, &VektaLarge_data_table_size,
     "VektaFonts_ini: not enough memory for large font", "VektaFonts_ini: large font cannot unzip"},
    {&VektaXLarge, VektaXLarge_data_table, &VektaXLarge_data_table_size,
     "VektaFonts_ini: not enough memory for extralarge font",
     "VektaFonts_ini: extra large font cannot unzip"},
    {&VektaXXLarge, VektaXXLarge_data_table, &VektaXXLarge_data_table_size,
     "VektaFonts_ini: not enough memory for XXLarge font", "VektaFonts_ini: XXLarge font cannot unzip"},
};

// Unpacks one strip; the record gets it only when it is whole.
bool Unpack(const Packed& p) {
    GuiFont& f = *p.font;
    const unsigned long expected = static_cast<unsigned long>(f.height) * f.bytesPerLine;
    auto* buffer = new (std::nothrow) uint8_t[expected];
    if (!buffer) {
        syslogx(LOG_PRIO_ERR, "%s", p.memoryText);
        return false;
    }
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | p.table[i];
    unsigned long size = expected;
    // A length beyond the table, or a strip of another size, is a damaged table.
    if (*p.tableSize < 4 || length > *p.tableSize - 4 || GuiUnzip(buffer, &size, p.table + 4, length) != 0 ||
        size != expected) {
        delete[] buffer;
        syslogx(LOG_PRIO_ERR, "%s", p.unzipText);
        return false;
    }
    f.data = buffer; // kept for the life of the process
    return true;
}

} // namespace

void VektaFonts_ini() {
    for (const Packed& p : kFonts) {
        if (p.font->data) continue;
        if (!Unpack(p)) return;
    }
}

GuiFont* Vekta_getFont(FontSizeType_t size) {
    switch (size) {
    case FONT_SMALL:
        return &VektaSmall;
    case FONT_NORMAL:
        return &VektaNormal;
    case FONT_LARGE:
        return &VektaLarge;
    case FONT_EXTRALARGE:
        return &VektaXLarge;
    case FONT_XXLARGE:
    case FONT_XXXLARGE:
        return &VektaXXLarge;
    default:
        return &VektaTiny;
    }
}

bool VektaFonts_isDouble(FontSizeType_t size) {
    return size == FONT_XXXLARGE;
}
