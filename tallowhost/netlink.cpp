// Route netlink plumbing: building messages, batched exchanges that check every answer, and dumps.
// Changes go to the kernel in pieces of many messages per sendmsg; only the last message of a piece
// asks for an acknowledgement, and every answer of a piece is read and checked before the next.

#include <poll.h>
#include <sys/socket.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr size_t batch_bytes = 64 * 1024;
constexpr int ack_timeout_ms = 5000;
constexpr size_t recv_size = 256 * 1024;
constexpr unsigned errors_logged_per_batch = 5;

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

// The text of an extended acknowledgement's message, when the kernel gave one.
std::string ext_ack_text(const uint8_t *msg, uint32_t msg_len)
{
    const size_t attrs_at = sizeof(nlmsghdr) + sizeof(nlmsgerr);
    uint16_t flags = get_host16(msg + 6);
    if (!(flags & NLM_F_ACK_TLVS) || msg_len <= attrs_at)
        return "";
    size_t n = 0;
    const uint8_t *v = nl_find_attr(msg + attrs_at, msg_len - attrs_at, NLMSGERR_ATTR_MSG, n);
    if (!v || n == 0)
        return "";
    return std::string(reinterpret_cast<const char *>(v), strnlen(reinterpret_cast<const char *>(v), n));
}

// Receives one datagram into rx, waiting up to ack_timeout_ms for it. Returns its length, or -1 with
// errno set (ETIMEDOUT when nothing came in time).
ssize_t receive_waiting(int fd, std::vector<uint8_t> &rx)
{
    for (;;) {
        ssize_t n = recv(fd, rx.data(), rx.size(), MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        pollfd p{fd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, ack_timeout_ms);
        } while (r < 0 && errno == EINTR);
        if (r == 0)
            errno = ETIMEDOUT;
        if (r <= 0)
            return -1;
    }
}

// One piece from `off`: whole messages up to batch_bytes (at least one). Returns where it ends;
// `last` receives the offset of its last message and `msgs` their number.
size_t piece_end(const nl_writer &w, size_t off, size_t &last, size_t &msgs)
{
    size_t end = off;
    last = off;
    msgs = 0;
    while (end < w.buf.size() && (msgs == 0 || end - off + get_host32(w.buf.data() + end) <= batch_bytes)) {
        last = end;
        end += align4(get_host32(w.buf.data() + end));
        msgs++;
    }
    return end;
}

int send_piece(host_config *cfg, nl_writer &w, size_t off, size_t end)
{
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
    return 0;
}

// Reads the kernel's answers to messages index .. index + msgs - 1 (relative to first_seq) until the
// acknowledgement of the last one, counting and logging refusals into `refused`.
int read_answers(host_config *cfg, std::vector<uint8_t> &rx, uint32_t first_seq, size_t index, size_t msgs,
                 const std::function<std::string(size_t)> &describe, bool quiet, unsigned &refused,
                 std::vector<size_t> *refused_at)
{
    const uint32_t last_seq = first_seq + uint32_t(index + msgs - 1);
    bool done = false;
    while (!done) {
        ssize_t n = receive_waiting(cfg->nl.get(), rx);
        if (n < 0) {
            if (errno == ETIMEDOUT)
                hlog(LOG_ERR, "route: netlink: no acknowledgement of %zu messages", msgs);
            else
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
            if (seq - first_seq < index || seq - first_seq >= index + msgs)
                continue;  // a late answer to an earlier exchange
            done = done || seq == last_seq;
            int32_t err;
            std::memcpy(&err, msg + sizeof(nlmsghdr), sizeof err);
            // The answer echoes the request's header: a removal of what is already gone (the kernel
            // took the route with its link, another program removed it) is what was wanted.
            const size_t echoed_type = sizeof(nlmsghdr) + sizeof err + 4;
            const uint16_t request = msg_len >= echoed_type + 2 ? get_host16(msg + echoed_type) : 0;
            const bool gone = (err == -ENOENT || err == -ESRCH) && (request == RTM_DELROUTE || request == RTM_DELRULE);
            if (err == 0 || gone || (quiet && (err == -ENOENT || err == -ESRCH || err == -EEXIST)))
                continue;
            refused++;
            if (refused_at)
                refused_at->push_back(seq - first_seq);
            cfg->route_failures++;
            if (refused <= errors_logged_per_batch) {
                std::string detail = ext_ack_text(msg, msg_len);
                hlog(LOG_ERR, "route: kernel refused %s: %s%s%s", describe(seq - first_seq).c_str(),
                     strerror(-err), detail.empty() ? "" : ": ", detail.c_str());
            }
        }
    }
    return 0;
}

}  // namespace

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

