// Internal interface of the host agent: its records and the operations of every source file, one
// section per file.
#pragma once

#include <poll.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <unordered_map>
#include <string>
#include <unordered_set>
#include <vector>

#include "unique_fd.h"

constexpr uint32_t default_table = 250;
// After the kernel's l3mdev rule at 1000, so that a VRF's traffic is looked up in its own table first.
constexpr uint32_t default_rule_priority = 2000;
constexpr uint32_t default_ifgroup = 250;      // interface group of the uplinks
constexpr uint8_t route_protocol = 241;        // marks the agent's routes and rules; nothing else is removed
constexpr uint32_t default_max_prefixes = 200000;  // per uplink, over all its neighbours
constexpr size_t max_neighbours = 8;           // declaring neighbours kept per uplink
constexpr uint16_t max_ttl_s = 300;            // a longer TTL is honoured for this long
// A delta's decision outlives, for this long, a whole set that says otherwise: the switch may have
// sent that set before the delta (a retransmission of its stored set), and its new set follows the
// delta within about 100 ms.
constexpr int64_t set_guard_ms = 1000;
constexpr size_t frame_buffer_size = 65536;   // a longer frame is refused as cut short
constexpr size_t max_prefix_tlv_size = 25;    // an IPv6 prefix TLV, header included
constexpr int64_t adopt_window_ms = 120000;    // routes of a previous run wait this long for confirmation
constexpr const char *snapshot_path = "/run/tallowhost.json";
constexpr const char *lock_path = "/run/tallowhost.lock";
// What a restart needs: the uplinks' interface groups from before the first run, and at a clean stop
// what each neighbour declared with the time its TTL runs out. The unit's runtime directory keeps it
// across a restart and removes it at stop.
constexpr const char *state_dir = "/run/tallowhost";
constexpr const char *state_path = "/run/tallowhost/state";
constexpr const char *show_socket_path = "/run/tallowhost/show.sock";
constexpr size_t max_uplinks = 32;  // uplinks are bits of a 32-bit reach mask

// One prefix as the agent keeps it: the address masked to the prefix length. The member order is the
// sort order (family, address, length), so that every prefix that a prefix covers follows it in one
// contiguous run.
struct host_prefix {
    uint8_t family = 4;  // 4 or 6
    std::array<uint8_t, 16> addr{};
    uint8_t plen = 0;

