// The stand-in's command line.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin.h"

void usage(FILE *f)
{
    fprintf(f,
            "usage: lldpd-standin [--socket PATH] [--record FILE] [--close-at N] [--no-ack [N]] [--refuse]\n"
            "                     [--quiet | --silent] [--tx-interval SECONDS [--drop-frame N [--drop-from-set M]]]\n"
            "  --socket PATH   listen on PATH (default /var/run/lldpd.socket)\n"
            "  --record FILE   append one JSON object per request (decoded fields, hex, receive time)\n"
            "  --close-at N    close the connection when the Nth request arrives, without answering it\n"
            "  --no-ack [N]    stop answering from the Nth request on (default 1)\n"
            "                  (requests are counted over the whole run, across connections)\n"
            "  --refuse        bind the socket but never listen: connections are refused\n"
            "  --quiet         print request headers only; --silent prints nothing per request\n"
            "  --tx-interval SECONDS\n"
            "                  send each interface's set as LLDP frames, one per blob, at once and every\n"
            "                  SECONDS (TTL 4 x SECONDS); immediate blobs once; TTL 0 on clear, flush, stop\n"
            "  --drop-frame N  leave out the Nth frame of every transmission of a set\n"
            "  --drop-from-set M\n"
            "                  ... only from an interface's Mth set on (default 1)\n"
            "SIGUSR1 prints a summary line; SIGTERM/SIGINT print it and exit.\n");
}

namespace {

bool parse_count(const char *s, uint64_t &out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno || !end || *end || v == 0 || s[0] == '-')
        return false;
    out = v;
    return true;
}

// The TTL, 4 x interval, is a 16-bit field.
constexpr uint64_t max_tx_interval = 65535 / 4;

// Options that take a positive count; -1 when `a` is none of them, else 0 or the exit status 2.
int parse_count_option(options &o, const std::string &a, const char *v)
{
    struct counted {
        const char *name;
        uint64_t *field;
        uint64_t max;
    };
    uint64_t interval = 0;
    const counted table[] = {
        {"--close-at", &o.close_at, UINT64_MAX},
        {"--tx-interval", &interval, max_tx_interval},
        {"--drop-frame", &o.drop_frame, UINT64_MAX},
        {"--drop-from-set", &o.drop_from_set, UINT64_MAX},
    };
    for (const counted &c : table) {
        if (a != c.name)
            continue;
        uint64_t n = 0;
        if (!v || !parse_count(v, n) || n > c.max) {
            if (c.max == UINT64_MAX)
                fprintf(stderr, "lldpd-standin: %s needs a positive number\n", c.name);
            else
                fprintf(stderr, "lldpd-standin: %s needs a number from 1 to %llu\n", c.name, (unsigned long long)c.max);
            return 2;
        }
        *c.field = n;
        if (c.field == &interval)
            o.tx_interval = unsigned(n);
        return 0;
    }
    return -1;
}

}  // namespace

int parse_options(options &o, int argc, char **argv)
{
    bool drop_given = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--socket" || a == "--record") {
            if (!next) {
                fprintf(stderr, "lldpd-standin: %s needs a value\n", a.c_str());
                return 2;
            }
            (a == "--socket" ? o.socket_path : o.record_path) = argv[++i];
        } else if (int rc = parse_count_option(o, a, next); rc >= 0) {
            if (rc)
                return rc;
            drop_given |= a.starts_with("--drop");
            i++;
        } else if (a == "--no-ack") {
            o.no_ack_from = 1;
            if (next && next[0] != '-' && !parse_count(argv[++i], o.no_ack_from)) {
                fprintf(stderr, "lldpd-standin: --no-ack takes a positive number\n");
                return 2;
            }
        } else if (a == "--refuse" || a == "--quiet" || a == "--silent") {
            if (a == "--refuse")
                o.refuse = true;
            else
                o.verbosity = a == "--quiet" ? 1 : 0;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "lldpd-standin: unknown argument %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (drop_given && !o.tx_interval) {
        fprintf(stderr, "lldpd-standin: --drop-frame and --drop-from-set need --tx-interval\n");
        return 2;
    }
    return -1;
}
