// The state-service stand-in (directory store, record codec) and the daemon's state callbacks.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mesra.h>
#include <numo_msgs.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallowd.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using test_support::capture;
using test_support::logged;

int count_lines(const std::string &text)
{
    int n = 0;
    for (const auto &l : logged)
        n += l == text;
    return n;
}

bool has_line(const std::string &text)
{
    return count_lines(text) > 0;
}

// A fresh store directory, exported as MESRA_DIR.
struct store {
    fs::path dir;
    store()
    {
        char tmpl[] = "/tmp/mesra-test-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("MESRA_DIR", dir.c_str(), 1);
    }
    ~store()
    {
        unsetenv("MESRA_DIR");
        fs::remove_all(dir);
    }
    // Written in place: the watcher sees the close after writing.
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    // Written under a hidden name and renamed into place.
    void write_renamed(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / ("." + name), std::ios::binary) << text;
        fs::rename(dir / ("." + name), dir / name);
    }
    void remove(const std::string &name) const { fs::remove(dir / name); }
    bool exists(const std::string &name) const { return fs::exists(dir / name); }
    std::string read(const std::string &name) const
    {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Polls fd and runs dispatch until done() holds or a second has passed.
bool dispatch_until(int fd, const std::function<void()> &dispatch, const std::function<bool()> &done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            dispatch();
    }
    return true;
}

// ---- record codec ----

struct decode_case {
    std::string text;
    int rc;
    int value;
};

TEST(NumoMsgs, StateDecode)
{
    const decode_case cases[] = {
        {"1", 0, 1},        {"2\n", 0, 2},      {"0", 0, 0},           {"17\n", 0, 17},
        {"123456789", 0, 123456789},            {"", -1, 0},           {"\n", -1, 0},
        {"1\n\n", -1, 0},   {" 1", -1, 0},      {"1 ", -1, 0},         {"-1", -1, 0},
        {"+1", -1, 0},      {"up", -1, 0},      {"1234567890", -1, 0}, {std::string("1\0", 2), -1, 0},
    };
    for (const auto &c : cases) {
        int value = -7;
        EXPECT_EQ(proto_common_state_decode(c.text.data(), c.text.size(), &value), c.rc) << "'" << c.text << "'";
        EXPECT_EQ(value, c.rc == 0 ? c.value : -7) << "'" << c.text << "'";
    }
    int value;
    EXPECT_EQ(proto_common_state_decode(nullptr, 1, &value), -1);
    EXPECT_STREQ(proto_common_state_value_to_str(1), "UP");
    EXPECT_STREQ(proto_common_state_value_to_str(2), "DOWN");
    EXPECT_STREQ(proto_common_state_value_to_str(9), "UNKNOWN");
}

