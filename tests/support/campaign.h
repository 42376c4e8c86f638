// The fault campaign's rules for the files on the drives after a run: every measurement file is
// whole (it parses to its end, its status block comes last, it is read-only, and its copy on the
// other drive, where that is whole too, has the same bytes) or it is writable and the log names it
// as not finished. And the runs' choice: a seeded sample of the faults, or all of them when
// MSD_FAULT_CAMPAIGN=all.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {
class AppProcess;
}

namespace campaign {

struct FileState {
    std::string name;
    bool exists = false;
    bool whole = false;
    bool readOnly = false;
    std::string why; // what keeps it from being whole
};

// The measurement files ("A..." and "B...") of a drive folder, by name.
std::vector<std::string> measurementFiles(const std::string& dir);
FileState fileState(const std::string& dir, const std::string& name);
// Whether a line of `log` names `name` as not finished.
// With `drive`, only a line that names it not finished on that drive, or on no drive.
bool namedUnfinished(const std::string& log, const std::string& name, const std::string& drive = "");
// Every file of the two drive folders that breaks the rules, with the reason; empty when none.
std::vector<std::string> checkDrives(const std::string& measDir, const std::string& stickDir,
                                     const std::string& log);

// The names of the files the logging made ("VirtualFile::VirtualFile() created ... <name>"), in
// the order of the log; a file made while the start's search read the drives under the name it
// took once the search ended.
std::vector<std::string> filesMade(const std::string& log);
// The exit's own look: each file a line "main(): <name> is not finished <where>" names, with
// <where> (the drives it is unfinished on and why).
std::vector<std::pair<std::string, std::string>> unfinishedAtExit(const std::string& log);
// The complete records of block `frameId` in the measurement files of a folder (a file cut short
// counts up to its last complete record).
size_t recordsIn(const std::string& dir, uint8_t frameId);
// The absolute lap a file name carries ("A0102000.101": 0x000 * 16 + 1), -1 for no such name.
int absLapOf(const std::string& name);

// The complete records of block `frameId` in each measurement file of a folder, by name.
std::map<std::string, size_t> recordsByFile(const std::string& dir, uint8_t frameId);
// The time stamp (100 us) of the earliest complete record of block `frameId` in the measurement
// files of a folder; false when there is none.
bool firstRecord(const std::string& dir, uint8_t frameId, uint32_t* ts);
// The same of the latest complete record.
bool lastRecord(const std::string& dir, uint8_t frameId, uint32_t* ts);
// Where the records of block `frameId` (one every `step` time-stamp units) across the files of a
// folder first leave a gap ("between 12.3 s and 14.5 s"); empty when there is none.
std::string recordGap(const std::string& dir, uint8_t frameId, uint32_t step);
// The files the log says are finished: each one pruned from the file queue without a line naming
// it not finished before, and each one "finished on every drive after all"; in the log's order.
std::vector<std::string> saidFinished(const std::string& log);
// The copies' pieces of their own ("<name>.part") in a folder, each with its inode: a piece is the
// same piece as long as its inode is.
std::map<std::string, uint64_t> partFiles(const std::string& dir);

// The text of the log that comes most often within one second of its stamps, its numbers (and
// names and words of hexadecimal digits with a digit among them) masked as "#"; with that count.
std::pair<std::string, int> busiestText(const std::string& log);

// The logging's state as the PC's commands leave it (the remote-control table, docs/logging.md).
enum class Logging { Running, Stopped, Destroyed };
const char* nameOf(Logging state);
// The requests the listener answers: 0xE1, 0xE0, 0xD1 (a stop, a destroy, a flash request) and
// 0xE2 (a data transfer's begin). The others get no answer.
bool isRequest(uint8_t command);
// The listener's line when it takes the command ("Trevanox connected", ...).
const char* receivedLine(uint8_t command);
// The state after `command` in `before` by the table; `taken` false when the device refused the
// request (another was under way: answered FF, "refused").
Logging after(Logging before, uint8_t command, bool taken);
// Whether the command starts logging in a new file: 0xED in any state, 0xEE after a stop.
bool startsNewFile(Logging before, uint8_t command);
// For each command of `commands`, in order, whether the device took it: a request is refused when
// a "refused" line of its own, or one that its time was over behind another request ("... not
// carried out"), follows its receipt in `log` (the log from before the first one); 0xEE and 0xED
// when their lock refused them ("meas_app_remotestart: failed ...").
std::vector<bool> takenByLog(const std::string& log, const std::vector<uint8_t>& commands);
// The pings of the device's ping double since its mode was set (`board`), -1 when not shown.
int pingsToTheDouble(testsupport::AppProcess& dev);
// The watch's decisions at its fifth failed ping in `log`: asked, or not for the PC's command.
int watchDecisions(const std::string& log);
// A line saying a request is not carried out, other than the refusal of one whose time was over
// before its turn ("... behind another request: not carried out"); empty when there is none.
std::string notCarriedOutWhileTaken(const std::string& log);
// The device's log from `from` on, once it holds the lines of `failedAnswers` FF answers got since
// ("... answering MEAS_REPLY_ERROR", logged before the answer goes out): the logger writes the file
// on a task of its own, so an answer can reach the PC before its line reaches the file. Waits up
// to 5 s.
std::string logWithAnswers(testsupport::AppProcess& dev, size_t from, int failedAnswers);

// The stop, init and destroy requests that the state machine has not carried out yet, as
// `meas_state` shows them; -1 when it does not answer.
int requestsPending(testsupport::AppProcess& dev);
// Waits up to `boundMs` until logging is `expected`, as the outer interfaces show it: running with
// new records (more than `before` holds of a file, in a file not among `before` when `newFile`) on
// the logging drive, or not running with no request pending (`meas_state`), destroyed or not as
// expected, and every file on the logging drive whole. Not `strict` (a drive fault may hold the
// files back): by `meas_state` alone, running too. Empty when it is so, else what is seen.
std::string awaitLogging(testsupport::AppProcess& dev, const std::string& measDir, uint8_t frameId,
                         Logging expected, const std::map<std::string, size_t>& before, bool newFile,
                         int boundMs, bool strict = true);

// Picks `count` of `total` runs by a seed (all of them when the campaign runs whole); the indices
// in ascending order.
std::vector<size_t> sample(size_t total, size_t count, uint32_t seed);
// MSD_FAULT_CAMPAIGN=all: every run of the campaign.
bool whole();

} // namespace campaign
