// The uplinks' links as the kernel sees them: found by name, followed by index, up with their carrier
// or not, in a VRF or not, their interface group and settings; and the kernel's notifications of
// link, address, route and rule changes, which tell the agent when to look again.

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/fib_rules.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/ip.h>
#include <linux/ipv6.h>
#include <linux/netconf.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr int monitor_buffer = 16 * 1024 * 1024;
constexpr int64_t settle_ms = 20;  // notifications come in bursts: look once the burst is over

int set_group(host_config *cfg, const uplink &up, uint32_t group)
{
    nl_writer w;
    const uint32_t seq = cfg->nl_seq++;
    w.begin(RTM_NEWLINK, NLM_F_REQUEST, seq);
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    ifi.ifi_index = int(up.ifindex);
    w.append(&ifi, sizeof ifi);
    w.attr32(IFLA_GROUP, group);
    w.end();
    return nl_transact(cfg, w, seq, [&](size_t) { return "interface group of " + up.name; }) == 0 ? 0 : -1;
}

// What a link message says of the link.
struct link_info {
    uint32_t ifindex = 0;
    uint32_t flags = 0;
    std::string name;
    bool has_group = false;
    uint32_t group = 0;
    bool vrf_slave = false;  // enslaved to a VRF device
    int rp_filter = -1;      // its IPv4 rp_filter, when the message carries its IPv4 settings
    bool ipv6_disabled = false;
};

bool parse_link(const uint8_t *msg, uint32_t len, link_info &li)
{
    ifinfomsg ifi;
    std::span<const uint8_t> attrs;
    if (!nl_message_header(msg, len, ifi, attrs))
        return false;
    li.ifindex = uint32_t(ifi.ifi_index);
    li.flags = ifi.ifi_flags;
    size_t n = 0;
    if (const uint8_t *name = nl_find_attr(attrs.data(), attrs.size(), IFLA_IFNAME, n))
        li.name.assign(reinterpret_cast<const char *>(name), strnlen(reinterpret_cast<const char *>(name), n));
    if (const uint8_t *g = nl_find_attr(attrs.data(), attrs.size(), IFLA_GROUP, n); g && n >= 4) {
        li.has_group = true;
        li.group = get_host32(g);
    }
    if (const uint8_t *info = nl_find_attr(attrs.data(), attrs.size(), IFLA_LINKINFO, n)) {
        size_t kn = 0;
        const uint8_t *kind = nl_find_attr(info, n, IFLA_INFO_SLAVE_KIND, kn);
        li.vrf_slave = kind && strnlen(reinterpret_cast<const char *>(kind), kn) == 3 && std::memcmp(kind, "vrf", 3) == 0;
    }
    // The link's IPv4 and IPv6 settings, as arrays indexed by the kernel's devconf numbers.
    if (const uint8_t *af = nl_find_attr(attrs.data(), attrs.size(), IFLA_AF_SPEC, n)) {
        size_t fn = 0, cn = 0;
        const uint8_t *v4 = nl_find_attr(af, n, AF_INET, fn);
        const uint8_t *conf = v4 ? nl_find_attr(v4, fn, IFLA_INET_CONF, cn) : nullptr;
        if (conf && cn >= 4 * size_t(IPV4_DEVCONF_RP_FILTER))
            li.rp_filter = int(get_host32(conf + 4 * (IPV4_DEVCONF_RP_FILTER - 1)));
        const uint8_t *v6 = nl_find_attr(af, n, AF_INET6, fn);
        conf = v6 ? nl_find_attr(v6, fn, IFLA_INET6_CONF, cn) : nullptr;
        li.ipv6_disabled = conf && cn >= 4 * size_t(DEVCONF_DISABLE_IPV6 + 1) &&
                           get_host32(conf + 4 * DEVCONF_DISABLE_IPV6) != 0;
    }
    return true;
}

