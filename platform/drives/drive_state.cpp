#include "platform/drives/drive_state.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex gStateLock; // one writer of the state files in this process

bool parseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > UINT32_MAX) return false;
    *value = uint32_t(v);
    return true;
}

std::string driveName(const char* drive) {
    std::string d(drive ? drive : "");
    if (!d.empty() && d.back() == ':') d.pop_back();
    return d;
}

// One line into the state; false when it is not one of the known keys.
bool parseLine(const std::string& line, DriveState* s) {
    std::istringstream fields(line);
    std::string key, a, b, extra;
    if (!(fields >> key)) return false;
    uint32_t v = 0;
    if (key == "attr") {
        if (!(fields >> a >> b) || (fields >> extra) || !parseNumber(b, &v) || v > 0xFF) return true;
        s->setAttr(a, uint8_t(v));
        return true;
    }
    if (key != "dirsize" && key != "present" && key != "inserted" && key != "status" && key != "dirattr")
        return false;
    const bool ok = (fields >> a) && !(fields >> extra) && parseNumber(a, &v);
    if (key == "dirsize") {
        s->dirSizeValid = ok;
        if (ok)
            s->dirSize = v;
        else
            s->otherLines.push_back(line); // kept as found: the partition stays damaged
    } else if (!ok) {
        // counts as missing
    } else if (key == "present") {
        s->present = v != 0;
    } else if (key == "inserted") {
        s->inserted = v != 0;
    } else if (key == "status") {
        s->status = v;
    } else if (v <= 0xFF) {
        s->dirAttr = uint8_t(v);
    }
    return true;
}

bool readState(const std::string& file, DriveState* s) {
    *s = DriveState{};
    std::ifstream in(file);
    std::string line;
    while (in && std::getline(in, line)) {
        if (!parseLine(line, s) && line.find_first_not_of(" \t\r") != std::string::npos)
            s->otherLines.push_back(line);
    }
    return true;
}

// What identifies the version of the state file read: a writer outside the process (the stick
// pulled, the PC's flag) replaces the file, which gives it a new inode.
struct Version {
    bool exists = false;
    ino_t inode = 0;
    int64_t mtimeNs = 0;
    off_t size = 0;
    bool operator==(const Version&) const = default;
};
Version versionOf(const std::string& file) {
    Version v;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return v;
    v.exists = true;
    v.inode = st.st_ino;
    v.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    v.size = st.st_size;
    return v;
}

enum class Written { Ok, Failed, Changed };

// Writes the state beside the file and renames it over, unless the file is no longer the version
// the state was read from (then nothing is written: the caller reads it again).
Written writeState(const std::string& drive, const std::string& file, DriveState s, const Version& read) {
    const int fault = drivefault_enter(drive, DRIVE_OP_RENAME);
    if (fault == DRIVE_FAULT_PULL_HERE) s.inserted = false;
    std::ostringstream out;
    if (s.dirSizeValid) out << "dirsize " << s.dirSize << "\n";
    out << "present " << (s.present ? 1 : 0) << "\n";
    out << "inserted " << (s.inserted ? 1 : 0) << "\n";
    out << "status 0x" << std::hex << s.status << std::dec << "\n";
    out << "dirattr 0x" << std::hex << unsigned(s.dirAttr) << std::dec << "\n";
    for (const auto& [name, attr] : s.attrs)
        out << "attr " << name << " 0x" << std::hex << unsigned(attr) << std::dec << "\n";
    for (const auto& l : s.otherLines) out << l << "\n";
    const std::string text = out.str();
    const std::string tmp = file + ".tmp" + std::to_string(::getpid());
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return Written::Failed;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written || fault > 0) {
        std::remove(tmp.c_str());
        return Written::Failed;
    }
    if (!(versionOf(file) == read)) {
        std::remove(tmp.c_str());
        return Written::Changed;
    }
    if (std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::remove(tmp.c_str());
        return Written::Failed;
    }
    return Written::Ok;
}

} // namespace

uint8_t DriveState::attrOf(const std::string& file) const {
    const auto it = attrs.find(file);
    return it == attrs.end() ? DRIVE_ATTR_DEFAULT : it->second;
}

void DriveState::setAttr(const std::string& file, uint8_t attr) {
    if (attr == DRIVE_ATTR_DEFAULT)
        attrs.erase(file);
    else
        attrs[file] = attr;
}

std::string drive_stateFile(const char* drive) {
    std::string dir;
    if (!devpath_driveDir(drive, &dir)) return {};
    return dir + ".drive";
}

bool drive_stateRead(const char* drive, DriveState* state) {
    const std::string file = drive_stateFile(drive);
    if (file.empty() || !state) return false;
    return readState(file, state);
}

bool drive_stateUpdateFn(const char* drive, bool (*change)(DriveState&, void*), void* context) {
    const std::string file = drive_stateFile(drive);
    if (file.empty()) return false;
    std::lock_guard<std::mutex> g(gStateLock);
    // Changed from outside meanwhile: the change is made again on what is there now.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const Version read = versionOf(file);
        DriveState s;
        readState(file, &s);
        if (!change(s, context)) return true;
        const Written w = writeState(drive, file, s, read);
        if (w != Written::Changed) return w == Written::Ok;
    }
    return false;
}

bool drive_stateAvailable(const DriveState& state, const char* drive) {
    return state.present && (driveName(drive) != "usb_meas" || state.inserted);
}
