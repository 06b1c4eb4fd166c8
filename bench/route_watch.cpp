// route_watch: follows one routing table in several network namespaces and reports its changes with
// the time they arrived, for the rack benchmark.
//
//   route_watch [--table N] [--sample MASK] PID...
//
// For each PID it opens a route netlink socket in that process's network namespace, subscribed to the
// IPv4 and IPv6 route groups, and keeps the set of destination prefixes that table N (default 250)
// holds there. After each read of a socket it writes one line:
//
//   HOST T_NS COUNT CHANGES [+PREFIX|-PREFIX ...]
//
// HOST is the position of the PID on the command line (from 0), T_NS the CLOCK_MONOTONIC time of the
// read that brought the last of these changes, COUNT the prefixes the table holds now, CHANGES how
// many route messages of the table the read brought, each listed with its prefix. A read takes at
// most max_per_read messages, so that one host's burst does not hold back the others' times. "HOST T_NS overflow" says that notifications were lost (the count is no longer
// exact). The set is keyed on the destination prefix only, not on protocol, gateways or rules.
//
// --sample MASK has the kernel pass only the routes of a sample, so that a set of many thousand routes
// costs the watcher little: default routes, and routes whose address byte 2 (IPv4) or 7 (IPv6) has
// none of MASK's bits set. COUNT then counts the sample. The filter finds the destination where the
// kernel puts it (right after the table attribute); a message laid out otherwise passes whole.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <string>
#include <vector>

namespace {

constexpr int max_per_read = 256;
constexpr int socket_buffer = 64 << 20;

struct watched {
    int fd = -1;
    std::unordered_set<std::string> prefixes;  // family, length and address bytes
};

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The offsets in a route message: the header, rtmsg, the table attribute (8 bytes), then the
// destination attribute's header and address.
constexpr uint32_t off_family = 16, off_dst_len = 17, off_second_attr_type = 38, off_dst = 40;

int attach_sample(int fd, unsigned mask)
{
    // Loads of halfwords are big-endian; the message is in host (little-endian) order.
    constexpr uint32_t new_route_be = uint32_t(RTM_NEWROUTE) << 8, del_route_be = uint32_t(RTM_DELROUTE) << 8;
    constexpr uint32_t dst_be = uint32_t(RTA_DST) << 8;
    sock_filter code[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, new_route_be, 1, 0),
        /* 2 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, del_route_be, 0, 10),
        /* 3 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, off_dst_len),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 8, 0),
        /* 5 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, off_second_attr_type),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, dst_be, 0, 6),
        /* 7 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, off_family),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 0, 2),
        /* 9 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, off_dst + 2),
        /* 10 */ BPF_JUMP(BPF_JMP | BPF_JA, 1, 0, 0),
        /* 11 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, off_dst + 7),
        /* 12 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, mask, 1, 0),
        /* 13 */ BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
        /* 14 */ BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog{uint16_t(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
}

int open_in_namespace(const char *pid, unsigned sample_mask)
{
    std::string path = std::string("/proc/") + pid + "/ns/net";
    int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        fprintf(stderr, "route_watch: %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    close(ns);
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        perror("route_watch: socket");
        return -1;
    }
    int size = socket_buffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (sample_mask && attach_sample(fd, sample_mask) != 0) {
        perror("route_watch: filter");
        return -1;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("route_watch: bind");
        return -1;
    }
    return fd;
}

// The text form of a key.
std::string key_text(const std::string &key)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(key[0] == 4 ? AF_INET : AF_INET6, key.data() + 2, text, sizeof text);
    return std::string(text) + "/" + std::to_string(uint8_t(key[1]));
}

// The table and destination prefix of one route message; false when it is not a route of `table`.
bool route_key(const nlmsghdr *h, uint32_t table, std::string &key)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    const auto *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    uint32_t t = rt->rtm_table;
    uint8_t dst[16] = {};
    int len = int(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= 4)
            std::memcpy(&t, RTA_DATA(a), 4);
        else if (a->rta_type == RTA_DST && RTA_PAYLOAD(a) <= sizeof dst)
            std::memcpy(dst, RTA_DATA(a), RTA_PAYLOAD(a));
    }
    if (t != table || (rt->rtm_family != AF_INET && rt->rtm_family != AF_INET6))
        return false;
    key.assign(1, char(rt->rtm_family == AF_INET ? 4 : 6));
    key.push_back(char(rt->rtm_dst_len));
    key.append(reinterpret_cast<const char *>(dst), rt->rtm_family == AF_INET ? 4 : 16);
    return true;
}

void read_host(size_t host, watched &w, uint32_t table, std::vector<char> &buf)
{
    std::string listed;
    size_t changes = 0;
    uint64_t t = 0;
    bool overflow = false;
    for (int i = 0; i < max_per_read; i++) {
        ssize_t n = recv(w.fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            overflow = errno == ENOBUFS;
            break;
        }
        t = now_ns();
        int len = int(n);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buf.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            std::string key;
            if ((h->nlmsg_type != RTM_NEWROUTE && h->nlmsg_type != RTM_DELROUTE) || !route_key(h, table, key))
                continue;
            bool add = h->nlmsg_type == RTM_NEWROUTE;
            if (add)
                w.prefixes.insert(key);
            else
                w.prefixes.erase(key);
            changes++;
            listed += (add ? " +" : " -") + key_text(key);
        }
    }
    if (overflow)
        printf("%zu %llu overflow\n", host, (unsigned long long)now_ns());
    if (changes)
        printf("%zu %llu %zu %zu%s\n", host, (unsigned long long)t, w.prefixes.size(), changes, listed.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    uint32_t table = 250;
    unsigned sample_mask = 0;
    int first = 1;
    while (first + 1 < argc && argv[first][0] == '-') {
        if (std::strcmp(argv[first], "--table") == 0)
            table = uint32_t(std::strtoul(argv[first + 1], nullptr, 0));
        else if (std::strcmp(argv[first], "--sample") == 0)
            sample_mask = unsigned(std::strtoul(argv[first + 1], nullptr, 0));
        else
            break;
        first += 2;
    }
    if (first >= argc || argv[first][0] == '-') {
        fprintf(stderr, "usage: route_watch [--table N] [--sample MASK] PID...\n");
        return 2;
    }
    std::vector<watched> hosts(size_t(argc - first));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < hosts.size(); i++) {
        hosts[i].fd = open_in_namespace(argv[first + int(i)], sample_mask);
        if (hosts[i].fd < 0)
            return 1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, hosts[i].fd, &ev);
    }
    printf("watching %zu %d\n", hosts.size(), int(getpid()));
    fflush(stdout);
    std::vector<char> buf(1 << 16);
    std::vector<epoll_event> events(hosts.size());
    for (;;) {
        int n = epoll_wait(ep, events.data(), int(events.size()), -1);
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; i++)
            read_host(size_t(events[i].data.u64), hosts[events[i].data.u64], table, buf);
    }
}
