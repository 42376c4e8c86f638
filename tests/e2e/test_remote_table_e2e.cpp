// The remote-control table, command by state: each of the PC's commands (0xE1, 0xE0, 0xD1, 0xE2,
// 0xED, 0xEE, 0xEF) in each state of the logging: running, stopped, destroyed, starting while a
// drive's start-up check is under way (the D-flag check's open held 4 s), while a stop or a destroy
// waits for its files (every close's attribute change held 4 s), during a destroy's teardown (each
// close held 14 s on the drive's write-through tasks: the answer comes at its bound, the destroy
// goes on) and during the shutdown. And the PC's commands beside its watch: in the watch's fifth
// ping after a stop or destroy (the PC silent until the command, answering after it), and behind a
// stop that waits for its files with the PC lost right after (every read-only mark held 7 s): the
// PC's command decides, the watch asks nothing and logging starts at most once; the same when the
// process is held 1 s (SIGSTOP) across the fifth failed ping with the command sent into the hold: it
// came before the watch's decision. And the PC lost for good from a stop or destroy on (also one on
// a destroy without the PC's address): the watch asks once, for what brings logging back from the
// state it finds (an init where nothing is built, a start where it is stopped), and nothing refuses
// it: logging runs again in a new file. After each,
// the state the table leaves (a refused request changes nothing): 0xED in any state ends in running
// with a new file, 0xEE after a stop ends in running, after a destroy starts nothing; the answer
// (00 with every file whole, FF only when logging refused it; none for the others) within 12 s of
// its own request; the file a closing command ends closed whole with its records up to the
// command. At the shutdown: a request the device took is answered before it ends, and it ends
// within 12 s with exit 0, every file whole, no record lost within a file, no name twice.
// Each lane is one device that goes through its rows one after the other; the lanes are cases of
// their own, which ctest runs side by side, each device in a network namespace of its own.
#include "app_process.h"
#include "campaign.h"
#include "logging_root.h"
#include "measfile.h"
#include "netns.h"
#include "pcservice.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using campaign::Logging;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration
constexpr int kAnswerMs = 12000;
constexpr int kStateMs = 20000; // logging reaches the table's state (a held start-up check included)
const std::vector<uint8_t> DONE = {0, 0, 0, 0, 0}, FAILED = {0xFF, 0, 0, 0, 0};

enum class State { Running, Stopped, Destroyed, Starting, StopWaits, DestroyWaits, Teardown };

const char* nameOf(State s) {
    static const char* const names[] = {
        "running",        "stopped",           "destroyed",           "starting",
        "a stop waiting", "a destroy waiting", "a destroy's teardown"};
    return names[int(s)];
}

// The PC's watch beside the row's command: none; the command in the watch's fifth ping (the PC
// silent from the stop or destroy on, answering after the command); the same with the process held
// 1 s from the fifth ping on, the command sent 0.2 s into the hold; the PC lost right after it (the
// row's state's request, or the row's command itself: `Lost`, the PC never answers again).
enum class Watch { None, Fifth, Held, PcLost, Lost };

struct Lane {
    const char* name;
    State state;
    const char* fault; // MSD_DRIVE_FAULT that makes the state last
    std::vector<uint8_t> commands;
    uint8_t atShutdown;
    Watch watch = Watch::None;
    bool bareDestroy = false; // the destroy on the way to the row's state has no address
};

void PrintTo(const Lane& lane, std::ostream* out) {
    *out << lane.name;
}

std::string hex(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", unsigned(v));
    return text;
}

std::string answerText(const std::vector<uint8_t>& a) {
    return a.empty() ? "none" : a == DONE ? "00" : a == FAILED ? "FF" : "?";
}

class RemoteTableE2E : public ::testing::TestWithParam<Lane> {
protected:
    void SetUp() override { ASSERT_TRUE(prepareLoggingRoot(root_, {.freshLog = true})); }

