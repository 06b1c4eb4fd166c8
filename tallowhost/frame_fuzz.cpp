// Fuzz target: LLDP frames from neighbours through the parser, set assembly and steering of three
// uplinks, with the invariants between what the uplinks declare and the routes checked after each
// frame.
//
// Input layout: repeated [control byte][length, 2 bytes big-endian][frame]. Control bits 0-1 pick
// the uplink (3 wraps to 0), bit 2 advances the clock by a minute first (expiring neighbours whose
// TTL ran out), the other bits are ignored.
// The third uplink has no IPv6 next hop.

#include <syslog.h>

#include <algorithm>
#include <cstdlib>

#include "tallowhost.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void steer_all(host_config *cfg, size_t i, std::vector<host_prefix> &changed)
{
    std::sort(changed.begin(), changed.end());
    std::vector<route_change> out;
    tallowhost_steer(cfg, i, changed, out);
    changed.clear();
}

void check_invariants(const host_config &cfg)
{
    size_t declared_total = 0;
    for (size_t i = 0; i < cfg.uplinks.size(); i++) {
        const neighbour &nb = cfg.uplinks[i].nb;
        check(std::is_sorted(nb.declared.begin(), nb.declared.end()));
        check(std::adjacent_find(nb.declared.begin(), nb.declared.end()) == nb.declared.end());
        for (const host_prefix &p : nb.declared) {
            check(p.plen <= (p.family == 4 ? 32 : 128) && masked(p, p.plen) == p);
            auto it = cfg.routes.find(p);
            check(it != cfg.routes.end() && (it->second.declared_by >> i & 1));
        }
        declared_total += nb.declared.size();
    }
    for (const auto &[p, r] : cfg.routes) {
        check(r.installed && !r.dirty && r.declared_by != 0);
        check(r.reach == reach_mask(&cfg, p));
    }
    check(cfg.routes.size() <= declared_total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = [] {
        setlogmask(LOG_MASK(LOG_EMERG));  // the agent never logs at this priority
        return true;
    }();
    (void)quiet;

    host_config cfg;
    for (const char *name : {"up0", "up1", "up2"}) {
        uplink up;
        up.name = name;
        up.has_v4 = true;
        up.has_v6 = cfg.uplinks.size() < 2;
        cfg.uplinks.push_back(std::move(up));
    }
    int64_t now = 1000;
    std::span<const uint8_t> in(data, size);
    std::vector<host_prefix> changed;
    while (in.size() >= 3) {
        const uint8_t control = in[0];
        const size_t len = std::min<size_t>(size_t(in[1]) << 8 | in[2], in.size() - 3);
        std::span<const uint8_t> frame = in.subspan(3, len);
        in = in.subspan(3 + len);
        const size_t i = (control & 3) % 3;
        uplink &up = cfg.uplinks[i];
        if (control & 4) {
            now += 60000;
            for (size_t k = 0; k < cfg.uplinks.size(); k++) {
                if (cfg.uplinks[k].nb.known && now >= cfg.uplinks[k].nb.expires_ms) {
                    forget_neighbour(&cfg, &cfg.uplinks[k], "TTL expired", changed);
                    steer_all(&cfg, k, changed);
                }
            }
        }
        parsed_frame f;
        frame_error e = tallowhost_parse_frame(frame, f);
        if (e != frame_error::none) {
            note_hostile(&cfg, &up, e, now);
            continue;
        }
        tallowhost_apply_frame(&cfg, &up, f, now, changed);
        steer_all(&cfg, i, changed);
        check_invariants(cfg);
    }
    return 0;
}
