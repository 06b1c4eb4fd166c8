// Fuzz target: LLDP frames from neighbours through the parser, set assembly and steering of three
// uplinks, with the invariants between what the uplinks declare and the routes checked after each
// frame.
//
// Input layout: repeated [control byte][length, 2 bytes big-endian][frame]. Control bits 0-1 pick
// the uplink (3 wraps to 0), bit 2 advances the clock by a minute first (expiring neighbours whose
// TTL ran out), bit 3 sets the uplink's link down or up again (a link down while another is up
// declares 0.0.0.0/0 and ::/0), bit 4 advances the clock by 400 ms (the deltas' guard windows end
// on the way), bit 5 leaves the frame's prefixes undecoded as the agent does, the other bits are
// ignored. The prefix cap is small so that the caps
// are reached.
// The third uplink has no IPv6 next hop.

#include <syslog.h>

#include <algorithm>
#include <cstdlib>

#include <set>

#include "tallowhost.h"

namespace {

constexpr size_t fuzz_cap = 64;  // small, so that inputs reach the caps

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void steer(host_config *cfg, size_t i, std::vector<declaration> &changed)
{
    check(std::is_sorted(changed.begin(), changed.end()));
    std::vector<route_change> out;
    tallowhost_steer(cfg, i, changed, out);
    changed.clear();
}

bool everything(const host_prefix &p)
{
    return p.plen == 0;
}

void check_invariants(const host_config &cfg)
{
    bool any_up = false;
    for (const uplink &up : cfg.uplinks)
        any_up = any_up || up.link_up;
    for (size_t i = 0; i < cfg.uplinks.size(); i++) {
        const uplink &up = cfg.uplinks[i];
        size_t held = 0, held_open = 0;
        check(up.neighbours.size() <= max_neighbours);
        for (const neighbour &nb : up.neighbours) {
            for (const host_prefix &p : nb.declared) {
                check(p.plen <= (p.family == 4 ? 32 : 128) && masked(p, p.plen) == p);
                auto it = cfg.routes.find(p);
                check(it != cfg.routes.end() && uplink_declares(up, i, it->second));
            }
            held += nb.declared.size();
            held_open += nb.partial_members;
            // The last whole set, decoded again: its size, and what deltas and guards changed since.
            if (nb.set_unique) {
                std::vector<frame_prefix> last;
                tallowhost_decode_body(nb.set_bytes, last);
                std::set<host_prefix> members;
                for (const frame_prefix &fp : last)
                    if (!fp.withdrawn)
                        members.insert(fp.prefix);
                check(members.size() == nb.set_members);
                for (const host_prefix &p : members)
                    check(nb.declared.count(p) != nb.off_set.count(p));
                for (const host_prefix &p : nb.declared)
                    check(members.count(p) || nb.off_set.count(p));
                for (const host_prefix &p : nb.off_set)
                    check(members.count(p) != nb.declared.count(p));
            }
        }
        check(held == up.held && held <= cfg.max_prefixes);
        check(held_open == up.held_open && held_open <= cfg.max_prefixes);
        check(up.down_implied == (!up.link_up && any_up));
        size_t declared = 0;
        for (const auto &[p, r] : cfg.routes) {
            if (!uplink_declares(up, i, r))
                continue;
            declared++;
            bool someone = up.down_implied && everything(p);
            for (const neighbour &nb : up.neighbours)
                someone = someone || nb.declared.count(p);
            check(someone);
        }
        check(declared == up.declared);
    }
    for (const auto &[p, r] : cfg.routes) {
        check(r.installed && !r.dirty && r.declared_by != 0);
        check(r.reach == reach_mask(&cfg, p));
        check(r.thrown == (r.reach == 0 && left_to_main(&cfg, p)));
    }
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
    cfg.max_prefixes = fuzz_cap;
    for (const char *name : {"up0", "up1", "up2"}) {
        uplink up;
        up.name = name;
        up.has_v4 = true;
        up.has_v6 = cfg.uplinks.size() < 2;
        up.link_up = up.gw4_onlink = up.gw6_onlink = true;
        cfg.uplinks.push_back(std::move(up));
    }
    int64_t now = 1000;
    std::span<const uint8_t> in(data, size);
    std::vector<declaration> changed;
    while (in.size() >= 3) {
        const uint8_t control = in[0];
        const size_t len = std::min<size_t>(size_t(in[1]) << 8 | in[2], in.size() - 3);
        std::span<const uint8_t> frame = in.subspan(3, len);
        in = in.subspan(3 + len);
        const size_t i = (control & 3) % 3;
        uplink &up = cfg.uplinks[i];
        if (control & 20) {
            now += control & 4 ? 60000 : 400;
            for (size_t k = 0; k < cfg.uplinks.size(); k++) {
                tallowhost_end_guards(&cfg, &cfg.uplinks[k], now, changed);
                steer(&cfg, k, changed);
            }
            for (size_t k = 0; k < cfg.uplinks.size(); k++) {
                for (size_t n = cfg.uplinks[k].neighbours.size(); n-- > 0;) {
                    if (now >= cfg.uplinks[k].neighbours[n].expires_ms) {
                        forget_neighbour(&cfg, &cfg.uplinks[k], long(n), "TTL expired", changed);
                        steer(&cfg, k, changed);
                    }
                }
            }
        }
        if (control & 8) {
            // The link goes down or comes back.
            up.link_up = !up.link_up;
            if (!up.link_up) {
                forget_neighbour(&cfg, &up, -1, "link down", changed);
                steer(&cfg, i, changed);
            }
            std::vector<route_change> out;
            tallowhost_sync_down_uplinks(&cfg, out);
            tallowhost_steer_all(&cfg, out);
        }
        parsed_frame f;
        frame_error e = control & 32 ? tallowhost_scan_frame(frame, f) : tallowhost_parse_frame(frame, f);
        if (e != frame_error::none) {
            note_hostile(&cfg, &up, e, now);
            continue;
        }
        if (up.link_up) {
            tallowhost_apply_frame(&cfg, &up, f, now, changed);
            steer(&cfg, i, changed);
        }
        check_invariants(cfg);
    }
    return 0;
}
