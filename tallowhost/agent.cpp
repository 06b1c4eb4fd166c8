// The agent's process: the lock, start-up, the LLDP receive sockets, signals, the poll loop and the
// neighbours' lifetimes; start-up takes over what a previous run left and shutdown removes what this
// run installed.

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tallowhost.h"

namespace {

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
constexpr int exit_locked = 100;  // inside only: the other agent's routes are left alone

void apply_changes(host_config *cfg, const char *what, std::vector<route_change> &changes, int64_t start)
{
    if (changes.empty())
        return;
    const int64_t steered = monotonic_ms();
    const int refused = tallowhost_route_apply(cfg, changes, what);
    hlog(LOG_DEBUG, "route: %s: %lld ms to decide, %lld ms for the kernel", what, static_cast<long long>(steered - start),
         static_cast<long long>(monotonic_ms() - steered));
    if (refused)
        hlog(LOG_WARNING, "route: %s: %zu route changes in %lld ms, %d refused, %zu routes in table %u", what,
             changes.size(), static_cast<long long>(monotonic_ms() - start), refused, cfg->installed, cfg->table);
    else
        hlog(LOG_INFO, "route: %s: %zu route changes in %lld ms, %zu routes in table %u", what, changes.size(),
             static_cast<long long>(monotonic_ms() - start), cfg->installed, cfg->table);
}

void declare(host_config *cfg, size_t index, const std::vector<declaration> &changed)
{
    if (changed.empty())
        return;
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_steer(cfg, index, changed, changes);
    apply_changes(cfg, cfg->uplinks[index].name.c_str(), changes, start);
}

// Frames are read up to frame_batch at a time, each into a buffer of its own: one system call for a
// run of a set's frames, and none more to find the socket empty when fewer came.
constexpr unsigned frame_batch = 8;

struct frame_buffers {
    std::vector<uint8_t> data = std::vector<uint8_t>(frame_batch * frame_buffer_size);
    std::array<iovec, frame_batch> iov{};
    std::array<sockaddr_ll, frame_batch> from{};
    std::array<mmsghdr, frame_batch> msgs{};

