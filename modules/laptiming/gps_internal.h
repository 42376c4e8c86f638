// Helpers shared by the NMEA parser's files.
#pragma once

#include "laptiming/gps_nmea.h"

#include <vector>

// gps_err_cnt + 1.
void gps_countError();
// The field references of the sentence being parsed (one set per task, no allocation per line).
std::vector<char*>& gps_fields();
// True when field k (from 1) is present and not empty.
inline bool gps_hasField(const std::vector<char*>& f, int k) {
    return k >= 1 && k <= int(f.size()) && f[size_t(k - 1)][0] != '\0';
}
inline const char* gps_field(const std::vector<char*>& f, int k) {
    return f[size_t(k - 1)];
}
