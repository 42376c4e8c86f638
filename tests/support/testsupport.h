// Helpers shared by the tests: temporary folders, test data, files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR, removed with everything in it when the object ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// A temporary device root, made the process's device root for as long as the object lives.
class TempDeviceRoot : public TempDir {
public:
    TempDeviceRoot();
    ~TempDeviceRoot();
};

// Polls (in real time, every millisecond) until `ready` holds or `timeoutMs` pass; its last answer.
// The bound only ends a wait for a state that never comes: a busy host with a sanitizer may take
// seconds to reach one.
bool waitUntil(const std::function<bool()>& ready, int timeoutMs = 20000);
// The seconds from `t` to now.
double since(std::chrono::steady_clock::time_point t);

// The messages of the records that reached "/syslogq" since the last call (the queue is emptied).
std::vector<std::string> drainSyslog();
// How many of `lines` contain `text`.
int countContaining(const std::vector<std::string>& lines, const std::string& text);
// How many times `what` is in `text` (overlapping ones each).
int countOf(const std::string& text, const std::string& what);
// How many records of `what` a log file's `text` tells of: one a line, and N for a line of the flood
// guard's count ("... repeated N times").
long countLogged(const std::string& text, const std::string& what);

// Absolute path of a file in the repository's tests/data folder.
std::string testdataPath(const std::string& rel);
// The lines of a gzip-compressed text file (none when it cannot be read).
std::vector<std::string> gunzipLines(const std::string& path);
// The numbers of the JSON array named `key` in `text`.
std::vector<double> jsonArray(const std::string& text, const std::string& key);
// Absolute path of the repository root and of the build folder.
// The most a device task's wake-up is held late under the perturbation that MSD_PERTURB asks for
// (docs/tests.md), in ms; 0 without it. A bound on one of the device's answers adds it per wake-up.
int perturbMaxMs();

std::string sourceDir();
std::string buildDir();

std::string readFile(const std::string& path);
std::vector<uint8_t> readBinary(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
void makeDirs(const std::string& path);
// Whether the file is there and nobody may write it (a closed measurement file).
bool readOnly(const std::string& path);

} // namespace testsupport
