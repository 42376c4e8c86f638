#include "framework/postrun.h"

#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const kStepNames[PR_STEP_COUNT] = {
    "PWM outputs", "status block",         "logging",     "CAN out",  "display",  "gateway",
    "XCP",         "calculation channels", "ADC filters", "DivoVur2", "GPS task", "logger flush",
    "rasters",     "error memory"};

struct Step {
    std::string what;
    std::function<void()> fn;
};

struct Postrun {
    std::mutex m;
    std::vector<Step> steps[PR_STEP_COUNT];
    std::atomic<SEM_ID> sem{SEM_ID_NULL};
    std::atomic<bool> requested{false};
};

Postrun& pr() {
    static auto* p = new Postrun;
    return *p;
}

} // namespace

bool postrun_init(int rtpIndex) {
    char name[32];
    std::snprintf(name, sizeof(name), "/SemPostDrive%d", rtpIndex);
    SEM_ID s = semOpen(name, SEM_TYPE_BINARY, SEM_EMPTY, SEM_Q_PRIORITY, OM_CREATE, nullptr);
    pr().sem.store(s);
    return s != SEM_ID_NULL;
}

void startPostrun() {
    SEM_ID s = pr().sem.load();
    if (!s) {
        syslogx(LOG_PRIO_ERR, "startPostrun: rejected, Sem not ready");
        return;
    }
    pr().requested.store(true);
    syslogx(LOG_PRIO_INFO, "startPostrun: post-run requested");
    semGive(s);
}

bool postrun_requested() {
    return pr().requested.load();
}

void postrun_wait() {
    SEM_ID s = pr().sem.load();
    if (s) semTake(s, WAIT_FOREVER);
}

void postrun_register(PostrunStep step, const char* what, std::function<void()> fn) {
    if (step < 0 || step >= PR_STEP_COUNT || !fn) return;
    std::lock_guard<std::mutex> lk(pr().m);
    pr().steps[step].push_back(Step{what ? what : kStepNames[step], std::move(fn)});
}

void postrun_run() {
    syslogx(LOG_PRIO_INFO, "postrun: ordered shutdown begins");
    for (int i = 0; i < PR_STEP_COUNT; ++i) {
        std::vector<Step> steps;
        {
            std::lock_guard<std::mutex> lk(pr().m);
            steps = pr().steps[i];
        }
        if (steps.empty()) continue;
        syslogx(LOG_PRIO_INFO, "postrun: stopping %s", kStepNames[i]);
        for (auto& s : steps) s.fn();
    }
    syslogx(LOG_PRIO_INFO, "postrun: ordered shutdown done");
}
