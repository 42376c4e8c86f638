#include "logging/telemetry/tele_app.h"

#include "framework/board_io.h"
#include "framework/errmem.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/telemetry/tele_internal.h"
#include "measdata/chandata.h"
#include "measdata/crc.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/board/serial.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

std::atomic<uint8_t> telemetry_state{0};
std::atomic<uint32_t> tele_fastblock_dt{0}, tele_slowblock_dt{0}, tele_data_rate{0}, tele_data_rate_kBit{0};
std::atomic<uint32_t> teleUpdateRate{1000};
std::atomic<uint8_t> telemetry_active{0};
std::atomic<uint32_t> tele_frames_sent{0};

namespace {

constexpr uint16_t TELE_ERRMEM_PATH = 483;
constexpr uint8_t TELE_ERRMEM_TYPE = 15;
constexpr uint32_t TELE_HOLD_INPUT = 3;

struct TeleSlot {
    std::vector<meas_blk*> blocks;
};

struct Tele {
    std::mutex m; // the frame function against start and stop
    TeleSlot slot[TELE_SLOTS];
    tele_run_config cfg{};
    bool haveCfg = false;
    bool framesOn = false; // the frame function is installed
    uint8_t header[3] = {};
    int slowNo = 1;
    bool enabled = true;
    int sock = -1;
    sockaddr_in dest{};
    int serialFd = -1;
    uint32_t prevTs = 0, prevSlowTs = 0, bytesSum = 0;
    bool havePrev = false, havePrevSlow = false;
    TASK_ID task = TASK_ID_ERROR;
    SEM_ID delaySem = SEM_ID_NULL;
};

// Never destroyed: the tasks may still run while the process exits.
Tele& T() {
    static Tele* t = new Tele;
    return *t;
}

uint32_t channelId(const ChanData* c) {
    return c ? c->id() : 0;
}

// Data bytes of a slot: the records without their time stamps.
uint32_t slotBytes(const TeleSlot& s) {
    uint32_t n = 0;
    for (const meas_blk* b : s.blocks) n += b->blkinfo->recordSize - 4;
    return n;
}

// One block's latest record without its time stamp; zeros when the device is offline or no valid
// record is there, so every frame of a configuration keeps its layout.
void appendBlock(std::vector<uint8_t>& frame, meas_blk* b) {
    const uint32_t len = b->blkinfo->recordSize - 4;
    const size_t at = frame.size();
    frame.resize(at + len, 0);
    if (gw_pid_offline(b->pid) || b->teleState.load(std::memory_order_acquire) != MEAS_REC_VALUE ||
        !b->teleBuf)
        return;
    std::vector<uint8_t> rec(b->teleBuf->size());
    b->teleBuf->read(rec.data());
    if (rec.size() >= 4)
        std::memcpy(frame.data() + at, rec.data() + 4, std::min<size_t>(len, rec.size() - 4));
}

int serialPause(const Tele& t, size_t frameLen) {
    const uint32_t perMs = t.cfg.baudrate / 11;
    int ms = perMs ? int((frameLen * 1000 + 3000) / perMs) : 1000;
    ms += t.cfg.pause + 2;
    return ms < 40 ? 40 : ms;
}

void clearStats() {
    tele_fastblock_dt = 0;
    tele_slowblock_dt = 0;
    tele_data_rate = 0;
    tele_data_rate_kBit = 0;
    telemetry_active = 0;
}

} // namespace

void tele_app_add_block(meas_blk* block) {
    if (!block || !block->blkinfo) return;
    const uint16_t id = block->teleId;
    if (id < 1 || id > TELE_SLOTS) {
        syslogx(LOG_PRIO_ERR2,
                "tele_app_add_block(): telemetry id %u of BLK #%u out of range, block not sent", unsigned(id),
                unsigned(block->blockId));
        return;
    }
    std::lock_guard<std::mutex> lk(T().m);
    T().slot[id - 1].blocks.push_back(block);
}

void tele_app_clear_blocks() {
    std::lock_guard<std::mutex> lk(T().m);
    for (auto& s : T().slot) s.blocks.clear();
}

const tele_run_config* tele_internal_config(tele_run_config* out) {
    std::lock_guard<std::mutex> lk(T().m);
    if (!T().haveCfg) return nullptr;
    *out = T().cfg;
    return out;
}

