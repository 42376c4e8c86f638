// The sentence check in front of the five parsers, and the field and number helpers they share.
#include "laptiming/gps_fixes.h"
#include "laptiming/gps_internal.h"
#include "laptiming/gps_nmea.h"
#include "laptiming/gps_publish.h"

#include "framework/syslog.h"
#include "platform/rtos/hostclock.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

nmeaINFO nmea_info;

namespace {

struct TypeName {
    const char* name;
    nmeaPACKType type;
};

// Searched in this order anywhere in the body, so every talker prefix (GP, GN, GL, ...) matches.
constexpr TypeName nmeaPACKStrMap[] = {
    {"TXT", GPTXT}, {"RMC", GPRMC}, {"VTG", GPVTG}, {"GGA", GPGGA},
    {"GSA", GPGSA}, {"GSV", GPGSV}, {"GLL", GPGLL},
};

nmeaPACKType sentenceType(const char* body) {
    for (const TypeName& t : nmeaPACKStrMap)
        if (std::strstr(body, t.name) != nullptr) return t.type;
    return GPNON;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads decimal digits at `p` as an unsigned 32-bit value (saturating); false when there is none.
bool readDigits(const char*& p, uint32_t* value, int* digits) {
    uint64_t v = 0;
    int n = 0;
    while (isDigit(*p)) {
        v = v * 10 + uint64_t(*p - '0');
        if (v > UINT32_MAX) v = UINT32_MAX;
        ++p;
        ++n;
    }
    *value = uint32_t(v);
    if (digits) *digits = n;
    return n > 0;
}

// Beyond this many steps the value is 0 or infinite anyway.
constexpr uint32_t kExponentLimit = 400;

void countMessage(nmeaINFO* info, nmeaPACKType type) {
    auto& s = seramSig();
    gps_put(s.gps_msg_cnt, uint16_t(gps_get(s.gps_msg_cnt) + 1));
    info->smask |= 1u << (type - 1);
}

} // namespace

void gps_countError() {
    auto& s = seramSig();
    gps_put(s.gps_err_cnt, uint16_t(gps_get(s.gps_err_cnt) + 1));
}

std::vector<char*>& gps_fields() {
    thread_local std::vector<char*> fields;
    return fields;
}

nmeaMONOTIME gps_monoNow() {
    const uint64_t ns = hostclock_nowNs();
    return {uint32_t(ns / 1000000000u), uint32_t(ns % 1000000000u)};
}

void gps_nmea_data_reset(nmeaINFO* info) {
    SEM_ID lock = info->lock;
    *info = nmeaINFO{};
    info->lock = lock;
    info->year = 100;
    info->mon = 0;
    info->day = 1;
    info->sig = 0;
    info->fix = 1;
    info->PDOP = info->HDOP = info->VDOP = 100.0;
    info->domains = 1;
    info->domain[0] = {0, 0, GPS_NMEA_SATS};
    info->lastSet = false;
}

void gps_parse(const char* line, int length, nmeaINFO* info) {
    if (line == nullptr || info == nullptr || length < 6) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse: parameter error ");
        return;
    }
    const std::string text(line, strnlen(line, size_t(length - 1)));
    const size_t firstDollar = text.find('$');
    if (firstDollar == std::string::npos) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_INFO, "gps_parse: sentence misses character '$', ignored, '%s'",
                          text.c_str());
        return;
    }
    if (text.find('*') == std::string::npos) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse: sentence misses character '*', '%s'", text.c_str());
        gps_countError();
        return;
    }
    // Garbage before a second '$' on the same line: the sentence starts at the last one.
    const size_t lastDollar = text.rfind('$');
    const size_t start =
        (lastDollar != firstDollar && lastDollar + 1 < text.size()) ? lastDollar : firstDollar;
    const size_t bodyBegin = start + 1;
    const size_t star = text.find('*', bodyBegin);
    const size_t lastStar = text.rfind('*');
    if (star != std::string::npos && lastStar != star && lastStar + 1 < text.size()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse: found multiple '*' @ %s ", text.c_str() + star);
        gps_countError();
        return;
    }
    if (star == std::string::npos) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse: no checksum found(1) '%s'", text.c_str());
        gps_countError();
        return;
    }
    std::string body = text.substr(bodyBegin, star - bodyBegin);
    const nmeaPACKType type = sentenceType(body.c_str());
    if (type < GPGGA || type > GPVTG) return; // TXT, GLL and unknown sentences change nothing

    unsigned expected = 0;
    const int scanned = std::sscanf(text.c_str() + lastStar + 1, "%02X", &expected);
    if (scanned != 1) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse chksum error sscanf %d", scanned);
        expected = 0xFF;
    }
    unsigned computed = 0;
    for (char c : body) computed ^= uint8_t(c);
    if (computed != expected) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_parse: checksum error 0x%X <> 0x%X, '%s'", computed, expected,
                          body.c_str());
        gps_countError();
        return;
    }

    uint16_t result = GPS_PARSE_REJECTED;
    switch (type) {
    case GPGGA:
    case GPRMC:
    case GPVTG: {
        // Time of the last position sentence, whatever its content, for the output time-out.
        const uint64_t received = hostclock_nowNs();
        info->last = {uint32_t(received / 1000000000u), uint32_t(received % 1000000000u)};
        info->lastSet = true;
        result = type == GPGGA   ? gps_GGA(body.data(), info)
                 : type == GPRMC ? gps_RMC(body.data(), info)
                                 : gps_VTG(body.data(), info);
        if (result == GPS_PARSE_OK) gps_fixTaken(info, type != GPVTG, received);
        break;
    }
    case GPGSA:
        result = gps_GSA(body.data(), info);
        break;
    case GPGSV:
        result = gps_GSV(body.data(), info);
        break;
    default:
        break;
    }
    if (result == GPS_PARSE_OK)
        countMessage(info, type);
    else
        gps_countError();
}

