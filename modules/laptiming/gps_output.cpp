// Publication of the NMEA data record as the gps_* measurement variables.
#include "laptiming/gps_nmea.h"
#include "laptiming/gps_publish.h"

namespace {

void putTime(SeramSigPage& s, const nmeaINFO* info) {
    gps_put(s.gps_hour, int16_t(info->hour));
    gps_put(s.gps_min, int16_t(info->min));
    gps_put(s.gps_sec, int16_t(info->sec));
    gps_put(s.gps_hsec, int16_t(info->hsec));
}

void putPosition(SeramSigPage& s, const nmeaINFO* info) {
    gps_put(s.gps_lat, float(gps_nmeaToDegrees(info->lat)));
    gps_put(s.gps_long, float(gps_nmeaToDegrees(info->lon)));
}

} // namespace

void gps_outputRMC(const nmeaINFO* info) {
    SeramSigPage& s = seramSig();
    putPosition(s, info);
    gps_put(s.gps_speed, float(info->speed));
    gps_put(s.gps_direction, float(info->direction));
    gps_put(s.gps_year, int16_t(info->year + 1900));
    gps_put(s.gps_mon, int16_t(info->mon + 1));
    gps_put(s.gps_day, int16_t(info->day));
    putTime(s, info);
}

void gps_outputVTG(const nmeaINFO* info) {
    SeramSigPage& s = seramSig();
    gps_put(s.gps_speed, float(info->speed));
    gps_put(s.gps_direction, float(info->direction));
    gps_put(s.gps_declination, float(info->declination));
}

void gps_outputGGA(const nmeaINFO* info) {
    SeramSigPage& s = seramSig();
    putPosition(s, info);
    gps_put(s.gps_alt, float(info->elv));
    putTime(s, info);
}

void gps_outputStatus(const nmeaINFO* info) {
    SeramSigPage& s = seramSig();
    gps_put(s.gps_smask, int32_t(info->smask));
    gps_put(s.gps_sig, info->sig);
    gps_put(s.gps_fix, info->fix);
    gps_put(s.gps_PDOP, float(info->PDOP));
    gps_put(s.gps_HDOP, float(info->HDOP));
    gps_put(s.gps_VDOP, float(info->VDOP));
    for (int i = 0; i < GPS_NMEA_SATS; ++i) {
        const nmeaSATELLITE& sat = info->sat[i];
        gps_put(s.gps_info_satid[size_t(i)], sat.id);
        gps_put(s.gps_info_satinuse[size_t(i)], sat.in_use);
        gps_put(s.gps_info_satelevation[size_t(i)], sat.elv);
        gps_put(s.gps_info_satazimuth[size_t(i)], sat.azimuth);
        gps_put(s.gps_info_satsigstrength[size_t(i)], sat.sig);
    }
}
