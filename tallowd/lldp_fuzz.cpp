// Fuzz target: the lldpd client against an lldpd that answers each request with arbitrary bytes, too
// few or too many, arriving in pieces that the daemon reads one at a time, and that shuts its sending
// side or closes the connection after any answer. The daemon connects, pushes, clears, flushes and
// reconnects as the input says; the peer checks every request it receives.
//
// The peer runs on a thread of its own and takes the scripted answers in order, one per request. An
// answer that leaves the daemon waiting for more ends with the peer shutting its sending side: the
// daemon then sees the end of the stream at once instead of its 5-second time-out, which it handles
// the same way.
//
// Input layout: [VRF count - 1 (bits 0-1) | connect first (bit 2)][VRFs, see setup_vrfs], then events:
//   [op & 7 = 0 | pieces (bits 3-5) | end (bits 6-7: 1 shut down, 2 close)][length, bytes]... an answer
//   [op & 7 = 1] connect, when not connected
//   [op & 7 = 2 | trigger (bit 3)][VRF] periodic push
//   [op & 7 = 3][VRF][length][bytes] immediate push of those bytes
//   [op & 7 = 4][ifindex] clear an interface
//   [op & 7 = 5][ifindex] flush an interface
//   [op & 7 = 6] disconnect
//   [op & 7 = 7 | dirty (bit 3) | defaults (bit 4)][VRF][count] prefixes arrive and frames are rebuilt

#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/un.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr size_t ack_len = 16;

struct answer {
    std::vector<std::vector<uint8_t>> pieces;
    int end = 0;  // 0 stays open, 1 shuts down the peer's sending side, 2 closes
};

struct peer_state {
    int listen_fd = -1;
    std::string dir;
    std::string path;
    std::mutex lock;             // held by the peer from taking in a request until it has answered
    std::deque<answer> answers;  // not yet used, in request order; guarded by lock
    std::atomic<uint64_t> served{0};  // connections the peer has finished with
    uint32_t last_seq = 0;            // sequence number of the last type-11 request seen
};

peer_state peer;

void fail(const char *what)
{
    std::fprintf(stderr, "lldp fuzz: %s\n", what);
    std::abort();
}

bool read_exact(int fd, uint8_t *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool write_exact(int fd, const uint8_t *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

uint16_t be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Checks one complete request: envelope, header and payload as lldpd parses them.
void check_request(uint32_t type, const std::vector<uint8_t> &body)
{
    const uint8_t *hdr = body.data();
    if (type == 11) {
        uint16_t count = be16(hdr + 8);
        if (be16(hdr + 12) != count || be16(hdr + 10) != 0)
            fail("type-11 blob counts disagree");
        uint16_t flags = be16(hdr + 14);
        if (flags != 5 && flags != 13)
            fail("type-11 flags");
        uint32_t seq = be32(hdr + 4);
        if (int32_t(seq - peer.last_seq) <= 0)
            fail("type-11 sequence number did not increase");
        peer.last_seq = seq;
        size_t off = 16;
        for (uint16_t i = 0; i < count; i++) {
            if (body.size() - off < 2)
                fail("type-11 payload ends inside a blob length");
            size_t len = be16(body.data() + off);
            if (body.size() - off - 2 < len)
                fail("type-11 payload ends inside a blob");
            off += 2 + len;
        }
        if (off != body.size())
            fail("type-11 payload longer than its blobs");
    } else if (type == 12) {
        for (size_t i = 4; i < 16; i++)
            if (hdr[i] != 0)
                fail("type-12 header not zero after the ifindex");
    } else {
        fail("unknown request type");
    }
}

// Waits until the daemon has read everything the peer sent; gives up after 5 seconds (the daemon's
// own time-out) or when the daemon has gone.
void wait_consumed(int fd)
{
    timespec start = monotonic_now();
    for (;;) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0)
            return;
        pollfd p{fd, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP)))
            return;
        timespec now = monotonic_now();
        if (ms_elapsed(now, start) > 5000)
            return;
        sched_yield();
    }
}

// Serves one connection until the daemon closes it or the peer's answer closes it.
void serve(int fd)
{
    bool answering = true;  // false once the peer has shut down its side: requests are drained only
    size_t queued = 0;      // bytes sent that the daemon has not yet taken as acknowledgements
    std::vector<uint8_t> body;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return;
        std::lock_guard<std::mutex> guard(peer.lock);
        uint8_t env[16];
        if (!read_exact(fd, env, sizeof env))
            return;
        uint32_t type, zero;
        uint64_t rest;
        std::memcpy(&type, env, 4);
        std::memcpy(&zero, env + 4, 4);
        std::memcpy(&rest, env + 8, 8);
        if (zero != 0 || rest < 16 || rest > (64u << 20))
            fail("bad envelope");
        body.resize(size_t(rest));
        if (!read_exact(fd, body.data(), body.size()))
            return;  // the daemon gave up inside a request
        check_request(type, body);
        if (!answering)
            continue;

        answer a;
        if (peer.answers.empty()) {
            a.pieces.emplace_back(ack_len, 0);
        } else {
            a = std::move(peer.answers.front());
            peer.answers.pop_front();
        }
        for (size_t i = 0; i < a.pieces.size(); i++) {
            const auto &piece = a.pieces[i];
            if (!piece.empty() && !write_exact(fd, piece.data(), piece.size()))
                return;
            queued += piece.size();
            // While the daemon still waits for its acknowledgement it takes in every byte sent, so
            // the next piece arrives in a read of its own.
            if (i + 1 < a.pieces.size() && queued < ack_len)
                wait_consumed(fd);
        }
        if (queued >= ack_len)
            queued -= ack_len;
        else if (a.end == 0)
            a.end = 1;  // the daemon would wait for the rest: let it see the end of the stream
        if (a.end == 1) {
            shutdown(fd, SHUT_WR);
            answering = false;
        } else if (a.end == 2) {
            return;
        }
    }
}

