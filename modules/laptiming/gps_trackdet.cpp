// The task "r_TrackDet" and its exchange with the lap function. The lap function's raster task
// writes positions into two alternating slots; the task reads the one written last. The decision
// goes the other way under a sequence count, announced by res_new. Neither side ever waits for
// the other.
#include "laptiming/gps_trackdet.h"

#include "laptiming/gps_trackdet_cycle.h"

#include "framework/fileutil.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdlib>
#include <memory>

namespace {

constexpr const char* kTrackFile = "cfg:rtracks.xml";
constexpr const char* kTrackWhat = "the detected track"; // as the shutdown names it

struct PositionSlot {
    std::atomic<float> lat{0.0f}, lon{0.0f}, dist{0.0f};
};

struct TrackDet {
    std::atomic<bool> stop{false};
    TASK_ID task = TASK_ID_ERROR;
    int32_t nvId = -1;  // written before the task starts, then by the task only
    bool nvDue = false; // nvId refused by the NV store's queue: queued again at the next cycle

    // Position buffer: the writer fills slot (counter AND 1), then counts.
    PositionSlot slots[2];
    std::atomic<uint32_t> counter{0};

    // Detection result, written under an odd sequence count.
    std::atomic<uint32_t> seq{0};
    std::atomic<float> pointLat{0.0f}, pointLong{0.0f}, trackLen{0.0f};
    std::atomic<int32_t> trackId{-1};
    std::atomic<int32_t> res_new{0};
};

TrackDet& td() {
    static TrackDet t;
    return t;
}

void clearResult(TrackDet& t) {
    t.pointLat = 0.0f;
    t.pointLong = 0.0f;
    t.trackLen = 0.0f;
    t.trackId = -1;
    t.res_new = 0;
    t.counter = 0;
    for (PositionSlot& s : t.slots) s.lat = s.lon = s.dist = 0.0f;
}

// The slot written last; false when none was written or the writer kept overtaking the read.
bool readPosition(TrackDet& t, float* lat, float* lon, float* dist) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t c = t.counter.load(std::memory_order_acquire);
        if (c == 0) return false;
        // A load that sees the writer's next write into this slot also sees the count before it.
        const PositionSlot& s = t.slots[(c - 1) & 1];
        *lat = s.lat.load(std::memory_order_acquire);
        *lon = s.lon.load(std::memory_order_acquire);
        *dist = s.dist.load(std::memory_order_acquire);
        if (t.counter.load(std::memory_order_relaxed) == c) return true;
    }
    return false;
}

void writePosition(TrackDet& t, float lat, float lon, float dist) {
    const uint32_t c = t.counter.load(std::memory_order_relaxed);
    // Release stores: a reader that sees one of them also sees the count before it.
    PositionSlot& s = t.slots[c & 1];
    s.lat.store(lat, std::memory_order_release);
    s.lon.store(lon, std::memory_order_release);
    s.dist.store(dist, std::memory_order_release);
    t.counter.store(c + 1, std::memory_order_release);
}

void publish(TrackDet& t, const tracks_s& track, int32_t code) {
    t.seq.fetch_add(1, std::memory_order_relaxed); // odd while the fields change
    t.pointLat.store(track.latitude, std::memory_order_release);
    t.pointLong.store(track.longitude, std::memory_order_release);
    t.trackLen.store(track.tracklen, std::memory_order_release);
    t.trackId.store(track.trackId, std::memory_order_release);
    t.seq.fetch_add(1, std::memory_order_release);
    t.res_new.store(code, std::memory_order_release);
}

void logDecision(TrackDetReason reason, const tracks_s& k) {
    const double lat = k.latitude, lon = k.longitude, len = k.tracklen;
    const int id = int(k.trackId);
    switch (reason) {
    case TRACKDET_LENGTH_MATCH:
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG,
                          "gps_trackdet_task: detected bc match found: %10.6f %10.6f, %8.1f id:%d", lat, lon,
                          len, id);
        break;
    case TRACKDET_LAPDIST:
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG,
                          "gps_trackdet_task: detected bc lapdist triggered: %10.6f %10.6f, %8.1f id:%d", lat,
                          lon, len, id);
        break;
    case TRACKDET_NEAREST:
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG,
                          "gps_trackdet_task: detected bc nearest track taken: %10.6f %10.6f, %8.1f id:%d",
                          lat, lon, len, id);
        break;
    case TRACKDET_NVRAM:
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG,
                          "gps_trackdet_task: detected, nvram was taken: %10.6f %10.6f, %8.1f id:%d", lat,
                          lon, len, id);
        break;
    case TRACKDET_ONLY_TRACK:
        SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG,
                          "gps_trackdet_task: detected bc only track in range: %10.6f %10.6f, %8.1f id:%d",
                          lat, lon, len, id);
        break;
    case TRACKDET_NONE:
        break;
    }
}

