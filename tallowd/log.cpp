// Daemon logging: syslog lines filtered by the daemon's log level.

#include <cstdarg>
#include <cstdio>

#include "daemon.h"

log_hook_fn log_hook = nullptr;

bool debug_logging()
{
    const daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    return cfg && cfg->log_level >= LOG_DEBUG;
}

void tlog(int prio, const char *fmt, ...)
{
    daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    int level = cfg ? cfg->log_level : daemon_config::LOG_LEVEL_INFO;
    if (prio > level)
        return;
    va_list ap;
    va_start(ap, fmt);
    if (log_hook) {
        char line[1024];
        va_list copy;
        va_copy(copy, ap);
        vsnprintf(line, sizeof line, fmt, copy);
        va_end(copy);
        log_hook(prio, line);
    }
    vsyslog(prio, fmt, ap);
    va_end(ap);
}
