// The answers of `tallowhost show`: the uplinks with their next hops and neighbours, the neighbours
// alone, or what the agent declares and decides for one address, as text for people or as JSON of a
// fixed shape for scripts (tallowhost(8) gives both).

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "tallowhost.h"

namespace {

std::string seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

std::string json_seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

struct next_hop {
    std::string address;
    int family;
    bool usable;
};

std::vector<next_hop> next_hops(const uplink &up)
{
    // With an IPv4 next hop, uplink_usable(4) is that next hop's; its IPv6 one is uplink_usable(6).
    std::vector<next_hop> out;
    if (up.has_v4)
        out.push_back({address_text(AF_INET, up.gw4.data()), 4, uplink_usable(up, 4)});
    if (up.has_v6)
        out.push_back({address_text(AF_INET6, up.gw6.data()), 6, uplink_usable(up, 6)});
    return out;
}

const char *link_text(const uplink &up)
{
    if (!up.ifindex)
        return "absent";
    if (up.in_vrf)
        return "in a VRF";
    return up.link_up ? "up" : "down";
}

// One neighbour as JSON members (without braces) or as a line's text.
std::string neighbour_json(const neighbour &nb, int64_t now_ms)
{
    return "\"chassis_id\": " + json_string(id_text(nb.chassis_id)) + ", \"port_id\": " +
           json_string(id_text(nb.port_id)) + ", \"ttl\": " + std::to_string(nb.ttl) + ", \"ttl_left_s\": " +
           json_seconds(double(nb.expires_ms - now_ms) / 1000.0) + ", \"set_size\": " +
           std::to_string(nb.declared.size()) + ", \"set_age_s\": " +
           (nb.set_ms >= 0 ? json_seconds(double(now_ms - nb.set_ms) / 1000.0) : "null") + ", \"changed_s\": " +
           json_seconds(double(now_ms - nb.changed_ms) / 1000.0);
}

std::string neighbour_text(const neighbour &nb, int64_t now_ms)
{
    return "chassis " + id_text(nb.chassis_id) + " port " + id_text(nb.port_id) + ": TTL " + std::to_string(nb.ttl) +
           " (" + seconds(double(nb.expires_ms - now_ms) / 1000.0) + " s left), " +
           std::to_string(nb.declared.size()) + " prefixes, " +
           (nb.set_ms >= 0 ? "whole set " + seconds(double(now_ms - nb.set_ms) / 1000.0) + " s ago"
                           : std::string("no whole set yet"));
}

std::string show_uplinks(const host_config *cfg, int64_t now_ms, bool json)
{
    std::string s = json ? "{\"uplinks\": [" : "";
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        const uplink &up = cfg->uplinks[i];
        const std::vector<next_hop> hops = next_hops(up);
        if (json) {
            s += std::string(i ? ",\n  " : "\n  ") + "{\"interface\": " + json_string(up.name) + ", \"link\": \"" +
                 link_text(up) + "\", \"next_hops\": [";
            for (size_t k = 0; k < hops.size(); k++)
                s += std::string(k ? ", " : "") + "{\"address\": \"" + hops[k].address +
                     "\", \"family\": " + std::to_string(hops[k].family) +
                     ", \"usable\": " + (hops[k].usable ? "true" : "false") + "}";
            s += "], \"declared\": " + std::to_string(up.declared) + ", \"neighbours\": [";
            for (size_t k = 0; k < up.neighbours.size(); k++)
                s += std::string(k ? ", " : "") + "{" + neighbour_json(up.neighbours[k], now_ms) + "}";
            s += "]}";
            continue;
        }
        s += up.name + ": " + link_text(up) + ", next hops";
        for (const next_hop &h : hops)
            s += " " + h.address + (h.usable ? " (usable)" : " (not usable)");
        if (hops.empty())
            s += " none";
        s += ", " + std::to_string(up.declared) + " prefixes declared, " + std::to_string(up.neighbours.size()) +
             " declaring neighbours\n";
        for (const neighbour &nb : up.neighbours)
            s += "  " + neighbour_text(nb, now_ms) + "\n";
    }
    return json ? s + "\n]}\n" : s;
}

std::string show_neighbours(const host_config *cfg, int64_t now_ms, bool json)
{
    std::string s = json ? "{\"neighbours\": [" : "";
    bool first = true;
    for (const uplink &up : cfg->uplinks)
        for (const neighbour &nb : up.neighbours) {
            if (json)
                s += std::string(first ? "\n  " : ",\n  ") + "{\"interface\": " + json_string(up.name) + ", " +
                     neighbour_json(nb, now_ms) + "}";
            else
                s += up.name + " " + neighbour_text(nb, now_ms) + "\n";
            first = false;
        }
    if (!json && first)
        s = "no declaring neighbour\n";
    return json ? s + "\n]}\n" : s;
}

