// The copy of a finished measurement file to another drive, in a short-lived task of its own.
#include "logging/disk/meas_app_disk.h"

#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_dirsync.h"
#include "logging/disk/meas_app_drivecall.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kPathLen = 64;
constexpr size_t kChunk = 1 << 20; // the target drive is checked before each piece
constexpr int kOpenAttempts = 10;

// A measurement file's writer marks it read-only when it closes it. A file without the mark is
// still being written (on a busy host its close can come after the copy's 5 s), and a copy of it
// would lack its end and its status block. A file whose attributes cannot be read counts as closed.
bool closedByItsWriter(int fd) {
    bfs_stat st{};
    return bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0 || (st.st_attrib & 0x01) != 0;
}

FILE* openSource(const char* source) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (attempt > 0) taskDelay(sysClkRateGet());
        if (fsize(source) <= 0) continue; // still being written
        const int fd = bfs_open(source, O_RDONLY);
        if (fd < 0) {
            syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() open file '%s' failed, '%s'", source,
                    std::strerror(errno));
            continue;
        }
        if (!closedByItsWriter(fd)) {
            bfs_close(fd);
            continue;
        }
        FILE* in = fdopen(fd, "rb");
        if (in) return in;
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() fopen file '%s' failed, '%s'", source,
                std::strerror(errno));
        bfs_close(fd);
    }
    syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() timeout open '%s'", source);
    return nullptr;
}

// A read of the source and its close are calls of its drive (drive_calls.h): a hang in them is seen.
size_t readSource(FILE* in, char* buffer, const std::string& drive) {
    const DriveCallMark mark(drive, "read");
    return std::fread(buffer, 1, kChunk, in);
}

void closeSource(FILE* in, const char* source) {
    const DriveCallMark mark(devpath_drive(source), "close");
    std::fclose(in);
}

// Copies the data; false (logged) on any fault. `piece` hears of each piece written.
bool copyData(FILE* in, int out, const char* source, const char* target, const char* targetDrive,
              const std::function<void()>& piece) {
    char* buffer = static_cast<char*>(std::malloc(kChunk));
    if (!buffer) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() mem alloc read buffer");
        return false;
    }
    const std::string sourceDrive = devpath_drive(source);
    bool ok = true;
    for (;;) {
        const size_t n = readSource(in, buffer, sourceDrive);
        if (n == 0) {
            if (std::ferror(in)) {
                syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err fread '%s'", source);
                ok = false;
            }
            break;
        }
        if (meas_app_driveAvDebounce(targetDrive) != 0) {
            syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err fwrite '%s', USB removed", target);
            ok = false;
            break;
        }
        if (bfs_write(out, buffer, n) != ssize_t(n)) {
            syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err fwrite '%s' (%s)", target,
                    std::strerror(errno));
            ok = false;
            break;
        }
        if (piece) piece();
    }
    std::free(buffer);
    if (ok && bfs_ioctl(out, FIOFLUSH, 0) != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err fwrite '%s': not written through (%s)", target,
                std::strerror(errno));
        ok = false;
    }
    return ok;
}

// The parts ("<name>.part") that a copy of this process writes now: one copy of a file at a time.
// The removal of the parts left on a stick passes them by; the lock also keeps a removal and a copy
// that begins from crossing.
struct Copying {
    bool ended = false;
    int result = MEAS_COPY_RESULT_FAILED;
};
// A drive's arrivals that asked for the removal of its parts, and the last of them whose removal
// went over the whole folder.
struct PartsDue {
    uint32_t asked = 0, removed = 0;
};
struct PartsInUse {
    std::mutex m;
    std::condition_variable ended;
    std::map<std::string, std::shared_ptr<Copying>> paths;
    std::map<std::string, PartsDue> due;
};
PartsInUse& partsInUse() {
    static auto* p = new PartsInUse; // a copy may still run while the process ends
    return *p;
}

constexpr auto kLookAtTheOther = std::chrono::milliseconds(100);

