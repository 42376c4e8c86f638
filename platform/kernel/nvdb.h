// The NV record database of the kernel-side device manager.
//
// A record is named by an id (0 to 21 and 256 to 262) and any 32-bit element index. Every element
// is kept twice, each copy with a CRC-16-CCITT and a 16-bit write counter, so a copy torn by a
// power loss or damaged later falls back to the other one; with both copies bad the element reads
// as missing. A read that finds one copy damaged, missing or older than the other rewrites it from
// the good one, so one more fault cannot lose the element.
//
// How the host differs from the device:
// - The device keeps the records in its non-volatile memory behind system calls. Here each copy is
//   one file in a folder given at open (the framework passes <device root>/nv): "nvIII_XXXXXXXX.a"
//   and ".b" for id III and index XXXXXXXX (hex). A copy is written in place and flushed with
//   fsync before the write counts, a new one's folder too; never by syncfs, which some file systems
//   (FUSE ones among them) answer with 0 and write nothing.
// - The copies' opens, writes, write-throughs and closes go through the drive layer's fault seam as
//   the drive "nv:" (drive_store.h): tests and the fault campaign fail, hold or slow them, and a
//   power cut of the seam loses what was not written through, as on the logging drives.
// - The application holds the folder itself for its life (devroot_claimFolder), so no two of them
//   share a store; anything else that opens it meanwhile (tools, tests) is serialised with it by an
//   advisory lock on "nv.lock" in it.
// - Each element has a lock of its own: a read or write of one element never waits for another
//   element's write-through (a disk that holds one for seconds holds only the writer of it).
// - Each copy's write (open, write, write-through, close, and the folder's write-through for a new
//   one) is one call of the drive "nv:" in the drive layer's table of calls (drive_calls.h): the
//   shutdown begins none that could outlast the process, so a write stops between copies, never
//   inside one it began.
// - Copy file layout (little-endian): "NVDB", u32 id, u32 index, u32 length, u16 write counter,
//   u16 CRC over the 18 bytes before it and the data; then `length` data bytes. A file of any
//   other size is a torn copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Largest element the database keeps.
inline constexpr size_t NVDB_MAX_ELEMENT = 64 * 1024;

// Opens (and creates when missing) the database folder; a database already open is closed first.
bool nvdb_open(const std::string& folder, std::string* error);
void nvdb_close();

// What a read found in one copy of an element.
enum class NvdbCopy : uint8_t {
    Good,
    Older,      // valid, but a write after it reached only the other copy
    Missing,    // no file
    Torn,       // shorter or longer than its header says
    NotACopy,   // no copy header
    Foreign,    // a copy of another element
    BadCrc,     // complete, but the CRC does not match
    Unreadable, // not a regular file, too large, or a read error
};
const char* nvdb_copyText(NvdbCopy state);

struct NvdbReadReport {
    NvdbCopy copy[2] = {NvdbCopy::Missing, NvdbCopy::Missing};
    bool repaired = false;     // the copy that was not good was rewritten from the other
    bool repairFailed = false; // ... and that failed
    bool repairDue = false;    // ... or it was left for nvdb_repair (a read that writes nothing)
};

// Whether a read rewrites a copy that is not good at once (a write-through of its own) or leaves it
// for nvdb_repair: the other copy holds the element meanwhile, and a write writes the bad one first.
enum class NvdbRepair : uint8_t { Now, Later };

// Copies element (id, index) into buffer: returns the bytes copied (the stored size, at most
// length), or -1 when the database is closed, the id is not allowed or no valid copy exists.
// `report`, when given, tells what was found in each copy and what was repaired.
int nvdb_read(uint32_t id, uint32_t index, void* buffer, size_t length, NvdbReadReport* report = nullptr,
              NvdbRepair repair = NvdbRepair::Now);
// Reads every element in the folder as nvdb_read does and calls `found` for each whose two copies
// were not both good, after the folder is released.
void nvdb_check(const std::function<void(uint32_t id, uint32_t index, const NvdbReadReport& report)>& found,
                NvdbRepair repair = NvdbRepair::Now);
// Rewrites the copy of an element that is not good, or older, from the newest good one, as a read
// with NvdbRepair::Now does; the report as that read gives it. True when both copies are good now.
bool nvdb_repair(uint32_t id, uint32_t index, NvdbReadReport* report = nullptr);

// How far a write has come, for a writer that tells what a stop in its middle leaves behind.
enum class NvdbStage : uint8_t {
    NotBegun,  // nothing written: the element holds what it held
    FirstCopy, // the first copy's write is under way: it may land or not
    Stored,    // the first copy is on the medium (with its entry): the element reads as the new value
    Done,      // both copies, or the write failed (its result says)
    Withheld,  // set by another thread while NotBegun: the write then writes nothing and fails
};
// Stores the element in both copies, the older one first: returns length when both copies are on
// the medium, 0 on failure (closed, id not allowed, length 0 or above NVDB_MAX_ELEMENT, I/O error).
// `stage`, when given (NotBegun before the call), follows the write: it turns FirstCopy only once
// the first copy's call of the drive is let through (drive_calls.h).
int nvdb_write(uint32_t id, uint32_t index, const void* buffer, size_t length,
               std::atomic<NvdbStage>* stage = nullptr);
// Stores the element in the copy a write makes first only, written through with its folder entry
// when new (two write-throughs on a fresh store, one after): from its return the element reads as
// the new value, and its other copy holds the previous one until nvdb_repair or the next write
// makes it. Returns length, or 0 as nvdb_write.
int nvdb_writeFirstCopy(uint32_t id, uint32_t index, const void* buffer, size_t length);

// One element of a write of many.
struct NvdbElement {
    uint32_t id;
    uint32_t index;
    const void* data;
    size_t length;
};
// Stores the elements, each as nvdb_write does: the older copy of every element first, then the other
// copies, each copy written through on its own, and the folder once a round when new copies were
// made in it (two write-throughs an element, where a write of one makes a new element's four). A
// power cut leaves each element as nvdb_write would (while one of its copies is written, the other
// holds the old value or, in the second round, the new one); it does not keep the elements' order
// among themselves. The elements are held for the whole write. Returns `count` when all are on the
// medium; 0 when one is refused (id not allowed, no data, length 0 or above NVDB_MAX_ELEMENT, an
// element given twice: nothing is written then), the database is closed, or on an I/O error.
size_t nvdb_writeMany(const NvdbElement* elements, size_t count);
// Write-throughs (each an fsync of a copy or of the folder) the database has made since it was
// opened: what its writes cost on a slow medium.
uint64_t nvdb_writeThroughs();

// True for the ids the device manager keeps.
bool nvdb_idAllowed(uint32_t id);
// Host path of copy 0 or 1 of an element (diagnostics and tests); empty while closed.
std::string nvdb_copyPath(uint32_t id, uint32_t index, int copy);
// CRC-16-CCITT as stored in the copies: polynomial 0x1021, initial value 0xFFFF, not reflected,
// no final XOR.
uint16_t nvdb_crc16(const void* data, size_t length, uint16_t crc = 0xFFFF);
