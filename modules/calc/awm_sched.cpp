#include "calc/awm_sched.h"

#include "calc/awm_fir.h"
#include "framework/syslog.h"

#include <new>

awm_sched_node* awm_cyclic_head[AWM_SCHED_QUEUES];
awm_sched_node* awm_cyclic_tail[AWM_SCHED_QUEUES];
SEM_ID awm_sched_semaphore = nullptr;
std::atomic<uint8_t> AWM_sched_STOP{0};

namespace {

bool lock() {
    return awm_sched_semaphore != nullptr && semTake(awm_sched_semaphore, WAIT_FOREVER) == OK;
}

void unlock() {
    semGive(awm_sched_semaphore);
}

// A node for `raster`, or null (logged) when the raster has no queue or nothing can be queued.
awm_sched_node* newNode(const char* who, awm_sched_fn function, void* instance, uintptr_t user,
                        uint16_t raster) {
    if (raster >= AWM_SCHED_QUEUES) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "%s(): raster index %u refused, only %u queues", who,
                          unsigned(raster), unsigned(AWM_SCHED_QUEUES));
        return nullptr;
    }
    if (awm_sched_semaphore == nullptr) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "%s(): queues not initialised", who);
        return nullptr;
    }
    return new (std::nothrow) awm_sched_node{function, instance, nullptr, nullptr, raster, user};
}

awm_sched_node* enqueue(const char* who, awm_sched_fn function, void* instance, uintptr_t user,
                        uint16_t raster, bool atHead) {
    awm_sched_node* n = newNode(who, function, instance, user, raster);
    if (n == nullptr || !lock()) {
        delete n;
        return nullptr;
    }
    awm_sched_node*& end = atHead ? awm_cyclic_head[raster] : awm_cyclic_tail[raster];
    awm_sched_node*& otherEnd = atHead ? awm_cyclic_tail[raster] : awm_cyclic_head[raster];
    if (atHead)
        n->next = end;
    else
        n->previous = end;
    if (end != nullptr)
        (atHead ? end->previous : end->next) = n;
    else
        otherEnd = n; // the queue was empty
    end = n;
    unlock();
    return n;
}

} // namespace

void awm_sched_common_ini() {
    for (uint16_t r = 0; r < AWM_SCHED_QUEUES; ++r) {
        awm_cyclic_head[r] = nullptr;
        awm_cyclic_tail[r] = nullptr;
    }
    if (awm_sched_semaphore != nullptr) return; // one lock for the life of the process
    awm_sched_semaphore = semCCreate(SEM_Q_PRIORITY, 1);
    if (awm_sched_semaphore == nullptr) syslogx(LOG_PRIO_ERR2, "awm_sched_common_ini(): semCCreate failed");
}

awm_sched_node* awm_sched_queue_head(awm_sched_fn function, void* instance, uint16_t raster) {
    return enqueue("awm_sched_queue_head", function, instance, 0, raster, true);
}

awm_sched_node* awm_sched_queue_tail(awm_sched_fn function, void* instance, uintptr_t user, uint16_t raster) {
    return enqueue("awm_sched_queue_tail", function, instance, user, raster, false);
}

void awm_sched_unqueue(awm_sched_node* node) {
    if (node == nullptr || !lock()) return;
    const uint16_t r = node->raster;
    if (node->previous != nullptr)
        node->previous->next = node->next;
    else
        awm_cyclic_head[r] = node->next;
    if (node->next != nullptr)
        node->next->previous = node->previous;
    else
        awm_cyclic_tail[r] = node->previous;
    unlock();
    delete node;
}

void awm_sched_call(uint16_t raster, uint32_t timestamp) {
    if (AWM_sched_STOP.load(std::memory_order_relaxed) != 0 || raster >= AWM_SCHED_QUEUES) return;
    if (!lock()) return;
    for (awm_sched_node* n = awm_cyclic_head[raster]; n != nullptr; n = n->next)
        if (n->function != nullptr) n->function(n->instance, timestamp);
    unlock();
}

uintptr_t awm_sched_check_filter_in_queue(uint32_t channelId, uint16_t raster, awm_sched_fn function) {
    if (channelId == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "awm_sched_check_in_queue: invalid instance handle for AWM sched ");
        return 0;
    }
    if (raster >= AWM_SCHED_QUEUES || !lock()) return 0;
    const auto pid = uint8_t(channelId >> 24);
    const auto channel = uint16_t((channelId >> 8) & 0x3FFu);
    uintptr_t found = 0;
    for (awm_sched_node* n = awm_cyclic_head[raster]; n != nullptr && found == 0; n = n->next) {
        if (n->function != function || n->instance == nullptr) continue;
        if (awm_fir_filter_get_pid(n->instance) == pid && awm_fir_filter_get_VC_NUM(n->instance) == channel &&
            awm_fir_filter_get_raster(n->instance) == raster)
            found = n->user;
    }
    unlock();
    return found;
}
