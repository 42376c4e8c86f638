// The event set: the reader of "cfg:/eventcfg.xml" with its checks and corrections, and the 10 ms
// check of every event's input.
#include "logging/events/eventchannels.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/events/eventlogging.h"
#include "measdata/seram.h"
#include "xml/xmlerror.h"
#include "xml/xmlfile.h"
#include "xml/xmlscan.h"
#include "xml/xmltagparser.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

struct Named {
    const char* name;
    uint8_t value;
};
constexpr Named kEdges[] = {
    {"rising", EVCH_EDGE_RISING}, {"falling", EVCH_EDGE_FALLING}, {"both", EVCH_EDGE_BOTH}};
constexpr Named kSeverities[] = {{"Info", 6}, {"Warning", 4}, {"Error", 3}, {"Alert", 1}};

template <size_t N> bool lookup(const Named (&table)[N], const char* name, uint8_t* value) {
    for (const Named& n : table) {
        if (std::strcmp(n.name, name) == 0) {
            *value = n.value;
            return true;
        }
    }
    return false;
}

bool isStart(XmlTokType_t type) {
    return type == XMLTOK_START || type == XMLTOK_START_ATTR;
}

std::atomic<bool> gBuilt{false}; // one set per run
uint8_t gLockLog = 0;
uint8_t gSetupLog = 0;
uint8_t gDestroyLog = 0;

} // namespace

eventchannels::eventchannels(const char* fileName) {
    if (gBuilt.exchange(true)) {
        syslogx(LOG_PRIO_ERR, "eventchannels::eventchannels(): init called a 2nd time?!");
        return;
    }
    owner_ = true;
    try {
        mutex_ = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (mutex_ == SEM_ID_NULL) throw "could not create semaphore";
        eventParser_ = new XmlTagParser(7);
        eventParser_->addAttribute("name", name_, sizeof name_, XMLTYPE_TEXT);
        eventParser_->addAttribute("text", text_, sizeof text_, XMLTYPE_TEXT);
        eventParser_->addAttribute("evMeasChDelayTime", &delay_, sizeof delay_, XMLTYPE_UNSIGNED);
        eventParser_->addAttribute("severity", severity_, sizeof severity_, XMLTYPE_TEXT);
        eventParser_->addAttribute("triggerEdge", edge_, sizeof edge_, XMLTYPE_TEXT);
        eventParser_->addAttribute("eventId", &eventId_, sizeof eventId_, XMLTYPE_UNSIGNED);
        eventParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_UNSIGNED);
        manager_ = new EventChDataManager();
        file_ = new XmlFile(fileName);
        scanner_ = file_->getScanner();

        XmlTok_t tok;
        int depth = 0;
        for (;;) {
            const XmlTokType_t type = scanner_->getTok(tok);
            if (type == XMLTOK_EOF) break;
            if (isStart(type) && tok.name == "EventList") {
                readEventList();
                continue;
            }
            depth += XmlScan::getNesting(tok);
            if (depth < 0) throw XmlError("unexpected tag close", scanner_);
        }
        manager_->createMeaslists();
        manager_->startMeasurement();
        SYSLOGX_FLOOD(gSetupLog, LOG_PRIO_INFO, "Eventlogging channel setup with %d/%d events", count_,
                      EVCH_MAX_EVENTS);
        evch::initEventConfigXML.store(true);
    } catch (...) {
        release();
        throw;
    }
}

eventchannels::~eventchannels() {
    if (!owner_) return;
    if (semTake(mutex_, WAIT_FOREVER) != OK)
        SYSLOGX_FLOOD(gDestroyLog, LOG_PRIO_ERR,
                      "eventchannels::~eventchannels(): could not take semaphore (%s)", std::strerror(errno));
    release();
}

// Everything the set holds; it can be built again afterwards.
void eventchannels::release() {
    delete eventParser_;
    eventParser_ = nullptr;
    delete file_;
    file_ = nullptr;
    scanner_ = nullptr;
    while (EventRecord* e = events_) {
        events_ = e->next;
        delete e;
    }
    count_ = 0;
    delete manager_; // disconnects, the lists with their inputs
    manager_ = nullptr;
    if (mutex_ != SEM_ID_NULL) {
        semDelete(mutex_);
        mutex_ = SEM_ID_NULL;
    }
    evch::initEventConfigXML.store(false);
    gBuilt.store(false);
}

