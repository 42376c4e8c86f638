// The transport live, in a network namespace of the test's own: presence on the wire, both ways
// of connecting, CI and DK traffic on the links, and what the device does with bad input from a
// peer.
#include "test_net_fixture.h"

#include "msdcom/network/sernet_man.h"

#include <arpa/inet.h>
#include <cstring>
#include <unistd.h>

using namespace nettest;

namespace {

constexpr uint16_t PEER = 9;
constexpr const char* PEER_ADDR = "127.0.0.9"; // above the device: the peer connects

uint16_t get16(const std::vector<uint8_t>& v, size_t at) {
    return uint16_t(v[at] << 8 | v[at + 1]);
}
uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    return uint32_t(get16(v, at)) << 16 | get16(v, at + 2);
}

std::vector<uint8_t> payloadOf(size_t n, uint8_t seed) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(seed + i * 7);
    return p;
}

class NetLink : public NetLive {
protected:
    // The peer announces itself until both links are up.
    void linkUp(TestPeer& peer) {
        peer.startAnnouncing(DEV_PID);
        ASSERT_TRUE(
            waitUntil([&] { return hosts_list[peer.pid()].ci.load() && hosts_list[peer.pid()].dk.load(); }));
        ASSERT_GE(peer.connectCi(DEV_ADDR), 0);
        ASSERT_GE(peer.connectDk(DEV_ADDR), 0);
        ASSERT_TRUE(waitUntil([&] { return BC2_connected(peer.pid()); }));
    }

    // 0x0105 from the peer comes back as 0x0106 with the contexts exchanged and the same payload.
    void expectBounce(TestPeer& peer, size_t payloadLen = 8, uint8_t seed = 1) {
        const auto payload = payloadOf(payloadLen, seed);
        ASSERT_TRUE(
            peer.sendAll(peer.ci(), ciBytes(0x0105, peer.pid(), DEV_PID, 0xA1A2A3A4, 0xB1B2B3B4, payload)));
        std::vector<uint8_t> reply;
        ASSERT_TRUE(peer.receiveCi(peer.ci(), &reply));
        EXPECT_EQ(get16(reply, 16), 0x0106);
        EXPECT_EQ(get16(reply, 4), DEV_PID);
        EXPECT_EQ(get16(reply, 6), peer.pid());
        EXPECT_EQ(get32(reply, 8), 0xB1B2B3B4u);
        EXPECT_EQ(get32(reply, 12), 0xA1A2A3A4u);
        EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 20, reply.end()), payload);
    }

    // A receiving FIFO on this device under a fresh handle.
    dynkomm_fifo* makeFifo(uint16_t slotSize, uint16_t depth, uint16_t srcPid, uint32_t* handle,
                           uint16_t flags = 1) {
        dynkomm_fifo* f = SerNet_man_reserve(slotSize, depth, flags, 3, srcPid, 0);
        *handle = dynkomm_get_magic();
        EXPECT_TRUE(f && *handle && dynkomm_fifo_set(*handle, f));
        return f;
    }

    void TearDown() override {
        for (dynkomm_fifo* f : fifos_)
            if (f) dynkomm_fifo_release(f);
        NetLive::TearDown();
        dynkomm_fifo_collect();
        dynkomm_fifo_collect();
    }
    std::vector<dynkomm_fifo*> fifos_;

    static std::vector<uint8_t> readRecord(dynkomm_fifo* f, size_t n) {
        const uint8_t* slot = dynkomm_read(f);
        if (!slot) return {};
        std::vector<uint8_t> out(slot, slot + n);
        dynkomm_readdone(f);
        return out;
    }
};

} // namespace

