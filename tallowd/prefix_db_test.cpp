// Prefix database and VRF contexts: key identity, results, the global limit, walks and removal.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "test_support.h"

namespace {

using addr_bytes = std::array<uint8_t, 16>;

std::array<uint8_t, 16> addr_of(const char *text)
{
    std::array<uint8_t, 16> a{};
    if (inet_pton(AF_INET, text, a.data()) != 1) {
        EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    }
    return a;
}

addr_bytes addr_v6(uint32_t i)
{
    return test_support::v6(i);
}

addr_bytes addr_v4(uint32_t i)
{
    return test_support::v4(i);
}

class DbTest : public ::testing::Test {
protected:
    daemon_config cfg;
    prefix_db db;

    void SetUp() override
    {
        test_support::capture_log();
        active_cfg.store(&cfg);
    }
    void TearDown() override
    {
        clear(&db);
        vrf_remove_all(&cfg);
        active_cfg.store(nullptr);
        log_hook = nullptr;
    }

    int add(const char *text, uint8_t plen, uint8_t w = 0, uint32_t epoch = 0, prefix_db *d = nullptr)
    {
        auto a = addr_of(text);
        return add_or_update(d ? d : &db, std::strchr(text, ':') ? 6 : 4, a.data(), plen, w, epoch);
    }
    prefix_entry *find(const char *text, uint8_t plen)
    {
        auto a = addr_of(text);
        return lookup(&db, std::strchr(text, ':') ? 6 : 4, a.data(), plen);
    }
    size_t lines_with(const std::string &text, int prio) const { return test_support::lines_with(text, prio); }
    std::vector<std::string> walk(const prefix_db &d) const
    {
        std::vector<std::string> out;
        for (const prefix_entry *e = d.first; e; e = e->list_next) {
            char buf[64];
            inet_ntop(e->afi == 4 ? AF_INET : AF_INET6, e->addr, buf, sizeof buf);
            out.push_back(std::string(buf) + "/" + std::to_string(e->plen));
        }
        return out;
    }
};

struct identity_case {
    const char *a;
    uint8_t plen_a;
    const char *b;
    uint8_t plen_b;
    bool same;
};

class KeyIdentity : public DbTest, public ::testing::WithParamInterface<identity_case> {};

TEST_P(KeyIdentity, SecondAddMatchesOrNot)
{
    const identity_case &c = GetParam();
    EXPECT_EQ(add(c.a, c.plen_a), 1);
    EXPECT_EQ(add(c.b, c.plen_b), c.same ? -2 : 1);
    EXPECT_EQ(db.count, c.same ? 1u : 2u);
    EXPECT_EQ(find(c.b, c.plen_b) == find(c.a, c.plen_a), c.same);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyIdentity,
    ::testing::Values(identity_case{"10.1.2.0", 24, "10.1.2.7", 24, true},      // only three bytes compared
                      identity_case{"10.1.2.0", 25, "10.1.2.128", 25, false},   // the /25 halves
                      identity_case{"10.1.2.0", 23, "10.1.3.0", 23, false},     // bits past plen in the last byte count
                      identity_case{"10.1.2.0", 24, "10.1.2.0", 25, false},     // length is part of the key
                      identity_case{"0.0.0.0", 0, "10.9.9.9", 0, true},         // one IPv4 default
                      identity_case{"::", 0, "2001:db8::1", 0, true},           // one IPv6 default
                      identity_case{"0.0.0.0", 0, "::", 0, false},              // families differ
                      identity_case{"10.0.0.0", 8, "::a00:0", 8, false},        // same bytes, other family
                      identity_case{"2001:db8:1:2::", 64, "2001:db8:1:2:ff::", 64, true},
                      identity_case{"2001:db8:1:2::", 65, "2001:db8:1:2:8000::", 65, false},
                      identity_case{"2001:db8::1", 128, "2001:db8::2", 128, false},
                      identity_case{"10.1.2.3", 32, "10.1.2.4", 32, false}));

TEST_F(DbTest, AddOrUpdateResults)
{
    EXPECT_EQ(add("10.1.2.7", 24, 0, 3), 1);
    prefix_entry *e = find("10.1.2.0", 24);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->addr[3], 7) << "host bits are stored as given";
    EXPECT_EQ(add("10.1.2.0", 24, 0, 4), -2);
    EXPECT_EQ(e->epoch, 4u);
    EXPECT_EQ(e->addr[3], 7) << "a refresh keeps the first address";
    EXPECT_EQ(add("10.1.2.0", 24, 1, 5), 0);
    EXPECT_EQ(e->w, 1);
    EXPECT_EQ(e->epoch, 5u);
    EXPECT_EQ(add("10.1.2.0", 24, 1, 5), -2);
    EXPECT_EQ(add("10.1.2.0", 24, 0, 5), 0);
    EXPECT_EQ(cfg.global_prefix_count, 1u);

