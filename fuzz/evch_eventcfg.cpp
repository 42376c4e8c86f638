// Arbitrary text as "cfg:/eventcfg.xml": a whole event set or a thrown text, never a crash, a hang
// or a leak; a built set holds at most 50 events and lists whose addresses fit their words.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "logging/events/eventchannels.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/drives/devroot.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string gFile;

bool setUp() {
    syslog_init(0); // records go to the log queue, which drops them when full
    app_pid = 1;
    gw_meas_ini();
    char dir[] = "/tmp/evch_fuzz_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    devroot_set(dir);
    const std::string cfg = std::string(dir) + "/cfg";
    mkdir(cfg.c_str(), 0755);
    gFile = cfg + "/eventcfg.xml";
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    FILE* f = std::fopen(gFile.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        eventchannels set("cfg:/eventcfg.xml");
        if (set.eventCount() > EVCH_MAX_EVENTS) std::abort();
        for (CEvDataList* l = set.manager()->lists(); l; l = l->next) {
            if (l->pid != 0 && (l->addresses.size() != l->words + 1u || l->addresses.back() != 0))
                std::abort();
            if (l->words * 4u >= CEvDataList::CAPACITY + 12u) std::abort();
        }
    } catch (const char*) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
