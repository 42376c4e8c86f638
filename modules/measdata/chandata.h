// Channel data: one measurement channel described by the attributes of an XML tag (the logging
// configuration's telemetry channels), read by its channel identifier.
//
// Values of this device are read through measurement handles. Values of other devices arrive
// through the measurement gateway: it registers a subscriber (chan_setRemoteSubscriber) that
// chan_meas_setup asks for such channels, and its data callback hands each value in with
// ChanData::putSample. Until a subscriber exists, channels of other devices cannot be set up.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "measdata/seram_meas.h"
#include "xml/xmlscan.h"

class ChanData {
public:
    // Builds the channel from the tag the scanner read last (`tok` holds that start tag):
    //   adr   hex, mandatory: measurement address, top byte the device PID (0 = this device)
    //   type  mandatory: UINT8, SINT8, UINT16, SINT16, UINT32, SINT32, FLOAT or BOOL
    //   mask  hex, optional (0 = none); a to f  float, optional, conversion
    //         (a x^2 + b x + c) / (d x^2 + e x + f), identity by default
    //   name, vtab  text, optional (the value table is kept, not applied)
    // A tag with content is read past up to its end tag; `tok` is left at the tag's last token.
    // Faults raise the XML readers' error texts with their position.
    ChanData(XmlScan* scanner, XmlTok_t* tok);
    ~ChanData();
    ChanData(const ChanData&) = delete;
    ChanData& operator=(const ChanData&) = delete;

    // The channel identifier of chan_meas_setup / chan_meas_getValue; never 0.
    uint32_t id() const { return id_; }
    const char* name() const { return name_; }
    const char* valueTable() const { return vtab_; }
    uint16_t pid() const { return static_cast<uint16_t>(address_ >> 24); }
    uint32_t address() const { return address_; }
    uint32_t mask() const { return mask_; }
    uint8_t typeCode() const { return typeCode_; } // raw data type code 0-7
    uint32_t valueSize() const;                    // bytes of the value, 1, 2 or 4

    // From the gateway: one value of another device, big-endian at the value's width.
    void putSample(const void* value);
    // From the gateway: the values stopped coming; the channel is invalid until the next one.
    void setTimeout();

private:
    friend uint8_t chan_meas_setup(uint32_t, uint16_t, uint16_t);
    friend uint8_t chan_meas_getValue(uint32_t, double*, uint32_t);

    bool isLocal() const;
    double convert(double raw, bool* valid) const;
    bool rawValue(double* raw); // under the registry lock

    uint32_t id_ = 0;
    char name_[255] = {};
    char vtab_[255] = {};
    uint32_t address_ = 0;
    uint32_t mask_ = 0;
    uint8_t shift_ = 0;
    uint8_t typeCode_ = 0;
    float a_ = 0, b_ = 1, c_ = 0, d_ = 0, e_ = 0, f_ = 1;

    bool setUp_ = false;
    bool subscribing_ = false; // a set-up waits for the gateway's subscription (registry unlocked)
    uint16_t rate_ = 0;
    uint16_t mode_ = 0;
    seramMeasHandle_t handle_{nullptr, SERAM_MEAS_NONE, 0};
    uint8_t sample_[4] = {}; // last value of another device, big-endian
    bool fresh_ = false;
};

// Registers the channel for reading at raster index `rate` (`mode` is kept for the channel's
// consumer). 1 when it can be read from now on; 0 for an unknown channel, an address of this
// device that nobody serves, or a channel of another device without a gateway subscriber. A
// channel already set up answers 1 again.
uint8_t chan_meas_setup(uint32_t channel, uint16_t rate, uint16_t mode);
// Non-zero with the channel's current converted value when it is valid; 0 otherwise (not set
// up, no value of the other device yet or timed out, conversion undefined).
uint8_t chan_meas_getValue(uint32_t channel, double* value, uint32_t flags);

// The measurement gateway's subscription for channels of other devices: true when it will
// deliver the channel's values (through putSample) from now on.
using ChanRemoteSubscriber = std::function<bool(ChanData& channel, uint16_t rate, uint16_t mode)>;
// Called when a subscribed channel goes away; once it returns, no value is handed in any more.
using ChanRemoteUnsubscriber = std::function<void(ChanData& channel)>;
void chan_setRemoteSubscriber(ChanRemoteSubscriber subscriber, ChanRemoteUnsubscriber unsubscriber = nullptr);
