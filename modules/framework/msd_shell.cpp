#include "framework/msd_shell.h"

#include "framework/errmem.h"
#include "framework/postrun.h"
#include "framework/syslog.h"
#include "platform/board/board.h"
#include "platform/board/display_hw.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/ping.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The display application's command, given at start-up; a process without it has no "display"
// command.
std::atomic<MsdShellFunc> gDisplayCommand{nullptr};

bool parseUnsigned(const char* text, unsigned long max, unsigned long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || *end || v > max || text[0] == '-') return false;
    *out = v;
    return true;
}

int cmdReset(int, char**) {
    shell_printf("reset: ordered shutdown requested\n");
    startPostrun();
    return 0;
}

int cmdErrmem(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "clear") == 0) {
        error_mgr_clear_all();
        shell_printf("inactive entries removed\n");
        return 0;
    }
    if (argc >= 2) {
        shell_printf("usage: errmem [clear]\n");
        return -1;
    }
    ErrorMemEntry e[ERROR_MEM_ENTRIES];
    const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
    shell_printf("%zu entries\n", n);
    for (size_t i = 0; i < n; ++i)
        shell_printf("%2zu path %u type %u mil %u %s count %u boot %u\n", i, unsigned(e[i].path),
                     unsigned(e[i].type), unsigned(e[i].mil), e[i].active ? "active  " : "inactive",
                     unsigned(e[i].count), unsigned(e[i].bootCount));
    return int(n);
}

void printBoard() {
    shell_printf("supply %s, status lights 0x%08x\n", board_supplyGood() ? "good" : "not good",
                 unsigned(board_statusLights()));
    shell_printf("digital inputs :");
    for (uint32_t i = 0; i < BOARD_DIGITAL_INPUTS; ++i) shell_printf(" %d", board_dinGet(i));
    shell_printf("\ndigital outputs:");
    for (uint32_t i = 0; i < BOARD_DIGITAL_OUTPUTS; ++i) shell_printf(" %d", board_doutGet(i));
    shell_printf("\n");
    for (uint32_t ch = 0; ch < BOARD_PWM_CHANNELS; ++ch) {
        float duty = 0, freq = 0;
        if (board_pwmGet(ch, &duty, &freq) && (duty != 0 || freq != 0))
            shell_printf("pwm %u: %.1f %% at %.1f Hz\n", unsigned(ch), double(duty), double(freq));
    }
    // The double's pings since its mode was set: a test sees where the PC's watch stands.
    shell_printf("pings to the double: %d\n", ping_doubleCount());
    shell_printf("display layers :");
    for (int layer = 0; layer < DISPLAY_LAYERS; ++layer)
        shell_printf(" %u", unsigned(displayhw_regRead(displayhw_layerControl(layer))));
    shell_printf("\n");
}

// The host's stand-in for the board's wiring: inputs and supply are set by hand, and whether the
// network answers pings (the real echo, or a double that answers or stays silent).
int cmdBoard(int argc, char** argv) {
    unsigned long a = 0, b = 0;
    if (argc == 1) {
        printBoard();
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "din") == 0 &&
        parseUnsigned(argv[2], BOARD_DIGITAL_INPUTS - 1, &a) && parseUnsigned(argv[3], 1, &b)) {
        board_dinSet(uint32_t(a), int(b));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "supply") == 0 && parseUnsigned(argv[2], 1, &a)) {
        board_setSupplyGood(a != 0);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "ping") == 0) {
        const char* modes[] = {"off", "answer", "silent"};
        for (int m = 0; m < 3; ++m)
            if (std::strcmp(argv[2], modes[m]) == 0) {
                ping_setDouble(static_cast<PingDouble>(m));
                return 0;
            }
    }
    shell_printf(
        "usage: board | board din <0..%u> <0|1> | board supply <0|1> | board ping <off|answer|silent>\n",
        unsigned(BOARD_DIGITAL_INPUTS - 1));
    return -1;
}

} // namespace

bool msd_shellAddCommand(const char* name, ShellFunc function) {
    if (!name || !function) return false;
    if (!shellhost_register(name, std::move(function))) {
        syslogx(LOG_PRIO_ERR, "msd_shellAddCommand(): command '%s' not registered", name);
        return false;
    }
    return true;
}

bool msd_shellAddCommand(const char* name, MsdShellFunc function) {
    if (!function) return false;
    return msd_shellAddCommand(name, ShellFunc(function));
}

void MsdShell_AddCommonCmd() {
    msd_shellAddCommand("reset", cmdReset);
    msd_shellAddCommand("errmem", cmdErrmem);
    msd_shellAddCommand("board", cmdBoard);
    if (const MsdShellFunc display = gDisplayCommand.load()) msd_shellAddCommand("display", display);
}

void MsdShell_setDisplayCommand(MsdShellFunc function) {
    gDisplayCommand.store(function);
}

bool msd_shellStart(int rtpIndex) {
    std::string error;
    const std::string path = devroot_path() + "/shell-" + std::to_string(rtpIndex) + ".sock";
    if (!shellhost_start(path, true, &error)) {
        syslogx(LOG_PRIO_ERR, "msd_shellStart(): %s", error.c_str());
        return false;
    }
    syslogx(LOG_PRIO_INFO, "msd_shellStart(): shell on %s", path.c_str());
    return true;
}

void msd_shellStop() {
    shellhost_stop();
}
