// Parsers of the display configuration's tags, shared between the file reader and the element
// parsers. Each reads its tag from the start (the caller hands over the state before the tag) and
// returns 0 or -1 with the error text formatted.
#pragma once

#include "display/config/display_records.h"
#include "display/config/dispxml_scan.h"

#include <cstring>

inline bool xmlIsTag(const xml_token_s& t, int type, const char* name) {
    return t.type == type && std::strcmp(t.name, name) == 0;
}
// Tokens that carry a name and can therefore be matched against a child's name.
inline bool xmlIsNamed(const xml_token_s& t, const char* name) {
    return (t.type == XML_TOK_TAG || t.type == XML_TOK_TAG_ATTR || t.type == XML_TOK_END_TAG ||
            t.type == XML_TOK_ATTR) &&
           std::strcmp(t.name, name) == 0;
}
inline bool xmlIsStart(const xml_token_s& t) {
    return t.type == XML_TOK_TAG || t.type == XML_TOK_TAG_ATTR;
}

inline int xmlFail(const char* message, const xml_scan_s* scan) {
    xml_error(message, scan);
    return -1;
}

// Copies a text into a record field of `size` bytes, cut and terminated.
inline void xmlCopyText(char* dst, size_t size, const char* src) {
    const size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void XmlInitRGB(rgb_s* rgb);
void XmlInitChInput(awm_meas_in* in);
void XmlInitAlphaNumeric(display_elem_s* elem);
void XmlInitBarGraph(display_elem_s* elem);
void XmlInitPictureElement(display_elem_s* elem);

int XmlParseRGB_Tag(xml_scan_s* scan, rgb_s* rgb);
int XmlParseChInput_Tag(xml_scan_s* scan, awm_meas_in* in);
int XmlParseBrightness_Tag(xml_scan_s* scan, display_s* display);
int XmlParseTicks(xml_scan_s* scan, bargraph_s* bargraph);

// Decoration tags of the three element kinds.
enum DecoKind { DECO_ALPHANUM, DECO_BARGRAPH, DECO_PICTURE };
union deco_ref_u {
    alphanum_deco_s* alphanum;
    bargraph_deco_s* bargraph;
    picture_deco_s* picture;
};
int XmlParseDecoTag(xml_scan_s* scan, DecoKind kind, deco_ref_u deco);
// DecoLower or DecoUpper: Limit and hyst, one deco tag, the end tag.
int XmlParseDecoLimit(xml_scan_s* scan, bool upper, DecoKind kind, float* limit, float* hyst,
                      deco_ref_u deco);
int XmlParseDecoMiddle(xml_scan_s* scan, DecoKind kind, deco_ref_u deco);

int XmlParseAlphaNumDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display);
int XmlParseBarGraphDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display);
int XmlParsePictureDisplayElement(xml_scan_s* scan, display_elem_s* elem, display_s* display);