// net.ipv4.conf.all.rp_filter, from the kernel's netconf entries; -1 when it cannot be read.
int rp_filter_all(host_config *cfg)
{
    netconfmsg ncm{};
    ncm.ncm_family = AF_INET;
    int all = -1;
    nl_dump(cfg, RTM_GETNETCONF, &ncm, sizeof ncm, 0, [&](const uint8_t *msg, uint32_t len) {
        netconfmsg m;
        std::span<const uint8_t> a;
        if (get_host16(msg + 4) != RTM_NEWNETCONF || !nl_message_header(msg, len, m, a))
            return;
        size_t n = 0;
        const uint8_t *index = nl_find_attr(a.data(), a.size(), NETCONFA_IFINDEX, n);
        const uint8_t *rp = nl_find_attr(a.data(), a.size(), NETCONFA_RP_FILTER, n);
        if (index && rp && n >= 4 && int32_t(get_host32(index)) == NETCONFA_IFINDEX_ALL)
            all = int(get_host32(rp));
    });
    return all;
}

// Strict reverse-path filtering judges the source of what arrives through an uplink by the route
// back, which the agent's table may send through another uplink: say so when it starts to apply.
void note_rp_filter(host_config *cfg, uplink &up, int rp_filter)
{
    const int before = up.rp_filter;
    up.rp_filter = rp_filter;
    if (rp_filter < 0 || rp_filter == before)
        return;
    if (std::max(rp_filter, rp_filter_all(cfg)) == 1)
        hlog(LOG_NOTICE, "link: %s: strict reverse-path filtering (rp_filter 1): what arrives through it from a "
             "prefix steered away from it is dropped by the kernel; rp_filter 2 accepts it", up.name.c_str());
}

// The link of an uplink went away: it reaches nothing, and a link made again under its name is a
// new one.
void uplink_gone(uplink &up)
{
    if (up.link_known)
        hlog(LOG_WARNING, "link: %s: deleted", up.name.c_str());
    up.waited = true;
    up.went_down = up.went_down || up.link_up;
    up.ifindex = 0;
    up.link_known = false;
    up.link_up = false;
    up.in_vrf = false;
    up.ipv6_disabled = false;
    up.rp_filter = -1;
    up.group_taken = false;
    // Its subnets go when the addresses are read again, which then changes the throw routes.
}

// One link message: the link of an uplink (found by index, or by name while the uplink has no link),
// its state and group. Returns the uplink's index when its link went up or down, appeared or went
// away; -1 otherwise.
int take_link(host_config *cfg, const uint8_t *msg, uint32_t len, bool deleted)
{
    link_info li;
    if (!parse_link(msg, len, li))
        return -1;
    int i = uplink_index(cfg, li.ifindex);
    bool appeared = false;
    if (i < 0) {
        if (deleted || li.name.empty())
            return -1;
        for (size_t k = 0; k < cfg->uplinks.size() && i < 0; k++)
            if (cfg->uplinks[k].ifindex == 0 && cfg->uplinks[k].name == li.name)
                i = int(k);
        if (i < 0)
            return -1;
        cfg->uplinks[size_t(i)].ifindex = li.ifindex;
        appeared = true;
        cfg->addresses_due = true;
    }
    uplink &up = cfg->uplinks[size_t(i)];
    if (deleted) {
        uplink_gone(up);
        cfg->addresses_due = true;
        return i;
    }
    if (!li.name.empty() && li.name != up.name) {
        hlog(LOG_NOTICE, "link: %s: renamed %s, followed", up.name.c_str(), li.name.c_str());
        up.name = li.name;
    }
    if (li.has_group) {
        if (!up.group_taken) {
            // An uplink already in the group was left there by a run that did not stop cleanly: the
            // group it had before that run comes from the saved state.
            up.group_before = li.group != cfg->ifgroup ? li.group : up.group_saved ? up.group_before : 0;
            up.group_taken = true;
            cfg->state_due = true;
        } else if (li.group != cfg->ifgroup && up.group != li.group) {
            hlog(LOG_WARNING, "link: %s: interface group changed to %u by someone else, set back to %u",
                 up.name.c_str(), li.group, cfg->ifgroup);
        }
        up.group = li.group;  // tallowhost_groups_take puts it back in the agent's group
    }
    const bool vrf_changed = li.vrf_slave != up.in_vrf;
    if (vrf_changed && (up.link_known || li.vrf_slave))
        hlog(LOG_WARNING, "link: %s: %s", up.name.c_str(),
             li.vrf_slave ? "enslaved to a VRF, not steered while it is" : "no longer in a VRF");
    up.in_vrf = li.vrf_slave;
    const bool now_up = (li.flags & IFF_UP) && (li.flags & IFF_LOWER_UP) && !up.in_vrf;
    if (appeared) {
        // Its socket at once, not after the rest of the notifications: a frame that arrives once the
        // link is said to be taken in is read.
        up.sock.reset();
        tallowhost_open_uplink_socket(&up);  // logged; tried again at the link's next change
    }
    if (appeared && up.waited)
        hlog(LOG_NOTICE, "link: %s: present (index %u), taken in%s", up.name.c_str(), li.ifindex,
             now_up ? "" : ", not up yet");
    if (up.link_known && now_up == up.link_up && !appeared)
        return -1;
    note_rp_filter(cfg, up, li.rp_filter);
    if (li.ipv6_disabled != up.ipv6_disabled) {
        if (up.link_known || li.ipv6_disabled)
            hlog(LOG_NOTICE, "link: %s: IPv6 %s", up.name.c_str(),
                 li.ipv6_disabled ? "disabled: no IPv6 next hop through it" : "enabled again");
        up.ipv6_disabled = li.ipv6_disabled;
        cfg->addresses_due = true;  // decided again with the addresses
    }
    const bool first = !up.link_known;
    up.went_down = up.went_down || (up.link_up && !now_up);
    up.link_known = true;
    up.link_up = now_up;
    if ((!first || !now_up) && !(appeared && up.waited) && !(vrf_changed && up.in_vrf))
        hlog(now_up ? LOG_INFO : LOG_WARNING, "link: %s: %s", up.name.c_str(),
             now_up ? "up" : up.in_vrf ? "in a VRF" : (li.flags & IFF_UP) ? "carrier lost" : "set down");
    return first && !appeared ? -1 : i;
}