TEST(NumoMsgs, AckRecordAndKey)
{
    size_t len = 0;
    malloc_ptr<uint8_t> rec(proto_common_ack_pack("tallowd", 1, &len));
    ASSERT_TRUE(rec);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(rec.get()), len), "source=tallowd kind=1");
    EXPECT_EQ(proto_common_ack_pack("a b", 1, &len), nullptr);

    char key[64] = {};
    ASSERT_EQ(proto_common_ack_key("frr_zebra", key, sizeof key), 0);
    EXPECT_STREQ(key, "frr_zebra.ack");
    char small[8];
    EXPECT_EQ(proto_common_ack_key("frr_zebra", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(proto_common_ack_key("../x", key, sizeof key), -1);
}

// ---- directory store ----

struct change_seen {
    int op;
    std::string data;
    uint64_t rev;
};

struct client {
    mesra *m = nullptr;
    int fd = -1;
    int removed_fd = -1;
    std::vector<change_seen> seen;
};

void on_add(mesra *, int fd, void *user)
{
    static_cast<client *>(user)->fd = fd;
}
void on_remove(mesra *, int fd, void *user)
{
    static_cast<client *>(user)->removed_fd = fd;
}
void on_change(const mesra_change *c, void *user)
{
    auto *cl = static_cast<client *>(user);
    // Read through the byte offsets the daemon relies on.
    const auto *raw = reinterpret_cast<const uint8_t *>(c);
    const char *data = *reinterpret_cast<const char *const *>(raw + 8);
    size_t len = *reinterpret_cast<const size_t *>(raw + 16);
    uint64_t rev = *reinterpret_cast<const uint64_t *>(raw + 24);
    int op = *reinterpret_cast<const int *>(raw + 40);
    cl->seen.push_back({op, data ? std::string(data, len) : std::string("<none>"), rev});
}

const mesra_fd_ops test_ops = {on_add, on_remove};

TEST(MesraStore, InitFailsWithoutDirectory)
{
    setenv("MESRA_DIR", "/tmp/no-such-mesra-dir", 1);
    client cl;
    EXPECT_EQ(mesra_init(&cl.m, nullptr, "tallowd", &cl, &test_ops), -1);
    EXPECT_EQ(cl.m, nullptr);
    EXPECT_EQ(cl.fd, -1);
    EXPECT_NE(std::string(mesra_errstr(nullptr)).find("/tmp/no-such-mesra-dir"), std::string::npos)
        << mesra_errstr(nullptr);
    unsetenv("MESRA_DIR");
}

TEST(MesraStore, ChangesOfTheWatchedFileOnly)
{
    store s;
    client cl;
    ASSERT_EQ(mesra_init(&cl.m, nullptr, "svc", &cl, &test_ops), 0) << mesra_errstr(nullptr);
    ASSERT_GE(cl.fd, 0);
    mesra_sub *sub = nullptr;
    ASSERT_EQ(mesra_subscribe(&sub, cl.m, "frr_zebra", "state", on_change, &cl, 0), 0);

    auto until = [&](size_t n) {
        return dispatch_until(cl.fd, [&] { mesra_dispatch(cl.m); }, [&] { return cl.seen.size() >= n; });
    };
    s.write("frr_zebra.state", "1\n");
    EXPECT_TRUE(cl.seen.empty()) << "callbacks run only inside mesra_dispatch";
    ASSERT_TRUE(until(1));
    s.write(".frr_zebra.state", "2\n");  // hidden: ignored
    s.write("vorsd.state", "1\n");       // not watched
    s.write_renamed("frr_zebra.state", "2");
    ASSERT_TRUE(until(2));
    s.remove("frr_zebra.state");
    ASSERT_TRUE(until(3));
    mesra_dispatch(cl.m);

    ASSERT_EQ(cl.seen.size(), 3u);
    EXPECT_EQ(cl.seen[0].op, 0);
    EXPECT_EQ(cl.seen[0].data, "1\n");
    EXPECT_EQ(cl.seen[1].op, 0);
    EXPECT_EQ(cl.seen[1].data, "2");
    EXPECT_EQ(cl.seen[2].op, 1);
    EXPECT_EQ(cl.seen[2].data, "<none>");
    for (uint64_t i = 0; i < 3; i++)
        EXPECT_EQ(cl.seen[i].rev, i + 1);

    // A set whose file is gone by dispatch time is dropped; the removal is still reported.
    s.write("frr_zebra.state", "1\n");
    s.remove("frr_zebra.state");
    ASSERT_TRUE(until(4));
    EXPECT_EQ(cl.seen[3].op, 1);
    EXPECT_EQ(cl.seen[3].rev, 5u);

    mesra_unsubscribe(sub);
    mesra_cleanup(cl.m);
    EXPECT_EQ(cl.removed_fd, cl.fd);
}

TEST(MesraStore, RecordContentIsDelivered)
{
    store s;
    client cl;
    ASSERT_EQ(mesra_init(&cl.m, nullptr, "svc", &cl, &test_ops), 0);
    mesra_sub *sub = nullptr;
    ASSERT_EQ(mesra_subscribe(&sub, cl.m, "vorsd", "state", on_change, &cl, 0), 0);
    s.write("vorsd.state", "garbage");
    ASSERT_TRUE(dispatch_until(cl.fd, [&] { mesra_dispatch(cl.m); }, [&] { return !cl.seen.empty(); }));
    EXPECT_EQ(cl.seen[0].op, 0);
    EXPECT_EQ(cl.seen[0].data, "garbage");
    mesra_unsubscribe(sub);
    mesra_cleanup(cl.m);
}

TEST(MesraStore, CurrentValueOnSubscribe)
{
    store s;
    s.write("frr_zebra.state", "1\n");
    client cl;
    ASSERT_EQ(mesra_init(&cl.m, nullptr, "svc", &cl, &test_ops), 0);
    mesra_sub *with = nullptr, *without = nullptr;
    ASSERT_EQ(mesra_subscribe(&with, cl.m, "frr_zebra", "state", on_change, &cl, MESRA_SUB_CURRENT), 0);
    client other;
    ASSERT_EQ(mesra_subscribe(&without, cl.m, "frr_zebra", "state", on_change, &other, 0), 0);
    // The descriptor turns readable by itself, so a poll loop gets to dispatch.
    ASSERT_TRUE(dispatch_until(cl.fd, [&] { mesra_dispatch(cl.m); }, [&] { return !cl.seen.empty(); }));
    EXPECT_EQ(cl.seen[0].op, 0);
    EXPECT_EQ(cl.seen[0].data, "1\n");
    EXPECT_TRUE(other.seen.empty());
    mesra_unsubscribe(with);
    mesra_unsubscribe(without);
    mesra_cleanup(cl.m);
    for (const auto &e : fs::directory_iterator(s.dir))
        if (e.path().filename() != "frr_zebra.state")
            ADD_FAILURE() << "left behind: " << e.path();
}

TEST(MesraStore, PublishDeleteAndStateUp)
{
    store s;
    client cl;
    ASSERT_EQ(mesra_init(&cl.m, nullptr, "tallowd", &cl, &test_ops), 0);
    ASSERT_EQ(mesra_publish_state_up(cl.m, 2000, nullptr), 0);
    EXPECT_EQ(s.read("tallowd.state"), "1\n");
    ASSERT_EQ(mesra_publish(cl.m, "frr_zebra.ack", "x=1", 3, 0), 0);
    EXPECT_EQ(s.read("frr_zebra.ack"), "x=1");
    EXPECT_EQ(mesra_delete(cl.m, "frr_zebra.ack"), 0);
    EXPECT_FALSE(s.exists("frr_zebra.ack"));
    EXPECT_EQ(mesra_delete(cl.m, "frr_zebra.ack"), MESRA_ERR_NOT_FOUND);
    for (const char *bad : {"", ".hidden", "a/b", "../x"}) {
        EXPECT_EQ(mesra_publish(cl.m, bad, "1", 1, 0), -1) << bad;
        EXPECT_EQ(mesra_delete(cl.m, bad), -1) << bad;
    }
    mesra_cleanup(cl.m);
    EXPECT_FALSE(s.exists("tallowd.state")) << "the service is no longer up once its connection is gone";
    EXPECT_TRUE(fs::is_empty(s.dir));
}

TEST(MesraStore, DirectoryRemovedStopsPolling)
{
    store s;
    client cl;
    ASSERT_EQ(mesra_init(&cl.m, nullptr, "svc", &cl, &test_ops), 0);
    fs::remove_all(s.dir);
    ASSERT_TRUE(dispatch_until(cl.fd, [&] { mesra_dispatch(cl.m); }, [&] { return cl.removed_fd >= 0; }));
    EXPECT_EQ(cl.removed_fd, cl.fd);
    mesra_cleanup(cl.m);
}

// ---- the daemon's side ----

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
    logged.clear();
    log_hook = capture;
    daemon_config *cfg = daemon_create();
    active_cfg.store(cfg);
    tallowd_mesra_init(cfg);
    EXPECT_EQ(cfg->mesra_handle, nullptr);
    EXPECT_EQ(cfg->mesra_fd, -1);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged[0].rfind("mesra: init failed: state directory /tmp/no-such-mesra-dir", 0), 0u) << logged[0];
    tallowd_mesra_cleanup(cfg);
    active_cfg.store(nullptr);
    delete cfg;
    log_hook = nullptr;
    unsetenv("MESRA_DIR");
}

}  // namespace
