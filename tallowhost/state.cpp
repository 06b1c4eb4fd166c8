// What a restart carries over, in /run/tallowhost/state: the uplinks' interface groups from before the
// first run (written at start, so that a run killed without stopping still lets the next one put them
// back), and at a clean stop what each neighbour declared with the time its TTL runs out, so that a
// new start steers again at once instead of waiting for every switch's next whole set. Times are
// kept on the boot clock, which counts across the restart; the file goes with /run at a reboot.
//
// The text, one record a line:
//   tallowhost state 1
//   saved BOOT_MS
//   group IFNAME GROUP
//   neighbour IFNAME CHASSIS_HEX PORT_HEX TTL EXPIRES_BOOT_MS COUNT
//   PREFIX                       (COUNT lines, as 10.9.0.0/16 or 2001:db8::/32)

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tallowhost.h"

namespace {

constexpr const char *magic = "tallowhost state 1";

int64_t boottime_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

bool unhex(const std::string &text, std::string &out)
{
    out.clear();
    if (text == "-")
        return true;
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        out += char(v);
    }
    return true;
}

bool parse_prefix(const std::string &text, host_prefix &p)
{
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    const std::string addr = text.substr(0, slash);
    char *end = nullptr;
    const unsigned long plen = std::strtoul(text.c_str() + slash + 1, &end, 10);
    p = host_prefix{};
    if (inet_pton(AF_INET, addr.c_str(), p.addr.data()) == 1)
        p.family = 4;
    else if (inet_pton(AF_INET6, addr.c_str(), p.addr.data()) == 1)
        p.family = 6;
    else
        return false;
    if (*end || slash + 1 == text.size() || plen > (p.family == 4 ? 32u : 128u))
        return false;
    p = masked(p, uint8_t(plen));
    return true;
}

}  // namespace

