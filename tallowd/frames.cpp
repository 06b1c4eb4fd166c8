// Proxy frame builder: packs a VRF's prefixes into blobs of LLDP organisationally specific TLVs
// sized to the VRF's MTU, plus the defaults-only and immediate-delta blobs; reads interface MTUs.

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "tallowd.h"

namespace {

constexpr uint8_t frame_oui[3] = {0x5A, 0x3C, 0x71};
constexpr unsigned tlv_org_specific = 127;
constexpr uint8_t subtype_control = 0;
constexpr uint8_t subtype_ipv4 = 1;
constexpr uint8_t subtype_ipv6 = 2;
constexpr uint8_t flag_first = 0x80;
constexpr uint8_t flag_more = 0x40;
constexpr uint8_t flag_periodic = 0x01;
constexpr uint8_t flag_withdrawn = 0x80;

constexpr uint16_t max_mtu = 9216;
constexpr uint16_t min_mtu = 552;
constexpr unsigned frame_overhead = 60;
constexpr unsigned control_tlv_size = 7;
constexpr unsigned ipv4_tlv_size = 13;
constexpr unsigned ipv6_tlv_size = 25;
constexpr unsigned largest_prefix_tlv = ipv6_tlv_size;

void put_be16(uint8_t *dst, uint16_t v)
{
    dst[0] = uint8_t(v >> 8);
    dst[1] = uint8_t(v);
}

bool debug_logging()
{
    const daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    return cfg && cfg->log_level >= LOG_DEBUG;
}

// The prefix TLV of an entry. The 2-byte header, the organisation identifier and the subtype are
// constant per family; with the prefix length and the zero byte they make one 8-byte word.
inline unsigned put_prefix_tlv(uint8_t *dst, const prefix_entry *e)
{
    bool v4 = e->afi == 4;
    uint8_t head[8] = {0xFE, uint8_t(v4 ? 0x0B : 0x17), frame_oui[0], frame_oui[1], frame_oui[2],
                       v4 ? subtype_ipv4 : subtype_ipv6, e->plen, 0};
    std::memcpy(dst, head, 8);
    dst[8] = e->w ? flag_withdrawn : 0;
    if (v4) {
        std::memcpy(dst + 9, e->addr, 4);
        return ipv4_tlv_size;
    }
    std::memcpy(dst + 9, e->addr, 16);
    return ipv6_tlv_size;
}

// Parses the leading decimal number of a sysfs attribute; a number too wide for any MTU saturates.
uint16_t parse_mtu(const char *text)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p < '0' || *p > '9')
        return 0;
    unsigned long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + unsigned(*p - '0');
        if (v > max_mtu)
            return max_mtu;
    }
    return uint16_t(v);
}

}  // namespace

void encode_tlv_header(uint8_t *dst, unsigned type, unsigned length)
{
    put_be16(dst, uint16_t((type & 0x7F) << 9 | (length & 0x1FF)));
}

int encode_header_tlv(uint8_t *dst, bool first, bool more, bool immediate)
{
    encode_tlv_header(dst, tlv_org_specific, control_tlv_size - 2);
    std::memcpy(dst + 2, frame_oui, 3);
    dst[5] = subtype_control;
    dst[6] = uint8_t((first ? flag_first : 0) | (more ? flag_more : 0) | (immediate ? 0 : flag_periodic));
    return int(control_tlv_size);
}

int encode_prefix_tlv(uint8_t *dst, const prefix_entry *entry)
{
    return int(put_prefix_tlv(dst, entry));
}

int prefix_tlv_size(const prefix_entry *entry)
{
    return entry->afi == 4 ? int(ipv4_tlv_size) : int(ipv6_tlv_size);
}