// Drops every route notification but those of a route of ours removed, added or replaced by someone
// else or by the kernel: the agent's own changes, which carry its request socket's port ID, would
// otherwise fill the buffer, and its own removals read late would look like someone else's.
int attach_filter(int fd, uint32_t own_portid)
{
    const uint32_t delroute = htons(RTM_DELROUTE);  // loaded as a big-endian half-word
    const uint32_t newroute = htons(RTM_NEWROUTE);
    const uint32_t own = htonl(own_portid);  // and this as a big-endian word
    const uint32_t at_protocol = sizeof(nlmsghdr) + offsetof(rtmsg, rtm_protocol);
    sock_filter code[] = {
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, offsetof(nlmsghdr, nlmsg_type)},
        {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, newroute},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 4, delroute},  // not a route: kept
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(nlmsghdr, nlmsg_pid)},
        {BPF_JMP | BPF_JEQ | BPF_K, 3, 0, own},  // our own change: dropped; else the protocol decides
        {BPF_LD | BPF_B | BPF_ABS, 0, 0, at_protocol},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, route_protocol},
        {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFF},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    sock_fprog prog{uint16_t(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
}

}  // namespace

int uplink_index(const host_config *cfg, uint32_t ifindex)
{
    for (size_t i = 0; i < cfg->uplinks.size(); i++)
        if (cfg->uplinks[i].ifindex == ifindex)
            return int(i);
    return -1;
}

int tallowhost_monitor_open(host_config *cfg)
{
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd.valid()) {
        hlog(LOG_ERR, "link: netlink socket: %s", strerror(errno));
        return -1;
    }
    int size = monitor_buffer;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (attach_filter(fd.get(), cfg->nl_portid) != 0) {
        hlog(LOG_ERR, "link: netlink filter: %s", strerror(errno));
        return -1;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        hlog(LOG_ERR, "link: netlink bind: %s", strerror(errno));
        return -1;
    }
    for (int group : {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV6_ROUTE,
                      RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_RULE}) {
        if (setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            hlog(LOG_ERR, "link: netlink group %d: %s", group, strerror(errno));
            return -1;
        }
    }
    cfg->monitor = std::move(fd);
    return 0;
}

