// The presence record byte by byte, how received records fill the peer table, ageing, restart
// detection and the address rule of the connection decision.
#include "test_net_fixture.h"

#include <arpa/inet.h>
#include <cstring>

using namespace nettest;

namespace {

sockaddr_in from(const char* address, uint16_t port = 9851) {
    return sockAddr(address, port);
}

void receive(const std::vector<uint8_t>& bytes, const char* address = "127.0.0.9") {
    bc2_presence_received(bytes.data(), bytes.size(), from(address));
}

} // namespace

TEST(NetRecord, OwnRecordOfPid5At10_0_0_5IsTheSixtyBytesOfTheLayout) {
    testsupport::TempDeviceRoot root;
    testsupport::writeFile(root.file("appparam-0.conf"), "pid = 5\nip_address = 10.0.0.5\nport_offset = 0\n");
    std::string error;
    ASSERT_TRUE(appman_init(0, &error)) << error;
    bc2_fill_local_host();
    uint8_t got[60];
    local_host.copyOut(got);
    const uint8_t want[60] = {
        10,   0,    0,    5,                   // address, network order
        0,    0,    0,    0,    0, 0,          // reserved
        0x00, 0x05,                            // PID
        0x00, 0x00, 0x03, 0xE8,                // time-out 1000 ms
        0,    0,    0,    0,    0, 0, 0, 0,    // reserved
        0,    0,    0,    0,    0, 0, 0, 0,    // heard mask
        0,    0,    0,    0,    0, 0, 0, 0x20, // CI link mask: own bit 5
        0,    0,    0,    0,    0, 0, 0, 0x20, // DK link mask: own bit 5
        0x00, 0x00, 0x00, 0xC8,                // period 200 ms
        0,    0,    0,    0,                   // sequence counter
        0x02, 0x04,                            // version
        0x00, 0x00,                            // port offset
    };
    EXPECT_EQ(0, std::memcmp(got, want, 60));
    // The first record sent carries sequence 1; mask bits above 31 land in the high word.
    EXPECT_EQ(local_host.incrementU32(BC2_REC_SEQ), 1u);
    local_host.setBit(BC2_REC_HEARD, 63);
    local_host.setBit(BC2_REC_HEARD, 32);
    local_host.setBit(BC2_REC_HEARD, 0);
    local_host.copyOut(got);
    EXPECT_EQ(got[24], 0x80);
    EXPECT_EQ(got[27], 0x01);
    EXPECT_EQ(got[31], 0x01);
    EXPECT_EQ(got[55], 1);
    local_host.clearBit(BC2_REC_HEARD, 63);
    EXPECT_EQ(udp_get_detect_mask(), (1ull << 32) | 1ull);
}

TEST(NetRecord, VersionAndPortOffsetFollowTheRecordLength) {
    PresenceSpec s;
    s.version = 0x0204;
    s.portOffset = 7;
    std::vector<uint8_t> b = presenceBytes(s);
    Bc2Presence p{};
    ASSERT_TRUE(bc2_parsePresence(b.data(), 60, &p));
    EXPECT_EQ(p.version, 0x0204);
    EXPECT_EQ(p.portOffset, 7);
    ASSERT_TRUE(bc2_parsePresence(b.data(), 56, &p));
    EXPECT_EQ(p.version, 0x0200);
    EXPECT_EQ(p.portOffset, 0);
    // 57 bytes hold only half of the version word: read as the oldest version.
    ASSERT_TRUE(bc2_parsePresence(b.data(), 57, &p));
    EXPECT_EQ(p.version, 0x0200);
    ASSERT_TRUE(bc2_parsePresence(b.data(), 59, &p));
    EXPECT_EQ(p.version, 0x0204);
    EXPECT_EQ(p.portOffset, 0);
    s.version = 0x0201;
    b = presenceBytes(s);
    ASSERT_TRUE(bc2_parsePresence(b.data(), 60, &p));
    EXPECT_EQ(p.portOffset, 0);
    EXPECT_FALSE(bc2_parsePresence(b.data(), 55, &p));
}

TEST(NetRecord, AddressOrderReadsTheLastOctetAsMostSignificant) {
    EXPECT_GT(bc2_addrRank(addr("10.0.0.7")), bc2_addrRank(addr("10.0.0.5")));
    EXPECT_GT(bc2_addrRank(addr("127.0.0.9")), bc2_addrRank(addr("127.0.0.5")));
    EXPECT_GT(bc2_addrRank(addr("1.0.0.9")), bc2_addrRank(addr("9.0.0.1")));
    EXPECT_EQ(bc2_addrRank(addr("10.1.2.3")), 0x0302010Au);
}

class NetPresence : public NetBase {};

