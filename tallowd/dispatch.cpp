// Northbound message handling: one complete message at a time, applied to its VRF's state.

#include <algorithm>
#include <cstring>

#include "daemon.h"
#include "tallowd_proto.h"

namespace {

uint8_t max_plen(uint8_t afi)
{
    return afi == TALLOWD_AFI_IPV4 ? TALLOWD_IPV4_MAX_PREFIX_LEN : TALLOWD_IPV6_MAX_PREFIX_LEN;
}

bool valid_afi(uint8_t afi)
{
    return afi == TALLOWD_AFI_IPV4 || afi == TALLOWD_AFI_IPV6;
}

bool contains(std::span<const uint32_t> list, uint32_t ifindex)
{
    return std::find(list.begin(), list.end(), ifindex) != list.end();
}

tallowd_prefix entry_at(const_byte_span msg, uint16_t i)
{
    tallowd_prefix p{};
    get_bytes(msg, TALLOWD_OFF_ENTRIES + size_t(i) * TALLOWD_PREFIX_LEN, &p, sizeof p);
    return p;
}

// The count of a PREFIX_UPDATE whose length and count are acceptable, or -1 (logged). A message too
// short for its count field is refused before anything past it is read.
int validate_prefix_update(const vrf_context *vrf, const_byte_span msg)
{
    const bool has_count = msg.size() >= TALLOWD_LIST_HDR_LEN;
    const uint16_t count = has_count ? be16_at(msg, TALLOWD_OFF_COUNT) : 0;
    tlog(LOG_DEBUG, "ipc: PREFIX_UPDATE vrf=%u count=%u epoch=%u in_sync=%d", vrf->vrf_id, unsigned(count),
         vrf->epoch, int(vrf->in_sync));
    uint16_t expected = uint16_t(TALLOWD_PREFIX_UPDATE_LEN(unsigned(count)));
    if (!has_count || uint16_t(msg.size()) != expected) {
        tlog(LOG_ERR, "ipc: PREFIX_UPDATE bad len: got=%u expected=%u (count=%u)", unsigned(uint16_t(msg.size())),
             unsigned(expected), unsigned(count));
        return -1;
    }
    if (count > TALLOWD_MAX_PREFIXES) {
        tlog(LOG_ERR, "ipc: PREFIX_UPDATE count %u > max %u", unsigned(count), unsigned(TALLOWD_MAX_PREFIXES));
        return -1;
    }
    return count;
}

// A stored default route makes every specific prefix redundant; only a well-formed default entry
// may wipe them. True when something was removed.
bool wipe_specifics_for_default(vrf_context *vrf, const_byte_span msg, uint16_t count)
{
    for (uint16_t i = 0; i < count; i++) {
        const tallowd_prefix p = entry_at(msg, i);
        if (p.prefix_len != 0 || p.W != 0 || !valid_afi(p.afi))
            continue;
        int removed = remove_non_defaults(&vrf->db);
        if (removed <= 0)
            return false;
        tlog(LOG_INFO, "ipc: 0/0 W=0 received, cleared %d specific prefixes (VRF %u)", removed, vrf->vrf_id);
        return true;
    }
    return false;
}

enum class entry_result {
    refused,    // bad family or length, or not stored (limit, memory): not sent on
    unchanged,  // nothing changed, but the entry still goes out in the delta
    changed,
};

entry_result apply_entry(vrf_context *vrf, const tallowd_prefix &p)
{
    if (!valid_afi(p.afi)) {
        tlog(LOG_WARNING, "ipc: bad afi %u, skipping", unsigned(p.afi));
        return entry_result::refused;
    }
    if (p.prefix_len > max_plen(p.afi)) {
        tlog(LOG_WARNING, "ipc: bad prefix_len %u afi %u", unsigned(p.prefix_len), unsigned(p.afi));
        return entry_result::refused;  // refused input never reaches the hosts
    }
    if (p.W != 0) {
        if (lookup(&vrf->db, p.afi, p.address, p.prefix_len)) {
            remove(&vrf->db, p.afi, p.address, p.prefix_len);
            vrf->removes++;
            return entry_result::changed;
        }
        if (p.prefix_len == 0) {
            tlog(LOG_DEBUG, "ipc: W=1 default route not in DB afi=%u, sending to NIC", unsigned(p.afi));
            return entry_result::changed;
        }
        return entry_result::unchanged;  // a withdrawal goes out even when the prefix was not stored
    }
    int rc = add_or_update(&vrf->db, p.afi, p.address, p.prefix_len, 0, vrf->epoch);
    if (rc == 1)
        vrf->adds++;
    else if (rc == 0)
        vrf->updates++;
    return rc == -1 ? entry_result::refused : rc == -2 ? entry_result::unchanged : entry_result::changed;
}

// An interface that moved to another VRF holding prefixes already carries that VRF's frames (its
// INTF_SET pushed them): flushing it now would leave its hosts with nothing until that VRF changes.
bool owned_elsewhere(const daemon_config *cfg, const vrf_context *vrf, uint32_t ifindex)
{
    for (const auto &other : cfg->vrfs)
        if (other.get() != vrf && other->db.count > 0 && contains(other->intfs.span(), ifindex))
            return true;
    return false;
}

// The entries of one PREFIX_UPDATE that go to the hosts as its immediate delta.
struct delta {
    heap_array<prefix_entry> entries;
    size_t count = 0;

