#include "display/config/dispxml_value.h"

#include "display/config/display_records.h"
#include "display/config/dispxml_scan.h"

#include <cmath>
#include <cstring>

namespace {

struct Keyword {
    const char* text;
    uint32_t code;
};

template <typename T, size_t N> int lookup(const Keyword (&table)[N], const char* text, T* out) {
    if (text == nullptr) return -1;
    for (const Keyword& k : table) {
        if (std::strcmp(k.text, text) == 0) {
            *out = static_cast<T>(k.code);
            return 0;
        }
    }
    return -1;
}

constexpr Keyword kStyles[] = {{"none", DECO_NONE},
                               {"single_line", DECO_SINGLE_LINE},
                               {"double_line", DECO_DOUBLE_LINE},
                               {"single_top", DECO_SINGLE_TOP},
                               {"single_side", DECO_SINGLE_SIDE}};
constexpr Keyword kVisModes[] = {
    {"always", VIS_ALWAYS}, {"limit", VIS_LIMIT}, {"limit_resetable", VIS_LIMIT_RESETABLE}};
constexpr Keyword kTypes[] = {{"UINT8", TYPE_UINT8},   {"SINT8", TYPE_SINT8},   {"UINT16", TYPE_UINT16},
                              {"SINT16", TYPE_SINT16}, {"UINT32", TYPE_UINT32}, {"SINT32", TYPE_SINT32},
                              {"FLOAT", TYPE_FLOAT},   {"BOOL", TYPE_BOOL}};
constexpr Keyword kFontSizes[] = {
    {"tiny", FONT_TINY},        {"small", FONT_SMALL},           {"normal", FONT_NORMAL},
    {"large", FONT_LARGE},      {"extralarge", FONT_EXTRALARGE}, {"xxlarge", FONT_XXLARGE},
    {"xxxlarge", FONT_XXXLARGE}};
constexpr Keyword kAligns[] = {{"TL", ALIGN_TL}, {"TM", ALIGN_TM}, {"TR", ALIGN_TR},
                               {"ML", ALIGN_ML}, {"MM", ALIGN_MM}, {"MR", ALIGN_MR},
                               {"BL", ALIGN_BL}, {"BM", ALIGN_BM}, {"BR", ALIGN_BR}};
constexpr Keyword kDispOpts[] = {{"normal", DISPMODE_NORMAL},
                                 {"time_hh_mm_ss", DISPMODE_TIME_HH_MM_SS},
                                 {"time_mm_ss_ms", DISPMODE_TIME_MM_SS_MS},
                                 {"time_u_sss_ms", DISPMODE_TIME_U_SSS_MS},
                                 {"time_s_sss_ms", DISPMODE_TIME_S_SSS_MS},
                                 {"verbal", DISPMODE_VERBAL},
                                 {"ascii", DISPMODE_ASCII}};
constexpr Keyword kBargrStyles[] = {{"solid", BARGR_SOLID}, {"stacked", BARGR_STACKED}};
constexpr Keyword kBargrOrients[] = {{"hori_lr", BARGR_HORI_LR},
                                     {"hori_rl", BARGR_HORI_RL},
                                     {"vert_bt", BARGR_VERT_BT},
                                     {"vert_tb", BARGR_VERT_TB}};
constexpr Keyword kBlinkTypes[] = {{"off", BLINK_OFF}, {"slow", BLINK_SLOW}, {"fast", BLINK_FAST}};

// Decimal digits up to the end of the text into *value; -1 for any other character or a value above
// `limit` (a file must never wrap a number into a different, valid-looking one).
int decimal(const char* text, uint64_t limit, uint64_t* value) {
    uint64_t v = 0;
    for (; *text != '\0'; ++text) {
        if (!isDigit(*text)) return -1;
        v = v * 10u + static_cast<uint64_t>(*text - '0');
        if (v > limit) return -1;
    }
    *value = v;
    return 0;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int XmlGetBool(const char* text, uint8_t* out) {
    if (text == nullptr) return -1;
    if (std::strcmp(text, "true") == 0) {
        *out = 1;
        return 0;
    }
    if (std::strcmp(text, "false") == 0) {
        *out = 0;
        return 0;
    }
    return -1;
}

int XmlGetUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    uint64_t v = 0;
    if (text == nullptr || decimal(text, UINT32_MAX, &v) != 0) return -1;
    if (v < min || v > max) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int XmlGetInt(const char* text, int32_t* out, int32_t min, int32_t max) {
    if (text == nullptr) return -1;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    if (decimal(text, limit, &magnitude) != 0) return -1;
    const int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (v < min || v > max) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}

int XmlGetHex(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    if (text == nullptr) return -1;
    uint32_t v = 0;
    for (int i = 0; text[i] != '\0'; ++i) {
        const int d = hexDigit(text[i]);
        if (i >= 8 || d < 0) return -1;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    if (v < min || v > max) return -1;
    *out = v;
    return 0;
}

// Sign, digits, optionally "." and digits, optionally "e"/"E" with sign and digits; at least one
// digit before the exponent (what the C library's "%f" also demands). The value is built in single
// precision as the format has always done; a value that does not fit a float is refused rather than
// stored as infinity.
int XmlGetFloat(const char* text, float* out) {
    if (text == nullptr) return -1;
    const char* c = text;
    float sign = 1.0f;
    if (*c == '+' || *c == '-') sign = *c++ == '-' ? -1.0f : 1.0f;
    int digits = 0;
    float value = 0.0f;
    for (; isDigit(*c); ++c, ++digits) value = value * 10.0f + static_cast<float>(*c - '0');
    if (*c == '.') {
        float place = 0.1f;
        for (++c; isDigit(*c); ++c, ++digits) {
            value += static_cast<float>(*c - '0') * place;
            place *= 0.1f;
        }
    }
    int exponent = 0;
    if (*c == 'e' || *c == 'E') {
        ++c;
        int expSign = 1;
        if (*c == '+' || *c == '-') expSign = *c++ == '-' ? -1 : 1;
        for (; isDigit(*c); ++c) {
            if (exponent < 100000) exponent = exponent * 10 + (*c - '0');
        }
        exponent *= expSign;
    }
    if (*c != '\0' || digits == 0) return -1;
    const float result =
        value == 0.0f ? sign * 0.0f : sign * value * std::pow(10.0f, static_cast<float>(exponent));
    if (!std::isfinite(result)) return -1;
    *out = result;
    return 0;
}

int XmlStr2Style(const char* text, uint32_t* out) {
    return lookup(kStyles, text, out);
}
int XmlStr2VisMode(const char* text, uint32_t* out) {
    return lookup(kVisModes, text, out);
}
int XmlStr2Type(const char* text, uint16_t* out) {
    return lookup(kTypes, text, out);
}
int XmlStr2FontSize(const char* text, uint32_t* out) {
    return lookup(kFontSizes, text, out);
}
int XmlStr2Align(const char* text, uint32_t* out) {
    return lookup(kAligns, text, out);
}
int XmlStr2DispOpt(const char* text, uint32_t* out) {
    return lookup(kDispOpts, text, out);
}
int XmlStr2BargrStyle(const char* text, uint32_t* out) {
    return lookup(kBargrStyles, text, out);
}
int XmlStr2BargrBargrOrient(const char* text, uint32_t* out) {
    return lookup(kBargrOrients, text, out);
}
int XmlStr2BlinkType(const char* text, uint32_t* out) {
    return lookup(kBlinkTypes, text, out);
}