TEST_F(NetLink, PresenceGoesToTheGroupFromTheOwnPortFiveTimesASecond) {
    TestPeer peer(PEER, PEER_ADDR);
    std::vector<uint8_t> first, second;
    sockaddr_in from{};
    ASSERT_TRUE(peer.receivePresence(DEV_PID, &first, &from));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer.receivePresence(DEV_PID, &second, nullptr));
    const auto gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(first.size(), 60u);
    EXPECT_EQ(from.sin_addr.s_addr, addr(DEV_ADDR));
    EXPECT_EQ(ntohs(from.sin_port), 9851);
    EXPECT_EQ(get32(first, 0), 0x7F000005u);
    EXPECT_EQ(get16(first, 56), 0x0204);
    EXPECT_EQ(get32(first, 36), 1u << DEV_PID);
    EXPECT_EQ(get32(second, 52), get32(first, 52) + 1);
    EXPECT_GT(gap.count(), 100);
    EXPECT_LT(gap.count(), 400);
}

TEST_F(NetLink, AHigherPeerConnectsAndCiMessagesGoBothWays) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    EXPECT_TRUE(log_->waitFor("BC2_eth_recv(): CI channel to PID 0x9 established"));
    EXPECT_TRUE(log_->waitFor("BC2_eth_recv(): DK channel to PID 0x9 established"));
    EXPECT_EQ(comint_get_connect_mask() & (1ull << PEER), 1ull << PEER);
    EXPECT_EQ(dk_get_connect_mask() & (1ull << PEER), 1ull << PEER);
    expectBounce(peer, 0);
    expectBounce(peer, 492, 3);
    // The device's records now show both links to the peer.
    std::vector<uint8_t> rec;
    ASSERT_TRUE(waitUntil(
        [&] { return peer.receivePresence(DEV_PID, &rec, nullptr) && (get32(rec, 36) >> PEER) & 1; }));
    EXPECT_TRUE((get32(rec, 44) >> PEER) & 1);
    EXPECT_TRUE((get32(rec, 28) >> PEER) & 1);
}

TEST_F(NetLink, AQuietLinkStaysUp) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    ASSERT_TRUE(log_->waitFor("BC2_eth_recv(): CI channel to PID 0x9 established"));
    // Nothing travels on the links for a second: that is no reason to drop them.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    expectBounce(peer);
    EXPECT_EQ(log_->count("receiving serial network header"), 0);
    EXPECT_EQ(log_->count("CI channel to PID 0x9 established"), 1);
}

TEST_F(NetLink, ALowerPeerIsConnectedFromTheActivePorts) {
    TestPeer peer(3, "127.0.0.3");
    peer.listen();
    peer.startAnnouncing(DEV_PID);
    sockaddr_in ciFrom{}, dkFrom{};
    ASSERT_GE(peer.acceptCi(3000, &ciFrom), 0);
    ASSERT_GE(peer.acceptDk(3000, &dkFrom), 0);
    EXPECT_EQ(ciFrom.sin_addr.s_addr, addr(DEV_ADDR));
    EXPECT_EQ(ntohs(ciFrom.sin_port), 9862);
    EXPECT_EQ(ntohs(dkFrom.sin_port), 9863);
    ASSERT_TRUE(waitUntil([] { return BC2_connected(3); }));
    expectBounce(peer);
}

TEST_F(NetLink, OversizedTruncatedAndStrayCiMessagesLeaveTheLinkServing) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    // 505 and 65535 payload bytes: refused unread, the bytes discarded, the link stays.
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x0105, PEER, DEV_PID, 1, 2, payloadOf(505, 9))));
    expectBounce(peer);
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x0105, PEER, DEV_PID, 1, 2, payloadOf(65535, 4))));
    expectBounce(peer);
    EXPECT_TRUE(log_->waitFor("bc_ci_receive recv. bytes : 505 (504)"));
    EXPECT_TRUE(log_->waitFor("bc_ci_receive recv. bytes : 65535 (504)"));
    // 493 bytes pass the link but not the command queue; unknown codes and PIDs go nowhere.
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x0105, PEER, DEV_PID, 1, 2, payloadOf(493, 1))));
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x7777, PEER, DEV_PID, 1, 2, payloadOf(30, 1))));
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x0105, PEER, 40, 1, 2, payloadOf(30, 1))));
    expectBounce(peer, 16, 7);
    EXPECT_GE(hosts_list[PEER].ci.load()->rxErr.load(), 2);
    EXPECT_TRUE(BC2_connected(PEER));

    // A header cut short by a closing peer drops the link, and the peer can come back.
    ASSERT_TRUE(peer.sendAll(peer.ci(), std::vector<uint8_t>(7, 0x55)));
    shutdown(peer.ci(), SHUT_WR);
    EXPECT_TRUE(log_->waitFor("Divovur2: CI channel - socket closed"));
    ASSERT_TRUE(waitUntil([] { return !BC2_connected(PEER); }));
    EXPECT_EQ(hosts_list[PEER].ci.load()->state.load(), BC2_STATE_DISCONNECTED);
    ASSERT_GE(peer.connectCi(DEV_ADDR), 0);
    ASSERT_TRUE(waitUntil([] { return BC2_connected(PEER); }));
    expectBounce(peer);
}

