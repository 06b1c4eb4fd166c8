/*
 * Northbound wire protocol between the routing suite's client library and tallowd.
 *
 * A Unix-domain stream socket carries messages one after the other with no separators; each starts
 * with a 12-byte header holding its own total length. Traffic is one-way (client to daemon). Every
 * multi-byte integer on the wire is big-endian; addresses are raw network-order bytes.
 *
 * The structs below hold decoded values in host order. Use the put/get helpers to move them to and
 * from wire bytes; never cast a byte buffer to a struct. tallowd_prefix is the exception: it consists
 * of single bytes only, so its memory layout is its wire layout and entries are copied as they are.
 *
 * Plain C11 and C++; shared by the library and the daemon.
 */
#ifndef TALLOWD_PROTO_H
#define TALLOWD_PROTO_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TALLOWD_DEFAULT_PATH "/var/run/tallowd.sock"

/* Message types (msg_type). 0, 2, 5 and anything above 8 are undefined. */
#define TALLOWD_MSG_PREFIX_UPDATE 1
#define TALLOWD_MSG_SYNC_BEGIN 3
#define TALLOWD_MSG_SYNC_END 4
#define TALLOWD_MSG_INTF_SET 6
#define TALLOWD_MSG_WARMBOOT_START 7
#define TALLOWD_MSG_WARMBOOT_END 8

/* Address families of a prefix entry (afi). */
#define TALLOWD_AFI_IPV4 4
#define TALLOWD_AFI_IPV6 6
#define TALLOWD_IPV4_MAX_PREFIX_LEN 32u
#define TALLOWD_IPV6_MAX_PREFIX_LEN 128u

/* Sizes in bytes. */
#define TALLOWD_HDR_LEN 12u            /* tallowd_msg_hdr on the wire */
#define TALLOWD_PREFIX_LEN 20u         /* tallowd_prefix on the wire */
#define TALLOWD_ADDR_LEN 16u           /* address field of a prefix entry; IPv4 uses the first 4 */
#define TALLOWD_IFINDEX_ENTRY_LEN 4u   /* one u32 interface index in INTF_SET */
#define TALLOWD_LIST_HDR_LEN 16u       /* header + count u16 + reserved u16 (PREFIX_UPDATE, INTF_SET) */
#define TALLOWD_SYNC_BEGIN_LEN 16u
#define TALLOWD_SYNC_END_LEN 20u
#define TALLOWD_WARMBOOT_LEN 12u       /* WARMBOOT_START and WARMBOOT_END: header only */

/* Limits. */
#define TALLOWD_MIN_MSG_LEN 12u
#define TALLOWD_MAX_MSG_LEN 16384u
#define TALLOWD_MAX_PREFIXES 500u      /* entries in one PREFIX_UPDATE: at most 10016 bytes */
#define TALLOWD_MAX_INTERFACES 512u    /* interfaces in one INTF_SET: at most 2064 bytes */

/* Total lengths of the variable-length messages. */
#define TALLOWD_PREFIX_UPDATE_LEN(count) (TALLOWD_LIST_HDR_LEN + TALLOWD_PREFIX_LEN * (count))
#define TALLOWD_INTF_SET_LEN(count) (TALLOWD_LIST_HDR_LEN + TALLOWD_IFINDEX_ENTRY_LEN * (count))

/* Header field offsets. */
#define TALLOWD_OFF_MSG_LEN 0u         /* u16 */
#define TALLOWD_OFF_MSG_TYPE 2u        /* u8 */
#define TALLOWD_OFF_HDR_RESERVED 3u    /* u8, written as 0, not read */
#define TALLOWD_OFF_VRF 4u             /* u32 */
#define TALLOWD_OFF_IFINDEX 8u         /* u32, 0 = all interfaces of the VRF */

/* Body field offsets, from the start of the message. */
#define TALLOWD_OFF_COUNT 12u          /* u16, PREFIX_UPDATE and INTF_SET */
#define TALLOWD_OFF_BODY_RESERVED 14u  /* u16, written as 0 */
#define TALLOWD_OFF_ENTRIES 16u        /* first prefix entry / interface index */
#define TALLOWD_OFF_EPOCH 12u          /* u32, SYNC_BEGIN and SYNC_END */
#define TALLOWD_OFF_PREFIX_COUNT 16u   /* u32, SYNC_END */

/* Prefix entry field offsets, from the start of the entry. */
#define TALLOWD_PFX_OFF_AFI 0u
#define TALLOWD_PFX_OFF_PREFIX_LEN 1u
#define TALLOWD_PFX_OFF_W 2u
#define TALLOWD_PFX_OFF_RESERVED 3u
#define TALLOWD_PFX_OFF_ADDRESS 4u

/* Message header, decoded (host order). */
typedef struct tallowd_msg_hdr {
    uint16_t msg_len;  /* total length including the header */
    uint8_t msg_type;  /* TALLOWD_MSG_* */
    uint8_t reserved;  /* written as 0 */
    uint32_t vrf;      /* 0 in the warm-boot messages */
    uint32_t ifindex;  /* 0 = all interfaces of the VRF */
} tallowd_msg_hdr;