uint16_t read_mtu(uint32_t ifindex, const char *sysfs_root)
{
    if (debug_logging())
        tlog(LOG_DEBUG, "frag: read_mtu ifindex=%u", ifindex);
    char name[IF_NAMESIZE];
    if (!if_indextoname(ifindex, name))
        return 0;
    char path[512];
    int n = std::snprintf(path, sizeof path, "%s/%s/mtu", sysfs_root, name);
    if (n < 0 || size_t(n) >= sizeof path)
        return 0;
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return 0;
    char text[64];
    ssize_t got;
    do {
        got = read(fd.get(), text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return 0;
    text[got] = '\0';
    return parse_mtu(text);
}

uint16_t get_vrf_mtu(vrf_context *vrf, uint16_t default_mtu_value)
{
    if (debug_logging())
        tlog(LOG_DEBUG, "frag: get_vrf_mtu vrf=%u default=%u", vrf->vrf_id, default_mtu_value);
    if (vrf->intf_count == 0 || !vrf->intfs)
        return default_mtu_value;
    uint16_t min = 0, max = 0;
    for (uint16_t i = 0; i < vrf->intf_count; i++) {
        uint16_t m = read_mtu(vrf->intfs.get()[i]);
        if (m == 0)
            continue;
        if (min == 0 || m < min)
            min = m;
        if (m > max)
            max = m;
    }
    if (min == 0) {
        if (debug_logging())
            tlog(LOG_DEBUG, "frag: cannot read MTU for VRF %u, using default %u", vrf->vrf_id, default_mtu_value);
        return default_mtu_value;
    }
    if (min != max)
        tlog(LOG_ERR, "frag: MTU mismatch in VRF %u (min=%u max=%u), using min", vrf->vrf_id, min, max);
    if (min >= min_mtu)
        return min;
    tlog(LOG_WARNING, "frag: MTU %u below min %u for VRF %u, using default %u", min, unsigned(min_mtu), vrf->vrf_id,
         default_mtu_value);
    return default_mtu_value;
}

void blobs_free(blob_set *set)
{
    *set = blob_set{};
}

int blobs_reserve(blob_set *set, uint16_t slots, uint16_t size)
{
    if (set->slot_capacity >= slots && set->slot_size >= size)
        return 0;
    blobs_free(set);
    set->slots.reset(new (std::nothrow) blob[slots]);
    if (!set->slots) {
        tlog(LOG_ERR, "frag: alloc failed");
        return -1;
    }
    set->slot_capacity = slots;  // so that blobs_free releases what is allocated below
    for (uint16_t i = 0; i < slots; i++) {
        set->slots[i].data.reset(static_cast<uint8_t *>(std::malloc(size ? size : 1)));
        if (!set->slots[i].data) {
            tlog(LOG_ERR, "frag: blob alloc failed");
            blobs_free(set);
            return -1;
        }
    }
    set->slot_size = size;
    set->blob_count = 0;
    return 0;
}

int build_defaults_blob(vrf_context *vrf)
{
    blob_set *set = &vrf->blobs;
    blobs_free(set);
    unsigned size = control_tlv_size;
    for (const prefix_entry *e = vrf->db.first; e; e = e->list_next)
        if (e->plen == 0)
            size += unsigned(prefix_tlv_size(e));
    if (blobs_reserve(set, 1, uint16_t(size)) != 0)
        return -1;
    uint8_t *dst = set->slots[0].data.get();
    unsigned used = control_tlv_size;
    for (const prefix_entry *e = vrf->db.first; e; e = e->list_next)
        if (e->plen == 0)
            used += put_prefix_tlv(dst + used, e);
    encode_header_tlv(dst, true, false, true);
    set->slots[0].len = uint16_t(used);
    set->blob_count = 1;
    return 1;
}

int build_blobs(vrf_context *vrf, uint16_t default_mtu_value)
{
    prefix_db &db = vrf->db;
    blob_set *set = &vrf->blobs;
    if (debug_logging())
        tlog(LOG_DEBUG, "frag: build_blobs vrf=%u prefixes=%zu", vrf->vrf_id, db.count);

    if (db.count == 0) {
        if (blobs_reserve(set, 1, control_tlv_size) != 0)
            return -1;
        encode_header_tlv(set->slots[0].data.get(), true, false, false);
        set->slots[0].len = control_tlv_size;
        set->blob_count = 1;
        return 1;
    }
    if (only_defaults(&db))
        return build_defaults_blob(vrf);

    uint16_t m = get_vrf_mtu(vrf, default_mtu_value);
    vrf->mtu = m;
    if (m < min_mtu) {
        tlog(LOG_WARNING, "frag: mtu %u below minimum %d, clamping", m, int(min_mtu));
        m = min_mtu;
    }
    const size_t size = m - frame_overhead;
    const size_t room = size - control_tlv_size;

    // Enough slots for any mix of families: every blob but the last holds at least room / 25
    // prefixes, and leaves fewer than 25 bytes of its room unused.
    const size_t per_blob = room / largest_prefix_tlv;
    const size_t by_count = (db.count + per_blob - 1) / per_blob;
    const size_t bytes = db.v4_count * ipv4_tlv_size + (db.count - db.v4_count) * ipv6_tlv_size;
    const size_t dense = room - (largest_prefix_tlv - 1);
    const size_t by_bytes = (bytes + dense - 1) / dense;
    const size_t wanted = by_count < by_bytes ? by_count : by_bytes;
    if (wanted > UINT16_MAX) {
        tlog(LOG_ERR, "frag: %zu prefixes need %zu frame slots, more than %u", db.count, wanted, unsigned(UINT16_MAX));
        blobs_free(set);
        return -1;
    }
    if (blobs_reserve(set, uint16_t(wanted), uint16_t(size)) != 0)
        return -1;

    const prefix_entry *e = db.first;
    uint16_t b = 0;
    while (e) {
        if (b == set->slot_capacity) {  // cannot happen with the estimate above; never write past the set
            tlog(LOG_WARNING, "frag: ran out of frame slots");
            set->blob_count = 0;
            return -1;
        }
        uint8_t *base = set->slots[b].data.get();
        uint8_t *p = base + control_tlv_size;
        size_t free = room;
        while (e) {
            size_t need = e->afi == 4 ? ipv4_tlv_size : ipv6_tlv_size;
            if (need > free)
                break;
            put_prefix_tlv(p, e);
            p += need;
            free -= need;
            e = e->list_next;
        }
        encode_header_tlv(base, b == 0, e != nullptr, false);
        set->slots[b].len = uint16_t(p - base);
        b++;
    }
    set->blob_count = b;
    if (debug_logging())
        tlog(LOG_DEBUG, "frag: built %u blobs for VRF %u (%zu prefixes, mtu=%u)", b, vrf->vrf_id, db.count, m);
    return b;
}

int build_immediate(const prefix_entry *const *entries, uint16_t count, malloc_ptr<uint8_t> &out, uint16_t &out_len)
{
    if (debug_logging())
        tlog(LOG_DEBUG, "frag: build_immediate count=%u", count);
    size_t size = control_tlv_size;
    for (uint16_t i = 0; i < count; i++)
        size += size_t(prefix_tlv_size(entries[i]));
    if (size > UINT16_MAX) {
        // The length travels as 16 bits: a larger blob would be cut short without notice.
        tlog(LOG_ERR, "frag: immediate blob of %zu bytes exceeds %u", size, unsigned(UINT16_MAX));
        return -1;
    }
    malloc_ptr<uint8_t> buf(static_cast<uint8_t *>(std::malloc(size)));
    if (!buf) {
        tlog(LOG_ERR, "frag: immediate blob alloc failed");
        return -1;
    }
    uint8_t *dst = buf.get();
    size_t used = size_t(encode_header_tlv(dst, true, false, true));
    for (uint16_t i = 0; i < count; i++)
        used += put_prefix_tlv(dst + used, entries[i]);
    out = std::move(buf);
    out_len = uint16_t(used);
    return 0;
}
