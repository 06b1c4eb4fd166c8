// lldpd client against a fake lldpd on a socket pair or a listening socket: request bytes,
// sequence numbers, acknowledgements, lost connections and the push on connection.
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "test_support.h"

namespace {

using test_support::lines_with;
using test_support::logged;
using test_support::logged_prio;
using test_support::set_intfs;

using bytes = std::vector<uint8_t>;

bool read_exact(int fd, uint8_t *p, size_t n)
{
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// Reads whole requests from its end of the connection and answers each with 16 bytes, until the
// daemon side closes, or closes itself instead of answering request close_at (1-based).
struct fake_lldpd {
    int fd = -1;
    unsigned close_at = 0;
    std::vector<bytes> requests;
    std::thread thread;

    void start(int peer_fd)
    {
        fd = peer_fd;
        thread = std::thread([this] { serve(); });
    }
    void serve()
    {
        for (;;) {
            bytes req(16);
            if (!read_exact(fd, req.data(), 16))
                break;
            uint64_t len;
            std::memcpy(&len, req.data() + 8, 8);
            req.resize(16 + len);
            if (!read_exact(fd, req.data() + 16, len))
                break;
            requests.push_back(req);
            if (close_at && requests.size() == close_at)
                break;
            uint8_t ack[16] = {};
            if (send(fd, ack, sizeof ack, MSG_NOSIGNAL) != 16)
                break;
        }
        close(fd);
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
};

uint32_t host32(const bytes &b, size_t off)
{
    uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}
uint64_t host64(const bytes &b, size_t off)
{
    uint64_t v;
    std::memcpy(&v, b.data() + off, 8);
    return v;
}
uint32_t be32(const bytes &b, size_t off)
{
    return uint32_t(b[off]) << 24 | uint32_t(b[off + 1]) << 16 | uint32_t(b[off + 2]) << 8 | b[off + 3];
}
uint16_t be16(const bytes &b, size_t off) { return uint16_t(b[off] << 8 | b[off + 1]); }

// What every request starts with: the host-order envelope (type, 0, bytes that follow) and the
// interface, the first field of the big-endian header.
struct envelope {
    uint32_t type;
    uint64_t length;
    uint32_t ifindex;
};

// The requests, one row of the table each, in order.
void expect_envelopes(const std::vector<bytes> &reqs, std::initializer_list<envelope> want)
{
    ASSERT_EQ(reqs.size(), want.size());
    size_t r = 0;
    for (const envelope &e : want) {
        const bytes &q = reqs[r++];
        ASSERT_EQ(q.size(), 16u + e.length) << "request " << r;
        EXPECT_EQ(host32(q, 0), e.type) << "request " << r;
        EXPECT_EQ(host32(q, 4), 0u) << "request " << r;
        EXPECT_EQ(host64(q, 8), e.length) << "request " << r;
        EXPECT_EQ(be32(q, 16), e.ifindex) << "request " << r;
    }
}

void set_blobs(blob_set &set, std::initializer_list<uint16_t> lens)
{
    if (set.slots.resize(lens.size()) != 0)
        std::abort();
    set.slot_capacity = uint16_t(lens.size());
    uint16_t i = 0;
    for (uint16_t len : lens) {
        if (set.slots[i].data.resize(len ? len : 1) != 0)
            std::abort();
        std::memset(set.slots[i].data.data(), 0xA0 + i, len);
        set.slots[i].len = len;
        set.slot_size = std::max(set.slot_size, len);
        i++;
    }
    set.blob_count = i;
}

class LldpTest : public ::testing::Test {
protected:
    daemon_config cfg;
    fake_lldpd peer;

    void SetUp() override
    {
        test_support::capture_log();
    }
    void TearDown() override
    {
        lldpd_disconnect(&cfg);
        peer.join();
        log_hook = nullptr;
    }
    // Connects cfg to a fake lldpd over a socket pair, as lldpd_connect would.
    void connect_pair()
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        cfg.lldpd_fd.reset(sv[0]);
        cfg.lldpd_connected = true;
        peer.start(sv[1]);
    }
    // Ends the connection and waits for the fake lldpd to have read everything.
    const std::vector<bytes> &finish()
    {
        lldpd_disconnect(&cfg);
        peer.join();
        return peer.requests;
    }
    vrf_context *add_vrf(uint32_t id)
    {
        if (cfg.vrfs.append(std::make_unique<vrf_context>()) != 0)
            std::abort();
        cfg.vrfs.back()->vrf_id = id;
        return cfg.vrfs.back().get();
    }
};

TEST_F(LldpTest, ClearInterfaceIsOneEmptyType11RequestWithFlags13)
{
    connect_pair();
    tallowd_lldp_clear_interface(&cfg, 7);
    tallowd_lldp_clear_interface(&cfg, 0x01020304);
    EXPECT_TRUE(cfg.lldpd_connected);
    const auto &reqs = finish();
    ASSERT_EQ(reqs.size(), 2u);
    bytes expected = {11, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0,  // host order on x86-64
                      0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 13};
    EXPECT_EQ(reqs[0], expected);
    EXPECT_EQ(be32(reqs[1], 16), 0x01020304u);
    EXPECT_EQ(be32(reqs[1], 20), 2u);
    EXPECT_EQ(cfg.lldp_seq, 3u);
}

TEST_F(LldpTest, PeriodicPushSendsEveryBlobToEveryInterface)
{
    vrf_context *vrf = add_vrf(5);
    set_blobs(vrf->blobs, {1437, 1437, 20});
    set_intfs(*vrf, {3, 4});
    connect_pair();
    tallowd_lldp_push_periodic(&cfg, vrf, false);
    EXPECT_EQ(vrf->pushes, 1u);
    EXPECT_EQ(vrf->blobs_pushed, 6u);
    EXPECT_NE(cfg.last_push, 0);
    const auto &reqs = finish();
    expect_envelopes(reqs, {{11, 2916, 3}, {11, 2916, 4}});
    if (HasFatalFailure())
        return;
    for (size_t r = 0; r < 2; r++) {
        const bytes &q = reqs[r];
        EXPECT_EQ(be32(q, 20), uint32_t(r + 1));
        EXPECT_EQ(be16(q, 24), 3u);
        EXPECT_EQ(be16(q, 26), 0u);
        EXPECT_EQ(be16(q, 28), 3u);
        EXPECT_EQ(be16(q, 30), 5u);
        // Payload: each blob behind its big-endian length, in set order.
        size_t off = 32;
        for (uint16_t b = 0; b < 3; b++) {
            uint16_t len = vrf->blobs.slots[b].len;
            ASSERT_EQ(be16(q, off), len);
            EXPECT_EQ(bytes(q.begin() + long(off) + 2, q.begin() + long(off) + 2 + len), bytes(len, uint8_t(0xA0 + b)));
            off += 2 + len;
        }
        EXPECT_EQ(off, q.size());
    }
    EXPECT_EQ(lines_with("lldp: pushed 3 blobs to 2 interfaces (VRF 5)"), 1u);
}

TEST_F(LldpTest, PushWithoutBlobsClearsEachInterface)
{
    vrf_context *vrf = add_vrf(9);
    set_intfs(*vrf, {10, 11, 12});
    connect_pair();
    tallowd_lldp_push_periodic(&cfg, vrf, false);
    EXPECT_EQ(vrf->pushes, 1u);
    EXPECT_EQ(vrf->blobs_pushed, 0u);
    const auto &reqs = finish();
    expect_envelopes(reqs, {{11, 16, 10}, {11, 16, 11}, {11, 16, 12}});
    if (HasFatalFailure())
        return;
    for (const bytes &q : reqs)
        EXPECT_EQ(be16(q, 30), 13u);  // a clear is always flagged as triggered
    EXPECT_EQ(lines_with("lldp: cleared 3 interfaces (VRF 9, no prefixes)"), 1u);
}

TEST_F(LldpTest, ImmediateDeltaCarriesTheBlobAndTakesNoSequenceNumber)
{
    vrf_context *vrf = add_vrf(1);
    set_intfs(*vrf, {21, 22});
    connect_pair();
    bytes blob(45);
    for (size_t i = 0; i < blob.size(); i++)
        blob[i] = uint8_t(i);
    tallowd_lldp_push_immediate(&cfg, vrf, blob.data(), uint16_t(blob.size()));
    tallowd_lldp_clear_interface(&cfg, 21);
    EXPECT_EQ(vrf->pushes, 0u);
    EXPECT_EQ(cfg.last_push, 0);
    const auto &reqs = finish();
    expect_envelopes(reqs, {{12, 61, 21}, {12, 61, 22}, {11, 16, 21}});
    if (HasFatalFailure())
        return;
    for (size_t r = 0; r < 2; r++) {
        const bytes &q = reqs[r];
        EXPECT_EQ(bytes(q.begin() + 20, q.begin() + 32), bytes(12, 0));
        EXPECT_EQ(bytes(q.begin() + 32, q.end()), blob);
    }
    EXPECT_EQ(be32(reqs[2], 20), 1u);  // the first type-11 request still gets number 1
}

TEST_F(LldpTest, FlushSendsTheHeaderOnlyImmediateBlob)
{
    connect_pair();
    tallowd_lldp_flush_interface(&cfg, 8);
    const auto &reqs = finish();
    ASSERT_EQ(reqs.size(), 1u);
    bytes expected_blob = {0xFE, 0x05, 0x5A, 0x3C, 0x71, 0x00, 0x80};
    EXPECT_EQ(host64(reqs[0], 8), 16u + 7u);
    EXPECT_EQ(bytes(reqs[0].begin() + 32, reqs[0].end()), expected_blob);
}

TEST_F(LldpTest, SequenceNumberWrapsAt32Bits)
{
    cfg.lldp_seq = 0xFFFFFFFFu;
    connect_pair();
    tallowd_lldp_clear_interface(&cfg, 1);
    tallowd_lldp_clear_interface(&cfg, 1);
    const auto &reqs = finish();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(be32(reqs[0], 20), 0xFFFFFFFFu);
    EXPECT_EQ(be32(reqs[1], 20), 0u);
}

TEST_F(LldpTest, PushWhileDisconnectedWritesNothing)
{
    vrf_context *vrf = add_vrf(2);
    set_blobs(vrf->blobs, {7});
    set_intfs(*vrf, {1});
    tallowd_lldp_push_periodic(&cfg, vrf, true);
    bytes blob(7, 1);
    tallowd_lldp_push_immediate(&cfg, vrf, blob.data(), 7);
    tallowd_lldp_clear_interface(&cfg, 1);
    EXPECT_EQ(vrf->pushes, 0u);
    EXPECT_EQ(cfg.lldp_seq, 1u);
    EXPECT_EQ(lines_with("lldp: not connected, skipping periodic push VRF 2"), 0u);  // debug lines only
    for (size_t i = 0; i < logged.size(); i++)
        EXPECT_EQ(logged_prio[i], LOG_DEBUG) << logged[i];
}

struct lost_case {
    const char *name;
    bool immediate;
    unsigned close_at;
    const char *warning;
};

class LldpLostTest : public LldpTest, public ::testing::WithParamInterface<lost_case> {};

// lldpd goes away while the second of four interfaces is served: one warning, the rest skipped,
// no counter changes.
TEST_P(LldpLostTest, PeerClosingMidPushStopsTheLoop)
{
    const lost_case &c = GetParam();
    vrf_context *vrf = add_vrf(3);
    set_blobs(vrf->blobs, {100, 50});
    set_intfs(*vrf, {1, 2, 3, 4});
    peer.close_at = c.close_at;
    connect_pair();
    bytes blob(30, 0xEE);
    if (c.immediate)
        tallowd_lldp_push_immediate(&cfg, vrf, blob.data(), uint16_t(blob.size()));
    else
        tallowd_lldp_push_periodic(&cfg, vrf, true);
    EXPECT_FALSE(cfg.lldpd_connected);
    EXPECT_FALSE(cfg.lldpd_fd.valid());
    EXPECT_EQ(vrf->pushes, 0u);
    EXPECT_EQ(vrf->blobs_pushed, 0u);
    EXPECT_EQ(cfg.last_push, 0);
    peer.join();
    EXPECT_EQ(peer.requests.size(), c.close_at);
    EXPECT_EQ(lines_with(c.warning, LOG_WARNING), 1u);
    if (!c.immediate) {
        EXPECT_EQ(cfg.lldp_seq, 1u + c.close_at);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LldpLostTest,
                         ::testing::Values(lost_case{"periodic", false, 2, "lldp: ack read failed for ifindex 2: "},
                                           lost_case{"immediate", true, 2, "lldp: immediate ack failed for ifindex 2"}),
                         [](const auto &info) { return std::string(info.param.name); });

// Writing to an lldpd that has gone away fails with EPIPE; the test process does not ignore
// SIGPIPE, so a signal would end it.
TEST_F(LldpTest, WriteToVanishedPeerFailsWithoutSignal)
{
    vrf_context *vrf = add_vrf(4);
    set_blobs(vrf->blobs, {30});
    set_intfs(*vrf, {1, 2});
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    cfg.lldpd_fd.reset(sv[0]);
    cfg.lldpd_connected = true;
    tallowd_lldp_push_periodic(&cfg, vrf, false);
    EXPECT_FALSE(cfg.lldpd_connected);
    EXPECT_EQ(cfg.lldp_seq, 2u);  // the failed request still took its number
    EXPECT_EQ(vrf->pushes, 0u);
    EXPECT_EQ(lines_with("lldp: write failed for ifindex 1: Broken pipe", LOG_WARNING), 1u);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    cfg.lldpd_fd.reset(sv[0]);
    cfg.lldpd_connected = true;
    bytes blob(9, 1);
    tallowd_lldp_push_immediate(&cfg, vrf, blob.data(), uint16_t(blob.size()));
    EXPECT_FALSE(cfg.lldpd_connected);
    EXPECT_EQ(lines_with("lldp: immediate write failed for ifindex 1: Broken pipe", LOG_WARNING), 1u);
    EXPECT_EQ(lines_with("immediate write failed for ifindex 2"), 0u);
}

// A listening fake lldpd at a temporary path, served on its first accepted connection.
class LldpConnectTest : public LldpTest {
protected:
    std::string dir, path;
    int listen_fd = -1;
    std::thread acceptor;

    void SetUp() override
    {
        LldpTest::SetUp();
        char tmpl[] = "/tmp/lldp_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/lldpd.socket";
        cfg.lldpd_sock_path = path.c_str();
    }
    void TearDown() override
    {
        lldpd_disconnect(&cfg);
        if (acceptor.joinable())
            acceptor.join();
        if (listen_fd >= 0)
            close(listen_fd);
        unlink(path.c_str());
        rmdir(dir.c_str());
        LldpTest::TearDown();
    }
    void listen_and_serve()
    {
        listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listen_fd, 4), 0);
        acceptor = std::thread([this] {
            int fd = accept(listen_fd, nullptr, nullptr);
            if (fd >= 0) {
                peer.fd = fd;
                peer.serve();
            }
        });
    }
    const std::vector<bytes> &finish_connected()
    {
        lldpd_disconnect(&cfg);
        acceptor.join();
        return peer.requests;
    }
};

TEST_F(LldpConnectTest, NoListenerLeavesTheClientDisconnected)
{
    tallowd_lldp_init(&cfg);
    lldpd_connect(&cfg);
    EXPECT_FALSE(cfg.lldpd_connected);
    EXPECT_FALSE(cfg.lldpd_fd.valid());
    EXPECT_EQ(cfg.lldpd_reconnects, 0u);
}

TEST_F(LldpConnectTest, ConnectionPushesEveryVrfWithBlobsOrOwingAPush)
{
    vrf_context *with_blobs = add_vrf(1);
    set_blobs(with_blobs->blobs, {10});
    set_intfs(*with_blobs, {5, 6});
    vrf_context *idle = add_vrf(2);  // neither dirty nor blobs: not touched
    set_intfs(*idle, {7});
    vrf_context *owing_in_sync = add_vrf(3);  // inside a sync: its cached frames go out as they are
    set_blobs(owing_in_sync->blobs, {20});
    set_intfs(*owing_in_sync, {8});
    owing_in_sync->dirty = 1;
    owing_in_sync->in_sync = 1;
    owing_in_sync->holddown_pending = 1;

    listen_and_serve();
    lldpd_connect(&cfg);
    ASSERT_TRUE(cfg.lldpd_connected);
    EXPECT_EQ(cfg.lldpd_reconnects, 1u);
    EXPECT_EQ(owing_in_sync->dirty, 0);
    EXPECT_EQ(owing_in_sync->holddown_pending, 0);  // a push that settles the debt also disarms the holddown
    EXPECT_EQ(with_blobs->pushes, 1u);
    EXPECT_EQ(idle->pushes, 0u);
    const auto &reqs = finish_connected();
    ASSERT_EQ(reqs.size(), 3u);
    std::vector<uint32_t> ifs;
    for (const auto &q : reqs) {
        ifs.push_back(be32(q, 16));
        EXPECT_EQ(be16(q, 30), 13u);
    }
    EXPECT_EQ(ifs, (std::vector<uint32_t>{5, 6, 8}));
}

TEST_F(LldpConnectTest, DirtyVrfIsRebuiltBeforeTheConnectionPush)
{
    vrf_context *vrf = add_vrf(4);
    set_intfs(*vrf, {9});
    uint8_t addr[16] = {10};
    ASSERT_EQ(add_or_update(&vrf->db, 4, addr, 8, 0, 0), 1);
    vrf->dirty = 1;  // the database changed while lldpd was away; blobs are stale (none)
    vrf->holddown_pending = 1;

    listen_and_serve();
    lldpd_connect(&cfg);
    ASSERT_TRUE(cfg.lldpd_connected);
    EXPECT_EQ(vrf->dirty, 0);
    EXPECT_EQ(vrf->holddown_pending, 0);
    const auto &reqs = finish_connected();
    ASSERT_EQ(reqs.size(), 1u);
    ASSERT_EQ(be16(reqs[0], 24), 1u);
    // blob: length, control TLV, then the 10.0.0.0/8 prefix TLV
    bytes expected_blob = {0xFE, 0x05, 0x5A, 0x3C, 0x71, 0x00, 0x81, 0xFE, 0x0B, 0x5A, 0x3C,
                           0x71, 0x01, 0x08, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
    EXPECT_EQ(be16(reqs[0], 32), expected_blob.size());
    EXPECT_EQ(bytes(reqs[0].begin() + 34, reqs[0].end()), expected_blob);
    vrf_remove_all(&cfg);
}

TEST_F(LldpConnectTest, VrfsWhosePushWasLostStillOweIt)
{
    vrf_context *a = add_vrf(1);
    set_blobs(a->blobs, {10});
    set_intfs(*a, {1, 2});
    a->dirty = 1;
    a->in_sync = 1;  // keeps its cached blobs: nothing to rebuild
    vrf_context *b = add_vrf(2);
    set_blobs(b->blobs, {10});
    set_intfs(*b, {3});
    b->dirty = 1;
    b->in_sync = 1;
    peer.close_at = 2;

    listen_and_serve();
    lldpd_connect(&cfg);
    EXPECT_FALSE(cfg.lldpd_connected);
    EXPECT_EQ(a->dirty, 1);
    EXPECT_EQ(b->dirty, 1);
    const auto &reqs = finish_connected();
    EXPECT_EQ(reqs.size(), 2u);  // b was never tried: the connection was gone
}

}  // namespace