int tallowhost_links_read(host_config *cfg, std::vector<size_t> *changed)
{
    // Every link first, then the uplinks: one deleted and made again under its name between two
    // reads is let go before its name is looked for.
    ifinfomsg ifi{};
    std::vector<std::vector<uint8_t>> links;
    std::vector<uint32_t> present;
    int rc = nl_dump(cfg, RTM_GETLINK, &ifi, sizeof ifi, 0, [&](const uint8_t *msg, uint32_t len) {
        if (get_host16(msg + 4) != RTM_NEWLINK || len < sizeof(nlmsghdr) + sizeof(ifinfomsg))
            return;
        ifinfomsg m;
        std::memcpy(&m, msg + sizeof(nlmsghdr), sizeof m);
        present.push_back(uint32_t(m.ifi_index));
        links.emplace_back(msg, msg + len);
    });
    if (rc != 0)
        return -1;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        uplink &up = cfg->uplinks[i];
        if (up.ifindex && std::find(present.begin(), present.end(), up.ifindex) == present.end()) {
            uplink_gone(up);
            cfg->addresses_due = true;
            if (changed)
                changed->push_back(i);
        }
    }
    for (const std::vector<uint8_t> &msg : links) {
        int i = take_link(cfg, msg.data(), uint32_t(msg.size()), false);
        if (i >= 0 && changed)
            changed->push_back(size_t(i));
    }
    return 0;
}

int tallowhost_monitor_read(host_config *cfg, std::vector<size_t> &links_changed)
{
    std::vector<uint8_t> rx(256 * 1024);
    for (;;) {
        ssize_t n = recv(cfg->monitor.get(), rx.data(), rx.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            if (errno == ENOBUFS) {
                // Notifications were lost: look at everything again.
                hlog(LOG_INFO, "link: kernel notifications overflowed, reading links, addresses, rules and the table");
                cfg->links_due = cfg->addresses_due = cfg->rules_due = true;
                cfg->reconcile_ms = monotonic_ms();
                continue;
            }
            hlog(LOG_ERR, "link: netlink receive: %s", strerror(errno));
            return -1;
        }
        size_t off = 0;
        while (size_t(n) - off >= sizeof(nlmsghdr)) {
            const uint8_t *msg = rx.data() + off;
            const uint32_t len = get_host32(msg);
            if (len < sizeof(nlmsghdr) || len > size_t(n) - off)
                break;
            off += align4(len);
            const uint16_t type = get_host16(msg + 4);
            ifinfomsg ifi;
            ifaddrmsg ifa;
            rtmsg rt;
            fib_rule_hdr fr;
            std::span<const uint8_t> attrs;
            if ((type == RTM_NEWLINK || type == RTM_DELLINK) && nl_message_header(msg, len, ifi, attrs)) {
                if (int i = take_link(cfg, msg, len, type == RTM_DELLINK); i >= 0)
                    links_changed.push_back(size_t(i));
            } else if ((type == RTM_NEWADDR || type == RTM_DELADDR) && nl_message_header(msg, len, ifa, attrs)) {
                if (uplink_index(cfg, ifa.ifa_index) >= 0)
                    cfg->addresses_due = true;
            } else if (type == RTM_DELROUTE && nl_message_header(msg, len, rt, attrs)) {
                // Only removals of routes of ours by others pass the filter (the agent's own do not); one
                // we still want was removed by someone else, or by the kernel.
                size_t an = 0;
                const uint8_t *dst = nl_find_attr(attrs.data(), attrs.size(), RTA_DST, an);
                host_prefix p;
                p.family = rt.rtm_family == AF_INET ? 4 : 6;
                p.plen = rt.rtm_dst_len;
                if (dst)
                    std::memcpy(p.addr.data(), dst, std::min(an, size_t(p.family == 4 ? 4 : 16)));
                auto it = cfg->routes.find(p);
                if (it != cfg->routes.end() && it->second.installed && cfg->reconcile_ms < 0)
                    cfg->reconcile_ms = monotonic_ms() + settle_ms;
            } else if (type == RTM_NEWROUTE && nl_message_header(msg, len, rt, attrs)) {
                // A route of ours added or replaced by someone else: our own changes do not pass the
                // filter. One in our table is compared with what we want.
                size_t an = 0;
                const uint8_t *tab = nl_find_attr(attrs.data(), attrs.size(), RTA_TABLE, an);
                const uint32_t table = tab && an >= 4 ? get_host32(tab) : rt.rtm_table;
                if (table == cfg->table && cfg->reconcile_ms < 0)
                    cfg->reconcile_ms = monotonic_ms() + settle_ms;
            } else if (type == RTM_NEWRULE && nl_message_header(msg, len, fr, attrs)) {
                // A VRF's l3mdev rule (the kernel adds one at 1000 with the first VRF) behind ours
                // would let the agent steer the VRF's traffic.
                size_t ln = 0, pn = 0;
                const uint8_t *l3 = nl_find_attr(attrs.data(), attrs.size(), FRA_L3MDEV, ln);
                const uint8_t *prio = nl_find_attr(attrs.data(), attrs.size(), FRA_PRIORITY, pn);
                const uint32_t priority = prio && pn >= 4 ? get_host32(prio) : 0;
                if (l3 && ln >= 1 && l3[0] && priority + 1 >= cfg->rule_priority && !cfg->rules_withdrawn)
                    cfg->l3mdev_after = priority;
            } else if (type == RTM_DELRULE && nl_message_header(msg, len, fr, attrs)) {
                size_t an = 0;
                const uint8_t *proto = nl_find_attr(attrs.data(), attrs.size(), FRA_PROTOCOL, an);
                if (proto && an >= 1 && proto[0] == route_protocol)
                    cfg->rules_due = true;
            }
        }
    }
}