int tele_app_start(const MEASConfiguration* config) {
    Tele& t = T();
    telemetry_state = 0;
    if (!config || !config->teleInfo) return 0;
    const tele_config& in = *config->teleInfo;
    if (config->protocol == 0) return 0;
    if (config->protocol != 1) {
        syslogx(LOG_PRIO_ERR2, "Found no configuration for VEKTA telemetry!");
        return 0;
    }
    uint32_t startCond = 0;
    {
        std::unique_lock<std::mutex> lk(t.m);
        // Lengths travel in single bytes, and the serial pacing divides by baud / 11.
        uint32_t slowMax = 0;
        for (int i = 1; i < TELE_SLOTS; ++i) slowMax = std::max(slowMax, slotBytes(t.slot[i]));
        const uint32_t frameLen = 10 + slotBytes(t.slot[0]) + slowMax;
        if (frameLen > TELE_FRAME_MAX) {
            syslogx(LOG_PRIO_ERR2, "tele_app_start(): frame of %u bytes exceeds %u bytes, telemetry off",
                    unsigned(frameLen), unsigned(TELE_FRAME_MAX));
            return 0;
        }
        if (in.TelemetrieMode != TELE_UDP && in.baudrate < 11) {
            syslogx(LOG_PRIO_ERR2, "tele_app_start(): baud rate %u too low, telemetry off",
                    unsigned(in.baudrate));
            return 0;
        }
        t.cfg = {in.baudrate,
                 in.DataRate,
                 in.projectCode,
                 in.ipAddress,
                 in.TelePort,
                 in.TelemetrieMode,
                 in.pause,
                 in.SoftwareID,
                 channelId(in.lapdist),
                 channelId(in.GPSLat),
                 channelId(in.GPSLong),
                 channelId(in.StartCond)};
        t.haveCfg = true;
        t.framesOn = false;

        if (t.cfg.TelemetrieMode == TELE_UDP) {
            // Opened once and kept: a re-initialisation reuses it.
            if (t.sock < 0) t.sock = socket(AF_INET, SOCK_DGRAM, 0);
            if (t.sock < 0) {
                syslogx(LOG_PRIO_ERR2, "tele_app_ini(): Create UDP Tx Socket failed");
                return 0;
            }
            add_subnet(ntohl(t.cfg.ipAddress));
            t.dest = {};
            t.dest.sin_family = AF_INET;
            t.dest.sin_addr.s_addr = t.cfg.ipAddress;
            t.dest.sin_port = htons(t.cfg.TelePort);
        } else if (pinConfig_getRS232TeleEnabled()) {
            if (t.serialFd < 0) {
                std::string error;
                t.serialFd = serial_open("/tyCo/0", &error, O_WRONLY);
                if (t.serialFd < 0) syslogx(LOG_PRIO_ERR2, "tele_app_ini(): /tyCo/0: %s", error.c_str());
            }
        } else {
            error_mgr_set(TELE_ERRMEM_PATH, TELE_ERRMEM_TYPE, 0);
            syslogx(LOG_PRIO_INFO, "tele_app_ini(): RS232 not configured");
        }

        t.header[0] = uint8_t(t.cfg.projectCode);
        t.header[1] = uint8_t(t.cfg.projectCode >> 8);
        t.header[2] = t.cfg.SoftwareID;
        t.slowNo = 1;
        t.enabled = true;
        t.havePrev = t.havePrevSlow = false;
        t.bytesSum = 0;
        if (t.cfg.TelemetrieMode == TELE_UDP) {
            t.framesOn = true;
            syslogx(LOG_PRIO_INFO2, "Found a valid configuration for VEKTA telemetry.");
        } else if (t.serialFd >= 0) {
            if (serial_setBaud(t.serialFd, int(t.cfg.baudrate)) != 0)
                syslogx(LOG_PRIO_ERR2, "tele_app_ini() could not set baudrate: errno %s, %d",
                        std::strerror(errno), int(t.cfg.baudrate));
            t.framesOn = true;
            syslogx(LOG_PRIO_INFO2, "Found a valid configuration for VEKTA telemetry.");
        } else {
            syslogx(LOG_PRIO_ERR2, "Can not open tele_io_stream.");
        }

        // UDP pacing: the budget shared by n frames that each carry the fast part.
        const uint32_t F = 12 + slotBytes(t.slot[0]);
        uint32_t S = 0, n = 0;
        for (int i = 1; i < TELE_SLOTS; ++i)
            if (!t.slot[i].blocks.empty()) {
                S += slotBytes(t.slot[i]);
                ++n;
            }
        if (n == 0) n = 1;
        startCond = t.cfg.StartCond;
        if (t.cfg.DataRate) {
            const uint32_t ms = (S + n * F) * 8 / (t.cfg.DataRate * n);
            teleUpdateRate = ms < 10 ? 10 : ms;
        } else {
            teleUpdateRate = 1000;
        }
    }
    tele_json_start();
    if (startCond) chan_meas_setup(startCond, 3, 3);
    return 1;
}

void tele_app_stop() {
    std::lock_guard<std::mutex> lk(T().m);
    T().framesOn = false;
    telemetry_state = 0;
    clearStats();
}

int tele_func() {
    {
        std::lock_guard<std::mutex> lk(T().m);
        if (!T().framesOn) return 1000;
    }
    return vektaTele_func();
}

