// The daemon's one context record, passed as cfg to every operation.
#pragma once

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "unique_fd.h"
#include "vrf_context.h"

struct mesra;       // state-service connection (opaque, owned by the library)
struct mesra_sub;   // one subscription (opaque)

// Library handles, released through the library (mesra.cpp).
struct mesra_handle_deleter {
    void operator()(mesra *m) const;
};
struct mesra_sub_deleter {
    void operator()(mesra_sub *s) const;
};
using mesra_handle_ptr = std::unique_ptr<mesra, mesra_handle_deleter>;
using mesra_sub_ptr = std::unique_ptr<mesra_sub, mesra_sub_deleter>;

constexpr const char *tallowd_sock_path = "/var/run/tallowd.sock";
constexpr const char *lldpd_default_sock_path = "/var/run/lldpd.socket";
constexpr const char *tallowd_conf_path = "/etc/tarvik/tallowd.conf";
constexpr const char *tallowd_enable_path = "/var/run/tallowd.enable";
constexpr const char *tallowd_debug_path = "/var/run/tallowd.debug";
constexpr uint16_t default_mtu = 9216;
constexpr size_t default_prefix_limit = 25000;
constexpr long max_prefix_limit_max = 200000;
constexpr int holddown_ms = 100;
constexpr int no_sync_ms = 3000;

constexpr int nb_client_kind_frr = 1;  // the only kind of northbound client

// One connected northbound client with its input buffer.
struct nb_client {
    unique_fd fd;
    int kind = nb_client_kind_frr;
    heap_array<uint8_t> input;  // its size is the buffer's capacity
    size_t input_len = 0;       // valid bytes at the start of input
};

struct daemon_config {
    // Written by the signal handler, read and cleared by the main loop.
    volatile sig_atomic_t running = 1;
    volatile sig_atomic_t dump_requested = 0;
    volatile sig_atomic_t dump_file_requested = 0;
    volatile sig_atomic_t reload_requested = 0;

    unique_fd listen_fd;
    heap_array<std::unique_ptr<nb_client>> nb_clients;  // accept order; at most one
    unique_fd lldpd_fd;
    bool lldpd_connected = false;
    time_t lldpd_next_attempt = 0;
    time_t last_push = 0;
    heap_array<std::unique_ptr<vrf_context>> vrfs;  // creation order
    const char *sock_path = tallowd_sock_path;
    const char *lldpd_sock_path = lldpd_default_sock_path;
    int log_level = LOG_LEVEL_INFO;
    unique_fd netlink_fd;

    uint64_t msgs_received = 0;
    uint64_t prefix_updates = 0;
    uint64_t prefixes_received = 0;
    uint64_t sync_begins = 0;
    uint64_t sync_ends = 0;
    uint64_t intf_sets = 0;
    uint64_t errors = 0;
    uint64_t lldpd_reconnects = 0;
    uint64_t txn_timeouts = 0;

    prefix_limit limit = {.count = 0, .max = default_prefix_limit, .warned = false};  // every VRF's db points here

    mesra_handle_ptr mesra_handle;
    mesra_sub_ptr frr_sub;  // declared after the handle: released before it
    mesra_sub_ptr vorsd_sub;
    int mesra_fd = -1;  // the library's descriptor, polled but not owned
    bool frr_up = false;
    bool vorsd_up = false;
    bool warmboot = false;

    uint32_t lldp_seq = 1;  // sequence number of the next type-11 request to lldpd

    static constexpr int LOG_LEVEL_INFO = 6;
    static constexpr int LOG_LEVEL_DEBUG = 7;
};

// The process-wide context pointer, used by the signal handler, the log, the state-service
// descriptor callbacks and the dumps. Cleared before the record is freed.
extern std::atomic<daemon_config *> active_cfg;
