// DivoVur2: the device's presence on the vehicle network, its peer table, and the CI (command)
// and DK (measurement data) links to every peer. The public face of the transport; the records
// behind it are in bc2_internal.h.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

// Ports and groups. Ports with an offset add the own (or, for a peer's ports, the peer's)
// DivoVur2 port offset.
inline constexpr const char* BC2_PRESENCE_GROUP = "239.239.239.200";
inline constexpr const char* BC2_CI_MC_GROUP = "239.239.239.201";
inline constexpr uint16_t BC2_PORT_PRESENCE = 9850;    // no offset
inline constexpr uint16_t BC2_PORT_PRESENCE_TX = 9851; // + offset
inline constexpr uint16_t BC2_PORT_DK_UDP_RX = 9852;
inline constexpr uint16_t BC2_PORT_DK_UDP_TX = 9853;
inline constexpr uint16_t BC2_PORT_CI_LISTEN = 9860;
inline constexpr uint16_t BC2_PORT_DK_LISTEN = 9861;
inline constexpr uint16_t BC2_PORT_CI_ACTIVE = 9862;
inline constexpr uint16_t BC2_PORT_DK_ACTIVE = 9863;
inline constexpr uint16_t BC2_PORT_CI_MC = 9870; // no offset

inline constexpr int BC2_PEERS = 64;    // PIDs 0..63
inline constexpr int BC2_MC_ENTRY = 65; // peer-table entry of the CI multicast channel

// Start-up (after the command interpreter and the routing table): reads the port offset, fills
// the presence record and spawns the DivoVur2 tasks. Shutdown: BC2_stop ends their loops; on the
// host it also wakes every blocked task and waits (bounded) until they have ended.
void BC2_init();
void BC2_stop();
void BC2_eth_ini();

// Queries on the own presence record (host order).
uint64_t udp_get_detect_mask();
uint64_t comint_get_connect_mask();
uint64_t dk_get_connect_mask();
// True when both the CI and the DK link to `pid` are up.
bool BC2_connected(uint16_t pid);
// 2 when not connected; else for capability 0, 1, 2: 0 if the peer's version is at least 0x0202,
// 0x0203, 0x0204 respectively, 1 if older; other capabilities 1.
int BC2_getRemoteCapabilty(uint16_t pid, int capability);

struct BC2_debugGlob_t {
    uint32_t seqCnt;  // own presence sequence counter
    uint16_t bcRxCnt; // presence datagrams received
    uint16_t mcRxCnt; // CI multicast datagrams received
    uint16_t mcRxErr;
};
struct BC2_debugPID_t {
    uint32_t remSeqCnt;
    uint8_t cmdState, dataState;
    uint16_t cmdTxCnt, cmdTxErr, cmdRxCnt, cmdRxErr;
    uint16_t dataTxCntOnline, dataTxCntOffline, dataTxErr, dataRxCntOnline, dataRxCntOffline, dataRxErr;
    uint16_t remoteVersion;
};
int BC2_debugoutGlob(BC2_debugGlob_t* out);
int BC2_debugoutPID(uint16_t pid, BC2_debugPID_t* out);

// CI messages out: 0xFFFE to the multicast channel, PIDs 0..64 over their CI link. 1 sent
// completely, 0 not (a link that took only part of a message is closed).
uint16_t comint_put_eth(const comint_msg* message);
uint16_t comint_put_locSock(const comint_msg* message);
// 1 once the CI multicast channel exists; the command task serves nothing before.
int comint_status();

// DK frames out. `header` is the 8-byte DK header in wire order, `record` its record. Offline
// frames go to buffer 0 of the destination's DK link (TCP); online frames to buffer 1 (UDP when
// the destination's route is Ethernet, else TCP; peers older than 0x0201 get them as offline).
// 1 appended, 0 dropped.
int dyncom_send_eth(const uint8_t* header, const void* record);
int dyncom_send_eth_online(const uint8_t* header, const void* record);
// Offline frames of every record of `fifo`, as dyncom_send_eth one by one, under one take of the
// buffer's mutex; the records are taken from the FIFO. Gives the number appended.
struct dynkomm_fifo;
int dyncom_send_eth_fifo(const uint8_t* header, dynkomm_fifo* fifo);
// DK records received and dropped because they did not come from the peer that feeds their FIFO
// (over TCP its own DK link, over UDP its address and DK send port): since start.
uint32_t bc2_dk_stranger_drops();
// End of a send cycle: mode 1 sends buffer 0 (offline) of every peer, mode 0 buffer 1 (online).
void Dynkom_flush_eth(int mode);
