// The uplinks' addresses: their subnets, which become throw routes, and whether each gateway is
// on-link, inside a subnet or reached on the link as the main table's own routes say.

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "tallowhost.h"

namespace {

bool in_subnet(const host_prefix &subnet, uint8_t family, const uint8_t *addr)
{
    host_prefix a;
    a.family = family;
    std::memcpy(a.addr.data(), addr, family == 4 ? 4 : 16);
    a.plen = family == 4 ? 32 : 128;
    return subnet.family == family && masked(a, subnet.plen) == subnet;
}

std::string gw_text(int family, const uint8_t *addr)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(family, addr, buf, sizeof buf) ? buf : "?";
}

// Whether the main table reaches the gateway on the uplink's link although it lies in none of its
// subnets: a route through it marked onlink, or a link-scope route covering it (an unnumbered
// uplink, a /32 address).
bool main_reaches_onlink(host_config *cfg, const uplink &up, uint8_t family, const uint8_t *gw)
{
    const size_t alen = family == 4 ? 4 : 16;
    rtmsg rt{};
    rt.rtm_family = family == 4 ? AF_INET : AF_INET6;
    rt.rtm_table = RT_TABLE_MAIN;
    bool found = false;
    nl_dump(cfg, RTM_GETROUTE, &rt, sizeof rt, RT_TABLE_MAIN, [&](const uint8_t *msg, uint32_t len) {
        rtmsg m;
        std::span<const uint8_t> a;
        if (found || get_host16(msg + 4) != RTM_NEWROUTE || !nl_message_header(msg, len, m, a) ||
            m.rtm_type != RTN_UNICAST)
            return;
        size_t n = 0;
        const uint8_t *oif = nl_find_attr(a.data(), a.size(), RTA_OIF, n);
        if (oif && n >= 4 && get_host32(oif) == up.ifindex) {
            const uint8_t *via = nl_find_attr(a.data(), a.size(), RTA_GATEWAY, n);
            if (via && n == alen && std::memcmp(via, gw, alen) == 0 && (m.rtm_flags & RTNH_F_ONLINK))
                found = true;
            if (!via && m.rtm_scope == RT_SCOPE_LINK) {
                host_prefix dst;
                dst.family = family;
                dst.plen = m.rtm_dst_len;
                if (const uint8_t *d = nl_find_attr(a.data(), a.size(), RTA_DST, n))
                    std::memcpy(dst.addr.data(), d, std::min(n, alen));
                found = in_subnet(masked(dst, dst.plen), family, gw);
            }
        }
        const uint8_t *mp = nl_find_attr(a.data(), a.size(), RTA_MULTIPATH, n);
        for (size_t off = 0; mp && off + sizeof(rtnexthop) <= n;) {
            rtnexthop nh;
            std::memcpy(&nh, mp + off, sizeof nh);
            if (nh.rtnh_len < sizeof nh || off + nh.rtnh_len > n)
                break;
            size_t gn = 0;
            const uint8_t *via = nl_find_attr(mp + off + sizeof nh, nh.rtnh_len - sizeof nh, RTA_GATEWAY, gn);
            if (uint32_t(nh.rtnh_ifindex) == up.ifindex && (nh.rtnh_flags & RTNH_F_ONLINK) && via && gn == alen &&
                std::memcmp(via, gw, alen) == 0)
                found = true;
            off += align4(nh.rtnh_len);
        }
    }, up.ifindex);
    return found;
}

}  // namespace

