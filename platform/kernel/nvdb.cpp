#include "platform/kernel/nvdb.h"

#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint8_t kMagic[4] = {'N', 'V', 'D', 'B'};
constexpr size_t kHeaderSize = 20;
constexpr size_t kCrcOffset = 18;
// The store's name in the drive layer's fault seam.
constexpr const char* kSeamDrive = "nv:";

// Held shared by every operation and alone by open and close: the folder stays while it is used.
std::shared_mutex g_lock;
std::atomic<uint64_t> g_writeThroughs{0};
int g_dirFd = -1;
int g_lockFd = -1;
std::string g_folder;

struct Copy {
    uint16_t counter = 0;
    std::vector<uint8_t> data;
};

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}
uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return get16(p) | uint32_t(get16(p + 2)) << 16;
}

// Serial-number order, so the counter may wrap: a is newer than b when it is less than half the
// counter range ahead.
bool newer(uint16_t a, uint16_t b) {
    return int16_t(uint16_t(a - b)) > 0;
}

std::string copyName(uint32_t id, uint32_t index, int copy) {
    char name[32];
    std::snprintf(name, sizeof name, "nv%03u_%08x.%c", unsigned(id), unsigned(index), copy ? 'b' : 'a');
    return name;
}

using Key = std::pair<uint32_t, uint32_t>;

// The locks of the elements in use: one element's write-through holds no other element.
struct ElementLock {
    std::mutex m;
    int users = 0;
};
std::mutex g_elementsLock;
std::map<Key, ElementLock> g_elements; // nodes stay where they are while used

class ElementGuard {
public:
    ElementGuard(uint32_t id, uint32_t index) : key_{id, index} {
        {
            std::lock_guard<std::mutex> lk(g_elementsLock);
            lock_ = &g_elements[key_];
            ++lock_->users;
        }
        lock_->m.lock();
    }
    ~ElementGuard() {
        lock_->m.unlock();
        std::lock_guard<std::mutex> lk(g_elementsLock);
        if (--lock_->users == 0) g_elements.erase(key_);
    }
    ElementGuard(const ElementGuard&) = delete;
    ElementGuard& operator=(const ElementGuard&) = delete;

private:
    Key key_;
    ElementLock* lock_ = nullptr;
};

// The folder's cross-process lock: taken by the first of this process's operations and let go by
// the last (a flock is the process's, not a thread's), so that threads of this process do not wait
// for each other through it.
std::mutex g_flockLock;
std::condition_variable g_flockChanged;
int g_flockUsers = 0;
bool g_flockTaking = false;

