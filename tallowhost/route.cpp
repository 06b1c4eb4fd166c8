// The agent's routing table and policy rule, programmed over route netlink. Changes go to the kernel
// in batches of many messages per sendmsg; every message asks for an acknowledgement, and every
// acknowledgement is read and checked before the next batch.

#include <poll.h>
#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "tallowhost.h"

namespace {

constexpr size_t batch_bytes = 64 * 1024;
constexpr int ack_timeout_ms = 5000;
constexpr int socket_buffer = 8 * 1024 * 1024;
constexpr size_t recv_size = 256 * 1024;
constexpr unsigned errors_logged_per_batch = 5;
constexpr uint8_t route_protocol = RTPROT_STATIC;

// Netlink messages are in host byte order; fields are copied in and out, never cast in place.
uint16_t get_host16(const uint8_t *p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t get_host32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

size_t align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

// Appends netlink messages to a buffer: begin, attributes (possibly nested), end.
struct nl_writer {
    std::vector<uint8_t> buf;
    size_t msg_start = 0;
    unsigned count = 0;

    void begin(uint16_t type, uint16_t flags, uint32_t seq)
    {
        msg_start = buf.size();
        nlmsghdr h{};
        h.nlmsg_type = type;
        h.nlmsg_flags = flags;
        h.nlmsg_seq = seq;
        append(&h, sizeof h);
    }
    void append(const void *p, size_t n)
    {
        const auto *b = static_cast<const uint8_t *>(p);
        buf.insert(buf.end(), b, b + n);
        buf.resize(align4(buf.size()), 0);
    }
    size_t attr(uint16_t type, const void *data, size_t n)
    {
        size_t at = buf.size();
        rtattr a{};
        a.rta_len = uint16_t(sizeof a + n);
        a.rta_type = type;
        append(&a, sizeof a);
        if (n) {
            buf.resize(at + sizeof a);
            append(data, n);
        }
        return at;
    }
    void attr32(uint16_t type, uint32_t v) { attr(type, &v, sizeof v); }
    size_t nest_begin(uint16_t type) { return attr(type, nullptr, 0); }
    void nest_end(size_t at)
    {
        uint16_t len = uint16_t(buf.size() - at);
        std::memcpy(buf.data() + at, &len, sizeof len);
    }
    void end()
    {
        uint32_t len = uint32_t(buf.size() - msg_start);
        std::memcpy(buf.data() + msg_start, &len, sizeof len);
        count++;
    }
};

// The message at `off` of a received datagram, checked against the datagram's length.
bool next_message(const uint8_t *data, size_t len, size_t &off, const uint8_t *&msg, uint32_t &msg_len)
{
    if (len - off < sizeof(nlmsghdr))
        return false;
    msg = data + off;
    msg_len = get_host32(msg);
    if (msg_len < sizeof(nlmsghdr) || msg_len > len - off)
        return false;
    off += std::min(align4(msg_len), len - off);
    return true;
}

// Finds an attribute among those in [p, p + len); nullptr when absent or malformed.
const uint8_t *find_attr(const uint8_t *p, size_t len, uint16_t type, size_t &value_len)
{
    while (len >= sizeof(rtattr)) {
        uint16_t a_len = get_host16(p);
        uint16_t a_type = get_host16(p + 2);
        if (a_len < sizeof(rtattr) || a_len > len)
            return nullptr;
        if ((a_type & NLA_TYPE_MASK) == type) {
            value_len = a_len - sizeof(rtattr);
            return p + sizeof(rtattr);
        }
        size_t step = align4(a_len);
        if (step >= len)
            return nullptr;
        p += step;
        len -= step;
    }
    return nullptr;
}

// The text of an extended acknowledgement's message, when the kernel gave one.
std::string ext_ack_text(const uint8_t *msg, uint32_t msg_len)
{
    const size_t attrs_at = sizeof(nlmsghdr) + sizeof(nlmsgerr);
    uint16_t flags = get_host16(msg + 6);
    if (!(flags & NLM_F_ACK_TLVS) || msg_len <= attrs_at)
        return "";
    size_t n = 0;
    const uint8_t *v = find_attr(msg + attrs_at, msg_len - attrs_at, NLMSGERR_ATTR_MSG, n);
    if (!v || n == 0)
        return "";
    return std::string(reinterpret_cast<const char *>(v), strnlen(reinterpret_cast<const char *>(v), n));
}

int wait_readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, ack_timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? 0 : -1;
}

// Sends the messages of one writer, numbered from first_seq, in pieces of at most batch_bytes, and
// checks the kernel's answers. The kernel handles the messages of one sendmsg in order and answers
// every refused message whatever its flags, so only the last message of a piece asks for an
// acknowledgement: once that arrives, every refusal of the piece has arrived before it. This spares
// the kernel an answer per accepted route. `describe` names message i for the log. Returns the number
// of refused messages, or -1 when the exchange itself failed.
int transact(host_config *cfg, nl_writer &w, uint32_t first_seq, const std::function<std::string(size_t)> &describe,
             bool quiet_enoent = false)
{
    std::vector<uint8_t> rx(recv_size);
    unsigned refused = 0;
    size_t off = 0, index = 0;
    while (off < w.buf.size()) {
        // One piece: whole messages up to batch_bytes (at least one).
        size_t end = off, last = off, pieces = 0;
        while (end < w.buf.size() && (pieces == 0 || end - off + get_host32(w.buf.data() + end) <= batch_bytes)) {
            last = end;
            end += align4(get_host32(w.buf.data() + end));
            pieces++;
        }
        uint16_t flags = get_host16(w.buf.data() + last + 6);
        flags |= NLM_F_ACK;
        std::memcpy(w.buf.data() + last + 6, &flags, sizeof flags);
        const uint32_t last_seq = first_seq + uint32_t(index + pieces - 1);

        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        iovec iov{w.buf.data() + off, end - off};
        msghdr mh{};
        mh.msg_name = &kernel;
        mh.msg_namelen = sizeof kernel;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t sent;
        do {
            sent = sendmsg(cfg->nl.get(), &mh, 0);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 || size_t(sent) != end - off) {
            hlog(LOG_ERR, "route: netlink send: %s", sent < 0 ? strerror(errno) : "short write");
            return -1;
        }

        bool done = false;
        while (!done) {
            ssize_t n = recv(cfg->nl.get(), rx.data(), rx.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (wait_readable(cfg->nl.get()) != 0) {
                    hlog(LOG_ERR, "route: netlink: no acknowledgement of %zu messages", pieces);
                    return -1;
                }
                continue;
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                hlog(LOG_ERR, "route: netlink receive: %s", strerror(errno));
                return -1;
            }
            size_t at = 0;
            const uint8_t *msg;
            uint32_t msg_len;
            while (next_message(rx.data(), size_t(n), at, msg, msg_len)) {
                if (get_host16(msg + 4) != NLMSG_ERROR || msg_len < sizeof(nlmsghdr) + sizeof(int32_t))
                    continue;
                const uint32_t seq = get_host32(msg + 8);
                if (seq - first_seq < index || seq - first_seq >= index + pieces)
                    continue;  // a late answer to an earlier exchange
                done = done || seq == last_seq;
                int32_t err;
                std::memcpy(&err, msg + sizeof(nlmsghdr), sizeof err);
                if (err == 0 || (quiet_enoent && (err == -ENOENT || err == -ESRCH)))
                    continue;
                refused++;
                cfg->route_failures++;
                if (refused <= errors_logged_per_batch) {
                    std::string detail = ext_ack_text(msg, msg_len);
                    hlog(LOG_ERR, "route: kernel refused %s: %s%s%s", describe(seq - first_seq).c_str(),
                         strerror(-err), detail.empty() ? "" : ": ", detail.c_str());
                }
            }
        }
        off = end;
        index += pieces;
    }
    if (refused > errors_logged_per_batch)
        hlog(LOG_ERR, "route: %u of %u changes refused", refused, w.count);
    return int(refused);
}

// Runs a dump request and hands every answer message to `each`.
int dump(host_config *cfg, uint16_t type, uint8_t family, const std::function<void(const uint8_t *, uint32_t)> &each)
{
    nl_writer w;
    uint32_t seq = cfg->nl_seq++;
    w.begin(type, NLM_F_REQUEST | NLM_F_DUMP, seq);
    rtgenmsg g{};
    g.rtgen_family = family;
    w.append(&g, sizeof g);
    w.end();
    if (send(cfg->nl.get(), w.buf.data(), w.buf.size(), 0) < 0) {
        hlog(LOG_ERR, "route: netlink dump request: %s", strerror(errno));
        return -1;
    }
    std::vector<uint8_t> rx(recv_size);
    for (;;) {
        ssize_t n = recv(cfg->nl.get(), rx.data(), rx.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_readable(cfg->nl.get()) != 0) {
                hlog(LOG_ERR, "route: netlink dump did not finish");
                return -1;
            }
            continue;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            hlog(LOG_ERR, "route: netlink dump: %s", strerror(errno));
            return -1;
        }
        size_t off = 0;
        const uint8_t *msg;
        uint32_t msg_len;
        while (next_message(rx.data(), size_t(n), off, msg, msg_len)) {
            if (get_host32(msg + 8) != seq)
                continue;
            uint16_t t = get_host16(msg + 4);
            if (t == NLMSG_DONE)
                return 0;
            if (t == NLMSG_ERROR) {
                int32_t err = 0;
                if (msg_len >= sizeof(nlmsghdr) + sizeof err)
                    std::memcpy(&err, msg + sizeof(nlmsghdr), sizeof err);
                hlog(LOG_ERR, "route: netlink dump refused: %s", strerror(-err));
                return -1;
            }
            each(msg, msg_len);
        }
    }
}

