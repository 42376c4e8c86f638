// Rasterises a TrueType font into the GUI library's font format: one record of variable width
// for the characters 0 to 255 (Latin-1), 1 bit per pixel, `height` rows of a glyph strip of
// `bytesPerLine` bytes, baseline at the bottom of the ascent. Control characters (0-31, 127-159)
// get width 0. The largest pixel size whose glyphs fit both the height and the strip is used.
//
// Two output forms:
// - plain: the offset table and the strip as they are, in one constant font record (the
//   library's own SysFont and MenuFont);
// - packed: the display's built-in fonts. The character 0x81 is a blank as wide as the space
//   (display texts use it as one); the strip is written as NAME_data_table, a 32-bit
//   little-endian length followed by that many bytes of a zlib stream, beside NAME_offset_table;
//   the font record's strip stays null until the display unpacks it at start-up.
//
// usage: fontgen FONT.ttf NAME HEIGHT BYTES_PER_LINE OUT.cpp [packed]
#include <ft2build.h>
#include FT_FREETYPE_H
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kBlank = 0x81; // the display's space stand-in

bool Printable(int c) {
    return (c >= 32 && c <= 126) || c >= 160;
}

struct Rendered {
    int pixelSize = 0;
    std::vector<int> offsets; // 257 entries
    std::vector<unsigned char> strip;
};

// Renders at one pixel size; false when the glyphs do not fit.
bool RenderAt(FT_Face face, int pixelSize, int height, int bytesPerLine, bool blank81, Rendered* out) {
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize))) return false;
    const int ascent = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    const int descent = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
    if (ascent + descent > height) return false;
    const int baseline = ascent + (height - ascent - descent) / 2;
    const int stripBits = bytesPerLine * 8;

    std::vector<int> widths(256, 0);
    for (int c = 0; c < 256; ++c) {
        if (!Printable(c)) continue;
        if (FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_DEFAULT | FT_LOAD_TARGET_MONO)) continue;
        widths[c] = static_cast<int>((face->glyph->advance.x + 32) >> 6);
    }
    if (blank81) widths[kBlank] = widths[' '];
    out->offsets.assign(257, 0);
    for (int c = 0; c < 256; ++c) out->offsets[c + 1] = out->offsets[c] + widths[c];
    if (out->offsets[256] > stripBits) return false;

    out->strip.assign(static_cast<size_t>(height) * bytesPerLine, 0);
    for (int c = 0; c < 256; ++c) {
        if (!widths[c] || !Printable(c)) continue; // the blank stays empty
        if (FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) continue;
        const FT_GlyphSlot g = face->glyph;
        if (g->bitmap.pixel_mode != FT_PIXEL_MODE_MONO) continue;
        for (unsigned row = 0; row < g->bitmap.rows; ++row) {
            const int y = baseline - g->bitmap_top + static_cast<int>(row);
            if (y < 0 || y >= height) continue;
            const unsigned char* src = g->bitmap.buffer + static_cast<long>(row) * g->bitmap.pitch;
            for (unsigned col = 0; col < g->bitmap.width; ++col) {
                if (!(src[col >> 3] & (0x80 >> (col & 7)))) continue;
                const int x = g->bitmap_left + static_cast<int>(col);
                if (x < 0 || x >= widths[c]) continue; // pixels outside the cell are cut
                const int bit = out->offsets[c] + x;
                out->strip[static_cast<size_t>(y) * bytesPerLine + bit / 8] |=
                    static_cast<unsigned char>(0x80 >> (bit & 7));
            }
        }
    }
    out->pixelSize = pixelSize;
    return true;
}

void WriteBytes(FILE* f, const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) std::fprintf(f, "%s0x%02X,", i % 16 ? " " : "\n    ", p[i]);
}

void WriteOffsets(FILE* f, const std::vector<int>& offsets) {
    for (int i = 0; i < 257; ++i) std::fprintf(f, "%s%d,", i % 16 ? " " : "\n    ", offsets[i]);
}

bool WritePlain(FILE* f, const std::string& name, int height, int bytesPerLine, const Rendered& r) {
    std::fprintf(f, "#include \"gui/core/guifonts.h\"\n\nnamespace {\n\nconst uint16_t kOffsets[257] = {");
    WriteOffsets(f, r.offsets);
    std::fprintf(f, "\n};\n\nconst uint8_t kStrip[%d * %d] = {", height, bytesPerLine);
    WriteBytes(f, r.strip.data(), r.strip.size());
    std::fprintf(f, "\n};\n\n} // namespace\n\n");
    std::fprintf(f,
                 "extern const GuiFont %s = {GUI_FONT_VARIABLE, %d, 0, %d, %d, 0, 255, {kOffsets}, nullptr, "
                 "kStrip};\n",
                 name.c_str(), height, height, bytesPerLine);
    return true;
}