// What the agent's table says of the address: the longest of its routes that covers it, as the
// kernel's lookup in that table finds it.
const std::pair<const host_prefix, route_state> *table_match(const host_config *cfg, const host_prefix &addr)
{
    for (int plen = addr.family == 4 ? 32 : 128; plen >= 0; plen--) {
        auto it = cfg->routes.find(masked(addr, uint8_t(plen)));
        if (it != cfg->routes.end() && it->second.installed)
            return &*it;
    }
    return nullptr;
}

// The kernel's own answer for traffic to the address, as `ip route get` asks it: a lookup through
// every rule, the agent's among them, on a socket of its own.
struct kernel_answer {
    std::string type = "unknown";  // "unicast", "unreachable", another route type, or "unknown"
    uint32_t table = 0;
    std::string via, dev;
};

kernel_answer kernel_route_get(const host_prefix &addr)
{
    kernel_answer k;
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    const timeval tv{1, 0};
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return k;
    const size_t alen = addr.family == 4 ? 4 : 16;
    nl_writer w;
    w.begin(RTM_GETROUTE, NLM_F_REQUEST, 1);
    rtmsg rt{};
    rt.rtm_family = addr.family == 4 ? AF_INET : AF_INET6;
    rt.rtm_dst_len = uint8_t(alen * 8);
    rt.rtm_flags = RTM_F_LOOKUP_TABLE;  // the table of the route found, not the main table's number
    w.append(&rt, sizeof rt);
    w.attr(RTA_DST, addr.addr.data(), alen);
    w.end();
    uint8_t buf[8192];
    if (send(fd.get(), w.buf.data(), w.buf.size(), 0) < 0)
        return k;
    const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n < 16)
        return k;
    const uint16_t type = get_host16(buf + 4);
    if (type == NLMSG_ERROR && n >= 20) {
        const int e = -int(get_host32(buf + 16));
        if (e == EHOSTUNREACH || e == ENETUNREACH)
            k.type = "unreachable";
        return k;
    }
    rtmsg m;
    std::span<const uint8_t> a;
    if (type != RTM_NEWROUTE || !nl_message_header(buf, uint32_t(n), m, a))
        return k;
    size_t len = 0;
    const uint8_t *tab = nl_find_attr(a.data(), a.size(), RTA_TABLE, len);
    k.table = tab && len >= 4 ? get_host32(tab) : m.rtm_table;
    k.type = m.rtm_type == RTN_UNICAST ? "unicast" : m.rtm_type == RTN_UNREACHABLE ? "unreachable"
             : m.rtm_type == RTN_LOCAL ? "local" : "other";
    if (const uint8_t *gw = nl_find_attr(a.data(), a.size(), RTA_GATEWAY, len); gw && (len == 4 || len == 16))
        k.via = address_text(len == 4 ? AF_INET : AF_INET6, gw);
    if (const uint8_t *via = nl_find_attr(a.data(), a.size(), RTA_VIA, len); via && len >= 2 + 4)
        k.via = address_text(get_host16(via) == AF_INET6 && len >= 18 ? AF_INET6 : AF_INET, via + 2);
    char name[IF_NAMESIZE] = "";
    if (const uint8_t *oif = nl_find_attr(a.data(), a.size(), RTA_OIF, len); oif && len >= 4 &&
        if_indextoname(get_host32(oif), name))
        k.dev = name;
    return k;
}

std::string kernel_json(const kernel_answer &k)
{
    return "{\"type\": \"" + k.type + "\", \"table\": " + (k.table ? std::to_string(k.table) : "null") +
           ", \"via\": " + (k.via.empty() ? "null" : "\"" + k.via + "\"") +
           ", \"dev\": " + (k.dev.empty() ? "null" : json_string(k.dev)) + "}";
}

std::string kernel_text(const host_config *cfg, const kernel_answer &k)
{
    if (k.type == "unknown")
        return "kernel: no answer\n";
    std::string s = "kernel: " + (k.type == "unicast" ? std::string() : k.type);
    if (!k.via.empty())
        s += (s.size() > 8 ? " " : "") + std::string("via ") + k.via;
    if (!k.dev.empty())
        s += (s.size() > 8 ? " " : "") + std::string("dev ") + k.dev;
    if (k.table)
        s += k.table == cfg->table ? ", the agent's table" : k.table == RT_TABLE_MAIN ? ", the main table"
                                                                                      : ", table " + std::to_string(k.table);
    return s + "\n";
}

