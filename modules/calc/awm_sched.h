// The raster queues of the calculation channels: one doubly linked call queue per raster index
// (0..19). A channel's cyclic function goes in at the head of its raster, a measurement's measure
// function at the tail, so in every raster all cyclic functions run before all measure functions.
// The calculation task calls the queue of each due raster index 0..9 once per tick.
//
// One lock guards all queues and is held for a whole walk: queueing from another task waits until
// the walk is done, and a queued function must never queue or unqueue (the lock is not recursive).
#pragma once

#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>

inline constexpr uint16_t AWM_SCHED_QUEUES = 20;

using awm_sched_fn = void (*)(void* instance, uint32_t timestamp);

struct awm_sched_node {
    awm_sched_fn function; // null: skipped
    void* instance;
    awm_sched_node* previous; // null at the head
    awm_sched_node* next;     // null at the tail
    uint16_t raster;
    // The caller's word: 0 at the head; for measure nodes the address of the measurement's handle
    // (pointer-sized, so it is never cut).
    uintptr_t user;
};

extern awm_sched_node* awm_cyclic_head[AWM_SCHED_QUEUES];
extern awm_sched_node* awm_cyclic_tail[AWM_SCHED_QUEUES];
// Counting semaphore, initial count 1, used as a (non-recursive) mutex.
extern SEM_ID awm_sched_semaphore;
// While non-zero no queue is called; read without the lock.
extern std::atomic<uint8_t> AWM_sched_STOP;

// Empties every queue (nodes still queued are not freed) and creates the lock once; logs
// "awm_sched_common_ini(): semCCreate failed" when it cannot.
void awm_sched_common_ini();
// A new node with user 0 at the head of `raster`'s queue; null when it cannot be allocated or the
// raster index is 20 or more (logged, nothing queued).
awm_sched_node* awm_sched_queue_head(awm_sched_fn function, void* instance, uint16_t raster);
// A new node at the tail; null as above.
awm_sched_node* awm_sched_queue_tail(awm_sched_fn function, void* instance, uintptr_t user, uint16_t raster);
// Unlinks and frees the node (waits for a running walk); null is ignored.
void awm_sched_unqueue(awm_sched_node* node);
// Unless stopped: calls every node of the raster, head to tail, under the lock.
void awm_sched_call(uint16_t raster, uint32_t timestamp);
// The user word of a node of `raster` whose function is `function` and whose instance is a filter
// instance (awm_fir.h) of the PID channelId >> 24, the channel (channelId >> 8) & 0x3FF and that
// raster; 0 when none. A channelId of 0 is refused (logged).
uintptr_t awm_sched_check_filter_in_queue(uint32_t channelId, uint16_t raster, awm_sched_fn function);
