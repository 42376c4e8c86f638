// Shared helpers of the display configuration tests.
#pragma once

#include "display/config/dispxml_load.h"
#include "display/config/dispxml_scan.h"

#include <string>

namespace disptest {

inline std::string lastError() {
    char buf[300];
    xml_get_error_msg(buf, sizeof buf);
    return buf;
}

// Parses a text from memory; the result owns the configuration (null on failure).
inline display_ptr parseText(const std::string& text, int* result = nullptr) {
    xml_scan_s scan = xml_scan_init(text.data(), static_cast<int32_t>(text.size()));
    display_s* d = reinterpret_cast<display_s*>(0x1); // must be overwritten
    const int r = XmlParseDisplay(&scan, &d);
    if (result != nullptr) *result = r;
    return display_ptr(d);
}

// A minimal valid document with `pages` and `extra` (children of Display before Pages).
inline std::string document(const std::string& pages, const std::string& extra = "") {
    return "<?xml version=\"1.0\"?>\n<Display version=\"1\" x_res=\"640\" y_res=\"480\">\n"
           "<Brightness><perc value=\"50\"/></Brightness>\n" +
           extra + "<Pages>" + pages + "</Pages>\n</Display>\n";
}

inline std::string bgcol() {
    return "<BGCol red=\"0\" green=\"0\" blue=\"0\"/>";
}

inline std::string alphaDeco(const std::string& style = "none") {
    std::string s = "<AlphaNumDeco style=\"" + style + "\">";
    for (const char* c :
         {"BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol", "TextBGCol", "TextFGCol"})
        s += std::string("<") + c + " red=\"0\" green=\"0\" blue=\"0\"/>";
    return s + "</AlphaNumDeco>";
}

// An AlphaNumeric element with the given version, prio and extra attributes/children.
inline std::string alphaNum(const std::string& version, int prio, const std::string& visMode = "always",
                            const std::string& vtab = "", const std::string& children = "") {
    return "<AlphaNumeric version=\"" + version + "\" title=\"t\" vis_mode=\"" + visMode +
           "\" always_on_top=\"false\" prio=\"" + std::to_string(prio) +
           "\" pos_x=\"0\" pos_y=\"0\" size_x=\"1\" size_y=\"1\" font_size=\"normal\" align=\"MM\" "
           "dispmode=\"verbal\" vtab=\"" +
           vtab + "\" format_str=\"\">" + children + "<DecoMiddle>" + alphaDeco() +
           "</DecoMiddle></AlphaNumeric>";
}

inline std::string page(const std::string& elements) {
    return "<Page>" + bgcol() + "<DisplayElements>" + elements + "</DisplayElements></Page>";
}

} // namespace disptest
