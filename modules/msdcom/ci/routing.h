// The routing table: for each PID, how a CI message or a DK record for it leaves this device.
// The commands 0x0100-0x0107 set it and carry the generic answers of the CI protocol: done,
// failed, bounce back, and call a function of the requester.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

inline constexpr int ROUTING_PIDS = 64;

enum : uint32_t {
    ROUTE_ILLEGAL = 0,
    ROUTE_LOCAL = 1,
    ROUTE_ETH = 2,     // the DivoVur2 links; param = the peer's IPv4 address (host order)
    ROUTE_LOCSOCK = 3, // local socket
};

struct routing_entry {
    uint32_t kind;
    uint32_t param;
};
inline constexpr routing_entry routing_illegal_dest{ROUTE_ILLEGAL, 0};

// All entries illegal, then the own PID local. Start-up, before comint_ini.
void routing_ini();
// The entry of `pid`; the illegal entry for 64 and above.
routing_entry routing_get_next(uint32_t pid);
// Copies `entry` into `first`..`last`. 1 done; 0 refused (nothing changed, logged) unless
// first < 64, last < 64 and first <= last.
int routing_set_table_entries(const routing_entry& entry, uint32_t first, uint32_t last);
// 1, or 0 for pid >= 64.
int routing_set_table_destination_local(uint32_t pid);
// The presence listener heard `pid` at `ipv4` (host order): an entry without a param becomes an
// Ethernet route to that address ("BC2_UDP_listen add remote_pid %X"); a route set by command
// wins. True when the entry was learnt now.
bool routing_learn_from_presence(uint32_t pid, uint32_t ipv4);

// Handlers (ci_table.h).
void routing_set_table_entries_cmd(comint_msg* message);         // 0x0100
void routing_set_table_entries_by_list_cmd(comint_msg* message); // 0x0101
void routing_initialize_routing_table_cmd(comint_msg* message);  // 0x0102
void routing_return_cmd(comint_msg* message);                    // 0x0103
void routing_return_false_cmd(comint_msg* message);              // 0x0104
void routing_bounce_cmd(comint_msg* message);                    // 0x0105
void routing_bounce_return_cmd(comint_msg* message);             // 0x0106
void routing_return_func(comint_msg* message);                   // 0x0107
