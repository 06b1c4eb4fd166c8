// Link MTU monitor: listens to the kernel's link notifications and rebuilds and re-pushes a VRF's
// frames when one of its interfaces reports an MTU other than the one the frames were built for.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "tallowd.h"

namespace {

constexpr size_t recv_buffer_size = 32768;
constexpr size_t nlmsg_header_size = 16;
constexpr size_t ifinfo_header_size = 16;
constexpr size_t rtattr_header_size = 4;
constexpr uint16_t rtm_newlink = 16;
constexpr uint16_t ifla_mtu = 4;

// Netlink messages are in host byte order; fields are read by copy, never through casts of the
// (possibly unaligned) buffer.
uint16_t get_host16(const uint8_t *p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t get_host32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
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
ssize_t receive_datagram(int fd, uint8_t *buf, size_t size, std::unique_ptr<uint8_t[]> &big, uint8_t **data,
                         sockaddr_nl *from)
{
    ssize_t peeked = recv(fd, buf, size, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
    if (peeked < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    *data = buf;
    if (size_t(peeked) > size) {
        big.reset(new (std::nothrow) uint8_t[size_t(peeked)]);
        if (big) {
            *data = big.get();
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
    std::unique_ptr<uint8_t[]> big;
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
    size_t off = 0;
    while (len - off >= nlmsg_header_size) {
        const uint8_t *msg = data + off;
        uint32_t msg_len = get_host32(msg);
        uint16_t type = get_host16(msg + 4);
        if (msg_len < nlmsg_header_size || msg_len > len - off)
            return;
        if (type == rtm_newlink)
            handle_newlink(cfg, msg, msg_len);
        size_t step = align4(msg_len);
        if (step >= len - off)
            return;
        off += step;
    }
}

vrf_context *vrf_find_by_ifindex(daemon_config *cfg, uint32_t ifindex)
{
    for (const auto &vrf : cfg->vrfs) {
        const uint32_t *intfs = vrf->intfs.get();
        for (uint16_t i = 0; i < vrf->intf_count; i++)
            if (intfs[i] == ifindex)
                return vrf.get();
    }
    return nullptr;
}

void handle_newlink(daemon_config *cfg, const uint8_t *msg, size_t len)
{
    if (len < nlmsg_header_size + ifinfo_header_size)
        return;
    uint32_t ifindex = get_host32(msg + nlmsg_header_size + 4);
    uint32_t mtu = 0;
    const uint8_t *attrs = msg + nlmsg_header_size + ifinfo_header_size;
    size_t remaining = len - nlmsg_header_size - ifinfo_header_size;
    while (remaining >= rtattr_header_size) {
        uint16_t attr_len = get_host16(attrs);
        uint16_t attr_type = get_host16(attrs + 2);
        if (attr_len < rtattr_header_size || attr_len > remaining)
            break;
        if (attr_type == ifla_mtu) {
            if (attr_len >= rtattr_header_size + 4)
                mtu = get_host32(attrs + rtattr_header_size);
            break;
        }
        size_t step = align4(attr_len);
        if (step >= remaining)
            break;
        attrs += step;
        remaining -= step;
    }
    if (mtu == 0)
        return;
    tlog(LOG_DEBUG, "netlink: RTM_NEWLINK ifindex=%u mtu=%u", ifindex, mtu);

    vrf_context *vrf = vrf_find_by_ifindex(cfg, ifindex);
    if (!vrf || vrf->db.count == 0)
        return;
    if (vrf->mtu != uint16_t(mtu)) {
        tlog(LOG_INFO, "netlink: MTU %u on ifindex %u, rebuilding blobs (VRF %u)", mtu, ifindex, vrf->vrf_id);
        build_blobs(vrf, default_mtu);
        if (cfg->lldpd_connected)
            tallowd_lldp_push_periodic(cfg, vrf, false);
    } else {
        tlog(LOG_DEBUG, "netlink: MTU %u unchanged on ifindex %u (VRF %u), skipping", mtu, ifindex, vrf->vrf_id);
    }
}

void netlink_cleanup(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "netlink: cleanup");
    cfg->netlink_fd.reset();
}