std::string show_prefix(const host_config *cfg, const host_prefix &addr, bool json)
{
    const std::string a = address_text(addr.family == 4 ? AF_INET : AF_INET6, addr.addr.data());
    std::string declared_json, declared_text;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        const uplink &up = cfg->uplinks[i];
        std::string line;
        for (uint8_t plen : up.lengths[addr.family == 4 ? 0 : 1]) {
            const host_prefix p = masked(addr, plen);
            for (const neighbour &nb : up.neighbours) {
                if (!nb.declared.count(p))
                    continue;
                declared_json += std::string(declared_json.empty() ? "" : ", ") + "{\"prefix\": \"" + prefix_text(p) +
                                 "\", \"interface\": " + json_string(up.name) + ", \"chassis_id\": " +
                                 json_string(id_text(nb.chassis_id)) + ", \"port_id\": " +
                                 json_string(id_text(nb.port_id)) + "}";
                line += "  " + prefix_text(p) + " on " + up.name + ", by chassis " + id_text(nb.chassis_id) +
                        " port " + id_text(nb.port_id) + "\n";
            }
        }
        declared_text += line;
    }
    std::string type = "none", route, via_json, via_text;
    if (const auto *m = table_match(cfg, addr)) {
        route = prefix_text(m->first);
        const route_state &r = m->second;
        type = r.thrown ? "throw" : r.reach ? "unicast" : "unreachable";
        for (size_t i = 0; i < cfg->uplinks.size() && !r.thrown; i++) {
            if (!(r.reach >> i & 1))
                continue;
            const uplink &up = cfg->uplinks[i];
            const bool v6 = addr.family == 6 || !up.has_v4;
            const std::string hop = v6 ? address_text(AF_INET6, up.gw6.data()) : address_text(AF_INET, up.gw4.data());
            via_json += std::string(via_json.empty() ? "" : ", ") + "{\"interface\": " + json_string(up.name) +
                        ", \"next_hop\": \"" + hop + "\"}";
            via_text += std::string(via_text.empty() ? "" : ", ") + up.name + " (" + hop + ")";
        }
    }
    const kernel_answer k = kernel_route_get(addr);
    if (json)
        return "{\"address\": \"" + a + "\", \"declared\": [" + declared_json + "], \"decision\": {\"type\": \"" + type +
               "\", \"route\": " + (route.empty() ? "null" : "\"" + route + "\"") + ", \"uplinks\": [" + via_json +
               "]}, \"kernel\": " + kernel_json(k) + "}\n";
    std::string s = a + "\n" + (declared_text.empty() ? "  declared by no neighbour\n" : declared_text);
    if (type == "none")
        s += "decision: not steered, the main table decides\n";
    else if (type == "throw")
        s += "decision: " + route + " is left to the main table (an uplink's subnet or gateway)\n";
    else if (type == "unreachable")
        s += "decision: " + route + " unreachable, no uplink reaches it\n";
    else
        s += "decision: " + route + " via " + via_text + "\n";
    return s + kernel_text(cfg, k);
}

}  // namespace

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (uint8_t(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(uint8_t(c)));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string tallowhost_show(const host_config *cfg, const std::string &request, int64_t now_ms)
{
    // "WHAT [ADDRESS] [json]"
    std::vector<std::string> words;
    for (size_t i = 0; i < request.size();) {
        const size_t end = std::min(request.find(' ', i), request.size());
        if (end > i)
            words.push_back(request.substr(i, end - i));
        i = end + 1;
    }
    const bool json = !words.empty() && words.back() == "json";
    if (json)
        words.pop_back();
    if (words.size() == 1 && words[0] == "uplinks")
        return show_uplinks(cfg, now_ms, json);
    if (words.size() == 1 && words[0] == "neighbours")
        return show_neighbours(cfg, now_ms, json);
    host_prefix addr;
    if (words.size() == 2 && words[0] == "prefix") {
        if (inet_pton(AF_INET, words[1].c_str(), addr.addr.data()) == 1) {
            addr.family = 4;
            addr.plen = 32;
            return show_prefix(cfg, addr, json);
        }
        if (inet_pton(AF_INET6, words[1].c_str(), addr.addr.data()) == 1) {
            addr.family = 6;
            addr.plen = 128;
            return show_prefix(cfg, addr, json);
        }
    }
    return "error: unknown request\n";
}
