// Command line (argp) and the job configuration built from it.
#include <argp.h>
#include <cerrno>
#include <cstring>

#include "qelt.h"

namespace {

const char args_doc[] = "ports [STRING...]";
const char doc[] = "Example:      Minimum: qelt       With Options: qelt --ports swp1s0 --tc 3 --counter "
                   "tx,rx,tc_buff --interval 1000 --sample-count 10000";

const argp_option options[] = {
    {"verbose", 'v', nullptr, OPTION_ARG_OPTIONAL, "Produce verbose output", 0},
    {"port", 'p', "list", OPTION_ARG_OPTIONAL, "Port list for HFT", 0},
    {"tc", 't', "list", OPTION_ARG_OPTIONAL, "Traffic class", 0},
    {"counter", 'c', "list", OPTION_ARG_OPTIONAL, "Counter List", 0},
    {"interval", 'i', "value", OPTION_ARG_OPTIONAL, "HFT job sample interval", 0},
    {"sample-count", 's', "value", OPTION_ARG_OPTIONAL, "HFT job sample count", 0},
    {"job-id", 'j', "value", OPTION_ARG_OPTIONAL, "HFT job id", 0},
    {nullptr, 0, nullptr, 0, nullptr, 0},
};

// Values must be attached (--interval=1000, -i1000): a separate word is a
// positional argument, which argp refuses. argp_error ends the program unless
// the caller parses with ARGP_NO_EXIT; then the option is refused by EINVAL.
error_t numeric_value(argp_state *state, const char *arg, const char *option, int32_t &value)
{
    if (!arg) {
        argp_error(state, "option '--%s' needs an attached value, as in --%s=VALUE", option, option);
        return EINVAL;
    }
    value = qelt_atoi(arg);
    return 0;
}

error_t missing_list(argp_state *state, const char *what)
{
    argp_error(state, "%s", what);
    return EINVAL;
}

error_t parse_opt(int key, char *arg, argp_state *state)
{
    auto *args = static_cast<qelt_args *>(state->input);
    switch (key) {
    case 'v':
        args->verbose = 1;
        break;
    case 'p':
        args->ports = arg;
        break;
    case 't':
        args->tc = arg;
        break;
    case 'c':
        args->counter = arg;
        break;
    case 'i':
        return numeric_value(state, arg, "interval", args->interval);
    case 's':
        return numeric_value(state, arg, "sample-count", args->sample_count);
    case 'j':
        return numeric_value(state, arg, "job-id", args->job_id);
    case ARGP_KEY_END:
        if (!args->ports)
            return missing_list(state, "a port list is required, as in --port=swp1s0,swp2s0 or --port=all");
        if (!args->tc)
            return missing_list(state, "a traffic class list is required, as in --tc=3");
        if (!args->counter)
            return missing_list(state, "a counter list is required, as in --counter=tx,rx,tc_buff");
        break;
    default:
        return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp parser = {options, parse_opt, args_doc, doc, nullptr, nullptr, nullptr};

uint32_t counter_type(const char *name)
{
    if (std::strcmp(name, "rx") == 0)
        return SX_HFT_PORT_CNTR_RX_OCTETS;
    if (std::strcmp(name, "tc_buff") == 0)
        return SX_HFT_PORT_CNTR_TC_CURR_OCCUPANCY;
    return SX_HFT_PORT_CNTR_TX_OCTETS; // "tx", and any unknown name leaves its slot at 0
}

} // namespace

// With flags 0, usage errors and --help end the program inside argp.
int qelt_parse_args(int argc, char **argv, qelt_args &args, unsigned flags)
{
    std::memset(&args, 0, sizeof args);
    return argp_parse(&parser, argc, argv, flags, nullptr, &args) == 0 ? 0 : -1;
}

void qelt_build_config(const qelt_args &args, const port_table &ports, qelt_job_config &cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    if (args.ports)
        cfg.port_count = qelt_port_resolve(ports, args.ports, cfg.port_ids, qelt_max_ports);
    if (args.tc) {
        for (const std::string &item : qelt_split_list(args.tc, qelt_max_tcs))
            cfg.tcs[cfg.tc_count++] = qelt_atoi(item);
    }
    if (args.counter) {
        for (const std::string &item : qelt_split_list(args.counter, qelt_max_counters)) {
            std::memcpy(cfg.counters[cfg.counter_count], item.c_str(), item.size() + 1);
            cfg.counter_count++;
        }
    }
    cfg.interval = args.interval;
    cfg.sample_count = args.sample_count;
    cfg.job_id = static_cast<uint32_t>(args.job_id);
}

// Port counter type of a configured counter name, for the job's buffer key.
uint32_t qelt_counter_type(const char *name)
{
    return counter_type(name);
}