int tallowhost_groups_take(host_config *cfg)
{
    int rc = 0;
    for (uplink &up : cfg->uplinks) {
        if (!up.group_taken || !up.link_known || up.group == cfg->ifgroup)
            continue;
        if (set_group(cfg, up, cfg->ifgroup) == 0)
            up.group = cfg->ifgroup;
        else
            rc = -1;
    }
    return rc;
}

void tallowhost_groups_restore(host_config *cfg)
{
    for (uplink &up : cfg->uplinks)
        if (up.group_taken && up.link_known && up.group == cfg->ifgroup)
            set_group(cfg, up, up.group_before);
}

namespace {

constexpr uint8_t lldp_multicast[6] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
// Room for a whole 200000-prefix set sent back to back at MTU 1500 (about 3500 frames, each charged
// with its buffer's true size), so that none is dropped while routes are being installed.
constexpr int packet_rcvbuf = 64 * 1024 * 1024;

}  // namespace

int tallowhost_open_uplink_socket(uplink *up)
{
    // Created for no protocol, so that nothing is queued before the filter and the binding hold.
    unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        hlog(LOG_ERR, "agent: %s: packet socket: %s", up->name.c_str(), strerror(errno));
        return -1;
    }
    // EtherType 0x88CC to the LLDP multicast address 01:80:c2:00:00:0e, nothing else.
    sock_filter code[] = {
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 5, ETH_P_LLDP},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 0},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, 0x0180C200},
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, 4},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0x000E},
        {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFF},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    sock_fprog prog{uint16_t(sizeof code / sizeof code[0]), code};
    if (setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
        hlog(LOG_ERR, "agent: %s: filter: %s", up->name.c_str(), strerror(errno));
        return -1;
    }
    int size = packet_rcvbuf;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        hlog(LOG_WARNING, "agent: %s: SO_RCVBUFFORCE: %s, a large set may be dropped", up->name.c_str(),
             strerror(errno));
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_LLDP);
    sll.sll_ifindex = int(up->ifindex);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) {
        hlog(LOG_ERR, "agent: %s: bind: %s", up->name.c_str(), strerror(errno));
        return -1;
    }
    packet_mreq mr{};
    mr.mr_ifindex = int(up->ifindex);
    mr.mr_type = PACKET_MR_MULTICAST;
    mr.mr_alen = 6;
    std::memcpy(mr.mr_address, lldp_multicast, 6);
    if (setsockopt(fd.get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
        hlog(LOG_ERR, "agent: %s: joining the LLDP multicast address: %s", up->name.c_str(), strerror(errno));
        return -1;
    }
    up->sock = std::move(fd);
    up->sock_ifindex = up->ifindex;
    return 0;
}
