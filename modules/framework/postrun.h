// Post-run: the main task waits on "/SemPostDrive<index>"; giving it (a page-set change, the
// shell's "reset", storing calibration data, a shell pipe failure, SIGINT/SIGTERM on the host)
// starts the ordered shutdown, whose steps the subsystems register in their fixed places.
#pragma once

#include <functional>

enum PostrunStep {
    PR_PWM,          // PWM outputs
    PR_STATUSBLOCK,  // status block
    PR_LOGGING,      // logging
    PR_CANOUT,       // CAN out
    PR_DISPLAY,      // display
    PR_GATEWAY,      // measurement gateway
    PR_XCP,          // XCP
    PR_CALC,         // calculation channels
    PR_ADCFILTER,    // ADC filters
    PR_DIVOVUR2,     // vehicle network
    PR_GPS,          // the GPS task is deleted
    PR_LOGGER_FLUSH, // the logger flushes (950 ms of the device's supply; the host waits for the disk)
    PR_RASTERS,      // rasters stop
    PR_ERRMEM,       // error memory stops
    PR_STEP_COUNT,
};

// Start-up: creates the post-run semaphore of this application.
bool postrun_init(int rtpIndex);
// Gives the post-run semaphore; before it exists only logs "startPostrun: rejected, Sem not ready".
void startPostrun();
// Whether the ordered shutdown has been asked for (startPostrun took it): nothing new starts then.
bool postrun_requested();
// The main task blocks here until post-run starts.
void postrun_wait();
// Registers what a subsystem does in its place of the ordered shutdown (several per place run in
// registration order).
void postrun_register(PostrunStep step, const char* what, std::function<void()> fn);
// Runs the ordered shutdown, logging each step.
void postrun_run();
