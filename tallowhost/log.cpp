// Logging and small shared helpers: syslog lines (debug lines only with -v), monotonic time, text
// forms of prefixes and neighbour identifiers.

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

std::string prefix_text(const host_prefix &p)
{
    char buf[INET6_ADDRSTRLEN + 8];
    if (!inet_ntop(p.family == 4 ? AF_INET : AF_INET6, p.addr.data(), buf, INET6_ADDRSTRLEN))
        return "?";
    std::snprintf(buf + std::char_traits<char>::length(buf), 8, "/%u", unsigned(p.plen));
    return buf;
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
