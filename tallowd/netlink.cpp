// Link MTU monitor: listens to the kernel's link notifications and rebuilds and re-pushes a VRF's
// frames when one of its interfaces reports an MTU other than the one the frames were built for.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>

#include "daemon.h"

namespace {

constexpr size_t recv_buffer_size = 32768;
constexpr size_t nlmsg_header_size = 16;
constexpr size_t ifinfo_header_size = 16;
constexpr size_t rtattr_header_size = 4;
constexpr uint16_t rtm_newlink = 16;
constexpr uint16_t ifla_mtu = 4;

// Netlink messages are in host byte order; fields are read by copy, never through casts of the
// (possibly unaligned) buffer. A field that is not all there reads as 0.
uint16_t host16(const_byte_span b, size_t off)
{
    return host_at<uint16_t>(b, off);
}

uint32_t host32(const_byte_span b, size_t off)
{
    return host_at<uint32_t>(b, off);
}

size_t align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

}  // namespace

int netlink_init(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "netlink: init");
    unique_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) {
        tlog(LOG_WARNING, "netlink: socket: %s", strerror(errno));
        cfg->netlink_fd.reset();
        return -1;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;  // the kernel picks the port
    addr.nl_groups = RTMGRP_LINK;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        tlog(LOG_WARNING, "netlink: bind: %s", strerror(errno));
        cfg->netlink_fd.reset();
        return -1;
    }
    if (set_nonblocking(fd.get()) != 0)
        tlog(LOG_WARNING, "netlink: fcntl failed: %s", strerror(errno));
    cfg->netlink_fd = std::move(fd);
    tlog(LOG_INFO, "netlink: listening for link events");
    return 0;
}

namespace {

// Receives one datagram whole. A link message grows with the interface's alternative names and can pass any
// fixed size, so the datagram's length is peeked first and a larger buffer taken when the usual one is
// too small. Returns the length received, 0 when the queue is empty, -1 on a receive error.
ssize_t receive_datagram(int fd, uint8_t *buf, size_t size, heap_array<uint8_t> &big, uint8_t **data,
                         sockaddr_nl *from)
{
    ssize_t peeked = recv(fd, buf, size, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
    if (peeked < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    *data = buf;
    if (size_t(peeked) > size) {
        if (big.resize(size_t(peeked)) == 0) {
            *data = big.data();
            size = size_t(peeked);
        }
    }
    iovec iov{*data, size};
    msghdr mh{};
    mh.msg_name = from;
    mh.msg_namelen = sizeof *from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    if (mh.msg_flags & MSG_TRUNC)
        tlog(LOG_WARNING, "netlink: datagram of %zd bytes truncated to %zu", peeked, size);
    return n;
}

}  // namespace

void netlink_read(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "netlink: read");
    uint8_t buf[recv_buffer_size];
    heap_array<uint8_t> big;
    for (;;) {
        sockaddr_nl from{};
        uint8_t *data = nullptr;
        ssize_t n = receive_datagram(cfg->netlink_fd.get(), buf, sizeof buf, big, &data, &from);
        if (n < 0)
            tlog(LOG_WARNING, "netlink: recv: %s", strerror(errno));
        if (n <= 0)
            break;
        // Any local process may send to our port; only the kernel's notifications count.
        if (from.nl_pid != 0)
            continue;
        netlink_handle_datagram(cfg, data, size_t(n));
    }
}

void netlink_handle_datagram(daemon_config *cfg, const uint8_t *data, size_t len)
{
    const_byte_span datagram(data, len);
    size_t off = 0;
    while (len - off >= nlmsg_header_size) {
        const_byte_span msg = datagram.subspan(off);
        uint32_t msg_len = host32(msg, 0);
        uint16_t type = host16(msg, 4);
        if (msg_len < nlmsg_header_size || msg_len > msg.size())
            return;
        if (type == rtm_newlink)
            handle_newlink(cfg, msg.data(), msg_len);
        size_t step = align4(msg_len);
        if (step >= msg.size())
            return;
        off += step;
    }
}

vrf_context *vrf_find_by_ifindex(daemon_config *cfg, uint32_t ifindex)
{
    for (const auto &vrf : cfg->vrfs)
        for (uint32_t i : vrf->intfs)
            if (i == ifindex)
                return vrf.get();
    return nullptr;
}

namespace {

// The value of the link's IFLA_MTU attribute, or 0 when it carries none.
uint32_t link_mtu(const_byte_span attrs)
{
    while (attrs.size() >= rtattr_header_size) {
        uint16_t attr_len = host16(attrs, 0);
        uint16_t attr_type = host16(attrs, 2);
        if (attr_len < rtattr_header_size || attr_len > attrs.size())
            return 0;
        if (attr_type == ifla_mtu)
            return attr_len >= rtattr_header_size + 4 ? host32(attrs, rtattr_header_size) : 0;
        size_t step = align4(attr_len);
        if (step >= attrs.size())
            return 0;
        attrs = attrs.subspan(step);
    }
    return 0;
}

}  // namespace

void handle_newlink(daemon_config *cfg, const uint8_t *data, size_t len)
{
    if (len < nlmsg_header_size + ifinfo_header_size)
        return;
    const_byte_span msg(data, len);
    uint32_t ifindex = host32(msg, nlmsg_header_size + 4);
    uint32_t mtu = link_mtu(msg.subspan(nlmsg_header_size + ifinfo_header_size));
    if (mtu == 0)
        return;
    tlog(LOG_DEBUG, "netlink: RTM_NEWLINK ifindex=%u mtu=%u", ifindex, mtu);

    vrf_context *vrf = vrf_find_by_ifindex(cfg, ifindex);
    if (!vrf || vrf->db.count == 0)
        return;
    if (vrf->mtu != uint16_t(mtu)) {
        tlog(LOG_INFO, "netlink: MTU %u on ifindex %u, rebuilding blobs (VRF %u)", mtu, ifindex, vrf->vrf_id);
        vrf_push(cfg, vrf, {.rebuild = true, .trigger = false, .owed = owed_after::unchanged});
    } else {
        tlog(LOG_DEBUG, "netlink: MTU %u unchanged on ifindex %u (VRF %u), skipping", mtu, ifindex, vrf->vrf_id);
    }
}

void netlink_cleanup(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "netlink: cleanup");
    cfg->netlink_fd.reset();
}
