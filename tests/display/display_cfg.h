// Display configurations for the view, page and main-container tests: elements written as
// display.xml text with distinct colours per decoration, parsed by the real reader.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "display/data/cdata.h"
#include "dispxml_helpers.h"

namespace disptest {

inline std::string Col(const char* tag, uint32_t rgb) {
    char s[96];
    std::snprintf(s, sizeof s, "<%s red=\"%X\" green=\"%X\" blue=\"%X\"/>", tag, unsigned(rgb >> 16),
                  unsigned((rgb >> 8) & 0xFF), unsigned(rgb & 0xFF));
    return s;
}

// Colours of one decoration: border and text backgrounds tell the zone apart.
struct Deco {
    uint32_t border, text;
};
inline constexpr Deco kLower{0x204020, 0x00C000};
inline constexpr Deco kMiddle{0x404040, 0x0000C0};
inline constexpr Deco kUpper{0x402020, 0xC00000};

inline std::string BoxDeco(const char* wrapper, const Deco& d, const std::string& attrs = "",
                           const char* style = "single_line") {
    return std::string("<") + wrapper + attrs + "><AlphaNumDeco style=\"" + style + "\">" + Col("BGCol", 0) +
           Col("TitleBGCol", 0x101010) + Col("TitleFGCol", 0xFFFFFF) + Col("BorderBGCol", d.border) +
           Col("BorderFGCol", 0xFFFFFF) + Col("TextBGCol", d.text) + Col("TextFGCol", 0xFFFFFF) +
           "</AlphaNumDeco></" + wrapper + ">";
}

inline std::string Input(const char* tag, uint32_t adr, const char* type = "FLOAT") {
    char s[200];
    std::snprintf(s, sizeof s,
                  "<%s adr=\"%08X\" type=\"%s\" mask=\"FFFFFFFF\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" "
                  "quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>",
                  tag, unsigned(adr), type);
    return s;
}

// A value box at (x, y) of w x h; adr 0 gives a label without value channel; visAdr a visibility
// channel; attrs further attributes (vis_mode, always_on_top, times, blink).
inline std::string Box(int prio, int x, int y, int w, int h, uint32_t adr, const std::string& attrs = "",
                       uint32_t visAdr = 0, const std::string& zones = "", const char* format = "%4.1f") {
    std::string s =
        "<AlphaNumeric version=\"1\" title=\"\" prio=\"" + std::to_string(prio) + "\" pos_x=\"" +
        std::to_string(x) + "\" pos_y=\"" + std::to_string(y) + "\" size_x=\"" + std::to_string(w) +
        "\" size_y=\"" + std::to_string(h) +
        "\" font_size=\"small\" align=\"MM\" dispmode=\"normal\" vtab=\"\" format_str=\"" + format + "\" " +
        (attrs.find("vis_mode") == std::string::npos ? "vis_mode=\"always\" " : "") +
        (attrs.find("always_on_top") == std::string::npos ? "always_on_top=\"false\" " : "") + attrs + ">";
    if (adr) s += Input("ChInput", adr);
    if (visAdr) s += Input("VisInput", visAdr, "UINT8");
    return s + BoxDeco("DecoMiddle", kMiddle) + zones + "</AlphaNumeric>";
}

inline std::string
Document(const std::string& pages, const std::string& extra = "",
         const std::string& perc = "<perc value=\"10\"/><perc value=\"50\"/><perc value=\"100\"/>") {
    return "<?xml version=\"1.0\"?>\n<Display version=\"1\" x_res=\"640\" y_res=\"480\">\n<Brightness>" +
           perc + "</Brightness>\n" + extra + "<Pages>" + pages + "</Pages>\n</Display>\n";
}

inline std::string Page(uint32_t bg, const std::string& elements) {
    return "<Page>" + Col("BGCol", bg) + "<DisplayElements>" + elements + "</DisplayElements></Page>";
}

// A sample as the gateway delivers it (big-endian) into the channel's value object.
inline void Feed(CData* d, float v) {
    uint32_t w;
    std::memcpy(&w, &v, 4);
    const uint8_t be[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
    if (d && d->meas) d->meas->putData(be);
}
inline void Feed(CData* d, uint8_t v) {
    if (d && d->meas) d->meas->putData(&v);
}

} // namespace disptest