TEST_F(NetLink, DkFramesLandInTheirFifoAndBadOnesAreDropped) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    uint32_t handle = 0;
    dynkomm_fifo* f = makeFifo(12, 8, PEER, &handle);
    ASSERT_NE(f, nullptr);
    bc2_channel* dk = hosts_list[PEER].dk.load();

    const auto rec1 = payloadOf(12, 1), rec2 = payloadOf(10, 2), tooLong = payloadOf(13, 3);
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(DEV_PID, handle, rec1)));
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(DEV_PID, handle, tooLong))); // longer than the slot
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(DEV_PID, handle + 7, payloadOf(600, 4)))); // no FIFO
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(33, handle, payloadOf(20, 5)))); // foreign PID: skipped
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(DEV_PID, handle, rec2)));
    ASSERT_TRUE(waitUntil([&] { return f->write_index.load() == 2; }));
    EXPECT_EQ(readRecord(f, 12), rec1);
    EXPECT_EQ(readRecord(f, 10), rec2);
    fifos_.push_back(f);
    EXPECT_EQ(dk->rxErr.load(), 2);
    EXPECT_TRUE(log_->waitFor("exceeds its slot of 12, dropped"));
    EXPECT_TRUE(log_->waitFor("Divovur2: DK channel - received data for PID 0x21 - no routing available"));
    EXPECT_TRUE(BC2_connected(PEER));

    // Two foreign frames in a row: the stream is lost, the link is dropped.
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(33, handle, payloadOf(20, 5))));
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(34, handle, payloadOf(20, 5))));
    EXPECT_TRUE(peer.linkClosed(peer.dk()));
    ASSERT_TRUE(waitUntil([] { return !BC2_connected(PEER); }));

    // A long foreign frame drops the link at once.
    ASSERT_GE(peer.connectDk(DEV_ADDR), 0);
    ASSERT_TRUE(waitUntil([] { return BC2_connected(PEER); }));
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(33, handle, payloadOf(513, 5))));
    EXPECT_TRUE(peer.linkClosed(peer.dk()));
}

TEST_F(NetLink, ANewConnectionReplacesTheOldOneAndStrangersAreTurnedAway) {
    TestPeer peer(PEER, PEER_ADDR);
    PresenceSpec s = peer.spec();
    s.version = 0x0201; // older peers are matched by address alone, so any port will do
    s.heard = 1ull << DEV_PID;
    peer.sendPresence(s);
    ASSERT_TRUE(waitUntil([] { return hosts_list[PEER].ci.load() != nullptr; }));

    auto connectFrom = [](const char* address) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in local = sockAddr(address, 0);
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        const sockaddr_in dev = sockAddr(DEV_ADDR, 9860);
        EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&dev), sizeof dev), 0);
        return fd;
    };
    const int first = connectFrom(PEER_ADDR);
    ASSERT_TRUE(waitUntil([] { return hosts_list[PEER].ci.load()->state.load() == BC2_STATE_CONNECTED; }));
    const int second = connectFrom(PEER_ADDR);
    EXPECT_TRUE(peer.linkClosed(first));
    peer.ci() = second;
    expectBounce(peer);

    const int stranger = connectFrom("127.0.0.77");
    EXPECT_TRUE(peer.linkClosed(stranger));
    EXPECT_TRUE(log_->waitFor("matches no peer, closed"));
    close(first);
    close(stranger);
}

