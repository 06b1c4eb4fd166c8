// Proxy frame builder: packs a VRF's prefixes into blobs of LLDP organisationally specific TLVs
// sized to the VRF's MTU, plus the defaults-only and immediate-delta blobs; reads interface MTUs.

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <array>

#include "daemon.h"

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

// The first 8 bytes of a prefix TLV: header, organisation identifier, subtype, then the prefix
// length (byte 6, filled per entry) and a zero byte. Constant per family.
constexpr std::array<uint8_t, 8> prefix_tlv_head(uint8_t subtype, unsigned tlv_size)
{
    uint16_t h = tlv_header(tlv_org_specific, tlv_size - 2);
    return {uint8_t(h >> 8), uint8_t(h), frame_oui[0], frame_oui[1], frame_oui[2], subtype, 0, 0};
}
constexpr std::array<uint8_t, 8> ipv4_head = prefix_tlv_head(subtype_ipv4, ipv4_tlv_size);
constexpr std::array<uint8_t, 8> ipv6_head = prefix_tlv_head(subtype_ipv6, ipv6_tlv_size);

// Writes the prefix TLV of an entry at dst[off]; its size, or 0 (nothing written) when it does not fit.
// Each family has its own fixed-size copies: this runs once per prefix of a full table.
template <size_t tlv_size, size_t addr_len>
inline size_t put_prefix_tlv_of(byte_span dst, size_t off, const prefix_entry *e, const std::array<uint8_t, 8> &head)
{
    if (!fits(dst.size(), off, tlv_size))
        return 0;
    uint8_t *p = dst.data() + off;
    std::memcpy(p, head.data(), 8);
    p[6] = e->plen;
    p[8] = e->w ? flag_withdrawn : 0;
    std::memcpy(p + 9, e->addr, addr_len);
    return tlv_size;
}

