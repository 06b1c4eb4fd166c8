// The listening socket and the poll loop over it, the connections and the transmitter's timers.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include "standin.h"

extern volatile sig_atomic_t stop_requested;
extern volatile sig_atomic_t summary_requested;

int listener_open(const options &o, unique_fd &out)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (o.socket_path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "lldpd-standin: socket path too long\n");
        return 2;
    }
    // Bound and listening under a temporary name first, then renamed: whoever sees the path can
    // connect at once.
    std::string tmp_path = o.socket_path + ".new" + std::to_string(getpid());
    if (tmp_path.size() >= sizeof addr.sun_path)
        tmp_path = o.socket_path;
    std::memcpy(addr.sun_path, tmp_path.c_str(), tmp_path.size());
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        perror("lldpd-standin: socket");
        return 1;
    }
    unlink(tmp_path.c_str());
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "lldpd-standin: bind %s: %s\n", tmp_path.c_str(), strerror(errno));
        return 1;
    }
    if (!o.refuse && listen(fd.get(), 16) != 0) {
        fprintf(stderr, "lldpd-standin: listen: %s\n", strerror(errno));
        return 1;
    }
    if (tmp_path != o.socket_path && rename(tmp_path.c_str(), o.socket_path.c_str()) != 0) {
        fprintf(stderr, "lldpd-standin: rename to %s: %s\n", o.socket_path.c_str(), strerror(errno));
        unlink(tmp_path.c_str());
        return 1;
    }
    out = std::move(fd);
    return 0;
}

namespace {

using connection_list = std::vector<std::unique_ptr<connection>>;  // in order of acceptance

void accept_connection(int lfd, connection_list &conns, unsigned &next_id)
{
    unique_fd cfd(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!cfd)
        return;
    auto c = std::make_unique<connection>();
    c->fd = std::move(cfd);
    c->id = next_id++;
    c->buf.resize(read_chunk);
    printf("conn=%u accepted\n", c->id);
    fflush(stdout);
    conns.push_back(std::move(c));
}

// Reads what arrived and handles the complete requests; false when the connection is over.
bool serve_connection(standin &s, connection &c)
{
    connection_reserve(c);
    ssize_t n = recv(c.fd.get(), c.buf.data() + c.end, c.buf.size() - c.end, 0);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0) {
        if (c.end > c.start)
            printf("conn=%u closed with %zu bytes of a partial request\n", c.id, c.end - c.start);
        else
            printf("conn=%u closed by peer\n", c.id);
        fflush(stdout);
        return false;
    }
    c.end += size_t(n);
    if (process(s, c))
        return true;
    printf("conn=%u closed by stand-in\n", c.id);
    fflush(stdout);
    return false;
}

connection *find_connection(connection_list &conns, int fd)
{
    for (auto &c : conns)
        if (c->fd.get() == fd)
            return c.get();
    return nullptr;
}

// Wait bound: a signal that lands just before poll() is still seen soon.
constexpr int longest_wait_ms = 200;

}  // namespace

void serve(standin &s, int lfd)
{
    connection_list conns;
    unsigned next_id = 1;
    std::vector<pollfd> fds;
    while (!stop_requested) {
        if (summary_requested) {
            summary_requested = 0;
            print_summary(s);
        }
        fds.clear();
        if (!s.opt.refuse)
            fds.push_back({lfd, POLLIN, 0});
        for (auto &c : conns)
            fds.push_back({c->fd.get(), POLLIN, 0});
        int rc = poll(fds.data(), fds.size(), tx_timeout_ms(s.tx, now_ns(), longest_wait_ms));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            perror("lldpd-standin: poll");
            break;
        }
        size_t k = 0;
        if (!s.opt.refuse) {
            if (fds[0].revents & POLLIN)
                accept_connection(lfd, conns, next_id);
            k = 1;
        }
        for (; k < fds.size(); k++) {
            connection *c = fds[k].revents ? find_connection(conns, fds[k].fd) : nullptr;
            if (c && !serve_connection(s, *c))
                c->fd.reset();
        }
        std::erase_if(conns, [](const std::unique_ptr<connection> &c) { return !c->fd; });
        tx_run_timers(s.tx, now_ns());
    }
}