TEST_F(NetPresence, AHeardPeerIsEnteredWithItsVersionOffsetRouteAndTimeout) {
    PresenceSpec s;
    s.pid = 9;
    s.portOffset = 3;
    s.timeoutMs = 1000;
    receive(presenceBytes(s));
    const bc2_host& h = hosts_list[9];
    EXPECT_EQ(h.state.load(), 1);
    EXPECT_EQ(h.origin.load(), BC2_ORIGIN_PRESENCE);
    EXPECT_EQ(h.version.load(), 0x0204);
    EXPECT_EQ(h.portOffset.load(), 3);
    EXPECT_EQ(h.remaining.load(), 1200);
    EXPECT_EQ(h.fromAddr.load(), addr("127.0.0.9"));
    EXPECT_EQ(udp_get_detect_mask(), 1ull << 9);
    EXPECT_EQ(routing_get_next(9).kind, ROUTE_ETH);
    EXPECT_EQ(routing_get_next(9).param, 0x7F000009u);
    EXPECT_EQ(bc_rxcnt.load(), 1);
    EXPECT_TRUE(log_->waitFor("BC2_UDP_listen add remote_pid 9"));
    // Not heard back yet: no channel is made.
    EXPECT_EQ(h.ci.load(), nullptr);
    EXPECT_EQ(h.dk.load(), nullptr);
}

TEST_F(NetPresence, RecordsOfPid64AndAboveOwnPidAndShortOnesAreIgnored) {
    for (uint16_t pid : {64, 65, 200, 0xFFFF}) {
        PresenceSpec s;
        s.pid = pid;
        receive(presenceBytes(s));
    }
    PresenceSpec own;
    own.pid = DEV_PID;
    receive(presenceBytes(own));
    PresenceSpec shortOne;
    shortOne.pid = 9;
    std::vector<uint8_t> b = presenceBytes(shortOne);
    b.resize(55);
    receive(b);
    receive({});
    EXPECT_EQ(udp_get_detect_mask(), 0u);
    EXPECT_EQ(hosts_list[64].state.load(), 0);
    EXPECT_EQ(routing_get_next(64).kind, ROUTE_ILLEGAL);
    EXPECT_TRUE(log_->waitFor("BC2_UDP_listen() wrong pid received 64"));
    EXPECT_EQ(hosts_list[DEV_PID].state.load(), 0); // its own records are heard on Linux; never a peer
    EXPECT_TRUE(log_->waitFor("short presence record ignored, 55 bytes"));
}

// Only what the device sent, from its own address and port, and each record once, is its own beacon;
// any other record of its PID is another device's, reported once.
TEST_F(NetPresence, ARecordOfOurPidNotSentByUsIsAnotherDeviceReportedOnce) {
    const struct {
        const char* what;
        const char* address;
        uint16_t port;
        uint32_t seq;
        bool altered;
        int times;
        bool another;
    } kRows[] = {
        {"our own, heard back", DEV_ADDR, 9851, 2, false, 1, false},
        {"our own, heard twice", DEV_ADDR, 9851, 2, false, 2, true},
        {"from another address", "127.0.0.6", 9851, 2, false, 3, true},
        {"from another port", DEV_ADDR, 9852, 2, false, 1, true},
        {"with other bytes", DEV_ADDR, 9851, 2, true, 1, true},
        {"with a number not sent yet", DEV_ADDR, 9851, 3, false, 1, true},
    };
    for (const auto& row : kRows) {
        bc2_fill_local_host();
        log_->clear();
        std::vector<uint8_t> record(60);
        for (int i = 0; i < 2; ++i) { // as the sender sends: sequence 1, then 2
            local_host.incrementU32(BC2_REC_SEQ);
            local_host.copyOut(record.data());
            bc2_presence_sent(record.data());
        }
        record[55] = uint8_t(row.seq);
        if (row.altered) record[31] ^= 0x01;
        for (int i = 0; i < row.times; ++i)
            bc2_presence_received(record.data(), record.size(), sockAddr(row.address, row.port));
        syslogx(LOG_PRIO_INFO, "row done");
        ASSERT_TRUE(log_->waitFor("row done")) << row.what;
        EXPECT_EQ(log_->count("another device with our PID"), row.another ? 1 : 0) << row.what;
        if (row.another) {
            EXPECT_TRUE(log_->has("BC2_UDP_listen(): another device with our PID 0x5 is on the network at " +
                                  std::string(row.address) + ":" + std::to_string(row.port) +
                                  ": its records are ignored; every device needs a PID of its own"))
                << row.what;
        }
        EXPECT_EQ(hosts_list[DEV_PID].state.load(), 0) << row.what;
    }
}

