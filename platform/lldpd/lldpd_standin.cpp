// lldpd stand-in: accepts tallowd's proxy-frame requests on lldpd's socket, acknowledges each with
// 16 bytes, prints every request decoded (one line each) and can record them as JSON lines.
//
// Requests: a 16-byte envelope in host order (type u32, 0 u32, length u64 = bytes that follow), a
// 16-byte big-endian header and a payload. Type 11 (proxy frames): ifindex, sequence number, blob
// count, 0, blob count, flags; payload = blobs, each with a u16 big-endian length in front. Type 12
// (immediate delta): ifindex and 12 zero bytes; payload = one blob. A blob is a run of LLDP TLVs:
// a control TLV, then IPv4 / IPv6 prefix TLVs.
//
// Fault modes for tests: --close-at N closes the connection on the Nth request (without answering
// it), --no-ack [N] stops answering from the Nth request on (default 1), --refuse binds the socket
// but never listens, so that connecting is refused.
//
// The acknowledgement is sent as soon as a request is complete, before it is decoded or printed,
// so the stand-in adds as little as possible to what the sender measures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr size_t envelope_len = 16;
constexpr size_t header_len = 16;
constexpr uint64_t max_request = 256u << 20;  // anything larger is a broken stream
constexpr size_t read_chunk = 4u << 20;
constexpr uint8_t frame_oui[3] = {0x5A, 0x3C, 0x71};

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t summary_requested = 0;

void on_signal(int sig)
{
    if (sig == SIGUSR1)
        summary_requested = 1;
    else
        stop_requested = 1;
}

struct options {
    std::string socket_path = "/var/run/lldpd.socket";
    std::string record_path;
    uint64_t close_at = 0;   // 0: never
    uint64_t no_ack_from = 0;  // 0: always answer
    bool refuse = false;
    int verbosity = 2;  // 0 nothing, 1 headers only, 2 headers and decoded blobs
};

struct connection {
    int fd = -1;
    unsigned id = 0;
    std::vector<uint8_t> buf;
    size_t start = 0;  // first unconsumed byte
    size_t end = 0;    // one past the last received byte
};

struct stats {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    uint64_t acks = 0;
    uint64_t first_ns = 0;
    uint64_t last_ack_ns = 0;
};

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint16_t be16(std::span<const uint8_t> s, size_t off)
{
    return off + 2 <= s.size() ? uint16_t(s[off] << 8 | s[off + 1]) : 0;
}

uint32_t be32(std::span<const uint8_t> s, size_t off)
{
    return off + 4 <= s.size() ? uint32_t(s[off]) << 24 | uint32_t(s[off + 1]) << 16 | uint32_t(s[off + 2]) << 8 | s[off + 3]
                               : 0;
}

// Output buffers: text for stdout, JSON for the record file.
struct out_buf {
    std::string s;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char tmp[512];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
        va_end(ap);
        if (n > 0)
            s.append(tmp, size_t(n) < sizeof tmp ? size_t(n) : sizeof tmp - 1);
    }
    void add_str(const char *p) { s.append(p); }
};

std::string flag_names(uint8_t f)
{
    std::string r;
    auto add = [&](const char *n) {
        if (!r.empty())
            r += '|';
        r += n;
    };
    if (f & 0x80)
        add("FIRST");
    if (f & 0x40)
        add("MORE");
    if (f & 0x01)
        add("PERIODIC");
    if (f & 0x3E)
        add("?");
    if (r.empty())
        r = "-";
    return r;
}

