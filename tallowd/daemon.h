// Internal interface of the daemon: the operations of every source file, one section per file.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include <memory>
#include <span>

#include "bytes.h"
#include "daemon_config.h"
#include "log.h"
#include "vrf_context.h"

struct pollfd;

/* main_loop.cpp: process, configuration, signals, poll loop, timers */
int tallowd_main(int argc, char **argv);
std::unique_ptr<daemon_config> daemon_create();
void load_config(daemon_config *cfg, const char *path = tallowd_conf_path);
void on_signal(int sig);
int set_nonblocking(int fd);
int build_poll_set(daemon_config *cfg, pollfd *fds, int capacity);
void dispatch_poll_events(daemon_config *cfg, pollfd *fds, int count);
void run_timers(daemon_config *cfg);
int compute_poll_timeout(daemon_config *cfg);
int64_t ms_elapsed(const timespec &now, const timespec &then);
timespec monotonic_now();
void daemon_cleanup(std::unique_ptr<daemon_config> cfg);  // frees the record last

/* ipc.cpp: northbound server */
int tallowd_ipc_init(daemon_config *cfg);
void tallowd_ipc_accept(daemon_config *cfg);
void tallowd_ipc_read(daemon_config *cfg, nb_client *client);
void tallowd_ipc_cleanup(daemon_config *cfg);

/* dispatch.cpp: northbound message handling */
void ipc_dispatch(daemon_config *cfg, const uint8_t *msg, size_t len);
void handle_prefix_update(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len);
void handle_sync_begin(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len);
void handle_sync_end(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len);
void handle_intf_set(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len);

/* prefix_db.cpp: the per-VRF prefix database and the global prefix limit */
prefix_entry *lookup(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen);
int add_or_update(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen, uint8_t w, uint32_t epoch);
void add_default_routes(prefix_db *db);  // 0/0 and ::/0, never refused by the prefix limit
int remove(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen);
int sweep_stale(prefix_db *db, uint32_t epoch);
int remove_non_defaults(prefix_db *db);
void clear(prefix_db *db);
bool only_defaults(const prefix_db *db);

/* vrf_ops.cpp: whole VRFs: contexts, the one push and what a VRF owes, the routing suite going away */
vrf_context *vrf_find(daemon_config *cfg, uint32_t vrf_id);
vrf_context *vrf_lookup_or_create(daemon_config *cfg, uint32_t vrf_id);
void vrf_remove(daemon_config *cfg, vrf_context *vrf);
void vrf_remove_all(daemon_config *cfg);
bool any_defaults_present(daemon_config *cfg);
// What a VRF owes: `dirty` (a push of its frame set) and `holddown_pending` (armed at holddown_start,
// it makes the timers push 100 ms later). vrf_owe_push sets them and vrf_push clears them; besides,
// vrf_end_sync_state ends the holddown when the routing suite goes away (a push stays owed).
void vrf_owe_push(vrf_context *vrf);  // dirty, and the holddown armed unless it already runs
enum class owed_after {
    settled_if_sent,  // nothing once the push went out (dirty and holddown cleared); else as it was
    owed_until_sent,  // the holddown ends now; nothing once the push went out, else dirty
    unchanged,        // as it was, sent or not (INTF_SET's new interfaces, an MTU change)
    nothing,          // nothing, sent or not (a VRF with frames is pushed by the next connection)
};
struct push_request {
    bool rebuild;       // build_blobs first
    bool trigger;       // lldpd sends at once (flags 13) rather than at its interval (5)
    owed_after owed;
};
// The one push of a VRF's frame set: rebuilds when asked, pushes when lldpd is connected, then
// settles what the VRF owes as asked. True when the push went out and the connection survived.
bool vrf_push(daemon_config *cfg, vrf_context *vrf, const push_request &req);
void vrf_keep_defaults(daemon_config *cfg, vrf_context *vrf);  // drop the specifics, push if that changed anything
void vrf_reset_to_defaults(vrf_context *vrf);                   // nothing but 0/0 and ::/0, epoch 0
void vrf_end_sync_state(vrf_context *vrf);                      // no holddown, no sync, epoch 0
void controlled_frr_down(daemon_config *cfg);
void inject_defaults(daemon_config *cfg);
// The routing suite going away: the policy per way of learning it (event: "down" or "deleted").
void disconnect_cleanup(daemon_config *cfg);                          // its socket closed
void zebra_reported_down(daemon_config *cfg, const char *event);      // the state service, zebra
void vorsd_reported_down(daemon_config *cfg, const char *event);      // the state service, vorsd

/* frames.cpp: proxy frame builder */
uint16_t read_mtu(uint32_t ifindex, const char *sysfs_root = "/sys/class/net");
uint16_t get_vrf_mtu(vrf_context *vrf, uint16_t default_mtu_value);
int build_blobs(vrf_context *vrf, uint16_t default_mtu_value);
int build_defaults_blob(vrf_context *vrf);
int build_immediate(std::span<const prefix_entry> entries, heap_array<uint8_t> &out, uint16_t &out_len);
int encode_header_tlv(byte_span dst, bool first, bool more, bool immediate);
int prefix_tlv_size(const prefix_entry *entry);
int blobs_reserve(blob_set *set, uint16_t slots, uint16_t size);
void blobs_free(blob_set *set);

/* lldp.cpp: lldpd client */
int tallowd_lldp_init(daemon_config *cfg);
void tallowd_lldp_cleanup(daemon_config *cfg);
void lldpd_connect(daemon_config *cfg);
void lldpd_disconnect(daemon_config *cfg);
void tallowd_lldp_push_periodic(daemon_config *cfg, vrf_context *vrf, bool trigger);
void tallowd_lldp_push_immediate(daemon_config *cfg, vrf_context *vrf, const uint8_t *blob, uint16_t len);
void tallowd_lldp_clear_interface(daemon_config *cfg, uint32_t ifindex);
void tallowd_lldp_flush_interface(daemon_config *cfg, uint32_t ifindex);
int send_proxy_frames(daemon_config *cfg, uint32_t ifindex, const blob_set *set, bool trigger);
int send_proxy_immediate(daemon_config *cfg, uint32_t ifindex, const uint8_t *blob, uint16_t len);

/* netlink.cpp: link MTU monitor */
int netlink_init(daemon_config *cfg);
void netlink_read(daemon_config *cfg);
void netlink_cleanup(daemon_config *cfg);
void netlink_handle_datagram(daemon_config *cfg, const uint8_t *data, size_t len);
void handle_newlink(daemon_config *cfg, const uint8_t *msg, size_t len);
vrf_context *vrf_find_by_ifindex(daemon_config *cfg, uint32_t ifindex);

/* mesra.cpp: service-state integration */
void tallowd_mesra_init(daemon_config *cfg);
void tallowd_mesra_cleanup(daemon_config *cfg);
void tallowd_mesra_dispatch(daemon_config *cfg);
struct mesra_change;
void mesra_add_fd_cb(mesra *m, int fd, void *user);
void mesra_remove_fd_cb(mesra *m, int fd, void *user);
void frr_state_cb(const mesra_change *rec, void *user);
void vorsd_state_cb(const mesra_change *rec, void *user);

/* dump.cpp: state dumps */
void dump_state_syslog();
void dump_state_file(const char *path = "/var/run/tallowd-dump.txt");
