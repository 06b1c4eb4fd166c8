// The agent's routing table and policy rules over route netlink. Everything the agent installs
// carries its own protocol number, and only that is ever removed: at start it adopts what a previous
// run left, refuses a foreign rule at its priorities and warns of foreign routes in its table; while
// it runs it compares the kernel's table with its own when the kernel may have changed it.

#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr int socket_buffer = 8 * 1024 * 1024;

// A route of the kernel, as a dump gives it.
struct kernel_route {
    host_prefix prefix;
    uint8_t protocol = 0;
    uint8_t type = 0;
    uint32_t reach = 0;  // uplinks of its next hops
    bool other_hop = false;  // a next hop that is no uplink of ours, or dead
};

void add_hop(const host_config *cfg, kernel_route &k, uint32_t ifindex, uint8_t flags)
{
    int i = uplink_index(cfg, ifindex);
    if (i < 0 || (flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)))
        k.other_hop = true;
    else
        k.reach |= 1u << i;
}

// Parses a dumped route of our table; false for anything else.
bool parse_route(const host_config *cfg, const uint8_t *msg, uint32_t len, kernel_route &k)
{
    rtmsg rt;
    std::span<const uint8_t> a;
    if (get_host16(msg + 4) != RTM_NEWROUTE || !nl_message_header(msg, len, rt, a))
        return false;
    const uint8_t *attrs = a.data();
    const size_t attrs_len = a.size();
    if ((rt.rtm_flags & RTM_F_CLONED) || nl_attr32_or(attrs, attrs_len, RTA_TABLE, rt.rtm_table) != cfg->table)
        return false;
    if ((rt.rtm_family != AF_INET && rt.rtm_family != AF_INET6) || rt.rtm_dst_len > (rt.rtm_family == AF_INET ? 32 : 128))
        return false;
    k.prefix = host_prefix{};
    k.prefix.family = rt.rtm_family == AF_INET ? 4 : 6;
    k.prefix.plen = rt.rtm_dst_len;
    size_t n = 0;
    if (const uint8_t *dst = nl_find_attr(attrs, attrs_len, RTA_DST, n))
        std::memcpy(k.prefix.addr.data(), dst, std::min(n, size_t(k.prefix.family == 4 ? 4 : 16)));
    k.prefix = masked(k.prefix, k.prefix.plen);
    k.protocol = rt.rtm_protocol;
    k.type = rt.rtm_type;
    k.reach = 0;
    k.other_hop = false;
    if (const uint8_t *oif = nl_find_attr(attrs, attrs_len, RTA_OIF, n); oif && n >= 4)
        add_hop(cfg, k, get_host32(oif), 0);
    if (const uint8_t *mp = nl_find_attr(attrs, attrs_len, RTA_MULTIPATH, n)) {
        for (size_t off = 0; off + sizeof(rtnexthop) <= n;) {
            rtnexthop nh;
            std::memcpy(&nh, mp + off, sizeof nh);
            if (nh.rtnh_len < sizeof nh || off + nh.rtnh_len > n)
                break;
            add_hop(cfg, k, uint32_t(nh.rtnh_ifindex), nh.rtnh_flags);
            off += align4(nh.rtnh_len);
        }
    }
    return true;
}

// Every route of our table, both families, our own and others'.
int dump_table(host_config *cfg, const std::function<void(const kernel_route &)> &each)
{
    for (uint8_t family : {uint8_t(AF_INET), uint8_t(AF_INET6)}) {
        rtmsg rt{};
        rt.rtm_family = family;
        rt.rtm_table = cfg->table < 256 ? uint8_t(cfg->table) : uint8_t(RT_TABLE_UNSPEC);
        int rc = nl_dump(cfg, RTM_GETROUTE, &rt, sizeof rt, cfg->table, [&](const uint8_t *msg, uint32_t len) {
            kernel_route k;
            if (parse_route(cfg, msg, len, k))
                each(k);
        });
        if (rc != 0)
            return -1;
    }
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
    rt.rtm_type = c.remove ? RTN_UNSPEC : c.throw_route ? RTN_THROW : c.reach ? RTN_UNICAST : RTN_UNREACHABLE;
    w.append(&rt, sizeof rt);
    w.attr32(RTA_TABLE, cfg->table);
    w.attr(RTA_DST, c.prefix.addr.data(), addr_len);
    if (c.remove || c.throw_route || c.reach == 0) {
        w.end();
        return;
    }
    unsigned hops = 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++)
        hops += (c.reach >> i) & 1;
    const size_t mp = hops > 1 ? w.nest_begin(RTA_MULTIPATH) : 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        if (!((c.reach >> i) & 1))
            continue;
        const uplink &up = cfg->uplinks[i];
        const size_t at = w.buf.size();
        if (hops > 1) {
            rtnexthop nh{};
            nh.rtnh_ifindex = int(up.ifindex);
            w.append(&nh, sizeof nh);
        }
        // An IPv4 prefix goes through the IPv6 next hop of an uplink that has no IPv4 one.
        const bool via6 = v4 && uplink_v4_via_v6(up);
        if (via6) {
            uint8_t via[2 + 16];
            const uint16_t family = AF_INET6;
            std::memcpy(via, &family, 2);
            std::memcpy(via + 2, up.gw6.data(), 16);
            w.attr(RTA_VIA, via, sizeof via);
        } else {
            w.attr(RTA_GATEWAY, v4 ? up.gw4.data() : up.gw6.data(), addr_len);
        }
        const bool onlink = via6 ? up.gw6_flag_onlink : v4 ? up.gw4_flag_onlink : up.gw6_flag_onlink;
        if (hops > 1) {
            rtnexthop nh{};
            std::memcpy(&nh, w.buf.data() + at, sizeof nh);
            nh.rtnh_len = uint16_t(w.buf.size() - at);
            nh.rtnh_flags = onlink ? RTNH_F_ONLINK : 0;
            std::memcpy(w.buf.data() + at, &nh, sizeof nh);
        } else {
            w.attr32(RTA_OIF, up.ifindex);
            if (onlink) {
                rtmsg head;
                std::memcpy(&head, w.buf.data() + w.msg_start + sizeof(nlmsghdr), sizeof head);
                head.rtm_flags |= RTNH_F_ONLINK;
                std::memcpy(w.buf.data() + w.msg_start + sizeof(nlmsghdr), &head, sizeof head);
            }
        }
    }
    if (hops > 1)
        w.nest_end(mp);
    w.end();
}

