// The command interpreter ("comint"): where CI messages meet. Any task hands a message to
// comint_put_cmd, which queues it for the command task "r_Comint" or sends it on towards another
// PID; "r_Comint" serves messages addressed to this device through the command table
// (ci_table.h) and forwards the rest.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

inline constexpr int COMINT_QUEUE_MSGS = 512;
inline constexpr int COMINT_TASK_PRIORITY = 73;
inline constexpr int COMINT_TASK_STACK = 50000;

// Start-up, after routing_ini: creates the command queue and spawns "r_Comint". False when either
// failed (logged at 146).
bool comint_ini();

// The way for every task to send a CI message. flag 1: hand it to "r_Comint" (the usual choice);
// flag 0: route it at once (r_Comint itself, the CI link receivers, the ping sender). The message
// is read, not kept. 1 accepted, 0 refused (entered in the error ring).
uint16_t comint_put_cmd(const comint_msg* message, int flag);

// Copies the message into the command queue without looking at its destination. 1 queued,
// 0 refused: payload over 492 bytes, no queue, or queue full (the first refusal of a run logs a
// warning, the first success after it "back alive").
uint16_t comint_queue_cmd(const comint_msg* message);

// Body of "r_Comint"; returns only when the task is deleted.
void Comint_Task();

// Error ring `comint_err_mem`: 16 entries written cyclically; the counter counts every error.
enum : uint32_t {
    COMINT_ERR_REFUSED = 100,  // the queue or the link refused the message
    COMINT_ERR_NO_ROUTE = 101, // no route to the destination PID
    COMINT_ERR_UNKNOWN = 102,  // command code not in the table
    COMINT_ERR_FORWARD = 103,  // r_Comint failed to forward a message not for this device
};
inline constexpr int COMINT_ERR_ENTRIES = 16;

struct comint_err_entry {
    uint32_t code;
    // Header words as they stand in the message (network order); the payload is not kept.
    uint16_t reserved0;
    uint16_t len;
    uint16_t src;
    uint16_t dst;
    uint32_t ctx;
    uint32_t rctx;
    uint16_t cmd;
};

void comint_error(uint32_t code, const comint_msg* message);
void comint_error_ini();
uint32_t comint_error_count();
// Copy of ring entry `index` (0..15, as stored at counter & 15).
comint_err_entry comint_error_entry(int index);

// Diagnostics: the highest queue depth seen by r_Comint; whether the queue refuses at present.
int comint_queue_highwater();
bool comint_queue_failing();

// Host and tests. The command queue alone, without the task (idempotent).
bool comint_queue_ini();
// Takes the next queued message, waiting up to `ticks`. False when none came.
bool comint_receive(comint_msg* out, int ticks);
// Ends "r_Comint" (when running) and deletes the queue; comint_ini may run again afterwards.
void comint_exit();