    cfg.max_prefix_limit = 1;
    EXPECT_EQ(add("10.1.3.0", 24), -1);
    EXPECT_EQ(lines_with("db: prefix limit 1 reached (max-unreachable-prefix=1), dropping new entry", LOG_ERR), 1u);
    EXPECT_EQ(db.count, 1u);
}

TEST_F(DbTest, LimitCountsOverAllDatabasesAndStillRefreshes)
{
    cfg.max_prefix_limit = 10;
    prefix_db other;
    for (uint32_t i = 0; i < 10; i++) {
        auto a = addr_v4(i);
        ASSERT_EQ(add_or_update(i % 2 ? &other : &db, 4, a.data(), 32, 0, 0), 1);
    }
    EXPECT_EQ(cfg.global_prefix_count, 10u);
    auto a = addr_v4(100);
    EXPECT_EQ(add_or_update(&other, 4, a.data(), 32, 0, 0), -1);
    EXPECT_EQ(add_or_update(&db, 6, a.data(), 0, 0, 0), -1);
    EXPECT_EQ(lines_with("db: prefix limit 10 reached (max-unreachable-prefix=10), dropping new entry", LOG_ERR), 2u);
    auto old = addr_v4(1);
    EXPECT_EQ(add_or_update(&other, 4, old.data(), 32, 1, 7), 0);
    EXPECT_EQ(add_or_update(&other, 4, old.data(), 32, 1, 8), -2);
    EXPECT_EQ(lookup(&other, 4, old.data(), 32)->epoch, 8u);

    clear(&other);
    EXPECT_EQ(cfg.global_prefix_count, 5u);
    cfg.max_prefix_limit = 0;
    EXPECT_EQ(add_or_update(&other, 4, a.data(), 32, 0, 0), -1);
}

TEST_F(DbTest, NoContextMeansNoLimitAndNoGlobalCount)
{
    active_cfg.store(nullptr);
    cfg.max_prefix_limit = 0;
    EXPECT_EQ(add("10.0.0.0", 8), 1);
    EXPECT_EQ(remove(&db, 4, addr_of("10.0.0.0").data(), 8), 0);
    EXPECT_EQ(cfg.global_prefix_count, 0u);
}

TEST_F(DbTest, EightyPercentWarningOnce)
{
    cfg.max_prefix_limit = 25000;
    for (uint32_t i = 0; i < 19999; i++) {
        auto a = addr_v6(i);
        ASSERT_EQ(add_or_update(&db, 6, a.data(), 64, 0, 0), 1);
    }
    EXPECT_EQ(lines_with("exceeds 80%", LOG_WARNING), 0u);
    auto a = addr_v6(19999);
    ASSERT_EQ(add_or_update(&db, 6, a.data(), 64, 0, 0), 1);
    EXPECT_EQ(lines_with("db: global prefix count 20000 exceeds 80% of limit 25000", LOG_WARNING), 1u);
    EXPECT_TRUE(cfg.limit_warned);
    // Dropping below and climbing again does not warn again.
    for (uint32_t i = 0; i < 100; i++)
        ASSERT_EQ(remove(&db, 6, addr_v6(i).data(), 64), 0);
    for (uint32_t i = 0; i < 200; i++)
        ASSERT_GE(add_or_update(&db, 6, addr_v6(i).data(), 64, 0, 0), -2);
    EXPECT_EQ(lines_with("exceeds 80%", LOG_WARNING), 1u);
    EXPECT_EQ(cfg.global_prefix_count, 20000u);
}

TEST_F(DbTest, SweepByEpochKeepsWithdrawnAndCurrent)
{
    for (uint32_t epoch = 0; epoch < 8; epoch++) {
        ASSERT_EQ(add_or_update(&db, 4, addr_v4(epoch).data(), 32, 0, epoch), 1);
        ASSERT_EQ(add_or_update(&db, 4, addr_v4(100 + epoch).data(), 32, 1, epoch), 1);
    }
    EXPECT_EQ(sweep_stale(&db, 5), 5);
    EXPECT_EQ(lines_with("db: sweep removed 5 stale (epoch < 5)", LOG_INFO), 1u);
    EXPECT_EQ(db.count, 11u);
    EXPECT_EQ(cfg.global_prefix_count, 11u);
    std::vector<std::string> want;
    for (uint32_t epoch = 0; epoch < 8; epoch++) {
        if (epoch >= 5)
            want.push_back("10.0.0." + std::to_string(epoch) + "/32");
        want.push_back("10.0.0." + std::to_string(100 + epoch) + "/32");
    }
    EXPECT_EQ(walk(db), want);
    for (uint32_t epoch = 0; epoch < 5; epoch++)
        EXPECT_EQ(lookup(&db, 4, addr_v4(epoch).data(), 32), nullptr);
    test_support::capture_log();
    EXPECT_EQ(sweep_stale(&db, 5), 0);
    EXPECT_EQ(lines_with("sweep removed", LOG_INFO), 0u);
}

