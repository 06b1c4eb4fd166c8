// What the neighbours on each uplink declare. Every neighbour that sends the relay's control TLV is
// kept apart, by chassis ID and port ID, with its own TTL, its own set and its own open set; an
// uplink declares a prefix while at least one of its neighbours does. Periodic sets replace a
// neighbour's set only when whole, deltas change it at once, in time proportional to the delta.
// What a neighbour can make the agent hold is capped per uplink.

#include <algorithm>

#include "tallowhost.h"

namespace {

constexpr int64_t hostile_log_interval_ms = 1000;

void sort_unique(std::vector<host_prefix> &v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// An open set may run to this many frames: a set the relay packs carries far more than 16 prefixes
// in each frame but its last.
size_t max_set_frames(const host_config *cfg)
{
    return cfg->max_prefixes / 16 + 16;
}

bool others_declare(const uplink &up, const neighbour *self, const host_prefix &p)
{
    for (const neighbour &n : up.neighbours)
        if (&n != self && n.declared.count(p))
            return true;
    return false;
}

bool take(uplink *up, neighbour &nb, const host_prefix &p, std::vector<declaration> &out)
{
    if (!nb.declared.insert(p).second)
        return false;
    up->held++;
    if (!others_declare(*up, &nb, p))
        out.push_back(declaration{p, true});
    return true;
}

bool drop(uplink *up, neighbour &nb, const host_prefix &p, std::vector<declaration> &out)
{
    if (!nb.declared.erase(p))
        return false;
    up->held--;
    if (!others_declare(*up, &nb, p))
        out.push_back(declaration{p, false});
    return true;
}

// The frame's prefixes: decoded already (by tallowhost_parse_frame), or now into `scratch`.
const std::vector<frame_prefix> &prefixes_of(const parsed_frame &f, std::vector<frame_prefix> &scratch)
{
    if (f.prefixes.size() == f.prefix_tlvs)
        return f.prefixes;
    tallowhost_decode_body(f.body, scratch);
    return scratch;
}

// A delta (or a guard's end) changed p: it now agrees with the last whole set, or no longer does.
void flip_off_set(neighbour &nb, const host_prefix &p)
{
    if (!nb.off_set.erase(p))
        nb.off_set.insert(p);
}

std::string who(const neighbour &nb)
{
    return "chassis " + id_text(nb.chassis_id) + " port " + id_text(nb.port_id);
}

// Ends the open set; the buffers keep their room for the next one.
void close_open_set(uplink *up, neighbour &nb)
{
    up->held_open -= nb.partial_members;
    nb.partial_members = 0;
    nb.partial.clear();
    nb.partial_bytes.clear();
    nb.gained.clear();
    nb.lost.clear();
    nb.matched = 0;
    nb.comparing = false;
    nb.partial_open = false;
    nb.partial_frames = 0;
}

// Drops the open set because it ran past a cap, and the rest of it until the next first frame.
void discard_open_set(host_config *cfg, uplink *up, neighbour &nb, const char *what)
{
    hlog(LOG_WARNING, "set: %s: open set from %s over the cap of %zu %s, discarded", up->name.c_str(),
         who(nb).c_str(), what[0] == 'f' ? max_set_frames(cfg) : cfg->max_prefixes, what);
    up->counters.discarded_sets++;
    up->counters.over_cap += nb.partial_members;
    close_open_set(up, nb);
    nb.discarding = true;
}

// A contested guard taken at `at_ms` ends at at_ms + set_guard_ms: the neighbour's timer is due by then.
void due_by(neighbour &nb, int64_t at_ms)
{
    const int64_t end = at_ms + set_guard_ms;
    if (nb.guard_due_ms < 0 || end < nb.guard_due_ms)
        nb.guard_due_ms = end;
}

// A prefix whose state a recent delta holds against the last whole set.
bool held_back(const neighbour &nb, const host_prefix &p)
{
    if (nb.guards.empty())
        return false;
    auto it = nb.guards.find(p);
    return it != nb.guards.end() && it->second.contested;
}

// Judges the recent deltas against a neighbour's new whole set, which says `word(p)` of p. A set that says
// otherwise than a delta of the last set_guard_ms may have been sent before it: the delta's decision
// stands until a set agrees with it or its window ends. Returns how many prefixes the set does not
// change for that reason.
template <class Word>
size_t judge_guards(neighbour &nb, const Word &word, int64_t now_ms)
{
    size_t held = 0;
    nb.guard_due_ms = -1;
    for (auto it = nb.guards.begin(); it != nb.guards.end();) {
        delta_guard &g = it->second;
        if (now_ms - g.at_ms >= set_guard_ms || word(it->first) == g.declared) {
            it = nb.guards.erase(it);
            continue;
        }
        g.contested = true;
        held++;
        due_by(nb, g.at_ms);
        ++it;
    }
    return held;
}

// Remembers a delta's decision for one prefix. The guards are bounded like a set: when full, those
// whose window is over and that no set contested make room, and a decision beyond that is not guarded.
void guard(host_config *cfg, neighbour &nb, const host_prefix &p, bool declared, int64_t now_ms)
{
    if (nb.guards.size() >= cfg->max_prefixes && !nb.guards.count(p)) {
        std::erase_if(nb.guards, [now_ms](const auto &kv) {
            return !kv.second.contested && now_ms - kv.second.at_ms >= set_guard_ms;
        });
        if (nb.guards.size() >= cfg->max_prefixes)
            return;
    }
    nb.guards[p] = delta_guard{now_ms, declared, false};
}

// A neighbour's new whole set: only the differences are applied, but for the prefixes that recent
// deltas hold.
void replace_set(uplink *up, neighbour &nb, const std::vector<host_prefix> &next, std::vector<declaration> &out)
{
    size_t new_ones = 0;
    for (const host_prefix &p : next)
        new_ones += !nb.declared.count(p);
    if (new_ones == 0 && next.size() == nb.declared.size())
        return;
    std::vector<host_prefix> gone;
    for (const host_prefix &p : nb.declared)
        if (!std::binary_search(next.begin(), next.end(), p) && !held_back(nb, p))
            gone.push_back(p);
    for (const host_prefix &p : gone)
        drop(up, nb, p, out);
    nb.declared.reserve(next.size());
    for (const host_prefix &p : next)
        if (!held_back(nb, p))
            take(up, nb, p, out);
}

// Takes a whole set that was compared with the previous one: only what differs from it, what deltas
// changed since, and what guards hold is looked at.
size_t take_compared(uplink *up, neighbour &nb, int64_t now_ms, std::vector<declaration> &out)
{
    std::vector<std::pair<host_prefix, bool>> word;
    word.reserve(nb.gained.size() + nb.lost.size() + nb.off_set.size());
    for (const auto *v : {&nb.gained, &nb.lost})
        for (const host_prefix &p : *v)
            word.emplace_back(p, tallowhost_compared_word(nb, p));
    for (const host_prefix &p : nb.off_set)
        word.emplace_back(p, tallowhost_compared_word(nb, p));
    const size_t held = nb.guards.empty() ? 0 : judge_guards(nb, [&](const host_prefix &p) {
        return tallowhost_compared_word(nb, p);
    }, now_ms);
    for (const auto &[p, declared] : word) {
        if (held_back(nb, p))
            continue;
        if (declared)
            take(up, nb, p, out);
        else
            drop(up, nb, p, out);
    }
    return held;
}

void receive_periodic(host_config *cfg, uplink *up, neighbour &nb, const parsed_frame &f, int64_t now_ms,
                      std::vector<declaration> &out)
{
    if (f.flags & flag_first) {
        if (nb.partial_open) {
            hlog(LOG_WARNING, "set: %s: first frame while a set of %u frames was open, partial set discarded",
                 up->name.c_str(), nb.partial_frames);
            up->counters.discarded_sets++;
            close_open_set(up, nb);
        }
        nb.partial_open = true;
        nb.discarding = false;
        nb.comparing = nb.set_unique && !nb.set_churned;
    } else if (!nb.partial_open) {
        // The rest of a set whose first frame was lost, or of a set over a cap: one line and one
        // count for all of it.
        if (!nb.discarding) {
            hlog(LOG_WARNING, "set: %s: continuation frame with no set open, discarded until the next first frame",
                 up->name.c_str());
            up->counters.discarded_sets++;
            nb.discarding = true;
        }
        return;
    }
    if (++nb.partial_frames > max_set_frames(cfg)) {
        discard_open_set(cfg, up, nb, "frames");
        return;
    }
    // A periodic set lists what is unreachable; a withdrawn entry is not counted, nor declared. The
    // bytes kept are bounded as the prefixes are, whatever else the frames carry.
    if (nb.partial_members + f.members > cfg->max_prefixes || up->held_open + f.members > cfg->max_prefixes ||
        nb.partial_bytes.size() + f.body.size() > cfg->max_prefixes * max_prefix_tlv_size + frame_buffer_size) {
        // Counted as if taken one by one up to the cap.
        const size_t fit = std::min({f.members, cfg->max_prefixes - std::min(cfg->max_prefixes, nb.partial_members),
                                     cfg->max_prefixes - std::min(cfg->max_prefixes, up->held_open)});
        nb.partial_members += fit;
        up->held_open += fit;
        discard_open_set(cfg, up, nb, "prefixes");
        return;
    }
    nb.partial_members += f.members;
    up->held_open += f.members;
    if (nb.comparing) {
        tallowhost_compare_body(nb, f.body);
    } else {
        nb.partial_bytes.insert(nb.partial_bytes.end(), f.body.begin(), f.body.end());
        std::vector<frame_prefix> scratch;
        for (const frame_prefix &fp : prefixes_of(f, scratch))
            if (!fp.withdrawn)
                nb.partial.push_back(fp.prefix);
    }
    if (f.flags & flag_more)
        return;

    const unsigned frames = nb.partial_frames;
    size_t size;
    bool unique;
    if (nb.comparing) {
        tallowhost_compare_rest(nb);
        const size_t gained_tlvs = nb.gained.size();
        sort_unique(nb.gained);
        sort_unique(nb.lost);
        size = tallowhost_compared_size(nb, gained_tlvs, unique);
    } else {
        const size_t tlvs = nb.partial.size();
        sort_unique(nb.partial);
        size = nb.partial.size();
        unique = size == tlvs;
    }
    if (up->held - nb.declared.size() + size > cfg->max_prefixes) {
        hlog(LOG_WARNING, "set: %s: set of %zu prefixes from %s over the cap of %zu prefixes per uplink, discarded",
             up->name.c_str(), size, who(nb).c_str(), cfg->max_prefixes);
        up->counters.discarded_sets++;
        up->counters.over_cap += size;
        close_open_set(up, nb);
        return;
    }
    const size_t before = out.size();
    size_t held;
    if (nb.comparing) {
        held = take_compared(up, nb, now_ms, out);
    } else {
        const std::vector<host_prefix> &next = nb.partial;
        held = nb.guards.empty() ? 0 : judge_guards(nb, [&](const host_prefix &p) {
            return std::binary_search(next.begin(), next.end(), p);
        }, now_ms);
        replace_set(up, nb, next, out);
    }
    // Now the last whole set: what guards hold is all that differs from it.
    nb.off_set.clear();
    for (const auto &[p, g] : nb.guards)
        if (g.contested)
            nb.off_set.insert(p);
    nb.set_bytes.swap(nb.partial_bytes);
    nb.set_members = size;
    nb.set_unique = unique;
    // After a set that changed in most of its prefixes the next is read whole, which costs less than
    // a comparison when most differs; a set that changed little brings the comparison back.
    nb.set_churned = nb.whole_set && (nb.comparing ? nb.gained.size() + nb.lost.size() : out.size() - before) > size / 2;
    close_open_set(up, nb);
    nb.applied_ms = nb.set_ms = now_ms;
    nb.set_unix_ms = realtime_ms();
    nb.whole_set = true;
    up->counters.sets++;
    const size_t changed = out.size() - before;
    if (changed)
        nb.changed_ms = now_ms;
    if (held)
        hlog(LOG_INFO, "set: %s: %zu prefixes in %u frames, %zu changed, %zu kept as deltas of the last %lld ms left them",
             up->name.c_str(), size, frames, changed, held, static_cast<long long>(set_guard_ms));
    else if (changed)
        hlog(LOG_INFO, "set: %s: %zu prefixes in %u frames, %zu changed", up->name.c_str(), size, frames, changed);
    else
        hlog(LOG_DEBUG, "set: %s: %zu prefixes in %u frames, unchanged", up->name.c_str(), size, frames);
}

void receive_delta(host_config *cfg, uplink *up, neighbour &nb, const parsed_frame &f, int64_t now_ms,
                   std::vector<declaration> &out)
{
    // Within one delta the last entry for a prefix wins.
    std::vector<frame_prefix> scratch;
    const std::vector<frame_prefix> &entries = prefixes_of(f, scratch);
    std::vector<std::pair<host_prefix, bool>> last;  // (prefix, withdrawn), in frame order
    last.reserve(entries.size());
    for (const frame_prefix &fp : entries)
        last.emplace_back(fp.prefix, fp.withdrawn);
    std::stable_sort(last.begin(), last.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    const size_t before = out.size();
    size_t adds = 0, removes = 0, refused = 0;
    for (size_t i = 0; i < last.size(); i++) {
        if (i + 1 < last.size() && last[i + 1].first == last[i].first)
            continue;
        if (last[i].second) {
            removes++;
            if (drop(up, nb, last[i].first, out))
                flip_off_set(nb, last[i].first);
            guard(cfg, nb, last[i].first, false, now_ms);
        } else if (up->held < cfg->max_prefixes || nb.declared.count(last[i].first)) {
            adds++;
            if (take(up, nb, last[i].first, out))
                flip_off_set(nb, last[i].first);
            guard(cfg, nb, last[i].first, true, now_ms);
        } else {
            refused++;
        }
    }
    if (refused) {
        up->counters.over_cap += refused;
        if (up->capped_logged_ms < 0 || now_ms - up->capped_logged_ms >= hostile_log_interval_ms) {
            hlog(LOG_WARNING, "set: %s: %zu prefixes of a delta from %s not taken, the uplink holds the cap of %zu",
                 up->name.c_str(), refused, who(nb).c_str(), cfg->max_prefixes);
            up->capped_logged_ms = now_ms;
        }
    }
    nb.applied_ms = now_ms;
    up->counters.deltas++;
    const size_t changed = out.size() - before;
    if (changed)
        nb.changed_ms = now_ms;
    hlog(changed ? LOG_INFO : LOG_DEBUG, "set: %s: delta of %zu added, %zu withdrawn, %zu changed", up->name.c_str(),
         adds, removes, changed);
}

neighbour *find_neighbour(uplink *up, const parsed_frame &f)
{
    for (neighbour &n : up->neighbours)
        if (n.chassis_id == f.chassis_id && n.port_id == f.port_id)
            return &n;
    return nullptr;
}

}  // namespace

void forget_neighbour(host_config *, uplink *up, long index, const char *why, std::vector<declaration> &out)
{
    const size_t first = index < 0 ? 0 : size_t(index);
    const size_t end = index < 0 ? up->neighbours.size() : size_t(index) + 1;
    for (size_t i = first; i < end; i++) {
        neighbour &nb = up->neighbours[i];
        hlog(LOG_INFO, "neighbour: %s: %s forgotten (%s), %zu prefixes no longer declared", up->name.c_str(),
             who(nb).c_str(), why, nb.declared.size());
        for (const host_prefix &p : nb.declared) {
            bool kept = false;  // by a neighbour that stays
            for (size_t k = 0; k < up->neighbours.size() && !kept; k++)
                kept = (k < first || k >= end) && up->neighbours[k].declared.count(p);
            if (!kept)
                out.push_back(declaration{p, false});
        }
        up->held -= nb.declared.size();
        up->held_open -= nb.partial.size();
    }
    up->neighbours.erase(up->neighbours.begin() + long(first), up->neighbours.begin() + long(end));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end(),
                          [](const declaration &a, const declaration &b) { return a.prefix == b.prefix; }),
              out.end());
}

