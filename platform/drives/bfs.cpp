#include "platform/drives/bfs.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_dirinfo.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"
#include "platform/drives/drive_state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A device path taken apart: the drive ("meas:"), the path inside it ("" for the root) and the
// host path.
struct Where {
    std::string drive;
    std::string rel;
    std::string host;
};

bool resolve(const char* devicePath, Where* w) {
    if (!devicePath) return false;
    const char* colon = std::strchr(devicePath, ':');
    if (!colon || !devpath_toHost(devicePath, &w->host)) return false;
    w->drive.assign(devicePath, size_t(colon - devicePath) + 1);
    std::string dir;
    if (!devpath_driveDir(w->drive.c_str(), &dir)) return false;
    w->rel = w->host.size() > dir.size() ? w->host.substr(dir.size() + 1) : std::string();
    return true;
}

// Where an open descriptor points: the host path the kernel names, mapped back into its drive.
bool whereIs(int fd, Where* w) {
    char link[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    const std::string host(link, size_t(n));
    std::string root = devroot_path();
    if (host.compare(0, root.size() + 1, root + "/") != 0) {
        // The kernel names the real path; the root may have been given through a link.
        std::error_code ec;
        root = fs::canonical(root, ec).string();
        if (ec || host.compare(0, root.size() + 1, root + "/") != 0) return false;
    }
    const std::string inRoot = host.substr(root.size() + 1);
    const size_t slash = inRoot.find('/');
    std::string drive;
    if (!devpath_driveOfFolder(inRoot.substr(0, slash), &drive)) return false;
    drive += ":";
    const std::string rest = slash == std::string::npos ? "/" : inRoot.substr(slash);
    if (!resolve((drive + rest).c_str(), w)) return false;
    w->host = host;
    return true;
}

// A call on an open file of a drive that went (a pulled stick) fails as a real stick's does.
bool openDriveGone(const std::string& drive) {
    return !drive.empty() && !drive_stateAvailableNow(drive.c_str());
}

bool driveThere(const std::string& drive) {
    return drive_stateAvailableNow(drive.c_str());
}

int fail(int error) {
    errno = error;
    return -1;
}

// The drive of each descriptor the file API opened, for the calls that name only the descriptor:
// one byte per descriptor, read without a lock (the drive's index + 1, kRootFlag for a drive's
// root; 0 for none); descriptors beyond the table in a map.
constexpr const char* kDriveNames[] = {"cfg:", "meas:", "meas2:", "usb_meas:", "c:"};
constexpr uint8_t kRootFlag = 0x80;
constexpr int kFdSlots = 1 << 16;
std::atomic<uint8_t> gFdDrive[kFdSlots];

struct OpenFiles {
    std::mutex m;
    std::map<int, uint8_t> drive;
};
OpenFiles& openFiles() {
    static auto* o = new OpenFiles; // descriptors may be closed while the process ends
    return *o;
}

uint8_t slotOf(const std::string& drive, bool root) {
    for (size_t i = 0; i < std::size(kDriveNames); ++i)
        if (drive == kDriveNames[i]) return uint8_t((i + 1) | (root ? kRootFlag : 0));
    return 0;
}

void noteOpen(int fd, const std::string& drive, bool root = false) {
    if (fd < 0) return;
    const uint8_t slot = slotOf(drive, root);
    if (fd < kFdSlots) {
        gFdDrive[fd].store(slot, std::memory_order_release);
        return;
    }
    OpenFiles& o = openFiles();
    std::lock_guard<std::mutex> lk(o.m);
    o.drive[fd] = slot;
}

uint8_t slotOfFd(int fd, bool forget = false) {
    if (fd < 0) return 0;
    if (fd < kFdSlots)
        return forget ? gFdDrive[fd].exchange(0, std::memory_order_acq_rel)
                      : gFdDrive[fd].load(std::memory_order_acquire);
    OpenFiles& o = openFiles();
    std::lock_guard<std::mutex> lk(o.m);
    const auto it = o.drive.find(fd);
    if (it == o.drive.end()) return 0;
    const uint8_t slot = it->second;
    if (forget) o.drive.erase(it);
    return slot;
}

std::string driveOfSlot(uint8_t slot) {
    const uint8_t i = slot & uint8_t(~kRootFlag);
    return i == 0 || i > std::size(kDriveNames) ? std::string() : kDriveNames[i - 1];
}

std::string driveOfFd(int fd, bool forget = false) {
    return driveOfSlot(slotOfFd(fd, forget));
}

// A fault a test set for this call: the call fails with it (0: it goes on). `seam` is
// drivefault_on(), loaded once per call: with the seam off, a call asks nothing more of it (neither
// faults nor the loss records of drive_loss.h).
int faultFor(bool seam, const std::string& drive, DriveOp op) {
    return !seam || drive.empty() ? 0 : drivefault_enter(drive, op);
}

// The archive bit of a file the process writes; a new file forgets what was kept of an old one of
// the same name.
void markWritten(const Where& w, bool existed) {
    const uint8_t now = drive_stateAttrOf(w.drive.c_str(), w.rel);
    if (now == (existed ? uint8_t(now | DRIVE_ATTR_ARCHIVE) : DRIVE_ATTR_DEFAULT)) return; // as it should be
    drive_stateUpdate(w.drive.c_str(), [&](DriveState& s) {
        const uint8_t before = s.attrOf(w.rel);
        const uint8_t after = existed ? uint8_t(before | DRIVE_ATTR_ARCHIVE) : DRIVE_ATTR_DEFAULT;
        if (after == before) return false;
        s.setAttr(w.rel, after);
        return true;
    });
}

int setAttributes(int fd, const Where& w, intptr_t arg) {
    if (w.rel.empty() || arg < 0 || arg > 0xFF) return fail(EINVAL);
    const uint8_t attr = uint8_t(arg) & uint8_t(~DRIVE_ATTR_DIRECTORY);
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    const bool readOnly = (attr & DRIVE_ATTR_READONLY) != 0;
    const mode_t mode = readOnly ? (st.st_mode & 07555) : (st.st_mode | 0200);
    const bool modeChanges = (mode & 07777) != (st.st_mode & 07777);
    // The mode written through with the file; put back when that fails.
    auto setMode = [&](mode_t to, mode_t back) {
        if (::fchmod(fd, to & 07777) != 0) return errno;
        if (::fsync(fd) == 0) return 0;
        const int error = errno;
        ::fchmod(fd, back & 07777);
        return error;
    };
    const uint8_t before = drive_stateAttrOf(w.drive.c_str(), w.rel);
    auto store = [&](uint8_t byte) {
        return drive_stateUpdate(w.drive.c_str(), [&](DriveState& s) {
            if (s.attrOf(w.rel) == byte) return false;
            s.setAttr(w.rel, byte);
            return true;
        });
    };
    // Read-only by the mode only while the byte says so (the state's rewrite is durable): the byte
    // first when the file turns read-only, the mode first when it turns writable. A power cut between
    // the two never leaves a file read-only by its mode that the drive's state holds unfinished.
    if (!readOnly && modeChanges)
        if (const int error = setMode(mode, st.st_mode)) return fail(error);
    if (!store(attr)) {
        if (!readOnly && modeChanges && drive_stateAttrOf(w.drive.c_str(), w.rel) != attr)
            setMode(st.st_mode, mode);
        return fail(EIO);
    }
    if (readOnly && modeChanges)
        if (const int error = setMode(mode, st.st_mode)) {
            store(before);
            return fail(error);
        }
    return 0;
}

int statOf(int fd, const Where& w, bfs_stat* out) {
    if (!out) return fail(EINVAL);
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    out->directory = S_ISDIR(st.st_mode);
    out->st_size = uint64_t(st.st_size);
    out->mtime = int64_t(st.st_mtime);
    out->st_attrib = out->directory ? DRIVE_ATTR_DIRECTORY : drive_stateAttrOf(w.drive.c_str(), w.rel);
    return 0;
}

// The regular files of a drive's folder as a find-first saw them, by root descriptor: the
// find-next calls walk this listing instead of the whole folder each time.
using Listing = std::shared_ptr<const std::vector<std::string>>;
struct Listings {
    std::mutex m;
    std::map<int, Listing> byFd;
};
Listings& listings() {
    static auto* l = new Listings; // descriptors may be closed while the process ends
    return *l;
}

void forgetListing(int fd) {
    Listings& l = listings();
    std::lock_guard<std::mutex> lk(l.m);
    l.byFd.erase(fd);
}

// A look at a file of a drive by name (lstat), a drive call of its own. 0 or -1 with errno.
int lookAt(const std::string& drive, const std::string& host, struct stat* st) {
    const DriveCallMark mark(drive, "look");
    return ::lstat(host.c_str(), st);
}

// Reads the folder `dir` (a descriptor this takes and closes) a block of entries at a time, each
// read a drive call of its own, so that a folder of many files on a slow drive is a job of many
// calls that each return; a fault of the seam that lasts its time takes each read as it takes any
// call of the drive. `entry` gets each entry until it answers false. 0 or -1 with errno.
int readFolder(const Where& root, int dir, const std::function<bool(const struct dirent64&)>& entry) {
    alignas(struct dirent64) char block[4096];
    int error = 0;
    for (bool more = true; more;) {
        ssize_t n = 0;
        {
            const DriveCallMark mark(root.drive, "read of the folder");
            if ((error = drivefault_lasting(root.drive)) != 0) break;
            n = ::getdents64(dir, block, sizeof block);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        for (ssize_t at = 0; at < n && more;) {
            const auto* e = reinterpret_cast<const struct dirent64*>(block + at);
            at += e->d_reclen;
            more = entry(*e);
        }
    }
    ::close(dir);
    return error ? fail(error) : 0;
}

// The folder opened for reading (relative to `fd`, or the drive's own when fd < 0), an open that is
// a drive call; -1 with errno.
int openFolder(int fd, const Where& root) {
    const DriveCallMark mark(root.drive, "read of the folder");
    if (const int e = drivefault_lasting(root.drive)) return fail(e);
    return fd >= 0 ? ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                   : ::open(root.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The names of the regular files in the drive's folder (shorter than `nameMax`). 0 or -1 with
// errno.
int listFolder(int fd, const Where& root, size_t nameMax, std::vector<std::string>* names) {
    const int dir = openFolder(fd, root);
    if (dir < 0) return -1;
    return readFolder(root, dir, [&](const struct dirent64& e) {
        const std::string name = e.d_name;
        if (name == "." || name == ".." || name.size() >= nameMax) return true;
        struct stat st {};
        if (e.d_type == DT_REG ||
            (e.d_type == DT_UNKNOWN && lookAt(root.drive, root.host + "/" + name, &st) == 0 &&
             S_ISREG(st.st_mode)))
            names->push_back(name);
        return true;
    });
}

// The regular file of the drive's folder that follows `after` in byte order ("" for the first),
// of those there at the find-first and still there now.
int find(int fd, const Where& root, bfs_find* f, bool next) {
    if (!f) return fail(EINVAL);
    const std::string after = next ? std::string(f->name, strnlen(f->name, sizeof f->name)) : std::string();
    Listing names;
    if (next) {
        Listings& l = listings();
        std::lock_guard<std::mutex> lk(l.m);
        const auto it = l.byFd.find(fd);
        if (it != l.byFd.end()) names = it->second;
    }
    if (!names) {
        auto all = std::make_shared<std::vector<std::string>>();
        if (listFolder(fd, root, sizeof f->name, all.get()) != 0) return -1;
        std::sort(all->begin(), all->end());
        names = all;
        Listings& l = listings();
        std::lock_guard<std::mutex> lk(l.m);
        l.byFd[fd] = names;
    }
    std::string best;
    struct stat found {};
    for (auto it = next ? std::upper_bound(names->begin(), names->end(), after) : names->begin();
         it != names->end(); ++it) {
        struct stat st {};
        if (lookAt(root.drive, root.host + "/" + *it, &st) != 0 || !S_ISREG(st.st_mode))
            continue; // gone since
        best = *it;
        found = st;
        break;
    }
    std::memset(f->name, 0, sizeof f->name);
    std::memcpy(f->name, best.data(), best.size());
    f->size = best.empty() ? 0 : uint64_t(found.st_size);
    f->attrib = best.empty() ? 0 : drive_stateAttrOf(root.drive.c_str(), best);
    f->id = best.empty() ? bfs_fileId{} : bfs_fileId{uint64_t(found.st_dev), uint64_t(found.st_ino)};
    return 0;
}

// The names of a drive's folder against the process's own changes of them: the look and the
// deletion of a found file are one step against a rename and an open for writing (the file and its
// archive bit) on the drive.
std::mutex& namesLockOf(const std::string& drive) {
    static auto* locks = new std::mutex[std::size(kDriveNames) + 1]; // [0]: drives not in the table
    return locks[slotOf(drive, false)];
}

int unlinkAt(const Where& w) {
    if (w.rel.empty()) return fail(EISDIR);
    if (const int e = drivefault_pass()) return fail(e);
    if (!driveThere(w.drive)) return fail(ENODEV);
    struct stat st;
    if (::lstat(w.host.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    // Until its drive root is written through, a power cut brings the file back.
    const uint64_t held = drivefault_on() ? driveloss_deleting(w.drive, w.rel, w.host) : 0;
    if (::unlink(w.host.c_str()) != 0) {
        const int error = errno;
        driveloss_deleted(held, w.host, false);
        return fail(error);
    }
    if (drivefault_on()) driveloss_deleted(held, w.host, true);
    // In a walk that deletes many files the line goes with the walk's one change of the state.
    if (drive_stateAttrOf(w.drive.c_str(), w.rel) != DRIVE_ATTR_DEFAULT &&
        !drive_stateDropLater(w.drive.c_str(), w.rel))
        drive_stateUpdate(w.drive.c_str(), [&](DriveState& s) { return s.attrs.erase(w.rel) != 0; });
    return 0;
}

int unlinkFound(const Where& root, const bfs_find* f) {
    if (!f || !f->name[0]) return fail(EINVAL);
    Where w;
    const std::string name(f->name, strnlen(f->name, sizeof f->name));
    if (name.find('/') != std::string::npos || !resolve((root.drive + "/" + name).c_str(), &w))
        return fail(ENOENT);
    std::lock_guard<std::mutex> names(namesLockOf(w.drive));
    struct stat st {};
    if (::lstat(w.host.c_str(), &st) != 0) return -1;
    if (!(bfs_fileId{uint64_t(st.st_dev), uint64_t(st.st_ino)} == f->id) ||
        (drive_stateAttrOf(w.drive.c_str(), w.rel) & DRIVE_ATTR_ARCHIVE))
        return fail(ESTALE);
    return unlinkAt(w);
}

// A file system holds a file's writes while that file is written through (the file's lock, or its
// pages under write-back): with the seam on, a write or truncate of a file waits until every
// write-through of it that has begun, a held or slow one included, has returned.
struct WritesThrough {
    std::mutex m;
    std::condition_variable ended;
    std::multiset<std::pair<dev_t, ino_t>> files;
};
WritesThrough& writesThrough() {
    static auto* w = new WritesThrough; // calls may still run while the process ends
    return *w;
}

class FileWrittenThrough {
public:
    explicit FileWrittenThrough(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return;
        file_ = {st.st_dev, st.st_ino};
        WritesThrough& w = writesThrough();
        std::lock_guard<std::mutex> lk(w.m);
        w.files.insert(*file_);
    }
    ~FileWrittenThrough() {
        if (!file_) return;
        WritesThrough& w = writesThrough();
        std::lock_guard<std::mutex> lk(w.m);
        w.files.erase(w.files.find(*file_));
        w.ended.notify_all();
    }
    FileWrittenThrough(const FileWrittenThrough&) = delete;
    FileWrittenThrough& operator=(const FileWrittenThrough&) = delete;

private:
    std::optional<std::pair<dev_t, ino_t>> file_;
};

// Waits while a write-through of the file of `fd` is under way (the seam on only). A power cut
// does not wait for the call meanwhile: it does nothing to the drive until it goes on.
void awaitWriteThrough(int fd) {
    struct stat st {};
    if (!drivefault_on() || ::fstat(fd, &st) != 0) return;
    const std::pair<dev_t, ino_t> file{st.st_dev, st.st_ino};
    WritesThrough& w = writesThrough();
    std::unique_lock<std::mutex> lk(w.m);
    if (!w.files.count(file)) return;
    const DriveFaultWaiting waiting;
    w.ended.wait(lk, [&] { return !w.files.count(file); });
}

// FIOFLUSH or FIOSYNC of a file or a drive's root. A fault of the seam that fails it loses what it
// covered; a real error of the host loses nothing here.
int writeThrough(int fd, const Where& w, int request) {
    const bool seam = drivefault_on();
    std::optional<FileWrittenThrough> holding;
    if (seam && !w.rel.empty()) holding.emplace(fd);
    if (const int e = faultFor(seam, w.drive, DRIVE_OP_SYNC)) {
        if (w.rel.empty())
            driveloss_rootWriteThroughFailed(w.drive);
        else
            driveloss_fileWriteThroughFailed(fd);
        return fail(e);
    }
    if (openDriveGone(w.drive)) return fail(ENODEV);
    if (w.rel.empty()) {
        const uint64_t started = seam ? driveloss_rootSyncStarts() : 0;
        if (::fsync(fd) != 0) return -1;
        if (seam) driveloss_rootWrittenThrough(w.drive, started);
        return 0;
    }
    const int64_t covered = seam ? driveloss_fileSyncStarts(fd) : -1;
    if ((request == FIOFLUSH ? ::fdatasync(fd) : ::fsync(fd)) != 0) return -1;
    if (seam) driveloss_fileWrittenThrough(fd, covered);
    return 0;
}

int rootRequest(int fd, const Where& root, int request, intptr_t arg) {
    switch (request) {
    case IO_IOCTL_BFS_DIR_INFO:
        return drive_dirInfo(root.drive.c_str(), reinterpret_cast<DriveDirInfo*>(arg));
    case IO_IOCTL_BFS_GET_DIR_ATTR: {
        if (!arg) return fail(EINVAL);
        bool there = false;
        uint8_t attr = 0;
        drive_stateView(root.drive.c_str(), [&](const DriveState& s) {
            there = drive_stateAvailable(s, root.drive.c_str());
            attr = s.dirAttr;
        });
        if (!there) return fail(ENODEV);
        *reinterpret_cast<uint32_t*>(arg) = attr;
        return 0;
    }
    case IO_IOCTL_BFS_SET_DIR_ATTR:
        if (arg < 0 || arg > 0xFF) return fail(EINVAL);
        if (!driveThere(root.drive)) return fail(ENODEV);
        return drive_stateUpdate(root.drive.c_str(),
                                 [&](DriveState& s) {
                                     if (s.dirAttr == uint8_t(arg)) return false;
                                     s.dirAttr = uint8_t(arg);
                                     return true;
                                 })
                   ? 0
                   : fail(EIO);
    case IO_IOCTL_FIND_FIRST_FILE:
    case IO_IOCTL_FIND_NEXT_FILE:
        if (!driveThere(root.drive)) return fail(ENODEV);
        return find(fd, root, reinterpret_cast<bfs_find*>(arg), request == IO_IOCTL_FIND_NEXT_FILE);
    case IO_IOCTL_BFS_UNLINK_FOUND:
        return unlinkFound(root, reinterpret_cast<const bfs_find*>(arg));
    case FIOUNLINK: {
        const char* name = reinterpret_cast<const char*>(arg);
        if (!name || !*name) return fail(EINVAL);
        Where w;
        const std::string path = std::strchr(name, ':') ? std::string(name) : root.drive + "/" + name;
        if (!resolve(path.c_str(), &w)) return fail(ENOENT);
        return unlinkAt(w);
    }
    default:
        return fail(ENOTSUP);
    }
}

} // namespace

int bfs_names(const char* drive, std::vector<std::string>* names) {
    Where w;
    if (!names || !resolve(drive, &w) || !w.rel.empty()) return fail(EINVAL);
    if (!driveThere(w.drive)) return fail(ENODEV);
    const int dir = openFolder(-1, w);
    if (dir < 0) return -1;
    return readFolder(w, dir, [&](const struct dirent64& e) {
        const std::string name = e.d_name;
        if (name != "." && name != "..") names->push_back(name);
        return true;
    });
}

int bfs_open(const char* devicePath, int flags, mode_t mode) {
    Where w;
    if (!resolve(devicePath, &w)) return fail(ENOENT);
    const DriveCallMark mark(w.drive, "open");
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    if (const int e = faultFor(seam, w.drive, DRIVE_OP_OPEN)) return fail(e);
    if (!driveThere(w.drive)) return fail(ENODEV);
    int fd = -1;
    if (w.rel.empty()) {
        fd = ::open(w.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) forgetListing(fd); // of an earlier descriptor of that number
        noteOpen(fd, w.drive, true);
        return fd;
    }
    const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC));
    if (!writing) {
        fd = ::open(w.host.c_str(), flags | O_CLOEXEC);
        noteOpen(fd, w.drive);
        return fd;
    }
    std::lock_guard<std::mutex> names(namesLockOf(w.drive));
    struct stat st;
    const bool existed = ::stat(w.host.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (existed && (flags & O_ACCMODE) != O_RDONLY &&
        (drive_stateAttrOf(w.drive.c_str(), w.rel) & DRIVE_ATTR_READONLY))
        return fail(EACCES);
    // Files of a DOS file system carry no execute bits. A file this open makes is known exactly
    // (O_EXCL): its entry is lost with a failed write-through of the drive's root.
    const bool mayCreate = (flags & O_CREAT) && !existed;
    // A line left of an earlier file of that name (its deletion's drop not made yet, or lost with a
    // power cut) goes before the file is made, so that it never gives the new file its attribute.
    if (mayCreate && drive_stateAttrOf(w.drive.c_str(), w.rel) != DRIVE_ATTR_DEFAULT &&
        !drive_stateUpdate(w.drive.c_str(), [&](DriveState& s) { return s.attrs.erase(w.rel) != 0; }))
        return fail(EIO);
    fd = ::open(w.host.c_str(), flags | O_CLOEXEC | (mayCreate ? O_EXCL : 0), mode & 0666);
    bool created = mayCreate && fd >= 0;
    if (fd < 0 && mayCreate && errno == EEXIST && !(flags & O_EXCL)) {
        fd = ::open(w.host.c_str(), flags | O_CLOEXEC, mode & 0666);
        created = false;
    }
    if (fd >= 0) {
        // Known to the loss before the state's rewrite, which a cut may strike.
        noteOpen(fd, w.drive);
        if (seam) driveloss_opened(fd, w.drive, w.rel, w.host, created);
        markWritten(w, !created);
    }
    return fd;
}

int bfs_close(int fd) {
    const uint8_t slot = slotOfFd(fd, true);
    if (slot & kRootFlag) forgetListing(fd);
    const std::string drive = driveOfSlot(slot);
    const DriveCallMark mark(drive, "close");
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    int e = faultFor(seam, drive, DRIVE_OP_CLOSE);
    if (!e && openDriveGone(drive)) e = ENODEV;
    // A failed close lets go of the descriptor all the same, as the kernel's does.
    if (seam) driveloss_closing(fd);
    const int rc = ::close(fd);
    return e ? fail(e) : rc;
}

int bfs_dup(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    const uint8_t slot = slotOfFd(fd);
    noteOpen(copy, driveOfSlot(slot), (slot & kRootFlag) != 0);
    if (drivefault_on()) driveloss_duped(fd, copy);
    return copy;
}

ssize_t bfs_write(int fd, const void* data, size_t n) {
    const std::string drive = driveOfFd(fd);
    const DriveCallMark mark(drive, "write");
    const DriveFaultCall call;
    awaitWriteThrough(fd);
    int fault = faultFor(drivefault_on(), drive, DRIVE_OP_WRITE);
    if (fault == DRIVE_FAULT_DELETE_HERE || fault == DRIVE_FAULT_RENAME_HERE) {
        // Someone takes the file away under its writer; the write goes on into the open file.
        Where w;
        if (whereIs(fd, &w)) driveloss_takeAway(w.drive, w.rel, w.host, fault == DRIVE_FAULT_RENAME_HERE);
        fault = 0;
    }
    // A drive that runs full takes part of the bytes, as a real one does; other faults take none.
    if (fault && (fault != ENOSPC || n < 2)) return fail(fault);
    if (openDriveGone(drive)) return fail(ENODEV);
    if (fault) n /= 2;
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    int error = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = w < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(w);
    }
    if (!error) error = fault;
    if (done == 0 && error) return fail(error);
    // Short: the error of the call that stopped it tells want of room from a failing drive.
    if (error) errno = error;
    return ssize_t(done);
}

int bfs_truncate(int fd, uint64_t length) {
    const std::string drive = driveOfFd(fd);
    const DriveCallMark mark(drive, "truncate");
    const DriveFaultCall call;
    awaitWriteThrough(fd);
    const bool seam = drivefault_on();
    if (const int e = faultFor(seam, drive, DRIVE_OP_TRUNCATE)) return fail(e);
    if (openDriveGone(drive)) return fail(ENODEV);
    if (::ftruncate(fd, off_t(length)) != 0) return -1;
    if (seam) driveloss_truncated(fd, length);
    return 0;
}

int bfs_unlink(const char* devicePath) {
    Where w;
    if (!resolve(devicePath, &w)) return fail(ENOENT);
    const DriveCallMark mark(w.drive, "unlink");
    const DriveFaultCall call;
    return unlinkAt(w);
}

int bfs_ioctl(int fd, int request, intptr_t arg) {
    Where w;
    // A drive's root stays where it is: no need to ask the kernel.
    const uint8_t slot = slotOfFd(fd);
    if (!((slot & kRootFlag) && resolve(driveOfSlot(slot).c_str(), &w)) && !whereIs(fd, &w))
        return fail(EBADF);
    // A find marks each of its reads and looks itself: a listing of many files is many calls.
    const bool steps = request == IO_IOCTL_FIND_FIRST_FILE || request == IO_IOCTL_FIND_NEXT_FILE;
    std::optional<DriveCallMark> mark;
    if (!steps)
        mark.emplace(w.drive, request == FIOFLUSH || request == FIOSYNC ? "write-through"
                              : request == IO_IOCTL_BFS_UNLINK_FOUND    ? "unlink"
                                                                        : "request");
    const DriveFaultCall call;
    switch (request) {
    case FIOFLUSH:
    case FIOSYNC:
        return writeThrough(fd, w, request);
    case FIOGETNAME: {
        char* out = reinterpret_cast<char*>(arg);
        if (!out) return fail(EINVAL);
        const std::string name = w.drive + "/" + w.rel;
        if (name.size() >= BFS_PATH_MAX) return fail(ENAMETOOLONG);
        std::memcpy(out, name.c_str(), name.size() + 1);
        return 0;
    }
    case FIOATTRIBSET:
        if (const int e = faultFor(drivefault_on(), w.drive, DRIVE_OP_CHMOD)) return fail(e);
        if (openDriveGone(w.drive)) return fail(ENODEV);
        return setAttributes(fd, w, arg);
    case FIOFSTATGET:
        return statOf(fd, w, reinterpret_cast<bfs_stat*>(arg));
    default:
        if (!w.rel.empty()) return fail(ENOTDIR);
        return rootRequest(fd, w, request, arg);
    }
}

int bfs_rename(const char* fromDevicePath, const char* toDevicePath, const bfs_fileId* only) {
    Where from, to;
    if (!resolve(fromDevicePath, &from) || !resolve(toDevicePath, &to)) return fail(ENOENT);
    if (from.drive != to.drive) return fail(EXDEV);
    if (from.rel.empty() || to.rel.empty()) return fail(EISDIR);
    const DriveCallMark mark(from.drive, "rename");
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    const int e = faultFor(seam, from.drive, DRIVE_OP_RENAME);
    if (e == DRIVE_FAULT_PULL_HERE) {
        DriveFaultQuiet quiet;
        drive_stateUpdate(from.drive.c_str(), [](DriveState& s) {
            s.inserted = false;
            return true;
        });
        return fail(ENODEV);
    }
    if (e) return fail(e);
    if (!driveThere(from.drive)) return fail(ENODEV);
    std::lock_guard<std::mutex> names(namesLockOf(from.drive));
    struct stat st;
    if (::lstat(from.host.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    struct stat target {};
    if (::lstat(to.host.c_str(), &target) == 0) {
        if (S_ISDIR(target.st_mode)) return fail(EISDIR);
        if (drive_stateAttrOf(to.drive.c_str(), to.rel) & DRIVE_ATTR_READONLY) return fail(EACCES);
        if (only && !(bfs_fileId{uint64_t(target.st_dev), uint64_t(target.st_ino)} == *only))
            return fail(*only == bfs_fileId{} ? EEXIST : ESTALE);
    } else if (errno != ENOENT) {
        return -1;
    }
    if (::rename(from.host.c_str(), to.host.c_str()) != 0) return -1;
    if (seam) driveloss_renamed(from.host, to.host);
    // One call of the drive: the attribute line that moves with the file is part of it.
    DriveFaultQuiet quiet;
    drive_stateUpdate(from.drive.c_str(), [&](DriveState& s) {
        const uint8_t attr = s.attrOf(from.rel);
        const bool had = s.attrs.erase(from.rel) != 0;
        const bool replaced = s.attrs.erase(to.rel) != 0;
        s.setAttr(to.rel, attr);
        return had || replaced;
    });
    return 0;
}

int bfs_sameFile(int fd, const char* devicePath) {
    Where w;
    if (!resolve(devicePath, &w) || w.rel.empty()) return fail(EINVAL);
    const DriveCallMark mark(w.drive, "check");
    if (!drive_stateAvailableNow(w.drive.c_str())) return fail(ENODEV);
    struct stat open, named;
    if (::fstat(fd, &open) != 0) return -1;
    // The name first: a file replaced by a rename over it has no link left either, but its name
    // holds another file.
    if (::lstat(w.host.c_str(), &named) != 0) {
        if (errno != ENOENT) return -1;
        // Nothing of that name: deleted, or renamed away while it still has a name elsewhere.
        errno = open.st_nlink == 0 ? ENOENT : ESTALE;
        return 0;
    }
    if (named.st_dev != open.st_dev || named.st_ino != open.st_ino) {
        errno = ESTALE;
        return 0;
    }
    if (open.st_nlink == 0) {
        errno = ENOENT;
        return 0;
    }
    return 1;
}

int bfs_identity(int fd, bfs_fileId* id) {
    if (!id) return fail(EINVAL);
    const DriveCallMark mark(driveOfFd(fd), "look");
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    id->dev = uint64_t(st.st_dev);
    id->ino = uint64_t(st.st_ino);
    return 0;
}