// The part of one copy, taken for it from its start until its result is known. A copy of a file
// that another copy writes now waits for that one: `before` gets how that one ended. Not taken when
// this copy does not go on: the other one copied the file whole, or its drive hangs (nothing ends it
// soon).
class PartInUse {
public:
    PartInUse(std::string path, const char* drive, int* before) : path_(std::move(path)) {
        PartsInUse& p = partsInUse();
        std::unique_lock<std::mutex> lk(p.m);
        bool waited = false;
        for (auto it = p.paths.find(path_); it != p.paths.end(); it = p.paths.find(path_)) {
            const std::shared_ptr<Copying> other = it->second;
            if (!waited)
                syslogx(LOG_PRIO_INFO,
                        "meas_app_copyLastFile() '%s' is being copied: this copy waits for that one",
                        path_.c_str());
            waited = true;
            while (!other->ended && !p.ended.wait_for(lk, kLookAtTheOther, [&] { return other->ended; })) {
                lk.unlock();
                const bool hangs = meas_app_driveHung(drive);
                lk.lock();
                if (hangs && !other->ended) return;
            }
            *before = other->result;
            // Copied whole: every copy that waited for it is done, whichever wakes first.
            if (*before == MEAS_COPY_RESULT_DONE) return;
        }
        mine_ = std::make_shared<Copying>();
        p.paths.emplace(path_, mine_);
    }
    ~PartInUse() { end(MEAS_COPY_RESULT_FAILED); }
    PartInUse(const PartInUse&) = delete;
    PartInUse& operator=(const PartInUse&) = delete;
    bool taken() const { return mine_ != nullptr; }
    // The copy's result is known: a copy of the file that waits goes on (the first call counts).
    void end(int result) {
        if (!mine_) return;
        PartsInUse& p = partsInUse();
        std::lock_guard<std::mutex> lk(p.m);
        mine_->ended = true;
        mine_->result = result;
        p.paths.erase(path_);
        mine_.reset();
        p.ended.notify_all();
    }

private:
    std::string path_;
    std::shared_ptr<Copying> mine_;
};

// An arrival's removal of the parts is still to be made on the drive.
bool partsDue(const char* drive) {
    std::lock_guard<std::mutex> lk(partsInUse().m);
    const auto it = partsInUse().due.find(drive);
    return it != partsInUse().due.end() && it->second.removed != it->second.asked;
}

// An error met, for a line; 0 when it is no longer known (a failed folder write-through too long ago).
const char* errorText(int error) {
    return error ? std::strerror(error) : "its error is no longer known";
}

bool endsWithPart(const char* name) {
    const size_t n = std::strlen(name), k = std::strlen(MEAS_COPY_PART_SUFFIX);
    return n > k && std::strcmp(name + n - k, MEAS_COPY_PART_SUFFIX) == 0;
}

// Read-only, with the source's other attributes, through a descriptor of the file written: the last
// step of a copy, once the file is in place under its name and that is written through.
bool makeReadOnly(int fd, uint8_t sourceAttributes) {
    return bfs_ioctl(fd, FIOATTRIBSET, intptr_t(sourceAttributes | 0x01)) == 0;
}

std::atomic<const meas_app_CopyHooks*> gCopyHooks{nullptr};

struct MadeHere {
    std::mutex m;
    std::set<std::pair<std::string, bfs_fileId>> files;
};
MadeHere& madeHere() {
    static auto* m = new MadeHere; // a writer may still make a file while the process ends
    return *m;
}

// What holds the name a copy is to take: nothing, a piece this run made of the file (replaced once
// the copy is whole), that file whole already, or a file this run did not make, never written over.
enum class Target { None, Piece, Whole, Foreign, Unknown };

Target lookAtTarget(const char* target, const char* drive, bfs_fileId* id, int* error) {
    *id = bfs_fileId{};
    *error = 0;
    const int fd = bfs_open(target, O_RDONLY);
    if (fd < 0) {
        *error = errno;
        return *error == ENOENT ? Target::None : Target::Unknown;
    }
    bfs_stat st{};
    const bool known =
        bfs_identity(fd, id) == 0 && bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) == 0;
    if (!known) *error = errno;
    bfs_close(fd);
    if (!known) return Target::Unknown;
    if (!meas_app_fileMadeHere(drive, *id)) return Target::Foreign;
    return (st.st_attrib & 0x01) ? Target::Whole : Target::Piece;
}

} // namespace

void meas_app_fileMade(const char* drive, const bfs_fileId& id) {
    if (!drive) return;
    std::lock_guard<std::mutex> lk(madeHere().m);
    madeHere().files.emplace(drive, id);
}

bool meas_app_fileMadeHere(const char* drive, const bfs_fileId& id) {
    if (!drive) return false;
    std::lock_guard<std::mutex> lk(madeHere().m);
    return madeHere().files.count({drive, id}) != 0;
}

