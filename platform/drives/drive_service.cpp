#include "platform/drives/drive_service.h"

#include "platform/drives/devroot.h"
#include "platform/drives/drive_loss.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::mutex gLock; // start, stop and the lookup
DriveConfiguredSize gConfiguredSize;
std::thread* gThread = nullptr; // never destroyed at exit: a process may end without the stop
std::atomic<bool> gStopping{false};
std::atomic<uint32_t> gFormats{0};
std::atomic<bool> gServing{false};
MSG_Q_ID gRequests = MSG_Q_ID_NULL;
MSG_Q_ID gAcks = MSG_Q_ID_NULL;

uint32_t dirSizeOf(const char* drive, uint8_t blocks) {
    DriveConfiguredSize lookup;
    {
        std::lock_guard<std::mutex> g(gLock);
        lookup = gConfiguredSize;
    }
    uint32_t entries = 0;
    if (lookup && lookup(drive, &entries)) return entries;
    return uint32_t(blocks) * DRIVESVC_BLOCK_ENTRIES;
}

void serve() {
    taskNameThread("tDriveSvc");
    uint8_t msg[DRIVESVC_FORMAT_MSG];
    while (!gStopping.load()) {
        std::memset(msg, 0, sizeof msg);
        const ssize_t n = msgQReceive(gRequests, msg, sizeof msg, WAIT_FOREVER);
        if (gStopping.load()) break;
        gServing.store(true);
        if (n != ssize_t(sizeof msg)) { // not a request of this service
            gServing.store(false);
            continue;
        }
        char drive[17] = {};
        std::memcpy(drive, msg + 1, 16);
        if (!drivesvc_format(drive, msg[0]))
            std::fprintf(stderr, "drive service: format of '%s' failed\n", drive);
        // Counted before it is answered, so that a requester who has the answer sees the count.
        gFormats.fetch_add(1);
        // Answered in any case: the requester only waits for the answer.
        msgQSend(gAcks, msg, sizeof msg, NO_WAIT, MSG_PRI_NORMAL);
        gServing.store(false);
    }
}

} // namespace

int drivesvc_available(const char* drive, uint32_t /*internalMark*/, uint32_t* statusWord) {
    bool available = false;
    uint32_t status = 0;
    if (!drive_stateView(drive, [&](const DriveState& s) {
            available = drive_stateAvailable(s, drive);
            status = s.status;
        }))
        return 0;
    if (statusWord) *statusWord = status;
    std::string dir;
    std::error_code ec;
    return available && devpath_driveDir(drive, &dir) && fs::is_directory(dir, ec) ? 1 : 0;
}

bool drivesvc_format(const char* drive, uint8_t blocks) {
    std::string dir;
    if (!devpath_driveDir(drive, &dir)) return false;
    const uint32_t size = dirSizeOf(drive, blocks);
    std::error_code ec;
    bool emptied = true;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (fs::remove_all(it->path(), ec) == static_cast<std::uintmax_t>(-1) || ec) emptied = false;
    if (ec) emptied = false;
    if (emptied) driveloss_emptied(drive);
    const bool stored = drive_stateUpdate(drive, [&](DriveState& s) {
        DriveState fresh;
        fresh.dirSize = size;
        fresh.present = s.present;
        fresh.inserted = s.inserted;
        fresh.status = s.status;
        fresh.otherLines = s.otherLines;
        // A damaged size line is replaced by the new size.
        std::erase_if(fresh.otherLines, [](const std::string& l) { return l.rfind("dirsize", 0) == 0; });
        s = fresh;
        return true;
    });
    return emptied && stored;
}

bool drivesvc_start(DriveConfiguredSize configuredSize) {
    std::lock_guard<std::mutex> g(gLock);
    gConfiguredSize = std::move(configuredSize);
    if (gThread) return true;
    gRequests = msgQOpen(DRIVESVC_FORMAT_QUEUE, 1, int(DRIVESVC_FORMAT_MSG), MSG_Q_FIFO, OM_CREATE, nullptr);
    gAcks = msgQOpen(DRIVESVC_FORMAT_ACK_QUEUE, 1, int(DRIVESVC_FORMAT_MSG), MSG_Q_FIFO, OM_CREATE, nullptr);
    if (!gRequests || !gAcks) return false;
    gStopping.store(false);
    gThread = new std::thread(serve);
    return true;
}

void drivesvc_stop() {
    std::thread* running = nullptr;
    {
        std::lock_guard<std::mutex> g(gLock);
        std::swap(running, gThread);
        if (!running) return;
        gStopping.store(true);
    }
    // A full queue wakes the thread as well: it takes that request and then sees the stop.
    msgQSend(gRequests, "", 0, NO_WAIT, MSG_PRI_URGENT);
    running->join();
    delete running;
}

uint32_t drivesvc_formatCount() {
    return gFormats.load();
}

bool drivesvc_idle() {
    return !gServing.load() && (gRequests == MSG_Q_ID_NULL || msgQNumMsgs(gRequests) <= 0);
}