// Loads the track file; the number of tracks (0 after logging why).
int loadTracks(tracks_s** tracks) {
    *tracks = nullptr;
    if (!fexist(kTrackFile)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "gps_trackdet_task: could not find cfg:rtracks.xml, no track detection active");
        return 0;
    }
    char* text = fload(kTrackFile, nullptr);
    const int n = text != nullptr ? xml_load_tracks(text, tracks) : 0;
    std::free(text);
    if (n <= 0)
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_WARNING,
            "gps_trackdet_task: cfg:rtracks.xml does not contain any tracks, no track detetcion active");
    return n;
}

void runDetection(TrackDet& t, tracks_s* tracks, int n) {
    TrackDetector detector(tracks, n, t.nvId);
    if (!detector.ok()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_trackdet_task: out of memory ?!?");
        return;
    }
    while (!t.stop.load()) {
        if (t.nvDue)
            t.nvDue = nvram_dbs_writeLater(NV_REC_TRACKDET, 0, &t.nvId, sizeof t.nvId, kTrackWhat) == 0;
        float lat = 0.0f, lon = 0.0f, dist = 0.0f;
        int index = -1;
        const TrackDetReason reason =
            readPosition(t, &lat, &lon, &dist) ? detector.cycle(lat, lon, dist, &index) : TRACKDET_NONE;
        if (reason != TRACKDET_NONE) {
            const tracks_s& k = tracks[index];
            int32_t code = 1;
            if (k.trackId != t.nvId) {
                code = 2;
                t.nvId = k.trackId;
                t.nvDue = nvram_dbs_writeLater(NV_REC_TRACKDET, 0, &t.nvId, sizeof t.nvId, kTrackWhat) == 0;
            }
            publish(t, k, code);
            logDecision(reason, k);
        }
        taskDelay(sysClkRateGet() / 4);
    }
}

void gps_trackdet_task() {
    TrackDet& t = td();
    while (driveAvailable("cfg:") != 0) {
        if (t.stop.load()) return;
        taskDelay(1);
    }
    tracks_s* loaded = nullptr;
    const int n = loadTracks(&loaded);
    // Freed also when the task is deleted while it waits.
    const std::unique_ptr<tracks_s, void (*)(void*)> tracks(loaded, std::free);
    if (n > 0) runDetection(t, tracks.get(), n);
}

} // namespace

void gps_trackdet_ini() {
    gps_trackdet_stop();
    TrackDet& t = td();
    clearResult(t);
    t.nvDue = false;
    int32_t id = -1;
    if (nvram_dbs_read(NV_REC_TRACKDET, 0, &id, sizeof id) < int(sizeof id)) {
        id = -1;
        t.nvDue = nvram_dbs_writeLater(NV_REC_TRACKDET, 0, &id, sizeof id, kTrackWhat) == 0;
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_trackdet_ini(): repaired nv object");
    }
    t.nvId = id;
    t.stop = false;
    t.task = taskSpawn("r_TrackDet", 126, VX_FP_TASK, 10000, gps_trackdet_task);
    if (t.task == TASK_ID_ERROR)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_trackdet_ini(): start of gps_trackdet_task task failed!");
}

void gps_trackdet_stop() {
    TrackDet& t = td();
    t.stop = true;
    if (t.task == TASK_ID_ERROR) return;
    taskDelete(t.task); // wakes its pause
    taskJoin(t.task, 5000);
    t.task = TASK_ID_ERROR;
}

int gps_trackdet_get(float lat, float lon, float dist, float* pointLat, float* pointLong, float* trackLen,
                     int32_t* trackId) {
    TrackDet& t = td();
    const int32_t code = t.res_new.exchange(0, std::memory_order_acq_rel);
    if (code != 0) {
        const uint32_t before = t.seq.load(std::memory_order_acquire);
        const float la = t.pointLat.load(std::memory_order_acquire);
        const float lo = t.pointLong.load(std::memory_order_acquire);
        const float len = t.trackLen.load(std::memory_order_acquire);
        const int32_t id = t.trackId.load(std::memory_order_acquire);
        if ((before & 1) == 0 && t.seq.load(std::memory_order_relaxed) == before) {
            if (pointLat) *pointLat = la;
            if (pointLong) *pointLong = lo;
            if (trackLen) *trackLen = len;
            if (trackId) *trackId = id;
            return code;
        }
        // The task is writing a newer decision: take it at the next call, never wait for it.
        int32_t none = 0;
        t.res_new.compare_exchange_strong(none, code, std::memory_order_acq_rel);
    }
    writePosition(t, lat, lon, dist);
    return 0;
}
