// The agent's metrics in Prometheus' text format, for a node exporter's textfile collector: written
// whole to a temporary file and renamed into place, at most once a second and only when they changed,
// and removed at stop so that a stopped agent exports nothing stale.

#include <unistd.h>

#include <cstdio>

#include "tallowhost.h"

namespace {

constexpr int64_t metrics_interval_ms = 1000;
constexpr int64_t metrics_retry_ms = 60000;  // after a failed write; each failure is logged

std::string label_value(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

struct writer {
    std::string text;

    void family(const char *name, const char *type, const char *help)
    {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char *name, const std::string &labels, double value)
    {
        char buf[64];
        // Counts as integers; the timestamps to the millisecond they carry.
        std::snprintf(buf, sizeof buf, value == double(int64_t(value)) ? "%.0f" : "%.3f", value);
        text += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + buf + "\n";
    }
};

std::string uplink_label(const uplink &up)
{
    return "uplink=\"" + label_value(up.name) + "\"";
}

}  // namespace

std::string tallowhost_metrics_text(const host_config *cfg)
{
    writer w;
    w.family("tallowhost_routes", "gauge", "Routes the agent holds in its table.");
    w.sample("tallowhost_routes", "", double(cfg->installed));
    w.family("tallowhost_route_failures_total", "counter", "Route changes the kernel refused.");
    w.sample("tallowhost_route_failures_total", "", double(cfg->route_failures));
    w.family("tallowhost_restores_total", "counter", "Routes and rules of the agent put back after someone removed them.");
    w.sample("tallowhost_restores_total", "", double(cfg->restored));

    struct per_uplink {
        const char *name, *type, *help;
        double (*value)(const uplink &);
    };
    static const per_uplink series[] = {
        {"tallowhost_uplink_up", "gauge", "1 while the uplink's link is up.",
         [](const uplink &u) { return u.link_up ? 1.0 : 0.0; }},
        {"tallowhost_declared_prefixes", "gauge", "Prefixes the uplink's neighbours declare unreachable.",
         [](const uplink &u) { return double(u.declared); }},
        {"tallowhost_neighbours", "gauge", "Declaring LLDP neighbours on the uplink.",
         [](const uplink &u) { return double(u.neighbours.size()); }},
        {"tallowhost_frames_total", "counter", "Frames of declaring neighbours and others received.",
         [](const uplink &u) { return double(u.counters.frames); }},
        {"tallowhost_sets_total", "counter", "Whole sets taken.", [](const uplink &u) { return double(u.counters.sets); }},
        {"tallowhost_deltas_total", "counter", "Deltas taken.", [](const uplink &u) { return double(u.counters.deltas); }},
        {"tallowhost_refused_frames_total", "counter", "Frames refused as malformed.",
         [](const uplink &u) { return double(u.counters.hostile); }},
        {"tallowhost_dropped_frames_total", "counter", "Frames the kernel dropped before the agent read them.",
         [](const uplink &u) { return double(u.counters.dropped); }},
        {"tallowhost_discarded_sets_total", "counter", "Sets discarded: incomplete, or over a cap.",
         [](const uplink &u) { return double(u.counters.discarded_sets); }},
        {"tallowhost_capped_prefixes_total", "counter", "Prefixes not taken because of the caps.",
         [](const uplink &u) { return double(u.counters.over_cap); }},
    };
    for (const per_uplink &s : series) {
        w.family(s.name, s.type, s.help);
        for (const uplink &up : cfg->uplinks)
            w.sample(s.name, uplink_label(up), s.value(up));
    }
    w.family("tallowhost_neighbour_last_set_timestamp_seconds", "gauge",
             "When the neighbour's last whole set was taken (Unix time); absent before its first.");
    for (const uplink &up : cfg->uplinks)
        for (const neighbour &nb : up.neighbours)
            if (nb.set_unix_ms >= 0)
                w.sample("tallowhost_neighbour_last_set_timestamp_seconds",
                         uplink_label(up) + ",chassis_id=\"" + label_value(id_text(nb.chassis_id)) +
                             "\",port_id=\"" + label_value(id_text(nb.port_id)) + "\"",
                         double(nb.set_unix_ms) / 1000.0);
    return w.text;
}

void tallowhost_metrics_write(host_config *cfg, int64_t now_ms)
{
    if (cfg->metrics_path.empty() || now_ms < cfg->metrics_due_ms)
        return;
    cfg->metrics_due_ms = now_ms + metrics_interval_ms;
    std::string text = tallowhost_metrics_text(cfg);
    if (text == cfg->metrics_written)
        return;
    if (write_file_atomic(cfg->metrics_path.c_str(), text) != 0) {
        cfg->metrics_due_ms = now_ms + metrics_retry_ms;
        cfg->metrics_written.clear();
        return;
    }
    cfg->metrics_written = std::move(text);
}

void tallowhost_metrics_remove(host_config *cfg)
{
    if (!cfg->metrics_path.empty() && !cfg->metrics_written.empty())
        unlink(cfg->metrics_path.c_str());
}