// Decodes one blob into the text line and the JSON record.
void decode_blob(std::span<const uint8_t> blob, out_buf *text, out_buf *json)
{
    if (json)
        json->add_str("{\"tlvs\":[");
    size_t off = 0;
    bool first_tlv = true;
    while (off < blob.size()) {
        if (off + 2 > blob.size()) {
            if (text)
                text->add(" trailing-byte@%zu", off);
            if (json)
                json->add("%s{\"error\":\"trailing byte\",\"offset\":%zu}", first_tlv ? "" : ",", off);
            break;
        }
        uint16_t word = be16(blob, off);
        unsigned type = word >> 9, len = word & 0x1FF;
        if (off + 2 + len > blob.size()) {
            if (text)
                text->add(" truncated-tlv@%zu(type=%u,len=%u)", off, type, len);
            if (json)
                json->add("%s{\"error\":\"truncated\",\"offset\":%zu,\"type\":%u,\"len\":%u}", first_tlv ? "" : ",", off,
                          type, len);
            break;
        }
        std::span<const uint8_t> v = blob.subspan(off + 2, len);
        bool ours = type == 127 && len >= 4 && std::memcmp(v.data(), frame_oui, 3) == 0;
        unsigned subtype = ours ? v[3] : 256;
        const char *sep = first_tlv ? "" : ",";
        if (ours && subtype == 0 && len == 5) {
            if (text)
                text->add(" ctl=0x%02x(%s)", v[4], flag_names(v[4]).c_str());
            if (json)
                json->add("%s{\"ctl\":%u}", sep, v[4]);
        } else if (ours && ((subtype == 1 && len == 11) || (subtype == 2 && len == 23))) {
            char addr[INET6_ADDRSTRLEN] = "";
            inet_ntop(subtype == 1 ? AF_INET : AF_INET6, v.data() + 7, addr, sizeof addr);
            unsigned plen = v[4];
            bool w = v[6] & 0x80;
            if (text) {
                text->add(" %s/%u%s", addr, plen, w ? "[W]" : "");
                if (v[5] || (v[6] & 0x7F))
                    text->add("{res=%u,flags=0x%02x}", v[5], v[6]);
            }
            if (json)
                json->add("%s{\"prefix\":\"%s/%u\",\"afi\":%u,\"plen\":%u,\"w\":%s,\"flags\":%u,\"reserved\":%u}", sep, addr,
                          plen, subtype == 1 ? 4u : 6u, plen, w ? "true" : "false", v[6], v[5]);
        } else {
            if (text)
                text->add(" tlv(type=%u,len=%u,subtype=%d)", type, len, ours ? int(subtype) : -1);
            if (json)
                json->add("%s{\"type\":%u,\"len\":%u}", sep, type, len);
        }
        first_tlv = false;
        off += 2 + len;
    }
    if (json)
        json->add_str("]}");
}

void append_hex(std::string &s, std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    size_t at = s.size();
    s.resize(at + bytes.size() * 2);
    for (uint8_t b : bytes) {
        s[at++] = digits[b >> 4];
        s[at++] = digits[b & 15];
    }
}

struct standin {
    options opt;
    stats st;
    FILE *record = nullptr;
    std::string line;

    // Decodes and reports one complete request (envelope included).
    void report(const connection &c, std::span<const uint8_t> req, uint64_t n, uint64_t t_ns, const char *action)
    {
        if (opt.verbosity == 0 && !record)
            return;
        uint32_t type, zero;
        uint64_t length;
        std::memcpy(&type, req.data(), 4);
        std::memcpy(&zero, req.data() + 4, 4);
        std::memcpy(&length, req.data() + 8, 8);
        std::span<const uint8_t> hdr = req.subspan(envelope_len, header_len);
        std::span<const uint8_t> payload = req.subspan(envelope_len + header_len);
        uint32_t ifindex = be32(hdr, 0);

        out_buf text, json;
        out_buf *tp = opt.verbosity > 0 ? &text : nullptr;
        out_buf *jp = record ? &json : nullptr;
        if (tp) {
            tp->add("req=%llu conn=%u type=%u ifindex=%u", (unsigned long long)n, c.id, type, ifindex);
            if (zero)
                tp->add(" envelope_word=%u", zero);
        }
        if (jp) {
            jp->add("{\"n\":%llu,\"conn\":%u,\"t_ns\":%llu,\"action\":\"%s\",\"type\":%u,\"envelope_zero\":%u,"
                    "\"length\":%llu,\"ifindex\":%u",
                    (unsigned long long)n, c.id, (unsigned long long)t_ns, action, type, zero, (unsigned long long)length,
                    ifindex);
        }
        bool decode = opt.verbosity > 1 || jp;
        if (type == 11) {
            uint32_t seq = be32(hdr, 4);
            uint16_t count = be16(hdr, 8), reserved = be16(hdr, 10), count2 = be16(hdr, 12), flags = be16(hdr, 14);
            if (tp) {
                tp->add(" seq=%u flags=0x%04x blobs=%u", seq, flags, count);
                if (count2 != count || reserved)
                    tp->add(" count2=%u reserved=%u", count2, reserved);
            }
            if (jp)
                jp->add(",\"seq\":%u,\"flags\":%u,\"blob_count\":%u,\"reserved\":%u,\"blob_count2\":%u,\"blobs\":[", seq,
                        flags, count, reserved, count2);
            size_t off = 0;
            unsigned i = 0;
            while (off < payload.size()) {
                if (off + 2 > payload.size()) {
                    if (tp)
                        tp->add(" trailing-byte");
                    break;
                }
                uint16_t blen = be16(payload, off);
                if (off + 2 + blen > payload.size()) {
                    if (tp)
                        tp->add(" blob[%u]=truncated(len=%u)", i, blen);
                    break;
                }
                if (decode) {
                    if (tp) {
                        tp->add(" blob[%u]{len=%u", i, blen);
                        if (opt.verbosity < 2)
                            tp->add("}");
                    }
                    if (jp && i)
                        jp->add_str(",");
                    decode_blob(payload.subspan(off + 2, blen), opt.verbosity > 1 ? tp : nullptr, jp);
                    if (tp && opt.verbosity > 1)
                        tp->add("}");
                }
                off += 2 + size_t(blen);
                i++;
            }
            if (tp && i != count)
                tp->add(" blobs_in_payload=%u", i);
            if (jp)
                jp->add("],\"blobs_in_payload\":%u", i);
        } else if (type == 12) {
            if (tp) {
                bool nonzero = false;
                for (size_t k = 4; k < header_len; k++)
                    nonzero |= hdr[k] != 0;
                if (nonzero)
                    tp->add(" header_tail_nonzero");
                tp->add(" blob{len=%zu", payload.size());
                if (opt.verbosity < 2)
                    tp->add("}");
            }
            if (jp)
                jp->add_str(",\"blob\":");
            if (decode) {
                decode_blob(payload, opt.verbosity > 1 ? tp : nullptr, jp);
            }
            if (tp && opt.verbosity > 1)
                tp->add("}");
        } else if (tp) {
            tp->add(" unknown-type payload=%zu", payload.size());
        }
        if (tp) {
            if (std::strcmp(action, "ack") != 0)
                tp->add(" action=%s", action);
            tp->add_str("\n");
            fwrite(tp->s.data(), 1, tp->s.size(), stdout);
            fflush(stdout);
        }
        if (jp) {
            jp->add_str(",\"hex\":\"");
            append_hex(jp->s, req);
            jp->add_str("\"}\n");
            fwrite(jp->s.data(), 1, jp->s.size(), record);
            fflush(record);
        }
    }

