// The send side without a network: the send schedule, the senders, the two-half buffers and the
// DK frame bytes, over a socket pair that stands in for a peer's data link.
#include "test_net_fixture.h"

#include "msdcom/network/sernet_man.h"

#include <cstring>
#include <map>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace nettest;

namespace {

constexpr uint16_t PEER = 7;

std::vector<int> due(uint32_t cycle) {
    int out[11];
    const int n = sernet_man_due_rasters(cycle, out);
    return std::vector<int>(out, out + n);
}

class NetSend : public NetBase {
protected:
    void SetUp() override {
        NetBase::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sp_), 0);
        hosts_list[PEER].version.store(0x0204);
        ch_ = BC2_create_channel_config(&hosts_list[PEER], BC2_CHAN_DK);
        ASSERT_NE(ch_, nullptr);
        ch_->sock.store(sp_[0]);
        // Online frames take the link too when the route is not Ethernet.
        routing_set_table_entries(routing_entry{ROUTE_LOCSOCK, 0}, PEER, PEER);
    }
    void TearDown() override {
        for (dynkomm_fifo* f : fifos_) {
            SerNet_man_stop_sending(f);
            dynkomm_fifo_release(f);
        }
        if (ch_) ch_->sock.store(-1);
        close(sp_[0]);
        close(sp_[1]);
        NetBase::TearDown();
        dynkomm_fifo_collect();
        dynkomm_fifo_collect();
    }
    dynkomm_fifo* source(uint16_t flags, uint16_t raster, uint32_t peerHandle, uint16_t slot = 8) {
        dynkomm_fifo_params p;
        p.peer = peerHandle;
        p.src_pid = DEV_PID;
        p.dst_pid = PEER;
        p.depth = 8;
        p.slot_size = slot;
        p.raster = raster;
        p.flags = flags;
        dynkomm_fifo* f = dynkomm_fifo_new(p);
        fifos_.push_back(f);
        return f;
    }
    static void put(dynkomm_fifo* f, uint8_t value) {
        uint8_t* s = dynkomm_write(f);
        ASSERT_NE(s, nullptr);
        std::memset(s, value, f->slot_size);
        dynkomm_writedone(f);
    }
    // Everything the "peer" has received so far.
    std::vector<uint8_t> received() {
        std::vector<uint8_t> out;
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = recv(sp_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    int sp_[2] = {-1, -1};
    bc2_channel* ch_ = nullptr;
    std::vector<dynkomm_fifo*> fifos_;
};

} // namespace

