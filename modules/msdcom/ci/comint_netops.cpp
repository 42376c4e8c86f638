#include "msdcom/ci/comint_netops.h"

#include "msdcom/ci/dynkomm.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace {

uint16_t noLink(const comint_msg*) {
    return 0;
}
int noChannel() {
    return 0;
}
void noSenderList(dynkomm_fifo*) {}
int notListed(dynkomm_fifo*) {
    return 0;
}

uint32_t createSink(uint32_t handle, uint16_t src_pid, uint16_t own_pid, uint16_t raster, uint16_t depth,
                    uint16_t slot_size, uint16_t flags) {
    return dynkomm_fifo_create(handle, src_pid, 0, own_pid, raster, depth, slot_size, flags) ? handle : 0;
}

uint32_t noSource(uint32_t, uint32_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t) {
    return 0;
}

int deleteSource(dynkomm_fifo* fifo) {
    return fifo ? msdcom_net().SerNet_man_stop_sending(fifo) : 0;
}
int deleteSink(dynkomm_fifo* fifo) {
    return msdcom_net().SerNet_man_release_fifo(fifo);
}

const msdcom_netops kDefaults{
    noLink,     noLink,   noChannel,    noSenderList, notListed, dynkomm_fifo_release, dynkomm_fifo_prepare,
    createSink, noSource, deleteSource, deleteSink,
};

std::mutex gInstallLock;
// Every installed table stays valid for readers that still hold it, up to the process end.
std::deque<msdcom_netops>& installed() {
    static std::deque<msdcom_netops>* d = new std::deque<msdcom_netops>;
    return *d;
}
std::atomic<const msdcom_netops*> gCurrent{&kDefaults};

template <typename F> void keep(F& target, F source) {
    if (source) target = source;
}

} // namespace

void msdcom_netops_install(const msdcom_netops& ops) {
    msdcom_netops merged = kDefaults;
    keep(merged.comint_put_eth, ops.comint_put_eth);
    keep(merged.comint_put_locSock, ops.comint_put_locSock);
    keep(merged.comint_status, ops.comint_status);
    keep(merged.SerNet_man_start_sending, ops.SerNet_man_start_sending);
    keep(merged.SerNet_man_stop_sending, ops.SerNet_man_stop_sending);
    keep(merged.SerNet_man_release_fifo, ops.SerNet_man_release_fifo);
    keep(merged.sernet_man_fifo_prepare_sink, ops.sernet_man_fifo_prepare_sink);
    keep(merged.sernet_man_fifo_create_sink, ops.sernet_man_fifo_create_sink);
    keep(merged.sernet_man_fifo_create_source, ops.sernet_man_fifo_create_source);
    keep(merged.sernet_man_fifo_delete_source, ops.sernet_man_fifo_delete_source);
    keep(merged.sernet_man_fifo_delete_sink, ops.sernet_man_fifo_delete_sink);
    std::lock_guard<std::mutex> g(gInstallLock);
    installed().push_back(merged);
    gCurrent.store(&installed().back(), std::memory_order_release);
}

void msdcom_netops_reset() {
    gCurrent.store(&kDefaults, std::memory_order_release);
}

const msdcom_netops& msdcom_net() {
    return *gCurrent.load(std::memory_order_acquire);
}

const msdcom_netops& msdcom_netops_defaults() {
    return kDefaults;
}
