// The display texts of values. Formats come from "cfg:/display.xml", so nothing in them may make
// printf read an argument that is not there or write past the text: each piece is checked before
// it is printed, and every text is bounded.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/config/dispxml_vtab.h"
#include "display/data/cdata.h"
#include "display/data/cdata_conv.h"
#include "framework/calc_round.h"

namespace {

constexpr char kBlank = static_cast<char>(0x81); // a space in display texts; ends a piece
constexpr size_t kMax = CDATA_STR_SIZE - 1;

// Up to three digits of a width or precision.
const char* Digits(const char* p, const char* end) {
    for (int n = 0; p < end && *p >= '0' && *p <= '9'; ++p)
        if (++n > 3) return nullptr;
    return p;
}

// True when the piece [p, end) holds exactly one conversion of the kind (floating point: e, E,
// f, F, g, G, with an optional l; text: s), with flags, width and precision, besides any "%%".
bool OneConversion(const char* p, const char* end, bool floating) {
    int conversions = 0;
    while (p < end) {
        if (*p++ != '%') continue;
        if (p < end && *p == '%') {
            ++p;
            continue;
        }
        while (p < end && std::strchr("-+ #0", *p) && *p) ++p;
        if (!(p = Digits(p, end))) return false;
        if (p < end && *p == '.') {
            if (!(p = Digits(p + 1, end))) return false;
        }
        if (floating && p < end && *p == 'l') ++p;
        if (p >= end) return false;
        const char conv = *p++;
        if (floating ? !std::strchr("eEfFgG", conv) : conv != 's') return false;
        ++conversions;
    }
    return conversions == 1;
}

// Appends text to out (holding *len bytes), bounded to kMax.
void Append(char* out, size_t* len, const char* text, size_t n) {
    if (*len >= kMax) return;
    if (n > kMax - *len) n = kMax - *len;
    std::memcpy(out + *len, text, n);
    *len += n;
    out[*len] = '\0';
}

// Prints one checked piece with its argument, or copies it as text.
template <class Arg> void Piece(char* out, size_t* len, const char* p, size_t n, bool floating, Arg arg) {
    char piece[CDATA_STR_SIZE];
    if (n > kMax || !OneConversion(p, p + n, floating)) {
        Append(out, len, p, n);
        return;
    }
    std::memcpy(piece, p, n);
    piece[n] = '\0';
    char text[CDATA_STR_SIZE];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int w = std::snprintf(text, sizeof text, piece, arg);
#pragma GCC diagnostic pop
    if (w > 0) Append(out, len, text, std::strlen(text));
}

void Normal(double v, const char* format, char* out) {
    size_t len = 0;
    out[0] = '\0';
    for (const char* p = format; *p;) {
        const char* end = p;
        while (*end && *end != kBlank) ++end;
        if (*end == kBlank) ++end; // the blank belongs to its piece
        const size_t n = static_cast<size_t>(end - p);
        if (std::memchr(p, '%', n))
            Piece(out, &len, p, n, true, v);
        else
            Append(out, &len, p, n);
        p = end;
    }
    const size_t joined = len;
    if (len > 0 && out[len - 1] == '.') out[--len] = '\0';
    if (joined <= 3 && std::strcmp(out, "-0") == 0) std::strcpy(out, "0");
}

void Clock(char* text, int64_t t, int64_t unitsPerHour, int64_t unitsPerMinute, int64_t units) {
    const int64_t h = t < 0 ? -t : t;
    std::snprintf(text, CDATA_STR_SIZE,
                  t < 0 ? "-%02" PRId64 ":%02" PRId64 ":%02" PRId64
                        : "%02" PRId64 ":%02" PRId64 ":%02" PRId64,
                  h / unitsPerHour, (h % unitsPerHour) / unitsPerMinute, h % units);
}

} // namespace

void CDataFormat(uint32_t dispmode, double v, const char* format, const verbtab_s* vtab, char* out) {
    if (!out) return;
    out[0] = '\0';
    if (!format) format = "";
    if (dispmode == DISPMODE_NORMAL) {
        Normal(v, format, out);
        return;
    }
    char text[CDATA_STR_SIZE] = "";
    switch (dispmode) {
    case DISPMODE_TIME_HH_MM_SS:
        Clock(text, static_cast<int64_t>(calc::round(v)), 3600, 60, 60);
        break;
    case DISPMODE_TIME_MM_SS_MS:
        Clock(text, static_cast<int64_t>(calc::round(v * 100)), 6000, 100, 100);
        break;
    case DISPMODE_TIME_U_SSS_MS: {
        const uint32_t h = v >= 0 ? cdataTruncU32(calc::round(v * 100)) : 0;
        std::snprintf(text, sizeof text, "%03u:%02u", h / 100, h % 100);
        break;
    }
    case DISPMODE_TIME_S_SSS_MS: {
        const int64_t t = cdataTruncI32(v * 100);
        const int64_t h = t < 0 ? -t : t;
        std::snprintf(text, sizeof text, t < 0 ? "-%03" PRId64 ":%02" PRId64 : " %03" PRId64 ":%02" PRId64,
                      h / 100, h % 100);
        break;
    }
    case DISPMODE_VERBAL:
        XmlVTabOutput(vtab, cdataRoundedWord(calc::round(v)), text);
        text[kMax] = '\0';
        break;
    case DISPMODE_ASCII:
        text[0] = static_cast<char>(cdataRoundedWord(calc::round(v)) & 0xFF);
        text[1] = '\0';
        break;
    default:
        return;
    }
    size_t len = 0;
    Piece(out, &len, format, std::strlen(format), false, static_cast<const char*>(text));
}
