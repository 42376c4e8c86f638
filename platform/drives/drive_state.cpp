#include "platform/drives/drive_state.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
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

bool writeState(const std::string& drive, const std::string& file, DriveState s) {
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
    if (!f) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written || fault > 0 || std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
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
    DriveState s;
    readState(file, &s);
    if (!change(s, context)) return true;
    return writeState(drive, file, s);
}

bool drive_stateAvailable(const DriveState& state, const char* drive) {
    return state.present && (driveName(drive) != "usb_meas" || state.inserted);
}
