// The state-service stand-in: the directory store and the record codec.

#include <mesra.h>
#include <numo_msgs.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mesra_test_store.h"

namespace {

using mesra_test::dispatch_until;
using mesra_test::store;
namespace fs = std::filesystem;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using malloc_ptr = std::unique_ptr<T, free_deleter>;

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

}  // namespace
