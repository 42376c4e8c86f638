#include "platform/drives/drive_loss.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_state.h"

#include <algorithm>
#include <cerrno>
#include <compare>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Key {
    dev_t dev = 0;
    ino_t ino = 0;
    auto operator<=>(const Key&) const = default;
};

Key keyOf(const struct stat& st) {
    return Key{st.st_dev, st.st_ino};
}

struct Record {
    std::string drive; // "meas:"
    std::string dir;   // the drive's host folder when the file was opened
    std::string rel;   // the file's name in the drive
    uint64_t synced = 0;
    bool entryPending = false; // created, and its drive root not written through since
    uint64_t createdSeq = 0;
    int opens = 0; // descriptors of the file API
    std::string host() const { return dir + "/" + rel; }
};

// A file deleted since its drive root's last good write-through, kept aside by a link.
struct Deleted {
    std::string drive;
    std::string dir; // the drive's host folder at the deletion
    std::string rel;
    std::string kept; // the link aside
    uint64_t seq = 0;
    int64_t synced = -1; // what a record knew of its last good write-through (-1: all of it)
};

struct Loss {
    std::mutex m;
    std::map<Key, Record> records;
    std::map<int, Key> fds;
    std::map<uint64_t, Deleted> deleted; // by token
    uint64_t seq = 0;
};

Loss& loss() {
    static auto* l = new Loss; // descriptors may be closed while the process ends
    return *l;
}

// Drops the descriptor's hold on its record; the lock is held.
void forgetFd(Loss& l, int fd) {
    const auto f = l.fds.find(fd);
    if (f == l.fds.end()) return;
    const auto r = l.records.find(f->second);
    if (r != l.records.end() && r->second.opens > 0) --r->second.opens;
    l.fds.erase(f);
}

