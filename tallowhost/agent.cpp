// The agent's process: command line, the LLDP receive sockets, signals, the poll loop and the
// neighbours' lifetimes; start-up clears what a previous run left and shutdown removes what this run
// installed.

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr uint8_t lldp_multicast[6] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
// Room for a whole 200000-prefix set sent back to back at MTU 1500 (about 3500 frames, each charged
// with its buffer's true size), so that none is dropped while routes are being installed.
constexpr int packet_rcvbuf = 64 * 1024 * 1024;
constexpr size_t frame_buffer_size = 65536;
constexpr int max_poll_ms = 1000;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t snapshot_requested = 0;

void on_signal(int sig)
{
    if (sig == SIGUSR1)
        snapshot_requested = 1;
    else
        stop_requested = 1;
}

// A bad command line exits with its own status, which the unit does not restart on: the same
// arguments would fail the same way.
constexpr int exit_usage = 2;

const char *usage_text =
    "usage: tallowhost --uplink IFNAME=GW[,GW] [--uplink IFNAME=GW[,GW] ...] [--table N] [--rule-priority N] [-v]\n";

bool parse_number(const char *s, unsigned long long max, unsigned long long &out)
{
    if (!s || !*s || *s < '0' || *s > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

int parse_uplink(host_config *cfg, const std::string &arg, std::string &error)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
        error = "--uplink needs IFNAME=GW[,GW], got \"" + arg + "\"";
        return -1;
    }
    uplink up;
    up.name = arg.substr(0, eq);
    if (up.name.size() >= IF_NAMESIZE || (up.ifindex = if_nametoindex(up.name.c_str())) == 0) {
        error = "unknown interface " + up.name;
        return -1;
    }
    for (const uplink &other : cfg->uplinks)
        if (other.ifindex == up.ifindex) {
            error = "duplicate uplink " + up.name;
            return -1;
        }
    std::string rest = arg.substr(eq + 1);
    size_t start = 0;
    for (;;) {
        size_t comma = rest.find(',', start);
        std::string gw = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (inet_pton(AF_INET, gw.c_str(), up.gw4.data()) == 1 && !up.has_v4) {
            up.has_v4 = true;
        } else if (inet_pton(AF_INET6, gw.c_str(), up.gw6.data()) == 1 && !up.has_v6) {
            up.has_v6 = true;
        } else {
            error = "bad address \"" + gw + "\" for uplink " + up.name + " (one IPv4 and one IPv6 next hop at most)";
            return -1;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (cfg->uplinks.size() == max_uplinks) {
        error = "too many uplinks (at most " + std::to_string(max_uplinks) + ")";
        return -1;
    }
    cfg->uplinks.push_back(std::move(up));
    return 0;
}

int open_uplink_socket(uplink *up)
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
    return 0;
}

void apply_changes(host_config *cfg, size_t index, const std::vector<host_prefix> &changed)
{
    if (changed.empty())
        return;
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_steer(cfg, index, changed, changes);
    if (changes.empty())
        return;
    const int64_t steered = monotonic_ms();
    tallowhost_route_apply(cfg, changes);
    hlog(LOG_DEBUG, "route: %s: %lld ms to decide, %lld ms for the kernel", cfg->uplinks[index].name.c_str(),
         static_cast<long long>(steered - start), static_cast<long long>(monotonic_ms() - steered));
    hlog(LOG_INFO, "route: %s: %zu route changes in %lld ms, %zu routes in table %u", cfg->uplinks[index].name.c_str(),
         changes.size(), static_cast<long long>(monotonic_ms() - start), cfg->routes.size(), cfg->table);
}

void read_frames(host_config *cfg, size_t index, std::vector<uint8_t> &buf)
{
    uplink &up = cfg->uplinks[index];
    std::vector<host_prefix> changed;
    for (;;) {
        sockaddr_ll from{};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(up.sock.get(), buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr *>(&from),
                             &from_len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                hlog(LOG_WARNING, "frame: %s: receive: %s", up.name.c_str(), strerror(errno));
            break;
        }
        if (from.sll_pkttype == PACKET_OUTGOING)
            continue;
        const int64_t now = monotonic_ms();
        parsed_frame f;
        // A frame longer than the buffer arrives cut short; it is refused like any truncated one.
        frame_error e = size_t(n) > buf.size() ? frame_error::truncated_tlv
                                               : tallowhost_parse_frame(std::span(buf.data(), size_t(n)), f);
        if (e != frame_error::none) {
            note_hostile(cfg, &up, e, now);
            continue;
        }
        changed.clear();
        tallowhost_apply_frame(cfg, &up, f, now, changed);
        apply_changes(cfg, index, changed);
    }
    tpacket_stats st{};
    socklen_t len = sizeof st;
    if (getsockopt(up.sock.get(), SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0 && st.tp_drops) {
        up.counters.dropped += st.tp_drops;
        hlog(LOG_WARNING, "frame: %s: %u frames dropped by the kernel before they were read", up.name.c_str(),
             st.tp_drops);
    }
}

void expire_neighbours(host_config *cfg, int64_t now)
{
    for (size_t i = 0; i < cfg->uplinks.size(); i++) {
        uplink &up = cfg->uplinks[i];
        if (!up.nb.known || now < up.nb.expires_ms)
            continue;
        std::vector<host_prefix> changed;
        forget_neighbour(cfg, &up, "TTL expired", changed);
        std::sort(changed.begin(), changed.end());
        apply_changes(cfg, i, changed);
    }
}

int poll_timeout(const host_config *cfg, int64_t now)
{
    int64_t t = max_poll_ms;
    for (const uplink &up : cfg->uplinks)
        if (up.nb.known)
            t = std::min(t, std::max<int64_t>(up.nb.expires_ms - now, 0));
    return int(t);
}

int run(host_config *cfg)
{
    std::vector<pollfd> fds(cfg->uplinks.size());
    std::vector<uint8_t> buf(frame_buffer_size);
    sigset_t during_poll;
    sigemptyset(&during_poll);
    while (!stop_requested) {
        for (size_t i = 0; i < cfg->uplinks.size(); i++)
            fds[i] = pollfd{cfg->uplinks[i].sock.get(), POLLIN, 0};
        int ms = poll_timeout(cfg, monotonic_ms());
        timespec ts{ms / 1000, long(ms % 1000) * 1000000};
        int r = ppoll(fds.data(), fds.size(), &ts, &during_poll);
        if (r < 0 && errno != EINTR) {
            hlog(LOG_ERR, "agent: poll: %s", strerror(errno));
            return -1;
        }
        if (r > 0)
            for (size_t i = 0; i < fds.size(); i++)
                if (fds[i].revents & (POLLIN | POLLERR))
                    read_frames(cfg, i, buf);
        expire_neighbours(cfg, monotonic_ms());
        if (snapshot_requested) {
            snapshot_requested = 0;
            tallowhost_snapshot_write(cfg, snapshot_path);
        }
    }
    return 0;
}

std::string uplink_list(const host_config *cfg)
{
    std::string s;
    for (const uplink &up : cfg->uplinks)
        s += (s.empty() ? "" : " ") + up.name;
    return s;
}

}  // namespace

int parse_command_line(host_config *cfg, int argc, char **argv, std::string &error)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string value;
        bool has_value = false;
        for (const char *opt : {"--uplink", "--table", "--rule-priority"}) {
            std::string o = opt;
            if (a == o) {
                if (i + 1 >= argc) {
                    error = o + " needs a value";
                    return -1;
                }
                value = argv[++i];
                has_value = true;
                a = o;
                break;
            }
            if (a.rfind(o + "=", 0) == 0) {
                value = a.substr(o.size() + 1);
                has_value = true;
                a = o;
                break;
            }
        }
        unsigned long long n = 0;
        if (a == "-v" || a == "--verbose") {
            cfg->verbose = true;
        } else if (a == "--uplink" && has_value) {
            if (parse_uplink(cfg, value, error) != 0)
                return -1;
        } else if (a == "--table" && has_value) {
            // 0 and the kernel's own tables (default, main, local) are not ours to flush.
            if (!parse_number(value.c_str(), UINT32_MAX, n) || n == 0 || (n >= 253 && n <= 255)) {
                error = "bad table \"" + value + "\" (1 to 4294967295, not 253, 254 or 255)";
                return -1;
            }
            cfg->table = uint32_t(n);
        } else if (a == "--rule-priority" && has_value) {
            // Before the main table's rule at 32766; 0 is the local table's.
            if (!parse_number(value.c_str(), 32765, n) || n == 0) {
                error = "bad rule priority \"" + value + "\" (1 to 32765)";
                return -1;
            }
            cfg->rule_priority = uint32_t(n);
        } else {
            error = "unknown argument \"" + a + "\"";
            return -1;
        }
    }
    if (cfg->uplinks.empty()) {
        error = "no --uplink given";
        return -1;
    }
    return 0;
}