int tallowhost_addresses_read(host_config *cfg)
{
    std::vector<std::vector<host_prefix>> subnets(cfg->uplinks.size());
    ifaddrmsg ifa{};
    int rc = nl_dump(cfg, RTM_GETADDR, &ifa, sizeof ifa, 0, [&](const uint8_t *msg, uint32_t len) {
        ifaddrmsg m;
        std::span<const uint8_t> attrs;
        if (get_host16(msg + 4) != RTM_NEWADDR || !nl_message_header(msg, len, m, attrs))
            return;
        int i = uplink_index(cfg, m.ifa_index);
        if (i < 0 || (m.ifa_family != AF_INET && m.ifa_family != AF_INET6))
            return;
        size_t n = 0;
        const uint8_t *a = nl_find_attr(attrs.data(), attrs.size(), IFA_ADDRESS, n);
        const size_t alen = m.ifa_family == AF_INET ? 4 : 16;
        if (!a || n < alen || m.ifa_prefixlen > alen * 8)
            return;
        host_prefix p;
        p.family = m.ifa_family == AF_INET ? 4 : 6;
        std::memcpy(p.addr.data(), a, alen);
        p.plen = m.ifa_prefixlen;
        p = masked(p, p.plen);
        if (p.family == 6 && p.addr[0] == 0xfe && (p.addr[1] & 0xc0) == 0x80)
            return;  // link-local: fe80::/64 is thrown for every link
        subnets[size_t(i)].push_back(p);
    });
    if (rc != 0)
        return -1;
    int changed = 0;
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        uplink &up = cfg->uplinks[i];
        std::sort(subnets[i].begin(), subnets[i].end());
        subnets[i].erase(std::unique(subnets[i].begin(), subnets[i].end()), subnets[i].end());
        bool on4 = false, on6 = false;
        for (const host_prefix &s : subnets[i]) {
            on4 = on4 || (up.has_v4 && in_subnet(s, 4, up.gw4.data()));
            on6 = on6 || (up.has_v6 && in_subnet(s, 6, up.gw6.data()));
        }
        // A link-local next hop is on the link whatever its addresses.
        if (up.has_v6 && up.gw6[0] == 0xfe && (up.gw6[1] & 0xc0) == 0x80)
            on6 = true;
        // One outside its subnets may still be on the link, as the main table says.
        const bool flag4 = up.ifindex && up.has_v4 && !on4 && main_reaches_onlink(cfg, up, 4, up.gw4.data());
        const bool flag6 = up.ifindex && up.has_v6 && !on6 && main_reaches_onlink(cfg, up, 6, up.gw6.data());
        on4 = on4 || flag4;
        on6 = on6 || flag6;
        if (flag4 != up.gw4_flag_onlink || flag6 != up.gw6_flag_onlink)
            changed = 1;
        up.gw4_flag_onlink = flag4;
        up.gw6_flag_onlink = flag6;
        if (up.ifindex && !up.families_told) {
            // Traffic of a family without a next hop is the main table's: the agent never declares it
            // unreachable on the uplink's behalf.
            if (!up.has_v6)
                hlog(LOG_NOTICE, "link: %s: no IPv6 next hop: IPv6 traffic that only this uplink could carry is left "
                     "to the main table", up.name.c_str());
            else if (!up.has_v4)
                hlog(LOG_INFO, "link: %s: no IPv4 next hop: IPv4 prefixes go through its IPv6 next hop",
                     up.name.c_str());
            up.families_told = true;
        }
        for (int fam : {4, 6}) {
            bool &was = fam == 4 ? up.gw4_onlink : up.gw6_onlink;
            const bool now = fam == 4 ? on4 : on6;
            if (!(fam == 4 ? up.has_v4 : up.has_v6) || (was == now && up.addresses_known))
                continue;
            if (!up.addresses_known && now) {
                was = now;
                changed = 1;
                continue;  // on-link from the start, as it should be: nothing to say
            }
            if (!up.ifindex) {
                was = false;
                continue;  // no link: said already
            }
            const std::string gw = gw_text(fam == 4 ? AF_INET : AF_INET6, fam == 4 ? up.gw4.data() : up.gw6.data());
            if (now)
                hlog(LOG_INFO, "link: %s: gateway %s is on-link", up.name.c_str(), gw.c_str());
            else
                hlog(LOG_WARNING, "link: %s: gateway %s is not on-link, left out of routes until it is",
                     up.name.c_str(), gw.c_str());
            was = now;
            changed = 1;
        }
        up.addresses_known = true;
        if (subnets[i] != up.connected) {
            up.connected = std::move(subnets[i]);
            changed = 1;
        }
    }
    return changed;
}
