#include "laptiming/gps_trackdet_cycle.h"

#include "laptiming/gps_trigger.h"

#include <cmath>
#include <new>

namespace {

constexpr float kRangeSqr = 2.25e8f; // (15 km)²
constexpr float kPassSqr = 2500.0f;  // (50 m)²
constexpr float kLengthTolerance = 100.0f;

} // namespace

TrackDetector::TrackDetector(tracks_s* tracks, int count, int32_t nvId)
    : tracks_(tracks), count_(count > 0 ? count : 0),
      entryOf_(new (std::nothrow) int32_t[size_t(count > 0 ? count : 1)]) {
    if (entryOf_ == nullptr) return;
    for (int i = 0; i < count_; ++i) {
        entryOf_[i] = -1;
        if (tracks_[i].trackId == nvId) nvPreferred_ = i;
    }
    for (trackState& s : states_) s = {0.0f, 0.0f, 0, -1};
}

int TrackDetector::freeEntry() const {
    for (int e = 0; e < TRACKDET_STATES; ++e)
        if (states_[e].track < 0) return e;
    return -1;
}

TrackDetReason TrackDetector::cycle(float lat, float lon, float dist, int* track) {
    // No fix yet (0), or a position the lap function does not know yet (NaN): no position at all,
    // which must not count as one outside every track.
    if (!std::isfinite(lat) || !std::isfinite(lon) || lat == 0.0f || lon == 0.0f || !ok())
        return TRACKDET_NONE;
    int inRange = 0;
    int lastInRange = -1;
    for (int i = 0; i < count_; ++i) {
        tracks_s& t = tracks_[i];
        t.distance = gps_distCalc_sqr(t.latitude, t.longitude, lat, lon);
        int32_t& e = entryOf_[i];
        if (!(t.distance < kRangeSqr)) {
            if (e >= 0) states_[e].track = -1;
            e = -1;
            if (i == nvPreferred_) nvPreferred_ = -1;
            continue;
        }
        if (e < 0) {
            e = freeEntry();
            if (e < 0) continue; // more than ten tracks nearby: this one waits for a free entry
            states_[e] = {0.0f, 0.0f, 0, i};
        }
        trackState& s = states_[e];
        if (!(t.distance < kPassSqr)) {
            s.inside = 0;
        } else if (s.inside == 0) {
            if (s.lastPassDist != 0.0f) s.measuredLen = dist - s.lastPassDist;
            s.lastPassDist = dist;
            s.inside = 1;
        }
        ++inRange;
        lastInRange = i;
    }
    if (inRange == 0) return TRACKDET_NONE;

    TrackDetReason reason = TRACKDET_NONE;
    int choice = -1;
    if (inRange == 1) {
        reason = TRACKDET_ONLY_TRACK;
        choice = lastInRange;
    } else {
        int nearest = -1;
        int lastMeasured = -1;
        for (const trackState& s : states_) {
            if (s.track < 0) continue;
            const tracks_s& t = tracks_[s.track];
            if (nearest < 0 || t.distance < tracks_[nearest].distance) nearest = s.track;
            if (s.measuredLen == 0.0f) continue;
            lastMeasured = s.track;
            if (s.measuredLen > t.tracklen - kLengthTolerance &&
                s.measuredLen < t.tracklen + kLengthTolerance) {
                reason = TRACKDET_LENGTH_MATCH;
                choice = s.track;
                break;
            }
        }
        if (reason == TRACKDET_NONE && decided_ < 0) {
            if (nvPreferred_ >= 0) {
                reason = TRACKDET_NVRAM;
                choice = nvPreferred_;
                nvPreferred_ = -1;
            } else if (lastMeasured >= 0) {
                reason = TRACKDET_LAPDIST;
                choice = lastMeasured;
            } else {
                reason = TRACKDET_NEAREST;
                choice = nearest;
            }
        }
    }
    if (reason == TRACKDET_NONE || choice < 0 || choice == decided_) return TRACKDET_NONE;
    decided_ = choice;
    *track = choice;
    return reason;
}