    std::string log() { return dev_->logText(); }
    int count(const std::string& what) { return countOf(log(), what); }
    bool logged(const std::string& what, int above, int ms) {
        return waitUntil([&] { return count(what) > above; }, ms);
    }

    // The next answer within 12 s of `sent`.
    std::vector<uint8_t> answer(Clock::time_point sent, const std::string& what) {
        const int left = kAnswerMs + 2000 - int(since(sent) * 1000);
        const std::vector<uint8_t> a = pcs_->reply(std::max(left, 0));
        const double took = since(sent);
        if (a.empty())
            ADD_FAILURE() << "(l) " << what << ": no answer within " << took << " s";
        else if (took > kAnswerMs / 1000.0)
            ADD_FAILURE() << "(l) " << what << ": answered " << answerText(a) << " after " << took << " s";
        return a;
    }

    std::string expect(Logging state, const std::map<std::string, size_t>& before, bool newFile) {
        if (!dev_->running()) return "the device has ended: " + lastLines(20);
        return campaign::awaitLogging(*dev_, meas_, COUNTERS, state, before, newFile, kStateMs);
    }

    // The newest file while logging runs, once it has records to close.
    std::string openFile() {
        std::string open;
        waitUntil(
            [&] {
                const auto files = campaign::measurementFiles(meas_);
                open = files.empty() ? "" : files.back();
                return !open.empty() && !campaign::fileState(meas_, open).whole &&
                       measfile::readFile(meas_ + "/" + open).recordsOf(COUNTERS).size() >= 20;
            },
            kStateMs);
        return open;
    }

    void command(uint8_t code) {
        EXPECT_TRUE(pcs_->command(code)) << "(l) the device takes no command: its queue stays full";
    }

    // A request on the way to a row's state: answered 00 in time. `bare`: without the PC's address.
    void request(uint8_t code, const std::string& what, bool bare = false) {
        const auto sent = Clock::now();
        EXPECT_TRUE(bare ? pcs_->send({code, 0, 0, 0, 0}) : pcs_->command(code))
            << "(l) the device takes no command: its queue stays full";
        EXPECT_EQ(answerText(answer(sent, what)), "00") << what;
    }

    // Brings logging into a steady state of the table by the table's own commands.
    bool bring(Logging target) {
        const std::map<std::string, size_t> before = campaign::recordsByFile(meas_, COUNTERS);
        bool fresh = false;
        if (target != Logging::Running && state_ != target) {
            if (!bring(Logging::Running)) return false;
            request(target == Logging::Stopped ? 0xE1 : 0xE0,
                    std::string("on the way to ") + campaign::nameOf(target),
                    target == Logging::Destroyed && GetParam().bareDestroy);
        } else if (target == Logging::Running && state_ != Logging::Running) {
            fresh = true;
            command(state_ == Logging::Stopped ? 0xEE : 0xED);
        }
        std::string wrong = expect(target, before, fresh);
        if (wrong.empty() && target == Logging::Running && openFile().empty())
            wrong = "no open file with records";
        state_ = target;
        if (wrong.empty()) return true;
        ADD_FAILURE() << "on the way to " << campaign::nameOf(target) << ": " << wrong << "\n"
                      << lastLines(40);
        return false;
    }

    std::string lastLines(int n) {
        const std::string text = log();
        size_t at = text.size();
        for (int i = 0; i <= n && at != std::string::npos && at > 0; ++i) at = text.rfind('\n', at - 1);
        return at == std::string::npos ? text : text.substr(at + 1);
    }

