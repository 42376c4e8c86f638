// Device names to PIDs for lists requested by name: the device types of this network first, then
// the wheel and position suffixes.
#include "framework/syslog.h"
#include "msdcom/gateway/gw_meas.h"

#include <cstring>

namespace {

struct NamedPid {
    const char* name;
    uint16_t pid;
};

// Device types with a fixed PID: the two application processes of this display at the PIDs of
// the default parameter block.
constexpr NamedPid kDeviceTypes[] = {
    {"MSD_APP0", 16},
    {"MSD_APP1", 17},
};

// Position suffixes, from the last '_' of the name.
constexpr NamedPid kSuffixes[] = {
    {"_FL", 40}, {"_FR", 41}, {"_RL", 42}, {"_RR", 43}, {"_F", 44}, {"_R", 45}, {"_C", 46}, {"_GB", 46},
};

} // namespace

uint16_t pidByDevicename(const char* name) {
    if (!name) return 0;
    for (const NamedPid& d : kDeviceTypes)
        if (std::strcmp(d.name, name) == 0) return d.pid;
    if (const char* suffix = std::strrchr(name, '_')) {
        for (const NamedPid& s : kSuffixes)
            if (std::strcmp(s.name, suffix) == 0) return s.pid;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2, "pidByDevicename(): device %s unknown!, pid 0 set", name);
    return 0;
}
