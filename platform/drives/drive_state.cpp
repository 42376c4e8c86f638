#include "platform/drives/drive_state.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

// One writer of each drive's state file in this process, so that a drive that hangs in its rewrite
// holds no other drive's; recursive for what a power cut at the state's own rewrite removes.
std::recursive_mutex& stateLockOf(const std::string& file) {
    static std::mutex m;
    static auto* locks =
        new std::map<std::string, std::unique_ptr<std::recursive_mutex>>; // used while the process ends
    std::lock_guard<std::mutex> g(m);
    std::unique_ptr<std::recursive_mutex>& lock = (*locks)[file];
    if (!lock) lock = std::make_unique<std::recursive_mutex>();
    return *lock;
}

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

void parseState(const std::string& text, DriveState* s) {
    *s = DriveState{};
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!parseLine(line, s) && line.find_first_not_of(" \t\r") != std::string::npos)
            s->otherLines.push_back(line);
    }
}

// The state file as read: its text, read through the descriptor whose inode names the version. The
// descriptor stays open while the version is compared, so that the inode cannot be reused meanwhile.
struct Read {
    int fd = -1;
    bool exists = false;
    struct stat st {};
    std::string text;
    Read() = default;
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    ~Read() {
        if (fd >= 0) ::close(fd);
    }
};

// False when the file is there but cannot be read (a missing file reads as the defaults).
bool readFile(const std::string& file, Read* r) {
    r->fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (r->fd < 0) return errno == ENOENT;
    r->exists = true;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(r->fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        r->text.append(buf, size_t(n));
    }
    // Taken after the text: a change in place while it was read shows as another version.
    return ::fstat(r->fd, &r->st) == 0;
}

// What a swap took out is the version read: the same file, not changed in place since.
bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int renameFlags(const std::string& from, const std::string& to, unsigned flags) {
    // The system call itself: older C libraries lack the wrapper.
    return int(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
}

void syncFolderOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string textOf(const DriveState& s) {
    std::ostringstream out;
    if (s.dirSizeValid) out << "dirsize " << s.dirSize << "\n";
    out << "present " << (s.present ? 1 : 0) << "\n";
    out << "inserted " << (s.inserted ? 1 : 0) << "\n";
    out << "status 0x" << std::hex << s.status << std::dec << "\n";
    out << "dirattr 0x" << std::hex << unsigned(s.dirAttr) << std::dec << "\n";
    for (const auto& [name, attr] : s.attrs)
        out << "attr " << name << " 0x" << std::hex << unsigned(attr) << std::dec << "\n";
    for (const auto& l : s.otherLines) out << l << "\n";
    return out.str();
}

// Writes `text` durably into `tmp`: its descriptor (kept open, so that its inode is not reused
// while it is compared), or -1.
int writeNew(const std::string& tmp, const std::string& text) {
    ::unlink(tmp.c_str()); // left by a process of the same id that was killed
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    if (done == text.size() && ::fsync(fd) == 0) return fd;
    ::close(fd);
    ::unlink(tmp.c_str());
    return -1;
}

// After a swap took out another version than the one read: swaps again until what comes out is
// what the swap before put in. Then the newest version from outside stands again, also when its
// writer replaced the file once more meanwhile. `putIn` is the descriptor of what the first swap
// put in; what is compared stays open, so that no new file can take its inode meanwhile.
void swapBack(const std::string& file, const std::string& tmp, int putIn) {
    int expected = ::dup(putIn);
    for (int round = 0; round < 1000 && expected >= 0; ++round) {
        const int before = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
        if (before < 0) break;
        struct stat in {
        }, out{};
        if (renameFlags(tmp, file, RENAME_EXCHANGE) != 0 || ::fstat(expected, &in) != 0 ||
            ::lstat(tmp.c_str(), &out) != 0 || sameFile(out, in)) {
            ::close(before);
            break; // done, or the file went: nothing to put back
        }
        ::close(expected);
        expected = before;
    }
    if (expected >= 0) ::close(expected);
}

enum class Written { Ok, Failed, Changed };

// Writes the state beside the file and swaps it in, unless the file is no longer the version the
// state was read from: then the file from outside stands and the caller reads it again.
Written writeState(const std::string& drive, const std::string& file, DriveState s, const Read& read) {
    const int fault = drivefault_enter(drive, DRIVE_OP_RENAME);
    if (fault == DRIVE_FAULT_PULL_HERE) s.inserted = false;
    if (fault > 0) return Written::Failed;
    const std::string tmp = file + ".tmp" + std::to_string(::getpid());
    const int mine = writeNew(tmp, textOf(s));
    if (mine < 0) return Written::Failed;
    Written result = Written::Ok;
    if (!read.exists) {
        // Nothing to swap with: put in only while there is still none.
        if (renameFlags(tmp, file, RENAME_NOREPLACE) != 0)
            result = errno == EEXIST ? Written::Changed : Written::Failed;
    } else if (renameFlags(tmp, file, RENAME_EXCHANGE) != 0) {
        // The file went meanwhile (read it again), or its file system cannot swap: then the version
        // is checked before the rename, which leaves a short window.
        if (errno == ENOENT) {
            result = Written::Changed;
        } else if (errno != EINVAL && errno != ENOSYS) {
            result = Written::Failed;
        } else {
            struct stat now {};
            if (::stat(file.c_str(), &now) != 0 || !sameVersion(now, read.st))
                result = Written::Changed;
            else if (std::rename(tmp.c_str(), file.c_str()) != 0)
                result = Written::Failed;
        }
    } else {
        struct stat out {};
        if (::lstat(tmp.c_str(), &out) != 0 || !sameVersion(out, read.st)) {
            swapBack(file, tmp, mine);
            result = Written::Changed;
        }
    }
    ::unlink(tmp.c_str()); // the old version, or the process's own that did not stand
    ::close(mine);
    if (result != Written::Failed) syncFolderOf(file);
    return result;
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
    Read r;
    readFile(file, &r);
    parseState(r.text, state);
    return true;
}

bool drive_stateAvailableNow(const char* drive) {
    const std::string file = drive_stateFile(drive);
    if (file.empty()) return false;
    Read r;
    readFile(file, &r);
    // Only the two keys that say it: a drive's many attribute lines are not parsed at every write.
    DriveState s;
    size_t from = 0;
    while (from < r.text.size()) {
        size_t end = r.text.find('\n', from);
        if (end == std::string::npos) end = r.text.size();
        const size_t key = r.text.find_first_not_of(" \t", from);
        if (key < end && (r.text.compare(key, 7, "present") == 0 || r.text.compare(key, 8, "inserted") == 0))
            parseLine(r.text.substr(from, end - from), &s);
        from = end + 1;
    }
    return drive_stateAvailable(s, drive);
}

bool drive_stateUpdateFn(const char* drive, bool (*change)(DriveState&, void*), void* context) {
    const std::string file = drive_stateFile(drive);
    if (file.empty()) return false;
    std::lock_guard<std::recursive_mutex> g(stateLockOf(file));
    // Changed from outside meanwhile: the change is made again on what is there now.
    for (int attempt = 0; attempt < 20; ++attempt) {
        Read read;
        if (!readFile(file, &read)) return false;
        DriveState s;
        parseState(read.text, &s);
        if (!change(s, context)) return true;
        const Written w = writeState(drive, file, s, read);
        if (w != Written::Changed) return w == Written::Ok;
    }
    return false;
}

bool drive_stateAvailable(const DriveState& state, const char* drive) {
    return state.present && (driveName(drive) != "usb_meas" || state.inserted);
}