class FolderLock {
public:
    FolderLock() {
        std::unique_lock<std::mutex> lk(g_flockLock);
        g_flockChanged.wait(lk, [] { return !g_flockTaking; });
        if (g_flockUsers == 0) {
            g_flockTaking = true;
            lk.unlock();
            while (flock(g_lockFd, LOCK_EX) != 0 && errno == EINTR) {
            }
            lk.lock();
            g_flockTaking = false;
            g_flockChanged.notify_all();
        }
        ++g_flockUsers;
    }
    ~FolderLock() {
        std::lock_guard<std::mutex> lk(g_flockLock);
        if (--g_flockUsers == 0) flock(g_lockFd, LOCK_UN);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
};

bool readAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

// Loads a copy into `out` when it is complete, belongs to (id, index) and passes its CRC; otherwise
// says what is wrong with it.
NvdbCopy loadCopy(uint32_t id, uint32_t index, int copy, Copy* out) {
    // Non-blocking, so a FIFO planted under a copy's name cannot stall the reader.
    int fd = openat(g_dirFd, copyName(id, index, copy).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? NvdbCopy::Missing : NvdbCopy::Unreadable;
    NvdbCopy state = NvdbCopy::Unreadable;
    struct stat st {};
    uint8_t header[kHeaderSize];
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > kHeaderSize + NVDB_MAX_ELEMENT) {
        state = NvdbCopy::Unreadable;
    } else if (size_t(st.st_size) < kHeaderSize) {
        state = NvdbCopy::Torn;
    } else if (!readAll(fd, header, kHeaderSize)) {
        state = NvdbCopy::Unreadable;
    } else if (std::memcmp(header, kMagic, 4) != 0) {
        state = NvdbCopy::NotACopy;
    } else if (get32(header + 4) != id || get32(header + 8) != index) {
        state = NvdbCopy::Foreign;
    } else if (get32(header + 12) != size_t(st.st_size) - kHeaderSize) {
        state = NvdbCopy::Torn;
    } else {
        Copy c{get16(header + 16), std::vector<uint8_t>(size_t(st.st_size) - kHeaderSize)};
        if (!readAll(fd, c.data.data(), c.data.size())) {
            state = NvdbCopy::Unreadable;
        } else {
            uint16_t crc = nvdb_crc16(header, kCrcOffset);
            crc = nvdb_crc16(c.data.data(), c.data.size(), crc);
            state = crc == get16(header + kCrcOffset) ? NvdbCopy::Good : NvdbCopy::BadCrc;
            if (state == NvdbCopy::Good) *out = std::move(c);
        }
    }
    close(fd);
    return state;
}

int writeThrough(int fd) {
    g_writeThroughs.fetch_add(1);
    return drivestore_fsync(kSeamDrive, fd);
}

int writeThroughFolder() {
    g_writeThroughs.fetch_add(1);
    return drivestore_fsyncFolder(kSeamDrive, g_dirFd);
}

// Writes a copy (its file rewritten) and writes it through, with the folder when the file is new
// unless `newFolder` takes that over (it is set then). `stage` (the first copy of a write) turns
// FirstCopy once the call is let through; a write withheld before that writes nothing.
bool storeCopy(uint32_t id, uint32_t index, int copy, uint16_t counter, const void* data, size_t length,
               bool* newFolder = nullptr, std::atomic<NvdbStage>* stage = nullptr) {
    std::vector<uint8_t> image(kHeaderSize + length);
    std::memcpy(image.data(), kMagic, 4);
    put32(&image[4], id);
    put32(&image[8], index);
    put32(&image[12], uint32_t(length));
    put16(&image[16], counter);
    std::memcpy(&image[kHeaderSize], data, length);
    put16(&image[kCrcOffset], nvdb_crc16(&image[kHeaderSize], length, nvdb_crc16(image.data(), kCrcOffset)));

    // One call of the drive from the open to the last write-through: the shutdown begins none that
    // could outlast the process, and never stops inside one.
    const DriveCallMark call(kSeamDrive, "write-through");
    NvdbStage notBegun = NvdbStage::NotBegun;
    if (stage && !stage->compare_exchange_strong(notBegun, NvdbStage::FirstCopy)) return false;
    std::string name = copyName(id, index, copy);
    bool created = faccessat(g_dirFd, name.c_str(), F_OK, 0) != 0;
    int fd =
        drivestore_open(kSeamDrive, g_dirFd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644, created);
    if (fd < 0) return false;
    bool ok = drivestore_write(kSeamDrive, fd, image.data(), image.size()) == ssize_t(image.size()) &&
              writeThrough(fd) == 0;
    ok = drivestore_close(kSeamDrive, fd) == 0 && ok;
    // A new file's directory entry must be on the medium too, or a power loss forgets the copy.
    if (ok && created) {
        if (newFolder)
            *newFolder = true;
        else
            ok = writeThroughFolder() == 0;
    }
    return ok;
}

void closeLocked() {
    if (g_dirFd >= 0) drivestore_setFolder(kSeamDrive, "");
    if (g_lockFd >= 0) close(g_lockFd);
    if (g_dirFd >= 0) close(g_dirFd);
    g_lockFd = g_dirFd = -1;
    g_folder.clear();
}

} // namespace

