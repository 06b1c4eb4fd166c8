// lldpd client: the connection to lldpd, its two request types and the per-VRF push loops.
//
// Every request is a 16-byte envelope in host order (type, 0, bytes that follow), a 16-byte
// big-endian request header and a payload; lldpd answers each with 16 bytes that are read and
// ignored. The socket is blocking with 5-second send and receive time-outs, so a stuck lldpd holds
// the loop for at most that long per request before the connection is dropped.
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "daemon.h"

namespace {

constexpr uint32_t lldpd_req_proxy_frames = 11;
constexpr uint32_t lldpd_req_immediate = 12;
constexpr size_t lldpd_envelope_len = 16;
constexpr size_t lldpd_header_len = 16;
constexpr size_t lldpd_request_prefix = lldpd_envelope_len + lldpd_header_len;
constexpr size_t lldpd_ack_len = 16;
constexpr uint16_t lldpd_flags_trigger = 0x000D;
constexpr uint16_t lldpd_flags_periodic = 0x0005;
constexpr int lldpd_timeout_sec = 5;
constexpr int lldpd_retry_sec = 1;

// The envelope is read by a process on the same host, hence host order.
int put_envelope(byte_span dst, uint32_t type, uint64_t length)
{
    if (put_host(dst, 0, type) != 0 || put_host(dst, 4, uint32_t(0)) != 0 || put_host(dst, 8, length) != 0)
        return -1;
    return 0;
}

// The big-endian header of a type-11 request.
int put_frames_header(byte_span hdr, uint32_t ifindex, uint32_t seq, uint16_t blob_count, bool trigger)
{
    if (put_be32(hdr, 0, ifindex) != 0 || put_be32(hdr, 4, seq) != 0 || put_be16(hdr, 8, blob_count) != 0 ||
        put_be16(hdr, 10, 0) != 0 || put_be16(hdr, 12, blob_count) != 0 ||
        put_be16(hdr, 14, trigger ? lldpd_flags_trigger : lldpd_flags_periodic) != 0)
        return -1;
    return 0;
}

// Error text of a failed read_all: end of stream leaves errno 0.
const char *io_error_text(int err) { return err ? strerror(err) : "connection closed"; }

// Writes a header and a body (which may be empty) with as few system calls as the socket allows
// (one, normally). MSG_NOSIGNAL: a peer that has gone away gives EPIPE, never a signal.
ssize_t write_all(int fd, const uint8_t *head, size_t head_len, const uint8_t *body, size_t body_len)
{
    size_t done = 0, total = head_len + body_len;
    while (done < total) {
        iovec iov[2];
        int n = 0;
        if (done < head_len)
            iov[n++] = {const_cast<uint8_t *>(head) + done, head_len - done};
        size_t body_done = done > head_len ? done - head_len : 0;
        if (body_len > body_done)
            iov[n++] = {const_cast<uint8_t *>(body) + body_done, body_len - body_done};
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(n);
        ssize_t w = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += size_t(w);
    }
    return ssize_t(total);
}

ssize_t read_all(int fd, uint8_t *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = recv(fd, buf + done, len - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            errno = 0;
            return -1;
        }
        done += size_t(n);
    }
    return ssize_t(len);
}

// Writes one request (head, then body) and reads lldpd's acknowledgement; when either fails the
// connection is dropped (logged). The lines name an immediate (type-12) request as such.
int write_and_ack(daemon_config *cfg, uint32_t ifindex, bool immediate, const uint8_t *head, size_t head_len,
                  const uint8_t *body, size_t body_len)
{
    const int fd = cfg->lldpd_fd.get();
    if (write_all(fd, head, head_len, body, body_len) < 0) {
        tlog(LOG_WARNING, "lldp: %swrite failed for ifindex %u: %s", immediate ? "immediate " : "", ifindex,
             strerror(errno));
        lldpd_disconnect(cfg);
        return -1;
    }
    uint8_t ack[lldpd_ack_len];
    if (read_all(fd, ack, sizeof ack) < 0) {
        if (immediate)
            tlog(LOG_WARNING, "lldp: immediate ack failed for ifindex %u", ifindex);
        else
            tlog(LOG_WARNING, "lldp: ack read failed for ifindex %u: %s", ifindex, io_error_text(errno));
        lldpd_disconnect(cfg);
        return -1;
    }
    return 0;
}

// A type-11 request with room for the envelope and header in front of the blob payload, so that
// the whole request goes out in one write and the payload can serve every interface of a push.
// Returns -1 when the buffer cannot be allocated.
int build_blob_payload(const blob_set *set, heap_array<uint8_t> &request)
{
    uint16_t count = set ? set->blob_count : 0;
    tlog(LOG_DEBUG, "lldp: build_blob_payload: blob_count=%u", unsigned(count));
    size_t size = 0;
    for (uint16_t i = 0; i < count; i++)
        size += size_t(set->slots[i].len) + 2;
    if (request.resize(lldpd_request_prefix + size) != 0)
        return -1;
    std::memset(request.data(), 0, request.size());
    size_t off = lldpd_request_prefix;
    for (uint16_t i = 0; i < count; i++) {
        const blob &b = set->slots[i];
        if (put_be16(request.span(), off, b.len) != 0 || put_bytes(request.span(), off + 2, b.data.data(), b.len) != 0)
            return -1;
        off += size_t(b.len) + 2;
    }
    return 0;
}