void tallowhost_apply_frame(host_config *cfg, uplink *up, const parsed_frame &f, int64_t now_ms,
                            std::vector<declaration> &out)
{
    up->counters.frames++;
    neighbour *nb = find_neighbour(up, f);
    if (f.ttl == 0) {
        if (nb)
            forget_neighbour(cfg, up, nb - up->neighbours.data(), "TTL 0", out);
        return;
    }
    if (!nb) {
        // Other speakers on the link (a management controller, the host's own LLDP agent) declare
        // nothing and are not kept.
        if (!f.has_control) {
            up->counters.ignored++;
            return;
        }
        if (up->neighbours.size() >= max_neighbours) {
            up->counters.ignored++;
            if (up->capped_logged_ms < 0 || now_ms - up->capped_logged_ms >= hostile_log_interval_ms) {
                hlog(LOG_WARNING, "neighbour: %s: chassis %s port %s ignored, %zu neighbours already declare here",
                     up->name.c_str(), id_text(f.chassis_id).c_str(), id_text(f.port_id).c_str(), max_neighbours);
                up->capped_logged_ms = now_ms;
            }
            return;
        }
        nb = &up->neighbours.emplace_back();
        nb->chassis_id = f.chassis_id;
        nb->port_id = f.port_id;
        nb->changed_ms = nb->applied_ms = now_ms;
        if (f.ttl > max_ttl_s)
            hlog(LOG_INFO, "neighbour: %s: %s, TTL %u, held for at most %u s", up->name.c_str(), who(*nb).c_str(),
                 unsigned(f.ttl), unsigned(max_ttl_s));
        else
            hlog(LOG_INFO, "neighbour: %s: %s, TTL %u", up->name.c_str(), who(*nb).c_str(), unsigned(f.ttl));
    }
    nb->ttl = f.ttl;
    nb->expires_ms = now_ms + int64_t(std::min(f.ttl, max_ttl_s)) * 1000;
    if (!f.has_control)
        return;  // plain LLDP from a declaring neighbour: keeps it alive, changes nothing
    const size_t before = out.size();
    if (f.flags & flag_periodic)
        receive_periodic(cfg, up, *nb, f, now_ms, out);
    else
        receive_delta(cfg, up, *nb, f, now_ms, out);
    std::sort(out.begin() + long(before), out.end());
}