void peer_main()
{
    for (;;) {
        int fd = accept4(peer.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve(fd);
        close(fd);
        peer.served++;
    }
}

void remove_socket()
{
    unlink(peer.path.c_str());
    rmdir(peer.dir.c_str());
}

daemon_config *daemon()
{
    static daemon_config *cfg = [] {
        char dir[] = "/tmp/tallowd-lldp-fuzz-XXXXXX";
        if (!mkdtemp(dir))
            std::abort();
        peer.dir = dir;
        peer.path = peer.dir + "/lldpd.socket";
        peer.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, peer.path.c_str(), sizeof addr.sun_path - 1);
        if (peer.listen_fd < 0 || bind(peer.listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(peer.listen_fd, 16) != 0)
            std::abort();
        std::atexit(remove_socket);
        std::thread(peer_main).detach();
        daemon_config *c = fuzz_support::quiet_daemon();
        c->lldpd_sock_path = peer.path.c_str();
        return c;
    }();
    return cfg;
}

// Returns once the peer has taken in every request the daemon sent and answered it.
void settle(daemon_config *cfg)
{
    for (;;) {
        if (!cfg->lldpd_connected)
            return;
        {
            std::lock_guard<std::mutex> guard(peer.lock);
            int queued = 0;
            if (ioctl(cfg->lldpd_fd.get(), SIOCOUTQ, &queued) != 0 || queued == 0)
                return;
        }
        sched_yield();
    }
}

void add_answer(fuzz_support::input &in, uint8_t op)
{
    answer a;
    unsigned pieces = (op >> 3) & 7;
    for (unsigned i = 0; i < pieces; i++) {
        size_t got = 0;
        const uint8_t *bytes = in.bytes(in.u8() % 40, got);
        a.pieces.emplace_back(bytes, bytes + got);
    }
    a.end = (op >> 6) % 3;
    std::lock_guard<std::mutex> guard(peer.lock);
    peer.answers.push_back(std::move(a));
}

vrf_context *pick_vrf(daemon_config *cfg, uint8_t b)
{
    return cfg->vrfs[b % cfg->vrfs.size()].get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemon_config *cfg = daemon();
    fuzz_support::input in{data, size};
    uint8_t flags = in.u8();
    fuzz_support::setup_vrfs(cfg, in, (flags & 3) + 1);
    if (flags & 4) {
        lldpd_connect(cfg);
        settle(cfg);
    }

    for (unsigned events = 0; !in.empty() && events < 64; events++) {
        uint8_t op = in.u8();
        switch (op & 7) {
        case 0:
            add_answer(in, op);
            break;
        case 1:
            if (!cfg->lldpd_connected)
                lldpd_connect(cfg);
            break;
        case 2:
            tallowd_lldp_push_periodic(cfg, pick_vrf(cfg, in.u8()), op & 8);
            break;
        case 3: {
            vrf_context *vrf = pick_vrf(cfg, in.u8());
            size_t got = 0;
            const uint8_t *bytes = in.bytes(in.u8(), got);
            std::vector<uint8_t> blob(bytes, bytes + got);
            tallowd_lldp_push_immediate(cfg, vrf, blob.data(), uint16_t(blob.size()));
            break;
        }
        case 4:
            tallowd_lldp_clear_interface(cfg, in.u8());
            break;
        case 5:
            tallowd_lldp_flush_interface(cfg, in.u8());
            break;
        case 6:
            lldpd_disconnect(cfg);
            break;
        case 7: {
            vrf_context *vrf = pick_vrf(cfg, in.u8());
            fuzz_support::add_prefixes(vrf, fuzz_support::prefix_count(in.u8()), op & 0x10, 0);
            build_blobs(vrf, default_mtu);
            vrf->dirty = (op >> 3) & 1;
            break;
        }
        }
        settle(cfg);
        if (cfg->lldpd_connected != cfg->lldpd_fd.valid())
            fail("connection flag and descriptor disagree");
    }

    // Back to a disconnected daemon whose every connection the peer has finished with.
    lldpd_disconnect(cfg);
    while (peer.served.load() < cfg->lldpd_reconnects)
        sched_yield();
    {
        std::lock_guard<std::mutex> guard(peer.lock);
        peer.answers.clear();
    }
    fuzz_support::check_invariants(cfg);
    fuzz_support::reset(cfg);
    return 0;
}
