// Client side of tallowd's northbound socket. Built without the C++ runtime (no exceptions, no RTTI,
// no library facilities beyond the C library) so that the shared object needs libc only.

#include "tallowd.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Owns a descriptor until released; closes it on every early return.
struct unique_fd {
    int fd = -1;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

// Every message fits in this: the largest is a PREFIX_UPDATE of 500 entries (10016 bytes).
constexpr size_t max_built_len = TALLOWD_PREFIX_UPDATE_LEN(TALLOWD_MAX_PREFIXES);
static_assert(max_built_len >= TALLOWD_INTF_SET_LEN(TALLOWD_MAX_INTERFACES));
static_assert(max_built_len <= TALLOWD_MAX_MSG_LEN);

void put_header(uint8_t *buf, size_t len, uint8_t type, uint32_t vrf, uint32_t ifindex)
{
    tallowd_msg_hdr hdr{};
    hdr.msg_len = static_cast<uint16_t>(len);
    hdr.msg_type = type;
    hdr.reserved = 0;
    hdr.vrf = vrf;
    hdr.ifindex = ifindex;
    tallowd_msg_hdr_put(buf, len, &hdr);
}

int send_raw(tallowd_handle *h, const uint8_t *msg, size_t len)
{
    if (!h || h->connected != 1)
        return TALLOWD_ERR_CONN;
    syslog(LOG_DEBUG, "lldp-lib: send_raw fd=%d len=%zu", h->fd, len);

    // send() rather than write() only to suppress SIGPIPE: a daemon restart must cost the caller its
    // connection (EPIPE, -1), never the process.
    ssize_t n;
    do {
        n = send(h->fd, msg, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);

    if (n >= 0 && static_cast<size_t>(n) == len) {
        h->msgs_sent += 1;
        h->bytes_sent += len;
        return TALLOWD_OK;
    }
    h->send_failures += 1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        h->last_errno = errno;
        return TALLOWD_ERR_FULL;
    }
    // A truncated message leaves the daemon's framing out of step: the stream cannot go on.
    h->last_errno = n < 0 ? errno : EIO;
    tallowd_disconnect(h);
    return TALLOWD_ERR_CONN;
}

// A message of the header alone (WARMBOOT_START, WARMBOOT_END): VRF and interface 0.
int send_header_only(tallowd_handle *h, uint8_t type, const char *name)
{
    if (!h)
        return TALLOWD_ERR_INVAL;
    syslog(LOG_DEBUG, "lldp-lib: %s", name);

    uint8_t buf[TALLOWD_WARMBOOT_LEN];
    put_header(buf, sizeof buf, type, 0, 0);
    return send_raw(h, buf, sizeof buf);
}

}  // namespace