void meas_app_setCopyHooks(const meas_app_CopyHooks* hooks) {
    gCopyHooks.store(hooks);
}

void meas_app_copyFinished(int instance, const CopyFile_t& request, int result) {
    const meas_app_CopyHooks* h = gCopyHooks.load();
    if (h && h->finished) h->finished(instance, request, result);
}

void meas_app_copyProgress(int instance, const CopyFile_t& request) {
    const meas_app_CopyHooks* h = gCopyHooks.load();
    if (h && h->progress) h->progress(instance, request);
}

bool meas_app_copyReplaces(int instance, const CopyFile_t& request) {
    const meas_app_CopyHooks* h = gCopyHooks.load();
    return !h || !h->replaces || h->replaces(instance, request);
}

namespace {

constexpr uint32_t kReplaceCalls = 8; // the stick's calls from the rename on

int copyOnce(const char* source, const char* target, const char* targetDrive, const std::string& part,
             const std::function<void()>& piece, const std::function<void(int)>& known,
             const std::function<bool()>& mayReplace) {
    FILE* in = openSource(source);
    if (!in) return MEAS_COPY_RESULT_FAILED;
    bfs_stat sourceStat{};
    if (bfs_ioctl(fileno(in), FIOFSTATGET, reinterpret_cast<intptr_t>(&sourceStat)) != 0) {
        syslogx(LOG_PRIO_ERR2, "meas_app_copyLastFile() FIOFSTATGET @ %s failed", source);
        closeSource(in, source);
        return MEAS_COPY_RESULT_FAILED;
    }
    if (meas_app_driveAvDebounce(targetDrive) != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err open '%s', usb not available", target);
        closeSource(in, source);
        return MEAS_COPY_RESULT_FAILED;
    }
    // Only a piece of the file that this run made is replaced: a file an earlier run left under the
    // name (a power cut's piece, a whole file of a run whose names this one repeats) is never written
    // over, read-only or not.
    bfs_fileId there{};
    int lookError = 0;
    const Target found = lookAtTarget(target, targetDrive, &there, &lookError);
    if (found == Target::Whole) {
        syslogx(LOG_PRIO_INFO, "meas_app_copyLastFile() '%s' is whole there already: nothing is copied",
                target);
        closeSource(in, source);
        return MEAS_COPY_RESULT_DONE;
    }
    if (found == Target::Foreign || found == Target::Unknown) {
        if (found == Target::Foreign)
            syslogx(LOG_PRIO_WARNING,
                    "meas_app_copyLastFile() '%s' is not copied: a file of that name is there that this run "
                    "did not make (an earlier run's, or another's), which is never written over",
                    target);
        else
            syslogx(LOG_PRIO_ERR,
                    "meas_app_copyLastFile() '%s' is not copied: the file of that name there cannot be "
                    "looked at (%s)",
                    target, std::strerror(lookError));
        closeSource(in, source);
        return MEAS_COPY_RESULT_FAILED;
    }
    // The parts left on the stick go before the copies of its arrival write: the arrival's removal on
    // the stick's task may not have been made yet (behind a walk there), or was met by a pull.
    if (partsDue(targetDrive)) meas_app_copyRemoveParts(targetDrive);
    // The copy goes under a name of its own and replaces the target only once it is written through:
    // a copy that fails before leaves the target as it was (a piece the stick kept stays, writable
    // with its last complete record). A part is never a finished file: one left by a copy that did
    // not end (its stick pulled in its close, a power cut) is removed first; no other copy of this
    // process writes it now.
    if (bfs_unlink(part.c_str()) == 0)
        syslogx(LOG_PRIO_INFO, "meas_app_copyLastFile() '%s' removed: a copy that did not end left it",
                part.c_str());
    else if (errno != ENOENT)
        syslogx(LOG_PRIO_ERR,
                "meas_app_copyLastFile() '%s', left by a copy that did not end, cannot be removed (%s)",
                part.c_str(), std::strerror(errno));
    const int fd = bfs_open(part.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0777);
    const int openError = errno;
    const uint32_t created = meas_app_dirSyncMark(targetDrive);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err open '%s', '%s'", part.c_str(),
                std::strerror(openError));
        closeSource(in, source);
        return MEAS_COPY_RESULT_FAILED;
    }
    // What this copy writes, by identity: only that file is ever made read-only.
    bfs_fileId written{};
    bool ok = bfs_identity(fd, &written) == 0;
    if (ok) meas_app_fileMade(targetDrive, written);
    if (!ok)
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err '%s': its identity cannot be read, '%s'",
                part.c_str(), std::strerror(errno));
    taskDelay(1);
    ok = ok && copyData(in, fd, source, part.c_str(), targetDrive, piece);
    closeSource(in, source);
    // The descriptor that makes the file read-only at the end is opened before the close, and must
    // hold the file written, not one put in its place meanwhile.
    int readOnly = -1;
    if (ok && (readOnly = bfs_open(part.c_str(), O_RDONLY)) < 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err open '%s' to make it read-only, '%s'",
                part.c_str(), std::strerror(errno));
        ok = false;
    }
    bfs_fileId reopened{};
    if (ok && (bfs_identity(readOnly, &reopened) != 0 || !(reopened == written))) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err '%s' no longer holds the file this copy wrote",
                part.c_str());
        ok = false;
    }
    if (bfs_close(fd) != 0 && ok) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err close '%s', '%s'", part.c_str(),
                std::strerror(errno));
        ok = false;
    }
    // The part's entry is written through before it replaces anything: a folder write-through that
    // fails after the rename then loses the rename at most, never the file under the name.
    int folderError = 0;
    if (ok && meas_app_dirSyncNow(targetDrive, created, &folderError) < 0) {
        syslogx(LOG_PRIO_ERR,
                "meas_app_copyLastFile() err folder: the entry of '%s' could not be written through (%s)",
                part.c_str(), errorText(folderError));
        ok = false;
    }
    // The replacement begins with the rename and ends before the process does: one whose calls the
    // stick could not all make by then (the rename, the folder's write-through, the check of the
    // name, read-only and the close, each a call or two) is not begun.
    if (ok && !drivecalls_timeFor(targetDrive, kReplaceCalls)) {
        const uint32_t longest = drivecalls_longestMs(targetDrive);
        syslogx(LOG_PRIO_WARNING,
                "meas_app_copyLastFile() '%s' is not replaced: the process ends before the stick could "
                "take the replacement (its calls took up to %u.%u s), the stick keeps it as it was",
                target, unsigned(longest / 1000), unsigned(longest % 1000 / 100));
        ok = false;
    }
    if (ok && mayReplace && !mayReplace()) {
        syslogx(LOG_PRIO_WARNING,
                "meas_app_copyLastFile() '%s' is not replaced: the shutdown is over, the stick keeps it as "
                "it was",
                target);
        ok = false;
    }
    // Over the piece found at the start and nothing else: a file put under the name since stays.
    if (ok && bfs_rename(part.c_str(), target, &there) != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() err rename '%s' to '%s', '%s'", part.c_str(), target,
                std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        if (readOnly >= 0) bfs_close(readOnly);
        if (bfs_unlink(part.c_str()) != 0 && errno != ENOENT)
            syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() the failed copy '%s' cannot be removed (%s)",
                    part.c_str(), std::strerror(errno));
        return MEAS_COPY_RESULT_FAILED;
    }
    if (found == Target::Piece)
        syslogx(LOG_PRIO_WARNING,
                "meas_app_copyLastFile() '%s' replaced the piece of it that this run left there", target);
    // Read-only is the last step: a power cut before the folder holds the rename may leave the old
    // piece under the name (the attribute byte is kept apart and survives), and a read-only file is
    // always whole. A copy that fails from here leaves the target writable: not finished.
    // The error named is the one the failed step met (a folder write-through that another task made
    // for this one included), never what errno holds afterwards.
    const char* why = nullptr;
    int same = 1, error = 0;
    if (meas_app_dirSyncNow(targetDrive, meas_app_dirSyncMark(targetDrive), &error) < 0) {
        why = "its entry could not be written through";
    } else if ((same = bfs_sameFile(readOnly, target)) != 1) {
        error = errno;
        why = same < 0 ? "it cannot be found on its drive" : "its name no longer holds it";
    } else if (!makeReadOnly(readOnly, sourceStat.st_attrib)) {
        error = errno;
        why = "it cannot be made read-only";
    }
    const int result = why ? MEAS_COPY_RESULT_DAMAGED : MEAS_COPY_RESULT_DONE;
    if (why && same == 0)
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() %s is not finished: %s", target, why);
    else if (why)
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFile() %s is not finished: %s (%s)", target, why,
                errorText(error));
    else
        syslogx(LOG_PRIO_INFO, "meas_app_copyLastFile() copy success from '%s' to '%s'", source, target);
    // The copy is what it is now: a close of the descriptor that hangs in the stick changes nothing.
    if (known) known(result);
    bfs_close(readOnly);
    return result;
}

} // namespace