TEST_F(NetPresence, AShortRecordLeavesNoStaleBytesOfAnEarlierOne) {
    PresenceSpec s;
    s.pid = 9;
    s.portOffset = 4;
    s.seq = 10;
    receive(presenceBytes(s));
    EXPECT_EQ(hosts_list[9].rec.u16(BC2_REC_PORTOFF), 4);
    s.seq = 11;
    std::vector<uint8_t> b = presenceBytes(s);
    b.resize(56);
    receive(b);
    EXPECT_EQ(hosts_list[9].version.load(), 0x0200);
    EXPECT_EQ(hosts_list[9].portOffset.load(), 0);
    EXPECT_EQ(hosts_list[9].rec.u16(BC2_REC_VERSION), 0);
    EXPECT_EQ(hosts_list[9].rec.u16(BC2_REC_PORTOFF), 0);
    EXPECT_EQ(hosts_list[9].rec.u32(BC2_REC_SEQ), 11u);
}

TEST_F(NetPresence, SilentPeerGoesOfflineAtTheSeventhAgeingCycle) {
    PresenceSpec s;
    s.pid = 9;
    receive(presenceBytes(s));
    for (int i = 0; i < 6; ++i) bc2_age_peers(BC2_SEND_PERIOD_MS);
    EXPECT_EQ(hosts_list[9].state.load(), 1);
    EXPECT_EQ(udp_get_detect_mask(), 1ull << 9);
    bc2_age_peers(BC2_SEND_PERIOD_MS);
    EXPECT_EQ(hosts_list[9].state.load(), 0);
    EXPECT_EQ(udp_get_detect_mask(), 0u);
    EXPECT_TRUE(log_->waitFor("Host PID 0x9 is Offline"));
    EXPECT_TRUE(log_->has("UDP_send: Channel to PID 0x9 timed out, closing it..."));
    // A new record makes it heard again.
    s.seq = 2;
    receive(presenceBytes(s));
    EXPECT_EQ(hosts_list[9].state.load(), 1);
}

TEST_F(NetPresence, SequenceGoingBackwardsIsARestart) {
    PresenceSpec s;
    s.pid = 9;
    s.seq = 5;
    receive(presenceBytes(s));
    s.seq = 9;
    receive(presenceBytes(s));
    EXPECT_FALSE(log_->waitFor("Reset detected", 100));
    s.seq = 5;
    receive(presenceBytes(s));
    EXPECT_TRUE(log_->waitFor("Divovur2: Reset detected on PID 0x9, illegal msg sequence counter"));
    // 0xFFFFFFFF wraps without being taken for a restart.
    s.seq = 0xFFFFFFFF;
    receive(presenceBytes(s));
    log_->clear();
    s.seq = 0;
    receive(presenceBytes(s));
    EXPECT_FALSE(log_->waitFor("Reset detected", 100));

    // A peer that restarts with every record (or records forged so) follows the flood rule.
    for (uint32_t i = 0; i < 40; ++i) {
        s.seq = 100 - i;
        receive(presenceBytes(s));
    }
    EXPECT_TRUE(log_->waitFor("Flooding suspicion!"));
    EXPECT_EQ(log_->count("Reset detected"), 12) << "13 in all, one of them before";
}

TEST_F(NetPresence, ARouteSetByCommandIsKept) {
    routing_set_table_entries(routing_entry{ROUTE_LOCSOCK, 0x01020304}, 9, 9);
    PresenceSpec s;
    s.pid = 9;
    receive(presenceBytes(s));
    EXPECT_EQ(routing_get_next(9).kind, ROUTE_LOCSOCK);
    EXPECT_EQ(routing_get_next(9).param, 0x01020304u);
}

TEST_F(NetPresence, CapabilitiesFollowTheLinksAndThePeerVersion) {
    PresenceSpec s;
    s.pid = 9;
    s.version = 0x0203;
    receive(presenceBytes(s));
    EXPECT_FALSE(BC2_connected(9));
    EXPECT_EQ(BC2_getRemoteCapabilty(9, 0), 2);
    local_host.setBit(BC2_REC_CIMASK, 9);
    EXPECT_FALSE(BC2_connected(9));
    local_host.setBit(BC2_REC_DKMASK, 9);
    EXPECT_TRUE(BC2_connected(9));
    EXPECT_EQ(BC2_getRemoteCapabilty(9, 0), 0);
    EXPECT_EQ(BC2_getRemoteCapabilty(9, 1), 0);
    EXPECT_EQ(BC2_getRemoteCapabilty(9, 2), 1);
    EXPECT_EQ(BC2_getRemoteCapabilty(9, 3), 1);
    EXPECT_FALSE(BC2_connected(64));
}
