// The command table of the command interpreter: the whole vocabulary of ci_serve_command, one row
// per command code. Each subsystem registers its handler into its rows when it starts; a row
// without a handler is served like a code that is not in the table (error 102).
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

// A handler gets the whole received message (header and payload, payload length at most
// CI_PAYLOAD_MAX_LINK); it may reuse it for its answer. Its result is not used.
using ci_handler_t = void (*)(comint_msg* message);

// Calls the handler of the message's command code on the calling task (r_Comint).
void ci_serve_command(comint_msg* message);

// Puts `handler` into the row of `code`. False for a code that is not in the table.
bool ci_register_handler(uint16_t code, ci_handler_t handler);
// Empties the row again (a subsystem that stops). False for a code not in the table.
bool ci_unregister_handler(uint16_t code);

// Name of the row's handler as the table lists it ("routing_bounce_cmd"), nullptr for a code not
// in the table. Whether a handler is registered now.
const char* ci_handler_name(uint16_t code);
bool ci_handler_registered(uint16_t code);

// Registers the handlers this module owns: routing 0x0100-0x0107, time 0x0600/0x0602/0x0603 and
// the data-path tidy-up 0x1100. Called by comint_ini; idempotent.
void ci_register_own_handlers();
