// Northbound server: the listening socket, the single routing-suite client and framing by msg_len.
// When the client goes away, the policy of vrf_ops.cpp (disconnect_cleanup) decides what follows.

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "daemon.h"
#include "tallowd_proto.h"

namespace {

constexpr int listen_backlog = 4;
constexpr size_t initial_input_size = 8192;
constexpr size_t min_free_space = 256;

void fill_unix_addr(sockaddr_un &addr, const char *path)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
}

void drop_client(daemon_config *cfg, nb_client *client)
{
    auto &clients = cfg->nb_clients;
    for (size_t i = 0; i < clients.size(); i++) {
        if (clients[i].get() != client)
            continue;
        clients.erase(i);  // closes the socket and frees the buffer
        if (clients.empty())
            disconnect_cleanup(cfg);
        return;
    }
}

}  // namespace

int tallowd_ipc_init(daemon_config *cfg)
{
    const char *path = cfg->sock_path;
    tlog(LOG_DEBUG, "ipc: tallowd_ipc_init: sock_path=%s", path);
    unlink(path);

    unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd.valid()) {
        tlog(LOG_ERR, "ipc: socket() failed: %s", strerror(errno));
        return -1;
    }
    sockaddr_un addr;
    fill_unix_addr(addr, path);
    // The socket file is created under a umask that leaves it no wider than 0660 from the start, so
    // it is never reachable by others before chmod narrows it to its final group.
    mode_t old_mask = umask(0117);
    int rc = bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int bind_errno = errno;
    umask(old_mask);
    if (rc != 0) {
        tlog(LOG_ERR, "ipc: bind(%s) failed: %s", path, strerror(bind_errno));
        return -1;
    }

    if (const group *gr = getgrnam("frr")) {
        if (chown(path, 0, gr->gr_gid) != 0)
            tlog(LOG_WARNING, "ipc: chown failed: %s", strerror(errno));
        if (chmod(path, 0660) != 0)
            tlog(LOG_WARNING, "ipc: chmod failed: %s", strerror(errno));
    } else {
        if (chmod(path, 0660) != 0)
            tlog(LOG_WARNING, "ipc: chmod failed: %s", strerror(errno));
        tlog(LOG_WARNING, "ipc: 'frr' group not found, socket access restricted to root only");
    }

    if (listen(fd.get(), listen_backlog) != 0) {
        tlog(LOG_ERR, "ipc: listen() failed: %s", strerror(errno));
        return -1;
    }
    if (set_nonblocking(fd.get()) != 0)
        tlog(LOG_WARNING, "ipc: set_nonblocking failed on listen fd");
    cfg->listen_fd = std::move(fd);
    tlog(LOG_INFO, "ipc: listening on %s", path);
    return 0;
}

void tallowd_ipc_accept(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "ipc: accept() called on fd=%d", cfg->listen_fd.get());
    unique_fd fd(accept(cfg->listen_fd.get(), nullptr, nullptr));
    if (!fd.valid()) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            tlog(LOG_WARNING, "ipc: accept() failed: %s", strerror(errno));
        return;
    }
    if (!cfg->nb_clients.empty()) {
        tlog(LOG_WARNING, "ipc: rejecting additional NB client fd=%d (single-writer enforced)", fd.get());
        return;
    }
    if (set_nonblocking(fd.get()) != 0)
        tlog(LOG_WARNING, "ipc: set_nonblocking failed on client fd");

    std::unique_ptr<nb_client> client(new (std::nothrow) nb_client());
    if (!client) {
        tlog(LOG_ERR, "ipc: calloc failed");
        return;
    }
    if (client->input.resize(initial_input_size) != 0) {
        tlog(LOG_ERR, "ipc: malloc failed");
        return;
    }
    client->fd = std::move(fd);
    client->kind = nb_client_kind_frr;
    client->input_len = 0;
    int client_fd = client->fd.get();
    if (cfg->nb_clients.append(std::move(client)) != 0) {
        tlog(LOG_ERR, "ipc: calloc failed");
        return;
    }
    tlog(LOG_INFO, "ipc: FRR client connected (fd=%d)", client_fd);
}

namespace {

// Dispatches every complete message at the start of the client's input and moves the rest to the
// front. -1 when a bad msg_len has dropped the client.
int frame_input(daemon_config *cfg, nb_client *client)
{
    uint8_t *buf = client->input.data();
    size_t consumed = 0;
    while (client->input_len - consumed >= TALLOWD_HDR_LEN) {
        uint16_t msg_len = 0;
        get_be16(const_byte_span(buf + consumed, TALLOWD_HDR_LEN), TALLOWD_OFF_MSG_LEN, msg_len);
        if (msg_len < TALLOWD_MIN_MSG_LEN || msg_len > TALLOWD_MAX_MSG_LEN) {
            tlog(LOG_ERR, "ipc: bad msg_len %u (max %u), dropping client", unsigned(msg_len),
                 unsigned(TALLOWD_MAX_MSG_LEN));
            drop_client(cfg, client);
            return -1;
        }
        if (client->input_len - consumed < msg_len)
            break;
        ipc_dispatch(cfg, buf + consumed, msg_len);
        consumed += msg_len;
    }
    // Consumed messages are removed in one move rather than after each message.
    if (consumed > 0) {
        std::memmove(buf, buf + consumed, client->input_len - consumed);
        client->input_len -= consumed;
    }
    return 0;
}

}  // namespace

void tallowd_ipc_read(daemon_config *cfg, nb_client *client)
{
    tlog(LOG_DEBUG, "ipc: tallowd_ipc_read: fd=%d input_len=%zu", client->fd.get(), client->input_len);
    size_t free_space = client->input.size() - client->input_len;
    if (free_space < min_free_space) {
        if (client->input.resize(client->input.size() * 2) != 0) {
            tlog(LOG_ERR, "ipc: realloc failed");
            drop_client(cfg, client);
            return;
        }
        free_space = client->input.size() - client->input_len;
    }

    ssize_t n = read(client->fd.get(), client->input.data() + client->input_len, free_space);
    if (n > 0) {
        tlog(LOG_DEBUG, "ipc: recv %zd bytes from FRR fd=%d (buf now %zu)", n, client->fd.get(),
             client->input_len + size_t(n));
        if (size_t(n) > free_space) {
            tlog(LOG_ERR, "ipc: input overflow, dropping client");
            drop_client(cfg, client);
            return;
        }
        client->input_len += size_t(n);
        frame_input(cfg, client);
        return;
    }
    if (n == 0) {
        tlog(LOG_INFO, "FRR client disconnected");
        tlog(LOG_DEBUG, "ipc: FRR disconnect fd=%d", client->fd.get());
        drop_client(cfg, client);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return;
    tlog(LOG_WARNING, "FRR client read error: %s", strerror(errno));
    drop_client(cfg, client);
}

void tallowd_ipc_cleanup(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "ipc: tallowd_ipc_cleanup: cleaning up");
    cfg->nb_clients.reset();
    cfg->listen_fd.reset();
}
