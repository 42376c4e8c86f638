// Arbitrary bytes as a CI message to ci_serve_command, as r_Comint would hand it over; the answers
// the handlers queue are served in turn (a few rounds), so answer handlers see them too. Events
// (0x1500) go to an event logger, bounced pings (0x0106) to the ping's callback.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/debug/msdcom_dbg.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Events reach a logger whose records go nowhere.
class NoSink : public EventRecordSink {
public:
    bool putMetaData(const uint8_t*, uint32_t, uint32_t, uint8_t) override { return true; }
};

bool setUp() {
    syslog_init(0); // records go to the log queue, which drops them when full
    app_pid = 1;
    ci_ident_payloadFn(pingCallBack); // the first identity: 0x00000001
    routing_ini();
    dynkomm_ini();
    comint_queue_ini();
    ci_register_own_handlers();
    ci_register_handler(EVLOG_CMD, eventlogging_cmd);
    static NoSink sink;
    eventLoggerCreate(0, &sink);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    std::memcpy(&m, data, std::min(size, sizeof(m)));
    ci_serve_command(&m);
    comint_msg answer;
    for (int round = 0; round < 8 && comint_receive(&answer, 0); ++round)
        if (ci_dst(&answer) == app_pid) ci_serve_command(&answer);
    while (comint_receive(&answer, 0)) {
    }
    return 0;
}