    // Handles every complete request in the connection's buffer. Returns false when the
    // connection is to be closed.
    bool process(connection &c)
    {
        while (c.end - c.start >= envelope_len) {
            const uint8_t *p = c.buf.data() + c.start;
            uint64_t length;
            std::memcpy(&length, p + 8, 8);
            if (length < header_len || length > max_request) {
                printf("conn=%u bad envelope length %llu, closing\n", c.id, (unsigned long long)length);
                fflush(stdout);
                return false;
            }
            size_t total = envelope_len + size_t(length);
            if (c.end - c.start < total) {
                if (c.buf.size() - c.start < total) {
                    // Make room for the whole request.
                    std::memmove(c.buf.data(), p, c.end - c.start);
                    c.end -= c.start;
                    c.start = 0;
                    if (c.buf.size() < total)
                        c.buf.resize(total + read_chunk);
                }
                return true;
            }
            uint64_t t_ns = now_ns();
            uint64_t n = ++st.requests;
            st.bytes += total;
            if (!st.first_ns)
                st.first_ns = t_ns;
            std::span<const uint8_t> req(p, total);
            if (opt.close_at && n == opt.close_at) {
                report(c, req, n, t_ns, "close");
                return false;
            }
            bool answer = !(opt.no_ack_from && n >= opt.no_ack_from);
            if (answer) {
                uint8_t ack[16] = {};
                std::memcpy(ack, p, 4);  // echo the request type
                std::memcpy(ack + 4, p + envelope_len + 4, 4);
                ssize_t w;
                do {
                    w = send(c.fd, ack, sizeof ack, MSG_NOSIGNAL);
                } while (w < 0 && errno == EINTR);
                st.last_ack_ns = now_ns();
                st.acks++;
                if (w != ssize_t(sizeof ack)) {
                    report(c, req, n, t_ns, "ack-failed");
                    return false;
                }
            }
            report(c, req, n, t_ns, answer ? "ack" : "no-ack");
            c.start += total;
        }
        if (c.start == c.end)
            c.start = c.end = 0;
        return true;
    }

    void summary()
    {
        printf("summary requests=%llu bytes=%llu acks=%llu first_ns=%llu last_ack_ns=%llu\n",
               (unsigned long long)st.requests, (unsigned long long)st.bytes, (unsigned long long)st.acks,
               (unsigned long long)st.first_ns, (unsigned long long)st.last_ack_ns);
        fflush(stdout);
    }
};

void usage(FILE *f)
{
    fprintf(f,
            "usage: lldpd-standin [--socket PATH] [--record FILE] [--close-at N] [--no-ack [N]] [--refuse]\n"
            "                     [--quiet | --silent]\n"
            "  --socket PATH   listen on PATH (default /var/run/lldpd.socket)\n"
            "  --record FILE   append one JSON object per request (decoded fields, hex, receive time)\n"
            "  --close-at N    close the connection when the Nth request arrives, without answering it\n"
            "  --no-ack [N]    stop answering from the Nth request on (default 1)\n"
            "                  (requests are counted over the whole run, across connections)\n"
            "  --refuse        bind the socket but never listen: connections are refused\n"
            "  --quiet         print request headers only; --silent prints nothing per request\n"
            "SIGUSR1 prints a summary line; SIGTERM/SIGINT print it and exit.\n");
}

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

}  // namespace

