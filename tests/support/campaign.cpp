#include "campaign.h"

#include "measfile.h"
#include "testsupport.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

namespace campaign {

std::vector<std::string> measurementFiles(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.size() == 12 && (name[0] == 'A' || name[0] == 'B') && name[8] == '.')
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

FileState fileState(const std::string& dir, const std::string& name) {
    FileState s;
    s.name = name;
    const std::string path = dir + "/" + name;
    s.exists = std::filesystem::exists(path);
    if (!s.exists) return s;
    s.readOnly = testsupport::readOnly(path);
    const measfile::File f = measfile::readFile(path);
    if (!f.ok())
        s.why = "does not parse: " + f.error;
    else if (f.truncated)
        s.why = "ends in a piece cut short";
    else if (f.metas.empty() || f.metas.back().type != 2)
        s.why = "does not end with its status block";
    else if (!s.readOnly)
        s.why = "is whole but writable";
    s.whole = s.why.empty();
    return s;
}

bool namedUnfinished(const std::string& log, const std::string& name) {
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find(name) != std::string::npos && line.find("not finished") != std::string::npos)
            return true;
    return false;
}

std::vector<std::string> checkDrives(const std::string& measDir, const std::string& stickDir,
                                     const std::string& log) {
    std::vector<std::string> broken;
    for (const std::string* dir : {&measDir, &stickDir}) {
        const std::string& other = dir == &measDir ? stickDir : measDir;
        for (const std::string& name : measurementFiles(*dir)) {
            const FileState s = fileState(*dir, name);
            if (s.whole) {
                const FileState o = fileState(other, name);
                if (o.whole &&
                    testsupport::readBinary(*dir + "/" + name) != testsupport::readBinary(other + "/" + name))
                    broken.push_back(*dir + "/" + name + " differs from its copy on the other drive");
                continue;
            }
            if (s.readOnly)
                broken.push_back(*dir + "/" + name + " is read-only but not whole: it " + s.why);
            else if (!namedUnfinished(log, name))
                broken.push_back(*dir + "/" + name + " is not whole (it " + s.why +
                                 ") and no line names it not finished");
        }
    }
    return broken;
}

std::vector<std::string> filesMade(const std::string& log) {
    static const std::string kMade = "VirtualFile::VirtualFile() created";
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find(kMade) != std::string::npos) out.push_back(line.substr(line.rfind(' ') + 1));
    return out;
}

std::vector<std::pair<std::string, std::string>> unfinishedAtExit(const std::string& log) {
    static const std::string kLook = "main(): ", kNot = " is not finished ";
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(kLook), n = line.find(kNot);
        if (at == std::string::npos || n == std::string::npos || n < at) continue;
        const std::string name = line.substr(at + kLook.size(), n - at - kLook.size());
        if (name.find(' ') == std::string::npos) out.emplace_back(name, line.substr(n + kNot.size()));
    }
    return out;
}

size_t recordsIn(const std::string& dir, uint8_t frameId) {
    size_t n = 0;
    for (const std::string& name : measurementFiles(dir)) {
        const measfile::File f = measfile::readFile(dir + "/" + name);
        if (f.ok()) n += f.recordsOf(frameId).size();
    }
    return n;
}

int absLapOf(const std::string& name) {
    if (name.size() != 12 || name[8] != '.') return -1;
    const std::string digits = name.substr(5, 3) + name.substr(9, 1);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return int(std::strtol(digits.c_str(), nullptr, 16));
}

bool whole() {
    const char* v = std::getenv("MSD_FAULT_CAMPAIGN");
    return v && std::string(v) == "all";
}

std::vector<size_t> sample(size_t total, size_t count, uint32_t seed) {
    std::vector<size_t> all(total);
    for (size_t i = 0; i < total; ++i) all[i] = i;
    if (whole() || count >= total) return all;
    std::mt19937 rng(seed);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(count);
    std::sort(all.begin(), all.end());
    return all;
}

} // namespace campaign
