// Steering: for every prefix that some uplink declares, the uplinks that can still reach it, and the
// route changes that bring the table in line with that.

#include <algorithm>
#include <iterator>

#include "tallowhost.h"

uint32_t reach_mask(const host_config *cfg, const host_prefix &p)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        const uplink &up = cfg->uplinks[i];
        if (!(p.family == 4 ? up.has_v4 : up.has_v6))
            continue;  // no next hop of this family on this uplink
        if (!declares_covering(up.nb, p))
            mask |= 1u << i;
    }
    return mask;
}

void tallowhost_steer(host_config *cfg, size_t uplink_index, const std::vector<host_prefix> &changed,
                      std::vector<route_change> &out)
{
    const uplink &up = cfg->uplinks[uplink_index];
    const uint32_t bit = 1u << uplink_index;
    auto &routes = cfg->routes;
    std::vector<std::map<host_prefix, route_state>::iterator> dirty;

    // `changed` is sorted: the place of one prefix is usually right after the previous one, which
    // makes a whole new set one pass over the map instead of a search per prefix.
    auto hint = routes.end();
    bool hint_valid = false;
    for (const host_prefix &c : changed) {
        const bool declared = std::binary_search(up.nb.declared.begin(), up.nb.declared.end(), c);
        auto it = hint;
        if (!hint_valid || (it != routes.end() && it->first < c) ||
            (it != routes.begin() && !(std::prev(it)->first < c)))
            it = routes.lower_bound(c);
        if (it == routes.end() || it->first != c) {
            hint = it;
            hint_valid = true;
            if (!declared)
                continue;  // declared by nobody before or now; what it covers did not change
            it = routes.emplace_hint(it, c, route_state{});
        }
        hint = std::next(it);
        if (declared)
            it->second.declared_by |= bit;
        else
            it->second.declared_by &= ~bit;
        // The prefix itself and every declared prefix inside it follow it in the map.
        for (; it != routes.end() && it->first.family == c.family && masked(it->first, c.plen) == c; ++it) {
            if (!it->second.dirty) {
                it->second.dirty = true;
                dirty.push_back(it);
            }
        }
    }

    for (auto it : dirty) {
        route_state &r = it->second;
        r.dirty = false;
        if (r.declared_by == 0) {
            if (r.installed)
                out.push_back(route_change{it->first, true, 0});
            routes.erase(it);
            continue;
        }
        const uint32_t reach = reach_mask(cfg, it->first);
        if (r.installed && r.reach == reach)
            continue;
        out.push_back(route_change{it->first, false, reach});
        r.reach = reach;
        r.installed = true;
    }
}
