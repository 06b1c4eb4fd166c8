// Fuzz target: an arbitrary byte stream from the routing suite, cut into arbitrary reads, through the
// northbound framing and message handling, with lldpd connected to a sink that acknowledges every
// request.
//
// Input layout: byte 0 selects the daemon flags (bit 0 frr_up, bit 1 warmboot, bits 2-3 the prefix
// limit); then repeated [read size 1..256][that many stream bytes].

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "daemon.h"

namespace {

// Reads lldpd requests (16-byte envelope with the length of the rest at offset 8) and answers each
// with 16 bytes, until the daemon side closes.
void lldpd_sink(int fd)
{
    uint8_t buf[65536];
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n <= 0)
            break;
        have += size_t(n);
        for (;;) {
            if (have < 16)
                break;
            uint64_t rest = 0;
            std::memcpy(&rest, buf + 8, 8);
            // Requests larger than the buffer are skipped in pieces.
            size_t total = size_t(16 + rest);
            if (total > have) {
                if (total <= sizeof buf)
                    break;
                size_t skip = total - have;
                while (skip > 0) {
                    ssize_t m = read(fd, buf, std::min(skip, sizeof buf));
                    if (m <= 0)
                        return;
                    skip -= size_t(m);
                }
                have = total;
            }
            static const uint8_t ack[16] = {};
            if (write(fd, ack, sizeof ack) != sizeof ack)
                return;
            std::memmove(buf, buf + total, have - total);
            have -= total;
        }
    }
}

void ignore_log(int, const char *) {}

struct harness {
    std::unique_ptr<daemon_config> owner = daemon_create();
    daemon_config *cfg = owner.get();
    int lldpd_peer = -1;

    harness()
    {
        log_hook = ignore_log;  // format every line, send none
        setlogmask(LOG_MASK(LOG_EMERG));
        active_cfg.store(cfg);
        cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
        cfg->lldpd_next_attempt = time(nullptr) + 1000000;  // never reconnect on its own
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        cfg->lldpd_fd.reset(sv[0]);
        lldpd_peer = sv[1];
        std::thread(lldpd_sink, lldpd_peer).detach();
    }
};

harness &get_harness()
{
    static harness *h = new harness;  // lives until the process ends, with its sink thread
    return *h;
}

int add_client(daemon_config *cfg, int *peer)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return -1;
    set_nonblocking(sv[0]);
    auto client = std::make_unique<nb_client>();
    client->fd.reset(sv[0]);
    if (client->input.resize(8192) != 0) {
        close(sv[1]);
        return -1;
    }
    cfg->nb_clients.push_back(std::move(client));
    *peer = sv[1];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    harness &h = get_harness();
    daemon_config *cfg = h.cfg;
    if (size == 0)
        return 0;
    static const size_t limits[] = {0, 10, 2000, 200000};
    cfg->frr_up = data[0] & 1;
    cfg->warmboot = data[0] & 2;
    cfg->max_prefix_limit = limits[(data[0] >> 2) & 3];
    cfg->limit_warned = false;
    cfg->lldpd_connected = true;
    data++;
    size--;

    int peer = -1;
    add_client(cfg, &peer);
    while (size > 0 && !cfg->nb_clients.empty()) {
        size_t chunk = std::min<size_t>(size_t(data[0]) + 1, size - 1);
        data++;
        size--;
        if (chunk == 0)
            break;
        if (write(peer, data, chunk) != ssize_t(chunk))
            break;
        data += chunk;
        size -= chunk;
        // One read per readiness, as the poll loop does, until this chunk is consumed.
        while (!cfg->nb_clients.empty()) {
            pollfd p{cfg->nb_clients.front()->fd.get(), POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
            tallowd_ipc_read(cfg, cfg->nb_clients.front().get());
        }
        run_timers(cfg);
    }
    close(peer);
    // The end of the stream: the peer's close runs the disconnect path.
    while (!cfg->nb_clients.empty())
        tallowd_ipc_read(cfg, cfg->nb_clients.front().get());
    vrf_remove_all(cfg);
    cfg->global_prefix_count = 0;
    cfg->warmboot = false;
    return 0;
}
