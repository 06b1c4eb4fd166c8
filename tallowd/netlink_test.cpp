// The link MTU monitor: the walk over netlink datagrams, the rebuild decision, and real link
// notifications from veth interfaces (only inside a private network namespace).

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "test_support.h"

namespace {

using test_support::logged;
using test_support::with_prefix;

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    std::memcpy(b.data() + at, &v, 2);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    std::memcpy(b.data() + at, &v, 4);
}

struct attr {
    uint16_t type;
    std::vector<uint8_t> value;
};

attr mtu_attr(uint32_t mtu)
{
    attr a{IFLA_MTU, std::vector<uint8_t>(4)};
    std::memcpy(a.value.data(), &mtu, 4);
    return a;
}

attr name_attr(const std::string &name)
{
    return {IFLA_IFNAME, std::vector<uint8_t>(name.begin(), name.end() + 0)};
}

// One link message in host order: netlink header, link header, attributes padded to 4 bytes.
std::vector<uint8_t> link_msg(uint16_t type, int32_t ifindex, const std::vector<attr> &attrs)
{
    std::vector<uint8_t> m(32, 0);
    put16(m, 4, type);
    put32(m, 20, uint32_t(ifindex));
    for (const attr &a : attrs) {
        size_t at = m.size();
        m.resize(at + 4 + a.value.size());
        put16(m, at, uint16_t(4 + a.value.size()));
        put16(m, at + 2, a.type);
        std::memcpy(m.data() + at + 4, a.value.data(), a.value.size());
        while (m.size() % 4)
            m.push_back(0);
    }
    put32(m, 0, uint32_t(m.size()));
    return m;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>> &parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct netlink_fixture : test_support::daemon_test {
    void TearDown() override
    {
        netlink_cleanup(cfg);
        daemon_test::TearDown();
    }
    vrf_context *vrf_with(uint32_t id, const std::vector<uint32_t> &intfs, int prefixes)
    {
        vrf_context *vrf = vrf_lookup_or_create(cfg, id);
        EXPECT_EQ(vrf->intfs.resize(intfs.size()), 0);
        std::copy(intfs.begin(), intfs.end(), vrf->intfs.begin());
        for (int i = 0; i < prefixes; i++) {
            uint8_t addr[16] = {10, uint8_t(i >> 8), uint8_t(i)};
            EXPECT_EQ(add_or_update(&vrf->db, 4, addr, 24, 0, 0), 1);
        }
        return vrf;
    }
};

TEST_F(netlink_fixture, DatagramWalk)
{
    struct walk_case {
        const char *name;
        std::vector<uint8_t> datagram;
        std::vector<std::string> seen;
    };
    auto cut = [](std::vector<uint8_t> m, size_t len) {
        m.resize(len);
        return m;
    };
    auto bad_len = [](std::vector<uint8_t> m, uint32_t len) {
        put32(m, 0, len);
        return m;
    };
    std::vector<uint8_t> bad_attr = link_msg(RTM_NEWLINK, 5, {name_attr("ab"), mtu_attr(1500)});
    put16(bad_attr, 32, 2);  // attribute length below its header
    const walk_case cases[] = {
        {"three messages in order, the delete ignored",
         concat({link_msg(RTM_NEWLINK, 3, {mtu_attr(9000)}), link_msg(RTM_DELLINK, 4, {mtu_attr(1500)}),
                 link_msg(RTM_NEWLINK, 5, {name_attr("veth1"), mtu_attr(1500)})}),
         {"netlink: RTM_NEWLINK ifindex=3 mtu=9000", "netlink: RTM_NEWLINK ifindex=5 mtu=1500"}},
        {"first MTU attribute counts",
         link_msg(RTM_NEWLINK, 6, {name_attr("eth"), mtu_attr(1400), mtu_attr(1300)}),
         {"netlink: RTM_NEWLINK ifindex=6 mtu=1400"}},
        {"no MTU attribute", link_msg(RTM_NEWLINK, 7, {name_attr("x")}), {}},
        {"MTU 0", link_msg(RTM_NEWLINK, 7, {mtu_attr(0)}), {}},
        {"truncated second message ends the walk",
         concat({link_msg(RTM_NEWLINK, 8, {mtu_attr(1500)}), cut(link_msg(RTM_NEWLINK, 9, {mtu_attr(1500)}), 30)}),
         {"netlink: RTM_NEWLINK ifindex=8 mtu=1500"}},
        {"length below the header ends the walk",
         concat({bad_len(link_msg(RTM_NEWLINK, 8, {mtu_attr(1500)}), 12), link_msg(RTM_NEWLINK, 9, {mtu_attr(1500)})}),
         {}},
        {"length beyond the datagram", bad_len(link_msg(RTM_NEWLINK, 8, {mtu_attr(1500)}), 4000), {}},
        {"bad attribute ends the attribute walk", bad_attr, {}},
        {"link header cut short", cut(link_msg(RTM_NEWLINK, 8, {}), 20), {}},
        {"shorter than a header", std::vector<uint8_t>(15, 0xff), {}},
    };
    for (const auto &c : cases) {
        test_support::capture_log();
        netlink_handle_datagram(cfg, c.datagram.data(), c.datagram.size());
        EXPECT_EQ(with_prefix("netlink: RTM_NEWLINK"), c.seen) << c.name;
    }
}

TEST_F(netlink_fixture, FindByIfindexTakesTheFirstVrf)
{
    vrf_context *a = vrf_with(1, {4, 5}, 0);
    vrf_context *b = vrf_with(2, {5, 6}, 0);
    EXPECT_EQ(vrf_find_by_ifindex(cfg, 5), a);
    EXPECT_EQ(vrf_find_by_ifindex(cfg, 6), b);
    EXPECT_EQ(vrf_find_by_ifindex(cfg, 7), nullptr);
}

TEST_F(netlink_fixture, RebuildDecision)
{
    // Interfaces that do not exist: the rebuild falls back to the default MTU, and nothing is pushed
    // while lldpd is not connected.
    vrf_context *full = vrf_with(7, {9001, 9002}, 1);
    vrf_with(8, {9003}, 0);
    auto newlink = [&](int32_t ifindex, uint32_t mtu) {
        test_support::capture_log();
        auto m = link_msg(RTM_NEWLINK, ifindex, {mtu_attr(mtu)});
        netlink_handle_datagram(cfg, m.data(), m.size());
        return with_prefix("netlink: MTU");
    };
    full->mtu = 9000;
    EXPECT_EQ(newlink(9002, 9000), std::vector<std::string>{"netlink: MTU 9000 unchanged on ifindex 9002 (VRF 7), skipping"});
    EXPECT_EQ(newlink(9001, 1500), std::vector<std::string>{"netlink: MTU 1500 on ifindex 9001, rebuilding blobs (VRF 7)"});
    EXPECT_EQ(full->mtu, default_mtu) << "rebuilt from the interfaces' MTUs as read now";
    EXPECT_GE(full->blobs.blob_count, 1);
    // Compared as 16 bits: 65536 + 9216 matches the chosen 9216.
    EXPECT_EQ(newlink(9001, 65536 + 9216),
              std::vector<std::string>{"netlink: MTU 74752 unchanged on ifindex 9001 (VRF 7), skipping"});
    EXPECT_TRUE(newlink(9003, 1500).empty()) << "VRF without prefixes";
    EXPECT_TRUE(newlink(9100, 1500).empty()) << "interface of no VRF";
    for (const auto &l : logged)
        EXPECT_EQ(l.find("lldp: pushed"), std::string::npos) << l;
}

bool private_netns()
{
    // Only loopback: a fresh network namespace (the CTest run goes through tests/in_sandbox.sh).
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/sys/class/net")) {
        (void)e;
        n++;
    }
    return n == 1 && std::filesystem::exists("/sys/class/net/lo");
}

