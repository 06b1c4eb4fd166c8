// The JSON snapshot written on SIGUSR1: per uplink its link state, its declaring neighbours (each with
// its TTL, the size of its set, its age since the last whole set or delta was taken and the time since
// it last changed), what the uplink declares in all, the prefixes themselves and its counters.

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tallowhost.h"

std::string tallowhost_snapshot_json(const host_config *cfg, int64_t now_ms)
{
    std::string j = "{\n";
    char buf[320];
    std::snprintf(buf, sizeof buf, "  \"table\": %u,\n  \"rule_priority\": %u,\n  \"routes\": %zu,\n"
                  "  \"route_failures\": %llu,\n  \"restored\": %llu,\n  \"adopting\": %s,\n  \"uplinks\": [",
                  cfg->table, cfg->rule_priority, cfg->installed, static_cast<unsigned long long>(cfg->route_failures),
                  static_cast<unsigned long long>(cfg->restored), cfg->adopting ? "true" : "false");
    j += buf;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        const uplink &up = cfg->uplinks[i];
        j += i ? ",\n    {" : "\n    {";
        j += "\"interface\": " + json_string(up.name) + ", \"link\": " + (up.link_up ? "\"up\"" : "\"down\"") +
             ", \"next_hops\": [";
        bool comma = false;
        if (up.has_v4) {
            j += json_string(address_text(AF_INET, up.gw4.data()));
            comma = true;
        }
        if (up.has_v6)
            j += (comma ? ", " : "") + json_string(address_text(AF_INET6, up.gw6.data()));
        j += "],\n     \"neighbours\": [";
        int64_t applied = -1, changed = -1;
        for (size_t k = 0; k < up.neighbours.size(); k++) {
            const neighbour &nb = up.neighbours[k];
            applied = std::max(applied, nb.applied_ms);
            changed = std::max(changed, nb.changed_ms);
            std::snprintf(buf, sizeof buf, ", \"ttl\": %u, \"expires_in_s\": %.3f, \"set_size\": %zu, \"age_s\": %.3f, "
                          "\"changed_s\": %.3f}", unsigned(nb.ttl), double(nb.expires_ms - now_ms) / 1000.0,
                          nb.declared.size(), double(now_ms - nb.applied_ms) / 1000.0,
                          double(now_ms - nb.changed_ms) / 1000.0);
            j += (k ? ", {" : "{") + std::string("\"chassis_id\": ") + json_string(id_text(nb.chassis_id)) +
                 ", \"port_id\": " + json_string(id_text(nb.port_id)) + buf;
        }
        const uplink_counters &c = up.counters;
        std::snprintf(buf, sizeof buf,
                      "],\n     \"set_size\": %zu, \"age_s\": %.3f, \"changed_s\": %.3f, \"frames\": %llu, \"sets\": %llu, "
                      "\"deltas\": %llu, \"discarded_sets\": %llu, \"refused_frames\": %llu, \"dropped_frames\": %llu, "
                      "\"over_cap\": %llu, \"ignored_frames\": %llu,\n     \"prefixes\": [",
                      up.declared, applied >= 0 ? double(now_ms - applied) / 1000.0 : 0.0,
                      changed >= 0 ? double(now_ms - changed) / 1000.0 : 0.0,
                      static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.sets),
                      static_cast<unsigned long long>(c.deltas), static_cast<unsigned long long>(c.discarded_sets),
                      static_cast<unsigned long long>(c.hostile), static_cast<unsigned long long>(c.dropped),
                      static_cast<unsigned long long>(c.over_cap), static_cast<unsigned long long>(c.ignored));
        j += buf;
        bool first = true;
        for (const auto &[p, r] : cfg->routes) {
            if (!uplink_declares(up, i, r))
                continue;
            j += first ? "\"" : ", \"";
            j += prefix_text(p);
            j += '"';
            first = false;
        }
        j += "]}";
    }
    j += "\n  ]\n}\n";
    return j;
}

int tallowhost_snapshot_write(const host_config *cfg, const char *path)
{
    if (write_file_atomic(path, tallowhost_snapshot_json(cfg, monotonic_ms())) != 0)
        return -1;
    hlog(LOG_INFO, "snapshot: written to %s", path);
    return 0;
}
