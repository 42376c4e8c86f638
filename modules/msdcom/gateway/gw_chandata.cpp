// Channel data of other devices through the gateway: each such channel becomes one shared
// single-value subscription at the channel's raster, whose records hand the value to the channel.
//
// A channel that goes away kills its subscription first, so that no record reaches it afterwards.
#include "measdata/chandata.h"
#include "msdcom/gateway/gw_meas.h"

#include <map>
#include <mutex>

namespace {

uint32_t chanDataEvent(uint32_t event, void* data, void* user) {
    auto* channel = static_cast<ChanData*>(user);
    if (event == GW_EVT_OK) {
        if (!data) return 0;
        channel->putSample(static_cast<const uint8_t*>(data) + 4); // after the time stamp
        return 1;
    }
    if (event == GW_EVT_NODATA || event == GW_EVT_OFFLINE) channel->setTimeout();
    return 0;
}

uint32_t chanStartEvent(uint32_t event, void*, void* user) {
    if (event == GW_EVT_REFUSED || event == GW_EVT_LOST || event == GW_EVT_TOO_LONG)
        static_cast<ChanData*>(user)->setTimeout();
    return 0;
}

const callback_list kChanCallbacks = {{
    {nullptr, 0},
    {chanDataEvent, 100},
    {nullptr, 0},
    {chanStartEvent, 0},
    {nullptr, 0},
    {nullptr, 0},
}};

gw_connection* gChanConnection = nullptr;
std::mutex gSubsMutex;
std::map<const ChanData*, uint32_t> gSubs; // channel -> its subscription

uint32_t markerOf(uint32_t valueSize) {
    switch (valueSize) {
    case 4:
        return 0xFFFFFFFC;
    case 2:
        return 0xFFFFFFFE;
    default:
        return 0xFFFFFFFF;
    }
}

bool subscribeChannel(ChanData& channel, uint16_t rate, uint16_t) {
    // The device resolves the address as its own: the PID byte stays here.
    const uint32_t list[4] = {markerOf(channel.valueSize()), channel.address() & 0x00FFFFFFu, 0, 0};
    const uint32_t sub =
        gw_setup_list(gChanConnection, list, &channel, sizeof(list), rate, channel.pid(), 0, 0, 1, 4, 8, 5);
    if (sub == 0) return false;
    {
        std::lock_guard<std::mutex> lk(gSubsMutex);
        gSubs[&channel] = sub;
    }
    gw_start_list(sub);
    return true;
}

void unsubscribeChannel(ChanData& channel) {
    uint32_t sub = 0;
    {
        std::lock_guard<std::mutex> lk(gSubsMutex);
        auto it = gSubs.find(&channel);
        if (it == gSubs.end()) return;
        sub = it->second;
        gSubs.erase(it);
    }
    gw_kill_list(sub); // under the gateway mutex: no delivery to the channel runs past it
}

} // namespace

bool gw_chandata_ini() {
    gChanConnection = gw_connect(&kChanCallbacks);
    if (!gChanConnection) return false;
    chan_setRemoteSubscriber(subscribeChannel, unsubscribeChannel);
    return true;
}

bool gw_init() {
    return gw_meas_ini() && gw_chandata_ini();
}