TEST_F(DbTest, RemoveNonDefaultsKeepsBothDefaults)
{
    ASSERT_EQ(add("0.0.0.0", 0), 1);
    for (uint32_t i = 0; i < 100; i++) {
        ASSERT_EQ(add_or_update(&db, i % 2 ? 6 : 4, (i % 2 ? addr_v6(i) : addr_v4(i)).data(), i % 2 ? 64 : 32, 0, 0), 1);
        if (i == 50) {
            ASSERT_EQ(add("::", 0, 1), 1);
        }
    }
    EXPECT_FALSE(only_defaults(&db));
    EXPECT_EQ(remove_non_defaults(&db), 100);
    EXPECT_EQ(lines_with("db: removed 100 non-default entries (disconnect cleanup)", LOG_INFO), 1u);
    EXPECT_EQ(walk(db), (std::vector<std::string>{"0.0.0.0/0", "::/0"}));
    EXPECT_TRUE(only_defaults(&db));
    EXPECT_EQ(cfg.global_prefix_count, 2u);
    EXPECT_EQ(remove_non_defaults(&db), 0);
    prefix_db empty;
    EXPECT_FALSE(only_defaults(&empty));
}

TEST_F(DbTest, ClearFloorsGlobalCount)
{
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(add_or_update(&db, 4, addr_v4(i).data(), 32, 0, 0), 1);
    cfg.global_prefix_count = 3;
    clear(&db);
    EXPECT_EQ(cfg.global_prefix_count, 0u);
    EXPECT_EQ(db.count, 0u);
    EXPECT_EQ(db.first, nullptr);
    EXPECT_EQ(lookup(&db, 4, addr_v4(1).data(), 32), nullptr);
    // Removing from an empty or a fresh database is refused and leaves the count alone.
    EXPECT_EQ(remove(&db, 4, addr_v4(1).data(), 32), -1);
    ASSERT_EQ(add_or_update(&db, 4, addr_v4(1).data(), 32, 0, 0), 1);
    cfg.global_prefix_count = 0;
    EXPECT_EQ(remove(&db, 4, addr_v4(1).data(), 32), 0);
    EXPECT_EQ(cfg.global_prefix_count, 0u);
}

// Many entries through the table's growth, removals from everywhere in the list and re-use of
// freed entries: the walk keeps first-insertion order and every key stays findable.
TEST_F(DbTest, InsertionOrderSurvivesRemovalsAndGrowth)
{
    cfg.max_prefix_limit = 200000;
    constexpr uint32_t n = 5000;
    for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(add_or_update(&db, i % 2 ? 6 : 4, (i % 2 ? addr_v6(i) : addr_v4(i)).data(), i % 2 ? 128 : 32, 0, i), 1);
    std::vector<uint32_t> expect;
    for (uint32_t i = 0; i < n; i++) {
        auto a = i % 2 ? addr_v6(i) : addr_v4(i);
        if (i % 3 == 0 || i == n - 1)
            ASSERT_EQ(remove(&db, i % 2 ? 6 : 4, a.data(), i % 2 ? 128 : 32), 0) << i;
        else
            expect.push_back(i);
    }
    for (uint32_t i = 0; i < n; i += 3) {  // re-added keys go to the end
        ASSERT_EQ(add_or_update(&db, i % 2 ? 6 : 4, (i % 2 ? addr_v6(i) : addr_v4(i)).data(), i % 2 ? 128 : 32, 0, i), 1);
        expect.push_back(i);
    }
    std::vector<uint32_t> got;
    const prefix_entry *prev = nullptr;
    for (const prefix_entry *e = db.first; e; e = e->list_next) {
        got.push_back(e->epoch);
        prev = e;
    }
    EXPECT_EQ(got, expect);
    EXPECT_EQ(db.last, prev);
    EXPECT_EQ(db.count, expect.size());
    EXPECT_EQ(cfg.global_prefix_count, expect.size());
    for (uint32_t i : expect) {
        auto a = i % 2 ? addr_v6(i) : addr_v4(i);
        const prefix_entry *e = lookup(&db, i % 2 ? 6 : 4, a.data(), i % 2 ? 128 : 32);
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ(e->epoch, i);
    }
    // Sweeping everything empties the list from both ends.
    EXPECT_EQ(sweep_stale(&db, n + 1), int(expect.size()));
    EXPECT_EQ(db.first, nullptr);
    EXPECT_EQ(db.last, nullptr);
    EXPECT_EQ(db.count, 0u);
    EXPECT_EQ(add("10.0.0.0", 8), 1);
    EXPECT_EQ(walk(db), std::vector<std::string>{"10.0.0.0/8"});
}

