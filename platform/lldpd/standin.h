// lldpd stand-in: the records every part of it shares, and its functions listed by the file that
// holds them.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "unique_fd.h"

constexpr size_t envelope_len = 16;
constexpr size_t header_len = 16;
constexpr uint8_t frame_oui[3] = {0x5A, 0x3C, 0x71};
constexpr uint32_t type_proxy_frames = 11;
constexpr uint32_t type_immediate = 12;
constexpr size_t read_chunk = 4u << 20;  // a connection's buffer grows by this much

struct options {
    std::string socket_path = "/var/run/lldpd.socket";
    std::string record_path;
    uint64_t close_at = 0;     // 0: never
    uint64_t no_ack_from = 0;  // 0: always answer
    bool refuse = false;
    int verbosity = 2;         // 0 nothing, 1 headers only, 2 headers and decoded blobs
    unsigned tx_interval = 0;  // seconds between transmissions of a set; 0: no LLDP frames are sent
    uint64_t drop_frame = 0;   // 0: none; else the position (from 1) of the frame left out of a set
    uint64_t drop_from_set = 1;  // the drop applies from this set of an interface on (counted from 1)
};

struct connection {
    unique_fd fd;
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

// One interface that requests have named, in the order of its first request.
struct tx_interface {
    uint32_t ifindex = 0;
    std::vector<std::vector<uint8_t>> blobs;  // the current set: the blobs of the latest type-11 request
    uint64_t sets = 0;                        // type-11 requests with blobs received for it
    uint64_t next_ns = 0;                     // next periodic transmission, 0 when there is no set
    bool announced = false;                   // a frame with a TTL went out since the last TTL 0
};

struct tx_stats {
    uint64_t frames = 0;             // frames sent, TTL 0 frames included
    uint64_t ttl0 = 0;               // TTL 0 frames sent
    uint64_t dropped = 0;            // frames left out by the drop fault mode
    uint64_t too_big = 0;            // blobs of sets that did not fit the link's MTU
    uint64_t too_big_immediate = 0;  // immediate blobs that did not fit the link's MTU
    uint64_t send_errors = 0;
};

struct transmitter {
    unique_fd fd;  // AF_PACKET socket, sends only
    unsigned interval_s = 0;
    uint64_t drop_frame = 0;
    uint64_t drop_from_set = 1;
    int verbosity = 2;
    std::vector<tx_interface> intfs;
    tx_stats st;
    std::vector<uint8_t> frame;  // reused for every frame
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

struct standin {
    options opt;
    stats st;
    std::unique_ptr<FILE, file_closer> record;
    transmitter tx;
};

inline uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

/* options.cpp */
void usage(FILE *f);
// -1: run; otherwise the exit status: 0 after --help, 2 for a bad command line.
int parse_options(options &o, int argc, char **argv);

/* server.cpp */
int listener_open(const options &o, unique_fd &out);
void serve(standin &s, int lfd);

/* requests.cpp */
bool process(standin &s, connection &c);
void connection_reserve(connection &c);

/* report.cpp */
void report(standin &s, const connection &c, std::span<const uint8_t> req, uint64_t n, uint64_t t_ns,
            const char *action);
void print_summary(const standin &s);

/* lldp_tx.cpp */
int tx_open(transmitter &tx, const options &o);
void tx_handle_request(transmitter &tx, uint32_t type, std::span<const uint8_t> req);
int tx_timeout_ms(const transmitter &tx, uint64_t now, int longest);
void tx_run_timers(transmitter &tx, uint64_t now);
void tx_stop(transmitter &tx);
