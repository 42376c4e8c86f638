// Reader of "cfg:rtracks.xml": a root element Tracks with groups BaseTracks and CustomTracks (both
// with version and num), each holding empty track elements (name, trackId, latitude, longitude,
// tracklen). Any fault fails the whole file: no track detection rather than a partial list.
#include "laptiming/gps_trackdet.h"

#include "framework/syslog.h"
#include "xml/xmlerror.h"
#include "xml/xmlscan.h"
#include "xml/xmltagparser.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool isStart(XmlTokType_t type) {
    return type == XMLTOK_START || type == XMLTOK_START_ATTR;
}

} // namespace

tracksXmlLoad::tracksXmlLoad() {
    groupParser_ = new XmlTagParser(2);
    groupParser_->addAttribute("version", &version_, sizeof version_, XMLTYPE_SIGNED);
    groupParser_->addAttribute("num", &num_, sizeof num_, XMLTYPE_SIGNED);
    trackParser_ = new XmlTagParser(5);
    trackParser_->addAttribute("name", name_, sizeof name_, XMLTYPE_TEXT);
    trackParser_->addAttribute("trackId", &trackId_, sizeof trackId_, XMLTYPE_SIGNED);
    trackParser_->addAttribute("latitude", &latitude_, sizeof latitude_, XMLTYPE_FLOAT);
    trackParser_->addAttribute("longitude", &longitude_, sizeof longitude_, XMLTYPE_FLOAT);
    trackParser_->addAttribute("tracklen", &tracklen_, sizeof tracklen_, XMLTYPE_FLOAT);
}

tracksXmlLoad::~tracksXmlLoad() {
    delete scanner_;
    delete groupParser_;
    delete trackParser_;
    std::free(tracks_);
}

void tracksXmlLoad::extendTracks(int64_t n) {
    if (n <= capacity_) return;
    if (n < 0 || n > TRACKS_MAX) throw XmlError("track count out of range", scanner_);
    const int64_t capacity = 2 * n;
    void* grown = std::realloc(tracks_, size_t(capacity) * sizeof(tracks_s));
    if (grown == nullptr) throw XmlError("out of memory!!!", scanner_);
    tracks_ = static_cast<tracks_s*>(grown);
    capacity_ = capacity;
}

void tracksXmlLoad::append(const tracks_s& t) {
    if (count_ >= capacity_) extendTracks(count_ + 1);
    tracks_[count_++] = t;
}

void tracksXmlLoad::addTrack(tracks_s** tracks, float latitude, float longitude, float tracklen,
                             int32_t trackId) {
    append({longitude, latitude, tracklen, trackId, 0.0f});
    if (tracks != nullptr) {
        *tracks = tracks_;
        tracks_ = nullptr;
        capacity_ = 0;
        count_ = 0;
    }
}

void tracksXmlLoad::skipElement() {
    XmlTok_t tok;
    scanner_->scanOverTag(tok);
}

void tracksXmlLoad::readGroup() {
    if (groupParser_->parse(scanner_) == XMLTOK_EMPTY_END) return; // a group without tracks
    if (num_ < 0 || num_ > TRACKS_MAX - count_) throw XmlError("attribute num out of range", scanner_);
    extendTracks(count_ + num_);
    const int64_t groupEnd = count_ + num_;
    XmlTok_t tok;
    for (;;) {
        const XmlTokType_t type = scanner_->getTok(tok);
        if (type == XMLTOK_END || type == XMLTOK_EOF) return;
        if (!isStart(type)) continue;
        if (tok.name != "track") {
            skipElement();
            continue;
        }
        if (count_ >= groupEnd)
            throw XmlError("parsed more track elements than mentioned in header", scanner_);
        if (trackParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("/> expected", scanner_);
        tracks_[count_++] = {longitude_, latitude_, tracklen_, trackId_, 0.0f};
    }
}

void tracksXmlLoad::readTracksElement() {
    XmlTok_t tok;
    // Its attributes are not used.
    if (scanner_->lastType() == XMLTOK_START_ATTR && scanner_->skipAttributes(tok) == XMLTOK_EMPTY_END)
        return;
    for (;;) {
        const XmlTokType_t type = scanner_->getTok(tok);
        if (type == XMLTOK_END || type == XMLTOK_EOF) return;
        if (!isStart(type)) continue;
        // Groups without attributes are passed over with their content, as is everything else.
        if (type == XMLTOK_START_ATTR && (tok.name == "BaseTracks" || tok.name == "CustomTracks"))
            readGroup();
        else
            skipElement();
    }
}

int tracksXmlLoad::getTracks(const char* text, tracks_s** tracks) {
    try {
        delete scanner_;
        scanner_ = nullptr;
        scanner_ = new XmlScan(text != nullptr ? text : "");
        XmlTok_t tok;
        for (;;) {
            const XmlTokType_t type = scanner_->getTok(tok);
            if (type == XMLTOK_EOF) break;
            if (isStart(type) && tok.name == "Tracks") readTracksElement();
        }
    } catch (const char* message) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "getTracks: %s", message);
        throw;
    }
    const int n = int(count_);
    *tracks = tracks_;
    tracks_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    return n;
}

int xml_load_tracks(const char* text, tracks_s** tracks) {
    *tracks = nullptr;
    try {
        tracksXmlLoad loader;
        tracks_s* loaded = nullptr;
        const int n = loader.getTracks(text, &loaded);
        if (n > 0) {
            *tracks = loaded;
            return n;
        }
        std::free(loaded);
        return 0;
    } catch (const char*) {
    } catch (const std::bad_alloc&) {
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                      "xml_load_tracks(): parsing trackdetection tracks failed, no track detection");
    return 0;
}
