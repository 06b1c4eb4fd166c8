// Ingest cost of a full resynchronisation: 200000 prefixes (half IPv4 /24, half IPv6 /64) as 400
// PREFIX_UPDATEs of 500 entries between SYNC_BEGIN and SYNC_END, read from a socket through the
// northbound framing and message handling, with lldpd disconnected (frames are built, not sent).
// Run by hand: build-bench/tallowd/ipc_bench

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "daemon.h"
#include "tallowd_proto.h"

namespace {

// Appends a message of len bytes with its header filled in; the message's bytes.
byte_span put_header(std::vector<uint8_t> &out, uint16_t len, uint8_t type, uint32_t vrf)
{
    size_t at = out.size();
    out.resize(at + len);
    tallowd_msg_hdr hdr{len, type, 0, vrf, 0};
    tallowd_msg_hdr_put(out.data() + at, len, &hdr);
    return byte_span(out).subspan(at);
}

std::vector<uint8_t> resync_stream(uint32_t vrf, uint32_t epoch, unsigned prefixes)
{
    std::vector<uint8_t> s;
    put_be32(put_header(s, TALLOWD_SYNC_BEGIN_LEN, TALLOWD_MSG_SYNC_BEGIN, vrf), TALLOWD_OFF_EPOCH, epoch);
    for (unsigned base = 0; base < prefixes; base += TALLOWD_MAX_PREFIXES) {
        byte_span msg =
            put_header(s, uint16_t(TALLOWD_PREFIX_UPDATE_LEN(TALLOWD_MAX_PREFIXES)), TALLOWD_MSG_PREFIX_UPDATE, vrf);
        put_be16(msg, TALLOWD_OFF_COUNT, uint16_t(TALLOWD_MAX_PREFIXES));
        for (unsigned i = 0; i < TALLOWD_MAX_PREFIXES; i++) {
            unsigned k = (base + i) / 2;
            tallowd_prefix p{};
            if ((base + i) % 2 == 0) {
                p = {4, 24, 0, 0, {uint8_t(10 + (k >> 16)), uint8_t(k >> 8), uint8_t(k)}};
            } else {
                p = {6, 64, 0, 0, {0x20, 0x01, 0x0d, 0xb8, uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)}};
            }
            put_bytes(msg, TALLOWD_OFF_ENTRIES + i * TALLOWD_PREFIX_LEN, &p, sizeof p);
        }
    }
    byte_span end = put_header(s, TALLOWD_SYNC_END_LEN, TALLOWD_MSG_SYNC_END, vrf);
    put_be32(end, TALLOWD_OFF_EPOCH, epoch);
    put_be32(end, TALLOWD_OFF_PREFIX_COUNT, prefixes);
    return s;
}

void BM_ResyncIngest(benchmark::State &state)
{
    setlogmask(LOG_MASK(LOG_EMERG));
    std::unique_ptr<daemon_config> owner = daemon_create();
    daemon_config *cfg = owner.get();
    active_cfg.store(cfg);
    cfg->limit.max = 200000;
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    set_nonblocking(sv[0]);
    auto client = std::make_unique<nb_client>();
    client->fd.reset(sv[0]);
    if (client->input.resize(8192) != 0) {
        state.SkipWithError("no memory");
        return;
    }
    nb_client *c = client.get();
    if (cfg->nb_clients.append(std::move(client)) != 0)
        std::abort();

    set_nonblocking(sv[1]);
    uint32_t epoch = 1;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<uint8_t> stream = resync_stream(5, epoch++, 200000);
        if (state.range(0) == 0)
            vrf_remove_all(cfg);  // into an empty VRF: every prefix is new
        uint64_t done = cfg->sync_ends + 1;
        state.ResumeTiming();
        size_t sent = 0;
        while (cfg->sync_ends < done) {
            if (sent < stream.size()) {
                ssize_t n = write(sv[1], stream.data() + sent, std::min<size_t>(stream.size() - sent, 64 << 10));
                if (n > 0)
                    sent += size_t(n);
            }
            tallowd_ipc_read(cfg, c);
        }
        state.counters["prefixes"] = double(cfg->vrfs.empty() ? 0 : cfg->vrfs[0]->db.count);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 200000);
    close(sv[1]);
    cfg->nb_clients.reset();
    vrf_remove_all(cfg);
    active_cfg.store(nullptr);
}
// Argument 0: into an empty VRF (all new keys); 1: a repeated resync (every key refreshed).
BENCHMARK(BM_ResyncIngest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
