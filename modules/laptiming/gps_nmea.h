// NMEA 0183 from the GPS receiver on "/tyCo/1": the NMEA data record, the sentence check and the
// parsers of RMC, VTG, GGA, GSA and GSV, and the publication of their values as the gps_*
// measurement variables of the signal page.
#pragma once

#include "platform/rtos/rtos.h"

#include <cstdint>
#include <vector>

inline constexpr int GPS_NMEA_SATS = 12;
inline constexpr int GPS_NMEA_DOMAINS = 3;
// Longest line handed to the parser; longer lines arrive in pieces.
inline constexpr int GPS_LINE_MAX = 82;
// Results of the sentence parsers.
inline constexpr uint16_t GPS_PARSE_OK = 0;
inline constexpr uint16_t GPS_PARSE_REJECTED = 0xFFFF;

// Sentence types of the type table (bit n - 1 of smask for types 1..5).
enum nmeaPACKType : int {
    GPNON = 0,
    GPGGA = 1,
    GPGSA = 2,
    GPGSV = 3,
    GPRMC = 4,
    GPVTG = 5,
    GPTXT = 6,
    GPGLL = 7,
};

struct nmeaSATELLITE {
    int32_t id, in_use, elv, azimuth, sig;
};

struct nmeaDOMAIN {
    int32_t inview, start, capacity;
};

// Monotonic time of the one host clock.
struct nmeaMONOTIME {
    uint32_t sec;
    uint32_t nsec;
};

struct nmeaINFO {
    uint32_t smask; // bit 0 GGA, 1 GSA, 2 GSV, 3 RMC, 4 VTG
    int32_t year;   // years since 1900
    int32_t mon;    // 0..11
    int32_t day, hour, min, sec, hsec;
    int32_t sig; // GGA fix quality; RMC "A" raises 0 to 1, "V" sets 0
    int32_t fix; // 1 none, 2 2D, 3 3D
    double PDOP, HDOP, VDOP;
    double lat, lon; // ddmm.mmmm, dddmm.mmmm as sent, negative south and west
    double elv, speed, direction, declination;
    int32_t inuse;
    int32_t domains; // satellite-system domains seen in GSV, at least 1
    nmeaSATELLITE sat[GPS_NMEA_SATS];
    nmeaDOMAIN domain[GPS_NMEA_DOMAINS];
    bool lastSet; // a GGA, RMC or VTG arrived since the last reset or time-out
    nmeaMONOTIME last;
    SEM_ID lock; // kept by the reset
};

// The one record of the receiver.
extern nmeaINFO nmea_info;

// All fields to their start values (2000-01-01 00:00:00.00, fix 1, DOPs 100.0, one domain of 12
// slots, no time of the last sentence); the lock stays.
void gps_nmea_data_reset(nmeaINFO* info);

// One received line of `length` - 1 characters; the caller holds the record's lock. Counts the
// sentence in gps_msg_cnt or gps_err_cnt.
void gps_parse(const char* line, int length, nmeaINFO* info);

uint16_t gps_RMC(char* body, nmeaINFO* info);
uint16_t gps_VTG(char* body, nmeaINFO* info);
uint16_t gps_GGA(char* body, nmeaINFO* info);
uint16_t gps_GSA(char* body, nmeaINFO* info);
uint16_t gps_GSV(char* body, nmeaINFO* info);

void gps_outputRMC(const nmeaINFO* info);
void gps_outputVTG(const nmeaINFO* info);
void gps_outputGGA(const nmeaINFO* info);
// The status part (smask, sig, fix, DOPs, satellite table) into its variables.
void gps_outputStatus(const nmeaINFO* info);

// Cuts `text` at every `sep`; fields[k - 1] is the text behind the k-th separator (the sentence
// name before the first one is skipped). Returns the number of separators.
int gps_strtok(char* text, std::vector<char*>* fields, char sep);
// The number parser of every numeric field; `label` names the field in its messages.
double gps_strtod(const char* text, const char* label);
float gps_strtof(const char* text, const char* label);
// Value of a string of decimal digits; 0 for no text or any other character.
uint32_t gps_strtol(const char* text);

// Degrees from ddmm.mmmm as sent (sign kept).
double gps_nmeaToDegrees(double raw);

// The monotonic time of the one host clock.
nmeaMONOTIME gps_monoNow();
