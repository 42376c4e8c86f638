// Arbitrary payloads of the version and lap-stack information commands (0x0F00-0x0F04) and of the
// lap-trigger commands (0x1200-0x120B) from the lap-trigger master, the fuel-consumption master,
// this device or others, as r_Comint hands them to ci_serve_command. Input: byte 0 picks the
// command, byte 1 the sender, the rest is the payload. Answers to this device are served in turn.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "logging/app/meas_app.h"
#include "logging/app/sb_info.h"
#include "measdata/cfg_system.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/nvdb.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kOwn = 1, kLtm = 5, kFcm = 6;
constexpr uint16_t kCommands[] = {0x0F00, 0x0F01, 0x0F02, 0x0F03, 0x0F04, 0x1200, 0x1201, 0x1202, 0x1203,
                                  0x1204, 0x1205, 0x1206, 0x1207, 0x1208, 0x1209, 0x120A, 0x120B};
constexpr uint16_t kSenders[] = {kLtm, kFcm, kOwn, 7, 0, 64, 65, 0xFFFF};

std::string gFolder;

void removeFolder() {
    std::error_code ec;
    if (!gFolder.empty()) std::filesystem::remove_all(gFolder, ec);
}

bool setUp() {
    syslog_init(0); // records go to the log queue, which drops them when full
    app_pid = kOwn;
    // The NV store syncs every copy: on tmpfs that costs nothing.
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/lapci_fuzz.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    gFolder = buf.data();
    std::atexit(removeFolder);
    devroot_set(gFolder + "/root");
    std::string error;
    if (!devroot_prepare(&error) || !nvdb_open(gFolder + "/nv", &error)) std::abort();
    comint_queue_ini();
    cfg_system.loggingActive = 0;
    cfg_system.laptrigSlave = 1;
    cfg_system.ltmPid = kLtm;
    cfg_system.fcmPid = kFcm;
    meas_app_lap_connect();
    LapOutFra_init();
    LapOutFra_initLapOutCnt(1, 1);
    laptrigger_ini();
    sb_info_ini();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size < 2) return 0;
    const uint16_t cmd = kCommands[data[0] % std::size(kCommands)];
    const uint16_t src = kSenders[data[1] % std::size(kSenders)];
    const size_t len = std::min(size - 2, size_t(CI_PAYLOAD_MAX_LINK));
    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    ci_init(&m, cmd, src, app_pid, 0, 0, uint16_t(len));
    std::memcpy(m.data, data + 2, len);
    ci_serve_command(&m);
    comint_msg answer;
    for (int round = 0; round < 8 && comint_receive(&answer, 0); ++round)
        if (ci_dst(&answer) == app_pid) ci_serve_command(&answer);
    while (comint_receive(&answer, 0)) {
    }
    return 0;
}
