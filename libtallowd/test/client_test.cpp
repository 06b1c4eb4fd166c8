// Client library against a test server on a socket in a temporary directory.

#include "tallowd.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// send() as the library sees it: the real one unless a fault is armed for the next call.
namespace fault {
enum class kind { none, partial, error, eintr_once };
kind next = kind::none;
int error_value = 0;
}  // namespace fault

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    using send_fn = ssize_t (*)(int, const void *, size_t, int);
    static send_fn real = reinterpret_cast<send_fn>(dlsym(RTLD_NEXT, "send"));
    fault::kind k = fault::next;
    fault::next = fault::kind::none;
    switch (k) {
    case fault::kind::partial:
        return real(fd, buf, len > 1 ? len - 1 : 0, flags);
    case fault::kind::error:
        errno = fault::error_value;
        return -1;
    case fault::kind::eintr_once:
        errno = EINTR;
        return -1;
    case fault::kind::none:
        break;
    }
    return real(fd, buf, len, flags);
}

namespace {

// These tests run outside the sandbox: keep the library's debug lines out of the machine's log.
[[maybe_unused]] const int log_mask = setlogmask(LOG_UPTO(LOG_INFO));

struct fd_guard {
    int fd = -1;
    fd_guard() = default;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(fd_guard &&o) noexcept : fd(o.fd) { o.fd = -1; }
    fd_guard &operator=(fd_guard &&o) noexcept
    {
        reset();
        fd = o.fd;
        o.fd = -1;
        return *this;
    }
    ~fd_guard() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// A listening socket standing in for the daemon: accepts one client and reads what it writes.
struct test_server {
    std::string path;
    fd_guard listener;
    fd_guard client;

