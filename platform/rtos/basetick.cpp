#include "platform/rtos/basetick.h"

#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos_internal.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace {

constexpr uint64_t kNsPerTick = 1000000;

// Gives "/BASETICK0" by time. In real mode the semaphore is given by the clock itself whenever its
// taker looks: the taker sleeps until the next tick is due, and no thread runs to give it. Ticks
// given by hand (tests) wait here until the taker looks. Ticks follow each other 1 ms apart, so the
// tick just taken was due the ticks still counted before the last one given.
class TickFeed final : public rtos_detail::SemClock {
public:
    uint64_t poll(int& count) override {
        {
            std::lock_guard<std::mutex> lk(handMutex_);
            for (uint64_t due : byHand_) give(count, due);
            byHand_.clear();
        }
        uint64_t first = 0;
        uint32_t n = 0;
        const uint64_t next = hostclock_takeDueTicks(&first, &n);
        for (uint32_t i = 0; i < n; ++i) give(count, first + uint64_t(i) * kNsPerTick);
        return next;
    }
    void taken(int countLeft) override { takenDue_.store(lastDue_ - uint64_t(countLeft) * kNsPerTick); }

    void giveByHand(uint64_t due) {
        std::lock_guard<std::mutex> lk(handMutex_);
        byHand_.push_back(due);
    }
    uint64_t takenDue() const { return takenDue_.load(); }

private:
    void give(int& count, uint64_t due) {
        if (count == INT32_MAX) return;
        ++count;
        lastDue_ = due;
    }
    uint64_t lastDue_ = 0; // due time of the last tick given (under the semaphore's lock)
    std::atomic<uint64_t> takenDue_{0};
    std::mutex handMutex_;
    std::vector<uint64_t> byHand_;
};

TickFeed& feed() {
    static auto* f = new TickFeed;
    return *f;
}

} // namespace

SEM_ID basetick_start() {
    SEM_ID tick = semOpen(BASETICK_NAME, SEM_TYPE_COUNTING, 0, SEM_Q_PRIORITY, OM_CREATE, nullptr);
    if (!tick) return SEM_ID_NULL;
    rtos_detail::semAttachClock(tick, &feed());
    hostclock_setTickSink(
        [tick](uint64_t dueNs) {
            feed().giveByHand(dueNs);
            rtos_detail::semKick(tick);
        },
        [tick] { return semCount(tick) <= 0 && taskTickCoreIdle(); });
    hostclock_startTicker();
    return tick;
}

void basetick_stop() {
    hostclock_setTickSink(nullptr, nullptr);
    hostclock_stopTicker();
    if (SEM_ID tick = semOpen(BASETICK_NAME, SEM_TYPE_COUNTING, 0, SEM_Q_PRIORITY, 0, nullptr))
        rtos_detail::semAttachClock(tick, nullptr);
}

STATUS basetick_take(SEM_ID tick, _Vx_ticks_t timeout, uint64_t* dueNs) {
    if (semTake(tick, timeout) != OK) return ERROR;
    if (dueNs) *dueNs = feed().takenDue();
    return OK;
}
