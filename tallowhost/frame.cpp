// Parser of received LLDP frames: the Ethernet header, the three mandatory TLVs and the relay's
// organisationally specific TLVs (control, IPv4 prefix, IPv6 prefix). Every length is checked against
// the bytes present; a frame is either understood from end to end or refused as a whole. The check
// and the decoding of the prefixes are apart, so that a set's frame equal to one already taken is
// never decoded.

#include <cstring>

#include "tallowhost.h"

namespace {

constexpr uint8_t lldp_multicast[6] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
constexpr uint16_t ethertype_lldp = 0x88CC;
constexpr size_t eth_header_size = 14;
constexpr uint8_t frame_oui[3] = {0x5A, 0x3C, 0x71};

constexpr unsigned tlv_end = 0;
constexpr unsigned tlv_chassis_id = 1;
constexpr unsigned tlv_port_id = 2;
constexpr unsigned tlv_ttl = 3;
constexpr unsigned tlv_org_specific = 127;

constexpr uint8_t subtype_control = 0;
constexpr uint8_t subtype_ipv4 = 1;
constexpr uint8_t subtype_ipv6 = 2;
constexpr size_t control_value_size = 5;
constexpr size_t ipv4_value_size = 11;
constexpr size_t ipv6_value_size = 23;

// Reads big-endian fields from a span; every read is checked against the bytes left.
struct reader {
    std::span<const uint8_t> data;
    size_t off = 0;

    size_t left() const { return data.size() - off; }
    bool get_be16(uint16_t &v)
    {
        if (left() < 2)
            return false;
        v = uint16_t(data[off] << 8 | data[off + 1]);
        off += 2;
        return true;
    }
    bool take(size_t n, std::span<const uint8_t> &out)
    {
        if (left() < n)
            return false;
        out = data.subspan(off, n);
        off += n;
        return true;
    }
};

struct tlv {
    unsigned type = 0;
    std::span<const uint8_t> value;
};

// The next TLV, or false when its header or value runs past the data.
bool next_tlv(reader &r, tlv &t)
{
    uint16_t word;
    if (!r.get_be16(word))
        return false;
    t.type = word >> 9;
    return r.take(word & 0x1FF, t.value);
}

frame_error parse_id(const tlv &t, unsigned type, std::string &out)
{
    if (t.type != type)
        return frame_error::missing_mandatory;
    if (t.value.size() < 2 || t.value.size() > 256)
        return frame_error::bad_mandatory;
    out.assign(reinterpret_cast<const char *>(t.value.data()), t.value.size());
    return frame_error::none;
}

// Checks one of the relay's TLVs (its value `v`, OUI included) in its place in the frame; a prefix is
// counted, not decoded.
frame_error check_relay_tlv(std::span<const uint8_t> v, parsed_frame &out)
{
    const uint8_t subtype = v[3];
    if (subtype == subtype_control) {
        if (v.size() != control_value_size)
            return frame_error::bad_tlv_length;
        if (out.has_control || out.prefix_tlvs)
            return frame_error::control_misplaced;
        const uint8_t flags = v[4];
        if (flags & ~(flag_first | flag_more | flag_periodic))
            return frame_error::unknown_flags;
        // Without PERIODIC a blob is a delta, which is always alone: FIRST and nothing else.
        if (!(flags & flag_periodic) && flags != flag_first)
            return frame_error::unknown_flags;
        out.has_control = true;
        out.flags = flags;
        return frame_error::none;
    }
    if (subtype != subtype_ipv4 && subtype != subtype_ipv6)
        return frame_error::unknown_subtype;
    const bool v4 = subtype == subtype_ipv4;
    if (v.size() != (v4 ? ipv4_value_size : ipv6_value_size))
        return frame_error::bad_tlv_length;
    if (!out.has_control)
        return frame_error::control_misplaced;
    if (v[4] > (v4 ? 32 : 128))
        return frame_error::bad_prefix_length;
    if (v[5] != 0 || (v[6] & ~flag_withdrawn))
        return frame_error::unknown_flags;
    out.prefix_tlvs++;
    out.members += !(v[6] & flag_withdrawn);
    return frame_error::none;
}

// Takes the run of well-formed prefix TLVs at the reader, the bulk of a set's frame, with the checks
// of check_relay_tlv made on the bytes at once; stops at the first TLV that is anything else, which
// the general walk then looks at. Returns whether it took any.
bool take_prefix_run(reader &r, parsed_frame &out)
{
    const size_t from = r.off;
    while (r.left() >= 2 + ipv4_value_size) {
        const uint8_t *p = r.data.data() + r.off;
        const bool v4 = p[1] == ipv4_value_size;
        if (p[0] != tlv_org_specific << 1 || (!v4 && p[1] != ipv6_value_size) || r.left() < 2u + p[1] ||
            p[2] != frame_oui[0] || p[3] != frame_oui[1] || p[4] != frame_oui[2] ||
            p[5] != (v4 ? subtype_ipv4 : subtype_ipv6) ||
            p[6] > (v4 ? 32 : 128) || p[7] != 0 || (p[8] & ~flag_withdrawn))
            break;
        out.prefix_tlvs++;
        out.members += !(p[8] & flag_withdrawn);
        r.off += 2u + p[1];
    }
    return r.off != from;
}

bool relay_tlv(const tlv &t)
{
    return t.type == tlv_org_specific && t.value.size() >= 4 && std::memcmp(t.value.data(), frame_oui, 3) == 0;
}

}  // namespace

