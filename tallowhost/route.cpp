// The agent's routing table and policy rule over route netlink: clearing what a previous run left
// behind, adding the rules, and turning route changes into messages for batched exchanges.

#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr int socket_buffer = 8 * 1024 * 1024;
constexpr uint8_t route_protocol = RTPROT_STATIC;

// The table of a dumped route or rule: the 32-bit attribute when present, else the header's byte.
uint32_t table_of(const uint8_t *msg, uint32_t msg_len, size_t header_size, uint8_t header_table, uint16_t attr_type)
{
    const size_t at = sizeof(nlmsghdr) + align4(header_size);
    size_t n = 0;
    const uint8_t *v = msg_len > at ? nl_find_attr(msg + at, msg_len - at, attr_type, n) : nullptr;
    if (v && n >= 4)
        return get_host32(v);
    return header_table;
}

// Deletes every route of our table and every rule that points to it, in both families: what a
// previous run left behind at start, and our own state at stop.
int clear_family(host_config *cfg, uint8_t family, unsigned &routes_removed, unsigned &rules_removed)
{
    nl_writer routes;
    int rc = nl_dump(cfg, RTM_GETROUTE, family, [&](const uint8_t *msg, uint32_t len) {
        if (get_host16(msg + 4) != RTM_NEWROUTE || len < sizeof(nlmsghdr) + sizeof(rtmsg))
            return;
        rtmsg rt;
        std::memcpy(&rt, msg + sizeof(nlmsghdr), sizeof rt);
        if (rt.rtm_flags & RTM_F_CLONED || table_of(msg, len, sizeof rt, rt.rtm_table, RTA_TABLE) != cfg->table)
            return;
        // The dumped route, sent back as a deletion, names exactly that route.
        routes.begin(RTM_DELROUTE, NLM_F_REQUEST, 0);
        routes.buf.insert(routes.buf.end(), msg + sizeof(nlmsghdr), msg + len);
        routes.buf.resize(align4(routes.buf.size()), 0);
        routes.end();
    });
    if (rc != 0)
        return -1;
    // Sequence numbers are given now that the dump's own number is spent.
    const uint32_t route_seq = nl_number(cfg, routes);
    int refused = nl_transact(cfg, routes, route_seq, [](size_t) { return std::string("stale route"); }, true);
    if (refused < 0)
        return -1;
    routes_removed += routes.count - unsigned(refused);

    nl_writer rules;
    rc = nl_dump(cfg, RTM_GETRULE, family, [&](const uint8_t *msg, uint32_t len) {
        if (get_host16(msg + 4) != RTM_NEWRULE || len < sizeof(nlmsghdr) + sizeof(fib_rule_hdr))
            return;
        fib_rule_hdr fr;
        std::memcpy(&fr, msg + sizeof(nlmsghdr), sizeof fr);
        if (table_of(msg, len, sizeof fr, fr.table, FRA_TABLE) != cfg->table)
            return;
        rules.begin(RTM_DELRULE, NLM_F_REQUEST, 0);
        rules.buf.insert(rules.buf.end(), msg + sizeof(nlmsghdr), msg + len);
        rules.buf.resize(align4(rules.buf.size()), 0);
        rules.end();
    });
    if (rc != 0)
        return -1;
    const uint32_t rule_seq = nl_number(cfg, rules);
    refused = nl_transact(cfg, rules, rule_seq, [](size_t) { return std::string("stale rule"); }, true);
    if (refused < 0)
        return -1;
    rules_removed += rules.count - unsigned(refused);
    return 0;
}

