// DK datagrams as the DK-over-UDP listener receives them. This device is PID 5 and holds one
// receiving FIFO under the first handle of a fresh table (0x00000001, boot byte 0), 16-byte slots,
// fed by PID 9 at 127.0.0.9; the datagrams come from PID 9's DK send port.
#include "framework/appman.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/sernet_man.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

namespace {
dynkomm_fifo* gFifo = nullptr;
sockaddr_in gFrom{};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    app_pid = 5;
    dynkomm_ini();
    gFifo = SerNet_man_reserve(16, 4, 1, 3, 9, 0);
    const uint32_t handle = dynkomm_get_magic();
    dynkomm_fifo_set(handle, gFifo);
    hosts_list[9].fromAddr.store(htonl(0x7F000009));
    gFrom = bc2_sockaddr(htonl(0x7F000009), BC2_PORT_DK_UDP_TX);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > DK_DATAGRAM_MAX) size = DK_DATAGRAM_MAX; // what one receive can hold
    bc2_dk_datagram(data, size, gFrom);
    while (dynkomm_read(gFifo)) dynkomm_readdone(gFifo);
    return 0;
}