    // One row: logging brought into `state`, then `x`.
    void row(State state, uint8_t x) {
        const std::string what = hex(x) + " while " + nameOf(state) +
                                 (watch_ == Watch::Fifth ? " in the watch's fifth ping" : "") +
                                 (watch_ == Watch::Held ? " in the fifth ping, the process held" : "") +
                                 (watch_ == Watch::PcLost || watch_ == Watch::Lost ? ", the PC lost" : "");
        SCOPED_TRACE(what);
        Logging model =
            state == State::Stopped || state == State::StopWaits ? Logging::Stopped
            : state == State::Destroyed || state == State::DestroyWaits || state == State::Teardown
                ? Logging::Destroyed
                : Logging::Running;
        const int decided = campaign::watchDecisions(log()); // the watch's, waited for after the command
        const bool steady = state == State::Running || state == State::Stopped || state == State::Destroyed;
        std::string open; // the file that a closing command ends
        std::map<std::string, size_t> before;
        size_t from = 0;
        Clock::time_point sent;
        auto send = [&] {
            before = campaign::recordsByFile(meas_, COUNTERS);
            from = log().size();
            sent = Clock::now();
            command(x);
        };
        size_t rowStart = log().size();
        bool heldBefore = false; // the command came into the queue while the fifth ping was still on
        if (watch_ == Watch::Fifth || watch_ == Watch::Held) {
            // Each silent ping fails after 1 s: the command comes 0.35 to 0.7 s before the fifth fails.
            ASSERT_TRUE(bring(Logging::Running)) << "the row's state cannot be reached";
            dev_->shell("board ping silent");
            request(model == Logging::Stopped ? 0xE1 : 0xE0, "the request the watch watches");
            // The fifth ping began after the last look that found fewer: it fails 1 s after that at
            // the earliest.
            auto fewer = Clock::now();
            ASSERT_TRUE(waitUntil(
                [&] {
                    const auto look = Clock::now();
                    const int pings = campaign::pingsToTheDouble(*dev_);
                    if (pings >= 0 && pings < 5) fewer = look;
                    return pings >= 5;
                },
                kStateMs))
                << lastLines(40);
            if (watch_ == Watch::Fifth) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + 70 * (rows_++ % 6)));
                send();
            } else {
                // Held from before the fifth ping fails, the command sent into the hold: it comes into
                // the queue 0.8 s before the process, and with it the watch, goes on.
                dev_->signal(SIGSTOP);
                heldBefore = since(fewer) < 0.9;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                send();
                std::this_thread::sleep_for(std::chrono::milliseconds(800));
                dev_->signal(SIGCONT);
            }
            dev_->shell("board ping answer");
        } else if (steady) {
            ASSERT_TRUE(bring(model)) << "the row's state cannot be reached";
            if (model == Logging::Running) open = openFile();
            send();
            if (watch_ == Watch::Lost) dev_->shell("board ping silent");
        } else if (state == State::Starting) {
            // The start's D-flag check on meas: is held: the command comes while it is under way.
            ASSERT_TRUE(bring(Logging::Stopped)) << "the row's state cannot be reached";
            static const std::string kChecked = "check on 'meas:' took";
            // The checks of the starts before this one (each start checks meas: once) have ended:
            // the one under way when the command comes is this start's.
            ASSERT_TRUE(
                waitUntil([&] { return count(kChecked) >= count("Start new measurement"); }, kStateMs))
                << lastLines(40);
            const int starts = count("Start new measurement"), checked = count(kChecked);
            command(0xEE);
            ASSERT_TRUE(logged("Start new measurement", starts, kStateMs)) << lastLines(40);
            send();
            ASSERT_TRUE(logged(campaign::receivedLine(x),
                               countOf(log().substr(0, from), campaign::receivedLine(x)), kStateMs));
            const std::string after = log().substr(from);
            const size_t done = after.find(kChecked);
            ASSERT_TRUE(countOf(log().substr(0, from), kChecked) == checked &&
                        (done == std::string::npos || after.find(campaign::receivedLine(x)) < done))
                << "the row's command came after the start-up check had ended: not in its state\n"
                << after;
        } else {
            // A stop or destroy whose files wait for their held close; or a destroy answered at its
            // bound whose teardown goes on.
            ASSERT_TRUE(bring(Logging::Running)) << "the row's state cannot be reached";
            const uint8_t closing = state == State::StopWaits ? 0xE1 : 0xE0;
            const std::string taken =
                state == State::StopWaits ? "Stopping measurement" : "meas_app_remotedestroy ";
            const int above = count(taken);
            const auto asked = Clock::now();
            command(closing);
            ASSERT_TRUE(logged(taken, above, kStateMs)) << lastLines(40);
            if (state == State::Teardown) {
                // Its answer comes at its bound while its close goes on: the teardown is under way.
                const std::vector<uint8_t> a = answer(asked, "the destroy before the row");
                const double took = since(asked);
                EXPECT_EQ(answerText(a), "FF") << "the destroy's close outlasts its bound";
                ASSERT_NE(dev_->shell("meas_state").find("meas_app_destroyreq        = 1"), std::string::npos)
                    << "the destroy before the row was over when it was answered " << answerText(a)
                    << " after " << took << " s, its close held 14 s: the row is not in its state\n"
                    << lastLines(60);
                send();
            } else {
                ASSERT_EQ(pcs_->waiting(), 0)
                    << "the request before the row was answered before the row's command";
                send();
                if (watch_ == Watch::PcLost) dev_->shell("board ping silent");
                EXPECT_EQ(answerText(answer(asked, hex(closing) + " before the row")), "00") << lastLines(80);
            }
        }
        // The row's own answer.
        std::vector<uint8_t> a;
        if (campaign::isRequest(x)) a = answer(sent, what);
        ASSERT_TRUE(logged(campaign::receivedLine(x),
                           countOf(log().substr(0, from), campaign::receivedLine(x)), kStateMs))
            << "the device never took " << hex(x);
        if (watch_ != Watch::None) {
            const bool seen = waitUntil([&] { return campaign::watchDecisions(log()) > decided; }, kStateMs);
            dev_->shell("board ping answer");
            ASSERT_TRUE(seen) << "the watch's fifth failed ping never came\n" << lastLines(40);
        }
        // A host that held the command back past the fifth failed ping: the watch asked first, and the
        // command meets the state the watch's request left (logging running), as the table says. Not
        // so a command that came into the queue before the watch's decision: it is taken first.
        bool askedFirst = false;
        if (watch_ == Watch::Fifth || watch_ == Watch::Held) {
            const std::string text = log();
            const size_t ask = text.find("remote lost, do a remote", rowStart);
            askedFirst = ask != std::string::npos && ask < text.find(campaign::receivedLine(x), from);
            if (askedFirst && heldBefore) {
                ADD_FAILURE() << "(k) the watch asked before " << hex(x)
                              << ", which came into the queue 0.8 s before its decision\n"
                              << lastLines(40);
            } else if (askedFirst) {
                std::printf("%s: the command came after the watch's ask (a slow host): the row is %s in "
                            "running\n",
                            what.c_str(), hex(x).c_str());
                model = Logging::Running;
                rowStart = text.find('\n', ask);
            }
        }
        const bool taken =
            campaign::takenByLog(campaign::logWithAnswers(*dev_, from, a == FAILED ? 1 : 0), {x}).front();
        if (campaign::isRequest(x)) {
            if (steady) {
                EXPECT_EQ(answerText(a), "00") << "no file is unfinished and nothing else is under way";
            } else if (a == FAILED) {
                EXPECT_FALSE(taken) << "FF while the request was taken and no file is unfinished\n"
                                    << lastLines(60);
            }
        }
        // The PC lost for good: the watch gives logging back after the row's stop or destroy.
        const Logging ordered = campaign::after(model, x, taken);
        const bool givenBack = watch_ == Watch::Lost && taken && ordered != Logging::Running;
        const Logging expected = givenBack ? Logging::Running : ordered;
        const bool fresh = givenBack || (taken && campaign::startsNewFile(model, x));
        const std::string wrong = expect(expected, before, fresh);
        EXPECT_TRUE(wrong.empty()) << "(k) the table leaves logging " << campaign::nameOf(expected)
                                   << (fresh ? " with a new file" : "") << " (the request "
                                   << (taken ? "taken" : "refused") << ", answered " << answerText(a)
                                   << "): " << wrong << "\n"
                                   << lastLines(40);
        state_ = expected;
        if (givenBack) {
            // Asked once, for what brings logging back from the state the watch found, and carried
            // out: no lock refuses the watch's own request.
            const std::string after = log().substr(from);
            const std::string right = ordered == Logging::Destroyed ? "do a remoteinit" : "do a remotestart";
            EXPECT_TRUE(countOf(after, "remote lost, do a remote") == 1 && countOf(after, right) == 1 &&
                        countOf(after, "start: failed") + countOf(after, "init: failed") == 0 &&
                        countOf(after, "New measurement started") == 1)
                << "(k) the watch asks once, for what brings back logging " << campaign::nameOf(ordered)
                << ", and nothing refuses it\n"
                << lastLines(40);
        } else if (watch_ != Watch::None) {
            const std::string after = log().substr(askedFirst ? rowStart : from);
            EXPECT_EQ(countOf(after, "remote lost, do a remote"), 0)
                << "(k) the watch asked after the PC's own " << hex(x) << "\n"
                << lastLines(40);
            EXPECT_LE(countOf(after, "New measurement started"), 1) << "(k) logging started twice\n"
                                                                    << lastLines(40);
        }
        // The file it closed, as a stop closes it: whole, its records up to the command.
        const bool closes = !open.empty() && taken && (x == 0xE1 || x == 0xE0 || x == 0xD1 || x == 0xED);
        if (closes) {
            const double asked = loggedStamp(log().substr(from), campaign::receivedLine(x));
            campaign::FileState s;
            waitUntil([&] { return (s = campaign::fileState(meas_, open)).whole; }, kStateMs);
            EXPECT_TRUE(s.whole) << "(k) " << open << ", open at " << hex(x) << ", is not closed whole: it "
                                 << s.why;
            const auto records = measfile::readFile(meas_ + "/" + open).recordsOf(COUNTERS);
            EXPECT_TRUE(!records.empty() && records.back().ts / 10000.0 > asked - 0.15)
                << "(k) " << open << " ends before " << hex(x);
        }
        EXPECT_EQ(pcs_->waiting(), 0) << "an answer nobody asked for";
        while (!pcs_->reply(0).empty()) {
        }
        std::printf("%s: answered %s, %s, logging %s (%.1f s)\n", what.c_str(), answerText(a).c_str(),
                    taken ? "taken" : "refused", campaign::nameOf(expected), since(sent));
        std::fflush(stdout);
        if (!wrong.empty()) {
            // Unknown now: 0xED ends in running from any state; the lane ends when it does not.
            state_ = Logging::Destroyed;
            ASSERT_TRUE(bring(Logging::Running)) << "0xED does not bring logging back after the row";
        }
    }

    // The lane's end: SIGTERM and `x` at once. A request the device took is answered before it
    // ends, and it ends in time with every file whole.
    void shutdown(uint8_t x) {
        SCOPED_TRACE(hex(x) + " during the shutdown");
        const size_t from = log().size();
        const auto term = Clock::now();
        dev_->signal(SIGTERM);
        command(x);
        const int exitCode = dev_->waitExit(kAnswerMs + 8000);
        const double ended = since(term);
        const std::string after = log().substr(from), all = log();
        EXPECT_LE(ended, kAnswerMs / 1000.0) << "the process ended " << ended << " s after SIGTERM";
        const std::vector<uint8_t> a = pcs_->reply(100);
        if (campaign::isRequest(x) && after.find(campaign::receivedLine(x)) != std::string::npos) {
            EXPECT_FALSE(a.empty()) << "(l) " << hex(x)
                                    << ", taken during the shutdown, got no answer before the end";
        }
        if (!campaign::isRequest(x)) {
            EXPECT_TRUE(a.empty()) << "an answer to " << hex(x);
        }
        // Once the fast stop is done nothing is built or started.
        const size_t fastStop = after.find("meas_app_fastmeasstop(): the files are closed at once");
        for (const char* never : {"Init new measurement", "Start new measurement"})
            EXPECT_TRUE(fastStop == std::string::npos || after.find(never, fastStop) == std::string::npos)
                << never << " after the fast stop began\n"
                << after.substr(fastStop);
        // (A measurement started during the shutdown is held to the same: its files whole at the end.)
        std::printf("%s during the shutdown: answered %s, exit %d after %.1f s\n", hex(x).c_str(),
                    answerText(a).c_str(), exitCode, ended);
        // Nothing lost, nothing unfinished: no fault leaves a file so.
        EXPECT_EQ(exitCode, 0) << "no file may be left unfinished\n" << lastLines(30);
        for (const std::string& b : campaign::checkDrives(meas_, root_.file("usb_meas"), all))
            ADD_FAILURE() << b;
        std::set<std::string> made;
        for (const std::string& name : campaign::filesMade(all)) {
            EXPECT_TRUE(made.insert(name).second) << "the name " << name << " is used twice";
            const campaign::FileState s = campaign::fileState(meas_, name);
            EXPECT_TRUE(s.whole) << name << (s.exists ? " " + s.why : std::string(" is gone"));
            const auto records = measfile::readFile(meas_ + "/" + name).recordsOf(COUNTERS);
            for (size_t i = 1; i < records.size(); ++i)
                if (records[i].ts - records[i - 1].ts != 100) {
                    ADD_FAILURE() << name << " lacks records after record " << i - 1 << " of "
                                  << records.size();
                    break;
                }
        }
    }

    // Devices of one PID disturb each other on one network: each lane's has its own (the learning
    // run's too).
    NetNamespace net_;
    Watch watch_ = Watch::None;
    int rows_ = 0; // the rows at the watch's fifth ping so far: each comes at another moment
    TempDir root_;
    const std::string meas_ = root_.file("meas");
    std::unique_ptr<AppProcess> dev_;
    std::unique_ptr<PcConnectionService> pcs_;
    Logging state_ = Logging::Running;
};

