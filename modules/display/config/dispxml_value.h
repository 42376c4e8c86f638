// Value converters and keyword readers of the display configuration. The whole text must match, no
// blanks allowed. 0 on success with the value stored, -1 on any error (nothing stored then).
#pragma once

#include <cstdint>

int XmlGetBool(const char* text, uint8_t* out);
int XmlGetInt(const char* text, int32_t* out, int32_t min, int32_t max);
int XmlGetUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max);
int XmlGetHex(const char* text, uint32_t* out, uint32_t min, uint32_t max);
int XmlGetFloat(const char* text, float* out);

// Keywords, compared exactly and case-sensitively (codes in display_records.h).
int XmlStr2Style(const char* text, uint32_t* out);
int XmlStr2VisMode(const char* text, uint32_t* out);
int XmlStr2Type(const char* text, uint16_t* out);
int XmlStr2FontSize(const char* text, uint32_t* out);
int XmlStr2Align(const char* text, uint32_t* out);
int XmlStr2DispOpt(const char* text, uint32_t* out);
int XmlStr2BargrStyle(const char* text, uint32_t* out);
int XmlStr2BargrBargrOrient(const char* text, uint32_t* out);
int XmlStr2BlinkType(const char* text, uint32_t* out);