int vektaTele_func() {
    Tele& t = T();
    std::lock_guard<std::mutex> lk(t.m);
    if (!t.framesOn) return 1000;

    if (t.cfg.StartCond) {
        double v = 0;
        if (chan_meas_getValue(t.cfg.StartCond, &v, 0)) t.enabled = std::llround(v) != 0;
    }
    if (!t.enabled) {
        telemetry_state = 6;
        clearStats();
        return 10;
    }
    telemetry_active = 1;
    switch (t.cfg.TelemetrieMode) {
    case TELE_SERIAL_HOLD:
        if (digital_ioIn(TELE_HOLD_INPUT)) {
            telemetry_state = 2;
            return 1000;
        }
        telemetry_state = 3;
        break;
    case TELE_UDP:
        telemetry_state = t.sock >= 0 ? 5 : 4;
        break;
    default:
        telemetry_state = 1;
        break;
    }

    const uint32_t ts = time_getTimestamp();
    std::vector<uint8_t> frame(10, 0);
    for (meas_blk* b : t.slot[0].blocks) appendBlock(frame, b);
    const size_t fastLen = frame.size() - 6;

    // The slow slot: the first at or after the stored number that holds blocks; past 7 the search
    // restarts at slot 1 and ends there.
    int found = 0;
    for (int p = t.slowNo; p < TELE_SLOTS; ++p)
        if (!t.slot[p].blocks.empty()) {
            found = p;
            break;
        }
    bool endedAtOne = false;
    if (!found) {
        t.slowNo = 1;
        endedAtOne = true;
        if (!t.slot[1].blocks.empty()) found = 1;
    } else if (found == 1) {
        endedAtOne = true;
    }
    uint8_t slowId = 0;
    if (found) {
        for (meas_blk* b : t.slot[found].blocks) appendBlock(frame, b);
        slowId = uint8_t(t.slot[found].blocks.back()->blkinfo->blockNo - 1);
        t.slowNo = t.slowNo >= TELE_SLOTS - 1 ? 1 : t.slowNo + 1;
    }

    const size_t L = frame.size();
    std::memcpy(frame.data(), t.header, 3);
    frame[3] = uint8_t(L);
    frame[4] = uint8_t(fastLen);
    frame[5] = slowId;
    frame[6] = uint8_t(ts >> 24);
    frame[7] = uint8_t(ts >> 16);
    frame[8] = uint8_t(ts >> 8);
    frame[9] = uint8_t(ts);
    const uint16_t crc = crc16_ccitt_lsb_accu(frame.data(), L, 0xFFFF);
    frame.push_back(uint8_t(crc >> 8));
    frame.push_back(uint8_t(crc));

    if (t.cfg.TelemetrieMode == TELE_UDP) {
        if (t.sock >= 0) {
            const ssize_t n = sendto(t.sock, frame.data(), frame.size(), 0,
                                     reinterpret_cast<sockaddr*>(&t.dest), sizeof t.dest);
            if (n != ssize_t(frame.size()))
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "VX40: could not send data on udp port Bytes %d", int(n));
            else
                ++tele_frames_sent;
        }
    } else if (t.serialFd >= 0) {
        const ssize_t n = serial_write(t.serialFd, frame.data(), frame.size());
        if (n != ssize_t(frame.size()))
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "VX40: could not send data on serial port, Bytes %d", int(n));
        else
            ++tele_frames_sent;
    }

    t.bytesSum += uint32_t(frame.size());
    if (t.havePrev) tele_fastblock_dt = (ts - t.prevTs) / 10;
    t.prevTs = ts;
    t.havePrev = true;
    if (endedAtOne && found == 1) {
        if (t.havePrevSlow) {
            const uint32_t dt = (ts - t.prevSlowTs) / 10;
            tele_slowblock_dt = dt;
            if (dt) {
                tele_data_rate = t.bytesSum * 1000 / dt;
                tele_data_rate_kBit = t.bytesSum * 800 / dt;
            }
        }
        t.prevSlowTs = ts;
        t.havePrevSlow = true;
        t.bytesSum = 0;
    }

    if (t.cfg.TelemetrieMode == TELE_UDP) return int(teleUpdateRate.load());
    return serialPause(t, frame.size());
}

void tele_app_ini() {
    Tele& t = T();
    if (t.task != TASK_ID_ERROR) return;
    t.task = taskSpawn("r_tele", TELE_PRIORITY, VX_FP_TASK, TELE_STACK, [] {
        Tele& tt = T();
        tt.delaySem = semCCreate(0, 0);
        if (!tt.delaySem) {
            syslogx(LOG_PRIO_ERR, "tele_task(): creating semaphore failed");
            return;
        }
        for (;;) raster_taskDelay(tt.delaySem, tele_func());
    });
    if (t.task == TASK_ID_ERROR) syslogx(LOG_PRIO_ERR, "tele_app_ini(): could not start tele_task");
}

void tele_app_exit() {
    Tele& t = T();
    if (t.task != TASK_ID_ERROR) {
        taskDelete(t.task);
        taskJoin(t.task, 3000);
        t.task = TASK_ID_ERROR;
    }
    if (t.delaySem) {
        semDelete(t.delaySem);
        t.delaySem = SEM_ID_NULL;
    }
    tele_json_exit();
    std::lock_guard<std::mutex> lk(t.m);
    t.framesOn = false;
    t.haveCfg = false;
    if (t.sock >= 0) close(t.sock);
    t.sock = -1;
    if (t.serialFd >= 0) serial_close(t.serialFd);
    t.serialFd = -1;
    for (auto& s : t.slot) s.blocks.clear();
    telemetry_state = 0;
    clearStats();
}