void tallowhost_end_guards(host_config *, uplink *up, int64_t now_ms, std::vector<declaration> &out)
{
    for (neighbour &nb : up->neighbours) {
        if (nb.guard_due_ms < 0 || now_ms < nb.guard_due_ms)
            continue;
        nb.guard_due_ms = -1;
        const size_t before = out.size();
        size_t ended = 0;
        for (auto it = nb.guards.begin(); it != nb.guards.end();) {
            const delta_guard &g = it->second;
            if (now_ms - g.at_ms < set_guard_ms) {
                if (g.contested)
                    due_by(nb, g.at_ms);
                ++it;
                continue;
            }
            if (g.contested) {
                ended++;
                if (g.declared ? drop(up, nb, it->first, out) : take(up, nb, it->first, out))
                    flip_off_set(nb, it->first);
            }
            it = nb.guards.erase(it);
        }
        if (ended) {
            hlog(LOG_INFO, "set: %s: %zu prefixes from %s now as its last set says, no set confirmed the deltas",
                 up->name.c_str(), ended, who(nb).c_str());
            if (out.size() > before)
                nb.changed_ms = now_ms;
        }
    }
    // Two neighbours may have changed the same prefix: the last change is the uplink's state.
    std::stable_sort(out.begin(), out.end());
    std::vector<declaration> last;
    for (size_t i = 0; i < out.size(); i++)
        if (i + 1 == out.size() || out[i + 1].prefix != out[i].prefix)
            last.push_back(out[i]);
    out = std::move(last);
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
