// Fuzz target: arbitrary command lines through the option parser and the job
// configuration built from them, against the stand-in's 64-port table.
//
// Input layout: the words of the command line after the program name,
// separated by NUL bytes.
#include <argp.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <syslog.h>
#include <vector>

#include "qelt.h"

namespace {

constexpr size_t max_words = 64;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// swp1s0 ... swp16s3, as the stand-in port command lists them.
port_table make_table()
{
    port_table t{};
    for (int port = 1; port <= 16; port++) {
        for (int lane = 0; lane < 4; lane++) {
            port_entry &e = t.entries[t.count++];
            std::snprintf(e.name, sizeof e.name, "swp%ds%d", port, lane);
            e.logical_id = uint32_t(65536 + port * 256 + lane);
        }
    }
    return t;
}

bool terminated(const char *text, size_t cap)
{
    return std::memchr(text, '\0', cap) != nullptr;
}

void check_config(const qelt_args &args, const qelt_job_config &cfg, const port_table &t)
{
    check(cfg.port_count >= 0 && cfg.port_count <= qelt_max_ports);
    check(cfg.tc_count >= 0 && cfg.tc_count <= qelt_max_tcs);
    check(cfg.counter_count >= 0 && cfg.counter_count <= qelt_max_counters);
    for (int i = 0; i < cfg.port_count; i++)
        check(qelt_port_name(t, cfg.port_ids[i])[0] != '\0');
    for (int i = 0; i < cfg.counter_count; i++) {
        check(terminated(cfg.counters[i], qelt_name_len) && cfg.counters[i][0] != '\0');
        check(qelt_counter_type(cfg.counters[i]) <= SX_HFT_PORT_CNTR_TC_CURR_OCCUPANCY);
    }
    check(cfg.interval == args.interval && cfg.sample_count == args.sample_count);
    check(cfg.job_id == uint32_t(args.job_id));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const port_table table = make_table();
    static const bool quiet = (setlogmask(LOG_MASK(LOG_EMERG)), true); // "not found" lines go nowhere
    (void)quiet;

    std::vector<std::string> words{"qelt"};
    std::string_view input(reinterpret_cast<const char *>(data), size);
    while (!input.empty() && words.size() < max_words) {
        size_t nul = input.find('\0');
        words.emplace_back(input.substr(0, nul));
        input.remove_prefix(nul == std::string_view::npos ? input.size() : nul + 1);
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    // Errors are returned instead of printed and exiting; no --help output.
    qelt_args args;
    if (qelt_parse_args(int(words.size()), argv.data(), args, ARGP_NO_EXIT | ARGP_NO_ERRS | ARGP_NO_HELP) != 0)
        return 0;
    check(args.ports && args.tc && args.counter);
    check(args.verbose == 0 || args.verbose == 1);
    qelt_job_config cfg;
    qelt_build_config(args, table, cfg);
    check_config(args, cfg, table);
    return 0;
}
