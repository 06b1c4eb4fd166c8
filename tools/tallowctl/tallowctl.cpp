// tallowctl: sends northbound messages to tallowd through libtallowd, for operators and tests.
//
// One invocation makes one connection. The daemon cleans up a VRF's state when its client goes
// away, so commands that must share a connection are given together: "script FILE" (or "-" for
// standard input, read line by line as it arrives) runs one command per line over one connection.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tallowd.h"

namespace {

constexpr int full_wait_ms = 5000;  // how long a full send buffer is waited on before giving up
constexpr int closed_check_ms = 20;  // how long to look for the daemon closing the connection

const char usage_text[] =
    "usage: tallowctl [--socket PATH] COMMAND [ARGS]\n"
    "commands:\n"
    "  sync --vrf N --epoch E [--count C] FILE|-\n"
    "        full resynchronisation: SYNC_BEGIN, the file's prefixes in PREFIX_UPDATEs of up to\n"
    "        500 entries, SYNC_END with C or the number of distinct non-default prefixes\n"
    "  update --vrf N [--ifindex I] [--withdraw] PREFIX...\n"
    "        one PREFIX_UPDATE; a prefix written -P, or every prefix with --withdraw, is withdrawn\n"
    "  sync-begin --vrf N --epoch E\n"
    "  sync-end --vrf N --epoch E --count C\n"
    "  intf-set --vrf N [IFACE...]      interfaces by index or name; none clears the VRF\n"
    "  warmboot start|end\n"
    "  sleep MS                         wait, keeping the connection open\n"
    "  script FILE|-                    run one command per line over one connection\n"
    "PREFIX is ADDRESS[/LEN] (IPv4 or IPv6); without /LEN it is a host prefix.\n"
    "Prefix files hold one PREFIX per line; '#' starts a comment.\n";

struct session {
    tallowd_handle h{};
    bool connected = false;
};

int fail(const char *cmd, const char *fmt, const char *arg = "")
{
    fprintf(stderr, "tallowctl: %s: ", cmd);
    fprintf(stderr, fmt, arg);
    fputc('\n', stderr);
    return 1;
}

int ensure_connected(session &s)
{
    if (s.connected && s.h.connected)
        return 0;
    int rc = tallowd_connect(&s.h);
    if (rc != 0) {
        fprintf(stderr, "tallowctl: cannot connect to %s: %s (%s)\n", s.h.path, tallowd_strerror(rc),
                strerror(s.h.last_errno));
        return -1;
    }
    s.connected = true;
    return 0;
}

// Runs one library call; a full send buffer is waited on and the call repeated.
template <typename F> int send_msg(session &s, const char *cmd, F call)
{
    if (ensure_connected(s) != 0)
        return 1;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int rc = call(&s.h);
        if (rc == TALLOWD_OK)
            return 0;
        if (rc == TALLOWD_ERR_FULL) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (waited < full_wait_ms) {
                pollfd p{s.h.fd, POLLOUT, 0};
                poll(&p, 1, int(full_wait_ms - waited));
                continue;
            }
        }
        fprintf(stderr, "tallowctl: %s: %s", cmd, tallowd_strerror(rc));
        if (rc == TALLOWD_ERR_CONN || rc == TALLOWD_ERR_FULL)
            fprintf(stderr, " (%s)", strerror(s.h.last_errno));
        fputc('\n', stderr);
        return 1;
    }
}

