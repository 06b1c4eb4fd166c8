// The default socket path. Binds /var/run/tallowd.sock, so it runs only inside a private network
// namespace (only "lo") with a fresh /run, as the sandbox runner provides.

#include "tallowd.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

bool in_private_netns()
{
    struct if_nameindex *ifs = if_nameindex();
    if (!ifs)
        return false;
    bool only_lo = true;
    for (struct if_nameindex *i = ifs; i->if_index != 0; ++i)
        only_lo = only_lo && std::strcmp(i->if_name, "lo") == 0;
    if_freenameindex(ifs);
    return only_lo;
}

TEST(default_path, connects_to_var_run_tallowd_sock)
{
    if (!in_private_netns())
        GTEST_SKIP() << "not inside the sandbox";

    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/var/run/tallowd.sock");
    ::unlink(addr.sun_path);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(listen(listener, 1), 0);

    tallowd_handle h;
    ASSERT_EQ(tallowd_init(&h, nullptr), TALLOWD_OK);
    ASSERT_STREQ(h.path, "/var/run/tallowd.sock");
    ASSERT_EQ(tallowd_connect(&h), TALLOWD_OK) << strerror(h.last_errno);
    int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    ASSERT_EQ(tallowd_sync_begin(&h, 5, 0, 7), TALLOWD_OK);

    uint8_t buf[16];
    size_t got = 0;
    while (got < sizeof buf) {
        pollfd p{conn, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        ssize_t r = read(conn, buf + got, sizeof buf - got);
        ASSERT_GT(r, 0);
        got += static_cast<size_t>(r);
    }
    const uint8_t expected[16] = {0x00, 0x10, 0x03, 0x00, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 7};
    EXPECT_EQ(std::memcmp(buf, expected, sizeof buf), 0);

    tallowd_disconnect(&h);
    close(conn);
    close(listener);
    ::unlink(addr.sun_path);
}

// Collects what the process sends to /dev/log (the sandbox's own, on the /dev overlay).
struct log_catcher {
    int fd = -1;
    log_catcher()
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "/dev/log");
        ::unlink(addr.sun_path);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
        closelog();
        openlog("libtallowd-test", LOG_NDELAY, LOG_USER);
        setlogmask(LOG_UPTO(LOG_DEBUG));
    }
    ~log_catcher()
    {
        closelog();
        if (fd >= 0)
            close(fd);
        ::unlink("/dev/log");
    }
    // Lines received so far as "<priority>message", the syslog header stripped.
    std::vector<std::string> take()
    {
        std::vector<std::string> lines;
        char buf[2048];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
            std::string line(buf, static_cast<size_t>(n));
            std::string pri = line.substr(0, line.find('>') + 1);
            size_t tag = line.find("libtallowd-test: ");
            lines.push_back(pri + (tag == std::string::npos ? line : line.substr(tag + 17)));
        }
        return lines;
    }
};

TEST(logging, debug_lines_through_callers_syslog)
{
    if (!in_private_netns())
        GTEST_SKIP() << "not inside the sandbox";
    log_catcher log;
    ASSERT_GE(log.fd, 0) << strerror(errno);

    tallowd_handle h;
    ASSERT_EQ(tallowd_init(&h, "/run/nobody-here.sock"), TALLOWD_OK);
    ASSERT_EQ(tallowd_connect(&h), TALLOWD_ERR_CONN);
    tallowd_prefix p{};
    // Refused arguments log nothing.
    ASSERT_EQ(tallowd_prefix_update(&h, 1, 0, &p, 0), TALLOWD_ERR_INVAL);
    ASSERT_EQ(tallowd_intf_set(&h, 1, nullptr, 1), TALLOWD_ERR_INVAL);
    ASSERT_EQ(tallowd_sync_end(&h, 4, 0, 2, 9), TALLOWD_ERR_CONN);
    tallowd_disconnect(&h);

    // LOG_USER | LOG_DEBUG = 15: the library keeps the caller's facility.
    const std::vector<std::string> expected = {
        "<15>lldp-lib: init path=/run/nobody-here.sock",
        "<15>lldp-lib: connect to /run/nobody-here.sock",
        "<15>lldp-lib: sync_end vrf=4 epoch=2 count=9",
        "<15>lldp-lib: disconnect fd=-1",
    };
    EXPECT_EQ(log.take(), expected);
}

}  // namespace
