// The parsers of GSA (fix type, satellites in use, DOPs) and GSV (satellites in view, per
// satellite-system domain).
#include "laptiming/gps_internal.h"
#include "laptiming/gps_nmea.h"

#include "framework/syslog.h"

#include <algorithm>
#include <cstdio>

namespace {

// Reads "%u"; false (value untouched) when it cannot be read.
bool readUnsigned(const char* text, unsigned* value, int* scanned) {
    *scanned = std::sscanf(text, "%u", value);
    return *scanned == 1;
}

} // namespace

uint16_t gps_GSA(char* body, nmeaINFO* info) {
    std::vector<char*>& f = gps_fields();
    const int n = gps_strtok(body, &f, ',');
    if (n < 17) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSA: error element count :%u ", unsigned(n));
        return GPS_PARSE_REJECTED;
    }
    int scanned = 0;
    if (gps_hasField(f, 2)) {
        unsigned fix = 0;
        if (readUnsigned(gps_field(f, 2), &fix, &scanned))
            info->fix = int32_t(fix);
        else
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSA error sscanf %d", scanned);
    }
    for (nmeaSATELLITE& s : info->sat) s.in_use = 0;
    for (int k = 3; k <= 14; ++k) {
        if (!gps_hasField(f, k)) continue;
        unsigned prn = 0;
        if (!readUnsigned(gps_field(f, k), &prn, &scanned)) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSA error sscanf %d", scanned);
            prn = 0;
        }
        for (nmeaSATELLITE& s : info->sat) {
            if (s.id == int32_t(prn)) {
                s.in_use = 1;
                break;
            }
        }
    }
    if (gps_hasField(f, 15)) info->PDOP = gps_strtod(gps_field(f, 15), "GSA pdop");
    if (gps_hasField(f, 16)) info->HDOP = gps_strtod(gps_field(f, 16), "GSA hdop");
    if (gps_hasField(f, 17)) info->VDOP = gps_strtod(gps_field(f, 17), "GSA vdop");
    return GPS_PARSE_OK;
}

uint16_t gps_GSV(char* body, nmeaINFO* info) {
    std::vector<char*>& f = gps_fields();
    const int n = gps_strtok(body, &f, ',');
    if (n < 3) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: error element count :%u ", unsigned(n));
        return GPS_PARSE_REJECTED;
    }
    // Total and number of this sentence place its satellites; without both the slots are unknown.
    unsigned total = 0, number = 0;
    int scanned = 0;
    if (!gps_hasField(f, 1) || !readUnsigned(gps_field(f, 1), &total, &scanned)) {
        if (gps_hasField(f, 1)) SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV 1 error sscanf %d", scanned);
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: invalid sentence # token :%s ", gps_field(f, 1));
        return GPS_PARSE_REJECTED;
    }
    if (!gps_hasField(f, 2) || !readUnsigned(gps_field(f, 2), &number, &scanned)) {
        if (gps_hasField(f, 2)) SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV 2 error sscanf %d", scanned);
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: invalid sentence # token :%s ", gps_field(f, 2));
        return GPS_PARSE_REJECTED;
    }
    if (number < 1 || number > 8 || total < number) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: invalid sentence # token :%s ", gps_field(f, 2));
        return GPS_PARSE_REJECTED;
    }

    // Satellites in this sentence and the optional signal id (domain) as the last field.
    int k = 0;
    bool hasDomain = false;
    unsigned d = 0;
    if (n == 4) {
        hasDomain = true;
        if (gps_hasField(f, 4) && !readUnsigned(gps_field(f, 4), &d, &scanned)) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV 4 error sscanf %d", scanned);
            d = 0;
        }
    } else if (n > 4) {
        k = number == total ? (n - 3) / 4 : 4;
        if (n == 4 * k + 4) {
            hasDomain = true;
            if (!gps_hasField(f, n) || !readUnsigned(gps_field(f, n), &d, &scanned)) {
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV error sscanf domain %d", scanned);
                return GPS_PARSE_REJECTED;
            }
        } else if (n != 4 * k + 3) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: error element count :%u ", unsigned(n));
            return GPS_PARSE_REJECTED;
        }
    }
    // The table has three domains; receivers send signal ids up to 7.
    if (d >= unsigned(GPS_NMEA_DOMAINS)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV: invalid signal id :%u ", d);
        return GPS_PARSE_REJECTED;
    }
    nmeaDOMAIN& dom = info->domain[d];

    if (gps_hasField(f, 3)) {
        unsigned inview = 0;
        if (readUnsigned(gps_field(f, 3), &inview, &scanned)) {
            dom.inview = int32_t(std::min<unsigned>(inview, INT32_MAX));
            if (n < 5 && inview != 0)
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV unexpected sat count %d", int(inview));
        } else {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV error sscanf inview %d", scanned);
        }
    }
    if (hasDomain && info->domains <= int32_t(d)) {
        info->domains = int32_t(d) + 1;
        const int32_t capacity = GPS_NMEA_SATS / info->domains;
        for (int32_t i = 0; i < info->domains; ++i)
            info->domain[i] = {info->domain[i].inview, i * capacity, capacity};
    }

    const int first = 4 * int(number - 1);
    for (int i = first, field = 4; i < first + k && i < dom.capacity; ++i, field += 4) {
        nmeaSATELLITE& s = info->sat[dom.start + i];
        int32_t* values[] = {&s.id, &s.elv, &s.azimuth, &s.sig};
        const char* what[] = {"PRN", "elv", "azimuth", "sig"};
        for (int j = 0; j < 4; ++j) {
            if (!gps_hasField(f, field + j)) continue;
            unsigned v = 0;
            if (readUnsigned(gps_field(f, field + j), &v, &scanned))
                *values[j] = int32_t(std::min<unsigned>(v, INT32_MAX));
            else
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_GPGSV error sscanf %s %d", what[j], scanned);
        }
    }
    // Slots behind the satellites in view are cleared; the count is kept inside the domain.
    dom.inview = std::clamp(dom.inview, 0, dom.capacity);
    for (int32_t i = dom.start + dom.inview; i < dom.start + dom.capacity; ++i)
        info->sat[i] = nmeaSATELLITE{};
    return GPS_PARSE_OK;
}
