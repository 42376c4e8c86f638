#include "measdata/chandata.h"

#include "measdata/chantype.h"
#include "measdata/meascalinfo.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "xml/xmltagparser.h"
#include "xml/xmlvtabparser.h"

#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <unordered_map>

namespace {

// The names of the XML channel types.
constexpr struct {
    const char* name;
    TypeEnum_t xmlType;
} kTypes[] = {{"UINT8", TYPE_UINT8},   {"SINT8", TYPE_SINT8},   {"UINT16", TYPE_UINT16}, {"SINT16", TYPE_SINT16},
              {"UINT32", TYPE_UINT32}, {"SINT32", TYPE_SINT32}, {"FLOAT", TYPE_FLOAT},   {"BOOL", TYPE_BOOL}};

struct Registry {
    std::mutex lock;
    std::condition_variable subscribed; // a channel's subscription came to an end, either way
    std::unordered_map<uint32_t, ChanData*> channels;
    uint32_t nextId = 1;
    ChanRemoteSubscriber subscriber;
    ChanRemoteUnsubscriber unsubscriber;
};

Registry& registry() {
    static Registry r;
    return r;
}

uint8_t trailingZeros(uint32_t mask) {
    return mask == 0 ? 0 : static_cast<uint8_t>(std::countr_zero(mask));
}

} // namespace

ChanData::ChanData(XmlScan* scanner, XmlTok_t* tok) {
    XmlVTabParser types(static_cast<int>(std::size(kTypes)));
    for (const auto& t : kTypes) {
        types.addPair(t.name, t.xmlType);
    }
    uint16_t xmlType = 0;
    XmlTagParser parser(11);
    parser.addAttribute("name", name_, sizeof(name_), XMLTYPE_TEXT, true);
    parser.addAttribute("adr", &address_, sizeof(address_), XMLTYPE_HEX);
    parser.addAttribute("mask", &mask_, sizeof(mask_), XMLTYPE_HEX, true);
    parser.addAttributeVTab("type", &types, &xmlType, sizeof(xmlType));
    parser.addAttribute("a", &a_, sizeof(a_), XMLTYPE_FLOAT, true);
    parser.addAttribute("b", &b_, sizeof(b_), XMLTYPE_FLOAT, true);
    parser.addAttribute("c", &c_, sizeof(c_), XMLTYPE_FLOAT, true);
    parser.addAttribute("d", &d_, sizeof(d_), XMLTYPE_FLOAT, true);
    parser.addAttribute("e", &e_, sizeof(e_), XMLTYPE_FLOAT, true);
    parser.addAttribute("f", &f_, sizeof(f_), XMLTYPE_FLOAT, true);
    parser.addAttribute("vtab", vtab_, sizeof(vtab_), XMLTYPE_TEXT, true);
    if (parser.parse(scanner) == XMLTOK_TAG_END && tok != nullptr) {
        scanner->scanOverTag(*tok); // a channel has no content of its own
    }
    typeCode_ = chantype_rawCode(xmlType); // the value table admits only the eight types
    shift_ = trailingZeros(mask_);

    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    do {
        id_ = r.nextId++;
    } while (id_ == 0 || r.channels.count(id_) != 0);
    r.channels[id_] = this;
}

ChanData::~ChanData() {
    Registry& r = registry();
    ChanRemoteUnsubscriber unsubscribe;
    {
        std::unique_lock<std::mutex> guard(r.lock);
        // A subscription under way is finished first, so that it is ended below and the gateway
        // never hands a value to a channel that is gone.
        r.subscribed.wait(guard, [this] { return !subscribing_; });
        r.channels.erase(id_); // no set-up finds the channel any more
        if (setUp_ && !isLocal()) unsubscribe = r.unsubscriber;
    }
    // Without the registry lock: the gateway hands values in under its own lock, then takes ours.
    if (unsubscribe) unsubscribe(*this);
    std::lock_guard<std::mutex> guard(r.lock);
    seramMeasFreeMeas(&handle_);
}

uint32_t ChanData::valueSize() const {
    const uint32_t size = getSizeofType(typeCode_);
    return size != 0 ? size : 1; // a flag (code 7) is one byte
}