// Every close of a file held 14 s, on whichever write-through task of meas: makes it, and no call
// 10 s (that would count as hung): its open to set the read-only byte 5 s (so is each folder
// write-through's open of the root), the byte itself 9 s. The write-throughs of the next file's
// hand-overs go on.
constexpr const char* kSlowClose = "meas:open:1:hold5000:0@r_BFSSync*;meas:chmod:1:hold9000:0@r_BFSSync*";

} // namespace

TEST_P(RemoteTableE2E, EachCommandLeavesTheStateTheTableSays) {
    const Lane lane = GetParam();
    watch_ = lane.watch;
    if (!net_.ok()) std::printf("(no network namespace of its own: %s)\n", net_.reason().c_str());
    std::vector<std::string> env;
    if (*lane.fault) env.push_back(std::string("MSD_DRIVE_FAULT=") + lane.fault);
    dev_ = std::make_unique<AppProcess>(root_.path(), std::vector<std::string>{"0"}, env);
    ASSERT_TRUE(dev_->waitForShell(30000)) << dev_->stderrText();
    dev_->shell("board ping answer"); // the PC answers: no watch gives logging back by itself
    pcs_ = std::make_unique<PcConnectionService>(root_.path());
    ASSERT_TRUE(pcs_->ok()) << readFile(root_.file("mqueue-0.names"));
    ASSERT_TRUE(bring(Logging::Running));
    const auto began = Clock::now();
    for (uint8_t x : lane.commands) {
        row(lane.state, x);
        if (HasFatalFailure()) break;
    }
    // The destroy answered at its bound says when it answered, and that it goes on, its file still
    // being closed on the write-through task; only a request that is not made says it is not
    // carried out.
    if (lane.state == State::Teardown) {
        EXPECT_GE(count("not whole 11.5 s after the request, when it is answered"), 1) << lastLines(60);
        EXPECT_GE(count("is still being closed: the destroy goes on"), 1) << lastLines(60);
    }
    EXPECT_EQ(campaign::notCarriedOutWhileTaken(log()), "");
    // A close that outlasts the shutdown's bound (or comes near it) would leave its file to the
    // fault: logging ends first, its files whole.
    if (!HasFatalFailure() && (lane.fault == kSlowClose || lane.watch == Watch::PcLost) &&
        state_ == Logging::Running) {
        const auto sent = Clock::now();
        command(0xE1);
        answer(sent, "the stop before the shutdown");
        state_ = Logging::Stopped;
        const std::string wrong =
            campaign::awaitLogging(*dev_, meas_, COUNTERS, state_, {}, false, 3 * kStateMs);
        EXPECT_TRUE(wrong.empty()) << "before the shutdown: " << wrong;
    }
    // After a row that left the device unknown the shutdown would tell nothing of its own.
    if (!HasFatalFailure()) shutdown(lane.atShutdown);
    std::printf("lane %s: %.0f s\n", lane.name, since(began));
}