TEST_F(DbTest, VrfContextsInCreationOrder)
{
    EXPECT_EQ(vrf_find(&cfg, 7), nullptr);
    vrf_context *a = vrf_lookup_or_create(&cfg, 7);
    vrf_context *b = vrf_lookup_or_create(&cfg, 3);
    vrf_context *c = vrf_lookup_or_create(&cfg, 9);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(vrf_lookup_or_create(&cfg, 3), b);
    EXPECT_EQ(lines_with("db: created VRF context", LOG_INFO), 3u);
    EXPECT_EQ(vrf_find(&cfg, 9), c);
    EXPECT_EQ(b->epoch, 0u);
    EXPECT_EQ(b->db.count, 0u);

    EXPECT_FALSE(any_defaults_present(&cfg));
    ASSERT_EQ(add("10.0.0.0", 8, 0, 0, &b->db), 1);
    ASSERT_EQ(add("::", 0, 1, 0, &c->db), 1);
    EXPECT_TRUE(any_defaults_present(&cfg));
    EXPECT_EQ(cfg.global_prefix_count, 2u);

    vrf_remove(&cfg, b);
    EXPECT_EQ(lines_with("db: removing VRF context 3 (0 interfaces)", LOG_INFO), 1u);
    EXPECT_EQ(cfg.global_prefix_count, 1u);
    ASSERT_EQ(cfg.vrfs.size(), 2u);
    EXPECT_EQ(cfg.vrfs[0]->vrf_id, 7u);
    EXPECT_EQ(cfg.vrfs[1]->vrf_id, 9u);
    vrf_lookup_or_create(&cfg, 3);
    EXPECT_EQ(cfg.vrfs[2]->vrf_id, 3u);

    vrf_remove_all(&cfg);
    EXPECT_TRUE(cfg.vrfs.empty());
    EXPECT_EQ(cfg.global_prefix_count, 0u);
}

TEST_F(DbTest, InjectDefaultsReplacesEveryDatabase)
{
    vrf_context *v = vrf_lookup_or_create(&cfg, 1);
    vrf_context *empty = vrf_lookup_or_create(&cfg, 2);
    for (uint32_t i = 0; i < 500; i++)
        ASSERT_EQ(add_or_update(&v->db, 6, addr_v6(i).data(), 64, 0, 4), 1);
    v->epoch = 4;
    v->in_sync = 1;
    v->holddown_pending = 1;
    v->dirty = 1;
    inject_defaults(&cfg);
    for (vrf_context *x : {v, empty}) {
        EXPECT_EQ(walk(x->db), (std::vector<std::string>{"0.0.0.0/0", "::/0"}));
        EXPECT_EQ(x->epoch, 0u);
        EXPECT_EQ(x->in_sync, 0);
        EXPECT_EQ(x->holddown_pending, 0);
        EXPECT_EQ(x->dirty, 0);
        ASSERT_EQ(x->blobs.blob_count, 1);
        EXPECT_EQ(x->blobs.slots[0].len, 45);
    }
    EXPECT_EQ(cfg.global_prefix_count, 4u);
    EXPECT_EQ(lines_with("failure: VRF 1: cleared prefix DB, injected default routes (0/0, ::/0)", LOG_INFO), 1u);
    EXPECT_EQ(lines_with("failure: FRR down, injecting default routes", LOG_WARNING), 1u);
    EXPECT_EQ(lines_with("failure: default routes pushed to all downlink interfaces", LOG_WARNING), 1u);
}

// The defaults the daemon stores itself reach every VRF, whatever the limit and the other VRFs hold.
class DefaultsOverLimit : public DbTest, public ::testing::WithParamInterface<std::pair<size_t, bool>> {};

