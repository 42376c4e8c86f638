#include "logging/app/sb_info.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "logging/app/sb_lapstack.h"
#include "logging/app/sblk_task.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/network/bc2_net.h"

#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<uint64_t> ALL_LAPSTACK_CONTROLLERS{0};

namespace {

struct InfoState {
    std::mutex lock;
    sb_version_table versions{};
    uint64_t lapRequested = 0; // lap-stack information asked for at this lap
    uint64_t lapAnswered = 0;  // lap-stack information received at this lap
    float lapFuel = 0;
    uint8_t lapStatus[2] = {0, 0};
    bool fast = false;         // the status-block task's mode
    bool sentThisFast = false; // a pass of this fast period has sent its requests
};

InfoState& info() {
    static auto* s = new InfoState;
    return *s;
}

uint64_t pidBit(uint16_t pid) {
    return pid >= 1 && pid <= 64 ? uint64_t(1) << (pid - 1) : 0;
}

void updateVersionsAwaited(const InfoState& s) {
    if (s.versions.requested)
        sb_static_status.fetch_or(SB_STATIC_VERSIONS_AWAITED);
    else
        sb_static_status.fetch_and(~SB_STATIC_VERSIONS_AWAITED);
}

} // namespace

void sb_version_text(uint16_t pid, char text[SB_VERSION_TEXT_LEN]) {
    static const char* const kPositions[] = {"FL ", "FR ", "RL ", "RR ", "F ", "R ", "C ", "GB "};
    const char* prefix = pid >= 40 && pid <= 47 ? kPositions[pid - 40] : "";
    std::memset(text, 0, SB_VERSION_TEXT_LEN);
    std::snprintf(text, SB_VERSION_TEXT_LEN, "%s%s", prefix, seramGetEPKPtr()); // cut to 31 characters
}

void sb_info_ini() {
    InfoState& s = info();
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.versions = sb_version_table{};
        for (uint16_t& pid : s.versions.pid) pid = SB_VERSION_FREE;
        s.versions.answered = pidBit(app_pid);
        s.lapRequested = s.lapAnswered = 0;
    }
    const uint16_t fcm = cfg_system.fcmPid;
    ALL_LAPSTACK_CONTROLLERS.store(fcm < CFG_SYSTEM_PID_NONE && fcm != app_pid ? pidBit(fcm) : 0);
    ci_register_handler(0x0F00, ci_get_version_info_req);
    ci_register_handler(0x0F01, ci_get_version_info_reply);
    ci_register_handler(0x0F04, ci_get_lapstack_info);
}

uint16_t ci_send_version_info_req(uint16_t pid) {
    comint_msg m;
    ci_init(&m, 0x0F00, app_pid, pid, 0, 0, 4);
    std::memset(m.data, 0, 4);
    return comint_put_cmd(&m, 1);
}

void ci_get_version_info_req(comint_msg* message) {
    if (!message) return;
    comint_msg answer;
    ci_init(&answer, 0x0F01, app_pid, ci_src(message), 0, 0, SB_VERSION_TEXT_LEN);
    sb_version_text(app_pid, reinterpret_cast<char*>(answer.data));
    comint_put_cmd(&answer, 1);
}