uint16_t nvdb_crc16(const void* data, size_t length, uint16_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint16_t(p[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t(crc << 1 ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

bool nvdb_idAllowed(uint32_t id) {
    return id <= 21 || (id >= 256 && id <= 262);
}

bool nvdb_open(const std::string& folder, std::string* error) {
    std::unique_lock<std::shared_mutex> guard(g_lock);
    closeLocked();
    auto fail = [&](const char* what) {
        if (error) *error = "NV database '" + folder + "': " + what + ": " + std::strerror(errno);
        closeLocked();
        return false;
    };
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    g_dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_dirFd < 0) return fail("cannot open folder");
    g_lockFd = openat(g_dirFd, "nv.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (g_lockFd < 0) return fail("cannot create lock file");
    g_folder = folder;
    g_writeThroughs.store(0);
    drivestore_setFolder(kSeamDrive, folder);
    return true;
}

void nvdb_close() {
    std::unique_lock<std::shared_mutex> guard(g_lock);
    closeLocked();
}

std::string nvdb_copyPath(uint32_t id, uint32_t index, int copy) {
    std::shared_lock<std::shared_mutex> guard(g_lock);
    if (g_dirFd < 0) return {};
    return g_folder + "/" + copyName(id, index, copy);
}

namespace {

// Reads an element with the locks held and rewrites a damaged or older copy from the newest good
// one (now, or it says that one is due), so that one more fault cannot lose the element.
int readLocked(uint32_t id, uint32_t index, void* buffer, size_t length, NvdbReadReport* report,
               NvdbRepair repair) {
    Copy copies[2];
    NvdbReadReport r;
    for (int i = 0; i < 2; ++i) r.copy[i] = loadCopy(id, index, i, &copies[i]);
    const bool good[2] = {r.copy[0] == NvdbCopy::Good, r.copy[1] == NvdbCopy::Good};
    if (report) *report = r;
    if (!good[0] && !good[1]) return -1;
    const int best = good[1] && (!good[0] || newer(copies[1].counter, copies[0].counter)) ? 1 : 0;
    const int other = 1 - best;
    if (good[other] && copies[other].counter != copies[best].counter) r.copy[other] = NvdbCopy::Older;
    if (r.copy[other] != NvdbCopy::Good && repair == NvdbRepair::Later) {
        r.repairDue = true;
    } else if (r.copy[other] != NvdbCopy::Good) {
        const Copy& c = copies[best];
        if (storeCopy(id, index, other, c.counter, c.data.data(), c.data.size()))
            r.repaired = true;
        else
            r.repairFailed = true;
    }
    if (report) *report = r;
    const size_t n = std::min(length, copies[best].data.size());
    if (n > 0) std::memcpy(buffer, copies[best].data.data(), n);
    return int(n);
}

} // namespace

int nvdb_read(uint32_t id, uint32_t index, void* buffer, size_t length, NvdbReadReport* report,
              NvdbRepair repair) {
    if (report) *report = NvdbReadReport{};
    if (!nvdb_idAllowed(id) || (buffer == nullptr && length > 0)) return -1;
    std::shared_lock<std::shared_mutex> guard(g_lock);
    if (g_dirFd < 0) return -1;
    const ElementGuard element(id, index);
    FolderLock folderLock;
    return readLocked(id, index, buffer, length, report, repair);
}

bool nvdb_repair(uint32_t id, uint32_t index, NvdbReadReport* report) {
    NvdbReadReport r;
    nvdb_read(id, index, nullptr, 0, &r, NvdbRepair::Now);
    if (report) *report = r;
    return (r.copy[0] == NvdbCopy::Good && r.copy[1] == NvdbCopy::Good) || r.repaired;
}

void nvdb_check(const std::function<void(uint32_t, uint32_t, const NvdbReadReport&)>& found,
                NvdbRepair repair) {
    struct Element {
        uint32_t id, index;
        NvdbReadReport report;
    };
    std::vector<Element> faulty;
    {
        std::shared_lock<std::shared_mutex> guard(g_lock);
        if (g_dirFd < 0) return;
        std::set<std::pair<uint32_t, uint32_t>> elements;
        const int fd = dup(g_dirFd);
        DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0) close(fd);
            return;
        }
        rewinddir(dir);
        while (const dirent* e = readdir(dir)) {
            unsigned id = 0, index = 0;
            char which = 0;
            int used = 0;
            if (std::sscanf(e->d_name, "nv%3u_%8x.%c%n", &id, &index, &which, &used) == 3 &&
                e->d_name[used] == '\0' && (which == 'a' || which == 'b') && nvdb_idAllowed(id) &&
                copyName(id, index, which == 'b') == e->d_name)
                elements.insert({id, index});
        }
        closedir(dir);
        FolderLock folderLock;
        for (const auto& [id, index] : elements) {
            const ElementGuard element(id, index);
            NvdbReadReport r;
            readLocked(id, index, nullptr, 0, &r, repair);
            if (r.copy[0] != NvdbCopy::Good || r.copy[1] != NvdbCopy::Good) faulty.push_back({id, index, r});
        }
    }
    for (const Element& e : faulty) found(e.id, e.index, e.report);
}

const char* nvdb_copyText(NvdbCopy state) {
    switch (state) {
    case NvdbCopy::Good:
        return "good";
    case NvdbCopy::Older:
        return "older than the other";
    case NvdbCopy::Missing:
        return "missing";
    case NvdbCopy::Torn:
        return "torn";
    case NvdbCopy::NotACopy:
        return "not a copy";
    case NvdbCopy::Foreign:
        return "copy of another element";
    case NvdbCopy::BadCrc:
        return "CRC mismatch";
    case NvdbCopy::Unreadable:
        return "unreadable";
    }
    return "?";
}

namespace {

bool storable(uint32_t id, const void* buffer, size_t length) {
    return nvdb_idAllowed(id) && buffer != nullptr && length > 0 && length <= NVDB_MAX_ELEMENT;
}

// The next write of an element (the locks held): its counter, and the copy written first, the older
// (or broken) one: while it is being written the other one still holds the previous value; once it
// is flushed the new value counts and the second copy follows.
struct Next {
    uint16_t counter;
    int first;
};
Next nextWrite(uint32_t id, uint32_t index) {
    Copy a, b;
    const bool okA = loadCopy(id, index, 0, &a) == NvdbCopy::Good;
    const bool okB = loadCopy(id, index, 1, &b) == NvdbCopy::Good;
    uint16_t latest = 0;
    if (okA) latest = a.counter;
    if (okB && (!okA || newer(b.counter, latest))) latest = b.counter;
    const int first = okA && (!okB || newer(a.counter, b.counter)) ? 1 : 0;
    return Next{uint16_t(latest + 1), first};
}

} // namespace

int nvdb_write(uint32_t id, uint32_t index, const void* buffer, size_t length,
               std::atomic<NvdbStage>* stage) {
    // A withheld write keeps its mark: it wrote nothing.
    const auto reached = [stage](NvdbStage at) {
        if (stage && stage->load() != NvdbStage::Withheld) stage->store(at);
    };
    int stored = 0;
    if (storable(id, buffer, length)) {
        std::shared_lock<std::shared_mutex> guard(g_lock);
        if (g_dirFd >= 0) {
            const ElementGuard element(id, index);
            FolderLock folderLock;
            const Next next = nextWrite(id, index);
            if (storeCopy(id, index, next.first, next.counter, buffer, length, nullptr, stage)) {
                reached(NvdbStage::Stored);
                if (storeCopy(id, index, 1 - next.first, next.counter, buffer, length)) stored = int(length);
            }
        }
    }
    reached(NvdbStage::Done);
    return stored;
}

int nvdb_writeFirstCopy(uint32_t id, uint32_t index, const void* buffer, size_t length) {
    if (!storable(id, buffer, length)) return 0;
    std::shared_lock<std::shared_mutex> guard(g_lock);
    if (g_dirFd < 0) return 0;
    const ElementGuard element(id, index);
    FolderLock folderLock;
    const Next next = nextWrite(id, index);
    return storeCopy(id, index, next.first, next.counter, buffer, length) ? int(length) : 0;
}

size_t nvdb_writeMany(const NvdbElement* elements, size_t count) {
    if (!elements || count == 0) return 0;
    std::set<std::pair<uint32_t, uint32_t>> named;
    for (size_t i = 0; i < count; ++i) {
        const NvdbElement& e = elements[i];
        // Given twice, both copies of the element would be written in one round.
        if (!storable(e.id, e.data, e.length) || !named.insert({e.id, e.index}).second) return 0;
    }
    std::shared_lock<std::shared_mutex> guard(g_lock);
    if (g_dirFd < 0) return 0;
    std::vector<std::unique_ptr<ElementGuard>> held; // in the set's order: no two writers cross
    for (const auto& [id, index] : named) held.push_back(std::make_unique<ElementGuard>(id, index));
    FolderLock folderLock;
    std::vector<Next> next(count);
    for (size_t i = 0; i < count; ++i) next[i] = nextWrite(elements[i].id, elements[i].index);
    // Each round is on the medium before the next begins: every copy written through on its own,
    // and the folder once for the entries of the new ones. Never syncfs: some file systems answer it
    // and write nothing.
    for (int round = 0; round < 2; ++round) {
        bool newFolder = false;
        for (size_t i = 0; i < count; ++i) {
            const NvdbElement& e = elements[i];
            const int copy = round == 0 ? next[i].first : 1 - next[i].first;
            if (!storeCopy(e.id, e.index, copy, next[i].counter, e.data, e.length, &newFolder)) return 0;
        }
        if (newFolder && writeThroughFolder() != 0) return 0;
    }
    return count;
}

uint64_t nvdb_writeThroughs() {
    return g_writeThroughs.load();
}
