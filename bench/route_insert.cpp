// route_insert: puts routes into one routing table over a single route netlink socket, as plainly as
// the kernel allows, for the host benchmark's comparison with the agent's own installation.
//
//   route_insert [--table N] [--protocol P] [--batch BYTES] [--delete] --via GATEWAY --dev IFNAME FILE
//
// FILE holds one prefix a line ("10.1.2.0/24", "2001:db8::/64"; "-" reads standard input). Every prefix
// becomes a unicast route of table N (default 250) with protocol P (default 241), scope universe,
// through GATEWAY on IFNAME: RTM_NEWROUTE with NLM_F_CREATE | NLM_F_REPLACE and the attributes RTA_TABLE,
// RTA_DST, RTA_GATEWAY and RTA_OIF, the routes the agent installs for a prefix that one uplink declares
// and the other reaches. With --delete each becomes an RTM_DELROUTE of table N (RTA_TABLE and RTA_DST).
//
// The messages are built first, then sent in pieces of whole messages up to BYTES (default 65536) per
// sendmsg; only the last message of a piece asks for an acknowledgement (the kernel answers a refused
// message whatever its flags), and every answer of a piece is read before the next piece goes. Prints
//
//   START_NS END_NS CPU_NS ROUTES REFUSED
//
// START_NS is the CLOCK_MONOTONIC time before the first message was built, END_NS that of the last
// acknowledgement, CPU_NS the process's CPU time between the two (the kernel's work on the routes is
// done in its sendmsg calls), ROUTES the messages sent and REFUSED those the kernel refused (the first
// few refusals go to standard error). Exits 1 when a route was refused or the exchange failed.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int socket_buffer = 8 * 1024 * 1024;
constexpr unsigned errors_shown = 5;

struct prefix {
    int family = AF_INET;
    uint8_t addr[16] = {};
    uint8_t len = 0;
};

uint64_t now_ns(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

bool parse_prefix(const std::string &text, prefix &p)
{
    const size_t slash = text.find('/');
    const std::string addr = text.substr(0, slash);
    p.family = addr.find(':') == std::string::npos ? AF_INET : AF_INET6;
    if (inet_pton(p.family, addr.c_str(), p.addr) != 1)
        return false;
    const unsigned max = p.family == AF_INET ? 32 : 128;
    unsigned len = max;
    if (slash != std::string::npos) {
        char *end = nullptr;
        len = unsigned(std::strtoul(text.c_str() + slash + 1, &end, 10));
        if (*end != '\0' || len > max)
            return false;
    }
    p.len = uint8_t(len);
    return true;
}

// Appends netlink messages to one buffer; attributes are aligned as the kernel wants them.
struct writer {
    std::vector<uint8_t> buf;
    size_t start = 0;

    void append(const void *data, size_t n)
    {
        const auto *b = static_cast<const uint8_t *>(data);
        buf.insert(buf.end(), b, b + n);
        buf.resize(NLMSG_ALIGN(buf.size()), 0);
    }
    void attr(uint16_t type, const void *data, size_t n)
    {
        rtattr a{};
        a.rta_len = uint16_t(RTA_LENGTH(n));
        a.rta_type = type;
        append(&a, sizeof a);  // 4 bytes: the value follows at once
        append(data, n);
    }
    void begin(uint16_t type, uint16_t flags, uint32_t seq)
    {
        start = buf.size();
        nlmsghdr h{};
        h.nlmsg_type = type;
        h.nlmsg_flags = flags;
        h.nlmsg_seq = seq;
        append(&h, sizeof h);
    }
    void end()
    {
        const uint32_t len = uint32_t(buf.size() - start);
        std::memcpy(buf.data() + start, &len, sizeof len);
    }
};

void put_route(writer &w, const prefix &p, uint32_t seq, uint32_t table, uint8_t protocol, bool remove,
               const prefix &via, uint32_t oif)
{
    w.begin(remove ? RTM_DELROUTE : RTM_NEWROUTE,
            uint16_t(NLM_F_REQUEST | (remove ? 0 : NLM_F_CREATE | NLM_F_REPLACE)), seq);
    rtmsg rt{};
    rt.rtm_family = uint8_t(p.family);
    rt.rtm_dst_len = p.len;
    rt.rtm_table = table < 256 ? uint8_t(table) : uint8_t(RT_TABLE_UNSPEC);
    rt.rtm_protocol = protocol;
    rt.rtm_scope = RT_SCOPE_UNIVERSE;
    rt.rtm_type = remove ? RTN_UNSPEC : RTN_UNICAST;
    w.append(&rt, sizeof rt);
    w.attr(RTA_TABLE, &table, sizeof table);
    const size_t addr_len = p.family == AF_INET ? 4 : 16;
    w.attr(RTA_DST, p.addr, addr_len);
    if (!remove) {
        w.attr(RTA_GATEWAY, via.addr, addr_len);
        w.attr(RTA_OIF, &oif, sizeof oif);
    }
    w.end();
}

// Reads answers until the acknowledgement of message `last_seq`; counts refusals.
int read_answers(int fd, std::vector<uint8_t> &rx, uint32_t first_seq, uint32_t last_seq, unsigned &refused)
{
    for (;;) {
        ssize_t n = recv(fd, rx.data(), rx.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("route_insert: recv");
            return -1;
        }
        int len = int(n);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(rx.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type != NLMSG_ERROR || h->nlmsg_seq - first_seq > last_seq - first_seq)
                continue;
            int32_t err;
            std::memcpy(&err, NLMSG_DATA(h), sizeof err);
            if (err != 0 && ++refused <= errors_shown)
                fprintf(stderr, "route_insert: message %u refused: %s\n", h->nlmsg_seq - first_seq, strerror(-err));
            if (h->nlmsg_seq == last_seq)
                return 0;
        }
    }
}

