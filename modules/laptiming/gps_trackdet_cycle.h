// The decision of track detection, one cycle per position: which tracks lie within 15 km, the
// distance driven between two passes within 50 m of each one's point, and the rules that pick the
// track. Owned and driven by "r_TrackDet".
#pragma once

#include "laptiming/gps_trackdet.h"

#include <cstdint>
#include <memory>

inline constexpr int TRACKDET_STATES = 10;

// Reasons of a decision.
enum TrackDetReason : int {
    TRACKDET_NONE = 0,
    TRACKDET_LENGTH_MATCH = 1,
    TRACKDET_LAPDIST = 2,
    TRACKDET_NEAREST = 3,
    TRACKDET_NVRAM = 4,
    TRACKDET_ONLY_TRACK = 5,
};

struct trackState {
    float lastPassDist;
    float measuredLen;
    int32_t inside;
    int32_t track; // index into the track array, -1 = free
};

class TrackDetector {
public:
    // `tracks` stays the caller's; `nvId` is the id stored in NV record 18 (-1 none).
    TrackDetector(tracks_s* tracks, int count, int32_t nvId);
    // False when the per-track references could not be allocated.
    bool ok() const { return entryOf_ != nullptr; }
    // One position. When the decided track changes: its index in `*track` and the reason.
    TrackDetReason cycle(float lat, float lon, float dist, int* track);

private:
    int freeEntry() const;

    tracks_s* tracks_;
    int count_;
    std::unique_ptr<int32_t[]> entryOf_; // per track: its state entry, -1 none
    trackState states_[TRACKDET_STATES];
    int nvPreferred_ = -1; // last track in file order with the NV id, until dropped
    int decided_ = -1;
};
