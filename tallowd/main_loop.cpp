// The daemon process: start-up, configuration, signals, the poll loop, timers and shutdown.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "daemon.h"

std::atomic<daemon_config *> active_cfg{nullptr};

namespace {

constexpr int poll_capacity = 256;
// The longest poll: the lldpd reconnection, attempted at most once a second, has no timer of its own in
// compute_poll_timeout and relies on this cap.
constexpr int max_poll_timeout_ms = 1000;

int log_mask_for(int level)
{
    return (1 << (level + 1)) - 1;
}

}  // namespace

std::unique_ptr<daemon_config> daemon_create()
{
    return std::unique_ptr<daemon_config>(new (std::nothrow) daemon_config());
}

int64_t ms_elapsed(const timespec &now, const timespec &then)
{
    return int64_t(now.tv_sec - then.tv_sec) * 1000 + int64_t(now.tv_nsec - then.tv_nsec) / 1000000;
}

timespec monotonic_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    return 0;
}

void load_config(daemon_config *cfg, const char *path)
{
    long candidate = long(default_prefix_limit);
    bool found = false;

    FILE *f = std::fopen(path, "r");
    if (!f) {
        tlog(LOG_INFO, "conf: %s absent, max_prefix_limit=%d (default)", path, int(default_prefix_limit));
        cfg->limit.max = default_prefix_limit;
        return;
    }
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        if (line[0] == '#' || line[0] == '\n')
            continue;
        char key[64];
        char value[32];
        if (std::sscanf(line, " %63[^= ] = %31s", key, value) != 2)
            continue;
        if (std::strcmp(key, "max-unreachable-prefix") != 0)
            continue;
        long v = std::strtol(value, nullptr, 10);
        if (v < 0 || v > max_prefix_limit_max)
            tlog(LOG_WARNING, "conf: max-unreachable-prefix %ld out of range [%d..%d], using default", v, 0,
                 int(max_prefix_limit_max));
        else
            candidate = v;
        found = true;
        break;  // only the first matching line counts
    }
    std::fclose(f);
    if (!found)
        tlog(LOG_INFO, "conf: key not found in %s, using default %d", path, int(default_prefix_limit));
    if (size_t(candidate) != cfg->limit.max) {
        tlog(LOG_INFO, "conf: max_prefix_limit %zu -> %zu", cfg->limit.max, size_t(candidate));
        cfg->limit.max = size_t(candidate);
        cfg->limit.warned = false;
    }
    tlog(LOG_INFO, "conf: max-unreachable-prefix = %zu (range [%d..%d], default %d)", cfg->limit.max, 0,
         int(max_prefix_limit_max), int(default_prefix_limit));
}

void on_signal(int sig)
{
    daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    if (!cfg)
        return;
    switch (sig) {
    case SIGINT:
    case SIGTERM:
        cfg->running = 0;
        break;
    case SIGUSR1:
        cfg->dump_requested = 1;
        break;
    case SIGUSR2:
        cfg->dump_file_requested = 1;
        break;
    case SIGHUP:
        cfg->reload_requested = 1;
        break;
    default:
        break;
    }
}

int build_poll_set(daemon_config *cfg, pollfd *fds, int capacity)
{
    int n = 0;
    auto add = [&](int fd) {
        if (fd < 0 || n >= capacity)
            return;
        fds[n].fd = fd;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        n++;
    };
    add(cfg->listen_fd.get());
    for (const auto &client : cfg->nb_clients)
        add(client->fd.get());
    add(cfg->netlink_fd.get());
    add(cfg->mesra_fd);
    return n;
}

