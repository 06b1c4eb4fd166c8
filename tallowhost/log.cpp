// Logging and small shared helpers: syslog lines (debug lines only with -v), monotonic and wall-clock
// time, text forms of addresses, prefixes and neighbour identifiers, and the prefixes' hash.

#include <arpa/inet.h>
#include <syslog.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

#include "tallowhost.h"

bool hlog_debug = false;
hlog_hook_fn hlog_hook = nullptr;

void hlog(int prio, const char *fmt, ...)
{
    if (prio == LOG_DEBUG && !hlog_debug)
        return;
    va_list ap;
    va_start(ap, fmt);
    if (hlog_hook) {
        char line[1024];
        va_list copy;
        va_copy(copy, ap);
        vsnprintf(line, sizeof line, fmt, copy);
        va_end(copy);
        hlog_hook(prio, line);
    }
    vsyslog(prio, fmt, ap);
    va_end(ap);
}

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t realtime_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string address_text(int family, const uint8_t *addr)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(family, addr, buf, sizeof buf) ? buf : "?";
}

size_t host_prefix_hash::operator()(const host_prefix &p) const noexcept
{
    uint64_t a, b;
    std::memcpy(&a, p.addr.data(), 8);
    std::memcpy(&b, p.addr.data() + 8, 8);
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + 0x632BE59BD9B4E019ull + (uint64_t(p.plen) << 8 | p.family));
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return size_t(h ^ (h >> 32));
}

std::string prefix_text(const host_prefix &p)
{
    const std::string a = address_text(p.family == 4 ? AF_INET : AF_INET6, p.addr.data());
    return a == "?" ? a : a + "/" + std::to_string(p.plen);
}

// Chassis and port identifiers: a MAC address (subtype 3 of a port, 4 of a chassis) as such, an
// interface name or other printable text as text, anything else in hex.
std::string id_text(const std::string &id)
{
    if (id.empty())
        return "";
    auto subtype = uint8_t(id[0]);
    std::string value = id.substr(1);
    char part[4];
    if (value.size() == 6 && (subtype == 3 || subtype == 4)) {
        std::string out;
        for (size_t i = 0; i < 6; i++) {
            std::snprintf(part, sizeof part, i ? ":%02x" : "%02x", unsigned(uint8_t(value[i])));
            out += part;
        }
        return out;
    }
    bool printable = !value.empty();
    for (char c : value)
        printable = printable && c > 0x20 && c < 0x7F && c != '"' && c != '\\';
    if (printable)
        return value;
    std::string out;
    for (char c : value) {
        std::snprintf(part, sizeof part, "%02x", unsigned(uint8_t(c)));
        out += part;
    }
    return out;
}