int tallowhost_main(int argc, char **argv)
{
    host_config cfg;
    std::string error;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (parse_command_line(&cfg, argc, argv, error) != 0) {
        std::fprintf(stderr, "tallowhost: %s\n%s", error.c_str(), usage_text);
        if (cfg.uplinks.empty() && error == "no --uplink given") {
            // Started as installed, before anyone named the uplinks: say where, once, in the log.
            openlog("tallowhost", LOG_PID, LOG_DAEMON);
            syslog(LOG_ERR, "no uplink configured: name the uplinks in TALLOWHOST_OPTIONS in /etc/default/tallowhost");
            closelog();
        }
        return exit_usage;
    }
    hlog_debug = cfg.verbose;
    openlog("tallowhost", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    setlogmask(LOG_UPTO(cfg.verbose ? LOG_DEBUG : LOG_INFO));

    // Signals are held back except while the loop waits, so none is lost between a check and the wait.
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    cfg.started_ms = monotonic_ms();
    if (tallowhost_route_open(&cfg) != 0 || tallowhost_route_clear(&cfg) != 0) {
        std::fprintf(stderr, "tallowhost: cannot set up the routing table (see the system log)\n");
        return 1;
    }
    int rc = 0;
    if (tallowhost_rule_add(&cfg) != 0) {
        std::fprintf(stderr, "tallowhost: cannot add the policy rule (see the system log)\n");
        rc = 1;
    }
    for (uplink &up : cfg.uplinks)
        if (rc == 0 && open_uplink_socket(&up) != 0) {
            std::fprintf(stderr, "tallowhost: cannot receive LLDP on %s (see the system log)\n", up.name.c_str());
            rc = 1;
        }
    if (rc == 0) {
        hlog(LOG_INFO, "tallowhost started on %s, table %u, rule priority %u", uplink_list(&cfg).c_str(), cfg.table,
             cfg.rule_priority);
        if (run(&cfg) != 0)
            rc = 1;
    }
    tallowhost_route_remove_all(&cfg);
    hlog(LOG_INFO, "tallowhost stopped");
    closelog();
    return rc;
}