    frame_buffers()
    {
        for (unsigned k = 0; k < frame_batch; k++) {
            iov[k] = iovec{data.data() + k * frame_buffer_size, frame_buffer_size};
            msgs[k].msg_hdr.msg_name = &from[k];
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
    }
    frame_buffers(const frame_buffers &) = delete;
    frame_buffers &operator=(const frame_buffers &) = delete;
};

void read_frames(host_config *cfg, size_t index, frame_buffers &b)
{
    uplink &up = cfg->uplinks[index];
    if (!up.sock.valid())
        return;
    std::vector<declaration> changed;
    for (;;) {
        for (unsigned k = 0; k < frame_batch; k++)
            b.msgs[k].msg_hdr.msg_namelen = sizeof b.from[k];  // the kernel sets it, and the flags
        const int got = recvmmsg(up.sock.get(), b.msgs.data(), frame_batch, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // ENETDOWN: the link went down (or was not up yet) since the socket was bound.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENETDOWN)
                hlog(LOG_WARNING, "frame: %s: receive: %s", up.name.c_str(), strerror(errno));
            break;
        }
        for (int k = 0; k < got; k++) {
            if (b.from[k].sll_pkttype == PACKET_OUTGOING || !up.link_up)
                continue;  // our own frames, or what arrived before the link went down
            const int64_t now = monotonic_ms();
            parsed_frame f;
            // A frame longer than its buffer arrives cut short; it is refused like any truncated one.
            // Its prefixes are decoded only where they are needed.
            const std::span<const uint8_t> frame(b.data.data() + k * frame_buffer_size, b.msgs[k].msg_len);
            frame_error e = (b.msgs[k].msg_hdr.msg_flags & MSG_TRUNC) ? frame_error::truncated_tlv
                                                                      : tallowhost_scan_frame(frame, f);
            if (e != frame_error::none) {
                note_hostile(cfg, &up, e, now);
                continue;
            }
            changed.clear();
            tallowhost_apply_frame(cfg, &up, f, now, changed);
            declare(cfg, index, changed);
        }
        if (got < int(frame_batch))
            break;  // the socket is empty; a frame that comes now wakes the poll again
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
        for (size_t k = up.neighbours.size(); k-- > 0;) {
            if (now < up.neighbours[k].expires_ms)
                continue;
            std::vector<declaration> changed;
            forget_neighbour(cfg, &up, long(k), "TTL expired", changed);
            declare(cfg, i, changed);
        }
        std::vector<declaration> changed;
        tallowhost_end_guards(cfg, &up, now, changed);
        declare(cfg, i, changed);
    }
}

// Every route decided again, and the table compared with the kernel's a moment later: after a link
// went up or down, an address or a gateway changed.
void steer_again(host_config *cfg, const char *what)
{
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_steer_all(cfg, changes);
    apply_changes(cfg, what, changes, start);
    cfg->reconcile_ms = monotonic_ms() + 50;
}

// A receive socket for every uplink whose link exists, bound to that link: none for one that went
// away, a new one for a link made again under its name, however quickly.
void follow_sockets(host_config *cfg)
{
    for (uplink &up : cfg->uplinks) {
        if (up.sock.valid() && up.sock_ifindex != up.ifindex)
            up.sock.reset();
        if (up.ifindex && !up.sock.valid())
            tallowhost_open_uplink_socket(&up);  // logged; tried again at the link's next change
    }
}

void links_changed(host_config *cfg, const std::vector<size_t> &which)
{
    if (which.empty())
        return;
    for (size_t i : which) {
        uplink &up = cfg->uplinks[i];
        if (!up.went_down)
            continue;  // (a link down and up again before the agent read either went down all the same)
        up.went_down = false;
        // A link without carrier reaches nothing: what its neighbours declared goes with them.
        std::vector<declaration> changed;
        forget_neighbour(cfg, &up, -1, "link down", changed);
        declare(cfg, i, changed);
    }
    follow_sockets(cfg);
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_sync_down_uplinks(cfg, changes);
    apply_changes(cfg, "links", changes, start);
    steer_again(cfg, "links");
}

void addresses_changed(host_config *cfg)
{
    cfg->addresses_due = false;
    if (tallowhost_addresses_read(cfg) != 1)
        return;
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_set_connected(cfg, changes);
    tallowhost_steer_all(cfg, changes);
    apply_changes(cfg, "addresses", changes, start);
    cfg->reconcile_ms = monotonic_ms() + 50;
}

// Routes of a previous run wait until every uplink that is up has delivered a whole set, or for the
// adoption window; what is then not confirmed goes.
void check_adoption(host_config *cfg, int64_t now)
{
    if (!cfg->adopting)
        return;
    bool heard = true;
    for (const uplink &up : cfg->uplinks) {
        if (!up.link_up)
            continue;
        bool whole = false;
        for (const neighbour &nb : up.neighbours)
            whole = whole || nb.whole_set;
        heard = heard && whole;
    }
    if (!heard && now < cfg->started_ms + adopt_window_ms)
        return;
    cfg->adopting = false;
    size_t left = 0;
    for (const auto &[p, r] : cfg->routes)
        left += r.adopted;
    const int64_t start = monotonic_ms();
    std::vector<route_change> changes;
    tallowhost_steer_all(cfg, changes);
    hlog(LOG_INFO, "route: adoption ended (%s), %zu routes of the previous run not confirmed", heard ? "every uplink "
         "delivered a whole set" : "window over", left);
    apply_changes(cfg, "adoption", changes, start);
}

void serve_monitor(host_config *cfg)
{
    std::vector<size_t> changed;
    tallowhost_monitor_read(cfg, changed);
    // An uplink's addresses change with its IPv6 being disabled or enabled, which its link's
    // settings say: those are read again with them.
    if (cfg->links_due || cfg->addresses_due) {
        cfg->links_due = false;
        tallowhost_links_read(cfg, &changed);
    }
    tallowhost_groups_take(cfg);
    links_changed(cfg, changed);
    if (cfg->state_due) {
        cfg->state_due = false;
        tallowhost_state_write(cfg, false);
    }
    if (cfg->addresses_due)
        addresses_changed(cfg);
    if (cfg->l3mdev_after && !cfg->rules_withdrawn) {
        // A VRF appeared with its l3mdev rule behind ours: the agent must not steer its traffic.
        cfg->rules_withdrawn = true;
        const int removed = tallowhost_rules_remove(cfg);
        hlog(LOG_ERR, "rule: the VRFs' l3mdev rule at priority %u comes after the agent's rules; %d rules of the agent "
             "removed, nothing is steered until it restarts with a --rule-priority above %u", cfg->l3mdev_after,
             removed, cfg->l3mdev_after + 1);
    }
    if (cfg->rules_due && !cfg->rules_withdrawn) {
        cfg->rules_due = false;
        int added = tallowhost_rules_ensure(cfg);
        if (added > 0) {
            cfg->restored += unsigned(added);
            hlog(LOG_WARNING, "rule: %d rules of the agent were removed by someone else, restored", added);
        }
    }
}

int poll_timeout(const host_config *cfg, int64_t now)
{
    int64_t t = max_poll_ms;
    for (const uplink &up : cfg->uplinks)
        for (const neighbour &nb : up.neighbours) {
            t = std::min(t, std::max<int64_t>(nb.expires_ms - now, 0));
            if (nb.guard_due_ms >= 0)
                t = std::min(t, std::max<int64_t>(nb.guard_due_ms - now, 0));
        }
    if (cfg->reconcile_ms >= 0)
        t = std::min(t, std::max<int64_t>(cfg->reconcile_ms - now, 0));
    if (cfg->adopting)
        t = std::min(t, std::max<int64_t>(cfg->started_ms + adopt_window_ms - now, 0));
    if (const int64_t due = tallowhost_show_due(cfg); due >= 0)
        t = std::min(t, std::max<int64_t>(due - now, 0));
    return int(t);
}

int run(host_config *cfg)
{
    const size_t n_up = cfg->uplinks.size();
    std::vector<pollfd> fds;
    frame_buffers buf;
    sigset_t during_poll;
    sigemptyset(&during_poll);
    while (!stop_requested) {
        fds.clear();
        for (size_t i = 0; i < n_up; i++)
            fds.push_back(pollfd{cfg->uplinks[i].sock.get(), POLLIN, 0});
        fds.push_back(pollfd{cfg->monitor.get(), POLLIN, 0});
        tallowhost_show_poll(cfg, fds);
        int ms = poll_timeout(cfg, monotonic_ms());
        timespec ts{ms / 1000, long(ms % 1000) * 1000000};
        int r = ppoll(fds.data(), fds.size(), &ts, &during_poll);
        if (r < 0 && errno != EINTR) {
            hlog(LOG_ERR, "agent: poll: %s", strerror(errno));
            return -1;
        }
        // The kernel's news first: frames that follow a link change are read in its light.
        if (r > 0 && (fds[n_up].revents & (POLLIN | POLLERR)))
            serve_monitor(cfg);
        if (r > 0)
            for (size_t i = 0; i < n_up; i++)
                if (fds[i].revents & (POLLIN | POLLERR))
                    read_frames(cfg, i, buf);
        const int64_t now = monotonic_ms();
        if (r > 0)
            tallowhost_show_serve(cfg, fds.data() + n_up + 1, fds.size() - n_up - 1, now);
        expire_neighbours(cfg, now);
        check_adoption(cfg, now);
        if (cfg->reconcile_ms >= 0 && now >= cfg->reconcile_ms) {
            cfg->reconcile_ms = -1;
            tallowhost_reconcile(cfg);
        }
        if (snapshot_requested) {
            snapshot_requested = 0;
            tallowhost_snapshot_write(cfg, snapshot_path);
        }
        tallowhost_metrics_write(cfg, now);
    }
    return 0;
}

// One agent per host: a second one would take the first one's routes for stale ones.
int take_lock(host_config *cfg)
{
    unique_fd fd(open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const bool held = fd.valid() && errno == EWOULDBLOCK;
        hlog(LOG_ERR, "agent: %s: %s", lock_path, held ? "held by another tallowhost" : strerror(errno));
        std::fprintf(stderr, "tallowhost: %s\n", held ? "another tallowhost is running (it holds " "/run/tallowhost.lock)"
                                                       : "cannot take the lock /run/tallowhost.lock");
        return -1;
    }
    cfg->lock = std::move(fd);
    return 0;
}

// Start-up: the lock, the kernel's view of the uplinks, the rules and the table taken over, the throw
// routes, the receive sockets. Returns 0, exit_locked, or 1.
int start_up(host_config *cfg)
{
    if (take_lock(cfg) != 0)
        return exit_locked;
    saved_state saved;
    tallowhost_state_read(cfg, saved);
    if (tallowhost_route_open(cfg) != 0 || tallowhost_monitor_open(cfg) != 0 || tallowhost_links_read(cfg) != 0) {
        std::fprintf(stderr, "tallowhost: cannot read the uplinks (see the system log)\n");
        return 1;
    }
    for (uplink &up : cfg->uplinks) {
        up.waited = !up.ifindex;
        if (up.in_vrf) {
            hlog(LOG_ERR, "agent: uplink %s is enslaved to a VRF: the agent steers only the main table's traffic",
                 up.name.c_str());
            std::fprintf(stderr, "tallowhost: uplink %s is enslaved to a VRF (see tallowhost(8))\n", up.name.c_str());
            return 1;
        }
        if (!up.ifindex)
            hlog(LOG_WARNING, "link: %s: not present, waited for", up.name.c_str());
    }
    // The groups before this run are saved first: a run killed from now on leaves them for the next.
    // A state that cannot be written costs a restart its head start, not the steering.
    if (tallowhost_groups_take(cfg) != 0 || tallowhost_addresses_read(cfg) < 0) {
        std::fprintf(stderr, "tallowhost: cannot set up the uplinks (see the system log)\n");
        return 1;
    }
    tallowhost_state_write(cfg, false);
    cfg->state_due = false;
    if (tallowhost_table_take(cfg) != 0) {
        std::fprintf(stderr, "tallowhost: cannot take the routing table and the policy rules (see the system log)\n");
        return 1;
    }
    std::vector<route_change> changes;
    tallowhost_set_connected(cfg, changes);
    apply_changes(cfg, "subnets", changes, monotonic_ms());
    for (uplink &up : cfg->uplinks) {
        const bool open = up.sock.valid() && up.sock_ifindex == up.ifindex;  // since the link was read
        if (up.ifindex && !open && tallowhost_open_uplink_socket(&up) != 0) {
            std::fprintf(stderr, "tallowhost: cannot receive LLDP on %s (see the system log)\n", up.name.c_str());
            return 1;
        }
    }
    // What the neighbours declared at the last clean stop, for the rest of their TTLs: steered at once
    // instead of after every switch's next whole set.
    const int64_t start = monotonic_ms();
    std::vector<std::vector<declaration>> restored;
    changes.clear();
    tallowhost_state_restore(cfg, saved, start, restored);
    for (size_t i = 0; i < restored.size(); i++)
        tallowhost_steer(cfg, i, restored[i], changes);
    tallowhost_sync_down_uplinks(cfg, changes);
    apply_changes(cfg, "start", changes, start);
    // Questions are answered from here on; without the socket the agent still steers.
    tallowhost_show_open(cfg);
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

int tallowhost_main(int argc, char **argv)
{
    host_config cfg;
    std::string error;
    if (argc >= 2 && std::strcmp(argv[1], "show") == 0)
        return tallowhost_show_client(argc, argv);
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(tallowhost_usage, stdout);
        return 0;
    }
    if (parse_command_line(&cfg, argc, argv, error) != 0) {
        std::fprintf(stderr, "tallowhost: %s\n%s", error.c_str(), tallowhost_usage);
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
    int rc = start_up(&cfg);
    if (rc == 0) {
        hlog(LOG_INFO, "tallowhost started on %s, table %u, rule priority %u", uplink_list(&cfg).c_str(), cfg.table,
             cfg.rule_priority);
        if (run(&cfg) != 0)
            rc = 1;
    }
    if (rc == 0)
        tallowhost_state_write(&cfg, true);  // for a restart; the unit's runtime directory goes at stop
    tallowhost_show_close(&cfg);
    tallowhost_metrics_remove(&cfg);
    if (rc != exit_locked && cfg.nl.valid()) {
        tallowhost_route_remove_all(&cfg);
        tallowhost_groups_restore(&cfg);
    }
    hlog(LOG_INFO, "tallowhost stopped");
    closelog();
    return rc == exit_locked ? 1 : rc;
}