int write_file_atomic(const char *path, const std::string &text)
{
    const std::string tmp = std::string(path) + ".tmp";
    unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        hlog(LOG_ERR, "agent: %s: %s", tmp.c_str(), strerror(errno));
        return -1;
    }
    fchmod(fd.get(), 0644);  // readable by all whatever the umask: a node exporter reads the metrics
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(fd.get(), text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            hlog(LOG_ERR, "agent: %s: %s", tmp.c_str(), strerror(errno));
            unlink(tmp.c_str());
            return -1;
        }
        off += size_t(n);
    }
    fd.reset();
    // Readers see the old file or the new one, never half of one.
    if (rename(tmp.c_str(), path) != 0) {
        hlog(LOG_ERR, "agent: rename to %s: %s", path, strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int tallowhost_state_write(const host_config *cfg, bool neighbours)
{
    if (mkdir(state_dir, 0755) != 0 && errno != EEXIST) {
        hlog(LOG_ERR, "agent: %s: %s", state_dir, strerror(errno));
        return -1;
    }
    const int64_t now = monotonic_ms(), boot = boottime_ms();
    std::string text = std::string(magic) + "\nsaved " + std::to_string(boot) + "\n";
    for (const uplink &up : cfg->uplinks)
        if (up.group_taken)
            text += "group " + up.name + " " + std::to_string(up.group_before) + "\n";
    size_t count = 0;
    for (const uplink &up : cfg->uplinks) {
        if (!neighbours)
            break;
        for (const neighbour &nb : up.neighbours) {
            if (nb.expires_ms <= now)
                continue;
            text += "neighbour " + up.name + " " + hex(nb.chassis_id) + " " + hex(nb.port_id) + " " +
                    std::to_string(nb.ttl) + " " + std::to_string(boot + (nb.expires_ms - now)) + " " +
                    std::to_string(nb.declared.size()) + "\n";
            for (const host_prefix &p : nb.declared)
                text += prefix_text(p) + "\n";
            count++;
        }
    }
    if (write_file_atomic(state_path, text) != 0)
        return -1;
    if (neighbours)
        hlog(LOG_INFO, "state: %zu neighbours saved to %s for the next start", count, state_path);
    return 0;
}

int tallowhost_state_read(host_config *cfg, saved_state &out)
{
    FILE *f = std::fopen(state_path, "re");
    if (!f) {
        if (errno != ENOENT)
            hlog(LOG_WARNING, "state: %s: %s", state_path, strerror(errno));
        return -1;
    }
    std::string text;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);

    std::istringstream in(text);
    std::string line;
    const int64_t boot = boottime_ms();
    bool ok = std::getline(in, line) && line == magic;
    int64_t saved = 0;
    if (ok && std::getline(in, line)) {
        std::istringstream w(line);
        std::string word;
        ok = (w >> word >> saved) && word == "saved" && saved <= boot;
    }
    while (ok && std::getline(in, line)) {
        std::istringstream w(line);
        std::string kind, name;
        if (!(w >> kind >> name)) {
            ok = false;
        } else if (kind == "group") {
            unsigned long long g = 0;
            ok = bool(w >> g) && g <= UINT32_MAX;
            if (ok)
                out.groups.emplace_back(name, uint32_t(g));
        } else if (kind == "neighbour") {
            saved_state::entry e;
            std::string chassis, port;
            unsigned ttl = 0;
            int64_t expires = 0;
            size_t count = 0;
            ok = bool(w >> chassis >> port >> ttl >> expires >> count) && unhex(chassis, e.nb.chassis_id) &&
                 unhex(port, e.nb.port_id) && ttl <= UINT16_MAX && count <= 10000000;
            e.uplink = name;
            e.nb.ttl = uint16_t(ttl);
            e.left_ms = expires - boot;
            for (size_t k = 0; ok && k < count; k++) {
                host_prefix p;
                ok = std::getline(in, line) && parse_prefix(line, p);
                if (ok)
                    e.nb.declared.insert(p);
            }
            if (ok && e.left_ms > 0)
                out.neighbours.push_back(std::move(e));
        } else {
            ok = false;
        }
    }
    if (!ok) {
        hlog(LOG_WARNING, "state: %s is not readable as the state of an earlier run, ignored", state_path);
        out = saved_state{};
        return -1;
    }
    out.age_ms = boot - saved;
    // The groups of a run that did not stop cleanly: an uplink found already in the agent's group
    // goes back to this one at stop.
    for (uplink &up : cfg->uplinks)
        for (const auto &[name, group] : out.groups)
            if (name == up.name) {
                up.group_before = group;
                up.group_saved = true;
            }
    return int(out.neighbours.size());
}

size_t tallowhost_state_restore(host_config *cfg, saved_state &saved, int64_t now_ms,
                                std::vector<std::vector<declaration>> &changed)
{
    changed.assign(cfg->uplinks.size(), {});
    size_t restored = 0, prefixes = 0;
    for (saved_state::entry &e : saved.neighbours) {
        for (size_t i = 0; i < cfg->uplinks.size(); i++) {
            uplink &up = cfg->uplinks[i];
            if (up.name != e.uplink || !up.link_up || up.neighbours.size() >= max_neighbours ||
                up.held + e.nb.declared.size() > cfg->max_prefixes)
                continue;
            neighbour nb = std::move(e.nb);
            nb.expires_ms = now_ms + e.left_ms;
            nb.applied_ms = nb.changed_ms = now_ms;
            nb.whole_set = true;
            for (const host_prefix &p : nb.declared) {
                bool others = false;
                for (const neighbour &o : up.neighbours)
                    others = others || o.declared.count(p);
                if (!others)
                    changed[i].push_back(declaration{p, true});
            }
            up.held += nb.declared.size();
            prefixes += nb.declared.size();
            hlog(LOG_INFO, "neighbour: %s: chassis %s port %s restored, TTL %u, %lld s left, %zu prefixes",
                 up.name.c_str(), id_text(nb.chassis_id).c_str(), id_text(nb.port_id).c_str(), unsigned(nb.ttl),
                 static_cast<long long>(e.left_ms / 1000), nb.declared.size());
            up.neighbours.push_back(std::move(nb));
            restored++;
            break;
        }
    }
    for (auto &c : changed) {
        std::sort(c.begin(), c.end());
        c.erase(std::unique(c.begin(), c.end(), [](const declaration &a, const declaration &b) {
            return a.prefix == b.prefix; }), c.end());
    }
    if (restored)
        hlog(LOG_INFO, "state: restored %zu neighbours with %zu prefixes saved %lld ms ago", restored, prefixes,
             static_cast<long long>(saved.age_ms));
    saved.neighbours.clear();
    return restored;
}