bool ChanData::isLocal() const {
    return pid() == 0 || pid() == app_pid;
}

void ChanData::putSample(const void* value) {
    if (value == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(registry().lock);
    std::memcpy(sample_, value, valueSize());
    fresh_ = true;
}

void ChanData::setTimeout() {
    std::lock_guard<std::mutex> guard(registry().lock);
    fresh_ = false;
}

bool ChanData::rawValue(double* raw) {
    uint8_t be[4] = {};
    if (isLocal()) {
        seramMeasCopy_bigEndian(be, valueSize(), &handle_);
    } else if (fresh_) {
        std::memcpy(be, sample_, valueSize());
    } else {
        return false;
    }
    uint32_t u = 0;
    for (uint32_t i = 0; i < valueSize(); ++i) {
        u = (u << 8) | be[i];
    }
    switch (typeCode_) {
    case 0:
        *raw = static_cast<int8_t>(u) >> shift_;
        break;
    case 2:
        *raw = static_cast<int16_t>(u) >> shift_;
        break;
    case 4:
        *raw = static_cast<int32_t>(u) >> shift_;
        break;
    case 6:
        *raw = std::bit_cast<float>(u);
        break;
    default:
        *raw = static_cast<double>((mask_ != 0 ? (u & mask_) : u) >> shift_);
        break;
    }
    return true;
}

double ChanData::convert(double x, bool* valid) const {
    const double num = (a_ * x + b_) * x + c_;
    const double den = (d_ * x + e_) * x + f_;
    const double v = num / den;
    *valid = den != 0.0 && std::isfinite(v);
    return v;
}

void chan_setRemoteSubscriber(ChanRemoteSubscriber subscriber, ChanRemoteUnsubscriber unsubscriber) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.subscriber = std::move(subscriber);
    r.unsubscriber = std::move(unsubscriber);
}

uint8_t chan_meas_setup(uint32_t channel, uint16_t rate, uint16_t mode) {
    Registry& r = registry();
    std::unique_lock<std::mutex> guard(r.lock);
    // A set-up of the same channel that is subscribing decides for this one too.
    r.subscribed.wait(guard, [&] {
        const auto pending = r.channels.find(channel);
        return pending == r.channels.end() || !pending->second->subscribing_;
    });
    const auto it = r.channels.find(channel);
    if (it == r.channels.end()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "chan_meas_setup(): unknown channel %u",
                          static_cast<unsigned>(channel));
        return 0;
    }
    ChanData& ch = *it->second;
    if (ch.setUp_) {
        return 1;
    }
    if (ch.isLocal()) {
        seramMeasSetupMeas(ch.address_, rate, &ch.handle_);
        if (ch.handle_.kind == SERAM_MEAS_DUMMY) {
            seramMeasFreeMeas(&ch.handle_);
            return 0;
        }
    } else {
        const ChanRemoteSubscriber subscribe = r.subscriber;
        if (!subscribe) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "chan_meas_setup(): channel '%s' of PID %u needs the measurement gateway",
                              ch.name_, static_cast<unsigned>(ch.pid()));
            return 0;
        }
        // The gateway may hand values in (putSample) while it subscribes. The channel stays:
        // its destructor waits for the subscription.
        ch.subscribing_ = true;
        guard.unlock();
        bool subscribed = false;
        try {
            subscribed = subscribe(ch, rate, mode);
        } catch (...) {
            guard.lock();
            ch.subscribing_ = false;
            r.subscribed.notify_all();
            throw;
        }
        guard.lock();
        ch.subscribing_ = false;
        r.subscribed.notify_all();
        if (!subscribed) {
            return 0;
        }
    }
    ch.setUp_ = true;
    ch.rate_ = rate;
    ch.mode_ = mode;
    return 1;
}

uint8_t chan_meas_getValue(uint32_t channel, double* value, uint32_t) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    const auto it = r.channels.find(channel);
    if (it == r.channels.end() || !it->second->setUp_ || value == nullptr) {
        return 0;
    }
    double raw = 0;
    if (!it->second->rawValue(&raw)) {
        return 0;
    }
    bool valid = false;
    const double converted = it->second->convert(raw, &valid);
    if (!valid) {
        return 0;
    }
    *value = converted;
    return 1;
}