void dispatch_poll_events(daemon_config *cfg, pollfd *fds, int count)
{
    for (int i = 0; i < count; i++) {
        const pollfd &p = fds[i];
        if (p.revents == 0)
            continue;
        if (p.fd == cfg->listen_fd.get()) {
            if (p.revents & POLLIN)
                tallowd_ipc_accept(cfg);
        } else if (p.fd == cfg->netlink_fd.get()) {
            if (p.revents & POLLIN)
                netlink_read(cfg);
        } else if (p.fd == cfg->mesra_fd) {
            if (p.revents & (POLLERR | POLLHUP)) {
                tlog(LOG_WARNING, "mesra: fd error/hangup");
                cfg->mesra_fd = -1;
            } else if (p.revents & POLLIN) {
                tallowd_mesra_dispatch(cfg);
            }
        } else {
            for (const auto &client : cfg->nb_clients) {
                if (client->fd.get() != p.fd)
                    continue;
                if (p.revents & (POLLIN | POLLERR | POLLHUP))
                    tallowd_ipc_read(cfg, client.get());  // may free the client
                break;
            }
        }
    }
}

namespace {

void holddown_pass(daemon_config *cfg, const timespec &now)
{
    for (const auto &vrf : cfg->vrfs) {
        if (!vrf->holddown_pending || !vrf->dirty)
            continue;
        int64_t elapsed = ms_elapsed(now, vrf->holddown_start);
        if (elapsed < holddown_ms || vrf->in_sync)
            continue;  // inside a sync the holddown waits for SYNC_END
        tlog(LOG_DEBUG, "holddown expired VRF %u (%ld ms, %zu prefixes)", vrf->vrf_id, long(elapsed), vrf->db.count);
        const bool connected = cfg->lldpd_connected;
        vrf_push(cfg, vrf.get(), {.rebuild = true, .trigger = false, .owed = owed_after::owed_until_sent});
        if (!connected)
            tlog(LOG_INFO, "holddown: LLDPD not connected, blobs cached (VRF %u)", vrf->vrf_id);
        vrf->holddowns++;
    }
}

void no_sync_pass(daemon_config *cfg, const timespec &now)
{
    for (const auto &vrf : cfg->vrfs) {
        if (!vrf->awaiting_sync)
            continue;
        if (ms_elapsed(now, vrf->intf_set_time) < no_sync_ms)
            continue;
        vrf->awaiting_sync = 0;
        if (vrf->db.count == 0 && cfg->lldpd_connected) {
            tlog(LOG_INFO, "ipc: no SYNC after INTF_SET for VRF %u, pushing empty periodic", vrf->vrf_id);
            vrf_push(cfg, vrf.get(), {.rebuild = true, .trigger = true, .owed = owed_after::settled_if_sent});
        }
    }
}

}  // namespace

void run_timers(daemon_config *cfg)
{
    time_t wall = time(nullptr);
    if (!cfg->lldpd_connected && wall >= cfg->lldpd_next_attempt) {
        lldpd_connect(cfg);
        cfg->lldpd_next_attempt = wall + 1;
    }
    timespec now = monotonic_now();
    holddown_pass(cfg, now);
    no_sync_pass(cfg, now);
}

int compute_poll_timeout(daemon_config *cfg)
{
    int timeout = max_poll_timeout_ms;
    timespec now = monotonic_now();
    // A holddown only counts while it can fire: a VRF inside a sync is pushed by SYNC_END, and one
    // that owes nothing has nothing to push, so neither may wake the loop early.
    for (const auto &vrf : cfg->vrfs) {
        if (!vrf->holddown_pending || !vrf->dirty || vrf->in_sync)
            continue;
        int64_t remaining = holddown_ms - ms_elapsed(now, vrf->holddown_start);
        if (remaining <= 0)
            return 1;
        if (remaining < timeout)
            timeout = int(remaining);
    }
    for (const auto &vrf : cfg->vrfs) {
        if (!vrf->awaiting_sync)
            continue;
        int64_t remaining = no_sync_ms - ms_elapsed(now, vrf->intf_set_time);
        if (remaining <= 0)
            return 1;
        if (remaining < timeout)
            timeout = int(remaining);
    }
    return timeout;
}

