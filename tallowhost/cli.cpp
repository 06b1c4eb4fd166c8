// The agent's command line: the uplinks by name with their gateways, the table, the rule priority, the
// interface group and the prefix cap, each checked before anything is set up.

#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "tallowhost.h"

const char *const tallowhost_usage =
    "usage: tallowhost --uplink IFNAME=GW[,GW] [--uplink IFNAME=GW[,GW] ...] [--table N] [--rule-priority N]\n"
    "                  [--ifgroup N] [--max-prefixes N] [--metrics-file PATH] [-v]\n"
    "       tallowhost show [uplinks | neighbours | prefix ADDRESS] [--json]\n";

namespace {

bool parse_number(const char *s, unsigned long long max, unsigned long long &out)
{
    if (!s || !*s || *s < '0' || *s > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

int parse_uplink(host_config *cfg, const std::string &arg, std::string &error)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
        error = "--uplink needs IFNAME=GW[,GW], got \"" + arg + "\"";
        return -1;
    }
    uplink up;
    up.name = arg.substr(0, eq);
    // The kernel's own rule for a link name. The link need not exist yet: it is waited for.
    if (up.name.size() >= IF_NAMESIZE || up.name == "." || up.name == ".." ||
        up.name.find_first_of("/: \t\n\v\f\r") != std::string::npos) {
        error = "bad interface name \"" + up.name + "\"";
        return -1;
    }
    for (const uplink &other : cfg->uplinks)
        if (other.name == up.name) {
            error = "duplicate uplink " + up.name;
            return -1;
        }
    std::string rest = arg.substr(eq + 1);
    size_t start = 0;
    for (;;) {
        size_t comma = rest.find(',', start);
        std::string gw = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (inet_pton(AF_INET, gw.c_str(), up.gw4.data()) == 1 && !up.has_v4) {
            up.has_v4 = true;
        } else if (inet_pton(AF_INET6, gw.c_str(), up.gw6.data()) == 1 && !up.has_v6) {
            up.has_v6 = true;
        } else {
            error = "bad address \"" + gw + "\" for uplink " + up.name + " (one IPv4 and one IPv6 next hop at most)";
            return -1;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (cfg->uplinks.size() == max_uplinks) {
        error = "too many uplinks (at most " + std::to_string(max_uplinks) + ")";
        return -1;
    }
    cfg->uplinks.push_back(std::move(up));
    return 0;
}

}  // namespace

int parse_command_line(host_config *cfg, int argc, char **argv, std::string &error)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string value;
        bool has_value = false;
        for (const char *opt : {"--uplink", "--table", "--rule-priority", "--ifgroup", "--max-prefixes", "--metrics-file"}) {
            std::string o = opt;
            if (a == o) {
                if (i + 1 >= argc) {
                    error = o + " needs a value";
                    return -1;
                }
                value = argv[++i];
                has_value = true;
                a = o;
                break;
            }
            if (a.rfind(o + "=", 0) == 0) {
                value = a.substr(o.size() + 1);
                has_value = true;
                a = o;
                break;
            }
        }
        unsigned long long n = 0;
        if (a == "-v" || a == "--verbose") {
            cfg->verbose = true;
        } else if (a == "--uplink" && has_value) {
            if (parse_uplink(cfg, value, error) != 0)
                return -1;
        } else if (a == "--table" && has_value) {
            // 0 and the kernel's own tables (default, main, local) are not ours to flush.
            if (!parse_number(value.c_str(), UINT32_MAX, n) || n == 0 || (n >= 253 && n <= 255)) {
                error = "bad table \"" + value + "\" (1 to 4294967295, not 253, 254 or 255)";
                return -1;
            }
            cfg->table = uint32_t(n);
        } else if (a == "--rule-priority" && has_value) {
            // Before the main table's rule at 32766; the main-table rule takes the priority before
            // it, and 0 is the local table's.
            if (!parse_number(value.c_str(), 32765, n) || n < 2) {
                error = "bad rule priority \"" + value + "\" (2 to 32765)";
                return -1;
            }
            cfg->rule_priority = uint32_t(n);
        } else if (a == "--ifgroup" && has_value) {
            // Group 0 is every interface's by default.
            if (!parse_number(value.c_str(), INT32_MAX, n) || n == 0) {
                error = "bad interface group \"" + value + "\" (1 to 2147483647)";
                return -1;
            }
            cfg->ifgroup = uint32_t(n);
        } else if (a == "--max-prefixes" && has_value) {
            if (!parse_number(value.c_str(), 10000000, n) || n == 0) {
                error = "bad prefix cap \"" + value + "\" (1 to 10000000)";
                return -1;
            }
            cfg->max_prefixes = size_t(n);
        } else if (a == "--metrics-file" && has_value) {
            // Renamed into place from PATH.tmp, in the same directory.
            if (value.empty() || value[0] != '/' || value.back() == '/' || value.size() >= 4000 ||
                value.find_first_of("\n") != std::string::npos) {
                error = "bad metrics file \"" + value + "\" (an absolute file name)";
                return -1;
            }
            cfg->metrics_path = value;
        } else {
            error = "unknown argument \"" + a + "\"";
            return -1;
        }
    }
    if (cfg->uplinks.empty()) {
        error = "no --uplink given";
        return -1;
    }
    return 0;
}