// Deletes routes of our table by prefix and type; the count of those removed, or -1.
int delete_routes(host_config *cfg, const std::vector<kernel_route> &gone)
{
    if (gone.empty())
        return 0;
    std::vector<route_change> changes;
    for (const kernel_route &k : gone)
        changes.push_back(route_change{k.prefix, true, false, 0});
    nl_writer w;
    const uint32_t first = cfg->nl_seq;
    for (const route_change &c : changes)
        put_route(cfg, w, c, cfg->nl_seq++);
    int refused = nl_transact(cfg, w, first, [&](size_t i) { return "removal of " + prefix_text(changes[i].prefix); },
                              true);
    return refused < 0 ? -1 : int(changes.size()) - refused;
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
    // Dumps of routes then hold our table only.
    setsockopt(fd.get(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        hlog(LOG_ERR, "route: netlink bind: %s", strerror(errno));
        return -1;
    }
    socklen_t alen = sizeof addr;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &alen) != 0) {
        hlog(LOG_ERR, "route: netlink getsockname: %s", strerror(errno));
        return -1;
    }
    cfg->nl_portid = addr.nl_pid;
    cfg->nl = std::move(fd);
    return 0;
}

int tallowhost_table_take(host_config *cfg)
{
    nl_writer stale;
    bool conflict = false;
    int rc = dump_rules(cfg, [&](const kernel_rule &r, const uint8_t *msg, uint32_t len) {
        if (r.protocol == route_protocol) {
            if (!wanted_rule(cfg, r))
                put_rule_delete(stale, msg, len);
            return;
        }
        if (r.l3mdev && r.priority + 1 >= cfg->rule_priority) {
            // The agent's rules in front of it would steer the traffic of every VRF.
            hlog(LOG_ERR, "rule: the IPv%c l3mdev rule of the VRFs at priority %u would come after the agent's rules "
                 "and their traffic would be steered; choose a --rule-priority above %u",
                 r.family == AF_INET ? '4' : '6', r.priority, r.priority + 1);
            conflict = true;
        } else if (r.priority == cfg->rule_priority || r.priority == cfg->rule_priority - 1) {
            hlog(LOG_ERR, "rule: priority %u already holds an IPv%c rule that is not the agent's (lookup %u); "
                 "choose another --rule-priority", r.priority, r.family == AF_INET ? '4' : '6', r.table);
            conflict = true;
        } else if (r.table == cfg->table) {
            hlog(LOG_WARNING, "rule: an IPv%c rule that is not the agent's, at priority %u, also looks up table %u",
                 r.family == AF_INET ? '4' : '6', r.priority, r.table);
        }
    });
    if (rc != 0 || conflict)
        return -1;
    if (stale.count) {
        const uint32_t seq = nl_number(cfg, stale);
        if (nl_transact(cfg, stale, seq, [](size_t) { return std::string("stale rule"); }, true) < 0)
            return -1;
        hlog(LOG_NOTICE, "rule: removed %u rules of the agent's that the options no longer ask for", stale.count);
    }

    size_t foreign = 0, adopted = 0;
    rc = dump_table(cfg, [&](const kernel_route &k) {
        if (k.protocol != route_protocol) {
            foreign++;
            return;
        }
        route_state &r = cfg->routes[k.prefix];
        if (r.installed)
            return;
        r.installed = true;
        r.adopted = true;
        r.thrown = k.type == RTN_THROW;
        r.reach = k.type == RTN_UNICAST ? k.reach : 0;
        cfg->installed++;
        adopted++;
    });
    if (rc != 0)
        return -1;
    if (foreign)
        hlog(LOG_WARNING, "route: table %u holds %zu routes that are not the agent's; they are left alone",
             cfg->table, foreign);
    if (adopted) {
        cfg->adopting = true;
        hlog(LOG_NOTICE, "route: adopted %zu routes of a previous run in table %u; those not confirmed within %lld s "
             "are removed", adopted, cfg->table, static_cast<long long>(adopt_window_ms / 1000));
    }
    return tallowhost_rules_ensure(cfg) < 0 ? -1 : 0;
}