int meas_app_copyFile(const char* source, const char* target, const std::function<void()>& piece,
                      const std::function<void(int)>& known, const std::function<bool()>& mayReplace) {
    char targetDrive[CFG_MEAS_NAME_LEN + 2];
    if (!source || meas_app_filenameGetDrive(target, targetDrive, sizeof targetDrive, nullptr) != 0)
        return MEAS_COPY_RESULT_FAILED;
    // One copy of a file at a time: a second one (a stick put in again while the first runs) would
    // remove the first's part, and the first would then finish the second's.
    const std::string part = std::string(target) + MEAS_COPY_PART_SUFFIX;
    int before = MEAS_COPY_RESULT_FAILED;
    PartInUse inUse(part, targetDrive, &before);
    if (before == MEAS_COPY_RESULT_DONE) {
        syslogx(LOG_PRIO_INFO,
                "meas_app_copyLastFile() '%s' was copied whole by the copy this one waited for", target);
        return MEAS_COPY_RESULT_DONE;
    }
    if (!inUse.taken()) {
        syslogx(LOG_PRIO_ERR,
                "meas_app_copyLastFile() '%s' is not copied: another copy of it hangs in its drive", target);
        return MEAS_COPY_RESULT_FAILED;
    }
    return copyOnce(
        source, target, targetDrive, part, piece,
        [&](int result) {
            inUse.end(result);
            if (known) known(result);
        },
        mayReplace);
}