TEST_F(NetLink, ASilentPeerGoesOfflineWithinASecondAndAHalfAndLosesItsLinks) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    peer.stopAnnouncing();
    ASSERT_TRUE(log_->waitFor("Host PID 0x9 is Offline", 3000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            peer.lastPresenceSent());
    // 1.2 to 1.4 s after the last record; a loaded (sanitized) host may run the presence task a
    // little late, never early.
    EXPECT_LT(took.count(), 2400);
    EXPECT_GT(took.count(), 900);
    EXPECT_TRUE(peer.linkClosed(peer.ci()));
    EXPECT_TRUE(peer.linkClosed(peer.dk()));
    // The receive tasks clear the link bits after they have closed their links.
    EXPECT_TRUE(waitUntil([] { return !BC2_connected(PEER); }));
    EXPECT_EQ(udp_get_detect_mask() & (1ull << PEER), 0u);
}

TEST_F(NetLink, ARestartedPeerLosesItsLinksAndReconnects) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    peer.stopAnnouncing();
    PresenceSpec s = peer.spec();
    s.seq = 0; // the announcer counted from 1
    s.heard = 1ull << DEV_PID;
    peer.sendPresence(s);
    EXPECT_TRUE(log_->waitFor("Divovur2: Reset detected on PID 0x9"));
    EXPECT_TRUE(peer.linkClosed(peer.ci()));
    EXPECT_TRUE(peer.linkClosed(peer.dk()));
    linkUp(peer);
    expectBounce(peer);
}

// On loopback the device hears its own beacons; a second device with its PID on the same address
// sends from the same port, and is reported once.
TEST_F(NetLink, OurOwnBeaconIsIgnoredAndAnotherDeviceWithOurPidIsReportedOnce) {
    ASSERT_TRUE(
        waitUntil([&] { return log_->count("BC2_UDP_listen() received our own pid, ignored") >= 3; }));
    EXPECT_EQ(log_->count("another device with our PID"), 0);
    TestPeer twin(DEV_PID, DEV_ADDR);
    PresenceSpec s = twin.spec();
    for (uint32_t seq = 1; seq <= 5; ++seq) {
        s.seq = seq;
        twin.sendPresence(s);
    }
    // The listener takes the records in order: once the peer is heard, the twin's were taken too.
    TestPeer peer(PEER, PEER_ADDR);
    peer.sendPresence(peer.spec());
    ASSERT_TRUE(waitUntil([] { return udp_get_detect_mask() == 1ull << PEER; }));
    EXPECT_TRUE(
        log_->waitFor("BC2_UDP_listen(): another device with our PID 0x5 is on the network at "
                      "127.0.0.5:9851: its records are ignored; every device needs a PID of its own"));
    EXPECT_EQ(log_->count("another device with our PID"), 1);
    EXPECT_EQ(hosts_list[DEV_PID].state.load(), 0);
}

TEST_F(NetLink, GarbagePresenceIsIgnoredAndTheListenerGoesOn) {
    TestPeer peer(PEER, PEER_ADDR);
    peer.sendPresenceRaw(std::vector<uint8_t>(10, 0xEE));
    peer.sendPresenceRaw(payloadOf(999, 3));
    PresenceSpec bad = peer.spec();
    bad.pid = 64;
    peer.sendPresence(bad);
    peer.sendPresence(peer.spec(), 40);
    EXPECT_TRUE(log_->waitFor("BC2_UDP_listen() wrong pid received 64"));
    EXPECT_EQ(udp_get_detect_mask(), 0u);
    peer.sendPresence(peer.spec());
    EXPECT_TRUE(waitUntil([] { return udp_get_detect_mask() == 1ull << PEER; }));
}

