// The agent's read-only Unix socket for `tallowhost show`, and the client that asks it. A client sends
// one line ("uplinks", "neighbours" or "prefix ADDRESS", then " json" for JSON) and reads the answer
// until the agent closes. The agent serves it from its poll loop without blocking: the request and the
// answer are buffered per client, and a client that takes too long is dropped.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tallowhost.h"

namespace {

constexpr size_t max_request = 256;
constexpr size_t max_clients = 16;
constexpr int64_t client_timeout_ms = 2000;
constexpr const char *show_group = "tallowhost";

sockaddr_un show_address()
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", show_socket_path);
    return a;
}

void serve_read(host_config *cfg, show_client &c, int64_t now_ms)
{
    char buf[max_request];
    for (;;) {
        ssize_t n = recv(c.fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {  // closed before a whole line: answered as far as it goes
            c.in += '\n';
            break;
        }
        c.in.append(buf, size_t(n));
        if (c.in.find('\n') != std::string::npos || c.in.size() > max_request)
            break;
    }
    const size_t nl = c.in.find('\n');
    c.out = nl == std::string::npos ? "error: request too long\n" : tallowhost_show(cfg, c.in.substr(0, nl), now_ms);
    c.answering = true;
    shutdown(c.fd.get(), SHUT_RD);
}

// Writes what the socket takes; true when the whole answer is out.
bool serve_write(show_client &c)
{
    while (c.sent < c.out.size()) {
        ssize_t n = send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (n <= 0)
            return true;  // the client went away
        c.sent += size_t(n);
    }
    return true;
}

}  // namespace

int tallowhost_show_open(host_config *cfg)
{
    if (mkdir(state_dir, 0755) != 0 && errno != EEXIST) {
        hlog(LOG_ERR, "show: %s: %s", state_dir, strerror(errno));
        return -1;
    }
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_un a = show_address();
    unlink(show_socket_path);  // left by a run that was killed; the lock says no other agent runs
    // Created with no access, then opened to root and to the agent's group.
    const mode_t old = umask(0777);
    const bool bound = fd.valid() && bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    umask(old);
    if (!bound || listen(fd.get(), int(max_clients)) != 0) {
        hlog(LOG_ERR, "show: %s: %s", show_socket_path, strerror(errno));
        return -1;
    }
    // The socket is the agent's group's (tallowhost under its unit); a group of root's own is not opened.
    chmod(show_socket_path, getegid() != 0 ? 0660 : 0600);
    cfg->show_listen = std::move(fd);
    return 0;
}

void tallowhost_show_close(host_config *cfg)
{
    if (!cfg->show_listen.valid())
        return;
    cfg->show_listen.reset();
    cfg->show_clients.clear();
    unlink(show_socket_path);
}

void tallowhost_show_poll(const host_config *cfg, std::vector<pollfd> &fds)
{
    if (!cfg->show_listen.valid())
        return;
    fds.push_back(pollfd{cfg->show_listen.get(), POLLIN, 0});
    for (const show_client &c : cfg->show_clients)
        fds.push_back(pollfd{c.fd.get(), short(c.answering ? POLLOUT : POLLIN), 0});
}

void tallowhost_show_serve(host_config *cfg, const pollfd *fds, size_t n, int64_t now_ms)
{
    if (!cfg->show_listen.valid() || n == 0)
        return;
    // The clients in the order tallowhost_show_poll listed them, then the new ones.
    for (size_t i = 0; i < cfg->show_clients.size() && i + 1 < n; i++) {
        show_client &c = cfg->show_clients[i];
        if (!(fds[i + 1].revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)))
            continue;
        if (!c.answering)
            serve_read(cfg, c, now_ms);
        if (c.answering && serve_write(c))
            c.fd.reset();
    }
    if (fds[0].revents & POLLIN) {
        for (;;) {
            unique_fd fd(accept4(cfg->show_listen.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd.valid())
                break;
            if (cfg->show_clients.size() >= max_clients)
                continue;  // closed: the client sees the agent busy and may ask again
            show_client &c = cfg->show_clients.emplace_back();
            c.fd = std::move(fd);
            c.since_ms = now_ms;
        }
    }
    std::erase_if(cfg->show_clients, [now_ms](const show_client &c) {
        return !c.fd.valid() || now_ms - c.since_ms >= client_timeout_ms;
    });
}

int64_t tallowhost_show_due(const host_config *cfg)
{
    int64_t due = -1;
    for (const show_client &c : cfg->show_clients)
        if (due < 0 || c.since_ms + client_timeout_ms < due)
            due = c.since_ms + client_timeout_ms;
    return due;
}

int tallowhost_show_client(int argc, char **argv)
{
    const char *usage = "usage: tallowhost show [uplinks | neighbours | prefix ADDRESS] [--json]\n";
    std::string request;
    bool json = false;
    for (int i = 2; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--json") {
            json = true;
        } else if (request.empty() && (a == "uplinks" || a == "neighbours")) {
            request = a;
        } else if (request.empty() && a == "prefix" && i + 1 < argc) {
            uint8_t addr[16];
            if (inet_pton(AF_INET, argv[i + 1], addr) != 1 && inet_pton(AF_INET6, argv[i + 1], addr) != 1) {
                std::fprintf(stderr, "tallowhost: bad address \"%s\"\n%s", argv[i + 1], usage);
                return 2;
            }
            request = a + " " + argv[++i];
        } else {
            std::fprintf(stderr, "tallowhost: unknown argument \"%s\"\n%s", a.c_str(), usage);
            return 2;
        }
    }
    if (request.empty())
        request = "uplinks";
    request += json ? " json\n" : "\n";

    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un a = show_address();
    if (!fd.valid() || connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        const int e = errno;
        if (e == ENOENT || e == ECONNREFUSED)
            std::fprintf(stderr, "tallowhost: the agent is not running (%s: %s)\n", show_socket_path, strerror(e));
        else if (e == EACCES || e == EPERM)
            std::fprintf(stderr, "tallowhost: %s: permission denied (root and the group %s may ask)\n",
                         show_socket_path, show_group);
        else
            std::fprintf(stderr, "tallowhost: %s: %s\n", show_socket_path, strerror(e));
        return 1;
    }
    const timeval tv{5, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        std::fprintf(stderr, "tallowhost: %s: %s\n", show_socket_path, strerror(errno));
        return 1;
    }
    std::string answer;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "tallowhost: no answer from the agent (%s)\n", strerror(errno));
            return 1;
        }
        if (n == 0)
            break;
        answer.append(buf, size_t(n));
    }
    if (answer.empty()) {
        std::fprintf(stderr, "tallowhost: the agent closed without an answer (busy or stopping)\n");
        return 1;
    }
    if (answer.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "tallowhost: %s", answer.c_str() + 7);
        return 1;
    }
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