// The table of a dumped route or rule: the 32-bit attribute when present, else the header's byte.
uint32_t table_of(const uint8_t *msg, uint32_t msg_len, size_t header_size, uint8_t header_table, uint16_t attr_type)
{
    const size_t at = sizeof(nlmsghdr) + align4(header_size);
    size_t n = 0;
    const uint8_t *v = msg_len > at ? find_attr(msg + at, msg_len - at, attr_type, n) : nullptr;
    if (v && n >= 4)
        return get_host32(v);
    return header_table;
}

// Deletes every route of our table and every rule that points to it, in both families: what a
// previous run left behind at start, and our own state at stop.
int clear_family(host_config *cfg, uint8_t family, unsigned &routes_removed, unsigned &rules_removed)
{
    nl_writer routes;
    int rc = dump(cfg, RTM_GETROUTE, family, [&](const uint8_t *msg, uint32_t len) {
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
    const uint32_t route_seq = cfg->nl_seq;
    for (size_t off = 0, i = 0; off < routes.buf.size(); i++) {
        uint32_t len = get_host32(routes.buf.data() + off);
        uint32_t seq = route_seq + uint32_t(i);
        std::memcpy(routes.buf.data() + off + 8, &seq, sizeof seq);
        off += align4(len);
    }
    cfg->nl_seq += routes.count;
    int refused = transact(cfg, routes, route_seq, [](size_t) { return std::string("stale route"); }, true);
    if (refused < 0)
        return -1;
    routes_removed += routes.count - unsigned(refused);

    nl_writer rules;
    rc = dump(cfg, RTM_GETRULE, family, [&](const uint8_t *msg, uint32_t len) {
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
    uint32_t rule_seq = cfg->nl_seq;
    for (size_t off = 0, i = 0; off < rules.buf.size(); i++) {
        uint32_t len = get_host32(rules.buf.data() + off);
        uint32_t seq = rule_seq + uint32_t(i);
        std::memcpy(rules.buf.data() + off + 8, &seq, sizeof seq);
        off += align4(len);
    }
    cfg->nl_seq += rules.count;
    refused = transact(cfg, rules, rule_seq, [](size_t) { return std::string("stale rule"); }, true);
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
    int refused = transact(cfg, w, first, [](size_t i) { return std::string(i == 0 ? "IPv4 rule" : "IPv6 rule"); });
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
    int refused = transact(cfg, w, first, [&](size_t i) {
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