/* Prefix entry: all single bytes, so the struct is exactly the 20 wire bytes. */
typedef struct tallowd_prefix {
    uint8_t afi;          /* TALLOWD_AFI_IPV4 or TALLOWD_AFI_IPV6 */
    uint8_t prefix_len;   /* 0..32 (IPv4) or 0..128 (IPv6); 0 is a default route */
    uint8_t W;            /* 0: unreachable (add/refresh); non-zero: withdrawn (remove) */
    uint8_t reserved;     /* passed through unchanged */
    uint8_t address[16];  /* network order; IPv4 uses the first 4 bytes */
} tallowd_prefix;

#ifdef __cplusplus
static_assert(sizeof(tallowd_prefix) == 20, "tallowd_prefix must match the wire layout");
#else
_Static_assert(sizeof(tallowd_prefix) == 20, "tallowd_prefix must match the wire layout");
#endif

/*
 * Bounds-checked big-endian access to a byte buffer of len bytes at offset off.
 * put: returns 0, or -1 (nothing written) when the field does not fit.
 * get: returns 0 and stores the value, or -1 (out untouched) when the field is not all present.
 */
static inline int tallowd_fits(size_t len, size_t off, size_t size)
{
    return off <= len && len - off >= size;
}

static inline int tallowd_put_u8(uint8_t *buf, size_t len, size_t off, uint8_t v)
{
    if (!tallowd_fits(len, off, 1))
        return -1;
    buf[off] = v;
    return 0;
}

static inline int tallowd_put_be16(uint8_t *buf, size_t len, size_t off, uint16_t v)
{
    if (!tallowd_fits(len, off, 2))
        return -1;
    buf[off] = (uint8_t)(v >> 8);
    buf[off + 1] = (uint8_t)v;
    return 0;
}

static inline int tallowd_put_be32(uint8_t *buf, size_t len, size_t off, uint32_t v)
{
    if (!tallowd_fits(len, off, 4))
        return -1;
    buf[off] = (uint8_t)(v >> 24);
    buf[off + 1] = (uint8_t)(v >> 16);
    buf[off + 2] = (uint8_t)(v >> 8);
    buf[off + 3] = (uint8_t)v;
    return 0;
}

static inline int tallowd_get_u8(const uint8_t *buf, size_t len, size_t off, uint8_t *out)
{
    if (!tallowd_fits(len, off, 1))
        return -1;
    *out = buf[off];
    return 0;
}

static inline int tallowd_get_be16(const uint8_t *buf, size_t len, size_t off, uint16_t *out)
{
    if (!tallowd_fits(len, off, 2))
        return -1;
    *out = (uint16_t)(((unsigned)buf[off] << 8) | (unsigned)buf[off + 1]);
    return 0;
}

static inline int tallowd_get_be32(const uint8_t *buf, size_t len, size_t off, uint32_t *out)
{
    if (!tallowd_fits(len, off, 4))
        return -1;
    *out = ((uint32_t)buf[off] << 24) | ((uint32_t)buf[off + 1] << 16) |
           ((uint32_t)buf[off + 2] << 8) | (uint32_t)buf[off + 3];
    return 0;
}

/* Header to/from the first TALLOWD_HDR_LEN bytes of buf; 0, or -1 when len is too short. */
static inline int tallowd_msg_hdr_put(uint8_t *buf, size_t len, const tallowd_msg_hdr *hdr)
{
    if (!tallowd_fits(len, 0, TALLOWD_HDR_LEN))
        return -1;
    tallowd_put_be16(buf, len, TALLOWD_OFF_MSG_LEN, hdr->msg_len);
    tallowd_put_u8(buf, len, TALLOWD_OFF_MSG_TYPE, hdr->msg_type);
    tallowd_put_u8(buf, len, TALLOWD_OFF_HDR_RESERVED, hdr->reserved);
    tallowd_put_be32(buf, len, TALLOWD_OFF_VRF, hdr->vrf);
    tallowd_put_be32(buf, len, TALLOWD_OFF_IFINDEX, hdr->ifindex);
    return 0;
}

static inline int tallowd_msg_hdr_get(const uint8_t *buf, size_t len, tallowd_msg_hdr *hdr)
{
    if (!tallowd_fits(len, 0, TALLOWD_HDR_LEN))
        return -1;
    tallowd_get_be16(buf, len, TALLOWD_OFF_MSG_LEN, &hdr->msg_len);
    tallowd_get_u8(buf, len, TALLOWD_OFF_MSG_TYPE, &hdr->msg_type);
    tallowd_get_u8(buf, len, TALLOWD_OFF_HDR_RESERVED, &hdr->reserved);
    tallowd_get_be32(buf, len, TALLOWD_OFF_VRF, &hdr->vrf);
    tallowd_get_be32(buf, len, TALLOWD_OFF_IFINDEX, &hdr->ifindex);
    return 0;
}

/* One prefix entry to/from buf at offset off (byte copy: the struct is the wire layout). */
static inline int tallowd_prefix_put(uint8_t *buf, size_t len, size_t off, const tallowd_prefix *p)
{
    if (!tallowd_fits(len, off, TALLOWD_PREFIX_LEN))
        return -1;
    memcpy(buf + off, p, TALLOWD_PREFIX_LEN);
    return 0;
}

static inline int tallowd_prefix_get(const uint8_t *buf, size_t len, size_t off, tallowd_prefix *p)
{
    if (!tallowd_fits(len, off, TALLOWD_PREFIX_LEN))
        return -1;
    memcpy(p, buf + off, TALLOWD_PREFIX_LEN);
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* TALLOWD_PROTO_H */
