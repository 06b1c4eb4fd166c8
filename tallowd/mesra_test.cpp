// The daemon's side of the state service: announcement, the state callbacks and clean-up, against
// the stand-in's directory store.

#include <mesra.h>
#include <numo_msgs.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "daemon.h"
#include "mesra_test_store.h"
#include "test_support.h"

namespace {

using mesra_test::dispatch_until;
using mesra_test::store;
using test_support::count_lines;
using test_support::has_line;
using test_support::logged;

struct daemon_fixture : test_support::daemon_test {
    store s;

    void SetUp() override
    {
        daemon_test::SetUp();
        tallowd_mesra_init(cfg);
        ASSERT_NE(cfg->mesra_handle, nullptr);
        ASSERT_GE(cfg->mesra_fd, 0);
    }
    void TearDown() override
    {
        tallowd_mesra_cleanup(cfg);
        daemon_test::TearDown();
    }
    // Runs the daemon's dispatch until the line has been logged `times` times in all.
    bool until_logged(const std::string &line, int times = 1)
    {
        return dispatch_until(cfg->mesra_fd, [&] { tallowd_mesra_dispatch(cfg); },
                              [&] { return count_lines(line) >= times; });
    }
};

TEST_F(daemon_fixture, InitAnnouncesAndSubscribes)
{
    EXPECT_EQ(s.read("tallowd.state"), "1\n");
    for (const char *line : {"mesra: initialized (service=tallowd)", "mesra: published state=up",
                             "mesra: subscribed to frr state", "mesra: subscribed to vorsd state"})
        EXPECT_TRUE(has_line(line)) << line;
    EXPECT_TRUE(has_line("mesra: add_fd " + std::to_string(cfg->mesra_fd)));
    EXPECT_FALSE(cfg->frr_up);
}

TEST_F(daemon_fixture, ZebraUpTwiceThenDownReactsOnce)
{
    s.write("frr_zebra.state", "1\n");
    ASSERT_TRUE(until_logged("mesra: published frr_zebra.ack=ACK (source=tallowd, kind=STATE_UP)"));
    EXPECT_TRUE(cfg->frr_up);
    EXPECT_EQ(s.read("frr_zebra.ack"), "source=tallowd kind=1");
    s.write("frr_zebra.state", "1");
    ASSERT_TRUE(until_logged("mesra: published frr_zebra.ack=ACK (source=tallowd, kind=STATE_UP)", 2));

    s.write("frr_zebra.state", "2\n");
    ASSERT_TRUE(until_logged("mesra: deleted frr_zebra.ack"));
    EXPECT_FALSE(cfg->frr_up);
    EXPECT_FALSE(s.exists("frr_zebra.ack"));
    s.write("frr_zebra.state", "2\n");
    ASSERT_TRUE(until_logged("mesra: frr state=DOWN (rev=4)"));
    s.remove("frr_zebra.state");
    ASSERT_TRUE(until_logged("mesra: frr callback op=1 len=0 rev=5"));
    EXPECT_EQ(count_lines("mesra: deleted frr_zebra.ack"), 1) << "a down report counts only after an up report";
}

TEST_F(daemon_fixture, ZebraDeletedWhileUp)
{
    s.write("frr_zebra.state", "1\n");
    ASSERT_TRUE(until_logged("mesra: frr state=UP (rev=1)"));
    s.remove("frr_zebra.state");
    ASSERT_TRUE(until_logged("mesra: frr state deleted (service down, rev=2)"));
    EXPECT_TRUE(has_line("mesra: deleted frr_zebra.ack"));
    EXPECT_FALSE(cfg->frr_up);
}

TEST_F(daemon_fixture, OtherStateValuesAreIgnored)
{
    s.write("frr_zebra.state", "1\n");
    ASSERT_TRUE(until_logged("mesra: frr state=UP (rev=1)"));
    s.write("frr_zebra.state", "3\n");
    ASSERT_TRUE(until_logged("mesra: frr state=UNKNOWN (rev=2)"));
    EXPECT_TRUE(cfg->frr_up);
    EXPECT_EQ(count_lines("mesra: deleted frr_zebra.ack"), 0);
}

TEST_F(daemon_fixture, DescriptorCallbacks)
{
    int fd = cfg->mesra_fd;
    mesra_add_fd_cb(nullptr, fd + 100, nullptr);
    EXPECT_TRUE(has_line("mesra: replacing fd " + std::to_string(fd) + " with " + std::to_string(fd + 100)));
    EXPECT_EQ(cfg->mesra_fd, fd + 100);
    mesra_remove_fd_cb(nullptr, fd, nullptr);  // not the watched one
    EXPECT_EQ(cfg->mesra_fd, fd + 100);
    mesra_remove_fd_cb(nullptr, fd + 100, nullptr);
    EXPECT_EQ(cfg->mesra_fd, -1);
    mesra_add_fd_cb(nullptr, fd, nullptr);
    EXPECT_EQ(cfg->mesra_fd, fd);
}

TEST_F(daemon_fixture, NullGuard)
{
    frr_state_cb(nullptr, cfg);
    ASSERT_EQ(logged.back().rfind("mesra: frr callback null guard (entry=", 0), 0u) << logged.back();
    size_t before = logged.size();
    vorsd_state_cb(nullptr, cfg);
    EXPECT_EQ(logged.size(), before);
}

TEST_F(daemon_fixture, CleanupDeletesAckAndState)
{
    s.write("frr_zebra.state", "1\n");
    ASSERT_TRUE(until_logged("mesra: frr state=UP (rev=1)"));
    ASSERT_TRUE(s.exists("frr_zebra.ack"));
    tallowd_mesra_cleanup(cfg);
    EXPECT_FALSE(s.exists("frr_zebra.ack"));
    EXPECT_FALSE(s.exists("tallowd.state"));
    EXPECT_EQ(cfg->mesra_handle, nullptr);
    EXPECT_EQ(cfg->mesra_fd, -1);
    EXPECT_TRUE(has_line("mesra: cleaning up"));
}

TEST(MesraDaemon, InitFailureLeavesNoServiceState)
{
    setenv("MESRA_DIR", "/tmp/no-such-mesra-dir", 1);
    test_support::capture_log();
    std::unique_ptr<daemon_config> cfg = daemon_create();
    active_cfg.store(cfg.get());
    tallowd_mesra_init(cfg.get());
    EXPECT_EQ(cfg->mesra_handle, nullptr);
    EXPECT_EQ(cfg->mesra_fd, -1);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged[0].rfind("mesra: init failed: state directory /tmp/no-such-mesra-dir", 0), 0u) << logged[0];
    tallowd_mesra_cleanup(cfg.get());
    active_cfg.store(nullptr);
    cfg.reset();
    log_hook = nullptr;
    unsetenv("MESRA_DIR");
}

}  // namespace
