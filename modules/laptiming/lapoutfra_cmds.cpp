// The shell commands of the counters: each prints the counters afterwards as "lof_get" does.
#include "framework/msd_shell.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool parseCount(const char* text, uint16_t* out) {
    if (!text || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno || *end || v > 0xFFFF) return false;
    *out = uint16_t(v);
    return true;
}

void print(const LapOutFraState& s) {
    shell_printf("Valid: \t\t\t%d\n", int(s.valid));
    shell_printf("Lap counter: \t\t%d\n", int(s.lap));
    shell_printf("Outing counter: \t%d\n", int(s.outing));
    shell_printf("Fragment counter: \t%d\n", int(s.fragment));
    shell_printf("Timestamp: \t\t%u\n", unsigned(s.timestamp));
    shell_printf("Absolute lap counter: \t%d (0x%X)\n", int(s.absLap), unsigned(s.absLap));
}

int lofGet(int, char**) {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    print(s);
    return 0;
}

// The counters of the command's own cut: its file's name, whatever cut comes right after it.
int printCut(const LapOutFraCut& c, int argc, char** argv) {
    if (c.seq == 0) return lofGet(argc, argv);
    print(LapOutFraState{c.lap, c.outing, c.absLap, c.fragment, c.stamp, LapOutFra_isValid()});
    return 0;
}

int lofSet(int argc, char** argv) {
    uint16_t lap = 0, outing = 0;
    if (argc != 3 || !parseCount(argv[1], &lap) || !parseCount(argv[2], &outing)) {
        shell_printf("usage: lof_set lapcnt outcnt\n");
        return 0;
    }
    LapOutFra_initLapOutCnt(lap, outing);
    return lofGet(argc, argv);
}

int lofLaptrig(int argc, char** argv) {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    LapOutFraCut c{};
    LapOutFra_setLapOutCnt(uint16_t(s.lap + 1), s.outing, time_getTimestamp(), &c);
    return printCut(c, argc, argv);
}

int lofOuttrig(int argc, char** argv) {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    LapOutFraCut c{};
    LapOutFra_setLapOutCnt(s.lap, uint16_t(s.outing + 1), time_getTimestamp(), &c);
    return printCut(c, argc, argv);
}

int lofFratrig(int argc, char** argv) {
    LapOutFraCut c{};
    LapOutFra_setFragmentTrig(time_getTimestamp(), LOF_CUT_FRAGMENT, &c);
    return printCut(c, argc, argv);
}

} // namespace

int LapOutFra_cmds_init() {
    const struct {
        const char* name;
        MsdShellFunc fn;
    } commands[] = {{"lof_set", lofSet},
                    {"lof_laptrig", lofLaptrig},
                    {"lof_outtrig", lofOuttrig},
                    {"lof_fratrig", lofFratrig},
                    {"lof_get", lofGet}};
    for (const auto& c : commands)
        if (!msd_shellAddCommand(c.name, c.fn)) return -1;
    return 0;
}