TEST_F(NetLink, BroadcastsOnTheMulticastChannelAreServedOnce) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    const auto payload = payloadOf(12, 5);
    peer.sendCiMulticast(std::vector<uint8_t>(25, 1));                                 // size != header
    peer.sendCiMulticast(ciBytes(0x0105, DEV_PID, CI_PID_ALL, 1, 2, payloadOf(4, 1))); // "from" this device
    peer.sendCiMulticast(ciBytes(0x0105, PEER, CI_PID_ALL, 0x11, 0x22, payload));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(peer.receiveCi(peer.ci(), &reply));
    EXPECT_EQ(get16(reply, 16), 0x0106);
    EXPECT_EQ(get32(reply, 12), 0x11u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 20, reply.end()), payload);
    EXPECT_FALSE(peer.receiveCi(peer.ci(), &reply, 300));
    EXPECT_EQ(cimc_rxcnt.load(), 1);
    EXPECT_EQ(cimc_rxerr.load(), 1);
}

TEST_F(NetLink, DkDatagramsAreWalkedFrameByFrameWithinTheirBounds) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    uint32_t handle = 0;
    dynkomm_fifo* f = makeFifo(8, 8, PEER, &handle);
    fifos_.push_back(f);
    const auto a = payloadOf(8, 1), b = payloadOf(4, 2);
    std::vector<uint8_t> dgram = dkBytes(DEV_PID, handle, a);
    const auto second = dkBytes(DEV_PID, handle, b);
    dgram.insert(dgram.end(), second.begin(), second.end());
    const auto tooLong = dkBytes(DEV_PID, handle, payloadOf(12, 3));
    dgram.insert(dgram.end(), tooLong.begin(), tooLong.end());
    auto cut = dkBytes(DEV_PID, handle, payloadOf(8, 4));
    cut.resize(12); // header promises 8 bytes, 4 arrive
    dgram.insert(dgram.end(), cut.begin(), cut.end());
    peer.sendDkDatagram(DEV_ADDR, dgram);
    ASSERT_TRUE(waitUntil([&] { return f->write_index.load() == 2; }));
    EXPECT_TRUE(log_->waitFor("frame runs past the end of a 60-byte datagram"));
    EXPECT_EQ(readRecord(f, 8), a);
    EXPECT_EQ(readRecord(f, 4), b);
    EXPECT_EQ(hosts_list[PEER].dk.load()->rxUdp.load(), 1);
    EXPECT_EQ(f->write_index.load(), 2u);

    // From the peer's address but not from its DK send port: not the peer that feeds the FIFO.
    const uint32_t dropped = bc2_dk_stranger_drops();
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in local = sockAddr(PEER_ADDR, 0), dev = sockAddr(DEV_ADDR, 9852);
    ASSERT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    const auto stray = dkBytes(DEV_PID, handle, a);
    sendto(other, stray.data(), stray.size(), 0, reinterpret_cast<const sockaddr*>(&dev), sizeof dev);
    close(other);
    EXPECT_TRUE(waitUntil([&] { return bc2_dk_stranger_drops() == dropped + 1; }));
    EXPECT_EQ(f->write_index.load(), 2u);
}