void meas_app_copyPartsLeft(const char* drive) {
    if (!drive) return;
    std::lock_guard<std::mutex> lk(partsInUse().m);
    ++partsInUse().due[drive].asked;
}

int meas_app_copyRemoveParts(const char* drive) {
    uint32_t asked = 0;
    if (drive) {
        std::lock_guard<std::mutex> lk(partsInUse().m);
        const auto it = partsInUse().due.find(drive);
        asked = it == partsInUse().due.end() ? 0 : it->second.asked;
    }
    const int root = drive ? bfs_open(drive, O_RDONLY) : -1;
    if (root < 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_copyRemoveParts() '%s' cannot be read (%s)", drive ? drive : "",
                std::strerror(errno));
        return -1;
    }
    std::vector<std::string> parts;
    bfs_find f{};
    int request = IO_IOCTL_FIND_FIRST_FILE;
    bool whole = false; // the folder read to its end
    for (; bfs_ioctl(root, request, reinterpret_cast<intptr_t>(&f)) == 0; request = IO_IOCTL_FIND_NEXT_FILE) {
        if (f.name[0] == '\0') {
            whole = true;
            break;
        }
        if (endsWithPart(f.name)) parts.push_back(std::string(drive) + "/" + f.name);
    }
    const int listError = errno;
    bfs_close(root);
    if (!whole)
        syslogx(LOG_PRIO_ERR, "meas_app_copyRemoveParts() '%s' cannot be read to its end (%s)", drive,
                std::strerror(listError));
    int removed = 0;
    for (const std::string& path : parts) {
        std::lock_guard<std::mutex> lk(partsInUse().m);
        if (partsInUse().paths.count(path)) continue; // a copy writes it now
        if (bfs_unlink(path.c_str()) == 0) {
            ++removed;
            syslogx(LOG_PRIO_INFO, "meas_app_copyRemoveParts() '%s' removed: a copy that did not end left it",
                    path.c_str());
        } else if (errno != ENOENT) {
            whole = false;
            syslogx(
                LOG_PRIO_ERR,
                "meas_app_copyRemoveParts() '%s', left by a copy that did not end, cannot be removed (%s)",
                path.c_str(), std::strerror(errno));
        }
    }
    if (whole) {
        // Every part there when the arrivals up to `asked` came is gone: theirs are made.
        std::lock_guard<std::mutex> lk(partsInUse().m);
        PartsDue& d = partsInUse().due[drive];
        if (int32_t(asked - d.removed) > 0) d.removed = asked;
    }
    return whole ? removed : -1;
}