    void add(const tallowd_prefix &p)
    {
        prefix_entry &e = entries[count++];
        std::memset(&e, 0, sizeof e);
        e.afi = p.afi;
        e.plen = p.prefix_len;
        e.w = p.W;
        std::memcpy(e.addr, p.address, p.afi == TALLOWD_AFI_IPV4 ? 4 : 16);
    }
};

// Applies every entry in message order and collects those that go out in the delta. Inside a sync,
// or with nowhere to send it, no delta goes out and none is collected. True when something changed.
bool apply_and_collect(daemon_config *cfg, vrf_context *vrf, const_byte_span msg, uint16_t count, delta &d)
{
    bool collect = !vrf->in_sync && cfg->lldpd_connected && !vrf->intfs.empty() && count > 0;
    if (collect && d.entries.resize(count) != 0) {
        tlog(LOG_ERR, "frag: immediate blob alloc failed");
        collect = false;
    }
    bool changed = false;
    for (uint16_t i = 0; i < count; i++) {
        const tallowd_prefix p = entry_at(msg, i);
        entry_result r = apply_entry(vrf, p);
        changed |= r == entry_result::changed;
        if (collect && r != entry_result::refused)
            d.add(p);
    }
    return changed;
}

void push_immediate_delta(daemon_config *cfg, vrf_context *vrf, const delta &d)
{
    if (!cfg->lldpd_connected || vrf->intfs.empty() || d.count == 0)
        return;
    tlog(LOG_DEBUG, "ipc: push_immediate_delta: vrf=%u valid=%u", vrf->vrf_id, unsigned(d.count));
    heap_array<uint8_t> frame;
    uint16_t len = 0;
    if (build_immediate(std::span(d.entries.data(), d.count), frame, len) == 0)
        tallowd_lldp_push_immediate(cfg, vrf, frame.data(), len);
}

}  // namespace

void handle_prefix_update(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg_bytes, size_t len)
{
    const_byte_span msg(msg_bytes, len);
    int count = validate_prefix_update(vrf, msg);
    if (count < 0)
        return;
    vrf->awaiting_sync = 0;

    delta d;
    bool changed = wipe_specifics_for_default(vrf, msg, uint16_t(count));
    changed |= apply_and_collect(cfg, vrf, msg, uint16_t(count), d);
    cfg->prefix_updates++;
    cfg->prefixes_received += unsigned(count);

    if (changed) {
        if (!vrf->in_sync)
            push_immediate_delta(cfg, vrf, d);
        vrf_owe_push(vrf);
    }
    tlog(LOG_DEBUG, "ipc: PREFIX_UPDATE vrf=%u count=%u db_size=%zu", vrf->vrf_id, unsigned(count), vrf->db.count);
    if (vrf->db.count == 0 && vrf->intfs.empty()) {
        tlog(LOG_INFO, "ipc: PREFIX_UPDATE vrf=%u: 0 prefixes 0 intfs, removing stale VRF entry", vrf->vrf_id);
        vrf_remove(cfg, vrf);
    }
}

