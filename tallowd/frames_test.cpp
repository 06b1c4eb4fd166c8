// Proxy frame builder: exact bytes of every kind of blob, slot sizing and reuse, MTU reading from
// files and from real interfaces.

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "test_support.h"

namespace {

using bytes = std::vector<uint8_t>;
using test_support::lines_with;
using test_support::v4;
using test_support::v6;

bytes blob_bytes(const blob_set &set, unsigned i)
{
    const uint8_t *p = set.slots[i].data.data();
    return bytes(p, p + set.slots[i].len);
}

bytes concat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes control(uint8_t flags)
{
    return {0xFE, 0x05, 0x5A, 0x3C, 0x71, 0x00, flags};
}

bytes v4_tlv(uint8_t plen, bool w, std::initializer_list<uint8_t> addr)
{
    bytes b{0xFE, 0x0B, 0x5A, 0x3C, 0x71, 0x01, plen, 0x00, uint8_t(w ? 0x80 : 0)};
    for (uint8_t x : addr)
        b.push_back(x);
    return b;
}

bytes v6_tlv(uint8_t plen, bool w, const uint8_t *addr)
{
    bytes b{0xFE, 0x17, 0x5A, 0x3C, 0x71, 0x02, plen, 0x00, uint8_t(w ? 0x80 : 0)};
    for (int i = 0; i < 16; i++)
        b.push_back(addr[i]);
    return b;
}

// One prefix as a peer decodes it from a blob.
struct decoded {
    uint8_t afi, plen, w;
    bytes addr;
    bool operator==(const decoded &) const = default;
};

// Decodes a periodic set as a receiver would, checking framing on the way.
std::vector<decoded> decode_set(const blob_set &set, size_t max_len)
{
    std::vector<decoded> out;
    for (unsigned i = 0; i < set.blob_count; i++) {
        bytes b = blob_bytes(set, i);
        EXPECT_LE(b.size(), max_len) << "blob " << i;
        EXPECT_GE(b.size(), 7u);
        const bytes head = control(0);
        EXPECT_TRUE(std::equal(head.begin(), head.begin() + 6, b.begin()));
        uint8_t want_flags = uint8_t((i == 0 ? 0x80 : 0) | (i + 1 < set.blob_count ? 0x40 : 0) | 0x01);
        EXPECT_EQ(b[6], want_flags) << "blob " << i << " of " << set.blob_count;
        size_t off = 7;
        while (off < b.size()) {
            size_t len = size_t((b[off] & 1) << 8 | b[off + 1]);
            EXPECT_EQ(b[off] >> 1, 127);
            EXPECT_LE(off + 2 + len, b.size());
            uint8_t sub = b[off + 5];
            decoded d{uint8_t(sub == 1 ? 4 : 6), b[off + 6], uint8_t(b[off + 8] == 0x80), {}};
            d.addr.assign(b.begin() + long(off) + 9, b.begin() + long(off + 2 + len));
            out.push_back(d);
            off += 2 + len;
        }
        EXPECT_EQ(off, b.size());
    }
    return out;
}

std::vector<decoded> expected_walk(const prefix_db &db)
{
    std::vector<decoded> out;
    for (const prefix_entry *e = db.head(); e; e = db.next(e))
        out.push_back({e->afi, e->plen, e->w, bytes(e->addr, e->addr + (e->afi == 4 ? 4 : 16))});
    return out;
}

class FramesTest : public ::testing::Test {
protected:
    daemon_config cfg;
    vrf_context vrf;