inline size_t put_prefix_tlv(byte_span dst, size_t off, const prefix_entry *e)
{
    if (e->afi == afi_ipv4)
        return put_prefix_tlv_of<ipv4_tlv_size, 4>(dst, off, e, ipv4_head);
    return put_prefix_tlv_of<ipv6_tlv_size, 16>(dst, off, e, ipv6_head);
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

int encode_header_tlv(byte_span dst, bool first, bool more, bool immediate)
{
    const uint8_t flags = uint8_t((first ? flag_first : 0) | (more ? flag_more : 0) | (immediate ? 0 : flag_periodic));
    if (put_tlv_header(dst, 0, tlv_org_specific, control_tlv_size - 2) != 0 || put_bytes(dst, 2, frame_oui, 3) != 0 ||
        put_u8(dst, 5, subtype_control) != 0 || put_u8(dst, 6, flags) != 0)
        return -1;
    return int(control_tlv_size);
}

int prefix_tlv_size(const prefix_entry *entry)
{
    return entry->afi == afi_ipv4 ? int(ipv4_tlv_size) : int(ipv6_tlv_size);
}

uint16_t read_mtu(uint32_t ifindex, const char *sysfs_root)
{
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
    tlog(LOG_DEBUG, "frag: get_vrf_mtu vrf=%u default=%u", vrf->vrf_id, default_mtu_value);
    if (vrf->intfs.empty())
        return default_mtu_value;
    uint16_t min = 0, max = 0;
    for (uint32_t ifindex : vrf->intfs) {
        uint16_t m = read_mtu(ifindex);
        if (m == 0)
            continue;
        if (min == 0 || m < min)
            min = m;
        if (m > max)
            max = m;
    }
    if (min == 0) {
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
    if (set->slots.resize(slots) != 0) {
        tlog(LOG_ERR, "frag: alloc failed");
        return -1;
    }
    set->slot_capacity = slots;
    for (uint16_t i = 0; i < slots; i++) {
        if (set->slots[i].data.resize(size ? size : 1) != 0) {
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
    for (const prefix_entry *e = vrf->db.head(); e; e = vrf->db.next(e))
        if (e->plen == 0)
            size += unsigned(prefix_tlv_size(e));
    if (blobs_reserve(set, 1, uint16_t(size)) != 0)
        return -1;
    byte_span dst(set->slots[0].data.data(), size);
    size_t used = size_t(encode_header_tlv(dst, true, false, true));
    for (const prefix_entry *e = vrf->db.head(); e; e = vrf->db.next(e))
        if (e->plen == 0)
            used += put_prefix_tlv(dst, used, e);
    set->slots[0].len = uint16_t(used);
    set->blob_count = 1;
    return 1;
}

namespace {

// The one control TLV that stands for an empty database.
int build_empty_blob(blob_set *set)
{
    if (blobs_reserve(set, 1, control_tlv_size) != 0)
        return -1;
    encode_header_tlv(byte_span(set->slots[0].data.data(), control_tlv_size), true, false, false);
    set->slots[0].len = control_tlv_size;
    set->blob_count = 1;
    return 1;
}

// Enough slots of `size` bytes for any mix of families: every blob but the last holds at least
// room / 25 prefixes, and leaves fewer than 25 bytes of its room unused.
size_t slots_needed(const prefix_db &db, size_t size)
{
    const size_t room = size - control_tlv_size;
    const size_t per_blob = room / largest_prefix_tlv;
    const size_t by_count = (db.count + per_blob - 1) / per_blob;
    const size_t bytes = db.v4_count * ipv4_tlv_size + (db.count - db.v4_count) * ipv6_tlv_size;
    const size_t dense = room - (largest_prefix_tlv - 1);
    const size_t by_bytes = (bytes + dense - 1) / dense;
    return by_count < by_bytes ? by_count : by_bytes;
}

// Packs the entries, in insertion order, into the reserved slots of `size` bytes; the blob count,
// or -1 when the slots run out.
int fill_blobs(blob_set *set, const prefix_db &db, size_t size)
{
    uint32_t h = db.first;
    const prefix_entry *e = db.at(h);
    uint16_t b = 0;
    while (e) {
        if (b == set->slot_capacity) {  // cannot happen with the estimate above; never write past the set
            tlog(LOG_WARNING, "frag: ran out of frame slots");
            set->blob_count = 0;
            return -1;
        }
        byte_span slot(set->slots[b].data.data(), size);
        size_t used = control_tlv_size;
        while (e) {
            size_t n = put_prefix_tlv(slot, used, e);
            if (n == 0)
                break;
            used += n;
            e = db.step(e, h);
        }
        encode_header_tlv(slot, b == 0, e != nullptr, false);
        set->slots[b].len = uint16_t(used);
        b++;
    }
    set->blob_count = b;
    return b;
}

}  // namespace

int build_blobs(vrf_context *vrf, uint16_t default_mtu_value)
{
    prefix_db &db = vrf->db;
    blob_set *set = &vrf->blobs;
    tlog(LOG_DEBUG, "frag: build_blobs vrf=%u prefixes=%zu", vrf->vrf_id, db.count);
    if (db.count == 0)
        return build_empty_blob(set);
    if (only_defaults(&db))
        return build_defaults_blob(vrf);

    uint16_t m = get_vrf_mtu(vrf, default_mtu_value);
    vrf->mtu = m;
    if (m < min_mtu) {
        tlog(LOG_WARNING, "frag: mtu %u below minimum %d, clamping", m, int(min_mtu));
        m = min_mtu;
    }
    const size_t size = m - frame_overhead;
    const size_t wanted = slots_needed(db, size);
    if (wanted > UINT16_MAX) {
        tlog(LOG_ERR, "frag: %zu prefixes need %zu frame slots, more than %u", db.count, wanted, unsigned(UINT16_MAX));
        blobs_free(set);
        return -1;
    }
    if (blobs_reserve(set, uint16_t(wanted), uint16_t(size)) != 0)
        return -1;
    int b = fill_blobs(set, db, size);
    if (b > 0)
        tlog(LOG_DEBUG, "frag: built %u blobs for VRF %u (%zu prefixes, mtu=%u)", unsigned(b), vrf->vrf_id, db.count, m);
    return b;
}

int build_immediate(std::span<const prefix_entry> entries, heap_array<uint8_t> &out, uint16_t &out_len)
{
    tlog(LOG_DEBUG, "frag: build_immediate count=%u", unsigned(entries.size()));
    size_t size = control_tlv_size;
    for (const prefix_entry &e : entries)
        size += size_t(prefix_tlv_size(&e));
    if (size > UINT16_MAX) {
        // The length travels as 16 bits: a larger blob would be cut short without notice.
        tlog(LOG_ERR, "frag: immediate blob of %zu bytes exceeds %u", size, unsigned(UINT16_MAX));
        return -1;
    }
    heap_array<uint8_t> buf;
    if (buf.resize(size) != 0) {
        tlog(LOG_ERR, "frag: immediate blob alloc failed");
        return -1;
    }
    byte_span dst(buf.data(), size);
    size_t used = size_t(encode_header_tlv(dst, true, false, true));
    for (const prefix_entry &e : entries)
        used += put_prefix_tlv(dst, used, &e);
    out = std::move(buf);
    out_len = uint16_t(used);
    return 0;
}