void eventchannels::readEventList() {
    XmlTok_t tok;
    if (scanner_->lastType() == XMLTOK_START_ATTR && scanner_->skipAttributes(tok) == XMLTOK_EMPTY_END)
        return;
    for (;;) {
        const XmlTokType_t type = scanner_->getTok(tok);
        if (type == XMLTOK_END || type == XMLTOK_EOF) return;
        if (!isStart(type)) continue;
        if (tok.name != "Event") {
            scanner_->scanOverTag(tok);
            continue;
        }
        std::memset(name_, 0, sizeof name_);
        std::memset(text_, 0, sizeof text_);
        std::memset(severity_, 0, sizeof severity_);
        std::memset(edge_, 0, sizeof edge_);
        if (eventParser_->parse(scanner_) == XMLTOK_EMPTY_END) continue; // an event without content
        readEvent();
    }
}

void eventchannels::readEvent() {
    EventChData* input = nullptr;
    XmlTok_t tok;
    for (;;) {
        const XmlTokType_t type = scanner_->getTok(tok);
        if (type == XMLTOK_END || type == XMLTOK_EOF) break;
        if (!isStart(type)) continue;
        if (tok.name != "triggerInput") {
            scanner_->scanOverTag(tok);
            continue;
        }
        input = new EventChData(scanner_);
        // The manager owns the channel from here on (before anything else can raise); one without
        // a type is deleted at once.
        const bool typed = input->valueSize() != 0;
        manager_->addData(input, EVCH_RASTER);
        if (!typed) input = nullptr;
        if (scanner_->lastType() == XMLTOK_TAG_END) scanner_->scanOverTag(tok);
    }
    addEvent(input);
}

void eventchannels::addEvent(EventChData* input) {
    if (idx_ >= EVCH_MAX_EVENTS) throw XmlError("illegal index", scanner_);
    uint32_t delay = delay_;
    if (delay > EVCH_MAX_DELAY_MS) {
        syslogx(LOG_PRIO_ERR, "eventchannels::eventchannels(): illegal delay time %u ms, using %u ms instead",
                unsigned(delay), unsigned(EVCH_MAX_DELAY_MS));
        delay = EVCH_MAX_DELAY_MS;
    }
    if (delay > 10) delay -= 10;
    uint8_t edge = 0, severity = 0;
    if (!lookup(kEdges, edge_, &edge)) throw XmlError("illegal trigger mode", scanner_);
    if (!lookup(kSeverities, severity_, &severity)) throw XmlError("unsupported severity", scanner_);
    if (count_ >= EVCH_MAX_EVENTS) throw XmlError("events exceed supported number", scanner_);

    auto* e = new EventRecord{};
    e->eventId = EVCH_EVENT_ID_BASE + (idx_ & 0xFFFFFFu);
    std::memcpy(e->name, name_, sizeof e->name - 1);
    std::memcpy(e->text, text_, sizeof e->text - 1);
    e->index = static_cast<uint8_t>(idx_);
    e->holdCycles = static_cast<uint8_t>(delay / 10);
    e->severity = severity;
    e->edge = edge;
    e->time = time_getTimestamp();
    e->input = input;
    e->next = events_;
    events_ = e;
    ++count_;
}

void eventchannels::cyclic() {
    if (!owner_) return;
    if (semTake(mutex_, WAIT_FOREVER) != OK) {
        SYSLOGX_FLOOD(gLockLog, LOG_PRIO_ERR, "eventchannels::cyclic(): could not take semaphore (%s)",
                      std::strerror(errno));
        return;
    }
    const uint32_t now = time_getTimestamp();
    uint8_t* flags = seramSig().Cfg_events_arr.data();
    for (EventRecord* e = events_; e; e = e->next) {
        uint8_t u = 0, v = 0;
        if (e->input) {
            u = e->input->getMeasUpdateState();
            long q = 0;
            e->input->getQuantData(q);
            v = q != 0;
        }
        bool fire = false;
        evlog_event_t ev{e->eventId, now, 0, EVCH_KIND, e->severity};
        // A change seen on two consecutive valid readings.
        if (u && e->lastUpdate && v != e->lastValue) {
            switch (e->edge) {
            case EVCH_EDGE_RISING:
                fire = v == 1;
                break;
            case EVCH_EDGE_FALLING:
                fire = v == 0;
                break;
            default: // both: opened at the rising edge, closed with its duration at the falling one
                if (v == 1) {
                    e->time = now;
                    ev.duration = EVLOG_DURATION_NONE;
                } else {
                    ev.duration = now - e->time;
                }
                ev.timestamp = e->time;
                fire = true;
                break;
            }
        }
        if (fire) {
            flags[e->index] = 1;
            e->holdCounter = e->holdCycles;
        } else {
            if (e->holdCounter > 0) --e->holdCounter;
            if (e->holdCounter == 0) flags[e->index] = 0;
        }
        e->lastValue = v;
        e->lastUpdate = u;
        if (fire) eventlogging_send(&ev, e->name, e->text);
    }
    semGive(mutex_);
}