    // The bytes in member order are the sort order; one memcmp compares them all.
    bool operator==(const host_prefix &o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
    std::strong_ordering operator<=>(const host_prefix &o) const { return std::memcmp(this, &o, sizeof *this) <=> 0; }
};
static_assert(sizeof(host_prefix) == 18, "host_prefix is compared as raw bytes");

struct host_prefix_hash {
    size_t operator()(const host_prefix &p) const noexcept;
};

// One prefix TLV as it travels: the address bytes as sent, with the withdrawn flag.
struct frame_prefix {
    host_prefix prefix;
    bool withdrawn = false;
};

// What one LLDP frame says, once it has been checked from end to end.
struct parsed_frame {
    std::string chassis_id;  // subtype byte followed by the identifier
    std::string port_id;     // likewise
    uint16_t ttl = 0;
    bool has_control = false;  // carries the relay's control TLV
    uint8_t flags = 0;
    size_t prefix_tlvs = 0;  // the relay's prefix TLVs, checked
    size_t members = 0;      // those without the withdrawn flag
    // From the control TLV's end to the last prefix TLV's: the frame's prefixes, undecoded (they point
    // into the frame, and live as long as it).
    std::span<const uint8_t> body;
    std::vector<frame_prefix> prefixes;  // decoded by tallowhost_parse_frame only
};

// Why a frame was refused; frame_reason_text gives the words for the log.
enum class frame_error {
    none,
    too_short,
    not_lldp,
    truncated_tlv,
    missing_mandatory,
    bad_mandatory,
    bad_tlv_length,
    unknown_subtype,
    unknown_flags,
    bad_prefix_length,
    control_misplaced,
};

constexpr uint8_t flag_first = 0x80;
constexpr uint8_t flag_more = 0x40;
constexpr uint8_t flag_periodic = 0x01;
constexpr uint8_t flag_withdrawn = 0x80;

// One neighbour that declares prefixes on an uplink, known by its chassis ID and port ID as LLDP
// knows its neighbours. Speakers that never send the relay's control TLV are not kept.
// What a delta decided for one prefix, kept for set_guard_ms after it.
struct delta_guard {
    int64_t at_ms = 0;       // monotonic time the delta was taken
    bool declared = false;   // the delta's decision
    bool contested = false;  // a whole set said otherwise since: its word takes effect at the window's end
};

struct neighbour {
    std::string chassis_id;
    std::string port_id;
    uint16_t ttl = 0;        // as sent
    int64_t expires_ms = 0;  // monotonic; the neighbour is forgotten at this time
    int64_t applied_ms = 0;  // monotonic time of the last whole set or delta taken
    int64_t changed_ms = 0;  // monotonic time of the last change of `declared`
    bool whole_set = false;  // a whole periodic set has been taken from it
    std::unordered_set<host_prefix, host_prefix_hash> declared;
    // Deltas and guards since the last whole set: the prefixes it declares that are not declared now,
    // and the reverse.
    std::unordered_set<host_prefix, host_prefix_hash> off_set;
    // The last whole set's prefix TLVs as they came, end to end; how many prefixes it declares; and
    // whether each came once, which lets the next set be compared with it rather than read.
    std::vector<uint8_t> set_bytes;
    size_t set_members = 0;
    bool set_unique = false;
    bool set_churned = false;  // most of its prefixes differed from the set before
    // The set being received: its TLVs as they come, and how many prefixes they declare.
    bool partial_open = false;
    bool discarding = false;  // continuation frames are being dropped until the next first frame
    unsigned partial_frames = 0;
    std::vector<uint8_t> partial_bytes;
    size_t partial_members = 0;
    // Read (the previous set was not unique): its prefixes. Compared: how far the previous set's
    // TLVs are matched, and the prefixes of each that the other lacks at that place.
    bool comparing = false;
    std::vector<host_prefix> partial;
    size_t matched = 0;
    std::vector<host_prefix> gained, lost;
    std::unordered_map<host_prefix, delta_guard, host_prefix_hash> guards;  // the deltas of the last set_guard_ms
    int64_t guard_due_ms = -1;  // no later than the first contested guard's window end, -1 when none
    int64_t set_ms = -1;       // monotonic time of the last whole set taken, -1 before the first
    int64_t set_unix_ms = -1;  // the same on the wall clock, for the metrics
};

// A change of what an uplink declares: the prefix is now declared by at least one of its neighbours,
// or by none any more.
struct declaration {
    host_prefix prefix;
    bool declared = false;
    bool operator<(const declaration &o) const { return prefix < o.prefix; }
};

struct uplink_counters {
    uint64_t frames = 0;
    uint64_t sets = 0;
    uint64_t deltas = 0;
    uint64_t discarded_sets = 0;
    uint64_t hostile = 0;
    uint64_t dropped = 0;       // frames the kernel dropped before the agent read them
    uint64_t over_cap = 0;      // prefixes not taken because of the caps
    uint64_t ignored = 0;       // frames of speakers that declare nothing or of neighbours beyond the cap
};

struct uplink {
    std::string name;      // followed when the link is renamed
    uint32_t ifindex = 0;  // 0 while no link of that name exists
    unique_fd sock;        // LLDP receive socket, open while the link exists
    uint32_t sock_ifindex = 0;  // the link it is bound to
    bool has_v4 = false;
    bool has_v6 = false;
    std::array<uint8_t, 4> gw4{};
    std::array<uint8_t, 16> gw6{};
    std::vector<neighbour> neighbours;
    size_t held = 0;       // prefixes over all its neighbours' sets: at most max_prefixes
    size_t held_open = 0;  // prefixes over all its neighbours' open sets: at most max_prefixes
    size_t declared = 0;  // distinct prefixes declared on it
    // Prefixes declared on it per family (0: IPv4, 1: IPv6) and length, for the coverage test.
    std::array<std::array<uint32_t, 129>, 2> len_count{};
    std::array<std::vector<uint8_t>, 2> lengths;  // the lengths with a non-zero count, ascending
    // What the kernel says of the link and its addresses.
    bool link_known = false;
    bool link_up = false;
    bool went_down = false;  // down (or deleted) since the agent last acted on its link, up again or not
    bool addresses_known = false;
    bool gw4_onlink = false;
    bool gw6_onlink = false;
    // The gateway is outside the uplink's subnets but the main table reaches it on the link (onlink):
    // the agent's routes through it say so too.
    bool gw4_flag_onlink = false;
    bool gw6_flag_onlink = false;
    bool waited = false;        // absent at start or deleted since: its appearance is logged
    bool families_told = false;  // the families it has no next hop for were logged
    bool in_vrf = false;       // enslaved to a VRF: not the agent's to steer
    bool ipv6_disabled = false;  // net.ipv6.conf.IFNAME.disable_ipv6: no IPv6 next hop is usable
    int rp_filter = -1;          // net.ipv4.conf.IFNAME.rp_filter as the link's messages give it
    bool down_implied = false;  // down while another uplink is up: treated as declaring 0.0.0.0/0 and ::/0
    std::vector<host_prefix> connected;  // the subnets of its addresses
    uint32_t group = 0;                  // its interface group as last seen
    uint32_t group_before = 0;           // to restore at stop
    bool group_taken = false;
    bool group_saved = false;            // group_before came from the state of an earlier run
    uplink_counters counters;
    int64_t hostile_logged_ms = -1;  // rate limit of the hostile-frame lines
    uint64_t hostile_unlogged = 0;
    int64_t capped_logged_ms = -1;   // rate limit of the cap lines
};

// The route the agent keeps for one prefix of its table.
struct route_state {
    uint32_t declared_by = 0;  // uplinks that declare exactly this prefix
    uint32_t reach = 0;        // installed: uplinks the route goes through; 0 is an unreachable route
    bool connected = false;    // an uplink's own subnet or gateway: a throw route, so that the main table answers
    bool installed = false;    // the kernel holds the route
    bool thrown = false;       // installed as a throw route
    bool adopted = false;      // left by a previous run and not yet confirmed
    bool dirty = false;
};

// One change for the kernel's table.
struct route_change {
    host_prefix prefix;
    bool remove = false;  // true: delete the route; false: create or replace it
    bool throw_route = false;
    uint32_t reach = 0;   // uplinks to go through; 0 is an unreachable route
};

// A client of the show socket: its request as it comes, then the answer as it goes.
struct show_client {
    unique_fd fd;
    std::string in;
    std::string out;
    size_t sent = 0;
    bool answering = false;
    int64_t since_ms = 0;
};

struct host_config {
    std::vector<uplink> uplinks;
    uint32_t table = default_table;
    uint32_t rule_priority = default_rule_priority;
    uint32_t ifgroup = default_ifgroup;
    size_t max_prefixes = default_max_prefixes;
    bool verbose = false;
    unique_fd nl;       // route netlink socket for requests
    uint32_t nl_portid = 0;  // its port ID, which the notifications of our own changes carry
    unique_fd monitor;  // route netlink socket for the kernel's notifications
    unique_fd lock;
    uint32_t nl_seq = 1;
    std::map<host_prefix, route_state> routes;  // every prefix declared, connected or adopted
    size_t installed = 0;                       // routes the kernel holds
    uint64_t route_failures = 0;
    uint64_t restored = 0;  // routes and rules put back after someone else removed them
    int64_t started_ms = 0;
    bool adopting = false;        // routes of a previous run are waiting for confirmation
    int64_t reconcile_ms = -1;    // when to compare the kernel's table with ours; -1: not due
    bool addresses_due = false;   // an uplink's addresses changed
    bool rules_due = false;       // a rule of ours was removed
    bool links_due = false;       // the notifications overflowed: read every link again
    bool state_due = false;       // an uplink's group before the agent was taken: save it
    uint32_t l3mdev_after = 0;    // priority of an l3mdev rule seen at or after ours; 0: none
    bool rules_withdrawn = false;  // a VRF's l3mdev rule came after ours: ours are gone until a restart
    unique_fd show_listen;  // the show socket
    std::vector<show_client> show_clients;
    std::string metrics_path;     // --metrics-file; empty: no metrics
    std::string metrics_written;  // what the file holds
    int64_t metrics_due_ms = 0;
};

/* log.cpp: syslog lines, debug only with -v */
void hlog(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
extern bool hlog_debug;
using hlog_hook_fn = void (*)(int prio, const char *line);
extern hlog_hook_fn hlog_hook;  // tests receive every line here as well
int64_t monotonic_ms();
int64_t realtime_ms();
std::string address_text(int family, const uint8_t *addr);  // AF_INET or AF_INET6
std::string prefix_text(const host_prefix &p);
std::string id_text(const std::string &id);

/* frame.cpp: parser of received LLDP frames */
// Checks a frame from end to end; its prefixes are left undecoded in `body`.
frame_error tallowhost_scan_frame(std::span<const uint8_t> frame, parsed_frame &out);
// The same, with the prefixes decoded.
frame_error tallowhost_parse_frame(std::span<const uint8_t> frame, parsed_frame &out);
// Appends the prefixes of a checked body, or of a run of its whole TLVs, in their order.
void tallowhost_decode_body(std::span<const uint8_t> body, std::vector<frame_prefix> &out);
// The size of the TLV at `off` in a checked body.
size_t tallowhost_tlv_size(std::span<const uint8_t> body, size_t off);
const char *frame_reason_text(frame_error e);
host_prefix masked(const host_prefix &p, uint8_t plen);

/* neighbour.cpp: sets and deltas per neighbour, combined per uplink */
// Applies a parsed frame to the uplink's neighbours; `out` receives every prefix whose declaration on
// this uplink changed, sorted and unique.
void tallowhost_apply_frame(host_config *cfg, uplink *up, const parsed_frame &f, int64_t now_ms,
                            std::vector<declaration> &out);
// Forgets neighbour `index` of the uplink (TTL 0, TTL expired), or every neighbour with index -1 (the
// link went down).
void forget_neighbour(host_config *cfg, uplink *up, long index, const char *why, std::vector<declaration> &out);
void note_hostile(host_config *cfg, uplink *up, frame_error e, int64_t now_ms);
// Ends the guards whose window is over: a set's word that a delta held back takes effect.
void tallowhost_end_guards(host_config *cfg, uplink *up, int64_t now_ms, std::vector<declaration> &out);

/* set_compare.cpp: a set compared with the neighbour's previous one as its frames come */
// Matches a frame's body against the previous set's TLVs from where the last frame left off; what
// does not match is decoded into `gained` and `lost`.
void tallowhost_compare_body(neighbour &nb, std::span<const uint8_t> body);
// At the set's last frame: the previous set's TLVs not matched are lost.
void tallowhost_compare_rest(neighbour &nb);
// Then, with `gained` and `lost` sorted and unique, before the set changes anything: whether it
// declares p, and its size (`gained_tlvs`: how many gained came, duplicates included).
bool tallowhost_compared_word(const neighbour &nb, const host_prefix &p);
size_t tallowhost_compared_size(const neighbour &nb, size_t gained_tlvs, bool &unique);

/* steer.cpp: which uplinks still reach each declared prefix */
bool uplink_usable(const uplink &up, uint8_t family);
// IPv4 prefixes go through the uplink's IPv6 next hop when it has no IPv4 one.
bool uplink_v4_via_v6(const uplink &up);
bool uplink_declares(const uplink &up, size_t index, const route_state &r);
bool declares_covering(const host_config *cfg, size_t uplink_index, const host_prefix &p);
uint32_t reach_mask(const host_config *cfg, const host_prefix &p);
// No uplink reaches the prefix, but one that is up and declares nothing of it has no next hop for its
// family: the main table answers for it.
bool left_to_main(const host_config *cfg, const host_prefix &p);
// Takes an uplink's changed declarations and appends the route changes they cause.
void tallowhost_steer(host_config *cfg, size_t uplink_index, const std::vector<declaration> &changed,
                      std::vector<route_change> &out);
// Decides every route again: after a link, an address or a gateway changed, or adoption ended.
void tallowhost_steer_all(host_config *cfg, std::vector<route_change> &out);
// Makes the uplinks' subnets and off-subnet gateways throw routes, and only those.
void tallowhost_set_connected(host_config *cfg, std::vector<route_change> &out);
// An uplink that is down while another is up reaches nothing: it is treated as declaring 0.0.0.0/0
// and ::/0, so that what the main table sends through it leaves through the others. Appends the route
// changes.
void tallowhost_sync_down_uplinks(host_config *cfg, std::vector<route_change> &out);

/* netlink.cpp: route netlink messages, batched exchanges, dumps */
// Netlink messages are in host byte order; fields are copied in and out, never cast in place.
uint16_t get_host16(const uint8_t *p);
uint32_t get_host32(const uint8_t *p);
size_t align4(size_t n);
// Appends netlink messages to a buffer: begin, attributes (possibly nested), end.
struct nl_writer {
    std::vector<uint8_t> buf;
    size_t msg_start = 0;
    unsigned count = 0;

    void begin(uint16_t type, uint16_t flags, uint32_t seq);
    void append(const void *p, size_t n);
    size_t attr(uint16_t type, const void *data, size_t n);
    void attr32(uint16_t type, uint32_t v) { attr(type, &v, sizeof v); }
    size_t nest_begin(uint16_t type) { return attr(type, nullptr, 0); }
    void nest_end(size_t at);
    void end();
};
// Copies a message's family header (ifinfomsg, rtmsg, ...) out and gives the attributes after it;
// false when the message is too short to hold the header.
template <class T>
bool nl_message_header(const uint8_t *msg, uint32_t len, T &header, std::span<const uint8_t> &attrs)
{
    constexpr size_t nl_header = 16;  // struct nlmsghdr
    if (len < nl_header + sizeof(T))
        return false;
    std::memcpy(&header, msg + nl_header, sizeof(T));
    const size_t at = std::min<size_t>(len, nl_header + align4(sizeof(T)));
    attrs = std::span<const uint8_t>(msg + at, len - at);
    return true;
}
// The 32-bit attribute when present, else `fallback` (the header's byte).
uint32_t nl_attr32_or(const uint8_t *attrs, size_t len, uint16_t type, uint32_t fallback);
// Finds an attribute among those in [p, p + len); nullptr when absent or malformed.
const uint8_t *nl_find_attr(const uint8_t *p, size_t len, uint16_t type, size_t &value_len);
// Numbers the writer's messages from cfg->nl_seq on, spends those numbers and returns the first.
uint32_t nl_number(host_config *cfg, nl_writer &w);
// Sends the writer's messages, numbered from first_seq, in pieces of bounded size and checks the
// kernel's answers; `describe` names message i for the log, and with `quiet` an object already gone
// counts as removed and one already there as added. Returns the number of refused messages, or -1 when the exchange failed.
// `refused`, when given, receives the indexes of the refused messages.
int nl_transact(host_config *cfg, nl_writer &w, uint32_t first_seq, const std::function<std::string(size_t)> &describe,
                bool quiet = false, std::vector<size_t> *refused = nullptr);

// Runs a dump request whose header (ifinfomsg, rtmsg, ...) is `header`, with optional RTA_TABLE and
// RTA_OIF filters, and hands every answer message to `each`.
int nl_dump(host_config *cfg, uint16_t type, const void *header, size_t header_len, uint32_t table_filter,
            const std::function<void(const uint8_t *, uint32_t)> &each, uint32_t oif_filter = 0);

/* route.cpp: the table and the rules, over route netlink */
int tallowhost_route_open(host_config *cfg);
// At start: refuses a foreign rule at the agent's priorities, removes rules of its own that are not
// wanted, warns of foreign routes in the table and adopts the agent's own routes.
int tallowhost_table_take(host_config *cfg);
int tallowhost_route_apply(host_config *cfg, const std::vector<route_change> &changes, const char *what);
// Compares the kernel's table with what the agent wants and mends the difference.
int tallowhost_reconcile(host_config *cfg);
// At stop: removes the agent's routes and rules, and nothing else.
int tallowhost_route_remove_all(host_config *cfg);

/* rules.cpp: the agent's policy rules */
struct kernel_rule {
    uint8_t family = 0;
    uint32_t priority = 0;
    uint32_t table = 0;
    uint8_t protocol = 0;
    bool suppresses = false;
    uint32_t suppress_group = 0;
    bool l3mdev = false;  // a VRF's rule: lookup in the table of the flow's VRF
};
int dump_rules(host_config *cfg, const std::function<void(const kernel_rule &, const uint8_t *, uint32_t)> &each);
bool wanted_rule(const host_config *cfg, const kernel_rule &r);  // one of the agent's two rules per family
void put_rule_delete(nl_writer &w, const uint8_t *msg, uint32_t len);  // the dumped rule, as a deletion
int tallowhost_rules_ensure(host_config *cfg);  // adds whichever of the four rules is missing
int tallowhost_rules_remove(host_config *cfg);  // removes the agent's rules; the number removed, or -1

/* links.cpp: the uplinks' links, and the kernel's notifications */
// The LLDP receive socket of an uplink whose link exists, bound to that link.
int tallowhost_open_uplink_socket(uplink *up);
// The LLDP receive socket of an uplink whose link exists, bound to that link.
int tallowhost_open_uplink_socket(uplink *up);
int uplink_index(const host_config *cfg, uint32_t ifindex);  // the uplink whose link this is, or -1
int tallowhost_monitor_open(host_config *cfg);
// The uplinks' state and group; uplinks are found by name and followed by interface index.
// `changed` receives the indexes of uplinks whose link went up or down, appeared or went away.
int tallowhost_links_read(host_config *cfg, std::vector<size_t> *changed = nullptr);
// Reads the pending notifications; link changes are returned as uplink indexes whose state changed.
int tallowhost_monitor_read(host_config *cfg, std::vector<size_t> &links_changed);
int tallowhost_groups_take(host_config *cfg);  // puts every uplink in the agent's interface group
void tallowhost_groups_restore(host_config *cfg);

/* addresses.cpp: the uplinks' addresses */
// The uplinks' subnets and whether each gateway is on-link; 1 when something changed, 0, or -1.
int tallowhost_addresses_read(host_config *cfg);

/* state.cpp: what a restart restores */
// Writes the uplinks' groups, and with `neighbours` what each neighbour declares, atomically.
int tallowhost_state_write(const host_config *cfg, bool neighbours);
// Reads the state of an earlier run: the groups now, the neighbours kept for
// tallowhost_state_restore. Returns the number of neighbours read, or -1 when there is none.
struct saved_state {
    std::vector<std::pair<std::string, uint32_t>> groups;  // uplink name, group before the first run
    struct entry {
        std::string uplink;
        neighbour nb;
        int64_t left_ms = 0;  // of its TTL when read
    };
    std::vector<entry> neighbours;
    int64_t age_ms = 0;
};
int tallowhost_state_read(host_config *cfg, saved_state &out);
// Gives the neighbours read back to the uplinks that are up; appends every changed declaration per
// uplink. Returns the number of neighbours restored.
size_t tallowhost_state_restore(host_config *cfg, saved_state &saved, int64_t now_ms,
                                std::vector<std::vector<declaration>> &changed);
int write_file_atomic(const char *path, const std::string &text);

/* show.cpp: the answers of tallowhost show */
std::string json_string(const std::string &s);
// The answer to one request ("uplinks", "neighbours" or "prefix ADDRESS", with " json" for JSON).
std::string tallowhost_show(const host_config *cfg, const std::string &request, int64_t now_ms);

/* control.cpp: the show socket and its client */
int tallowhost_show_open(host_config *cfg);
void tallowhost_show_close(host_config *cfg);
// Appends the socket's descriptors to a poll set; tallowhost_show_serve takes them back, from the
// first it appended, after the poll.
void tallowhost_show_poll(const host_config *cfg, std::vector<pollfd> &fds);
void tallowhost_show_serve(host_config *cfg, const pollfd *fds, size_t n, int64_t now_ms);
int64_t tallowhost_show_due(const host_config *cfg);  // when a client times out, -1: none
int tallowhost_show_client(int argc, char **argv);    // tallowhost show ...: the exit status

/* metrics.cpp: Prometheus' text format in a file */
std::string tallowhost_metrics_text(const host_config *cfg);
void tallowhost_metrics_write(host_config *cfg, int64_t now_ms);
void tallowhost_metrics_remove(host_config *cfg);

/* snapshot.cpp: the JSON snapshot */
std::string tallowhost_snapshot_json(const host_config *cfg, int64_t now_ms);
int tallowhost_snapshot_write(const host_config *cfg, const char *path);

/* cli.cpp: the command line */
extern const char *const tallowhost_usage;
int parse_command_line(host_config *cfg, int argc, char **argv, std::string &error);

/* agent.cpp: lock, start-up, sockets, poll loop */
int tallowhost_main(int argc, char **argv);