INSTANTIATE_TEST_SUITE_P(
    Lanes, RemoteTableE2E,
    ::testing::Values(
        Lane{"Running", State::Running, "", {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF}, 0xE1},
        Lane{"Stopped", State::Stopped, "", {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF}, 0xE0},
        Lane{"Destroyed", State::Destroyed, "", {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF}, 0xD1},
        Lane{"Starting",
             State::Starting,
             "meas:open:1:hold4000:0@r_DrvCall_meas",
             {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF},
             0xE2},
        Lane{"StopWaits",
             State::StopWaits,
             "meas:chmod:1:hold4000:0",
             {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF},
             0xED},
        Lane{"DestroyWaits",
             State::DestroyWaits,
             "meas:chmod:1:hold4000:0",
             {0xE1, 0xE0, 0xD1, 0xE2, 0xED, 0xEE, 0xEF},
             0xEE},
        // A file's open for its read-only held 4 s and its read-only change 9 s: no call hangs
        // (10 s), yet the destroy's close outlasts its answer's bound.
        Lane{"TeardownStop", State::Teardown, kSlowClose, {0xE1, 0xE0}, 0xEF},
        Lane{"TeardownRequests", State::Teardown, kSlowClose, {0xD1, 0xE2}, 0xE1},
        Lane{"TeardownInit", State::Teardown, kSlowClose, {0xED}, 0xE0},
        Lane{"TeardownOthers", State::Teardown, kSlowClose, {0xEE, 0xEF}, 0xE2},
        Lane{"FifthPingStop", State::Stopped, "", {0xEE, 0xE1, 0xED, 0xE0}, 0xEE, Watch::Fifth},
        Lane{"FifthPingDestroy", State::Destroyed, "", {0xED, 0xE0, 0xE1}, 0xED, Watch::Fifth},
        Lane{"HeldFifthPingStop", State::Stopped, "", {0xEE, 0xED}, 0xE2, Watch::Held},
        Lane{"HeldFifthPingDestroy", State::Destroyed, "", {0xED, 0xE1}, 0xEF, Watch::Held},
        Lane{"LostAfterStop", State::Stopped, "", {0xE0, 0xE1, 0xD1}, 0xE0, Watch::Lost},
        Lane{"LostAfterBareDestroy", State::Destroyed, "", {0xE1, 0xE0}, 0xE1, Watch::Lost, true},
        Lane{"StopWaitsPcLost",
             State::StopWaits,
             "meas:chmod:1:hold7000:0",
             {0xED, 0xEE},
             0xE1,
             Watch::PcLost}),
    [](const ::testing::TestParamInfo<Lane>& info) { return std::string(info.param.name); });