// Sends one prepared type-11 request (payload already in place) and reads its acknowledgement.
int send_frames_request(daemon_config *cfg, uint32_t ifindex, uint16_t blob_count, heap_array<uint8_t> &request,
                        bool trigger)
{
    byte_span req = request.span();
    const uint32_t seq = cfg->lldp_seq++;  // taken whether or not the write succeeds; wraps at 32 bits
    if (put_envelope(req, lldpd_req_proxy_frames, request.size() - lldpd_envelope_len) != 0 ||
        put_frames_header(req.subspan(lldpd_envelope_len), ifindex, seq, blob_count, trigger) != 0) {
        tlog(LOG_ERR, "lldp: request for ifindex %u too short for its header", ifindex);
        return -1;
    }
    return write_and_ack(cfg, ifindex, false, request.data(), request.size(), nullptr, 0);
}

void set_timeout(int fd, int option, const char *name)
{
    timeval tv{};
    tv.tv_sec = lldpd_timeout_sec;
    tv.tv_usec = 0;
    if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0)
        tlog(LOG_WARNING, "lldp: %s failed: %s", name, strerror(errno));
}

int lldpd_open(const char *path)
{
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return -1;
    // The time-outs are set before connecting, so that a listener whose backlog is full cannot
    // block the connect itself for longer than the send time-out.
    set_timeout(fd.get(), SO_RCVTIMEO, "SO_RCVTIMEO");
    set_timeout(fd.get(), SO_SNDTIMEO, "SO_SNDTIMEO");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;  // kept for the caller's message across the close
        fd.reset();
        errno = err;
        return -1;
    }
    return fd.release();
}

}  // namespace

int tallowd_lldp_init(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "lldp: tallowd_lldp_init: sock_path=%s", cfg->lldpd_sock_path);
    cfg->lldpd_fd.reset();
    cfg->lldpd_connected = false;
    cfg->lldpd_next_attempt = time(nullptr);
    tlog(LOG_INFO, "lldp: will connect to LLDPD at %s", cfg->lldpd_sock_path);
    return 0;
}

void tallowd_lldp_cleanup(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "lldp: tallowd_lldp_cleanup: cleaning up");
    lldpd_disconnect(cfg);
}

void lldpd_connect(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "lldp: attempting connect to %s", cfg->lldpd_sock_path);
    int fd = lldpd_open(cfg->lldpd_sock_path);
    if (fd < 0) {
        tlog(LOG_DEBUG, "lldp: connect failed: %s, retry in %ds", strerror(errno), lldpd_retry_sec);
        return;
    }
    cfg->lldpd_fd.reset(fd);
    cfg->lldpd_connected = true;
    tlog(LOG_INFO, "lldp: connected to LLDPD (fd=%d)", fd);
    cfg->lldpd_reconnects++;

    // A new lldpd knows nothing: re-send every VRF that owes a push or has frames. A VRF that owes
    // one outside a sync gets its frames rebuilt first, so that the push carries its current
    // prefixes. A VRF whose push does not go out keeps owing it for the next connection.
    for (const auto &vrf : cfg->vrfs) {
        if (!cfg->lldpd_connected)
            break;
        if (!vrf->dirty && vrf->blobs.blob_count == 0)
            continue;
        vrf_push(cfg, vrf.get(),
                 {.rebuild = vrf->dirty && !vrf->in_sync, .trigger = true, .owed = owed_after::settled_if_sent});
    }
}

void lldpd_disconnect(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "lldp: lldpd_disconnect: fd=%d", cfg->lldpd_fd.get());
    cfg->lldpd_fd.reset();
    cfg->lldpd_connected = false;
}

int send_proxy_frames(daemon_config *cfg, uint32_t ifindex, const blob_set *set, bool trigger)
{
    uint16_t count = set ? set->blob_count : 0;
    tlog(LOG_DEBUG, "lldp: send_proxy_frames: ifindex=%u blobs=%u trigger=%d", ifindex, unsigned(count), int(trigger));
    if (!cfg->lldpd_connected)
        return -1;
    heap_array<uint8_t> request;
    if (build_blob_payload(set, request) != 0) {
        tlog(LOG_ERR, "lldp: OOM building payload for ifindex %u", ifindex);
        return -1;
    }
    return send_frames_request(cfg, ifindex, count, request, trigger);
}