    void SetUp() override
    {
        test_support::capture_log();
        cfg.limit.max = 200000;
        active_cfg.store(&cfg);
        vrf.db.limit = &cfg.limit;
        vrf.vrf_id = 5;
    }
    void TearDown() override
    {
        clear(&vrf.db);
        blobs_free(&vrf.blobs);
        active_cfg.store(nullptr);
        log_hook = nullptr;
    }
    void add4(uint32_t i, uint8_t plen = 32, uint8_t w = 0)
    {
        ASSERT_EQ(add_or_update(&vrf.db, 4, v4(i).data(), plen, w, 0), 1);
    }
    void add6(uint32_t i, uint8_t plen = 128, uint8_t w = 0)
    {
        ASSERT_EQ(add_or_update(&vrf.db, 6, v6(i).data(), plen, w, 0), 1);
    }
    void set_intfs(std::initializer_list<uint32_t> ifindexes) { test_support::set_intfs(vrf, ifindexes); }
};

TEST_F(FramesTest, EmptyDatabaseGivesOneControlBlob)
{
    vrf.mtu = 1234;
    EXPECT_EQ(build_blobs(&vrf, 9216), 1);
    ASSERT_EQ(vrf.blobs.blob_count, 1);
    EXPECT_EQ(blob_bytes(vrf.blobs, 0), (bytes{0xFE, 0x05, 0x5A, 0x3C, 0x71, 0x00, 0x81}));
    EXPECT_EQ(vrf.mtu, 1234);
}

TEST_F(FramesTest, DefaultsOnlyBlob)
{
    uint8_t zero[16] = {};
    ASSERT_EQ(add_or_update(&vrf.db, 4, zero, 0, 0, 0), 1);
    ASSERT_EQ(add_or_update(&vrf.db, 6, zero, 0, 1, 0), 1);
    vrf.mtu = 1500;
    EXPECT_EQ(build_blobs(&vrf, 9216), 1);
    ASSERT_EQ(vrf.blobs.blob_count, 1);
    EXPECT_EQ(blob_bytes(vrf.blobs, 0), concat({control(0x80), v4_tlv(0, false, {0, 0, 0, 0}), v6_tlv(0, true, zero)}));
    EXPECT_EQ(vrf.blobs.slots[0].len, 45);
    EXPECT_EQ(vrf.mtu, 1500);
}

TEST_F(FramesTest, HostBitsAreSentAsStored)
{
    uint8_t a[16] = {10, 1, 2, 7};
    ASSERT_EQ(add_or_update(&vrf.db, 4, a, 24, 1, 0), 1);
    EXPECT_EQ(build_blobs(&vrf, 9216), 1);
    EXPECT_EQ(blob_bytes(vrf.blobs, 0), concat({control(0x81), v4_tlv(24, true, {10, 1, 2, 7})}));
    EXPECT_EQ(vrf.mtu, 9216);
}

// Slot count and filling at the smallest MTU: 19 IPv6 prefixes per blob and nothing left out.
TEST_F(FramesTest, SmallMtuPlacesEveryIpv6Prefix)
{
    for (uint32_t i = 0; i < 10000; i++)
        add6(i);
    EXPECT_EQ(build_blobs(&vrf, 552), 527);
    EXPECT_EQ(vrf.blobs.blob_count, 527);
    EXPECT_EQ(vrf.blobs.slot_size, 492);
    for (unsigned i = 0; i + 1 < 527; i++)
        ASSERT_EQ(vrf.blobs.slots[i].len, 7 + 19 * 25) << i;
    EXPECT_EQ(vrf.blobs.slots[526].len, 7 + (10000 - 526 * 19) * 25);
    EXPECT_EQ(decode_set(vrf.blobs, 492), expected_walk(vrf.db));
    EXPECT_EQ(lines_with("ran out of frame slots"), 0u);
}

// Any mix of families at any MTU: every prefix once, in insertion order, blobs within the MTU and
// flags FIRST / MORE / PERIODIC right, with no slot left unused at the end.
class FrameMix : public FramesTest, public ::testing::WithParamInterface<std::tuple<uint16_t, int>> {};

TEST_P(FrameMix, EveryPrefixInOrder)
{
    auto [mtu, pattern] = GetParam();
    std::mt19937 rng(unsigned(mtu) * 7 + unsigned(pattern));
    for (uint32_t i = 0; i < 6000; i++) {
        bool six = pattern == 0 ? rng() % 2 : pattern == 1 ? (i % 28 != 27) : (i % 2);
        uint8_t w = uint8_t(rng() % 2);
        if (six)
            add6(i, 128, w);
        else
            add4(i, 32, w);
    }
    int n = build_blobs(&vrf, mtu);
    ASSERT_GT(n, 0);
    EXPECT_EQ(decode_set(vrf.blobs, size_t(mtu) - 60), expected_walk(vrf.db));
    EXPECT_LE(vrf.blobs.blob_count, vrf.blobs.slot_capacity);
}

INSTANTIATE_TEST_SUITE_P(Mtus, FrameMix,
                         ::testing::Combine(::testing::Values(uint16_t(552), uint16_t(553), uint16_t(1500),
                                                              uint16_t(9216)),
                                            ::testing::Values(0, 1, 2)));

TEST_F(FramesTest, SlotsAreReusedWithoutReallocation)
{
    for (uint32_t i = 0; i < 3000; i++)
        add6(i);
    ASSERT_GT(build_blobs(&vrf, 1500), 1);
    uint16_t cap = vrf.blobs.slot_capacity;
    const blob *slots = vrf.blobs.slots.data();
    std::vector<const uint8_t *> data;
    for (unsigned i = 0; i < cap; i++)
        data.push_back(vrf.blobs.slots[i].data.data());
    for (uint32_t i = 0; i < 1000; i++)
        ASSERT_EQ(remove(&vrf.db, 6, v6(i).data(), 128), 0);
    ASSERT_GT(build_blobs(&vrf, 1500), 1);
    EXPECT_EQ(vrf.blobs.slot_capacity, cap);
    EXPECT_EQ(vrf.blobs.slots.data(), slots);
    for (unsigned i = 0; i < cap; i++)
        EXPECT_EQ(vrf.blobs.slots[i].data.data(), data[i]);
    EXPECT_EQ(decode_set(vrf.blobs, 1440), expected_walk(vrf.db));
    clear(&vrf.db);
    EXPECT_EQ(build_blobs(&vrf, 1500), 1);
    EXPECT_EQ(vrf.blobs.slots.data(), slots);
    EXPECT_EQ(blob_bytes(vrf.blobs, 0), control(0x81));
}

TEST_F(FramesTest, ImmediateBlobs)
{
    heap_array<uint8_t> out;
    uint16_t len = 0;
    ASSERT_EQ(build_immediate({}, out, len), 0);
    EXPECT_EQ(bytes(out.data(), out.data() + len), control(0x80));

    std::vector<prefix_entry> refs(500);
    for (unsigned i = 0; i < refs.size(); i++) {
        refs[i].afi = i == 0 ? 4 : 6;
        refs[i].plen = uint8_t(i % 129);
        refs[i].w = uint8_t(i % 2);
        refs[i].addr[0] = uint8_t(i);
    }
    ASSERT_EQ(build_immediate(std::span(refs.data(), 2), out, len), 0);
    EXPECT_EQ(bytes(out.data(), out.data() + len),
              concat({control(0x80), v4_tlv(0, false, {0, 0, 0, 0}), v6_tlv(1, true, refs[1].addr)}));
    refs[0].afi = 6;
    ASSERT_EQ(build_immediate(refs, out, len), 0);
    EXPECT_EQ(len, 12507);  // no MTU applies to an immediate blob

    // A blob whose length does not fit its 16-bit length is refused, not truncated.
    std::vector<prefix_entry> many(2700, refs[1]);
    len = 0;
    EXPECT_EQ(build_immediate(many, out, len), -1);
    EXPECT_EQ(len, 0);
}

class MtuFiles : public ::testing::Test {
protected:
    std::filesystem::path root;
    std::string lo_name;
    unsigned lo_index = 0;