namespace {

// With the feature switched off, lldpd forgets every frame: an empty immediate frame per VRF and a
// clear per interface.
void flush_lldpd_cache(daemon_config *cfg)
{
    tlog(LOG_INFO, "feature disabled, flushing LLDPD cache");
    for (const auto &vrf : cfg->vrfs) {
        heap_array<uint8_t> frame;
        uint16_t len = 0;
        if (build_immediate({}, frame, len) == 0 && !frame.empty())
            tallowd_lldp_push_immediate(cfg, vrf.get(), frame.data(), len);
        for (uint32_t ifindex : vrf->intfs)
            tallowd_lldp_clear_interface(cfg, ifindex);
    }
}

}  // namespace

void daemon_cleanup(std::unique_ptr<daemon_config> cfg_owner)
{
    daemon_config *cfg = cfg_owner.get();
    tlog(LOG_INFO, "Cleaning up...");
    if (access(tallowd_enable_path, F_OK) != 0 && cfg->lldpd_connected)
        flush_lldpd_cache(cfg);
    tallowd_mesra_cleanup(cfg);
    tallowd_ipc_cleanup(cfg);
    tallowd_lldp_cleanup(cfg);
    netlink_cleanup(cfg);
    vrf_remove_all(cfg);
    unlink(cfg->sock_path);
    tlog(LOG_INFO, "tallowd stopped");
    // The signal handler must never see the record once it is gone.
    active_cfg.store(nullptr);
    cfg_owner.reset();
}

static void install_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static void reload(daemon_config *cfg)
{
    load_config(cfg);
    if (access(tallowd_debug_path, F_OK) == 0) {
        cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
        setlogmask(log_mask_for(cfg->log_level));
        tlog(LOG_INFO, "debug logging enabled (%s present)", tallowd_debug_path);
    } else {
        cfg->log_level = daemon_config::LOG_LEVEL_INFO;
        setlogmask(log_mask_for(cfg->log_level));
        tlog(LOG_INFO, "debug logging disabled");
    }
}

static void main_loop(daemon_config *cfg)
{
    pollfd fds[poll_capacity];
    while (cfg->running) {
        int timeout = compute_poll_timeout(cfg);
        int count = build_poll_set(cfg, fds, poll_capacity);
        int ready = poll(fds, nfds_t(count), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            tlog(LOG_ERR, "poll() failed: %s", strerror(errno));
            break;
        }
        if (ready > 0)
            dispatch_poll_events(cfg, fds, count);
        run_timers(cfg);
        if (cfg->dump_requested) {
            cfg->dump_requested = 0;
            dump_state_syslog();
        }
        if (cfg->dump_file_requested) {
            cfg->dump_file_requested = 0;
            dump_state_file();
        }
        if (cfg->reload_requested) {
            cfg->reload_requested = 0;
            reload(cfg);
        }
    }
}

int tallowd_main(int, char **)
{
    openlog("tallowd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    std::unique_ptr<daemon_config> cfg = daemon_create();
    if (!cfg) {
        syslog(LOG_ERR, "Failed to allocate config");
        syslog(LOG_ERR, "Config init failed");
        closelog();
        return 1;
    }
    active_cfg.store(cfg.get());
    load_config(cfg.get());
    setlogmask(log_mask_for(cfg->log_level));
    tlog(LOG_INFO, "tallowd starting");
    install_signals();

    if (tallowd_ipc_init(cfg.get()) != 0) {
        tlog(LOG_ERR, "FRR IPC init failed");
        daemon_cleanup(std::move(cfg));
        closelog();
        return 1;
    }
    if (tallowd_lldp_init(cfg.get()) != 0)
        tlog(LOG_WARNING, "LLDPD connection failed, will retry");
    if (netlink_init(cfg.get()) != 0)
        tlog(LOG_WARNING, "Netlink init failed, MTU changes not monitored");
    tallowd_mesra_init(cfg.get());
    tlog(LOG_INFO, "tallowd started, waiting for FRR connection on %s", cfg->sock_path);
    tlog(LOG_DEBUG, "mesra_fd=%d", cfg->mesra_fd);

    main_loop(cfg.get());

    daemon_cleanup(std::move(cfg));
    closelog();
    return 0;
}
