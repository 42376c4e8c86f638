#include "platform/drives/drive_state.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

// Tells when a state file changes: an inotify watch on the folder of the state files (the device
// root), whose events come in while the call that changes the file runs, so that the next look
// after a change from outside sees it. Drained by whoever asks, without waiting.
class Watch {
public:
    static constexpr uint64_t kUnwatched = 0; // no watch: read the file every time

    // A count that moves on whenever the file `name` in `dir` may have changed since.
    uint64_t version(const std::string& dir, const std::string& name) {
        std::lock_guard<std::mutex> g(m_);
        if (fd_ < 0) {
            if (broken_) return kUnwatched;
            fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd_ < 0) {
                broken_ = true;
                return kUnwatched;
            }
        }
        if (dir != dir_) {
            if (wd_ >= 0) ::inotify_rm_watch(fd_, wd_);
            dir_ = dir;
            wd_ = ::inotify_add_watch(fd_, dir.c_str(),
                                      IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                          IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
            changed_.clear();
            all_ = ++clock_;
        }
        if (wd_ < 0) {
            dir_.clear(); // tried again at the next look
            return kUnwatched;
        }
        drain();
        if (wd_ < 0) return kUnwatched;
        const auto it = changed_.find(name);
        return std::max(all_, it == changed_.end() ? 0 : it->second);
    }

private:
    void drain() {
        alignas(struct inotify_event) char buf[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return; // EAGAIN: nothing more
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
                at += ssize_t(sizeof(struct inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    all_ = ++clock_;
                } else if (e->wd != wd_) {
                    // a watch given up before
                } else if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    // The folder itself went: nothing is known of what takes its place.
                    ::inotify_rm_watch(fd_, wd_);
                    wd_ = -1;
                    dir_.clear();
                    all_ = ++clock_;
                } else if (e->len > 0) {
                    const std::string name(e->name, strnlen(e->name, e->len));
                    if (name.size() > 6 && name.compare(name.size() - 6, 6, ".drive") == 0)
                        changed_[name] = ++clock_;
                }
            }
        }
    }

    std::mutex m_;
    int fd_ = -1;
    int wd_ = -1;
    bool broken_ = false;
    std::string dir_;
    uint64_t clock_ = 0;
    uint64_t all_ = 0;
    std::map<std::string, uint64_t> changed_;
};

Watch& watch() {
    static auto* w = new Watch; // used while the process ends
    return *w;
}

// The state as the process read it last, with whether the drive is there.
struct Snapshot {
    DriveState state;
    bool available = false;
};

// One state file of the current device root.
struct Entry {
    std::string drive; // "meas:"
    std::string file;
    std::string dir, name; // the file's folder and name, for the watch
    // One writer of each drive's state file in this process, so that a drive that hangs in its
    // rewrite holds no other drive's; recursive for what a power cut at the state's own rewrite
    // removes.
    std::recursive_mutex writer;
    std::mutex m; // the fields below
    std::shared_ptr<const Snapshot> snap;
    uint64_t version = Watch::kUnwatched;
    // Odd while the process has moved the file aside to swap it (renameat2's flags refused).
    std::atomic<uint64_t> swaps{0};
};

struct Entries {
    std::mutex m;
    uint64_t generation = UINT64_MAX;
    std::map<std::string, std::unique_ptr<Entry>> byFile;
    std::map<std::string, Entry*> byDrive; // of the generation
};