// Cuts the file at `host` to `size` when it is still the file of `key` and longer; a read-only file
// is cut all the same, as the power cut does not ask.
void cutTo(const std::string& host, const Key& key, uint64_t size) {
    struct stat st {};
    if (::lstat(host.c_str(), &st) != 0 || !(keyOf(st) == key) || !S_ISREG(st.st_mode) ||
        uint64_t(st.st_size) <= size)
        return;
    int fd = ::open(host.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    bool restore = false;
    if (fd < 0 && errno == EACCES && ::chmod(host.c_str(), (st.st_mode | 0200) & 07777) == 0) {
        restore = true;
        fd = ::open(host.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd >= 0) {
        struct stat again {};
        if (::fstat(fd, &again) == 0 && keyOf(again) == key) (void)::ftruncate(fd, off_t(size));
        ::close(fd);
    }
    if (restore) ::chmod(host.c_str(), st.st_mode & 07777);
}

// Removes the entry at `host` when it still names the file of `key`.
void removeEntry(const std::string& host, const Key& key) {
    struct stat st {};
    if (::lstat(host.c_str(), &st) == 0 && keyOf(st) == key) ::unlink(host.c_str());
}

void dropAttributes(const std::string& drive, const std::vector<std::string>& names) {
    if (names.empty()) return;
    DriveFaultQuiet quiet;
    drive_stateUpdate(drive.c_str(), [&](DriveState& s) {
        bool changed = false;
        for (const std::string& n : names) changed = s.attrs.erase(n) != 0 || changed;
        return changed;
    });
}

// Removes the files whose entries are lost: those the filter picks among the records.
template <class Pick> void removeEntries(Pick pick) {
    Loss& l = loss();
    std::vector<std::pair<Key, Record>> lost;
    {
        std::lock_guard<std::mutex> lk(l.m);
        for (auto it = l.records.begin(); it != l.records.end();) {
            if (it->second.entryPending && pick(it->second)) {
                lost.emplace_back(it->first, it->second);
                it = l.records.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::map<std::string, std::vector<std::string>> names;
    for (const auto& [key, r] : lost) {
        removeEntry(r.host(), key);
        names[r.drive].push_back(r.rel);
    }
    for (const auto& [drive, list] : names) dropAttributes(drive, list);
}

struct Stores {
    std::mutex m;
    std::map<std::string, std::string> folders; // drive -> host folder
};

Stores& stores() {
    static auto* s = new Stores;
    return *s;
}

bool currentDir(const std::string& drive, std::string* dir) {
    if (devpath_driveDir(drive.c_str(), dir)) return true;
    Stores& s = stores();
    std::lock_guard<std::mutex> lk(s.m);
    const auto it = s.folders.find(drive);
    if (it == s.folders.end()) return false;
    *dir = it->second;
    return true;
}

} // namespace

void driveloss_opened(int fd, const std::string& drive, const std::string& rel, const std::string& host,
                      bool created) {
    if (!drivefault_on()) return;
    struct stat st {};
    if (fd < 0 || rel.empty() || host.size() <= rel.size() || ::fstat(fd, &st) != 0) return;
    const Key key = keyOf(st);
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    forgetFd(l, fd);
    auto it = l.records.find(key);
    if (it != l.records.end() && it->second.opens == 0 && (created || it->second.host() != host)) {
        // A new file on the inode of one that is gone.
        l.records.erase(it);
        it = l.records.end();
    }
    if (it == l.records.end()) {
        Record r;
        r.drive = drive;
        r.dir = host.substr(0, host.size() - rel.size() - 1);
        r.rel = rel;
        r.synced = created ? 0 : uint64_t(st.st_size);
        r.entryPending = created;
        r.createdSeq = ++l.seq;
        it = l.records.emplace(key, r).first;
    } else {
        // Opened again (maybe truncated): what is gone now cannot come back.
        Record& r = it->second;
        r.synced = std::min(r.synced, uint64_t(st.st_size));
        if (r.host() != host) { // renamed from outside while it was open
            r.drive = drive;
            r.dir = host.substr(0, host.size() - rel.size() - 1);
            r.rel = rel;
        }
    }
    ++it->second.opens;
    l.fds[fd] = key;
}

void driveloss_duped(int fd, int copy) {
    if (!drivefault_on()) return;
    if (copy < 0) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    forgetFd(l, copy);
    const auto f = l.fds.find(fd);
    if (f == l.fds.end()) return;
    const auto r = l.records.find(f->second);
    if (r == l.records.end()) return;
    ++r->second.opens;
    l.fds[copy] = f->second;
}

void driveloss_closing(int fd) {
    if (!drivefault_on()) return;
    Loss& l = loss();
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0;
    std::lock_guard<std::mutex> lk(l.m);
    const auto f = l.fds.find(fd);
    if (f == l.fds.end()) return;
    const Key key = f->second;
    forgetFd(l, fd);
    const auto r = l.records.find(key);
    // A closed file that is all written through need not be kept: opened again, it counts as
    // written through at its size then.
    if (r != l.records.end() && r->second.opens == 0 && !r->second.entryPending && sized &&
        keyOf(st) == key && uint64_t(st.st_size) <= r->second.synced)
        l.records.erase(r);
}

void driveloss_truncated(int fd, uint64_t length) {
    if (!drivefault_on()) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    const auto f = l.fds.find(fd);
    if (f == l.fds.end()) return;
    const auto r = l.records.find(f->second);
    if (r != l.records.end()) r->second.synced = std::min(r->second.synced, length);
}

int64_t driveloss_fileSyncStarts(int fd) {
    if (!drivefault_on()) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    return l.records.count(keyOf(st)) ? int64_t(st.st_size) : -1;
}

void driveloss_fileWrittenThrough(int fd, int64_t covered) {
    if (!drivefault_on()) return;
    struct stat st {};
    if (covered < 0 || ::fstat(fd, &st) != 0) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    const auto r = l.records.find(keyOf(st));
    if (r != l.records.end()) r->second.synced = std::max(r->second.synced, uint64_t(covered));
}

void driveloss_fileWriteThroughFailed(int fd) {
    if (!drivefault_on()) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    const Key key = keyOf(st);
    uint64_t synced = 0;
    std::string host;
    {
        Loss& l = loss();
        std::lock_guard<std::mutex> lk(l.m);
        const auto r = l.records.find(key);
        if (r == l.records.end()) return;
        synced = r->second.synced;
        host = r->second.host();
    }
    if (uint64_t(st.st_size) <= synced) return;
    // A descriptor open for reading only cannot cut: through the path then.
    if (::ftruncate(fd, off_t(synced)) != 0) cutTo(host, key, synced);
}

uint64_t driveloss_rootSyncStarts() {
    if (!drivefault_on()) return 0;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    return l.seq;
}

void driveloss_rootWrittenThrough(const std::string& drive, uint64_t started) {
    if (!drivefault_on()) return;
    std::string dir;
    if (!currentDir(drive, &dir)) return;
    std::vector<std::string> gone;
    {
        Loss& l = loss();
        std::lock_guard<std::mutex> lk(l.m);
        for (auto& [key, r] : l.records)
            if (r.dir == dir && r.createdSeq <= started) r.entryPending = false;
        // Deletions made before the write-through began are on the drive for good.
        std::erase_if(l.deleted, [&](const auto& kv) {
            if (kv.second.dir != dir || kv.second.seq > started) return false;
            gone.push_back(kv.second.kept);
            return true;
        });
    }
    for (const std::string& kept : gone) ::unlink(kept.c_str());
}

void driveloss_rootWriteThroughFailed(const std::string& drive) {
    if (!drivefault_on()) return;
    std::string dir;
    if (!currentDir(drive, &dir)) return;
    removeEntries([&](const Record& r) { return r.dir == dir; });
}

void driveloss_renamed(const std::string& fromHost, const std::string& toHost) {
    if (!drivefault_on()) return;
    if (fromHost == toHost) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    for (auto it = l.records.begin(); it != l.records.end();) {
        Record& r = it->second;
        const std::string host = r.host();
        if (host == toHost) { // replaced
            it = l.records.erase(it);
            continue;
        }
        if (host == fromHost && toHost.compare(0, r.dir.size() + 1, r.dir + "/") == 0)
            r.rel = toHost.substr(r.dir.size() + 1);
        ++it;
    }
}

void driveloss_removed(const std::string& host) {
    if (!drivefault_on()) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    std::erase_if(l.records, [&](const auto& kv) { return kv.second.host() == host; });
}

uint64_t driveloss_deleting(const std::string& drive, const std::string& rel, const std::string& host) {
    if (!drivefault_on() || rel.empty() || host.size() <= rel.size()) return 0;
    struct stat st {};
    if (::lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    Loss& l = loss();
    Deleted d;
    {
        std::lock_guard<std::mutex> lk(l.m);
        const auto r = l.records.find(keyOf(st));
        if (r != l.records.end() && r->second.host() == host) { // not one gone whose inode it has
            if (r->second.entryPending) return 0;               // its entry was never on the drive
            d.synced = int64_t(r->second.synced);
        }
        d.seq = ++l.seq;
    }
    // Beside the drive folders, on their file system: a link there keeps the file as it was.
    const std::string aside = devroot_path() + "/.deleted-unsynced";
    ::mkdir(aside.c_str(), 0700);
    d.drive = drive;
    d.dir = host.substr(0, host.size() - rel.size() - 1);
    d.rel = rel;
    d.kept = aside + "/" + std::to_string(::getpid()) + "-" + std::to_string(d.seq);
    ::unlink(d.kept.c_str());
    if (::link(host.c_str(), d.kept.c_str()) != 0) return 0; // another file system: not kept
    std::lock_guard<std::mutex> lk(l.m);
    l.deleted.emplace(d.seq, d);
    return d.seq;
}

void driveloss_deleted(uint64_t token, const std::string& host, bool done) {
    if (done) driveloss_removed(host);
    if (token == 0) return;
    Loss& l = loss();
    std::string kept;
    {
        std::lock_guard<std::mutex> lk(l.m);
        const auto it = l.deleted.find(token);
        if (it == l.deleted.end() || done) return;
        kept = it->second.kept;
        l.deleted.erase(it);
    }
    ::unlink(kept.c_str());
}

void driveloss_emptied(const std::string& drive) {
    if (!drivefault_on()) return;
    std::string dir;
    if (!currentDir(drive, &dir)) return;
    std::vector<std::string> gone;
    {
        Loss& l = loss();
        std::lock_guard<std::mutex> lk(l.m);
        std::erase_if(l.deleted, [&](const auto& kv) {
            if (kv.second.dir != dir) return false;
            gone.push_back(kv.second.kept);
            return true;
        });
    }
    for (const std::string& kept : gone) ::unlink(kept.c_str());
}

void driveloss_takeAway(const std::string& drive, const std::string& rel, const std::string& host,
                        bool rename) {
    if (rel.empty()) return;
    DriveFaultQuiet quiet;
    if (!rename) {
        if (::unlink(host.c_str()) != 0) return;
        driveloss_removed(host);
        dropAttributes(drive, {rel});
        return;
    }
    const std::string moved = rel + ".moved";
    if (std::rename(host.c_str(), (host + ".moved").c_str()) != 0) return;
    driveloss_renamed(host, host + ".moved");
    drive_stateUpdate(drive.c_str(), [&](DriveState& s) {
        const uint8_t attr = s.attrOf(rel);
        const bool had = s.attrs.erase(rel) != 0;
        const bool replaced = s.attrs.erase(moved) != 0;
        s.setAttr(moved, attr);
        return had || replaced;
    });
}

void driveloss_setStoreFolder(const std::string& drive, const std::string& folder) {
    Stores& s = stores();
    std::lock_guard<std::mutex> lk(s.m);
    if (folder.empty())
        s.folders.erase(drive);
    else
        s.folders[drive] = folder;
}

std::string driveloss_storeFolder(const std::string& drive) {
    Stores& s = stores();
    std::lock_guard<std::mutex> lk(s.m);
    const auto it = s.folders.find(drive);
    return it == s.folders.end() ? std::string() : it->second;
}

void driveloss_driveWrittenThrough(const std::string& drive) {
    if (!drivefault_on()) return;
    std::string dir;
    if (!currentDir(drive, &dir)) return;
    Loss& l = loss();
    std::lock_guard<std::mutex> lk(l.m);
    for (auto& [key, r] : l.records) {
        struct stat st {};
        if (r.dir != dir || ::lstat(r.host().c_str(), &st) != 0 || !(keyOf(st) == key)) continue;
        r.synced = std::max(r.synced, uint64_t(st.st_size));
        r.entryPending = false;
    }
}

void driveloss_powerCut() {
    Loss& l = loss();
    std::vector<std::pair<Key, Record>> files;
    {
        std::lock_guard<std::mutex> lk(l.m);
        for (const auto& [key, r] : l.records) {
            std::string dir;
            if (currentDir(r.drive, &dir) && dir == r.dir && !r.entryPending) files.emplace_back(key, r);
        }
    }
    for (const auto& [key, r] : files) cutTo(r.host(), key, r.synced);
    removeEntries([](const Record& r) {
        std::string dir;
        return currentDir(r.drive, &dir) && dir == r.dir;
    });
    // Deletions not written through: the files come back under their names (where no file is
    // now), as much of them as was written through.
    std::map<uint64_t, Deleted> deleted;
    {
        std::lock_guard<std::mutex> lk(l.m);
        deleted.swap(l.deleted);
    }
    for (const auto& [token, d] : deleted) {
        std::string dir;
        const std::string host = d.dir + "/" + d.rel;
        if (currentDir(d.drive, &dir) && dir == d.dir && ::link(d.kept.c_str(), host.c_str()) == 0 &&
            d.synced >= 0) {
            struct stat st {};
            if (::lstat(host.c_str(), &st) == 0) cutTo(host, keyOf(st), uint64_t(d.synced));
        }
        ::unlink(d.kept.c_str());
    }
}

std::vector<std::pair<std::string, std::string>> driveloss_unsafe() {
    Loss& l = loss();
    std::vector<std::pair<std::string, std::string>> out;
    std::lock_guard<std::mutex> lk(l.m);
    for (const auto& [key, r] : l.records) {
        std::string dir;
        struct stat st {};
        if (!currentDir(r.drive, &dir) || dir != r.dir || ::lstat(r.host().c_str(), &st) != 0 ||
            !(keyOf(st) == key))
            continue;
        if (r.entryPending || uint64_t(st.st_size) > r.synced) out.emplace_back(r.drive, r.rel);
    }
    return out;
}