TEST_F(NetLink, SourceFifosReachThePeerOnlineOverUdpAndOfflineOverTcp) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    auto source = [](uint16_t flags, uint32_t peerHandle) {
        dynkomm_fifo_params p;
        p.peer = peerHandle;
        p.src_pid = DEV_PID;
        p.dst_pid = PEER;
        p.depth = 8;
        p.slot_size = 8;
        p.raster = 0;
        p.flags = flags;
        return dynkomm_fifo_new(p);
    };
    dynkomm_fifo* online = source(0, 0x11000001);
    dynkomm_fifo* offline = source(1, 0x22000002);
    for (uint8_t i = 1; i <= 3; ++i) {
        std::memset(dynkomm_write(online), i, 8);
        dynkomm_writedone(online);
        std::memset(dynkomm_write(offline), 0x10 + i, 8);
        dynkomm_writedone(offline);
    }
    SerNet_man_start_sending(online);
    SerNet_man_start_sending(offline);
    SerNet_man_sender_online(0);
    SerNet_man_flush_online();
    SerNet_man_sender_offline(0);
    SerNet_man_flush_offline();

    std::vector<uint8_t> dgram;
    ASSERT_TRUE(peer.receiveDkDatagram(&dgram));
    EXPECT_EQ(dgram, dkBytes(PEER, 0x11000001, std::vector<uint8_t>(8, 3))); // the newest record only
    std::vector<uint8_t> frames(3 * 16);
    ASSERT_TRUE(peer.receiveExact(peer.dk(), frames.data(), frames.size()));
    for (uint8_t i = 0; i < 3; ++i)
        EXPECT_EQ(std::vector<uint8_t>(frames.begin() + 16 * i, frames.begin() + 16 * (i + 1)),
                  dkBytes(PEER, 0x22000002, std::vector<uint8_t>(8, uint8_t(0x11 + i))));
    EXPECT_EQ(hosts_list[PEER].dk.load()->txOnline.load(), 1);
    EXPECT_EQ(hosts_list[PEER].dk.load()->txMsgs.load(), 1);
    EXPECT_EQ(SerNet_man_stop_sending(online), 1);
    EXPECT_EQ(SerNet_man_stop_sending(offline), 1);
    EXPECT_EQ(SerNet_man_stop_sending(offline), 0);
    dynkomm_fifo_release(online);
    dynkomm_fifo_release(offline);
}

