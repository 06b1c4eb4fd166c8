// Shared pieces of the daemon's fuzz targets: a quiet daemon context, an lldpd that acknowledges
// everything, VRFs laid out from the input, and the checks every target makes after an input.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "daemon.h"

namespace fuzz_support {

// Reads the fuzzer's input front to back; an exhausted input reads as zeros.
struct input {
    const uint8_t *data;
    size_t size;

    bool empty() const { return size == 0; }
    uint8_t u8()
    {
        if (size == 0)
            return 0;
        size--;
        return *data++;
    }
    uint16_t u16()
    {
        uint16_t hi = u8();
        return uint16_t(hi << 8 | u8());
    }
    // Up to n bytes, fewer when the input ends first.
    const uint8_t *bytes(size_t n, size_t &got)
    {
        got = std::min(n, size);
        const uint8_t *p = data;
        data += got;
        size -= got;
        return p;
    }
};

inline void ignore_log(int, const char *) {}

inline void print_log(int prio, const char *line)
{
    std::fprintf(stderr, "<%d> %s\n", prio, line);
}

// A daemon context that formats every line up to debug level (so a bad format is caught) and sends
// none to syslog. With TALLOWD_FUZZ_LOG set, the lines go to standard error, for reading what one
// input does.
inline daemon_config *quiet_daemon()
{
    log_hook = std::getenv("TALLOWD_FUZZ_LOG") ? print_log : ignore_log;
    setlogmask(LOG_MASK(LOG_EMERG));
    daemon_config *cfg = daemon_create().release();  // lives as long as the fuzzing process
    active_cfg.store(cfg);
    cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
    cfg->lldpd_next_attempt = time(nullptr) + 1000000;  // no reconnection of its own
    return cfg;
}

// Reads lldpd requests (16-byte envelope with the length of the rest at offset 8) and answers each
// with 16 bytes, until the daemon side closes.
inline void lldpd_sink(int fd)
{
    std::vector<uint8_t> storage(65536);
    uint8_t *buf = storage.data();
    const size_t buf_size = storage.size();
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, buf_size - have);
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
                if (total <= buf_size)
                    break;
                size_t skip = total - have;
                while (skip > 0) {
                    ssize_t m = read(fd, buf, std::min(skip, buf_size));
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

// Connects the daemon to a sink thread that lives until the process ends.
inline void connect_sink(daemon_config *cfg)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    cfg->lldpd_fd.reset(sv[0]);
    cfg->lldpd_connected = true;
    std::thread(lldpd_sink, sv[1]).detach();
}

// The quiet daemon of one fuzzing process, connected to a sink, made on first use.
inline daemon_config *sink_daemon()
{
    static daemon_config *cfg = [] {
        daemon_config *c = quiet_daemon();
        connect_sink(c);
        return c;
    }();
    return cfg;
}

// The n-th prefix a VRF gets from the input: IPv4 /24s and IPv6 /64s by turns, all distinct.
inline void nth_prefix(unsigned n, uint8_t &afi, uint8_t *addr, uint8_t &plen)
{
    std::memset(addr, 0, 16);
    if (n % 2 == 0) {
        afi = 4;
        plen = 24;
        addr[0] = 10;
        addr[1] = uint8_t(n >> 8);
        addr[2] = uint8_t(n);
    } else {
        afi = 6;
        plen = 64;
        addr[0] = 0x20;
        addr[1] = 0x01;
        addr[6] = uint8_t(n >> 8);
        addr[7] = uint8_t(n);
    }
}

inline const uint8_t zero_addr[16] = {};

// Adds count prefixes starting at the VRF's current count, and the two default routes when asked.
// The database's debug line per prefix is not formatted: the database is not under test here.
inline void add_prefixes(vrf_context *vrf, unsigned count, bool defaults, uint8_t w)
{
    daemon_config *cfg = active_cfg.load();
    int level = cfg->log_level;
    cfg->log_level = daemon_config::LOG_LEVEL_INFO;
    unsigned base = unsigned(vrf->db.count);
    for (unsigned i = 0; i < count; i++) {
        uint8_t afi, plen, addr[16];
        nth_prefix(base + i, afi, addr, plen);
        add_or_update(&vrf->db, afi, addr, plen, w, vrf->epoch);
    }
    if (defaults) {
        add_or_update(&vrf->db, 4, zero_addr, 0, 0, vrf->epoch);
        add_or_update(&vrf->db, 6, zero_addr, 0, 0, vrf->epoch);
    }
    cfg->log_level = level;
}

// Sets the VRF's interfaces: count small ifindexes taken from the input (0 to 7, so that some are
// real interfaces of the machine and some are not).
inline void set_intfs(vrf_context *vrf, input &in, unsigned count)
{
    if (vrf->intfs.resize(count) != 0)
        std::abort();
    for (unsigned i = 0; i < count; i++)
        vrf->intfs[i] = in.u8() % 8;
}

// A prefix count from one byte: mostly a few (0 to 31), sometimes enough for several frames (32 to 512).
inline unsigned prefix_count(uint8_t b)
{
    return b < 0xF0 ? b % 32 : 32u * (b - 0xEFu);
}

// Lays out 1 to 4 VRFs from the input. Per VRF: [interfaces 0-4 | dirty << 3 | defaults << 4 |
// withdrawn << 5][prefix count, see prefix_count][ifindex per interface][MTU the frames were built
// for, u16]. Frames are built as the daemon would have built them.
inline void setup_vrfs(daemon_config *cfg, input &in, unsigned nvrfs)
{
    // Laying out is not under test: its debug lines are not formatted.
    cfg->log_level = daemon_config::LOG_LEVEL_INFO;
    for (unsigned v = 0; v < nvrfs; v++) {
        uint8_t shape = in.u8();
        unsigned prefixes = prefix_count(in.u8());
        vrf_context *vrf = vrf_lookup_or_create(cfg, 100 + v);
        if (!vrf)
            std::abort();
        set_intfs(vrf, in, (shape & 7) % 5);
        add_prefixes(vrf, prefixes, shape & 0x10, (shape >> 5) & 1);
        build_blobs(vrf, default_mtu);
        uint16_t mtu = in.u16();
        if (mtu)
            vrf->mtu = mtu;
        vrf->dirty = (shape >> 3) & 1;
    }
    cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
}

// What holds after any input: the global count is the sum of the databases, and every database's
// list agrees with its counters.
inline void check_invariants(daemon_config *cfg)
{
    size_t total = 0;
    for (const auto &vrf : cfg->vrfs) {
        const prefix_db &db = vrf->db;
        size_t n = 0, v4 = 0, defaults = 0;
        for (const prefix_entry *e = db.head(); e; e = db.next(e)) {
            n++;
            v4 += e->afi == 4;
            defaults += e->plen == 0;
        }
        if (n != db.count || v4 != db.v4_count || defaults != db.default_count) {
            std::fprintf(stderr, "VRF %u: list holds %zu entries (%zu v4, %zu defaults), counters say %zu (%zu, %zu)\n",
                         vrf->vrf_id, n, v4, defaults, db.count, db.v4_count, db.default_count);
            std::abort();
        }
        if (vrf->blobs.blob_count > vrf->blobs.slot_capacity) {
            std::fprintf(stderr, "VRF %u: %u blobs in %u slots\n", vrf->vrf_id, unsigned(vrf->blobs.blob_count),
                         unsigned(vrf->blobs.slot_capacity));
            std::abort();
        }
        total += n;
    }
    if (total != cfg->limit.count) {
        std::fprintf(stderr, "global prefix count %zu, databases hold %zu\n", cfg->limit.count, total);
        std::abort();
    }
}

// Back to an empty daemon for the next input.
inline void reset(daemon_config *cfg)
{
    vrf_remove_all(cfg);
    cfg->limit.count = 0;
    cfg->limit.warned = false;
    cfg->warmboot = false;
    cfg->frr_up = false;
    cfg->vorsd_up = false;
}

}  // namespace fuzz_support
