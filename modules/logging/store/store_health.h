// A drive's health as its writer knows it: one record per writer, fed with what happens to the drive
// in the order it happens, and the one place that decides when the drive joins again (its writer
// asks the file store for a new file, which cuts every drive) and whether the store keeps files for
// it.
//
// Working: it takes its files. Slow: a call of it is under way for over a second; its files stay,
// nothing is cut for it, and the call's return is no return. Failing: its newest file failed and no
// file was opened there since; it is probed. Hung: a call of it has not returned for 10 s. Let go:
// its writer left the store, or the stick was pulled. Back: it joined, or a file was opened on it
// since it failed, and it waits for that file's data to hold ("takes data again").
//
// A join comes once per return, on the event of the return: the first probe that succeeds after the
// newest file failed, or after a probe failed; a hung call that returned; its writer back in the
// store after it was let go. A lap, a fragment or a command's cut is a cut and never a join: the
// files they open are tried on the drive as on any drive, and their success is what "takes data
// again" follows. A join's file that fails is no return, but while the drive answers its probes it
// joins again, one cut each time, at a pace that slows from 1 s to 9 s between joins: a drive that
// fails only the writer's files costs the others a file every 9 s at most, and one that takes them
// again is logged on within 10 s.
// A drive named hung while its writer is in a call of it, or let go, holds no files in the store.
#pragma once

#include <cstdint>
#include <mutex>

namespace measure::store {

class DriveHealth {
public:
    enum class State : uint8_t { Working, Slow, Failing, Hung, LetGo, Back };
    enum class Event : uint8_t {
        NewestFailed, // the drive failed the newest file its writer opened (not for a pulled stick)
        OlderFailed,  // ... a file older than that: the newest is written on
        CallLate,     // a call of the drive is under way for over a second
        CallsAnswer,  // none is
        CallHung,     // one has not returned for 10 s: the drive is named hung
        CallReturned, // the hung call returned
        ProbeFailed,
        ProbeGood,
        FileOpened, // a file was created on the drive
        DataHeld,   // a write-through of a file held, or the file closed whole
        Pulled,     // the stick was pulled
        Arrived,    // a stick arrived (its arrival cuts the files by itself)
        LetGo,      // the writer left the store with the files it had
        Subscribed, // the writer is in the store again
    };
    // What the writer does after an event.
    struct Decision {
        bool join = false;         // asks for a new file now
        bool answersAgain = false; // the join follows the drive's answer (else the failure's own line)
        bool failing = false;      // the drive's failure begins: the writer keeps its reason
        bool tellProbe = false;    // a probe failed: said once while the drive fails
        bool takesData = false;    // "takes data again"
        bool again = false;        // the join's file failed, the probes succeed: it joins again
    };
    // A writer's call of its drive this long (ms) counts as late.
    static constexpr uint32_t kLateMs = 1000;
    // The pace of the joins again after a join's file failed (ms): the first after 1 s, each next
    // one after twice as long, at most 9 s: with a probe's pace on top, never 10 s apart.
    static constexpr uint32_t kAgainFirstMs = 1000, kAgainMaxMs = 9000;

    // `vfIdx`: the file of NewestFailed, OlderFailed, FileOpened, DataHeld, and for LetGo the newest
    // file the writer had: only a file opened after the failure tells that the drive takes data.
    // `now`: the store's clock (100 us) at an event that may join (a probe, a hung call's return, the
    // writer back in the store): the joins again keep their pace by it.
    Decision on(Event event, int vfIdx = -1, uint32_t now = 0);
    State state() const;
    // The drive is probed now: its newest file failed, none came since, and it neither hangs nor is
    // let go.
    bool probes() const;
    // Back: the drive joined, or a file was opened there since it failed, and a file's data holding
    // there is news.
    bool awaitsData() const;
    // The store keeps files for the writer: not once its drive is named hung (`driveHung`, as the
    // drive calls tell it now) while the writer is in a call of it (`writerCallMs` long): the writer
    // is let go at once, and its files are named unfinished.
    static bool storeKeeps(bool driveHung, uint32_t writerCallMs);
    // A writer that was let go may join the store again: its drive does not hang.
    bool mayRejoin() const;

private:
    Decision join(bool answersAgain, uint32_t now);

    mutable std::mutex m_;
    bool needsFile_ = false; // the newest file failed, no file opened since
    bool awaiting_ = false;  // joined or a file opened since the failure, no data held yet
    bool fresh_ = false;     // the failure has had no join yet
    bool away_ = false;      // a probe failed, a call hung or the writer was let go since the last join
    bool told_ = false;      // a failed probe was told
    bool slow_ = false;
    bool hung_ = false;
    bool letGo_ = false;
    bool pulled_ = false;
    int failedVf_ = -1;     // the newest file when the drive failed: later ones tell that it works
    uint32_t joinedAt_ = 0; // the last join
    uint32_t againMs_ = 0;  // the wait after it before a join again; 0: none came since the drive took data
};

const char* nameOf(DriveHealth::State state);

} // namespace measure::store