Entries& entries() {
    static auto* e = new Entries; // used while the process ends
    return *e;
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

// Splits a line into its fields (separated by white space); at most `max`, the count found (max + 1
// when there are more). Without streams: a drive's state has a line per closed file.
size_t fieldsOf(std::string_view line, std::string_view* out, size_t max) {
    auto space = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    size_t n = 0, at = 0;
    while (at < line.size()) {
        while (at < line.size() && space(line[at])) ++at;
        if (at == line.size()) break;
        size_t end = at;
        while (end < line.size() && !space(line[end])) ++end;
        if (n == max) return max + 1;
        out[n++] = line.substr(at, end - at);
        at = end;
    }
    return n;
}

bool parseNumber(std::string_view text, uint32_t* value) {
    char buf[32];
    if (text.size() >= sizeof buf) return false;
    text.copy(buf, text.size());
    buf[text.size()] = '\0';
    return parseNumber(std::string(buf), value);
}

// One line into the state; false when it is not one of the known keys.
bool parseLine(std::string_view line, DriveState* s) {
    std::string_view f[3];
    const size_t n = fieldsOf(line, f, 3);
    if (n == 0) return false;
    const std::string_view key = f[0];
    uint32_t v = 0;
    if (key == "attr") {
        if (n != 3 || !parseNumber(f[2], &v) || v > 0xFF) return true;
        s->setAttr(std::string(f[1]), uint8_t(v));
        return true;
    }
    if (key != "dirsize" && key != "present" && key != "inserted" && key != "status" && key != "dirattr")
        return false;
    const bool ok = n == 2 && parseNumber(f[1], &v);
    if (key == "dirsize") {
        s->dirSizeValid = ok;
        if (ok)
            s->dirSize = v;
        else
            s->otherLines.emplace_back(line); // kept as found: the partition stays damaged
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
    const std::string_view all(text);
    size_t from = 0;
    while (from < all.size()) {
        size_t end = all.find('\n', from);
        if (end == std::string_view::npos) end = all.size();
        const std::string_view line = all.substr(from, end - from);
        from = end + 1;
        if (!parseLine(line, s) && line.find_first_not_of(" \t\r") != std::string_view::npos)
            s->otherLines.emplace_back(line);
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
    ~Read() { clear(); }
    void clear() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        exists = false;
        st = {};
        text.clear();
    }
};

// False when the file is there but cannot be read (a missing file reads as the defaults).
bool readFile(const std::string& file, Read* r) {
    r->fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (r->fd < 0) return errno == ENOENT;
    r->exists = true;
    char buf[16384];
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

// Every line of a state file ends with its line's end; one written from outside in place (truncate,
// then write: `echo 'inserted 0' > usb_meas.drive`) is empty or cut short for a moment.
bool whole(const Read& r) {
    return !r.exists || (!r.text.empty() && r.text.back() == '\n');
}

bool sameVersion(const struct stat& a, const struct stat& b);

// Reads the state file as readFile does; one that is empty or cut short is being written: it is read
// again every 2 ms until it is whole, or has not changed for kSettle (at most kWholeWait in all), and
// is then taken as it is. So a change of the process is made on, and a look sees, the version an
// outside writer in place is writing, not the defaults of its empty file.
bool readWhole(const std::string& file, Read* r) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kSettle = std::chrono::milliseconds(500);
    constexpr auto kWholeWait = std::chrono::seconds(2);
    if (!readFile(file, r)) return false;
    const auto begun = Clock::now();
    auto changed = begun;
    while (!whole(*r)) {
        const struct stat before = r->st;
        const auto now = Clock::now();
        if (now - changed >= kSettle || now - begun >= kWholeWait) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        r->clear();
        if (!readFile(file, r)) return false;
        if (!sameVersion(r->st, before)) changed = Clock::now();
    }
    return true;
}

// What a swap took out is the version read: the same file, not changed in place since.
bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::atomic<bool> gRefuseRenameFlags{false};
std::atomic<bool> gFailFolderWriteThrough{false};

int renameFlags(const std::string& from, const std::string& to, unsigned flags) {
    if (gRefuseRenameFlags.load()) {
        errno = EINVAL;
        return -1;
    }
    // The system call itself: older C libraries lack the wrapper.
    return int(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
}

// A file system that takes no flags of renameat2 (some FUSE and network file systems).
bool flagsRefused(int error) {
    return error == EINVAL || error == ENOSYS;
}

// Writes the state file's folder through: 0, or the error.
int syncFolderOf(const std::string& file) {
    if (gFailFolderWriteThrough.load()) return EIO;
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string textOf(const DriveState& s) {
    std::string out;
    out.reserve(96 + s.attrs.size() * 24);
    char num[40];
    if (s.dirSizeValid) out.append("dirsize ").append(std::to_string(s.dirSize)).append("\n");
    out.append(s.present ? "present 1\n" : "present 0\n");
    out.append(s.inserted ? "inserted 1\n" : "inserted 0\n");
    std::snprintf(num, sizeof num, "status 0x%x\n", unsigned(s.status));
    out.append(num);
    std::snprintf(num, sizeof num, "dirattr 0x%x\n", unsigned(s.dirAttr));
    out.append(num);
    for (const auto& [name, attr] : s.attrs) {
        std::snprintf(num, sizeof num, " 0x%x\n", unsigned(attr));
        out.append("attr ").append(name).append(num);
    }
    for (const auto& l : s.otherLines) out.append(l).append("\n");
    return out;
}

// Writes `text` durably into `tmp`: its descriptor (kept open, so that its inode is not reused
// while it is compared), or -1.
int writeNew(const std::string& tmp, const std::string& text) {
    ::unlink(tmp.c_str()); // left by a process of the same id that was killed
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (writeAll(fd, text) && ::fsync(fd) == 0) return fd;
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

// Puts `from` (holding `text`) in as `file` only while there is none: Changed when a file is there.
// Without renameat2's flags a link does not replace either; without links, the file is made anew
// (O_EXCL) and written. Afterwards `from` may still be there: the caller removes it.
Written putInNew(const std::string& from, const std::string& file, const std::string& text) {
    if (renameFlags(from, file, RENAME_NOREPLACE) == 0) return Written::Ok;
    if (errno == EEXIST) return Written::Changed;
    if (!flagsRefused(errno)) return Written::Failed;
    if (::link(from.c_str(), file.c_str()) == 0) return Written::Ok;
    if (errno == EEXIST) return Written::Changed;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
        return Written::Failed;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? Written::Changed : Written::Failed;
    const bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    struct stat mine {
    }, now{};
    const bool stands = ::fstat(fd, &mine) == 0 && ::lstat(file.c_str(), &now) == 0 && sameFile(mine, now);
    ::close(fd);
    if (ok) return Written::Ok;
    if (stands) ::unlink(file.c_str()); // only what this call made
    return Written::Failed;
}

// The swap where the file system refuses RENAME_EXCHANGE: the file is moved aside, and what was
// moved is checked to be the version read (the same file, whose descriptor `read` keeps open so its
// inode is not reused, with the same text); then the new state is put in only while no file is
// there, so a version from outside that came meanwhile stands. A version moved aside that is not
// the one read goes back, unless a newer one came in its place meanwhile.
Written swapAside(Entry& e, const std::string& tmp, const std::string& text, const Read& read) {
    const std::string& file = e.file;
    const std::string aside = file + ".old" + std::to_string(::getpid());
    ::unlink(aside.c_str()); // left by a process of the same id that was killed
    e.swaps.fetch_add(1);    // readers of this process keep the state they have while none is there
    Written result = Written::Changed;
    if (::rename(file.c_str(), aside.c_str()) != 0) {
        result = errno == ENOENT ? Written::Changed : Written::Failed;
    } else {
        Read out;
        const bool same =
            readFile(aside, &out) && out.exists && sameFile(out.st, read.st) && out.text == read.text;
        if (same) {
            result = putInNew(tmp, file, text);
            // Not put in: a version from outside came while none was there, and it stands; or the
            // new state could not be written, and the old one goes back.
            if (result == Written::Failed) putInNew(aside, file, out.text);
        } else {
            putInNew(aside, file, out.text); // Changed: a newer one came in its place
        }
        ::unlink(aside.c_str());
    }
    e.swaps.fetch_add(1);
    return result;
}

// Writes the state beside the file and swaps it in, unless the file is no longer the version the
// state was read from: then the file from outside stands and the caller reads it again.
Written writeState(Entry& e, DriveState s, const Read& read) {
    const std::string& file = e.file;
    const DriveFaultCall call;
    const int fault = drivefault_on() ? drivefault_enter(e.drive, DRIVE_OP_RENAME) : 0;
    if (fault == DRIVE_FAULT_PULL_HERE) s.inserted = false;
    if (fault > 0) return Written::Failed;
    const std::string tmp = file + ".tmp" + std::to_string(::getpid());
    const std::string text = textOf(s);
    const int mine = writeNew(tmp, text);
    if (mine < 0) return Written::Failed;
    Written result = Written::Ok;
    if (!read.exists) {
        // Nothing to swap with: put in only while there is still none.
        result = putInNew(tmp, file, text);
    } else if (renameFlags(tmp, file, RENAME_EXCHANGE) != 0) {
        // The file went meanwhile (read it again), or its file system cannot swap.
        if (errno == ENOENT)
            result = Written::Changed;
        else if (!flagsRefused(errno))
            result = Written::Failed;
        else
            result = swapAside(e, tmp, text, read);
    } else {
        struct stat out {};
        if (::lstat(tmp.c_str(), &out) != 0 || !sameVersion(out, read.st)) {
            swapBack(file, tmp, mine);
            result = Written::Changed;
        }
    }
    ::unlink(tmp.c_str()); // the old version, or the process's own that did not stand
    ::close(mine);
    if (result == Written::Failed) return result;
    // The swap counts once the folder that names the new file is written through.
    if (const int error = syncFolderOf(file); error != 0 && result == Written::Ok) {
        std::fprintf(stderr,
                     "drive state: '%s' was changed, but its folder was not written through (%s): the "
                     "change counts as failed\n",
                     file.c_str(), std::strerror(error));
        errno = error;
        return Written::Failed;
    }
    return result;
}

std::shared_ptr<const Snapshot> readSnapshot(const std::string& file, const char* drive) {
    Read r;
    readWhole(file, &r);
    auto snap = std::make_shared<Snapshot>();
    parseState(r.text, &snap->state);
    snap->available = drive_stateAvailable(snap->state, drive);
    return snap;
}

// The entry of a drive's state file under the current device root, nullptr for an unknown drive.
Entry* entryOf(const char* drive) {
    Entries& all = entries();
    const uint64_t generation = devroot_generation(); // before the paths it stands for
    const std::string key = driveName(drive);
    std::lock_guard<std::mutex> g(all.m);
    if (generation != all.generation) {
        // Another root: what was read of the old one is of no use.
        all.generation = generation;
        all.byDrive.clear();
        for (auto& [file, e] : all.byFile) {
            std::lock_guard<std::mutex> eg(e->m);
            e->snap.reset();
        }
    }
    const auto known = all.byDrive.find(key);
    if (known != all.byDrive.end()) return known->second;
    const std::string file = drive_stateFile(drive);
    if (file.empty()) return nullptr;
    std::unique_ptr<Entry>& e = all.byFile[file];
    if (!e) {
        e = std::make_unique<Entry>();
        e->drive = key + ":";
        e->file = file;
        const size_t slash = file.rfind('/');
        e->dir = slash == std::string::npos ? "." : file.substr(0, slash);
        e->name = file.substr(slash + 1);
    }
    all.byDrive[key] = e.get();
    return e.get();
}

// The state of the entry's file as it is now: read again only when it changed since the last read.
std::shared_ptr<const Snapshot> current(Entry& e) {
    std::lock_guard<std::mutex> g(e.m);
    // Taken before the read: a change during the read moves it on again.
    const uint64_t version = watch().version(e.dir, e.name);
    if (!e.snap || version == Watch::kUnwatched || version != e.version) {
        const uint64_t swaps = e.swaps.load();
        std::shared_ptr<const Snapshot> read = readSnapshot(e.file, e.drive.c_str());
        // Read while this process had the file aside: what was read is not the drive's state.
        if (e.snap && ((swaps & 1) || e.swaps.load() != swaps)) return e.snap;
        e.snap = std::move(read);
        e.version = version;
    }
    return e.snap;
}

} // namespace

uint8_t DriveState::attrOf(const std::string& file) const {
    const auto it = attrs.find(file);
    return it == attrs.end() ? DRIVE_ATTR_DEFAULT : it->second;
}

void DriveState::setAttr(const std::string& file, uint8_t attr) {
    if (attr == DRIVE_ATTR_DEFAULT) {
        attrs.erase(file);
    } else if (!attrs.empty() && attrs.rbegin()->first < file) {
        attrs.emplace_hint(attrs.end(), file, attr); // the lines come sorted: at once
    } else {
        attrs[file] = attr;
    }
}

std::string drive_stateFile(const char* drive) {
    std::string dir;
    if (!devpath_driveDir(drive, &dir)) return {};
    return dir + ".drive";
}

bool drive_stateRead(const char* drive, DriveState* state) {
    Entry* e = entryOf(drive);
    if (!e || !state) return false;
    *state = current(*e)->state;
    return true;
}

bool drive_stateViewFn(const char* drive, void (*view)(const DriveState&, void*), void* context) {
    Entry* e = entryOf(drive);
    if (!e) return false;
    const std::shared_ptr<const Snapshot> snap = current(*e);
    view(snap->state, context);
    return true;
}

uint8_t drive_stateAttrOf(const char* drive, const std::string& file) {
    Entry* e = entryOf(drive);
    return e ? current(*e)->state.attrOf(file) : DRIVE_ATTR_DEFAULT;
}

bool drive_stateAvailableNow(const char* drive) {
    Entry* e = entryOf(drive);
    return e && current(*e)->available;
}

bool drive_stateUpdateFn(const char* drive, bool (*change)(DriveState&, void*), void* context) {
    Entry* e = entryOf(drive);
    if (!e) return false;
    const std::string& file = e->file;
    std::unique_lock<std::recursive_mutex> g(e->writer, std::try_to_lock);
    if (!g.owns_lock()) {
        // Its holder may be a call that a power cut strikes, and that cut waits for no call held here.
        const DriveFaultWaiting waiting;
        g.lock();
    }
    // Changed from outside meanwhile: the change is made again on what is there now.
    for (int attempt = 0; attempt < 20; ++attempt) {
        Read read;
        if (!readWhole(file, &read)) return false;
        DriveState s;
        parseState(read.text, &s);
        if (!change(s, context)) return true;
        const Written w = writeState(*e, s, read);
        if (w != Written::Changed) return w == Written::Ok;
    }
    return false;
}

namespace {
thread_local DriveStateBatch* tBatch = nullptr;
} // namespace

DriveStateBatch::DriveStateBatch(const char* drive) : drive_(driveName(drive) + ":"), outer_(tBatch) {
    tBatch = this;
}

DriveStateBatch::~DriveStateBatch() {
    flush();
    tBatch = outer_;
}

bool DriveStateBatch::flush() {
    if (names_.empty()) return true;
    std::string dir;
    if (!devpath_driveDir(drive_.c_str(), &dir)) return false;
    const bool ok = drive_stateUpdate(drive_.c_str(), [&](DriveState& s) {
        bool changed = false;
        for (const std::string& name : names_) {
            if (!s.attrs.count(name)) continue;
            struct stat st {};
            if (::lstat((dir + "/" + name).c_str(), &st) == 0 || errno != ENOENT) continue; // made anew
            s.attrs.erase(name);
            changed = true;
        }
        return changed;
    });
    if (ok) names_.clear();
    return ok;
}

bool drive_stateDropLater(const char* drive, const std::string& file) {
    const std::string d = driveName(drive) + ":";
    for (DriveStateBatch* b = tBatch; b; b = b->outer_)
        if (b->drive_ == d) {
            b->names_.push_back(file);
            return true;
        }
    return false;
}

bool drive_stateClearDeleteFlag(const char* drive, std::vector<std::string>* left) {
    std::string dir;
    if (!left || !devpath_driveDir(drive, &dir)) return false;
    // Looked at in the change itself: a version written from outside meanwhile is looked at again.
    return drive_stateUpdate(drive, [&](DriveState& s) {
        left->clear();
        for (const auto& [name, attr] : s.attrs) {
            struct stat st {};
            if (!(attr & DRIVE_ATTR_ARCHIVE) &&
                (::lstat((dir + "/" + name).c_str(), &st) == 0 || errno != ENOENT))
                left->push_back(name);
        }
        if (!left->empty() || !(s.dirAttr & 1)) return false;
        s.dirAttr = uint8_t(s.dirAttr & ~1u);
        return true;
    });
}

void drive_stateTestRefuseRenameFlags(bool refuse) {
    gRefuseRenameFlags.store(refuse);
}

void drive_stateTestFailFolderWriteThrough(bool fail) {
    gFailFolderWriteThrough.store(fail);
}

bool drive_stateAvailable(const DriveState& state, const char* drive) {
    return state.present && (driveName(drive) != "usb_meas" || state.inserted);
}
