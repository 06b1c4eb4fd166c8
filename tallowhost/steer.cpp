// Steering: for every prefix of the agent's table, what the kernel should hold. An uplink's own
// subnets are throw routes, so that the main table answers for them; a declared prefix goes through
// the uplinks that are up, have an on-link gateway of its family and do not declare it or a prefix
// covering it, or is unreachable when none is left; a route adopted from a previous run stays as it
// is until it is confirmed or the adoption ends.

#include <algorithm>
#include <iterator>

#include "tallowhost.h"

namespace {

size_t family_index(const host_prefix &p)
{
    return p.family == 4 ? 0 : 1;
}

void refresh_lengths(uplink &up)
{
    for (size_t fam = 0; fam < 2; fam++) {
        up.lengths[fam].clear();
        for (unsigned l = 0; l <= 128; l++)
            if (up.len_count[fam][l])
                up.lengths[fam].push_back(uint8_t(l));
    }
}

// Brings one entry's route in line with what it should be; true when the entry can go.
bool settle(host_config *cfg, std::map<host_prefix, route_state>::iterator it, std::vector<route_change> &out)
{
    route_state &r = it->second;
    const host_prefix &p = it->first;
    if (r.connected || r.declared_by) {
        r.adopted = false;
        const bool thrown = r.connected;
        const uint32_t reach = thrown ? 0 : reach_mask(cfg, p);
        if (r.installed && r.thrown == thrown && (thrown || r.reach == reach))
            return false;
        out.push_back(route_change{p, false, thrown, reach});
        cfg->installed += !r.installed;
        r.installed = true;
        r.thrown = thrown;
        r.reach = reach;
        return false;
    }
    if (r.adopted && cfg->adopting)
        return false;  // what a previous run installed waits for its confirmation
    if (r.installed) {
        out.push_back(route_change{p, true, false, 0});
        cfg->installed--;
    }
    return true;
}

}  // namespace

bool uplink_usable(const uplink &up, uint8_t family)
{
    return up.link_up && (family == 4 ? up.has_v4 && up.gw4_onlink : up.has_v6 && up.gw6_onlink);
}

bool uplink_declares(const uplink &, size_t index, const route_state &r)
{
    return (r.declared_by >> index) & 1;
}

bool declares_covering(const host_config *cfg, size_t uplink_index, const host_prefix &p)
{
    const uplink &up = cfg->uplinks[uplink_index];
    for (uint8_t l : up.lengths[family_index(p)]) {
        if (l > p.plen)
            break;
        auto it = cfg->routes.find(l == p.plen ? p : masked(p, l));
        if (it != cfg->routes.end() && uplink_declares(up, uplink_index, it->second))
            return true;
    }
    return false;
}

uint32_t reach_mask(const host_config *cfg, const host_prefix &p)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++)
        if (uplink_usable(cfg->uplinks[i], p.family) && !declares_covering(cfg, i, p))
            mask |= 1u << i;
    return mask;
}

void tallowhost_steer(host_config *cfg, size_t uplink_index, const std::vector<declaration> &changed,
                      std::vector<route_change> &out)
{
    uplink &up = cfg->uplinks[uplink_index];
    const uint32_t bit = 1u << uplink_index;
    auto &routes = cfg->routes;
    std::vector<std::map<host_prefix, route_state>::iterator> dirty;

    // `changed` is sorted: the place of one prefix is usually right after the previous one, which
    // makes a whole new set one pass over the map instead of a search per prefix.
    auto hint = routes.end();
    bool hint_valid = false;
    for (const declaration &d : changed) {
        const host_prefix &c = d.prefix;
        auto it = hint;
        if (!hint_valid || (it != routes.end() && it->first < c) ||
            (it != routes.begin() && !(std::prev(it)->first < c)))
            it = routes.lower_bound(c);
        if (it == routes.end() || it->first != c) {
            hint = it;
            hint_valid = true;
            if (!d.declared)
                continue;  // declared by nobody before or now; what it covers did not change
            it = routes.emplace_hint(it, c, route_state{});
        }
        hint = std::next(it);
        route_state &r = it->second;
        uint32_t &count = up.len_count[family_index(c)][c.plen];
        if (d.declared && !(r.declared_by & bit)) {
            r.declared_by |= bit;
            count++;
            up.declared++;
        } else if (!d.declared && (r.declared_by & bit)) {
            r.declared_by &= ~bit;
            count--;
            up.declared--;
        } else {
            continue;
        }
        // The prefix itself and every prefix inside it follow it in the map.
        for (; it != routes.end() && it->first.family == c.family && masked(it->first, c.plen) == c; ++it) {
            if (!it->second.dirty) {
                it->second.dirty = true;
                dirty.push_back(it);
            }
        }
    }
    refresh_lengths(up);
    for (auto it : dirty) {
        it->second.dirty = false;
        if (settle(cfg, it, out))
            routes.erase(it);
    }
}

void tallowhost_steer_all(host_config *cfg, std::vector<route_change> &out)
{
    for (auto it = cfg->routes.begin(); it != cfg->routes.end();)
        it = settle(cfg, it, out) ? cfg->routes.erase(it) : std::next(it);
}

void tallowhost_set_connected(host_config *cfg, std::vector<route_change> &out)
{
    std::vector<host_prefix> want;
    for (const uplink &up : cfg->uplinks)
        want.insert(want.end(), up.connected.begin(), up.connected.end());
    // Link-local IPv6 destinations are always on a link.
    host_prefix ll;
    ll.family = 6;
    ll.addr[0] = 0xfe;
    ll.addr[1] = 0x80;
    ll.plen = 64;
    want.push_back(ll);
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    for (auto it = cfg->routes.begin(); it != cfg->routes.end();) {
        if (it->second.connected && !std::binary_search(want.begin(), want.end(), it->first)) {
            it->second.connected = false;
            if (settle(cfg, it, out)) {
                it = cfg->routes.erase(it);
                continue;
            }
        }
        ++it;
    }
    for (const host_prefix &p : want) {
        auto it = cfg->routes.try_emplace(p).first;
        if (!it->second.connected) {
            it->second.connected = true;
            settle(cfg, it, out);
        }
    }
}