void handle_sync_begin(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len)
{
    uint32_t epoch = 0;
    if (len != TALLOWD_SYNC_BEGIN_LEN || get_be32({msg, len}, TALLOWD_OFF_EPOCH, epoch) != 0) {
        tlog(LOG_ERR, "ipc: SYNC_BEGIN bad len: %u", unsigned(len));
        return;
    }
    tlog(LOG_DEBUG, "ipc: handle_sync_begin: vrf=%u epoch=%u", vrf->vrf_id, epoch);
    if (cfg->warmboot) {
        cfg->warmboot = false;
        tlog(LOG_NOTICE, "ipc: warmboot ended (SYNC_BEGIN received)");
    }
    vrf->epoch = epoch;
    vrf->in_sync = 1;
    vrf->awaiting_sync = 0;
    cfg->sync_begins++;
    tlog(LOG_INFO, "ipc: SYNC_BEGIN vrf=%u epoch=%u (%zu entries in DB, will sweep stale at sync_end)", vrf->vrf_id,
         epoch, vrf->db.count);
}

void handle_sync_end(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg, size_t len)
{
    uint32_t epoch = 0, prefix_count = 0;
    if (len != TALLOWD_SYNC_END_LEN || get_be32({msg, len}, TALLOWD_OFF_EPOCH, epoch) != 0 ||
        get_be32({msg, len}, TALLOWD_OFF_PREFIX_COUNT, prefix_count) != 0) {
        tlog(LOG_ERR, "ipc: SYNC_END bad len: %u", unsigned(len));
        return;
    }
    tlog(LOG_DEBUG, "ipc: handle_sync_end: vrf=%u epoch=%u prefix_count=%u", vrf->vrf_id, epoch, prefix_count);
    if (epoch != vrf->epoch)
        tlog(LOG_WARNING, "ipc: SYNC_END epoch mismatch: got=%u expected=%u", epoch, vrf->epoch);
    int swept = sweep_stale(&vrf->db, epoch);
    vrf->swept += uint64_t(swept);
    cfg->sync_ends++;

    size_t defaults = vrf->db.default_count;
    size_t active = vrf->db.count - defaults;
    if (active != prefix_count)
        tlog(LOG_WARNING, "ipc: SYNC_END count mismatch: active=%zu frr=%u defaults=%zu", active, prefix_count,
             defaults);

    vrf->in_sync = 0;
    if (!vrf_push(cfg, vrf, {.rebuild = true, .trigger = true, .owed = owed_after::owed_until_sent}))
        tlog(LOG_INFO, "ipc: SYNC_END: LLDPD not connected, blobs cached");
    tlog(LOG_INFO, "ipc: SYNC_END vrf=%u epoch=%u prefixes=%zu swept=%d", vrf->vrf_id, epoch, vrf->db.count, swept);
}

namespace {

// The count of an INTF_SET whose length and count are acceptable, or -1 (logged).
int validate_intf_set(daemon_config *cfg, const vrf_context *vrf, const_byte_span msg)
{
    const bool has_count = msg.size() >= TALLOWD_LIST_HDR_LEN;
    const uint16_t count = has_count ? be16_at(msg, TALLOWD_OFF_COUNT) : 0;
    tlog(LOG_DEBUG, "ipc: handle_intf_set: vrf=%u count=%u", vrf->vrf_id, unsigned(count));
    uint16_t expected = uint16_t(TALLOWD_INTF_SET_LEN(unsigned(count)));
    if (!has_count || uint16_t(msg.size()) != expected) {
        tlog(LOG_ERR, "ipc: INTF_SET bad len: got=%u expected=%u", unsigned(uint16_t(msg.size())), unsigned(expected));
        return -1;
    }
    if (count > TALLOWD_MAX_INTERFACES) {
        tlog(LOG_ERR, "INTF_SET: %u interfaces exceeds max %u, dropping", unsigned(count),
             unsigned(TALLOWD_MAX_INTERFACES));
        cfg->errors++;
        return -1;
    }
    return count;
}

// Interfaces that left the VRF, unless another VRF with prefixes now holds them, get an empty immediate
// frame and a clear; when interfaces joined and prefixes are stored, every interface gets the full set.
void announce_intf_changes(daemon_config *cfg, vrf_context *vrf, std::span<const uint32_t> old_list)
{
    for (uint32_t ifindex : old_list) {
        if (contains(vrf->intfs.span(), ifindex) || owned_elsewhere(cfg, vrf, ifindex))
            continue;
        tlog(LOG_INFO, "ipc: INTF_SET flush ifindex %u (VRF %u)", ifindex, vrf->vrf_id);
        tallowd_lldp_flush_interface(cfg, ifindex);
        tallowd_lldp_clear_interface(cfg, ifindex);
    }
    bool added = std::any_of(vrf->intfs.begin(), vrf->intfs.end(),
                             [&](uint32_t ifindex) { return !contains(old_list, ifindex); });
    if (added && vrf->db.count > 0) {
        vrf_push(cfg, vrf, {.rebuild = true, .trigger = true, .owed = owed_after::unchanged});
        tlog(LOG_INFO, "ipc: INTF_SET pushed to new intfs (VRF %u)", vrf->vrf_id);
    }
}

}  // namespace

