/*
 * Client interface to tallowd's northbound socket.
 *
 * The caller owns a tallowd_handle, initialises it once with tallowd_init, connects it with
 * tallowd_connect and then sends one message per call. Every call writes one complete message with a
 * single non-blocking write and never reads, retries or reconnects on its own. After a result of -1 the
 * handle is disconnected: call tallowd_connect again and resend your state, since the daemon may have
 * cleaned up when the connection ended.
 *
 * No global state: calls on different handles may run in parallel; calls on one handle must be
 * serialised by the caller. Debug and warning lines go through the calling process's syslog.
 */
#ifndef TALLOWD_H
#define TALLOWD_H

#include <stddef.h>
#include <stdint.h>

#include "tallowd_proto.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TALLOWD_API __attribute__((visibility("default")))
#else
#define TALLOWD_API
#endif

/* Result codes of the calls returning int; tallowd_strerror gives their texts. */
#define TALLOWD_OK 0
#define TALLOWD_ERR_CONN (-1)   /* not connected, or the connection failed or was lost */
#define TALLOWD_ERR_FULL (-2)   /* send buffer full: nothing written, connection stays up */
#define TALLOWD_ERR_INVAL (-3)  /* invalid argument: nothing done */

#define TALLOWD_PATH_SIZE 108   /* path buffer; at most 107 characters plus the NUL */
#define TALLOWD_SNDBUF 2097152  /* send buffer size requested on connect */

typedef struct tallowd_handle {
    int fd;                  /* connected socket, -1 when not connected */
    int connected;           /* 1 while connected, else 0 */
    char path[TALLOWD_PATH_SIZE];
    uint64_t msgs_sent;      /* messages written completely */
    uint64_t bytes_sent;     /* bytes of messages written completely */
    uint64_t send_failures;  /* writes that did not write the whole message */
    int last_errno;          /* errno of the last failure, EIO for a partial write */
} tallowd_handle;

/* Zeroes the handle and stores path (NULL: TALLOWD_DEFAULT_PATH), cut to 107 characters. Opens
 * nothing and does not close an open connection. 0, or -3 without a handle. */
TALLOWD_API int tallowd_init(tallowd_handle *h, const char *path);

/* Connects to the stored path (disconnecting first if connected). 0, -1 (last_errno set), -3. */
TALLOWD_API int tallowd_connect(tallowd_handle *h);

/* PREFIX_UPDATE: count (1..500) entries already in wire layout, copied unchanged. */
TALLOWD_API int tallowd_prefix_update(tallowd_handle *h, uint32_t vrf, uint32_t ifindex,
                                      const tallowd_prefix *entries, uint16_t count);

TALLOWD_API int tallowd_sync_begin(tallowd_handle *h, uint32_t vrf, uint32_t ifindex, uint32_t epoch);

TALLOWD_API int tallowd_sync_end(tallowd_handle *h, uint32_t vrf, uint32_t ifindex, uint32_t epoch,
                                 uint32_t prefix_count);

/* INTF_SET: the VRF's complete downlink list, count (0..512) indexes in host order; ifindexes may be
 * NULL only when count is 0. */
TALLOWD_API int tallowd_intf_set(tallowd_handle *h, uint32_t vrf, const uint32_t *ifindexes,
                                 uint16_t count);

TALLOWD_API int tallowd_warmboot_start(tallowd_handle *h);

TALLOWD_API int tallowd_warmboot_end(tallowd_handle *h);

/* Closes the socket if open; counters and last_errno are kept. Does nothing without a handle. */
TALLOWD_API void tallowd_disconnect(tallowd_handle *h);

/* Constant text for a result code; never freed by the caller. */
TALLOWD_API const char *tallowd_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TALLOWD_H */
