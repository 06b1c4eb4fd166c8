// What each neighbour switch declares on its uplink: periodic sets rebuilt from their frames and
// applied only when whole, deltas applied at once, the neighbour's identity and lifetime.

#include <algorithm>
#include <iterator>

#include "tallowhost.h"

namespace {

constexpr int64_t hostile_log_interval_ms = 1000;

size_t family_index(const host_prefix &p)
{
    return p.family == 4 ? 0 : 1;
}

void sort_unique(std::vector<host_prefix> &v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

void receive_periodic(uplink *up, const parsed_frame &f, int64_t now_ms, std::vector<host_prefix> &changed)
{
    neighbour &nb = up->nb;
    if (f.flags & flag_first) {
        if (nb.partial_open) {
            hlog(LOG_WARNING, "set: %s: first frame while a set of %u frames was open, partial set discarded",
                 up->name.c_str(), nb.partial_frames);
            up->counters.discarded_sets++;
        }
        nb.partial_open = true;
        nb.discarding = false;
        nb.partial_frames = 0;
        nb.partial.clear();
    } else if (!nb.partial_open) {
        // The rest of a set whose first frame was lost: one line and one count for all of it.
        if (!nb.discarding) {
            hlog(LOG_WARNING, "set: %s: continuation frame with no set open, discarded until the next first frame",
                 up->name.c_str());
            up->counters.discarded_sets++;
            nb.discarding = true;
        }
        return;
    }
    nb.partial_frames++;
    for (const frame_prefix &fp : f.prefixes)
        if (!fp.withdrawn)  // a periodic set lists what is unreachable; a withdrawn entry is not
            nb.partial.push_back(fp.prefix);
    if (f.flags & flag_more)
        return;

    std::vector<host_prefix> next = std::move(nb.partial);
    nb.partial = {};
    nb.partial_open = false;
    sort_unique(next);
    const size_t size = next.size();
    replace_declared(&nb, std::move(next), now_ms, changed);
    nb.applied_ms = now_ms;
    up->counters.sets++;
    if (!changed.empty())
        hlog(LOG_INFO, "set: %s: %zu prefixes in %u frames, %zu changed", up->name.c_str(), size, nb.partial_frames,
             changed.size());
    else
        hlog(LOG_DEBUG, "set: %s: %zu prefixes in %u frames, unchanged", up->name.c_str(), size, nb.partial_frames);
}

void receive_delta(uplink *up, const parsed_frame &f, int64_t now_ms, std::vector<host_prefix> &changed)
{
    neighbour &nb = up->nb;
    // Within one delta the last entry for a prefix wins.
    std::vector<std::pair<host_prefix, bool>> last;  // (prefix, withdrawn), in frame order
    last.reserve(f.prefixes.size());
    for (const frame_prefix &fp : f.prefixes)
        last.emplace_back(fp.prefix, fp.withdrawn);
    std::stable_sort(last.begin(), last.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<host_prefix> adds, removes;
    for (size_t i = 0; i < last.size(); i++) {
        if (i + 1 < last.size() && last[i + 1].first == last[i].first)
            continue;
        (last[i].second ? removes : adds).push_back(last[i].first);
    }
    std::vector<host_prefix> merged, next;
    merged.reserve(nb.declared.size() + adds.size());
    std::set_union(nb.declared.begin(), nb.declared.end(), adds.begin(), adds.end(), std::back_inserter(merged));
    next.reserve(merged.size());
    std::set_difference(merged.begin(), merged.end(), removes.begin(), removes.end(), std::back_inserter(next));
    replace_declared(&nb, std::move(next), now_ms, changed);
    nb.applied_ms = now_ms;
    up->counters.deltas++;
    hlog(changed.empty() ? LOG_DEBUG : LOG_INFO, "set: %s: delta of %zu added, %zu withdrawn, %zu changed",
         up->name.c_str(), adds.size(), removes.size(), changed.size());
}

}  // namespace

void replace_declared(neighbour *nb, std::vector<host_prefix> next, int64_t now_ms, std::vector<host_prefix> &changed)
{
    const size_t before = changed.size();
    std::set_symmetric_difference(nb->declared.begin(), nb->declared.end(), next.begin(), next.end(),
                                  std::back_inserter(changed));
    if (changed.size() == before) {
        nb->declared = std::move(next);
        return;
    }
    for (size_t i = before; i < changed.size(); i++) {
        const host_prefix &c = changed[i];
        bool now_declared = std::binary_search(next.begin(), next.end(), c);
        uint32_t &n = nb->len_count[family_index(c)][c.plen];
        n = now_declared ? n + 1 : n - 1;
    }
    for (size_t fam = 0; fam < 2; fam++) {
        nb->lengths[fam].clear();
        for (unsigned l = 0; l <= 128; l++)
            if (nb->len_count[fam][l])
                nb->lengths[fam].push_back(uint8_t(l));
    }
    nb->declared = std::move(next);
    nb->changed_ms = now_ms;
}

bool declares_covering(const neighbour &nb, const host_prefix &p)
{
    for (uint8_t l : nb.lengths[family_index(p)]) {
        if (l > p.plen)
            break;
        if (std::binary_search(nb.declared.begin(), nb.declared.end(), masked(p, l)))
            return true;
    }
    return false;
}

void forget_neighbour(host_config *, uplink *up, const char *why, std::vector<host_prefix> &changed)
{
    neighbour &nb = up->nb;
    if (!nb.known)
        return;
    hlog(LOG_INFO, "neighbour: %s: chassis %s port %s forgotten (%s), %zu prefixes no longer declared",
         up->name.c_str(), id_text(nb.chassis_id).c_str(), id_text(nb.port_id).c_str(), why, nb.declared.size());
    changed.insert(changed.end(), nb.declared.begin(), nb.declared.end());
    nb = neighbour{};
}

void tallowhost_apply_frame(host_config *cfg, uplink *up, const parsed_frame &f, int64_t now_ms,
                            std::vector<host_prefix> &changed)
{
    neighbour &nb = up->nb;
    up->counters.frames++;
    if (nb.known && (f.chassis_id != nb.chassis_id || f.port_id != nb.port_id))
        forget_neighbour(cfg, up, "replaced by another neighbour", changed);
    if (f.ttl == 0) {
        forget_neighbour(cfg, up, "TTL 0", changed);
        return;
    }
    if (!nb.known) {
        nb.known = true;
        nb.chassis_id = f.chassis_id;
        nb.port_id = f.port_id;
        nb.changed_ms = nb.applied_ms = now_ms;
        hlog(LOG_INFO, "neighbour: %s: chassis %s port %s, TTL %u", up->name.c_str(), id_text(f.chassis_id).c_str(),
             id_text(f.port_id).c_str(), unsigned(f.ttl));
    }
    nb.ttl = f.ttl;
    nb.expires_ms = now_ms + int64_t(f.ttl) * 1000;
    if (!f.has_control)
        return;  // plain LLDP: keeps the neighbour alive, declares nothing
    std::vector<host_prefix> mine;
    if (f.flags & flag_periodic)
        receive_periodic(up, f, now_ms, mine);
    else
        receive_delta(up, f, now_ms, mine);
    if (changed.empty()) {
        changed = std::move(mine);
    } else {
        changed.insert(changed.end(), mine.begin(), mine.end());
        sort_unique(changed);
    }
}

void note_hostile(host_config *, uplink *up, frame_error e, int64_t now_ms)
{
    up->counters.hostile++;
    if (up->hostile_logged_ms >= 0 && now_ms - up->hostile_logged_ms < hostile_log_interval_ms) {
        up->hostile_unlogged++;
        return;
    }
    hlog(LOG_WARNING, "frame: %s: refused a frame (%s), %llu refused in all, %llu not logged since the last line",
         up->name.c_str(), frame_reason_text(e), static_cast<unsigned long long>(up->counters.hostile),
         static_cast<unsigned long long>(up->hostile_unlogged));
    up->hostile_logged_ms = now_ms;
    up->hostile_unlogged = 0;
}