int send_proxy_immediate(daemon_config *cfg, uint32_t ifindex, const uint8_t *blob, uint16_t len)
{
    tlog(LOG_DEBUG, "lldp: send_proxy_immediate: ifindex=%u blob_len=%u", ifindex, unsigned(len));
    if (!cfg->lldpd_connected)
        return -1;
    if (!blob)
        len = 0;
    uint8_t head[lldpd_request_prefix] = {};
    put_envelope(head, lldpd_req_immediate, uint64_t(len) + lldpd_header_len);
    put_be32(head, lldpd_envelope_len, ifindex);  // the rest of the header stays 0
    return write_and_ack(cfg, ifindex, true, head, sizeof head, blob, len);
}

namespace {

// Every interface gets the same payload: it is built once for the whole push.
void push_blobs(daemon_config *cfg, vrf_context *vrf, bool trigger)
{
    const uint16_t count = vrf->blobs.blob_count;
    heap_array<uint8_t> request;
    if (!vrf->intfs.empty() && build_blob_payload(&vrf->blobs, request) != 0) {
        tlog(LOG_ERR, "lldp: OOM building payload for ifindex %u", vrf->intfs[0]);
        return;
    }
    for (uint32_t ifindex : vrf->intfs) {
        tlog(LOG_DEBUG, "lldp: send_proxy_frames: ifindex=%u blobs=%u trigger=%d", ifindex, unsigned(count),
             int(trigger));
        if (send_frames_request(cfg, ifindex, count, request, trigger) != 0)
            break;
    }
    if (cfg->lldpd_connected) {
        vrf->pushes++;
        vrf->blobs_pushed += uint64_t(vrf->intfs.size()) * count;
        cfg->last_push = time(nullptr);
        tlog(LOG_INFO, "lldp: pushed %u blobs to %u interfaces (VRF %u)", unsigned(count),
             unsigned(vrf->intfs.size()), vrf->vrf_id);
    }
}

// No blobs: lldpd forgets the frames of each interface.
void push_clears(daemon_config *cfg, vrf_context *vrf)
{
    for (size_t i = 0; i < vrf->intfs.size() && cfg->lldpd_connected; i++)
        tallowd_lldp_clear_interface(cfg, vrf->intfs[i]);
    if (cfg->lldpd_connected) {
        vrf->pushes++;
        cfg->last_push = time(nullptr);
        tlog(LOG_INFO, "lldp: cleared %u interfaces (VRF %u, no prefixes)", unsigned(vrf->intfs.size()),
             vrf->vrf_id);
    }
}

}  // namespace

void tallowd_lldp_push_periodic(daemon_config *cfg, vrf_context *vrf, bool trigger)
{
    tlog(LOG_DEBUG, "lldp: tallowd_lldp_push_periodic: vrf_id=%u blobs=%u trigger=%d", vrf->vrf_id,
         unsigned(vrf->blobs.blob_count), int(trigger));
    if (!cfg->lldpd_connected) {
        tlog(LOG_DEBUG, "lldp: not connected, skipping periodic push VRF %u", vrf->vrf_id);
        return;
    }
    if (vrf->blobs.blob_count != 0)
        push_blobs(cfg, vrf, trigger);
    else
        push_clears(cfg, vrf);
}

void tallowd_lldp_push_immediate(daemon_config *cfg, vrf_context *vrf, const uint8_t *blob, uint16_t len)
{
    tlog(LOG_DEBUG, "lldp: tallowd_lldp_push_immediate: vrf_id=%u blob_len=%u", vrf->vrf_id, unsigned(len));
    if (!cfg->lldpd_connected) {
        tlog(LOG_DEBUG, "lldp: not connected, skipping immediate push for VRF %u", vrf->vrf_id);
        return;
    }
    if (!blob || len == 0) {
        tlog(LOG_DEBUG, "lldp: no immediate delta for VRF %u", vrf->vrf_id);
        return;
    }
    for (uint32_t ifindex : vrf->intfs) {
        if (send_proxy_immediate(cfg, ifindex, blob, len) != 0)
            break;
    }
    tlog(LOG_INFO, "lldp: pushed immediate delta (%u bytes) to %u intfs (VRF %u)", unsigned(len),
         unsigned(vrf->intfs.size()), vrf->vrf_id);
}

void tallowd_lldp_clear_interface(daemon_config *cfg, uint32_t ifindex)
{
    tlog(LOG_DEBUG, "lldp: tallowd_lldp_clear_interface: ifindex=%u", ifindex);
    if (!cfg->lldpd_connected)
        return;
    tlog(LOG_DEBUG, "lldp: clearing proxy frames on ifindex %u", ifindex);
    blob_set empty;
    send_proxy_frames(cfg, ifindex, &empty, true);
}

void tallowd_lldp_flush_interface(daemon_config *cfg, uint32_t ifindex)
{
    if (!cfg->lldpd_connected)
        return;
    heap_array<uint8_t> frame;
    uint16_t len = 0;
    if (build_immediate({}, frame, len) != 0 || frame.empty())
        return;
    send_proxy_immediate(cfg, ifindex, frame.data(), len);
}