int gps_strtok(char* text, std::vector<char*>* fields, char sep) {
    fields->clear();
    if (text == nullptr) return 0;
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == sep) {
            *p = '\0';
            fields->push_back(p + 1);
        }
    }
    return int(fields->size());
}

double gps_strtod(const char* text, const char* label) {
    if (text == nullptr) return 0.0;
    const char* p = text;
    double sign = 1.0;
    if (*p == '+' || *p == '-') {
        if (*p == '-') sign = -1.0;
        ++p;
    }
    uint32_t integer = 0;
    if (!readDigits(p, &integer, nullptr)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_strtod error sscanf (1) %s: %s", label, text);
        integer = 0;
    }
    double fraction = 0.0;
    if (*p == '.') {
        ++p;
        if (*p != '\0') {
            uint32_t f = 0;
            int digits = 0;
            if (readDigits(p, &f, &digits)) {
                fraction = f;
                for (int i = 0; i < digits; ++i) fraction *= 0.1;
            } else {
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_strtod error sscanf (3) %s: %s", label, text);
            }
        }
    }
    double value = double(integer) + fraction;
    if (*p == 'e') {
        ++p;
        bool negative = false;
        if (*p == '+' || *p == '-') {
            negative = *p == '-';
            ++p;
        }
        uint32_t exponent = 0;
        if (!readDigits(p, &exponent, nullptr)) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_strtod error sscanf (2) %s: %s", label, text);
            exponent = 0;
        }
        if (exponent > kExponentLimit) exponent = kExponentLimit;
        for (uint32_t i = 0; i < exponent; ++i) value *= negative ? 0.1 : 10.0;
    }
    return sign * value;
}

float gps_strtof(const char* text, const char* label) {
    return float(gps_strtod(text, label));
}

uint32_t gps_strtol(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    uint32_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!isDigit(*p)) return 0;
        v = v * 10u + uint32_t(*p - '0');
    }
    return v;
}

double gps_nmeaToDegrees(double raw) {
    const double v = raw * 0.01;
    const double whole = std::trunc(v);
    return whole + (v - whole) * 1.6666666666666667;
}