void nl_writer::begin(uint16_t type, uint16_t flags, uint32_t seq)
{
    msg_start = buf.size();
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    append(&h, sizeof h);
}

void nl_writer::append(const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    buf.insert(buf.end(), b, b + n);
    buf.resize(align4(buf.size()), 0);
}

size_t nl_writer::attr(uint16_t type, const void *data, size_t n)
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

void nl_writer::nest_end(size_t at)
{
    uint16_t len = uint16_t(buf.size() - at);
    std::memcpy(buf.data() + at, &len, sizeof len);
}

void nl_writer::end()
{
    uint32_t len = uint32_t(buf.size() - msg_start);
    std::memcpy(buf.data() + msg_start, &len, sizeof len);
    count++;
}

const uint8_t *nl_find_attr(const uint8_t *p, size_t len, uint16_t type, size_t &value_len)
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

// The 32-bit attribute when present, else the header's byte.
uint32_t nl_attr32_or(const uint8_t *attrs, size_t len, uint16_t type, uint32_t fallback)
{
    size_t n = 0;
    const uint8_t *v = nl_find_attr(attrs, len, type, n);
    return v && n >= 4 ? get_host32(v) : fallback;
}

uint32_t nl_number(host_config *cfg, nl_writer &w)
{
    const uint32_t first = cfg->nl_seq;
    for (size_t off = 0, i = 0; off < w.buf.size(); i++) {
        uint32_t len = get_host32(w.buf.data() + off);
        uint32_t seq = first + uint32_t(i);
        std::memcpy(w.buf.data() + off + 8, &seq, sizeof seq);
        off += align4(len);
    }
    cfg->nl_seq += w.count;
    return first;
}

// The kernel handles the messages of one sendmsg in order and answers every refused message whatever
// its flags, so only the last message of a piece asks for an acknowledgement: once that arrives,
// every refusal of the piece has arrived before it. This spares the kernel an answer per accepted
// route.
int nl_transact(host_config *cfg, nl_writer &w, uint32_t first_seq, const std::function<std::string(size_t)> &describe,
                bool quiet, std::vector<size_t> *refused_at)
{
    // Kept for the agent's life rather than 256 KiB cleared at every exchange; no exchange runs
    // within another's.
    static std::vector<uint8_t> rx(recv_size);
    unsigned refused = 0;
    size_t off = 0, index = 0;
    while (off < w.buf.size()) {
        size_t last, msgs;
        const size_t end = piece_end(w, off, last, msgs);
        uint16_t flags = get_host16(w.buf.data() + last + 6);
        flags |= NLM_F_ACK;
        std::memcpy(w.buf.data() + last + 6, &flags, sizeof flags);
        if (send_piece(cfg, w, off, end) != 0)
            return -1;
        if (read_answers(cfg, rx, first_seq, index, msgs, describe, quiet, refused, refused_at) != 0)
            return -1;
        off = end;
        index += msgs;
    }
    if (refused > errors_logged_per_batch)
        hlog(LOG_ERR, "route: %u of %u changes refused", refused, w.count);
    return int(refused);
}

int nl_dump(host_config *cfg, uint16_t type, const void *header, size_t header_len, uint32_t table_filter,
            const std::function<void(const uint8_t *, uint32_t)> &each, uint32_t oif_filter)
{
    nl_writer w;
    uint32_t seq = cfg->nl_seq++;
    w.begin(type, NLM_F_REQUEST | NLM_F_DUMP, seq);
    w.append(header, header_len);
    if (table_filter)
        w.attr32(RTA_TABLE, table_filter);
    if (oif_filter)
        w.attr32(RTA_OIF, oif_filter);
    w.end();
    if (send(cfg->nl.get(), w.buf.data(), w.buf.size(), 0) < 0) {
        hlog(LOG_ERR, "route: netlink dump request: %s", strerror(errno));
        return -1;
    }
    static std::vector<uint8_t> rx(recv_size);  // as nl_transact's; a dump's callback starts no dump
    for (;;) {
        ssize_t n = receive_waiting(cfg->nl.get(), rx);
        if (n < 0) {
            if (errno == ETIMEDOUT)
                hlog(LOG_ERR, "route: netlink dump did not finish");
            else
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