namespace {

// One copy task: the request's own record hears of its pieces, its gate and its end.
void copyTask(const CopyFile_t& asked, int instance) {
    taskDelay(5 * sysClkRateGet());
    int result = MEAS_COPY_RESULT_FAILED;
    char source[kPathLen] = {};
    char target[kPathLen] = {};
    const char* drive = cfg_meas_getTargetPartition(instance);
    const int prefix = std::snprintf(source, sizeof source, "%s/", drive ? drive : "");
    const int len =
        drive ? LapOutFra_genFilenameAbsLap(source + prefix, uint32_t(sizeof source - size_t(prefix)),
                                            uint8_t(instance), uint8_t(asked.outing), uint8_t(asked.lap),
                                            uint8_t(asked.fragment), asked.absLap)
              : -1;
    const char* slash = std::strchr(source, '/');
    bool told = false;
    if (len <= 0 || !asked.targetDrive || !slash ||
        std::snprintf(target, sizeof target, "%s%s", asked.targetDrive, slash) >= int(sizeof target)) {
        syslogx(LOG_PRIO_DEBUG, "meas_app_copyLastFile() failed, from file invalid %s", source);
    } else if (!fexist(source)) {
        syslogx(LOG_PRIO_DEBUG, "meas_app_copyLastFile() failed, does not exist %s", source);
    } else {
        result = meas_app_copyFile(
            source, target, [&] { meas_app_copyProgress(instance, asked); },
            [&](int known) {
                told = true;
                meas_app_copyFinished(instance, asked, known);
            },
            [&] { return meas_app_copyReplaces(instance, asked); });
    }
    if (!told) meas_app_copyFinished(instance, asked, result);
    if (asked.ownsTarget) std::free(asked.targetDrive);
}

} // namespace

void meas_app_copyFileTask(uint16_t outing, uint16_t lap, uint16_t absLap, uint16_t fragment, int instance,
                           char* targetDrive, uint8_t ownsTarget) {
    copyTask(CopyFile_t{outing, lap, absLap, fragment, targetDrive, ownsTarget, 0}, instance);
}

bool meas_app_copyFileStart(const CopyFile_t& request, int instance) {
    const meas_app_CopyHooks* hooks = gCopyHooks.load();
    if (hooks && hooks->writesFiles && !hooks->writesFiles(instance)) {
        // A measurement that writes no files has none to copy.
        meas_app_copyFinished(instance, request, MEAS_COPY_RESULT_FAILED);
        return true;
    }
    char* name = request.targetDrive;
    const size_t length = name ? strnlen(name, kPathLen) : 0;
    if (request.ownsTarget && name) {
        // The task frees its own copy.
        name = static_cast<char*>(std::calloc(1, length + 1));
        if (!name) {
            syslogx(LOG_PRIO_ERR, "ActionFileCopy::execute() calloc returned a NULL pointer.");
            meas_app_copyFinished(instance, request, MEAS_COPY_RESULT_FAILED);
            return false;
        }
        std::memcpy(name, request.targetDrive, length);
    }
    char taskName[24];
    std::snprintf(taskName, sizeof taskName, "r_FileCpyTask%c", 'A' + instance / 2);
    CopyFile_t r = request;
    r.targetDrive = name;
    const TASK_ID tid = taskSpawn(taskName, MEAS_FILECOPY_PRIORITY, VX_FP_TASK, MEAS_FILECOPY_STACK,
                                  [r, instance] { copyTask(r, instance); });
    if (tid == TASK_ID_ERROR) {
        if (request.ownsTarget) std::free(name);
        syslogx(LOG_PRIO_ERR, "ActionFileCopy::execute(): start of %s task failed!", taskName);
        meas_app_copyFinished(instance, request, MEAS_COPY_RESULT_FAILED);
        return false;
    }
    return true;
}

void meas_app_copyLastFileTask() {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    const TASK_ID tid =
        taskSpawn("r_FileCpy_4tst", MEAS_FILECOPY_PRIORITY, VX_FP_TASK, MEAS_FILECOPY_STACK, [s] {
            meas_app_copyFileTask(s.outing, s.lap, s.absLap, uint16_t(s.fragment - 1), 0,
                                  const_cast<char*>("usb_meas:"), 0);
        });
    if (tid == TASK_ID_ERROR)
        syslogx(LOG_PRIO_ERR, "meas_app_copyLastFileTask(): start of r_FileCpy_4tst task failed!");
}
