// Prefix database: key identity, results, the global limit, walks and removal, memory exhaustion.

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
using test_support::addr_of;

addr_bytes addr_v6(uint32_t i)
{
    return test_support::v6(i);
}

addr_bytes addr_v4(uint32_t i)
{
    return test_support::v4(i);
}

// The database's own tests: a context for the limit and the global count, and one database.
class DbTest : public test_support::db_test {};

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
    EXPECT_EQ(cfg.limit.count, 1u);

    cfg.limit.max = 1;
    EXPECT_EQ(add("10.1.3.0", 24), -1);
    EXPECT_EQ(lines_with("db: prefix limit 1 reached (max-unreachable-prefix=1), dropping new entry", LOG_ERR), 1u);
    EXPECT_EQ(db.count, 1u);
}

TEST_F(DbTest, LimitCountsOverAllDatabasesAndStillRefreshes)
{
    cfg.limit.max = 10;
    prefix_db other;
    other.limit = &cfg.limit;
    for (uint32_t i = 0; i < 10; i++) {
        auto a = addr_v4(i);
        ASSERT_EQ(add_or_update(i % 2 ? &other : &db, 4, a.data(), 32, 0, 0), 1);
    }
    EXPECT_EQ(cfg.limit.count, 10u);
    auto a = addr_v4(100);
    EXPECT_EQ(add_or_update(&other, 4, a.data(), 32, 0, 0), -1);
    EXPECT_EQ(add_or_update(&db, 6, a.data(), 0, 0, 0), -1);
    EXPECT_EQ(lines_with("db: prefix limit 10 reached (max-unreachable-prefix=10), dropping new entry", LOG_ERR), 2u);
    auto old = addr_v4(1);
    EXPECT_EQ(add_or_update(&other, 4, old.data(), 32, 1, 7), 0);
    EXPECT_EQ(add_or_update(&other, 4, old.data(), 32, 1, 8), -2);
    EXPECT_EQ(lookup(&other, 4, old.data(), 32)->epoch, 8u);

    clear(&other);
    EXPECT_EQ(cfg.limit.count, 5u);
    cfg.limit.max = 0;
    EXPECT_EQ(add_or_update(&other, 4, a.data(), 32, 0, 0), -1);
}

TEST_F(DbTest, NoLimitGivenMeansNoLimitAndNoGlobalCount)
{
    db.limit = nullptr;  // a database outside any VRF
    cfg.limit.max = 0;
    EXPECT_EQ(add("10.0.0.0", 8), 1);
    EXPECT_EQ(remove(&db, 4, addr_of("10.0.0.0").data(), 8), 0);
    EXPECT_EQ(cfg.limit.count, 0u);
}

TEST_F(DbTest, EightyPercentWarningOnce)
{
    cfg.limit.max = 25000;
    for (uint32_t i = 0; i < 19999; i++) {
        auto a = addr_v6(i);
        ASSERT_EQ(add_or_update(&db, 6, a.data(), 64, 0, 0), 1);
    }
    EXPECT_EQ(lines_with("exceeds 80%", LOG_WARNING), 0u);
    auto a = addr_v6(19999);
    ASSERT_EQ(add_or_update(&db, 6, a.data(), 64, 0, 0), 1);
    EXPECT_EQ(lines_with("db: global prefix count 20000 exceeds 80% of limit 25000", LOG_WARNING), 1u);
    EXPECT_TRUE(cfg.limit.warned);
    // Dropping below and climbing again does not warn again.
    for (uint32_t i = 0; i < 100; i++)
        ASSERT_EQ(remove(&db, 6, addr_v6(i).data(), 64), 0);
    for (uint32_t i = 0; i < 200; i++)
        ASSERT_GE(add_or_update(&db, 6, addr_v6(i).data(), 64, 0, 0), -2);
    EXPECT_EQ(lines_with("exceeds 80%", LOG_WARNING), 1u);
    EXPECT_EQ(cfg.limit.count, 20000u);
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
    EXPECT_EQ(cfg.limit.count, 11u);
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
    EXPECT_EQ(cfg.limit.count, 2u);
    EXPECT_EQ(remove_non_defaults(&db), 0);
    prefix_db empty;
    EXPECT_FALSE(only_defaults(&empty));
}

TEST_F(DbTest, ClearFloorsGlobalCount)
{
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(add_or_update(&db, 4, addr_v4(i).data(), 32, 0, 0), 1);
    cfg.limit.count = 3;
    clear(&db);
    EXPECT_EQ(cfg.limit.count, 0u);
    EXPECT_EQ(db.count, 0u);
    EXPECT_EQ(db.head(), nullptr);
    EXPECT_EQ(lookup(&db, 4, addr_v4(1).data(), 32), nullptr);
    // Removing from an empty or a fresh database is refused and leaves the count alone.
    EXPECT_EQ(remove(&db, 4, addr_v4(1).data(), 32), -1);
    ASSERT_EQ(add_or_update(&db, 4, addr_v4(1).data(), 32, 0, 0), 1);
    cfg.limit.count = 0;
    EXPECT_EQ(remove(&db, 4, addr_v4(1).data(), 32), 0);
    EXPECT_EQ(cfg.limit.count, 0u);
}

// Many entries through the table's growth, removals from everywhere in the list and re-use of
// freed entries: the walk keeps first-insertion order and every key stays findable.
TEST_F(DbTest, InsertionOrderSurvivesRemovalsAndGrowth)
{
    cfg.limit.max = 200000;
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
    for (const prefix_entry *e = db.head(); e; e = db.next(e)) {
        got.push_back(e->epoch);
        prev = e;
    }
    EXPECT_EQ(got, expect);
    EXPECT_EQ(db.at(db.last), prev);
    EXPECT_EQ(db.count, expect.size());
    EXPECT_EQ(cfg.limit.count, expect.size());
    for (uint32_t i : expect) {
        auto a = i % 2 ? addr_v6(i) : addr_v4(i);
        const prefix_entry *e = lookup(&db, i % 2 ? 6 : 4, a.data(), i % 2 ? 128 : 32);
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ(e->epoch, i);
    }
    // Sweeping everything empties the list from both ends.
    EXPECT_EQ(sweep_stale(&db, n + 1), int(expect.size()));
    EXPECT_EQ(db.head(), nullptr);
    EXPECT_EQ(db.at(db.last), nullptr);
    EXPECT_EQ(db.count, 0u);
    EXPECT_EQ(add("10.0.0.0", 8), 1);
    EXPECT_EQ(walk(db), std::vector<std::string>{"10.0.0.0/8"});
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
    for (const prefix_entry *e = db.head(); e; e = db.next(e))
        if (e->epoch != walked++)
            std::_Exit(6);
    if (walked != added || !lookup(&db, 6, addr_v6(uint32_t(added - 1)).data(), 128))
        std::_Exit(7);
    clear(&db);

    blob_set set;
    if (blobs_reserve(&set, 60000, 9156) != -1 || std::strcmp(last_err, "frag: blob alloc failed") != 0)
        std::_Exit(8);
    if (!set.slots.empty() || set.slot_capacity || set.slot_size || set.blob_count)
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
