// The send side without a network: the send schedule, the senders, the two-half buffers and the
// DK frame bytes, over a socket pair that stands in for a peer's data link.
#include "test_net_fixture.h"

#include "msdcom/sernet_man.h"

#include <cstring>
#include <map>
#include <sys/socket.h>
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
