#include "msdcom/network/net_init.h"

#include "framework/msd_shell.h"
#include "framework/raster.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/network/bc2_net.h"
#include "msdcom/network/sernet_man.h"

namespace {

int cmdDkDrops(int, char**) {
    const uint32_t n = bc2_dk_stranger_drops();
    shell_printf("DK records dropped, not from the peer that feeds their FIFO: %u\n", unsigned(n));
    return int(n);
}

} // namespace

bool net_ini() {
    if (!shellhost_isRegistered("dk_drops")) msd_shellAddCommand("dk_drops", cmdDkDrops);
    msdcom_netops ops{};
    ops.comint_put_eth = comint_put_eth;
    ops.comint_put_locSock = comint_put_locSock;
    ops.comint_status = comint_status;
    ops.SerNet_man_start_sending = SerNet_man_start_sending;
    ops.SerNet_man_stop_sending = SerNet_man_stop_sending;
    ops.SerNet_man_release_fifo = SerNet_man_release_fifo;
    ops.sernet_man_fifo_prepare_sink = sernet_man_fifo_prepare_sink;
    ops.sernet_man_fifo_create_sink = sernet_man_fifo_create_sink;
    ops.sernet_man_fifo_create_source = sernet_man_fifo_create_source;
    ops.sernet_man_fifo_delete_source = sernet_man_fifo_delete_source;
    ops.sernet_man_fifo_delete_sink = sernet_man_fifo_delete_sink;
    msdcom_netops_install(ops);
    if (!SerNet_man_ini()) return false;
    raster_addPeriodic(RASTER_ETH_ONLINE, 100, "rEthSend_online", rEthSend_online);
    raster_addPeriodic(RASTER_ETH_OFFLINE, 100, "rEthSend_offline", rEthSend_offline);
    return true;
}