TEST_F(NetLink, PathsAreOpenedRefusedAndClosedByCommand) {
    TestPeer peer(PEER, PEER_ADDR);
    linkUp(peer);
    auto request = [](uint16_t recordSize, uint16_t slots, uint16_t target, uint16_t source) {
        std::vector<uint8_t> p(20, 0);
        p[1] = uint8_t(source), p[2] = uint8_t(target >> 8), p[3] = uint8_t(target), p[5] = 3;
        p[6] = uint8_t(recordSize >> 8), p[7] = uint8_t(recordSize);
        p[8] = 0xCA, p[9] = 0xFE, p[10] = 0xBA, p[11] = 0xBE;
        p[12] = uint8_t(slots >> 8), p[13] = uint8_t(slots);
        p[15] = 1;
        return ciBytes(0x0300, PEER, DEV_PID, 0xC0C0, 0xD0D0, p);
    };
    auto open = [&](uint16_t recordSize, uint16_t slots, uint32_t* handle, uint32_t* ident,
                    uint16_t target = DEV_PID) {
        ASSERT_TRUE(peer.sendAll(peer.ci(), request(recordSize, slots, target, PEER)));
        std::vector<uint8_t> reply;
        ASSERT_TRUE(peer.receiveCi(peer.ci(), &reply));
        ASSERT_EQ(reply.size(), 36u);
        EXPECT_EQ(get16(reply, 16), 0x0107);
        EXPECT_EQ(get16(reply, 6), PEER);
        EXPECT_EQ(get32(reply, 8), 0xC0C0u);
        EXPECT_EQ(get32(reply, 12), 0xD0D0u);
        EXPECT_EQ(get32(reply, 20), 0xCAFEBABEu);
        EXPECT_EQ(get16(reply, 32), DEV_PID);
        *handle = get32(reply, 24);
        *ident = get32(reply, 28);
    };
    uint32_t handle = 0, ident = 0;
    open(10, 8, &handle, &ident);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(ident, 0u);
    dynkomm_fifo* f = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(handle, &f), 1);
    EXPECT_EQ(f->slot_size, 12);
    EXPECT_EQ(f->depth, 8);
    EXPECT_EQ(f->src_pid, PEER);
    EXPECT_EQ(dynkomm_fifo_byIdent(ident), f);
    const auto rec = payloadOf(10, 6);
    ASSERT_TRUE(peer.sendAll(peer.dk(), dkBytes(DEV_PID, handle, rec)));
    ASSERT_TRUE(waitUntil([&] { return f->write_index.load() == 1; }));
    EXPECT_EQ(readRecord(f, 10), rec);

    for (auto [size, slots] : {std::pair<uint16_t, uint16_t>{10, 3}, {10, 1024}, {10, 0}, {1465, 8}}) {
        uint32_t h = 1, id = 1;
        open(size, slots, &h, &id);
        EXPECT_EQ(h, 0u) << size << " " << slots;
        EXPECT_EQ(id, 0u);
    }
    uint32_t h = 0, id = 0;
    open(1464, 512, &h, &id);
    EXPECT_NE(h, 0u);
    fifos_.push_back(dynkomm_fifo_byIdent(id));
    // A path to every device is answered as refused, not passed round the network.
    const bc2_channel* mc = bc2_mc_channel();
    ASSERT_NE(mc, nullptr);
    const uint16_t broadcasts = mc->txOnline.load();
    uint32_t hAll = 1, idAll = 1;
    open(10, 8, &hAll, &idAll, CI_PID_ALL);
    EXPECT_EQ(hAll, 0u);
    EXPECT_EQ(idAll, 0u);
    // A path whose source is this device itself makes no FIFO (its answer would come back here).
    const uint32_t live = dynkomm_fifo_liveCount();
    ASSERT_TRUE(peer.sendAll(peer.ci(), request(10, 8, DEV_PID, DEV_PID)));
    expectBounce(peer);
    EXPECT_EQ(dynkomm_fifo_liveCount(), live);

    std::vector<uint8_t> close(8, 0);
    close[0] = uint8_t(handle >> 24), close[1] = uint8_t(handle >> 16), close[2] = uint8_t(handle >> 8);
    close[3] = uint8_t(handle), close[5] = PEER, close[7] = DEV_PID;
    ASSERT_TRUE(peer.sendAll(peer.ci(), ciBytes(0x0301, PEER, DEV_PID, 0, 0, close)));
    ASSERT_TRUE(waitUntil([&] { return dynkomm_get_fifo(handle, &f) == 0; }));
    EXPECT_EQ(dynkomm_fifo_byIdent(ident), nullptr);

    // A close that names a FIFO this device sends from (in a sender list), or that goes to every
    // device, changes nothing.
    const uint32_t srcHandle = dynkomm_fifo_link(0x12345678, DEV_PID, PEER, 0, 4, 8, 0);
    ASSERT_NE(srcHandle, 0u);
    dynkomm_fifo* src = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(srcHandle, &src), 1);
    auto closeOf = [](uint32_t hd, uint16_t target) {
        std::vector<uint8_t> c(8, 0);
        c[0] = uint8_t(hd >> 24), c[1] = uint8_t(hd >> 16), c[2] = uint8_t(hd >> 8), c[3] = uint8_t(hd);
        c[5] = PEER, c[6] = uint8_t(target >> 8), c[7] = uint8_t(target);
        return ciBytes(0x0301, PEER, DEV_PID, 0, 0, c);
    };
    ASSERT_TRUE(peer.sendAll(peer.ci(), closeOf(srcHandle, DEV_PID)));
    ASSERT_TRUE(peer.sendAll(peer.ci(), closeOf(h, CI_PID_ALL)));
    expectBounce(peer); // commands are served in order: both closes are done
    EXPECT_TRUE(dynkomm_fifo_isLive(src));
    EXPECT_EQ(dynkomm_get_fifo(srcHandle, &src), 1);
    EXPECT_EQ(dynkomm_get_fifo(h, &f), 1);
    EXPECT_EQ(mc->txOnline.load(), broadcasts);
    EXPECT_TRUE(log_->waitFor("is no receiving fifo, close from PID 9 ignored"));
    EXPECT_TRUE(log_->waitFor("to every device ignored"));
    EXPECT_EQ(SerNet_man_stop_sending(src), 1);
    dynkomm_fifo_release(src);
    dynkomm_free_magic_direct(srcHandle);
}