TEST(NetSchedule, RasterIndicesFollowTheCycle) {
    EXPECT_EQ(due(0), (std::vector<int>{10, 0, 1, 2, 3}));
    EXPECT_EQ(due(1), (std::vector<int>{10, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(due(3), (std::vector<int>{10, 0, 1, 2, 3, 4, 6, 11, 12}));
    EXPECT_EQ(due(11), (std::vector<int>{10, 0, 1, 2, 3, 4, 5, 7}));
    EXPECT_EQ(due(12), (std::vector<int>{10, 0, 1, 2, 3, 8}));
    EXPECT_EQ(due(18), (std::vector<int>{10, 0, 1, 2, 3, 9}));
    // Over 1000 cycles: each index as often as its period asks, 9 at 18, 118, ..., and 13..19 never.
    std::map<int, std::vector<uint32_t>> seen;
    for (uint32_t c = 0; c < 1000; ++c)
        for (int r : due(c)) seen[r].push_back(c);
    EXPECT_EQ(seen[0].size(), 1000u);
    EXPECT_EQ(seen[4].size(), 500u);
    EXPECT_EQ(seen[5].size(), 200u);
    EXPECT_EQ(seen[6].size(), 100u);
    EXPECT_EQ(seen[7].size(), 50u);
    EXPECT_EQ(seen[8].size(), 20u);
    EXPECT_EQ(seen[9], (std::vector<uint32_t>{18, 118, 218, 318, 418, 518, 618, 718, 818, 918}));
    for (int r = 13; r < 20; ++r) EXPECT_EQ(seen.count(r), 0u);
    EXPECT_EQ(due(0xFFFFFFFFu).back(), 4); // odd at the wrap
}

TEST_F(NetSend, OnlineSendsTheNewestRecordPerCycleAndOfflineDrainsTheFifo) {
    dynkomm_fifo* online = source(0, 0, 0x0A0B0C0D);
    dynkomm_fifo* offline = source(1, 0, 0x01020304);
    for (uint8_t i = 1; i <= 3; ++i) {
        put(online, i);
        put(offline, uint8_t(0x40 + i));
    }
    SerNet_man_start_sending(online);
    SerNet_man_start_sending(offline);

    rEthSend_online();
    const auto on = received();
    ASSERT_EQ(on.size(), 16u);
    // DK frame: destination PID, record length, handle the target assigned, record; big-endian.
    const std::vector<uint8_t> head{0x00, PEER, 0x00, 0x08, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(std::vector<uint8_t>(on.begin(), on.begin() + 8), head);
    EXPECT_EQ(std::vector<uint8_t>(on.begin() + 8, on.end()), std::vector<uint8_t>(8, 3));
    rEthSend_online();
    EXPECT_TRUE(received().empty());
    put(online, 9);
    rEthSend_online();
    EXPECT_EQ(received().size(), 16u);

    rEthSend_offline();
    const auto off = received();
    ASSERT_EQ(off.size(), 48u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(off[16 * i + 7], 0x04);
        EXPECT_EQ(off[16 * i + 8], 0x41 + i);
    }
    EXPECT_EQ(dynkomm_read(offline), nullptr);
}

TEST_F(NetSend, AFullHalfIsSentBeforeTheNextFrameAndOversizedFramesAreRefused) {
    // 1472 bytes take exactly four frames of 8 + 360; the fifth sends them first.
    std::vector<uint8_t> rec(360, 0x5A);
    uint8_t hdr[8];
    dk_encodeHeader(DkHeader{PEER, 360, 0x77}, hdr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 1);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 1);
    EXPECT_EQ(received().size(), 1472u);
    EXPECT_EQ(ch_->buf[0].half, DK_DATAGRAM_MAX);
    Dynkom_flush_eth(1);
    EXPECT_EQ(received().size(), 368u);
    EXPECT_EQ(ch_->txMsgs.load(), 2);

    dk_encodeHeader(DkHeader{PEER, 1465, 0x77}, hdr);
    std::vector<uint8_t> big(1465, 1);
    EXPECT_EQ(dyncom_send_eth(hdr, big.data()), 0);
    EXPECT_EQ(dyncom_send_eth_online(hdr, big.data()), 0);
    EXPECT_TRUE(log_->waitFor("does not fit a send buffer, refused"));
    dk_encodeHeader(DkHeader{PEER, 1464, 0x77}, hdr);
    big.resize(1464);
    EXPECT_EQ(dyncom_send_eth(hdr, big.data()), 1);
    Dynkom_flush_eth(1);
    EXPECT_EQ(received().size(), 1472u);
    // No channel, no send.
    dk_encodeHeader(DkHeader{44, 8, 1}, hdr);
    EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 0);
}

TEST_F(NetSend, APeerOlderThan0201GetsOnlineRecordsWithTheOffline) {
    hosts_list[PEER].version.store(0x0200);
    uint8_t hdr[8];
    dk_encodeHeader(DkHeader{PEER, 4, 0x99}, hdr);
    const uint8_t rec[4] = {1, 2, 3, 4};
    EXPECT_EQ(dyncom_send_eth_online(hdr, rec), 1);
    Dynkom_flush_eth(0);
    EXPECT_TRUE(received().empty());
    Dynkom_flush_eth(1);
    EXPECT_EQ(received().size(), 12u);
}

TEST_F(NetSend, SendErrorsDropFramesAndAreLoggedOncePerRun) {
    close(sp_[1]);
    sp_[1] = -1;
    uint8_t hdr[8];
    std::vector<uint8_t> rec(700, 1);
    dk_encodeHeader(DkHeader{PEER, 700, 0x99}, hdr);
    EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 1);
    EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dyncom_send_eth(hdr, rec.data()), 0);
    for (int i = 0; i < 3; ++i) Dynkom_flush_eth(1);
    EXPECT_EQ(ch_->txErr.load(), 8);
    EXPECT_TRUE(log_->waitFor("socket send error"));
    EXPECT_EQ(log_->count("socket send error"), 1);
    EXPECT_EQ(log_->count("send error during flush"), 0); // the run is already reported
    // A re-initialised buffer (a new link) starts a new run.
    BC2_snd_framer_ini(&ch_->buf[0], 0);
    EXPECT_EQ(ch_->buf[0].fill, 0);
}

