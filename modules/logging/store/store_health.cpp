#include "logging/store/store_health.h"

#include <algorithm>

namespace measure::store {

DriveHealth::Decision DriveHealth::join(bool answersAgain, uint32_t now) {
    fresh_ = false;
    away_ = false;
    needsFile_ = false;
    awaiting_ = true;
    joinedAt_ = now;
    againMs_ = againMs_ == 0 ? kAgainFirstMs : std::min(2 * againMs_, kAgainMaxMs);
    Decision d;
    d.join = true;
    d.answersAgain = answersAgain;
    return d;
}

DriveHealth::Decision DriveHealth::on(Event event, int vfIdx, uint32_t now) {
    std::lock_guard<std::mutex> lk(m_);
    Decision d;
    // A return joins where the newest file is lost and this failure has not joined yet, or the drive
    // was away since its last join.
    const bool mayJoin = needsFile_ && (fresh_ || away_) && !hung_ && !letGo_ && !pulled_;
    switch (event) {
    case Event::NewestFailed:
        if (pulled_) break;
        if (!needsFile_ && !awaiting_) {
            // It worked until now: a failure of its own begins.
            fresh_ = true;
            away_ = false;
            told_ = false;
            againMs_ = 0;
            d.failing = true;
        }
        needsFile_ = true;
        awaiting_ = false;
        if (vfIdx > failedVf_) failedVf_ = vfIdx;
        break;
    case Event::OlderFailed:
        break;
    case Event::CallLate:
        slow_ = true;
        break;
    case Event::CallsAnswer:
        slow_ = false;
        break;
    case Event::CallHung:
        hung_ = true;
        away_ = true;
        break;
    case Event::CallReturned:
        if (!hung_) break; // a late call's return is no return
        hung_ = false;
        if (needsFile_ && (fresh_ || away_) && !letGo_ && !pulled_) d = join(true, now);
        break;
    case Event::ProbeFailed:
        away_ = true;
        d.tellProbe = needsFile_ && !told_;
        told_ = told_ || d.tellProbe;
        break;
    case Event::ProbeGood:
        if (mayJoin) {
            d = join(away_, now);
        } else if (needsFile_ && againMs_ != 0 && !hung_ && !letGo_ && !pulled_ &&
                   int32_t(now - joinedAt_) >= int32_t(againMs_ * 10)) {
            // The file of its last join failed while it answers: it tries again, one cut each time.
            d = join(false, now);
            d.again = true;
        }
        break;
    case Event::FileOpened:
        if (vfIdx > failedVf_ && needsFile_) {
            needsFile_ = false;
            awaiting_ = true;
        }
        break;
    case Event::DataHeld:
        if (vfIdx > failedVf_ && (awaiting_ || needsFile_)) {
            needsFile_ = awaiting_ = fresh_ = away_ = false;
            againMs_ = 0;
            d.takesData = true;
        }
        break;
    case Event::Pulled:
        pulled_ = true;
        needsFile_ = awaiting_ = fresh_ = away_ = false;
        againMs_ = 0;
        break;
    case Event::Arrived:
        pulled_ = false;
        break;
    case Event::LetGo:
        if (letGo_) break;
        letGo_ = true;
        needsFile_ = true;
        awaiting_ = false;
        away_ = true;
        if (vfIdx > failedVf_) failedVf_ = vfIdx;
        break;
    case Event::Subscribed:
        if (!letGo_) break;
        letGo_ = false;
        if (needsFile_ && (fresh_ || away_) && !hung_ && !pulled_) d = join(true, now);
        break;
    }
    return d;
}

DriveHealth::State DriveHealth::state() const {
    std::lock_guard<std::mutex> lk(m_);
    if (letGo_ || pulled_) return State::LetGo;
    if (hung_) return State::Hung;
    if (needsFile_) return State::Failing;
    if (awaiting_) return State::Back;
    return slow_ ? State::Slow : State::Working;
}

bool DriveHealth::probes() const {
    std::lock_guard<std::mutex> lk(m_);
    return needsFile_ && !hung_ && !letGo_ && !pulled_;
}

bool DriveHealth::awaitsData() const {
    std::lock_guard<std::mutex> lk(m_);
    return awaiting_;
}

bool DriveHealth::storeKeeps(bool driveHung, uint32_t writerCallMs) {
    return !(driveHung && writerCallMs >= kLateMs);
}

bool DriveHealth::mayRejoin() const {
    std::lock_guard<std::mutex> lk(m_);
    return !hung_;
}

const char* nameOf(DriveHealth::State state) {
    switch (state) {
    case DriveHealth::State::Working:
        return "working";
    case DriveHealth::State::Slow:
        return "slow";
    case DriveHealth::State::Failing:
        return "failing";
    case DriveHealth::State::Hung:
        return "hung";
    case DriveHealth::State::LetGo:
        return "let go";
    case DriveHealth::State::Back:
        return "back";
    }
    return "?";
}

} // namespace measure::store
