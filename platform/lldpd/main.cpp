// lldpd stand-in: accepts tallowd's proxy-frame requests on lldpd's socket, acknowledges each with
// 16 bytes, prints every request decoded (one line each) and can record them as JSON lines. With
// --tx-interval it also sends the blobs as LLDP frames on the named interfaces.
//
// Requests: a 16-byte envelope in host order (type u32, 0 u32, length u64 = bytes that follow), a
// 16-byte big-endian header and a payload. Type 11 (proxy frames): ifindex, sequence number, blob
// count, 0, blob count, flags; payload = blobs, each with a u16 big-endian length in front. Type 12
// (immediate delta): ifindex and 12 zero bytes; payload = one blob. A blob is a run of LLDP TLVs:
// a control TLV, then IPv4 / IPv6 prefix TLVs.
//
// Fault modes for tests: --close-at N closes the connection on the Nth request (without answering
// it), --no-ack [N] stops answering from the Nth request on (default 1), --refuse binds the socket
// but never listens, so that connecting is refused, --drop-frame N leaves a frame out of each set.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "standin.h"

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t summary_requested = 0;

namespace {

void on_signal(int sig)
{
    if (sig == SIGUSR1)
        summary_requested = 1;
    else
        stop_requested = 1;
}

void install_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char **argv)
{
    standin s;
    if (int rc = parse_options(s.opt, argc, argv); rc >= 0)
        return rc;
    static char outbuf[1 << 16];
    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    install_signals();

    if (!s.opt.record_path.empty()) {
        s.record.reset(fopen(s.opt.record_path.c_str(), "a"));
        if (!s.record) {
            fprintf(stderr, "lldpd-standin: cannot open %s: %s\n", s.opt.record_path.c_str(), strerror(errno));
            return 1;
        }
    }
    if (s.opt.tx_interval && tx_open(s.tx, s.opt) != 0)
        return 1;
    unique_fd lfd;
    if (int rc = listener_open(s.opt, lfd); rc != 0)
        return rc;
    printf("%s on %s\n", s.opt.refuse ? "refusing" : "listening", s.opt.socket_path.c_str());
    fflush(stdout);

    serve(s, lfd.get());
    tx_stop(s.tx);
    print_summary(s);
    unlink(s.opt.socket_path.c_str());
    return 0;
}