bool parse_u32(const char *s, uint32_t &out)
{
    if (!s || !*s || *s == '-' || *s == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (errno || *end || v > 0xFFFFFFFFul)
        return false;
    out = uint32_t(v);
    return true;
}

// ADDRESS[/LEN], optionally led by '-' for a withdrawal.
bool parse_prefix(const std::string &text, tallowd_prefix &p, bool withdraw)
{
    std::string t = text;
    p = tallowd_prefix{};
    if (!t.empty() && t[0] == '-') {
        withdraw = true;
        t.erase(0, 1);
    }
    std::string addr = t, len;
    size_t slash = t.find('/');
    if (slash != std::string::npos) {
        addr = t.substr(0, slash);
        len = t.substr(slash + 1);
    }
    unsigned max;
    if (inet_pton(AF_INET, addr.c_str(), p.address) == 1) {
        p.afi = TALLOWD_AFI_IPV4;
        max = TALLOWD_IPV4_MAX_PREFIX_LEN;
    } else if (inet_pton(AF_INET6, addr.c_str(), p.address) == 1) {
        p.afi = TALLOWD_AFI_IPV6;
        max = TALLOWD_IPV6_MAX_PREFIX_LEN;
    } else {
        return false;
    }
    uint32_t plen = max;
    if (slash != std::string::npos && (!parse_u32(len.c_str(), plen) || plen > max))
        return false;
    p.prefix_len = uint8_t(plen);
    p.W = withdraw ? 1 : 0;
    return true;
}

// Options of a command: --name VALUE pairs and flags, then positional arguments.
struct args {
    std::vector<std::string> pos;
    bool has_vrf = false, has_epoch = false, has_count = false, withdraw = false;
    uint32_t vrf = 0, epoch = 0, count = 0, ifindex = 0;
};

int parse_args(const char *cmd, const std::vector<std::string> &in, args &a)
{
    for (size_t i = 0; i < in.size(); i++) {
        const std::string &w = in[i];
        auto number = [&](uint32_t &out, bool *seen) -> bool {
            if (i + 1 >= in.size() || !parse_u32(in[i + 1].c_str(), out)) {
                fail(cmd, "%s needs an unsigned number", w.c_str());
                return false;
            }
            if (seen)
                *seen = true;
            i++;
            return true;
        };
        if (w == "--vrf") {
            if (!number(a.vrf, &a.has_vrf))
                return -1;
        } else if (w == "--epoch") {
            if (!number(a.epoch, &a.has_epoch))
                return -1;
        } else if (w == "--count") {
            if (!number(a.count, &a.has_count))
                return -1;
        } else if (w == "--ifindex") {
            if (!number(a.ifindex, nullptr))
                return -1;
        } else if (w == "--withdraw") {
            a.withdraw = true;
        } else if (w == "--") {
            a.pos.insert(a.pos.end(), in.begin() + long(i) + 1, in.end());
            break;
        } else if (w.size() > 2 && w[0] == '-' && w[1] == '-') {
            fail(cmd, "unknown option %s", w.c_str());
            return -1;
        } else {
            a.pos.push_back(w);
        }
    }
    return 0;
}

int need(const char *cmd, bool ok, const char *what)
{
    if (!ok)
        fail(cmd, "%s is required", what);
    return ok ? 0 : -1;
}

int send_prefixes(session &s, const char *cmd, uint32_t vrf, uint32_t ifindex, const std::vector<tallowd_prefix> &all)
{
    for (size_t off = 0; off < all.size(); off += TALLOWD_MAX_PREFIXES) {
        uint16_t n = uint16_t(std::min<size_t>(TALLOWD_MAX_PREFIXES, all.size() - off));
        const tallowd_prefix *first = all.data() + off;
        if (send_msg(s, cmd, [&](tallowd_handle *h) { return tallowd_prefix_update(h, vrf, ifindex, first, n); }))
            return 1;
    }
    return 0;
}

int read_prefix_file(const char *cmd, const std::string &path, std::vector<tallowd_prefix> &out)
{
    FILE *f = path == "-" ? stdin : fopen(path.c_str(), "r");
    if (!f)
        return fail(cmd, "cannot open %s", path.c_str());
    char line[512];
    unsigned lineno = 0;
    int rc = 0;
    while (fgets(line, sizeof line, f)) {
        lineno++;
        char *hash = strchr(line, '#');
        if (hash)
            *hash = 0;
        char *tok = strtok(line, " \t\r\n");
        for (; tok; tok = strtok(nullptr, " \t\r\n")) {
            tallowd_prefix p;
            if (!parse_prefix(tok, p, false)) {
                fprintf(stderr, "tallowctl: %s: %s:%u: bad prefix %s\n", cmd, path.c_str(), lineno, tok);
                rc = 1;
                break;
            }
            out.push_back(p);
        }
        if (rc)
            break;
    }
    if (f != stdin)
        fclose(f);
    return rc;
}

int run_command(session &s, const std::vector<std::string> &words, bool in_script);

int cmd_sync(session &s, const args &a)
{
    const char *cmd = "sync";
    if (need(cmd, a.has_vrf, "--vrf") || need(cmd, a.has_epoch, "--epoch"))
        return 2;
    if (a.pos.size() != 1)
        return fail(cmd, "one prefix file (or -) is required", "") + 1;
    std::vector<tallowd_prefix> prefixes;
    if (read_prefix_file(cmd, a.pos[0], prefixes))
        return 1;
    // The daemon stores a prefix once however often it is listed: count distinct keys (family,
    // length and the address bytes the length covers), default routes not included.
    std::set<std::string> keys;
    for (const auto &p : prefixes) {
        if (p.prefix_len == 0 || p.W != 0)
            continue;
        std::string key{char(p.afi), char(p.prefix_len)};
        key.append(reinterpret_cast<const char *>(p.address), (p.prefix_len + 7u) / 8u);
        keys.insert(key);
    }
    uint32_t count = uint32_t(keys.size());
    if (a.has_count)
        count = a.count;
    if (send_msg(s, cmd, [&](tallowd_handle *h) { return tallowd_sync_begin(h, a.vrf, a.ifindex, a.epoch); }))
        return 1;
    if (send_prefixes(s, cmd, a.vrf, a.ifindex, prefixes))
        return 1;
    return send_msg(s, cmd, [&](tallowd_handle *h) { return tallowd_sync_end(h, a.vrf, a.ifindex, a.epoch, count); });
}

int cmd_update(session &s, const args &a)
{
    const char *cmd = "update";
    if (need(cmd, a.has_vrf, "--vrf"))
        return 2;
    if (a.pos.empty())
        return fail(cmd, "at least one prefix is required", "") + 1;
    std::vector<tallowd_prefix> prefixes;
    for (const auto &t : a.pos) {
        tallowd_prefix p;
        if (!parse_prefix(t, p, a.withdraw))
            return fail(cmd, "bad prefix %s", t.c_str());
        prefixes.push_back(p);
    }
    return send_prefixes(s, cmd, a.vrf, a.ifindex, prefixes);
}

int cmd_intf_set(session &s, const args &a)
{
    const char *cmd = "intf-set";
    if (need(cmd, a.has_vrf, "--vrf"))
        return 2;
    if (a.pos.size() > TALLOWD_MAX_INTERFACES)
        return fail(cmd, "at most 512 interfaces%s", "");
    std::vector<uint32_t> idx;
    for (const auto &t : a.pos) {
        uint32_t v;
        if (!parse_u32(t.c_str(), v)) {
            v = if_nametoindex(t.c_str());
            if (v == 0)
                return fail(cmd, "no interface %s", t.c_str());
        }
        idx.push_back(v);
    }
    uint16_t n = uint16_t(idx.size());
    return send_msg(s, cmd, [&](tallowd_handle *h) { return tallowd_intf_set(h, a.vrf, n ? idx.data() : nullptr, n); });
}

int cmd_script(session &s, const args &a)
{
    const char *cmd = "script";
    if (a.pos.size() != 1)
        return fail(cmd, "one script file (or -) is required", "") + 1;
    FILE *f = a.pos[0] == "-" ? stdin : fopen(a.pos[0].c_str(), "r");
    if (!f)
        return fail(cmd, "cannot open %s", a.pos[0].c_str());
    std::string line;
    int rc = 0;
    unsigned lineno = 0;
    char buf[4096];
    // Lines may be longer than the buffer: collect pieces until the newline.
    while (fgets(buf, sizeof buf, f)) {
        line += buf;
        if (line.back() != '\n' && !feof(f))
            continue;
        lineno++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<std::string> words;
        char *save = nullptr;
        for (char *tok = strtok_r(line.data(), " \t\r\n", &save); tok; tok = strtok_r(nullptr, " \t\r\n", &save))
            words.emplace_back(tok);
        line.clear();
        if (words.empty())
            continue;
        rc = run_command(s, words, true);
        if (rc) {
            fprintf(stderr, "tallowctl: script: stopped at line %u\n", lineno);
            break;
        }
    }
    if (f != stdin)
        fclose(f);
    return rc;
}

int run_command(session &s, const std::vector<std::string> &words, bool in_script)
{
    const std::string &name = words[0];
    std::vector<std::string> rest(words.begin() + 1, words.end());
    args a;
    if (name == "warmboot") {
        if (rest.size() != 1 || (rest[0] != "start" && rest[0] != "end"))
            return fail("warmboot", "start or end is required", "") + 1;
        if (rest[0] == "start")
            return send_msg(s, "warmboot", [](tallowd_handle *h) { return tallowd_warmboot_start(h); });
        return send_msg(s, "warmboot", [](tallowd_handle *h) { return tallowd_warmboot_end(h); });
    }
    if (name == "sleep") {
        uint32_t ms;
        if (rest.size() != 1 || !parse_u32(rest[0].c_str(), ms))
            return fail("sleep", "milliseconds are required", "") + 1;
        // Keep the connection open; stay connected if it was not yet.
        if (ensure_connected(s) != 0)
            return 1;
        timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        return 0;
    }
    if (parse_args(name.c_str(), rest, a) != 0)
        return 2;
    if (name == "sync")
        return cmd_sync(s, a);
    if (name == "update")
        return cmd_update(s, a);
    if (name == "intf-set")
        return cmd_intf_set(s, a);
    if (name == "sync-begin") {
        if (need("sync-begin", a.has_vrf, "--vrf") || need("sync-begin", a.has_epoch, "--epoch"))
            return 2;
        return send_msg(s, "sync-begin", [&](tallowd_handle *h) { return tallowd_sync_begin(h, a.vrf, a.ifindex, a.epoch); });
    }
    if (name == "sync-end") {
        if (need("sync-end", a.has_vrf, "--vrf") || need("sync-end", a.has_epoch, "--epoch") ||
            need("sync-end", a.has_count, "--count"))
            return 2;
        return send_msg(s, "sync-end",
                        [&](tallowd_handle *h) { return tallowd_sync_end(h, a.vrf, a.ifindex, a.epoch, a.count); });
    }
    if (name == "script" && !in_script)
        return cmd_script(s, a);
    fprintf(stderr, "tallowctl: unknown command %s\n", name.c_str());
    if (!in_script)
        fputs(usage_text, stderr);
    return 2;
}

// The daemon never writes: a readable socket means it has closed the connection, as it does
// with a second client or a malformed stream. Checked briefly once everything is sent.
bool closed_by_daemon(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, closed_check_ms) <= 0)
        return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

int main(int argc, char **argv)
{
    // A daemon that goes away must give an error, not kill the tool.
    signal(SIGPIPE, SIG_IGN);
    const char *path = nullptr;
    int i = 1;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else {
            break;
        }
    }
    if (i >= argc) {
        fputs(usage_text, stderr);
        return 2;
    }
    session s;
    tallowd_init(&s.h, path);
    std::vector<std::string> words(argv + i, argv + argc);
    int rc = run_command(s, words, false);
    if (rc == 0 && s.h.connected && closed_by_daemon(s.h.fd)) {
        fprintf(stderr, "tallowctl: the daemon closed the connection; what was sent may have been dropped "
                        "(another client connected?)\n");
        rc = 1;
    }
    tallowd_disconnect(&s.h);
    return rc;
}
