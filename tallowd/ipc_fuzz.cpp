// Fuzz target: an arbitrary byte stream from the routing suite, cut into arbitrary reads, through the
// northbound framing and message handling, with lldpd connected to a sink that acknowledges every
// request.
//
// Input layout: byte 0 selects the daemon flags (bit 0 frr_up, bit 1 warmboot, bits 2-3 the prefix
// limit); then repeated [read size 1..256][that many stream bytes].

#include <poll.h>

#include <cstdlib>

#include "fuzz_support.h"

namespace {

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
    if (cfg->nb_clients.append(std::move(client)) != 0)
        std::abort();
    *peer = sv[1];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemon_config *cfg = fuzz_support::sink_daemon();
    if (size == 0)
        return 0;
    static const size_t limits[] = {0, 10, 2000, 200000};
    cfg->frr_up = data[0] & 1;
    cfg->warmboot = data[0] & 2;
    cfg->limit.max = limits[(data[0] >> 2) & 3];
    cfg->limit.warned = false;
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
    fuzz_support::check_invariants(cfg);
    fuzz_support::reset(cfg);
    return 0;
}
