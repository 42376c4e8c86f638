#include "msdcom/ci/ci_table.h"

#include "framework/syslog.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/ci/timeserv_cmd.h"

#include <algorithm>
#include <atomic>
#include <iterator>

namespace {

struct Row {
    uint16_t code;
    const char* name;
    std::atomic<ci_handler_t> handler{nullptr};
};

// The whole vocabulary, in ascending code order. Codes between the rows (0x0507-0x050F, 0x0601,
// 0x0F02-0x0F03, ...) are not commands.
Row gTable[] = {
    {0x0100, "routing_set_table_entries_cmd"},
    {0x0101, "routing_set_table_entries_by_list_cmd"},
    {0x0102, "routing_initialize_routing_table_cmd"},
    {0x0103, "routing_return_cmd"},
    {0x0104, "routing_return_false_cmd"},
    {0x0105, "routing_bounce_cmd"},
    {0x0106, "routing_bounce_return_cmd"},
    {0x0107, "routing_return_func"},
    {0x0300, "SerNet_man_openpath"},
    {0x0301, "SerNet_man_closepath"},
    {0x0500, "meas_man_create"},
    {0x0501, "gw_meascreate_reply"},
    {0x0502, "meas_man_break"},
    {0x0503, "meas_man_speed"},
    {0x0504, "meas_man_kill_my_measurements"},
    {0x0505, "meas_man_get_measurement_state"},
    {0x0506, "gw_meas_timestamp_err"},
    {0x0510, "meas_man_create2_cmd"},
    {0x0511, "meas_man_meas2_create_reply"},
    {0x0512, "meas_man_break2"},
    {0x0513, "meas_man_break2_reply"},
    {0x0514, "meas_man_speed2"},
    {0x0515, "meas_man_speed2_reply"},
    {0x0516, "meas_man_get_measurement_state2"},
    {0x0517, "meas_man_get_measurement_state2_reply"},
    {0x0518, "gw_meas2_timestamp_err"},
    {0x0600, "timeserv_distributeTime_cmd"},
    {0x0602, "timeserv_newSystemTime_cmd"},
    {0x0603, "timeserv_suggestOwnTime_cmd"},
    {0x0F00, "ci_get_version_info_req"},
    {0x0F01, "ci_get_version_info_reply"},
    {0x0F04, "ci_get_lapstack_info"},
    {0x1100, "dynkomm_tidy_up"},
    {0x1200, "laptrigger_signal_cmd"},
    {0x1201, "laptrigger_get_info_cmd"},
    {0x1202, "laptrigger_get_info_reply_cmd"},
    {0x1203, "laptrigger_meas"},
    {0x1204, "laptrigger_check_outctr_cmd"},
    {0x1205, "laptrigger_reset_lap_cmd"},
    {0x1206, "laptrigger_reset_out_cmd"},
    {0x1207, "laptrigger_reset_lapdist_cmd"},
    {0x1208, "laptrigger_reset_best_laptime_cmd"},
    {0x1209, "laptrigger_incr_outing_cmd"},
    {0x120A, "laptrigger_incr_lap_cmd"},
    {0x120B, "laptrigger_reset_segments_cmd"},
    {0x1500, "eventlogging_cmd"},
    {0x1600, "display_pageset_cmd"},
};

Row* findRow(uint16_t code) {
    Row* end = gTable + std::size(gTable);
    Row* it = std::lower_bound(gTable, end, code, [](const Row& r, uint16_t c) { return r.code < c; });
    return (it != end && it->code == code) ? it : nullptr;
}

} // namespace

void ci_serve_command(comint_msg* message) {
    if (!message) return;
    if (ci_len(message) > CI_PAYLOAD_MAX_LINK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "ci_serve_command(): cmd 0x%X from PID %X with payload %u, dropped",
                          unsigned(ci_cmd(message)), unsigned(ci_src(message)), unsigned(ci_len(message)));
        return;
    }
    const Row* row = findRow(ci_cmd(message));
    const ci_handler_t handler = row ? row->handler.load(std::memory_order_acquire) : nullptr;
    if (!handler) {
        comint_error(COMINT_ERR_UNKNOWN, message);
        return;
    }
    handler(message);
}

bool ci_register_handler(uint16_t code, ci_handler_t handler) {
    Row* row = findRow(code);
    if (!row) return false;
    row->handler.store(handler, std::memory_order_release);
    return true;
}

bool ci_unregister_handler(uint16_t code) {
    return ci_register_handler(code, nullptr);
}

const char* ci_handler_name(uint16_t code) {
    const Row* row = findRow(code);
    return row ? row->name : nullptr;
}

bool ci_handler_registered(uint16_t code) {
    const Row* row = findRow(code);
    return row && row->handler.load(std::memory_order_acquire) != nullptr;
}

void ci_register_own_handlers() {
    ci_register_handler(0x0100, routing_set_table_entries_cmd);
    ci_register_handler(0x0101, routing_set_table_entries_by_list_cmd);
    ci_register_handler(0x0102, routing_initialize_routing_table_cmd);
    ci_register_handler(0x0103, routing_return_cmd);
    ci_register_handler(0x0104, routing_return_false_cmd);
    ci_register_handler(0x0105, routing_bounce_cmd);
    ci_register_handler(0x0106, routing_bounce_return_cmd);
    ci_register_handler(0x0107, routing_return_func);
    ci_register_handler(TIMESERV_CMD_DISTRIBUTE, timeserv_distributeTime_cmd);
    ci_register_handler(TIMESERV_CMD_NEW_TIME, timeserv_newSystemTime_cmd);
    ci_register_handler(TIMESERV_CMD_SUGGEST, timeserv_suggestOwnTime_cmd);
    ci_register_handler(0x1100, dynkomm_tidy_up);
}