void put_route(host_config *cfg, nl_writer &w, const route_change &c, uint32_t seq)
{
    const bool v4 = c.prefix.family == 4;
    const size_t addr_len = v4 ? 4 : 16;
    w.begin(c.remove ? RTM_DELROUTE : RTM_NEWROUTE,
            uint16_t(NLM_F_REQUEST | (c.remove ? 0 : NLM_F_CREATE | NLM_F_REPLACE)), seq);
    rtmsg rt{};
    rt.rtm_family = v4 ? AF_INET : AF_INET6;
    rt.rtm_dst_len = c.prefix.plen;
    rt.rtm_table = cfg->table < 256 ? uint8_t(cfg->table) : uint8_t(RT_TABLE_UNSPEC);
    rt.rtm_protocol = route_protocol;
    rt.rtm_scope = RT_SCOPE_UNIVERSE;
    rt.rtm_type = c.remove ? RTN_UNSPEC : (c.reach ? RTN_UNICAST : RTN_UNREACHABLE);
    w.append(&rt, sizeof rt);
    w.attr32(RTA_TABLE, cfg->table);
    w.attr(RTA_DST, c.prefix.addr.data(), addr_len);
    if (c.remove || c.reach == 0) {
        w.end();
        return;
    }
    unsigned hops = 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++)
        hops += (c.reach >> i) & 1;
    if (hops == 1) {
        for (size_t i = 0; i < cfg->uplinks.size(); i++) {
            if (!((c.reach >> i) & 1))
                continue;
            const uplink &up = cfg->uplinks[i];
            w.attr(RTA_GATEWAY, v4 ? up.gw4.data() : up.gw6.data(), addr_len);
            w.attr32(RTA_OIF, up.ifindex);
        }
        w.end();
        return;
    }
    size_t mp = w.nest_begin(RTA_MULTIPATH);
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        if (!((c.reach >> i) & 1))
            continue;
        const uplink &up = cfg->uplinks[i];
        size_t at = w.buf.size();
        rtnexthop nh{};
        nh.rtnh_ifindex = int(up.ifindex);
        w.append(&nh, sizeof nh);
        w.attr(RTA_GATEWAY, v4 ? up.gw4.data() : up.gw6.data(), addr_len);
        uint16_t len = uint16_t(w.buf.size() - at);
        std::memcpy(w.buf.data() + at, &len, sizeof len);
    }
    w.nest_end(mp);
    w.end();
}

}  // namespace

int tallowhost_route_open(host_config *cfg)
{
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) {
        hlog(LOG_ERR, "route: netlink socket: %s", strerror(errno));
        return -1;
    }
    // Acknowledgements of a whole batch wait in the receive buffer until the batch is sent.
    int size = socket_buffer;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    int one = 1;
    // Refusals need not echo the request; the kernel's own explanation comes as an attribute.
    setsockopt(fd.get(), SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    setsockopt(fd.get(), SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        hlog(LOG_ERR, "route: netlink bind: %s", strerror(errno));
        return -1;
    }
    cfg->nl = std::move(fd);
    return 0;
}

int tallowhost_route_clear(host_config *cfg)
{
    unsigned routes = 0, rules = 0;
    int rc = 0;
    for (uint8_t family : {uint8_t(AF_INET), uint8_t(AF_INET6)})
        if (clear_family(cfg, family, routes, rules) != 0)
            rc = -1;
    if (routes || rules)
        hlog(LOG_NOTICE, "route: removed %u routes of table %u and %u rules to it", routes, cfg->table, rules);
    return rc;
}

int tallowhost_rule_add(host_config *cfg)
{
    nl_writer w;
    uint32_t first = cfg->nl_seq;
    for (uint8_t family : {uint8_t(AF_INET), uint8_t(AF_INET6)}) {
        w.begin(RTM_NEWRULE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, cfg->nl_seq++);
        fib_rule_hdr fr{};
        fr.family = family;
        fr.table = cfg->table < 256 ? uint8_t(cfg->table) : uint8_t(RT_TABLE_UNSPEC);
        fr.action = FR_ACT_TO_TBL;
        w.append(&fr, sizeof fr);
        w.attr32(FRA_PRIORITY, cfg->rule_priority);
        w.attr32(FRA_TABLE, cfg->table);
        w.end();
    }
    int refused = nl_transact(cfg, w, first, [](size_t i) { return std::string(i == 0 ? "IPv4 rule" : "IPv6 rule"); });
    return refused == 0 ? 0 : -1;
}

int tallowhost_route_apply(host_config *cfg, const std::vector<route_change> &changes)
{
    if (changes.empty())
        return 0;
    nl_writer w;
    w.buf.reserve(changes.size() * 80);
    const uint32_t first = cfg->nl_seq;
    for (const route_change &c : changes)
        put_route(cfg, w, c, cfg->nl_seq++);
    int refused = nl_transact(cfg, w, first, [&](size_t i) {
        const route_change &c = changes[i];
        return std::string(c.remove ? "removal of " : c.reach ? "route to " : "unreachable route to ") +
               prefix_text(c.prefix);
    });
    if (refused < 0)
        cfg->route_failures += changes.size();
    hlog(LOG_DEBUG, "route: %zu changes sent, %d refused", changes.size(), refused);
    return refused == 0 ? 0 : -1;
}

int tallowhost_route_remove_all(host_config *cfg)
{
    cfg->routes.clear();
    return tallowhost_route_clear(cfg);
}
