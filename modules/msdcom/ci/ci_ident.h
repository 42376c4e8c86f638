// Identities on the wire. Where a CI message or a FIFO carries "an object of the requester" in a
// 32-bit word (context and reply-context words, FIFO words in payloads, the reply function in a
// FIFO's peer word), this device puts an identifier from this one registry, never a pointer.
// Peers only echo these words; when one comes back, the registry maps it to the object, and
// refuses identifiers it never handed out, those of another kind and those already released.
//
// An identifier is never 0 (0 means "none" on the wire). Its low 16 bits index the registry and
// the high 16 bits count the reuses of that place, so a released identifier stays stale for a
// long time; places are reused in the order they were released.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <atomic>
#include <cstdint>

enum class CiIdentKind : uint8_t {
    Flag16 = 1, // std::atomic<uint16_t> result flag, written by the answers 0x0103/0x0104
    PayloadFn,  // ci_payload_fn, called by the bounce answer 0x0106 with the payload
    ReplyFn,    // ci_reply_fn, called by 0x0107 with the whole message
    Fifo,       // a data FIFO (dynkomm_fifo.h)
    Object,     // any other object of a requester (a measurement list, a request)
};

// 0x0106: the bounced payload and its length.
using ci_payload_fn = void (*)(const uint8_t* payload, uint16_t length);
// 0x0107 and the path-open answer: the answer and the PID it concerns.
using ci_reply_fn = void (*)(comint_msg* message, uint16_t pid);

// Functions and flags live for the whole run: registering the same one again gives the same
// identifier. 0 when the registry is full.
uint32_t ci_ident_flag(std::atomic<uint16_t>* flag);
uint32_t ci_ident_payloadFn(ci_payload_fn fn);
uint32_t ci_ident_replyFn(ci_reply_fn fn);

// Objects come and go: each registration gives a new identifier, which the owner releases before
// it frees the object. 0 when the registry is full or `object` is null.
uint32_t ci_ident_register(CiIdentKind kind, void* object);
// True when the identifier was live and is now released.
bool ci_ident_release(uint32_t id);

// The object, function or flag of a live identifier of that kind; nullptr otherwise.
void* ci_ident_object(CiIdentKind kind, uint32_t id);
std::atomic<uint16_t>* ci_ident_toFlag(uint32_t id);
ci_payload_fn ci_ident_toPayloadFn(uint32_t id);
ci_reply_fn ci_ident_toReplyFn(uint32_t id);

// Diagnostics: identifiers in use.
uint32_t ci_ident_count();