host_prefix masked(const host_prefix &p, uint8_t plen)
{
    host_prefix m = p;
    const unsigned bits = p.family == 4 ? 32 : 128;
    if (plen > bits)
        plen = uint8_t(bits);
    m.plen = plen;
    for (unsigned i = 0; i < 16; i++) {
        unsigned first_bit = i * 8;
        if (first_bit >= plen)
            m.addr[i] = 0;
        else if (first_bit + 8 > plen)
            m.addr[i] &= uint8_t(0xFF << (first_bit + 8 - plen));
    }
    return m;
}

const char *frame_reason_text(frame_error e)
{
    switch (e) {
    case frame_error::none: return "ok";
    case frame_error::too_short: return "shorter than an Ethernet header";
    case frame_error::not_lldp: return "not an LLDP frame";
    case frame_error::truncated_tlv: return "TLV runs past the end of the frame";
    case frame_error::missing_mandatory: return "chassis ID, port ID or TTL missing or out of order";
    case frame_error::bad_mandatory: return "chassis ID, port ID or TTL of a bad length";
    case frame_error::bad_tlv_length: return "relay TLV of a bad length";
    case frame_error::unknown_subtype: return "unknown relay TLV subtype";
    case frame_error::unknown_flags: return "unknown flags";
    case frame_error::bad_prefix_length: return "prefix length beyond the address";
    case frame_error::control_misplaced: return "control TLV missing, repeated or not first";
    }
    return "?";
}

frame_error tallowhost_scan_frame(std::span<const uint8_t> frame, parsed_frame &out)
{
    out = parsed_frame{};
    if (frame.size() < eth_header_size)
        return frame_error::too_short;
    if (std::memcmp(frame.data(), lldp_multicast, 6) != 0 ||
        (frame[12] << 8 | frame[13]) != ethertype_lldp)
        return frame_error::not_lldp;
    reader r{frame.subspan(eth_header_size)};

    tlv t;
    const unsigned mandatory[3] = {tlv_chassis_id, tlv_port_id, tlv_ttl};
    for (unsigned type : mandatory) {
        if (!next_tlv(r, t))
            return r.left() == 0 ? frame_error::missing_mandatory : frame_error::truncated_tlv;
        frame_error e;
        if (type == tlv_chassis_id)
            e = parse_id(t, type, out.chassis_id);
        else if (type == tlv_port_id)
            e = parse_id(t, type, out.port_id);
        else if (t.type != tlv_ttl)
            e = frame_error::missing_mandatory;
        else if (t.value.size() < 2)
            e = frame_error::bad_mandatory;
        else {
            out.ttl = uint16_t(t.value[0] << 8 | t.value[1]);
            e = frame_error::none;
        }
        if (e != frame_error::none)
            return e;
    }

    // Optional TLVs up to End; bytes after End are padding. A frame that ends without End is taken
    // as ended, provided no TLV is cut short.
    size_t body_begin = 0, body_end = 0;
    while (r.left() > 0) {
        if (out.has_control && take_prefix_run(r, out)) {
            body_end = r.off;
            continue;
        }
        if (!next_tlv(r, t))
            return frame_error::truncated_tlv;
        if (t.type == tlv_end)
            break;
        if (!relay_tlv(t))
            continue;  // another organisation's or a standard optional TLV
        frame_error e = check_relay_tlv(t.value, out);
        if (e != frame_error::none)
            return e;
        if (!out.prefix_tlvs)
            body_begin = r.off;  // just past the control TLV
        body_end = r.off;
    }
    if (out.prefix_tlvs)
        out.body = r.data.subspan(body_begin, body_end - body_begin);
    return frame_error::none;
}

void tallowhost_decode_body(std::span<const uint8_t> body, std::vector<frame_prefix> &out)
{
    reader r{body};
    tlv t;
    while (next_tlv(r, t)) {
        if (!relay_tlv(t) || t.value[3] == subtype_control)
            continue;
        const std::span<const uint8_t> v = t.value;
        frame_prefix fp;
        fp.prefix.family = v[3] == subtype_ipv4 ? 4 : 6;
        std::memcpy(fp.prefix.addr.data(), v.data() + 7, fp.prefix.family == 4 ? 4 : 16);
        fp.prefix = masked(fp.prefix, v[4]);
        fp.withdrawn = v[6] & flag_withdrawn;
        out.push_back(fp);
    }
}

size_t tallowhost_tlv_size(std::span<const uint8_t> body, size_t off)
{
    if (body.size() - off < 2)
        return body.size() - off;
    const size_t n = 2 + ((body[off] & 1u) << 8 | body[off + 1]);
    return std::min(n, body.size() - off);
}

frame_error tallowhost_parse_frame(std::span<const uint8_t> frame, parsed_frame &out)
{
    frame_error e = tallowhost_scan_frame(frame, out);
    if (e == frame_error::none && out.prefix_tlvs) {
        out.prefixes.reserve(out.prefix_tlvs);
        tallowhost_decode_body(out.body, out.prefixes);
    }
    return e;
}
