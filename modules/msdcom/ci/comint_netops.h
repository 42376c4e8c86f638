// What the command interpreter and the data paths call of the network side (the DivoVur2 links
// and the serial-network path manager). The network code installs its functions at its start
// (msdcom_netops_install); until then, and in tests that install fakes, the defaults below apply:
// no link (sends fail, the multicast channel does not exist, so r_Comint waits), and the FIFO
// wrappers that need no sender list act on the FIFOs directly.
#pragma once

#include "msdcom/ci/ci_msg.h"
#include "msdcom/ci/dynkomm_fifo.h"

#include <cstdint>

struct msdcom_netops {
    // CI links: 1 sent, 0 not.
    uint16_t (*comint_put_eth)(const comint_msg* message);
    uint16_t (*comint_put_locSock)(const comint_msg* message);
    // 1 once the CI multicast channel exists.
    int (*comint_status)();
    // Sender lists of the serial-network manager.
    void (*SerNet_man_start_sending)(dynkomm_fifo* fifo);
    int (*SerNet_man_stop_sending)(dynkomm_fifo* fifo); // 1 removed, 0 not listed
    int (*SerNet_man_release_fifo)(dynkomm_fifo* fifo); // 1 released, 0 not a live FIFO
    // FIFO wrappers of the path manager.
    int (*sernet_man_fifo_prepare_sink)(uint32_t handle);
    uint32_t (*sernet_man_fifo_create_sink)(uint32_t handle, uint16_t src_pid, uint16_t own_pid,
                                            uint16_t raster, uint16_t depth, uint16_t slot_size,
                                            uint16_t flags);
    uint32_t (*sernet_man_fifo_create_source)(uint32_t req_handle, uint32_t local_handle, uint16_t own_pid,
                                              uint16_t req_pid, uint16_t raster, uint16_t slot_size,
                                              uint16_t flags);
    int (*sernet_man_fifo_delete_source)(dynkomm_fifo* fifo);
    int (*sernet_man_fifo_delete_sink)(dynkomm_fifo* fifo);
};

// Installs the network side's functions; a null member keeps its default. Call once at the
// network start, before BC2_init (and before any path is opened).
void msdcom_netops_install(const msdcom_netops& ops);
// Back to the defaults (tests).
void msdcom_netops_reset();
// The functions in force.
const msdcom_netops& msdcom_net();
// The defaults, for a network side that wants to delegate.
const msdcom_netops& msdcom_netops_defaults();