extern "C" {

int tallowd_init(tallowd_handle *h, const char *path)
{
    if (!h)
        return TALLOWD_ERR_INVAL;
    if (!path)
        path = TALLOWD_DEFAULT_PATH;
    syslog(LOG_DEBUG, "lldp-lib: init path=%s", path);
    memset(h, 0, sizeof *h);
    h->fd = -1;
    h->connected = 0;
    size_t n = strnlen(path, sizeof h->path - 1);
    memcpy(h->path, path, n);
    h->path[n] = '\0';
    return TALLOWD_OK;
}

int tallowd_connect(tallowd_handle *h)
{
    if (!h)
        return TALLOWD_ERR_INVAL;
    if (h->connected == 1)
        tallowd_disconnect(h);
    syslog(LOG_DEBUG, "lldp-lib: connect to %s", h->path);

    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) {
        h->last_errno = errno;
        return TALLOWD_ERR_CONN;
    }

    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // path is at most 107 characters and NUL-terminated, so it always fits sun_path.
    static_assert(sizeof addr.sun_path >= sizeof h->path);
    memcpy(addr.sun_path, h->path, strnlen(h->path, sizeof h->path - 1));
    if (connect(sock.fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        h->last_errno = errno;
        return TALLOWD_ERR_CONN;
    }

    int sndbuf = TALLOWD_SNDBUF;
    if (setsockopt(sock.fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0)
        syslog(LOG_WARNING, "lldp-lib: SO_SNDBUF set failed: %m");

    int flags = fcntl(sock.fd, F_GETFL);
    if (flags < 0 || fcntl(sock.fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        h->last_errno = errno;
        return TALLOWD_ERR_CONN;
    }

    h->fd = sock.release();
    h->connected = 1;
    return TALLOWD_OK;
}

int tallowd_prefix_update(tallowd_handle *h, uint32_t vrf, uint32_t ifindex,
                          const tallowd_prefix *entries, uint16_t count)
{
    if (!h || !entries || count < 1 || count > TALLOWD_MAX_PREFIXES)
        return TALLOWD_ERR_INVAL;
    size_t len = TALLOWD_PREFIX_UPDATE_LEN(count);
    syslog(LOG_DEBUG, "lldp-lib: prefix_update vrf=%u count=%u len=%u", vrf, unsigned{count},
           static_cast<unsigned>(len));

    uint8_t buf[max_built_len];
    put_header(buf, len, TALLOWD_MSG_PREFIX_UPDATE, vrf, ifindex);
    tallowd_put_be16(buf, len, TALLOWD_OFF_COUNT, count);
    tallowd_put_be16(buf, len, TALLOWD_OFF_BODY_RESERVED, 0);
    memcpy(buf + TALLOWD_OFF_ENTRIES, entries, TALLOWD_PREFIX_LEN * size_t{count});
    return send_raw(h, buf, len);
}

int tallowd_sync_begin(tallowd_handle *h, uint32_t vrf, uint32_t ifindex, uint32_t epoch)
{
    if (!h)
        return TALLOWD_ERR_INVAL;
    syslog(LOG_DEBUG, "lldp-lib: sync_begin vrf=%u epoch=%u", vrf, epoch);

    uint8_t buf[TALLOWD_SYNC_BEGIN_LEN];
    put_header(buf, sizeof buf, TALLOWD_MSG_SYNC_BEGIN, vrf, ifindex);
    tallowd_put_be32(buf, sizeof buf, TALLOWD_OFF_EPOCH, epoch);
    return send_raw(h, buf, sizeof buf);
}

int tallowd_sync_end(tallowd_handle *h, uint32_t vrf, uint32_t ifindex, uint32_t epoch,
                     uint32_t prefix_count)
{
    if (!h)
        return TALLOWD_ERR_INVAL;
    syslog(LOG_DEBUG, "lldp-lib: sync_end vrf=%u epoch=%u count=%u", vrf, epoch, prefix_count);

    uint8_t buf[TALLOWD_SYNC_END_LEN];
    put_header(buf, sizeof buf, TALLOWD_MSG_SYNC_END, vrf, ifindex);
    tallowd_put_be32(buf, sizeof buf, TALLOWD_OFF_EPOCH, epoch);
    tallowd_put_be32(buf, sizeof buf, TALLOWD_OFF_PREFIX_COUNT, prefix_count);
    return send_raw(h, buf, sizeof buf);
}

int tallowd_intf_set(tallowd_handle *h, uint32_t vrf, const uint32_t *ifindexes, uint16_t count)
{
    if (!h || count > TALLOWD_MAX_INTERFACES || (count > 0 && !ifindexes))
        return TALLOWD_ERR_INVAL;
    syslog(LOG_DEBUG, "lldp-lib: intf_set vrf=%u count=%u", vrf, unsigned{count});

    size_t len = TALLOWD_INTF_SET_LEN(count);
    uint8_t buf[max_built_len];
    put_header(buf, len, TALLOWD_MSG_INTF_SET, vrf, 0);
    tallowd_put_be16(buf, len, TALLOWD_OFF_COUNT, count);
    tallowd_put_be16(buf, len, TALLOWD_OFF_BODY_RESERVED, 0);
    for (size_t i = 0; i < count; ++i)
        tallowd_put_be32(buf, len, TALLOWD_OFF_ENTRIES + TALLOWD_IFINDEX_ENTRY_LEN * i, ifindexes[i]);
    return send_raw(h, buf, len);
}

int tallowd_warmboot_start(tallowd_handle *h)
{
    return send_header_only(h, TALLOWD_MSG_WARMBOOT_START, "warmboot_start");
}

int tallowd_warmboot_end(tallowd_handle *h)
{
    return send_header_only(h, TALLOWD_MSG_WARMBOOT_END, "warmboot_end");
}

void tallowd_disconnect(tallowd_handle *h)
{
    if (!h)
        return;
    syslog(LOG_DEBUG, "lldp-lib: disconnect fd=%d", h->fd);
    if (h->fd >= 0) {
        close(h->fd);
        h->fd = -1;
    }
    h->connected = 0;
}

const char *tallowd_strerror(int code)
{
    switch (code) {
    case TALLOWD_OK:
        return "Success";
    case TALLOWD_ERR_CONN:
        return "Connection lost";
    case TALLOWD_ERR_FULL:
        return "Socket full";
    case TALLOWD_ERR_INVAL:
        return "Invalid argument";
    default:
        return "Unknown error";
    }
}

}  // extern "C"
