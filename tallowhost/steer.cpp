// Steering: for every prefix of the agent's table, what the kernel should hold. An uplink's own
// subnets and a gateway outside them are throw routes, so that the main table answers for them; a
// declared prefix goes through the uplinks that are up, have an on-link gateway for its family and do
// not declare it or a prefix covering it; when none is left it is unreachable, unless an uplink that
// is up and declares nothing of it has no next hop for the family: then the main table answers, as
// it would without the agent. A route adopted from a previous run stays as it is until it is
// confirmed or the adoption ends. An uplink that is down while another is up declares 0.0.0.0/0 and
// ::/0.

#include <algorithm>
#include <cstring>
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
        uint32_t reach = r.connected ? 0 : reach_mask(cfg, p);
        const bool thrown = r.connected || (reach == 0 && left_to_main(cfg, p));
        if (thrown)
            reach = 0;
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

bool uplink_v4_via_v6(const uplink &up)
{
    return !up.has_v4 && up.has_v6;
}

bool uplink_usable(const uplink &up, uint8_t family)
{
    if (!up.link_up || ((family == 6 || uplink_v4_via_v6(up)) && up.ipv6_disabled))
        return false;
    if (family == 4)
        return up.has_v4 ? up.gw4_onlink : up.has_v6 && up.gw6_onlink;
    return up.has_v6 && up.gw6_onlink;
}

bool left_to_main(const host_config *cfg, const host_prefix &p)
{
    for (size_t i = 0; i < cfg->uplinks.size(); i++)
        if (cfg->uplinks[i].link_up && !uplink_usable(cfg->uplinks[i], p.family) && !declares_covering(cfg, i, p))
            return true;
    return false;
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
    // A gateway outside the subnets (an unnumbered uplink, a /32 address) is reached on its link,
    // and its frames and ARP are judged by the main table, whatever is declared.
    const size_t subnets = want.size();
    for (const uplink &up : cfg->uplinks) {
        for (uint8_t fam : {uint8_t(4), uint8_t(6)}) {
            if (!(fam == 4 ? up.has_v4 : up.has_v6))
                continue;
            host_prefix gw;
            gw.family = fam;
            std::memcpy(gw.addr.data(), fam == 4 ? up.gw4.data() : up.gw6.data(), fam == 4 ? 4 : 16);
            gw.plen = fam == 4 ? 32 : 128;
            bool covered = false;
            for (size_t k = 0; k < subnets && !covered; k++)
                covered = want[k].family == fam && masked(gw, want[k].plen) == want[k];
            if (!covered)
                want.push_back(gw);
        }
    }
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

void tallowhost_sync_down_uplinks(host_config *cfg, std::vector<route_change> &out)
{
    bool any_up = false;
    for (const uplink &up : cfg->uplinks)
        any_up = any_up || up.link_up;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        uplink &up = cfg->uplinks[i];
        const bool implied = !up.link_up && any_up;
        if (implied == up.down_implied)
            continue;
        up.down_implied = implied;
        std::vector<declaration> all(2);
        all[0].prefix.family = 4;
        all[1].prefix.family = 6;
        all[0].declared = all[1].declared = implied;
        tallowhost_steer(cfg, i, all, out);
    }
}