bool WritePacked(FILE* f, const std::string& name, int height, int bytesPerLine, const Rendered& r) {
    uLongf packedSize = compressBound(static_cast<uLong>(r.strip.size()));
    std::vector<unsigned char> packed(4 + packedSize);
    if (compress2(packed.data() + 4, &packedSize, r.strip.data(), static_cast<uLong>(r.strip.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return false;
    for (int i = 0; i < 4; ++i) packed[i] = static_cast<unsigned char>(packedSize >> (8 * i));
    packed.resize(4 + packedSize);
    std::fprintf(f, "#include \"display/fonts/vektafonts.h\"\n\n");
    std::fprintf(f, "const uint16_t %s_offset_table[257] = {", name.c_str());
    WriteOffsets(f, r.offsets);
    std::fprintf(
        f, "\n};\n\n// Length (32-bit little-endian), then the zlib stream of the %d x %d-byte strip.\n",
        height, bytesPerLine);
    std::fprintf(f, "const uint8_t %s_data_table[%zu] = {", name.c_str(), packed.size());
    WriteBytes(f, packed.data(), packed.size());
    std::fprintf(f, "\n};\nconst size_t %s_data_table_size = sizeof %s_data_table;\n\n", name.c_str(),
                 name.c_str());
    std::fprintf(f, "// The strip stays null until VektaFonts_ini has unpacked it.\n");
    std::fprintf(
        f, "GuiFont %s = {VEKTA_FONT_TYPE, %d, 0, %d, %d, 0, 255, {%s_offset_table}, nullptr, nullptr};\n",
        name.c_str(), height, height, bytesPerLine, name.c_str());
    std::printf("%s: packed %lu bytes\n", name.c_str(), static_cast<unsigned long>(packedSize));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const bool packed = argc == 7 && std::strcmp(argv[6], "packed") == 0;
    if (argc != 6 && !packed) {
        std::fprintf(stderr, "usage: %s FONT.ttf NAME HEIGHT BYTES_PER_LINE OUT.cpp [packed]\n", argv[0]);
        return 2;
    }
    const std::string fontPath = argv[1], name = argv[2], outPath = argv[5];
    const int height = std::atoi(argv[3]), bytesPerLine = std::atoi(argv[4]);
    if (height < 1 || height > 255 || bytesPerLine < 1 || bytesPerLine > 65535) {
        std::fprintf(stderr, "fontgen: bad height or bytes per line\n");
        return 2;
    }
    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) || FT_New_Face(lib, fontPath.c_str(), 0, &face)) {
        std::fprintf(stderr, "fontgen: cannot open %s\n", fontPath.c_str());
        return 1;
    }
    Rendered r;
    bool ok = false;
    for (int size = height; size >= 6 && !ok; --size)
        ok = RenderAt(face, size, height, bytesPerLine, packed, &r);
    if (!ok) {
        std::fprintf(stderr, "fontgen: %s does not fit %d rows of %d bytes\n", name.c_str(), height,
                     bytesPerLine);
        return 1;
    }
    const std::string family = face->family_name ? face->family_name : "?";
    FILE* f = std::fopen(outPath.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "fontgen: cannot write %s\n", outPath.c_str());
        return 1;
    }
    std::fprintf(f, "// %s: %d rows, glyph strip of %d bytes per row, characters 0 to 255.\n", name.c_str(),
                 height, bytesPerLine);
    std::fprintf(f,
                 "// Generated by tools/fontgen from %s at %d pixels (DejaVu fonts licence); do not edit.\n",
                 family.c_str(), r.pixelSize);
    const bool written =
        packed ? WritePacked(f, name, height, bytesPerLine, r) : WritePlain(f, name, height, bytesPerLine, r);
    if (std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "fontgen: cannot write %s\n", outPath.c_str());
        return 1;
    }
    std::printf("%s: %d px, %d of %d strip pixels used\n", name.c_str(), r.pixelSize, r.offsets[256],
                bytesPerLine * 8);
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    return 0;
}