    void SetUp() override
    {
        char tmpl[] = "/tmp/tallowd-mtu-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        lo_index = if_nametoindex("lo");
        ASSERT_NE(lo_index, 0u);
        std::filesystem::create_directory(root / "lo");
    }
    void TearDown() override { std::filesystem::remove_all(root); }
    void write(const std::string &text) { std::ofstream(root / "lo" / "mtu") << text; }
};

TEST_F(MtuFiles, ReadsAndClampsTheNumber)
{
    struct {
        const char *text;
        uint16_t mtu;
    } cases[] = {{"1500\n", 1500},  {"9216\n", 9216}, {"9217\n", 9216}, {"65000\n", 9216},
                 {"65536\n", 9216}, {"4294967297\n", 9216}, {"99999999999999999999999\n", 9216},
                 {"552", 552},      {"abc\n", 0},     {"\n", 0},         {"", 0},
                 {"-1500\n", 0},    {"0\n", 0},       {"1500abc", 1500}};
    for (const auto &c : cases) {
        write(c.text);
        EXPECT_EQ(read_mtu(lo_index, root.c_str()), c.mtu) << '"' << c.text << '"';
    }
    std::filesystem::remove(root / "lo" / "mtu");
    EXPECT_EQ(read_mtu(lo_index, root.c_str()), 0);
    EXPECT_EQ(read_mtu(0x7FFFFFF0u, root.c_str()), 0);  // no such interface
}

// Real interfaces: only inside a private network namespace, which holds nothing but lo at first.
class VethTest : public FramesTest {
protected:
    std::vector<std::string> created;

