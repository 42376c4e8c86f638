// The parsers of RMC, VTG and GGA: position, speed, course, altitude, date and time. Each skips
// empty fields, so the record keeps its previous value there.
#include "laptiming/gps_internal.h"
#include "laptiming/gps_nmea.h"

#include "framework/syslog.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

int32_t saturatedS32(double v) {
    if (!(v >= 0.0)) return 0;
    if (v >= double(INT32_MAX)) return INT32_MAX;
    return int32_t(v);
}

enum class Utc { Ok, BadRead, BadLength };

// The UTC time field: hhmmss keeps hsec; one, two or three fraction digits all give hundredths.
Utc parseUtc(const char* field, nmeaINFO* info, int* scanned) {
    const size_t len = std::strlen(field);
    unsigned h = 0, m = 0, s = 0, fraction = 0;
    if (len == 6) {
        *scanned = std::sscanf(field, "%02u%02u%02u", &h, &m, &s);
        if (*scanned != 3) return Utc::BadRead;
    } else if (len >= 8 && len <= 10) {
        *scanned = std::sscanf(field, "%02u%02u%02u.%u", &h, &m, &s, &fraction);
        if (*scanned != 4) return Utc::BadRead;
        const double scale = len == 8 ? 100.0 : len == 9 ? 10.0 : 1.0;
        info->hsec = saturatedS32(double(fraction) * scale * 0.1);
    } else {
        return Utc::BadLength;
    }
    info->hour = int32_t(h);
    info->min = int32_t(m);
    info->sec = int32_t(s);
    return Utc::Ok;
}

bool is(const char* field, const char* token) {
    return std::strcmp(field, token) == 0;
}

// Latitude or longitude as sent, negated for the southern or western hemisphere.
void parseCoordinate(const std::vector<char*>& f, int k, const char* label, const char* negative,
                     double* out) {
    if (!gps_hasField(f, k)) return;
    double v = gps_strtod(gps_field(f, k), label);
    if (gps_hasField(f, k + 1) && is(gps_field(f, k + 1), negative)) v = -v;
    *out = v;
}

bool hemisphereOk(const std::vector<char*>& f, int k, const char* a, const char* b) {
    return !gps_hasField(f, k) || is(gps_field(f, k), a) || is(gps_field(f, k), b);
}

} // namespace

uint16_t gps_RMC(char* body, nmeaINFO* info) {
    std::vector<char*>& f = gps_fields();
    const int n = gps_strtok(body, &f, ',');
    if (n < 11) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC: error element count :%u ", unsigned(n));
        return GPS_PARSE_REJECTED;
    }
    if (gps_hasField(f, 1)) {
        int scanned = 0;
        switch (parseUtc(gps_field(f, 1), info, &scanned)) {
        case Utc::BadRead:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC error sscanf %d", scanned);
            break;
        case Utc::BadLength:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC: UTC parse error :%s ", gps_field(f, 1));
            break;
        case Utc::Ok:
            break;
        }
    }
    if (gps_hasField(f, 2)) {
        if (is(gps_field(f, 2), "A")) {
            if (info->sig == 0) info->sig = 1;
            if (info->fix == 1) info->fix = 2;
        } else if (is(gps_field(f, 2), "V")) {
            info->sig = 0;
            info->fix = 1;
        } else {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC: invalid status token AV :%s ", gps_field(f, 2));
        }
    }
    parseCoordinate(f, 3, "RMC lat", "S", &info->lat);
    if (!hemisphereOk(f, 4, "N", "S"))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC: invalid hemisphere token NS :%s ", gps_field(f, 4));
    parseCoordinate(f, 5, "RMC long", "W", &info->lon);
    if (!hemisphereOk(f, 6, "E", "W"))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC: invalid hemisphere token EW :%s ", gps_field(f, 6));
    if (gps_hasField(f, 7)) info->speed = gps_strtod(gps_field(f, 7), "RMC speed") * 1.852;
    if (gps_hasField(f, 8)) info->direction = gps_strtod(gps_field(f, 8), "RMC dir");
    if (gps_hasField(f, 9)) {
        unsigned d = 0, m = 0, y = 0;
        const int scanned = std::sscanf(gps_field(f, 9), "%02u%02u%02u", &d, &m, &y);
        if (scanned == 3) {
            info->day = int32_t(d);
            info->mon = int32_t(m) - 1;
            info->year = int32_t(y) + 100;
        } else {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPRMC error sscanf %d", scanned);
        }
    }
    gps_outputRMC(info);
    return GPS_PARSE_OK;
}

uint16_t gps_VTG(char* body, nmeaINFO* info) {
    std::vector<char*>& f = gps_fields();
    const int n = gps_strtok(body, &f, ',');
    if (n < 8) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPVTG: error element count :%u ", unsigned(n));
        return GPS_PARSE_REJECTED;
    }
    // Unit letters: a wrong one is logged and parsing goes on.
    const struct {
        int k;
        const char* unit;
    } units[] = {{2, "T"}, {4, "M"}, {6, "N"}, {8, "K"}};
    for (const auto& u : units) {
        if (gps_hasField(f, u.k) && !is(gps_field(f, u.k), u.unit))
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPVTG: invalid token :%s ", gps_field(f, u.k));
    }
    if (gps_hasField(f, 1)) info->direction = gps_strtod(gps_field(f, 1), "VTG dir");
    if (gps_hasField(f, 3)) info->declination = gps_strtod(gps_field(f, 3), "VTG decl");
    if (gps_hasField(f, 7)) info->speed = gps_strtod(gps_field(f, 7), "VTG speed");
    gps_outputVTG(info);
    return GPS_PARSE_OK;
}

uint16_t gps_GGA(char* body, nmeaINFO* info) {
    std::vector<char*>& f = gps_fields();
    const int n = gps_strtok(body, &f, ',');
    if (n < 14) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA: error element count :%u ", unsigned(n));
        return GPS_PARSE_REJECTED;
    }
    if (gps_hasField(f, 1)) {
        int scanned = 0;
        switch (parseUtc(gps_field(f, 1), info, &scanned)) {
        case Utc::BadRead:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA error sscanf %d", scanned);
            break;
        case Utc::BadLength:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA: UTC parse error :%s ", gps_field(f, 1));
            break;
        case Utc::Ok:
            break;
        }
    }
    parseCoordinate(f, 2, "GGA lat", "S", &info->lat);
    if (!hemisphereOk(f, 3, "N", "S"))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA: invalid hemisphere token NS :%s ", gps_field(f, 3));
    parseCoordinate(f, 4, "GGA long", "W", &info->lon);
    if (!hemisphereOk(f, 5, "E", "W"))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA: invalid hemisphere token EW :%s ", gps_field(f, 5));
    for (int k : {6, 7}) {
        if (!gps_hasField(f, k)) continue;
        unsigned v = 0;
        const int scanned = std::sscanf(gps_field(f, k), "%u", &v);
        if (scanned != 1) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA error sscanf %d", scanned);
            continue;
        }
        (k == 6 ? info->sig : info->inuse) = int32_t(v);
    }
    if (gps_hasField(f, 8)) info->HDOP = gps_strtod(gps_field(f, 8), "GGA hdop");
    if (gps_hasField(f, 9)) info->elv = gps_strtod(gps_field(f, 9), "GGA alt");
    if (gps_hasField(f, 10) && !is(gps_field(f, 10), "M"))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGGA: invalid unit for elevation token :%s ", gps_field(f, 10));
    gps_outputGGA(info);
    return GPS_PARSE_OK;
}