void handle_intf_set(daemon_config *cfg, vrf_context *vrf, const uint8_t *msg_bytes, size_t len)
{
    const_byte_span msg(msg_bytes, len);
    int count = validate_intf_set(cfg, vrf, msg);
    if (count < 0)
        return;
    heap_array<uint32_t> list;
    if (list.resize(size_t(count)) != 0) {
        tlog(LOG_ERR, "ipc: INTF_SET OOM");
        return;
    }
    for (int i = 0; i < count; i++)
        list[size_t(i)] = be32_at(msg, TALLOWD_OFF_ENTRIES + size_t(i) * TALLOWD_IFINDEX_ENTRY_LEN);
    heap_array<uint32_t> old_list = std::move(vrf->intfs);
    vrf->intfs = std::move(list);
    if (cfg->lldpd_connected)
        announce_intf_changes(cfg, vrf, old_list.span());
    old_list.reset();
    cfg->intf_sets++;
    tlog(LOG_INFO, "ipc: INTF_SET vrf=%u downlinks=%u", vrf->vrf_id, unsigned(count));
    if (count == 0) {
        vrf_remove(cfg, vrf);
        return;
    }
    if (vrf->db.count > 0)
        return;
    vrf->awaiting_sync = 1;
    vrf->intf_set_time = monotonic_now();
}

void ipc_dispatch(daemon_config *cfg, const uint8_t *msg, size_t len)
{
    tallowd_msg_hdr hdr{};
    if (tallowd_msg_hdr_get(msg, len, &hdr) != 0) {
        tlog(LOG_ERR, "ipc: message too short: %u", unsigned(len));
        return;
    }
    const_byte_span bytes(msg, len);
    if (hdr.ifindex != 0)
        tlog(LOG_WARNING, "ipc: per-interface ifindex=%u not supported, treating as all", hdr.ifindex);

    if (hdr.msg_type == TALLOWD_MSG_INTF_SET && len >= TALLOWD_LIST_HDR_LEN && be16_at(bytes, TALLOWD_OFF_COUNT) == 0 &&
        !vrf_find(cfg, hdr.vrf)) {
        tlog(LOG_INFO, "ipc: INTF_SET count=0 for unknown VRF %u, skipping", hdr.vrf);
        cfg->msgs_received++;
        return;
    }
    vrf_context *vrf = vrf_lookup_or_create(cfg, hdr.vrf);
    if (!vrf) {
        tlog(LOG_ERR, "ipc: VRF %u lookup failed", hdr.vrf);
        return;
    }
    cfg->msgs_received++;
    tlog(LOG_DEBUG, "ipc: dispatch msg_type=0x%02x vrf=%u len=%u", unsigned(hdr.msg_type), hdr.vrf, unsigned(len));

    switch (hdr.msg_type) {
    case TALLOWD_MSG_PREFIX_UPDATE:
        handle_prefix_update(cfg, vrf, msg, len);
        break;
    case TALLOWD_MSG_SYNC_BEGIN:
        handle_sync_begin(cfg, vrf, msg, len);
        break;
    case TALLOWD_MSG_SYNC_END:
        handle_sync_end(cfg, vrf, msg, len);
        break;
    case TALLOWD_MSG_INTF_SET:
        handle_intf_set(cfg, vrf, msg, len);
        break;
    case TALLOWD_MSG_WARMBOOT_START:
        cfg->warmboot = true;
        tlog(LOG_NOTICE, "ipc: warmboot start, default injection suppressed");
        break;
    case TALLOWD_MSG_WARMBOOT_END:
        if (cfg->warmboot) {
            cfg->warmboot = false;
            tlog(LOG_NOTICE, "ipc: warmboot end, default injection resumed");
        }
        break;
    default:
        tlog(LOG_WARNING, "ipc: unknown msg type 0x%02x", unsigned(hdr.msg_type));
        break;
    }
}