    void SetUp() override
    {
        FramesTest::SetUp();
        struct if_nameindex *list = if_nameindex();
        ASSERT_NE(list, nullptr);
        bool foreign = false;
        for (struct if_nameindex *i = list; i->if_index; i++)
            foreign |= std::string(i->if_name) != "lo" && std::string(i->if_name).rfind("tdbv", 0) != 0;
        if_freenameindex(list);
        if (foreign)
            GTEST_SKIP() << "not in a private network namespace (run through tests/in_sandbox.sh)";
    }
    void TearDown() override
    {
        for (const std::string &name : created)
            if (std::system(("ip link del " + name + " 2>/dev/null").c_str()) != 0) {
                // already gone with its peer or by the test itself
            }
        FramesTest::TearDown();
    }
    uint32_t veth(const std::string &name, unsigned mtu)
    {
        std::string cmd = "ip link add " + name + " mtu " + std::to_string(mtu) + " type veth peer name " + name +
                          "p mtu " + std::to_string(mtu);
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        created.push_back(name);
        return if_nametoindex(name.c_str());
    }
};

TEST_F(VethTest, MismatchUsesSmallestMtu)
{
    uint32_t a = veth("tdbv0", 1500), b = veth("tdbv1", 9000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(read_mtu(a), 1500);
    EXPECT_EQ(read_mtu(b), 9000);
    set_intfs({b, 0x7FFFFFF0u, a});
    for (uint32_t i = 0; i < 110; i++)
        add4(i);
    EXPECT_EQ(build_blobs(&vrf, 9216), 1);
    EXPECT_EQ(lines_with("frag: MTU mismatch in VRF 5 (min=1500 max=9000), using min", LOG_ERR), 1u);
    EXPECT_EQ(vrf.mtu, 1500);
    EXPECT_EQ(vrf.blobs.slot_size, 1440);
    EXPECT_EQ(vrf.blobs.slots[0].len, 1437);
    EXPECT_EQ(vrf.blobs.slots[0].data.data()[6], 0x81);

    add4(110);
    EXPECT_EQ(build_blobs(&vrf, 9216), 2);
    EXPECT_EQ(vrf.blobs.slots[0].len, 1437);
    EXPECT_EQ(vrf.blobs.slots[0].data.data()[6], 0xC1);
    EXPECT_EQ(blob_bytes(vrf.blobs, 1), concat({control(0x01), v4_tlv(32, false, {10, 0, 0, 110})}));
}

TEST_F(VethTest, TooSmallMtuFallsBackToDefault)
{
    uint32_t a = veth("tdbv2", 500);
    ASSERT_TRUE(a);
    set_intfs({a});
    add6(1);
    EXPECT_EQ(build_blobs(&vrf, 9216), 1);
    EXPECT_EQ(lines_with("frag: MTU 500 below min 552 for VRF 5, using default 9216", LOG_WARNING), 1u);
    EXPECT_EQ(vrf.mtu, 9216);
    EXPECT_EQ(vrf.blobs.slot_size, 9156);
    // With only unreadable interfaces the default applies silently; a default below the minimum is clamped.
    set_intfs({0x7FFFFFF0u});
    test_support::capture_log();
    EXPECT_EQ(build_blobs(&vrf, 300), 1);
    EXPECT_EQ(vrf.mtu, 300);
    EXPECT_EQ(lines_with("frag: mtu 300 below minimum 552, clamping", LOG_WARNING), 1u);
    EXPECT_EQ(lines_with("mismatch"), 0u);
}

}  // namespace
