// The fault campaign's rules for the files on the drives after a run: every measurement file is
// whole (it parses to its end, its status block comes last, it is read-only, and its copy on the
// other drive, where that is whole too, has the same bytes) or it is writable and the log names it
// as not finished. And the runs' choice: a seeded sample of the faults, or all of them when
// MSD_FAULT_CAMPAIGN=all.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
bool namedUnfinished(const std::string& log, const std::string& name);
// Every file of the two drive folders that breaks the rules, with the reason; empty when none.
std::vector<std::string> checkDrives(const std::string& measDir, const std::string& stickDir,
                                     const std::string& log);

// The names of the files the logging made ("VirtualFile::VirtualFile() created ... <name>"), in
// the order of the log.
std::vector<std::string> filesMade(const std::string& log);
// The exit's own look: each file a line "main(): <name> is not finished <where>" names, with
// <where> (the drives it is unfinished on and why).
std::vector<std::pair<std::string, std::string>> unfinishedAtExit(const std::string& log);
// The complete records of block `frameId` in the measurement files of a folder (a file cut short
// counts up to its last complete record).
size_t recordsIn(const std::string& dir, uint8_t frameId);
// The absolute lap a file name carries ("A0102000.101": 0x000 * 16 + 1), -1 for no such name.
int absLapOf(const std::string& name);

// Picks `count` of `total` runs by a seed (all of them when the campaign runs whole); the indices
// in ascending order.
std::vector<size_t> sample(size_t total, size_t count, uint32_t seed);
// MSD_FAULT_CAMPAIGN=all: every run of the campaign.
bool whole();

} // namespace campaign