int main(int argc, char **argv)
{
    standin s;
    options &o = s.opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "lldpd-standin: %s needs a value\n", what);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--socket") {
            o.socket_path = value("--socket");
        } else if (a == "--record") {
            o.record_path = value("--record");
        } else if (a == "--close-at") {
            if (!parse_count(value("--close-at"), o.close_at)) {
                fprintf(stderr, "lldpd-standin: --close-at needs a positive number\n");
                return 2;
            }
        } else if (a == "--no-ack") {
            o.no_ack_from = 1;
            if (i + 1 < argc && argv[i + 1][0] != '-' && !parse_count(argv[++i], o.no_ack_from)) {
                fprintf(stderr, "lldpd-standin: --no-ack takes a positive number\n");
                return 2;
            }
        } else if (a == "--refuse") {
            o.refuse = true;
        } else if (a == "--quiet") {
            o.verbosity = 1;
        } else if (a == "--silent") {
            o.verbosity = 0;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "lldpd-standin: unknown argument %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    static char outbuf[1 << 16];
    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!o.record_path.empty()) {
        s.record = fopen(o.record_path.c_str(), "a");
        if (!s.record) {
            fprintf(stderr, "lldpd-standin: cannot open %s: %s\n", o.record_path.c_str(), strerror(errno));
            return 1;
        }
    }

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
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0) {
        perror("lldpd-standin: socket");
        return 1;
    }
    unlink(tmp_path.c_str());
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "lldpd-standin: bind %s: %s\n", tmp_path.c_str(), strerror(errno));
        return 1;
    }
    if (!o.refuse && listen(lfd, 16) != 0) {
        fprintf(stderr, "lldpd-standin: listen: %s\n", strerror(errno));
        return 1;
    }
    if (tmp_path != o.socket_path && rename(tmp_path.c_str(), o.socket_path.c_str()) != 0) {
        fprintf(stderr, "lldpd-standin: rename to %s: %s\n", o.socket_path.c_str(), strerror(errno));
        unlink(tmp_path.c_str());
        return 1;
    }
    printf("%s on %s\n", o.refuse ? "refusing" : "listening", o.socket_path.c_str());
    fflush(stdout);

    std::vector<std::unique_ptr<connection>> conns;
    unsigned next_id = 1;
    std::vector<pollfd> fds;
    while (!stop_requested) {
        if (summary_requested) {
            summary_requested = 0;
            s.summary();
        }
        fds.clear();
        if (!o.refuse)
            fds.push_back({lfd, POLLIN, 0});
        for (auto &c : conns)
            fds.push_back({c->fd, POLLIN, 0});
        // A bounded wait: a signal that lands just before poll() is still seen soon.
        int rc = poll(fds.data(), fds.size(), 200);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            perror("lldpd-standin: poll");
            break;
        }
        size_t k = 0;
        if (!o.refuse) {
            if (fds[0].revents & POLLIN) {
                int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                if (cfd >= 0) {
                    auto c = std::make_unique<connection>();
                    c->fd = cfd;
                    c->id = next_id++;
                    c->buf.resize(read_chunk);
                    printf("conn=%u accepted\n", c->id);
                    fflush(stdout);
                    conns.push_back(std::move(c));
                }
            }
            k = 1;
        }
        for (; k < fds.size(); k++) {
            if (!fds[k].revents)
                continue;
            connection *c = nullptr;
            for (auto &cc : conns)
                if (cc->fd == fds[k].fd)
                    c = cc.get();
            if (!c)
                continue;
            bool keep = true;
            if (c->buf.size() - c->end < read_chunk / 4 && c->start > 0) {
                std::memmove(c->buf.data(), c->buf.data() + c->start, c->end - c->start);
                c->end -= c->start;
                c->start = 0;
            }
            if (c->buf.size() - c->end < read_chunk / 4)
                c->buf.resize(c->buf.size() + read_chunk);
            ssize_t n = recv(c->fd, c->buf.data() + c->end, c->buf.size() - c->end, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (c->end > c->start)
                    printf("conn=%u closed with %zu bytes of a partial request\n", c->id, c->end - c->start);
                else
                    printf("conn=%u closed by peer\n", c->id);
                fflush(stdout);
                keep = false;
            } else {
                c->end += size_t(n);
                keep = s.process(*c);
                if (!keep) {
                    printf("conn=%u closed by stand-in\n", c->id);
                    fflush(stdout);
                }
            }
            if (!keep) {
                close(c->fd);
                c->fd = -1;
            }
        }
        std::erase_if(conns, [](const std::unique_ptr<connection> &c) { return c->fd < 0; });
    }
    s.summary();
    for (auto &c : conns)
        close(c->fd);
    close(lfd);
    unlink(o.socket_path.c_str());
    if (s.record)
        fclose(s.record);
    return 0;
}