bool sh(const std::string &cmd)
{
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Reads link notifications until the line has been logged or two seconds have passed.
bool read_until(daemon_config *cfg, const std::string &line)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        for (const auto &l : logged)
            if (l == line)
                return true;
        pollfd p{cfg->netlink_fd.get(), POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            netlink_read(cfg);
    }
    return false;
}

TEST_F(netlink_fixture, VethMtuDropRebuildsForTheSmallerMtu)
{
    if (!private_netns())
        GTEST_SKIP() << "needs a private network namespace (run through tests/in_sandbox.sh)";
    ASSERT_EQ(netlink_init(cfg), 0);
    ASSERT_TRUE(sh("ip link add nlt0 mtu 9000 type veth peer name nlt1 mtu 9000"));
    ASSERT_TRUE(sh("ip link set nlt0 up && ip link set nlt1 up"));
    uint32_t a = if_nametoindex("nlt0"), b = if_nametoindex("nlt1");
    // 300 prefixes fit one frame at MTU 9000 but not at 1500.
    vrf_context *vrf = vrf_with(7, {a, b}, 300);
    build_blobs(vrf, default_mtu);
    ASSERT_EQ(vrf->mtu, 9000);
    ASSERT_EQ(vrf->blobs.blob_count, 1);
    netlink_read(cfg);  // the notifications of the set-up: MTU 9000 is what the frames were built for

    test_support::capture_log();
    ASSERT_TRUE(sh("ip link set nlt1 mtu 1500"));
    std::string rebuild = "netlink: MTU 1500 on ifindex " + std::to_string(b) + ", rebuilding blobs (VRF 7)";
    ASSERT_TRUE(read_until(cfg, rebuild));
    EXPECT_EQ(vrf->mtu, 1500);
    ASSERT_GT(vrf->blobs.blob_count, 1);
    for (uint16_t i = 0; i < vrf->blobs.blob_count; i++)
        EXPECT_LE(vrf->blobs.slots[i].len, 1500 - 60);

    // A further notification of the 1500 interface is "unchanged"; one of the 9000 interface rebuilds
    // to the same result.
    test_support::capture_log();
    ASSERT_TRUE(sh("ip link set nlt1 mtu 1500 txqueuelen 500"));
    ASSERT_TRUE(read_until(cfg, "netlink: MTU 1500 unchanged on ifindex " + std::to_string(b) + " (VRF 7), skipping"));
    test_support::capture_log();
    ASSERT_TRUE(sh("ip link set nlt0 txqueuelen 600"));
    ASSERT_TRUE(read_until(cfg, "netlink: MTU 9000 on ifindex " + std::to_string(a) + ", rebuilding blobs (VRF 7)"));
    EXPECT_EQ(vrf->mtu, 1500);
    sh("ip link del nlt0");
}

TEST_F(netlink_fixture, MessagesFromOtherProcessesAreIgnored)
{
    if (!private_netns())
        GTEST_SKIP() << "needs a private network namespace (run through tests/in_sandbox.sh)";
    ASSERT_EQ(netlink_init(cfg), 0);
    sockaddr_nl self{};
    socklen_t len = sizeof self;
    ASSERT_EQ(getsockname(cfg->netlink_fd.get(), reinterpret_cast<sockaddr *>(&self), &len), 0);
    unique_fd forger(socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE));
    ASSERT_TRUE(forger.valid());
    auto m = link_msg(RTM_NEWLINK, 1, {mtu_attr(1280)});
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = self.nl_pid;
    ASSERT_EQ(sendto(forger.get(), m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(m.size()));
    pollfd p{cfg->netlink_fd.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    test_support::capture_log();
    netlink_read(cfg);
    EXPECT_TRUE(with_prefix("netlink: RTM_NEWLINK").empty());
    EXPECT_EQ(with_prefix("netlink: read").size(), 1u);
}

}  // namespace
