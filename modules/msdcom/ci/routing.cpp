#include "msdcom/ci/routing.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/comint.h"

#include <atomic>

namespace {

// Two aligned words per PID, written without a lock: senders act on the kind alone, so a reader
// that sees a new kind with an old param for an instant does no harm.
struct RouteWords {
    std::atomic<uint32_t> kind{ROUTE_ILLEGAL};
    std::atomic<uint32_t> param{0};
};
RouteWords local_routing_tab[ROUTING_PIDS];

void store(uint32_t pid, const routing_entry& e) {
    local_routing_tab[pid].param.store(e.param, std::memory_order_relaxed);
    local_routing_tab[pid].kind.store(e.kind, std::memory_order_relaxed);
}

// The answer to 0x0100/0x0101: done (0x0103) or refused (0x0104), to the request's source, with
// the request's context handed back.
void answerSet(const comint_msg* request, bool done) {
    comint_msg answer;
    ci_init(&answer, done ? 0x0103 : 0x0104, app_pid, ci_src(request), 0, ci_ctx(request), 0);
    comint_put_cmd(&answer, 1);
}

void writeFlag(const comint_msg* message, uint16_t value, const char* who) {
    std::atomic<uint16_t>* flag = ci_ident_toFlag(ci_rctx(message));
    if (flag) {
        flag->store(value, std::memory_order_release);
        return;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "%s(): no result flag 0x%08X of this device, from PID %X", who,
                      unsigned(ci_rctx(message)), unsigned(ci_src(message)));
}

} // namespace

void routing_ini() {
    for (uint32_t pid = 0; pid < ROUTING_PIDS; ++pid) store(pid, routing_illegal_dest);
    routing_set_table_destination_local(app_pid);
}

routing_entry routing_get_next(uint32_t pid) {
    if (pid >= ROUTING_PIDS) return routing_illegal_dest;
    return {local_routing_tab[pid].kind.load(std::memory_order_relaxed),
            local_routing_tab[pid].param.load(std::memory_order_relaxed)};
}

int routing_set_table_entries(const routing_entry& entry, uint32_t first, uint32_t last) {
    if (first >= ROUTING_PIDS || last >= ROUTING_PIDS || first > last) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "DivoVur2|routing_set_table_entries(): PID not plausible");
        return 0;
    }
    for (uint32_t pid = first; pid <= last; ++pid) store(pid, entry);
    return 1;
}

int routing_set_table_destination_local(uint32_t pid) {
    if (pid >= ROUTING_PIDS) return 0;
    store(pid, {ROUTE_LOCAL, 0});
    return 1;
}

bool routing_learn_from_presence(uint32_t pid, uint32_t ipv4) {
    if (pid >= ROUTING_PIDS || local_routing_tab[pid].param.load(std::memory_order_relaxed) != 0)
        return false;
    store(pid, {ROUTE_ETH, ipv4});
    syslogx(LOG_PRIO_INFO, "BC2_UDP_listen add remote_pid %X", unsigned(pid));
    return true;
}

void routing_set_table_entries_cmd(comint_msg* message) {
    if (ci_len(message) < 12) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "routing_set_table_entries_cmd(): payload %u bytes of 12, from PID %X",
                          unsigned(ci_len(message)), unsigned(ci_src(message)));
        answerSet(message, false);
        return;
    }
    const uint8_t* p = message->data;
    const uint16_t first = ci_get16(p), last = ci_get16(p + 2);
    syslogx(LOG_PRIO_DEBUG, "routing_set_table_entries_cmd entering start_pid %X, end_pid %X",
            unsigned(first), unsigned(last));
    const routing_entry e{ci_get32(p + 4), ci_get32(p + 8)};
    answerSet(message, routing_set_table_entries(e, first, last) == 1);
}

void routing_set_table_entries_by_list_cmd(comint_msg* message) {
    const unsigned items = ci_len(message) / 12; // a remainder shorter than an item is ignored
    if (items == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "routing_set_table_entries_by_list_cmd(): payload %u bytes, no item, from PID %X",
                          unsigned(ci_len(message)), unsigned(ci_src(message)));
        answerSet(message, false);
        return;
    }
    bool allSet = true;
    for (unsigned i = 0; i < items; ++i) {
        const uint8_t* p = message->data + 12 * i;
        const uint32_t pid = ci_get32(p) & 0xFFFF;
        syslogx(LOG_PRIO_DEBUG, "routing_set_table_entries_by_list_cmd entering pid %X", unsigned(pid));
        // Once an item is refused, the rest are only logged.
        if (allSet) allSet = routing_set_table_entries({ci_get32(p + 4), ci_get32(p + 8)}, pid, pid) == 1;
    }
    answerSet(message, allSet);
}

void routing_initialize_routing_table_cmd(comint_msg*) {
    routing_ini();
}

void routing_return_cmd(comint_msg* message) {
    writeFlag(message, 1, "routing_return_cmd");
}

void routing_return_false_cmd(comint_msg* message) {
    writeFlag(message, 0, "routing_return_false_cmd");
}

void routing_bounce_cmd(comint_msg* message) {
    const ci_header in = ci_get_header(message);
    ci_header out = in;
    out.src = in.dst;
    out.dst = in.src;
    out.ctx = in.rctx;
    out.rctx = in.ctx;
    out.cmd = 0x0106;
    ci_set_header(message, out);
    comint_put_cmd(message, 1);
}

void routing_bounce_return_cmd(comint_msg* message) {
    const uint32_t id = ci_rctx(message);
    if (id == 0) return;
    if (ci_payload_fn fn = ci_ident_toPayloadFn(id)) {
        fn(message->data, ci_len(message));
        return;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                      "routing_bounce_return_cmd(): no function 0x%08X of this device, from PID %X",
                      unsigned(id), unsigned(ci_src(message)));
}

void routing_return_func(comint_msg* message) {
    const uint32_t id = ci_rctx(message);
    if (ci_reply_fn fn = ci_ident_toReplyFn(id)) {
        fn(message, ci_src(message));
        return;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "routing_return_func(): no function 0x%08X of this device, from PID %X",
                      unsigned(id), unsigned(ci_src(message)));
}