int usage()
{
    fprintf(stderr, "usage: route_insert [--table N] [--protocol P] [--batch BYTES] [--delete] --via GATEWAY "
                    "--dev IFNAME FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    uint32_t table = 250;
    uint8_t protocol = 241;
    size_t batch = 65536;
    bool remove = false;
    const char *via_text = nullptr, *dev = nullptr, *file = nullptr;
    for (int i = 1; i < argc; i++) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--delete") == 0)
            remove = true;
        else if (std::strcmp(argv[i], "--table") == 0 && has_value)
            table = uint32_t(std::strtoul(argv[++i], nullptr, 0));
        else if (std::strcmp(argv[i], "--protocol") == 0 && has_value)
            protocol = uint8_t(std::strtoul(argv[++i], nullptr, 0));
        else if (std::strcmp(argv[i], "--batch") == 0 && has_value)
            batch = size_t(std::strtoul(argv[++i], nullptr, 0));
        else if (std::strcmp(argv[i], "--via") == 0 && has_value)
            via_text = argv[++i];
        else if (std::strcmp(argv[i], "--dev") == 0 && has_value)
            dev = argv[++i];
        else if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)
            file = argv[i];
        else
            return usage();
    }
    prefix via;
    const uint32_t oif = dev ? if_nametoindex(dev) : 0;
    if (!file || (!remove && (!via_text || !parse_prefix(via_text, via) || !oif)))
        return usage();

    std::vector<prefix> prefixes;
    {
        std::ifstream in_file;
        if (std::strcmp(file, "-") != 0) {
            in_file.open(file);
            if (!in_file) {
                fprintf(stderr, "route_insert: %s: %s\n", file, strerror(errno));
                return 1;
            }
        }
        std::istream &in = std::strcmp(file, "-") == 0 ? std::cin : in_file;
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty())
                continue;
            prefix p;
            if (!parse_prefix(line, p) || (!remove && p.family != via.family)) {
                fprintf(stderr, "route_insert: not a prefix of the gateway's family: %s\n", line.c_str());
                return 1;
            }
            prefixes.push_back(p);
        }
    }

    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        perror("route_insert: socket");
        return 1;
    }
    int size = socket_buffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;

    const uint64_t start = now_ns(), cpu_start = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    writer w;
    w.buf.reserve(prefixes.size() * 64);
    std::vector<size_t> offsets;  // of every message, and the end
    offsets.reserve(prefixes.size() + 1);
    const uint32_t first_seq = 1;
    for (size_t i = 0; i < prefixes.size(); i++) {
        offsets.push_back(w.buf.size());
        put_route(w, prefixes[i], first_seq + uint32_t(i), table, protocol, remove, via, oif);
    }
    offsets.push_back(w.buf.size());

    std::vector<uint8_t> rx(256 * 1024);
    unsigned refused = 0;
    for (size_t i = 0; i < prefixes.size();) {
        size_t j = i + 1;  // one piece: messages i .. j - 1
        while (j < prefixes.size() && offsets[j + 1] - offsets[i] <= batch)
            j++;
        auto *last = reinterpret_cast<nlmsghdr *>(w.buf.data() + offsets[j - 1]);
        last->nlmsg_flags |= NLM_F_ACK;
        iovec iov{w.buf.data() + offsets[i], offsets[j] - offsets[i]};
        msghdr mh{};
        mh.msg_name = &kernel;
        mh.msg_namelen = sizeof kernel;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        if (sendmsg(fd, &mh, 0) != ssize_t(iov.iov_len)) {
            perror("route_insert: sendmsg");
            return 1;
        }
        if (read_answers(fd, rx, first_seq, first_seq + uint32_t(j - 1), refused) != 0)
            return 1;
        i = j;
    }
    const uint64_t end = now_ns(), cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    printf("%llu %llu %llu %zu %u\n", (unsigned long long)start, (unsigned long long)end, (unsigned long long)cpu,
           prefixes.size(), refused);
    close(fd);
    return refused ? 1 : 0;
}
