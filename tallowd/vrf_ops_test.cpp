// Whole-VRF operations (vrf_ops.cpp): contexts in creation order, the reactions to the routing
// suite going away (inject_defaults, controlled_frr_down) and the disconnect clean-up.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "test_support.h"

namespace {

using test_support::v4;
using test_support::v6;

class VrfOpsTest : public test_support::db_test {};

TEST_F(VrfOpsTest, VrfContextsInCreationOrder)
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
    EXPECT_EQ(cfg.limit.count, 2u);

    vrf_remove(&cfg, b);
    EXPECT_EQ(lines_with("db: removing VRF context 3 (0 interfaces)", LOG_INFO), 1u);
    EXPECT_EQ(cfg.limit.count, 1u);
    ASSERT_EQ(cfg.vrfs.size(), 2u);
    EXPECT_EQ(cfg.vrfs[0]->vrf_id, 7u);
    EXPECT_EQ(cfg.vrfs[1]->vrf_id, 9u);
    vrf_lookup_or_create(&cfg, 3);
    EXPECT_EQ(cfg.vrfs[2]->vrf_id, 3u);

    vrf_remove_all(&cfg);
    EXPECT_TRUE(cfg.vrfs.empty());
    EXPECT_EQ(cfg.limit.count, 0u);
}

TEST_F(VrfOpsTest, InjectDefaultsReplacesEveryDatabase)
{
    vrf_context *v = vrf_lookup_or_create(&cfg, 1);
    vrf_context *empty = vrf_lookup_or_create(&cfg, 2);
    for (uint32_t i = 0; i < 500; i++)
        ASSERT_EQ(add_or_update(&v->db, 6, v6(i).data(), 64, 0, 4), 1);
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
    EXPECT_EQ(cfg.limit.count, 4u);
    EXPECT_EQ(lines_with("failure: VRF 1: cleared prefix DB, injected default routes (0/0, ::/0)", LOG_INFO), 1u);
    EXPECT_EQ(lines_with("failure: FRR down, injecting default routes", LOG_WARNING), 1u);
    EXPECT_EQ(lines_with("failure: default routes pushed to all downlink interfaces", LOG_WARNING), 1u);
}

// The defaults the daemon stores itself reach every VRF, whatever the limit and the other VRFs hold.
class DefaultsOverLimit : public VrfOpsTest, public ::testing::WithParamInterface<std::pair<size_t, bool>> {};

TEST_P(DefaultsOverLimit, EveryVrfGetsBothDefaults)
{
    auto [limit, client_lost] = GetParam();
    cfg.limit.max = limit;
    cfg.frr_up = true;
    vrf_context *first = vrf_lookup_or_create(&cfg, 1);  // no prefixes, injected before the full one
    vrf_context *full = vrf_lookup_or_create(&cfg, 2);
    for (uint32_t i = 0; i < limit; i++)
        ASSERT_EQ(add_or_update(&full->db, 4, v4(i).data(), 32, 0, 1), 1);
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
    EXPECT_EQ(cfg.limit.count, 4u);
}

INSTANTIATE_TEST_SUITE_P(Limits, DefaultsOverLimit,
                         ::testing::Values(std::pair{size_t(0), false}, std::pair{size_t(3), false},
                                           std::pair{size_t(0), true}, std::pair{size_t(3), true}));

TEST_F(VrfOpsTest, ControlledFrrDownKeepsStoredDefaults)
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

}  // namespace
