// Fixed-width fields in byte spans, bounds-checked: the daemon's one set of byte helpers, used for
// the LLDP TLVs, the lldpd requests, the northbound messages and the netlink messages. Of the
// protocol header (tallowd_proto.h) the daemon uses the constants, the records and the record
// getter and putter (tallowd_msg_hdr_get, tallowd_msg_hdr_put); its field helpers serve libtallowd.
//
// put_*: 0, or -1 with nothing written when the field does not fit.
// get_*: 0 with the value stored, or -1 with the output untouched when the field is not all there.
// "be" fields are big-endian (network order); "host" fields are in the machine's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

using byte_span = std::span<uint8_t>;
using const_byte_span = std::span<const uint8_t>;

inline bool fits(size_t size, size_t off, size_t n)
{
    return off <= size && size - off >= n;
}

inline int put_bytes(byte_span dst, size_t off, const void *src, size_t n)
{
    if (!fits(dst.size(), off, n))
        return -1;
    if (n)
        std::memcpy(dst.data() + off, src, n);
    return 0;
}

inline int put_u8(byte_span dst, size_t off, uint8_t v)
{
    return put_bytes(dst, off, &v, 1);
}

inline int put_be16(byte_span dst, size_t off, uint16_t v)
{
    const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    return put_bytes(dst, off, b, sizeof b);
}

inline int put_be32(byte_span dst, size_t off, uint32_t v)
{
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return put_bytes(dst, off, b, sizeof b);
}

template <typename T> int put_host(byte_span dst, size_t off, T v)
{
    return put_bytes(dst, off, &v, sizeof v);
}

inline int get_bytes(const_byte_span src, size_t off, void *out, size_t n)
{
    if (!fits(src.size(), off, n))
        return -1;
    if (n)
        std::memcpy(out, src.data() + off, n);
    return 0;
}

inline int get_u8(const_byte_span src, size_t off, uint8_t &out)
{
    return get_bytes(src, off, &out, 1);
}

inline int get_be16(const_byte_span src, size_t off, uint16_t &out)
{
    uint8_t b[2];
    if (get_bytes(src, off, b, sizeof b) != 0)
        return -1;
    out = uint16_t(b[0] << 8 | b[1]);
    return 0;
}

inline int get_be32(const_byte_span src, size_t off, uint32_t &out)
{
    uint8_t b[4];
    if (get_bytes(src, off, b, sizeof b) != 0)
        return -1;
    out = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
    return 0;
}

// Netlink messages and the lldpd request envelope are read by processes on the same host.
template <typename T> int get_host(const_byte_span src, size_t off, T &out)
{
    return get_bytes(src, off, &out, sizeof out);
}

// A field that the caller knows is there (its length was checked), or that may read as 0 when it
// is not.
inline uint16_t be16_at(const_byte_span src, size_t off)
{
    uint16_t v = 0;
    get_be16(src, off, v);
    return v;
}

inline uint32_t be32_at(const_byte_span src, size_t off)
{
    uint32_t v = 0;
    get_be32(src, off, v);
    return v;
}

template <typename T> T host_at(const_byte_span src, size_t off)
{
    T v{};
    get_host(src, off, v);
    return v;
}

// The 2-byte header of an LLDP TLV: 7 bits of type, then 9 bits of length, big-endian.
constexpr uint16_t tlv_header(unsigned type, unsigned length)
{
    return uint16_t((type & 0x7F) << 9 | (length & 0x1FF));
}

inline int put_tlv_header(byte_span dst, size_t off, unsigned type, unsigned length)
{
    return put_be16(dst, off, tlv_header(type, length));
}
