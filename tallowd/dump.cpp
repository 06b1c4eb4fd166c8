// State dumps: a summary to syslog on SIGUSR1, the full state with every prefix to a file on SIGUSR2.
// Both only read the daemon's state.

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon.h"

namespace {

constexpr size_t clients_text_size = 128;
constexpr size_t intfs_text_size = 256;
constexpr unsigned intfs_shown = 8;

// The MTU of the VRF's first interface as it is now, not the one its frames were built for.
unsigned dump_mtu(const vrf_context &vrf)
{
    if (vrf.intfs.empty())
        return default_mtu;
    uint16_t mtu = read_mtu(vrf.intfs[0]);
    return mtu ? mtu : default_mtu;
}

// Appends to a fixed buffer, cutting the text where the buffer ends.
void append(char *buf, size_t size, size_t &used, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void append(char *buf, size_t size, size_t &used, const char *fmt, ...)
{
    if (used + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + used, size - used, fmt, ap);
    va_end(ap);
    if (n > 0)
        used = std::min(size - 1, used + size_t(n));
}

void dump_vrf_syslog(const vrf_context &vrf)
{
    size_t v4 = 0, v6 = 0, w0 = 0, w1 = 0;
    for (const prefix_entry *e = vrf.db.head(); e; e = vrf.db.next(e)) {
        (e->afi == afi_ipv4 ? v4 : v6)++;
        (e->w ? w1 : w0)++;
    }
    tlog(LOG_INFO, "  VRF %u: prefixes=%zu (v4=%zu v6=%zu W=0:%zu W=1:%zu) epoch=%u dirty=%d", vrf.vrf_id,
         vrf.db.count, v4, v6, w0, w1, vrf.epoch, vrf.dirty);
    tlog(LOG_INFO, "    blobs=%u holddown=%s mtu=%u", vrf.blobs.blob_count, vrf.holddown_pending ? "pending" : "idle",
         dump_mtu(vrf));
    const unsigned intf_count = unsigned(vrf.intfs.size());
    if (intf_count > 0) {
        char list[intfs_text_size] = "";
        size_t used = 0;
        unsigned shown = std::min<unsigned>(intf_count, intfs_shown);
        for (unsigned i = 0; i < shown; i++)
            append(list, sizeof list, used, "%s%u", i ? "," : "", vrf.intfs[i]);
        if (intf_count > intfs_shown)
            append(list, sizeof list, used, "...+%d more", int(intf_count) - int(intfs_shown));
        tlog(LOG_INFO, "    intfs(%u): [%s]", intf_count, list);
    }
    tlog(LOG_INFO, "    DB: adds=%lu removes=%lu updates=%lu swept=%lu", (unsigned long)vrf.adds,
         (unsigned long)vrf.removes, (unsigned long)vrf.updates, (unsigned long)vrf.swept);
    tlog(LOG_INFO, "    LLDPD: pushes=%lu blobs=%lu failures=%lu holddowns=%lu", (unsigned long)vrf.pushes,
         (unsigned long)vrf.blobs_pushed, (unsigned long)vrf.failures, (unsigned long)vrf.holddowns);
}

void dump_vrf_file(FILE *f, const vrf_context &vrf)
{
    fprintf(f, "VRF %u: %zu prefixes, epoch=%u\n", vrf.vrf_id, vrf.db.count, vrf.epoch);
    fprintf(f, "  MTU: %u\n", dump_mtu(vrf));
    fprintf(f, "  Interfaces (%u):", unsigned(vrf.intfs.size()));
    for (uint32_t ifindex : vrf.intfs)
        fprintf(f, " %u", ifindex);
    fputc('\n', f);
    fprintf(f, "  Blobs: %u frames\n", vrf.blobs.blob_count);
    for (uint16_t i = 0; i < vrf.blobs.blob_count; i++)
        fprintf(f, "    frame %u: %u bytes\n", i, vrf.blobs.slots[i].len);
    fprintf(f, "  Prefixes:\n");
    for (const prefix_entry *e = vrf.db.head(); e; e = vrf.db.next(e)) {
        char text[INET6_ADDRSTRLEN] = "";
        inet_ntop(e->afi == afi_ipv4 ? AF_INET : AF_INET6, e->addr, text, sizeof text);
        fprintf(f, "    %s %s/%u W=%u epoch=%u\n", e->afi == afi_ipv4 ? "IPv4" : "IPv6", text, e->plen, e->w, e->epoch);
    }
    fputc('\n', f);
}

}  // namespace

void dump_state_syslog()
{
    daemon_config *cfg = active_cfg.load();
    if (!cfg || cfg->log_level < LOG_INFO)  // every line of the dump is at LOG_INFO
        return;
    tlog(LOG_INFO, "--- tallowd state dump ---");
    long ago = cfg->last_push ? long(time(nullptr) - cfg->last_push) : -1;
    tlog(LOG_INFO, "LLDPD: %s (fd=%d, last push %lds ago)", cfg->lldpd_connected ? "connected" : "disconnected",
         cfg->lldpd_fd.get(), ago);

    char clients[clients_text_size] = "";
    size_t used = 0;
    for (const auto &client : cfg->nb_clients)
        append(clients, sizeof clients, used, "%s%s(fd=%d)", used ? "," : "", client->kind == nb_client_kind_frr ? "FRR" : "other",
               client->fd.get());
    tlog(LOG_INFO, "NB clients: %s", cfg->nb_clients.empty() ? "none" : clients);

    for (const auto &vrf : cfg->vrfs)
        dump_vrf_syslog(*vrf);

    tlog(LOG_INFO, "IPC msgs received: %lu", (unsigned long)cfg->msgs_received);
    tlog(LOG_INFO, "IPC prefix updates: %lu (prefixes: %lu)", (unsigned long)cfg->prefix_updates,
         (unsigned long)cfg->prefixes_received);
    tlog(LOG_INFO, "IPC sync begin/end: %lu/%lu intf_set: %lu errors: %lu", (unsigned long)cfg->sync_begins,
         (unsigned long)cfg->sync_ends, (unsigned long)cfg->intf_sets, (unsigned long)cfg->errors);
    tlog(LOG_INFO, "LLDPD reconnects: %lu txn timeouts: %lu", (unsigned long)cfg->lldpd_reconnects,
         (unsigned long)cfg->txn_timeouts);
    tlog(LOG_INFO, "--- end state dump ---");
}

void dump_state_file(const char *path)
{
    daemon_config *cfg = active_cfg.load();
    if (!cfg)
        return;
    // The daemon runs as root: a symbolic link planted at the path must not redirect the write.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        int open_errno = errno;
        if (fd >= 0)
            close(fd);
        tlog(LOG_WARNING, "Cannot open %s: %s", path, strerror(open_errno));
        return;
    }
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[64] = "";
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    fprintf(f, "tallowd state dump at %s\n\n", stamp);
    for (const auto &vrf : cfg->vrfs)
        dump_vrf_file(f, *vrf);
    // A full disk must not pass for a complete dump.
    bool failed = std::ferror(f) != 0;
    int write_errno = errno;
    if (std::fclose(f) != 0 && !failed) {
        failed = true;
        write_errno = errno;
    }
    if (failed) {
        tlog(LOG_WARNING, "Cannot write %s: %s", path, strerror(write_errno));
        return;
    }
    tlog(LOG_INFO, "Full state dumped to %s", path);
}