TEST_F(NetSend, APeerThatStopsReadingFindsOnlyWholeFramesWhenItReadsAgain) {
    // A loopback TCP connection stands in for the link: small buffers, segments of an Ethernet's
    // size or less (so that a send can go out in part) and a short send limit.
    const int small = 4096, segment = 536;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in at = sockAddr("127.0.0.1", 0);
    socklen_t len = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len), 0);
    const int tx = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{0, 20 * 1000};
    setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(tx, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(tx, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    ASSERT_EQ(connect(tx, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const int rx = accept(listener, nullptr, nullptr);
    ASSERT_GE(rx, 0);
    ch_->sock.store(tx);

    // Offline and online frames share the stream (the route is not Ethernet); each record carries
    // its number and a pattern that follows from it.
    constexpr uint32_t kOffline = 0x0F000001, kOnline = 0x0F000002;
    uint32_t number = 0;
    auto append = [&](bool online, int n) {
        uint8_t hdr[8], rec[32];
        dk_encodeHeader(DkHeader{PEER, sizeof rec, online ? kOnline : kOffline}, hdr);
        for (int i = 0; i < n; ++i, ++number) {
            for (uint32_t b = 0; b < sizeof rec; ++b) rec[b] = uint8_t(number * 7 + b);
            std::memcpy(rec, &number, 4);
            online ? dyncom_send_eth_online(hdr, rec) : dyncom_send_eth(hdr, rec);
        }
    };
    std::vector<uint8_t> stream;
    auto read = [&] {
        uint8_t buf[8192];
        for (ssize_t n; (n = recv(rx, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            stream.insert(stream.end(), buf, buf + n);
    };

    // The peer stops reading until a send goes out in part and cuts a frame.
    int cut = -1;
    for (int i = 0; i < 20 && cut < 0; ++i) {
        append(false, 40);
        Dynkom_flush_eth(1);
        append(true, 40);
        Dynkom_flush_eth(0);
        for (int b : {0, 1})
            if (ch_->buf[b].sent > 0) cut = b;
    }
    ASSERT_GE(cut, 0) << "no send went out in part";
    // It reads again, and the other buffer's flush comes first.
    for (int i = 0; i < 50 && (ch_->buf[0].fill > 0 || ch_->buf[1].fill > 0); ++i) {
        read();
        Dynkom_flush_eth(cut == 0 ? 0 : 1);
        Dynkom_flush_eth(cut == 0 ? 1 : 0);
    }
    read();
    EXPECT_EQ(ch_->buf[0].fill, 0);
    EXPECT_EQ(ch_->buf[1].fill, 0);

    size_t pos = 0, frames = 0;
    for (; pos + 40 <= stream.size(); pos += 40, ++frames) {
        const DkHeader h = dk_decodeHeader(stream.data() + pos);
        const uint8_t* rec = stream.data() + pos + 8;
        uint32_t n;
        std::memcpy(&n, rec, 4);
        bool whole = h.pid == PEER && h.length == 32 && (h.handle == kOffline || h.handle == kOnline);
        for (uint32_t b = 4; b < 32; ++b) whole = whole && rec[b] == uint8_t(n * 7 + b);
        ASSERT_TRUE(whole) << "frame " << frames << " at byte " << pos << " of " << stream.size();
    }
    EXPECT_EQ(pos, stream.size());
    EXPECT_GT(frames, 80u);
    ch_->sock.store(-1);
    close(tx);
    close(rx);
    close(listener);
}
