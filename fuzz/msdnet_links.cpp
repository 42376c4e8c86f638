// A CI or DK link stream from a peer (first byte even: CI, odd: DK), received until the
// receiver drops the link or the stream ends.
#include "framework/appman.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/sernet_man.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

namespace {
bc2_channel* gCi = nullptr;
bc2_channel* gDk = nullptr;
dynkomm_fifo* gFifo = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    app_pid = 5;
    routing_ini();
    dynkomm_ini();
    comint_queue_ini();
    bc2_fill_local_host();
    gCi = BC2_create_channel_config(&hosts_list[9], BC2_CHAN_CI);
    gDk = BC2_create_channel_config(&hosts_list[9], BC2_CHAN_DK);
    gFifo = SerNet_man_reserve(16, 4, 1, 3, 9, 0);
    dynkomm_fifo_set(dynkomm_get_magic(), gFifo);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 32 * 1024) return 0; // stays within the socket buffer
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0) return 0;
    const int bufSize = 256 * 1024;
    setsockopt(sp[1], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    if (size > 1 && write(sp[1], data + 1, size - 1) != ssize_t(size - 1)) {
        close(sp[0]);
        close(sp[1]);
        return 0;
    }
    close(sp[1]);
    const bool ci = (data[0] & 1) == 0;
    bc2_channel* ch = ci ? gCi : gDk;
    if (!ci) bc2_dk_rx_reset(ch);
    while (ci ? bc_ci_receive(ch, sp[0]) : bc_dk_receive(ch, sp[0])) {
    }
    close(sp[0]);
    comint_msg m;
    while (comint_receive(&m, 0)) {
    }
    while (dynkomm_read(gFifo)) dynkomm_readdone(gFifo);
    return 0;
}
