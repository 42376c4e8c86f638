// DK datagrams as the DK-over-UDP listener receives them. This device is PID 5 and holds one
// receiving FIFO under the first handle of a fresh table (0x00000001, boot byte 0), 16-byte slots.
#include "framework/appman.h"
#include "msdcom/bc2_internal.h"
#include "msdcom/dynkomm.h"
#include "msdcom/sernet_man.h"

#include <cstddef>
#include <cstdint>

namespace {
dynkomm_fifo* gFifo = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    app_pid = 5;
    dynkomm_ini();
    gFifo = SerNet_man_reserve(16, 4, 1, 3, 9, 0);
    const uint32_t handle = dynkomm_get_magic();
    dynkomm_fifo_set(handle, gFifo);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > DK_DATAGRAM_MAX) size = DK_DATAGRAM_MAX; // what one receive can hold
    bc2_dk_datagram(data, size);
    while (dynkomm_read(gFifo)) dynkomm_readdone(gFifo);
    return 0;
}