void ci_get_version_info_reply(comint_msg* message) {
    if (!message) return;
    const uint16_t pid = ci_src(message);
    if (pid == SB_VERSION_FREE) return; // the free-slot mark is no device
    char text[SB_VERSION_TEXT_LEN] = {};
    const size_t len = ci_len(message) < SB_VERSION_TEXT_LEN ? ci_len(message) : SB_VERSION_TEXT_LEN;
    std::memcpy(text, message->data, len);
    text[SB_VERSION_TEXT_LEN - 1] = '\0';

    InfoState& s = info();
    std::lock_guard<std::mutex> g(s.lock);
    sb_version_table& v = s.versions;
    int slot = -1;
    for (int i = 0; i < SB_VERSION_SLOTS && slot < 0; ++i)
        if (v.pid[i] == pid) slot = i;
    if (slot < 0 && v.pid[SB_VERSION_SLOTS - 1] == SB_VERSION_FREE) {
        // Ascending PIDs: the ones above move up a slot.
        slot = 0;
        while (v.pid[slot] != SB_VERSION_FREE && v.pid[slot] < pid) ++slot;
        for (int i = SB_VERSION_SLOTS - 1; i > slot; --i) {
            v.pid[i] = v.pid[i - 1];
            std::memcpy(v.text[i], v.text[i - 1], SB_VERSION_TEXT_LEN);
        }
        v.pid[slot] = pid;
    }
    if (slot >= 0) std::memcpy(v.text[slot], text, SB_VERSION_TEXT_LEN);
    v.requested &= ~pidBit(pid);
    v.answered |= pidBit(pid);
    updateVersionsAwaited(s);
}

void ci_get_lapstack_info(comint_msg* message) {
    if (!message) return;
    const uint64_t bit = pidBit(ci_src(message));
    const uint64_t controllers = ALL_LAPSTACK_CONTROLLERS.load();
    const uint16_t len = ci_len(message);
    if (!(bit & controllers) || len < 2) return;
    float fuel;
    uint8_t status0;
    if (len == 16) {
        const uint32_t bits = ci_get32(message->data + 4);
        std::memcpy(&fuel, &bits, sizeof fuel);
        status0 = message->data[8];
    } else {
        fuel = float(ci_get16(message->data)) / 64.0f;
        status0 = 0;
    }
    bool complete;
    {
        InfoState& s = info();
        std::lock_guard<std::mutex> g(s.lock);
        s.lapFuel = fuel;
        s.lapStatus[0] = status0;
        if (len == 16) s.lapStatus[1] = message->data[9];
        s.lapRequested &= ~bit;
        s.lapAnswered |= bit;
        complete = (s.lapAnswered & controllers) == controllers;
    }
    if (!complete) return;
    if (!sb_SwOff.load()) sb_lapstack_add_due_entry(fuel);
    sb_static_status.fetch_and(~SB_STATIC_LAPSTACK_AWAITED);
}

void ci_send_lapstack_info() {}

int sb_check_vers_info() {
    InfoState& s = info();
    std::lock_guard<std::mutex> g(s.lock);
    sb_version_table& v = s.versions;
    const uint64_t connected = (comint_get_connect_mask() >> 1) | pidBit(app_pid);
    v.requested &= connected;
    v.answered &= connected;
    const uint64_t missing = connected & ~v.answered;
    if (!missing) {
        sb_static_status.fetch_and(~SB_STATIC_VERSIONS_AWAITED);
        return 0;
    }
    // In fast mode (every 5 ms) only the first pass of the period asks; later ones would flood a
    // device that is slow to answer.
    if (s.fast) {
        if (s.sentThisFast) return 0;
        s.sentThisFast = true;
    }
    for (uint16_t pid = 1; pid <= 64; ++pid) {
        if (!(missing & pidBit(pid))) continue;
        sb_static_status.fetch_or(SB_STATIC_VERSIONS_AWAITED);
        if (ci_send_version_info_req(pid) == 1) v.requested |= pidBit(pid);
    }
    return 0;
}

void sb_check_vers_info_mode(bool fast) {
    InfoState& s = info();
    std::lock_guard<std::mutex> g(s.lock);
    if (fast && !s.fast) s.sentThisFast = false; // a new fast period
    s.fast = fast;
}

void sb_lapinfo_lap_event() {
    InfoState& s = info();
    std::lock_guard<std::mutex> g(s.lock);
    s.lapRequested = s.lapAnswered = 0;
}

sb_version_table sb_version_get() {
    InfoState& s = info();
    std::lock_guard<std::mutex> g(s.lock);
    return s.versions;
}
