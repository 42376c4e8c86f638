// Track detection: the task "r_TrackDet" compares the GPS position with the tracks of
// "cfg:rtracks.xml" every 250 ms, measures the distance driven between passes of each nearby
// track's start/finish point and decides which track the vehicle is on. The lap function takes
// the decision (point, length, id) for its GPS trigger line. The last detected id is kept in NV
// record 18 so that it is preferred after a restart.
#pragma once

#include <cstdint>

class XmlScan;
class XmlTagParser;

struct tracks_s {
    float longitude; // start/finish point, degrees east
    float latitude;  // degrees north
    float tracklen;  // m
    int32_t trackId;
    float distance; // work field: squared distance from the current position, m²
};

inline constexpr uint32_t NV_REC_TRACKDET = 18;
// Most tracks a file may hold; a group announcing more fails the file.
inline constexpr int32_t TRACKS_MAX = 100000;

// Clears the detection result, reads (or repairs) NV record 18 and starts "r_TrackDet". A task of
// an earlier call is ended first.
void gps_trackdet_ini();
// Ends "r_TrackDet" (tests; on the device it runs to the end of the process).
void gps_trackdet_stop();

// The lap function's query every 10 ms. With nothing new it stores the position (latitude,
// longitude, distance driven in m) for the task and returns 0. Otherwise it copies the decision
// into the given references (each may be null) and returns 1 (the track of NV record 18) or 2 (a
// different track); that call's position is not stored.
int gps_trackdet_get(float lat, float lon, float dist, float* pointLat, float* pointLong, float* trackLen,
                     int32_t* trackId);

// Parses the text of a track file. Returns the number of tracks and hands out their array (free()
// it), or 0 (nothing handed out) after logging why.
int xml_load_tracks(const char* text, tracks_s** tracks);

// Reader of the track file on the XML classes. Errors are raised as texts (XmlError).
class tracksXmlLoad {
public:
    tracksXmlLoad();
    ~tracksXmlLoad();
    tracksXmlLoad(const tracksXmlLoad&) = delete;
    tracksXmlLoad& operator=(const tracksXmlLoad&) = delete;

    // The tracks of all groups in document order; the array is handed over to the caller.
    int getTracks(const char* text, tracks_s** tracks);
    // Grows the array to hold at least `n` records (room for twice as many).
    void extendTracks(int64_t n);
    // Appends one record after the ones read (the array is handed over again).
    void addTrack(tracks_s** tracks, float latitude, float longitude, float tracklen, int32_t trackId);

private:
    void readTracksElement();
    void readGroup();
    void append(const tracks_s& t);
    void skipElement();

    XmlScan* scanner_ = nullptr;
    XmlTagParser* groupParser_ = nullptr;
    XmlTagParser* trackParser_ = nullptr;
    tracks_s* tracks_ = nullptr;
    int64_t capacity_ = 0;
    int64_t count_ = 0;
    // Destinations of the attribute parsers.
    int32_t version_ = 0;
    int32_t num_ = 0;
    char name_[64] = {};
    int32_t trackId_ = 0;
    float latitude_ = 0, longitude_ = 0, tracklen_ = 0;
};