TEST_P(DefaultsOverLimit, EveryVrfGetsBothDefaults)
{
    auto [limit, client_lost] = GetParam();
    cfg.max_prefix_limit = limit;
    cfg.frr_up = true;
    vrf_context *first = vrf_lookup_or_create(&cfg, 1);  // no prefixes, injected before the full one
    vrf_context *full = vrf_lookup_or_create(&cfg, 2);
    for (uint32_t i = 0; i < limit; i++)
        ASSERT_EQ(add_or_update(&full->db, 4, addr_v4(i).data(), 32, 0, 1), 1);
    ASSERT_EQ(add("10.0.0.0", 8, 0, 1, &full->db), -1) << "the limit still holds for the routing suite";
    for (vrf_context *x : {first, full}) {
        test_support::set_intfs(*x, {7});
    }
    if (client_lost)
        disconnect_cleanup(&cfg);
    else
        inject_defaults(&cfg);
    for (vrf_context *x : {first, full})
        EXPECT_EQ(walk(x->db), (std::vector<std::string>{"0.0.0.0/0", "::/0"})) << "VRF " << x->vrf_id;
    EXPECT_EQ(cfg.global_prefix_count, 4u);
}

INSTANTIATE_TEST_SUITE_P(Limits, DefaultsOverLimit,
                         ::testing::Values(std::pair{size_t(0), false}, std::pair{size_t(3), false},
                                           std::pair{size_t(0), true}, std::pair{size_t(3), true}));

TEST_F(DbTest, ControlledFrrDownKeepsStoredDefaults)
{
    vrf_context *v = vrf_lookup_or_create(&cfg, 1);
    vrf_context *quiet = vrf_lookup_or_create(&cfg, 2);
    ASSERT_EQ(add("10.0.0.0", 8, 0, 3, &v->db), 1);
    ASSERT_EQ(add("0.0.0.0", 0, 0, 3, &v->db), 1);
    ASSERT_EQ(add("10.0.0.0", 8, 0, 3, &quiet->db), 1);
    ASSERT_EQ(add("0.0.0.0", 0, 0, 3, &quiet->db), 1);
    remove_non_defaults(&quiet->db);
    v->epoch = quiet->epoch = 3;
    v->in_sync = quiet->in_sync = 1;
    v->dirty = 1;
    controlled_frr_down(&cfg);
    EXPECT_EQ(walk(v->db), std::vector<std::string>{"0.0.0.0/0"});
    ASSERT_EQ(v->blobs.blob_count, 1);
    EXPECT_EQ(v->blobs.slots[0].len, 20);  // control TLV and the IPv4 default
    EXPECT_EQ(v->dirty, 1) << "lldpd is not connected: the push is still owed";
    EXPECT_EQ(quiet->blobs.blob_count, 0) << "nothing changed and nothing owed: no rebuild";
    for (vrf_context *x : {v, quiet}) {
        EXPECT_EQ(x->epoch, 0u);
        EXPECT_EQ(x->in_sync, 0);
        EXPECT_EQ(x->holddown_pending, 0);
    }
    EXPECT_EQ(lines_with("failure: controlled FRR down, keeping defaults", LOG_INFO), 1u);
}

#if !defined(__SANITIZE_ADDRESS__)
// Memory exhaustion, in a child whose address space is capped: the refused insertion is logged and
// the database stays whole; a blob set that cannot be had entirely is left empty, not half built.
char last_err[256];

void record_err(int prio, const char *line)
{
    if (prio == LOG_ERR)
        std::snprintf(last_err, sizeof last_err, "%s", line);
}

void exhaust_database()
{
    log_hook = record_err;
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (64u << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0)
        std::_Exit(3);
    prefix_db db;
    size_t added = 0;
    for (uint32_t i = 0;; i++) {
        int r = add_or_update(&db, 6, addr_v6(i).data(), 128, 0, i);
        if (r == -1)
            break;
        if (r != 1)
            std::_Exit(4);
        added++;
    }
    if (std::strcmp(last_err, "db: calloc failed") != 0 || db.count != added)
        std::_Exit(5);
    size_t walked = 0;
    for (const prefix_entry *e = db.first; e; e = e->list_next)
        if (e->epoch != walked++)
            std::_Exit(6);
    if (walked != added || !lookup(&db, 6, addr_v6(uint32_t(added - 1)).data(), 128))
        std::_Exit(7);
    clear(&db);

    blob_set set;
    if (blobs_reserve(&set, 60000, 9156) != -1 || std::strcmp(last_err, "frag: blob alloc failed") != 0)
        std::_Exit(8);
    if (set.slots || set.slot_capacity || set.slot_size || set.blob_count)
        std::_Exit(9);
    if (blobs_reserve(&set, 2, 100) != 0)  // the memory of the failed attempt was given back
        std::_Exit(10);
    std::_Exit(0);
}

TEST(DbExhaustion, RefusedAndLeftConsistent)
{
    EXPECT_EXIT(exhaust_database(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