    void start(const std::string &p)
    {
        path = p;
        ::unlink(path.c_str());
        listener = fd_guard(socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_GE(listener.fd, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
        ASSERT_EQ(listen(listener.fd, 4), 0);
    }

    void stop()
    {
        client.reset();
        listener.reset();
        ::unlink(path.c_str());
    }

    void accept_client()
    {
        pollfd p{listener.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "no client connected";
        client = fd_guard(accept(listener.fd, nullptr, nullptr));
        ASSERT_GE(client.fd, 0);
    }

    // Reads exactly n bytes, waiting up to 5 s for them.
    bytes read_exact(size_t n)
    {
        bytes out(n);
        size_t got = 0;
        while (got < n) {
            pollfd p{client.fd, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                break;
            ssize_t r = read(client.fd, out.data() + got, n - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }

    // True when nothing more is waiting to be read within a short grace time.
    bool quiet(int ms = 50)
    {
        pollfd p{client.fd, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

    // True when the peer has closed its end and no data is left.
    bool at_eof()
    {
        pollfd p{client.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        char c;
        return read(client.fd, &c, 1) == 0;
    }
};

class client : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::string sock_path;
    test_server server;
    tallowd_handle h{};

    void SetUp() override
    {
        char templ[] = "/tmp/libtallowd-test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        sock_path = (dir / "tallowd.sock").string();
        ASSERT_EQ(tallowd_init(&h, sock_path.c_str()), TALLOWD_OK);
    }

    void TearDown() override
    {
        tallowd_disconnect(&h);
        server.stop();
        std::filesystem::remove_all(dir);
        fault::next = fault::kind::none;
    }

    void connect_to_server()
    {
        server.start(sock_path);
        ASSERT_EQ(tallowd_connect(&h), TALLOWD_OK) << strerror(h.last_errno);
        server.accept_client();
    }
};

tallowd_prefix make_prefix(uint8_t afi, uint8_t len, std::initializer_list<uint8_t> addr, uint8_t w = 0,
                           uint8_t reserved = 0)
{
    tallowd_prefix p{};
    p.afi = afi;
    p.prefix_len = len;
    p.W = w;
    p.reserved = reserved;
    std::copy(addr.begin(), addr.end(), p.address);
    return p;
}

bytes hex(const char *text)
{
    bytes out;
    for (const char *s = text; *s;) {
        if (*s == ' ') {
            ++s;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
        s += 2;
    }
    return out;
}

struct wire_case {
    const char *name;
    std::function<int(tallowd_handle *)> call;
    bytes expected;
};

const tallowd_prefix ten_slash_8 = make_prefix(TALLOWD_AFI_IPV4, 8, {10});
const tallowd_prefix v6_withdrawn =
    make_prefix(TALLOWD_AFI_IPV6, 64, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1}, 1, 0xab);
const uint32_t two_ifs[] = {3, 260};

const wire_case wire_cases[] = {
    {"sync_begin", [](tallowd_handle *h) { return tallowd_sync_begin(h, 5, 0, 7); },
     hex("00 10 03 00 00 00 00 05 00 00 00 00 00 00 00 07")},
    {"sync_end", [](tallowd_handle *h) { return tallowd_sync_end(h, 5, 0, 7, 300); },
     hex("00 14 04 00 00 00 00 05 00 00 00 00 00 00 00 07 00 00 01 2c")},
    {"prefix_update", [](tallowd_handle *h) { return tallowd_prefix_update(h, 0, 0, &ten_slash_8, 1); },
     hex("00 24 01 00 00 00 00 00 00 00 00 00 00 01 00 00 04 08 00 00 0a 00 00 00"
         " 00 00 00 00 00 00 00 00 00 00 00 00")},
    {"intf_set", [](tallowd_handle *h) { return tallowd_intf_set(h, 5, two_ifs, 2); },
     hex("00 18 06 00 00 00 00 05 00 00 00 00 00 02 00 00 00 00 00 03 00 00 01 04")},
    {"intf_set_empty", [](tallowd_handle *h) { return tallowd_intf_set(h, 5, nullptr, 0); },
     hex("00 10 06 00 00 00 00 05 00 00 00 00 00 00 00 00")},
    {"warmboot_start", [](tallowd_handle *h) { return tallowd_warmboot_start(h); },
     hex("00 0c 07 00 00 00 00 00 00 00 00 00")},
    {"warmboot_end", [](tallowd_handle *h) { return tallowd_warmboot_end(h); },
     hex("00 0c 08 00 00 00 00 00 00 00 00 00")},
    // Header ifindex comes from the argument; entries (reserved byte included) pass unchanged.
    {"prefix_update_ifindex_v6",
     [](tallowd_handle *h) { return tallowd_prefix_update(h, 0x01020304, 9, &v6_withdrawn, 1); },
     hex("00 24 01 00 01 02 03 04 00 00 00 09 00 01 00 00 06 40 01 ab 20 01 0d b8 00 00 00 01"
         " 00 00 00 00 00 00 00 00")},
    {"sync_begin_ifindex", [](tallowd_handle *h) { return tallowd_sync_begin(h, 1, 0x0a0b0c0d, 0xfffffffe); },
     hex("00 10 03 00 00 00 00 01 0a 0b 0c 0d ff ff ff fe")},
    {"sync_end_ifindex", [](tallowd_handle *h) { return tallowd_sync_end(h, 2, 4, 1, 0); },
     hex("00 14 04 00 00 00 00 02 00 00 00 04 00 00 00 01 00 00 00 00")},
};

void PrintTo(const wire_case &c, std::ostream *os) { *os << c.name; }

class wire : public client, public ::testing::WithParamInterface<wire_case> {};

TEST_P(wire, exact_bytes_and_counters)
{
    connect_to_server();
    const wire_case &c = GetParam();
    ASSERT_EQ(c.call(&h), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(c.expected.size()), c.expected);
    EXPECT_TRUE(server.quiet());
    EXPECT_EQ(h.msgs_sent, 1u);
    EXPECT_EQ(h.bytes_sent, c.expected.size());
    EXPECT_EQ(h.send_failures, 0u);
}

INSTANTIATE_TEST_SUITE_P(messages, wire, ::testing::ValuesIn(wire_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(client, largest_messages)
{
    connect_to_server();
    std::vector<tallowd_prefix> entries(TALLOWD_MAX_PREFIXES);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i] = make_prefix(TALLOWD_AFI_IPV4, 32, {10, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    ASSERT_EQ(tallowd_prefix_update(&h, 3, 0, entries.data(), 500), TALLOWD_OK);
    bytes got = server.read_exact(10016);
    ASSERT_EQ(got.size(), 10016u);
    EXPECT_EQ(bytes(got.begin(), got.begin() + 16), hex("27 20 01 00 00 00 00 03 00 00 00 00 01 f4 00 00"));
    EXPECT_EQ(std::memcmp(got.data() + 16, entries.data(), 500 * 20), 0);

    std::vector<uint32_t> ifs(TALLOWD_MAX_INTERFACES);
    for (size_t i = 0; i < ifs.size(); ++i)
        ifs[i] = 0x01000000u + static_cast<uint32_t>(i);
    ASSERT_EQ(tallowd_intf_set(&h, 3, ifs.data(), 512), TALLOWD_OK);
    got = server.read_exact(2064);
    ASSERT_EQ(got.size(), 2064u);
    EXPECT_EQ(bytes(got.begin(), got.begin() + 16), hex("08 10 06 00 00 00 00 03 00 00 00 00 02 00 00 00"));
    EXPECT_EQ(bytes(got.end() - 4, got.end()), hex("01 00 01 ff"));
    EXPECT_EQ(h.msgs_sent, 2u);
    EXPECT_EQ(h.bytes_sent, 10016u + 2064u);
}

TEST_F(client, invalid_arguments_write_nothing)
{
    connect_to_server();
    std::vector<tallowd_prefix> entries(TALLOWD_MAX_PREFIXES + 1);
    std::vector<uint32_t> ifs(TALLOWD_MAX_INTERFACES + 1);
    const std::function<int()> refused[] = {
        [&] { return tallowd_prefix_update(&h, 1, 0, entries.data(), 0); },
        [&] { return tallowd_prefix_update(&h, 1, 0, entries.data(), 501); },
        [&] { return tallowd_prefix_update(&h, 1, 0, nullptr, 1); },
        [&] { return tallowd_intf_set(&h, 1, ifs.data(), 513); },
        [&] { return tallowd_intf_set(&h, 1, nullptr, 1); },
        [&] { return tallowd_prefix_update(nullptr, 1, 0, entries.data(), 1); },
        [&] { return tallowd_sync_begin(nullptr, 1, 0, 1); },
        [&] { return tallowd_sync_end(nullptr, 1, 0, 1, 0); },
        [&] { return tallowd_intf_set(nullptr, 1, ifs.data(), 1); },
        [&] { return tallowd_warmboot_start(nullptr); },
        [&] { return tallowd_warmboot_end(nullptr); },
        [&] { return tallowd_connect(nullptr); },
        [&] { return tallowd_init(nullptr, sock_path.c_str()); },
    };
    for (size_t i = 0; i < std::size(refused); ++i)
        EXPECT_EQ(refused[i](), TALLOWD_ERR_INVAL) << "case " << i;
    tallowd_disconnect(nullptr);

    EXPECT_EQ(h.connected, 1);
    EXPECT_EQ(h.msgs_sent, 0u);
    EXPECT_EQ(h.send_failures, 0u);
    EXPECT_EQ(h.last_errno, 0);
    EXPECT_TRUE(server.quiet());
    // The stream is untouched: the next message arrives first and whole.
    ASSERT_EQ(tallowd_warmboot_end(&h), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(12), hex("00 0c 08 00 00 00 00 00 00 00 00 00"));
}

TEST_F(client, init_state_and_path)
{
    EXPECT_EQ(h.fd, -1);
    EXPECT_EQ(h.connected, 0);
    EXPECT_STREQ(h.path, sock_path.c_str());

    h.msgs_sent = 4;
    h.last_errno = 9;
    std::string long_path(200, 'p');
    ASSERT_EQ(tallowd_init(&h, long_path.c_str()), TALLOWD_OK);
    EXPECT_EQ(std::string(h.path), long_path.substr(0, 107));
    EXPECT_EQ(h.msgs_sent, 0u);
    EXPECT_EQ(h.last_errno, 0);

    ASSERT_EQ(tallowd_init(&h, nullptr), TALLOWD_OK);
    EXPECT_STREQ(h.path, "/var/run/tallowd.sock");
}

TEST_F(client, strerror_texts)
{
    const std::pair<int, const char *> texts[] = {
        {0, "Success"},        {-1, "Connection lost"}, {-2, "Socket full"},
        {-3, "Invalid argument"}, {5, "Unknown error"},  {-4, "Unknown error"},
    };
    for (const auto &[code, text] : texts)
        EXPECT_STREQ(tallowd_strerror(code), text) << code;
}

TEST_F(client, no_daemon)
{
    // Nothing at the path.
    EXPECT_EQ(tallowd_connect(&h), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.last_errno, ENOENT);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.fd, -1);

    // A socket file left behind with nobody listening.
    server.start(sock_path);
    server.listener.reset();
    EXPECT_EQ(tallowd_connect(&h), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.last_errno, ECONNREFUSED);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.fd, -1);

    // Sending on a handle that is not connected changes nothing.
    EXPECT_EQ(tallowd_sync_begin(&h, 1, 0, 1), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.send_failures, 0u);
    EXPECT_EQ(h.last_errno, ECONNREFUSED);
}

TEST_F(client, reconnect_after_server_restart)
{
    connect_to_server();
    ASSERT_EQ(tallowd_sync_begin(&h, 1, 0, 1), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(16).size(), 16u);
    server.stop();
    server.start(sock_path);

    // The old connection is gone: the first send fails (EPIPE, no SIGPIPE) and disconnects.
    EXPECT_EQ(tallowd_sync_begin(&h, 1, 0, 2), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.last_errno, EPIPE);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.fd, -1);
    EXPECT_EQ(h.send_failures, 1u);
    EXPECT_EQ(h.msgs_sent, 1u);

    ASSERT_EQ(tallowd_connect(&h), TALLOWD_OK);
    server.accept_client();
    ASSERT_EQ(tallowd_sync_begin(&h, 1, 0, 3), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(16), hex("00 10 03 00 00 00 00 01 00 00 00 00 00 00 00 03"));
    EXPECT_EQ(h.msgs_sent, 2u);
}

TEST_F(client, lost_connection_does_not_raise_sigpipe)
{
    connect_to_server();
    server.client.reset();
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            int rc = tallowd_warmboot_start(&h);
            _exit(rc == TALLOWD_ERR_CONN && h.last_errno == EPIPE ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(client, connect_when_connected_replaces_connection)
{
    connect_to_server();
    int old_client = server.client.fd;
    server.client.fd = -1;
    fd_guard old(old_client);

    ASSERT_EQ(tallowd_connect(&h), TALLOWD_OK);
    server.accept_client();
    pollfd p{old.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char c;
    EXPECT_EQ(read(old.fd, &c, 1), 0) << "the first connection was not closed";
    ASSERT_EQ(tallowd_warmboot_start(&h), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(12).size(), 12u);
}

TEST_F(client, full_send_buffer_keeps_connection)
{
    connect_to_server();
    std::vector<tallowd_prefix> entries(TALLOWD_MAX_PREFIXES, ten_slash_8);
    int rc = TALLOWD_OK;
    uint64_t sent = 0;
    for (int i = 0; i < 100000 && rc == TALLOWD_OK; ++i) {
        rc = tallowd_prefix_update(&h, 1, 0, entries.data(), 500);
        if (rc == TALLOWD_OK)
            ++sent;
    }
    ASSERT_EQ(rc, TALLOWD_ERR_FULL);
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(h.connected, 1);
    EXPECT_EQ(h.last_errno, EAGAIN);
    EXPECT_EQ(h.send_failures, 1u);
    EXPECT_EQ(h.msgs_sent, sent);
    EXPECT_EQ(h.bytes_sent, sent * 10016);

    // Everything queued is whole messages; the refused one left no bytes behind.
    bytes got = server.read_exact(static_cast<size_t>(sent * 10016));
    ASSERT_EQ(got.size(), sent * 10016);
    for (uint64_t i = 0; i < sent; ++i)
        ASSERT_EQ(got[i * 10016], 0x27) << "message " << i;
    EXPECT_TRUE(server.quiet());

    ASSERT_EQ(tallowd_warmboot_end(&h), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(12), hex("00 0c 08 00 00 00 00 00 00 00 00 00"));
}

TEST_F(client, partial_write_disconnects)
{
    connect_to_server();
    fault::next = fault::kind::partial;
    EXPECT_EQ(tallowd_sync_end(&h, 1, 0, 1, 1), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.last_errno, EIO);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.fd, -1);
    EXPECT_EQ(h.send_failures, 1u);
    EXPECT_EQ(h.msgs_sent, 0u);
    EXPECT_EQ(h.bytes_sent, 0u);
    // The daemon sees the truncated message and then the end of the stream.
    EXPECT_EQ(server.read_exact(19).size(), 19u);
    EXPECT_TRUE(server.at_eof());
}

TEST_F(client, write_error_disconnects)
{
    connect_to_server();
    fault::next = fault::kind::error;
    fault::error_value = ECONNRESET;
    EXPECT_EQ(tallowd_warmboot_start(&h), TALLOWD_ERR_CONN);
    EXPECT_EQ(h.last_errno, ECONNRESET);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.send_failures, 1u);
    EXPECT_TRUE(server.at_eof());
}

TEST_F(client, interrupted_write_is_retried)
{
    connect_to_server();
    fault::next = fault::kind::eintr_once;
    ASSERT_EQ(tallowd_warmboot_start(&h), TALLOWD_OK);
    EXPECT_EQ(server.read_exact(12), hex("00 0c 07 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(h.send_failures, 0u);
}

TEST_F(client, disconnect_keeps_counters)
{
    connect_to_server();
    ASSERT_EQ(tallowd_warmboot_start(&h), TALLOWD_OK);
    h.last_errno = EAGAIN;
    tallowd_disconnect(&h);
    EXPECT_EQ(h.fd, -1);
    EXPECT_EQ(h.connected, 0);
    EXPECT_EQ(h.msgs_sent, 1u);
    EXPECT_EQ(h.bytes_sent, 12u);
    EXPECT_EQ(h.last_errno, EAGAIN);
    EXPECT_EQ(server.read_exact(12).size(), 12u);
    EXPECT_TRUE(server.at_eof());
    tallowd_disconnect(&h);  // twice is harmless
}

}  // namespace
