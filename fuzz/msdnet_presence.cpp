// Presence datagrams as the presence listener receives them, each followed by one ageing step.
// The device (PID 5, address 0.0.0.0) is never the larger address, so it never connects out.
#include "framework/appman.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    app_pid = 5;
    routing_ini();
    bc2_fill_local_host();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1000) size = 1000; // the listener's receive buffer
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000009);
    from.sin_port = htons(9851);
    bc2_presence_received(data, size, from);
    bc2_age_peers(BC2_SEND_PERIOD_MS);
    return 0;
}