int tallowhost_route_apply(host_config *cfg, const std::vector<route_change> &changes, const char *)
{
    if (changes.empty())
        return 0;
    nl_writer w;
    w.buf.reserve(changes.size() * 80);
    const uint32_t first = cfg->nl_seq;
    for (const route_change &c : changes)
        put_route(cfg, w, c, cfg->nl_seq++);
    std::vector<size_t> refused_at;
    int refused = nl_transact(cfg, w, first, [&](size_t i) {
        const route_change &c = changes[i];
        return std::string(c.remove ? "removal of " : c.throw_route ? "throw route to " : c.reach ? "route to " :
                           "unreachable route to ") + prefix_text(c.prefix);
    }, false, &refused_at);
    if (refused < 0) {
        // The exchange itself failed: what the kernel holds is unknown until the next comparison.
        cfg->route_failures += changes.size();
        cfg->reconcile_ms = monotonic_ms() + 1000;
        return int(changes.size());
    }
    // A refused route is not in the kernel; it is sent again when a link or an address changes.
    for (size_t i : refused_at) {
        const route_change &c = changes[i];
        auto it = cfg->routes.find(c.prefix);
        if (!c.remove && it != cfg->routes.end() && it->second.installed) {
            it->second.installed = false;
            cfg->installed--;
        }
    }
    return refused;
}

int tallowhost_reconcile(host_config *cfg)
{
    size_t missing = 0, different = 0;
    std::vector<kernel_route> strays;
    for (auto &[p, r] : cfg->routes)
        r.dirty = false;  // marks the entries the kernel holds
    int rc = dump_table(cfg, [&](const kernel_route &k) {
        if (k.protocol != route_protocol)
            return;
        auto it = cfg->routes.find(k.prefix);
        if (it == cfg->routes.end()) {
            strays.push_back(k);
            return;
        }
        route_state &r = it->second;
        if (!r.installed)
            return;  // refused before, or replaced below: sent again whole
        r.dirty = true;
        const bool same = r.thrown ? k.type == RTN_THROW
                                   : r.reach ? k.type == RTN_UNICAST && k.reach == r.reach && !k.other_hop
                                             : k.type == RTN_UNREACHABLE;
        if (!same) {
            different++;
            r.installed = false;
            cfg->installed--;
        }
    });
    if (rc != 0)
        return -1;
    for (auto &[p, r] : cfg->routes) {
        if (r.installed && !r.dirty) {
            missing++;
            r.installed = false;
            cfg->installed--;
        }
        r.dirty = false;
    }
    // Strays in the kernel that a change of ours did not remove; the refused ones came back above.
    size_t removed = 0;
    if (!strays.empty()) {
        int n = delete_routes(cfg, strays);
        removed = n > 0 ? size_t(n) : 0;
    }
    std::vector<route_change> changes;
    tallowhost_steer_all(cfg, changes);
    int refused = tallowhost_route_apply(cfg, changes, "table");
    if (missing || different || removed) {
        cfg->restored += missing + different;
        hlog(LOG_WARNING, "route: table %u was changed behind the agent's back: %zu routes missing, %zu different, "
             "%zu not wanted; %zu changes sent, %d refused, %zu routes in table %u", cfg->table, missing, different,
             removed, changes.size(), refused, cfg->installed, cfg->table);
    } else if (!changes.empty()) {
        hlog(LOG_INFO, "route: table %u: %zu changes sent, %d refused, %zu routes in table %u", cfg->table,
             changes.size(), refused, cfg->installed, cfg->table);
    }
    return 0;
}

int tallowhost_route_remove_all(host_config *cfg)
{
    std::vector<kernel_route> ours;
    int rc = dump_table(cfg, [&](const kernel_route &k) {
        if (k.protocol == route_protocol)
            ours.push_back(k);
    });
    int routes = rc == 0 ? delete_routes(cfg, ours) : -1;
    int rules_removed = tallowhost_rules_remove(cfg);
    if (rules_removed < 0) {
        rc = -1;
        rules_removed = 0;
    }
    cfg->routes.clear();
    cfg->installed = 0;
    hlog(LOG_NOTICE, "route: removed %d routes of table %u and %d rules to it", routes < 0 ? 0 : routes, cfg->table,
         rules_removed);
    return rc == 0 && routes >= 0 ? 0 : -1;
}
